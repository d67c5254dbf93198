#include "cli/console_host.h"

#include <csignal>
#include <cstdio>

namespace quillmark::cli {
namespace {

std::atomic<int> g_interrupts{0};

extern "C" void onInterrupt(int)
{
    // A second Ctrl-C ends at once; the first lets the current message finish.
    if (g_interrupts.fetch_add(1) >= 1) std::_Exit(130);
}

std::string oneLine(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '\r') continue;
        out += c == '\n' ? ' ' : c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

ConsoleHost::ConsoleHost(bool quiet, bool liveLine) : m_quiet(quiet), m_liveLine(liveLine && !quiet) {}

ConsoleHost::~ConsoleHost() { endLine(); }

void ConsoleHost::installInterruptHandler()
{
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

void ConsoleHost::setLabel(Label label, std::string_view text)
{
    if (label == Label::LblIMMFile) m_mailboxName = std::string(text);
}

BoxAnswer ConsoleHost::messageBox(std::string_view text, int, std::string_view title)
{
    endLine();
    // Boxes other than the program's own come from the scanner, about the current mailbox.
    const bool scanner = title != "Quillmark" && title != "Outlook Error";
    const std::string prefix = scanner ? "warning: " + m_mailboxName + ": " : std::string();
    std::fprintf(stderr, "quillmark-cli: %s%s\n", prefix.c_str(), oneLine(text).c_str());
    return BoxAnswer::Ok;
}

bool ConsoleHost::cancelRequested() { return g_interrupts.load() > 0; }

std::string formatDuration(double seconds)
{
    if (seconds < 0 || seconds > 360000) return "--:--";
    const auto s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string progressLine(const JobProgress& f, std::string_view mailbox, double elapsed)
{
    const double mb = static_cast<double>(f.bytesDone) / 1e6;
    const double rate = elapsed > 0 ? mb / elapsed : 0.0;
    const double left = f.bytesTotal > f.bytesDone ? static_cast<double>(f.bytesTotal - f.bytesDone) / 1e6 : 0.0;
    const std::string eta = rate > 0 ? formatDuration(left / rate) : "--:--";
    char buf[256];
    std::snprintf(buf, sizeof buf, "Mailbox %zu of %zu %.30s | %llu messages written | %.1f MB/s | ETA %s", f.mailbox,
                  f.mailboxes, std::string(mailbox).c_str(), static_cast<unsigned long long>(f.messagesWritten), rate,
                  eta.c_str());
    return buf;
}

void ConsoleHost::progress(const JobProgress& figures)
{
    if (!m_liveLine) return;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    std::fprintf(stderr, "\r%s\x1b[K", progressLine(figures, m_mailboxName, elapsed).c_str());
    std::fflush(stderr);
    m_lineOpen = true;
}

void ConsoleHost::endLine()
{
    if (m_lineOpen) {
        std::fputc('\n', stderr);
        m_lineOpen = false;
    }
}

}  // namespace quillmark::cli
