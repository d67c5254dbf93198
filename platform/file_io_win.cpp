// Windows side of platform/file_io.h: wide-character paths, shared reading (Thunderbird may hold
// the mailbox open), and a rename that replaces an existing file.
#include "platform/file_io.h"

#include "platform/file_io_internal.h"
#include "platform/paths.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace quillmark::platform {
namespace {

using detail::kWriteBuffer;

std::error_code lastError() { return {static_cast<int>(::GetLastError()), std::system_category()}; }

HANDLE handleOf(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
std::intptr_t toHandle(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }
bool valid(std::intptr_t h) { return h != -1 && handleOf(h) != INVALID_HANDLE_VALUE; }

std::string text(const std::filesystem::path& p)
{
    const auto u8 = p.u8string();
    return std::string(reinterpret_cast<const char*>(u8.data()), u8.size());
}

// The path as the system calls take it: the ordinary form while it is short, the extended-length
// one past MAX_PATH, where the ordinary form fails (unless a registry setting and the program's
// manifest both allow long paths). Folders have 12 characters less, room for an 8.3 file name.
std::wstring sys(const std::filesystem::path& p)
{
    const std::wstring& native = p.native();
    if (native.size() < MAX_PATH - 12) return native;
    const DWORD need = ::GetFullPathNameW(native.c_str(), 0, nullptr, nullptr);
    if (need == 0) return native;
    std::wstring full(need, L'\0');
    const DWORD got = ::GetFullPathNameW(native.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) return native;
    full.resize(got);
    return toPath(extendedLengthPath(text(full))).native();
}

Result<void> writeAll(HANDLE h, const char* data, std::size_t size, const std::filesystem::path& p)
{
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD done = 0;
        if (!::WriteFile(h, data, chunk, &done, nullptr)) return systemError(lastError(), "cannot write " + text(p));
        data += done;
        size -= done;
    }
    return Ok{};
}

// Positional reads until `size` bytes are in or the file ends; returns how many came. `what`
// names the file in an error message (made only then).
template <class Name>
Result<std::size_t> readUpTo(HANDLE h, std::uint64_t offset, char* data, std::size_t size, Name what)
{
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED at{};
        const std::uint64_t pos = offset + done;
        at.Offset = static_cast<DWORD>(pos & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(pos >> 32);
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        DWORD got = 0;
        if (!::ReadFile(h, data + done, want, &got, &at)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) break;
            const auto ec = lastError();
            Error e = systemError(ec, "cannot read " + what());
            e.offset = pos;
            return e;
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

// Closes an output file written under `temp` and renames it over `final`; on failure nothing is
// left under the temporary name.
Result<void> closeAndPlace(std::intptr_t& handle, const std::filesystem::path& temp, const std::filesystem::path& final)
{
    ::CloseHandle(handleOf(std::exchange(handle, -1)));
    // Windows refuses to replace a read-only file; said here in so many words, and the same
    // wherever the rename would have let it through.
    const DWORD existing = ::GetFileAttributesW(sys(final).c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_READONLY)) {
        ::DeleteFileW(sys(temp).c_str());
        return Error{Code::PermissionDenied, text(final) + " is read-only and was not replaced"};
    }
    if (!::MoveFileExW(sys(temp).c_str(), sys(final).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const auto ec = lastError();
        ::DeleteFileW(sys(temp).c_str());
        return systemError(ec, "cannot rename into place " + text(final));
    }
    return Ok{};
}

}  // namespace

Result<void> detail::writeAll(std::intptr_t handle, const char* data, std::size_t size,
                              const std::filesystem::path& path)
{
    return quillmark::platform::writeAll(handleOf(handle), data, size, path);
}

// ---- ReadOnlyFile --------------------------------------------------------------------------

Result<ReadOnlyFile> ReadOnlyFile::open(const std::filesystem::path& path)
{
    const DWORD attributes = ::GetFileAttributesW(sys(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Error{Code::IsDirectory, text(path) + " is a folder, not a mailbox file"};
    HANDLE h = ::CreateFileW(sys(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return systemError(lastError(), "cannot open " + text(path));
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        return Error{Code::NotAFile, text(path) + " is not a regular file"};
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h, &size)) {
        const auto ec = lastError();
        ::CloseHandle(h);
        return systemError(ec, "cannot read the size of " + text(path));
    }
    ReadOnlyFile file;
    file.m_handle = toHandle(h);
    file.m_size = static_cast<std::uint64_t>(size.QuadPart);
    file.m_path = path;
    return file;
}

Result<std::size_t> ReadOnlyFile::readFromSystem(std::uint64_t offset, std::span<char> buffer) const
{
    return readUpTo(handleOf(m_handle), offset, buffer.data(), buffer.size(), [&] { return text(m_path); });
}

void ReadOnlyFile::adviseSequential() const noexcept {}  // asked for when opening

void ReadOnlyFile::close() noexcept
{
    if (valid(m_handle)) ::CloseHandle(handleOf(std::exchange(m_handle, kInvalid)));
}

// ---- AtomicFile ----------------------------------------------------------------------------

Result<AtomicFile> AtomicFile::create(const std::filesystem::path& finalPath)
{
    AtomicFile file;
    file.m_final = finalPath;
    file.m_temp = finalPath;
    file.m_temp += L".part";
    HANDLE h = ::CreateFileW(sys(file.m_temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return systemError(lastError(), "cannot create " + text(finalPath));
    file.m_handle = toHandle(h);
    file.m_buffer = std::make_unique_for_overwrite<char[]>(kWriteBuffer);
    return file;
}

Result<void> AtomicFile::commit()
{
    if (!valid(m_handle)) return Error{Code::InvalidArgument, "commit of a closed file " + text(m_final)};
    if (auto r = flush(); !r) {
        discard();
        return r;
    }
    return closeAndPlace(m_handle, m_temp, m_final);
}

void AtomicFile::discard() noexcept
{
    if (valid(m_handle)) {
        ::CloseHandle(handleOf(std::exchange(m_handle, -1)));
        ::DeleteFileW(sys(m_temp).c_str());
    }
    m_used = 0;
}

Result<AtomicFile> AtomicFile::create(const OutputFolder& folder, std::string_view name)
{
    return create(folder.path() / std::filesystem::path(std::u8string(name.begin(), name.end())));
}

// ---- PositionalFile ------------------------------------------------------------------------

Result<PositionalFile> PositionalFile::create(const std::filesystem::path& finalPath)
{
    PositionalFile file;
    file.m_final = finalPath;
    file.m_temp = finalPath;
    file.m_temp += L".part";
    HANDLE h = ::CreateFileW(sys(file.m_temp).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return systemError(lastError(), "cannot create " + text(finalPath));
    file.m_handle = toHandle(h);
    return file;
}

Result<void> PositionalFile::placeAndClose() { return closeAndPlace(m_handle, m_temp, m_final); }

void PositionalFile::discard() noexcept
{
    if (!valid(m_handle)) return;
    ::CloseHandle(handleOf(std::exchange(m_handle, -1)));
    ::DeleteFileW(sys(m_temp).c_str());
}

// ---- OutputFolder --------------------------------------------------------------------------

// Windows has no "at" calls to use a folder handle with: the folder keeps only its path.
Result<std::intptr_t> detail::openFolder(const std::filesystem::path& path)
{
    const DWORD a = ::GetFileAttributesW(sys(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return systemError(lastError(), "cannot open the folder " + text(path));
    if (!(a & FILE_ATTRIBUTE_DIRECTORY)) return Error{Code::NotAFile, text(path) + " is not a folder"};
    return std::intptr_t{0};
}

void detail::closeFolder(std::intptr_t) noexcept {}

// ---- AppendFile ----------------------------------------------------------------------------

Result<AppendFile> AppendFile::open(const std::filesystem::path& path)
{
    HANDLE h = ::CreateFileW(sys(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return systemError(lastError(), "cannot open " + text(path) + " for appending");
    LARGE_INTEGER size{};
    LARGE_INTEGER zero{};
    if (!::GetFileSizeEx(h, &size) || !::SetFilePointerEx(h, zero, nullptr, FILE_END)) {
        const auto ec = lastError();
        ::CloseHandle(h);
        return systemError(ec, "cannot open " + text(path) + " for appending");
    }
    AppendFile file;
    file.m_handle = toHandle(h);
    file.m_path = path;
    file.m_buffer = std::make_unique_for_overwrite<char[]>(kWriteBuffer);
    file.m_initialSize = file.m_size = static_cast<std::uint64_t>(size.QuadPart);
    return file;
}

Result<void> AppendFile::truncate(std::uint64_t size)
{
    if (!valid(m_handle)) return Error{Code::InvalidArgument, "truncate of a closed file " + text(m_path)};
    m_used = 0;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(handleOf(m_handle), at, nullptr, FILE_BEGIN) || !::SetEndOfFile(handleOf(m_handle)))
        return systemError(lastError(), "cannot restore " + text(m_path));
    m_size = size;
    return Ok{};
}

Result<void> AppendFile::close()
{
    if (!valid(m_handle)) return Ok{};
    auto r = flush();
    ::CloseHandle(handleOf(std::exchange(m_handle, -1)));
    return r;
}

// ---- Questions about paths -----------------------------------------------------------------

bool isOrdinaryFile(const std::filesystem::path& path) noexcept
{
    const DWORD a = ::GetFileAttributesW(sys(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES
        && !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DEVICE));
}

Result<std::uint64_t> fileSize(const std::filesystem::path& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(sys(path).c_str(), GetFileExInfoStandard, &data))
        return systemError(lastError(), "cannot read the size of " + text(path));
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Error{Code::IsDirectory, text(path) + " is a folder"};
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool isLinkOrJunction(const std::filesystem::directory_entry& entry) noexcept
{
    // Junctions are reparse points that std::filesystem does not call symlinks.
    const DWORD a = ::GetFileAttributesW(sys(entry.path()).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

namespace {
UINT g_consoleCodePage = 0;
}  // namespace

void prepareProcess() noexcept
{
    // The program's text is UTF-8; a console shows it as such only in code page 65001. The
    // console is shared with the shell that started the program, so its code page goes back.
    g_consoleCodePage = ::GetConsoleOutputCP();
    if (g_consoleCodePage != 0 && g_consoleCodePage != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8))
        std::atexit([] { ::SetConsoleOutputCP(g_consoleCodePage); });
}

std::vector<std::string> commandLineArguments(int argc, char** argv)
{
    // main() has the arguments in the ANSI code page, which cannot hold every file name; the
    // wide command line can.
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!wide || count != argc) {
        if (wide) ::LocalFree(wide);
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) args.push_back(text(std::filesystem::path(wide[i])));
    ::LocalFree(wide);
    return args;
}

bool detail::createFolders(const std::filesystem::path& path) noexcept
{
    std::error_code ec;
    if (path.native().size() < MAX_PATH - 12) {
        std::filesystem::create_directories(path, ec);
        return std::filesystem::is_directory(path, ec);
    }
    // std::filesystem passes the ordinary form, which fails past MAX_PATH: each folder along the
    // extended-length form in turn (the root's parts fail harmlessly).
    const std::wstring full = sys(path);
    for (std::size_t at = full.find(L'\\', 4); at != std::wstring::npos; at = full.find(L'\\', at + 1))
        ::CreateDirectoryW(full.substr(0, at).c_str(), nullptr);
    ::CreateDirectoryW(full.c_str(), nullptr);
    const DWORD a = ::GetFileAttributesW(full.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool stderrIsTerminal() noexcept { return ::_isatty(_fileno(stderr)) != 0; }

int stderrColumns() noexcept
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

Result<std::intptr_t> detail::createScratch()
{
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH || ::GetTempFileNameW(folder, L"qmk", 0, name) == 0)
        return systemError(lastError(), "cannot create a temporary file");
    // Deleted by the system when the last handle closes, also when the program is killed.
    const HANDLE h = ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const auto e = lastError();
        ::DeleteFileW(name);
        return systemError(e, "cannot create a temporary file");
    }
    return toHandle(h);
}

Result<void> detail::writeAt(std::intptr_t handle, std::uint64_t offset, const char* data, std::size_t size,
                             const std::filesystem::path& path)
{
    for (std::size_t done = 0; done < size;) {
        OVERLAPPED at{};
        const std::uint64_t pos = offset + done;
        at.Offset = static_cast<DWORD>(pos & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(pos >> 32);
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        DWORD put = 0;
        if (!::WriteFile(handleOf(handle), data + done, want, &put, &at) || put == 0)
            return systemError(lastError(),
                               "cannot write " + (path.empty() ? std::string("a temporary file") : text(path)));
        done += put;
    }
    return Ok{};
}

Result<void> detail::resizeFile(std::intptr_t handle, std::uint64_t size, const std::filesystem::path& path)
{
    FILE_END_OF_FILE_INFO info{};
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFileInformationByHandle(handleOf(handle), FileEndOfFileInfo, &info, sizeof info))
        return systemError(lastError(), "cannot extend " + text(path));
    return Ok{};
}

Result<void> detail::syncFile(std::intptr_t handle, const std::filesystem::path& path)
{
    if (!::FlushFileBuffers(handleOf(handle))) return systemError(lastError(), "cannot flush " + text(path));
    return Ok{};
}

Result<void> detail::readScratch(std::intptr_t handle, std::uint64_t offset, char* data, std::size_t size)
{
    auto got = readUpTo(handleOf(handle), offset, data, size, [] { return std::string("a temporary file"); });
    if (!got) return std::move(got).error();
    if (*got < size) return Error{Code::Io, "a temporary file ended early"};
    return Ok{};
}

void detail::closeScratch(std::intptr_t handle) noexcept { ::CloseHandle(handleOf(handle)); }

}  // namespace quillmark::platform
