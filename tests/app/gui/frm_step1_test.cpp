// The main window and its file list: layout and initial state, the add and clear commands, and
// when Convert is enabled.
#include "app/gui/frm_step1.h"
#include "app/gui/twips.h"
#include "gui_test_support.h"
#include "support/temp_dir.h"

#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include <gtest/gtest.h>

#include <filesystem>

namespace quillmark::testing {
namespace {

namespace fs = std::filesystem;
using gui::frmStep1;

class WindowTest : public ::testing::Test {
protected:
    QString mailbox(std::string_view relative, std::string_view bytes = "From - x\nFrom: a@b\n\nHi\n")
    {
        return qPath(dir.write(relative, bytes));
    }
    QStringList rows() const
    {
        QStringList out;
        for (const std::string& row : window.listRows()) out << QString::fromStdString(row);
        return out;
    }
    QString countText() const { return window.lblCount1->text(); }
    bool convertEnabled() const { return window.CmdConvert2PDF->isEnabled(); }
    // The walk runs beside the window; the list is complete once it reports.
    void addFolder()
    {
        window.CmdAddFolder->click();
        ASSERT_TRUE(waitUntil([&] { return !window.isAddingFolder(); }));
    }

    TempDir dir;
    ScriptedDialogs dialogs;
    frmStep1 window{dialogs};
};

TEST_F(WindowTest, StartsEmptyWithNothingChosenAndConvertDisabled)
{
    EXPECT_EQ(window.objectName(), "frmStep1");
    EXPECT_EQ(window.windowTitle(), "Quillmark");
    EXPECT_EQ(rows(), QStringList{QString()});
    EXPECT_EQ(countText(), "0 files");
    EXPECT_FALSE(convertEnabled());
    for (QRadioButton* option : {window.OptEML, window.OptPST, window.OptMBOX}) EXPECT_FALSE(option->isChecked());
    EXPECT_EQ(window.ProgressBar1->value(), 0);
    EXPECT_EQ(window.ProgressBar2->value(), 0);
    EXPECT_EQ(window.LblProgessCurrent->text(), "Mailbox  0 (of 0)");
    EXPECT_EQ(window.LblProgress->text(), "Saving :");
    EXPECT_EQ(window.Label1->text(), "Reading          :");
    EXPECT_TRUE(window.LblHappening->text().isEmpty());
    EXPECT_TRUE(window.LblIMMFile->text().isEmpty());
    EXPECT_TRUE(window.LblEmlsFound->text().isEmpty());
    EXPECT_EQ(window.focusWidget(), window.cmdAdd);
}

TEST_F(WindowTest, ControlsCarryTheirNamesCaptionsAndPlaces)
{
    const struct {
        const char* name;
        QString caption;
    } buttons[] = {
        {"cmdAdd", "Select Thunderbird file(s)..."},
        {"CmdAddFolder", "Select folder having Thunderbird file(s)..."},
        {"cmdClear1", "Clear file(s)..."},
        {"CmdConvert2PDF", "Convert"},
        {"CmdHelp", "&Help Manual"},
        {"cmdEnd", "E&xit"},
    };
    for (const auto& b : buttons) {
        auto* button = window.findChild<QPushButton*>(QString::fromLatin1(b.name));
        ASSERT_NE(button, nullptr) << b.name;
        EXPECT_EQ(button->text(), b.caption);
    }
    EXPECT_EQ(window.OptEML->text(), "(.eml) files          -     (Outlook Express, Windows Mail, Windows Live Mail)");
    EXPECT_EQ(window.OptPST->text(), "(.pst) files          -     (MS Outlook)");
    EXPECT_EQ(window.OptMBOX->text(), "(.mbox) files      -     (Mac Mail, Entourage, Evolution)");
    EXPECT_EQ(window.Frame1->title(), " I want to convert Thunderbird messages to");
    for (const char* name : {"Image1", "Image2", "Image3", "Label2", "Label4", "LblProgessCurrent", "lblCount1"})
        EXPECT_NE(window.findChild<QLabel*>(QString::fromLatin1(name)), nullptr) << name;

    const gui::Twips t(window.logicalDpiY());
    EXPECT_EQ(window.size(), QSize(t.px(8985), t.px(8790)));
    EXPECT_EQ(window.cmdAdd->geometry(), t.rect(240, 1440, 2535, 375));
    EXPECT_EQ(window.cmdEnd->geometry(), t.rect(7200, 0, 1335, 375));  // inside Picture3
    EXPECT_EQ(window.OptMBOX->parentWidget(), window.Picture1);
    EXPECT_EQ(window.grdFiles1->columnWidth(0), t.px(15000));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(WindowTest, AddFilesTakesOnlyNonEmptyFilesWithoutADot)
{
    const QString inbox = mailbox("Mail/Inbox");
    const QString sent = mailbox("Mail/Sent");
    dialogs.files = {{inbox}, {inbox, mailbox("Mail/Inbox.msf"), sent, mailbox("Mail/Trash", "")}};
    window.cmdAdd->click();
    EXPECT_EQ(rows(), QStringList{inbox});
    EXPECT_EQ(countText(), "1 files");
    EXPECT_TRUE(convertEnabled());

    window.cmdAdd->click();
    EXPECT_EQ(rows(), (QStringList{inbox, inbox, sent}));  // duplicates are kept
    EXPECT_EQ(countText(), "3 files");
    EXPECT_EQ(dialogs.boxCount(), 0u);
    ASSERT_FALSE(dialogs.fileRequests.empty());
    EXPECT_TRUE(dialogs.fileRequests.front().multiSelect);
}

TEST_F(WindowTest, AddFilesEnablesConvertEvenWhenNothingPassesTheFilter)
{
    dialogs.files = {{mailbox("a/Inbox.msf"), mailbox("a/Empty", "")}};
    window.cmdAdd->click();
    EXPECT_EQ(rows(), QStringList{QString()});
    EXPECT_EQ(countText(), "0 files");
    EXPECT_TRUE(convertEnabled());
}

TEST_F(WindowTest, CancelledDialogsChangeNothing)
{
    window.cmdAdd->click();
    addFolder();
    EXPECT_EQ(rows(), QStringList{QString()});
    EXPECT_EQ(countText(), "0 files");
    EXPECT_FALSE(convertEnabled());
    EXPECT_EQ(dialogs.boxCount(), 0u);
    EXPECT_EQ(dialogs.prompts, QStringList{"Choose Source Folder..."});
}

TEST_F(WindowTest, AFileGoneBeforeItIsAddedIsReportedAndEarlierOnesStay)
{
    const QString inbox = mailbox("Inbox");
    dialogs.files = {{inbox, qPath(dir / "Gone"), mailbox("Sent")}};
    window.cmdAdd->click();
    EXPECT_EQ(rows(), QStringList{inbox});
    ASSERT_EQ(dialogs.boxCount(), 1u);
    const AskedBox box = dialogs.boxes().front();
    EXPECT_EQ(box.style, box::kExclamation);
    EXPECT_TRUE(box.text.contains(':')) << box.text.toStdString();
}

TEST_F(WindowTest, AddFolderTakesTheTreesMailboxesAndSaysHowMany)
{
    mailbox("Profile/Inbox");
    mailbox("Profile/Inbox.msf");
    mailbox("Profile/Local Folders/Sent");
    mailbox("Profile/Local Folders/Empty", "");
    mailbox("Profile/Ünïcødé/Posteingang");
    dialogs.folders = {qPath(dir / "Profile")};
    addFolder();

    const QStringList listed = rows();
    EXPECT_EQ(listed.size(), 3);
    EXPECT_TRUE(listed.contains(qPath(dir / "Profile" / "Inbox")));
    EXPECT_TRUE(listed.contains(qPath(dir / "Profile" / "Local Folders" / "Sent")));
    EXPECT_TRUE(listed.contains(qPath(dir / "Profile" / "Ünïcødé" / "Posteingang")));
    EXPECT_EQ(countText(), "3 files");
    EXPECT_TRUE(convertEnabled());
    ASSERT_EQ(dialogs.boxCount(), 1u);
    EXPECT_EQ(dialogs.boxes()[0].text, "3 Files Added to List.");
    EXPECT_EQ(dialogs.boxes()[0].style, box::kOkOnly);
}

TEST_F(WindowTest, AFolderWithoutMailboxesDisablesConvertDespiteEarlierEntries)
{
    const QString inbox = mailbox("Inbox");
    mailbox("Other/notes.txt");
    dialogs.files = {{inbox}};
    dialogs.folders = {qPath(dir / "Other")};
    window.cmdAdd->click();
    addFolder();
    EXPECT_EQ(rows(), QStringList{inbox});
    EXPECT_FALSE(convertEnabled());
    EXPECT_EQ(dialogs.boxes().back().text, "0 Files Added to List.");
}

TEST_F(WindowTest, AFolderLinkThatLoopsEndsTheWalk)
{
    mailbox("Tree/Inbox");
    std::error_code error;
    fs::create_directory_symlink(dir / "Tree", dir / "Tree" / "loop", error);
    if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
    dialogs.folders = {qPath(dir / "Tree")};
    addFolder();
    EXPECT_EQ(rows(), QStringList{qPath(dir / "Tree" / "Inbox")});
}

TEST_F(WindowTest, ClearAsksFirstAndLeavesConvertAlone)
{
    window.cmdClear1->click();  // an empty list: no question
    EXPECT_EQ(dialogs.boxCount(), 0u);

    const QString inbox = mailbox("Inbox");
    dialogs.files = {{inbox}, {inbox}};
    window.cmdAdd->click();
    dialogs.answers = {BoxAnswer::No, BoxAnswer::Yes};
    window.cmdClear1->click();
    EXPECT_EQ(rows(), QStringList{inbox});
    ASSERT_EQ(dialogs.boxCount(), 1u);
    EXPECT_EQ(dialogs.boxes()[0].text, "Do you want to clear all the files in the list\r\n Proceed?");
    EXPECT_EQ(dialogs.boxes()[0].style, box::kYesNo | box::kQuestion);

    window.cmdClear1->click();
    EXPECT_EQ(rows(), QStringList{QString()});
    EXPECT_EQ(countText(), "0 files");
    EXPECT_TRUE(convertEnabled());

    window.cmdAdd->click();  // the next add fills row 0 again
    EXPECT_EQ(rows(), QStringList{inbox});
    EXPECT_EQ(countText(), "1 files");
}

TEST_F(WindowTest, HelpOpensTheManualBesideTheProgram)
{
    window.CmdHelp->click();
    ASSERT_EQ(dialogs.opened.size(), 1);
    EXPECT_EQ(dialogs.opened[0], frmStep1::helpTarget());
    EXPECT_TRUE(dialogs.opened[0].endsWith("index.html") || dialogs.opened[0].startsWith("https://"));
}

TEST_F(WindowTest, ExitAnsweredNoKeepsEverything)
{
    const QString inbox = mailbox("Inbox");
    dialogs.files = {{inbox}};
    window.show();
    window.cmdAdd->click();
    window.OptEML->setChecked(true);
    window.cmdEnd->click();  // unanswered: No
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(dialogs.boxes().back().text, "Are you sure you want to exit now?");
    EXPECT_EQ(rows(), QStringList{inbox});
    EXPECT_TRUE(window.OptEML->isChecked());

    dialogs.answers = {BoxAnswer::Yes};
    window.cmdEnd->click();
    EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace quillmark::testing
