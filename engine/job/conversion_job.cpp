#include "engine/job/conversion_job.h"

#include "engine/job/scan_reporter.h"
#include "engine/mbox/boundaries.h"
#include "platform/file_io.h"
#include "platform/paths.h"
#include "scan/frm_finder.h"
#include "scan/window_reader.h"

#include <algorithm>
#include <map>
#include <new>
#include <utility>

namespace quillmark {
namespace {

constexpr std::string_view kSearchText = "From ";

// Whether [begin, end) holds anything but blanks and line ends: bytes there belong to no message.
Result<bool> hasContent(WindowReader& reader, std::uint64_t begin, std::uint64_t end)
{
    while (begin < end) {
        auto view = reader.view(begin, static_cast<std::size_t>(std::min<std::uint64_t>(end - begin, 1 << 16)));
        if (!view) return std::move(view).error();
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(view->size(), end - begin));
        for (std::size_t i = 0; i < n; ++i) {
            const char c = (*view)[i];
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return true;
        }
        begin += n;
    }
    return false;
}

}  // namespace

std::optional<std::string> acceptJobStart(Host& host, std::optional<Target> target,
                                          const std::function<std::string()>& browse)
{
    if (!target) {
        host.messageBox("Please select a option to convert file(s).", box::kInformation, "Quillmark");
        return std::nullopt;
    }
    std::string folder = browse();
    if (folder.empty()) return std::nullopt;
    return platform::withTrailingSeparator(folder);
}

struct ConversionJob::State final : MessageOutcomes {
    State(Host& h, JobSettings s)
        : host(h), settings(std::move(s)), reporter(h, settings.progressInterval), scanEvents(reporter),
          finder(scanEvents, search)
    {
    }

    Host& host;
    JobSettings settings;
    Reporter reporter;
    ScanReporter scanEvents;
    SearchState search;
    FrmFinder finder;
    std::vector<std::uint64_t> boundaries;  // the hits that begin messages, judged during the scan
    std::unique_ptr<MailWriter> writer;
    Report report;
    JobProgress figures;
    std::uint64_t bytesBefore = 0;  // of the mailboxes already done
    std::chrono::steady_clock::time_point progressSent{};
    std::map<std::string, std::string> usedFolders;  // output folder (as compared) -> its mailbox

    void run(std::span<const std::string> rows);
    bool setUp(std::span<const std::string> rows);
    void convertMailbox(std::size_t row, std::span<const std::string> rows);
    bool scan(MailboxContext& mailbox);
    [[nodiscard]] Result<void> findMessages();
    void cutMessages(MailboxContext& mailbox);
    bool writeMessages(MailboxContext& mailbox, WindowReader& reader);
    std::string distinctOutputFolder(const MailboxContext& mailbox);
    MailboxOutcome& outcome(const MailboxContext& mailbox) { return report.outcomes[mailbox.row]; }
    void failMailbox(const MailboxContext& mailbox, Error e, std::uint64_t lostMessages = 0);
    void loseMailboxFile(const MailboxContext& mailbox, Error e);
    void close();
    void failMessage(const MailboxContext& mailbox, std::uint64_t j, std::uint64_t offset, const Error& e);
    void sendProgress(std::uint64_t bytesIntoMailbox, bool force);
    bool cancelled();
    void stop(Error e) noexcept;

    void written(const MessagePlace& place) override
    {
        ++report.messagesWritten;
        ++outcome(*place.mailbox).written;
    }
    void failed(const MessagePlace& place, const Error& e) override
    {
        failMessage(*place.mailbox, place.index, place.offset, e);
    }
    void expunged(const MessagePlace& place, bool skipped) override
    {
        ++report.messagesExpunged;
        if (!skipped) return;
        ++report.messagesSkipped;
        ++outcome(*place.mailbox).skipped;
    }
    void recovered(const MessagePlace& place, const std::string& why) override
    {
        ++report.messagesRecovered;
        report.add({Severity::Issue, place.mailbox->path, place.index, place.offset,
                    Error{Code::Corrupt, "read only in part: " + why}});
    }
    void allLost() override
    {
        // The writer's error, the job's fatal one, says why; the counts must not claim messages
        // that are in no file.
        report.messagesFailed += std::exchange(report.messagesWritten, 0);
        report.messagesRecovered = 0;
        for (auto& o : report.outcomes) o.failed += std::exchange(o.written, 0);
    }
};

// Ends a job that an exception interrupted: the target file is closed into a valid one where it
// can be, and the host hears why, as after any other fatal error.
void ConversionJob::State::stop(Error e) noexcept
{
    try {
        report.fatal = std::move(e);
        if (writer) {
            (void)writer->finish();
            report.outputFile = writer->outputFile();
        }
        writer.reset();
        close();
    } catch (...) {
        // Nothing more can be said safely; the report still carries the reason.
    }
}

bool ConversionJob::State::cancelled()
{
    if (!report.cancelled && host.cancelRequested()) report.cancelled = true;
    return report.cancelled;
}

void ConversionJob::State::sendProgress(std::uint64_t bytesIntoMailbox, bool force)
{
    figures.bytesDone = bytesBefore + bytesIntoMailbox;
    figures.messagesWritten = report.messagesWritten;
    figures.messagesFailed = report.messagesFailed;
    // A clock of its own: the labels' throttle goes to whichever label asks first, and the
    // figures would then wait for seconds.
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - progressSent < settings.progressInterval) return;
    progressSent = now;
    host.progress(figures);
}

// The counts of the mailboxes, and the box that ends the job.
void ConversionJob::State::close()
{
    report.tally();
    if (!settings.showClosingMessage) return;
    const ClosingMessage box = closingMessage(report);
    host.messageBox(box.text, box.style, box.title);
}

void ConversionJob::State::failMailbox(const MailboxContext& mailbox, Error e, std::uint64_t lostMessages)
{
    outcome(mailbox).failedWhole = true;
    outcome(mailbox).failed += lostMessages;
    report.messagesFailed += lostMessages;
    if (endsTheJob(e)) report.fatal = e;
    report.add({Severity::MailboxFailed, mailbox.path, std::nullopt, 0, std::move(e)});
}

void ConversionJob::State::failMessage(const MailboxContext& mailbox, std::uint64_t j, std::uint64_t offset,
                                       const Error& e)
{
    ++report.messagesFailed;
    ++outcome(mailbox).failed;
    if (endsTheJob(e)) report.fatal = e;
    report.add({Severity::MessageFailed, mailbox.path, j, offset, e});
}

// The mailbox's one output file could not be put in place, or was dropped because the job
// stopped midway: none of its messages is written.
void ConversionJob::State::loseMailboxFile(const MailboxContext& mailbox, Error e)
{
    MailboxOutcome& o = outcome(mailbox);
    report.messagesWritten -= o.written;
    if (e.code == Code::Cancelled) {
        // Dropped on purpose, as the job stopped: not a failure, but said.
        o.written = 0;
        report.notes.push_back(std::move(e.detail));
        return;
    }
    report.messagesFailed += o.written;
    o.failed += std::exchange(o.written, 0);
    failMailbox(mailbox, std::move(e));
}

// Two different mailboxes never share an output folder: the root of a path is dropped, so
// C:\Mail\Inbox and E:\Mail\Inbox would write into one folder and replace each other's files.
// The same mailbox listed twice keeps its folder, as its files replace themselves.
std::string ConversionJob::State::distinctOutputFolder(const MailboxContext& mailbox)
{
    const std::string self = platform::toText(platform::resolvedPath(platform::toPath(mailbox.path)));
    std::string folder = mailbox.outputFolder;
    for (int n = 2;; ++n) {
        const auto [it, added] = usedFolders.emplace(platform::folderKey(folder), self);
        if (added || it->second == self) break;
        folder = mailbox.outputFolder + " (" + std::to_string(n) + ")";
    }
    if (folder != mailbox.outputFolder)
        report.notes.push_back(mailbox.path + " is written to " + folder + ": another mailbox of this job maps to "
                               + mailbox.outputFolder);
    return folder;
}

bool ConversionJob::State::setUp(std::span<const std::string> rows)
{
    const WriterFormat& format = writerFormat(settings.target);
    if (!format.make) {
        report.fatal
            = Error{Code::Unsupported,
                    std::string("conversion to ") + std::string(format.extension) + " files is not available yet"};
        return false;
    }
    writer = format.make();
    JobContext context{settings.outputFolder,
                       reporter,
                       settings.clock ? settings.clock() : std::time(nullptr),
                       *this,
                       rows,
                       settings.origin,
                       settings.skipExpunged};
    if (auto r = writer->begin(context); !r) {
        report.fatal = r.error();
        return false;
    }
    return true;
}

void ConversionJob::State::run(std::span<const std::string> rows)
{
    report.target = settings.target;
    if (std::all_of(rows.begin(), rows.end(), [](const std::string& row) { return row.empty(); })) {
        // An empty list (one blank row in the window): no file is made, and the box says why.
        report.nothingToConvert = true;
        close();
        return;
    }
    figures.mailboxes = rows.size();
    for (const auto& row : rows) {
        report.outcomes.emplace_back().path = row;
        if (auto size = platform::fileSize(platform::toPath(row))) figures.bytesTotal += *size;
    }
    if (!setUp(rows)) {
        const bool pst = settings.target == Target::Pst;
        report.tally();
        if (settings.showClosingMessage)
            host.messageBox(report.fatal->detail, box::kInformation, pst ? "Outlook Error" : "Quillmark");
        return;
    }
    for (std::size_t r = 0; r < rows.size() && !cancelled() && !report.fatal; ++r) {
        convertMailbox(r, rows);
        reporter->setBar(Bar::ProgressBar1, static_cast<float>(r + 1) / static_cast<float>(rows.size()) * 100.0f);
    }
    if (auto r = writer->finish(); !r && !report.fatal) report.fatal = r.error();
    report.outputFile = writer->outputFile();
    sendProgress(0, true);
    close();
}

void ConversionJob::State::convertMailbox(std::size_t row, std::span<const std::string> rows)
{
    search.clear();
    figures.mailbox = row + 1;
    host.setCurrentRow(row);
    reporter->setLabel(Label::LblProgessCurrent,
                       "Mailbox " + std::to_string(row + 1) + " (of " + std::to_string(rows.size()) + ") ");
    MailboxContext mailbox;
    mailbox.row = row;
    mailbox.path = rows[row];  // as given: "Inbox " is another mailbox than "Inbox"
    mailbox.outputFolder = platform::mailboxOutputFolder(settings.outputFolder, mailbox.path);
    if (settings.target != Target::Pst) mailbox.outputFolder = distinctOutputFolder(mailbox);
    outcome(mailbox).reached = true;
    outcome(mailbox).outputFolder = settings.target == Target::Pst ? settings.outputFolder : mailbox.outputFolder;
    mailbox.fileName = mailbox.path.empty() ? std::string() : platform::GetFileName(mailbox.path).value();
    mailbox.name = std::string(platform::trimBlanks(mailbox.fileName));
    figures.mailboxName = mailbox.fileName;
    sendProgress(0, true);
    if (auto r = writer->beginMailbox(mailbox); !r) {
        failMailbox(mailbox, std::move(r).error());
        return;
    }
    reporter->setLabel(Label::LblIMMFile, mailbox.fileName);
    reporter->setLabel(Label::LblHappening, "Setting Mail Search Filter...");
    finder.Text2 = std::string(kSearchText);
    reporter->setLabel(Label::LblEmlsFound, "");
    reporter->setLabel(Label::LblProgress, "");
    const bool scanned = scan(mailbox);
    const bool folderMade = platform::EnsureDirectory(mailbox.outputFolder);
    if (scanned && !cancelled()) {
        if (!folderMade && !search.hits.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(platform::toPath(mailbox.outputFolder), ec);
            failMailbox(mailbox,
                        ec ? systemError(ec, "cannot create the folder " + mailbox.outputFolder)
                           : Error{Code::Io, "cannot create the folder " + mailbox.outputFolder});
        } else {
            cutMessages(mailbox);
        }
    }
    const MailboxEnd end = outcome(mailbox).finished ? MailboxEnd::Done : MailboxEnd::Stopped;
    if (auto r = writer->endMailbox(end); !r) loseMailboxFile(mailbox, std::move(r).error());
    bytesBefore += mailbox.size;
}

// Runs the scanner through the mailbox and judges each hit while its bytes are in the scanner's
// window, so that the mailbox is read once for both. A read that fails ends the search; its error
// decides the mailbox's fate, not the hits so far.
Result<void> ConversionJob::State::findMessages()
{
    std::optional<Error> failure;
    std::size_t bom = 0;
    if (WindowReader* window = finder.window()) {
        auto length = byteOrderMarkLength(*window);
        if (!length) return std::move(length).error();
        bom = *length;
    }
    if (auto r = finder.Find_Click(); !r) failure = std::move(r).error();
    std::size_t judged = 0;
    while (true) {
        for (; judged < search.hits.size() && !failure; ++judged) {
            auto boundary = isMessageBoundary(*finder.window(), search.hits[judged], bom);
            if (!boundary)
                failure = std::move(boundary).error();
            else if (*boundary)
                boundaries.push_back(search.hits[judged]);
        }
        if (search.blnSearchDone || failure || cancelled()) break;
        if (reporter.tick()) reporter->setLabel(Label::LblHappening, "Searching for messages...");
        sendProgress(0, false);  // a long scan still shows the time going by
        if (auto r = finder.FindNext_Click(); !r && !failure) failure = std::move(r).error();
    }
    if (failure) return std::move(*failure);
    return Ok{};
}

bool ConversionJob::State::scan(MailboxContext& mailbox)
{
    boundaries.clear();
    finder.Open_MBOX(mailbox.path);
    std::optional<Error> failure;
    if (auto r = findMessages(); !r) failure = std::move(r).error();
    (void)finder.CloseFile();  // fails only when nothing was open, which failure() tells
    if (!failure && finder.failure()) failure = finder.failure();
    mailbox.size = finder.fileSize();
    if (mailbox.path.empty()) {
        // A blank row among others: nothing to convert, and nothing failed.
        mailbox.size = 0;
        outcome(mailbox).finished = true;
        return false;
    }
    if (failure) {
        mailbox.size = 0;
        failMailbox(mailbox, std::move(*failure));
        return false;
    }
    return true;
}

void ConversionJob::State::cutMessages(MailboxContext& mailbox)
{
    if (mailbox.size < 2) {
        // Nothing to search in: the scanner has said so.
        reporter->setLabel(Label::LblEmlsFound, "0 Messages");
        outcome(mailbox).finished = true;
        return;
    }
    // Opened again for the cut: the scan's handle is closed like the classic scanner's.
    auto file = platform::ReadOnlyFile::open(platform::toPath(mailbox.path));
    if (!file) {
        failMailbox(mailbox, std::move(file).error());
        return;
    }
    std::error_code ec;
    mailbox.modified = std::filesystem::last_write_time(platform::toPath(mailbox.path), ec);
    if (file->size() < mailbox.size) {
        failMailbox(mailbox, Error{Code::Corrupt, "the mailbox became shorter after it was searched"});
        return;
    }
    mailbox.file = std::make_shared<const platform::ReadOnlyFile>(std::move(file).value());
    WindowReader reader(*mailbox.file);
    reporter->setLabel(Label::LblEmlsFound, std::to_string(boundaries.size()) + " Messages");
    report.messagesFound += boundaries.size();
    outcome(mailbox).found = boundaries.size();
    // Bytes before the first message belong to no message: say so rather than drop them quietly.
    const std::uint64_t first = boundaries.empty() ? mailbox.size : boundaries.front();
    auto bom = byteOrderMarkLength(reader);
    if (!bom) {
        failMailbox(mailbox, std::move(bom).error(), boundaries.size());
        return;
    }
    auto stray = hasContent(reader, std::min<std::uint64_t>(*bom, first), first);
    if (!stray) {
        failMailbox(mailbox, std::move(stray).error(), boundaries.size());
        return;
    }
    if (*stray && boundaries.empty()) {
        failMailbox(mailbox, Error{Code::Corrupt, "no message found: this is not a Thunderbird mailbox (mbox) file"});
        return;
    }
    if (*stray) {
        // Bytes that belong to no message are not converted: the mailbox is converted only in part.
        outcome(mailbox).strayBytes = true;
        report.add({Severity::Issue, mailbox.path, std::nullopt, 0,
                    Error{Code::Corrupt,
                          std::to_string(first) + " bytes before the first message are not part of any message"}});
    }
    outcome(mailbox).finished = writeMessages(mailbox, reader);
}

bool ConversionJob::State::writeMessages(MailboxContext& mailbox, WindowReader& reader)
{
    MessageCutter cutter(reader);
    // A writer that reads heads itself gets none: the job's thread then never reads a message.
    const bool headsLater = writer->readsHeads() && writer->finishesLater();
    const MessageHead unread;
    // Each span is made when its message is written: a list of them would grow with the mailbox.
    const std::uint64_t count = boundaries.size();
    for (std::uint64_t j = 0; j < count; ++j) {
        if (cancelled() || report.fatal) return false;
        const MessageSpan span{boundaries[j], j + 1 < count ? boundaries[j + 1] : mailbox.size};
        std::optional<MessageHead> head;
        if (!headsLater) {
            auto read = cutter.head(span);
            if (!read) {
                writer->settle();
                failMessage(mailbox, j, span.begin, read.error());
                continue;
            }
            head = std::move(read).value();
            if (head->expunged()) {
                expunged({&mailbox, j, count, span.begin}, settings.skipExpunged);
                if (settings.skipExpunged) continue;
            }
        }
        const Message message{mailbox, j, count, span, head ? *head : unread, cutter};
        if (auto r = writer->write(message); !r) {
            writer->settle();
            failMessage(mailbox, j, span.begin, r.error());
        } else if (!writer->finishesLater()) {
            const MessagePlace place{&mailbox, j, count, span.begin};
            written(place);
            if (head->headersOnly()) recovered(place, MozillaState::kHeadersOnlyText);
        }
        report.bytesRead += span.size();
        sendProgress(span.end, false);
    }
    return true;
}

ConversionJob::ConversionJob(Host& host, JobSettings settings)
    : m_state(std::make_unique<State>(host, std::move(settings)))
{
}

ConversionJob::~ConversionJob() = default;

Report ConversionJob::run(std::span<const std::string> rows)
{
    State& s = *m_state;
    s.report = Report{};
    s.bytesBefore = 0;
    s.usedFolders.clear();
    try {
        s.run(rows);
    } catch (const std::bad_alloc&) {
        s.stop(Error{Code::OutOfMemory, "out of memory"});
    } catch (const std::exception& e) {
        // A fault of ours (or of a library) on this thread or an import thread: the job ends,
        // says why, and leaves what was written valid; it never takes the program down.
        s.stop(Error{Code::Internal, std::string("an unexpected error stopped the conversion: ") + e.what()});
    }
    return s.report;
}

}  // namespace quillmark
