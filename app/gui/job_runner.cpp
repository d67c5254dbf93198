#include "app/gui/job_runner.h"

#include "app/gui/dialogs.h"
#include "app/thunderbird_profile.h"

#include <QApplication>
#include <QThread>
#include <QWidget>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>

namespace quillmark::gui {
namespace {

QString fromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// One question from the worker, answered on the window's thread.
struct PendingAnswer {
    std::mutex mutex;
    std::condition_variable_any answered;
    std::optional<BoxAnswer> answer;
};

}  // namespace

// The host the job sees. On the worker it forwards; on the window's thread (the checks before a
// job) it asks directly.
class JobRunner::WorkerHost final : public Host {
public:
    WorkerHost(JobRunner& runner, std::stop_token stop) : m_runner(runner), m_stop(std::move(stop)) {}

    void setLabel(Label label, std::string_view text) override
    {
        emit m_runner.labelChanged(static_cast<int>(label), fromUtf8(text));
    }
    void setBar(Bar bar, float value) override { emit m_runner.barChanged(static_cast<int>(bar), value); }
    void setCurrentRow(std::size_t row) override { emit m_runner.rowChanged(static_cast<int>(row)); }
    BoxAnswer messageBox(std::string_view text, int style, std::string_view title) override
    {
        if (QThread::currentThread() == m_runner.thread())
            return m_runner.m_dialogs.messageBox(m_runner.m_owner, fromUtf8(text), style, fromUtf8(title));
        return m_runner.askOnWindowThread(fromUtf8(text), style, fromUtf8(title), m_stop);
    }
    void beep() override
    {
        QMetaObject::invokeMethod(&m_runner, [] { QApplication::beep(); });
    }
    bool cancelRequested() override
    {
        if (m_runner.m_pollHook) m_runner.m_pollHook(m_stop);
        return m_stop.stop_requested();
    }

private:
    JobRunner& m_runner;
    std::stop_token m_stop;
};

JobRunner::JobRunner(Dialogs& dialogs, QWidget* owner) : QObject(owner), m_dialogs(dialogs), m_owner(owner) {}

JobRunner::~JobRunner() { stop(); }

std::optional<std::string> JobRunner::acceptStart(std::optional<Target> target)
{
    WorkerHost host(*this, {});
    return acceptJobStart(host, target, [this] {
        return m_dialogs.browseForFolder(m_owner, tr("Choose Folder to Save...")).toStdString();
    });
}

void JobRunner::start(JobSettings settings, std::vector<std::string> rows)
{
    if (isRunning()) return;
    if (m_worker.joinable()) m_worker.join();  // the last job has ended; only its thread is left
    m_running = true;
    m_worker = std::jthread([this, s = std::move(settings), r = std::move(rows)](std::stop_token stop) mutable {
        work(std::move(stop), std::move(s), std::move(r));
    });
}

void JobRunner::stop()
{
    if (!m_worker.joinable()) return;
    m_worker.request_stop();
    m_worker.join();
}

void JobRunner::work(std::stop_token stop, JobSettings settings, std::vector<std::string> rows)
{
    // Nothing may escape into Qt's event loop or end the program from here.
    QString failure;
    try {
        WorkerHost host(*this, stop);
        // The PST files each account's mail apart; finding the accounts reads files, so not on
        // the window's thread.
        if (settings.target == Target::Pst)
            settings.origin = thunderbird::originOf(rows, thunderbird::userProfileHomes());
        ConversionJob job(host, std::move(settings));
        (void)job.run(rows);
    } catch (const std::exception& e) {
        failure = fromUtf8(e.what());
    } catch (...) {
        failure = tr("unknown error");
    }
    m_running = false;
    if (!failure.isEmpty()) emit jobFailed(failure);
    emit jobFinished();
}

BoxAnswer JobRunner::askOnWindowThread(const QString& text, int style, const QString& title,
                                       const std::stop_token& stop)
{
    auto pending = std::make_shared<PendingAnswer>();
    QMetaObject::invokeMethod(
        this,
        [this, pending, text, style, title, stop] {
            // A job cancelled meanwhile no longer wants the question asked.
            const BoxAnswer answer
                = stop.stop_requested() ? BoxAnswer::No : m_dialogs.messageBox(m_owner, text, style, title);
            const std::lock_guard lock(pending->mutex);
            pending->answer = answer;
            pending->answered.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(pending->mutex);
    // A cancel wakes the worker too, so closing the window never waits for an unanswered box.
    pending->answered.wait(lock, stop, [&] { return pending->answer.has_value(); });
    return pending->answer.value_or(BoxAnswer::No);
}

}  // namespace quillmark::gui
