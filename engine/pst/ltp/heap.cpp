// Heap on node ([MS-PST] 2.3.1) and B-tree on heap ([MS-PST] 2.3.2).
#include "engine/pst/byte_io.h"
#include "engine/pst/ltp/heap_table.h"

#include <algorithm>

namespace quillmark::pst::ltp {

using namespace fmt;

namespace {

constexpr std::size_t kMaxHeapBlocks = 1u << 16;
constexpr std::size_t kFitWindow = 8;
constexpr std::size_t kMaxSlack = 63;  // bytes a full heap block may leave after its page map

// [MS-PST] 2.3.1.2: fill level of a block from its free bytes.
std::uint8_t fillLevel(std::size_t freeBytes)
{
    static constexpr std::size_t kLimits[]
        = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768, 512, 256, 128, 64, 32, 16, 8};
    std::uint8_t level = 0;
    for (const std::size_t limit : kLimits) {
        if (freeBytes >= limit) return level;
        ++level;
    }
    return level;
}

std::size_t pageMapSize(std::size_t items) { return 4 + 2 * (items + 1); }

void putFillLevels(std::span<std::uint8_t> out, std::size_t at, std::span<const std::uint8_t> levels)
{
    for (std::size_t i = 0; i < levels.size(); ++i)
        out[at + i / 2] |= static_cast<std::uint8_t>(levels[i] << (4 * (i % 2)));
}

}  // namespace

std::size_t HeapBuilder::headerSize(std::size_t block)
{
    if (block == 0) return hn::kHdrSize;
    if (block >= hn::kFirstBitmapBlock && (block - hn::kFirstBitmapBlock) % hn::kBitmapBlockStride == 0)
        return hn::kBitmapHdrSize;
    return hn::kPageHdrSize;
}

Result<Hid> HeapBuilder::allocate(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() > hn::kMaxItem) return Error{Code::InvalidArgument, "heap item larger than 3580 bytes"};
    const auto fits = [&](const Block& b) {
        const std::size_t end = (b.used + bytes.size() + 1) / 2 * 2;
        return b.offsets.size() <= hn::kMaxItemsPerBlock && end + pageMapSize(b.offsets.size()) <= block::kMaxPayload;
    };
    // First fit among the last few blocks keeps the heap dense without a search of all of it.
    std::size_t target = m_blocks.size();
    for (std::size_t i = m_blocks.size() > kFitWindow ? m_blocks.size() - kFitWindow : 0; i < m_blocks.size(); ++i)
        if (fits(m_blocks[i])) {
            target = i;
            break;
        }
    if (target == m_blocks.size()) {
        if (m_blocks.size() == kMaxHeapBlocks)
            return Error{Code::FileTooLarge, "heap of one node larger than 65536 blocks"};
        Block b;
        b.data.reset(new std::uint8_t[block::kMaxPayload]);
        b.offsets.reserve(32);
        b.used = headerSize(m_blocks.size());
        std::fill_n(b.data.get(), b.used, std::uint8_t{0});  // fill levels are or-ed in
        b.offsets.push_back(static_cast<std::uint16_t>(b.used));
        m_blocks.push_back(std::move(b));
        if (m_store)
            if (auto r = writeSettled(); !r) return std::move(r).error();
    }
    Block& b = m_blocks[target];
    std::copy(bytes.begin(), bytes.end(), b.data.get() + b.used);
    b.used += bytes.size();
    b.offsets.push_back(static_cast<std::uint16_t>(b.used));
    return hn::makeHid(static_cast<std::uint32_t>(target), static_cast<std::uint32_t>(b.offsets.size() - 1));
}

// Every block of a data tree but the last must hold 8176 bytes, so a heap block that is not the
// last gets unused items until its page map ends within 63 bytes of that size.
void HeapBuilder::fillUp(Block& b)
{
    for (;;) {
        const std::size_t end = (b.used + 1) / 2 * 2 + pageMapSize(b.offsets.size() - 1);
        const std::size_t room = block::kMaxPayload - end;
        if (room <= kMaxSlack || b.offsets.size() > hn::kMaxItemsPerBlock) return;
        const std::size_t filler = std::min(hn::kMaxItem, room - 3);  // 2 for the map, 1 for alignment
        std::fill_n(b.data.get() + b.used, filler, std::uint8_t{0});
        b.used += filler;
        b.offsets.push_back(static_cast<std::uint16_t>(b.used));
    }
}

std::span<std::uint8_t> HeapBuilder::item(Hid hid)
{
    Block& b = m_blocks.at(hid >> hn::kHidBlockShift);
    const std::size_t index = (hid >> hn::kHidIndexShift) & hn::kHidIndexMask;
    return whole(b).subspan(b.offsets.at(index - 1), b.offsets.at(index) - b.offsets.at(index - 1));
}

// The first block and every bitmap block carry the fill levels of blocks after them, so they
// are completed last.
bool HeapBuilder::holdsFillLevels(std::size_t block)
{
    return block == 0
        || (block >= hn::kFirstBitmapBlock && (block - hn::kFirstBitmapBlock) % hn::kBitmapBlockStride == 0);
}

// Ends a block: its page map after the items, its fill level, and (but for the last block) the
// full size every block of a data tree but the last must have.
void HeapBuilder::seal(Block& b, bool last)
{
    if (!last) fillUp(b);
    const auto data = whole(b);
    if (b.used % 2) data[b.used++] = 0;
    const std::size_t hnpm = b.used;
    bytes::put<std::uint16_t>(data, hn::kIbHnpm, static_cast<std::uint16_t>(hnpm));
    bytes::put<std::uint16_t>(data, hnpm, static_cast<std::uint16_t>(b.offsets.size() - 1));
    bytes::put<std::uint16_t>(data, hnpm + 2, 0);
    for (std::size_t i = 0; i < b.offsets.size(); ++i) bytes::put<std::uint16_t>(data, hnpm + 4 + 2 * i, b.offsets[i]);
    b.used = hnpm + pageMapSize(b.offsets.size() - 1);
    b.level = fillLevel(block::kMaxPayload - b.used);
    if (!last) {
        std::fill(data.begin() + static_cast<std::ptrdiff_t>(b.used), data.end(), std::uint8_t{0});
        b.used = block::kMaxPayload;
    }
    std::vector<std::uint16_t>().swap(b.offsets);  // "= {}" would keep the capacity
}

void HeapBuilder::putHeaders()
{
    std::vector<std::uint8_t> levels;
    levels.reserve(m_blocks.size());
    for (const Block& b : m_blocks) levels.push_back(b.level);
    const auto first = whole(m_blocks.front());
    first[hn::kSig] = hn::kSigValue;
    first[hn::kClientSig] = m_clientSig;
    bytes::put<std::uint32_t>(first, hn::kUserRoot, m_userRoot);
    putFillLevels(first, hn::kFillLevel, std::span(levels).first(std::min<std::size_t>(8, levels.size())));
    for (std::size_t i = hn::kFirstBitmapBlock; i < m_blocks.size(); i += hn::kBitmapBlockStride) {
        const std::size_t n = std::min(hn::kBitmapBlockStride, m_blocks.size() - i);
        putFillLevels(whole(m_blocks[i]), 2, std::span(levels).subspan(i, n));
    }
}

// Writes the blocks that no item can go to any more (allocate() looks at the last few only);
// those that carry fill levels wait for the end.
Result<void> HeapBuilder::writeSettled()
{
    for (; m_settled + kFitWindow < m_blocks.size(); ++m_settled) {
        Block& b = m_blocks[m_settled];
        seal(b, false);
        if (holdsFillLevels(m_settled)) continue;
        auto bid = m_store->writeBlock(inUse(b));
        if (!bid) return std::move(bid).error();
        b.written = *bid;
        b.data.reset();  // freed: a big table's heap is never whole in memory
    }
    return Ok{};
}

// Seals the blocks not sealed on the way and gives the first and bitmap blocks their headers.
void HeapBuilder::sealRest()
{
    for (std::size_t i = 0; i < m_blocks.size(); ++i)
        if (i == 0 || i >= m_settled) seal(m_blocks[i], i + 1 == m_blocks.size());
    putHeaders();
}

std::vector<Bytes> HeapBuilder::takeBlocks()
{
    std::vector<Bytes> out;
    if (m_blocks.empty()) return out;
    sealRest();
    for (const Block& b : m_blocks) out.emplace_back(b.data.get(), b.data.get() + b.used);
    m_blocks.clear();
    return out;
}

Result<Bid> HeapBuilder::finish()
{
    if (!m_store) return Error{Code::InvalidArgument, "a heap without a store is finished into one"};
    return finish(*m_store);
}

Result<Bid> HeapBuilder::finish(ndb::BlockStore& store)
{
    if (m_blocks.empty()) return Error{Code::InvalidArgument, "an empty heap has no blocks"};
    sealRest();
    std::vector<Bid> leaves;
    std::vector<std::uint32_t> sizes;
    leaves.reserve(m_blocks.size());
    sizes.reserve(m_blocks.size());
    for (std::size_t i = 0; i < m_blocks.size(); ++i) {
        Block& b = m_blocks[i];
        if (!b.written) {
            auto bid = store.writeBlock(inUse(b));
            if (!bid) return std::move(bid).error();
            b.written = *bid;
        }
        leaves.push_back(b.written);
        sizes.push_back(static_cast<std::uint32_t>(i + 1 == m_blocks.size() ? b.used : block::kMaxPayload));
    }
    m_blocks.clear();
    return store.writeTree(leaves, sizes);
}

namespace {

// Stores `records` as items of at most 3580 bytes and returns (first key, HID) per item.
Result<Bytes> writeBthLevel(HeapBuilder& heap, std::span<const std::uint8_t> records, std::size_t recordSize,
                            std::uint8_t cbKey, std::size_t& items)
{
    const std::size_t n = records.size() / recordSize;
    const std::size_t perItem = hn::kMaxItem / recordSize;
    items = (n + perItem - 1) / perItem;
    Bytes index;
    for (std::size_t i = 0; i < items; ++i) {
        const std::size_t from = n * i / items, to = n * (i + 1) / items;
        auto hid = heap.allocate(records.subspan(from * recordSize, (to - from) * recordSize));
        if (!hid) return std::move(hid).error();
        const auto key = records.subspan(from * recordSize, cbKey);
        index.insert(index.end(), key.begin(), key.end());
        bytes::append<std::uint32_t>(index, *hid);
    }
    return index;
}

}  // namespace

Result<Hid> reserveBthHeader(HeapBuilder& heap)
{
    const Bytes zero(bth::kHeaderSize, 0);
    return heap.allocate(zero);
}

Result<Hid> writeBth(HeapBuilder& heap, Hid header, std::uint8_t cbKey, std::uint8_t cbEnt,
                     std::span<const std::uint8_t> records)
{
    Hid root = 0;
    std::uint8_t levels = 0;
    if (!records.empty()) {
        std::size_t items = 0;
        auto index = writeBthLevel(heap, records, std::size_t{cbKey} + cbEnt, cbKey, items);
        while (index && items > 1) {
            ++levels;
            index = writeBthLevel(heap, *index, std::size_t{cbKey} + 4, cbKey, items);
        }
        if (!index) return std::move(index).error();
        root = bytes::get<std::uint32_t>(*index, cbKey);
    }
    auto h = heap.item(header);
    h[0] = bth::kType;
    h[1] = cbKey;
    h[2] = cbEnt;
    h[3] = levels;
    bytes::put<std::uint32_t>(h, 4, root);
    return header;
}

}  // namespace quillmark::pst::ltp
