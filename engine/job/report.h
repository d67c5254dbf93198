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

enum class MailboxResult {
    Converted,        // every message written (or skipped as asked), nothing else in it
    PartlyConverted,  // some of it is written: not every message, or bytes that belong to no message
    Failed,           // nothing of it is written, because of a failure
    NotConverted,     // the job stopped (cancel, full disk) before it wrote anything of it
};

// What became of one row of the list. Messages count as written only when they are in a file
// that is there at the end.
struct MailboxOutcome {
    std::string path;
    std::string outputFolder;  // where its files went; for a PST, the folder of the file
    std::uint64_t found = 0;   // messages in it
    std::uint64_t written = 0;
    std::uint64_t failed = 0;
    std::uint64_t skipped = 0;  // expunged ones left out on request
    bool reached = false;       // the job began it
    bool finished = false;      // every message of it was handed to the writer
    bool failedWhole = false;   // the mailbox itself failed (unreadable, no folder, its file lost)
    bool strayBytes = false;    // bytes before its first message belong to no message

    MailboxResult result() const noexcept;
};

struct Report {
    Target target = Target::Eml;
    std::size_t mailboxes = 0;           // rows of the list
    std::size_t mailboxesConverted = 0;  // empty ones included
    std::size_t mailboxesPartly = 0;
    std::size_t mailboxesFailed = 0;
    std::size_t mailboxesNotConverted = 0;
    std::size_t mailboxesEmpty = 0;  // converted, with no message in them and nothing else either
    std::uint64_t messagesFound = 0;
    std::uint64_t messagesWritten = 0;
    std::uint64_t messagesFailed = 0;
    std::uint64_t messagesRecovered = 0;  // written, but their MIME structure could be read only in part
    std::uint64_t messagesExpunged = 0;   // marked deleted by Thunderbird, not yet compacted
    std::uint64_t messagesSkipped = 0;    // expunged ones left out on request
    std::uint64_t bytesRead = 0;
    bool cancelled = false;
    bool nothingToConvert = false;  // the list held no mailbox
    std::optional<Error> fatal;
    std::string outputFile;                // the one file the job wrote (PST), when it is there at the end
    std::vector<MailboxOutcome> outcomes;  // one per row, in list order
    std::vector<std::string> notes;        // what the user should know that is no problem (a folder renamed)
    std::vector<Problem> problems;         // every failure; issues up to a limit
    std::uint64_t problemsDropped = 0;     // issues beyond that limit, counted only
    std::size_t issuesKept = 0;

    bool succeeded() const noexcept
    {
        return !fatal && !cancelled && !nothingToConvert && mailboxesFailed == 0 && messagesFailed == 0
            && mailboxesPartly == 0 && mailboxesNotConverted == 0;
    }
    void add(Problem problem);
    // Counts the mailboxes by their outcomes.
    void tally();
};

struct ClosingMessage {
    std::string text;
    int style;
    std::string title;
};

// The box that ends a job.
ClosingMessage closingMessage(const Report& report);
// One line per failure ("<mailbox>: message <j>: <reason>"); consecutive messages of one mailbox
// that failed for one reason share a line ("messages 3 to 9: <reason>"). At most `limit` lines,
// then "... and N more" when some were left out.
std::vector<std::string> failureLines(const Report& report, std::size_t limit);
// "<mailbox>: 16 of 60 messages written" for each mailbox converted only in part.
std::vector<std::string> partlyConvertedLines(const Report& report);

}  // namespace quillmark
