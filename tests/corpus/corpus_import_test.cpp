// The quick reading of simple messages (no GMime parser) against GMime's reading, on every
// message of the third-party corpus (../shared/corpus): the two must give the same fields. Real
// mail holds the header forms our own examples do not think of. Skips when the corpus is absent.
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

TEST(CorpusImport, QuickReadingIsGMimesOnEveryMessage)
{
    const fs::path root = QUILLMARK_CORPUS_DIR;
    if (!fs::exists(root / "SOURCES.tsv")) GTEST_SKIP() << "mail corpus not found (" << root.string() << ")";
    std::size_t messages = 0, differing = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file() || entry.file_size() > (32u << 20)) continue;
        const std::string ext = entry.path().extension().string();
        if (ext == ".json" || ext == ".tsv" || ext == ".md" || ext == ".py" || ext == ".yaml") continue;
        for (const std::string& text : messagesOf(entry.path())) {
            ++messages;
            const std::string quick = testing::describe(importRfc822(text));
            const std::string reference = testing::describe(importRfc822(text, Reading::ThroughGMime));
            if (quick == reference) continue;
            // One full diff is enough to see what went wrong; the count says how often.
            if (++differing <= 3)
                ADD_FAILURE() << entry.path() << "\n--- quick\n" << quick << "--- GMime\n" << reference;
        }
    }
    EXPECT_EQ(differing, 0u) << "of " << messages << " messages";
    EXPECT_GT(messages, 5000u);
}

}  // namespace
}  // namespace quillmark
