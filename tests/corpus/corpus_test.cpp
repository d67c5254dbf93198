// Acceptance tests over the third-party mail corpus (../shared/corpus, never part of the
// repository). Every file in it goes through the EML job without harm, and where an upstream
// project recorded how its own parser splits a mailbox, our messages are compared with that
// record byte for byte. Third-party data catches the odd cases our own builders never produce.
// Every test skips, with the reason, when the corpus is absent.
#include "engine/job/conversion_job.h"
#include "platform/paths.h"
#include "support/mbox_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// ---------------------------------------------------------------------------------------------
// Corpus access

fs::path corpusRoot()
{
    std::error_code ec;
    const fs::path root = fs::weakly_canonical(fs::path(QUILLMARK_CORPUS_DIR), ec);
    return ec ? fs::path(QUILLMARK_CORPUS_DIR) : root;
}

// Empty when the corpus (or the named file in it) is there; else the reason to skip.
std::string missing(std::string_view relative = "SOURCES.tsv")
{
    const fs::path p = corpusRoot() / std::string(relative);
    if (fs::exists(p)) return {};
    return "mail corpus not found (" + p.string() + "); it lives beside the repository, in ../shared/corpus";
}

#define SKIP_WITHOUT(relative)                                                                                         \
    do {                                                                                                               \
        if (const std::string why = missing(relative); !why.empty()) GTEST_SKIP() << why;                              \
    } while (false)

// ---------------------------------------------------------------------------------------------
// Running the job

// The job's host when nothing it says is looked at: recording every label of 5,000 messages
// would cost more than the conversion.
class QuietHost final : public Host {
public:
    void setLabel(Label, std::string_view) override {}
    void setBar(Bar, float) override {}
    BoxAnswer messageBox(std::string_view, int, std::string_view) override { return BoxAnswer::Ok; }
    void beep() override {}
};

struct Converted {
    Report report;
    std::vector<std::string> emls;  // Email-<j>.eml, j = 0 .. messagesFound - 1
};

bool onlyCrLfLineEnds(std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
    }
    return true;
}

std::string problemLines(const Report& report)
{
    std::string out;
    for (const auto& line : failureLines(report, 5)) out += "\n  " + line;
    return out;
}

// Converts one mailbox to EML below outRoot and checks what must hold for any input: a sane
// report, the source untouched (bytes and modification time), nothing in the mailbox's output
// folder but Email-<j>.eml files (no temporary file left over), CR LF-only lines ending in an
// empty one. The mailbox's output folder is removed afterwards, so a walk over the whole corpus
// keeps no output.
Converted convert(const fs::path& mailbox, const fs::path& outRoot)
{
    SCOPED_TRACE("mailbox " + mailbox.string());
    const std::string before = testing::readFile(mailbox);
    const auto modifiedBefore = fs::last_write_time(mailbox);

    QuietHost host;
    JobSettings settings;
    settings.target = Target::Eml;
    settings.outputFolder = outRoot.string() + "/";
    settings.progressInterval = std::chrono::milliseconds(0);
    settings.showClosingMessage = false;
    Converted c;
    {
        ConversionJob job(host, settings);
        const std::vector<std::string> rows{mailbox.string()};
        c.report = job.run(rows);
    }
    const Report& r = c.report;
    EXPECT_FALSE(r.fatal.has_value()) << r.fatal->detail;
    EXPECT_FALSE(r.cancelled);
    EXPECT_EQ(r.mailboxes, 1u);
    EXPECT_EQ(r.messagesWritten + r.messagesFailed + r.messagesSkipped, r.messagesFound);
    EXPECT_EQ(r.messagesFailed, 0u) << problemLines(r);
    // A mailbox fails as a whole only when it holds no message at all (the file is not an mbox).
    if (r.mailboxesFailed != 0) {
        EXPECT_EQ(r.messagesFound, 0u) << problemLines(r);
    }

    EXPECT_TRUE(testing::readFile(mailbox) == before) << "the source mailbox was changed";
    EXPECT_TRUE(fs::last_write_time(mailbox) == modifiedBefore) << "the source mailbox's mtime was changed";

    const fs::path folder = platform::toPath(platform::mailboxOutputFolder(settings.outputFolder, mailbox.string()));
    static const std::regex emlName(R"(Email-(0|[1-9][0-9]*)\.eml)");
    std::size_t emlFiles = 0;
    for (const auto& file : testing::listFiles(folder)) {
        std::smatch m;
        const bool ours = std::regex_match(file, m, emlName) && std::stoull(m[1].str()) < r.messagesFound;
        EXPECT_TRUE(ours) << "unexpected file in the output: " << file;
        if (ours) ++emlFiles;
    }
    EXPECT_EQ(emlFiles, r.messagesWritten);

    c.emls.resize(r.messagesFound);
    for (std::uint64_t j = 0; j < r.messagesFound; ++j) {
        const fs::path eml = folder / ("Email-" + std::to_string(j) + ".eml");
        if (!fs::exists(eml)) continue;
        c.emls[j] = testing::readFile(eml);
        EXPECT_TRUE(onlyCrLfLineEnds(c.emls[j])) << "Email-" << j << ".eml has a bare CR or LF";
        // Its last line is terminated, then comes the one extra CR LF.
        EXPECT_TRUE(c.emls[j] == "\r\n" || c.emls[j].ends_with("\r\n\r\n")) << "Email-" << j << ".eml";
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
    return c;
}

Converted convert(const fs::path& mailbox)
{
    const TempDir dir;
    Converted c = convert(mailbox, dir / "out");
    EXPECT_EQ(testing::listFiles(dir / "out"), std::vector<std::string>{}) << "files outside the mailbox's folder";
    return c;
}

// ---------------------------------------------------------------------------------------------
// Expected texts

// What a message must become, given its bytes after the separator line: every line end (LF,
// CR LF, lone CR) as CR LF, an unterminated last line terminated, leading blanks (U+0020)
// removed, one extra CR LF at the end.
std::string cleanOf(std::string_view afterSeparator)
{
    std::string text = testing::toCrLf(std::string(afterSeparator));
    text.erase(0, text.find_first_not_of(' ') == std::string::npos ? text.size() : text.find_first_not_of(' '));
    if (!text.empty() && !text.ends_with("\r\n")) text += "\r\n";
    return text + "\r\n";
}

// Offset just past the line that starts at begin (its line end included).
std::size_t nextLine(std::string_view bytes, std::size_t begin)
{
    const std::size_t eol = bytes.find_first_of("\r\n", begin);
    if (eol == std::string_view::npos) return bytes.size();
    return (bytes[eol] == '\r' && eol + 1 < bytes.size() && bytes[eol + 1] == '\n') ? eol + 2 : eol + 1;
}

std::string printable(std::string_view s)
{
    std::string out;
    for (const char ch : s) {
        const auto u = static_cast<unsigned char>(ch);
        if (ch == '\r')
            out += "\\r";
        else if (ch == '\n')
            out += "\\n";
        else if (u < 0x20 || u >= 0x7f) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else
            out += ch;
    }
    return out;
}

std::string firstDifference(std::string_view ours, std::string_view expected)
{
    const auto at = static_cast<std::size_t>(
        std::mismatch(ours.begin(), ours.end(), expected.begin(), expected.end()).first - ours.begin());
    const std::size_t from = at < 40 ? 0 : at - 40;
    std::ostringstream s;
    s << "we wrote " << ours.size() << " bytes, expected " << expected.size() << "; first difference at byte " << at
      << "\n    ours:     \"" << printable(ours.substr(from, 80)) << "\"\n    expected: \""
      << printable(expected.substr(std::min(from, expected.size()), 80)) << "\"";
    return s.str();
}

// ---------------------------------------------------------------------------------------------
// Per-oracle figures

struct Tally {
    std::string oracle;
    std::size_t mailboxes = 0;
    std::uint64_t expected = 0;
    std::uint64_t found = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t listed = 0;  // known, explained differences (not failures)
    std::string note;
};

void printTable(const std::vector<Tally>& rows)
{
    std::ostringstream s;
    s << "\n  " << std::left << std::setw(34) << "oracle" << std::right << std::setw(10) << "mailboxes" << std::setw(10)
      << "expected" << std::setw(8) << "found" << std::setw(12) << "mismatches" << std::setw(8) << "listed"
      << "  note\n";
    for (const auto& t : rows)
        s << "  " << std::left << std::setw(34) << t.oracle << std::right << std::setw(10) << t.mailboxes
          << std::setw(10) << t.expected << std::setw(8) << t.found << std::setw(12) << t.mismatches << std::setw(8)
          << t.listed << "  " << t.note << "\n";
    std::cout << s.str() << std::flush;
    for (const auto& t : rows) {
        ::testing::Test::RecordProperty(t.oracle + ".expected", std::to_string(t.expected));
        ::testing::Test::RecordProperty(t.oracle + ".found", std::to_string(t.found));
        ::testing::Test::RecordProperty(t.oracle + ".mismatches", std::to_string(t.mismatches));
    }
}

// Compares our messages with the expected ones in order; reports the first few differences.
void compareMessages(const std::string& label, const std::vector<std::string>& ours,
                     const std::vector<std::string>& expected, Tally& tally)
{
    tally.expected += expected.size();
    tally.found += ours.size();
    EXPECT_EQ(ours.size(), expected.size()) << label << ": message count";
    const std::size_t n = std::min(ours.size(), expected.size());
    tally.mismatches += std::max(ours.size(), expected.size()) - n;
    int shown = 0;
    for (std::size_t k = 0; k < n; ++k) {
        if (ours[k] == expected[k]) continue;
        ++tally.mismatches;
        if (shown++ < 5)
            ADD_FAILURE() << label << ": message " << k << " (Email-" << k
                          << ".eml): " << firstDifference(ours[k], expected[k]);
    }
}

std::vector<std::string> filesMatching(const fs::path& dir, const std::regex& pattern)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && std::regex_match(name, pattern)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// ---------------------------------------------------------------------------------------------
// 1. Every file a user might point the program at

struct SourceRow {
    std::string file;
    std::uint64_t fromLines = 0;
};

std::vector<SourceRow> sourceRows()
{
    std::vector<SourceRow> rows;
    std::ifstream in(corpusRoot() / "SOURCES.tsv", std::ios::binary);
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::size_t pos = 0;
        for (;;) {
            const std::size_t tab = line.find('\t', pos);
            cells.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
            if (tab == std::string::npos) break;
            pos = tab + 1;
        }
        if (cells.size() < 5) continue;
        rows.push_back({cells[0], std::stoull(cells[4])});
    }
    return rows;
}

constexpr std::string_view kSpamAssassin = "_derived/spamassassin-public-corpus-with-From_.mbox";
constexpr std::size_t kSpamAssassinMessages = 4997;  // _derived/README.md

TEST(CorpusFiles, EveryFileConvertsWithoutHarmToTheSource)
{
    SKIP_WITHOUT("SOURCES.tsv");
    const fs::path root = corpusRoot();
    // The SpamAssassin mailbox (22 MB) goes through the same checks in its oracle test below.
    const fs::path spamAssassin = root / std::string(kSpamAssassin);
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file() && entry.path() != spamAssassin) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    // One output tree for the walk: a folder per mailbox, removed once checked. (A whole tree
    // per file would cost a dozen folder creations each, most of the walk's time.)
    const TempDir dir;

    std::map<std::string, std::uint64_t> found;  // relative path -> messages found
    std::uint64_t messages = 0, refused = 0, withIssues = 0;
    std::ostringstream issues, noMessage;
    for (const auto& file : files) {
        const Converted c = convert(file, dir / "out");
        found[file.lexically_relative(root).generic_string()] = c.report.messagesFound;
        messages += c.report.messagesFound;
        refused += c.report.mailboxesFailed;
        if (c.report.issuesKept + c.report.problemsDropped != 0) {
            ++withIssues;
            for (const auto& p : c.report.problems)
                if (p.severity == Severity::Issue)
                    issues << "\n    " << file.lexically_relative(root).generic_string() << ": " << p.error.detail;
        }
    }

    EXPECT_EQ(testing::listFiles(dir / "out"), std::vector<std::string>{}) << "files outside the mailboxes' folders";
    if (fs::exists(spamAssassin)) found[std::string(kSpamAssassin)] = kSpamAssassinMessages;  // run below

    // The files the corpus itself calls mailbox-like must all be there and have been run.
    std::size_t mailboxLike = 0, mailboxLikeWithMessages = 0;
    for (const auto& row : sourceRows()) {
        if (row.fromLines == 0) continue;
        ++mailboxLike;
        const auto it = found.find(row.file);
        EXPECT_NE(it, found.end()) << row.file << " is listed in SOURCES.tsv but missing";
        if (it != found.end() && it->second != 0)
            ++mailboxLikeWithMessages;
        else if (it != found.end())
            noMessage << "\n    " << row.file;
    }
    std::cout << "\n  files converted: " << files.size() << "; messages found: " << messages
              << "; files refused as not a mailbox: " << refused << "; files with recovered issues: " << withIssues
              << "\n  SOURCES.tsv files with \"From \" lines: " << mailboxLike
              << ", of which gave messages: " << mailboxLikeWithMessages
              << "; without any message (no \"From \" line followed by a header):" << noMessage.str()
              << "\n  recovered issues:" << issues.str() << "\n";
    RecordProperty("files", std::to_string(files.size()));
    RecordProperty("messages", std::to_string(messages));
}

// ---------------------------------------------------------------------------------------------
// 2. Upstream oracles

// The derived SpamAssassin mailbox: 4,997 source files concatenated, each beginning with its
// own "From " line, a blank line before every "From " line but the first, and no body line that
// begins with "From " (its README). So message k is exactly the bytes from the k-th "From " at
// offset 0 or after a blank line up to the next one; its source file plus the blank line added.
TEST(CorpusOracles, SpamAssassinMailboxGivesEachSourceMessageByteForByte)
{
    constexpr std::string_view kMailbox = kSpamAssassin;
    SKIP_WITHOUT(kMailbox);
    const fs::path path = corpusRoot() / std::string(kMailbox);
    const std::string bytes = testing::readFile(path);

    std::vector<std::size_t> starts;
    if (bytes.starts_with("From ")) starts.push_back(0);
    for (std::size_t at = bytes.find("\n\nFrom "); at != std::string::npos; at = bytes.find("\n\nFrom ", at + 1))
        starts.push_back(at + 2);
    ASSERT_EQ(starts.size(), kSpamAssassinMessages) << "the derived mailbox is not the one its README describes";

    std::vector<std::string> expected;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : bytes.size();
        const std::size_t body = nextLine(bytes, starts[k]);
        expected.push_back(cleanOf(std::string_view(bytes).substr(body, end - body)));
    }
    Tally tally{"spamassassin (_derived)", 1, 0, 0, 0, 0, ""};
    const Converted c = convert(path);
    compareMessages(std::string(kMailbox), c.emls, expected, tally);
    printTable({tally});
}

// GMime's mbox test: output/<name> records, per message of input/<name>, "message offsets:
// <separator>, <end>" (end = next separator or end of file) and "header offsets: <headers
// begin>, <headers end>". The message is the bytes from the headers' begin to its end.
TEST(CorpusOracles, GMimeMboxOffsets)
{
    SKIP_WITHOUT("gmime/tests/data/mbox/output");
    const fs::path base = corpusRoot() / "gmime/tests/data/mbox";
    std::vector<Tally> rows;
    for (const auto& name : filesMatching(base / "output", std::regex(R"(.*\.mbox)"))) {
        const std::string record = testing::readFile(base / "output" / name);
        static const std::regex messageLine(R"((?:^|\n)message offsets: (\d+), (\d+)\nheader offsets: (\d+), (\d+))");
        std::vector<std::array<std::size_t, 3>> offsets;  // separator, headers begin, end
        for (std::sregex_iterator it(record.begin(), record.end(), messageLine), e; it != e; ++it)
            offsets.push_back({std::stoull((*it)[1]), std::stoull((*it)[3]), std::stoull((*it)[2])});
        Tally tally{"gmime " + name, 0, 0, 0, 0, 0, ""};
        const fs::path input = base / "input" / name;
        if (!fs::exists(input)) {
            // The record of jwz.mbox is shipped without its input: nothing to compare.
            tally.expected = offsets.size();
            tally.note = "input not in the corpus; not compared";
            rows.push_back(tally);
            continue;
        }
        ++tally.mailboxes;
        const std::string bytes = testing::readFile(input);
        std::vector<std::string> expected;
        for (const auto& [separator, begin, end] : offsets) {
            ASSERT_LE(end, bytes.size()) << name;
            ASSERT_EQ(nextLine(bytes, separator), begin) << name << ": separator line at " << separator;
            ASSERT_TRUE(std::string_view(bytes).substr(separator).starts_with("From ")) << name;
            expected.push_back(cleanOf(std::string_view(bytes).substr(begin, end - begin)));
        }
        const Converted c = convert(input);
        compareMessages("gmime " + name, c.emls, expected, tally);
        rows.push_back(tally);
    }
    printTable(rows);
}

// Offsets of the top-level objects of a MimeKit offsets file (a JSON array of messages, each
// with nested MIME parts that carry keys of the same names).
struct MimeKitMessage {
    std::size_t marker = 0;  // "mboxMarkerOffset": the separator line
    std::size_t begin = 0;   // "beginOffset": the first header
    std::size_t end = 0;  // "endOffset": the message's last byte + 1, the line end before the next separator excluded
};

std::vector<MimeKitMessage> mimeKitOffsets(const std::string& json)
{
    std::vector<MimeKitMessage> out;
    int depth = 0;
    std::string key;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char ch = json[i];
        if (ch == '"') {
            const std::size_t close = json.find('"', i + 1);
            key = json.substr(i + 1, close - i - 1);
            i = close;
        } else if (ch == '{' || ch == '[') {
            if (++depth == 2) out.emplace_back();
        } else if (ch == '}' || ch == ']') {
            --depth;
        } else if (ch >= '0' && ch <= '9' && depth == 2) {
            std::size_t used = 0;
            const auto value = static_cast<std::size_t>(std::stoull(json.substr(i, 24), &used));
            if (key == "mboxMarkerOffset") out.back().marker = value;
            if (key == "beginOffset") out.back().begin = value;
            if (key == "endOffset") out.back().end = value;
            i += used - 1;
        }
    }
    return out;
}

// The expected messages of a mailbox by MimeKit's offsets; checks that the offsets describe
// these bytes (a separator line from marker to begin, only a line end between a message's end
// and the next separator).
std::vector<std::string> mimeKitExpected(const std::string& label, std::string_view bytes,
                                         const std::vector<MimeKitMessage>& offsets)
{
    std::vector<std::string> expected;
    for (std::size_t k = 0; k < offsets.size(); ++k) {
        const auto& m = offsets[k];
        const std::size_t next = k + 1 < offsets.size() ? offsets[k + 1].marker : bytes.size();
        EXPECT_TRUE(bytes.substr(m.marker).starts_with("From ")) << label << " message " << k;
        EXPECT_EQ(nextLine(bytes, m.marker), m.begin) << label << " message " << k;
        EXPECT_LE(m.end, next);
        const std::string_view gap = bytes.substr(m.end, next - std::min(next, m.end));
        EXPECT_TRUE(gap.empty() || gap == "\n" || gap == "\r\n") << label << " message " << k;
        expected.push_back(cleanOf(bytes.substr(m.begin, next - m.begin)));
    }
    return expected;
}

std::string lfToCrLf(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (const char ch : text) {
        if (ch == '\n') out += '\r';
        out += ch;
    }
    return out;
}

// MimeKit's mbox tests: <name>.unix-offsets.json gives, per message of <name>.mbox.txt, where its
// separator and its headers begin and where it ends; <name>.dos-offsets.json the same for the
// mailbox with every LF turned into CR LF (MimeKit's test converts it so). Both must give the
// same messages; the CR LF copy is made here, in a temporary folder.
TEST(CorpusOracles, MimeKitMboxOffsetsUnixAndDos)
{
    SKIP_WITHOUT("mimekit/UnitTests/TestData/mbox");
    const fs::path base = corpusRoot() / "mimekit/UnitTests/TestData/mbox";
    std::vector<Tally> rows;
    for (const auto& json : filesMatching(base, std::regex(R"(.*\.unix-offsets\.json)"))) {
        const std::string name = json.substr(0, json.size() - std::string_view(".unix-offsets.json").size());
        const std::string bytes = testing::readFile(base / (name + ".mbox.txt"));
        ASSERT_EQ(bytes.find('\r'), std::string::npos) << name << ": the unix mailbox is expected LF-only";

        Tally unix{"mimekit " + name + " (LF)", 1, 0, 0, 0, 0, ""};
        const auto unixExpected = mimeKitExpected(name, bytes, mimeKitOffsets(testing::readFile(base / json)));
        const Converted ours = convert(base / (name + ".mbox.txt"));
        compareMessages(unix.oracle, ours.emls, unixExpected, unix);
        rows.push_back(unix);

        const fs::path dosJson = base / (name + ".dos-offsets.json");
        if (!fs::exists(dosJson)) continue;
        TempDir dir;
        const std::string dosBytes = lfToCrLf(bytes);
        const fs::path dosMailbox = dir.write(name + ".mbox.txt", dosBytes);
        Tally dos{"mimekit " + name + " (CRLF)", 1, 0, 0, 0, 0, "copy made here"};
        const auto dosExpected
            = mimeKitExpected(name + " (CR LF)", dosBytes, mimeKitOffsets(testing::readFile(dosJson)));
        const Converted oursDos = convert(dosMailbox);
        compareMessages(dos.oracle, oursDos.emls, dosExpected, dos);
        EXPECT_TRUE(oursDos.emls == ours.emls) << name << ": LF and CR LF mailboxes give different messages";
        rows.push_back(dos);
    }
    printTable(rows);
}

// A message or one of its MIME parts declares Content-Transfer-Encoding quoted-printable or base64.
bool transferEncoded(const std::string& eml)
{
    static const std::regex encoded(R"((?:^|\r\n)content-transfer-encoding:[ \t]*(quoted-printable|base64))",
                                    std::regex::icase);
    return std::regex_search(eml, encoded);
}

// git's t5100 (mailsplit + mailinfo). What it records: for sample.mbox, split by mailsplit into
// as many messages as there are info<NNNN> files, mailinfo's outputs per message k: msg<NNNN>
// (the commit message), patch<NNNN> (the patch) and info<NNNN> (author, subject, date). For the
// other mailboxes, the same per message: rfc2047-info-<NNNN> for rfc2047-samples.mbox and
// <NNNN>mboxrd (the commit message) for sample.mboxrd split with --mboxrd.
TEST(CorpusOracles, GitMailsplitAndMailinfo)
{
    SKIP_WITHOUT("git-t5100/t/t5100/sample.mbox");
    const fs::path base = corpusRoot() / "git-t5100/t/t5100";
    std::vector<Tally> rows;

    // sample.mbox: mailinfo copies msg and patch out of the body unchanged, so each is a run of
    // bytes of our message k (line ends aside). Listed: messages whose body is quoted-printable
    // or base64, which mailinfo decodes and we (rightly) keep encoded.
    {
        Tally tally{"git sample.mbox", 1, 0, 0, 0, 0, "listed = transfer-encoded bodies (mailinfo decodes)"};
        const auto infos = filesMatching(base, std::regex(R"(info\d{4})"));
        const Converted c = convert(base / "sample.mbox");
        tally.expected = infos.size();
        tally.found = c.emls.size();
        EXPECT_EQ(c.emls.size(), infos.size()) << "sample.mbox: message count";
        for (std::size_t k = 0; k < std::min(c.emls.size(), infos.size()); ++k) {
            const std::string number = infos[k].substr(4);
            const std::string& eml = c.emls[k];
            if (transferEncoded(eml)) {
                ++tally.listed;
                continue;
            }
            bool same = true;
            for (const std::string part : {"msg", "patch"}) {
                const std::string text = testing::toCrLf(testing::readFile(base / (part + number)));
                if (eml.find(text) == std::string::npos) {
                    same = false;
                    ADD_FAILURE() << "sample.mbox message " << k << ": " << part << number
                                  << " is not part of it:\n    ours: \"" << printable(eml.substr(0, 200)) << "\"";
                }
            }
            if (!same) ++tally.mismatches;
        }
        tally.mismatches += std::max(c.emls.size(), infos.size()) - std::min(c.emls.size(), infos.size());
        rows.push_back(tally);
    }

    // rfc2047-samples.mbox: info files hold decoded names and subjects; the address ("Email: ")
    // is never encoded, so message k must carry it as it is.
    {
        Tally tally{"git rfc2047-samples.mbox", 1, 0, 0, 0, 0, ""};
        const auto infos = filesMatching(base, std::regex(R"(rfc2047-info-\d{4})"));
        const Converted c = convert(base / "rfc2047-samples.mbox");
        tally.expected = infos.size();
        tally.found = c.emls.size();
        EXPECT_EQ(c.emls.size(), infos.size()) << "rfc2047-samples.mbox: message count";
        for (std::size_t k = 0; k < std::min(c.emls.size(), infos.size()); ++k) {
            const std::string info = testing::readFile(base / infos[k]);
            std::smatch m;
            if (!std::regex_search(info, m, std::regex(R"((?:^|\n)Email: ([^\n]+))"))) continue;
            if (c.emls[k].find(m[1].str()) != std::string::npos) continue;
            ++tally.mismatches;
            ADD_FAILURE() << "rfc2047-samples.mbox message " << k << " lacks " << m[1].str();
        }
        tally.mismatches += std::max(c.emls.size(), infos.size()) - std::min(c.emls.size(), infos.size());
        rows.push_back(tally);
    }

    // sample.mboxrd: <NNNN>mboxrd is message k's body as mailinfo gives it after --mboxrd
    // unquoting (">From " -> "From ", ">>From " -> ">From "). Thunderbird writes and reads its
    // mailboxes without that unquoting, and so do we: a line we keep as ">" + theirs, where
    // theirs begins with optional ">" and "From ", is a listed difference; any other is not.
    {
        Tally tally{"git sample.mboxrd", 1, 0, 0, 0, 0, "listed = lines we keep >From-quoted"};
        const auto bodies = filesMatching(base, std::regex(R"(\d{4}mboxrd)"));
        const Converted c = convert(base / "sample.mboxrd");
        tally.expected = bodies.size();
        tally.found = c.emls.size();
        EXPECT_EQ(c.emls.size(), bodies.size()) << "sample.mboxrd: message count";
        static const std::regex quotedFrom(R"(>*From .*)");
        for (std::size_t k = 0; k < std::min(c.emls.size(), bodies.size()); ++k) {
            const std::string& eml = c.emls[k];
            const std::size_t blank = eml.find("\r\n\r\n");
            ASSERT_NE(blank, std::string::npos) << "sample.mboxrd message " << k << " has no body";
            const std::string ours = eml.substr(blank + 4, eml.size() - blank - 4 - 2);  // without the extra CR LF
            const std::string theirs = testing::toCrLf(testing::readFile(base / bodies[k]));
            auto lines = [](const std::string& text) {
                std::vector<std::string> out;
                for (std::size_t p = 0; p < text.size();) {
                    const std::size_t e = text.find("\r\n", p);
                    out.push_back(text.substr(p, e - p));
                    p = e == std::string::npos ? text.size() : e + 2;
                }
                return out;
            };
            const auto a = lines(ours), b = lines(theirs);
            bool same = a.size() == b.size();
            for (std::size_t i = 0; same && i < a.size(); ++i) {
                if (a[i] == b[i]) continue;
                if (a[i] == ">" + b[i] && std::regex_match(b[i], quotedFrom)) {
                    ++tally.listed;
                    continue;
                }
                same = false;
            }
            if (!same) {
                ++tally.mismatches;
                ADD_FAILURE() << "sample.mboxrd message " << k << ": " << firstDifference(ours, theirs);
            }
        }
        tally.mismatches += std::max(c.emls.size(), bodies.size()) - std::min(c.emls.size(), bodies.size());
        rows.push_back(tally);
    }
    printTable(rows);
}

// node-mbox names its test mailboxes by the number of messages its parser must find in them.
TEST(CorpusOracles, NodeMboxMessageCountsInFileNames)
{
    SKIP_WITHOUT("npm-node-mbox/test");
    const fs::path base = corpusRoot() / "npm-node-mbox/test";
    Tally tally{"node-mbox test-<N>-message", 0, 0, 0, 0, 0, ""};
    for (const auto& name : filesMatching(base, std::regex(R"(test-\d+-message\.mbox)"))) {
        const std::uint64_t expected = std::stoull(name.substr(5));
        const Converted c = convert(base / name);
        ++tally.mailboxes;
        tally.expected += expected;
        tally.found += c.report.messagesFound;
        if (c.report.messagesFound != expected) ++tally.mismatches;
        EXPECT_EQ(c.report.messagesFound, expected) << name;
    }
    printTable({tally});
}

// ---------------------------------------------------------------------------------------------
// 3. Line ends: a mailbox means the same whatever its line ends are

// Perl Email::Folder ships one mailbox with CR LF and with CR (classic Mac) line ends; the same
// messages must come out of both. And mailboxes whose split an upstream oracle confirmed above
// must give the same messages once every LF is a lone CR (copies made here): lone-CR lines end a
// line for the boundary rule and the header check as well.
TEST(CorpusLineEnds, SameMessagesWhateverTheLineEnds)
{
    SKIP_WITHOUT("perl-email-folder/t/mboxes/testmbox.dos");
    {
        const fs::path base = corpusRoot() / "perl-email-folder/t/mboxes";
        const Converted dos = convert(base / "testmbox.dos");
        const Converted mac = convert(base / "testmbox.mac");
        EXPECT_GT(dos.emls.size(), 1u);
        EXPECT_TRUE(dos.emls == mac.emls)
            << "testmbox.dos gives " << dos.emls.size() << " messages, testmbox.mac " << mac.emls.size();
    }
    for (const std::string_view relative :
         {"mimekit/UnitTests/TestData/mbox/content-length.mbox.txt",
          "mimekit/UnitTests/TestData/mbox/issue1189.mbox.txt", "gmime/tests/data/mbox/input/substring.mbox",
          "git-t5100/t/t5100/sample.mbox"}) {
        if (!missing(relative).empty()) continue;
        const fs::path lf = corpusRoot() / std::string(relative);
        std::string bytes = testing::readFile(lf);
        ASSERT_EQ(bytes.find('\r'), std::string::npos) << relative;
        std::replace(bytes.begin(), bytes.end(), '\n', '\r');
        TempDir dir;
        const Converted ours = convert(lf);
        const Converted cr = convert(dir.write("cr.mbox", bytes));
        EXPECT_TRUE(ours.emls == cr.emls)
            << relative << ": " << ours.emls.size() << " messages with LF, " << cr.emls.size() << " with CR";
    }
}

}  // namespace
}  // namespace quillmark
