// LTP layer: heaps, B-trees on heaps, property contexts and table contexts ([MS-PST] 2.3).
//
// Owns: the byte layout of heap-on-node blocks (HNHDR, page maps, fill levels), BTHs, PC records
// and TC column descriptors, row index and row matrix. Speaks in heap IDs, rows and properties.
// Calls: the NDB layer (block_store.h) to store a node's data tree and its value subnodes.
// Invariants: no heap item exceeds 3580 bytes (larger values go to subnodes); page maps are
// 2-byte aligned and follow the last item; BTH and TC keys are strictly ascending; a TC's
// columns are sorted by tag with PidTagLtpRowId/RowVer at ibData 0/4, iBit 0/1.
#pragma once

#include "engine/pst/format.h"
#include "engine/pst/ndb/block_store.h"
#include "platform/result.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace quillmark::pst::ltp {

using Bytes = std::vector<std::uint8_t>;

// A property as stored: its tag and its value in on-disk form (little-endian integers, UTF-16LE
// strings without terminator, multi-valued as [MS-PST] 2.3.3.4 lays them out).
struct Property {
    PropTag tag = 0;
    Bytes value;
    // Non-zero when the caller already stored a large value as this subnode of the node (e.g.
    // an attachment's data, written straight from the caller's buffer); `value` is then unused.
    Nid subnode = 0;
};

// Hands out the IDs of subnodes. Unique within their node would do for readers, but Outlook takes
// them from the header's per-type counters (rgnid), so that what it adds later never collides
// with them: so do we.
class SubnodeIds {
public:
    explicit SubnodeIds(ndb::BlockStore& store) : m_store(&store) {}
    Nid next(fmt::NidType type) { return m_store->newNid(type); }

private:
    ndb::BlockStore* m_store;
};

// What a PC or TC became in the file: its data tree and the subnodes it needs.
struct WrittenNode {
    Bid data = 0;
    std::vector<ndb::SubnodeEntry> subnodes;
};

// ---- Heap on node --------------------------------------------------------------------------
class HeapBuilder {
public:
    // With a store, blocks that no item can go to any more are written to it as the heap grows,
    // so that a large table's heap (a folder of a million messages) is never whole in memory.
    explicit HeapBuilder(std::uint8_t clientSig, ndb::BlockStore* store = nullptr)
        : m_clientSig(clientSig), m_store(store)
    {
    }

    // Adds an item of at most 3580 bytes.
    [[nodiscard]] Result<Hid> allocate(std::span<const std::uint8_t> bytes);
    // The bytes of an item already added, to patch it (e.g. a header whose root comes later);
    // items of the first block stay in memory to the end.
    std::span<std::uint8_t> item(Hid hid);
    void setUserRoot(Hid hid) { m_userRoot = hid; }
    // The heap's blocks, each at most 8176 bytes, with headers, page maps and fill levels. The
    // builder is emptied: a large table's heap is not held twice. Only without a store.
    std::vector<Bytes> takeBlocks();
    // Writes the blocks still held and the heap's data tree to its store; returns the tree's BID.
    [[nodiscard]] Result<Bid> finish();
    // The same for a heap built without a store: all its blocks go to `store` now, in order.
    [[nodiscard]] Result<Bid> finish(ndb::BlockStore& store);

private:
    struct Block {
        // 8176 bytes, not zeroed ahead: the header space, the items, and once sealed the page map
        // (and for all but the last block, zeros to the end).
        std::unique_ptr<std::uint8_t[]> data;
        std::size_t used = 0;                // bytes of data in use; once sealed, the block's size
        std::vector<std::uint16_t> offsets;  // start of every item, then the end of the last
        std::uint8_t level = 0;              // fill level, once sealed
        Bid written = 0;                     // once in the store
    };
    static std::size_t headerSize(std::size_t block);
    static bool holdsFillLevels(std::size_t block);
    static void fillUp(Block& b);
    void seal(Block& b, bool last);
    void putHeaders();
    void sealRest();
    [[nodiscard]] Result<void> writeSettled();
    static std::span<std::uint8_t> whole(Block& b) { return {b.data.get(), fmt::block::kMaxPayload}; }
    static std::span<const std::uint8_t> inUse(const Block& b) { return {b.data.get(), b.used}; }
    std::uint8_t m_clientSig;
    ndb::BlockStore* m_store = nullptr;
    Hid m_userRoot = 0;
    std::vector<Block> m_blocks;
    std::size_t m_settled = 1;  // blocks below this one that could be written are written
};

// ---- B-tree on heap ------------------------------------------------------------------------
// Allocates a BTHHEADER to be filled by writeBth(). Readers (java-libpst and its ports) expect
// the first BTH header of a PC or TC at HID 0x20, so it is reserved before anything else.
[[nodiscard]] Result<Hid> reserveBthHeader(HeapBuilder& heap);
// Builds a BTH over `records` (each cbKey + cbEnt bytes, sorted by key, keys unique) below the
// reserved `header` and returns `header`.
[[nodiscard]] Result<Hid> writeBth(HeapBuilder& heap, Hid header, std::uint8_t cbKey, std::uint8_t cbEnt,
                                   std::span<const std::uint8_t> records);

// ---- Property context ----------------------------------------------------------------------
// Writes a PC holding `props` (any order, one value per property ID). Values over 3580 bytes
// become subnodes named by `ids`.
[[nodiscard]] Result<WrittenNode> writePropertyContext(ndb::BlockStore& store, std::span<const Property> props,
                                                       SubnodeIds& ids);

// ---- Table context -------------------------------------------------------------------------
struct Column {
    PropTag tag = 0;
    std::uint16_t ibData = 0;
    std::uint8_t cbData = 0;
    std::uint8_t iBit = 0;
};

// The columns of a table and where each cell sits in a row.
class TableSchema {
public:
    // Lays out the given columns (PidTagLtpRowId/RowVer are added when missing).
    static TableSchema fromTags(std::span<const PropTag> tags);
    std::span<const Column> columns() const { return m_columns; }
    const Column* find(PropTag tag) const;
    std::uint16_t rowSize() const { return m_groupEnd[3]; }
    std::span<const std::uint16_t, 4> groupEnds() const { return m_groupEnd; }

private:
    std::vector<Column> m_columns;  // sorted by tag
    std::uint16_t m_groupEnd[4] = {};
    // Column index + 1 by hash of the tag (0: empty slot), open addressing: find() is asked for
    // every cell of every row.
    std::vector<std::uint16_t> m_slots;
    unsigned m_shift = 0;
};

struct Row {
    std::uint32_t rowId = 0;      // PidTagLtpRowId: the NID the row describes
    std::vector<Property> cells;  // columns the row has, PidTagLtpRowVer among them; the others are absent
};

// Writes a TC with the schema's columns and `rows` (any order, row IDs unique).
[[nodiscard]] Result<WrittenNode> writeTableContext(ndb::BlockStore& store, const TableSchema& schema,
                                                    std::span<const Row> rows, SubnodeIds& ids);
// The same for `count` rows made one at a time by `rowAt`, so a large table never exists as
// Row objects all at once. rowAt(i, row) fills in row i over the one made before it, whose
// storage it may reuse.
using RowMaker = std::function<void(std::size_t i, Row& row)>;
[[nodiscard]] Result<WrittenNode> writeTableContext(ndb::BlockStore& store, const TableSchema& schema,
                                                    std::size_t count, const RowMaker& rowAt, SubnodeIds& ids);

}  // namespace quillmark::pst::ltp
