// Verifier, messaging pass: mandatory nodes, the message store, folders, their tables and
// messages with recipients and attachments.
#include "engine/pst/byte_io.h"
#include "engine/pst/property_tags.h"
#include "engine/pst/verify/verify_internal.h"

#include <algorithm>
#include <set>

namespace quillmark::pst::checking {

using namespace fmt;
using bytes::get;

namespace {

// Property maps are keyed by id: the ids of the tags read here.
constexpr std::uint16_t kContentCount = tagId(tag::kContentCount), kUnreadCount = tagId(tag::kContentUnreadCount),
                        kSubfolders = tagId(tag::kSubfolders), kMessageFlags = tagId(tag::kMessageFlags),
                        kRecordKey = tagId(tag::kRecordKey), kDisplayName = tagId(tag::kDisplayName),
                        kAttachData = tagId(tag::kAttachDataBinary), kMessageClass = tagId(tag::kMessageClass),
                        kMessageSize = tagId(tag::kMessageSize), kAttachNumber = tagId(tag::kAttachNumber),
                        kObjectType = tagId(tag::kObjectType);
constexpr int kMaxEmbedding = 8;

std::optional<std::uint32_t> int32Of(const PropertyMap& p, std::uint16_t id)
{
    auto it = p.find(id);
    if (it == p.end() || !it->second.value || it->second.value->bytes.size() < 4) return std::nullopt;
    return get<std::uint32_t>(it->second.value->bytes, 0);
}

// What is wrong with an entry ID as MAPI stores it ([MS-OXCDATA] 2.2.4): four zero flag bytes,
// a 16-byte provider UID, then the provider's own bytes; for a one-off entry ID (2.2.5.1)
// version 0, flags, and display name, address type and address, each NUL-terminated, in UTF-16
// when the flags say Unicode, and nothing after them. Outlook leaves some recipients' entry IDs
// empty. Nullptr when it is sound.
const char* entryIdProblem(const Value& v)
{
    constexpr std::size_t kFlagsAndUid = 20, kOneOffHeader = 24;
    constexpr std::uint16_t kUnicode = 0x8000;
    if (v.size == 0) return nullptr;
    if (v.size < kFlagsAndUid || v.bytes.size() < kFlagsAndUid || get<std::uint32_t>(v.bytes, 0) != 0)
        return "is not an entry ID (flags and provider UID)";
    if (!std::equal(std::begin(tag::kOneOffProviderUid), std::end(tag::kOneOffProviderUid), v.bytes.begin() + 4)
        || v.size != v.bytes.size())
        return nullptr;
    if (v.size < kOneOffHeader || get<std::uint16_t>(v.bytes, 20) != 0)
        return "is a one-off entry ID of no known version";
    const std::size_t unit = get<std::uint16_t>(v.bytes, 22) & kUnicode ? 2 : 1;
    std::size_t at = kOneOffHeader;
    for (int text = 0; text < 3; ++text) {
        while (at + unit <= v.size && (v.bytes[at] || (unit == 2 && v.bytes[at + 1]))) at += unit;
        if (at + unit > v.size) return "is a one-off entry ID whose names are not terminated";
        at += unit;
    }
    return at == v.size ? nullptr : "is a one-off entry ID with bytes after its address";
}

// What is wrong with a FlatEntryList ([MS-OXCDATA] 2.3.3): a count, the size of what follows,
// then each entry ID behind its size, padded to four bytes. Nullptr when it and its entries are
// sound.
const char* entryListProblem(const Value& list)
{
    if (list.size != list.bytes.size()) return nullptr;  // too long to hold whole: not looked into
    if (list.size < 8 || get<std::uint32_t>(list.bytes, 4) != list.size - 8) return "is not an entry list";
    std::size_t at = 8;
    for (std::uint32_t n = get<std::uint32_t>(list.bytes, 0); n > 0; --n) {
        if (at + 4 > list.size) return "lists more entry IDs than it holds";
        const std::size_t cb = get<std::uint32_t>(list.bytes, at);
        if (cb > list.size - at - 4) return "lists more entry IDs than it holds";
        const Value entry{Bytes(list.bytes.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                list.bytes.begin() + static_cast<std::ptrdiff_t>(at + 4 + cb)),
                          cb, 0};
        if (const char* problem = entryIdProblem(entry)) return problem;
        at += 4 + (cb + 3) / 4 * 4;
    }
    return at >= list.size ? nullptr : "has bytes after its entry IDs";
}

// PidTagConversationIndex ([MS-OXOMSG] 2.2.1.3): a header, whole 5-byte blocks, reserved byte 1.
bool conversationIndexShaped(const Value& v)
{
    return v.size >= tag::kConversationHeaderSize
        && (v.size - tag::kConversationHeaderSize) % tag::kConversationBlockSize == 0 && !v.bytes.empty()
        && v.bytes[0] == tag::kConversationReserved;
}

}  // namespace

void Checker::checkMessage(Bid data, Bid sub, const Where& where, int depth)
{
    if (auto props = pc(data, sub, where)) checkMessage(*props, sub, where, depth);
}

void Checker::checkMessage(const PropertyMap& props, Bid sub, const Where& where, int depth)
{
    auto subs = subnodes(sub, where);
    if (!subs) return;
    for (const std::uint16_t id : {kMessageClass, kMessageFlags, kMessageSize})
        if (!props.count(id)) error(where, "message lacks required property " + hex(id));
    for (const PropTag t : {tag::kSenderEntryId, tag::kSentRepresentingEntryId}) {
        auto it = props.find(tagId(t));
        if (it == props.end() || !it->second.value) continue;
        if (const char* problem = entryIdProblem(*it->second.value))
            error(where, "property " + hex(tagId(t)) + " " + problem);
    }
    if (auto list = props.find(tagId(tag::kReplyRecipientEntries)); list != props.end() && list->second.value)
        if (const char* problem = entryListProblem(*list->second.value))
            error(where, std::string("PidTagReplyRecipientEntries ") + problem);
    // PidTagHasAttachments, where a message stores it, says what its subnodes hold.
    if (auto has = props.find(tagId(tag::kHasAttachments)); has != props.end() && has->second.value) {
        const bool attached = std::any_of(subs->begin(), subs->end(),
                                          [](const auto& s) { return nidType(s.first) == NidType::Attachment; });
        const Bytes& flag = has->second.value->bytes;
        if (flag.size() != 1 || (flag[0] != 0) != attached)
            error(where, "PidTagHasAttachments does not match its attachments");
    }
    auto index = props.find(tagId(tag::kConversationIndex));
    if (index != props.end() && index->second.value && !conversationIndexShaped(*index->second.value))
        error(where, "PidTagConversationIndex is not a header and whole reply blocks");
    auto recipients = subs->find(nid::kRecipientTable);
    if (recipients == subs->end()) {
        error(where, "message has no recipient table");
    } else {
        const Where at(where, " recipients");
        (void)tc(recipients->second.data, recipients->second.sub, at, [&](std::uint32_t rowId, const Cells& cells) {
            for (const auto& [t, v] : cells)
                if (t == tag::kEntryId)
                    if (const char* problem = entryIdProblem(v))
                        error(Where(at, " row ", rowId, Where::Number::Decimal),
                              std::string("PidTagEntryId ") + problem);
        });
    }
    checkAttachments(*subs, where, depth);
}

void Checker::checkAttachments(const Subnodes& subs, const Where& where, int depth)
{
    auto attachTable = subs.find(nid::kAttachmentTable);
    std::set<Nid> attachments;
    for (const auto& [sn, info] : subs)
        if (nidType(sn) == NidType::Attachment) attachments.insert(sn);
    if (attachTable == subs.end()) {
        if (!attachments.empty()) error(where, "attachment objects without an attachment table");
        return;
    }
    std::vector<std::uint32_t> rowIds;
    if (!tc(attachTable->second.data, attachTable->second.sub, Where(where, " attachments"),
            [&](std::uint32_t rowId, const Cells&) { rowIds.push_back(rowId); }))
        return;
    if (rowIds.size() != attachments.size())
        error(where,
              "attachment table has " + std::to_string(rowIds.size()) + " rows for "
                  + std::to_string(attachments.size()) + " attachment objects");
    std::set<Nid> checked;  // each object once: rows naming one object again could nest without end
    for (const std::uint32_t rowId : rowIds) {
        const Where at(where, " attachment ", rowId, Where::Number::Hex);
        auto it = subs.find(rowId);
        if (it == subs.end()) {
            error(at, "row names no attachment subnode");
            continue;
        }
        if (!checked.insert(rowId).second) {
            error(at, "named by more than one row");
            continue;
        }
        auto ap = pc(it->second.data, it->second.sub, at);
        if (!ap) continue;
        // Outlook's own attachment objects always say their number and their kind.
        if (!ap->count(kAttachNumber)) error(at, "PidTagAttachNumber missing");
        if (int32Of(*ap, kObjectType) != static_cast<std::uint32_t>(tag::kMapiAttach))
            error(at, "PidTagObjectType is not 7 (attachment)");
        auto attached = ap->find(kAttachData);
        if (attached != ap->end() && attached->second.type == ptype::kObject && attached->second.value
            && attached->second.value->size == 8) {
            auto asubs = subnodes(it->second.sub, at);
            const Nid inner = get<std::uint32_t>(attached->second.value->bytes, 0);
            if (asubs && asubs->count(inner) && depth < kMaxEmbedding)
                checkMessage(asubs->at(inner).data, asubs->at(inner).sub, Where(at, " embedded message"), depth + 1);
        }
    }
}

namespace {

// The IDs a table's rows named, sorted, each once; whether one was named twice.
bool sortUnique(std::vector<Nid>& ids)
{
    std::sort(ids.begin(), ids.end());
    const auto dup = std::adjacent_find(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return dup != ids.end();
}

}  // namespace

void Checker::checkFolder(Nid folder, const PropertyMap& props)
{
    const Where where("folder ", folder, Where::Number::Hex);
    std::vector<Nid> children, messages;  // in NID order, as m_children is sorted
    const auto range = std::equal_range(m_children.begin(), m_children.end(), std::pair<Nid, Nid>{folder, 0},
                                        [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto it = range.first; it != range.second; ++it) {
        const Nid nid = it->second;
        if (nid == folder) continue;
        if (nidType(nid) == NidType::NormalFolder || nidType(nid) == NidType::SearchFolder)
            children.push_back(nid);
        else if (nidType(nid) == NidType::NormalMessage)
            messages.push_back(nid);
    }
    const auto sub = [&](NidType t) { return findNode(withType(folder, t)); };
    const NodeInfo *hier = sub(NidType::HierarchyTable), *contents = sub(NidType::ContentsTable),
                   *assoc = sub(NidType::AssocContentsTable);
    if (!hier || !contents || !assoc) {
        error(where, "hierarchy, contents or FAI contents table missing");
        return;
    }
    (void)tc(assoc->data, assoc->sub, Where(where, " FAI contents"));
    std::vector<Nid> rows;
    // Each row's cells are the subfolder's own values: Outlook's folder list shows the row.
    const auto collect = [&](std::uint32_t rowId, const Cells& cells) {
        rows.push_back(rowId);
        const NodeInfo* node = findNode(rowId);
        if (!node) return;
        const Where hierarchy(where, " hierarchy");  // named: a row keeps a pointer to it
        const Where row(hierarchy, " row ", rowId, Where::Number::Hex);
        auto fp = pc(node->data, node->sub, row);
        if (!fp) return;
        for (const auto& [tg, v] : cells) {
            if (tg == tag::kRowId || tg == tag::kRowVersion) continue;
            auto it = fp->find(tagId(tg));
            if (it != fp->end() && (it->second.type != tagType(tg) || it->second.value != v))
                error(row, "cell " + hex(tg) + " differs from the folder");
        }
    };
    if (tc(hier->data, hier->sub, Where(where, " hierarchy"), collect)) {
        (void)sortUnique(rows);
        if (rows != children)
            error(where,
                  "hierarchy table has " + std::to_string(rows.size()) + " rows for " + std::to_string(children.size())
                      + " subfolders");
    }
    const bool subfolders = props.count(kSubfolders) && props.at(kSubfolders).value
        && !props.at(kSubfolders).value->bytes.empty() && props.at(kSubfolders).value->bytes[0];
    if (subfolders != !children.empty()) error(where, "PidTagSubfolders does not match its subfolders");
    checkContents(folder, *contents, props, messages);
}

// The contents table against the messages: one row per message, each row's cells equal to the
// message's properties, and the folder's counts.
void Checker::checkContents(Nid folder, const NodeInfo& contents, const PropertyMap& props,
                            const std::vector<Nid>& messages)
{
    const Where where("folder ", folder, Where::Number::Hex);
    std::vector<Nid> rows;
    std::vector<bool> compared(m_nbt.size(), false);
    std::uint32_t unread = 0;
    const auto onRow = [&](std::uint32_t rowId, const Cells& cells) {
        rows.push_back(rowId);
        const NodeInfo* node = findNode(rowId);
        if (!node) return;
        const auto index = static_cast<std::size_t>(node - m_nbt.data());
        if (compared[index]) return;
        compared[index] = true;
        // The message is checked here, while its properties are at hand, not read again later.
        const bool checkHere = nidType(node->nid) == NidType::NormalMessage && !m_messageChecked[index];
        if (checkHere) m_messageChecked[index] = true;
        const Where message("message ", rowId, Where::Number::Hex);
        auto mp = pc(node->data, node->sub, message);
        if (!mp) return;
        if (checkHere) checkMessage(*mp, node->sub, message, 0);
        for (const auto& [tg, v] : cells) {
            if (tg == tag::kRowId || tg == tag::kRowVersion) continue;
            auto it = mp->find(tagId(tg));
            if (it == mp->end() || it->second.type != tagType(tg) || it->second.value != v)
                error(Where(where, " row ", rowId, Where::Number::Hex),
                      "cell " + hex(tg) + " differs from the message");
        }
        const auto flags = int32Of(*mp, kMessageFlags);
        unread += flags && !(*flags & 0x01);
    };
    if (!tc(contents.data, contents.sub, Where(where, " contents"), onRow)) return;
    if (sortUnique(rows)) error(where, "contents table lists a message more than once");
    if (rows != messages)
        error(where,
              "contents table has " + std::to_string(rows.size()) + " rows for " + std::to_string(messages.size())
                  + " messages");
    if (int32Of(props, kContentCount) != rows.size())
        error(where, "PidTagContentCount does not match the contents table");
    if (int32Of(props, kUnreadCount) != unread)
        error(where, "PidTagContentUnreadCount does not match the unread messages");
}

// Every named property is found where Outlook looks for it: in the bucket its entry-stream record
// selects, as a record carrying the name's CRC for a string name ([MS-PST] 2.4.7.5).
void Checker::nameMap(const PropertyMap& map)
{
    const std::string where = "name-to-ID map";
    if (int32Of(map, nameid::kBucketCountProp) != nameid::kBucketCount) {
        error(where, "PidTagNameidBucketCount is not 251");
        return;
    }
    const auto whole = [&](std::uint16_t id) -> const Bytes* {
        auto it = map.find(id);
        if (it == map.end() || !it->second.value || it->second.value->crc != 0) return nullptr;
        return &it->second.value->bytes;
    };
    const Bytes* entries = whole(nameid::kEntryStream);
    const Bytes* strings = whole(nameid::kStringStream);
    if (!entries || !strings) return;  // missing or too long to hold: nothing to compare against
    for (std::size_t i = 0; i + nameid::kEntrySize <= entries->size(); i += nameid::kEntrySize) {
        const auto id = get<std::uint32_t>(*entries, i);
        const auto guidAndKind = get<std::uint16_t>(*entries, i + 4);
        const auto index = get<std::uint16_t>(*entries, i + 6);
        std::uint32_t key = id;
        if (guidAndKind & 1) {
            if (id + 4 > strings->size() || id + 4 + get<std::uint32_t>(*strings, id) > strings->size()) {
                error(where, "string name of entry " + std::to_string(index) + " outside the string stream");
                continue;
            }
            key = crc32(std::span(*strings).subspan(id + 4, get<std::uint32_t>(*strings, id)));
        }
        const auto bucketId
            = static_cast<std::uint16_t>(nameid::kFirstBucket + (id ^ guidAndKind) % nameid::kBucketCount);
        const Bytes* bucket = whole(bucketId);
        bool found = false;
        for (std::size_t b = 0; bucket && !found && b + nameid::kEntrySize <= bucket->size(); b += nameid::kEntrySize)
            found = get<std::uint32_t>(*bucket, b) == key && get<std::uint16_t>(*bucket, b + 4) == guidAndKind
                && get<std::uint16_t>(*bucket, b + 6) == index;
        if (!found) error(where, "entry " + std::to_string(index) + " is not in the hash bucket it selects");
    }
}

// The search activity list names search folders, each with its update queue and criteria object;
// the receive folder table names folders. Outlook's stores have all of them, for the spam search
// folder and the root folder ([MS-PST] 2.4.8.4.2, 2.4.8.6.3, 2.4.8.6.4).
void Checker::searchAndReceiveNodes()
{
    const auto isFolder = [&](Nid n) {
        return findNode(n) && (nidType(n) == NidType::NormalFolder || nidType(n) == NidType::SearchFolder);
    };
    if (const NodeInfo* sal = findNode(nid::kSearchActivityList); sal && sal->data) {
        const Where where("search activity list");
        if (auto list = streamValue(sal->data, where)) {
            if (list->size % 4 != 0 || list->crc != 0) error(where, "is not an array of NIDs");
            for (std::size_t i = 0; i + 4 <= list->bytes.size(); i += 4) {
                const Nid n = get<std::uint32_t>(list->bytes, i);
                if (nidType(n) != NidType::SearchFolder || !findNode(n)) {
                    error(where, "names " + hex(n) + ", no search folder");
                    continue;
                }
                for (const NidType t : {NidType::SearchUpdateQueue, NidType::SearchCriteria})
                    if (!findNode(withType(n, t)))
                        warn(where, "search folder " + hex(n) + " without its update queue or criteria object");
            }
        }
    }
    const NodeInfo* receive = findNode(nid::kReceiveFolderTable);
    if (!receive) {
        warn("node " + hex(nid::kReceiveFolderTable), "no receive folder table");
        return;
    }
    const Where where("receive folder table");
    (void)tc(receive->data, receive->sub, where, [&](std::uint32_t rowId, const Cells& cells) {
        for (const auto& [t, v] : cells)
            if (t == tag::kReceiveFolderNid && (v.bytes.size() != 4 || !isFolder(get<std::uint32_t>(v.bytes, 0))))
                error(Where(where, " row ", rowId, Where::Number::Decimal), "names no folder");
    });
}

void Checker::messaging()
{
    for (const Nid n : {nid::kMessageStore, nid::kNameToIdMap, nid::kRootFolder, nid::kSearchManagementQueue,
                        nid::kSearchActivityList, nid::kHierarchyTemplate, nid::kContentsTemplate,
                        nid::kAssocContentsTemplate, nid::kSearchContentsTemplate, nid::kRecipientTemplate,
                        nid::kAttachmentTemplate, nid::kIpmSubtree, nid::kSearchRoot, nid::kDeletedItems})
        if (!findNode(n)) error("node " + hex(n), "mandatory node missing");
    if (const NodeInfo* node = findNode(nid::kMessageStore))
        if (auto store = pc(node->data, node->sub, "message store")) {
            auto rk = store->find(kRecordKey);
            if (rk == store->end() || !rk->second.value || rk->second.value->size != 16)
                error("message store", "PidTagRecordKey missing or not 16 bytes");
            if (!store->count(kDisplayName)) error("message store", "PidTagDisplayName missing");
        }
    if (const NodeInfo* node = findNode(nid::kNameToIdMap))
        if (auto map = pc(node->data, node->sub, "name-to-ID map")) nameMap(*map);
    searchAndReceiveNodes();
    for (const Nid t : {nid::kHierarchyTemplate, nid::kContentsTemplate, nid::kAssocContentsTemplate,
                        nid::kSearchContentsTemplate, nid::kRecipientTemplate, nid::kAttachmentTemplate})
        if (const NodeInfo* node = findNode(t))
            if (auto rows = tc(node->data, node->sub, "template " + hex(t)); rows && *rows != 0)
                error("template " + hex(t), "has data rows");
    m_children.clear();
    for (const auto& n : m_nbt) m_children.emplace_back(n.parent, n.nid);
    std::sort(m_children.begin(), m_children.end());
    m_messageChecked.assign(m_nbt.size(), false);
    for (const auto& n : m_nbt) {
        const NidType type = nidType(n.nid);
        if (type != NidType::NormalFolder && type != NidType::SearchFolder && type != NidType::NormalMessage) continue;
        if (!findNode(n.parent)) error("node " + hex(n.nid), "parent " + hex(n.parent) + " does not exist");
        if (type == NidType::NormalMessage) {
            ++m_r.messages;
            if (nidType(n.parent) != NidType::NormalFolder)
                error("message " + hex(n.nid), "parent is not a normal folder");
            if (!m_messageChecked[static_cast<std::size_t>(&n - m_nbt.data())])
                checkMessage(n.data, n.sub, Where("message ", n.nid, Where::Number::Hex), 0);
            continue;
        }
        ++m_r.folders;
        auto props = pc(n.data, n.sub, Where("folder ", n.nid, Where::Number::Hex));
        if (props && type == NidType::NormalFolder) checkFolder(n.nid, *props);
    }
}

}  // namespace quillmark::pst::checking
