#include "platform/qt/shell_dialogs.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QUrl>

namespace quillmark::platform {
namespace {

bool isRoot(const QString& path)
{
    // "/", "C:/" and "//server/share/" style roots keep their separator.
    return QDir(path).isRoot() || (path.size() == 3 && path[1] == u':' && path[2] == u'/');
}

}  // namespace

QString normaliseChosenFolder(const QString& chosen)
{
    if (chosen.isEmpty()) return {};
    QString path = QDir::fromNativeSeparators(chosen);
    while (path.size() > 1 && path.endsWith(u'/') && !isRoot(path)) path.chop(1);
    return QDir::toNativeSeparators(path);
}

QString BrowseForFolder(QWidget* owner, const QString& prompt, const QString& startIn)
{
    // ShowDirsOnly: only file-system folders can be confirmed.
    const QString chosen = QFileDialog::getExistingDirectory(owner, prompt, startIn, QFileDialog::ShowDirsOnly);
    return normaliseChosenFolder(chosen);
}

void OpenDocument(const QString& target)
{
    if (target.isEmpty()) return;
    // A local file wins over a scheme-like prefix: "C:\Help\index.html" is a path, not a URL
    // with the scheme "c".
    const QUrl url = QFileInfo::exists(target) ? QUrl::fromLocalFile(target) : QUrl(target);
    if (!url.isValid()) return;
    QDesktopServices::openUrl(url);  // a failure is the desktop's to show, not ours
}

}  // namespace quillmark::platform
