// The verifier's state, shared by its NDB, LTP and messaging passes; not part of its interface.
//
// Memory stays bounded whatever the file's size: bytes come from a ByteSource a block at a time,
// the two B-trees are kept as sorted arrays of small records, heaps read their items on demand
// and tables hand out one row at a time. Damaged input is never followed blindly: every offset is
// checked against the file, every internal block is walked at most once, and B-tree, subnode and
// BTH walks are bounded by their levels.
#pragma once

#ifndef QUILLMARK_PST_BUILD
#error "a private header of the PST library, not for use outside it"
#endif

#include "engine/pst/format.h"
#include "engine/pst/verify/byte_source.h"
#include "engine/pst/verify/verifier.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillmark::pst::checking {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

std::string hex(std::uint64_t v);

// Where an issue was found, e.g. "message 0x200024 attachment 0x8025 row 0": put together only
// when an issue is reported, as the passes name every property and table cell they look at.
// A place names its parent, which must outlive it (places live on the stack of the passes).
class Where {
public:
    enum class Number : std::uint8_t { None, Decimal, Hex };
    Where(const char* text) : m_label(text) {}            // NOLINT(google-explicit-constructor)
    Where(std::string text) : m_text(std::move(text)) {}  // NOLINT(google-explicit-constructor)
    Where(const char* label, std::uint64_t n, Number format) : m_label(label), m_number(n), m_format(format) {}
    Where(const Where& parent, const char* label, std::uint64_t n = 0, Number format = Number::None)
        : m_parent(&parent), m_label(label), m_number(n), m_format(format)
    {
    }
    std::string str() const;

private:
    const Where* m_parent = nullptr;
    std::string m_text;
    const char* m_label = "";
    std::uint64_t m_number = 0;
    Number m_format = Number::None;
};

// A BBTENTRY and what the walk over the nodes found about its block; 24 bytes, as a file of a
// few GB has millions of blocks.
struct BlockInfo {
    Bid bid = 0;
    std::uint64_t ib = 0;
    std::uint16_t cb = 0;
    std::uint16_t cRef = 0;
    std::uint32_t refs : 30 = 0;          // references from nodes and internal blocks
    std::uint32_t internalWalks : 2 = 0;  // an internal block: 1 walked once, 2 reached again
};
static_assert(sizeof(BlockInfo) == 24);

struct NodeInfo {
    Nid nid = 0;
    Nid parent = 0;
    Bid data = 0;
    Bid sub = 0;
};

struct SubnodeInfo {
    Bid data = 0;
    Bid sub = 0;
};
using Subnodes = std::map<Nid, SubnodeInfo>;

// A property value read back. Values up to kHeldValue bytes are held whole; a longer one
// (attachment data) keeps its first kHeldValue bytes, its size and its CRC, which is all the
// checks use and enough to compare it with a table cell.
struct Value {
    static constexpr std::size_t kHeldValue = 64 * 1024;
    Bytes bytes;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;  // of the whole value when it is longer than kHeldValue, else 0
    bool operator==(const Value&) const = default;
};

struct PcValue {
    std::uint16_t type = 0;
    std::optional<Value> value;  // empty when it could not be resolved
};
using PropertyMap = std::map<std::uint16_t, PcValue>;

// A table row's present cells, in column order.
using Cells = std::vector<std::pair<PropTag, Value>>;
using RowVisitor = std::function<void(std::uint32_t rowId, const Cells& cells)>;

// BTH records ([MS-PST] 2.3.2) in key order, back to back: a row index of many thousand rows in
// one buffer.
struct Records {
    std::size_t cbKey = 0, cbEnt = 0;
    Bytes flat;
    std::size_t size() const { return flat.size() / (cbKey + cbEnt); }
    ByteView key(std::size_t i) const { return ByteView(flat).subspan(i * (cbKey + cbEnt), cbKey); }
    ByteView entry(std::size_t i) const { return ByteView(flat).subspan(i * (cbKey + cbEnt) + cbKey, cbEnt); }
};

// The rows of a table: one heap item, or a subnode's data blocks read one at a time.
struct RowMatrix {
    Bytes inHeap;
    std::vector<Bid> blocks;
    std::size_t rowSize = 0, perBlock = 0, bytes = 0;
    std::size_t loaded = SIZE_MAX;  // which of `blocks` is in `block`
    Bytes block;
};

class Checker;

// A heap read back ([MS-PST] 2.3.1). Opening it checks every block's page map; items are read
// on demand, as the heap of a big folder's contents table holds many MB.
class Heap {
public:
    std::uint8_t client = 0;
    Hid userRoot = 0;
    // The item's bytes; nullopt when the HID names no item.
    std::optional<Bytes> get(Hid hid) const;

private:
    friend class Checker;
    Checker* m_checker = nullptr;
    std::vector<Bid> m_blocks;
    mutable std::size_t m_cachedIndex = SIZE_MAX;  // the block read last, kept for the next item
    mutable Bytes m_cached;
};

class Checker {
public:
    Checker(ByteSource& source, std::size_t maxIssues, VerifyReport& report)
        : m_src(source), m_max(maxIssues), m_r(report)
    {
    }
    void run(VerifyDepth depth);

    // ---- Reporting ----
    void error(const Where& where, const std::string& what);
    void warn(const Where& where, const std::string& what);

    // ---- NDB (verify_ndb.cpp) ----
    bool header();
    void mapPages();
    void btrees();
    void blocks();
    void allocation();
    const BlockInfo* findBlock(Bid bid) const;  // the reserved bit 0 is ignored
    const NodeInfo* findNode(Nid nid) const;
    // A block's stored bytes, decoded; nullopt when it is unknown (reported) or unreadable.
    std::optional<Bytes> payload(Bid bid, const Where& where);
    // The data blocks of a data tree in order; nullopt when unreadable (reported).
    std::optional<std::vector<Bid>> dataTree(Bid bid, const Where& where);
    std::optional<Subnodes> subnodes(Bid bid, const Where& where);

    // ---- LTP (verify_ltp.cpp) ----
    // Opens the heap kept in these data blocks (those of a node's data tree).
    std::optional<Heap> heap(std::vector<Bid> blocks, const Where& where);
    // A node's heap and subnodes, as property and table contexts both start; nullopt when
    // either is unreadable (reported).
    struct NodeHeap {
        Heap heap;
        Subnodes subs;
    };
    std::optional<NodeHeap> nodeHeap(Bid data, Bid sub, const Where& where);
    std::optional<Records> bth(const Heap& h, Hid hid, std::size_t cbKey, std::size_t cbEnt, const Where& where);
    std::optional<Value> value(std::uint16_t type, ByteView cell, std::size_t inlineMax, const Heap& h,
                               const Subnodes& subs, const Where& where);
    void multiValue(std::uint16_t type, const Bytes& bytes, const Where& where);
    std::optional<PropertyMap> pc(Bid data, Bid sub, const Where& where);
    // Checks a TC and hands each row to onRow in row-matrix order. The number of rows, or
    // nullopt when the table cannot be read (reported).
    std::optional<std::size_t> tc(Bid data, Bid sub, const Where& where, const RowVisitor& onRow = {});

    // ---- Messaging (verify_messaging.cpp) ----
    void messaging();

private:
    struct Span {
        std::uint64_t ib = 0, size = 0;
    };
    void walkBtree(std::uint64_t ib, Bid bid, std::uint8_t ptype, int level, std::optional<std::uint64_t> key,
                   std::optional<std::uint64_t> below);
    template <class T>
    void sortByKey(std::vector<T>& entries);
    BlockInfo* findBlock(Bid bid);
    bool blockInFile(const BlockInfo& b) const;
    void checkAllBlocks();
    std::uint8_t checkBlock(const BlockInfo& b, std::size_t index);
    std::optional<Bytes> internalPayload(const BlockInfo& b, const Where& where);
    bool treeLeaves(Bid bid, const Where& where, int level, std::vector<Bid>& leaves);
    bool subnodeEntries(Bid bid, const Where& where, int level, Subnodes& out);
    void countReferences();
    void referenceTree(Bid bid, bool subnodeTree, const Where& where, int depth, int wantLevel, int nesting = 0);
    std::vector<Span> pagesInUse() const;
    void compareAMap(std::uint64_t k, const std::array<std::uint8_t, fmt::kAMapBitmapBytes>& used,
                     std::uint64_t& leaked);
    std::optional<Value> streamValue(Bid data, const Where& where);
    std::optional<RowMatrix> rowMatrix(const Heap& h, const Subnodes& subs, std::uint32_t hnidRows, std::size_t rowSize,
                                       const Where& where);
    std::optional<ByteView> row(RowMatrix& m, std::size_t r, const Where& where);
    void checkFolder(Nid nid, const PropertyMap& props);
    void nameMap(const PropertyMap& map);
    void searchAndReceiveNodes();
    void checkContents(Nid folder, const NodeInfo& contents, const PropertyMap& props,
                       const std::vector<Nid>& messages);
    void checkMessage(Bid data, Bid sub, const Where& where, int depth);
    void checkMessage(const PropertyMap& props, Bid sub, const Where& where, int depth);
    void checkAttachments(const Subnodes& subs, const Where& where, int depth);

    ByteSource& m_src;
    std::size_t m_max;
    VerifyReport& m_r;
    std::uint8_t m_crypt = 0;
    std::uint64_t m_eof = 0, m_amapLast = 0, m_amapFree = 0, m_bidNextB = 0, m_bidNextP = 0;
    std::array<std::uint32_t, 32> m_rgnid{};
    std::uint64_t m_nbtIb = 0, m_bbtIb = 0;
    Bid m_nbtBid = 0, m_bbtBid = 0;
    std::uint64_t m_amaps = 0;                           // AMap pages in the file
    std::vector<NodeInfo> m_nbt;                         // by NID
    std::vector<BlockInfo> m_bbt;                        // by BID
    std::vector<std::pair<std::uint64_t, Bid>> m_pages;  // B-tree pages in use: (ib, BID)
    std::vector<bool> m_pageSeen;                        // by ib / page size
    std::vector<std::uint32_t> m_byIb;  // indexes into m_bbt in file order, from blocks() to allocation()
    Bytes m_internal;                   // internal blocks' bytes, kept by blocks() for countReferences()
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_internalAt;  // (index in m_bbt, offset in m_internal)
    std::vector<std::pair<Nid, Nid>> m_children;                        // (parent, child), sorted
    std::vector<bool> m_messageChecked;                                 // by index in m_nbt
};

}  // namespace quillmark::pst::checking
