// Shared inside the messaging layer only: property tags, table layouts and the object writers.
#pragma once

#ifndef QUILLMARK_PST_BUILD
#error "a private header of the PST library, not for use outside it"
#endif

#include "engine/pst/ltp/heap_table.h"
#include "engine/pst/messaging/message_store.h"

#include <map>
#include <string>
#include <vector>

namespace quillmark::pst::messaging {

using fmt::makeTag;
namespace pt = fmt::ptype;

// Property tags of [MS-OXPROPS] that this layer writes.
namespace tag {
inline constexpr PropTag kImportance
    = makeTag(0x0017, pt::kInt32),
    kMessageClass = makeTag(0x001A, pt::kString), kSensitivity = makeTag(0x0036, pt::kInt32),
    kSubject = makeTag(0x0037, pt::kString), kClientSubmitTime = makeTag(0x0039, pt::kTime),
    kSentRepresentingName = makeTag(0x0042, pt::kString), kMessageToMe = makeTag(0x0057, pt::kBoolean),
    kMessageCcMe = makeTag(0x0058, pt::kBoolean), kSentRepresentingAddrType = makeTag(0x0064, pt::kString),
    kSentRepresentingEmail = makeTag(0x0065, pt::kString), kConversationTopic = makeTag(0x0070, pt::kString),
    kRecipientType = makeTag(0x0C15, pt::kInt32), kSenderName = makeTag(0x0C1A, pt::kString),
    kSenderAddrType = makeTag(0x0C1E, pt::kString), kSenderEmail = makeTag(0x0C1F, pt::kString),
    kDisplayBcc = makeTag(0x0E02, pt::kString), kDisplayCc = makeTag(0x0E03, pt::kString),
    kDisplayTo = makeTag(0x0E04, pt::kString), kDeliveryTime = makeTag(0x0E06, pt::kTime),
    kMessageFlags = makeTag(0x0E07, pt::kInt32), kMessageSize = makeTag(0x0E08, pt::kInt32),
    kResponsibility = makeTag(0x0E0F, pt::kBoolean), kMessageStatus = makeTag(0x0E17, pt::kInt32),
    kAttachSize = makeTag(0x0E20, pt::kInt32), kRecordKey = makeTag(0x0FF9, pt::kBinary),
    kObjectType = makeTag(0x0FFE, pt::kInt32), kEntryId = makeTag(0x0FFF, pt::kBinary),
    kBody = makeTag(0x1000, pt::kString), kHtml = makeTag(0x1013, pt::kBinary),
    kDisplayName = makeTag(0x3001, pt::kString), kAddrType = makeTag(0x3002, pt::kString),
    kEmailAddress = makeTag(0x3003, pt::kString), kCreationTime = makeTag(0x3007, pt::kTime),
    kLastModificationTime = makeTag(0x3008, pt::kTime), kSearchKey = makeTag(0x300B, pt::kBinary),
    kIpmSubtreeEntryId = makeTag(0x35E0, pt::kBinary), kIpmWastebasketEntryId = makeTag(0x35E3, pt::kBinary),
    kFinderEntryId = makeTag(0x35E7, pt::kBinary), kContentCount = makeTag(0x3602, pt::kInt32),
    kContentUnreadCount = makeTag(0x3603, pt::kInt32), kSubfolders = makeTag(0x360A, pt::kBoolean),
    kContainerClass = makeTag(0x3613, pt::kString), kAttachDataBinary = makeTag(0x3701, pt::kBinary),
    kAttachDataObject = makeTag(0x3701, pt::kObject), kAttachFilename = makeTag(0x3704, pt::kString),
    kAttachMethod = makeTag(0x3705, pt::kInt32), kAttachLongFilename = makeTag(0x3707, pt::kString),
    kRenderingPosition = makeTag(0x370B, pt::kInt32), kAttachMimeTag = makeTag(0x370E, pt::kString),
    kAttachContentId = makeTag(0x3712, pt::kString), kDisplayType = makeTag(0x3900, pt::kInt32),
    kSmtpAddress = makeTag(0x39FE, pt::kString), k7BitDisplayName = makeTag(0x39FF, pt::kString),
    kSendRichInfo = makeTag(0x3A40, pt::kBoolean), kPstPassword = makeTag(0x67FF, pt::kInt32);
}  // namespace tag

inline constexpr std::int32_t kAttachByValue = 1, kAttachEmbeddedMessage = 5;
inline constexpr std::uint32_t kFlagHasAttach = 0x10, kFlagRead = 0x01;
inline constexpr std::int32_t kMapiMailUser = 6;

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
void setProperty(std::vector<ltp::Property>& props, ltp::Property p);
const ltp::Property* findProperty(const std::vector<ltp::Property>& props, PropTag tag);

// A message whose recipients and attachments are in the file but whose PC is still open to
// changes (it is written by finishMessage()).
struct OpenMessage {
    std::vector<ltp::Property> props;
    std::vector<ndb::SubnodeEntry> subnodes;
    ltp::SubnodeIds ids;
};

// extrasToTake, when given, is message.extra itself: its values are moved into the message's
// properties rather than copied (after they have been checked), and left empty.
[[nodiscard]] Result<OpenMessage> beginMessage(ndb::BlockStore& store, const Message& message,
                                               std::span<const std::uint8_t> searchKeySeed,
                                               std::vector<Prop>* extrasToTake = nullptr);
[[nodiscard]] Result<ObjectNode> finishMessage(ndb::BlockStore& store, OpenMessage& open);

// A row of a folder's contents table, kept compactly until the table is written.
struct PackedRow {
    std::uint32_t rowId = 0;
    std::vector<std::uint8_t> cells;  // (tag, size, bytes) for each cell
};
PackedRow packRow(std::uint32_t rowId, const std::vector<ltp::Property>& props, const ltp::TableSchema& schema);
ltp::Row unpackRow(const PackedRow& row);

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
