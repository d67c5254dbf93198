// MBOX target: every mailbox becomes "<mailbox name>.mbox" in its output folder, and every message
// is appended to it behind a separator line of its own (framing in mbox_framing.h). The file is
// built afresh under a temporary name and put in place when its mailbox is done, replacing a file
// of that name, as the EML target replaces "Email-<j>.eml": a second run does not double every
// message, and a run that ends midway leaves the earlier file whole.
//
// The message's clean text is streamed from the cutter into the file rather than handed over
// through an .eml file on disk: the bytes are the same, it is faster, memory stays small however
// large a message is, and a run ended midway leaves no stray file behind. A message whose append
// fails is cut off the file again, so the file always holds whole messages.
#include "engine/mbox/mbox_framing.h"
#include "engine/mime/mail_message_reader.h"
#include "engine/targets/mail_writer.h"

#include "platform/file_io.h"
#include "platform/paths.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace quillmark {
namespace {

constexpr std::string_view kCrLf = "\r\n";

// Never a date left over from an earlier message: each candidate belongs to this message or its
// mailbox, and the clock of the run is the last resort.
std::string separatorFor(const Message& message, std::string_view head)
{
    MailMessageReader reader;
    (void)reader.LoadMessageFile(head);  // unreadable headers still get a line, from the fallbacks
    const std::optional<std::chrono::sys_seconds> dates[]
        = {reader.MessageDate(), separatorDate(message.head.separatorLine), modificationTime(message.mailbox),
           std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now())};
    for (const auto& date : dates)
        if (date)
            if (auto line = separatorLine(reader.SenderText(), *date)) return *std::move(line);
    return "From MAILER-DAEMON Thu Jan 01 00:00:00 1970";  // only with a clock beyond year 9999
}

// Whether the start of a clean text holds its whole header block, or as much as is read of it.
bool holdsHeaderBlock(std::string_view head) noexcept
{
    return head.starts_with("\r\n") || head.find("\n\r\n") != std::string_view::npos
        || head.size() >= MailMessageReader::kHeaderLimit;
}

// Appends one message to the file behind `start` (the end of the last whole message), in pieces
// of a useful size; counts what it added, so that a failed message can be cut off again.
class FileSink final : public ByteSink {
public:
    FileSink(platform::PositionalFile& file, std::uint64_t start) : m_file(file), m_end(start) {}
    Result<void> put(std::span<const char> bytes) override
    {
        m_added += bytes.size();
        m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
        return m_buffer.size() >= kPiece ? flush() : Result<void>(Ok{});
    }
    Result<void> putText(std::string_view text) { return put(std::span<const char>(text.data(), text.size())); }
    Result<void> flush()
    {
        if (m_buffer.empty()) return Ok{};
        auto r = m_file.writeAt(m_end, std::span<const char>(m_buffer.data(), m_buffer.size()));
        m_end += m_buffer.size();
        m_buffer.clear();
        return r;
    }
    std::uint64_t added() const noexcept { return m_added; }

private:
    static constexpr std::size_t kPiece = 1 << 16;
    platform::PositionalFile& m_file;
    std::uint64_t m_end;
    std::vector<char> m_buffer;
    std::uint64_t m_added = 0;
};

// Takes one message's clean text from the cutter. Its start is held back until the header block
// is complete, because the separator line made from it comes first; the rest streams through.
class MessageSink final : public ByteSink {
public:
    MessageSink(const Message& message, FileSink& file, Reporter& reporter)
        : m_message(message), m_file(file), m_escaper(file), m_reporter(reporter)
    {
    }

    Result<void> put(std::span<const char> bytes) override
    {
        m_done += bytes.size();
        if (m_reporter.tick()) sendSaving();
        if (m_started) return m_escaper.put(bytes);
        m_head.append(bytes.data(), bytes.size());
        return holdsHeaderBlock(m_head) ? start() : Result<void>(Ok{});
    }

    // After the last piece: what is still held back, then the empty line that closes the message.
    Result<void> finish()
    {
        if (!m_started)
            if (auto r = start(); !r) return r;
        if (auto r = m_escaper.finish(); !r) return r;
        return m_file.putText(kCrLf);
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

    // The clean text's length: what the message's .eml file would hold.
    std::uint64_t length() const noexcept { return m_done; }

private:
    Result<void> start()
    {
        m_started = true;
        if (auto r = m_file.putText(separatorFor(m_message, m_head)); !r) return r;
        if (auto r = m_file.putText(kCrLf); !r) return r;
        return m_escaper.put(std::span<const char>(m_head.data(), m_head.size()));
    }

    const Message& m_message;
    FileSink& m_file;
    FromEscaper m_escaper;
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
        return Ok{};
    }

    Result<void> beginMailbox(const MailboxContext& mailbox) override
    {
        m_file.reset();  // endMailbox() put the last one in place
        m_path = platform::toPath(platform::joinPath(mailbox.outputFolder, mailbox.name + ".mbox"));
        return Ok{};
    }

    Result<void> write(const Message& message) override
    {
        if (!m_file)
            if (auto r = openFile(); !r) return r;
        FileSink file(*m_file, m_size);
        MessageSink sink(message, file, *m_reporter);
        auto r = appendMessage(message, sink);
        if (r) r = file.flush();  // a failure belongs to this message, which can still be undone
        if (!r) return undo(std::move(r).error());
        m_size += file.added();
        const Written written{message.index, sink.length(), message.mailbox.size};
        m_unsent.reset();
        if (m_reporter->tick() || message.index + 1 == message.count)
            show(written);
        else
            m_unsent = written;
        return Ok{};
    }

    Result<void> endMailbox(MailboxEnd end) override
    {
        if (m_unsent) show(*m_unsent);
        m_unsent.reset();
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

    Result<void> finish() override { return closeFile(); }

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
        m_size = 0;
        m_file.emplace(std::move(*file));
        return Ok{};
    }

    // Puts the file in place, with every whole message written to it and nothing behind them.
    Result<void> closeFile()
    {
        if (!m_file) return Ok{};
        auto r = m_file->resize(m_size);
        if (r) r = m_file->commit();
        m_file.reset();
        return r;
    }

    static Result<void> appendMessage(const Message& message, MessageSink& sink)
    {
        if (auto cut = message.cutter.cut(message.span, sink); !cut) return std::move(cut).error();
        return sink.finish();
    }

    // Cuts the file back to its last whole message. Should that fail too, the next message
    // overwrites the part, and closeFile() cuts again.
    Error undo(Error error)
    {
        if (auto r = m_file->resize(m_size); !r) error.detail += "; " + r.error().detail;
        return error;
    }

    Reporter* m_reporter = nullptr;
    std::filesystem::path m_path;
    std::optional<platform::PositionalFile> m_file;
    std::uint64_t m_size = 0;         // of the file, up to the last whole message
    std::optional<Written> m_unsent;  // the last message's figures, when not shown yet
};

}  // namespace

std::unique_ptr<MailWriter> makeMboxWriter() { return std::make_unique<MboxWriter>(); }

}  // namespace quillmark
