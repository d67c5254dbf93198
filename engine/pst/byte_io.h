// Little-endian reads and writes into byte buffers: the one place where the layers turn
// integers into the bytes of [MS-PST] structures and back.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace quillmark::pst::bytes {

using Buffer = std::vector<std::uint8_t>;

// On little-endian hosts (all we build for) one copy; the shifts are the portable meaning.
template <class T>
inline void put(std::span<std::uint8_t> out, std::size_t at, T value) noexcept
{
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out.data() + at, &value, sizeof(T));
    } else {
        for (std::size_t i = 0; i < sizeof(T); ++i)
            out[at + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
    }
}

template <class T>
inline T get(std::span<const std::uint8_t> in, std::size_t at) noexcept
{
    if constexpr (std::endian::native == std::endian::little) {
        T v;
        std::memcpy(&v, in.data() + at, sizeof(T));
        return v;
    } else {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<std::uint64_t>(in[at + i]) << (8 * i);
        return static_cast<T>(v);
    }
}

// Byte by byte: push_back's common case is inline, where resize() calls out and zero-fills.
template <class T>
inline void append(Buffer& out, T value)
{
    for (std::size_t i = 0; i < sizeof(T); ++i)
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
}

inline void appendBytes(Buffer& out, std::span<const std::uint8_t> in) { out.insert(out.end(), in.begin(), in.end()); }

}  // namespace quillmark::pst::bytes
