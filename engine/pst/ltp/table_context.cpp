// Table context ([MS-PST] 2.3.4): TCINFO, a RowIndex BTH and a row matrix, on a heap.
#include "engine/pst/byte_io.h"
#include "engine/pst/ltp/heap_table.h"
#include "engine/pst/ltp/value_store.h"

#include <algorithm>

namespace quillmark::pst::ltp {

using namespace fmt;

namespace {

constexpr PropTag kRowId = makeTag(0x67F2, ptype::kInt32);
constexpr PropTag kRowVer = makeTag(0x67F3, ptype::kInt32);

// Bytes of a cell: fixed values of up to 8 bytes sit in the row, everything else is an HNID.
std::uint8_t cellSize(PropTag tag)
{
    const std::size_t fixed = fixedSize(tagType(tag));
    return static_cast<std::uint8_t>(fixed && fixed <= 8 ? fixed : 4);
}

// Fibonacci hashing: the top bits of the tag times 2^32 / phi.
std::size_t slotOf(PropTag tag, unsigned shift) { return static_cast<std::uint32_t>(tag * 0x9E3779B1u) >> shift; }

bool inlineCell(PropTag tag)
{
    const std::size_t fixed = fixedSize(tagType(tag));
    return fixed && fixed <= 8;
}

}  // namespace

TableSchema TableSchema::fromTags(std::span<const PropTag> tags)
{
    std::vector<PropTag> sorted(tags.begin(), tags.end());
    sorted.erase(std::remove_if(sorted.begin(), sorted.end(), [](PropTag t) { return t == kRowId || t == kRowVer; }),
                 sorted.end());
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());

    TableSchema s;
    s.m_columns.push_back({kRowId, 0, 4, 0});
    s.m_columns.push_back({kRowVer, 4, 4, 1});
    std::uint16_t at = 8;
    std::uint8_t bit = 2;
    // Groups in row order: 8-byte, 4-byte, 2-byte, 1-byte cells, then the existence bitmap.
    const std::uint8_t groupSizes[] = {8, 4, 2, 1};
    for (const std::uint8_t size : groupSizes) {
        for (const PropTag t : sorted) {
            if (cellSize(t) != size) continue;
            s.m_columns.push_back({t, at, size, bit++});
            at = static_cast<std::uint16_t>(at + size);
        }
        if (size == 4) s.m_groupEnd[tc::kGroupEnd8] = at;
        if (size == 2) s.m_groupEnd[tc::kGroupEnd2] = at;
        if (size == 1) s.m_groupEnd[tc::kGroupEnd1] = at;
    }
    s.m_groupEnd[tc::kGroupEndCeb] = static_cast<std::uint16_t>(at + (s.m_columns.size() + 7) / 8);
    std::sort(s.m_columns.begin(), s.m_columns.end(), [](const Column& a, const Column& b) { return a.tag < b.tag; });
    // At most half the slots in use, so probes stay short.
    unsigned bits = 4;
    while ((std::size_t{1} << bits) < 2 * s.m_columns.size()) ++bits;
    s.m_shift = 32 - bits;
    s.m_slots.assign(std::size_t{1} << bits, 0);
    for (std::size_t c = 0; c < s.m_columns.size(); ++c) {
        std::size_t i = slotOf(s.m_columns[c].tag, s.m_shift);
        while (s.m_slots[i]) i = (i + 1) & (s.m_slots.size() - 1);
        s.m_slots[i] = static_cast<std::uint16_t>(c + 1);
    }
    return s;
}

const Column* TableSchema::find(PropTag tag) const
{
    if (m_slots.empty()) return nullptr;
    for (std::size_t i = slotOf(tag, m_shift);; i = (i + 1) & (m_slots.size() - 1)) {
        const std::uint16_t c = m_slots[i];
        if (c == 0) return nullptr;
        if (m_columns[c - 1u].tag == tag) return &m_columns[c - 1u];
    }
}

namespace {

// Row i of a table: one the caller holds, or one made in `scratch`.
using RowSource = std::function<const Row&(std::size_t i, Row& scratch)>;

struct TableWriter {
    ndb::BlockStore& store;
    const TableSchema& schema;
    SubnodeIds& ids;
    HeapBuilder heap{hn::kClientTC};
    WrittenNode node;

    static void setBit(std::span<std::uint8_t> row, std::size_t ceb, std::uint8_t bit)
    {
        row[ceb + bit / 8] |= static_cast<std::uint8_t>(0x80u >> (bit % 8));
    }

    Result<void> encodeRow(const Row& r, std::span<std::uint8_t> out)
    {
        const std::size_t ceb = schema.groupEnds()[tc::kGroupEnd1];
        bytes::put<std::uint32_t>(out, 0, r.rowId);
        setBit(out, ceb, 0);
        setBit(out, ceb, 1);
        for (const Property& cell : r.cells) {
            const Column* col = schema.find(cell.tag);
            if (!col) return Error{Code::InvalidArgument, "table row has a cell for no column"};
            if (cell.tag == kRowId) continue;
            if (cell.tag == kRowVer) {  // set, unlike the row ID, by the caller (as a change counter)
                if (cell.value.size() != 4) return Error{Code::InvalidArgument, "row version of the wrong size"};
                std::copy(cell.value.begin(), cell.value.end(), out.begin() + col->ibData);
                continue;
            }
            if (inlineCell(cell.tag)) {
                if (cell.value.size() != col->cbData)
                    return Error{Code::InvalidArgument, "fixed-size cell with a value of the wrong size"};
                std::copy(cell.value.begin(), cell.value.end(), out.begin() + col->ibData);
            } else {
                auto hnid = storeValue(store, heap, cell, ids, node.subnodes);
                if (!hnid) return std::move(hnid).error();
                bytes::put<std::uint32_t>(out, col->ibData, *hnid);
            }
            setBit(out, ceb, col->iBit);
        }
        return Ok{};
    }

    // Row matrix ([MS-PST] 2.3.4.4): on the heap when small, else a subnode of whole-row blocks,
    // every block but the last 8176 bytes long. A large matrix is encoded a block at a time, as
    // the block store takes it: a folder of a million messages never holds it whole.
    Result<std::uint32_t> storeMatrix(std::size_t count, const RowSource& rowAt,
                                      std::vector<std::pair<std::uint32_t, std::uint32_t>>& index)
    {
        const std::size_t rowSize = schema.rowSize();
        Row scratch;
        const auto encode = [&](std::size_t i, std::span<std::uint8_t> out) -> Result<void> {
            const Row& row = rowAt(i, scratch);
            if (auto r = encodeRow(row, out); !r) return r;
            index.emplace_back(row.rowId, static_cast<std::uint32_t>(i));
            return Ok{};
        };
        if (count == 0) return 0u;
        if (count * rowSize <= hn::kMaxItem) {
            Bytes matrix(count * rowSize, 0);
            for (std::size_t i = 0; i < count; ++i)
                if (auto r = encode(i, std::span(matrix).subspan(i * rowSize, rowSize)); !r)
                    return std::move(r).error();
            return heap.allocate(matrix);
        }
        const std::size_t perBlock = tc::kRowBlockSize / rowSize;
        const std::size_t blocks = (count + perBlock - 1) / perBlock;
        auto data
            = store.writeBlocks(blocks, [&](std::size_t b, Bytes& piece) -> Result<std::span<const std::uint8_t>> {
                  const std::size_t from = b * perBlock, to = std::min(count, from + perBlock);
                  piece.assign(b + 1 < blocks ? tc::kRowBlockSize : (to - from) * rowSize, 0);
                  for (std::size_t i = from; i < to; ++i)
                      if (auto r = encode(i, std::span(piece).subspan((i - from) * rowSize, rowSize)); !r)
                          return std::move(r).error();
                  return std::span<const std::uint8_t>(piece);
              });
        if (!data) return std::move(data).error();
        const Nid nid = ids.next(NidType::Ltp);
        node.subnodes.push_back({nid, *data, 0});
        return nid;
    }

    Result<Hid> writeRowIndex(Hid header, std::vector<std::pair<std::uint32_t, std::uint32_t>> index)
    {
        std::sort(index.begin(), index.end());
        Bytes records;
        records.reserve(8 * index.size());
        for (std::size_t i = 0; i < index.size(); ++i) {
            if (i > 0 && index[i].first == index[i - 1].first)
                return Error{Code::InvalidArgument, "two table rows with the same row ID"};
            bytes::append<std::uint32_t>(records, index[i].first);
            bytes::append<std::uint32_t>(records, index[i].second);
        }
        return writeBth(heap, header, 4, 4, records);
    }

    Result<Hid> writeInfo(Hid rowIndex, std::uint32_t hnidRows)
    {
        Bytes info;
        info.reserve(tc::kInfoSize + tc::kColDescSize * schema.columns().size());
        bytes::append<std::uint8_t>(info, tc::kType);
        bytes::append<std::uint8_t>(info, static_cast<std::uint8_t>(schema.columns().size()));
        for (const auto end : schema.groupEnds()) bytes::append<std::uint16_t>(info, end);
        bytes::append<std::uint32_t>(info, rowIndex);
        bytes::append<std::uint32_t>(info, hnidRows);
        bytes::append<std::uint32_t>(info, 0);
        for (const Column& c : schema.columns()) {
            bytes::append<std::uint32_t>(info, c.tag);
            bytes::append<std::uint16_t>(info, c.ibData);
            bytes::append<std::uint8_t>(info, c.cbData);
            bytes::append<std::uint8_t>(info, c.iBit);
        }
        return heap.allocate(info);
    }

    Result<WrittenNode> write(std::size_t count, const RowSource& rowAt)
    {
        auto header = reserveBthHeader(heap);
        if (!header) return std::move(header).error();
        std::vector<std::pair<std::uint32_t, std::uint32_t>> index;
        index.reserve(count);
        auto hnidRows = storeMatrix(count, rowAt, index);
        if (!hnidRows) return std::move(hnidRows).error();
        auto rowIndex = writeRowIndex(*header, std::move(index));
        if (!rowIndex) return std::move(rowIndex).error();
        auto info = writeInfo(*rowIndex, *hnidRows);
        if (!info) return std::move(info).error();
        heap.setUserRoot(*info);
        auto data = heap.finish();
        if (!data) return std::move(data).error();
        node.data = *data;
        return std::move(node);
    }
};

Result<WrittenNode> writeTable(ndb::BlockStore& store, const TableSchema& schema, std::size_t count,
                               const RowSource& rowAt, SubnodeIds& ids)
{
    if (schema.columns().size() > 255) return Error{Code::InvalidArgument, "a table has at most 255 columns"};
    // The heap goes to the store as it grows: a big folder's contents table is never whole in memory.
    TableWriter writer{store, schema, ids, HeapBuilder{hn::kClientTC, &store}, {}};
    return writer.write(count, rowAt);
}

}  // namespace

Result<WrittenNode> writeTableContext(ndb::BlockStore& store, const TableSchema& schema, std::size_t count,
                                      const RowMaker& rowAt, SubnodeIds& ids)
{
    return writeTable(
        store, schema, count,
        [&](std::size_t i, Row& scratch) -> const Row& {
            rowAt(i, scratch);
            return scratch;
        },
        ids);
}

Result<WrittenNode> writeTableContext(ndb::BlockStore& store, const TableSchema& schema, std::span<const Row> rows,
                                      SubnodeIds& ids)
{
    return writeTable(
        store, schema, rows.size(), [&](std::size_t i, Row&) -> const Row& { return rows[i]; }, ids);
}

}  // namespace quillmark::pst::ltp
