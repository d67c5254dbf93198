// The command line's host: a live progress line on a terminal, the job's own messages to stderr,
// Ctrl-C as cancel. Everything that happened to a mailbox is said once, in the summary.
#pragma once

#include "engine/host/host.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

namespace quillmark::cli {

class ConsoleHost final : public Host {
public:
    ConsoleHost(bool quiet, bool liveLine);
    ~ConsoleHost() override;

    void setLabel(Label, std::string_view) override {}
    void setBar(Bar, float) override {}
    BoxAnswer messageBox(std::string_view text, int style, std::string_view title) override;
    void beep() override {}
    bool cancelRequested() override;
    void progress(const JobProgress& figures) override;

    // Ends the progress line so that the next output starts on a line of its own.
    void endLine();
    static void installInterruptHandler();

private:
    bool m_quiet;
    bool m_liveLine;
    bool m_lineOpen = false;
    int m_columns = 0;  // of the terminal, 0 when unknown
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

std::string formatDuration(double seconds);
// "Mailbox 2/5 Inbox | 1234 written | 5.0 MB/s | 0:20 left", cut to fit in `columns` (when
// known) without splitting a character.
std::string progressLine(const JobProgress& figures, double elapsedSeconds, int columns = 0);

}  // namespace quillmark::cli
