// Throttled progress: the job and the scanner could report after every hit and every message,
// but a window repaints only so often and 100,000 updates would flood it. Values that change at
// that rate are sent only when tick() says the interval has passed; the caller always sends the
// last value of a phase itself, so the final figures are exact.
#pragma once

#include "engine/host/host.h"

#include <chrono>

namespace quillmark {

class Reporter {
public:
    using Clock = std::chrono::steady_clock;

    Reporter(Host& host, std::chrono::milliseconds interval) : m_host(host), m_interval(interval) {}

    Host& host() noexcept { return m_host; }
    Host* operator->() noexcept { return &m_host; }

    // True when a frequent value should be sent now (always, with a zero interval); starts the
    // next interval.
    bool tick()
    {
        if (m_interval.count() == 0) return true;
        const auto now = Clock::now();
        if (now - m_last < m_interval) return false;
        m_last = now;
        return true;
    }

private:
    Host& m_host;
    Clock::duration m_interval;
    Clock::time_point m_last{};
};

}  // namespace quillmark
