// MBOX target: every mailbox becomes "<mailbox name>.mbox" in its output folder, and every message
// is appended to it behind a separator line of its own (framing in mbox_framing.h). The file is
// built afresh under a temporary name and put in place when its mailbox is done, replacing a file
// of that name, as the EML target replaces "Email-<j>.eml": a second run does not double every
// message, and a run that ends midway leaves the earlier file whole.
//
// The message's clean text, its "From " lines escaped in the same pass, is streamed from the cutter
// into the file rather than handed over through an .eml file on disk: the bytes are the same, it
// is faster, memory stays small however large a message is, and a run ended midway leaves no stray
// file behind. Messages go out in large writes, several at a time, made by a writer thread while
// the next messages are cut (with a second core); each counts as written once its last byte is in
// the file. When a write fails, the messages it held fail and the file is cut back to the last
// whole message, so it always holds whole messages.
#include "engine/mbox/mbox_framing.h"
#include "engine/mime/mail_message_reader.h"
#include "engine/targets/mail_writer.h"
#include "engine/targets/ordered_workers.h"

#include "platform/file_io.h"
#include "platform/paths.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace quillmark {
namespace {

constexpr std::string_view kCrLf = "\r\n";

// Never a date left over from an earlier message: each candidate belongs to this message or its
// mailbox, and the clock of the run is the last resort. Each is looked for only when those before
// it gave no line.
std::string separatorFor(std::string_view headerBlock, std::string_view oldLine,
                         const std::optional<std::chrono::sys_seconds>& mailboxDate)
{
    MailMessageReader reader;
    (void)reader.LoadMessageFile(headerBlock);  // unreadable headers still get a line, from the fallbacks
    const auto lineFor = [&](const std::optional<std::chrono::sys_seconds>& date) {
        return date ? separatorLine(reader.SenderText(), *date) : std::nullopt;
    };
    if (auto line = lineFor(reader.MessageDate())) return *std::move(line);
    if (auto line = lineFor(separatorDate(oldLine))) return *std::move(line);
    if (auto line = lineFor(mailboxDate)) return *std::move(line);
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

struct Held {
    MessagePlace place;
    std::uint64_t end;  // of the message: in its piece, or where the output began
    bool headersOnly;
};

// Where a message's separator line goes, and what it is made from: the header block that
// follows it, then the fallbacks. Reading the header block is a good part of the work per
// message, so the line is made on the writer thread.
struct SeparatorSpot {
    std::size_t at;           // in its piece
    std::size_t headerBlock;  // the length of the header block that begins there
    std::string oldLine;      // the message's separator line in the mailbox
    std::optional<std::chrono::sys_seconds> mailboxDate;
};

// A piece of the file on its way to it: whole messages, perhaps followed by the start of one
// more (only a very large message goes out in several pieces), or word that the message begun in
// earlier pieces is taken back.
struct Piece {
    ByteBuffer bytes;  // the messages without their separator lines
    std::vector<SeparatorSpot> separators;
    std::vector<Held> held;     // the messages that end in it
    bool opensMessage = false;  // its last bytes begin a message that ends in a later piece
    bool dropsMessage = false;  // no bytes: the message begun is not written after all
};

// How the messages of a piece ended: `end` is now where each ends in the file. The buffer
// comes back to be filled again.
struct Sent {
    ByteBuffer bytes;
    std::vector<Held> written;
    std::vector<std::pair<Held, Error>> failed;
};

// Writes pieces to the file, on the writer thread (or on the caller's, with one core). A failed
// write fails the messages it held, and a message it held the start of; the next write goes over
// what the failed one may have left, so the file holds whole messages only.
class PieceWriter {
public:
    void reset(platform::PositionalFile* file) noexcept
    {
        m_file = file;
        m_next = m_whole = 0;
        m_failing.reset();
        m_halt.store(false, std::memory_order_relaxed);
    }

    // Pieces not written yet are dropped without an outcome.
    void halt() noexcept { m_halt.store(true, std::memory_order_relaxed); }

    Sent write(Piece piece)
    {
        if (m_halt.load(std::memory_order_relaxed)) return {std::move(piece.bytes), {}, {}};
        if (piece.dropsMessage) {
            m_failing.reset();
            m_next = m_whole;
            return {std::move(piece.bytes), {}, {}};
        }
        const auto joined = joinSeparators(piece);  // still valid in sent.bytes: a move keeps the data
        Sent sent{std::move(piece.bytes), {}, {}};
        std::span<const Held> held = piece.held;
        std::size_t from = 0;
        if (m_failing) {
            // The piece begins with the rest of a message whose start could not be written.
            if (held.empty()) return sent;
            sent.failed.emplace_back(held.front(), *std::move(m_failing));
            m_failing.reset();
            from = static_cast<std::size_t>(held.front().end);
            held = held.subspan(1);
        }
        const auto bytes = joined.subspan(from);
        auto r = bytes.empty() ? Result<void>(Ok{}) : m_file->writeAt(m_next, bytes);
        if (!r) {
            for (const Held& h : held) sent.failed.emplace_back(h, r.error());
            if (piece.opensMessage) m_failing = std::move(r).error();
            m_next = m_whole;
            return sent;
        }
        const std::uint64_t start = m_next - from;  // where byte 0 of the piece would be
        m_next += bytes.size();
        for (const Held& h : held) {
            sent.written.push_back(h);
            sent.written.back().end = m_whole = start + h.end;
        }
        return sent;
    }

private:
    // The piece's bytes with the separator lines in their places; the messages' ends move with
    // them.
    std::span<const char> joinSeparators(Piece& piece)
    {
        const auto in = piece.bytes.bytes();
        if (piece.separators.empty()) return in;
        m_joined.clear();
        const auto append = [&](std::span<const char> bytes) {
            if (bytes.empty()) return;  // memcpy must not be given a null pointer, even for nothing
            std::memcpy(m_joined.reserveMore(bytes.size()), bytes.data(), bytes.size());
            m_joined.commit(bytes.size());
        };
        std::size_t from = 0;
        std::size_t added = 0;
        auto held = piece.held.begin();
        for (const SeparatorSpot& s : piece.separators) {
            for (; held != piece.held.end() && held->end <= s.at; ++held) held->end += added;
            append(in.subspan(from, s.at - from));
            const std::string line
                = separatorFor(std::string_view(in.data() + s.at, s.headerBlock), s.oldLine, s.mailboxDate);
            append(line);
            append(kCrLf);
            added += line.size() + kCrLf.size();
            from = s.at;
        }
        for (; held != piece.held.end(); ++held) held->end += added;
        append(in.subspan(from));
        return m_joined.bytes();
    }

    platform::PositionalFile* m_file = nullptr;
    ByteBuffer m_joined;
    std::uint64_t m_next = 0;        // where the next byte goes
    std::uint64_t m_whole = 0;       // end of the last whole message in the file
    std::optional<Error> m_failing;  // why the message being written has failed
    std::atomic<bool> m_halt{false};
};

using PieceWriters = OrderedWorkers<Piece, Sent>;

// The end of the file being written: bytes gather in a buffer and go out in large writes, on a
// writer thread when there is one, so that the next messages are cut while a write is under
// way. Tells the outcome of each whole message once its last byte is in the file, or its write
// failed.
class MboxOutput {
public:
    static constexpr std::size_t kWriteSize = std::size_t{1} << 20;

    // Three buffers: one filled while two are written.
    void start(bool threaded)
    {
        if (threaded)
            m_writers = std::make_unique<PieceWriters>(PieceWriters::Limits{1, 2, 16 * kWriteSize},
                                                       [this](Piece p) { return m_pieces.write(std::move(p)); });
    }

    // Only when nothing is in flight.
    void reset(platform::PositionalFile* file, MessageOutcomes* outcomes)
    {
        m_pieces.reset(file);
        m_outcomes = outcomes;
        m_buffer.clear();
        m_separators.clear();
        m_sent = m_whole = m_reported = 0;
        m_held.clear();
    }

    // Bytes of the message being added. Only a very large message has part of it sent before it
    // is whole.
    void put(std::span<const char> bytes)
    {
        if (bytes.empty()) return;
        std::memcpy(m_buffer.reserveMore(bytes.size()), bytes.data(), bytes.size());
        m_buffer.commit(bytes.size());
        if (m_buffer.size() >= 4 * kWriteSize) send(true);
    }
    void put(std::string_view text) { put(std::span<const char>(text.data(), text.size())); }

    // The separator line of the message whose clean text, its header block first, is put next.
    // Without a writer thread it is made here, saving a copy of every piece.
    void separator(std::string_view headerBlock, const Message& message)
    {
        if (!m_writers) {
            put(std::string_view(
                separatorFor(headerBlock, message.head.separatorLine, modificationTime(message.mailbox))));
            put(kCrLf);
            return;
        }
        m_separators.push_back(
            {m_buffer.size(), headerBlock.size(), message.head.separatorLine, modificationTime(message.mailbox)});
    }

    // The message put last is whole; a large write goes out when enough is gathered.
    void messageDone(const MessagePlace& place, bool headersOnly)
    {
        m_whole = m_sent + m_buffer.size();
        m_held.push_back({place, m_whole, headersOnly});
        if (m_buffer.size() >= kWriteSize) send(false);
    }

    // Takes back the message being put, which could not be put whole: its bytes are dropped, and
    // should part of them be on their way to the file, the next write goes over them.
    void dropMessage()
    {
        if (m_whole >= m_sent) {
            const auto keep = static_cast<std::size_t>(m_whole - m_sent);
            m_buffer.truncate(keep);
            std::erase_if(m_separators, [&](const SeparatorSpot& s) { return s.at >= keep; });
            return;
        }
        m_buffer.clear();
        m_separators.clear();
        m_sent = m_whole;
        Piece drop;
        drop.dropsMessage = true;
        hand(std::move(drop));
    }

    // Drops what is not in the file yet, messages and outcomes alike; the file ends after the
    // last message told written.
    void abandon() noexcept
    {
        m_pieces.halt();
        try {
            while (m_writers && m_writers->take(true)) {}
        } catch (...) {
            // The writer's fault; nothing of it is told.
        }
        m_buffer.clear();
        m_separators.clear();
        m_held.clear();
    }

    // Sends what is gathered; after it every message put has its outcome.
    void flush()
    {
        if (!m_buffer.empty() || !m_held.empty()) send(false);
        while (m_writers)
            if (auto sent = m_writers->take(true))
                tell(std::move(*sent));
            else
                break;
    }

    // The file's length: up to the last message told written.
    std::uint64_t end() const noexcept { return m_reported; }

private:
    void send(bool opensMessage)
    {
        Piece piece{std::exchange(m_buffer, spareBuffer()), std::exchange(m_separators, {}), std::exchange(m_held, {}),
                    opensMessage, false};
        for (Held& h : piece.held) h.end -= m_sent;
        m_sent += piece.bytes.size();
        hand(std::move(piece));
    }

    void hand(Piece piece)
    {
        if (!m_writers) {
            tell(m_pieces.write(std::move(piece)));
            return;
        }
        const std::size_t size = piece.bytes.size();
        while (!m_writers->hasRoomFor(size)) tell(*m_writers->take(true));
        m_writers->submit(std::move(piece), size);
        while (auto sent = m_writers->take(false)) tell(std::move(*sent));
    }

    void tell(Sent sent)
    {
        for (const auto& [h, error] : sent.failed) m_outcomes->failed(h.place, error);
        for (const Held& h : sent.written) {
            m_outcomes->written(h.place);
            if (h.headersOnly) m_outcomes->recovered(h.place, MozillaState::kHeadersOnlyText);
            m_reported = h.end;
        }
        sent.bytes.clear();
        if (m_spare.size() < 3) m_spare.push_back(std::move(sent.bytes));
    }

    // A buffer that was filled before: its pages are already there.
    ByteBuffer spareBuffer()
    {
        if (m_spare.empty()) return {};
        ByteBuffer b = std::move(m_spare.back());
        m_spare.pop_back();
        return b;
    }

    MessageOutcomes* m_outcomes = nullptr;
    ByteBuffer m_buffer;
    std::vector<SeparatorSpot> m_separators;  // of the messages in m_buffer
    std::vector<ByteBuffer> m_spare;
    std::uint64_t m_sent = 0;      // bytes handed to the piece writer, the file's order
    std::uint64_t m_whole = 0;     // end of the last whole message put
    std::uint64_t m_reported = 0;  // end in the file of the last message told written
    std::vector<Held> m_held;      // whole messages not sent yet, in order
    PieceWriter m_pieces;
    std::unique_ptr<PieceWriters> m_writers;  // last: its thread goes before what it uses
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
        if (m_started) {
            m_out.put(bytes);
            return Ok{};
        }
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
        m_out.put(kCrLf);
        return Ok{};
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
        m_out.separator(text.substr(0, headerBlock), m_message);
        m_out.put(text);
        return Ok{};
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
        m_output.start(std::thread::hardware_concurrency() >= 2);
        return Ok{};
    }

    Result<void> beginMailbox(const MailboxContext& mailbox) override
    {
        m_file.reset();  // endMailbox() put the last one in place
        m_path = platform::toPath(platform::joinPath(mailbox.outputFolder, mailbox.name + ".mbox"));
        return Ok{};
    }

    bool finishesLater() const noexcept override { return true; }

    // Only whole messages are gathered when the job asks: one that failed was taken back.
    void settle() override
    {
        if (m_file) m_output.flush();
    }

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
        // A failed write fails the messages it held, this one among them.
        m_output.messageDone({&message.mailbox, message.index, message.count, message.span.begin},
                             message.head.headersOnly());
        return Ok{};
    }

    Result<void> endMailbox(MailboxEnd end) override
    {
        if (m_unsent) show(*m_unsent);
        m_unsent.reset();
        if (m_file) m_output.flush();  // a failure goes to the messages it held
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
