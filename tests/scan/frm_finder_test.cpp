#include "scan/frm_finder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <random>

namespace quillmark {
namespace {

using testing::TempDir;

struct Notice {
    std::string text;
    NoticeIcon icon;
    std::string title;
};

// Everything the scanner says, in order; every hit is reported at once.
struct Recorder final : ScanEvents {
    void notice(std::string_view text, NoticeIcon icon, std::string_view title) override
    {
        notices.push_back({std::string(text), icon, std::string(title)});
    }
    void beep() override { ++beeps; }
    bool timeToReport() override { return true; }
    void progress(float percent, std::string_view status) override
    {
        percents.push_back(percent);
        statuses.emplace_back(status);
    }

    std::vector<Notice> notices;
    std::size_t beeps = 0;
    std::vector<float> percents;
    std::vector<std::string> statuses;
};

struct Scan {
    Recorder events;
    SearchState state;
    FrmFinder finder{events, state};

    // The job's sequence for one mailbox.
    void run(const std::filesystem::path& path, std::string search = "From ")
    {
        state.clear();
        finder.Text2 = std::move(search);
        finder.Open_MBOX(path.string());
        (void)finder.Find_Click();
        while (!state.blnSearchDone) (void)finder.FindNext_Click();
        (void)finder.CloseFile();
    }
};

// What reading one byte at a time with the classic matcher gives.
std::vector<std::uint64_t> referenceHits(const std::string& data, const std::string& needle)
{
    std::vector<std::uint64_t> hits;
    const std::size_t len = needle.size();
    std::size_t pos = 0;
    for (;;) {
        bool found = false;
        while (!found) {
            if (data.size() <= len || pos >= data.size() - len) return hits;
            found = true;
            for (std::size_t k = 0; k < len; ++k) {
                const char c = data[pos++];
                if (c != needle[k]) {
                    found = false;
                    break;
                }
            }
        }
        hits.push_back(pos - len);  // the next search resumes right after the hit
    }
}

std::string scanText(const std::string& data, bool caseSensitive = true, std::string search = "From ")
{
    TempDir dir;
    Scan s;
    s.finder.Check1 = caseSensitive;
    s.run(dir.write("Inbox", data), std::move(search));
    EXPECT_TRUE(s.state.blnSearchDone);
    return s.state.strMsgPositions;
}

TEST(FrmFinder, RecordsEveryHitAsDecimalOffsetAndBar)
{
    std::string data = "From a\n" + std::string(724, 'x') + "From b\nmore text here";
    EXPECT_EQ(scanText(data), "0|731|");
}

TEST(FrmFinder, DoesNotBacktrackAfterMismatch)
{
    // The attempt at 0 fails on the second F; the next attempt starts at 2, so offset 1 is missed.
    EXPECT_EQ(scanText("FFrom and some more text"), "");
    EXPECT_EQ(scanText("From From and more text"), "0|5|");
    EXPECT_EQ(scanText("FroFrom xxxxxxx"), "");  // mismatch at "F" of the second word is consumed
    EXPECT_EQ(scanText("Fro From xxxxxxx"), "4|");
}

TEST(FrmFinder, NeverStartsAnAttemptInTheLastSearchLengthBytes)
{
    EXPECT_EQ(scanText("From "), "");     // exactly the search text: no hit
    EXPECT_EQ(scanText("abcFrom "), "");  // hit would end on the last byte
    EXPECT_EQ(scanText("abcFrom x"), "3|");
    // A last hit near the end is recorded; the find-next after it ends the search.
    EXPECT_EQ(scanText("xxxxFrom xxFrom xx"), "4|11|");
}

TEST(FrmFinder, HonoursCaseSwitchAndQuotedSearchText)
{
    const std::string data = "from x FROM y From z and more";
    EXPECT_EQ(scanText(data, true), "14|");
    EXPECT_EQ(scanText(data, false), "0|7|14|");
    EXPECT_EQ(scanText("a From inside a line", true, "\"From \""), "2|");
    EXPECT_EQ(scanText("a From inside a line", true, "\"\""), "");  // quotes alone: not stripped, no hit
}

TEST(FrmFinder, EqualsOneByteReadsAcrossReadWindows)
{
    // Many partial matches, and hits straddling the 1 MiB read window.
    std::mt19937 rng(42);
    const std::string alphabet = "FFromm \n\rx";
    std::string data(3 * 1024 * 1024 + 17, 'x');
    for (char& c : data) c = alphabet[rng() % alphabet.size()];
    for (std::size_t at : {std::size_t{1} << 20, (std::size_t{1} << 20) - 2, (std::size_t{2} << 20) - 4})
        data.replace(at, 5, "From ");
    const auto expected = referenceHits(data, "From ");
    ASSERT_GT(expected.size(), 50u);
    std::string list;
    for (auto h : expected) list += std::to_string(h) + "|";
    EXPECT_EQ(scanText(data), list);
}

TEST(FrmFinder, ReportsEachHitOnLabelAndBar)
{
    TempDir dir;
    Scan s;
    std::string data(1000, 'x');
    data.replace(7, 5, "From ");
    data.replace(994, 5, "From ");
    s.run(dir.write("Inbox", data));
    EXPECT_EQ(s.state.strMsgPositions, "7|994|");
    EXPECT_EQ(s.events.statuses,
              (std::vector<std::string>{"Searching for messages... Found message at : 7",
                                        "Searching for messages... Found message at : 994"}));
    EXPECT_EQ(s.events.percents, (std::vector<float>{1.0f, 99.0f}));
}

TEST(FrmFinder, ProgressRoundsHalvesToEven)
{
    EXPECT_EQ(hitProgress(0, 1000), 0.0f);
    EXPECT_EQ(hitProgress(7, 1000), 1.0f);
    EXPECT_EQ(hitProgress(994, 1000), 99.0f);
    EXPECT_EQ(hitProgress(5, 1000), 0.0f);
    EXPECT_EQ(hitProgress(15, 1000), 2.0f);
    EXPECT_EQ(hitProgress(25, 1000), 2.0f);
}

TEST(FrmFinder, TinyFileShowsSizeMessageAndEndsSearch)
{
    TempDir dir;
    for (std::string data : {std::string(), std::string("F")}) {
        Scan s;
        s.run(dir.write("Inbox", data));
        ASSERT_EQ(s.events.notices.size(), 3u);
        const std::string sizeText
            = "File size is " + std::to_string(data.size()) + " byte !\r\rFile can not open for string searching !";
        EXPECT_EQ(s.events.notices[0].text, sizeText);
        EXPECT_EQ(s.events.notices[0].title, "Norvale File Reader");
        EXPECT_EQ(s.events.notices[0].icon, NoticeIcon::Exclamation);
        EXPECT_EQ(s.events.notices[1].text, sizeText);
        EXPECT_EQ(s.events.notices[2].text, "File could not open !");
        EXPECT_EQ(s.events.beeps, 3u);
        EXPECT_TRUE(s.state.blnSearchDone);
        EXPECT_FALSE(s.finder.failure());  // an empty mailbox is not an error
    }
}

TEST(FrmFinder, MissingFileOrFolderEndsSearchWithFileNotFound)
{
    TempDir dir;
    for (auto path : {dir / "gone", dir.path()}) {
        Scan s;
        s.run(path);
        ASSERT_EQ(s.events.notices.size(), 1u);
        EXPECT_EQ(s.events.notices[0].text, "File not found !");
        EXPECT_TRUE(s.state.blnSearchDone);
        EXPECT_TRUE(s.state.strMsgPositions.empty());
        ASSERT_TRUE(s.finder.failure());
        EXPECT_FALSE(s.finder.failure()->detail.empty());
    }
}

TEST(FrmFinder, RefusesMisuseWithItsMessages)
{
    TempDir dir;
    const auto path = dir.write("Inbox", "From a\nX: 1\n\nbody\n");
    Scan s;
    s.finder.Open_MBOX(path.string());
    s.finder.Open_MBOX(path.string());
    ASSERT_EQ(s.events.notices.size(), 1u);
    EXPECT_EQ(s.events.notices[0].text, "Close current file before open a file!");
    EXPECT_EQ(s.events.notices[0].title, "");
    EXPECT_TRUE(s.finder.CloseFile().ok());
    EXPECT_FALSE(s.finder.CloseFile().ok());  // nothing open

    s.finder.Text1 = "   ";
    (void)s.finder.Find_Click();
    EXPECT_EQ(s.events.notices.back().text, "Enter name of the file to be searched...");
    EXPECT_EQ(s.events.notices.back().icon, NoticeIcon::None);
    EXPECT_TRUE(s.state.blnSearchDone);

    const auto beeps = s.events.beeps;
    (void)s.finder.FindNext_Click();  // no last hit: only a beep
    EXPECT_EQ(s.events.beeps, beeps + 1);
}

}  // namespace
}  // namespace quillmark
