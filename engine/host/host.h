// What the conversion job needs from whoever runs it: the window, the command line, or a test.
//
// The job and the scanner talk to their host only through this interface, so the app, the CLI
// and the tests drive the very same job code. A host is called from the thread that runs the job;
// an app host forwards to its window thread. Label and bar names are those of the main window.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmark {

enum class Label { LblProgessCurrent, LblIMMFile, LblHappening, LblEmlsFound, LblProgress };
enum class Bar { ProgressBar1, ProgressBar2 };

// Message box styles: the classic button and icon flags, combined with |.
namespace box {
inline constexpr int kOkOnly = 0;
inline constexpr int kYesNo = 4;
inline constexpr int kQuestion = 32;
inline constexpr int kExclamation = 48;
inline constexpr int kInformation = 64;
}  // namespace box

enum class BoxAnswer { Ok, Yes, No };

// Figures for a progress display that the labels do not carry (the CLI's progress line).
struct JobProgress {
    std::size_t mailbox = 0;  // 1-based, 0 before the first
    std::size_t mailboxes = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
    std::uint64_t messagesWritten = 0;
    std::uint64_t messagesFailed = 0;
    std::string mailboxName;  // the file name of the mailbox being read
};

class Host {
public:
    virtual ~Host() = default;
    virtual void setLabel(Label label, std::string_view text) = 0;
    // value in 0..100; both bars have that range for the whole job.
    virtual void setBar(Bar bar, float value) = 0;
    virtual BoxAnswer messageBox(std::string_view text, int style, std::string_view title) = 0;
    virtual void beep() = 0;
    // Polled between messages (and between scanner hits): true ends the job after the current
    // message, with everything written so far left valid.
    virtual bool cancelRequested() { return false; }
    // The mailbox of this 0-based row of the file list is being converted: a window makes it the
    // list's current row.
    virtual void setCurrentRow(std::size_t) {}
    virtual void progress(const JobProgress&) {}
};

}  // namespace quillmark
