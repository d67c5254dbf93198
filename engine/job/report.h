// What a job did: counts, every failure with its place, and the closing message built from them.
// A failure is never reported as success: the classic success text is shown only when nothing
// failed; otherwise the message says what was written and what failed, with the first reasons.
#pragma once

#include "engine/targets/mail_writer.h"
#include "platform/result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillmark {

// A job that cannot go on is not a problem of one mailbox: it is Report::fatal.
enum class Severity {
    Issue,          // damaged input that was recovered from; the job went on
    MessageFailed,  // one message could not be converted
    MailboxFailed,  // one mailbox could not be converted
};

struct Problem {
    Severity severity = Severity::Issue;
    std::string mailbox;                   // mailbox path; empty for job-wide problems
    std::optional<std::uint64_t> message;  // index j within the mailbox
    std::uint64_t offset = 0;              // byte offset of the message (or mailbox part) in the mailbox
    Error error;                           // what went wrong, with its code and the line that noticed it
};

struct Report {
    Target target = Target::Eml;
    std::size_t mailboxes = 0;  // rows processed
    std::size_t mailboxesFailed = 0;
    std::size_t mailboxesEmpty = 0;  // no message in them, and nothing else either
    std::uint64_t messagesFound = 0;
    std::uint64_t messagesWritten = 0;
    std::uint64_t messagesFailed = 0;
    std::uint64_t messagesRecovered = 0;  // written, but their MIME structure could be read only in part
    std::uint64_t messagesExpunged = 0;   // marked deleted by Thunderbird, not yet compacted
    std::uint64_t messagesSkipped = 0;    // expunged ones left out on request
    std::uint64_t bytesRead = 0;
    bool cancelled = false;
    std::optional<Error> fatal;
    std::vector<Problem> problems;      // every failure; issues up to a limit
    std::uint64_t problemsDropped = 0;  // issues beyond that limit, counted only
    std::size_t issuesKept = 0;

    bool succeeded() const noexcept { return !fatal && !cancelled && mailboxesFailed == 0 && messagesFailed == 0; }
    void add(Problem problem);
};

struct ClosingMessage {
    std::string text;
    int style;
    std::string title;
};

// The box that ends a job.
ClosingMessage closingMessage(const Report& report);
// One line per failure ("<mailbox>: message <j>: <reason>"), at most `limit` of them.
std::vector<std::string> failureLines(const Report& report, std::size_t limit);

}  // namespace quillmark
