// NDB layer: the node database of a PST file ([MS-PST] 2.2).
//
// Owns: the file, its header, allocation maps (AMap, PMap, FMap, FPMap, DList), blocks with their
// trailers, data trees (XBLOCK/XXBLOCK), subnode trees (SLBLOCK/SIBLOCK) and the node and block
// B-trees. Speaks in block IDs, node IDs and byte spans; knows nothing of heaps or properties.
// Calls: the operating system through platform/file_io.h only (one PositionalFile).
// Invariants: blocks go to the file as they are written and are never rewritten; every block is
// referenced exactly once (cRef 2); the file grows in whole AMap intervals; the file appears under
// its final name only after finish() succeeded, and a failed or abandoned store leaves no file.
// The first I/O error is sticky: every later call returns it.
#pragma once

#include "engine/pst/format.h"
#include "platform/result.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace quillmark::pst::ndb {

// One entry of a subnode tree: a node that lives inside another node.
struct SubnodeEntry {
    Nid nid = 0;
    Bid data = 0;
    Bid sub = 0;  // 0 when the subnode has no subnodes of its own
};

struct Options {
    fmt::CryptMethod crypt = fmt::CryptMethod::None;
};

class BlockStore {
public:
    // ---- Open and close ------------------------------------------------------------------
    // Creates `path`; the data is written to a temporary file beside it (nameless where the
    // system allows) until finish().
    [[nodiscard]] static Result<std::unique_ptr<BlockStore>> create(const std::filesystem::path& path,
                                                                    Options options = {});
    ~BlockStore();
    BlockStore(const BlockStore&) = delete;
    BlockStore& operator=(const BlockStore&) = delete;

    // Writes the B-trees, maps and header, then renames the file into place.
    [[nodiscard]] Result<void> finish();
    // Drops the temporary file; also done by the destructor when finish() did not succeed.
    void abandon() noexcept;

    // ---- Data ----------------------------------------------------------------------------
    // Stores bytes of any size (up to 4 GB) as one block or a data tree of full blocks.
    [[nodiscard]] Result<Bid> writeData(std::span<const std::uint8_t> bytes);
    // Stores pieces already cut to block size (heap pages, row-matrix blocks), each <= 8176 bytes.
    [[nodiscard]] Result<Bid> writeBlocks(std::span<const std::vector<std::uint8_t>> pieces);
    // The same for `count` pieces made one at a time, in order, by `pieceAt`, so that a large value
    // (a big table's row matrix) is never whole in memory. It returns the piece, which it may build
    // in `scratch`.
    using PieceMaker
        = std::function<Result<std::span<const std::uint8_t>>(std::size_t index, std::vector<std::uint8_t>& scratch)>;
    [[nodiscard]] Result<Bid> writeBlocks(std::size_t count, const PieceMaker& pieceAt);
    // One data block, for a caller that builds a data tree itself (a heap written as it grows),
    // and the data tree over such blocks in the value's order, with their sizes.
    [[nodiscard]] Result<Bid> writeBlock(std::span<const std::uint8_t> piece);
    [[nodiscard]] Result<Bid> writeTree(std::span<const Bid> leaves, std::span<const std::uint32_t> sizes);
    // Stores a subnode tree; entries need not be sorted. Returns 0 for no entries.
    [[nodiscard]] Result<Bid> writeSubnodes(std::vector<SubnodeEntry> entries);

    // ---- Nodes ---------------------------------------------------------------------------
    // Hands out the next node ID of a type (rgnid of the header).
    Nid newNid(fmt::NidType type);
    // Records a node ID chosen by the caller (fixed IDs of the store) so rgnid covers it.
    void noteNid(Nid nid);
    // Adds a top-level node to the node B-tree. A node ID may be added once only.
    [[nodiscard]] Result<void> putNode(Nid nid, Bid data, Bid sub, Nid parent);

    // ---- State ---------------------------------------------------------------------------
    bool failed() const noexcept;
    // Bytes of the file allocated so far (the size the file will have, roughly).
    std::uint64_t fileSize() const noexcept;

private:
    struct Impl;
    explicit BlockStore(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m;
};

}  // namespace quillmark::pst::ndb
