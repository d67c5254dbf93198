// Contents-table rows kept from the moment their message is written until the folder's table is
// written at close. A folder of a million messages has a million rows of several hundred bytes:
// past a bound they go to a temporary file, and memory keeps only their offsets.
#pragma once

#include "engine/pst/messaging/messaging_internal.h"
#include "platform/file_io.h"
#include "platform/result.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillmark::pst::messaging {

class RowSpool {
public:
    explicit RowSpool(std::size_t memoryBound = 4u << 20) : m_bound(memoryBound) {}

    // Where the row went: give it back to view() later.
    [[nodiscard]] Result<std::uint64_t> append(const PackedRow& row);
    // The row placed at `at`: its ID and packed cells, valid until the next call.
    struct RowView {
        std::uint32_t rowId = 0;
        std::span<const std::uint8_t> cells;
    };
    [[nodiscard]] Result<RowView> view(std::uint64_t at);
    // Forgets every row (the file goes with it).
    void clear();

private:
    [[nodiscard]] Result<void> spill();
    // The file's bytes [at, at + n), read through m_window.
    [[nodiscard]] Result<std::span<const std::uint8_t>> fromFile(std::uint64_t at, std::size_t n);

    std::size_t m_bound;
    std::vector<std::uint8_t> m_memory;  // the rows after the file's end (all of them before a spill)
    std::optional<platform::ScratchFile> m_file;
    // Rows are read back mostly in the order they were written: one read per window, not two per
    // row (a folder of 100,000 messages took 200,000 system calls).
    std::vector<std::uint8_t> m_window;
    std::uint64_t m_windowStart = 0;
};

}  // namespace quillmark::pst::messaging
