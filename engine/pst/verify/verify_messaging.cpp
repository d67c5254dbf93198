// Verifier, messaging pass: mandatory nodes, the message store, folders, their tables and
// messages with recipients and attachments.
#include "engine/pst/byte_io.h"
#include "engine/pst/verify/verify_internal.h"

#include <set>

namespace quillmark::pst::checking {

using namespace fmt;
using bytes::get;

namespace {

constexpr PropTag kRowId = 0x67F20003, kRowVer = 0x67F30003;
constexpr std::uint16_t kContentCount = 0x3602, kUnreadCount = 0x3603, kSubfolders = 0x360A,
                        kMessageFlags = 0x0E07, kRecordKey = 0x0FF9, kDisplayName = 0x3001,
                        kAttachData = 0x3701;
constexpr int kMaxEmbedding = 8;

std::optional<std::uint32_t> int32Of(const PropertyMap& p, std::uint16_t id)
{
    auto it = p.find(id);
    if (it == p.end() || !it->second.value || it->second.value->size() < 4)
        return std::nullopt;
    return get<std::uint32_t>(*it->second.value, 0);
}

}  // namespace

void Checker::checkMessage(Nid /*nid*/, Bid data, Bid sub, const std::string& where, int depth)
{
    auto props = pc(data, sub, where);
    auto subs = subnodes(sub, where);
    if (!props || !subs)
        return;
    for (const std::uint16_t id : {std::uint16_t{0x001A}, kMessageFlags, std::uint16_t{0x0E08}})
        if (!props->count(id))
            error(where, "message lacks required property " + hex(id));
    auto recipients = subs->find(nid::kRecipientTable);
    if (recipients == subs->end())
        error(where, "message has no recipient table");
    else
        (void)tc(recipients->second.data, recipients->second.sub, where + " recipients");
    auto attachTable = subs->find(nid::kAttachmentTable);
    std::set<Nid> attachments;
    for (const auto& [sn, info] : *subs)
        if (nidType(sn) == NidType::Attachment)
            attachments.insert(sn);
    if (attachTable == subs->end()) {
        if (!attachments.empty())
            error(where, "attachment objects without an attachment table");
        return;
    }
    auto table = tc(attachTable->second.data, attachTable->second.sub, where + " attachments");
    if (!table)
        return;
    if (table->rows.size() != attachments.size())
        error(where, "attachment table has " + std::to_string(table->rows.size()) + " rows for " +
                         std::to_string(attachments.size()) + " attachment objects");
    for (const auto& [rowId, cells] : table->rows) {
        const std::string at = where + " attachment " + hex(rowId);
        auto it = subs->find(rowId);
        if (it == subs->end()) {
            error(at, "row names no attachment subnode");
            continue;
        }
        auto ap = pc(it->second.data, it->second.sub, at);
        if (!ap)
            continue;
        auto attached = ap->find(kAttachData);
        if (attached != ap->end() && attached->second.type == ptype::kObject && attached->second.value &&
            attached->second.value->size() == 8) {
            auto asubs = subnodes(it->second.sub, at);
            const Nid inner = get<std::uint32_t>(*attached->second.value, 0);
            if (asubs && asubs->count(inner) && depth < kMaxEmbedding)
                checkMessage(inner, asubs->at(inner).data, asubs->at(inner).sub, at + " embedded message", depth + 1);
        }
    }
}

void Checker::checkFolder(Nid folder, const PropertyMap& props)
{
    const std::string where = "folder " + hex(folder);
    std::set<Nid> children, messages;
    for (const auto& [nid, n] : nbt) {
        if (n.parent != folder || nid == folder)
            continue;
        if (nidType(nid) == NidType::NormalFolder || nidType(nid) == NidType::SearchFolder)
            children.insert(nid);
        else if (nidType(nid) == NidType::NormalMessage)
            messages.insert(nid);
    }
    const auto sub = [&](NidType t) { return nbt.find(withType(folder, t)); };
    auto hier = sub(NidType::HierarchyTable), contents = sub(NidType::ContentsTable), assoc = sub(NidType::AssocContentsTable);
    if (hier == nbt.end() || contents == nbt.end() || assoc == nbt.end()) {
        error(where, "hierarchy, contents or FAI contents table missing");
        return;
    }
    (void)tc(assoc->second.data, assoc->second.sub, where + " FAI contents");
    if (auto h = tc(hier->second.data, hier->second.sub, where + " hierarchy")) {
        std::set<Nid> rows;
        for (const auto& r : h->rows)
            rows.insert(r.first);
        if (rows != children)
            error(where, "hierarchy table has " + std::to_string(rows.size()) + " rows for " +
                             std::to_string(children.size()) + " subfolders");
    }
    const bool subfolders = props.count(kSubfolders) && props.at(kSubfolders).value &&
                            !props.at(kSubfolders).value->empty() && (*props.at(kSubfolders).value)[0];
    if (subfolders != !children.empty())
        error(where, "PidTagSubfolders does not match its subfolders");
    auto c = tc(contents->second.data, contents->second.sub, where + " contents");
    if (!c)
        return;
    std::set<Nid> rows;
    std::uint32_t unread = 0;
    for (const auto& [rowId, cells] : c->rows) {
        rows.insert(rowId);
        auto node = nbt.find(rowId);
        if (node == nbt.end())
            continue;
        auto mp = pc(node->second.data, node->second.sub, "message " + hex(rowId));
        if (!mp)
            continue;
        for (const auto& [tg, v] : cells) {
            if (tg == kRowId || tg == kRowVer)
                continue;
            auto it = mp->find(tagId(tg));
            if (it == mp->end() || it->second.type != tagType(tg) || it->second.value != v)
                error(where + " row " + hex(rowId), "cell " + hex(tg) + " differs from the message");
        }
        const auto flags = int32Of(*mp, kMessageFlags);
        unread += flags && !(*flags & 0x01);
    }
    if (rows != messages)
        error(where, "contents table has " + std::to_string(rows.size()) + " rows for " +
                         std::to_string(messages.size()) + " messages");
    if (int32Of(props, kContentCount) != rows.size())
        error(where, "PidTagContentCount does not match the contents table");
    if (int32Of(props, kUnreadCount) != unread)
        error(where, "PidTagContentUnreadCount does not match the unread messages");
}

void Checker::messaging()
{
    for (const Nid n : {nid::kMessageStore, nid::kNameToIdMap, nid::kRootFolder, nid::kSearchManagementQueue,
                        nid::kSearchActivityList, nid::kHierarchyTemplate, nid::kContentsTemplate,
                        nid::kAssocContentsTemplate, nid::kSearchContentsTemplate, nid::kRecipientTemplate,
                        nid::kAttachmentTemplate, nid::kIpmSubtree, nid::kSearchRoot, nid::kDeletedItems})
        if (!nbt.count(n))
            error("node " + hex(n), "mandatory node missing");
    if (auto it = nbt.find(nid::kMessageStore); it != nbt.end())
        if (auto store = pc(it->second.data, it->second.sub, "message store")) {
            auto rk = store->find(kRecordKey);
            if (rk == store->end() || !rk->second.value || rk->second.value->size() != 16)
                error("message store", "PidTagRecordKey missing or not 16 bytes");
            if (!store->count(kDisplayName))
                error("message store", "PidTagDisplayName missing");
        }
    if (auto it = nbt.find(nid::kNameToIdMap); it != nbt.end())
        if (auto map = pc(it->second.data, it->second.sub, "name-to-ID map"); map && int32Of(*map, 0x0001) != 251u)
            error("name-to-ID map", "PidTagNameidBucketCount is not 251");
    for (const Nid t : {nid::kHierarchyTemplate, nid::kContentsTemplate, nid::kAssocContentsTemplate,
                        nid::kSearchContentsTemplate, nid::kRecipientTemplate, nid::kAttachmentTemplate})
        if (auto it = nbt.find(t); it != nbt.end())
            if (auto table = tc(it->second.data, it->second.sub, "template " + hex(t)); table && !table->rows.empty())
                error("template " + hex(t), "has data rows");
    for (const auto& [nid, n] : nbt) {
        const NidType type = nidType(nid);
        if (type != NidType::NormalFolder && type != NidType::SearchFolder && type != NidType::NormalMessage)
            continue;
        if (!nbt.count(n.parent))
            error("node " + hex(nid), "parent " + hex(n.parent) + " does not exist");
        if (type == NidType::NormalMessage) {
            ++m_r.messages;
            if (nidType(n.parent) != NidType::NormalFolder)
                error("message " + hex(nid), "parent is not a normal folder");
            checkMessage(nid, n.data, n.sub, "message " + hex(nid), 0);
            continue;
        }
        ++m_r.folders;
        auto props = pc(n.data, n.sub, "folder " + hex(nid));
        if (props && type == NidType::NormalFolder)
            checkFolder(nid, *props);
    }
}

}  // namespace quillmark::pst::checking
