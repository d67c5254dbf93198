// The conversion job: works through the file list, mailbox after mailbox, scanning each for
// "From ", cutting it into messages and handing them to the writer of the chosen target.
//
// It runs on whatever thread calls run() and talks to its host only through the Host interface.
// One bad mailbox or message never stops it: every failure is counted and reported (Report), and
// the closing message box says plainly whether anything failed. Only a fatal error (disk full,
// the target file cannot be set up) or a cancel ends it early; what was written stays valid.
#pragma once

#include "engine/host/host.h"
#include "engine/job/report.h"
#include "engine/targets/mail_writer.h"

#include <chrono>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace quillmark {

struct JobSettings {
    Target target = Target::Eml;
    std::string outputFolder;
    bool skipExpunged = false;  // leave out messages Thunderbird marked deleted
    std::chrono::milliseconds progressInterval{50};
    bool showClosingMessage = true;
    std::function<std::time_t()> clock;  // the job's start time (names a PST file); the system's when empty
    MailOrigin origin;                   // accounts and tag names of the profiles the mailboxes are in
};

// The checks before a job: a target must be chosen ("Please select a option to convert
// file(s)." otherwise) and an output folder picked (browse returns "" on cancel). Returns the
// output folder with a trailing separator, or nothing when the job must not start.
std::optional<std::string> acceptJobStart(Host& host, std::optional<Target> target,
                                          const std::function<std::string()>& browse);

class ConversionJob {
public:
    ConversionJob(Host& host, JobSettings settings);
    ~ConversionJob();
    ConversionJob(const ConversionJob&) = delete;
    ConversionJob& operator=(const ConversionJob&) = delete;

    // rows: the texts of the file list, top to bottom (an empty list is one empty row).
    Report run(std::span<const std::string> rows);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace quillmark
