// PST target: one new Outlook data file for the whole job, "Thunderbird<d.m.YY H.m.ss>.pst" in
// the output folder (" (2)", " (3)", ... before ".pst" when that name is taken), a folder per mailbox at its place in
// the mail tree (see pst_folders.h), every message imported from its RFC 822 text with Thunderbird's state (read,
// flagged, replied, draft, tags).
#include "engine/mbox/mbox_framing.h"
#include "engine/mime/rfc822_import.h"
#include "engine/pst/messaging/conversation.h"
#include "engine/pst/messaging/message_store.h"
#include "engine/pst/property_tags.h"
#include "engine/targets/mail_writer.h"
#include "engine/targets/ordered_workers.h"
#include "engine/targets/pst_folders.h"
#include "platform/local_time.h"
#include "platform/paths.h"

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <thread>
#include <utility>

namespace quillmark {
namespace {

// Properties the import sets beyond what the store derives itself, by their ids.
constexpr std::uint16_t id(pst::PropTag tag) { return pst::fmt::tagId(tag); }
constexpr std::int32_t kAttachMhtmlRef = 0x4;  // shown in place by the HTML body
constexpr std::uint32_t kMessageRead = 0x01;
// PS_PUBLIC_STRINGS {00020329-0000-0000-C000-000000000046}, where Outlook's categories live.
constexpr pst::Guid kPublicStrings{0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

std::vector<std::uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

// A message read and imported on a worker thread, ready for the store.
struct PreparedMessage {
    MessageHead head;              // Thunderbird's state of it, applied when it is stored
    std::optional<Error> failure;  // it could not be read: nothing else is set
    bool skipped = false;          // expunged, and the job leaves such messages out
    pst::Message message;
    bool recovered = false;
    std::string why;  // when recovered: what could not be read
};

std::string joined(const std::vector<std::string>& notes)
{
    std::string out;
    for (const auto& n : notes) out += (out.empty() ? "" : "; ") + n;
    return out;
}

std::uint64_t fileTimeOf(const std::optional<std::chrono::sys_seconds>& t)
{
    return t ? pst::fileTimeFromUnix(t->time_since_epoch().count()) : 0;
}

// Both run on the import threads and take what they can from `in`: names are moved, bodies
// are encoded for the store here, and attachment bytes are copied into the store's byte form.
std::shared_ptr<const pst::Message> toPst(ImportedMessage& in);

pst::Attachment toPst(ImportedAttachment& in)
{
    pst::Attachment a;
    a.fileName = std::move(in.fileName);
    a.mimeType = std::move(in.mimeType);
    a.contentId = std::move(in.contentId);
    if (in.embedded)
        a.embedded = toPst(*in.embedded);
    else
        a.data = bytesOf(in.data);
    // OID_MIMETAG: the attachment came from a MIME part, whose type PidTagAttachMimeTag gives.
    static constexpr std::uint8_t kMimeTag[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x14, 0x03, 0x0A, 0x04};
    a.extra.push_back(pst::Prop::binary(id(pst::tag::kAttachTag), kMimeTag));
    if (!in.contentLocation.empty())
        a.extra.push_back(pst::Prop::string(id(pst::tag::kAttachContentLocation), in.contentLocation));
    if (in.inlineInHtml) {
        a.extra.push_back(pst::Prop::boolean(id(pst::tag::kAttachmentHidden), true));
        a.extra.push_back(pst::Prop::int32(id(pst::tag::kAttachFlags), kAttachMhtmlRef));
        a.extra.push_back(pst::Prop::int32(id(pst::tag::kRenderingPosition), -1));
    }
    return a;
}

void addIfSet(std::vector<pst::Prop>& props, std::uint16_t id, const std::string& value)
{
    if (!value.empty()) props.push_back(pst::Prop::string(id, value));
}

// Thunderbird's state of a message, as Outlook keeps it: read or unread (a message without
// X-Mozilla-Status is read), starred as flagged for follow-up, replied or forwarded as the last
// verb and its icon, a draft as unsent.
void applyState(pst::Message& m, const MozillaState& head)
{
    constexpr std::uint32_t kUnsent = 0x08;
    constexpr std::int32_t kFollowupFlagged = 2, kRedFlag = 6;
    constexpr std::int32_t kReplyToSender = 102, kForward = 104, kRepliedIcon = 0x105, kForwardedIcon = 0x106;
    const std::uint32_t status = head.mozillaStatus.value_or(MozillaState::kRead);
    if (status & MozillaState::kRead)
        m.flags |= kMessageRead;
    else
        m.flags &= ~kMessageRead;
    if (head.draft) m.flags |= kUnsent;
    if (status & MozillaState::kStarred) {
        m.extra.push_back(pst::Prop::int32(id(pst::tag::kFlagStatus), kFollowupFlagged));
        m.extra.push_back(pst::Prop::int32(id(pst::tag::kFlagIcon), kRedFlag));
    }
    if (status & (MozillaState::kReplied | MozillaState::kForwarded)) {
        const bool replied = status & MozillaState::kReplied;
        m.extra.push_back(pst::Prop::int32(id(pst::tag::kLastVerbExecuted), replied ? kReplyToSender : kForward));
        m.extra.push_back(pst::Prop::int32(id(pst::tag::kIconIndex), replied ? kRepliedIcon : kForwardedIcon));
    }
}

// Thunderbird's tags as Outlook's categories: each key by the name the profile gives it, else
// Thunderbird's own name for its five default tags, else the key itself; each once, in order.
std::vector<std::string> categoriesOf(std::string_view keys, const std::map<std::string, std::string>& tagNames)
{
    static const std::map<std::string, std::string, std::less<>> kDefaultTags{{"$label1", "Important"},
                                                                              {"$label2", "Work"},
                                                                              {"$label3", "Personal"},
                                                                              {"$label4", "To Do"},
                                                                              {"$label5", "Later"}};
    std::vector<std::string> names;
    while (!keys.empty()) {
        const auto start = keys.find_first_not_of(" \t");
        if (start == std::string_view::npos) break;
        keys.remove_prefix(start);
        const std::string key(keys.substr(0, keys.find_first_of(" \t")));
        keys.remove_prefix(key.size());
        std::string name = key;
        if (auto named = tagNames.find(key); named != tagNames.end())
            name = named->second;
        else if (auto standard = kDefaultTags.find(key); standard != kDefaultTags.end())
            name = standard->second;
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
    }
    return names;
}

pst::Message toPstMessage(ImportedMessage& in)
{
    pst::Message m;
    m.extra.reserve(16);  // what is added below, and Thunderbird's state when it is stored
    m.messageClass = std::move(in.messageClass);
    m.subject = std::move(in.subject);
    // From is both sender and sent-representing: readers and Outlook's From column show the
    // author, where a mailing list's Sender would show its robot.
    m.senderName = std::move(in.from.name);
    m.senderEmail = std::move(in.from.address);
    for (auto& r : in.replyTo) m.replyTo.push_back({std::move(r.name), std::move(r.address)});
    // The bodies go in already encoded, so that the conversion runs on the import threads and
    // not on the one thread that stores.
    if (in.bodyText && !in.bodyText->empty()) m.extra.push_back(pst::Prop::string(id(pst::tag::kBody), *in.bodyText));
    if (in.bodyHtml && !in.bodyHtml->empty())
        m.extra.push_back(pst::Prop::binary(
            id(pst::tag::kHtml), {reinterpret_cast<const std::uint8_t*>(in.bodyHtml->data()), in.bodyHtml->size()}));
    m.submitTime = fileTimeOf(in.submitTime);
    m.deliveryTime = fileTimeOf(in.deliveryTime);
    m.flags = kMessageRead;  // the store adds "has attachments" only when there are some
    m.recipients.reserve(in.recipients.size());
    for (auto& r : in.recipients)
        m.recipients.push_back(
            {static_cast<pst::Recipient::Kind>(r.kind), std::move(r.who.name), std::move(r.who.address), {}});
    for (auto& a : in.attachments) m.attachments.push_back(toPst(a));
    auto& x = m.extra;
    x.push_back(pst::Prop::int32(id(pst::tag::kImportance), in.importance));
    x.push_back(pst::Prop::int32(id(pst::tag::kPriority), in.priority));
    x.push_back(pst::Prop::int32(id(pst::tag::kSensitivity), in.sensitivity));
    addIfSet(x, id(pst::tag::kSubjectPrefix), in.subjectPrefix);
    addIfSet(x, id(pst::tag::kNormalizedSubject), in.normalizedSubject);
    addIfSet(x, id(pst::tag::kTransportHeaders), in.transportHeaders);
    addIfSet(x, id(pst::tag::kInternetMessageId), in.messageId);
    addIfSet(x, id(pst::tag::kInternetReferences), in.references);
    addIfSet(x, id(pst::tag::kInReplyTo), in.inReplyTo);
    addIfSet(x, id(pst::tag::kConversationTopic), in.threadTopic);
    const auto index
        = pst::conversationIndex({in.threadIndex, in.messageId, in.inReplyTo, in.references, m.submitTime});
    if (!index.empty()) x.push_back(pst::Prop::binary(id(pst::tag::kConversationIndex), index));
    if (in.bodyHtml && !in.bodyHtml->empty())
        x.push_back(pst::Prop::int32(id(pst::tag::kInternetCodepage), static_cast<std::int32_t>(in.htmlCodePage)));
    return m;
}

std::shared_ptr<const pst::Message> toPst(ImportedMessage& in)
{
    return std::make_shared<const pst::Message>(toPstMessage(in));
}

// Messages go to the import threads in batches: handing one over costs a wake-up and a sleep on
// each side, which on some virtual machines costs as much as importing a small message. A batch
// is messages that follow one another in the mailbox; the import thread reads their bytes with
// one read, so that the job's thread, which stores, reads nothing.
struct Batch {
    std::shared_ptr<const platform::ReadOnlyFile> mailbox;
    std::vector<MessageSpan> spans;  // each one begins where the one before ends
    // The date a message gets when its header and its separator line give none (the MBOX
    // target's rule).
    std::optional<std::chrono::sys_seconds> mailboxDate;
    bool skipExpunged = false;
};
using Prepared = std::vector<PreparedMessage>;
using Importers = OrderedWorkers<Batch, Prepared>;
constexpr std::size_t kBatchMessages = 64;
constexpr std::size_t kBatchBytes = 1 << 20;

// Bytes [begin, end) of the mailbox: fewer only when it ends sooner.
struct ReadBytes {
    std::unique_ptr<char[]> data;  // not zeroed first: every byte kept is read
    std::size_t size = 0;
    std::string_view view() const noexcept { return {data.get(), size}; }
};

Result<ReadBytes> readBytes(const platform::ReadOnlyFile& mailbox, std::uint64_t begin, std::uint64_t end)
{
    const auto want = static_cast<std::size_t>(end - begin);
    ReadBytes bytes{std::make_unique_for_overwrite<char[]>(want), 0};
    auto got = mailbox.readAt(begin, std::span<char>(bytes.data.get(), want));  // short only at the end
    if (!got) return std::move(got).error();
    bytes.size = *got;
    return bytes;
}

void prepareOne(std::string_view bytes, const Batch& batch, ByteBuffer& text, PreparedMessage& p)
{
    p.head = readHead(bytes);
    if (p.head.expunged() && batch.skipExpunged) {
        p.skipped = true;
        return;
    }
    // The line-end conversion runs here rather than on the one thread that stores.
    ImportedMessage imported = importRfc822(cleanTextInto(text, bytes));
    if (!imported.submitTime) {
        const auto separator = separatorDate(p.head.separatorLine);
        imported.submitTime = separator ? separator : batch.mailboxDate;
    }
    if (!imported.deliveryTime) imported.deliveryTime = imported.submitTime;
    p.recovered = imported.degraded;
    if (imported.degraded) p.why = joined(imported.notes);
    p.message = toPstMessage(imported);
}

// The span's bytes within `bytes` (read from offset `from` on), or why they cannot be had.
std::optional<Error> place(const Result<ReadBytes>& bytes, std::uint64_t from, const MessageSpan& span,
                           std::string_view& out)
{
    if (!bytes) return bytes.error();
    if (span.end - from > bytes->size)
        return Error{Code::Io, "the mailbox became shorter while it was read", from + bytes->size};
    out = bytes->view().substr(static_cast<std::size_t>(span.begin - from), static_cast<std::size_t>(span.size()));
    return std::nullopt;
}

Prepared prepare(Batch batch)
{
    Prepared out(batch.spans.size());
    const std::uint64_t begin = batch.spans.front().begin;
    const auto all = readBytes(*batch.mailbox, begin, batch.spans.back().end);
    ByteBuffer text;  // each message's clean text in turn, in room made once per batch
    for (std::size_t i = 0; i < batch.spans.size(); ++i) {
        const MessageSpan& span = batch.spans[i];
        std::string_view bytes;
        auto failure = place(all, begin, span, bytes);
        // A read that failed for the batch is tried again for each message, so that it costs
        // only the messages it cannot read.
        std::optional<Result<ReadBytes>> own;
        if (failure && !all) {
            own = readBytes(*batch.mailbox, span.begin, span.end);
            failure = place(*own, span.begin, span, bytes);
        }
        if (failure)
            out[i].failure = std::move(failure);
        else
            prepareOne(bytes, batch, text, out[i]);
    }
    return out;
}

Importers::Limits importLimits()
{
    // Importing costs more than storing, and every core imports; but the one thread that stores
    // is what the whole job waits for, so the importers give way to it where cores are short
    // (on two cores: 2.45-2.54 s against 2.88-3.10 s for 100,000 messages). Two batches per
    // thread in flight keep them all busy.
    const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    return {cores, 2 * static_cast<std::size_t>(cores) + 1, 64 * 1024 * 1024, true};
}

class PstWriter final : public MailWriter {
public:
    Result<void> begin(JobContext& job) override
    {
        m_reporter = &job.reporter;
        m_outcomes = &job.outcomes;
        const std::string path = freeName(job.outputFolder + "Thunderbird" + pstTimestamp(job.started));
        // The display name reads the clock again, as the file name did.
        const std::string display = "Thunderbird Mailbox : Created - " + pstTimestamp(std::time(nullptr));
        auto store = pst::MessageStore::create(platform::toPath(path), display);
        if (!store) {
            Error e = std::move(store).error();
            e.detail = "The Outlook data file " + path + " could not be created: " + e.detail;
            return e;
        }
        m_store = std::move(store).value();
        m_path = path;
        m_folderPaths = pstFolderPaths(job.mailboxes, job.origin.accounts);
        m_tagNames = job.origin.tagNames;
        m_skipExpunged = job.skipExpunged;
        m_workers = std::make_unique<Importers>(importLimits(), &prepare);
        return Ok{};
    }

    Result<void> beginMailbox(const MailboxContext& mailbox) override
    {
        m_folder.reset();
        if (mailbox.row >= m_folderPaths.size() || m_folderPaths[mailbox.row].empty()) return Ok{};
        // Every level is made on the way down: a mailbox may come before the one that holds it.
        pst::FolderId at = m_store->topOfPersonalFolders();
        for (const auto& name : m_folderPaths[mailbox.row]) {
            auto folder = m_store->addFolder(at, name);
            if (!folder) return std::move(folder).error();
            at = *folder;
        }
        m_folder = at;
        return Ok{};
    }

    bool finishesLater() const noexcept override { return true; }
    bool readsHeads() const noexcept override { return true; }

    Result<void> write(const Message& message) override
    {
        if (!m_folder) return Error{Code::InvalidArgument, "no folder for this mailbox in the PST file"};
        if (!message.mailbox.file) return Error{Code::InvalidArgument, "the mailbox is not open"};
        // A batch holds one stretch of one mailbox.
        if (!m_batch.spans.empty()
            && (m_batch.mailbox != message.mailbox.file || m_batch.spans.back().end != message.span.begin))
            submitBatch();
        if (m_batch.spans.empty()) {
            m_batch.mailbox = message.mailbox.file;
            m_batch.mailboxDate = modificationTime(message.mailbox);
            m_batch.skipExpunged = m_skipExpunged;
        }
        sendSaving(message.span.size(), message.mailbox.size);
        m_places.push_back({&message.mailbox, message.index, message.count, message.span.begin});
        m_batch.spans.push_back(message.span);
        m_batchBytes += static_cast<std::size_t>(message.span.size());
        if (m_batch.spans.size() >= kBatchMessages || m_batchBytes >= kBatchBytes) submitBatch();
        while (storeReady()) {}
        return Ok{};
    }

    // Failures of its messages went to the outcomes one by one; none is left for the mailbox.
    Result<void> endMailbox(MailboxEnd) override
    {
        submitBatch();
        while (storeOldest()) {}
        m_saved.flush(*m_reporter);
        return Ok{};
    }

    Result<void> finish() override
    {
        if (!m_store) return Ok{};
        // endMailbox() has written what was taken, also after a cancel. Messages are left in
        // flight here only when an exception ended the job: their mailbox is gone, drop them.
        m_workers.reset();
        m_places.clear();
        m_batch = {};
        m_ready.clear();
        auto r = m_failure ? Result<void>(*m_failure) : m_store->close();
        m_store.reset();
        if (r) m_kept = true;
        if (!r) {
            // A store that failed leaves no file: the messages taken so far are in none.
            m_outcomes->allLost();
            Error e = std::move(r).error();
            e.detail = "The Outlook data file " + m_path + " could not be completed: " + e.detail;
            return e;
        }
        return Ok{};
    }

    std::string outputFile() const override { return m_kept ? m_path : std::string(); }

private:
    // A file of an earlier run is never replaced (two runs in one second give one name): the
    // next free name gets " (2)", " (3)", ...
    static std::string freeName(const std::string& base)
    {
        std::string path = base + ".pst";
        std::error_code ec;
        for (int n = 2; std::filesystem::exists(platform::toPath(path), ec); ++n)
            path = base + " (" + std::to_string(n) + ").pst";
        return path;
    }

    void submitBatch()
    {
        if (m_batch.spans.empty()) return;
        while (!m_workers->hasRoomFor(m_batchBytes)) storeOldest();
        m_workers->submit(std::exchange(m_batch, {}), std::exchange(m_batchBytes, 0));
    }

    // The imported messages go into the store in mailbox order, on this (the job's) thread:
    // those of a batch that is done (storeReady), or of the oldest batch once it is (storeOldest).
    bool storeReady() { return storeNext(false); }
    bool storeOldest() { return storeNext(true); }

    bool storeNext(bool wait)
    {
        if (m_ready.empty()) {
            // Only batches submitted can be waited for; m_places also holds the unsubmitted ones.
            if (m_places.size() == m_batch.spans.size()) return false;
            std::optional<Prepared> batch = m_workers->take(wait);
            if (!batch) return false;
            m_ready = std::move(*batch);
            std::reverse(m_ready.begin(), m_ready.end());  // taken from the back, oldest first
        }
        while (!m_ready.empty()) {
            store(m_ready.back(), m_places.front());
            m_ready.pop_back();
            m_places.pop_front();
        }
        return true;
    }

    void store(PreparedMessage& ready, const MessagePlace& place)
    {
        const MessageHead& head = ready.head;
        if (ready.failure) {
            m_outcomes->failed(place, *ready.failure);
            return;
        }
        if (head.expunged()) m_outcomes->expunged(place, ready.skipped);
        if (ready.skipped) return;
        if (m_failure) {
            // The store stopped taking messages: say so for each one still in flight.
            m_outcomes->failed(place, *m_failure);
            return;
        }
        applyState(ready.message, head);
        if (!head.keys.empty()) {
            const auto categories = categoriesOf(head.keys, m_tagNames);
            if (!categories.empty()) {
                auto keywords = m_store->namedProperty(kPublicStrings, "Keywords");
                if (keywords) ready.message.extra.push_back(pst::Prop::strings(*keywords, categories));
            }
        }
        auto added = m_store->addMessage(*m_folder, std::move(ready.message));
        if (!added) {
            // A message the store rejects is this message's failure alone; only an error of the
            // file stops the store.
            if (m_store->failed()) m_failure = added.error();
            m_outcomes->failed(place, added.error());
            return;
        }
        m_outcomes->written(place);
        if (ready.recovered) m_outcomes->recovered(place, ready.why);
        if (head.headersOnly()) m_outcomes->recovered(place, MozillaState::kHeadersOnlyText);
        m_saved.after(*m_reporter, place.index, place.count);
    }

    void sendSaving(std::uint64_t length, std::uint64_t mailboxSize)
    {
        if (!m_reporter->tick()) return;
        (*m_reporter)->setLabel(Label::LblProgress, savingText(length, mailboxSize));
    }

    Reporter* m_reporter = nullptr;
    MessageOutcomes* m_outcomes = nullptr;
    std::unique_ptr<pst::MessageStore> m_store;
    std::unique_ptr<Importers> m_workers;
    Batch m_batch;  // cut, not yet handed to the importers
    std::size_t m_batchBytes = 0;
    Prepared m_ready;                   // imported, not yet stored (newest first)
    std::deque<MessagePlace> m_places;  // of the messages in flight (batched or not), oldest first
    std::optional<Error> m_failure;     // the store's first error: it takes nothing after it
    std::string m_path;
    bool m_kept = false;                                  // the file is complete and in place
    std::vector<std::vector<std::string>> m_folderPaths;  // by row
    std::map<std::string, std::string> m_tagNames;
    bool m_skipExpunged = false;
    std::optional<pst::FolderId> m_folder;
    SavedLabel m_saved;
};

}  // namespace

std::string pstTimestamp(std::time_t when)
{
    const std::tm t = platform::localTime(when);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%d.%d.%02d %d.%d.%02d", t.tm_mday, t.tm_mon + 1, t.tm_year % 100, t.tm_hour,
                  t.tm_min, t.tm_sec);
    return buf;
}

std::unique_ptr<MailWriter> makePstWriter() { return std::make_unique<PstWriter>(); }

}  // namespace quillmark
