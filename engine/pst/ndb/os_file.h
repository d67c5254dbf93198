// A file written at explicit offsets: the only operating-system code of the PST library.
#pragma once

#include "platform/result.h"

#include <cstdint>
#include <filesystem>
#include <span>

namespace quillmark::pst::ndb {

class OsFile {
public:
    OsFile() = default;
    OsFile(OsFile&& other) noexcept;
    OsFile& operator=(OsFile&& other) noexcept;
    OsFile(const OsFile&) = delete;
    OsFile& operator=(const OsFile&) = delete;
    ~OsFile();

    // Creates the file, replacing one of that name.
    [[nodiscard]] static Result<OsFile> create(const std::filesystem::path& path);
    [[nodiscard]] Result<void> writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    [[nodiscard]] Result<void> resize(std::uint64_t size);
    [[nodiscard]] Result<void> sync();
    void close() noexcept;

private:
    std::intptr_t m_handle = -1;
    std::filesystem::path m_path;
};

}  // namespace quillmark::pst::ndb
