// The writers: one file per target behind one interface, and the one table of targets.
//
// The job calls begin() once, then for every mailbox beginMailbox(), write() for each message and
// endMailbox(), and finish() once at the end (also after a cancel, so that what was written is
// left valid). A writer gets each message as a span of the mailbox and the cutter that turns the
// span into clean RFC 822 text; it never sees the mailbox's own separator line as message text.
#pragma once

#include "engine/host/mail_origin.h"
#include "engine/host/reporter.h"
#include "engine/mbox/message_cutter.h"
#include "platform/result.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark {

enum class Target { Eml, Pst, Mbox };

struct MailboxContext;

// Where a message came from, for what a writer says about it after write() returned.
struct MessagePlace {
    const MailboxContext* mailbox = nullptr;
    std::uint64_t index = 0;   // j, from 0 within the mailbox
    std::uint64_t count = 0;   // messages in this mailbox
    std::uint64_t offset = 0;  // of the message in the mailbox
};

// How messages ended that a writer finishes later (see MailWriter::finishesLater()).
class MessageOutcomes {
public:
    virtual void written(const MessagePlace& place) = 0;
    virtual void failed(const MessagePlace& place, const Error& error) = 0;
    // Written, but not all of it could be read: `why` says what was recovered and how.
    virtual void recovered(const MessagePlace& place, const std::string& why) = 0;
    // Deleted in Thunderbird but not yet compacted away (told only by a writer that reads heads
    // itself); `skipped`: left out, as the job asked, and nothing more is told of it.
    virtual void expunged(const MessagePlace& place, bool skipped) = 0;
    // The one file that held every message reported written could not be completed and is gone:
    // none of them is written after all.
    virtual void allLost() = 0;

protected:
    ~MessageOutcomes() = default;
};

struct JobContext {
    std::string outputFolder;  // ends with a separator
    Reporter& reporter;
    std::time_t started;  // local time of the job's start (names the PST file)
    MessageOutcomes& outcomes;
    std::span<const std::string> mailboxes;  // the job's rows, top to bottom
    const MailOrigin& origin;
    bool skipExpunged = false;  // messages deleted in Thunderbird but not compacted away are left out
};

struct MailboxContext {
    std::size_t row = 0;       // 0-based row of the file list
    std::string path;          // as the list gives it, never trimmed
    std::string fileName;      // last path component
    std::string name;          // fileName trimmed of blanks
    std::string outputFolder;  // no trailing separator; no other mailbox of the job writes there
    std::uint64_t size = 0;    // as scanned
    std::filesystem::file_time_type modified{};
    // The mailbox as opened for writing its messages: a writer that reads on threads of its own
    // keeps it open while they do.
    std::shared_ptr<const platform::ReadOnlyFile> file;
};

// The mailbox file's modification time, when known: the last date a message can be given.
std::optional<std::chrono::sys_seconds> modificationTime(const MailboxContext& mailbox);

// Whether every message of the mailbox was handed to the writer, or the job stopped midway
// (cancel, full disk).
enum class MailboxEnd { Done, Stopped };

struct Message {
    const MailboxContext& mailbox;
    std::uint64_t index;  // j, from 0 within the mailbox
    std::uint64_t count;  // messages in this mailbox
    MessageSpan span;
    const MessageHead& head;
    MessageCutter& cutter;
};

class MailWriter {
public:
    virtual ~MailWriter() = default;
    [[nodiscard]] virtual Result<void> begin(JobContext& job) = 0;
    [[nodiscard]] virtual Result<void> beginMailbox(const MailboxContext&) { return Ok{}; }
    [[nodiscard]] virtual Result<void> write(const Message& message) = 0;
    // False: write() returning Ok means the message is written. True: it means the message was
    // taken; its outcome goes to JobContext::outcomes, in order, by endMailbox() at the latest.
    virtual bool finishesLater() const noexcept { return false; }
    // True (with finishesLater()): write() gets every message with an empty head, and the writer
    // reads the message's bytes and head itself, from MailboxContext::file, off the job's thread;
    // it tells the expunged ones and leaves them out when the job says so.
    virtual bool readsHeads() const noexcept { return false; }
    // Tells the outcome of every message taken so far: the job calls it before it reports a
    // failure of its own for a later message, so that outcomes come in mailbox order.
    virtual void settle() {}
    // Ends the mailbox's output (an .mbox file is put in place here). A failure means that none of
    // the mailbox's messages is in a file; Code::Cancelled that they were dropped on purpose (the
    // job stopped midway, and a file of an earlier run stays as it was).
    [[nodiscard]] virtual Result<void> endMailbox(MailboxEnd) { return Ok{}; }
    [[nodiscard]] virtual Result<void> finish() = 0;
    // After finish(): the one file the job wrote, when it is there; empty for a file per mailbox
    // or message.
    virtual std::string outputFile() const { return {}; }
};

// Whether the error stops the job rather than one message or mailbox: once the disk is full,
// every further file fails the same way.
bool endsTheJob(const Error& e) noexcept;

// "Saving: <length> Bytes out of <mailbox size> Total Bytes.": how much of a message's clean text
// has been written, against the size of its mailbox.
std::string savingText(std::uint64_t length, std::uint64_t mailboxSize);
// "Saved Email-<j> Message".
std::string savedText(std::uint64_t index);

// "Saved Email-<j> Message" after each message, as the writers show it: throttled, and the last
// one of a mailbox always (here or in flush()). `first` runs just before a label that is sent.
class SavedLabel {
public:
    void after(Reporter& reporter, const Message& message, const std::function<void()>& first = {})
    {
        after(reporter, message.index, message.count, first);
    }
    void after(Reporter& reporter, std::uint64_t index, std::uint64_t count, const std::function<void()>& first = {});
    void flush(Reporter& reporter);

private:
    std::optional<std::string> m_unsent;
};

// One row of the table of targets: everything the window, the command line and the closing
// message say about a target comes from here.
struct WriterFormat {
    Target target;
    std::string_view name;         // command-line name: "eml", "pst", "mbox"
    std::string_view extension;    // ".eml", ".pst", ".mbox"
    std::string_view option;       // the window's option button for it: "OptEML"
    std::string_view optionText;   // that button's caption
    std::string_view exportedTo;   // "... successfully exported to <this>."
    std::string_view writtenTo;    // "N messages were written to <this>."
    std::string_view successHint;  // the success box's line below the stars; may be empty
    std::unique_ptr<MailWriter> (*make)();
};

// The targets in the window's order; the first is the default of nothing.
std::span<const WriterFormat> writerFormats() noexcept;
const WriterFormat& writerFormat(Target target) noexcept;
const WriterFormat* findWriterFormat(std::string_view name) noexcept;

std::unique_ptr<MailWriter> makeEmlWriter();
std::unique_ptr<MailWriter> makePstWriter();
// "d.m.YY H.m.ss" in local time (6.12.26 8.5.09): names the PST file and its store.
std::string pstTimestamp(std::time_t when);
std::unique_ptr<MailWriter> makeMboxWriter();

}  // namespace quillmark
