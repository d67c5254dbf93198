#include "engine/targets/ordered_workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>

namespace quillmark {
namespace {

using Workers = OrderedWorkers<std::string, std::string>;

// Inputs that take uneven times come back in the order they went in, and the caller can keep
// the number and bytes in flight within bounds by taking before it submits.
TEST(OrderedWorkers, ResultsKeepTheInputOrderWithinTheBounds)
{
    std::atomic<int> running{0}, most{0};
    Workers workers({3, 4, 100}, [&](std::string in) {
        const int now = ++running;
        for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {}
        // Later inputs finish sooner: the order must not follow the finishing order.
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (10 - std::stoi(in) % 10)));
        --running;
        return "done " + in;
    });
    std::vector<std::string> out;
    for (int i = 0; i < 60; ++i) {
        std::string in = std::to_string(i);
        while (!workers.hasRoomFor(in.size())) out.push_back(*workers.take(true));
        const std::size_t size = in.size();
        workers.submit(std::move(in), size);
        EXPECT_LE(workers.inFlight(), 4u);
        while (auto ready = workers.take(false)) out.push_back(*ready);
    }
    while (auto rest = workers.take(true)) out.push_back(*rest);
    ASSERT_EQ(out.size(), 60u);
    for (int i = 0; i < 60; ++i) EXPECT_EQ(out[static_cast<std::size_t>(i)], "done " + std::to_string(i));
    EXPECT_GT(most.load(), 1) << "the work never ran on two threads at once";
    EXPECT_FALSE(workers.take(true)) << "nothing is in flight any more";
}

// One input larger than the byte bound still goes through (alone); an exception thrown for one
// input comes back for that input only; work still in flight at destruction is waited for.
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
    std::atomic<int> finished{0};
    {
        Workers workers({2, 8, 1000}, [&](std::string in) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ++finished;
            return in;
        });
        for (int i = 0; i < 4; ++i) workers.submit("x", 1);
    }  // must neither hang nor crash
    EXPECT_LE(finished.load(), 4);
}

}  // namespace
}  // namespace quillmark
