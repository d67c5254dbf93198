// The verifier: it accepts an Outlook-made file and our own, and reports damage as issues with
// a place, never by crashing.
#include "engine/pst/property_tags.h"
#include "engine/pst/verify/verifier.h"
#include "pst_fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <tuple>

using namespace quillmark;
using namespace quillmark::pst;
using namespace quillmark::pst::test;

namespace {

std::vector<std::uint8_t> smallStore(const ScratchDir& dir)
{
    const auto path = dir.path("small.pst");
    auto store = MessageStore::create(path, "Small");
    EXPECT_TRUE(store.ok());
    auto& s = **store;
    const auto inbox = *s.addFolder(s.topOfPersonalFolders(), "Inbox");
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(s.addMessage(inbox, sampleMessage("Message " + std::to_string(i))).ok());
    EXPECT_TRUE(s.close().ok());
    return readFile(path);
}

std::string hex(std::uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

bool mentions(const VerifyReport& r, const std::string& words)
{
    for (const auto& e : r.errors)
        if ((e.where + ": " + e.what).find(words) != std::string::npos) return true;
    return false;
}

// Reads a fresh file the way a reader would, to find what a test damages.
class Peek {
public:
    explicit Peek(std::vector<std::uint8_t>& f) : m_f(f) {}
    std::uint64_t u(std::uint64_t at, int size) const
    {
        std::uint64_t v = 0;
        for (int i = size; i-- > 0;) v = (v << 8) | m_f[at + static_cast<std::uint64_t>(i)];
        return v;
    }
    void put(std::uint64_t at, int size, std::uint64_t v)
    {
        for (int i = 0; i < size; ++i)
            m_f[at + static_cast<std::uint64_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    std::uint64_t nbtRoot() const { return u(180 + 36 + 8, 8); }
    std::uint64_t bbtRoot() const { return u(180 + 52 + 8, 8); }
    // File offsets of the leaf entries of the B-tree whose root page is at ib.
    std::vector<std::uint64_t> leafEntries(std::uint64_t ib) const
    {
        std::vector<std::uint64_t> out;
        const std::uint64_t cEnt = m_f[ib + 488], cbEnt = m_f[ib + 490];
        for (std::uint64_t i = 0; i < cEnt; ++i) {
            if (m_f[ib + 491] == 0) {
                out.push_back(ib + i * cbEnt);
                continue;
            }
            const auto below = leafEntries(u(ib + i * cbEnt + 16, 8));
            out.insert(out.end(), below.begin(), below.end());
        }
        return out;
    }
    // The BBTENTRY of a block: (ib, cb).
    std::pair<std::uint64_t, std::size_t> block(std::uint64_t bid) const
    {
        for (const auto e : leafEntries(bbtRoot()))
            if (u(e, 8) == (bid & ~std::uint64_t{1})) return {u(e + 8, 8), static_cast<std::size_t>(u(e + 16, 2))};
        return {0, 0};
    }
    // The NBTENTRY of the first node of this type.
    std::uint64_t firstNode(fmt::NidType type) const
    {
        for (const auto e : leafEntries(nbtRoot()))
            if ((u(e, 4) & 0x1F) == static_cast<std::uint64_t>(type)) return e;
        return 0;
    }
    // The first internal block whose first byte is btype and whose size `fits`: (BID, ib, cb).
    std::tuple<std::uint64_t, std::uint64_t, std::size_t> firstInternal(
        std::uint8_t btype, const std::function<bool(std::size_t)>& fits = [](std::size_t) { return true; }) const
    {
        for (const auto e : leafEntries(bbtRoot()))
            if ((u(e, 8) & 2) && m_f[u(e + 8, 8)] == btype && fits(u(e + 16, 2)))
                return {u(e, 8), u(e + 8, 8), static_cast<std::size_t>(u(e + 16, 2))};
        return {0, 0, 0};
    }
    // The header's two CRCs, after a test changed it.
    void fixHeaderCrcs()
    {
        put(4, 4, crc32(std::span(m_f).subspan(8, 471)));
        put(524, 4, crc32(std::span(m_f).subspan(8, 516)));
    }
    // Makes a page or block whose bytes a test changed pass its CRC check again.
    void fixPageCrc(std::uint64_t ib) { put(ib + 500, 4, crc32(std::span(m_f).subspan(ib, 496))); }
    void fixBlockCrc(std::uint64_t ib, std::size_t cb)
    {
        put(ib + fmt::block::allocationSize(cb) - 12, 4, crc32(std::span(m_f).subspan(ib, cb)));
    }

private:
    std::vector<std::uint8_t>& m_f;
};

// The file offset of the first block (the BBT leaf's first BREF), found the way a reader would.
std::uint64_t firstBlockOffset(const std::vector<std::uint8_t>& f)
{
    std::uint64_t ib = 0, page = 0;
    for (int i = 0; i < 8; ++i) page |= std::uint64_t{f[180 + 52 + 8 + static_cast<std::size_t>(i)]} << (8 * i);
    while (f[page + 491] != 0) {  // cLevel: follow the first branch entry down
        std::uint64_t child = 0;
        for (int i = 0; i < 8; ++i) child |= std::uint64_t{f[page + 16 + static_cast<std::size_t>(i)]} << (8 * i);
        page = child;
    }
    for (int i = 0; i < 8; ++i) ib |= std::uint64_t{f[page + 8 + static_cast<std::size_t>(i)]} << (8 * i);
    return ib;
}

}  // namespace

TEST(PstVerify, AcceptsOutlookMadeFile)
{
    const auto npm = pstExtractorDir();
    const auto enron = npm / "node_modules" / "pst-extractor" / "example" / "testdata" / "enron.pst";
    if (npm.empty() || !std::filesystem::exists(enron))
        GTEST_SKIP() << "enron.pst from pst-extractor is not installed in " << PST_EXTRACTOR_DIR;
    auto report = verify(enron);
    ASSERT_TRUE(report.ok());
    EXPECT_TRUE(report->ok()) << report->text();
    EXPECT_EQ(report->messages, 71u);
    ASSERT_EQ(report->warnings.size(), 1u);  // Outlook leaves superseded blocks marked in its AMaps
    EXPECT_NE(report->warnings[0].what.find("marked but not in use"), std::string::npos);
}

TEST(PstVerify, FindsDamagedHeaderBlockAndPage)
{
    ScratchDir dir;
    const auto good = smallStore(dir);
    ASSERT_TRUE(verify(good).ok()) << verify(good).text();

    auto header = good;
    header[100] ^= 0x01;  // inside both header CRC ranges
    EXPECT_TRUE(mentions(verify(header), "dwCRCPartial"));
    EXPECT_TRUE(mentions(verify(header), "dwCRCFull"));

    auto block = good;
    block[firstBlockOffset(good)] ^= 0xFF;
    const auto blockReport = verify(block);
    EXPECT_TRUE(mentions(blockReport, "CRC does not match")) << blockReport.text();

    auto amap = good;
    amap[0x4400 + 10] = 0;  // slots in use no longer marked
    const auto amapReport = verify(amap);
    EXPECT_TRUE(mentions(amapReport, "AMap@0x4400")) << amapReport.text();
    EXPECT_TRUE(mentions(amapReport, "page trailer wrong")) << amapReport.text();
}

TEST(PstVerify, TruncatedOrGarbageInputNeverCrashes)
{
    ScratchDir dir;
    const auto good = smallStore(dir);
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{100}, std::size_t{0x4400}, good.size() / 2, good.size() - 1}) {
        SCOPED_TRACE(size);
        const std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(verify(cut).ok());
    }
    // Flip bytes all over the file; every run must end with a report.
    for (std::size_t at = 0x4400; at < good.size(); at += 4099) {
        auto bad = good;
        bad[at] ^= 0x5A;
        const auto r = verify(bad, 5);
        EXPECT_LE(r.errors.size(), 5u);
    }
}

TEST(PstVerify, ReportsMissingFileAsError)
{
    const auto r = verify(std::filesystem::path("/nonexistent/x.pst"));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, Code::NotFound);
    EXPECT_FALSE(r.error().detail.empty());
}

// Damage aimed at the structures a reader follows: each is reported, and none sends the verifier
// round a loop, past the end of a buffer or into a count it cannot hold.
TEST(PstVerify, TargetedDamageIsReportedNotFollowed)
{
    ScratchDir dir;
    const auto path = dir.path("damage.pst");
    {
        auto store = MessageStore::create(path, "Damage");
        ASSERT_TRUE(store.ok());
        auto& s = **store;
        const auto inbox = *s.addFolder(s.topOfPersonalFolders(), "Inbox");
        for (int i = 0; i < 30; ++i)
            ASSERT_TRUE(s.addMessage(inbox, sampleMessage("Message " + std::to_string(i))).ok());
        auto big = sampleMessage("Long body");
        big.body.assign(30000, 'b');  // a data tree with an XBLOCK
        ASSERT_TRUE(s.addMessage(inbox, big).ok());
        ASSERT_TRUE(s.close().ok());
    }
    const auto good = readFile(path);
    ASSERT_TRUE(verify(good).ok()) << verify(good).text();
    const auto expect = [](std::vector<std::uint8_t> bad, const std::string& words) {
        const auto r = verify(bad);
        EXPECT_TRUE(mentions(r, words)) << r.text();
    };
    {
        SCOPED_TRACE("a flipped byte of a block trailer's CRC");
        auto f = good;
        Peek p(f);
        const auto [ib, cb] = p.block(p.u(p.leafEntries(p.bbtRoot())[0], 8));
        f[ib + fmt::block::allocationSize(cb) - 12] ^= 0x01;
        expect(f, "CRC does not match");
    }
    {
        SCOPED_TRACE("B-tree branch pages pointing at themselves");
        for (const bool nbt : {true, false}) {
            auto f = good;
            Peek p(f);
            const auto root = nbt ? p.nbtRoot() : p.bbtRoot();
            ASSERT_NE(f[root + 491], 0) << "the tree needs a branch level";
            p.put(root + 8, 8, p.u(root + 504, 8));
            p.put(root + 16, 8, root);
            p.fixPageCrc(root);
            expect(f, "used twice");
        }
    }
    {
        SCOPED_TRACE("a B-tree leaf page with more entries than fit");
        auto f = good;
        Peek p(f);
        const auto leaf = p.leafEntries(p.bbtRoot())[0];
        f[leaf + 488] = 0xFF;
        p.fixPageCrc(leaf);
        expect(f, "cEnt/cEntMax/cbEnt inconsistent");
    }
    {
        SCOPED_TRACE("a heap page map with 65535 items");
        auto f = good;
        Peek p(f);
        const auto [ib, cb] = p.block(p.u(p.firstNode(fmt::NidType::NormalMessage) + 8, 8));
        p.put(ib + p.u(ib, 2), 2, 0xFFFF);
        p.fixBlockCrc(ib, cb);
        expect(f, "page map larger than the block");
    }
    {
        SCOPED_TRACE("an SLBLOCK with 65535 entries");
        auto f = good;
        Peek p(f);
        const auto [bid, ib, cb] = p.firstInternal(fmt::block::kTypeSubnode);
        ASSERT_NE(bid, 0u);
        p.put(ib + 2, 2, 0xFFFF);
        p.fixBlockCrc(ib, cb);
        expect(f, "wrong type, level or size");
    }
    {
        SCOPED_TRACE("an SLBLOCK turned into an SIBLOCK that lists itself");
        auto f = good;
        Peek p(f);
        const auto asSiBlock = [](std::size_t cb) { return cb > 32 && (cb - 8) % 16 == 0; };  // 2+ SLENTRYs
        const auto [bid, ib, cb] = p.firstInternal(fmt::block::kTypeSubnode, asSiBlock);
        ASSERT_NE(bid, 0u);
        f[ib + 1] = 1;
        p.put(ib + 2, 2, (cb - 8) / 16);
        for (std::size_t i = 0; i < (cb - 8) / 16; ++i) p.put(ib + 16 + 16 * i, 8, bid);
        p.fixBlockCrc(ib, cb);
        expect(f, "internal block " + hex(bid) + " reached twice");
    }
    {
        SCOPED_TRACE("an XBLOCK listing itself as its first data block");
        auto f = good;
        Peek p(f);
        const auto [bid, ib, cb] = p.firstInternal(fmt::block::kTypeData);
        ASSERT_NE(bid, 0u);
        p.put(ib + 8, 8, bid);
        p.fixBlockCrc(ib, cb);
        expect(f, "not the kind its parent block requires");
    }
    {
        SCOPED_TRACE("a block reference past the end of a 64-bit offset");
        auto f = good;
        Peek p(f);
        const auto leaf = p.leafEntries(p.bbtRoot())[0];
        p.put(leaf + 8, 8, ~std::uint64_t{0} - 63);  // ib + size wraps round to a small number
        p.fixPageCrc(leaf - (leaf - 0x4400) % 512);
        expect(f, "outside the file");
    }
    // The rules only Outlook enforces: our own files keep them, and a file that breaks them is told.
    {
        SCOPED_TRACE("a B-tree page whose BID has the reserved bit 0 set");
        auto f = good;
        Peek p(f);
        const auto root = p.nbtRoot();
        EXPECT_EQ(p.u(root + 504, 8) % 2, 0u) << "our pages have even BIDs";
        const auto bid = p.u(root + 504, 8) | 1;
        p.put(root + 504, 8, bid);
        p.put(root + 498, 2, computeSig(root, bid));
        p.fixPageCrc(root);
        p.put(180 + 36, 8, bid);  // the header's reference to the page
        p.fixHeaderCrcs();
        expect(f, "reserved bit 0");
    }
    {
        SCOPED_TRACE("a subnode ID beyond its type's counter in the header");
        auto f = good;
        Peek p(f);
        const std::uint64_t recipientTable = static_cast<std::uint64_t>(fmt::NidType::RecipientTable);
        p.put(44 + 4 * recipientTable, 4, 0x33);  // below the recipient tables' own index, 0x34
        p.fixHeaderCrcs();
        expect(f, "subnode 0x692 index above rgnid");
    }
}

// The file is read through a small window cache; what it reports must not depend on that.
TEST(PstVerify, FileGivesTheReportMemoryGives)
{
    ScratchDir dir;
    const auto path = dir.path("windows.pst");
    {
        auto store = MessageStore::create(path, "Windows");
        ASSERT_TRUE(store.ok());
        auto& s = **store;
        const auto inbox = *s.addFolder(s.topOfPersonalFolders(), "Inbox");
        for (int i = 0; i < 1500; ++i) {
            auto m = sampleMessage("Message " + std::to_string(i));
            m.body.append(static_cast<std::size_t>(i % 7) * 700, 'x');
            if (i % 500 == 0) {  // larger than what the verifier holds of a value
                Attachment a;
                a.fileName = "big.bin";
                a.data = patternBytes(std::size_t{300} << 10, static_cast<std::uint32_t>(i));
                m.attachments.push_back(a);
            }
            ASSERT_TRUE(s.addMessage(inbox, m).ok());
        }
        ASSERT_TRUE(s.close().ok());
    }
    auto bytes = readFile(path);
    ASSERT_GT(bytes.size(), std::size_t{8} << 20);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round > 0)  // then damaged all over
            for (std::size_t at = 0x4400 + 777 * static_cast<std::size_t>(round); at < bytes.size(); at += 1 << 20)
                bytes[at] ^= 0x10;
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        const auto fromFile = verify(path, 1000);
        ASSERT_TRUE(fromFile.ok()) << fromFile.error().detail;
        const auto fromMemory = verify(bytes, 1000);
        EXPECT_EQ(fromFile->text(), fromMemory.text());
        EXPECT_EQ(fromMemory.ok(), round == 0) << fromMemory.text();
    }
}

namespace {

// A store that holds one of everything the Outlook rules are about: a string-named property, a
// message with a conversation index, one-off entry IDs for its sender and recipients, and an
// attachment.
std::vector<std::uint8_t> storeForOutlookRules(const ScratchDir& dir)
{
    const auto path = dir.path("rules.pst");
    auto store = MessageStore::create(path, "Rules");
    EXPECT_TRUE(store.ok());
    auto& s = **store;
    EXPECT_TRUE(s.namedProperty(Guid{0x29, 0x03, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46}, "Keywords").ok());
    const auto inbox = *s.addFolder(s.topOfPersonalFolders(), "Inbox");
    auto m = sampleMessage("Re: Rules");
    m.replyTo.push_back({"Reply Desk", "desk@example.org"});
    std::vector<std::uint8_t> index(27, 0x5C);
    index[0] = 0x01;
    m.extra.push_back(Prop::binary(fmt::tagId(tag::kConversationIndex), index));
    Attachment a;
    a.fileName = "a.bin";
    a.data = patternBytes(100, 1);
    m.attachments.push_back(a);
    EXPECT_TRUE(s.addMessage(inbox, m).ok());
    EXPECT_TRUE(s.close().ok());
    return readFile(path);
}

// Changes the bytes of a block's payload where `needle` first occurs (the file is not encoded),
// in the whole file or in one node's data block, and mends the block's CRC so that only the rule
// under test is broken.
bool damageWhere(std::vector<std::uint8_t>& f, std::span<const std::uint8_t> needle,
                 const std::function<void(std::uint8_t*)>& change, std::optional<Nid> inNode = std::nullopt)
{
    Peek p(f);
    std::uint64_t from = 0x4400, to = f.size();
    if (inNode) {
        const auto nodes = p.leafEntries(p.nbtRoot());
        const auto e = std::find_if(nodes.begin(), nodes.end(), [&](auto at) { return p.u(at, 4) == *inNode; });
        if (e == nodes.end()) return false;
        const auto [ib, cb] = p.block(p.u(*e + 8, 8));
        from = ib;
        to = ib + cb;
    }
    const auto begin = f.begin() + static_cast<std::ptrdiff_t>(from), end = f.begin() + static_cast<std::ptrdiff_t>(to);
    const auto at = std::search(begin, end, needle.begin(), needle.end());
    if (at == end) return false;
    const auto offset = static_cast<std::uint64_t>(at - f.begin());
    for (const auto e : p.leafEntries(p.bbtRoot())) {
        const auto ib = p.u(e + 8, 8);
        const auto cb = static_cast<std::size_t>(p.u(e + 16, 2));
        if (offset < ib || offset >= ib + cb) continue;
        change(&*at);
        p.fixBlockCrc(ib, cb);
        return true;
    }
    return false;
}

bool warns(const VerifyReport& r, const std::string& words)
{
    for (const auto& w : r.warnings)
        if ((w.where + ": " + w.what).find(words) != std::string::npos) return true;
    return false;
}

}  // namespace

// Each rule only Outlook enforces, broken in a copy of a sound file, is reported by name.
TEST(PstVerify, EachOutlookRuleBrokenInACopyIsCaught)
{
    ScratchDir dir;
    const auto good = storeForOutlookRules(dir);
    ASSERT_TRUE(verify(good).ok()) << verify(good).text();
    const auto expect = [&](const std::vector<std::uint8_t>& needle, const std::function<void(std::uint8_t*)>& change,
                            const std::string& words, std::optional<Nid> inNode = std::nullopt) {
        auto f = good;
        ASSERT_TRUE(damageWhere(f, needle, change, inNode)) << "nothing to damage for: " << words;
        const auto r = verify(f);
        EXPECT_TRUE(mentions(r, words) || warns(r, words)) << r.text();
    };
    const std::vector<std::uint8_t> oneOffUid{0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                              0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
    {
        SCOPED_TRACE("a string name's bucket record with another CRC");
        const auto name = utf16le("Keywords");
        const auto crc = crc32(name);
        expect(
            {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc >> 16),
             static_cast<std::uint8_t>(crc >> 24)},
            [](std::uint8_t* b) { b[0] ^= 0x01; }, "not in the hash bucket it selects");
    }
    {
        SCOPED_TRACE("an entry ID with flags set");
        expect(
            oneOffUid, [](std::uint8_t* b) { b[-4] = 0x01; }, "is not an entry ID");
    }
    {
        SCOPED_TRACE("a one-off entry ID of another version");
        expect(
            oneOffUid, [](std::uint8_t* b) { b[16] = 0x01; }, "of no known version");
    }
    {
        SCOPED_TRACE("a one-off entry ID whose address runs to its end");
        auto needle = utf16le(std::string("SMTP") + '\0' + "ann@example.org");
        needle.insert(needle.end(), {0, 0});
        expect(
            needle, [&](std::uint8_t* b) { b[needle.size() - 2] = 'x'; }, "not terminated");
    }
    {
        SCOPED_TRACE("a reply-to entry ID whose address runs to its end");
        auto needle = utf16le(std::string("SMTP") + '\0' + "desk@example.org");
        needle.insert(needle.end(), {0, 0});
        expect(
            needle, [&](std::uint8_t* b) { b[needle.size() - 2] = 'x'; },
            "PidTagReplyRecipientEntries is a one-off entry ID whose names are not terminated");
    }
    {
        SCOPED_TRACE("a reply-to list that claims two entry IDs");
        // One entry: count 1, 96 bytes follow, the entry's 90 bytes (with their padding), flags 0.
        expect(
            {1, 0, 0, 0, 96, 0, 0, 0, 90, 0, 0, 0, 0, 0, 0, 0}, [](std::uint8_t* b) { b[0] = 2; },
            "PidTagReplyRecipientEntries lists more entry IDs than it holds");
    }
    {
        SCOPED_TRACE("a conversation index whose reserved byte is not 1");
        expect(
            {0x01, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C}, [](std::uint8_t* b) { b[0] = 0x02; }, "PidTagConversationIndex");
    }
    {
        SCOPED_TRACE("an attachment without its number");
        expect(
            {0x21, 0x0E, 0x03, 0x00}, [](std::uint8_t* b) { b[0] = 0x22; }, "PidTagAttachNumber missing");
    }
    {
        SCOPED_TRACE("a search activity list naming a normal folder");
        expect(
            {0x23, 0x22, 0, 0}, [](std::uint8_t* b) { b[0] = 0x22; }, "names 0x2222, no search folder",
            fmt::nid::kSearchActivityList);
    }
    {
        SCOPED_TRACE("a receive folder table naming no folder");
        expect(
            {0x22, 0x01, 0, 0}, [](std::uint8_t* b) { b[1] = 0x05; }, "row 1: names no folder",
            fmt::nid::kReceiveFolderTable);
    }
    {
        SCOPED_TRACE("a table row of version 0");
        expect(
            {1, 0, 0, 0, 1, 0, 0, 0}, [](std::uint8_t* b) { b[4] = 0; }, "rows with PidTagLtpRowVer 0",
            fmt::nid::kReceiveFolderTable);
    }
    {
        SCOPED_TRACE("a message whose has-attachments property denies its attachment");
        expect(
            {0x1B, 0x0E, 0x0B, 0x00, 0x01}, [](std::uint8_t* b) { b[4] = 0; }, "PidTagHasAttachments");
    }
    {
        SCOPED_TRACE("an attachment of another object type");
        expect(
            {0xFE, 0x0F, 0x03, 0x00}, [](std::uint8_t* b) { b[0] = 0xFD; }, "PidTagObjectType is not 7");
    }
}
