// MBOX target: every mailbox becomes "<mailbox name>.mbox" in its output folder, and every message
// is appended to it behind a separator line of its own (framing in mbox_framing.h). The file is
// built afresh under a temporary name and put in place when its mailbox is done, replacing a file
// of that name, as the EML target replaces "Email-<j>.eml": a second run does not double every
// message, and a run that ends midway leaves the earlier file whole.
//
// The message's clean text, its "From " lines escaped in the same pass, is streamed from the cutter
// into the file rather than handed over through an .eml file on disk: the bytes are the same, it
// is faster, memory stays small however large a message is, and a run ended midway leaves no stray
// file behind. Messages go out in large writes, several at a time; each counts as written once
// its last byte is in the file. When a write fails, the messages it held fail and the file is cut
// back to the last whole message, so it always holds whole messages.
#include "engine/mbox/mbox_framing.h"
#include "engine/mime/mail_message_reader.h"
#include "engine/targets/mail_writer.h"

#include "platform/file_io.h"
#include "platform/paths.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace quillmark {
namespace {

constexpr std::string_view kCrLf = "\r\n";

// Never a date left over from an earlier message: each candidate belongs to this message or its
// mailbox, and the clock of the run is the last resort. Each is looked for only when those before
// it gave no line.
std::string separatorFor(const Message& message, std::string_view headerBlock)
{
    MailMessageReader reader;
    (void)reader.LoadMessageFile(headerBlock);  // unreadable headers still get a line, from the fallbacks
    const auto lineFor = [&](const std::optional<std::chrono::sys_seconds>& date) {
        return date ? separatorLine(reader.SenderText(), *date) : std::nullopt;
    };
    if (auto line = lineFor(reader.MessageDate())) return *std::move(line);
    if (auto line = lineFor(separatorDate(message.head.separatorLine))) return *std::move(line);
    if (auto line = lineFor(modificationTime(message.mailbox))) return *std::move(line);
    if (auto line = lineFor(std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now())))
        return *std::move(line);
    return "From MAILER-DAEMON Thu Jan 01 00:00:00 1970";  // only with a clock beyond year 9999
}

// How much of the start of a clean text is its header block, the empty line that ends it
// included; nothing while the block is not complete and less than the reader's limit is there.
// A clean text has no bare LF, so the block ends at the first CR LF CR LF, as the reader sees it.
std::optional<std::size_t> headerBlockLength(std::string_view head) noexcept
{
    if (head.starts_with("\r\n")) return 0;
    if (const auto end = head.find("\n\r\n"); end != std::string_view::npos) return end + 3;
    if (head.size() >= MailMessageReader::kHeaderLimit) return head.size();
    return std::nullopt;
}

// The end of the file being written: bytes gather in a buffer and go out in large writes. Tells
// the outcome of each whole message once its last byte is in the file, or its write failed.
class MboxOutput {
public:
    static constexpr std::size_t kWriteSize = std::size_t{1} << 20;

    void reset(platform::PositionalFile* file, MessageOutcomes* outcomes)
    {
        m_file = file;
        m_outcomes = outcomes;
        m_buffer.clear();
        m_inFile = m_whole = m_reported = 0;
        m_held.clear();
    }

    // Bytes of the message being added. Only a very large message has part of it sent before it
    // is whole.
    [[nodiscard]] Result<void> put(std::span<const char> bytes)
    {
        std::memcpy(m_buffer.reserveMore(bytes.size()), bytes.data(), bytes.size());
        m_buffer.commit(bytes.size());
        return m_buffer.size() >= 4 * kWriteSize ? send() : Result<void>(Ok{});
    }
    [[nodiscard]] Result<void> put(std::string_view text)
    {
        return put(std::span<const char>(text.data(), text.size()));
    }

    // The message put last is whole; a large write goes out when enough is gathered.
    [[nodiscard]] Result<void> messageDone(const MessagePlace& place, bool headersOnly)
    {
        m_whole = m_inFile + m_buffer.size();
        m_held.push_back({place, m_whole, headersOnly});
        return m_buffer.size() >= kWriteSize ? send() : Result<void>(Ok{});
    }

    // Takes back the message being put, which could not be put whole: its bytes are dropped, and
    // should part of them be in the file, the next write goes over them.
    void dropMessage() noexcept
    {
        if (m_whole >= m_inFile) {
            m_buffer.truncate(static_cast<std::size_t>(m_whole - m_inFile));
        } else {
            m_buffer.clear();
            m_inFile = m_whole;
        }
    }

    // Drops what is not in the file yet, messages and outcomes alike; the file ends after the
    // last message told written.
    void abandon() noexcept
    {
        m_buffer.clear();
        m_held.clear();
        m_inFile = m_whole = m_reported;
    }

    // Sends what is gathered; after it every message put has its outcome.
    [[nodiscard]] Result<void> flush() { return send(); }

    // The file's length: up to the last message written whole, once flushed.
    std::uint64_t end() const noexcept { return m_inFile; }

private:
    struct Held {
        MessagePlace place;
        std::uint64_t end;  // of the message in the file
        bool headersOnly;
    };

    [[nodiscard]] Result<void> send()
    {
        auto r = m_buffer.empty() ? Result<void>(Ok{}) : m_file->writeAt(m_inFile, m_buffer.bytes());
        if (r) m_inFile += m_buffer.size();
        m_buffer.clear();
        std::size_t told = 0;
        for (; told < m_held.size() && (!r || m_held[told].end <= m_inFile); ++told) {
            const Held& h = m_held[told];
            if (!r) {
                m_outcomes->failed(h.place, r.error());
                continue;
            }
            m_outcomes->written(h.place);
            if (h.headersOnly) m_outcomes->recovered(h.place, MozillaState::kHeadersOnlyText);
            m_reported = h.end;
        }
        m_held.erase(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(told));
        if (!r) m_inFile = m_whole = m_reported;  // what the failed write held is gone
        return r;
    }

    platform::PositionalFile* m_file = nullptr;
    MessageOutcomes* m_outcomes = nullptr;
    ByteBuffer m_buffer;
    std::uint64_t m_inFile = 0;    // bytes in the file (those after m_reported may be overwritten)
    std::uint64_t m_whole = 0;     // end of the last whole message put
    std::uint64_t m_reported = 0;  // end of the last message told written
    std::vector<Held> m_held;      // whole messages not told yet, in order
};

// Takes one message's clean text from the cutter, behind the separator line made from its header
// block. The text is held back only while that block is not complete, which takes a message
// whose header block the cutter hands over in more than one piece.
class MessageSink final : public ByteSink {
public:
    MessageSink(const Message& message, MboxOutput& out, Reporter& reporter)
        : m_message(message), m_out(out), m_reporter(reporter)
    {
    }

    Result<void> put(std::span<const char> bytes) override
    {
        m_done += bytes.size();
        if (m_reporter.tick()) sendSaving();
        if (m_started) return m_out.put(bytes);
        const std::string_view text(bytes.data(), bytes.size());
        if (m_head.empty())
            if (const auto block = headerBlockLength(text)) return start(text, *block);
        m_head.append(text);
        const auto block = headerBlockLength(m_head);
        return block ? start(m_head, *block) : Result<void>(Ok{});
    }

    // After the last piece: what is still held back, then the empty line that closes the message.
    Result<void> finish()
    {
        if (!m_started)
            if (auto r = start(m_head, m_head.size()); !r) return r;
        return m_out.put(kCrLf);
    }

    // While the text streams, the figures of cutting it (how much of the mailbox is taken); the
    // bar moves through the message, its size in the mailbox standing for the text's.
    void sendSaving()
    {
        m_reporter->setLabel(Label::LblProgress, savingText(m_done, m_message.mailbox.size));
        const std::uint64_t span = m_message.span.size();
        const std::uint64_t n = std::min(m_done, span);
        m_reporter->setBar(Bar::ProgressBar2,
                           span == 0 ? 100.0f : static_cast<float>(n) / static_cast<float>(span) * 100.0f);
    }

    // The clean text's length: what the message's .eml file would hold (the escaping's ">" aside).
    std::uint64_t length() const noexcept { return m_done; }

private:
    // Escaping does not change what the separator line is made of: a line that begins with
    // "From " is no header field.
    Result<void> start(std::string_view text, std::size_t headerBlock)
    {
        m_started = true;
        if (auto r = m_out.put(std::string_view(separatorFor(m_message, text.substr(0, headerBlock)))); !r) return r;
        if (auto r = m_out.put(kCrLf); !r) return r;
        return m_out.put(text);
    }

    const Message& m_message;
    MboxOutput& m_out;
    Reporter& m_reporter;
    std::string m_head;
    bool m_started = false;
    std::uint64_t m_done = 0;
};

class MboxWriter final : public MailWriter {
public:
    Result<void> begin(JobContext& job) override
    {
        m_reporter = &job.reporter;
        m_outcomes = &job.outcomes;
        return Ok{};
    }

    Result<void> beginMailbox(const MailboxContext& mailbox) override
    {
        m_file.reset();  // endMailbox() put the last one in place
        m_path = platform::toPath(platform::joinPath(mailbox.outputFolder, mailbox.name + ".mbox"));
        return Ok{};
    }

    bool finishesLater() const noexcept override { return true; }

    Result<void> write(const Message& message) override
    {
        if (!m_file)
            if (auto r = openFile(); !r) return r;
        MessageSink sink(message, m_output, *m_reporter);
        auto r = appendMessage(message, sink);
        if (!r) {
            m_output.dropMessage();
            return r;
        }
        const Written written{message.index, sink.length(), message.mailbox.size};
        m_unsent.reset();
        if (m_reporter->tick() || message.index + 1 == message.count)
            show(written);
        else
            m_unsent = written;
        // A failed write has failed the messages it held, this one among them.
        (void)m_output.messageDone({&message.mailbox, message.index, message.count, message.span.begin},
                                   message.head.headersOnly());
        return Ok{};
    }

    Result<void> endMailbox(MailboxEnd end) override
    {
        if (m_unsent) show(*m_unsent);
        m_unsent.reset();
        if (m_file) (void)m_output.flush();  // its failure went to the messages it held
        std::error_code ec;
        if (end == MailboxEnd::Stopped && m_file && std::filesystem::exists(m_path, ec)) {
            // Half a mailbox never replaces a file an earlier run wrote whole.
            m_file.reset();
            return Error{Code::Cancelled,
                         platform::toText(m_path)
                             + " is kept as an earlier run left it: the conversion stopped before "
                               "its mailbox was done"};
        }
        return closeFile();
    }

    // endMailbox() has sent every message taken. Messages are left here only when an exception
    // ended the job: their mailbox is gone, so they are dropped without an outcome.
    Result<void> finish() override
    {
        m_output.abandon();
        return closeFile();
    }

private:
    struct Written {
        std::uint64_t index;
        std::uint64_t length;  // of its clean text
        std::uint64_t mailboxSize;
    };

    // A written message's figures, as each target shows them: its text saved, then that text
    // appended whole ("N Bytes out of N Total Bytes.").
    void show(const Written& w)
    {
        Reporter& r = *m_reporter;
        r->setLabel(Label::LblProgress, savingText(w.length, w.mailboxSize));
        r->setLabel(Label::LblProgress, savedText(w.index));
        const std::string n = std::to_string(w.length);
        r->setLabel(Label::LblProgress, n + " Bytes out of " + n + " Total Bytes.");
        r->setBar(Bar::ProgressBar2, 100.0f);
    }

    Result<void> openFile()
    {
        auto file = platform::PositionalFile::create(m_path);
        if (!file) return std::move(file).error();
        m_file.emplace(std::move(*file));
        m_output.reset(&*m_file, m_outcomes);
        return Ok{};
    }

    // Puts the file in place, with every whole message written to it and nothing behind them.
    Result<void> closeFile()
    {
        if (!m_file) return Ok{};
        auto r = m_file->resize(m_output.end());
        if (r) r = m_file->commit();
        m_file.reset();
        return r;
    }

    static Result<void> appendMessage(const Message& message, MessageSink& sink)
    {
        if (auto cut = message.cutter.cut(message.span, sink, Escaping::FromLines); !cut) return std::move(cut).error();
        return sink.finish();
    }

    Reporter* m_reporter = nullptr;
    MessageOutcomes* m_outcomes = nullptr;
    std::filesystem::path m_path;
    std::optional<platform::PositionalFile> m_file;
    MboxOutput m_output;
    std::optional<Written> m_unsent;  // the last message's figures, when not shown yet
};

}  // namespace

std::unique_ptr<MailWriter> makeMboxWriter() { return std::make_unique<MboxWriter>(); }

}  // namespace quillmark
