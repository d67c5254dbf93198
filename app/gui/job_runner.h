// Runs one conversion job at a time on a worker thread for the window.
//
// The job reports through a Host; this one re-emits labels and bars as signals, which reach the
// window's thread queued, and asks its message boxes on the window's thread while the worker
// waits for the answer. stop() cancels: the job finishes the message it is writing, leaves its
// output valid and returns; nothing written is removed.
#pragma once

#include "engine/job/conversion_job.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

class QWidget;

namespace quillmark::gui {

class Dialogs;

class JobRunner final : public QObject {
    Q_OBJECT

public:
    // owner: parent of the runner and of every box it shows.
    JobRunner(Dialogs& dialogs, QWidget* owner);
    ~JobRunner() override;

    // The checks before a job (target chosen, output folder picked), on the calling thread.
    std::optional<std::string> acceptStart(std::optional<Target> target);
    void start(JobSettings settings, std::vector<std::string> rows);
    bool isRunning() const noexcept { return m_running.load(); }
    // Cancels a running job and waits until it has ended.
    void stop();

    // Called by the worker each time the job polls for a cancel (between messages), with the
    // job's stop token: lets tests hold a running job while they act on it, and let go of it
    // when it is cancelled.
    void setPollHook(std::function<void(const std::stop_token&)> hook) { m_pollHook = std::move(hook); }

signals:
    void labelChanged(int label, const QString& text);
    void barChanged(int bar, float value);
    void rowChanged(int row);  // the file list's row being converted
    void jobFinished();
    void jobFailed(const QString& reason);

private:
    class WorkerHost;

    void work(std::stop_token stop, JobSettings settings, std::vector<std::string> rows);
    BoxAnswer askOnWindowThread(const QString& text, int style, const QString& title, const std::stop_token& stop);

    Dialogs& m_dialogs;
    QWidget* m_owner;
    std::function<void(const std::stop_token&)> m_pollHook;
    std::atomic<bool> m_running{false};
    std::jthread m_worker;
};

}  // namespace quillmark::gui
