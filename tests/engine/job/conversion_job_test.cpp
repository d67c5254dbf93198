#include "engine/job/conversion_job.h"
#include "platform/paths.h"
#include "support/fake_host.h"
#include "support/mbox_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace quillmark {
namespace {

using testing::FakeHost;
using testing::Mail;
using testing::TempDir;

struct JobRun {
    TempDir dir;
    FakeHost host;
    Report report;
    std::filesystem::path out = dir / "out";

    std::string mailbox(const std::string& relative, const std::string& bytes)
    {
        return dir.write("src/" + relative, bytes).string();
    }
    std::filesystem::path outputOf(const std::string& mailboxPath) const
    {
        return platform::toPath(
            platform::mailboxOutputFolder(out.string() + platform::preferredSeparator(), mailboxPath));
    }
    Report run(const std::vector<std::string>& rows, Target target = Target::Eml, bool skipExpunged = false)
    {
        JobSettings settings;
        settings.target = target;
        settings.outputFolder = out.string() + platform::preferredSeparator();
        settings.progressInterval = std::chrono::milliseconds(0);
        settings.skipExpunged = skipExpunged;
        ConversionJob job(host, settings);
        report = job.run(rows);
        return report;
    }
};

const std::vector<Mail> kTwo = {{"a@example.com", "One", "first"}, {"b@example.com", "Two", "second"}};

TEST(ConversionJob, WritesEachMessageAsEmlBelowItsMailboxFolder)
{
    JobRun j;
    const auto inbox = j.mailbox("Mail/Inbox", testing::mboxOf(kTwo));
    const Report r = j.run({inbox});
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.messagesWritten, 2u);
    const auto folder = j.outputOf(inbox);
    EXPECT_EQ(testing::listFiles(folder), (std::vector<std::string>{"Email-0.eml", "Email-1.eml"}));
    EXPECT_EQ(testing::readFile(folder / "Email-0.eml"), testing::expectedEml(kTwo[0]));
    EXPECT_EQ(testing::readFile(folder / "Email-1.eml"), testing::expectedEml(kTwo[1]));
    // Closing box: the success text, ending with CR LF.
    ASSERT_EQ(j.host.boxes.size(), 1u);
    EXPECT_EQ(j.host.boxes[0].text,
              "Your Thunderbird messages has been successfully exported to (.eml) files.\r\n" + std::string(75, '*')
                  + "\r\n");
    EXPECT_EQ(j.host.boxes[0].style, 64);
    EXPECT_EQ(j.host.boxes[0].title, "Quillmark");
}

TEST(ConversionJob, ReportsLabelsAndBarsInOrder)
{
    JobRun j;
    std::vector<std::string> rows;
    for (const char* name : {"A/Inbox", "B/Inbox", "C/Sent"}) rows.push_back(j.mailbox(name, testing::mboxOf(kTwo)));
    j.run(rows);
    EXPECT_EQ(j.host.labels(Label::LblProgessCurrent),
              (std::vector<std::string>{"Mailbox 1 (of 3) ", "Mailbox 2 (of 3) ", "Mailbox 3 (of 3) "}));
    const auto bar1 = j.host.bars(Bar::ProgressBar1);
    ASSERT_EQ(bar1.size(), 3u);
    EXPECT_NEAR(bar1[0], 33.33, 0.01);
    EXPECT_NEAR(bar1[1], 66.67, 0.01);
    EXPECT_EQ(bar1[2], 100.0f);
    EXPECT_EQ(j.host.labels(Label::LblIMMFile), (std::vector<std::string>{"Inbox", "Inbox", "Sent"}));
    EXPECT_EQ(j.host.labels(Label::LblEmlsFound),
              (std::vector<std::string>{"", "2 Messages", "", "2 Messages", "", "2 Messages"}));
    const auto happening = j.host.labels(Label::LblHappening);
    ASSERT_GE(happening.size(), 2u);
    EXPECT_EQ(happening[0], "Setting Mail Search Filter...");
    EXPECT_EQ(happening[1], "Searching for messages... Found message at : 0");
    const auto progress = j.host.labels(Label::LblProgress);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), "");
    EXPECT_EQ(progress.back(), "Saved Email-1 Message");
    const auto size = std::filesystem::file_size(rows[2]);
    bool sawSaving = false;
    for (const auto& p : progress)
        if (p.rfind("Saving: ", 0) == 0) {
            sawSaving = true;
            EXPECT_NE(p.find(" Bytes out of " + std::to_string(size) + " Total Bytes."), std::string::npos) << p;
        }
    EXPECT_TRUE(sawSaving);
}

// The figures name the mailbox they are about, from its first figure on, and end with the totals.
TEST(ConversionJob, ProgressFiguresNameTheMailboxBeingRead)
{
    JobRun j;
    const auto inbox = j.mailbox("A/Inbox", testing::mboxOf(kTwo));
    const auto sent = j.mailbox("B/Sent", testing::mboxOf(kTwo));
    j.run({inbox, sent});
    ASSERT_FALSE(j.host.progressSeen.empty());
    for (const auto& f : j.host.progressSeen) EXPECT_EQ(f.mailboxName, f.mailbox == 1 ? "Inbox" : "Sent");
    EXPECT_EQ(j.host.progressSeen.back().messagesWritten, 4u);
    EXPECT_EQ(j.host.progressSeen.back().bytesDone, j.host.progressSeen.back().bytesTotal);
}

TEST(ConversionJob, TargetAndFolderChecksComeFirst)
{
    FakeHost host;
    bool browsed = false;
    auto browse = [&] {
        browsed = true;
        return std::string();
    };
    EXPECT_FALSE(acceptJobStart(host, std::nullopt, browse));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Please select a option to convert file(s).");
    EXPECT_FALSE(browsed);
    EXPECT_FALSE(acceptJobStart(host, Target::Eml, browse));  // picker cancelled: nothing shown
    EXPECT_TRUE(browsed);
    EXPECT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(acceptJobStart(host, Target::Eml, [] { return std::string("/out"); }),
              std::string("/out") + platform::preferredSeparator());
    EXPECT_EQ(acceptJobStart(host, Target::Eml, [] { return std::string("/"); }), "/");
}

TEST(ConversionJob, GoesOnAfterAFailedMailboxAndSaysSo)
{
    JobRun j;
    const auto good = j.mailbox("Mail/Inbox", testing::mboxOf(kTwo));
    const auto missing = (j.dir / "src/Mail/Gone").string();
    const auto notMbox = j.mailbox("Mail/Notes", "just some text, no mail here\n");
    const Report r = j.run({missing, good, notMbox});
    EXPECT_FALSE(r.succeeded());
    EXPECT_EQ(r.mailboxes, 3u);
    EXPECT_EQ(r.mailboxesFailed, 2u);
    EXPECT_EQ(r.messagesWritten, 2u);
    ASSERT_EQ(j.host.boxes.size(), 2u);  // the scanner's "File not found !", then the closing box
    EXPECT_EQ(j.host.boxes[0].text, "File not found !");
    const auto& closing = j.host.boxes[1];
    EXPECT_EQ(closing.style, 48);
    EXPECT_EQ(closing.text.find("successfully"), std::string::npos);
    EXPECT_NE(closing.text.find("2 messages were written"), std::string::npos) << closing.text;
    EXPECT_NE(closing.text.find("2 mailboxes and 0 messages could not be converted"), std::string::npos);
    EXPECT_NE(closing.text.find(missing), std::string::npos);
    EXPECT_NE(closing.text.find("not a Thunderbird mailbox"), std::string::npos);
    // Each problem keeps the error as it was raised: its code and the line that noticed it.
    ASSERT_EQ(r.problems.size(), 2u);
    EXPECT_EQ(r.problems[0].error.code, Code::NotFound);
    EXPECT_EQ(r.problems[1].error.code, Code::Corrupt);
    for (const auto& p : r.problems) {
        EXPECT_GT(p.error.where.line(), 0u);
        EXPECT_NE(std::string(p.error.where.file_name()), "");
    }
}

TEST(ConversionJob, EmptyMailboxesAreNotFailuresAndAnEmptyListIsNothingToDo)
{
    JobRun k;
    const auto trash = k.mailbox("Mail/Trash", "");
    const Report r = k.run({trash});
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.mailboxesConverted, 1u);
    EXPECT_EQ(r.mailboxesEmpty, 1u);
    EXPECT_EQ(r.messagesWritten, 0u);
    EXPECT_TRUE(std::filesystem::is_directory(k.outputOf(trash)));
    // The window's empty list is one blank row: the job says there is nothing to do and makes no
    // file, whatever the target.
    for (Target target : {Target::Eml, Target::Pst, Target::Mbox}) {
        JobRun j;
        std::filesystem::create_directories(j.out);
        const Report empty = j.run({""}, target);
        EXPECT_FALSE(empty.succeeded());
        EXPECT_TRUE(empty.nothingToConvert);
        EXPECT_EQ(empty.mailboxes, 0u);
        ASSERT_EQ(j.host.boxes.size(), 1u);
        EXPECT_EQ(j.host.boxes[0].text, "There is nothing to convert: the list holds no mailbox.");
        EXPECT_EQ(j.host.boxes[0].style, 64);
        EXPECT_TRUE(testing::listFiles(j.out).empty());
    }
}

// Every target counts them alike, also the one that reads messages on threads of its own.
TEST(ConversionJob, CountsAndOptionallySkipsExpungedMessages)
{
    std::vector<Mail> mails = kTwo;
    mails.push_back(kTwo[0]);
    mails[0].extraHeaders = "X-Mozilla-Status: 0009\n";
    mails[2].extraHeaders = "X-Mozilla-Status: 0008\n";
    for (Target target : {Target::Eml, Target::Pst, Target::Mbox})
        for (bool skip : {false, true}) {
            SCOPED_TRACE(std::string(writerFormat(target).name) + (skip ? ", skipped" : ""));
            JobRun j;
            std::filesystem::create_directories(j.out);
            const Report r = j.run({j.mailbox("Inbox", testing::mboxOf(mails))}, target, skip);
            EXPECT_TRUE(r.succeeded());
            EXPECT_EQ(r.messagesExpunged, 2u);
            EXPECT_EQ(r.messagesSkipped, skip ? 2u : 0u);
            ASSERT_EQ(r.outcomes.size(), 1u);
            EXPECT_EQ(r.outcomes[0].skipped, skip ? 2u : 0u);
            EXPECT_EQ(r.messagesWritten, skip ? 1u : 3u);
        }
}

TEST(ConversionJob, CancelStopsBetweenMessagesAndKeepsWhatWasWritten)
{
    JobRun j;
    std::vector<Mail> many(10, kTwo[0]);
    const auto inbox = j.mailbox("Inbox", testing::mboxOf(many));
    const auto sent = j.mailbox("Sent", testing::mboxOf(kTwo));
    j.host.cancelWhen = [&] { return std::filesystem::exists(j.outputOf(inbox) / "Email-2.eml"); };
    const Report r = j.run({inbox, sent});
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.messagesWritten, 3u);
    EXPECT_EQ(testing::listFiles(j.outputOf(inbox)),
              (std::vector<std::string>{"Email-0.eml", "Email-1.eml", "Email-2.eml"}));
    // Converted only in part, and the mailbox never reached is not converted.
    EXPECT_EQ(r.mailboxes, 2u);
    EXPECT_EQ(r.mailboxesConverted, 0u);
    EXPECT_EQ(r.mailboxesPartly, 1u);
    EXPECT_EQ(r.mailboxesNotConverted, 1u);
    EXPECT_EQ(r.mailboxesFailed, 0u);
    EXPECT_EQ(partlyConvertedLines(r), std::vector<std::string>{inbox + ": 3 of 10 messages written"});
    const std::string& box = j.host.boxes.back().text;
    EXPECT_NE(box.find("cancelled"), std::string::npos);
    EXPECT_NE(box.find("1 mailbox was converted only in part."), std::string::npos) << box;
    EXPECT_NE(box.find("1 mailbox was not converted"), std::string::npos) << box;
    EXPECT_NE(box.find(inbox + ": 3 of 10 messages written"), std::string::npos) << box;
}

// The mailbox is cut shorter (Thunderbird compacting it) after message 1 was written: messages 3
// to 5 are gone from it. They are failures of one reason, said in one line.
TEST(ConversionJob, AMailboxThatShrinksWhileReadIsPartlyConverted)
{
    JobRun j;
    std::vector<Mail> six(6, Mail{"a@example.com", "long", std::string(400000, 'x')});  // past one read window
    const std::string bytes = testing::mboxOf(six);
    const auto inbox = j.mailbox("Inbox", bytes);
    const auto cut = bytes.size() / 2;  // where message 3 begins: all six are the same size
    j.host.cancelWhen = [&] {
        if (std::filesystem::exists(j.outputOf(inbox) / "Email-1.eml")) std::filesystem::resize_file(inbox, cut);
        return false;
    };
    const Report r = j.run({inbox});
    EXPECT_EQ(r.messagesWritten, 3u);
    EXPECT_EQ(r.messagesFailed, 3u);
    EXPECT_EQ(r.mailboxesPartly, 1u);
    EXPECT_EQ(r.mailboxesConverted, 0u);
    EXPECT_FALSE(r.fatal);
    EXPECT_EQ(failureLines(r, 50),
              std::vector<std::string>{inbox + ": messages 3 to 5: " + r.problems.back().error.detail});
    EXPECT_NE(r.problems.back().error.detail.find("shorter"), std::string::npos);
}

// Sixty unreadable mailboxes: the list of reasons stops at its limit and says how many more.
TEST(ConversionJob, FailureListSaysHowManyItLeavesOut)
{
    JobRun j;
    std::vector<std::string> rows;
    for (int i = 0; i < 60; ++i) rows.push_back((j.dir / ("src/Gone" + std::to_string(i))).string());
    const Report r = j.run(rows);
    EXPECT_EQ(r.mailboxesFailed, 60u);
    const auto lines = failureLines(r, 50);
    ASSERT_EQ(lines.size(), 51u);
    EXPECT_EQ(lines.back(), "... and 10 more");
    EXPECT_EQ(failureLines(r, 60).size(), 60u);
}

TEST(ConversionJob, SameMailboxTwiceReplacesItsFiles)
{
    JobRun j;
    const auto inbox = j.mailbox("Inbox", testing::mboxOf(kTwo));
    const Report r = j.run({inbox, inbox});
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.messagesWritten, 4u);
    EXPECT_EQ(testing::listFiles(j.outputOf(inbox)), (std::vector<std::string>{"Email-0.eml", "Email-1.eml"}));
}

}  // namespace
}  // namespace quillmark

namespace quillmark {
namespace {

TEST(ConversionJob, BytesBeforeTheFirstMessageMakeTheMailboxPartlyConverted)
{
    JobRun bom;
    const Report clean = bom.run({bom.mailbox("Inbox", "\xEF\xBB\xBF" + testing::mboxOf(kTwo))});
    EXPECT_EQ(clean.messagesWritten, 2u);
    EXPECT_EQ(clean.issuesKept, 0u);  // a byte-order mark is no content
    EXPECT_TRUE(clean.succeeded());
    JobRun junk;
    const auto inbox = junk.mailbox("Inbox", "junk\n" + testing::mboxOf(kTwo));
    const Report stray = junk.run({inbox});
    EXPECT_EQ(stray.messagesWritten, 2u);
    ASSERT_EQ(stray.issuesKept, 1u);
    EXPECT_NE(stray.problems[0].error.detail.find("5 bytes before the first message"), std::string::npos);
    EXPECT_FALSE(stray.succeeded());
    EXPECT_EQ(stray.mailboxesPartly, 1u);
    EXPECT_EQ(stray.mailboxesConverted, 0u);
    ASSERT_EQ(junk.host.boxes.size(), 1u);
    EXPECT_EQ(junk.host.boxes[0].style, 48);
    EXPECT_EQ(junk.host.boxes[0].text.find("successfully"), std::string::npos);
    EXPECT_NE(junk.host.boxes[0].text.find("1 mailbox was converted only in part."), std::string::npos);
}

// "Inbox " is another mailbox than "Inbox": each is read under its own name, into its own folder.
TEST(ConversionJob, PathsAreUsedExactlyAsGiven)
{
#ifdef _WIN32
    GTEST_SKIP() << "Windows drops a blank at the end of a name: there \"Inbox \" is \"Inbox\"";
#endif
    JobRun j;
    const auto plain = j.mailbox("Mail/Inbox", testing::mboxOf(kTwo));
    const auto blank = j.mailbox("Mail/Inbox ", testing::mboxOf({{"c@example.com", "Blank", "third"}}));
    const Report r = j.run({plain, blank});
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.messagesWritten, 3u);
    EXPECT_EQ(r.mailboxesConverted, 2u);
    EXPECT_EQ(testing::readFile(j.outputOf(plain) / "Email-1.eml"), testing::expectedEml(kTwo[1]));
    EXPECT_EQ(testing::listFiles(j.outputOf(blank)), std::vector<std::string>{"Email-0.eml"});
    EXPECT_NE(testing::readFile(j.outputOf(blank) / "Email-0.eml").find("Subject: Blank"), std::string::npos);
}

// A relative path and an absolute one drop to the same output folder (as C:\Mail\Inbox and
// E:\Mail\Inbox do on Windows): the later mailbox gets "<name> (2)", and the report says so.
TEST(ConversionJob, TwoMailboxesNeverShareAnOutputFolder)
{
    JobRun j;
    const auto first = j.mailbox("Inbox", testing::mboxOf(kTwo));
    const std::string relative = platform::relativePart(first);
    const auto cwd = j.dir / "elsewhere";
    j.dir.write("elsewhere/" + relative, testing::mboxOf({{"c@example.com", "Other", "other"}}));
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(cwd);
    const Report r = j.run({first, relative, first});
    std::filesystem::current_path(previous);
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.messagesWritten, 5u);
    const auto folder = j.outputOf(first);
    auto second = folder;
    second += " (2)";
    // The same mailbox listed twice keeps its folder; the other one gets its own.
    EXPECT_EQ(testing::listFiles(folder), (std::vector<std::string>{"Email-0.eml", "Email-1.eml"}));
    EXPECT_EQ(testing::readFile(folder / "Email-0.eml"), testing::expectedEml(kTwo[0]));
    EXPECT_EQ(testing::listFiles(second), std::vector<std::string>{"Email-0.eml"});
    EXPECT_NE(testing::readFile(second / "Email-0.eml").find("Subject: Other"), std::string::npos);
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_EQ(r.notes[0],
              relative + " is written to " + second.string() + ": another mailbox of this job maps to "
                  + folder.string());
    EXPECT_EQ(r.outcomes[1].outputFolder, second.string());
    ASSERT_EQ(j.host.boxes.size(), 1u);  // the window's box says it too, below the success text
    EXPECT_TRUE(j.host.boxes[0].text.ends_with("\r\n" + r.notes[0])) << j.host.boxes[0].text;
}

}  // namespace
}  // namespace quillmark
