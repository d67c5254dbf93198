#include "engine/pst/ndb/os_file.h"

#include <algorithm>
#include <utility>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quillmark::pst::ndb {
namespace {

std::error_code lastError() noexcept
{
#ifdef _WIN32
    return {static_cast<int>(GetLastError()), std::system_category()};
#else
    return {errno, std::generic_category()};
#endif
}

}  // namespace

OsFile::OsFile(OsFile&& other) noexcept : m_handle(std::exchange(other.m_handle, -1)), m_path(std::move(other.m_path))
{
}

OsFile& OsFile::operator=(OsFile&& other) noexcept
{
    if (this != &other) {
        close();
        m_handle = std::exchange(other.m_handle, -1);
        m_path = std::move(other.m_path);
    }
    return *this;
}

OsFile::~OsFile() { close(); }

#ifdef _WIN32

Result<OsFile> OsFile::create(const std::filesystem::path& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return systemError(lastError(), "cannot create " + path.string());
    OsFile f;
    f.m_handle = reinterpret_cast<std::intptr_t>(h);
    f.m_path = path;
    return f;
}

Result<void> OsFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    HANDLE h = reinterpret_cast<HANDLE>(m_handle);
    while (!bytes.empty()) {
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(offset);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD done = 0;
        if (!WriteFile(h, bytes.data(), chunk, &done, &ov) || done == 0)
            return systemError(lastError(), "cannot write " + m_path.string());
        bytes = bytes.subspan(done);
        offset += done;
    }
    return Ok{};
}

Result<void> OsFile::resize(std::uint64_t size)
{
    FILE_END_OF_FILE_INFO info{};
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFileInformationByHandle(reinterpret_cast<HANDLE>(m_handle), FileEndOfFileInfo, &info, sizeof info))
        return systemError(lastError(), "cannot extend " + m_path.string());
    return Ok{};
}

Result<void> OsFile::sync()
{
    if (!FlushFileBuffers(reinterpret_cast<HANDLE>(m_handle)))
        return systemError(lastError(), "cannot flush " + m_path.string());
    return Ok{};
}

void OsFile::close() noexcept
{
    if (m_handle != -1) CloseHandle(reinterpret_cast<HANDLE>(std::exchange(m_handle, -1)));
}

#else

Result<OsFile> OsFile::create(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return systemError(lastError(), "cannot create " + path.string());
    OsFile f;
    f.m_handle = fd;
    f.m_path = path;
    return f;
}

Result<void> OsFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(static_cast<int>(m_handle), bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            return systemError(n < 0 ? lastError() : std::make_error_code(std::errc::no_space_on_device),
                               "cannot write " + m_path.string());
        bytes = bytes.subspan(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
    return Ok{};
}

Result<void> OsFile::resize(std::uint64_t size)
{
    if (::ftruncate(static_cast<int>(m_handle), static_cast<off_t>(size)) != 0)
        return systemError(lastError(), "cannot extend " + m_path.string());
    return Ok{};
}

Result<void> OsFile::sync()
{
    if (::fsync(static_cast<int>(m_handle)) != 0) return systemError(lastError(), "cannot flush " + m_path.string());
    return Ok{};
}

void OsFile::close() noexcept
{
    if (m_handle != -1) ::close(static_cast<int>(std::exchange(m_handle, -1)));
}

#endif

}  // namespace quillmark::pst::ndb
