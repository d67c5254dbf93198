#include "engine/pst/ndb/allocation_map.h"

#include <algorithm>
#include <cassert>

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
    // extraPages(k).size(), counted without making the list: this is asked for every block.
    const std::uint64_t extra = (k % kAMapsPerPMap == 0 ? 1u : 0u)
        + (k >= kFirstFMapAMap && (k - kFirstFMapAMap) % kAMapsPerFMap == 0 ? 1u : 0u)
        + (k >= kFirstFPMapAMap && (k - kFirstFPMapAMap) % kAMapsPerFPMap == 0 ? 1u : 0u);
    return amapOffset(k) + (1 + extra) * kPageSize;
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
        markMapPagesUpTo(k);
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
    if (intervals > 0) markMapPagesUpTo(intervals - 1);
}

void AllocationMap::markMapPagesUpTo(std::uint64_t k)
{
    for (; m_mapsMarked <= k; ++m_mapsMarked)
        mark(amapOffset(m_mapsMarked), reservedEnd(m_mapsMarked) - amapOffset(m_mapsMarked));
}

void AllocationMap::mark(std::uint64_t offset, std::uint64_t size)
{
    const std::uint64_t first = (offset - kFirstAMapOffset) / kSlotSize;
    const std::uint64_t count = (size + kSlotSize - 1) / kSlotSize;
    if (count == 0) return;
    if (!m_runs.empty()) {
        Run& last = m_runs.back();
        assert(first >= last.first + last.count && "slots are marked in file order, once");
        if (first == last.first + last.count) {
            last.count += count;
            return;
        }
    }
    m_runs.push_back({first, count});
}

void AllocationMap::copyBitmap(std::uint64_t k, std::span<std::uint8_t> out) const
{
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    const std::uint64_t from = k * kSlotsPerAMap, to = from + std::min<std::uint64_t>(out.size() * 8, kSlotsPerAMap);
    auto run = std::upper_bound(m_runs.begin(), m_runs.end(), from,
                                [](std::uint64_t slot, const Run& r) { return slot < r.first + r.count; });
    for (; run != m_runs.end() && run->first < to; ++run) {
        // Bit 0x80 of a byte maps the first of its eight slots; whole bytes of a run at once.
        std::uint64_t s = std::max(run->first, from) - from;
        const std::uint64_t end = std::min(run->first + run->count, to) - from;
        for (; s < end && s % 8; ++s)
            out[static_cast<std::size_t>(s / 8)] |= static_cast<std::uint8_t>(0x80u >> (s % 8));
        for (; s + 8 <= end; s += 8) out[static_cast<std::size_t>(s / 8)] = 0xFF;
        for (; s < end; ++s) out[static_cast<std::size_t>(s / 8)] |= static_cast<std::uint8_t>(0x80u >> (s % 8));
    }
}

std::uint64_t AllocationMap::freeSlots(std::uint64_t k) const
{
    const std::uint64_t from = k * kSlotsPerAMap, to = from + kSlotsPerAMap;
    std::uint64_t used = 0;
    auto run = std::upper_bound(m_runs.begin(), m_runs.end(), from,
                                [](std::uint64_t slot, const Run& r) { return slot < r.first + r.count; });
    for (; run != m_runs.end() && run->first < to; ++run)
        used += std::min(run->first + run->count, to) - std::max(run->first, from);
    return kSlotsPerAMap - used;
}

std::uint64_t AllocationMap::totalFreeSlots(std::uint64_t intervals) const
{
    std::uint64_t total = 0;
    for (std::uint64_t k = 0; k < intervals; ++k) total += freeSlots(k);
    return total;
}

}  // namespace quillmark::pst::ndb
