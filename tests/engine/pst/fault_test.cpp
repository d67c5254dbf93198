// Write failures (a full disk, a file-size limit) reach the caller as errors, stick, and leave
// no file behind, whichever write fails.
#include "pst_fixtures.h"

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
