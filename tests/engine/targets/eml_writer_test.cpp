// The EML target on a mailbox large enough for its writer threads: files and outcomes as when each
// message is written as it is cut, in mailbox order, also when a write fails or the job stops.
#include "engine/job/conversion_job.h"
#include "platform/fault_injection.h"
#include "platform/paths.h"
#include "support/fake_host.h"
#include "support/mbox_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>

namespace quillmark {
namespace {

namespace fs = std::filesystem;
using testing::FakeHost;
using testing::Mail;
using testing::TempDir;

constexpr std::size_t kMany = 300;  // several batches for the writer threads
const std::vector<std::size_t> kHeadersOnly = {7, 150, kMany - 1};

// Sizes from a line to a few hundred kilobytes; some held only in part by Thunderbird.
std::vector<Mail> manyMails()
{
    std::vector<Mail> mails;
    for (std::size_t j = 0; j < kMany; ++j) {
        const std::size_t size = j % 50 == 3 ? 300000 : 20 + (j * 7919) % 5000;
        mails.push_back({"u" + std::to_string(j) + "@example.com", "m" + std::to_string(j),
                         std::string(size, static_cast<char>('a' + j % 26))});
    }
    for (std::size_t j : kHeadersOnly) mails[j].extraHeaders = "X-Mozilla-Status2: 00000400\n";
    return mails;
}

struct EmlRun {
    explicit EmlRun(std::vector<Mail> m = manyMails()) : mails(std::move(m)) {}

    TempDir dir;
    FakeHost host;
    std::vector<Mail> mails;
    std::string inbox = dir.write("Inbox", testing::mboxOf(mails)).string();
    fs::path folder = platform::toPath(platform::mailboxOutputFolder((dir / "out/").string(), inbox));

    Report run()
    {
        fs::remove_all(dir / "out");
        JobSettings settings;
        settings.outputFolder = (dir / "out/").string();
        settings.progressInterval = std::chrono::milliseconds(0);
        ConversionJob job(host, settings);
        const std::vector<std::string> rows{inbox};
        return job.run(rows);
    }

    // The folder holds Email-j for exactly the messages of `written`, each as its message.
    void expectFiles(const std::vector<std::size_t>& written) const
    {
        std::vector<std::string> names;
        for (std::size_t j : written) names.push_back("Email-" + std::to_string(j) + ".eml");
        std::sort(names.begin(), names.end());
        ASSERT_EQ(testing::listFiles(folder), names);
        for (std::size_t j : written)
            ASSERT_EQ(testing::readFile(folder / ("Email-" + std::to_string(j) + ".eml")),
                      testing::expectedEml(mails[j]))
                << j;
    }
};

std::vector<std::size_t> upTo(std::size_t n, std::optional<std::size_t> except = std::nullopt)
{
    std::vector<std::size_t> v;
    for (std::size_t j = 0; j < n; ++j)
        if (j != except) v.push_back(j);
    return v;
}

std::vector<std::uint64_t> messagesOf(const Report& r)
{
    std::vector<std::uint64_t> v;
    for (const auto& p : r.problems) v.push_back(p.message.value_or(~std::uint64_t{0}));
    return v;
}

TEST(EmlWriter, ManyMessagesGiveEveryFileAndOutcomeInMailboxOrder)
{
    EmlRun r;
    const Report report = r.run();
    EXPECT_EQ(report.messagesWritten, kMany);
    EXPECT_EQ(report.messagesRecovered, kHeadersOnly.size());
    EXPECT_EQ(messagesOf(report), std::vector<std::uint64_t>(kHeadersOnly.begin(), kHeadersOnly.end()));
    r.expectFiles(upTo(kMany));
    // "Saved Email-j" for every message, in order, each after its "Saving: ..." figures.
    const auto labels = r.host.labels(Label::LblProgress);
    std::size_t next = 0;
    for (std::size_t i = 0; i < labels.size(); ++i)
        if (labels[i].starts_with("Saved ")) {
            EXPECT_EQ(labels[i], savedText(next)) << i;
            ASSERT_GT(i, 0u);
            EXPECT_TRUE(
                labels[i - 1].starts_with("Saving: " + std::to_string(testing::expectedEml(r.mails[next]).size())))
                << labels[i - 1];
            ++next;
        }
    EXPECT_EQ(next, kMany);
}

// Each message is written with one write, by whichever writer thread takes its batch: the nth
// write fails one message, whose outcome comes in its place.
TEST(EmlWriter, AFailedWriteFailsThatMessageOnlyAndInItsPlace)
{
    EmlRun r;
    for (std::size_t n : {std::size_t{1}, std::size_t{40}, std::size_t{151}, kMany}) {
        SCOPED_TRACE("write " + std::to_string(n));
        platform::faults::failNth(platform::faults::Op::Write, static_cast<std::int64_t>(n));
        const Report report = r.run();
        platform::faults::failNth(platform::faults::Op::Write, 0);
        EXPECT_FALSE(report.fatal);
        EXPECT_EQ(report.messagesWritten, kMany - 1);
        ASSERT_EQ(report.messagesFailed, 1u);
        const auto failed = std::find_if(report.problems.begin(), report.problems.end(),
                                         [](const Problem& p) { return p.severity == Severity::MessageFailed; });
        ASSERT_NE(failed, report.problems.end());
        ASSERT_TRUE(failed->message);
        const std::size_t f = static_cast<std::size_t>(*failed->message);
        EXPECT_NE(failed->error.detail.find("Input/output error"), std::string::npos) << failed->error.detail;
        std::vector<std::uint64_t> expected;
        for (std::size_t j : kHeadersOnly)
            if (j != f) expected.push_back(j);
        expected.insert(std::upper_bound(expected.begin(), expected.end(), f), f);
        ASSERT_EQ(messagesOf(report), expected);
        r.expectFiles(upTo(kMany, f));
    }
}

// Fails the 1st, 2nd, ... read of the mailbox: a message whose head or text cannot be read fails
// alone, and its failure comes in its place among the outcomes of the messages in flight. Each
// message is held only in part by Thunderbird, so each has an outcome in the list, and each is
// small, so that the reads go with the messages' heads.
TEST(EmlWriter, AFailedReadFailsThatMessageInItsPlace)
{
    std::vector<Mail> mails;
    for (std::size_t j = 0; j < 800; ++j)
        mails.push_back({"a@example.com", "m" + std::to_string(j), std::string(3000 + j % 500, 'r'),
                         "X-Mozilla-Status2: 00000400\n"});
    EmlRun r(mails);
    std::size_t messageFailures = 0;
    for (int n = 1; n < 100; ++n) {
        SCOPED_TRACE("read " + std::to_string(n));
        platform::faults::failNth(platform::faults::Op::Read, n);
        const Report report = r.run();
        platform::faults::failNth(platform::faults::Op::Read, 0);
        if (report.succeeded()) break;
        ASSERT_FALSE(report.problems.empty());
        if (!report.problems[0].message) continue;  // the search failed: nothing was written
        ++messageFailures;
        const auto order = messagesOf(report);
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
        EXPECT_EQ(report.messagesFailed, 1u);
        EXPECT_EQ(report.messagesWritten, mails.size() - 1);
        std::optional<std::size_t> failed;
        for (const auto& p : report.problems)
            if (p.severity == Severity::MessageFailed) failed = static_cast<std::size_t>(*p.message);
        ASSERT_TRUE(failed);
        r.expectFiles(upTo(mails.size(), failed));
    }
    EXPECT_GE(messageFailures, 2u);
}

// Cancelled midway: the messages cut are written, and the files there are exactly the messages
// told written, none half there.
TEST(EmlWriter, CancelKeepsExactlyTheMessagesToldWritten)
{
    EmlRun r;
    int asked = 0;
    // Asked before each message, once the messages are counted.
    r.host.cancelWhen = [&] { return !r.host.lastLabel(Label::LblEmlsFound).empty() && ++asked > 120; };
    const Report report = r.run();
    ASSERT_TRUE(report.cancelled);
    EXPECT_EQ(report.messagesWritten, 120u);  // each message taken before the cancel
    EXPECT_EQ(report.messagesFailed, 0u);
    r.expectFiles(upTo(report.messagesWritten));
    EXPECT_EQ(partlyConvertedLines(report),
              std::vector<std::string>{r.inbox + ": " + std::to_string(report.messagesWritten) + " of "
                                       + std::to_string(kMany) + " messages written"});
}

}  // namespace
}  // namespace quillmark
