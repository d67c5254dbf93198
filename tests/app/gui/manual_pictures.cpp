// Not a check: renders the window for the manual, before and during a conversion, when
// QUILLMARK_MANUAL_PICTURES names a folder (skipped otherwise).
#include "app/gui/frm_step1.h"
#include "app/gui/job_runner.h"
#include "gui_test_support.h"
#include "platform/paths.h"
#include "support/mbox_builder.h"
#include "support/temp_dir.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <string_view>

namespace quillmark::testing {
namespace {

TEST(ManualPictures, WindowBeforeAndDuringAConversion)
{
    const QString target = qEnvironmentVariable("QUILLMARK_MANUAL_PICTURES");
    if (target.isEmpty()) GTEST_SKIP() << "set QUILLMARK_MANUAL_PICTURES to a folder to render them";
    TempDir source;
    TempDir out;
    ScriptedDialogs dialogs;
    JobGate gate;
    gui::frmStep1 window(dialogs);
    std::vector<Mail> mails(600);
    std::filesystem::path sent;
    for (const char* name : {"Inbox", "Sent", "Archives"}) {
        const auto mailbox = source.write(std::string("Thunderbird/Local Folders/") + name, mboxOf(mails));
        if (std::string_view(name) == "Sent") sent = mailbox;
        dialogs.files.push_back({qPath(mailbox)});
        window.cmdAdd->click();
    }
    window.show();
    QCoreApplication::processEvents();
    ASSERT_TRUE(window.grab().save(target + "/window.png"));

    // Caught halfway through the second mailbox.
    const auto halfway
        = platform::toPath(platform::mailboxOutputFolder(platform::toText(out.path()) + "/", platform::toText(sent)))
        / "Email-299.eml";
    gate.holdWhen([&] { return std::filesystem::exists(halfway); });
    window.jobRunner().setPollHook(gate.hook());
    window.OptEML->setChecked(true);
    dialogs.folders = {qPath(out.path())};
    window.CmdConvert2PDF->click();
    ASSERT_TRUE(waitUntil([&] { return gate.isHolding(); }));
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    ASSERT_TRUE(window.grab().save(target + "/converting.png"));
    window.close();
}

}  // namespace
}  // namespace quillmark::testing
