// Checksums and the permute encoding of [MS-PST] 5.
#include "engine/pst/format.h"

#ifdef QUILLMARK_HAVE_ZLIB
#include <zlib.h>
#endif

#include <algorithm>
#include <array>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QUILLMARK_CRC_CLMUL 1
#else
#define QUILLMARK_CRC_CLMUL 0
#endif

namespace quillmark::pst {
namespace {

// Slicing-by-8 tables: kCrc[0] is the classic byte table, kCrc[k] advances k more zero bytes,
// so eight input bytes are folded per step (the CRC is on every block the writer emits).
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;
constexpr CrcTables makeCrcTables()
{
    CrcTables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}
constexpr CrcTables kCrc = makeCrcTables();

std::uint32_t load32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

// mpbbR of [MS-PST] 5.1: the byte substitution used to encode; decoding uses its inverse.
constexpr std::array<std::uint8_t, 256> kPermute
    = {0x41, 0x36, 0x13, 0x62, 0xA8, 0x21, 0x6E, 0xBB, 0xF4, 0x16, 0xCC, 0x04, 0x7F, 0x64, 0xE8, 0x5D, 0x1E, 0xF2, 0xCB,
       0x2A, 0x74, 0xC5, 0x5E, 0x35, 0xD2, 0x95, 0x47, 0x9E, 0x96, 0x2D, 0x9A, 0x88, 0x4C, 0x7D, 0x84, 0x3F, 0xDB, 0xAC,
       0x31, 0xB6, 0x48, 0x5F, 0xF6, 0xC4, 0xD8, 0x39, 0x8B, 0xE7, 0x23, 0x3B, 0x38, 0x8E, 0xC8, 0xC1, 0xDF, 0x25, 0xB1,
       0x20, 0xA5, 0x46, 0x60, 0x4E, 0x9C, 0xFB, 0xAA, 0xD3, 0x56, 0x51, 0x45, 0x7C, 0x55, 0x00, 0x07, 0xC9, 0x2B, 0x9D,
       0x85, 0x9B, 0x09, 0xA0, 0x8F, 0xAD, 0xB3, 0x0F, 0x63, 0xAB, 0x89, 0x4B, 0xD7, 0xA7, 0x15, 0x5A, 0x71, 0x66, 0x42,
       0xBF, 0x26, 0x4A, 0x6B, 0x98, 0xFA, 0xEA, 0x77, 0x53, 0xB2, 0x70, 0x05, 0x2C, 0xFD, 0x59, 0x3A, 0x86, 0x7E, 0xCE,
       0x06, 0xEB, 0x82, 0x78, 0x57, 0xC7, 0x8D, 0x43, 0xAF, 0xB4, 0x1C, 0xD4, 0x5B, 0xCD, 0xE2, 0xE9, 0x27, 0x4F, 0xC3,
       0x08, 0x72, 0x80, 0xCF, 0xB0, 0xEF, 0xF5, 0x28, 0x6D, 0xBE, 0x30, 0x4D, 0x34, 0x92, 0xD5, 0x0E, 0x3C, 0x22, 0x32,
       0xE5, 0xE4, 0xF9, 0x9F, 0xC2, 0xD1, 0x0A, 0x81, 0x12, 0xE1, 0xEE, 0x91, 0x83, 0x76, 0xE3, 0x97, 0xE6, 0x61, 0x8A,
       0x17, 0x79, 0xA4, 0xB7, 0xDC, 0x90, 0x7A, 0x5C, 0x8C, 0x02, 0xA6, 0xCA, 0x69, 0xDE, 0x50, 0x1A, 0x11, 0x93, 0xB9,
       0x52, 0x87, 0x58, 0xFC, 0xED, 0x1D, 0x37, 0x49, 0x1B, 0x6A, 0xE0, 0x29, 0x33, 0x99, 0xBD, 0x6C, 0xD9, 0x94, 0xF3,
       0x40, 0x54, 0x6F, 0xF0, 0xC6, 0x73, 0xB8, 0xD6, 0x3E, 0x65, 0x18, 0x44, 0x1F, 0xDD, 0x67, 0x10, 0xF1, 0x0C, 0x19,
       0xEC, 0xAE, 0x03, 0xA1, 0x14, 0x7B, 0xA9, 0x0B, 0xFF, 0xF8, 0xA3, 0xC0, 0xA2, 0x01, 0xF7, 0x2E, 0xBC, 0x24, 0x68,
       0x75, 0x0D, 0xFE, 0xBA, 0x2F, 0xB5, 0xD0, 0xDA, 0x3D};

constexpr std::array<std::uint8_t, 256> makeInverse()
{
    std::array<std::uint8_t, 256> inverse{};
    for (std::size_t i = 0; i < 256; ++i) inverse[kPermute[i]] = static_cast<std::uint8_t>(i);
    return inverse;
}
constexpr auto kPermuteInverse = makeInverse();

}  // namespace

std::uint32_t crc32Tables(std::span<const std::uint8_t> bytes, std::uint32_t crc) noexcept
{
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t lo = load32(p) ^ crc, hi = load32(p + 4);
        crc = kCrc[7][lo & 0xFF] ^ kCrc[6][(lo >> 8) & 0xFF] ^ kCrc[5][(lo >> 16) & 0xFF] ^ kCrc[4][lo >> 24]
            ^ kCrc[3][hi & 0xFF] ^ kCrc[2][(hi >> 8) & 0xFF] ^ kCrc[1][(hi >> 16) & 0xFF] ^ kCrc[0][hi >> 24];
    }
    for (; n > 0; --n, ++p) crc = kCrc[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if QUILLMARK_CRC_CLMUL
namespace {

// Carry-less multiplication folds the CRC 64 bytes per step, several times faster than zlib's
// tables; the CRC is on every block written. Each constant is x^k mod P, bit-reflected and
// shifted left by one: k = 4*128+32 and 4*128-32 to fold four lanes over 64 bytes, 128+32 and
// 128-32 to fold one lane over 16, 64 for the last 64 bits; then the Barrett constants
// floor(x^64 / P) and P itself.
#define QUILLMARK_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

QUILLMARK_CLMUL_TARGET inline __m128i load16(const std::uint8_t* at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x times the two halves of k, moved forward by the distance k stands for, plus what lies there.
QUILLMARK_CLMUL_TARGET inline __m128i fold(__m128i x, __m128i next, __m128i k)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

QUILLMARK_CLMUL_TARGET std::uint32_t crc32Clmul(const std::uint8_t* p, std::size_t n, std::uint32_t crc) noexcept
{
    const __m128i fold4 = _mm_set_epi64x(0x1C6E41596, 0x154442BD4);
    const __m128i fold1 = _mm_set_epi64x(0x0CCAA009E, 0x1751997D0);
    const __m128i fold64 = _mm_set_epi64x(0, 0x163CD6124);
    const __m128i barrett = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    // n >= 64 and a multiple of 16.
    __m128i x0 = _mm_xor_si128(load16(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = load16(p + 16), x2 = load16(p + 32), x3 = load16(p + 48);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        x0 = fold(x0, load16(p), fold4);
        x1 = fold(x1, load16(p + 16), fold4);
        x2 = fold(x2, load16(p + 32), fold4);
        x3 = fold(x3, load16(p + 48), fold4);
    }
    x0 = fold(fold(fold(x0, x1, fold1), x2, fold1), x3, fold1);
    for (; n >= 16; p += 16, n -= 16) x0 = fold(x0, load16(p), fold1);
    // 128 bits to 64, 64 to 32, then the Barrett reduction to the remainder.
    x0 = _mm_xor_si128(_mm_clmulepi64_si128(x0, fold1, 0x10), _mm_srli_si128(x0, 8));
    x0 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x0, low32), fold64, 0x00), _mm_srli_si128(x0, 4));
    __m128i t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x0, low32), barrett, 0x10), low32);
    t = _mm_clmulepi64_si128(t, barrett, 0x00);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x0, t), 1));
}

bool haveClmul() noexcept
{
    static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return have;
}

}  // namespace
#endif

std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) noexcept
{
#if QUILLMARK_CRC_CLMUL
    constexpr std::size_t kMinClmul = 64;
    if (bytes.size() >= kMinClmul && haveClmul()) {
        const std::size_t whole = bytes.size() / 16 * 16;
        crc = crc32Clmul(bytes.data(), whole, crc);
        bytes = bytes.subspan(whole);
        if (bytes.empty()) return crc;
    }
#endif
#ifdef QUILLMARK_HAVE_ZLIB
    // The same polynomial; zlib inverts the value before and after, the PST CRC does not.
    const std::uint8_t* at = bytes.data();
    for (std::size_t left = bytes.size(); left > 0;) {
        const auto n = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
        crc = ~static_cast<std::uint32_t>(::crc32(~crc, at, n));
        at += n;
        left -= n;
    }
    return crc;
#else
    return crc32Tables(bytes, crc);
#endif
}

void permuteEncode(std::span<std::uint8_t> bytes) noexcept
{
    for (auto& b : bytes) b = kPermute[b];
}

void permuteDecode(std::span<std::uint8_t> bytes) noexcept
{
    for (auto& b : bytes) b = kPermuteInverse[b];
}

}  // namespace quillmark::pst
