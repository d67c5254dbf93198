// What the window tests share: a QApplication for the whole run, dialogs the tests answer, and
// waiting with the event loop turning.
#pragma once

#include "app/gui/dialogs.h"

#include <QRect>
#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <ostream>
#include <stop_token>
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
    QString browseForFolder(QWidget*, const QString& prompt, const QString& startIn = QString()) override;
    void openDocument(const QString& target) override { opened << target; }

    std::vector<AskedBox> boxes() const;
    std::size_t boxCount() const;

    std::deque<BoxAnswer> answers;  // Yes/No questions; "No" when the queue is empty
    std::deque<QStringList> files;  // per open-file dialog; cancel when empty
    std::deque<QString> folders;    // per folder picker; cancel when empty
    QStringList prompts;            // folder picker prompts
    QStringList startFolders;       // the folder each picker was to open in
    QStringList opened;
    std::vector<gui::OpenFileRequest> fileRequests;

private:
    mutable std::mutex m_mutex;
    std::vector<AskedBox> m_boxes;
};

// Holds a conversion job at its polls for a cancel (JobRunner::setPollHook) from the first poll
// at which holdWhen() is true until the job is cancelled: the job is surely still running while
// the test acts on it, and a cancel ends it at once. Declare it before the window, so that the
// window stops its job while the gate still exists.
class JobGate {
public:
    // Checked on the worker at each poll (so it may not touch widgets); without it the job is
    // held at its first poll.
    void holdWhen(std::function<bool()> condition);
    std::function<void(const std::stop_token&)> hook();
    bool isHolding() const;

private:
    void pass(const std::stop_token& stop);

    mutable std::mutex m_mutex;
    std::condition_variable_any m_cancelled;  // woken by the job's stop token
    std::function<bool()> m_holdWhen;
    bool m_holding = false;
    bool m_expired = false;
};

// Turns the event loop until done() or the timeout; returns done().
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(30));

QString qPath(const std::filesystem::path& path);

}  // namespace quillmark::testing

// Qt values in failure messages as text, not bytes (found by GoogleTest through their namespace).
void PrintTo(const QString& text, std::ostream* out);
void PrintTo(const QPoint& point, std::ostream* out);
void PrintTo(const QSize& size, std::ostream* out);
void PrintTo(const QRect& rect, std::ostream* out);
