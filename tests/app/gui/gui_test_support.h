// What the window tests share: a QApplication for the whole run, dialogs the tests answer, and
// waiting with the event loop turning.
#pragma once

#include "app/gui/dialogs.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <vector>

namespace quillmark::testing {

struct AskedBox {
    QString text;
    int style;
    QString title;
};

// Answers what the window asks, in order; records every question. Boxes are shown on the window
// thread only, but tests read the record while a job runs, hence the lock.
class ScriptedDialogs final : public gui::Dialogs {
public:
    BoxAnswer messageBox(QWidget*, const QString& text, int style, const QString& title) override;
    QStringList openFiles(QWidget*, const gui::OpenFileRequest& request) override;
    QString browseForFolder(QWidget*, const QString& prompt) override;
    void openDocument(const QString& target) override { opened << target; }

    std::vector<AskedBox> boxes() const;
    std::size_t boxCount() const;

    std::deque<BoxAnswer> answers;  // Yes/No questions; "No" when the queue is empty
    std::deque<QStringList> files;  // per open-file dialog; cancel when empty
    std::deque<QString> folders;    // per folder picker; cancel when empty
    QStringList prompts;            // folder picker prompts
    QStringList opened;
    std::vector<gui::OpenFileRequest> fileRequests;

private:
    mutable std::mutex m_mutex;
    std::vector<AskedBox> m_boxes;
};

// Turns the event loop until done() or the timeout; returns done().
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(30));

QString qPath(const std::filesystem::path& path);

}  // namespace quillmark::testing
