// Where blocks and pages go in the file, and the AMap bits that record it ([MS-PST] 2.2.2.7.2).
// Internal to the NDB layer.
#pragma once

#include "engine/pst/format.h"

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace quillmark::pst::ndb {

class AllocationMap {
public:
    // File offset of AMap page k; k == number of intervals gives the end of the file.
    static constexpr std::uint64_t amapOffset(std::uint64_t k)
    {
        return fmt::kFirstAMapOffset + k * fmt::kAMapInterval;
    }
    // The PMap, FMap and FPMap pages that follow AMap k, as (offset, ptype).
    static std::vector<std::pair<std::uint64_t, std::uint8_t>> extraPages(std::uint64_t k);
    // End of the map pages at the start of interval k: where its first block may go.
    static std::uint64_t reservedEnd(std::uint64_t k);

    // Allocates `size` bytes aligned to `align`, never across an interval's map pages.
    std::uint64_t allocate(std::uint64_t size, std::uint64_t align);
    std::uint64_t cursor() const noexcept { return m_cursor; }
    // Intervals needed to hold everything allocated so far (at least one).
    std::uint64_t intervals() const noexcept;
    void markMapPages(std::uint64_t intervals);

    void copyBitmap(std::uint64_t k, std::span<std::uint8_t> out) const;
    std::uint64_t freeSlots(std::uint64_t k) const;
    std::uint64_t totalFreeSlots(std::uint64_t intervals) const;

private:
    void mark(std::uint64_t offset, std::uint64_t size);
    // Marks the map pages of every interval up to k that has not had them marked.
    void markMapPagesUpTo(std::uint64_t k);

    // Allocation only moves forward, so what is allocated is a few runs of slots per interval, kept
    // in file order: a PST of many gigabytes would need tens of megabytes of bitmap.
    struct Run {
        std::uint64_t first;  // slot index from the first AMap page on
        std::uint64_t count;
    };
    std::vector<Run> m_runs;
    std::uint64_t m_mapsMarked = 0;  // intervals whose map pages are marked
    std::uint64_t m_cursor = reservedEnd(0);
};

}  // namespace quillmark::pst::ndb
