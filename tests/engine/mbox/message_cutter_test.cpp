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
