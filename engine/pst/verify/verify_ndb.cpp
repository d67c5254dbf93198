// Verifier, NDB pass: header, map pages, B-trees, blocks, data and subnode trees, AMap bits.
#include "engine/pst/byte_io.h"
#include "engine/pst/ndb/allocation_map.h"
#include "engine/pst/verify/verify_internal.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <numeric>
#include <utility>

namespace quillmark::pst::checking {

using namespace fmt;
using bytes::get;

std::string hex(std::uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

namespace {

constexpr int kMaxTreeDepth = 3;  // XXBLOCK -> XBLOCK -> data, SIBLOCK -> SLBLOCK
// Subnode trees inside subnode trees: an attachment object inside a message, an embedded message
// inside that attachment, and so on. Each level is a tree of its own (depth starts again); the
// nesting is bounded so that a crafted file cannot recurse without end.
constexpr int kMaxSubnodeNesting = 64;
constexpr std::uint32_t kMaxRefs = (1u << 30) - 1;
constexpr std::size_t kInternalCache = 64u << 20;

// Faults of one block, found in file order and reported in BID order.
enum BlockFault : std::uint8_t {
    kOutside = 1,
    kTrailerCb = 2,
    kTrailerSig = 4,
    kCrc = 8,
    kTrailerBid = 16,
};

bool pageTrailerOk(ByteView page, std::uint8_t ptype, std::uint64_t ib, Bid bid, bool signed_)
{
    return page[page::kType] == ptype && page[page::kTypeRepeat] == ptype
        && get<std::uint16_t>(page, page::kSig) == (signed_ ? computeSig(ib, bid) : 0)
        && get<std::uint32_t>(page, page::kCrc) == crc32(page.first(page::kTrailer))
        && get<std::uint64_t>(page, page::kBid) == bid;
}

std::uint64_t keyOf(const NodeInfo& n) { return n.nid; }
std::uint64_t keyOf(const BlockInfo& b) { return b.bid; }

}  // namespace

bool Checker::header()
{
    std::array<std::uint8_t, kHeaderSize> bytes{};
    if (m_src.size() < kFirstAMapOffset + kPageSize || !m_src.read(0, bytes)) {
        error("file", "too short for a PST file");
        return false;
    }
    const ByteView h = bytes;
    if (!std::equal(h.begin(), h.begin() + 4, "!BDN")) {
        error("header", "dwMagic is not !BDN");
        return false;
    }
    if (get<std::uint16_t>(h, hdr::kVer) != hdr::kVerUnicode) {
        error("header", "wVer " + std::to_string(get<std::uint16_t>(h, hdr::kVer)) + ": not a Unicode PST");
        return false;
    }
    const ByteView body = h.subspan(hdr::kCrcPartialStart);
    if (get<std::uint32_t>(h, hdr::kCrcPartial) != crc32(body.first(hdr::kCrcPartialLen)))
        error("header", "dwCRCPartial does not match");
    if (get<std::uint32_t>(h, hdr::kCrcFull) != crc32(body.first(hdr::kCrcFullLen)))
        error("header", "dwCRCFull does not match");
    if (h[hdr::kSentinel] != hdr::kSentinelValue) error("header", "bSentinel is not 0x80");
    m_crypt = h[hdr::kCryptMethod];
    if (m_crypt > 1) error("header", "bCryptMethod " + hex(m_crypt) + " is not none or permute");
    m_bidNextP = get<std::uint64_t>(h, hdr::kBidNextP);
    m_bidNextB = get<std::uint64_t>(h, hdr::kBidNextB);
    if (m_bidNextB % block::kBidStep) error("header", "bidNextB is not a multiple of 4");
    for (std::size_t t = 0; t < m_rgnid.size(); ++t) m_rgnid[t] = get<std::uint32_t>(h, hdr::kRgnid + 4 * t);
    const ByteView root = h.subspan(hdr::kRoot);
    m_eof = get<std::uint64_t>(root, root::kFileEof);
    m_amapLast = get<std::uint64_t>(root, root::kAMapLast);
    m_amapFree = get<std::uint64_t>(root, root::kAMapFree);
    m_nbtBid = get<std::uint64_t>(root, root::kBrefNbt);
    m_nbtIb = get<std::uint64_t>(root, root::kBrefNbt + 8);
    m_bbtBid = get<std::uint64_t>(root, root::kBrefBbt);
    m_bbtIb = get<std::uint64_t>(root, root::kBrefBbt + 8);
    if (m_eof != m_src.size())
        error("header", "ibFileEof " + hex(m_eof) + " is not the file size " + hex(m_src.size()));
    if ((m_src.size() - kFirstAMapOffset) % kAMapInterval)
        error("file", "size is not 0x4400 plus whole AMap intervals");
    if (root[root::kAMapValid] == 0) error("header", "fAMapValid says the AMaps are invalid");
    if (!std::all_of(h.begin() + hdr::kRgbFM, h.begin() + hdr::kRgbFM + 2 * hdr::kRgbMapLen,
                     [](std::uint8_t b) { return b == 0xFF; }))
        error("header", "rgbFM/rgbFP are not all 0xFF");
    return true;
}

void Checker::mapPages()
{
    std::array<std::uint8_t, kPageSize> page{};
    std::uint64_t freeSlots = 0;
    for (std::uint64_t k = 0; m_src.contains(ndb::AllocationMap::amapOffset(k), kPageSize); ++k) {
        const std::uint64_t ib = ndb::AllocationMap::amapOffset(k);
        m_amaps = k + 1;
        if (!m_src.read(ib, page)) continue;
        if (!pageTrailerOk(page, page::kAMap, ib, ib, false))
            error("AMap@" + hex(ib), "page trailer wrong (type, CRC or BID)");
        for (std::size_t i = 0; i < kAMapBitmapBytes; ++i)
            freeSlots += static_cast<std::uint64_t>(8 - std::popcount(page[i]));
        for (const auto& [off, ptype] : ndb::AllocationMap::extraPages(k)) {
            if (!m_src.contains(off, kPageSize) || !m_src.read(off, page)) break;
            if (!pageTrailerOk(page, ptype, off, off, false))
                error("map page@" + hex(off), "page trailer wrong (type, CRC or BID)");
        }
    }
    if (m_amaps && ndb::AllocationMap::amapOffset(m_amaps - 1) != m_amapLast)
        error("header",
              "ibAMapLast " + hex(m_amapLast) + " is not the last AMap "
                  + hex(ndb::AllocationMap::amapOffset(m_amaps - 1)));
    if (freeSlots * kSlotSize != m_amapFree)
        error("header",
              "cbAMapFree " + std::to_string(m_amapFree) + " but the AMaps have "
                  + std::to_string(freeSlots * kSlotSize) + " bytes free");
}

// `key` is the parent entry's key (the page's first key must equal it); `below`, the key of the
// parent's next entry, which every key in the page must stay under. A page must sit one level
// below its parent: one at the same level or higher would let a damaged tree loop or recurse
// without end, so it is reported and not followed.
void Checker::walkBtree(std::uint64_t ib, Bid bid, std::uint8_t ptype, int level, std::optional<std::uint64_t> key,
                        std::optional<std::uint64_t> below)
{
    const std::string where = (ptype == page::kNBT ? "NBT page " : "BBT page ") + hex(bid) + "@" + hex(ib);
    if (ib % kPageSize || ib < kFirstAMapOffset || !m_src.contains(ib, kPageSize) || m_pageSeen[ib / kPageSize]) {
        error(where, "page outside the file, unaligned or used twice");
        return;
    }
    m_pageSeen[ib / kPageSize] = true;
    m_pages.emplace_back(ib, bid);
    std::array<std::uint8_t, kPageSize> page{};
    if (!m_src.read(ib, page)) return;
    if (!pageTrailerOk(page, ptype, ib, bid, true)) {
        error(where, "page trailer wrong (type, signature, CRC or BID)");
        return;
    }
    const int cLevel = page[btpage::kCLevel];
    const std::size_t cEnt = page[btpage::kCEnt], cEntMax = page[btpage::kCEntMax], cbEnt = page[btpage::kCbEnt];
    const std::size_t wantEnt = cLevel ? btpage::kBranchEntry
        : ptype == page::kNBT          ? btpage::kNbtEntry
                                       : btpage::kBbtEntry;
    if (level >= 0 && cLevel != level) {
        error(where,
              "cLevel " + std::to_string(cLevel) + ", expected " + std::to_string(level)
                  + " (leaves at unequal depth)");
        if (cLevel > level) return;
    }
    if (cbEnt != wantEnt || cEntMax != btpage::kEntriesSize / wantEnt || cEnt > cEntMax) {
        error(where, "cEnt/cEntMax/cbEnt inconsistent");
        return;
    }
    std::optional<std::uint64_t> prev;
    bool aboveReported = false;
    for (std::size_t i = 0; i < cEnt; ++i) {
        const ByteView e = ByteView(page).subspan(i * cbEnt, cbEnt);
        const std::uint64_t k = get<std::uint64_t>(e, 0);
        if (prev && k <= *prev) error(where, "keys not ascending at entry " + std::to_string(i));
        if (i == 0 && key && k != *key) error(where, "first key " + hex(k) + " is not the parent's key " + hex(*key));
        if (below && k >= *below && !aboveReported) {
            error(where, "key " + hex(k) + " is not below the parent's next key " + hex(*below));
            aboveReported = true;
        }
        prev = k;
        if (cLevel > 0) {
            const auto next = i + 1 < cEnt ? std::optional(get<std::uint64_t>(page, (i + 1) * cbEnt)) : below;
            walkBtree(get<std::uint64_t>(e, 16), get<std::uint64_t>(e, 8), ptype, cLevel - 1, k, next);
        } else if (ptype == page::kNBT) {
            if (k >> 32) error(where, "NID " + hex(k) + " has high bits set");
            m_nbt.push_back(
                {static_cast<Nid>(k), get<std::uint32_t>(e, 24), get<std::uint64_t>(e, 8), get<std::uint64_t>(e, 16)});
        } else {
            if (k & 1) error(where, "BID " + hex(k) + " has the reserved bit set");
            m_bbt.push_back({k, get<std::uint64_t>(e, 8), get<std::uint16_t>(e, 16), get<std::uint16_t>(e, 18)});
        }
    }
}

// A sound tree gives its leaves in key order; a damaged one (already reported) is sorted here,
// the later of two equal keys winning.
template <class T>
void Checker::sortByKey(std::vector<T>& entries)
{
    const auto less = [](const T& a, const T& b) { return keyOf(a) < keyOf(b); };
    if (std::is_sorted(entries.begin(), entries.end(), [&](const T& a, const T& b) { return !less(b, a); })) return;
    std::stable_sort(entries.begin(), entries.end(), less);
    std::vector<T> unique;
    unique.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (i + 1 == entries.size() || keyOf(entries[i + 1]) != keyOf(entries[i])) unique.push_back(entries[i]);
    entries = std::move(unique);
}

void Checker::btrees()
{
    m_pageSeen.assign(static_cast<std::size_t>(m_src.size() / kPageSize), false);
    walkBtree(m_nbtIb, m_nbtBid, page::kNBT, -1, std::nullopt, std::nullopt);
    walkBtree(m_bbtIb, m_bbtBid, page::kBBT, -1, std::nullopt, std::nullopt);
    m_pageSeen = {};
    sortByKey(m_nbt);
    sortByKey(m_bbt);
    std::sort(m_pages.begin(), m_pages.end());
    m_r.nodes = m_nbt.size();
    m_r.blocks = m_bbt.size();
    for (const auto& [ib, bid] : m_pages) {
        if (bid >= m_bidNextP) error("header", "page BID " + hex(bid) + " is not below bidNextP");
        if (bid & 1) error("page at " + hex(ib), "BID " + hex(bid) + " has the reserved bit 0 set");
    }
    if (!m_bbt.empty() && (m_bbt.back().bid & ~Bid{3}) >= m_bidNextB)
        error("header", "block BID " + hex(m_bbt.back().bid) + " is not below bidNextB");
    for (const auto& n : m_nbt)
        if (nidIndex(n.nid) > m_rgnid[n.nid & kNidTypeMask])
            error("node " + hex(n.nid), "index above rgnid of its type");
}

const BlockInfo* Checker::findBlock(Bid bid) const
{
    const Bid key = bid & ~Bid{1};
    auto it = std::lower_bound(m_bbt.begin(), m_bbt.end(), key, [](const BlockInfo& b, Bid k) { return b.bid < k; });
    return it != m_bbt.end() && it->bid == key ? &*it : nullptr;
}

BlockInfo* Checker::findBlock(Bid bid) { return const_cast<BlockInfo*>(std::as_const(*this).findBlock(bid)); }

const NodeInfo* Checker::findNode(Nid nid) const
{
    auto it = std::lower_bound(m_nbt.begin(), m_nbt.end(), nid, [](const NodeInfo& n, Nid k) { return n.nid < k; });
    return it != m_nbt.end() && it->nid == nid ? &*it : nullptr;
}

bool Checker::blockInFile(const BlockInfo& b) const { return m_src.contains(b.ib, block::allocationSize(b.cb)); }

std::optional<Bytes> Checker::payload(Bid bid, const Where& where)
{
    const BlockInfo* b = findBlock(bid);
    if (!b) {
        error(where, "BID " + hex(bid) + " is not in the block B-tree");
        return std::nullopt;
    }
    if (!blockInFile(*b)) return std::nullopt;  // reported by blocks()
    Bytes out(b->cb);
    if (!m_src.read(b->ib, out)) return std::nullopt;
    if (!(bid & block::kInternalBit) && m_crypt == static_cast<std::uint8_t>(CryptMethod::Permute)) permuteDecode(out);
    return out;
}

namespace {

// Where a block may be: inside the file, 64-byte aligned, after the header, at most 8 KB.
bool placedWell(const BlockInfo& b, std::uint64_t fileSize)
{
    const std::uint64_t size = block::allocationSize(b.cb);
    return b.ib % kSlotSize == 0 && b.ib >= kFirstAMapOffset && b.ib <= fileSize && size <= fileSize - b.ib
        && b.cb <= block::kMaxPayload;
}

}  // namespace

std::uint8_t Checker::checkBlock(const BlockInfo& b, std::size_t index)
{
    if (!placedWell(b, m_src.size())) return kOutside;
    const std::size_t size = block::allocationSize(b.cb);
    std::array<std::uint8_t, block::kMaxSize> buf;
    const std::span<std::uint8_t> bytes(buf.data(), size);
    if (!m_src.read(b.ib, bytes)) return 0;  // a read error: the whole report is replaced by it
    const ByteView tr = ByteView(bytes).last(block::kTrailerSize);
    std::uint8_t faults = 0;
    if (get<std::uint16_t>(tr, block::kTrCb) != b.cb) faults |= kTrailerCb;
    if (get<std::uint16_t>(tr, block::kTrSig) != computeSig(b.ib, b.bid)) faults |= kTrailerSig;
    if (get<std::uint32_t>(tr, block::kTrCrc) != crc32(ByteView(bytes).first(b.cb))) faults |= kCrc;
    if (get<std::uint64_t>(tr, block::kTrBid) != b.bid) faults |= kTrailerBid;
    if ((b.bid & block::kInternalBit) && m_internal.size() + b.cb <= kInternalCache) {
        m_internalAt.emplace_back(static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(m_internal.size()));
        m_internal.insert(m_internal.end(), bytes.begin(), bytes.begin() + b.cb);
    }
    return faults;
}

// An internal block's bytes, from those kept by the pass over all blocks when it could.
std::optional<Bytes> Checker::internalPayload(const BlockInfo& b, const Where& where)
{
    const auto index = static_cast<std::uint32_t>(&b - m_bbt.data());
    auto it = std::lower_bound(m_internalAt.begin(), m_internalAt.end(), std::pair(index, 0u));
    if (it == m_internalAt.end() || it->first != index) return payload(b.bid, where);
    return Bytes(m_internal.begin() + it->second, m_internal.begin() + it->second + b.cb);
}

void Checker::blocks()
{
    m_byIb.resize(m_bbt.size());
    std::iota(m_byIb.begin(), m_byIb.end(), 0u);
    std::sort(m_byIb.begin(), m_byIb.end(),
              [&](std::uint32_t a, std::uint32_t b) { return m_bbt[a].ib < m_bbt[b].ib; });
    checkAllBlocks();
    countReferences();
    m_internal = {};
    m_internalAt = {};
}

// Blocks are read in file order, so the file is read front to back once. The internal blocks are
// kept on the way (up to kInternalCache bytes): the walk over the nodes needs them next, in an
// order that would read most of the file again.
void Checker::checkAllBlocks()
{
    std::uint64_t internalBytes = 0;
    for (const auto& b : m_bbt) internalBytes += (b.bid & block::kInternalBit) ? b.cb : 0;
    m_internal.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(internalBytes, kInternalCache)));
    std::vector<std::uint8_t> faults(m_bbt.size());
    for (const std::uint32_t i : m_byIb) faults[i] = checkBlock(m_bbt[i], i);
    std::sort(m_internalAt.begin(), m_internalAt.end());
    for (std::size_t i = 0; i < m_bbt.size(); ++i) {
        const std::uint8_t f = faults[i];
        if (f == 0) continue;
        const Where where("block ", m_bbt[i].bid, Where::Number::Hex);
        if (f & kOutside) error(where, "outside the file, unaligned or larger than 8192 bytes");
        if (f & kTrailerCb) error(where, "trailer cb differs from the block B-tree");
        if (f & kTrailerSig) error(where, "trailer signature wrong");
        if (f & kCrc) error(where, "CRC does not match");
        if (f & kTrailerBid) error(where, "trailer BID differs");
    }
}

// Counts the references to each block and walks each internal block once. `wantLevel` is what
// the parent requires: below an XXBLOCK an XBLOCK (1), below an XBLOCK a data block (0), below
// an SIBLOCK an SLBLOCK (0); -1 at the root of a tree.
void Checker::referenceTree(Bid bid, bool subnodeTree, const Where& where, int depth, int wantLevel, int nesting)
{
    if (bid == 0) return;
    BlockInfo* b = findBlock(bid);
    if (!b) {
        error(where, "refers to BID " + hex(bid) + ", which is not in the block B-tree");
        return;
    }
    if (b->refs < kMaxRefs) ++b->refs;
    const bool internal = bid & block::kInternalBit;
    const bool wantInternal = subnodeTree ? wantLevel >= 0 : wantLevel > 0;
    const bool wantLeaf = !subnodeTree && wantLevel == 0;
    if ((!internal && wantInternal) || (internal && wantLeaf)) {
        error(where, "block " + hex(bid) + " is not the kind its parent block requires");
        return;
    }
    if (!internal) return;
    if (depth > kMaxTreeDepth || nesting > kMaxSubnodeNesting || b->internalWalks != 0) {
        b->internalWalks = 2;
        error(where, "internal block " + hex(bid) + " reached twice or nested too deep");
        return;
    }
    b->internalWalks = 1;
    auto p = internalPayload(*b, where);
    if (!p || p->size() < block::kHeaderSize) return;
    const std::uint8_t btype = (*p)[0], level = (*p)[1];
    const std::size_t cEnt = get<std::uint16_t>(*p, 2);
    const bool data = btype == block::kTypeData;
    const std::size_t esize = data ? 8 : level == 0 ? block::kSlEntrySize : block::kSiEntrySize;
    if (data == subnodeTree || (data && level != 1 && level != 2) || (!data && level > 1)
        || p->size() != block::kHeaderSize + cEnt * esize || cEnt == 0 || (wantLevel >= 0 && level != wantLevel)) {
        error(where, "internal block " + hex(bid) + " has a wrong type, level or size");
        return;
    }
    for (std::size_t i = 0; i < cEnt; ++i) {
        const std::size_t at = block::kHeaderSize + i * esize;
        if (data) {
            referenceTree(get<std::uint64_t>(*p, at), false, where, depth + 1, level - 1, nesting);
        } else if (level == 0) {
            // A subnode's data and its own subnodes are trees of their own.
            referenceTree(get<std::uint64_t>(*p, at + 8), false, where, 0, -1, nesting + 1);
            referenceTree(get<std::uint64_t>(*p, at + 16), true, where, 0, -1, nesting + 1);
        } else {
            referenceTree(get<std::uint64_t>(*p, at + 8), true, where, depth + 1, 0, nesting);
        }
    }
}

void Checker::countReferences()
{
    for (const auto& n : m_nbt) {
        const Where where("node ", n.nid, Where::Number::Hex);
        referenceTree(n.data, false, where, 0, -1);
        referenceTree(n.sub, true, where, 0, -1);
    }
    for (const auto& b : m_bbt) {
        if (b.refs == 0)
            warn("block " + hex(b.bid), "not referenced by any node");
        else if (b.cRef != b.refs + 1)
            error("block " + hex(b.bid),
                  "cRef " + std::to_string(b.cRef) + " but " + std::to_string(b.refs)
                      + " references plus the block B-tree's own");
    }
}

// Appends the data blocks below `bid`. Only internal blocks that the reference count walked
// exactly once are followed: a block reached twice could make a small file expand into an
// endless tree.
bool Checker::treeLeaves(Bid bid, const Where& where, int level, std::vector<Bid>& leaves)
{
    if (!(bid & block::kInternalBit)) {
        leaves.push_back(bid);
        return level <= 0;
    }
    const BlockInfo* b = findBlock(bid);
    if (!b || b->internalWalks != 1 || level == 0) return false;
    auto p = payload(bid, where);
    if (!p || p->size() < block::kHeaderSize || (*p)[0] != block::kTypeData) return false;
    const int cLevel = (*p)[1];
    const std::size_t cEnt = get<std::uint16_t>(*p, 2);
    if ((cLevel != 1 && cLevel != 2) || (level > 0 && cLevel != level) || p->size() != block::kHeaderSize + 8 * cEnt)
        return false;
    for (std::size_t i = 0; i < cEnt; ++i)
        if (!treeLeaves(get<std::uint64_t>(*p, block::kHeaderSize + 8 * i), where, cLevel - 1, leaves)) return false;
    return true;
}

std::optional<std::vector<Bid>> Checker::dataTree(Bid bid, const Where& where)
{
    std::vector<Bid> leaves;
    if (bid == 0) return leaves;
    if (!(bid & block::kInternalBit)) {
        const BlockInfo* b = findBlock(bid);
        if (!b) error(where, "BID " + hex(bid) + " is not in the block B-tree");
        if (!b || !blockInFile(*b)) return std::nullopt;  // one outside the file is reported by blocks()
        return std::vector<Bid>{bid};
    }
    bool readable = treeLeaves(bid, where, -1, leaves);
    std::uint64_t sum = 0;
    for (std::size_t i = 0; readable && i < leaves.size(); ++i) {
        const BlockInfo* b = findBlock(leaves[i]);
        readable = b && blockInFile(*b);
        if (!readable) break;
        sum += b->cb;
        if (i + 1 < leaves.size() && b->cb != block::kMaxPayload)
            error(where, "data tree " + hex(bid) + ": block " + std::to_string(i) + " is not full");
    }
    if (!readable) {
        error(where, "data tree " + hex(bid) + " cannot be read");
        return std::nullopt;
    }
    if (bid & block::kInternalBit) {
        auto root = payload(bid, where);
        if (root && get<std::uint32_t>(*root, 4) != sum)
            error(where, "data tree " + hex(bid) + ": lcbTotal differs from the bytes below it");
    }
    return leaves;
}

// The entries of an SLBLOCK, or of the SLBLOCKs below an SIBLOCK; `level` as referenceTree().
bool Checker::subnodeEntries(Bid bid, const Where& where, int level, Subnodes& out)
{
    const BlockInfo* b = findBlock(bid);
    auto p = b && (bid & block::kInternalBit) && b->internalWalks != 1 ? std::nullopt : payload(bid, where);
    if (!p || p->size() < block::kHeaderSize || (*p)[0] != block::kTypeSubnode) {
        error(where, "subnode tree " + hex(bid) + " is not an SLBLOCK/SIBLOCK");
        return false;
    }
    const std::uint8_t cLevel = (*p)[1];
    const std::size_t cEnt = get<std::uint16_t>(*p, 2);
    const std::size_t esize = cLevel == 0 ? block::kSlEntrySize : block::kSiEntrySize;
    if (p->size() != block::kHeaderSize + cEnt * esize || cLevel > 1 || (level >= 0 && cLevel != level))
        return false;  // reported by countReferences()
    std::optional<Nid> prev;
    for (std::size_t i = 0; i < cEnt; ++i) {
        const std::size_t at = block::kHeaderSize + i * esize;
        const auto nid = get<std::uint64_t>(*p, at);
        if (cLevel == 0) {
            if (prev && nid <= *prev) error(where, "subnode IDs not ascending in " + hex(bid));
            // Outlook numbers subnodes from the header's counters too, so its later ones never
            // collide: an ID beyond its type's counter would.
            if (nidIndex(static_cast<Nid>(nid)) > m_rgnid[nid & kNidTypeMask])
                error(where, "subnode " + hex(nid) + " index above rgnid of its type");
            out[static_cast<Nid>(nid)] = {get<std::uint64_t>(*p, at + 8), get<std::uint64_t>(*p, at + 16)};
            prev = static_cast<Nid>(nid);
            continue;
        }
        Subnodes child;
        if (!subnodeEntries(get<std::uint64_t>(*p, at + 8), where, 0, child)) return false;
        if (child.empty() || child.begin()->first != nid)
            error(where, "SIENTRY " + hex(nid) + " is not the first NID of its SLBLOCK");
        out.insert(child.begin(), child.end());
    }
    return true;
}

std::optional<Subnodes> Checker::subnodes(Bid bid, const Where& where)
{
    Subnodes out;
    if (bid != 0 && !subnodeEntries(bid, where, -1, out)) return std::nullopt;
    return out;
}

// The map pages at the start of each AMap interval and the B-tree pages, in file order.
std::vector<Checker::Span> Checker::pagesInUse() const
{
    std::vector<Span> spans;
    spans.reserve(static_cast<std::size_t>(m_amaps) + m_pages.size());
    for (std::uint64_t k = 0; k < m_amaps; ++k) {
        const std::uint64_t ib = ndb::AllocationMap::amapOffset(k);
        spans.push_back({ib, ndb::AllocationMap::reservedEnd(k) - ib});
    }
    for (const auto& [ib, bid] : m_pages) spans.push_back({ib, kPageSize});
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.ib < b.ib; });
    return spans;
}

void Checker::compareAMap(std::uint64_t k, const std::array<std::uint8_t, kAMapBitmapBytes>& used,
                          std::uint64_t& leaked)
{
    const std::uint64_t ib = ndb::AllocationMap::amapOffset(k);
    std::array<std::uint8_t, kPageSize> page{};
    if (!m_src.read(ib, page)) return;
    std::uint64_t unmarked = 0;
    for (std::size_t i = 0; i < kAMapBitmapBytes; ++i) {
        unmarked += static_cast<std::uint64_t>(std::popcount(static_cast<std::uint8_t>(used[i] & ~page[i])));
        leaked += static_cast<std::uint64_t>(std::popcount(static_cast<std::uint8_t>(page[i] & ~used[i])));
    }
    if (unmarked) error("AMap@" + hex(ib), std::to_string(unmarked) + " slots in use but not marked");
}

void Checker::allocation()
{
    // Every page and block in use must be marked; marked space in use by nothing is a leak.
    // One AMap interval's bits are built at a time: spans come in file order and none is
    // longer than an interval, so an interval is complete once a span starts past it.
    const auto pages = pagesInUse();
    std::size_t nextPage = 0, nextBlock = 0;
    const auto nextSpan = [&](Span& out) {  // pages and well-placed blocks, merged in file order
        while (nextBlock < m_byIb.size() && !placedWell(m_bbt[m_byIb[nextBlock]], m_src.size())) ++nextBlock;
        const BlockInfo* b = nextBlock < m_byIb.size() ? &m_bbt[m_byIb[nextBlock]] : nullptr;
        if (b && (nextPage == pages.size() || b->ib < pages[nextPage].ib)) {
            out = {b->ib, block::allocationSize(b->cb)};
            ++nextBlock;
            return true;
        }
        if (nextPage == pages.size()) return false;
        out = pages[nextPage++];
        return true;
    };
    std::map<std::uint64_t, std::array<std::uint8_t, kAMapBitmapBytes>> pending;
    std::uint64_t next = 0, leaked = 0, lastEnd = 0;
    const auto flushBefore = [&](std::uint64_t k) {
        for (; next < k && next < m_amaps; ++next) {
            auto it = pending.find(next);
            compareAMap(next, it == pending.end() ? std::array<std::uint8_t, kAMapBitmapBytes>{} : it->second, leaked);
            if (it != pending.end()) pending.erase(it);
        }
    };
    for (Span s; nextSpan(s);) {
        if (s.ib < lastEnd) error("allocation", "page or block at " + hex(s.ib) + " overlaps the one before it");
        lastEnd = std::max(lastEnd, s.ib + s.size);
        const std::uint64_t first = (s.ib - kFirstAMapOffset) / kSlotSize;
        const std::uint64_t end = (s.ib + s.size - kFirstAMapOffset) / kSlotSize;
        flushBefore(first / kSlotsPerAMap);
        for (std::uint64_t slot = first; slot < end && slot / kSlotsPerAMap < m_amaps; ++slot) {
            const std::uint64_t inMap = slot % kSlotsPerAMap;
            pending[slot / kSlotsPerAMap][inMap / 8] |= static_cast<std::uint8_t>(0x80u >> (inMap % 8));
        }
    }
    flushBefore(m_amaps);
    m_byIb = {};
    if (leaked) warn("AMaps", std::to_string(leaked) + " slots marked but not in use");
}

}  // namespace quillmark::pst::checking
