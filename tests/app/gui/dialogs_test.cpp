// The real message box behind the window's questions: the job and the window speak in the
// classic style flags, and a wrong mapping would turn a No into a Yes.
#include "app/gui/dialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

namespace quillmark::gui {
namespace {

// Looks at the box once it is up, then presses one of its buttons.
BoxAnswer askAndPress(const QString& text, int style, QMessageBox::StandardButton press,
                      const std::function<void(QMessageBox&)>& check)
{
    QTimer::singleShot(0, [&] {
        QMessageBox* box = nullptr;
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<QMessageBox*>(window); found && found->isVisible()) box = found;
        ASSERT_NE(box, nullptr);
        check(*box);
        box->button(press)->click();
    });
    QtDialogs dialogs;
    return dialogs.messageBox(nullptr, text, style, QStringLiteral("Quillmark"));
}

TEST(QtDialogs, QuestionsOfferYesAsDefaultAndReportTheButtonPressed)
{
    const auto check = [](QMessageBox& box) {
        EXPECT_EQ(box.icon(), QMessageBox::Question);
        EXPECT_EQ(box.standardButtons(), QMessageBox::Yes | QMessageBox::No);
        EXPECT_EQ(box.defaultButton(), box.button(QMessageBox::Yes));
        EXPECT_EQ(box.windowTitle(), "Quillmark");
    };
    EXPECT_EQ(askAndPress("Exit?", box::kYesNo | box::kQuestion, QMessageBox::No, check), BoxAnswer::No);
    EXPECT_EQ(askAndPress("Exit?", box::kYesNo | box::kQuestion, QMessageBox::Yes, check), BoxAnswer::Yes);
}

TEST(QtDialogs, NoticesShowTheirIconAndTextAsIs)
{
    const struct {
        int style;
        QMessageBox::Icon icon;
    } cases[] = {{box::kOkOnly, QMessageBox::NoIcon},
                 {box::kExclamation, QMessageBox::Warning},
                 {box::kInformation, QMessageBox::Information}};
    for (const auto& c : cases) {
        const BoxAnswer answer = askAndPress("<b>Inbox & Sent</b>", c.style, QMessageBox::Ok, [&](QMessageBox& box) {
            EXPECT_EQ(box.icon(), c.icon);
            EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
            EXPECT_EQ(box.textFormat(), Qt::PlainText);  // a mailbox name is never markup
        });
        EXPECT_EQ(answer, BoxAnswer::Ok);
    }
}

}  // namespace
}  // namespace quillmark::gui
