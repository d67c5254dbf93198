// Work done on several threads, results handed back in the order the inputs came in, on the
// caller's thread.
//
// Importing a message (MIME parsing, charset conversion) costs several times what writing it
// costs, and messages do not depend on each other: worker threads import while the caller
// writes, in mailbox order. The caller keeps the inputs and bytes in flight within bounds so that
// memory does not grow with the mailbox; a single input larger than the byte bound still goes
// through, alone. An exception thrown by the work is thrown again by take() for that input.
#pragma once

#include "platform/thread_priority.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

namespace quillmark {

template <class Input, class Output>
class OrderedWorkers {
public:
    using Work = std::function<Output(Input)>;

    struct Limits {
        unsigned threads = 1;
        std::size_t items = 16;                // inputs in flight at most
        std::size_t bytes = 64 * 1024 * 1024;  // input bytes in flight at most (as submit() counts them)
        // The workers give way to the caller's thread when cores are short: for a caller whose
        // own work is what everything waits for.
        bool giveWay = false;
    };

    OrderedWorkers(Limits limits, Work work) : m_limits(limits), m_work(std::move(work))
    {
        if (m_limits.threads == 0) m_limits.threads = 1;
        if (m_limits.items == 0) m_limits.items = 1;
        for (unsigned i = 0; i < m_limits.threads; ++i)
            m_threads.emplace_back([this](std::stop_token stop) { serve(stop); });
    }

    ~OrderedWorkers()
    {
        for (auto& t : m_threads) t.request_stop();
        // Under the lock, so that no worker is between its check and its wait.
        {
            std::lock_guard lock(m_mutex);
        }
        m_workReady.notify_all();
        m_threads.clear();  // joins
    }

    OrderedWorkers(const OrderedWorkers&) = delete;
    OrderedWorkers& operator=(const OrderedWorkers&) = delete;

    // Whether an input of `bytes` fits in the bounds now. When not, the caller takes results
    // first: only take() makes room.
    bool hasRoomFor(std::size_t bytes) const
    {
        std::lock_guard lock(m_mutex);
        return m_slots.empty() || (m_slots.size() < m_limits.items && m_bytes + bytes <= m_limits.bytes);
    }

    // Queues an input of `bytes` (also beyond the bounds: see hasRoomFor()).
    void submit(Input input, std::size_t bytes)
    {
        std::lock_guard lock(m_mutex);
        m_bytes += bytes;
        m_slots.push_back(Slot{std::move(input), bytes, {}, {}});
        m_workReady.notify_one();
    }

    std::size_t inFlight() const
    {
        std::lock_guard lock(m_mutex);
        return m_slots.size();
    }

    // The oldest result: when it is ready (wait = false), or once it is (wait = true).
    // Empty when nothing is in flight, or (wait = false) when the oldest is not done yet.
    std::optional<Output> take(bool wait)
    {
        std::unique_lock lock(m_mutex);
        if (m_slots.empty()) return std::nullopt;
        if (wait)
            m_done.wait(lock, [&] { return m_slots.front().finished(); });
        else if (!m_slots.front().finished())
            return std::nullopt;
        Slot slot = std::move(m_slots.front());
        m_slots.pop_front();
        ++m_front;
        m_bytes -= slot.size;
        lock.unlock();
        if (slot.error) std::rethrow_exception(slot.error);
        return std::move(slot.output);
    }

private:
    struct Slot {
        Input input;
        std::size_t size;
        std::optional<Output> output;
        std::exception_ptr error;
        bool finished() const noexcept { return output.has_value() || error != nullptr; }
    };

    void serve(std::stop_token stop)
    {
        if (m_limits.giveWay) platform::yieldToOtherThreads();
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_workReady.wait(lock, [&] { return stop.stop_requested() || m_next < m_front + m_slots.size(); });
            if (stop.stop_requested()) return;
            // Slots are known by sequence number: take() pops finished slots only, so ours stays
            // in the deque, at (number - m_front), until we have finished it.
            const std::size_t mine = m_next++;
            Input input = std::move(m_slots[mine - m_front].input);
            lock.unlock();
            std::optional<Output> output;
            std::exception_ptr error;
            try {
                output.emplace(m_work(std::move(input)));
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            Slot& slot = m_slots[mine - m_front];
            slot.output = std::move(output);
            slot.error = error;
            m_done.notify_all();
        }
    }

    Limits m_limits;
    Work m_work;
    mutable std::mutex m_mutex;
    std::condition_variable m_workReady;
    std::condition_variable m_done;
    std::deque<Slot> m_slots;
    std::size_t m_front = 0;  // sequence number of m_slots.front()
    std::size_t m_next = 0;   // sequence number of the next slot no worker has taken
    std::size_t m_bytes = 0;
    std::vector<std::jthread> m_threads;  // last: joined before the rest goes
};

}  // namespace quillmark
