// The verifier: it accepts an Outlook-made file and our own, and reports damage as issues with
// a place, never by crashing.
#include "engine/pst/verify/verifier.h"
#include "pst_fixtures.h"

#include <gtest/gtest.h>

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
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(s.addMessage(inbox, sampleMessage("Message " + std::to_string(i))).ok());
    EXPECT_TRUE(s.close().ok());
    return readFile(path);
}

bool mentions(const VerifyReport& r, const std::string& words)
{
    for (const auto& e : r.errors)
        if ((e.where + ": " + e.what).find(words) != std::string::npos)
            return true;
    return false;
}

// The file offset of the first block (the BBT leaf's first BREF), found the way a reader would.
std::uint64_t firstBlockOffset(const std::vector<std::uint8_t>& f)
{
    std::uint64_t ib = 0, page = 0;
    for (int i = 0; i < 8; ++i)
        page |= std::uint64_t{f[180 + 52 + 8 + static_cast<std::size_t>(i)]} << (8 * i);
    while (f[page + 491] != 0) {  // cLevel: follow the first branch entry down
        std::uint64_t child = 0;
        for (int i = 0; i < 8; ++i)
            child |= std::uint64_t{f[page + 16 + static_cast<std::size_t>(i)]} << (8 * i);
        page = child;
    }
    for (int i = 0; i < 8; ++i)
        ib |= std::uint64_t{f[page + 8 + static_cast<std::size_t>(i)]} << (8 * i);
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
    for (const std::size_t size : {std::size_t{0}, std::size_t{100}, std::size_t{0x4400}, good.size() / 2, good.size() - 1}) {
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
