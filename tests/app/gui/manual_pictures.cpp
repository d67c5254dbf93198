// Not a check: renders the window for the manual, before and during a conversion, when
// QUILLMARK_MANUAL_PICTURES names a folder (skipped otherwise).
#include "app/gui/frm_step1.h"
#include "app/gui/job_runner.h"
#include "gui_test_support.h"
#include "support/mbox_builder.h"
#include "support/temp_dir.h"

#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

#include <thread>

namespace quillmark::testing {
namespace {

TEST(ManualPictures, WindowBeforeAndDuringAConversion)
{
    const QString target = qEnvironmentVariable("QUILLMARK_MANUAL_PICTURES");
    if (target.isEmpty()) GTEST_SKIP() << "set QUILLMARK_MANUAL_PICTURES to a folder to render them";
    TempDir source;
    TempDir out;
    ScriptedDialogs dialogs;
    gui::frmStep1 window(dialogs);
    std::vector<Mail> mails(600);
    for (const char* name : {"Inbox", "Sent", "Archives"}) {
        dialogs.files.push_back({qPath(source.write(std::string("Thunderbird/Local Folders/") + name, mboxOf(mails)))});
        window.cmdAdd->click();
    }
    window.show();
    waitUntil([] { return false; }, std::chrono::milliseconds(200));
    ASSERT_TRUE(window.grab().save(target + "/window.png"));

    window.OptEML->setChecked(true);
    dialogs.folders = {qPath(out.path())};
    window.jobRunner().setPollHook([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    window.CmdConvert2PDF->click();
    waitUntil([&] { return window.LblProgessCurrent->text().startsWith("Mailbox 2"); });
    waitUntil([] { return false; }, std::chrono::milliseconds(400));
    ASSERT_TRUE(window.grab().save(target + "/converting.png"));
    window.close();
}

}  // namespace
}  // namespace quillmark::testing
