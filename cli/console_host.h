// The command line's host: warnings to stderr, a live progress line on a terminal, Ctrl-C as
// cancel.
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

    void setLabel(Label label, std::string_view text) override;
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
    std::string m_mailboxName;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

std::string formatDuration(double seconds);
std::string progressLine(const JobProgress& figures, std::string_view mailbox, double elapsedSeconds);

}  // namespace quillmark::cli
