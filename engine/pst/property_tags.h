// Property tags of [MS-OXPROPS] that our PST files carry: the one list, for the messaging layer
// that writes them, the import that fills them and the verifier that reads them back.
#pragma once

#include "engine/pst/format.h"

namespace quillmark::pst::tag {

using fmt::makeTag;
namespace pt = fmt::ptype;

// clang-format off
inline constexpr PropTag kImportance                = makeTag(0x0017, pt::kInt32);
inline constexpr PropTag kMessageClass              = makeTag(0x001A, pt::kString);
inline constexpr PropTag kPriority                  = makeTag(0x0026, pt::kInt32);
inline constexpr PropTag kSensitivity               = makeTag(0x0036, pt::kInt32);
inline constexpr PropTag kSubject                   = makeTag(0x0037, pt::kString);
inline constexpr PropTag kClientSubmitTime          = makeTag(0x0039, pt::kTime);
inline constexpr PropTag kSentRepresentingSearchKey = makeTag(0x003B, pt::kBinary);
inline constexpr PropTag kSubjectPrefix             = makeTag(0x003D, pt::kString);
inline constexpr PropTag kSentRepresentingEntryId   = makeTag(0x0041, pt::kBinary);
inline constexpr PropTag kSentRepresentingName      = makeTag(0x0042, pt::kString);
inline constexpr PropTag kReplyRecipientEntries     = makeTag(0x004F, pt::kBinary);
inline constexpr PropTag kReplyRecipientNames       = makeTag(0x0050, pt::kString);
inline constexpr PropTag kMessageToMe               = makeTag(0x0057, pt::kBoolean);
inline constexpr PropTag kMessageCcMe               = makeTag(0x0058, pt::kBoolean);
inline constexpr PropTag kSentRepresentingAddrType  = makeTag(0x0064, pt::kString);
inline constexpr PropTag kSentRepresentingEmail     = makeTag(0x0065, pt::kString);
inline constexpr PropTag kConversationTopic         = makeTag(0x0070, pt::kString);
inline constexpr PropTag kConversationIndex         = makeTag(0x0071, pt::kBinary);
inline constexpr PropTag kTransportHeaders          = makeTag(0x007D, pt::kString);
inline constexpr PropTag kRecipientType             = makeTag(0x0C15, pt::kInt32);
inline constexpr PropTag kSenderEntryId             = makeTag(0x0C19, pt::kBinary);
inline constexpr PropTag kSenderName                = makeTag(0x0C1A, pt::kString);
inline constexpr PropTag kSenderSearchKey           = makeTag(0x0C1D, pt::kBinary);
inline constexpr PropTag kSenderAddrType            = makeTag(0x0C1E, pt::kString);
inline constexpr PropTag kSenderEmail               = makeTag(0x0C1F, pt::kString);
inline constexpr PropTag kDisplayBcc                = makeTag(0x0E02, pt::kString);
inline constexpr PropTag kDisplayCc                 = makeTag(0x0E03, pt::kString);
inline constexpr PropTag kDisplayTo                 = makeTag(0x0E04, pt::kString);
inline constexpr PropTag kDeliveryTime              = makeTag(0x0E06, pt::kTime);
inline constexpr PropTag kMessageFlags              = makeTag(0x0E07, pt::kInt32);
inline constexpr PropTag kMessageSize               = makeTag(0x0E08, pt::kInt32);
inline constexpr PropTag kResponsibility            = makeTag(0x0E0F, pt::kBoolean);
inline constexpr PropTag kMessageStatus             = makeTag(0x0E17, pt::kInt32);
inline constexpr PropTag kHasAttachments            = makeTag(0x0E1B, pt::kBoolean);
inline constexpr PropTag kNormalizedSubject         = makeTag(0x0E1D, pt::kString);
inline constexpr PropTag kAttachSize                = makeTag(0x0E20, pt::kInt32);
inline constexpr PropTag kAttachNumber              = makeTag(0x0E21, pt::kInt32);
inline constexpr PropTag kRecordKey                 = makeTag(0x0FF9, pt::kBinary);
inline constexpr PropTag kObjectType                = makeTag(0x0FFE, pt::kInt32);
inline constexpr PropTag kEntryId                   = makeTag(0x0FFF, pt::kBinary);
inline constexpr PropTag kBody                      = makeTag(0x1000, pt::kString);
inline constexpr PropTag kHtml                      = makeTag(0x1013, pt::kBinary);
inline constexpr PropTag kInternetMessageId         = makeTag(0x1035, pt::kString);
inline constexpr PropTag kInternetReferences        = makeTag(0x1039, pt::kString);
inline constexpr PropTag kInReplyTo                 = makeTag(0x1042, pt::kString);
inline constexpr PropTag kIconIndex                 = makeTag(0x1080, pt::kInt32);
inline constexpr PropTag kLastVerbExecuted          = makeTag(0x1081, pt::kInt32);
inline constexpr PropTag kFlagStatus                = makeTag(0x1090, pt::kInt32);
inline constexpr PropTag kFlagIcon                  = makeTag(0x1095, pt::kInt32);
inline constexpr PropTag kDisplayName               = makeTag(0x3001, pt::kString);
inline constexpr PropTag kAddrType                  = makeTag(0x3002, pt::kString);
inline constexpr PropTag kEmailAddress              = makeTag(0x3003, pt::kString);
inline constexpr PropTag kCreationTime              = makeTag(0x3007, pt::kTime);
inline constexpr PropTag kLastModificationTime      = makeTag(0x3008, pt::kTime);
inline constexpr PropTag kSearchKey                 = makeTag(0x300B, pt::kBinary);
inline constexpr PropTag kIpmSubtreeEntryId         = makeTag(0x35E0, pt::kBinary);
inline constexpr PropTag kIpmWastebasketEntryId     = makeTag(0x35E3, pt::kBinary);
inline constexpr PropTag kFinderEntryId             = makeTag(0x35E7, pt::kBinary);
inline constexpr PropTag kContentCount              = makeTag(0x3602, pt::kInt32);
inline constexpr PropTag kContentUnreadCount        = makeTag(0x3603, pt::kInt32);
inline constexpr PropTag kSubfolders                = makeTag(0x360A, pt::kBoolean);
inline constexpr PropTag kContainerClass            = makeTag(0x3613, pt::kString);
inline constexpr PropTag kAttachDataBinary          = makeTag(0x3701, pt::kBinary);
inline constexpr PropTag kAttachDataObject          = makeTag(0x3701, pt::kObject);
inline constexpr PropTag kAttachEncoding            = makeTag(0x3702, pt::kBinary);
inline constexpr PropTag kAttachFilename            = makeTag(0x3704, pt::kString);
inline constexpr PropTag kAttachMethod              = makeTag(0x3705, pt::kInt32);
inline constexpr PropTag kAttachLongFilename        = makeTag(0x3707, pt::kString);
inline constexpr PropTag kAttachTag                 = makeTag(0x370A, pt::kBinary);
inline constexpr PropTag kRenderingPosition         = makeTag(0x370B, pt::kInt32);
inline constexpr PropTag kAttachMimeTag             = makeTag(0x370E, pt::kString);
inline constexpr PropTag kAttachMimeSequence        = makeTag(0x3710, pt::kInt32);
inline constexpr PropTag kAttachContentId           = makeTag(0x3712, pt::kString);
inline constexpr PropTag kAttachContentLocation     = makeTag(0x3713, pt::kString);
inline constexpr PropTag kAttachFlags               = makeTag(0x3714, pt::kInt32);
inline constexpr PropTag kDisplayType               = makeTag(0x3900, pt::kInt32);
inline constexpr PropTag kSmtpAddress               = makeTag(0x39FE, pt::kString);
inline constexpr PropTag k7BitDisplayName           = makeTag(0x39FF, pt::kString);
inline constexpr PropTag kSendRichInfo              = makeTag(0x3A40, pt::kBoolean);
inline constexpr PropTag kInternetCodepage          = makeTag(0x3FDE, pt::kInt32);
inline constexpr PropTag kReceiveFolderNid          = makeTag(0x6605, pt::kInt32);
inline constexpr PropTag kSearchCriteriaValue       = makeTag(0x660B, pt::kInt32);  // undocumented; 0 in Outlook's
inline constexpr PropTag kRowId                     = makeTag(0x67F2, pt::kInt32);
inline constexpr PropTag kRowVersion                = makeTag(0x67F3, pt::kInt32);
inline constexpr PropTag kPstPassword               = makeTag(0x67FF, pt::kInt32);
inline constexpr PropTag kAttachmentHidden          = makeTag(0x7FFE, pt::kBoolean);
// clang-format on

// Values of PidTagObjectType for the objects our files hold.
inline constexpr std::int32_t kMapiMailUser = 6, kMapiAttach = 7;

// The provider UID of one-off entry IDs ([MS-OXCDATA] 2.2.5.1): an address in no address book.
inline constexpr std::uint8_t kOneOffProviderUid[16]
    = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19, 0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};

// PidTagConversationIndex ([MS-OXOMSG] 2.2.1.3): a header (reserved byte, five bytes of time, the
// thread's GUID), then one block per reply level.
inline constexpr std::size_t kConversationHeaderSize = 22, kConversationBlockSize = 5;
inline constexpr std::uint8_t kConversationReserved = 0x01;

}  // namespace quillmark::pst::tag
