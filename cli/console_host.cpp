#include "cli/console_host.h"

#include "platform/file_io.h"

#include <algorithm>
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

// The first n bytes of text, or fewer so that no UTF-8 sequence is cut.
std::string_view utf8Prefix(std::string_view text, std::size_t n)
{
    if (text.size() <= n) return text;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

// Characters, not bytes: what a terminal shows of UTF-8 text.
std::size_t width(std::string_view text)
{
    std::size_t n = 0;
    for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// The longest prefix of text that shows in `columns` characters.
std::string_view fitting(std::string_view text, std::size_t columns)
{
    std::size_t shown = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (shown++ == columns) return text.substr(0, i);
    }
    return text;
}

}  // namespace

ConsoleHost::ConsoleHost(bool quiet, bool liveLine)
    : m_quiet(quiet), m_liveLine(liveLine && !quiet), m_columns(m_liveLine ? platform::stderrColumns() : 0)
{
}

ConsoleHost::~ConsoleHost() { endLine(); }

void ConsoleHost::installInterruptHandler()
{
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

BoxAnswer ConsoleHost::messageBox(std::string_view text, int, std::string_view title)
{
    // Boxes other than the program's own come from the scanner. In its classic words they repeat
    // what the summary says once about the mailbox (not found, empty, not readable).
    if (title != "Quillmark" && title != "Outlook Error") return BoxAnswer::Ok;
    endLine();
    std::fprintf(stderr, "quillmark-cli: %s\n", oneLine(text).c_str());
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

std::string progressLine(const JobProgress& f, double elapsed, int columns)
{
    const double mb = static_cast<double>(f.bytesDone) / 1e6;
    const double rate = elapsed > 0 ? mb / elapsed : 0.0;
    const double left = f.bytesTotal > f.bytesDone ? static_cast<double>(f.bytesTotal - f.bytesDone) / 1e6 : 0.0;
    const std::string eta = rate > 0 ? formatDuration(left / rate) : "--:--";
    char head[64];
    std::snprintf(head, sizeof head, "Mailbox %zu/%zu ", f.mailbox, f.mailboxes);
    char tail[160];
    std::snprintf(tail, sizeof tail, " | %llu written | %.1f MB/s | %s left",
                  static_cast<unsigned long long>(f.messagesWritten), rate, eta.c_str());
    std::string name(utf8Prefix(f.mailboxName, 120));
    // The last column stays free: a line that fills it wraps on some terminals. The name is
    // shortened first, but keeps enough to be known; the figures at the end give way after it.
    constexpr std::size_t kNameKept = 16;
    const std::size_t room = columns > 0 ? static_cast<std::size_t>(columns - 1) : std::string::npos;
    const std::size_t fixed = width(head) + width(tail);
    if (room != std::string::npos && fixed + width(name) > room) {
        const std::size_t budget = std::max(room > fixed ? room - fixed : 0, kNameKept);
        if (width(name) > budget) name = std::string(fitting(name, budget - 3)) + "...";
    }
    return std::string(fitting(head + name + tail, room));
}

void ConsoleHost::progress(const JobProgress& figures)
{
    if (!m_liveLine) return;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    std::fprintf(stderr, "\r%s\x1b[K", progressLine(figures, elapsed, m_columns).c_str());
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
