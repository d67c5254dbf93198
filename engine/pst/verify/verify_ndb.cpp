// Verifier, NDB pass: header, map pages, B-trees, blocks, data and subnode trees, AMap bits.
#include "engine/pst/byte_io.h"
#include "engine/pst/ndb/allocation_map.h"
#include "engine/pst/verify/verify_internal.h"

#include <algorithm>
#include <bit>
#include <cstdio>

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

bool pageTrailerOk(ByteView page, std::uint8_t ptype, std::uint64_t ib, Bid bid, bool signed_)
{
    return page[page::kType] == ptype && page[page::kTypeRepeat] == ptype &&
           get<std::uint16_t>(page, page::kSig) == (signed_ ? computeSig(ib, bid) : 0) &&
           get<std::uint32_t>(page, page::kCrc) == crc32(page.first(page::kTrailer)) &&
           get<std::uint64_t>(page, page::kBid) == bid;
}

}  // namespace

bool Checker::header()
{
    if (m_d.size() < kFirstAMapOffset + kPageSize) {
        error("file", "too short for a PST file");
        return false;
    }
    const ByteView h = m_d.first(kHeaderSize);
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
    if (h[hdr::kSentinel] != hdr::kSentinelValue)
        error("header", "bSentinel is not 0x80");
    m_crypt = h[hdr::kCryptMethod];
    if (m_crypt > 1)
        error("header", "bCryptMethod " + hex(m_crypt) + " is not none or permute");
    m_bidNextP = get<std::uint64_t>(h, hdr::kBidNextP);
    m_bidNextB = get<std::uint64_t>(h, hdr::kBidNextB);
    if (m_bidNextB % block::kBidStep)
        error("header", "bidNextB is not a multiple of 4");
    for (std::size_t t = 0; t < m_rgnid.size(); ++t)
        m_rgnid[t] = get<std::uint32_t>(h, hdr::kRgnid + 4 * t);
    const ByteView root = h.subspan(hdr::kRoot);
    m_eof = get<std::uint64_t>(root, root::kFileEof);
    m_amapLast = get<std::uint64_t>(root, root::kAMapLast);
    m_amapFree = get<std::uint64_t>(root, root::kAMapFree);
    m_nbtBid = get<std::uint64_t>(root, root::kBrefNbt);
    m_nbtIb = get<std::uint64_t>(root, root::kBrefNbt + 8);
    m_bbtBid = get<std::uint64_t>(root, root::kBrefBbt);
    m_bbtIb = get<std::uint64_t>(root, root::kBrefBbt + 8);
    if (m_eof != m_d.size())
        error("header", "ibFileEof " + hex(m_eof) + " is not the file size " + hex(m_d.size()));
    if ((m_d.size() - kFirstAMapOffset) % kAMapInterval)
        error("file", "size is not 0x4400 plus whole AMap intervals");
    if (root[root::kAMapValid] == 0)
        error("header", "fAMapValid says the AMaps are invalid");
    if (!std::all_of(h.begin() + hdr::kRgbFM, h.begin() + hdr::kRgbFM + 2 * hdr::kRgbMapLen,
                     [](std::uint8_t b) { return b == 0xFF; }))
        error("header", "rgbFM/rgbFP are not all 0xFF");
    return true;
}

void Checker::mapPages()
{
    std::uint64_t freeSlots = 0;
    for (std::uint64_t k = 0; ndb::AllocationMap::amapOffset(k) + kPageSize <= m_d.size(); ++k) {
        const std::uint64_t ib = ndb::AllocationMap::amapOffset(k);
        m_amaps.push_back(ib);
        const ByteView page = m_d.subspan(static_cast<std::size_t>(ib), kPageSize);
        if (!pageTrailerOk(page, page::kAMap, ib, ib, false))
            error("AMap@" + hex(ib), "page trailer wrong (type, CRC or BID)");
        for (std::size_t i = 0; i < kAMapBitmapBytes; ++i)
            freeSlots += static_cast<std::uint64_t>(8 - std::popcount(page[i]));
        for (const auto& [off, ptype] : ndb::AllocationMap::extraPages(k)) {
            if (off + kPageSize > m_d.size())
                break;
            if (!pageTrailerOk(m_d.subspan(static_cast<std::size_t>(off), kPageSize), ptype, off, off, false))
                error("map page@" + hex(off), "page trailer wrong (type, CRC or BID)");
        }
        m_spans[ib] = ndb::AllocationMap::reservedEnd(k) - ib;
    }
    if (!m_amaps.empty() && m_amaps.back() != m_amapLast)
        error("header", "ibAMapLast " + hex(m_amapLast) + " is not the last AMap " + hex(m_amaps.back()));
    if (freeSlots * kSlotSize != m_amapFree)
        error("header", "cbAMapFree " + std::to_string(m_amapFree) + " but the AMaps have " +
                            std::to_string(freeSlots * kSlotSize) + " bytes free");
}

void Checker::walkBtree(std::uint64_t ib, Bid bid, std::uint8_t ptype, int level, std::optional<std::uint64_t> key)
{
    const std::string where = (ptype == page::kNBT ? "NBT page " : "BBT page ") + hex(bid) + "@" + hex(ib);
    if (ib % kPageSize || ib < kFirstAMapOffset || ib + kPageSize > m_d.size() || m_pages.count(ib)) {
        error(where, "page outside the file, unaligned or used twice");
        return;
    }
    m_pages[ib] = bid;
    m_spans[ib] = kPageSize;
    const ByteView page = m_d.subspan(static_cast<std::size_t>(ib), kPageSize);
    if (!pageTrailerOk(page, ptype, ib, bid, true)) {
        error(where, "page trailer wrong (type, signature, CRC or BID)");
        return;
    }
    const int cLevel = page[btpage::kCLevel];
    const std::size_t cEnt = page[btpage::kCEnt], cEntMax = page[btpage::kCEntMax], cbEnt = page[btpage::kCbEnt];
    const std::size_t wantEnt = cLevel ? btpage::kBranchEntry : ptype == page::kNBT ? btpage::kNbtEntry : btpage::kBbtEntry;
    if (level >= 0 && cLevel != level)
        error(where, "cLevel " + std::to_string(cLevel) + ", expected " + std::to_string(level) + " (leaves at unequal depth)");
    if (cbEnt != wantEnt || cEntMax != btpage::kEntriesSize / wantEnt || cEnt > cEntMax) {
        error(where, "cEnt/cEntMax/cbEnt inconsistent");
        return;
    }
    std::optional<std::uint64_t> prev;
    for (std::size_t i = 0; i < cEnt; ++i) {
        const ByteView e = page.subspan(i * cbEnt, cbEnt);
        const std::uint64_t k = get<std::uint64_t>(e, 0);
        if (prev && k <= *prev)
            error(where, "keys not ascending at entry " + std::to_string(i));
        if (i == 0 && key && k != *key)
            error(where, "first key " + hex(k) + " is not the parent's key " + hex(*key));
        prev = k;
        if (cLevel > 0) {
            walkBtree(get<std::uint64_t>(e, 16), get<std::uint64_t>(e, 8), ptype, cLevel - 1, k);
        } else if (ptype == page::kNBT) {
            if (k >> 32)
                error(where, "NID " + hex(k) + " has high bits set");
            nbt[static_cast<Nid>(k)] = {get<std::uint64_t>(e, 8), get<std::uint64_t>(e, 16), get<std::uint32_t>(e, 24)};
        } else {
            if (k & 1)
                error(where, "BID " + hex(k) + " has the reserved bit set");
            bbt[k] = {get<std::uint64_t>(e, 8), get<std::uint16_t>(e, 16), get<std::uint16_t>(e, 18), 0};
        }
    }
}

void Checker::btrees()
{
    walkBtree(m_nbtIb, m_nbtBid, page::kNBT, -1, std::nullopt);
    walkBtree(m_bbtIb, m_bbtBid, page::kBBT, -1, std::nullopt);
    m_r.nodes = nbt.size();
    m_r.blocks = bbt.size();
    for (const auto& [ib, bid] : m_pages)
        if (bid >= m_bidNextP)
            error("header", "page BID " + hex(bid) + " is not below bidNextP");
    if (!bbt.empty() && (bbt.rbegin()->first & ~Bid{3}) >= m_bidNextB)
        error("header", "block BID " + hex(bbt.rbegin()->first) + " is not below bidNextB");
    for (const auto& [nid, n] : nbt)
        if (nidIndex(nid) > m_rgnid[nid & kNidTypeMask])
            error("node " + hex(nid), "index above rgnid of its type");
}

std::optional<Bytes> Checker::payload(Bid bid, const std::string& where)
{
    auto it = bbt.find(bid & ~Bid{1});
    if (it == bbt.end()) {
        error(where, "BID " + hex(bid) + " is not in the block B-tree");
        return std::nullopt;
    }
    const auto& b = it->second;
    if (b.ib + block::allocationSize(b.cb) > m_d.size())
        return std::nullopt;  // reported by blocks()
    Bytes out(m_d.begin() + static_cast<std::ptrdiff_t>(b.ib), m_d.begin() + static_cast<std::ptrdiff_t>(b.ib + b.cb));
    if (!(bid & block::kInternalBit) && m_crypt == static_cast<std::uint8_t>(CryptMethod::Permute))
        permuteDecode(out);
    return out;
}

void Checker::blocks()
{
    for (const auto& [bid, b] : bbt) {
        const std::string where = "block " + hex(bid);
        const std::size_t size = block::allocationSize(b.cb);
        if (b.ib % kSlotSize || b.ib < kFirstAMapOffset || b.ib + size > m_d.size() || b.cb > block::kMaxPayload) {
            error(where, "outside the file, unaligned or larger than 8192 bytes");
            continue;
        }
        m_spans[b.ib] = size;
        const ByteView tr = m_d.subspan(static_cast<std::size_t>(b.ib + size - block::kTrailerSize), block::kTrailerSize);
        if (get<std::uint16_t>(tr, block::kTrCb) != b.cb)
            error(where, "trailer cb differs from the block B-tree");
        if (get<std::uint16_t>(tr, block::kTrSig) != computeSig(b.ib, bid))
            error(where, "trailer signature wrong");
        if (get<std::uint32_t>(tr, block::kTrCrc) != crc32(m_d.subspan(static_cast<std::size_t>(b.ib), b.cb)))
            error(where, "CRC does not match");
        if (get<std::uint64_t>(tr, block::kTrBid) != bid)
            error(where, "trailer BID differs");
    }
    countReferences();
}

void Checker::referenceTree(Bid bid, bool subnodeTree, const std::string& where, int depth)
{
    if (bid == 0)
        return;
    auto it = bbt.find(bid & ~Bid{1});
    if (it == bbt.end()) {
        error(where, "refers to BID " + hex(bid) + ", which is not in the block B-tree");
        return;
    }
    ++it->second.refs;
    if (!(bid & block::kInternalBit))
        return;
    if (depth > kMaxTreeDepth || !m_referencedInternal.insert(bid).second) {
        error(where, "internal block " + hex(bid) + " reached twice or nested too deep");
        return;
    }
    auto p = payload(bid, where);
    if (!p || p->size() < block::kHeaderSize)
        return;
    const std::uint8_t btype = (*p)[0], level = (*p)[1];
    const std::size_t cEnt = get<std::uint16_t>(*p, 2);
    const bool data = btype == block::kTypeData;
    const std::size_t esize = data ? 8 : level == 0 ? block::kSlEntrySize : block::kSiEntrySize;
    if (data == subnodeTree || (data && level != 1 && level != 2) || (!data && level > 1) ||
        p->size() != block::kHeaderSize + cEnt * esize || cEnt == 0) {
        error(where, "internal block " + hex(bid) + " has a wrong type, level or size");
        return;
    }
    for (std::size_t i = 0; i < cEnt; ++i) {
        const std::size_t at = block::kHeaderSize + i * esize;
        if (data) {
            referenceTree(get<std::uint64_t>(*p, at), false, where, depth + 1);
        } else if (level == 0) {
            referenceTree(get<std::uint64_t>(*p, at + 8), false, where, depth + 1);
            referenceTree(get<std::uint64_t>(*p, at + 16), true, where, depth + 1);
        } else {
            referenceTree(get<std::uint64_t>(*p, at + 8), true, where, depth + 1);
        }
    }
}

void Checker::countReferences()
{
    for (const auto& [nid, n] : nbt) {
        const std::string where = "node " + hex(nid);
        referenceTree(n.data, false, where, 0);
        referenceTree(n.sub, true, where, 0);
    }
    for (const auto& [bid, b] : bbt) {
        if (b.refs == 0)
            warn("block " + hex(bid), "not referenced by any node");
        else if (b.cRef != b.refs + 1)
            error("block " + hex(bid), "cRef " + std::to_string(b.cRef) + " but " + std::to_string(b.refs) +
                                           " references plus the block B-tree's own");
    }
}

std::optional<std::vector<Bid>> Checker::treeLeaves(Bid bid, const std::string& where, int depth)
{
    if (!(bid & block::kInternalBit))
        return std::vector<Bid>{bid};
    auto p = payload(bid, where);
    if (!p || p->size() < block::kHeaderSize || (*p)[0] != block::kTypeData || depth > kMaxTreeDepth)
        return std::nullopt;
    const std::size_t cEnt = get<std::uint16_t>(*p, 2);
    const std::uint32_t total = get<std::uint32_t>(*p, 4);
    if (p->size() != block::kHeaderSize + 8 * cEnt)
        return std::nullopt;
    std::vector<Bid> leaves;
    for (std::size_t i = 0; i < cEnt; ++i) {
        auto sub = treeLeaves(get<std::uint64_t>(*p, block::kHeaderSize + 8 * i), where, depth + 1);
        if (!sub)
            return std::nullopt;
        leaves.insert(leaves.end(), sub->begin(), sub->end());
    }
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        const auto it = bbt.find(leaves[i] & ~Bid{1});
        if (it == bbt.end())
            return std::nullopt;
        sum += it->second.cb;
        if (depth == 0 && i + 1 < leaves.size() && it->second.cb != block::kMaxPayload)
            error(where, "data tree " + hex(bid) + ": block " + std::to_string(i) + " is not full");
    }
    if (depth == 0 && sum != total)
        error(where, "data tree " + hex(bid) + ": lcbTotal differs from the bytes below it");
    return leaves;
}

std::optional<std::vector<Bytes>> Checker::stream(Bid bid, const std::string& where)
{
    if (bid == 0)
        return std::vector<Bytes>{};
    auto leaves = treeLeaves(bid, where, 0);
    if (!leaves) {
        error(where, "data tree " + hex(bid) + " cannot be read");
        return std::nullopt;
    }
    std::vector<Bytes> out;
    for (const Bid b : *leaves) {
        auto p = payload(b, where);
        if (!p)
            return std::nullopt;
        out.push_back(std::move(*p));
    }
    return out;
}

std::optional<Subnodes> Checker::subnodes(Bid bid, const std::string& where)
{
    Subnodes out;
    if (bid == 0)
        return out;
    auto p = payload(bid, where);
    if (!p || p->size() < block::kHeaderSize || (*p)[0] != block::kTypeSubnode) {
        error(where, "subnode tree " + hex(bid) + " is not an SLBLOCK/SIBLOCK");
        return std::nullopt;
    }
    const std::uint8_t level = (*p)[1];
    const std::size_t cEnt = get<std::uint16_t>(*p, 2);
    const std::size_t esize = level == 0 ? block::kSlEntrySize : block::kSiEntrySize;
    if (p->size() != block::kHeaderSize + cEnt * esize)
        return std::nullopt;  // reported by countReferences()
    std::optional<Nid> prev;
    for (std::size_t i = 0; i < cEnt; ++i) {
        const std::size_t at = block::kHeaderSize + i * esize;
        const auto nid = get<std::uint64_t>(*p, at);
        if (level == 0) {
            if (prev && nid <= *prev)
                error(where, "subnode IDs not ascending in " + hex(bid));
            out[static_cast<Nid>(nid)] = {get<std::uint64_t>(*p, at + 8), get<std::uint64_t>(*p, at + 16)};
            prev = static_cast<Nid>(nid);
            continue;
        }
        auto child = subnodes(get<std::uint64_t>(*p, at + 8), where);
        if (!child)
            return std::nullopt;
        if (child->empty() || child->begin()->first != nid)
            error(where, "SIENTRY " + hex(nid) + " is not the first NID of its SLBLOCK");
        out.insert(child->begin(), child->end());
    }
    return out;
}

void Checker::allocation()
{
    // Every page and block in use must be marked; marked space in use by nothing is a leak.
    std::vector<std::uint8_t> used((m_d.size() - kFirstAMapOffset) / kSlotSize + 1, 0);
    std::uint64_t lastEnd = 0;
    for (const auto& [ib, size] : m_spans) {
        if (ib < lastEnd)
            error("allocation", "page or block at " + hex(ib) + " overlaps the one before it");
        lastEnd = std::max(lastEnd, ib + size);
        for (std::uint64_t s = (ib - kFirstAMapOffset) / kSlotSize; s < (ib + size - kFirstAMapOffset) / kSlotSize && s < used.size(); ++s)
            used[static_cast<std::size_t>(s)] = 1;
    }
    std::uint64_t leaked = 0;
    for (std::size_t k = 0; k < m_amaps.size(); ++k) {
        const ByteView bits = m_d.subspan(static_cast<std::size_t>(m_amaps[k]), kAMapBitmapBytes);
        std::size_t unmarked = 0;
        for (std::size_t s = 0; s < kSlotsPerAMap; ++s) {
            const std::size_t slot = k * kSlotsPerAMap + s;
            const bool marked = bits[s / 8] & (0x80u >> (s % 8));
            const bool inUse = slot < used.size() && used[slot];
            unmarked += inUse && !marked;
            leaked += marked && !inUse;
        }
        if (unmarked)
            error("AMap@" + hex(m_amaps[k]), std::to_string(unmarked) + " slots in use but not marked");
    }
    if (leaked)
        warn("AMaps", std::to_string(leaked) + " slots marked but not in use");
}

}  // namespace quillmark::pst::checking
