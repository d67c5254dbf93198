#include "engine/mbox/boundaries.h"
#include "engine/mbox/message_cutter.h"
#include "support/mbox_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace quillmark {
namespace {

using testing::TempDir;

template <std::size_t N>
std::string bytes(const char (&text)[N])
{
    return std::string(text, N - 1);
}

// Boundaries the way the job finds them: every "From " hit, then the boundary rule.
std::vector<std::uint64_t> boundariesOf(const std::string& data)
{
    std::vector<std::uint64_t> hits;
    for (auto at = data.find("From "); at != std::string::npos; at = data.find("From ", at + 1)) hits.push_back(at);
    TempDir dir;
    auto file = platform::ReadOnlyFile::open(dir.write("Inbox", data));
    EXPECT_TRUE(file.ok());
    WindowReader reader(*file);
    auto b = messageBoundaries(reader, hits);
    EXPECT_TRUE(b.ok());
    return *b;
}

std::vector<std::string> cutAll(const std::string& data, std::size_t window = WindowReader::kDefaultWindow)
{
    TempDir dir;
    auto file = platform::ReadOnlyFile::open(dir.write("Inbox", data));
    EXPECT_TRUE(file.ok());
    WindowReader reader(*file, window);
    std::vector<std::uint64_t> hits;
    for (auto at = data.find("From "); at != std::string::npos; at = data.find("From ", at + 1)) hits.push_back(at);
    auto boundaries = messageBoundaries(reader, hits);
    EXPECT_TRUE(boundaries.ok());
    MessageCutter cutter(reader);
    std::vector<std::string> out;
    for (const auto& span : messageSpans(*boundaries, data.size())) {
        StringSink sink;
        auto n = cutter.cut(span, sink);
        EXPECT_TRUE(n.ok());
        EXPECT_EQ(*n, sink.text.size());
        // The bytes as they stand, read and cleaned elsewhere, give the same head and text.
        const std::string bytes = data.substr(span.begin, span.size());
        EXPECT_EQ(cleanText(bytes), sink.text);
        auto head = cutter.head(span);
        EXPECT_TRUE(head.ok());
        if (!head) continue;
        const MessageHead inMemory = readHead(bytes);
        EXPECT_EQ(inMemory.separatorLine, head->separatorLine);
        EXPECT_EQ(inMemory.mozillaStatus, head->mozillaStatus);
        EXPECT_EQ(inMemory.mozillaStatus2, head->mozillaStatus2);
        EXPECT_EQ(inMemory.draft, head->draft);
        EXPECT_EQ(inMemory.keys, head->keys);
        out.push_back(sink.text);
    }
    return out;
}

TEST(MessageBoundaries, OnlyLineStartsFollowedByAHeaderField)
{
    EXPECT_EQ(boundariesOf("From a\nX: 1\n\nbody\nFrom b\nY: 2\n"), (std::vector<std::uint64_t>{0, 18}));
    // "From " inside a line, or a body line not followed by a header, splits nothing; a body
    // line followed by something that looks like a header does (as in Thunderbird).
    EXPECT_EQ(boundariesOf("From a\nX: 1\n\nsee From here\nFrom my desk\nhello: no\n"),
              (std::vector<std::uint64_t>{0, 27}));
    EXPECT_EQ(boundariesOf("From a\nX: 1\n\nFrom my desk\n\nbye\n"), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(boundariesOf("From a\nX 1: no\n"), (std::vector<std::uint64_t>{}));
    EXPECT_EQ(boundariesOf("From a\n: empty name\n"), (std::vector<std::uint64_t>{}));
    // Every line-end style counts before and after the separator line.
    EXPECT_EQ(boundariesOf("From a\rX: 1\r\rbody\rFrom b\rY: 2\r"), (std::vector<std::uint64_t>{0, 18}));
    EXPECT_EQ(boundariesOf("From a\r\nX: 1\r\n\r\nFrom b\r\nY: 2\r\n"), (std::vector<std::uint64_t>{0, 16}));
    // A UTF-8 byte-order mark before the first separator does not hide it.
    EXPECT_EQ(boundariesOf("\xEF\xBB\xBF"
                           "From a\nX: 1\n"),
              (std::vector<std::uint64_t>{3}));
    EXPECT_EQ(boundariesOf("abcFrom a\nX: 1\n"), (std::vector<std::uint64_t>{}));
    // A separator line as the very last line has no header after it.
    EXPECT_EQ(boundariesOf("From a\nX: 1\n\nFrom b\n"), (std::vector<std::uint64_t>{0}));
}

TEST(MessageCutter, CutsByBytesOnEveryLineEndStyle)
{
    const std::vector<testing::Mail> mails = {{}, {"bob@example.org", "Second", "Line one\nLine two"}};
    for (const std::string eol : {"\n", "\r\n", "\r"}) {
        SCOPED_TRACE(eol == "\n" ? "LF" : eol == "\r" ? "CR" : "CRLF");
        const auto cut = cutAll(testing::mboxOf(mails, eol));
        ASSERT_EQ(cut.size(), 2u);
        EXPECT_EQ(cut[0], testing::expectedEml(mails[0]));
        EXPECT_EQ(cut[1], testing::expectedEml(mails[1]));
    }
}

TEST(MessageCutter, DropsSeparatorKeepsBodyAndAddsExtraLineEnd)
{
    // The classic six-line example: the separator lines are mbox framing and do not go in.
    const auto cut = cutAll("From a\r\nX: 1\r\n\r\nbody\r\nFrom b\r\nY: 2\r\n");
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut[0], "X: 1\r\n\r\nbody\r\n\r\n");
    EXPECT_EQ(cut[1], "Y: 2\r\n\r\n");
    // A last line without line end still ends with CR LF, then the extra one.
    EXPECT_EQ(cutAll("From a\nX: 1\n\nlast")[0], "X: 1\r\n\r\nlast\r\n\r\n");
    // Mixed line ends in one message; other bytes, NUL included, pass unchanged.
    EXPECT_EQ(cutAll(bytes("From a\nX: 1\r\n\rA\0B\n\r\nC"))[0], bytes("X: 1\r\n\r\nA\0B\r\n\r\nC\r\n\r\n"));
    // A message is only its separator line: the text is the extra CR LF alone.
    EXPECT_EQ(cleanText("From a"), "\r\n");
    EXPECT_EQ(cleanText("From a\r"), "\r\n");
}

TEST(MessageCutter, KeepsEscapedAndUnsplitFromLinesInTheBody)
{
    const std::string box = "From a\nX: 1\n\n>From quoted\nFrom not a separator\n\nFrom b\nY: 2\n\nend\n";
    const auto cut = cutAll(box);
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut[0], "X: 1\r\n\r\n>From quoted\r\nFrom not a separator\r\n\r\n\r\n");
    EXPECT_EQ(cut[1], "Y: 2\r\n\r\nend\r\n\r\n");
}

TEST(MessageCutter, GivesTheSameBytesWhateverTheReadWindow)
{
    // CR LF pairs and separators falling on window edges must not change a byte.
    std::string body;
    for (int i = 0; i < 400; ++i) body += "line " + std::to_string(i) + (i % 3 ? "\r\n" : i % 2 ? "\r" : "\n");
    const std::string box = testing::mboxOf({{"a@example.com", "one", body}, {"b@example.com", "two", body}}, "\r\n");
    const auto reference = cutAll(box);
    for (std::size_t window : {64u, 65u, 127u, 4096u}) {
        SCOPED_TRACE(window);
        EXPECT_EQ(cutAll(box, window), reference);
    }
}

// The clean text as the rules say it, one byte at a time: the separator line dropped, leading
// blanks trimmed, every line (CR, LF or CR LF) ending in CR LF, one more CR LF at the end, and
// for an .mbox file ">" before every line that begins with "From ".
std::string expectedText(std::string_view m, Escaping escaping)
{
    std::size_t i = 0;
    while (i < m.size() && m[i] != '\n' && m[i] != '\r') ++i;
    if (i < m.size()) i += (m[i] == '\r' && i + 1 < m.size() && m[i + 1] == '\n') ? std::size_t{2} : std::size_t{1};
    while (i < m.size() && m[i] == ' ') ++i;
    std::string out;
    std::string line;
    bool open = false;
    const auto endLine = [&] {
        if (escaping == Escaping::FromLines && line.starts_with("From ")) out += '>';
        out += line + "\r\n";
        line.clear();
        open = false;
    };
    for (; i < m.size(); ++i) {
        if (m[i] == '\r' || m[i] == '\n') {
            endLine();
            if (m[i] == '\r' && i + 1 < m.size() && m[i + 1] == '\n') ++i;
        } else {
            line += m[i];
            open = true;
        }
    }
    if (open) endLine();
    return out + "\r\n";
}

// Cuts one message (the whole file) with a window of `window` bytes: reads of half of it.
std::string cutWithWindow(const platform::ReadOnlyFile& file, std::size_t window, Escaping escaping)
{
    WindowReader reader(file, window);
    MessageCutter cutter(reader);
    StringSink sink;
    auto n = cutter.cut({0, file.size()}, sink, escaping);
    EXPECT_TRUE(n.ok());
    EXPECT_EQ(*n, sink.text.size());
    return sink.text;
}

// Line ends and "From " lines at every position against the reads' edges, down to reads of one
// byte: a CR LF split between two reads is one line end, a line start split between reads is
// still escaped, and what is held back at the end of a message goes out as it is.
TEST(MessageCutter, SameTextWhereverTheReadsSplitLinesAndFromLines)
{
    const std::vector<std::string> messages = {
        "From sep\r\n  From a\r\n>From b\r\nFrom c\r\n From d\r\nFromage\r\nFr\r\nFrom\r\nx From y\r\nFrom ",
        "From sep\nX: 1\n\nFrom here\rFrom\rFrom \r\r\n\nFrom x\r\nFr",
        "From sep\r\rFrom a line of some length to cross sixteen-byte blocks\r\nand more\nFro",
        "From sep only",
        "From sep\r",
        "From sep\r\n   ",
        "From sep\n\n\r\r\n\n",
        std::string("From sep\nA\0B\nFrom \0\n") + std::string(40, 'x') + "\rFrom " + std::string(33, 'y'),
    };
    TempDir dir;
    ByteBuffer reused;  // as an import thread keeps it, from one message to the next
    for (const auto& message : messages) {
        auto file = platform::ReadOnlyFile::open(dir.write("Inbox", message));
        ASSERT_TRUE(file.ok());
        for (const Escaping escaping : {Escaping::None, Escaping::FromLines}) {
            const std::string expected = expectedText(message, escaping);
            SCOPED_TRACE(message);
            EXPECT_EQ(cleanText(message, escaping), expected);
            EXPECT_EQ(cleanTextInto(reused, message, escaping), expected);
            for (std::size_t window = 2; window <= 2 * message.size() + 2; ++window)
                ASSERT_EQ(cutWithWindow(*file, window, escaping), expected) << "window " << window;
        }
    }
}

// A hit near the end of the scanner's window is judged from what the window holds when that
// tells, and from a read of its own when the separator line or the field after it runs past.
TEST(MessageBoundaries, JudgedAlikeWhereverAHitFallsAgainstTheWindow)
{
    constexpr std::size_t kWindow = 128 * 1024;  // more than a separator line and a field name
    for (std::size_t before = 0; before < 40; ++before) {
        for (const bool real : {true, false}) {
            std::string box = "From a\nX: 1\n\n";
            box += std::string(kWindow - before - box.size() - 1, 'b') + "\n";
            const std::uint64_t hit = box.size();
            box += real ? "From b@example.com Mon Dec 07 08:15:02 2026\nSubject: two\n\nbody\n"
                        : "From my desk\n\nnot a header\n";
            SCOPED_TRACE(std::to_string(before) + (real ? " real" : " body line"));
            TempDir dir;
            auto file = platform::ReadOnlyFile::open(dir.write("Inbox", box));
            ASSERT_TRUE(file.ok());
            WindowReader reader(*file, kWindow);
            ASSERT_TRUE(reader.view(0, 1).ok());  // the window the scanner has read
            auto first = isMessageBoundary(reader, 0, 0);
            auto second = isMessageBoundary(reader, hit, 0);
            ASSERT_TRUE(first.ok() && second.ok());
            EXPECT_TRUE(*first);
            EXPECT_EQ(*second, real);
        }
    }
}

TEST(MessageCutter, ReadsSeparatorAndThunderbirdStatus)
{
    TempDir dir;
    const std::string box = "From - Mon Dec 07 09:15:02 2026\r\nX-Mozilla-Status: 0009\r\nSubject: x\r\n\r\n"
                            "X-Mozilla-Status: 0000\r\n";
    auto file = platform::ReadOnlyFile::open(dir.write("Inbox", box));
    ASSERT_TRUE(file.ok());
    WindowReader reader(*file);
    MessageCutter cutter(reader);
    auto head = cutter.head({0, box.size()});
    ASSERT_TRUE(head.ok());
    EXPECT_EQ(head->separatorLine, "From - Mon Dec 07 09:15:02 2026");
    EXPECT_EQ(head->mozillaStatus, 0x0009u);
    EXPECT_TRUE(head->expunged());
    // The status is read from the header block only.
    auto body = cutter.head({0, 0});
    ASSERT_TRUE(body.ok());
    EXPECT_FALSE(body->mozillaStatus);
}

}  // namespace
}  // namespace quillmark
