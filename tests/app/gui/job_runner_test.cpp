// Convert from the window: the checks before a job, a whole EML conversion on the worker thread,
// and ending the program while a job runs.
#include "app/gui/frm_step1.h"
#include "app/gui/job_runner.h"
#include "gui_test_support.h"
#include "platform/paths.h"
#include "support/mbox_builder.h"
#include "support/temp_dir.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace quillmark::testing {
namespace {

namespace fs = std::filesystem;
using gui::frmStep1;

std::vector<Mail> mails(int count)
{
    std::vector<Mail> out;
    for (int i = 0; i < count; ++i)
        out.emplace_back("alice@example.com", "Note " + std::to_string(i), "Body " + std::to_string(i));
    return out;
}

fs::path outputFolderOf(const fs::path& out, const fs::path& mailbox)
{
    return platform::toPath(platform::mailboxOutputFolder(platform::toText(out) + "/", platform::toText(mailbox)));
}

class ConvertTest : public ::testing::Test {
protected:
    fs::path addMailbox(const std::string& relative, int messages)
    {
        const fs::path path = source.write(relative, mboxOf(mails(messages)));
        dialogs.files.push_back({qPath(path)});
        window.cmdAdd->click();
        return path;
    }
    bool inputsEnabled() const
    {
        return window.cmdAdd->isEnabled() && window.CmdAddFolder->isEnabled() && window.cmdClear1->isEnabled()
            && window.OptEML->isEnabled() && window.CmdConvert2PDF->isEnabled();
    }
    bool finished() { return !window.isConverting() && inputsEnabled(); }

    // Everything the job posted to the window before it ended, handled now: after stop() the
    // worker has ended, so nothing is still on its way.
    static void handlePostedEvents()
    {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }

    TempDir source;
    TempDir out;
    ScriptedDialogs dialogs;
    JobGate gate;  // before the window: its job is stopped while the gate still exists
    frmStep1 window{dialogs};
};

TEST_F(ConvertTest, WithoutATargetOnlyAsksForOne)
{
    addMailbox("Inbox", 1);
    window.CmdConvert2PDF->click();
    ASSERT_EQ(dialogs.boxCount(), 1u);
    EXPECT_EQ(dialogs.boxes()[0].text, "Please select a option to convert file(s).");
    EXPECT_TRUE(dialogs.prompts.isEmpty());
    EXPECT_FALSE(window.isConverting());
}

TEST_F(ConvertTest, CancelledFolderPickerChangesNothing)
{
    addMailbox("Inbox", 1);
    window.OptEML->setChecked(true);
    window.CmdConvert2PDF->click();
    EXPECT_EQ(dialogs.prompts, QStringList{"Choose Folder to Save..."});
    EXPECT_FALSE(window.isConverting());
    EXPECT_EQ(dialogs.boxCount(), 0u);
    EXPECT_EQ(window.LblProgessCurrent->text(), "Mailbox  0 (of 0)");
    EXPECT_TRUE(listFiles(out.path()).empty());
}

TEST_F(ConvertTest, WritesEveryMessageAsEmlAndShowsTheProgress)
{
    const fs::path inbox = addMailbox("Mail/Inbox", 3);
    const fs::path sent = addMailbox("Mail/Sub/Sent", 2);
    window.OptEML->setChecked(true);
    dialogs.folders = {qPath(out.path())};
    window.CmdConvert2PDF->click();
    EXPECT_FALSE(window.cmdAdd->isEnabled());  // the job's inputs are locked while it runs
    EXPECT_FALSE(window.OptPST->isEnabled());
    EXPECT_TRUE(window.cmdEnd->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return finished(); }));

    for (const auto& [mailbox, count] : {std::pair{inbox, 3}, std::pair{sent, 2}}) {
        const fs::path folder = outputFolderOf(out.path(), mailbox);
        const auto all = mails(count);
        for (int j = 0; j < count; ++j)
            EXPECT_EQ(readFile(folder / ("Email-" + std::to_string(j) + ".eml")),
                      expectedEml(all[static_cast<std::size_t>(j)]));
    }
    EXPECT_EQ(listFiles(out.path()).size(), 5u);
    EXPECT_EQ(window.LblProgessCurrent->text(), "Mailbox 2 (of 2) ");
    EXPECT_EQ(window.LblIMMFile->text(), "Sent");
    EXPECT_EQ(window.LblEmlsFound->text(), "2 Messages");
    EXPECT_EQ(window.ProgressBar1->value(), 100);
    ASSERT_EQ(dialogs.boxCount(), 1u);
    EXPECT_TRUE(dialogs.boxes()[0].text.startsWith(
        "Your Thunderbird messages has been successfully exported to (.eml) files."));
    EXPECT_EQ(dialogs.boxes()[0].style, box::kInformation);
}

TEST_F(ConvertTest, AMailboxGoneBeforeTheJobIsReportedNotPraised)
{
    const fs::path inbox = addMailbox("Inbox", 2);
    const fs::path gone = addMailbox("Gone", 1);
    fs::remove(gone);
    window.OptEML->setChecked(true);
    dialogs.folders = {qPath(out.path())};
    window.CmdConvert2PDF->click();
    ASSERT_TRUE(waitUntil([&] { return finished(); }));
    EXPECT_EQ(listFiles(outputFolderOf(out.path(), inbox)).size(), 2u);
    // The scanner's own warning may come first; the closing box must not claim success.
    ASSERT_GE(dialogs.boxCount(), 1u);
    const QString closing = dialogs.boxes().back().text;
    EXPECT_FALSE(closing.contains("successfully")) << closing.toStdString();
    EXPECT_TRUE(closing.contains("Gone")) << closing.toStdString();
}

TEST_F(ConvertTest, AnOutputFolderThatCannotBeWrittenIsReportedAndTheWindowStaysUsable)
{
    addMailbox("Inbox", 2);
    window.OptEML->setChecked(true);
    dialogs.folders = {qPath(out.write("not-a-folder", "x"))};
    window.CmdConvert2PDF->click();
    ASSERT_TRUE(waitUntil([&] { return finished(); }));
    ASSERT_GE(dialogs.boxCount(), 1u);
    EXPECT_FALSE(dialogs.boxes().back().text.contains("successfully")) << dialogs.boxes().back().text.toStdString();
    EXPECT_EQ(listFiles(out.path()), std::vector<std::string>{"not-a-folder"});
}

TEST_F(ConvertTest, ExitDuringAJobEndsItOnlyWhenConfirmed)
{
    constexpr int kMessages = 40;
    const fs::path inbox = addMailbox("Inbox", kMessages);
    window.OptEML->setChecked(true);
    dialogs.folders = {qPath(out.path())};
    const fs::path folder = outputFolderOf(out.path(), inbox);
    // Held once four messages are written, so the job is still running when Exit is answered.
    gate.holdWhen([&] { return fs::exists(folder / "Email-3.eml"); });
    window.jobRunner().setPollHook(gate.hook());
    window.show();
    window.CmdConvert2PDF->click();
    ASSERT_TRUE(waitUntil([&] { return gate.isHolding(); }));

    window.cmdEnd->click();  // No
    EXPECT_TRUE(window.isConverting());
    EXPECT_TRUE(window.isVisible());

    dialogs.answers = {BoxAnswer::Yes};
    window.cmdEnd->click();
    EXPECT_FALSE(window.isConverting());
    EXPECT_FALSE(window.isVisible());
    const std::size_t boxesAtExit = dialogs.boxCount();
    handlePostedEvents();
    EXPECT_EQ(dialogs.boxCount(), boxesAtExit);  // no closing box after the program was ended

    // The four files written before Exit, whole; nothing written after it, nothing half-written.
    EXPECT_EQ(listFiles(folder),
              (std::vector<std::string>{"Email-0.eml", "Email-1.eml", "Email-2.eml", "Email-3.eml"}));
    const auto all = mails(kMessages);
    for (std::size_t j = 0; j < 4; ++j)
        EXPECT_EQ(readFile(folder / ("Email-" + std::to_string(j) + ".eml")), expectedEml(all[j]));
}

TEST_F(ConvertTest, TheMailboxBeingConvertedIsTheListsCurrentRow)
{
    addMailbox("A/Inbox", 3);
    const fs::path second = addMailbox("B/Inbox", 3);
    addMailbox("C/Inbox", 3);
    window.grdFiles1->setCurrentCell(2, 0);
    window.OptEML->setChecked(true);
    dialogs.folders = {qPath(out.path())};
    // Held in the second mailbox, once its first message is written.
    gate.holdWhen([&] { return fs::exists(outputFolderOf(out.path(), second) / "Email-0.eml"); });
    window.jobRunner().setPollHook(gate.hook());
    window.show();
    window.CmdConvert2PDF->click();
    ASSERT_TRUE(waitUntil([&] { return gate.isHolding(); }));
    handlePostedEvents();
    EXPECT_EQ(window.grdFiles1->currentRow(), 1);
    EXPECT_EQ(window.grdFiles1->currentColumn(), 0);
    window.close();
}

TEST_F(ConvertTest, ClosingTheWindowDuringAJobAsksNothing)
{
    addMailbox("Inbox", 20);
    window.OptEML->setChecked(true);
    dialogs.folders = {qPath(out.path())};
    window.jobRunner().setPollHook(gate.hook());  // held at its first poll, before any mailbox
    window.show();
    window.CmdConvert2PDF->click();
    ASSERT_TRUE(window.isConverting());
    ASSERT_TRUE(waitUntil([&] { return gate.isHolding(); }));
    window.close();
    EXPECT_FALSE(window.isConverting());
    handlePostedEvents();
    EXPECT_EQ(dialogs.boxCount(), 0u);
    EXPECT_TRUE(listFiles(out.path()).empty());
}

}  // namespace
}  // namespace quillmark::testing
