// Verifier, LTP pass: heaps, BTHs, property contexts and table contexts.
#include "engine/pst/byte_io.h"
#include "engine/pst/verify/verify_internal.h"

#include <algorithm>
#include <functional>
#include <set>

namespace quillmark::pst::checking {

using namespace fmt;
using bytes::get;

namespace {

std::size_t heapHeaderSize(std::size_t block)
{
    if (block == 0) return hn::kHdrSize;
    if (block >= hn::kFirstBitmapBlock && (block - hn::kFirstBitmapBlock) % hn::kBitmapBlockStride == 0)
        return hn::kBitmapHdrSize;
    return hn::kPageHdrSize;
}

// Item `index` (from 1) of a heap block, as its page map gives it; nullopt when the block holds
// no such item or its page map does not fit (the block was checked when the heap was opened,
// but a file may change while it is read).
std::optional<ByteView> heapItem(ByteView b, std::size_t index)
{
    if (b.size() < 2 || index == 0) return std::nullopt;
    const std::size_t hnpm = get<std::uint16_t>(b, 0);
    if (hnpm + 6 > b.size()) return std::nullopt;
    const std::size_t cAlloc = get<std::uint16_t>(b, hnpm);
    if (index > cAlloc || hnpm + 6 + 2 * cAlloc > b.size()) return std::nullopt;
    const std::size_t from = get<std::uint16_t>(b, hnpm + 2 + 2 * index);
    const std::size_t to = get<std::uint16_t>(b, hnpm + 4 + 2 * index);
    if (from > to || to > b.size()) return std::nullopt;
    return b.subspan(from, to - from);
}

}  // namespace

std::optional<Bytes> Heap::get(Hid hid) const
{
    const std::size_t block = hid >> hn::kHidBlockShift;
    const std::size_t index = (hid >> hn::kHidIndexShift) & hn::kHidIndexMask;
    if ((hid & kNidTypeMask) || block >= m_blocks.size()) return std::nullopt;
    if (m_cachedIndex != block) {
        auto p = m_checker->payload(m_blocks[block], "heap");
        if (!p) return std::nullopt;
        m_cached = std::move(*p);
        m_cachedIndex = block;
    }
    auto item = heapItem(m_cached, index);
    if (!item) return std::nullopt;
    return Bytes(item->begin(), item->end());
}

std::optional<Heap> Checker::heap(std::vector<Bid> blocks, const Where& where)
{
    auto first = blocks.empty() ? std::nullopt : payload(blocks[0], where);
    if (!first || first->size() < hn::kHdrSize || (*first)[hn::kSig] != hn::kSigValue) {
        error(where, "data is not a heap (bSig is not 0xEC)");
        return std::nullopt;
    }
    Heap h;
    h.client = (*first)[hn::kClientSig];
    h.userRoot = get<std::uint32_t>(*first, hn::kUserRoot);
    const std::uint32_t fill = get<std::uint32_t>(*first, hn::kFillLevel);
    bool broken = false;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const auto other = i == 0 ? std::nullopt : payload(blocks[i], where);
        const std::optional<Bytes>& read = i == 0 ? first : other;
        if (!read) {
            broken = true;
            continue;
        }
        const Bytes& b = *read;
        const Where at(where, " heap block ", i, Where::Number::Decimal);
        const std::size_t hnpm = b.size() >= 2 ? get<std::uint16_t>(b, 0) : 0;
        if (hnpm % 2 || hnpm < heapHeaderSize(i) || hnpm + 6 > b.size()) {
            error(at, "page map offset " + std::to_string(hnpm) + " misaligned or outside the block");
            broken = true;
            continue;
        }
        const std::size_t cAlloc = get<std::uint16_t>(b, hnpm);
        if (hnpm + 6 + 2 * cAlloc > b.size()) {
            error(at, "page map larger than the block");
            broken = true;
            continue;
        }
        if (cAlloc > hn::kMaxItemsPerBlock) error(at, "more than 2047 items, which HIDs cannot name");
        std::vector<std::size_t> offs;
        for (std::size_t j = 0; j <= cAlloc; ++j) offs.push_back(get<std::uint16_t>(b, hnpm + 4 + 2 * j));
        if (offs[0] != heapHeaderSize(i) || !std::is_sorted(offs.begin(), offs.end()) || offs.back() > hnpm) {
            error(at, "item offsets not ascending from the block header");
            broken = true;
            continue;
        }
        if (hnpm - offs.back() > 1) error(at, "page map does not follow the last item");
        if (b.size() - (hnpm + 6 + 2 * cAlloc) > 63) error(at, "more than 63 bytes after the page map");
        for (std::size_t j = 0; j < cAlloc; ++j)
            if (offs[j + 1] - offs[j] > hn::kMaxItem)
                error(at, "item " + std::to_string(j + 1) + " larger than 3580 bytes");
    }
    for (std::size_t j = blocks.size(); j < 8; ++j)
        if ((fill >> (4 * j)) & 0xF) error(where, "fill level set for a heap block that does not exist");
    if (broken) return std::nullopt;
    h.m_checker = this;
    h.m_blocks = std::move(blocks);
    h.m_cached = std::move(*first);  // the header, the root and usually most items are there
    h.m_cachedIndex = 0;
    return h;
}

std::optional<Records> Checker::bth(const Heap& h, Hid hid, std::size_t cbKey, std::size_t cbEnt, const Where& where)
{
    const auto hdr = h.get(hid);
    if (!hdr || hdr->size() != bth::kHeaderSize || (*hdr)[0] != bth::kType || (*hdr)[1] != cbKey
        || (*hdr)[2] != cbEnt) {
        error(where, "BTH header " + hex(hid) + " missing or with wrong key/entry sizes");
        return std::nullopt;
    }
    Records records{cbKey, cbEnt, {}};
    const int levels = (*hdr)[3];
    const Hid root = get<std::uint32_t>(*hdr, 4);
    if (root == 0) return records;
    // Depth-first, left to right, so records come out in key order. A node reached twice would
    // let a few bytes describe an endless tree.
    std::vector<std::pair<Hid, int>> todo{{root, levels}};
    std::set<Hid> seen;
    while (!todo.empty()) {
        const auto [at, level] = todo.back();
        todo.pop_back();
        if (!seen.insert(at).second) {
            error(where, "BTH node " + hex(at) + " reached twice");
            return std::nullopt;
        }
        const auto item = h.get(at);
        const std::size_t size = cbKey + (level ? 4 : cbEnt);
        if (!item || item->empty() || item->size() % size) {
            error(where, "BTH node " + hex(at) + " missing or not a whole number of records");
            return std::nullopt;
        }
        if (level == 0) {
            records.flat.insert(records.flat.end(), item->begin(), item->end());
            continue;
        }
        for (std::size_t o = item->size(); o > 0; o -= size)
            todo.push_back({get<std::uint32_t>(*item, o - size + cbKey), level - 1});
    }
    const auto keyOf = [](ByteView k) {
        std::uint64_t v = 0;
        for (std::size_t i = k.size(); i-- > 0;) v = (v << 8) | k[i];
        return v;
    };
    for (std::size_t i = 1; i < records.size(); ++i)
        if (keyOf(records.key(i)) <= keyOf(records.key(i - 1))) {
            error(where, "BTH keys not ascending");
            break;
        }
    return records;
}

// A value kept in a subnode, read block by block: held whole when short, else its first bytes,
// size and CRC.
std::optional<Value> Checker::streamValue(Bid data, const Where& where)
{
    auto leaves = dataTree(data, where);
    if (!leaves) return std::nullopt;
    Value v;
    for (const Bid b : *leaves) v.size += findBlock(b)->cb;
    const bool held = v.size <= Value::kHeldValue;
    for (const Bid b : *leaves) {
        auto p = payload(b, where);
        if (!p) return std::nullopt;
        const std::size_t keep = std::min(p->size(), Value::kHeldValue - std::min(v.bytes.size(), Value::kHeldValue));
        v.bytes.insert(v.bytes.end(), p->begin(), p->begin() + static_cast<std::ptrdiff_t>(keep));
        if (!held) v.crc = crc32(*p, v.crc);
    }
    return v;
}

std::optional<Value> Checker::value(std::uint16_t type, ByteView cell, std::size_t inlineMax, const Heap& h,
                                    const Subnodes& subs, const Where& where)
{
    const std::size_t fixed = fixedSize(type);
    if (fixed && fixed <= inlineMax)
        return Value{Bytes(cell.begin(), cell.begin() + static_cast<std::ptrdiff_t>(fixed)), fixed, 0};
    const std::uint32_t hnid = get<std::uint32_t>(cell, 0);
    Value v;
    if (hnid == 0) {
        if (fixed) error(where, "fixed-size value with HNID 0");
        return v;  // Outlook stores empty values this way
    }
    if ((hnid & kNidTypeMask) == 0) {
        auto item = h.get(hnid);
        if (!item) {
            error(where, "HID " + hex(hnid) + " is not in the heap");
            return std::nullopt;
        }
        v.size = item->size();
        v.bytes = std::move(*item);
    } else {
        auto it = subs.find(hnid);
        if (it == subs.end()) {
            error(where, "subnode " + hex(hnid) + " is not in the subnode tree");
            return std::nullopt;
        }
        auto streamed = streamValue(it->second.data, where);
        if (!streamed) return std::nullopt;
        v = std::move(*streamed);
    }
    if (fixed && v.size != fixed) error(where, "fixed-size value of " + std::to_string(v.size) + " bytes");
    if (type == ptype::kString && v.size % 2) error(where, "string with an odd number of bytes");
    if (type == ptype::kObject && inlineMax == 4 && (v.size != 8 || !subs.count(get<std::uint32_t>(v.bytes, 0))))
        error(where, "object value does not name a subnode");
    if ((type == ptype::kMultiString || type == ptype::kMultiBinary) && v.bytes.size() == v.size)
        multiValue(type, v.bytes, where);
    return v;
}

// A variable-size multi-valued value: its count, then offsets that step forward through the
// value, the first just after them ([MS-PST] 2.3.3.4.2).
void Checker::multiValue(std::uint16_t type, const Bytes& bytes, const Where& where)
{
    if (bytes.empty()) return;  // no values
    const std::uint64_t count = bytes.size() >= 4 ? get<std::uint32_t>(bytes, 0) : 0;
    if (bytes.size() < 4 || 4 + 4 * count > bytes.size()) {
        error(where, "multi-valued value shorter than its offsets");
        return;
    }
    if (count && get<std::uint32_t>(bytes, 4) != 4 + 4 * count) {
        error(where, "multi-valued value's first item does not follow its offsets");
        return;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint32_t offset = get<std::uint32_t>(bytes, static_cast<std::size_t>(4 + 4 * i));
        const std::uint64_t next
            = i + 1 < count ? get<std::uint32_t>(bytes, static_cast<std::size_t>(8 + 4 * i)) : bytes.size();
        if (next < offset || next > bytes.size()) {
            error(where, "multi-valued value's item " + std::to_string(i) + " runs outside it");
            return;
        }
        if (type == ptype::kMultiString && (next - offset) % 2)
            error(where, "multi-valued string " + std::to_string(i) + " with an odd number of bytes");
    }
}

std::optional<Checker::NodeHeap> Checker::nodeHeap(Bid data, Bid sub, const Where& where)
{
    auto blocks = dataTree(data, where);
    auto subs = subnodes(sub, where);
    if (!blocks || !subs) return std::nullopt;
    auto h = heap(std::move(*blocks), where);
    if (!h) return std::nullopt;
    return NodeHeap{std::move(*h), std::move(*subs)};
}

std::optional<PropertyMap> Checker::pc(Bid data, Bid sub, const Where& where)
{
    auto node = nodeHeap(data, sub, where);
    if (!node) return std::nullopt;
    const Heap* h = &node->heap;
    const Subnodes* subs = &node->subs;
    if (h->client != hn::kClientPC) {
        error(where, "heap is not a property context (bClientSig " + hex(h->client) + ")");
        return std::nullopt;
    }
    auto records = bth(*h, h->userRoot, 2, 6, where);
    if (!records) return std::nullopt;
    PropertyMap props;
    for (std::size_t i = 0; i < records->size(); ++i) {
        const auto id = get<std::uint16_t>(records->key(i), 0);
        const ByteView ent = records->entry(i);
        const auto type = get<std::uint16_t>(ent, 0);
        const Where at(where, " property ", id, Where::Number::Hex);
        props[id] = {type, value(type, ent.subspan(2, 4), 4, *h, *subs, at)};
    }
    return props;
}

namespace {

struct Column {
    PropTag tag = 0;
    std::uint16_t ib = 0;
    std::uint8_t cb = 0, bit = 0;
    bool usable = false;  // its cell lies inside the row; a column that fails its checks is not read
};

// The TCOLDESCs of a TCINFO whose size was checked ([MS-PST] 2.3.4.2).
std::vector<Column> columnsOf(ByteView info, std::size_t cCols, std::uint16_t endOfCells,
                              const std::function<void(const std::string&)>& error)
{
    std::vector<Column> cols;
    const std::size_t cebBits = 8 * ((cCols + 7) / 8);
    for (std::size_t i = 0; i < cCols; ++i) {
        const std::size_t at = tc::kInfoSize + tc::kColDescSize * i;
        Column c{get<std::uint32_t>(info, at), get<std::uint16_t>(info, at + 4), info[at + 6], info[at + 7], false};
        const std::size_t fixed = fixedSize(tagType(c.tag));
        c.usable = c.cb == (fixed && fixed <= 8 ? fixed : 4) && c.ib + c.cb <= endOfCells && c.bit < cebBits;
        if (!c.usable) error("column " + hex(c.tag) + " has a wrong size, offset or bit");
        if (!cols.empty() && c.tag <= cols.back().tag) error("columns not sorted by tag");
        cols.push_back(c);
    }
    return cols;
}

}  // namespace

// Where a table's rows are: one heap item, or the data blocks of a subnode, each block holding
// whole rows and padding after them.
std::optional<RowMatrix> Checker::rowMatrix(const Heap& h, const Subnodes& subs, std::uint32_t hnidRows,
                                            std::size_t rowSize, const Where& where)
{
    RowMatrix m;
    m.rowSize = rowSize;
    if (hnidRows && !(hnidRows & kNidTypeMask)) {
        auto item = h.get(hnidRows);
        if (!item) {
            error(where, "row matrix HID missing");
            return std::nullopt;
        }
        m.inHeap = std::move(*item);
        m.bytes = m.inHeap.size();
        return m;
    }
    if (!hnidRows) return m;
    auto it = subs.find(hnidRows);
    auto leaves = it == subs.end() ? std::nullopt : dataTree(it->second.data, Where(where, " row matrix"));
    if (!leaves) {
        error(where, "row matrix subnode missing or unreadable");
        return std::nullopt;
    }
    m.perBlock = tc::kRowBlockSize / rowSize;
    if (m.perBlock == 0) {
        error(where, "rows longer than a block");
        return std::nullopt;
    }
    for (std::size_t i = 0; i < leaves->size(); ++i) {
        const std::size_t cb = findBlock((*leaves)[i])->cb;
        const bool last = i + 1 == leaves->size();
        if ((last && cb % rowSize) || (!last && cb != tc::kRowBlockSize))
            error(where, "row matrix block " + std::to_string(i) + " does not hold whole rows");
        if (!last && cb < m.perBlock * rowSize) return std::nullopt;
        m.bytes += last ? cb : m.perBlock * rowSize;
    }
    m.blocks = std::move(*leaves);
    return m;
}

std::optional<ByteView> Checker::row(RowMatrix& m, std::size_t r, const Where& where)
{
    if (m.blocks.empty()) return ByteView(m.inHeap).subspan(r * m.rowSize, m.rowSize);
    const std::size_t b = r / m.perBlock, at = r % m.perBlock * m.rowSize;
    if (b >= m.blocks.size())  // a last block longer than 8176 bytes holds more rows than it may
        return std::nullopt;
    if (b != m.loaded) {
        auto p = payload(m.blocks[b], where);
        if (!p) return std::nullopt;
        m.block = std::move(*p);
        m.loaded = b;
    }
    if (at + m.rowSize > m.block.size()) return std::nullopt;
    return ByteView(m.block).subspan(at, m.rowSize);
}

std::optional<std::size_t> Checker::tc(Bid data, Bid sub, const Where& where, const RowVisitor& onRow)
{
    auto node = nodeHeap(data, sub, where);
    if (!node) return std::nullopt;
    const Heap* h = &node->heap;
    const Subnodes* subs = &node->subs;
    const auto info = h->get(h->userRoot);
    if (h->client != hn::kClientTC || !info || info->size() < tc::kInfoSize || (*info)[0] != tc::kType
        || info->size() != tc::kInfoSize + tc::kColDescSize * (*info)[1]) {
        error(where, "not a table context (TCINFO missing or of the wrong size)");
        return std::nullopt;
    }
    const std::size_t cCols = (*info)[1];
    std::uint16_t rgib[4];
    for (std::size_t i = 0; i < 4; ++i) rgib[i] = get<std::uint16_t>(*info, 2 + 2 * i);
    const Hid rowIndex = get<std::uint32_t>(*info, 10);
    const std::uint32_t hnidRows = get<std::uint32_t>(*info, 14);
    const std::size_t rowSize = rgib[tc::kGroupEndCeb];
    if (!(rgib[0] <= rgib[1] && rgib[1] <= rgib[2]) || rowSize != rgib[2] + (cCols + 7) / 8) {
        error(where, "TCINFO rgib not ascending or CEB of the wrong size");
        return std::nullopt;
    }
    if (rowSize < 4) {
        error(where, "rows too short to hold their row ID");
        return std::nullopt;
    }
    const auto cols = columnsOf(*info, cCols, rgib[2], [&](const std::string& what) { error(where, what); });
    const auto rowIdCol = std::find_if(cols.begin(), cols.end(), [](const Column& c) { return c.tag == 0x67F20003; });
    if (rowIdCol == cols.end() || rowIdCol->ib != 0 || rowIdCol->bit != 0)
        error(where, "PidTagLtpRowId is not the first cell");
    auto index = bth(*h, rowIndex, 4, 4, Where(where, " row index"));
    if (!index) return std::nullopt;
    auto matrix = rowMatrix(*h, *subs, hnidRows, rowSize, where);
    if (!matrix) return std::nullopt;
    if (matrix->bytes % rowSize || matrix->bytes / rowSize != index->size()) {
        error(where,
              "row index has " + std::to_string(index->size()) + " rows, the row matrix "
                  + std::to_string(matrix->bytes / rowSize));
        return std::nullopt;
    }
    std::vector<std::uint32_t> rowIds(index->size());
    std::vector<bool> seen(index->size(), false);
    for (std::size_t i = 0; i < index->size(); ++i) {
        const auto n = get<std::uint32_t>(index->entry(i), 0);
        if (n >= seen.size() || seen[n]) {
            error(where, "row index points outside the matrix or twice at row " + std::to_string(n));
            return std::nullopt;
        }
        seen[n] = true;
        rowIds[n] = get<std::uint32_t>(index->key(i), 0);
    }
    Cells cells;
    std::size_t unversioned = 0;
    for (std::size_t r = 0; r < rowIds.size(); ++r) {
        const auto bytes = row(*matrix, r, where);
        if (!bytes) return std::nullopt;
        const Where at(where, " row ", r, Where::Number::Decimal);
        if (get<std::uint32_t>(*bytes, 0) != rowIds[r]) error(at, "does not start with its row ID");
        unversioned += get<std::uint32_t>(*bytes, 4) == 0;
        cells.clear();
        for (const Column& c : cols) {
            if (!c.usable) continue;
            const bool present = (*bytes)[rgib[2] + c.bit / 8] & (0x80u >> (c.bit % 8));
            const ByteView cell = bytes->subspan(c.ib, c.cb);
            if (!present) {
                if (std::any_of(cell.begin(), cell.end(), [](std::uint8_t b) { return b != 0; }))
                    error(at, "absent cell " + hex(c.tag) + " is not zero");
                continue;
            }
            if (auto v = value(tagType(c.tag), cell, 8, *h, *subs, Where(at, " column ", c.tag, Where::Number::Hex)))
                cells.emplace_back(c.tag, std::move(*v));
        }
        if (onRow) onRow(rowIds[r], cells);
    }
    // Outlook counts its changes in PidTagLtpRowVer: none of its rows has version 0.
    if (unversioned) warn(where, std::to_string(unversioned) + " rows with PidTagLtpRowVer 0");
    return rowIds.size();
}

}  // namespace quillmark::pst::checking
