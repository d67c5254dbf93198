// What the window asks of the user through the platform: message boxes, the open-file dialog,
// the folder picker and the opening of documents. The window gets one of these through its
// constructor, so tests can stand in for the user.
#pragma once

#include "engine/host/host.h"

#include <QString>
#include <QStringList>

class QWidget;

namespace quillmark::gui {

// The open-file dialog's settings as the add-files command prepares them.
struct OpenFileRequest {
    QString title;
    QString filter;
    bool multiSelect = true;
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // style: the box:: flags of engine/host/host.h. Closing the box counts as No (Yes/No) or Ok.
    virtual BoxAnswer messageBox(QWidget* owner, const QString& text, int style, const QString& title) = 0;
    // Full paths of the picked files; empty when cancelled.
    virtual QStringList openFiles(QWidget* owner, const OpenFileRequest& request) = 0;
    // "" when cancelled; no trailing separator except at a root.
    // startIn: the folder the picker opens in, when there is one to suggest.
    virtual QString browseForFolder(QWidget* owner, const QString& prompt, const QString& startIn = QString()) = 0;
    virtual void openDocument(const QString& target) = 0;
};

// The real thing: Qt's message box and file dialogs, the platform's document opening.
class QtDialogs final : public Dialogs {
public:
    BoxAnswer messageBox(QWidget* owner, const QString& text, int style, const QString& title) override;
    QStringList openFiles(QWidget* owner, const OpenFileRequest& request) override;
    QString browseForFolder(QWidget* owner, const QString& prompt, const QString& startIn = QString()) override;
    void openDocument(const QString& target) override;
};

}  // namespace quillmark::gui
