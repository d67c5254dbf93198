// A sliding window over a mailbox: hands out views of the bytes at an offset, reading the file in
// large blocks so that walking forward through it costs one read per block, whatever the number
// of hits or messages. Memory stays at one window, whatever the size of the mailbox.
#pragma once

#include "platform/file_io.h"

#include <memory>
#include <span>

namespace quillmark {

class WindowReader {
public:
    static constexpr std::size_t kDefaultWindow = std::size_t{1} << 20;

    explicit WindowReader(const platform::ReadOnlyFile& file, std::size_t window = kDefaultWindow);

    std::uint64_t size() const noexcept { return m_file.size(); }

    // Bytes from offset on: at least min(want, size() - offset) bytes when want fits in the
    // window, else as many as the window holds; empty at or past the end.
    [[nodiscard]] Result<std::span<const char>> view(std::uint64_t offset, std::size_t want);

    std::size_t windowSize() const noexcept { return m_capacity; }

private:
    const platform::ReadOnlyFile& m_file;
    std::size_t m_capacity;
    std::unique_ptr<char[]> m_data;
    std::uint64_t m_start = 0;
    std::size_t m_length = 0;
};

}  // namespace quillmark
