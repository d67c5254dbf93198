#include "platform/fault_injection.h"

namespace quillmark::platform::faults {
namespace {

std::atomic<std::int64_t> g_countdown[2] = {0, 0};

std::atomic<std::int64_t>& counter(Op op) noexcept { return g_countdown[op == Op::Read ? 0 : 1]; }

}  // namespace

void failNth(Op op, std::int64_t nth) noexcept { counter(op).store(nth, std::memory_order_relaxed); }

bool shouldFail(Op op) noexcept
{
    auto& c = counter(op);
    if (c.load(std::memory_order_relaxed) <= 0) return false;
    return c.fetch_sub(1, std::memory_order_relaxed) == 1;
}

}  // namespace quillmark::platform::faults
