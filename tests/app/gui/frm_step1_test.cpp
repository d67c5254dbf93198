// The main window and its file list: layout and initial state, the add and clear commands, and
// when Convert is enabled.
#include "app/gui/frm_step1.h"
#include "app/gui/twips.h"
#include "gui_test_support.h"
#include "support/temp_dir.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
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
    EXPECT_EQ(rows(), QStringList{QString()});
    EXPECT_FALSE(convertEnabled());
    for (QRadioButton* option : {window.OptEML, window.OptPST, window.OptMBOX}) EXPECT_FALSE(option->isChecked());
    for (QProgressBar* bar : {window.ProgressBar1, window.ProgressBar2}) {
        EXPECT_EQ(bar->minimum(), 0);
        EXPECT_EQ(bar->maximum(), 100);
        EXPECT_EQ(bar->value(), 0);
    }
    EXPECT_EQ(window.focusWidget(), window.cmdAdd);
}

// The text a control shows: a button's or label's text, a frame's title; none for the others.
QString captionOf(const QWidget& widget)
{
    if (const auto* button = qobject_cast<const QAbstractButton*>(&widget)) return button->text();
    if (const auto* label = qobject_cast<const QLabel*>(&widget)) return label->text();
    if (const auto* frame = qobject_cast<const QGroupBox*>(&widget)) return frame->title();
    return {};
}

// The window as it was drawn: each control's name, container, caption and place in twips
// (left, top, width, height within its container).
TEST_F(WindowTest, EveryControlHasTheCaptionAndPlaceOfTheLayout)
{
    const struct {
        const char* name;
        const char* container;
        const char* caption;
        int left, top, width, height;
    } layout[] = {
        {"Frame1", "frmStep1", " I want to convert Thunderbird messages to", 240, 4080, 8535, 1455},
        {"Picture1", "Frame1", "", 120, 240, 8295, 1095},
        {"OptEML", "Picture1", "(.eml) files          -     (Outlook Express, Windows Mail, Windows Live Mail)", 0, 120,
         8055, 255},
        {"OptPST", "Picture1", "(.pst) files          -     (MS Outlook)", 0, 480, 8055, 255},
        {"OptMBOX", "Picture1", "(.mbox) files      -     (Mac Mail, Entourage, Evolution)", 0, 840, 8055, 255},
        {"ProgressBar1", "frmStep1", "", 240, 7200, 8535, 255},
        {"Picture3", "frmStep1", "", 240, 8280, 8655, 495},
        {"CmdHelp", "Picture3", "&Help Manual", 0, 0, 1695, 375},
        {"cmdEnd", "Picture3", "E&xit", 7200, 0, 1335, 375},
        {"CmdConvert2PDF", "frmStep1", "Convert", 3120, 7560, 2775, 435},
        {"CmdAddFolder", "frmStep1", "Select folder having Thunderbird file(s)...", 3000, 1440, 3375, 375},
        {"cmdClear1", "frmStep1", "Clear file(s)...", 7440, 1440, 1335, 375},
        {"cmdAdd", "frmStep1", "Select Thunderbird file(s)...", 240, 1440, 2535, 375},
        {"grdFiles1", "frmStep1", "", 240, 2280, 8535, 1575},
        {"ProgressBar2", "frmStep1", "", 600, 6360, 8175, 255},
        {"LblHappening", "frmStep1", "", 2040, 5595, 6735, 255},
        {"LblProgress", "frmStep1", "Saving :", 960, 6855, 7815, 255},
        {"Image3", "frmStep1", "", 600, 6855, 240, 240},
        {"LblEmlsFound", "frmStep1", "", 1920, 6645, 6855, 255},
        {"Label2", "frmStep1", "Emails Found :", 600, 6645, 1335, 255},
        {"LblIMMFile", "frmStep1", "", 1920, 6120, 6855, 255},
        {"Label1", "frmStep1", "Reading          :", 600, 6120, 1335, 255},
        {"Image2", "frmStep1", "", 0, 0, 9000, 1275},
        {"Image1", "frmStep1", "", 240, 5835, 240, 240},
        {"LblProgessCurrent", "frmStep1", "Mailbox  0 (of 0)", 600, 5880, 8175, 255},
        {"Label4", "frmStep1", "Converting Messages...", 240, 5595, 1815, 255},
        {"Shape1", "frmStep1", "", 0, 8160, 9015, 855},
        {"lblCount1", "frmStep1", "0 files", 270, 2040, 8535, 255},
    };
    const gui::Twips t(window.logicalDpiY());
    for (const auto& c : layout) {
        SCOPED_TRACE(c.name);
        const auto* widget = window.findChild<QWidget*>(QString::fromLatin1(c.name));
        ASSERT_NE(widget, nullptr);
        ASSERT_NE(widget->parentWidget(), nullptr);
        EXPECT_EQ(widget->parentWidget()->objectName(), QString::fromLatin1(c.container));
        EXPECT_EQ(captionOf(*widget), QString::fromUtf8(c.caption));
        EXPECT_EQ(widget->geometry(), t.rect(c.left, c.top, c.width, c.height));
    }
    // The rule under the banner runs from (0, 1280) to (9000, 1280).
    EXPECT_EQ(window.Line1->geometry().topLeft(), QPoint(0, t.px(1280)));
    EXPECT_EQ(window.Line1->width(), t.px(9000));

    EXPECT_EQ(window.objectName(), "frmStep1");
    EXPECT_EQ(window.windowTitle(), "Quillmark");
    EXPECT_EQ(window.size(), QSize(t.px(8985), t.px(8790)));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());              // a fixed layout: no resizing,
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);  // and no maximize box
    // Wider than the grid, so that a long path stays on one line.
    EXPECT_EQ(window.grdFiles1->columnWidth(0), t.px(15000));
}

TEST_F(WindowTest, AddFilesTakesOnlyMailboxes)
{
    const QString inbox = mailbox("Mail/Inbox");
    const QString sent = mailbox("Mail/Sent");
    const QString dotted = mailbox("Mail/Release v1.2");  // begins as a mailbox does
    dialogs.files = {{inbox},
                     {inbox, mailbox("Mail/Inbox.msf"), sent, mailbox("Mail/Trash", ""), dotted,
                      mailbox("Mail/notes.txt", "shopping list\n")}};
    window.cmdAdd->click();
    EXPECT_EQ(rows(), QStringList{inbox});
    EXPECT_EQ(countText(), "1 files");
    EXPECT_TRUE(convertEnabled());

    window.cmdAdd->click();
    EXPECT_EQ(rows(), (QStringList{inbox, inbox, sent, dotted}));  // duplicates are kept
    EXPECT_EQ(countText(), "4 files");
    EXPECT_EQ(dialogs.boxCount(), 0u);
    ASSERT_FALSE(dialogs.fileRequests.empty());
    EXPECT_TRUE(dialogs.fileRequests.front().multiSelect);
}

TEST_F(WindowTest, ConvertIsEnabledExactlyWhenTheListHoldsAMailbox)
{
    dialogs.files = {{mailbox("a/Inbox.msf"), mailbox("a/Empty", "")}, {mailbox("a/Inbox")}, {mailbox("a/x.msf")}};
    window.cmdAdd->click();  // nothing passes the filter: still nothing to convert
    EXPECT_EQ(rows(), QStringList{QString()});
    EXPECT_EQ(countText(), "0 files");
    EXPECT_FALSE(convertEnabled());
    window.cmdAdd->click();
    EXPECT_TRUE(convertEnabled());
    window.cmdAdd->click();  // an add that adds nothing leaves the earlier entries convertible
    EXPECT_EQ(countText(), "1 files");
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

TEST_F(WindowTest, AFolderWalkFillsTheListAsItGoesAndClosingEndsIt)
{
    for (int f = 0; f < 50; ++f)
        for (int m = 0; m < 4; ++m) mailbox("Big/F" + std::to_string(f) + "/box" + std::to_string(m));
    // Rows inserted while the walk is still going: they came before its end, not all at once after.
    int rowsDuringWalk = 0;
    QObject::connect(window.grdFiles1->model(), &QAbstractItemModel::rowsInserted, [&] {
        if (window.isAddingFolder()) ++rowsDuringWalk;
    });
    dialogs.folders = {qPath(dir / "Big")};
    addFolder();
    EXPECT_EQ(rows().size(), 200);
    EXPECT_EQ(countText(), "200 files");
    EXPECT_GE(rowsDuringWalk, 199);  // the first row fills the empty one
    EXPECT_EQ(dialogs.boxes().back().text, "200 Files Added to List.");

    // Closed before the window has heard anything of a second walk: it ends, adds nothing more
    // and says nothing.
    const std::size_t boxes = dialogs.boxCount();
    dialogs.folders = {qPath(dir / "Big")};
    window.show();
    window.CmdAddFolder->click();
    ASSERT_TRUE(window.isAddingFolder());
    window.close();
    EXPECT_FALSE(window.isAddingFolder());
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(rows().size(), 200);
    EXPECT_EQ(dialogs.boxCount(), boxes);
}

TEST_F(WindowTest, LongPathsCanBeReadToTheirEnd)
{
    const QString path
        = mailbox(std::string(40, 'f') + "/" + std::string(60, 'g') + "/" + std::string(60, 'h') + "/Inbox");
    dialogs.files = {{path}};
    window.cmdAdd->click();
    window.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(window.grdFiles1->item(0, 0)->toolTip(), path);
    // The path runs past the grid's edge: a scroll bar reaches its end.
    EXPECT_NE(window.grdFiles1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_GT(window.grdFiles1->horizontalScrollBar()->maximum(), 0);
}

TEST_F(WindowTest, AFolderWithoutMailboxesLeavesEarlierEntriesConvertible)
{
    const QString inbox = mailbox("Inbox");
    mailbox("Other/notes.txt", "shopping list\n");  // a dotted name is a mailbox only if it begins as one
    dialogs.files = {{inbox}};
    dialogs.folders = {qPath(dir / "Other")};
    window.cmdAdd->click();
    addFolder();
    EXPECT_EQ(rows(), QStringList{inbox});
    EXPECT_TRUE(convertEnabled());
    EXPECT_EQ(dialogs.boxes().back().text, "0 Files Added to List.");
}

TEST_F(WindowTest, AddFolderOpensWhereTheUsersMailLives)
{
    // A made-up home with one default profile holding one account.
    const QByteArray home = qgetenv("HOME");
    dir.write("home/.thunderbird/profiles.ini", "[Profile0]\nName=default\nPath=p.default\nDefault=1\n");
    dir.write("home/.thunderbird/p.default/prefs.js",
              "user_pref(\"mail.accountmanager.accounts\", \"account1\");\n"
              "user_pref(\"mail.account.account1.server\", \"server1\");\n"
              "user_pref(\"mail.server.server1.directory-rel\", \"[ProfD]Mail/Local Folders\");\n");
    mailbox("home/.thunderbird/p.default/Mail/Local Folders/Inbox");
    qputenv("HOME", qPath(dir / "home").toLocal8Bit());
    window.CmdAddFolder->click();  // cancelled: no folder is scripted
    qputenv("HOME", home);
    ASSERT_EQ(dialogs.startFolders.size(), 1);
    EXPECT_EQ(dialogs.startFolders[0], qPath(dir / "home/.thunderbird/p.default/Mail/Local Folders"));
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
    EXPECT_FALSE(convertEnabled());

    window.cmdAdd->click();  // the next add fills row 0 again
    EXPECT_EQ(rows(), QStringList{inbox});
    EXPECT_EQ(countText(), "1 files");
}

TEST_F(WindowTest, HelpOpensTheManualBesideTheProgram)
{
    // The build copies the manual beside the programs, this test's included.
    const QString manual = QCoreApplication::applicationDirPath() + "/manual/index.html";
    ASSERT_TRUE(QFileInfo::exists(manual)) << manual.toStdString();
    window.CmdHelp->click();
    EXPECT_EQ(dialogs.opened, QStringList{QDir::toNativeSeparators(manual)});
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
