// EML target: every message becomes "Email-<j>.eml" in its mailbox's output folder, written
// under a temporary name and renamed into place, replacing a file of that name.
//
// Creating and writing a file is system time, and on a mailbox of many small messages it is most
// of the run. With a second core, writer threads create the files while this thread cuts the
// next messages: a cut message waits in memory (a bounded amount) for its file, and the outcomes
// come back in mailbox order. A small mailbox, a message too large to hold, and a machine with
// one core write each message here, as it is cut.
#include "engine/targets/mail_writer.h"
#include "engine/targets/ordered_workers.h"

#include "platform/file_io.h"
#include "platform/paths.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quillmark {
namespace {

constexpr std::size_t kBytesInFlight = std::size_t{64} << 20;
constexpr std::size_t kBatchesInFlight = 8;
constexpr unsigned kMostWriters = 4;
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kBatchMessages = 32;
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
// A larger message is streamed to its file as it is cut rather than held whole.
constexpr std::uint64_t kLargestHeld = std::uint64_t{8} << 20;
// Below both, a mailbox is done before a thread would pay off.
constexpr std::uint64_t kPipelineMessages = 64;
constexpr std::uint64_t kPipelineBytes = std::uint64_t{16} << 20;

std::string fileName(std::uint64_t index) { return "Email-" + std::to_string(index) + ".eml"; }

// Where a message's clean text goes while it is cut: counts it and shows "Saving: ..." now and
// then while a message is long.
class SavingSink final : public ByteSink {
public:
    SavingSink(Reporter& reporter, std::uint64_t mailboxSize, platform::AtomicFile* file, std::string* text)
        : m_reporter(reporter), m_mailboxSize(mailboxSize), m_file(file), m_text(text)
    {
    }
    Result<void> put(std::span<const char> bytes) override
    {
        m_length += bytes.size();
        if (m_reporter.tick()) sendSaving();
        if (m_text) {
            m_text->append(bytes.data(), bytes.size());
            return Ok{};
        }
        return m_file->write(bytes);
    }
    void sendSaving() { m_reporter->setLabel(Label::LblProgress, savingText(m_length, m_mailboxSize)); }

private:
    Reporter& m_reporter;
    std::uint64_t m_mailboxSize;
    platform::AtomicFile* m_file;  // where the text goes, or
    std::string* m_text;           // where it is gathered
    std::uint64_t m_length = 0;
};

// A cut message on its way to its file, and how that went.
struct Pending {
    std::uint64_t index = 0;
    std::uint64_t offset = 0;
    bool headersOnly = false;
    std::size_t begin = 0;   // of its clean text in the batch's text
    std::size_t length = 0;  // of its clean text
    bool failed = false;     // the cut or the file failed, for this reason:
    Error failure;
    bool skipped = false;  // never written: the job was stopping
};
// Cut messages, their texts one after another in one buffer: a writer thread is woken once for
// many small messages, and the buffer is filled again once they are written.
struct Batch {
    std::string text;
    std::vector<Pending> messages;
};
using FileWriters = OrderedWorkers<Batch, Batch>;

class EmlWriter final : public MailWriter {
public:
    Result<void> begin(JobContext& job) override
    {
        m_reporter = &job.reporter;
        m_outcomes = &job.outcomes;
        if (const unsigned cores = std::thread::hardware_concurrency(); cores >= 2) {
            // Creating files runs in parallel (their folder is locked only to link each one in):
            // a writer per core, up to four, while this thread cuts. On two cores 100,000 small
            // messages took 0.80-0.92 s with two writers, 1.31-1.38 s with one.
            const unsigned threads = std::min(cores, kMostWriters);
            m_writers = std::make_unique<FileWriters>(FileWriters::Limits{threads, kBatchesInFlight, kBytesInFlight},
                                                      [this](Batch b) { return store(std::move(b)); });
        }
        return Ok{};
    }

    bool finishesLater() const noexcept override { return true; }

    void settle() override
    {
        send();
        settleAll();
    }

    Result<void> write(const Message& message) override
    {
        if (m_stopAt.load(std::memory_order_relaxed) != kNever) {
            settle();  // the disk is full: the job is told, and stops
            return Ok{};
        }
        if (auto r = openFolder(message.mailbox.outputFolder); !r) return r;
        m_mailbox = &message.mailbox;
        m_count = message.count;
        if (!handOver(message)) {
            settle();
            return writeNow(message);
        }
        cutInto(m_batch, message);
        if (m_batch.messages.size() >= kBatchMessages || m_batch.text.size() >= kBatchBytes) send();
        return Ok{};
    }

    // Every message taken is written, also when the job stops midway (cancel): that is at most
    // what is in flight, and the job ends as when each message was written as it was cut.
    Result<void> endMailbox(MailboxEnd) override
    {
        settle();
        m_stopAt = kNever;
        m_saved.flush(*m_reporter);
        m_folder.reset();
        return Ok{};
    }

    // endMailbox() has settled every message taken. Messages are left here only when an exception
    // ended the job: their mailbox is gone, so they are dropped without an outcome.
    Result<void> finish() override
    {
        m_stopAt = 0;
        m_writers.reset();
        return Ok{};
    }

private:
    bool handOver(const Message& message) const noexcept
    {
        return m_writers && message.span.size() <= kLargestHeld
            && (message.count >= kPipelineMessages || message.mailbox.size >= kPipelineBytes);
    }

    // The message is cut straight into its file, on this thread.
    Result<void> writeNow(const Message& message)
    {
        auto file = platform::AtomicFile::create(*m_folder, fileName(message.index));
        if (!file) return std::move(file).error();
        SavingSink sink(*m_reporter, message.mailbox.size, &*file, nullptr);
        auto cut = message.cutter.cut(message.span, sink);
        if (!cut) return std::move(cut).error();
        if (auto r = file->commit(); !r) return r;
        m_saved.after(*m_reporter, message, [&] { sink.sendSaving(); });
        tellWritten({&message.mailbox, message.index, message.count, message.span.begin}, message.head.headersOnly());
        return Ok{};
    }

    void cutInto(Batch& batch, const Message& message)
    {
        Pending& p = batch.messages.emplace_back();
        p.index = message.index;
        p.offset = message.span.begin;
        p.headersOnly = message.head.headersOnly();
        p.begin = batch.text.size();
        SavingSink sink(*m_reporter, message.mailbox.size, nullptr, &batch.text);
        if (auto cut = message.cutter.cut(message.span, sink); !cut) {
            p.failed = true;
            p.failure = std::move(cut).error();
            batch.text.resize(p.begin);
        }
        p.length = batch.text.size() - p.begin;
    }

    // Hands the batch being filled to the writer threads, and takes back what it has done.
    void send()
    {
        if (m_batch.messages.empty()) return;
        const std::size_t bytes = m_batch.text.size();
        while (!m_writers->hasRoomFor(bytes)) settle(m_writers->take(true));
        Batch next;
        next.text = std::move(m_spareText);
        next.text.clear();
        m_writers->submit(std::exchange(m_batch, std::move(next)), bytes);
        while (auto b = m_writers->take(false)) settle(std::move(b));
    }

    // On a writer thread. Once the disk is full, every later file would fail alike: they are
    // not tried, as the job stops at the first. Writers work on several batches at once, so an
    // earlier message may meet the full disk after a later one did: the stop moves back to it.
    Batch store(Batch batch)
    {
        for (Pending& p : batch.messages) {
            if (p.failed) continue;
            if (p.index >= m_stopAt.load(std::memory_order_relaxed)) {
                p.skipped = true;
                continue;
            }
            if (auto r = writeFile(p.index, std::string_view(batch.text).substr(p.begin, p.length)); !r) {
                if (endsTheJob(r.error())) stopBefore(p.index + 1);
                p.failed = true;
                p.failure = std::move(r).error();
            }
        }
        return batch;
    }

    void stopBefore(std::uint64_t index)
    {
        std::uint64_t at = m_stopAt.load(std::memory_order_relaxed);
        while (index < at && !m_stopAt.compare_exchange_weak(at, index, std::memory_order_relaxed)) {}
    }

    Result<void> writeFile(std::uint64_t index, std::string_view text)
    {
        auto file = platform::AtomicFile::create(*m_folder, fileName(index));
        if (!file) return std::move(file).error();
        if (auto r = file->write(text); !r) return r;
        return file->commit();
    }

    void settleAll()
    {
        if (!m_writers) return;
        while (auto b = m_writers->take(true)) settle(std::move(b));
    }

    void settle(std::optional<Batch> batch)
    {
        if (!batch) return;
        for (const Pending& p : batch->messages) {
            // Past the first message that met the full disk the job has stopped: a later one that
            // met it too is not told. One written by another writer before the stop is.
            const bool pastStop = p.failed && endsTheJob(p.failure) && p.index >= m_stopAt.load();
            if (p.skipped || pastStop) continue;
            const MessagePlace place{m_mailbox, p.index, m_count, p.offset};
            if (p.failed) {
                m_outcomes->failed(place, p.failure);
                continue;
            }
            m_saved.after(*m_reporter, p.index, m_count,
                          [&] { (*m_reporter)->setLabel(Label::LblProgress, savingText(p.length, m_mailbox->size)); });
            tellWritten(place, p.headersOnly);
        }
        if (batch->text.capacity() <= 2 * kBatchBytes) m_spareText = std::move(batch->text);
    }

    void tellWritten(const MessagePlace& place, bool headersOnly)
    {
        m_outcomes->written(place);
        if (headersOnly) m_outcomes->recovered(place, MozillaState::kHeadersOnlyText);
    }

    // The mailbox's folder is held open while its messages are written.
    Result<void> openFolder(const std::string& path)
    {
        if (m_folder && m_folderPath == path) return Ok{};
        settle();
        m_folder.reset();
        auto folder = platform::OutputFolder::open(platform::toPath(path));
        if (!folder) return std::move(folder).error();
        m_folder.emplace(std::move(folder).value());
        m_folderPath = path;
        return Ok{};
    }

    std::optional<platform::OutputFolder> m_folder;
    std::string m_folderPath;
    Reporter* m_reporter = nullptr;
    MessageOutcomes* m_outcomes = nullptr;
    SavedLabel m_saved;
    // The mailbox of the messages in flight: every one is settled before the next mailbox.
    const MailboxContext* m_mailbox = nullptr;
    std::uint64_t m_count = 0;
    Batch m_batch;  // being filled
    std::string m_spareText;
    // Messages from this index on are not written: one before it met an error that ends the job.
    std::atomic<std::uint64_t> m_stopAt{kNever};
    std::unique_ptr<FileWriters> m_writers;  // last: its thread goes before what it uses
};

}  // namespace

std::unique_ptr<MailWriter> makeEmlWriter() { return std::make_unique<EmlWriter>(); }

}  // namespace quillmark
