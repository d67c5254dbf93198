// The Unicode PST file format (wVer 23) as this library writes and checks it.
//
// Every on-disk structure used by the layers is described here with its [MS-PST] section, and
// every size and offset the code needs is a named constant. All integers are little-endian.
//
// HEADER, Unicode ([MS-PST] 2.2.2.6), at file offset 0
//   offset | size | field
//   0      | 4    | dwMagic "!BDN"
//   4      | 4    | dwCRCPartial: CRC of the 471 bytes at 8
//   8      | 2    | wMagicClient "SM"
//   10     | 2    | wVer 23
//   12     | 2    | wVerClient 19
//   14     | 1+1  | bPlatformCreate, bPlatformAccess = 1
//   16     | 4+4  | dwReserved1, dwReserved2
//   24     | 8    | bidUnused
//   32     | 8    | bidNextP: next page BID
//   40     | 4    | dwUnique
//   44     | 128  | rgnid[32]: highest nidIndex handed out per NID type
//   172    | 8    | qwUnused
//   180    | 72   | ROOT (below)
//   252    | 4    | dwAlign
//   256    | 128  | rgbFM (0xFF), 384 | 128 | rgbFP (0xFF)
//   512    | 1    | bSentinel 0x80
//   513    | 1    | bCryptMethod
//   514    | 2    | rgbReserved
//   516    | 8    | bidNextB: next block BID
//   524    | 4    | dwCRCFull: CRC of the 516 bytes at 8
//   528    | 36   | reserved, zero
//
// ROOT ([MS-PST] 2.2.2.5), at header offset 180
//   0 | 4 dwReserved | 4 | 8 ibFileEof | 12 | 8 ibAMapLast | 20 | 8 cbAMapFree | 28 | 8 cbPMapFree
//   36 | 16 BREF of the NBT root page | 52 | 16 BREF of the BBT root page | 68 | 1 fAMapValid | 69 | 3 reserved
//
// PAGETRAILER ([MS-PST] 2.2.2.7.1), the last 16 bytes of every 512-byte page
//   496 | 1 ptype | 497 | 1 ptypeRepeat | 498 | 2 wSig | 500 | 4 dwCRC of bytes 0..495 | 504 | 8 bid
//
// BTPAGE ([MS-PST] 2.2.2.7.7.1)
//   0 | 488 rgentries | 488 | 1 cEnt | 489 | 1 cEntMax | 490 | 1 cbEnt | 491 | 1 cLevel | 492 | 4 pad
//   BTENTRY (branch) : 0 | 8 btkey | 8 | 16 BREF of the child page
//   NBTENTRY (leaf)  : 0 | 8 nid | 8 | 8 bidData | 16 | 8 bidSub | 24 | 4 nidParent | 28 | 4 pad
//   BBTENTRY (leaf)  : 0 | 16 BREF | 16 | 2 cb | 18 | 2 cRef | 20 | 4 pad
//
// BLOCKTRAILER ([MS-PST] 2.2.2.8.1), the last 16 bytes of a block (blocks are 64-byte multiples)
//   0 | 2 cb | 2 | 2 wSig | 4 | 4 dwCRC of the cb stored bytes | 8 | 8 bid
//
// XBLOCK / XXBLOCK ([MS-PST] 2.2.2.8.3.2): 0 | 1 btype=1 | 1 | 1 cLevel 1/2 | 2 | 2 cEnt | 4 | 4 lcbTotal | 8 | BID[]
// SLBLOCK / SIBLOCK ([MS-PST] 2.2.2.8.3.3): 0 | 1 btype=2 | 1 | 1 cLevel 0/1 | 2 | 2 cEnt | 4 | 4 pad | 8 | entries
//   SLENTRY: 0 | 8 nid | 8 | 8 bidData | 16 | 8 bidSub;   SIENTRY: 0 | 8 nid | 8 | 8 bid of an SLBLOCK
//
// DLIST page ([MS-PST] 2.2.2.7.4) at 0x4200
//   0 | 1 bFlags | 1 | 1 cEntDList | 2 | 2 pad | 4 | 4 ulCurrentPage | 8 | 4*n entries (AMap index:20, free slots:12)
//
// HNHDR ([MS-PST] 2.3.1.2), first block of a heap
//   0 | 2 ibHnpm | 2 | 1 bSig 0xEC | 3 | 1 bClientSig | 4 | 4 hidUserRoot | 8 | 4 rgbFillLevel (8 nibbles)
// HNPAGEHDR (2.3.1.3): 0 | 2 ibHnpm.  HNBITMAPHDR (2.3.1.4): 0 | 2 ibHnpm | 2 | 64 rgbFillLevel
// HNPAGEMAP (2.3.1.5), 2-byte aligned: 0 | 2 cAlloc | 2 | 2 cFree | 4 | 2*(cAlloc+1) rgibAlloc
// BTHHEADER (2.3.2.1): 0 | 1 bType 0xB5 | 1 | 1 cbKey | 2 | 1 cbEnt | 3 | 1 bIdxLevels | 4 | 4 hidRoot
// PC record (2.3.3.3): 0 | 2 wPropId | 2 | 2 wPropType | 4 | 4 dwValueHnid
// TCINFO (2.3.4.1): 0 | 1 bType 0x7C | 1 | 1 cCols | 2 | 8 rgib[4] | 10 | 4 hidRowIndex | 14 | 4 hnidRows
//                   18 | 4 hidIndex | 22 | 8*cCols TCOLDESC
// TCOLDESC (2.3.4.2): 0 | 4 tag | 4 | 2 ibData | 6 | 1 cbData | 7 | 1 iBit
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmark::pst {

using Nid = std::uint32_t;
using Bid = std::uint64_t;
using Hid = std::uint32_t;
using PropTag = std::uint32_t;

namespace fmt {

// ---- File layout ([MS-PST] 2.2.2.7.2) ------------------------------------------------------
inline constexpr std::uint64_t kHeaderSize = 564;
inline constexpr std::uint64_t kDListOffset = 0x4200;
inline constexpr std::uint64_t kFirstAMapOffset = 0x4400;
inline constexpr std::uint64_t kPageSize = 512;
inline constexpr std::uint64_t kSlotSize = 64;  // AMap granularity
inline constexpr std::uint64_t kAMapBitmapBytes = 496;
inline constexpr std::uint64_t kSlotsPerAMap = kAMapBitmapBytes * 8;
inline constexpr std::uint64_t kAMapInterval = kSlotsPerAMap * kSlotSize;  // 253,952 bytes
inline constexpr std::uint64_t kAMapsPerPMap = 8;
inline constexpr std::uint64_t kFirstFMapAMap = 128;  // first AMap index followed by an FMap
inline constexpr std::uint64_t kAMapsPerFMap = 496;
inline constexpr std::uint64_t kFirstFPMapAMap = 8192;
inline constexpr std::uint64_t kAMapsPerFPMap = 496 * 64;
static_assert(kAMapInterval == 253952);
static_assert(kFirstAMapOffset + kFirstFMapAMap * kAMapInterval + 2 * kPageSize == 0x1F04800);

// ---- Header ([MS-PST] 2.2.2.6) -------------------------------------------------------------
namespace hdr {
inline constexpr std::size_t kMagic = 0, kCrcPartial = 4, kMagicClient = 8, kVer = 10, kVerClient = 12,
                             kPlatformCreate = 14, kPlatformAccess = 15, kBidNextP = 32, kUnique = 40, kRgnid = 44,
                             kRoot = 180, kRgbFM = 256, kRgbFP = 384, kSentinel = 512, kCryptMethod = 513,
                             kBidNextB = 516, kCrcFull = 524;
inline constexpr std::size_t kCrcPartialStart = 8, kCrcPartialLen = 471, kCrcFullLen = 516;
inline constexpr std::size_t kRgbMapLen = 128;
inline constexpr std::uint16_t kVerUnicode = 23, kVerClientValue = 19;
inline constexpr std::uint8_t kSentinelValue = 0x80;
static_assert(kCrcFull == kCrcPartialStart + kCrcFullLen);
static_assert(kRoot + 72 == 252);
}  // namespace hdr

// ROOT, relative to hdr::kRoot ([MS-PST] 2.2.2.5)
namespace root {
inline constexpr std::size_t kFileEof = 4, kAMapLast = 12, kAMapFree = 20, kPMapFree = 28, kBrefNbt = 36, kBrefBbt = 52,
                             kAMapValid = 68;
inline constexpr std::uint8_t kValidAMap2 = 0x02;
}  // namespace root

enum class CryptMethod : std::uint8_t { None = 0x00, Permute = 0x01 };

// ---- Pages ([MS-PST] 2.2.2.7) --------------------------------------------------------------
namespace page {
inline constexpr std::size_t kTrailer = 496, kTrailerSize = 16;
inline constexpr std::size_t kType = 496, kTypeRepeat = 497, kSig = 498, kCrc = 500, kBid = 504;
inline constexpr std::uint8_t kBBT = 0x80, kNBT = 0x81, kFMap = 0x82, kPMap = 0x83, kAMap = 0x84, kFPMap = 0x85,
                              kDList = 0x86;
static_assert(kTrailer + kTrailerSize == kPageSize);
}  // namespace page

namespace btpage {
inline constexpr std::size_t kEntriesSize = 488, kCEnt = 488, kCEntMax = 489, kCbEnt = 490, kCLevel = 491;
inline constexpr std::size_t kBranchEntry = 24, kNbtEntry = 32, kBbtEntry = 24;
inline constexpr std::size_t kMaxBranch = kEntriesSize / kBranchEntry;  // 20
inline constexpr std::size_t kMaxNbt = kEntriesSize / kNbtEntry;        // 15
inline constexpr std::size_t kMaxBbt = kEntriesSize / kBbtEntry;        // 20
inline constexpr int kMaxLevels = 8;
static_assert(kMaxBranch == 20 && kMaxNbt == 15 && kMaxBbt == 20);
}  // namespace btpage

namespace dlist {
inline constexpr std::size_t kFlags = 0, kCEnt = 1, kCurrentPage = 4, kEntries = 8;
inline constexpr std::size_t kMaxEntries = 119;
inline constexpr std::uint8_t kBackfillComplete = 0x01;
}  // namespace dlist

// ---- Blocks ([MS-PST] 2.2.2.8) -------------------------------------------------------------
namespace block {
inline constexpr std::size_t kTrailerSize = 16;
inline constexpr std::size_t kMaxSize = 8192;
inline constexpr std::size_t kMaxPayload = kMaxSize - kTrailerSize;  // 8176
inline constexpr std::size_t kTrCb = 0, kTrSig = 2, kTrCrc = 4, kTrBid = 8;
inline constexpr std::size_t kHeaderSize = 8;  // btype, cLevel, cEnt, lcbTotal/pad
inline constexpr std::uint8_t kTypeData = 0x01, kTypeSubnode = 0x02;
inline constexpr std::size_t kBidsPerXBlock = (kMaxPayload - kHeaderSize) / 8;  // 1021
inline constexpr std::size_t kSlEntrySize = 24, kSiEntrySize = 16;
inline constexpr std::size_t kSlPerBlock = (kMaxPayload - kHeaderSize) / kSlEntrySize;  // 340
inline constexpr std::size_t kSiPerBlock = (kMaxPayload - kHeaderSize) / kSiEntrySize;  // 510
inline constexpr Bid kInternalBit = 0x2;
inline constexpr Bid kBidStep = 4;
// B-tree pages are numbered apart from blocks, from bidNextP; bit 0 of every BID is reserved and
// MUST be 0 ([MS-PST] 2.2.2.2), so they go up by 2, as Outlook's own files number them.
inline constexpr Bid kFirstPageBid = 2, kPageBidStep = 2;
static_assert(kBidsPerXBlock == 1021 && kSlPerBlock == 340 && kSiPerBlock == 510);

constexpr std::size_t allocationSize(std::size_t cb)
{
    return (cb + kTrailerSize + kSlotSize - 1) / kSlotSize * kSlotSize;
}
static_assert(allocationSize(kMaxPayload) == kMaxSize && allocationSize(0) == 64);
}  // namespace block

// ---- Node IDs ([MS-PST] 2.2.2.1, 2.4.1) ----------------------------------------------------
enum class NidType : std::uint8_t {
    Hid = 0x00,
    Internal = 0x01,
    NormalFolder = 0x02,
    SearchFolder = 0x03,
    NormalMessage = 0x04,
    Attachment = 0x05,
    SearchUpdateQueue = 0x06,
    SearchCriteria = 0x07,
    AssocMessage = 0x08,
    ContentsTableIndex = 0x0A,
    ReceiveFolderTable = 0x0B,
    OutgoingQueueTable = 0x0C,
    HierarchyTable = 0x0D,
    ContentsTable = 0x0E,
    AssocContentsTable = 0x0F,
    SearchContentsTable = 0x10,
    AttachmentTable = 0x11,
    RecipientTable = 0x12,
    SearchTableIndex = 0x13,
    Ltp = 0x1F,
};
inline constexpr unsigned kNidTypeBits = 5;
inline constexpr Nid kNidTypeMask = 0x1F;
constexpr Nid makeNid(NidType type, std::uint32_t index) { return (index << kNidTypeBits) | static_cast<Nid>(type); }
constexpr NidType nidType(Nid nid) { return static_cast<NidType>(nid & kNidTypeMask); }
constexpr std::uint32_t nidIndex(Nid nid) { return nid >> kNidTypeBits; }
constexpr Nid withType(Nid nid, NidType type) { return makeNid(type, nidIndex(nid)); }

// Fixed nodes of every store ([MS-PST] 2.4.1, 2.7.1)
namespace nid {
inline constexpr Nid kMessageStore = 0x21, kNameToIdMap = 0x61, kRootFolder = 0x122, kSearchManagementQueue = 0x1E1,
                     kSearchActivityList = 0x201, kHierarchyTemplate = 0x60D, kContentsTemplate = 0x60E,
                     kAssocContentsTemplate = 0x60F, kSearchContentsTemplate = 0x610, kAttachmentTemplate = 0x671,
                     kRecipientTemplate = 0x692, kSpamSearchFolder = 0x2223, kIpmSubtree = 0x8022, kSearchRoot = 0x8042,
                     kDeletedItems = 0x8062;
// Not in the mandatory list, but in every store Outlook makes: the receive folder table and the
// spam search folder's search update queue and criteria object ([MS-PST] 2.4.8.6.3, 2.4.8.6.4).
inline constexpr Nid kReceiveFolderTable = 0x62B, kSpamSearchUpdateQueue = 0x2226, kSpamSearchCriteria = 0x2227;
// Subnode IDs of a message's tables ([MS-PST] 2.4.5, 2.4.6)
inline constexpr Nid kAttachmentTable = 0x671, kRecipientTable = 0x692;
static_assert(kRootFolder == makeNid(NidType::NormalFolder, 9));
static_assert(kIpmSubtree == makeNid(NidType::NormalFolder, 0x401));
static_assert(kSpamSearchUpdateQueue == withType(kSpamSearchFolder, NidType::SearchUpdateQueue)
              && kSpamSearchCriteria == withType(kSpamSearchFolder, NidType::SearchCriteria)
              && kReceiveFolderTable == makeNid(NidType::ReceiveFolderTable, 0x31));
}  // namespace nid

// rgnid start values for a new file ([MS-PST] 2.2.2.6)
inline constexpr std::uint32_t kFirstNidIndex = 0x400, kFirstSearchFolderIndex = 0x4000, kFirstMessageIndex = 0x10000,
                               kFirstAssocMessageIndex = 0x8000;

// ---- Heap on node ([MS-PST] 2.3.1) ---------------------------------------------------------
namespace hn {
inline constexpr std::size_t kHdrSize = 12, kPageHdrSize = 2, kBitmapHdrSize = 66;
inline constexpr std::size_t kIbHnpm = 0, kSig = 2, kClientSig = 3, kUserRoot = 4, kFillLevel = 8;
inline constexpr std::uint8_t kSigValue = 0xEC;
inline constexpr std::uint8_t kClientTC = 0x7C, kClientBTH = 0xB5, kClientPC = 0xBC;
inline constexpr std::size_t kMaxItem = 3580;  // [MS-PST] 2.3.1.1: largest heap allocation
inline constexpr std::size_t kMaxItemsPerBlock = 2047;
inline constexpr std::size_t kFirstBitmapBlock = 8, kBitmapBlockStride = 128;
inline constexpr unsigned kHidIndexShift = 5, kHidBlockShift = 16;
inline constexpr std::uint32_t kHidIndexMask = 0x7FF;
constexpr Hid makeHid(std::uint32_t block, std::uint32_t index)
{
    return (block << kHidBlockShift) | (index << kHidIndexShift);
}
static_assert(makeHid(0, 1) == 0x20);
}  // namespace hn

namespace bth {
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::uint8_t kType = 0xB5;
}  // namespace bth

namespace tc {
inline constexpr std::size_t kInfoSize = 22, kColDescSize = 8;
inline constexpr std::uint8_t kType = 0x7C;
inline constexpr std::size_t kRowBlockSize = block::kMaxPayload;
inline constexpr std::size_t kGroupEnd8 = 0, kGroupEnd2 = 1, kGroupEnd1 = 2, kGroupEndCeb = 3;
}  // namespace tc

// ---- Property types and tags ([MS-PST] 2.1.1, [MS-OXCDATA] 2.11.1) -------------------------
namespace ptype {
inline constexpr std::uint16_t kInt16 = 0x0002, kInt32 = 0x0003, kFloat = 0x0004, kDouble = 0x0005, kCurrency = 0x0006,
                               kAppTime = 0x0007, kErrorCode = 0x000A, kBoolean = 0x000B, kObject = 0x000D,
                               kInt64 = 0x0014, kString8 = 0x001E, kString = 0x001F, kTime = 0x0040, kGuid = 0x0048,
                               kBinary = 0x0102, kMultiInt32 = 0x1003, kMultiString = 0x101F, kMultiBinary = 0x1102;
}  // namespace ptype

constexpr PropTag makeTag(std::uint16_t id, std::uint16_t type) { return (static_cast<PropTag>(id) << 16) | type; }
constexpr std::uint16_t tagId(PropTag tag) { return static_cast<std::uint16_t>(tag >> 16); }
constexpr std::uint16_t tagType(PropTag tag) { return static_cast<std::uint16_t>(tag & 0xFFFF); }

// Bytes of a fixed-size value, 0 for variable-size types.
constexpr std::size_t fixedSize(std::uint16_t type)
{
    switch (type) {
    case ptype::kInt16:
        return 2;
    case ptype::kBoolean:
        return 1;
    case ptype::kInt32:
    case ptype::kFloat:
    case ptype::kErrorCode:
        return 4;
    case ptype::kDouble:
    case ptype::kCurrency:
    case ptype::kAppTime:
    case ptype::kInt64:
    case ptype::kTime:
        return 8;
    case ptype::kGuid:
        return 16;
    default:
        return 0;
    }
}

// Name-to-ID map ([MS-PST] 2.4.7)
namespace nameid {
inline constexpr std::uint32_t kBucketCount = 251;
inline constexpr std::uint16_t kBucketCountProp = 0x0001, kGuidStream = 0x0002, kEntryStream = 0x0003,
                               kStringStream = 0x0004, kFirstBucket = 0x1000, kFirstNamedId = 0x8000;
inline constexpr std::size_t kEntrySize = 8;
}  // namespace nameid

}  // namespace fmt

// ---- Checksums and encoding ([MS-PST] 5.1, 5.3, 5.5) ---------------------------------------

// CRC-32 as [MS-PST] 5.3 computes it: reflected 0xEDB88320, initial value 0, no final XOR.
std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0) noexcept;
// The same from the code's own tables (what crc32 uses where zlib is not there).
std::uint32_t crc32Tables(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0) noexcept;
// [MS-PST] 5.5 ComputeSig.
constexpr std::uint16_t computeSig(std::uint64_t ib, std::uint64_t bid)
{
    const std::uint32_t x = static_cast<std::uint32_t>(ib ^ bid);
    return static_cast<std::uint16_t>((x >> 16) ^ (x & 0xFFFF));
}
// NDB_CRYPT_PERMUTE ([MS-PST] 5.1), in place.
void permuteEncode(std::span<std::uint8_t> bytes) noexcept;
void permuteDecode(std::span<std::uint8_t> bytes) noexcept;

}  // namespace quillmark::pst
