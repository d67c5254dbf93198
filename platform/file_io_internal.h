// Shared between the portable part of the file layer and its system-specific halves.
#pragma once

#ifndef QUILLMARK_PLATFORM_BUILD
#error "a private header of the platform library, not for use outside it"
#endif

#include "platform/result.h"

#include <cstdint>
#include <filesystem>

namespace quillmark::platform::detail {

inline constexpr std::size_t kWriteBuffer = 256 * 1024;
inline constexpr std::intptr_t kNoHandle = -1;  // also INVALID_HANDLE_VALUE on Windows

// Writes all bytes to the file (retrying short writes); the error names path.
[[nodiscard]] Result<void> writeAll(std::intptr_t handle, const char* data, std::size_t size,
                                    const std::filesystem::path& path);

// Opens a folder for OutputFolder (a descriptor on POSIX; Windows keeps only the path).
[[nodiscard]] Result<std::intptr_t> openFolder(const std::filesystem::path& path);
void closeFolder(std::intptr_t handle) noexcept;

// Writes all bytes at offset (retrying short writes); the error names path, or a temporary file
// when path is empty. ScratchFile and PositionalFile write through here.
[[nodiscard]] Result<void> writeAt(std::intptr_t handle, std::uint64_t offset, const char* data, std::size_t size,
                                   const std::filesystem::path& path);
// Cuts or extends (with zeros) a file opened for writing to `size` bytes.
[[nodiscard]] Result<void> resizeFile(std::intptr_t handle, std::uint64_t size, const std::filesystem::path& path);
// Returns once the file's data is on the disk.
[[nodiscard]] Result<void> syncFile(std::intptr_t handle, const std::filesystem::path& path);

// Creates every missing folder along path; true when it is a folder afterwards.
bool createFolders(const std::filesystem::path& path) noexcept;

// ScratchFile's system calls: a nameless file in the system's temporary folder, positional
// reads.
[[nodiscard]] Result<std::intptr_t> createScratch();
[[nodiscard]] Result<void> readScratch(std::intptr_t handle, std::uint64_t offset, char* data, std::size_t size);
void closeScratch(std::intptr_t handle) noexcept;

}  // namespace quillmark::platform::detail
