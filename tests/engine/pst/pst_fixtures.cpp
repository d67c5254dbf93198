#include "pst_fixtures.h"

#include "engine/pst/verify/verifier.h"
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

namespace quillmark::pst::test {

ScratchDir::ScratchDir()
{
    std::random_device rd;
    m_dir = std::filesystem::temp_directory_path() / ("pst-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(m_dir);
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

std::vector<std::uint8_t> patternBytes(std::size_t size, std::uint32_t seed)
{
    std::vector<std::uint8_t> out(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return out;
}

std::vector<std::uint8_t> readFile(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Message sampleMessage(const std::string& subject)
{
    Message m;
    m.subject = subject;
    m.senderName = "Ann Sender";
    m.senderEmail = "ann@example.org";
    m.body = "Hello,\r\nthis is " + subject + ".\r\n";
    m.submitTime = fileTimeFromUnix(1700000000);
    m.deliveryTime = fileTimeFromUnix(1700000100);
    m.recipients.push_back({Recipient::Kind::To, "Bob Receiver", "bob@example.org", {}});
    m.recipients.push_back({Recipient::Kind::Cc, "Carol", "carol@example.org", {}});
    return m;
}

std::filesystem::path pstCheckScript()
{
    std::filesystem::path p = PST_CHECK_SCRIPT;
    return std::filesystem::exists(p) ? p : std::filesystem::path{};
}

std::filesystem::path pstExtractorDir()
{
    std::filesystem::path p = PST_EXTRACTOR_DIR;
    return std::filesystem::exists(p / "node_modules" / "pst-extractor") ? p : std::filesystem::path{};
}

void expectPstValid(const std::filesystem::path& pst)
{
    auto report = verify(pst, 20);
    ASSERT_TRUE(report.ok()) << report.error().detail;
    EXPECT_TRUE(report->ok()) << report->text();
    EXPECT_TRUE(report->warnings.empty()) << report->text();
    const auto script = pstCheckScript();
    if (script.empty() || !testing::haveProgram("python3")) return;
    // --outlook: also the rules only Outlook enforces, which readers skip.
    const auto run = testing::runProgram({"python3", script.string(), pst.string(), "--outlook"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("0 error(s), 0 warning(s)"), std::string::npos) << run.output;
}

}  // namespace quillmark::pst::test
