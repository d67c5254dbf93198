#include "app/gui/dialogs.h"

#include "platform/qt/shell_dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

namespace quillmark::gui {
namespace {

QMessageBox::Icon iconOf(int style)
{
    switch (style & 0x70) {
    case box::kQuestion:
        return QMessageBox::Question;
    case box::kExclamation:
        return QMessageBox::Warning;
    case box::kInformation:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

}  // namespace

BoxAnswer QtDialogs::messageBox(QWidget* owner, const QString& text, int style, const QString& title)
{
    QMessageBox box(iconOf(style), title, text, QMessageBox::NoButton, owner);
    box.setTextFormat(Qt::PlainText);  // file names may hold '<' or '&'
    if ((style & 0x0f) == box::kYesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? BoxAnswer::Yes : BoxAnswer::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return BoxAnswer::Ok;
}

QStringList QtDialogs::openFiles(QWidget* owner, const OpenFileRequest& request)
{
    QStringList names;
    if (request.multiSelect)
        names = QFileDialog::getOpenFileNames(owner, request.title, QString(), request.filter);
    else if (QString one = QFileDialog::getOpenFileName(owner, request.title, QString(), request.filter);
             !one.isEmpty())
        names << one;
    for (QString& name : names) name = QDir::toNativeSeparators(name);
    return names;
}

QString QtDialogs::browseForFolder(QWidget* owner, const QString& prompt, const QString& startIn)
{
    return platform::BrowseForFolder(owner, prompt, startIn);
}

void QtDialogs::openDocument(const QString& target) { platform::OpenDocument(target); }

}  // namespace quillmark::gui
