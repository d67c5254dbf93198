// The node index of a PST under construction: nodes in rising order spooled, the others held, and
// all of them read back merged in NID order.
#include "engine/pst/byte_io.h"
#include "engine/pst/ndb/node_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace quillmark;
using namespace quillmark::pst;

namespace {

// Every record the index gives, read in pieces of `perRead` records as the B-tree writer reads.
std::vector<Nid> readAll(ndb::NodeIndex& index, std::size_t perRead, std::vector<ndb::NodeEntry>* entries = nullptr)
{
    std::vector<Nid> nids;
    std::vector<std::uint8_t> out;
    for (std::size_t from = 0; from < index.size(); from += perRead) {
        const std::size_t n = std::min(perRead, index.size() - from);
        out.assign(n * fmt::btpage::kNbtEntry, 0xEE);
        const auto r = index.read(from, out);
        EXPECT_TRUE(r.ok()) << r.error().detail;
        for (std::size_t i = 0; i < n; ++i) {
            const auto record = std::span(out).subspan(i * fmt::btpage::kNbtEntry, fmt::btpage::kNbtEntry);
            nids.push_back(static_cast<Nid>(bytes::get<std::uint64_t>(record, 0)));
            if (entries)
                entries->push_back({nids.back(), bytes::get<std::uint64_t>(record, 8),
                                    bytes::get<std::uint64_t>(record, 16), bytes::get<std::uint32_t>(record, 24)});
        }
    }
    return nids;
}

TEST(NodeIndex, GivesEveryNodeInNidOrderWhereverItWasKept)
{
    ndb::NodeIndex index;
    std::vector<Nid> expected;
    // Messages in rising order, far past what is held in memory, with folders' nodes (lower
    // NIDs, as they are made at the end) among them.
    const std::size_t messages = 3 * ndb::NodeIndex::kHeld + 123;
    for (std::size_t i = 0; i < messages; ++i) {
        const Nid nid = static_cast<Nid>(((i + 1000) << 5) | 4);
        ASSERT_TRUE(index.add({nid, 8u * i + 4, i % 3 ? 0u : 8u * i + 8, 0x8022}).ok());
        expected.push_back(nid);
        if (i % 5000 == 0) {
            const Nid folderTable = static_cast<Nid>(((i / 5000 + 10) << 5) | 0xE);
            ASSERT_TRUE(index.add({folderTable, 2, 0, 0}).ok());
            expected.push_back(folderTable);
        }
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(index.size(), expected.size());
    ASSERT_TRUE(index.seal().ok());
    std::vector<ndb::NodeEntry> entries;
    EXPECT_EQ(readAll(index, 15, &entries), expected);  // 15 records fill an NBT leaf page
    // A message's entry comes back whole from the file.
    const auto message
        = std::find_if(entries.begin(), entries.end(), [](const auto& e) { return e.nid == (1007u << 5 | 4); });
    ASSERT_NE(message, entries.end());
    EXPECT_EQ(message->data, 8u * 7 + 4);
    EXPECT_EQ(message->sub, 0u);
    EXPECT_EQ(message->parent, 0x8022u);
    // Sealed again, it reads the same again; out of turn, it refuses.
    ASSERT_TRUE(index.seal().ok());
    std::vector<std::uint8_t> page(fmt::btpage::kNbtEntry);
    EXPECT_FALSE(index.read(1, page).ok());
}

TEST(NodeIndex, ANidAddedTwiceIsRefusedWhereverTheTwoWereKept)
{
    for (const bool spooled : {false, true}) {
        ndb::NodeIndex held, mixed;
        const std::size_t n = spooled ? ndb::NodeIndex::kHeld + 10 : 10;
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(held.add({static_cast<Nid>((i + 1) << 5 | 4), 4, 0, 0}).ok());
            ASSERT_TRUE(mixed.add({static_cast<Nid>((i + 1) << 5 | 4), 4, 0, 0}).ok());
        }
        // Twice among the others, and once among the others and once among the rising ones.
        ASSERT_TRUE(held.add({2, 4, 0, 0}).ok());
        ASSERT_TRUE(held.add({2, 4, 0, 0}).ok());
        EXPECT_FALSE(held.seal().ok());
        ASSERT_TRUE(mixed.add({3u << 5 | 4, 4, 0, 0}).ok());
        ASSERT_TRUE(mixed.seal().ok());
        std::vector<std::uint8_t> out(mixed.size() * fmt::btpage::kNbtEntry);
        EXPECT_FALSE(mixed.read(0, out).ok());
    }
}

}  // namespace
