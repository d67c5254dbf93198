// The quick reading of simple messages (no GMime parser) against GMime's reading, on every
// message of the third-party corpus (../shared/corpus): the two must give the same fields. Real
// mail holds the header forms our own examples do not think of. Skips when the corpus is absent.
#include "engine/mime/header_text.h"
#include "engine/mime/import_reference.h"
#include "engine/mime/rfc822_import.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quillmark {
namespace {

namespace fs = std::filesystem;

// The messages of a file: a mailbox's messages without their separator lines, else the file
// as one message; line ends as the cutter gives them (CR LF).
std::vector<std::string> messagesOf(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string all = buffer.str();
    std::vector<std::string> out;
    const auto add = [&](std::string_view text) {
        std::string clean;
        clean.reserve(text.size() + text.size() / 16);
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) clean += '\r';
            clean += text[i];
        }
        out.push_back(std::move(clean));
    };
    if (!all.starts_with("From ")) {
        add(all);
        return out;
    }
    std::size_t start = 0;
    while (start < all.size()) {
        const std::size_t body = std::min(all.find('\n', start), all.size() - 1) + 1;
        std::size_t next = all.find("\nFrom ", body);
        next = next == std::string::npos ? all.size() : next + 1;
        add(std::string_view(all).substr(body, next - body));
        start = next;
    }
    return out;
}

// Calls fn(file, message text) for every message of the corpus; returns how many there were.
template <class Fn>
std::size_t forEachMessage(Fn fn)
{
    std::size_t messages = 0;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(QUILLMARK_CORPUS_DIR))) {
        if (!entry.is_regular_file() || entry.file_size() > (32u << 20)) continue;
        const std::string ext = entry.path().extension().string();
        if (ext == ".json" || ext == ".tsv" || ext == ".md" || ext == ".py" || ext == ".yaml") continue;
        for (const std::string& text : messagesOf(entry.path())) {
            ++messages;
            fn(entry.path(), text);
        }
    }
    return messages;
}

bool haveCorpus() { return fs::exists(fs::path(QUILLMARK_CORPUS_DIR) / "SOURCES.tsv"); }
const char* const kNoCorpus = "mail corpus not found (" QUILLMARK_CORPUS_DIR ")";

TEST(CorpusImport, QuickReadingIsGMimesOnEveryMessage)
{
    if (!haveCorpus()) GTEST_SKIP() << kNoCorpus;
    std::size_t differing = 0;
    const std::size_t messages = forEachMessage([&](const fs::path& file, const std::string& text) {
        const std::string quick = testing::describe(importRfc822(text));
        const std::string reference = testing::describe(importRfc822(text, Reading::ThroughGMime));
        if (quick == reference) return;
        // One full diff is enough to see what went wrong; the count says how often.
        if (++differing <= 3) ADD_FAILURE() << file << "\n--- quick\n" << quick << "--- GMime\n" << reference;
    });
    EXPECT_EQ(differing, 0u) << "of " << messages << " messages";
    EXPECT_GT(messages, 5000u);
}

// Header text is unfolded and decoded without GMime where there is nothing to decode, and dates
// of the usual form are read without it: every field of the corpus must read as GMime reads it.
TEST(CorpusImport, HeaderTextIsGMimesInEveryField)
{
    if (!haveCorpus()) GTEST_SKIP() << kNoCorpus;
    gmime::ensureInitialised();
    std::size_t fields = 0, differing = 0;
    forEachMessage([&](const fs::path& file, const std::string& text) {
        const std::string_view head(text.data(), std::min(text.find("\r\n\r\n"), text.size()));
        for (std::size_t pos = 0; pos < head.size();) {
            std::size_t end = head.find("\r\n", pos);
            while (end != std::string_view::npos && end + 2 < head.size()
                   && (head[end + 2] == ' ' || head[end + 2] == '\t'))
                end = head.find("\r\n", end + 2);
            end = std::min(end, head.size());
            const std::string_view field = head.substr(pos, end - pos);
            pos = end + 2;
            const auto colon = field.find(':');
            if (colon == std::string_view::npos) continue;
            const std::string raw(field.substr(colon + 1));
            ++fields;
            char* unfolded = g_mime_utils_header_unfold(raw.c_str());
            char* decoded = g_mime_utils_header_decode_text(nullptr, gmime::rejoinEncodedWords(unfolded).c_str());
            const std::string expected = decoded;
            const bool sameUnfolding = gmime::unfoldField(raw) == unfolded;
            g_free(unfolded);
            g_free(decoded);
            // Dates of the usual form are read without GMime too.
            const std::string name(field.substr(0, colon));
            const bool dated
                = g_ascii_strcasecmp(name.c_str(), "Date") == 0 || g_ascii_strcasecmp(name.c_str(), "Received") == 0;
            const std::string date = expected.substr(
                expected.rfind(';') == std::string::npos || name.size() == 4 ? 0 : expected.rfind(';') + 1);
            GDateTime* reference = dated ? g_mime_utils_header_decode_date(date.c_str()) : nullptr;
            const auto referenceTime = gmime::toSysSeconds(reference);
            if (reference) g_date_time_unref(reference);
            const bool sameDate = !dated || gmime::decodeDate(date.c_str()) == referenceTime;
            if (sameUnfolding && sameDate && gmime::decodeHeaderText(raw) == expected) continue;
            if (++differing <= 3) ADD_FAILURE() << file << ": [" << raw << "] reads as [" << expected << "]";
        }
    });
    EXPECT_EQ(differing, 0u) << "of " << fields << " fields";
    EXPECT_GT(fields, 50000u);
}

}  // namespace
}  // namespace quillmark
