// The NDB layer: checksums, data and subnode trees, B-trees, allocation maps and file growth.
#include "engine/pst/ndb/block_store.h"
#include "engine/pst/verify/verifier.h"
#include "pst_fixtures.h"

#include <gtest/gtest.h>

#include <iterator>

using namespace quillmark;
using namespace quillmark::pst;
using namespace quillmark::pst::test;
using ndb::BlockStore;

namespace {

std::unique_ptr<BlockStore> newStore(const std::filesystem::path& path, fmt::CryptMethod crypt = fmt::CryptMethod::None)
{
    auto store = BlockStore::create(path, {crypt});
    EXPECT_TRUE(store.ok()) << store.error().detail;
    return std::move(*store);
}

VerifyReport verifyStorage(const std::filesystem::path& path)
{
    auto report = verify(path, 20, VerifyDepth::Storage);
    EXPECT_TRUE(report.ok());
    return *report;
}

// Stores `size` bytes as one node and returns the report of the finished file.
VerifyReport storeOneValue(const ScratchDir& dir, std::size_t size, fmt::CryptMethod crypt = fmt::CryptMethod::None)
{
    const auto path = dir.path("value.pst");
    auto store = newStore(path, crypt);
    const auto data = patternBytes(size, 3);
    auto bid = store->writeData(data);
    EXPECT_TRUE(bid.ok());
    EXPECT_TRUE(store->putNode(store->newNid(fmt::NidType::Ltp), *bid, 0, 0).ok());
    EXPECT_TRUE(store->finish().ok());
    return verifyStorage(path);
}

}  // namespace

TEST(PstChecksum, MatchReferenceValues)
{
    const std::string text = "123456789";
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    // [MS-PST] 5.3 starts at 0 and has no final XOR, unlike zlib's crc32.
    EXPECT_EQ(crc32(bytes), 0x2DFD2D88u);
    EXPECT_EQ(crc32(bytes.last(4), crc32(bytes.first(5))), crc32(bytes));
    // The library's CRC (where there is one) and the code's own tables agree at every length.
    std::vector<std::uint8_t> data(9000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 131 + (i >> 7));
    for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 63u, 496u, 8176u, 8999u})
        for (std::uint32_t seed : {0u, 0x2DFD2D88u, 0xFFFFFFFFu})
            EXPECT_EQ(crc32(std::span(data).first(n), seed), crc32Tables(std::span(data).first(n), seed)) << n;
    // Every length and alignment around the 16- and 64-byte steps of a vector CRC, and its tail.
    for (std::size_t start = 0; start < 4; ++start)
        for (std::size_t n = 60; n < 300; ++n) {
            const auto piece = std::span(data).subspan(start, n);
            ASSERT_EQ(crc32(piece, 0x12345678u), crc32Tables(piece, 0x12345678u)) << start << " " << n;
        }
    EXPECT_EQ(crc32Tables(bytes), 0x2DFD2D88u);
    EXPECT_EQ(computeSig(0x4400, 0x24), 0x4424);
    EXPECT_EQ(computeSig(0x1'0000'4400, 0x24), 0x4424);  // only the low 32 bits count
}

TEST(PstChecksum, PermuteIsAByteBijection)
{
    std::vector<std::uint8_t> all(256);
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
    auto coded = all;
    permuteEncode(coded);
    EXPECT_NE(coded, all);
    auto sorted = coded;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, all);
    permuteDecode(coded);
    EXPECT_EQ(coded, all);
}

TEST(PstNdb, SmallestFileIsOneAMapInterval)
{
    ScratchDir dir;
    const auto path = dir.path("empty.pst");
    auto store = newStore(path);
    ASSERT_TRUE(store->putNode(0x21, *store->writeData({}), 0, 0).ok());
    ASSERT_TRUE(store->finish().ok());
    EXPECT_EQ(std::filesystem::file_size(path), 271360u);
    // Only the file itself: no temporary name is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path("")), {}), 1);
    const auto report = verifyStorage(path);
    EXPECT_TRUE(report.ok()) << report.text();
}

TEST(PstNdb, DataTreesHaveFullBlocksAndRightShape)
{
    ScratchDir dir;
    // size -> blocks in the BBT: data blocks plus XBLOCKs plus the XXBLOCK
    const std::pair<std::size_t, std::size_t> cases[]
        = {{0, 1}, {8176, 1}, {8177, 3}, {1021 * 8176, 1022}, {1021 * 8176 + 1, 1022 + 2 + 1}};
    for (const auto& [size, blocks] : cases) {
        SCOPED_TRACE(size);
        const auto report = storeOneValue(dir, size);
        EXPECT_TRUE(report.ok()) << report.text();
        EXPECT_TRUE(report.warnings.empty()) << report.text();
        EXPECT_EQ(report.blocks, blocks);
    }
}

TEST(PstNdb, PermuteEncodingKeepsTrailersValid)
{
    ScratchDir dir;
    const auto report = storeOneValue(dir, 20000, fmt::CryptMethod::Permute);
    EXPECT_TRUE(report.ok()) << report.text();
}

TEST(PstNdb, GrowsInWholeIntervalsPastPMapAndFMapPlaces)
{
    ScratchDir dir;
    // 40 MB crosses 8-interval PMap places and the first FMap place (interval 128, ~32 MB).
    const auto path = dir.path("big.pst");
    auto store = newStore(path);
    const auto chunk = patternBytes(1 << 20, 9);
    for (int i = 0; i < 40; ++i) {
        auto bid = store->writeData(chunk);
        ASSERT_TRUE(bid.ok());
        ASSERT_TRUE(store->putNode(store->newNid(fmt::NidType::Ltp), *bid, 0, 0).ok());
    }
    ASSERT_TRUE(store->finish().ok());
    const auto size = std::filesystem::file_size(path);
    EXPECT_EQ((size - fmt::kFirstAMapOffset) % fmt::kAMapInterval, 0u);
    EXPECT_GT(size, fmt::kFirstAMapOffset + fmt::kFirstFMapAMap * fmt::kAMapInterval);
    const auto report = verifyStorage(path);
    EXPECT_TRUE(report.ok()) << report.text();
}

TEST(PstNdb, NodeBTreeOfThreeLevelsAndSubnodeTreeWithSiblock)
{
    ScratchDir dir;
    const auto path = dir.path("nodes.pst");
    auto store = newStore(path);
    auto empty = store->writeData({});
    ASSERT_TRUE(empty.ok());
    std::vector<ndb::SubnodeEntry> subs;
    for (std::uint32_t i = 0; i < 1000; ++i) {
        auto bid = store->writeData(patternBytes(10, i));
        ASSERT_TRUE(bid.ok());
        subs.push_back({fmt::makeNid(fmt::NidType::Ltp, 1000 - i), *bid, 0});  // deliberately unsorted
    }
    auto sub = store->writeSubnodes(subs);
    ASSERT_TRUE(sub.ok());
    ASSERT_TRUE(store->putNode(store->newNid(fmt::NidType::Ltp), *empty, *sub, 0).ok());
    // 15 leaf entries x 20 x 20 = 6000 > 5000 > 300: the NBT needs three levels.
    for (int i = 0; i < 5000; ++i) {
        auto bid = store->writeData(patternBytes(4, static_cast<std::uint32_t>(i)));
        ASSERT_TRUE(bid.ok());
        ASSERT_TRUE(store->putNode(store->newNid(fmt::NidType::NormalMessage), *bid, 0, 0).ok());
    }
    ASSERT_TRUE(store->finish().ok());
    const auto report = verifyStorage(path);
    EXPECT_TRUE(report.ok()) << report.text();
    EXPECT_EQ(report.nodes, 5001u);
}

// More blocks than the block index keeps in memory: the rest is read back from its spool, and
// every block is still found where the index says, across the seam.
TEST(PstNdb, BlockIndexLargerThanItsMemoryIsWrittenWhole)
{
    ScratchDir dir;
    const auto path = dir.path("blocks.pst");
    auto store = newStore(path);
    constexpr int kBlocks = 2 * 32768 + 1234;
    for (int i = 0; i < kBlocks; ++i) {
        auto bid = store->writeData(patternBytes(8, static_cast<std::uint32_t>(i)));
        ASSERT_TRUE(bid.ok());
        ASSERT_TRUE(store->putNode(store->newNid(fmt::NidType::NormalMessage), *bid, 0, 0).ok());
    }
    auto finished = store->finish();
    ASSERT_TRUE(finished.ok()) << finished.error().detail;
    const auto report = verifyStorage(path);
    EXPECT_TRUE(report.ok()) << report.text();
    EXPECT_EQ(report.blocks, static_cast<std::size_t>(kBlocks));
}

TEST(PstNdb, RejectsMisuse)
{
    ScratchDir dir;
    auto store = newStore(dir.path("misuse.pst"));
    auto bid = store->writeData({});
    ASSERT_TRUE(bid.ok());
    const std::vector<std::vector<std::uint8_t>> tooBig{std::vector<std::uint8_t>(8177)};
    EXPECT_EQ(store->writeBlocks(tooBig).error().code, Code::InvalidArgument);
    const std::vector<ndb::SubnodeEntry> twice{{0x3F, *bid, 0}, {0x3F, *bid, 0}};
    EXPECT_EQ(store->writeSubnodes(twice).error().code, Code::InvalidArgument);
    ASSERT_TRUE(store->putNode(0x21, *bid, 0, 0).ok());
    ASSERT_TRUE(store->putNode(0x21, *bid, 0, 0).ok());  // found at finish
    const auto finished = store->finish();
    ASSERT_FALSE(finished.ok());
    EXPECT_FALSE(finished.error().detail.empty());
    // The first error sticks, and no file is presented.
    EXPECT_EQ(store->writeData({}).error().detail, finished.error().detail);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path("")));
}

TEST(PstNdb, AbandonedStoreLeavesNoFile)
{
    ScratchDir dir;
    {
        auto store = newStore(dir.path("gone.pst"));
        ASSERT_TRUE(store->writeData(patternBytes(50000, 1)).ok());
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path("")));
    auto missing = BlockStore::create(dir.path("no/such/dir/x.pst"));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code, Code::NotFound);
    EXPECT_FALSE(missing.error().detail.empty());
}
