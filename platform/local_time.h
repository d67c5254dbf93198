// The local calendar time of a moment, thread-safe on every system.
#pragma once

#include <ctime>

namespace quillmark::platform {

inline std::tm localTime(std::time_t when) noexcept
{
    std::tm out{};
#ifdef _WIN32
    localtime_s(&out, &when);
#else
    localtime_r(&when, &out);
#endif
    return out;
}

}  // namespace quillmark::platform
