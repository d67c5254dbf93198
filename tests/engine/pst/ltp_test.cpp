// The LTP layer: heap blocks and page maps, BTH levels, table layouts.
#include "engine/pst/byte_io.h"
#include "engine/pst/ltp/heap_table.h"
#include "pst_fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace quillmark;
using namespace quillmark::pst;
using namespace quillmark::pst::ltp;

namespace {

// (offset of the page map, item count) of a heap block
std::pair<std::size_t, std::size_t> pageMap(const Bytes& block)
{
    const std::size_t at = bytes::get<std::uint16_t>(block, 0);
    return {at, bytes::get<std::uint16_t>(block, at)};
}

}  // namespace

TEST(PstHeap, RejectsAllocationLargerThanPage)
{
    HeapBuilder heap(fmt::hn::kClientPC);
    const Bytes big(3581, 1);
    const auto r = heap.allocate(big);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, Code::InvalidArgument);
    EXPECT_FALSE(r.error().detail.empty());
    EXPECT_TRUE(heap.allocate(Bytes(3580, 1)).ok());
}

TEST(PstHeap, HidsNameBlockAndIndex)
{
    HeapBuilder heap(fmt::hn::kClientPC);
    EXPECT_EQ(*heap.allocate(Bytes(10, 1)), 0x20u);
    EXPECT_EQ(*heap.allocate(Bytes(0)), 0x40u);  // empty items are allowed
    EXPECT_EQ(*heap.allocate(Bytes(3580, 2)), 0x60u);
    EXPECT_EQ(*heap.allocate(Bytes(3580, 3)), 0x80u);
    EXPECT_EQ(*heap.allocate(Bytes(3580, 4)), (1u << 16) | 0x20u);  // block 0 is full
    EXPECT_EQ(*heap.allocate(Bytes(100, 5)), 0xA0u);                // but still has room for this
    EXPECT_EQ(heap.item(0x80)[0], 3);
}

TEST(PstHeap, BlocksBeforeTheLastAreFullAndMapsAligned)
{
    {
        // Dirty memory for the allocator to hand out again, so that bytes the heap does not write show.
        std::vector<std::unique_ptr<std::uint8_t[]>> dirty;
        for (int i = 0; i < 64; ++i) std::fill_n(dirty.emplace_back(new std::uint8_t[8176]).get(), 8176, 0xA5);
    }
    HeapBuilder heap(fmt::hn::kClientTC);
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(heap.allocate(Bytes(3001 + static_cast<std::size_t>(i), 7)).ok());
    heap.setUserRoot(0x20);
    const auto blocks = heap.takeBlocks();
    ASSERT_GT(blocks.size(), 9u);  // past block 8, which carries a fill-level bitmap header
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        SCOPED_TRACE(i);
        const auto [map, items] = pageMap(blocks[i]);
        EXPECT_EQ(map % 2, 0u);
        const std::size_t mapEnd = map + 4 + 2 * (items + 1);
        if (i + 1 < blocks.size()) {
            EXPECT_EQ(blocks[i].size(), 8176u);
            EXPECT_LE(8176 - mapEnd, 63u);
        } else {
            EXPECT_EQ(blocks[i].size(), mapEnd);
        }
        const std::size_t firstItem = bytes::get<std::uint16_t>(blocks[i], map + 4);
        EXPECT_EQ(firstItem, i == 0 ? 12u : i == 8 ? 66u : 2u);
        // Nothing left over from memory: every item is ours (7s) or a filler (0s), and the
        // alignment byte before the map and the bytes after it are 0.
        for (std::size_t k = 0; k < items; ++k) {
            const std::size_t from = bytes::get<std::uint16_t>(blocks[i], map + 4 + 2 * k);
            const std::size_t to = bytes::get<std::uint16_t>(blocks[i], map + 6 + 2 * k);
            const auto item = std::span(blocks[i]).subspan(from, to - from);
            const std::uint8_t fill = item.empty() ? 0 : item[0];
            EXPECT_TRUE(fill == 7 || fill == 0) << k;
            EXPECT_EQ(std::count(item.begin(), item.end(), fill), static_cast<std::ptrdiff_t>(item.size())) << k;
            if (k + 1 == items && to < map) {
                EXPECT_EQ(blocks[i][to], 0);
            }
        }
        EXPECT_EQ(std::count(blocks[i].begin() + static_cast<std::ptrdiff_t>(mapEnd), blocks[i].end(), 0),
                  static_cast<std::ptrdiff_t>(blocks[i].size() - mapEnd));
    }
    EXPECT_EQ(blocks[0][2], 0xEC);
    EXPECT_EQ(blocks[0][3], fmt::hn::kClientTC);
}

TEST(PstBth, IndexLevelAppearsWhenLeavesOverflowOneItem)
{
    HeapBuilder heap(fmt::hn::kClientPC);
    auto header = reserveBthHeader(heap);
    ASSERT_TRUE(header.ok());
    Bytes records;
    for (std::uint32_t k = 0; k < 1000; ++k) {  // 8000 bytes of records: three leaves
        bytes::append<std::uint32_t>(records, k * 2);
        bytes::append<std::uint32_t>(records, k);
    }
    ASSERT_TRUE(writeBth(heap, *header, 4, 4, records).ok());
    const auto h = heap.item(*header);
    EXPECT_EQ(h[0], fmt::bth::kType);
    EXPECT_EQ(h[3], 1);  // one index level
    const auto root = heap.item(bytes::get<std::uint32_t>(h, 4));
    ASSERT_EQ(root.size(), 3u * 8);
    EXPECT_EQ(bytes::get<std::uint32_t>(root, 0), 0u);
    EXPECT_LT(bytes::get<std::uint32_t>(root, 0), bytes::get<std::uint32_t>(root, 8));
}

// find() is a hash lookup: every column is found by its tag, at any table width, and a tag with
// the same ID but another type, or any other tag, finds nothing.
TEST(PstTableSchema, FindsEveryColumnAndNothingElse)
{
    for (const std::size_t width : {1u, 7u, 8u, 60u, 253u}) {
        SCOPED_TRACE(width);
        std::vector<PropTag> tags;
        for (std::size_t i = 0; i < width; ++i)
            tags.push_back(fmt::makeTag(static_cast<std::uint16_t>(0x8000 + 37 * i), i % 2 ? 0x0003 : 0x001F));
        const auto s = TableSchema::fromTags(tags);
        ASSERT_EQ(s.columns().size(), width + 2);
        for (const PropTag t : tags) {
            const Column* c = s.find(t);
            ASSERT_NE(c, nullptr);
            EXPECT_EQ(c->tag, t);
            EXPECT_EQ(s.find((t & 0xFFFF0000u) | 0x0102u), nullptr);
            EXPECT_EQ(s.find(t + 0x10000u), nullptr);
        }
    }
    EXPECT_EQ(TableSchema{}.find(0x67F20003), nullptr);
}

TEST(PstTableSchema, RowIdFirstColumnsSortedGroupsBySize)
{
    const PropTag tags[] = {0x3001001F, 0x0E070003, 0x0E060040, 0x360A000B, 0x00170003, 0x0E070003};
    const auto s = TableSchema::fromTags(tags);
    const auto cols = s.columns();
    ASSERT_EQ(cols.size(), 7u);  // the duplicate dropped, row ID and version added
    EXPECT_TRUE(std::is_sorted(cols.begin(), cols.end(), [](auto& a, auto& b) { return a.tag < b.tag; }));
    const auto* rowId = s.find(0x67F20003);
    const auto* rowVer = s.find(0x67F30003);
    ASSERT_TRUE(rowId && rowVer);
    EXPECT_EQ(rowId->ibData, 0);
    EXPECT_EQ(rowId->iBit, 0);
    EXPECT_EQ(rowVer->ibData, 4);
    EXPECT_EQ(rowVer->iBit, 1);
    EXPECT_EQ(s.find(0x0E060040)->cbData, 8);  // a time sits in the row
    EXPECT_EQ(s.find(0x3001001F)->cbData, 4);  // a string is an HNID
    EXPECT_EQ(s.find(0x360A000B)->cbData, 1);
    const auto ends = s.groupEnds();
    EXPECT_EQ(ends[0], 8 + 8 + 4 + 4 + 4);  // row ID/version, time, two int32, one HNID
    EXPECT_EQ(ends[1], ends[0]);            // no 2-byte cells
    EXPECT_EQ(ends[2], ends[1] + 1);
    EXPECT_EQ(ends[3], ends[2] + 1);  // 7 columns: one CEB byte
    EXPECT_EQ(s.find(0x0E060040)->ibData % 8, 0);
}
