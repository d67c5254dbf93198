#include "engine/pst/messaging/row_spool.h"

#include "engine/pst/byte_io.h"

#include <algorithm>

namespace quillmark::pst::messaging {
namespace {

constexpr std::size_t kHead = 8;  // row id, cell bytes
constexpr std::size_t kReadWindow = 1 << 20;

}  // namespace

Result<std::uint64_t> RowSpool::append(const PackedRow& row)
{
    const std::uint64_t at = (m_file ? m_file->size() : 0) + m_memory.size();
    // Room for all rows up to the bound at once: growing a vector of tens of megabytes step by
    // step copies it again at every step.
    if (m_memory.capacity() < m_bound) m_memory.reserve(m_bound + 4096);
    bytes::append<std::uint32_t>(m_memory, row.rowId);
    bytes::append<std::uint32_t>(m_memory, static_cast<std::uint32_t>(row.cells.size()));
    bytes::appendBytes(m_memory, row.cells);
    if (m_memory.size() >= m_bound)
        if (auto r = spill(); !r) return std::move(r).error();
    return at;
}

Result<void> RowSpool::spill()
{
    if (!m_file) {
        auto file = platform::ScratchFile::create();
        if (!file) return std::move(file).error();
        m_file = std::move(*file);
    }
    const std::span<const char> out(reinterpret_cast<const char*>(m_memory.data()), m_memory.size());
    if (auto r = m_file->append(out); !r) return r;
    m_memory.clear();
    return Ok{};
}

Result<RowSpool::RowView> RowSpool::view(std::uint64_t at)
{
    const std::uint64_t inFile = m_file ? m_file->size() : 0;
    RowView row;
    if (at >= inFile) {
        const auto i = static_cast<std::size_t>(at - inFile);
        if (i + kHead > m_memory.size()) return Error{Code::InvalidArgument, "no contents row at this place"};
        row.rowId = bytes::get<std::uint32_t>(m_memory, i);
        const auto n = bytes::get<std::uint32_t>(m_memory, i + 4);
        if (i + kHead + n > m_memory.size()) return Error{Code::Corrupt, "a contents row is cut short"};
        row.cells = std::span<const std::uint8_t>(m_memory).subspan(i + kHead, n);
        return row;
    }
    auto head = fromFile(at, kHead);
    if (!head) return std::move(head).error();
    row.rowId = bytes::get<std::uint32_t>(*head, 0);
    const auto n = bytes::get<std::uint32_t>(*head, 4);
    auto cells = fromFile(at + kHead, n);
    if (!cells) return std::move(cells).error();
    row.cells = *cells;
    return row;
}

Result<std::span<const std::uint8_t>> RowSpool::fromFile(std::uint64_t at, std::size_t n)
{
    const bool inside = at >= m_windowStart && at + n <= m_windowStart + m_window.size();
    if (!inside) {
        if (at + n > m_file->size()) return Error{Code::Corrupt, "a contents row is cut short"};
        const auto length
            = static_cast<std::size_t>(std::min<std::uint64_t>(std::max(n, kReadWindow), m_file->size() - at));
        m_window.resize(length);
        m_windowStart = at;
        if (auto r = m_file->readAt(at, {reinterpret_cast<char*>(m_window.data()), length}); !r) {
            m_window.clear();
            return std::move(r).error();
        }
    }
    return std::span<const std::uint8_t>(m_window).subspan(static_cast<std::size_t>(at - m_windowStart), n);
}

void RowSpool::clear()
{
    m_memory.clear();
    m_memory.shrink_to_fit();
    m_window.clear();
    m_window.shrink_to_fit();
    m_windowStart = 0;
    m_file.reset();
}

}  // namespace quillmark::pst::messaging
