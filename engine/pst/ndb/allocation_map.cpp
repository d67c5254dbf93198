#include "engine/pst/ndb/allocation_map.h"

#include <algorithm>
#include <bit>

namespace quillmark::pst::ndb {

using namespace fmt;

std::vector<std::pair<std::uint64_t, std::uint8_t>> AllocationMap::extraPages(std::uint64_t k)
{
    std::vector<std::pair<std::uint64_t, std::uint8_t>> pages;
    std::uint64_t at = amapOffset(k) + kPageSize;
    if (k % kAMapsPerPMap == 0) {
        pages.emplace_back(at, page::kPMap);
        at += kPageSize;
    }
    if (k >= kFirstFMapAMap && (k - kFirstFMapAMap) % kAMapsPerFMap == 0) {
        pages.emplace_back(at, page::kFMap);
        at += kPageSize;
    }
    if (k >= kFirstFPMapAMap && (k - kFirstFPMapAMap) % kAMapsPerFPMap == 0) pages.emplace_back(at, page::kFPMap);
    return pages;
}

std::uint64_t AllocationMap::reservedEnd(std::uint64_t k)
{
    return amapOffset(k) + (1 + extraPages(k).size()) * kPageSize;
}

std::uint64_t AllocationMap::allocate(std::uint64_t size, std::uint64_t align)
{
    for (;;) {
        std::uint64_t at = (m_cursor + align - 1) / align * align;
        const std::uint64_t k = (at - kFirstAMapOffset) / kAMapInterval;
        at = std::max(at, reservedEnd(k));
        if (at + size > amapOffset(k + 1)) {
            m_cursor = amapOffset(k + 1);
            continue;
        }
        m_cursor = at + size;
        mark(at, size);
        return at;
    }
}

std::uint64_t AllocationMap::intervals() const noexcept
{
    return std::max<std::uint64_t>(1, (m_cursor - kFirstAMapOffset + kAMapInterval - 1) / kAMapInterval);
}

void AllocationMap::markMapPages(std::uint64_t intervals)
{
    for (std::uint64_t k = 0; k < intervals; ++k) mark(amapOffset(k), reservedEnd(k) - amapOffset(k));
}

void AllocationMap::mark(std::uint64_t offset, std::uint64_t size)
{
    const std::uint64_t first = (offset - kFirstAMapOffset) / kSlotSize;
    const std::uint64_t last = first + (size + kSlotSize - 1) / kSlotSize;
    const std::uint64_t needBytes = (last + 7) / 8;
    if (m_bits.size() < needBytes) {
        const std::uint64_t k = (needBytes + kAMapBitmapBytes - 1) / kAMapBitmapBytes;
        m_bits.resize(static_cast<std::size_t>(k * kAMapBitmapBytes), 0);
    }
    // Bit 0x80 of a byte maps the first of its eight slots.
    for (std::uint64_t s = first; s < last; ++s)
        m_bits[static_cast<std::size_t>(s / 8)] |= static_cast<std::uint8_t>(0x80u >> (s % 8));
}

void AllocationMap::copyBitmap(std::uint64_t k, std::span<std::uint8_t> out) const
{
    const std::uint64_t from = k * kAMapBitmapBytes;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::uint64_t at = from + i;
        out[i] = at < m_bits.size() ? m_bits[static_cast<std::size_t>(at)] : std::uint8_t{0};
    }
}

std::uint64_t AllocationMap::freeSlots(std::uint64_t k) const
{
    std::uint64_t used = 0;
    const std::uint64_t from = k * kAMapBitmapBytes;
    for (std::uint64_t i = from; i < from + kAMapBitmapBytes && i < m_bits.size(); ++i)
        used += static_cast<std::uint64_t>(std::popcount(m_bits[static_cast<std::size_t>(i)]));
    return kSlotsPerAMap - used;
}

std::uint64_t AllocationMap::totalFreeSlots(std::uint64_t intervals) const
{
    std::uint64_t total = 0;
    for (std::uint64_t k = 0; k < intervals; ++k) total += freeSlots(k);
    return total;
}

}  // namespace quillmark::pst::ndb
