#include "scan/window_reader.h"

#include <algorithm>

namespace quillmark {

WindowReader::WindowReader(const platform::ReadOnlyFile& file, std::size_t window)
    : m_file(file), m_capacity(window), m_data(std::make_unique_for_overwrite<char[]>(window))
{
}

Result<std::span<const char>> WindowReader::view(std::uint64_t offset, std::size_t want)
{
    const std::uint64_t end = m_file.size();
    if (offset >= end) return std::span<const char>{};
    want = static_cast<std::size_t>(std::min<std::uint64_t>({want, end - offset, m_capacity}));
    const bool inside = offset >= m_start && offset + want <= m_start + m_length;
    if (!inside) {
        auto got = m_file.readAt(offset, std::span<char>(m_data.get(), m_capacity));
        if (!got) return std::move(got).error();
        m_start = offset;
        m_length = *got;
        if (m_length < want) {
            Error e{Code::Io, "the mailbox became shorter while it was read", offset + m_length};
            return e;
        }
    }
    const auto skip = static_cast<std::size_t>(offset - m_start);
    return std::span<const char>(m_data.get() + skip, m_length - skip);
}

}  // namespace quillmark
