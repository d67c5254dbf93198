// Shared inside the messaging layer only: property tags, table layouts and the object writers.
#pragma once

#ifndef QUILLMARK_PST_BUILD
#error "a private header of the PST library, not for use outside it"
#endif

#include "engine/pst/ltp/heap_table.h"
#include "engine/pst/messaging/message_store.h"
#include "engine/pst/property_tags.h"

#include <map>
#include <string>
#include <vector>

namespace quillmark::pst::messaging {

using fmt::makeTag;
namespace pt = fmt::ptype;

namespace tag = pst::tag;

inline constexpr std::int32_t kAttachByValue = 1, kAttachEmbeddedMessage = 5;
inline constexpr std::uint32_t kFlagHasAttach = 0x10, kFlagRead = 0x01;
using tag::kMapiAttach;
using tag::kMapiMailUser;

// Columns of the template tables ([MS-PST] 2.4.4.4.1, 2.4.4.5.1, 2.4.4.6.1, 2.4.8.6.2.1,
// 2.4.5.3.1, 2.4.6.1.1), with the few columns an Outlook-made store adds to them.
const ltp::TableSchema& hierarchySchema();
const ltp::TableSchema& contentsSchema();
const ltp::TableSchema& assocContentsSchema();
const ltp::TableSchema& searchContentsSchema();
std::vector<PropTag> recipientTemplateTags();
std::vector<PropTag> attachmentTemplateTags();

// A node written for an object: its data tree and its subnode tree.
struct ObjectNode {
    Bid data = 0;
    Bid sub = 0;
};

ltp::Property toLtp(const Prop& p);
ltp::Property toLtp(Prop&& p);  // takes the value rather than copying it
// utf16le() at the end of `out`.
void appendUtf16le(std::vector<std::uint8_t>& out, std::string_view utf8);
void setProperty(std::vector<ltp::Property>& props, ltp::Property p);
const ltp::Property* findProperty(const std::vector<ltp::Property>& props, PropTag tag);

// A message whose recipients and attachments are in the file but whose PC is still open to
// changes (it is written by finishMessage()).
struct OpenMessage {
    explicit OpenMessage(ndb::BlockStore& store) : ids(store) {}
    std::uint32_t rowVersion = 0;  // of its row in the folder's contents table and of its own tables' rows
    std::vector<ltp::Property> props;
    std::vector<ndb::SubnodeEntry> subnodes;
    ltp::SubnodeIds ids;
};

// taken, when given, is the message itself, which the store may take from: the values of its
// extras are moved into the message's properties rather than copied (after they have been
// checked). rowVersion is the store's change count for this message
// (PidTagLtpRowVer of every row about it, as Outlook counts).
[[nodiscard]] Result<OpenMessage> beginMessage(ndb::BlockStore& store, const Message& message,
                                               std::span<const std::uint8_t> searchKeySeed, std::uint32_t rowVersion,
                                               Message* taken = nullptr);
// What the store derives from a message's fields alone: strings as UTF-16, entry IDs, search
// keys, display lines, recipient rows.
struct Derived {
    std::vector<Prop> props;
    Prop normalizedSubject;                         // used when extra has none
    std::vector<std::vector<Prop>> recipientCells;  // one per recipient, without extras
};
Derived derive(const Message& message);
[[nodiscard]] Result<ObjectNode> finishMessage(ndb::BlockStore& store, OpenMessage& open);

// A row of a folder's contents table, kept compactly until the table is written.
struct PackedRow {
    std::uint32_t rowId = 0;
    std::vector<std::uint8_t> cells;  // (tag, size, bytes) for each cell
};
PackedRow packRow(std::uint32_t rowId, std::uint32_t rowVersion, const std::vector<ltp::Property>& props,
                  const ltp::TableSchema& schema);
ltp::Property rowVersionCell(std::uint32_t rowVersion);

// The nodes of the search and delivery machinery, as an Outlook-made store has them: the search
// management queue (empty), the search activity list naming the spam search folder, that
// folder's update queue (empty) and criteria object, and the receive folder table.
[[nodiscard]] Result<void> writeSearchAndReceiveNodes(ndb::BlockStore& store, std::uint32_t rowVersion);
// The row packed as `cells`, over `into` (its cells' storage is reused).
void unpackRow(std::uint32_t rowId, std::span<const std::uint8_t> cells, ltp::Row& into);

// The name-to-ID map ([MS-PST] 2.4.7).
class NameMap {
public:
    std::uint16_t idFor(const Guid& set, std::uint32_t lid);
    std::uint16_t idFor(const Guid& set, std::string_view name);
    std::size_t size() const { return m_entries.size(); }
    std::vector<ltp::Property> properties() const;

private:
    struct Entry {
        std::uint32_t propertyId;  // lid, or the offset in the string stream
        std::uint16_t guidIndex;
        bool isString;
        std::uint32_t hashKey;  // lid, or the CRC of the name
    };
    std::uint16_t guidIndex(const Guid& set);
    std::uint16_t add(Entry e);

    std::vector<Guid> m_guids;
    std::vector<Entry> m_entries;
    std::vector<std::uint8_t> m_strings;
    std::map<std::pair<std::uint16_t, std::uint32_t>, std::uint16_t> m_numeric;
    std::map<std::pair<std::uint16_t, std::string>, std::uint16_t> m_named;
};

}  // namespace quillmark::pst::messaging
