// Message objects ([MS-PST] 2.4.5): the PC, the recipient table and the attachment table with
// attachment objects, all in the message node's subnode tree.
#include "engine/pst/byte_io.h"
#include "engine/pst/messaging/conversation.h"
#include "engine/pst/messaging/messaging_internal.h"

#include <algorithm>
#include <chrono>

namespace quillmark::pst::messaging {

namespace {

using ltp::Property;

std::uint64_t nowFileTime()
{
    const auto s
        = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    return fileTimeFromUnix(s.count());
}

std::string joinNames(const Message& m, Recipient::Kind kind)
{
    std::string out;
    for (const auto& r : m.recipients) {
        if (r.kind != kind) continue;
        if (!out.empty()) out += "; ";
        out += r.name.empty() ? r.email : r.name;
    }
    return out;
}

template <class P>  // Prop or Property
void addString(std::vector<P>& props, PropTag t, const std::string& s)
{
    if (!s.empty()) props.push_back({t, utf16le(s)});
}

// PidTagSearchKey of a recipient: "SMTP:" and the upper-cased address, NUL-terminated.
const std::string kSmtp = "SMTP";
constexpr std::int32_t kUtf8CodePage = 65001;

std::vector<std::uint8_t> addressSearchKey(const std::string& email)
{
    std::vector<std::uint8_t> key(kSmtp.size() + 1 + email.size() + 1);
    std::copy(kSmtp.begin(), kSmtp.end(), key.begin());
    key[kSmtp.size()] = ':';
    // ASCII letters only, whatever the process's locale: the key must not depend on it.
    std::transform(email.begin(), email.end(), key.begin() + static_cast<std::ptrdiff_t>(kSmtp.size() + 1),
                   [](char c) { return static_cast<std::uint8_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); });
    return key;
}

// A one-off entry ID ([MS-OXCDATA] 2.2.5.1): an address that is in no address book, as Outlook
// stores internet senders and recipients. Flags 0, the one-off provider's UID, version 0, then
// "Unicode, no rich text" and the three strings as null-terminated UTF-16.
std::vector<std::uint8_t> oneOffEntryId(const std::string& name, const std::string& email)
{
    constexpr std::uint16_t kUnicodeNoRichInfo = 0x8001;
    // Four zero flag bytes, then the one-off provider's UID.
    constexpr std::size_t kHead = 4 + sizeof tag::kOneOffProviderUid + 4;
    std::vector<std::uint8_t> id;
    id.reserve(kHead + 2 * (name.size() + kSmtp.size() + email.size() + 3));
    id.resize(kHead, 0);
    std::copy(std::begin(tag::kOneOffProviderUid), std::end(tag::kOneOffProviderUid), id.begin() + 4);
    bytes::put<std::uint16_t>(id, kHead - 2, kUnicodeNoRichInfo);
    for (const std::string* text : {&name, &kSmtp, &email}) {
        appendUtf16le(id, *text);
        bytes::append<std::uint16_t>(id, 0);
    }
    return id;
}

// A FlatEntryList ([MS-OXCDATA] 2.3.3): count, size, then each entry ID behind its size, every
// entry padded to four bytes.
std::vector<std::uint8_t> flatEntryList(const std::vector<std::vector<std::uint8_t>>& ids)
{
    std::vector<std::uint8_t> entries;
    for (const auto& id : ids) {
        bytes::append<std::uint32_t>(entries, static_cast<std::uint32_t>(id.size()));
        bytes::appendBytes(entries, id);
        entries.resize((entries.size() + 3) / 4 * 4, 0);
    }
    std::vector<std::uint8_t> list;
    bytes::append<std::uint32_t>(list, static_cast<std::uint32_t>(ids.size()));
    bytes::append<std::uint32_t>(list, static_cast<std::uint32_t>(entries.size()));
    bytes::appendBytes(list, entries);
    return list;
}

struct AddressTags {
    PropTag name, email, addrType, entryId, searchKey;
};

// A person as Outlook stores an internet address: name (the address when there is none), SMTP
// address, its one-off entry ID and search key. Nothing when both are empty.
void addAddress(std::vector<Prop>& p, const std::string& name, const std::string& email, const AddressTags& tags)
{
    if (name.empty() && email.empty()) return;
    const std::string& shown = name.empty() ? email : name;
    addString(p, tags.name, shown);
    if (email.empty()) return;
    addString(p, tags.email, email);
    addString(p, tags.addrType, kSmtp);
    p.push_back({tags.entryId, oneOffEntryId(shown, email)});
    p.push_back({tags.searchKey, addressSearchKey(email)});
}

// Whatever follows from the message's fields alone: no state of the store, so it may be made
// on any thread.
std::vector<Prop> recipientCells(const Recipient& r)
{
    const std::string& name = r.name.empty() ? r.email : r.name;
    std::vector<Prop> c;
    c.reserve(14);
    c.push_back(Prop::int32(fmt::tagId(tag::kRecipientType), static_cast<std::int32_t>(r.kind)));
    c.push_back(Prop::boolean(fmt::tagId(tag::kResponsibility), false));
    c.push_back(Prop::int32(fmt::tagId(tag::kObjectType), kMapiMailUser));
    c.push_back(Prop::int32(fmt::tagId(tag::kDisplayType), 0));
    c.push_back(Prop::boolean(fmt::tagId(tag::kSendRichInfo), false));
    c.push_back({tag::kDisplayName, utf16le(name)});
    c.push_back({tag::k7BitDisplayName, c.back().value});
    c.push_back({tag::kAddrType, utf16le(kSmtp)});
    c.push_back({tag::kEntryId, oneOffEntryId(name, r.email)});
    c.push_back({tag::kEmailAddress, utf16le(r.email)});
    c.push_back({tag::kSmtpAddress, c.back().value});
    c.push_back({tag::kSearchKey, addressSearchKey(r.email)});
    c.push_back({tag::kRecordKey, {}});  // present and empty in every row of Outlook's tables
    return c;
}

}  // namespace

Derived derive(const Message& m)
{
    Derived d;
    auto& p = d.props;
    p.reserve(32);
    p.push_back(Prop::string(fmt::tagId(tag::kMessageClass), m.messageClass));
    p.push_back({tag::kSubject, utf16le(m.subject)});
    d.normalizedSubject = {tag::kNormalizedSubject, p.back().value};
    // Replies share their original's topic, unless the caller gives one (Thread-Topic). Outlook
    // gives a message without subject no topic.
    if (const auto topic = conversationTopic(m.subject); !topic.empty())
        p.push_back({tag::kConversationTopic, utf16le(topic)});
    addString(p, tag::kBody, m.body);
    if (!m.html.empty()) {
        p.push_back({tag::kHtml, {m.html.begin(), m.html.end()}});
    }
    // The sender, and whom the message is from: the same person unless someone sent it on
    // another's behalf. Entry IDs and search keys are how Outlook finds them again (reply, card).
    const bool onBehalf = !m.fromName.empty() || !m.fromEmail.empty();
    addAddress(p, m.senderName, m.senderEmail,
               {tag::kSenderName, tag::kSenderEmail, tag::kSenderAddrType, tag::kSenderEntryId, tag::kSenderSearchKey});
    addAddress(p, onBehalf ? m.fromName : m.senderName, onBehalf ? m.fromEmail : m.senderEmail,
               {tag::kSentRepresentingName, tag::kSentRepresentingEmail, tag::kSentRepresentingAddrType,
                tag::kSentRepresentingEntryId, tag::kSentRepresentingSearchKey});
    if (!m.replyTo.empty()) {
        std::string names;
        std::vector<std::vector<std::uint8_t>> ids;
        for (const auto& r : m.replyTo) {
            const std::string& name = r.name.empty() ? r.email : r.name;
            names += (names.empty() ? "" : "; ") + name;
            ids.push_back(oneOffEntryId(name, r.email));
        }
        addString(p, tag::kReplyRecipientNames, names);
        p.push_back({tag::kReplyRecipientEntries, flatEntryList(ids)});
    }
    // The display lines, empty ones included, as Outlook's messages carry all three.
    p.push_back({tag::kDisplayTo, utf16le(joinNames(m, Recipient::Kind::To))});
    p.push_back({tag::kDisplayCc, utf16le(joinNames(m, Recipient::Kind::Cc))});
    p.push_back({tag::kDisplayBcc, utf16le(joinNames(m, Recipient::Kind::Bcc))});
    d.recipientCells.reserve(m.recipients.size());
    for (const auto& r : m.recipients) d.recipientCells.push_back(recipientCells(r));
    return d;
}

namespace {

std::vector<Property> messageProperties(const Message& m, Derived& derived, std::span<const std::uint8_t> searchKeySeed,
                                        Message* taken)
{
    std::vector<Property> p;
    p.reserve(derived.props.size() + 24 + m.extra.size());
    const std::uint32_t flags = (m.flags & ~kFlagHasAttach) | (m.attachments.empty() ? 0u : kFlagHasAttach);
    p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kMessageFlags), static_cast<std::int32_t>(flags))));
    p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kMessageStatus), 0)));
    p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kImportance), 1)));
    p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kSensitivity), 0)));
    for (auto& d : derived.props) p.push_back(toLtp(std::move(d)));
    p.push_back(toLtp(Prop::boolean(fmt::tagId(tag::kHasAttachments), !m.attachments.empty())));
    const std::uint64_t when = m.deliveryTime ? m.deliveryTime : m.submitTime ? m.submitTime : nowFileTime();
    if (m.submitTime) p.push_back(toLtp(Prop::time(fmt::tagId(tag::kClientSubmitTime), m.submitTime)));
    p.push_back(toLtp(Prop::time(fmt::tagId(tag::kDeliveryTime), when)));
    p.push_back(toLtp(Prop::time(fmt::tagId(tag::kCreationTime), when)));
    p.push_back(toLtp(Prop::time(fmt::tagId(tag::kLastModificationTime), when)));
    p.push_back({tag::kSearchKey, {searchKeySeed.begin(), searchKeySeed.end()}});
    if (taken)
        for (auto& extra : taken->extra) setProperty(p, {extra.tag, std::move(extra.value)});
    else
        for (const auto& extra : m.extra) setProperty(p, toLtp(extra));
    // The code page the internet message's text is in, on every message with a body (which may
    // have come among the extras): our bodies are Unicode and the HTML UTF-8, unless the caller
    // said otherwise.
    const bool hasBody = findProperty(p, tag::kBody) || findProperty(p, tag::kHtml);
    if (hasBody && !findProperty(p, tag::kInternetCodepage))
        p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kInternetCodepage), kUtf8CodePage)));
    // The subject's parts, when the caller did not split it: no prefix, all of it normalized.
    if (!findProperty(p, tag::kSubjectPrefix)) p.push_back({tag::kSubjectPrefix, {}});
    if (!findProperty(p, tag::kNormalizedSubject)) p.push_back(toLtp(std::move(derived.normalizedSubject)));
    return p;
}

std::uint32_t sizeOf(const std::vector<Property>& props)
{
    std::uint64_t total = 0;
    for (const auto& q : props) total += q.value.size() + 8;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(total, 0x7FFFFFFF));
}

struct MessageBuilder {
    ndb::BlockStore& store;
    OpenMessage& open;

    // Writes a TC as a subnode of the message.
    Result<void> addTable(Nid nid, const ltp::TableSchema& schema, std::span<const ltp::Row> rows)
    {
        ltp::SubnodeIds ids(store);
        auto tc = ltp::writeTableContext(store, schema, rows, ids);
        if (!tc) return std::move(tc).error();
        auto sub = store.writeSubnodes(tc->subnodes);
        if (!sub) return std::move(sub).error();
        open.subnodes.push_back({nid, tc->data, *sub});
        return Ok{};
    }

    Result<void> addRecipients(const Message& m, std::vector<std::vector<Prop>>& cells)
    {
        // The columns are the template's and SMTP address, unless a recipient brings more.
        static const std::vector<PropTag> kTags = [] {
            auto tags = recipientTemplateTags();
            tags.push_back(tag::kSmtpAddress);
            return tags;
        }();
        static const ltp::TableSchema kSchema = ltp::TableSchema::fromTags(kTags);
        std::vector<PropTag> tags;
        std::vector<ltp::Row> rows;
        rows.reserve(m.recipients.size());
        for (std::size_t i = 0; i < m.recipients.size(); ++i) {
            ltp::Row row{static_cast<std::uint32_t>(i), {}};
            auto& c = row.cells;
            c.reserve(cells[i].size() + 1 + m.recipients[i].extra.size());
            for (auto& cell : cells[i]) c.push_back(toLtp(std::move(cell)));
            c.push_back(rowVersionCell(open.rowVersion));
            for (const auto& extra : m.recipients[i].extra) {
                setProperty(c, toLtp(extra));
                if (tags.empty()) tags = kTags;
                tags.push_back(extra.tag);
            }
            rows.push_back(std::move(row));
        }
        if (tags.empty()) return addTable(fmt::nid::kRecipientTable, kSchema, rows);  // no copy of the schema
        return addTable(fmt::nid::kRecipientTable, ltp::TableSchema::fromTags(tags), rows);
    }

    // An attachment object: its PC, and below it its big values and any embedded message.
    Result<std::vector<Property>> addAttachment(const Attachment& a, Nid nid, std::uint32_t seed, std::int32_t number)
    {
        ltp::SubnodeIds ids(store);
        std::vector<ndb::SubnodeEntry> subnodes;
        std::vector<Property> p;
        std::uint32_t size = static_cast<std::uint32_t>(std::min<std::size_t>(a.data.size(), 0x7FFFFFFF));
        if (a.embedded) {
            std::vector<std::uint8_t> key(16, 0);
            bytes::put<std::uint32_t>(key, 0, seed);
            bytes::put<std::uint32_t>(key, 4, nid);
            auto inner = beginMessage(store, *a.embedded, key, open.rowVersion);
            if (!inner) return std::move(inner).error();
            auto node = finishMessage(store, *inner);
            if (!node) return std::move(node).error();
            const Nid inNid = ids.next(fmt::NidType::NormalMessage);
            subnodes.push_back({inNid, node->data, node->sub});
            size = bytes::get<std::uint32_t>(findProperty(inner->props, tag::kMessageSize)->value, 0);
            std::vector<std::uint8_t> object(8);
            bytes::put<std::uint32_t>(object, 0, inNid);
            bytes::put<std::uint32_t>(object, 4, size);
            p.push_back({tag::kAttachDataObject, std::move(object)});
            p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kAttachMethod), kAttachEmbeddedMessage)));
            addString(p, tag::kDisplayName, a.fileName.empty() ? a.embedded->subject : a.fileName);
        } else if (a.data.size() > fmt::hn::kMaxItem) {
            // Large data goes to the file from the caller's buffer, without a copy.
            auto data = store.writeData(a.data);
            if (!data) return std::move(data).error();
            const Nid valueNid = ids.next(fmt::NidType::Ltp);
            subnodes.push_back({valueNid, *data, 0});
            p.push_back({tag::kAttachDataBinary, {}, valueNid});
            p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kAttachMethod), kAttachByValue)));
            addString(p, tag::kDisplayName, a.fileName);
        } else {
            p.push_back({tag::kAttachDataBinary, a.data});
            p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kAttachMethod), kAttachByValue)));
            addString(p, tag::kDisplayName, a.fileName);
        }
        p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kAttachSize), static_cast<std::int32_t>(size))));
        // What Outlook's own attachment objects carry: their place in the message and their kind.
        p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kAttachNumber), number)));
        p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kObjectType), kMapiAttach)));
        p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kRenderingPosition), -1)));
        addString(p, tag::kAttachFilename, a.fileName);
        addString(p, tag::kAttachLongFilename, a.fileName);
        addString(p, tag::kAttachMimeTag, a.mimeType);
        addString(p, tag::kAttachContentId, a.contentId);
        // Shown, with no special handling, unless the caller says otherwise (inline images); its
        // bytes as they are (no encoding) and no place in a MIME sequence, as Outlook records it.
        p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kAttachFlags), 0)));
        p.push_back(toLtp(Prop::boolean(fmt::tagId(tag::kAttachmentHidden), false)));
        p.push_back({tag::kAttachEncoding, {}});
        p.push_back(toLtp(Prop::int32(fmt::tagId(tag::kAttachMimeSequence), 0)));
        for (const auto& extra : a.extra) setProperty(p, toLtp(extra));
        auto pc = ltp::writePropertyContext(store, p, ids);
        if (!pc) return std::move(pc).error();
        subnodes.insert(subnodes.end(), pc->subnodes.begin(), pc->subnodes.end());
        auto sub = store.writeSubnodes(std::move(subnodes));
        if (!sub) return std::move(sub).error();
        open.subnodes.push_back({nid, pc->data, *sub});
        return p;
    }

    Result<std::uint64_t> addAttachments(const Message& m, std::uint32_t seed)
    {
        if (m.attachments.empty()) return std::uint64_t{0};
        static const ltp::TableSchema schema = [] {
            std::vector<PropTag> tags = attachmentTemplateTags();
            tags.push_back(tag::kAttachLongFilename);
            return ltp::TableSchema::fromTags(tags);
        }();
        std::vector<ltp::Row> rows;
        std::uint64_t total = 0;
        std::int32_t number = 0;
        for (const auto& a : m.attachments) {
            const Nid nid = open.ids.next(fmt::NidType::Attachment);
            auto props = addAttachment(a, nid, seed, number++);
            if (!props) return std::move(props).error();
            ltp::Row row{nid, {rowVersionCell(open.rowVersion)}};
            for (auto& q : *props) {
                if (q.tag == tag::kAttachSize) total += bytes::get<std::uint32_t>(q.value, 0);
                if (schema.find(q.tag)) row.cells.push_back(std::move(q));
            }
            rows.push_back(std::move(row));
        }
        if (auto r = addTable(fmt::nid::kAttachmentTable, schema, rows); !r) return std::move(r).error();
        return total;
    }
};

// Checks what the caller passed before anything is written, so a rejected message leaves no
// unreferenced blocks in the file.
Result<void> validate(const Message& m, int depth)
{
    constexpr int kMaxDepth = 16;
    if (depth > kMaxDepth) return Error{Code::InvalidArgument, "messages embedded more than 16 deep"};
    const auto check = [](const std::vector<Prop>& props) -> Result<void> {
        for (const auto& p : props) {
            const std::size_t fixed = fmt::fixedSize(fmt::tagType(p.tag));
            if ((fixed && p.value.size() != fixed) || fmt::tagType(p.tag) == pt::kObject)
                return Error{Code::InvalidArgument,
                             "property " + std::to_string(fmt::tagId(p.tag))
                                 + " has a value of the wrong size or type"};
        }
        return Ok{};
    };
    if (auto r = check(m.extra); !r) return r;
    for (const auto& r : m.recipients)
        if (auto c = check(r.extra); !c) return c;
    for (const auto& a : m.attachments) {
        if (auto c = check(a.extra); !c) return c;
        if (a.data.size() > 0x7FFFFFFF) return Error{Code::InvalidArgument, "an attachment cannot exceed 2 GB"};
        if (a.embedded)
            if (auto c = validate(*a.embedded, depth + 1); !c) return c;
    }
    return Ok{};
}

}  // namespace

Result<OpenMessage> beginMessage(ndb::BlockStore& store, const Message& message,
                                 std::span<const std::uint8_t> searchKeySeed, std::uint32_t rowVersion, Message* taken)
{
    if (auto r = validate(message, 0); !r) return std::move(r).error();
    OpenMessage open(store);
    open.rowVersion = rowVersion;
    Derived derived = derive(message);
    open.props = messageProperties(message, derived, searchKeySeed, taken);
    MessageBuilder builder{store, open};
    if (auto r = builder.addRecipients(message, derived.recipientCells); !r) return std::move(r).error();
    const std::uint32_t seed = searchKeySeed.size() >= 4 ? bytes::get<std::uint32_t>(searchKeySeed, 0) : 0;
    auto attached = builder.addAttachments(message, seed);
    if (!attached) return std::move(attached).error();
    // The number the next attachment would get, as Outlook keeps it on the message.
    setProperty(
        open.props,
        toLtp(Prop::int32(fmt::tagId(tag::kAttachNumber), static_cast<std::int32_t>(message.attachments.size()))));
    const std::uint64_t size = sizeOf(open.props) + *attached;
    setProperty(open.props,
                toLtp(Prop::int32(fmt::tagId(tag::kMessageSize),
                                  static_cast<std::int32_t>(std::min<std::uint64_t>(size, 0x7FFFFFFF)))));
    return open;
}

Result<ObjectNode> finishMessage(ndb::BlockStore& store, OpenMessage& open)
{
    auto pc = ltp::writePropertyContext(store, open.props, open.ids);
    if (!pc) return std::move(pc).error();
    std::vector<ndb::SubnodeEntry> subnodes = open.subnodes;
    subnodes.insert(subnodes.end(), pc->subnodes.begin(), pc->subnodes.end());
    auto sub = store.writeSubnodes(std::move(subnodes));
    if (!sub) return std::move(sub).error();
    return ObjectNode{pc->data, *sub};
}

}  // namespace quillmark::pst::messaging
