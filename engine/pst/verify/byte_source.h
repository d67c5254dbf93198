// Where the verifier's bytes come from: a buffer already in memory, or a file read on demand.
//
// A PST file can be many GB, so the file is never held whole: reads go through a few windows of
// at most kMaxWindow bytes each. A read that continues past a window grows the next one (a pass
// over blocks in file order then costs one system call per MB); any other miss reads a small
// window, so scattered blocks do not each pull in a MB. Not part of the verifier's interface.
#pragma once

#include "platform/file_io.h"
#include "platform/result.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillmark::pst::checking {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Fills `out` with the bytes at `offset`; false when they are not all there (past the end of
    // the data, or the file could not be read).
    [[nodiscard]] virtual bool read(std::uint64_t offset, std::span<std::uint8_t> out) = 0;

    // Whether [offset, offset + length) lies inside the data; safe against overflow.
    bool contains(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= size() && length <= size() - offset;
    }
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
    std::uint64_t size() const override { return m_bytes.size(); }
    [[nodiscard]] bool read(std::uint64_t offset, std::span<std::uint8_t> out) override;

private:
    std::span<const std::uint8_t> m_bytes;
};

class FileSource final : public ByteSource {
public:
    static constexpr std::size_t kWindows = 16;
    static constexpr std::size_t kMinWindow = 8 * 1024;
    static constexpr std::size_t kMaxWindow = 1024 * 1024;

    // `name` names the file in errors.
    FileSource(platform::ReadOnlyFile file, std::string name);
    std::uint64_t size() const override { return m_file.size(); }
    [[nodiscard]] bool read(std::uint64_t offset, std::span<std::uint8_t> out) override;
    // The first read error, if any: the report of a file that could not be read is no verdict.
    const std::optional<Error>& error() const { return m_error; }

private:
    struct Window {
        std::unique_ptr<std::uint8_t[]> bytes;  // kMaxWindow bytes, allocated on first use
        std::uint64_t start = 0;
        std::size_t length = 0;  // 0: holds nothing
        std::uint64_t lastUse = 0;
    };
    Window* find(std::uint64_t offset, std::size_t length);
    Window* load(std::uint64_t offset, std::size_t length);
    bool failed(const Result<std::size_t>& n, std::size_t wanted);

    platform::ReadOnlyFile m_file;
    std::string m_name;
    std::vector<Window> m_windows;
    std::uint64_t m_clock = 0;
    std::size_t m_recent = 0;  // index of the window hit last
    std::optional<Error> m_error;
};

}  // namespace quillmark::pst::checking
