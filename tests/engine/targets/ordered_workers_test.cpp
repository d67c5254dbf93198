#include "engine/targets/ordered_workers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace quillmark {
namespace {

using Workers = OrderedWorkers<std::string, std::string>;
using namespace std::chrono_literals;

// Work that holds each input until the test lets it go, so the test decides which input
// finishes when, and sees how many run at once.
class HeldWork {
public:
    std::string operator()(std::string in)
    {
        std::unique_lock lock(m_mutex);
        ++m_started;
        m_most = std::max(m_most, ++m_running);
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_all || m_released.contains(in); });
        --m_running;
        ++m_finished;
        m_changed.notify_all();
        return "done " + in;
    }
    Workers::Work work()
    {
        return [this](std::string in) { return (*this)(std::move(in)); };
    }
    void release(const std::string& in)
    {
        const std::lock_guard lock(m_mutex);
        m_released.insert(in);
        m_changed.notify_all();
    }
    void releaseAll()
    {
        const std::lock_guard lock(m_mutex);
        m_all = true;
        m_changed.notify_all();
    }
    // Each waits 30 s at most: a machine under load is slow, never that slow.
    bool waitForRunning(int count)
    {
        return waitFor([&] { return m_running >= count; });
    }
    bool waitForFinished(int count)
    {
        return waitFor([&] { return m_finished >= count; });
    }
    int most() const { return read(m_most); }
    int started() const { return read(m_started); }
    int finished() const { return read(m_finished); }

private:
    template <class Done>
    bool waitFor(Done done)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 30s, done);
    }
    int read(const int& value) const
    {
        const std::lock_guard lock(m_mutex);
        return value;
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<std::string> m_released;
    bool m_all = false;
    int m_running = 0, m_most = 0, m_started = 0, m_finished = 0;
};

// Lets every held input go when it leaves scope. Declared after the workers, so that a failed
// assertion never leaves their destructor waiting for work that nobody releases.
struct ReleaseAllOnExit {
    HeldWork& held;
    ~ReleaseAllOnExit() { held.releaseAll(); }
};

// The workers finish the inputs in the reverse order; take() still hands them out in the order
// they went in, and none before the oldest is done.
TEST(OrderedWorkers, ResultsKeepTheInputOrderWhenLaterInputsFinishFirst)
{
    HeldWork held;
    Workers workers({3, 8, 100}, held.work());
    const ReleaseAllOnExit guard{held};
    for (const char* in : {"0", "1", "2"}) workers.submit(in, 1);
    ASSERT_TRUE(held.waitForRunning(3)) << "the inputs never ran on three threads at once";
    held.release("2");
    ASSERT_TRUE(held.waitForFinished(1));
    EXPECT_FALSE(workers.take(false)) << "a later result came out before the oldest";
    held.release("1");
    ASSERT_TRUE(held.waitForFinished(2));
    EXPECT_FALSE(workers.take(false)) << "a later result came out before the oldest";
    held.release("0");
    EXPECT_EQ(*workers.take(true), "done 0");
    EXPECT_EQ(*workers.take(true), "done 1");
    EXPECT_EQ(*workers.take(true), "done 2");
    EXPECT_FALSE(workers.take(true)) << "nothing is in flight any more";
}

// With the work held, the caller fills the bound on inputs in flight exactly, only `threads`
// inputs run at once, and each take() makes room for one more; the byte bound holds likewise.
TEST(OrderedWorkers, BoundsAreReachedAndNeverExceeded)
{
    HeldWork held;
    Workers workers({2, 4, 100}, held.work());
    const ReleaseAllOnExit guard{held};
    int submitted = 0;
    while (submitted < 10 && workers.hasRoomFor(1)) workers.submit(std::to_string(submitted++), 1);
    EXPECT_EQ(submitted, 4);
    EXPECT_EQ(workers.inFlight(), 4u);
    ASSERT_TRUE(held.waitForRunning(2));
    for (int i = 0; i < 6; ++i) {
        held.release(std::to_string(i));
        EXPECT_EQ(*workers.take(true), "done " + std::to_string(i));
        ASSERT_TRUE(workers.hasRoomFor(1));
        if (i < 2) workers.submit(std::to_string(submitted++), 1);
        EXPECT_LE(workers.inFlight(), 4u);
    }
    EXPECT_FALSE(workers.take(false));
    EXPECT_EQ(held.most(), 2) << "more inputs ran at once than there are threads";

    Workers bytes({2, 100, 10}, [](std::string in) { return in; });
    int fitted = 0;
    while (fitted < 10 && bytes.hasRoomFor(3)) bytes.submit("abc", 3), ++fitted;
    EXPECT_EQ(fitted, 3);  // 9 bytes; a fourth would make 12
    EXPECT_TRUE(bytes.hasRoomFor(1));
    EXPECT_EQ(*bytes.take(true), "abc");
    EXPECT_TRUE(bytes.hasRoomFor(3));
}

// One input larger than the byte bound still goes through (alone); an exception thrown for one
// input comes back for that input only; work running at destruction is finished first.
TEST(OrderedWorkers, OversizedInputsExceptionsAndDestructionInFlight)
{
    {
        Workers workers({2, 8, 10}, [](std::string in) {
            if (in.size() == 3 && in[0] == 'b') throw std::runtime_error("cannot");
            return in;
        });
        const std::string big(1000, 'x');
        EXPECT_TRUE(workers.hasRoomFor(big.size()));
        workers.submit(big, big.size());
        EXPECT_FALSE(workers.hasRoomFor(1));
        EXPECT_EQ(workers.take(true)->size(), 1000u);
        workers.submit("bad", 3);
        workers.submit("good", 4);
        EXPECT_THROW(workers.take(true), std::runtime_error);
        EXPECT_EQ(*workers.take(true), "good");
    }
    HeldWork held;
    bool bothRan = false;
    {
        std::jthread opener;
        Workers workers({2, 8, 1000}, held.work());
        for (int i = 0; i < 4; ++i) workers.submit(std::to_string(i), 1);
        bothRan = held.waitForRunning(2);
        // Let go while the destructor runs: it must wait for both.
        opener = std::jthread([&] { held.releaseAll(); });
    }
    EXPECT_TRUE(bothRan);
    EXPECT_EQ(held.finished(), held.started()) << "the destructor left work running";
}

#if defined(__linux__)
int niceOfThisThread() { return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); }
#endif

// Workers that give way to the caller still take every input and hand the results back in
// order; only they run at a lower priority, never the caller (a setting for the whole process
// would slow the one thread they give way to).
TEST(OrderedWorkers, WorkersThatGiveWayChangeNothingButTheirOwnPriority)
{
#if defined(__linux__)
    const int caller = niceOfThisThread();
    std::mutex mutex;
    std::vector<int> seen;
#endif
    Workers workers({2, 3, 1000, true}, [&](std::string in) {
#if defined(__linux__)
        const std::lock_guard lock(mutex);
        seen.push_back(niceOfThisThread());
#endif
        return in + "!";
    });
    std::vector<std::string> out;
    for (int i = 0; i < 50; ++i) {
        while (!workers.hasRoomFor(1)) out.push_back(*workers.take(true));
        workers.submit(std::to_string(i), 1);
    }
    while (auto r = workers.take(true)) out.push_back(std::move(*r));
    ASSERT_EQ(out.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(out[static_cast<std::size_t>(i)], std::to_string(i) + "!");
#if defined(__linux__)
    EXPECT_EQ(niceOfThisThread(), caller) << "the caller's own priority changed";
    ASSERT_EQ(seen.size(), 50u);
    for (int n : seen) EXPECT_TRUE(n > caller || caller == 19) << "a worker did not give way: nice " << n;
#endif
}

}  // namespace
}  // namespace quillmark
