#include "engine/pst/ndb/block_store.h"

#include "engine/pst/byte_io.h"
#include "engine/pst/ndb/allocation_map.h"
#include "engine/pst/ndb/background_writer.h"
#include "engine/pst/ndb/node_index.h"
#include "platform/file_io.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <functional>
#include <optional>
#include <string>

namespace quillmark::pst::ndb {

using namespace fmt;
using bytes::Buffer;

namespace {

enum class State { Writing, Finishing, Done, Failed };

// The block index grows by one record per block, millions in a PST of many gigabytes: its records
// go to a scratch file in large pieces as they come (block IDs ascend, so they are in the order
// the index is written) and are read back once, page by page, at the end.
class BlockIndexSpool {
public:
    static constexpr std::size_t kHeld = 32768;  // records kept in memory before they are spooled

    Result<void> add(Bid bid, std::uint64_t ib, std::uint16_t cb)
    {
        bytes::append<std::uint64_t>(m_tail, bid);
        bytes::append<std::uint64_t>(m_tail, ib);
        bytes::append<std::uint16_t>(m_tail, cb);
        bytes::append<std::uint16_t>(m_tail, 2);  // the index's own reference + one user
        bytes::append<std::uint32_t>(m_tail, 0);
        ++m_count;
        if (m_tail.size() < kHeld * btpage::kBbtEntry) return Ok{};
        if (!m_file) {
            auto file = platform::ScratchFile::create();
            if (!file) return std::move(file).error();
            m_file = std::move(*file);
        }
        if (auto r = m_file->append({reinterpret_cast<const char*>(m_tail.data()), m_tail.size()}); !r) return r;
        m_tail.clear();
        return Ok{};
    }

    std::size_t count() const noexcept { return m_count; }

    // Records [from, from + out.size() / record size) into out.
    Result<void> read(std::size_t from, std::span<std::uint8_t> out) const
    {
        const std::uint64_t spooled = m_file ? m_file->size() : 0;
        std::uint64_t at = static_cast<std::uint64_t>(from) * btpage::kBbtEntry;
        std::size_t done = 0;
        if (at < spooled) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(spooled - at, out.size()));
            if (auto r = m_file->readAt(at, {reinterpret_cast<char*>(out.data()), n}); !r) return r;
            done = n;
            at += n;
            if (done == out.size()) return Ok{};
        }
        const auto offset = static_cast<std::size_t>(at - spooled);
        if (offset + (out.size() - done) > m_tail.size()) return Error{Code::Internal, "block index read past its end"};
        std::copy_n(m_tail.begin() + static_cast<std::ptrdiff_t>(offset), out.size() - done,
                    out.begin() + static_cast<std::ptrdiff_t>(done));
        return Ok{};
    }

private:
    Buffer m_tail;
    std::optional<platform::ScratchFile> m_file;
    std::size_t m_count = 0;
};

// A key with the page it leads to, one level up in a B-tree under construction.
struct ChildRef {
    std::uint64_t key;
    Bid bid;
    std::uint64_t ib;
};

void sealPage(std::span<std::uint8_t> page, std::uint8_t ptype, std::uint64_t ib, Bid bid, bool signed_)
{
    page[page::kType] = ptype;
    page[page::kTypeRepeat] = ptype;
    bytes::put<std::uint16_t>(page, page::kSig, signed_ ? computeSig(ib, bid) : std::uint16_t{0});
    bytes::put<std::uint32_t>(page, page::kCrc, crc32(page.first(page::kTrailer)));
    bytes::put<std::uint64_t>(page, page::kBid, bid);
}

}  // namespace

struct BlockStore::Impl {
    platform::PositionalFile file;
    Options options;
    State state = State::Writing;
    std::optional<Error> failure;

    AllocationMap amap;
    Bid nextBid = block::kBidStep;
    Bid nextPageBid = block::kFirstPageBid;
    // dwUnique goes up with every write of the header, so that each one's CRCs differ ([MS-PST] 2.2.2.6).
    std::uint32_t headerWrites = 0;
    std::array<std::uint32_t, 32> rgnid{};
    BlockIndexSpool bbt;
    NodeIndex nbt;  // a node per message: a million in a big PST

    // Blocks are appended in ascending file order; they are built in place here and written in
    // large sequential chunks, so a block is neither allocated nor copied on its own.
    std::unique_ptr<std::uint8_t[]> pending;
    std::size_t pendingSize = 0;
    std::uint64_t pendingStart = 0;
    static constexpr std::size_t kFlushAt = 1 << 20;
    static constexpr std::size_t kPendingCapacity = kFlushAt + block::kMaxSize;
    std::unique_ptr<BackgroundWriter> writer;  // after `file`: it goes first

    // The first error is kept and returned by every later call; the partial file goes at once,
    // so a failed store never leaves anything behind.
    Result<void> fail(Error error)
    {
        if (!failure) {
            failure = std::move(error);
            state = State::Failed;
            (void)writer->drain();  // nothing is written while the file goes
            file.discard();
        }
        return *failure;
    }
    Result<void> check() const
    {
        if (failure) return *failure;
        if (state != State::Writing) return Error{Code::InvalidArgument, "the PST file is already closed"};
        return Ok{};
    }

    Result<void> flushPending()
    {
        if (pendingSize == 0) return Ok{};
        auto next = writer->submit(pendingStart, std::move(pending), pendingSize);
        pendingStart += pendingSize;
        pendingSize = 0;
        if (!next) {
            pending.reset(new std::uint8_t[kPendingCapacity]);
            return fail(std::move(next).error());
        }
        pending = std::move(*next);
        return Ok{};
    }

    // Room for `size` bytes at file offset `ib` in the write-behind buffer, for the caller to fill
    // before it calls emitted(). Skipped bytes before it are zero.
    Result<std::span<std::uint8_t>> place(std::uint64_t ib, std::size_t size)
    {
        assert(size <= block::kMaxSize);
        const std::uint64_t end = pendingStart + pendingSize;
        // A gap (the AMap page of a new interval) is written as zeros while it fits, else left to
        // the file as a hole.
        if (ib < end || ib - end > kPendingCapacity - pendingSize - size) {
            if (auto r = flushPending(); !r) return std::move(r).error();
            pendingStart = ib;
        } else {
            std::fill_n(pending.get() + pendingSize, static_cast<std::size_t>(ib - end), std::uint8_t{0});
            pendingSize += static_cast<std::size_t>(ib - end);
        }
        const std::span<std::uint8_t> room(pending.get() + pendingSize, size);
        pendingSize += size;
        return room;
    }

    Result<void> emitted() { return pendingSize >= kFlushAt ? flushPending() : Result<void>(Ok{}); }

    Result<void> emit(std::uint64_t ib, std::span<const std::uint8_t> data)
    {
        auto room = place(ib, data.size());
        if (!room) return std::move(room).error();
        std::copy(data.begin(), data.end(), room->begin());
        return emitted();
    }

    Result<Bid> writeBlock(std::span<const std::uint8_t> payload, bool internal)
    {
        assert(payload.size() <= block::kMaxPayload);
        const std::size_t size = block::allocationSize(payload.size());
        const std::uint64_t ib = amap.allocate(size, kSlotSize);
        const Bid bid = nextBid | (internal ? block::kInternalBit : 0);
        nextBid += block::kBidStep;

        auto room = place(ib, size);
        if (!room) return std::move(room).error();
        const std::span<std::uint8_t> buf = *room;
        std::copy(payload.begin(), payload.end(), buf.begin());
        std::fill(buf.begin() + static_cast<std::ptrdiff_t>(payload.size()), buf.end(), std::uint8_t{0});
        auto stored = buf.first(payload.size());
        if (!internal && options.crypt == CryptMethod::Permute) permuteEncode(stored);
        auto trailer = buf.last(block::kTrailerSize);
        bytes::put<std::uint16_t>(trailer, block::kTrCb, static_cast<std::uint16_t>(payload.size()));
        bytes::put<std::uint16_t>(trailer, block::kTrSig, computeSig(ib, bid));
        bytes::put<std::uint32_t>(trailer, block::kTrCrc, crc32(stored));
        bytes::put<std::uint64_t>(trailer, block::kTrBid, bid);
        if (auto r = emitted(); !r) return std::move(r).error();
        if (auto r = bbt.add(bid, ib, static_cast<std::uint16_t>(payload.size())); !r) return std::move(r).error();
        return bid;
    }

    // XBLOCK (level 1) or XXBLOCK (level 2) over `children`, whose bytes add up to `total`.
    Result<Bid> writeXBlock(std::span<const Bid> children, std::uint8_t level, std::uint64_t total)
    {
        Buffer buf;
        bytes::append<std::uint8_t>(buf, block::kTypeData);
        bytes::append<std::uint8_t>(buf, level);
        bytes::append<std::uint16_t>(buf, static_cast<std::uint16_t>(children.size()));
        bytes::append<std::uint32_t>(buf, static_cast<std::uint32_t>(total));
        for (const Bid b : children) bytes::append<std::uint64_t>(buf, b);
        return writeBlock(buf, true);
    }

    // Builds the XBLOCK/XXBLOCK levels above data blocks of the given sizes.
    Result<Bid> writeTree(std::span<const Bid> leaves, std::span<const std::uint32_t> sizes)
    {
        if (leaves.size() == 1) return leaves.front();
        std::uint64_t total = 0;
        for (const auto s : sizes) total += s;
        if (total > 0xFFFFFFFFu || leaves.size() > block::kBidsPerXBlock * block::kBidsPerXBlock)
            return Error{Code::FileTooLarge, "a single PST value cannot exceed 4 GB"};
        if (leaves.size() <= block::kBidsPerXBlock) return writeXBlock(leaves, 1, total);
        std::vector<Bid> xblocks;
        for (std::size_t i = 0; i < leaves.size(); i += block::kBidsPerXBlock) {
            const std::size_t n = std::min(block::kBidsPerXBlock, leaves.size() - i);
            std::uint64_t part = 0;
            for (std::size_t j = i; j < i + n; ++j) part += sizes[j];
            auto x = writeXBlock(leaves.subspan(i, n), 1, part);
            if (!x) return x;
            xblocks.push_back(*x);
        }
        return writeXBlock(xblocks, 2, total);
    }

    Result<Bid> writeSubnodeLevel(std::span<const SubnodeEntry> entries)
    {
        Buffer buf;
        buf.reserve(8 + 24 * entries.size());
        bytes::append<std::uint8_t>(buf, block::kTypeSubnode);
        bytes::append<std::uint8_t>(buf, 0);
        bytes::append<std::uint16_t>(buf, static_cast<std::uint16_t>(entries.size()));
        bytes::append<std::uint32_t>(buf, 0);
        for (const auto& e : entries) {
            bytes::append<std::uint64_t>(buf, e.nid);
            bytes::append<std::uint64_t>(buf, e.data);
            bytes::append<std::uint64_t>(buf, e.sub);
        }
        return writeBlock(buf, true);
    }

    // ---- B-trees ----

    Result<ChildRef> writeBtPage(std::array<std::uint8_t, kPageSize>& page, std::size_t count, std::size_t cbEnt,
                                 std::size_t cEntMax, std::uint8_t level, std::uint8_t ptype)
    {
        page[btpage::kCEnt] = static_cast<std::uint8_t>(count);
        page[btpage::kCEntMax] = static_cast<std::uint8_t>(cEntMax);
        page[btpage::kCbEnt] = static_cast<std::uint8_t>(cbEnt);
        page[btpage::kCLevel] = level;
        const std::uint64_t ib = amap.allocate(kPageSize, kPageSize);
        const Bid bid = nextPageBid;
        nextPageBid += block::kPageBidStep;
        sealPage(page, ptype, ib, bid, true);
        if (auto r = emit(ib, page); !r) return std::move(r).error();
        const std::uint64_t key = count ? bytes::get<std::uint64_t>(page, 0) : 0;
        return ChildRef{key, bid, ib};
    }

    // Fills `out` with the records [from, from + out.size() / cbEnt) of a level, each key first.
    using RecordSource = std::function<Result<void>(std::size_t from, std::span<std::uint8_t> out)>;

    // Writes one level of pages over `n` records and returns the references the next level up needs.
    Result<std::vector<ChildRef>> writeLevel(std::size_t n, const RecordSource& records, std::size_t cbEnt,
                                             std::size_t cEntMax, std::uint8_t level, std::uint8_t ptype)
    {
        const std::size_t pages = std::max<std::size_t>(1, (n + cEntMax - 1) / cEntMax);
        std::vector<ChildRef> refs;
        refs.reserve(pages);
        std::array<std::uint8_t, kPageSize> page{};
        for (std::size_t p = 0; p < pages; ++p) {
            // Spread entries evenly so no page is left nearly empty.
            const std::size_t from = n * p / pages, to = n * (p + 1) / pages;
            page.fill(0);
            if (auto r = records(from, std::span(page).first((to - from) * cbEnt)); !r) return std::move(r).error();
            auto ref = writeBtPage(page, to - from, cbEnt, cEntMax, level, ptype);
            if (!ref) return std::move(ref).error();
            refs.push_back(*ref);
        }
        return refs;
    }

    Result<ChildRef> writeBTree(std::size_t n, const RecordSource& leaves, std::size_t cbEnt, std::size_t cEntMax,
                                std::uint8_t ptype)
    {
        auto refs = writeLevel(n, leaves, cbEnt, cEntMax, 0, ptype);
        for (std::uint8_t level = 1; refs && refs->size() > 1; ++level) {
            if (level >= btpage::kMaxLevels) return Error{Code::FileTooLarge, "B-tree deeper than [MS-PST] allows"};
            const std::vector<ChildRef> below = std::move(*refs);
            const RecordSource branches = [&](std::size_t from, std::span<std::uint8_t> out) -> Result<void> {
                for (std::size_t i = 0; i * btpage::kBranchEntry < out.size(); ++i) {
                    auto entry = out.subspan(i * btpage::kBranchEntry);
                    bytes::put<std::uint64_t>(entry, 0, below[from + i].key);
                    bytes::put<std::uint64_t>(entry, 8, below[from + i].bid);
                    bytes::put<std::uint64_t>(entry, 16, below[from + i].ib);
                }
                return Ok{};
            };
            refs = writeLevel(below.size(), branches, btpage::kBranchEntry, btpage::kMaxBranch, level, ptype);
        }
        if (!refs) return std::move(refs).error();
        return refs->front();
    }

    Result<ChildRef> writeNbt()
    {
        if (auto r = nbt.seal(); !r) return std::move(r).error();
        const RecordSource records = [&](std::size_t from, std::span<std::uint8_t> out) { return nbt.read(from, out); };
        return writeBTree(nbt.size(), records, btpage::kNbtEntry, btpage::kMaxNbt, page::kNBT);
    }

    Result<ChildRef> writeBbt()
    {
        // Block IDs are handed out in ascending order, so the spooled records are already sorted.
        const RecordSource records = [&](std::size_t from, std::span<std::uint8_t> out) { return bbt.read(from, out); };
        return writeBTree(bbt.count(), records, btpage::kBbtEntry, btpage::kMaxBbt, page::kBBT);
    }

    // ---- Maps and header ----

    Result<void> writeMapPages(std::uint64_t intervals)
    {
        std::array<std::uint8_t, kPageSize> page{};
        for (std::uint64_t k = 0; k < intervals; ++k) {
            const std::uint64_t ib = AllocationMap::amapOffset(k);
            page.fill(0);
            amap.copyBitmap(k, std::span(page).first(kAMapBitmapBytes));
            sealPage(page, page::kAMap, ib, ib, false);
            if (auto r = writeAt(ib, page); !r) return r;
            for (const auto& [off, ptype] : AllocationMap::extraPages(k)) {
                // PMap and FPMap are deprecated: all bits set means "all pages in use"; the
                // FMap's zero bytes say "no free space here", so nothing is looked up in them.
                page.fill(ptype == page::kFMap ? 0x00 : 0xFF);
                sealPage(page, ptype, off, off, false);
                if (auto r = writeAt(off, page); !r) return r;
            }
        }
        return Ok{};
    }

    Result<void> writeDList(std::uint64_t intervals)
    {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> free;  // (free slots, AMap index)
        for (std::uint64_t k = 0; k < intervals; ++k) {
            const auto n = static_cast<std::uint32_t>(amap.freeSlots(k));
            if (n) free.emplace_back(n, static_cast<std::uint32_t>(k));
        }
        std::stable_sort(free.begin(), free.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        if (free.size() > dlist::kMaxEntries) free.resize(dlist::kMaxEntries);
        std::array<std::uint8_t, kPageSize> page{};
        page[dlist::kFlags] = dlist::kBackfillComplete;
        page[dlist::kCEnt] = static_cast<std::uint8_t>(free.size());
        bytes::put<std::uint32_t>(page, dlist::kCurrentPage, static_cast<std::uint32_t>(intervals - 1));
        for (std::size_t i = 0; i < free.size(); ++i)
            bytes::put<std::uint32_t>(page, dlist::kEntries + 4 * i, (free[i].first << 20) | free[i].second);
        sealPage(page, page::kDList, kDListOffset, kDListOffset, true);
        return writeAt(kDListOffset, page);
    }

    Result<void> writeHeader(std::uint64_t eof, std::uint64_t intervals, const ChildRef& nbtRoot,
                             const ChildRef& bbtRoot)
    {
        std::array<std::uint8_t, kHeaderSize> h{};
        std::copy_n("!BDN", 4, h.begin());
        bytes::put<std::uint16_t>(h, hdr::kMagicClient, 0x4D53);  // "SM"
        bytes::put<std::uint16_t>(h, hdr::kVer, hdr::kVerUnicode);
        bytes::put<std::uint16_t>(h, hdr::kVerClient, hdr::kVerClientValue);
        h[hdr::kPlatformCreate] = 1;
        h[hdr::kPlatformAccess] = 1;
        bytes::put<std::uint64_t>(h, hdr::kBidNextP, nextPageBid);
        bytes::put<std::uint32_t>(h, hdr::kUnique, ++headerWrites);
        for (std::size_t t = 0; t < rgnid.size(); ++t) bytes::put<std::uint32_t>(h, hdr::kRgnid + 4 * t, rgnid[t]);
        const std::size_t r = hdr::kRoot;
        bytes::put<std::uint64_t>(h, r + root::kFileEof, eof);
        bytes::put<std::uint64_t>(h, r + root::kAMapLast, AllocationMap::amapOffset(intervals - 1));
        bytes::put<std::uint64_t>(h, r + root::kAMapFree, amap.totalFreeSlots(intervals) * kSlotSize);
        bytes::put<std::uint64_t>(h, r + root::kBrefNbt, nbtRoot.bid);
        bytes::put<std::uint64_t>(h, r + root::kBrefNbt + 8, nbtRoot.ib);
        bytes::put<std::uint64_t>(h, r + root::kBrefBbt, bbtRoot.bid);
        bytes::put<std::uint64_t>(h, r + root::kBrefBbt + 8, bbtRoot.ib);
        h[r + root::kAMapValid] = root::kValidAMap2;
        std::fill_n(h.begin() + hdr::kRgbFM, 2 * hdr::kRgbMapLen, std::uint8_t{0xFF});
        h[hdr::kSentinel] = hdr::kSentinelValue;
        h[hdr::kCryptMethod] = static_cast<std::uint8_t>(options.crypt);
        bytes::put<std::uint64_t>(h, hdr::kBidNextB, nextBid);
        auto body = std::span<const std::uint8_t>(h).subspan(hdr::kCrcPartialStart);
        bytes::put<std::uint32_t>(h, hdr::kCrcPartial, crc32(body.first(hdr::kCrcPartialLen)));
        bytes::put<std::uint32_t>(h, hdr::kCrcFull, crc32(body.first(hdr::kCrcFullLen)));
        return writeAt(0, h);
    }

    Result<void> writeAt(std::uint64_t ib, std::span<const std::uint8_t> data)
    {
        if (auto r = file.writeAt(ib, data); !r) return fail(std::move(r).error());
        return Ok{};
    }

    Result<void> finish()
    {
        if (auto r = check(); !r) return r;
        state = State::Finishing;
        auto nbtRoot = writeNbt();
        if (!nbtRoot) return fail(std::move(nbtRoot).error());
        auto bbtRoot = writeBbt();
        if (!bbtRoot) return fail(std::move(bbtRoot).error());
        if (auto r = flushPending(); !r) return r;
        if (auto r = writer->drain(); !r) return fail(std::move(r).error());
        const std::uint64_t intervals = amap.intervals();
        amap.markMapPages(intervals);
        const std::uint64_t eof = AllocationMap::amapOffset(intervals);
        if (auto r = file.resize(eof); !r) return fail(std::move(r).error());
        if (auto r = writeMapPages(intervals); !r) return r;
        if (auto r = writeDList(intervals); !r) return r;
        if (auto r = writeHeader(eof, intervals, *nbtRoot, *bbtRoot); !r) return r;
        if (auto r = file.commit(); !r) return fail(std::move(r).error());
        state = State::Done;
        return Ok{};
    }
};

BlockStore::BlockStore(std::unique_ptr<Impl> impl) : m(std::move(impl)) {}

BlockStore::~BlockStore() { abandon(); }

Result<std::unique_ptr<BlockStore>> BlockStore::create(const std::filesystem::path& path, Options options)
{
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    auto file = platform::PositionalFile::create(path);
    if (!file) return std::move(file).error();
    impl->file = std::move(*file);
    impl->rgnid.fill(kFirstNidIndex);
    impl->rgnid[static_cast<std::size_t>(NidType::SearchFolder)] = kFirstSearchFolderIndex;
    impl->rgnid[static_cast<std::size_t>(NidType::NormalMessage)] = kFirstMessageIndex;
    impl->rgnid[static_cast<std::size_t>(NidType::AssocMessage)] = kFirstAssocMessageIndex;
    impl->pending.reset(new std::uint8_t[Impl::kPendingCapacity]);  // not zeroed: pages are touched as filled
    impl->writer = std::make_unique<BackgroundWriter>(impl->file, Impl::kPendingCapacity);
    impl->pendingStart = kFirstAMapOffset;
    return std::unique_ptr<BlockStore>(new BlockStore(std::move(impl)));
}

Result<void> BlockStore::finish() { return m->finish(); }

void BlockStore::abandon() noexcept
{
    if (m->state == State::Done) return;
    (void)m->writer->drain();
    m->file.discard();
    if (!m->failure) m->failure = Error{Code::Cancelled, "the PST file was abandoned before it was complete"};
    m->state = State::Failed;
}

Result<Bid> BlockStore::writeData(std::span<const std::uint8_t> data)
{
    if (auto r = m->check(); !r) return r.error();
    std::vector<Bid> leaves;
    std::vector<std::uint32_t> sizes;
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(block::kMaxPayload, data.size() - at);
        auto b = m->writeBlock(data.subspan(at, n), false);
        if (!b) return b;
        leaves.push_back(*b);
        sizes.push_back(static_cast<std::uint32_t>(n));
        at += n;
    } while (at < data.size());
    auto tree = m->writeTree(leaves, sizes);
    if (!tree && !m->failure) (void)m->fail(tree.error());
    return tree;
}

Result<Bid> BlockStore::writeBlocks(std::span<const std::vector<std::uint8_t>> pieces)
{
    return writeBlocks(pieces.size(), [&](std::size_t i, std::vector<std::uint8_t>&) {
        return Result<std::span<const std::uint8_t>>(pieces[i]);
    });
}

Result<Bid> BlockStore::writeBlocks(std::size_t count, const PieceMaker& pieceAt)
{
    if (auto r = m->check(); !r) return r.error();
    if (count == 0) return Error{Code::InvalidArgument, "a data tree needs at least one block"};
    std::vector<Bid> leaves;
    std::vector<std::uint32_t> sizes;
    std::vector<std::uint8_t> scratch;
    for (std::size_t i = 0; i < count; ++i) {
        auto made = pieceAt(i, scratch);
        if (!made) return std::move(made).error();
        const std::span<const std::uint8_t> piece = *made;
        if (piece.size() > block::kMaxPayload)
            return Error{Code::InvalidArgument, "block piece larger than 8176 bytes"};
        auto b = m->writeBlock(piece, false);
        if (!b) return b;
        leaves.push_back(*b);
        sizes.push_back(static_cast<std::uint32_t>(piece.size()));
    }
    return m->writeTree(leaves, sizes);
}

Result<Bid> BlockStore::writeBlock(std::span<const std::uint8_t> piece)
{
    if (auto r = m->check(); !r) return r.error();
    if (piece.size() > block::kMaxPayload) return Error{Code::InvalidArgument, "block piece larger than 8176 bytes"};
    return m->writeBlock(piece, false);
}

Result<Bid> BlockStore::writeTree(std::span<const Bid> leaves, std::span<const std::uint32_t> sizes)
{
    if (auto r = m->check(); !r) return r.error();
    if (leaves.empty() || leaves.size() != sizes.size())
        return Error{Code::InvalidArgument, "a data tree needs a size for each of its blocks"};
    return m->writeTree(leaves, sizes);
}

Result<Bid> BlockStore::writeSubnodes(std::vector<SubnodeEntry> entries)
{
    if (auto r = m->check(); !r) return r.error();
    if (entries.empty()) return Bid{0};
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.nid < b.nid; });
    for (std::size_t i = 1; i < entries.size(); ++i)
        if (entries[i].nid == entries[i - 1].nid)
            return Error{Code::InvalidArgument, "subnode ID used twice in one node"};
    if (entries.size() <= block::kSlPerBlock) return m->writeSubnodeLevel(entries);
    if (entries.size() > block::kSlPerBlock * block::kSiPerBlock)
        return Error{Code::FileTooLarge, "too many subnodes in one node"};
    Buffer si;
    std::size_t count = 0;
    const std::size_t leaves = (entries.size() + block::kSlPerBlock - 1) / block::kSlPerBlock;
    for (std::size_t p = 0; p < leaves; ++p) {
        const std::size_t from = entries.size() * p / leaves, to = entries.size() * (p + 1) / leaves;
        auto sl = m->writeSubnodeLevel(std::span(entries).subspan(from, to - from));
        if (!sl) return sl;
        bytes::append<std::uint64_t>(si, entries[from].nid);
        bytes::append<std::uint64_t>(si, *sl);
        ++count;
    }
    Buffer buf;
    bytes::append<std::uint8_t>(buf, block::kTypeSubnode);
    bytes::append<std::uint8_t>(buf, 1);
    bytes::append<std::uint16_t>(buf, static_cast<std::uint16_t>(count));
    bytes::append<std::uint32_t>(buf, 0);
    bytes::appendBytes(buf, si);
    return m->writeBlock(buf, true);
}

Nid BlockStore::newNid(NidType type)
{
    auto& last = m->rgnid[static_cast<std::size_t>(type)];
    return makeNid(type, ++last);
}

void BlockStore::noteNid(Nid nid)
{
    auto& last = m->rgnid[nid & kNidTypeMask];
    last = std::max(last, nidIndex(nid));
}

Result<void> BlockStore::putNode(Nid nid, Bid data, Bid sub, Nid parent)
{
    if (auto r = m->check(); !r) return r;
    noteNid(nid);
    if (auto r = m->nbt.add({nid, data, sub, parent}); !r) return m->fail(std::move(r).error());
    return Ok{};
}

bool BlockStore::failed() const noexcept { return m->failure.has_value(); }

std::uint64_t BlockStore::fileSize() const noexcept { return m->amap.cursor(); }

}  // namespace quillmark::pst::ndb
