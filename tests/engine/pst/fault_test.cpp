// Write failures (a full disk, a file-size limit, a failing disk) reach the caller as errors,
// stick, and leave no file behind, whichever write fails: the store's blocks, its row spool, the
// growth to whole intervals, the maps, the header, the sync and the rename into place.
#include "engine/job/conversion_job.h"
#include "engine/pst/verify/verifier.h"
#include "platform/fault_injection.h"
#include "platform/paths.h"
#include "pst_fixtures.h"
#include "support/fake_host.h"
#include "support/mbox_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace quillmark;
using namespace quillmark::pst;
using namespace quillmark::pst::test;

namespace {

namespace fs = std::filesystem;
namespace support = quillmark::testing;
using platform::faults::Op;

std::vector<std::string> namesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    return names;
}

// How one run of writeStore() ended: its first error, and what a later call said.
struct StoreRun {
    std::optional<Error> failure;
    std::optional<Error> later;
};

// A small store that still takes every kind of write: blocks in several 1 MB flushes, contents
// rows through the scratch file, and at close the B-trees, maps, header, sync and rename.
StoreRun writeStore(const fs::path& path)
{
    StoreOptions options;
    options.rowMemory = 1;
    auto created = MessageStore::create(path, "Faults", options);
    if (!created) return {created.error(), created.error()};
    auto& s = **created;
    StoreRun run;
    const auto inbox = s.addFolder(s.topOfPersonalFolders(), "Inbox");
    if (!inbox) return {inbox.error(), inbox.error()};
    for (std::uint32_t i = 0; i < 4 && !run.failure; ++i) {
        auto m = sampleMessage("Message " + std::to_string(i));
        Attachment a;
        a.fileName = "blob.bin";
        a.data = patternBytes(600 * 1024, i);
        m.attachments.push_back(std::move(a));
        if (auto id = s.addMessage(*inbox, std::move(m)); !id) run.failure = id.error();
    }
    auto closed = s.close();
    if (!run.failure && closed) return run;
    if (!run.failure) {
        run.failure = closed.error();
        closed = s.close();
    }
    run.later = closed.error();
    return run;
}

// Fails the 1st, 2nd, ... write until a run meets no fault. With `replacing`, a store of that
// name is there first: a failed run must leave it as it was, the run that succeeds replaces it.
int failEachWriteOfAStore(bool replacing)
{
    ScratchDir dir;
    const auto path = dir.path("faults.pst");
    std::vector<std::uint8_t> before;
    if (replacing) {
        auto old = MessageStore::create(path, "Old");
        EXPECT_TRUE(old.ok() && (*old)->close().ok());
        before = readFile(path);
    }
    int n = 1;
    for (; n < 200; ++n) {
        SCOPED_TRACE("write " + std::to_string(n));
        platform::faults::failNth(Op::Write, n);
        const StoreRun run = writeStore(path);
        platform::faults::failNth(Op::Write, 0);
        if (!run.failure) break;
        EXPECT_EQ(run.failure->code, Code::Io);
        EXPECT_NE(run.failure->detail.find("Input/output error"), std::string::npos) << run.failure->detail;
        EXPECT_EQ(run.later.value_or(Error{}).detail, run.failure->detail) << "the first error must stick";
        if (replacing) {
            EXPECT_EQ(namesIn(dir.path("")), std::vector<std::string>{"faults.pst"});
            EXPECT_TRUE(readFile(path) == before) << "the file that was there is damaged";
        } else {
            EXPECT_TRUE(namesIn(dir.path("")).empty()) << namesIn(dir.path("")).front();
        }
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_EQ(namesIn(dir.path("")), std::vector<std::string>{"faults.pst"});
    EXPECT_PST_VALID(path);
    EXPECT_FALSE(readFile(path) == before);
    return n;
}

}  // namespace

TEST(PstFault, EveryFailedWriteIsReportedStickyAndLeavesNoFile)
{
    const int runs = failEachWriteOfAStore(false);
    // Spooled rows, block flushes, the size, map pages, DList, header, sync and rename come to
    // some 25 writes: far fewer means some of them escaped the plan.
    EXPECT_GE(runs, 15);
    EXPECT_LT(runs, 200);
}

TEST(PstFault, AFailedStoreLeavesTheFileItWouldReplaceAsItWas)
{
    const int runs = failEachWriteOfAStore(true);
    EXPECT_GE(runs, 15);
    EXPECT_LT(runs, 200);
}

// The same through the conversion job: each run that meets a fault says why, counts no message
// as written that is in no file, and leaves no file in the output folder.
TEST(PstFault, EveryFailedWriteOfAPstJobIsReported)
{
    support::TempDir dir;
    std::vector<support::Mail> mails(5, support::Mail{"a@example.com", "fault", "short body"});
    mails[2].body = std::string(1u << 20, 'q');  // several block flushes
    const auto inbox = dir.write("Mail/Inbox", support::mboxOf(mails));
    const std::vector<std::string> rows{inbox.string()};
    int n = 1;
    for (; n < 200; ++n) {
        SCOPED_TRACE("write " + std::to_string(n));
        const auto out = dir / ("out-" + std::to_string(n));
        fs::create_directories(out);
        JobSettings settings;
        settings.target = Target::Pst;
        settings.outputFolder = out.string() + platform::preferredSeparator();
        settings.progressInterval = std::chrono::milliseconds(0);
        support::FakeHost host;
        ConversionJob job(host, settings);
        platform::faults::failNth(Op::Write, n);
        const Report r = job.run(rows);
        platform::faults::failNth(Op::Write, 0);
        const auto files = support::listFiles(out);  // the job also makes a folder per mailbox
        if (r.succeeded()) {
            ASSERT_EQ(files.size(), 1u);
            const auto report = verify(out / files[0]);
            ASSERT_TRUE(report.ok());
            EXPECT_TRUE(report->ok()) << report->text();
            EXPECT_EQ(report->messages, mails.size());
            EXPECT_EQ(r.outputFile, (out / files[0]).string());
            break;
        }
        ASSERT_TRUE(r.fatal);
        EXPECT_NE(r.fatal->detail.find("Input/output error"), std::string::npos) << r.fatal->detail;
        ASSERT_FALSE(host.boxes.empty());
        EXPECT_NE(host.boxes.back().text.find(r.fatal->detail), std::string::npos) << host.boxes.back().text;
        EXPECT_TRUE(files.empty()) << files.front();
        EXPECT_EQ(r.messagesWritten, 0u) << "messages counted as written, but no file holds them";
        EXPECT_EQ(r.messagesFailed, r.messagesFound);
        EXPECT_EQ(r.mailboxesFailed, 1u) << "the mailbox is in no file";
        EXPECT_EQ(r.mailboxesConverted, 0u);
        EXPECT_TRUE(r.outputFile.empty());
        fs::remove_all(out);
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GE(n, 8) << "the fault was never hit";
    EXPECT_LT(n, 200);
}

#ifndef _WIN32
namespace {

// Runs in a child process whose files may not grow past `limit` bytes; returns 0 when the
// failure was reported cleanly, else a number naming the broken promise.
int writeUnderLimit(const ScratchDir& dir, rlim_t limit)
{
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 1;
    auto store = MessageStore::create(dir.path("full.pst"), "Full");
    if (!store) return 2;
    auto& s = **store;
    const auto inbox = s.addFolder(s.topOfPersonalFolders(), "Inbox");
    if (!inbox) return 3;
    std::optional<Error> failure;
    for (int i = 0; i < 20 && !failure; ++i) {
        auto m = sampleMessage("Message " + std::to_string(i));
        Attachment a;
        a.fileName = "blob.bin";
        a.data = patternBytes(200 * 1024, static_cast<std::uint32_t>(i));
        m.attachments.push_back(a);
        if (auto id = s.addMessage(*inbox, m); !id) failure = id.error();
    }
    if (!failure) {
        auto closed = s.close();
        if (closed) return 4;  // the limit was never reached
        failure = closed.error();
    }
    if (failure->code != Code::FileTooLarge || failure->detail.empty()) return 5;
    auto later = s.addMessage(*inbox, sampleMessage("late"));
    if (later || later.error().detail != failure->detail) return 6;
    if (!std::filesystem::is_empty(dir.path(""))) return 7;
    return 0;
}

}  // namespace

TEST(PstFault, WriteFailureIsReportedStickyAndLeavesNoFile)
{
    // Limits that make the first block write fail, a message in the middle, and the close
    // (B-tree pages, map pages, growth to whole intervals).
    for (const rlim_t limit : {rlim_t{20000}, rlim_t{1500000}, rlim_t{4200000}}) {
        SCOPED_TRACE(limit);
        ScratchDir dir;
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(writeUnderLimit(dir, limit));
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}
#endif
