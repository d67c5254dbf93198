// The folder picker and the opening of documents, over Qt's portable equivalents of the
// platform shell (the native dialog on Windows and macOS).
//
// Results follow one contract on every platform: the picker gives the empty text on cancel and
// a folder without a trailing separator except at a root; opening a document reports nothing,
// and an empty target opens nothing.
#pragma once

#include <QString>

class QWidget;

namespace quillmark::platform {

// Modal to owner, opening in startIn when given. Native separators ("C:\Mail", "/home/me/Mail");
// "" when nothing was chosen.
QString BrowseForFolder(QWidget* owner, const QString& prompt, const QString& startIn = QString());

// A local path or a web address, opened by whatever the desktop associates with it.
void OpenDocument(const QString& target);

// The picker's raw answer in the form BrowseForFolder returns: native separators, no trailing
// separator except at a root. Kept apart so the rule can be checked without a dialog.
QString normaliseChosenFolder(const QString& chosen);

}  // namespace quillmark::platform
