// The verifier's state, shared by its NDB, LTP and messaging passes; not part of its interface.
#pragma once

#include "engine/pst/format.h"
#include "engine/pst/verify/verifier.h"

#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace quillmark::pst::checking {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

std::string hex(std::uint64_t v);

struct BlockInfo {
    std::uint64_t ib = 0;
    std::uint16_t cb = 0;
    std::uint16_t cRef = 0;
    std::uint32_t refs = 0;
};

struct NodeInfo {
    Bid data = 0;
    Bid sub = 0;
    Nid parent = 0;
};

struct SubnodeInfo {
    Bid data = 0;
    Bid sub = 0;
};
using Subnodes = std::map<Nid, SubnodeInfo>;

// A heap read back: items by (block, index).
struct Heap {
    std::uint8_t client = 0;
    Hid userRoot = 0;
    std::map<std::uint32_t, Bytes> items;  // key: hid without its type bits
    const Bytes* get(Hid hid) const;
};

struct PcValue {
    std::uint16_t type = 0;
    std::optional<Bytes> value;  // empty when it could not be resolved
};
using PropertyMap = std::map<std::uint16_t, PcValue>;

struct Table {
    std::vector<PropTag> columns;
    std::vector<std::pair<std::uint32_t, std::map<PropTag, Bytes>>> rows;  // in row-matrix order
};

class Checker {
public:
    Checker(ByteView data, std::size_t maxIssues, VerifyReport& report)
        : m_d(data), m_max(maxIssues), m_r(report)
    {
    }
    void run(VerifyDepth depth);

    // ---- Reporting ----
    void error(const std::string& where, const std::string& what);
    void warn(const std::string& where, const std::string& what);

    // ---- NDB (verify_ndb.cpp) ----
    bool header();
    void mapPages();
    void btrees();
    void blocks();
    void allocation();
    // Decoded data blocks of a data tree; nullopt when unreadable (already reported).
    std::optional<std::vector<Bytes>> stream(Bid bid, const std::string& where);
    std::optional<Subnodes> subnodes(Bid bid, const std::string& where);

    // ---- LTP (verify_ltp.cpp) ----
    std::optional<Heap> heap(const std::vector<Bytes>& blocks, const std::string& where);
    std::optional<std::vector<std::pair<Bytes, Bytes>>> bth(const Heap& h, Hid hid, std::size_t cbKey,
                                                            std::size_t cbEnt, const std::string& where);
    std::optional<Bytes> value(std::uint16_t type, ByteView cell, std::size_t inlineMax, const Heap& h,
                               const Subnodes& subs, const std::string& where);
    std::optional<PropertyMap> pc(Bid data, Bid sub, const std::string& where);
    std::optional<Table> tc(Bid data, Bid sub, const std::string& where);

    // ---- Messaging (verify_messaging.cpp) ----
    void messaging();

    std::map<Nid, NodeInfo> nbt;
    std::map<Bid, BlockInfo> bbt;

private:
    void walkBtree(std::uint64_t ib, Bid bid, std::uint8_t ptype, int level, std::optional<std::uint64_t> key);
    std::optional<std::vector<Bid>> treeLeaves(Bid bid, const std::string& where, int depth);
    std::optional<Bytes> payload(Bid bid, const std::string& where);
    void countReferences();
    void referenceTree(Bid bid, bool subnodeTree, const std::string& where, int depth);
    void checkFolder(Nid nid, const PropertyMap& props);
    void checkMessage(Nid nid, Bid data, Bid sub, const std::string& where, int depth);

    ByteView m_d;
    std::size_t m_max;
    VerifyReport& m_r;
    std::uint8_t m_crypt = 0;
    std::uint64_t m_eof = 0, m_amapLast = 0, m_amapFree = 0, m_bidNextB = 0, m_bidNextP = 0;
    std::array<std::uint32_t, 32> m_rgnid{};
    std::uint64_t m_nbtIb = 0, m_bbtIb = 0;
    Bid m_nbtBid = 0, m_bbtBid = 0;
    std::map<std::uint64_t, std::uint64_t> m_spans;  // ib -> size of every page and block in use
    std::map<std::uint64_t, Bid> m_pages;             // B-tree pages
    std::vector<std::uint64_t> m_amaps;
    std::set<Bid> m_referencedInternal;
};

}  // namespace quillmark::pst::checking
