// The message store: mandatory nodes ([MS-PST] 2.7.1), folders ([MS-PST] 2.4.4) and the
// writer's state machine (Open -> Writing -> Finishing -> Done, or Failed).
#include "engine/pst/messaging/message_store.h"

#include "engine/pst/byte_io.h"
#include "engine/pst/messaging/messaging_internal.h"
#include "engine/pst/messaging/row_spool.h"
#include "engine/pst/ndb/block_store.h"
#include "engine/pst/verify/verifier.h"

#include <algorithm>
#include <cassert>
#include <map>
#include <optional>
#include <random>

namespace quillmark::pst {

using namespace messaging;
namespace nids = fmt::nid;

namespace {

enum class State { Open, Writing, Finishing, Done, Failed };

struct Folder {
    Nid nid = 0;
    Nid parent = 0;
    std::string name;
    std::string containerClass;
    bool search = false;
    std::vector<Nid> children;
    std::vector<std::uint64_t> rows;  // contents-table rows, as placed in the store's row spool
    std::uint32_t unread = 0;
};

struct PendingMessage {
    Nid nid = 0;
    Nid folder = 0;
    OpenMessage open;
};

bool sameName(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

std::vector<std::string_view> splitPath(std::string_view s)
{
    std::vector<std::string_view> parts;
    while (!s.empty()) {
        const auto cut = s.find('\\');
        parts.push_back(s.substr(0, cut));
        s = cut == std::string_view::npos ? std::string_view{} : s.substr(cut + 1);
    }
    return parts;
}

ltp::Property int32Prop(PropTag t, std::uint32_t v)
{
    return toLtp(Prop::int32(fmt::tagId(t), static_cast<std::int32_t>(v)));
}

}  // namespace

struct MessageStore::Impl {
    std::filesystem::path path;
    std::unique_ptr<ndb::BlockStore> store;
    std::string displayName;
    Guid recordKey{};
    State state = State::Open;
    std::optional<Error> failure;
    std::map<Nid, Folder> folders;
    std::optional<PendingMessage> pending;
    NameMap names;
    RowSpool spool;
    // PidTagLtpRowVer as Outlook keeps it: a count of the store's changes, taken by each folder and
    // message when it is made, for the rows that describe it.
    std::uint32_t changes = 0;
    std::map<Nid, std::uint32_t> folderVersions;

    // Debug check of what each state promises (the public methods assert it on entry).
    bool invariantsHold() const
    {
        switch (state) {
        case State::Open:
            return store && !pending && folders.size() == 5;
        case State::Writing:
            return store && !failure && folders.count(nids::kIpmSubtree);
        case State::Finishing:
            return store && !pending;
        case State::Done:
            return !pending;
        case State::Failed:
            return failure.has_value();
        }
        return false;
    }

    // Readers (libpff among them) refuse a name-to-ID map with empty streams, and every store
    // Outlook makes has entries: start with two names mail items use.
    void registerStandardNames()
    {
        constexpr Guid kPsetidCommon
            = {0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
        constexpr Guid kPsInternetHeaders
            = {0x86, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
        names.idFor(kPsetidCommon, 0x8510);                // PidLidSideEffects
        names.idFor(kPsInternetHeaders, "content-class");  // PidNameContentClass
    }

    Error fail(Error e)
    {
        if (!failure) {
            failure = e;
            state = State::Failed;
            if (store) store->abandon();
        }
        return *failure;
    }

    Result<void> usable() const
    {
        if (failure) return *failure;
        if (state == State::Done || state == State::Finishing)
            return Error{Code::InvalidArgument, "the PST store is already closed"};
        return Ok{};
    }

    void addFixedFolder(Nid nid, Nid parent, std::string name, bool search = false)
    {
        store->noteNid(nid);
        folderVersions[nid] = ++changes;
        folders[nid] = Folder{nid, parent, std::move(name), {}, search, {}, {}, 0};
        if (parent != nid) folders[parent].children.push_back(nid);
    }

    std::vector<std::uint8_t> entryId(Nid nid) const
    {
        std::vector<std::uint8_t> id(4 + recordKey.size() + 4, 0);  // rgbFlags, the store's UID, the NID
        std::copy(recordKey.begin(), recordKey.end(), id.begin() + 4);
        bytes::put<std::uint32_t>(id, 4 + recordKey.size(), nid);
        return id;
    }

    Result<void> flushPending()
    {
        if (!pending) return Ok{};
        PendingMessage p = std::move(*pending);
        pending.reset();
        auto node = finishMessage(*store, p.open);
        if (!node) return fail(std::move(node).error());
        if (auto r = store->putNode(p.nid, node->data, node->sub, p.folder); !r) return fail(std::move(r).error());
        Folder& f = folders.at(p.folder);
        auto row = spool.append(packRow(p.nid, p.open.rowVersion, p.open.props, contentsSchema()));
        if (!row) return fail(std::move(row).error());
        f.rows.push_back(*row);
        const auto* flags = findProperty(p.open.props, tag::kMessageFlags);
        if (!flags || !(bytes::get<std::uint32_t>(flags->value, 0) & kFlagRead)) ++f.unread;
        return Ok{};
    }

    // ---- Closing: everything that is only written once ----

    Result<void> putTable(Nid nid, const ltp::TableSchema& schema, std::size_t count, const ltp::RowMaker& rowAt)
    {
        ltp::SubnodeIds ids(*store);
        auto tc = ltp::writeTableContext(*store, schema, count, rowAt, ids);
        if (!tc) return std::move(tc).error();
        auto sub = store->writeSubnodes(tc->subnodes);
        if (!sub) return std::move(sub).error();
        return store->putNode(nid, tc->data, *sub, 0);
    }

    Result<void> putEmptyTable(Nid nid, const ltp::TableSchema& schema)
    {
        return putTable(nid, schema, 0, [](std::size_t, ltp::Row&) {});
    }

    Result<void> putPc(Nid nid, Nid parent, const std::vector<ltp::Property>& props)
    {
        ltp::SubnodeIds ids(*store);
        auto pc = ltp::writePropertyContext(*store, props, ids);
        if (!pc) return std::move(pc).error();
        auto sub = store->writeSubnodes(pc->subnodes);
        if (!sub) return std::move(sub).error();
        return store->putNode(nid, pc->data, *sub, parent);
    }

    std::vector<ltp::Property> folderProperties(const Folder& f) const
    {
        std::vector<ltp::Property> p;
        p.push_back({tag::kDisplayName, utf16le(f.name)});
        p.push_back(int32Prop(tag::kContentCount, static_cast<std::uint32_t>(f.rows.size())));
        p.push_back(int32Prop(tag::kContentUnreadCount, f.unread));
        p.push_back(toLtp(Prop::boolean(fmt::tagId(tag::kSubfolders), !f.children.empty())));
        if (!f.containerClass.empty()) p.push_back({tag::kContainerClass, utf16le(f.containerClass)});
        return p;
    }

    ltp::Row hierarchyRow(Nid child) const
    {
        auto props = folderProperties(folders.at(child));
        props.push_back(rowVersionCell(folderVersions.at(child)));
        return ltp::Row{child, std::move(props)};
    }

    Result<void> writeFolder(Folder& f)
    {
        if (auto r = putPc(f.nid, f.parent, folderProperties(f)); !r) return r;
        if (f.search) return Ok{};
        const auto children = f.children;
        if (auto r = putTable(fmt::withType(f.nid, fmt::NidType::HierarchyTable), hierarchySchema(), children.size(),
                              [&](std::size_t i, ltp::Row& row) { row = hierarchyRow(children[i]); });
            !r)
            return r;
        std::optional<Error> unread;  // a row the spool could not give back
        auto contents = putTable(fmt::withType(f.nid, fmt::NidType::ContentsTable), contentsSchema(), f.rows.size(),
                                 [&](std::size_t i, ltp::Row& row) {
                                     auto packed = spool.view(f.rows[i]);
                                     if (!packed) {
                                         if (!unread) unread = packed.error();
                                         row = ltp::Row{};
                                         return;
                                     }
                                     unpackRow(packed->rowId, packed->cells, row);
                                 });
        if (unread) return *unread;
        if (!contents) return contents;
        return putEmptyTable(fmt::withType(f.nid, fmt::NidType::AssocContentsTable), assocContentsSchema());
    }

    Result<void> writeTemplates()
    {
        const auto recipients = ltp::TableSchema::fromTags(recipientTemplateTags());
        const auto attachments = ltp::TableSchema::fromTags(attachmentTemplateTags());
        const std::pair<Nid, const ltp::TableSchema*> templates[]
            = {{nids::kHierarchyTemplate, &hierarchySchema()},
               {nids::kContentsTemplate, &contentsSchema()},
               {nids::kAssocContentsTemplate, &assocContentsSchema()},
               {nids::kSearchContentsTemplate, &searchContentsSchema()},
               {nids::kRecipientTemplate, &recipients},
               {nids::kAttachmentTemplate, &attachments}};
        for (const auto& [nid, schema] : templates)
            if (auto r = putEmptyTable(nid, *schema); !r) return r;
        return Ok{};
    }

    Result<void> writeStoreObject()
    {
        std::vector<ltp::Property> p;
        p.push_back({tag::kRecordKey, {recordKey.begin(), recordKey.end()}});
        p.push_back({tag::kDisplayName, utf16le(displayName)});
        p.push_back({tag::kIpmSubtreeEntryId, entryId(nids::kIpmSubtree)});
        p.push_back({tag::kIpmWastebasketEntryId, entryId(nids::kDeletedItems)});
        p.push_back({tag::kFinderEntryId, entryId(nids::kSearchRoot)});
        p.push_back(int32Prop(tag::kPstPassword, 0));
        if (auto r = putPc(nids::kMessageStore, 0, p); !r) return r;
        return putPc(nids::kNameToIdMap, 0, names.properties());
    }

    Result<void> close()
    {
        if (auto r = usable(); !r) return r;
        if (auto r = flushPending(); !r) return r;
        state = State::Finishing;
        assert(invariantsHold());
        for (auto& [nid, f] : folders) {
            if (auto r = writeFolder(f); !r) return fail(std::move(r).error());
            f.rows.clear();
            f.rows.shrink_to_fit();
        }
        spool.clear();
        if (auto r = writeTemplates(); !r) return fail(std::move(r).error());
        if (auto r = writeSearchAndReceiveNodes(*store, folderVersions.at(nids::kRootFolder)); !r)
            return fail(std::move(r).error());
        if (auto r = writeStoreObject(); !r) return fail(std::move(r).error());
        if (auto r = store->finish(); !r) return fail(std::move(r).error());
        state = State::Done;
        assert(verifiedInDebugBuild());
        return Ok{};
    }

    // Debug builds read each finished file back through the verifier; only small files, so that
    // debug runs of large stores stay quick.
    bool verifiedInDebugBuild() const
    {
        constexpr std::uintmax_t kLimit = 64u << 20;
        std::error_code ec;
        if (std::filesystem::file_size(path, ec) > kLimit || ec) return true;
        auto report = verify(path, 20);
        return report.ok() && report->ok();
    }
};

MessageStore::MessageStore(std::unique_ptr<Impl> impl) : m(std::move(impl)) {}

MessageStore::~MessageStore() = default;

Result<std::unique_ptr<MessageStore>> MessageStore::create(const std::filesystem::path& path,
                                                           std::string_view displayName, StoreOptions options)
{
    auto store = ndb::BlockStore::create(path, ndb::Options{options.crypt});
    if (!store) return std::move(store).error();
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->store = std::move(*store);
    impl->spool = RowSpool(options.rowMemory);
    impl->displayName = displayName;
    if (options.recordKey) {
        impl->recordKey = *options.recordKey;
    } else {
        std::random_device rd;
        for (auto& b : impl->recordKey) b = static_cast<std::uint8_t>(rd());
    }
    impl->addFixedFolder(nids::kRootFolder, nids::kRootFolder, "");
    impl->addFixedFolder(nids::kIpmSubtree, nids::kRootFolder, "Top of Personal Folders");
    impl->addFixedFolder(nids::kSearchRoot, nids::kRootFolder, "Search Root");
    impl->addFixedFolder(nids::kSpamSearchFolder, nids::kRootFolder, "SPAM Search Folder 2", true);
    impl->addFixedFolder(nids::kDeletedItems, nids::kIpmSubtree, "Deleted Items");
    impl->folders[nids::kDeletedItems].containerClass = "IPF.Note";
    for (const Nid n :
         {nids::kMessageStore, nids::kNameToIdMap, nids::kSearchManagementQueue, nids::kSearchActivityList,
          nids::kHierarchyTemplate, nids::kContentsTemplate, nids::kAssocContentsTemplate,
          nids::kSearchContentsTemplate, nids::kAttachmentTemplate, nids::kRecipientTemplate, nids::kReceiveFolderTable,
          nids::kSpamSearchUpdateQueue, nids::kSpamSearchCriteria})
        impl->store->noteNid(n);
    impl->registerStandardNames();
    assert(impl->invariantsHold());
    impl->state = State::Writing;
    return std::unique_ptr<MessageStore>(new MessageStore(std::move(impl)));
}

Result<void> MessageStore::close()
{
    assert(m->invariantsHold());
    return m->close();
}

const std::string& MessageStore::displayName() const { return m->displayName; }

bool MessageStore::failed() const noexcept { return m->failure.has_value(); }

FolderId MessageStore::topOfPersonalFolders() const { return {nids::kIpmSubtree}; }

Result<FolderId> MessageStore::addFolder(FolderId parent, std::string_view name)
{
    assert(m->invariantsHold());
    if (auto r = m->usable(); !r) return r.error();
    auto it = m->folders.find(parent.nid);
    if (it == m->folders.end() || it->second.search || parent.nid == nids::kRootFolder)
        return Error{Code::InvalidArgument, "no mail folder with that ID"};
    if (name.empty() || name.find('\\') != std::string_view::npos)
        return Error{Code::InvalidArgument, "a folder name must not be empty or contain '\\'"};
    // Exactly: "Inbox" and "INBOX" of two accounts' trees are two folders.
    for (const Nid child : it->second.children)
        if (m->folders.at(child).name == name) return FolderId{child};
    const Nid nid = m->store->newNid(fmt::NidType::NormalFolder);
    m->folders[nid] = Folder{nid, parent.nid, std::string(name), "IPF.Note", false, {}, {}, 0};
    m->folderVersions[nid] = ++m->changes;
    m->folders.at(parent.nid).children.push_back(nid);
    return FolderId{nid};
}

Result<FolderId> MessageStore::findFolder(std::string_view path) const
{
    const auto notFound = [&] { return Error{Code::NotFound, "no folder " + std::string(path)}; };
    if (path.substr(0, 2) != "\\\\") return Error{Code::InvalidArgument, "a folder path starts with \\\\<store name>"};
    const auto parts = splitPath(path.substr(2));
    if (parts.empty() || !sameName(parts.front(), m->displayName)) return notFound();
    Nid at = nids::kIpmSubtree;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].empty() && i + 1 == parts.size()) break;  // a trailing backslash
        const auto& children = m->folders.at(at).children;
        // The exact name first: folders may differ only in case.
        auto next
            = std::find_if(children.begin(), children.end(), [&](Nid c) { return m->folders.at(c).name == parts[i]; });
        if (next == children.end())
            next = std::find_if(children.begin(), children.end(),
                                [&](Nid c) { return sameName(m->folders.at(c).name, parts[i]); });
        if (next == children.end()) return notFound();
        at = *next;
    }
    return FolderId{at};
}

Result<MessageId> MessageStore::addMessage(FolderId folder, Message&& message)
{
    return add(folder, message, &message);
}

Result<MessageId> MessageStore::addMessage(FolderId folder, const Message& message)
{
    return add(folder, message, nullptr);
}

Result<MessageId> MessageStore::add(FolderId folder, const Message& message, Message* taken)
{
    assert(m->invariantsHold());
    if (auto r = m->usable(); !r) return r.error();
    auto it = m->folders.find(folder.nid);
    if (it == m->folders.end() || it->second.search || folder.nid == nids::kRootFolder)
        return Error{Code::InvalidArgument, "no mail folder with that ID"};
    if (auto r = m->flushPending(); !r) return r.error();
    const Nid nid = m->store->newNid(fmt::NidType::NormalMessage);
    std::vector<std::uint8_t> key(m->recordKey.begin(), m->recordKey.end());
    bytes::put<std::uint32_t>(key, 0, nid);
    auto open = beginMessage(*m->store, message, key, ++m->changes, taken);
    if (!open) {
        // A message that cannot be stored (e.g. a value too large) leaves the file usable unless
        // the file itself failed.
        if (m->store->failed()) return m->fail(std::move(open).error());
        return std::move(open).error();
    }
    m->pending = PendingMessage{nid, folder.nid, std::move(*open)};
    return MessageId{nid};
}

Result<void> MessageStore::setProperty(MessageId message, const Prop& prop)
{
    assert(m->invariantsHold());
    if (auto r = m->usable(); !r) return r;
    if (!m->pending || m->pending->nid != message.nid)
        return Error{Code::Unsupported, "only the message added last can be changed"};
    auto& props = m->pending->open.props;
    ltp::Property p = toLtp(prop);
    if (p.tag == tag::kMessageFlags && p.value.size() == 4) {
        // The has-attachments flag follows the attachments, whatever the caller passes.
        const auto* old = findProperty(props, tag::kMessageFlags);
        const std::uint32_t hasAttach = old ? bytes::get<std::uint32_t>(old->value, 0) & kFlagHasAttach : 0;
        bytes::put<std::uint32_t>(p.value, 0, (bytes::get<std::uint32_t>(p.value, 0) & ~kFlagHasAttach) | hasAttach);
    }
    messaging::setProperty(props, std::move(p));
    return Ok{};
}

Result<std::uint16_t> MessageStore::namedProperty(const Guid& set, std::uint32_t lid)
{
    if (auto r = m->usable(); !r) return r.error();
    if (m->names.size() >= 0x7FFF) return Error{Code::FileTooLarge, "no property IDs left for named properties"};
    return m->names.idFor(set, lid);
}

Result<std::uint16_t> MessageStore::namedProperty(const Guid& set, std::string_view name)
{
    if (auto r = m->usable(); !r) return r.error();
    if (m->names.size() >= 0x7FFF) return Error{Code::FileTooLarge, "no property IDs left for named properties"};
    return m->names.idFor(set, name);
}

}  // namespace quillmark::pst
