#include "gui_test_support.h"

#include "platform/paths.h"

#include <QApplication>
#include <QDir>
#include <QTimer>

#include <gtest/gtest.h>

namespace quillmark::testing {
namespace {

// One application object for every test of the program; the last window closing must not end
// it, since each test closes its own.
class QtEnvironment final : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        m_app = std::make_unique<QApplication>(m_argc, m_argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[16] = "app_gui_test";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

BoxAnswer ScriptedDialogs::messageBox(QWidget*, const QString& text, int style, const QString& title)
{
    {
        const std::lock_guard lock(m_mutex);
        m_boxes.push_back({text, style, title});
    }
    if ((style & 0x0f) != box::kYesNo) return BoxAnswer::Ok;
    if (answers.empty()) return BoxAnswer::No;
    const BoxAnswer answer = answers.front();
    answers.pop_front();
    return answer;
}

QStringList ScriptedDialogs::openFiles(QWidget*, const gui::OpenFileRequest& request)
{
    fileRequests.push_back(request);
    if (files.empty()) return {};
    QStringList picked = files.front();
    files.pop_front();
    return picked;
}

QString ScriptedDialogs::browseForFolder(QWidget*, const QString& prompt, const QString& startIn)
{
    prompts << prompt;
    startFolders << startIn;
    if (folders.empty()) return {};
    QString folder = folders.front();
    folders.pop_front();
    return folder;
}

std::vector<AskedBox> ScriptedDialogs::boxes() const
{
    const std::lock_guard lock(m_mutex);
    return m_boxes;
}

std::size_t ScriptedDialogs::boxCount() const
{
    const std::lock_guard lock(m_mutex);
    return m_boxes.size();
}

void JobGate::holdWhen(std::function<bool()> condition)
{
    const std::lock_guard lock(m_mutex);
    m_holdWhen = std::move(condition);
}

std::function<void(const std::stop_token&)> JobGate::hook()
{
    return [this](const std::stop_token& stop) { pass(stop); };
}

void JobGate::pass(const std::stop_token& stop)
{
    std::unique_lock lock(m_mutex);
    if (m_expired || (m_holdWhen && !m_holdWhen())) return;
    m_holding = true;
    // Never for good: a cancel that does not reach the job fails the test instead of hanging it.
    m_cancelled.wait_for(lock, stop, std::chrono::seconds(60), [] { return false; });  // until the cancel
    if (!stop.stop_requested()) {
        ADD_FAILURE() << "the job was held for 60 s and never cancelled";
        m_expired = true;
    }
    m_holding = false;
}

bool JobGate::isHolding() const
{
    const std::lock_guard lock(m_mutex);
    return m_holding;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    // The ticks wake the wait for events when another thread makes done() true without posting one.
    QTimer tick;
    tick.start(5);
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
    return done();
}

QString qPath(const std::filesystem::path& path)
{
    return QDir::toNativeSeparators(QString::fromStdString(platform::toText(path)));
}

}  // namespace quillmark::testing

void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
void PrintTo(const QPoint& point, std::ostream* out) { *out << '(' << point.x() << ", " << point.y() << ')'; }
void PrintTo(const QSize& size, std::ostream* out) { *out << size.width() << " x " << size.height(); }
void PrintTo(const QRect& rect, std::ostream* out)
{
    *out << "left " << rect.left() << ", top " << rect.top() << ", " << rect.width() << " x " << rect.height();
}
