#include "platform/file_io.h"

#include "platform/file_io_internal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmark::platform {
namespace {

using detail::kWriteBuffer;

std::error_code lastError() { return {errno, std::generic_category()}; }

int fd(std::intptr_t handle) { return static_cast<int>(handle); }

int openAt(int dir, const char* name, int flags)
{
    int desc;
    do {
        desc = ::openat(dir, name, flags, 0666);
    } while (desc < 0 && errno == EINTR);
    return desc;
}

// Naming an anonymous file may go through /proc (see linkIn): without it, output files are
// written under a temporary name instead.
[[maybe_unused]] bool canLinkAnonymousFiles()
{
    static const bool available = ::access("/proc/self/fd", X_OK) == 0;
    return available;
}

std::string quoted(const std::filesystem::path& p) { return p.string(); }

// Writes all of bytes, retrying after interrupts and short writes.
Result<void> writeAll(int desc, const char* data, std::size_t size, const std::filesystem::path& p)
{
    while (size > 0) {
        const ssize_t n = ::write(desc, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return systemError(lastError(), "cannot write " + quoted(p));
        }
        if (n == 0) return systemError(std::make_error_code(std::errc::io_error), "cannot write " + quoted(p));
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return Ok{};
}

// Positional reads until `size` bytes are in or the file ends; returns how many came. `what`
// names the file in an error message (made only then).
template <class Name>
Result<std::size_t> readUpTo(int desc, std::uint64_t offset, char* data, std::size_t size, Name what)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(desc, data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            const auto ec = lastError();
            Error e = systemError(ec, "cannot read " + what());
            e.offset = offset + done;
            return e;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// Links the nameless file `desc` in under `name` in `dir`. AT_EMPTY_PATH names the file by its
// descriptor alone; older kernels allow that only to a process that may read any file and refuse
// others with ENOENT (or EPERM), and from then on the link goes through /proc, a path walk more.
bool linkIn(int desc, int dir, const std::string& name)
{
#ifdef AT_EMPTY_PATH
    static std::atomic<bool> byDescriptor{true};
    if (byDescriptor.load(std::memory_order_relaxed)) {
        if (::linkat(desc, "", dir, name.c_str(), AT_EMPTY_PATH) == 0) return true;
        if (errno != ENOENT && errno != EPERM) return false;
        byDescriptor.store(false, std::memory_order_relaxed);
    }
#endif
    const std::string self = "/proc/self/fd/" + std::to_string(desc);
    return ::linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Links a nameless file in under its temporary name and renames that over the final name: how
// a file of the final name is replaced. A temporary file a crashed run left behind is removed
// first, but only when it is in the way.
bool linkOver(int desc, int dir, const std::string& tempName, const std::string& finalName)
{
    bool linked = linkIn(desc, dir, tempName);
    if (!linked && errno == EEXIST && ::unlinkat(dir, tempName.c_str(), 0) == 0) linked = linkIn(desc, dir, tempName);
    if (!linked) return false;
    if (::renameat(dir, tempName.c_str(), dir, finalName.c_str()) == 0) return true;
    const int failure = errno;
    ::unlinkat(dir, tempName.c_str(), 0);
    errno = failure;
    return false;
}

// Gives an output file its final name `finalName` in `dir` and closes it: a nameless file is
// linked in (through the temporary name `finalName` + ".part" when a file of the final name is
// to be replaced), a named one renamed from that temporary name. On failure nothing is left
// under either name. `replacing` (may be null) says whether the final name is expected to exist,
// as in a second run into the same folder: the link under the final name is then not tried
// first. It learns from what this link found.
Result<void> placeAndClose(int desc, bool anonymous, int dir, const std::string& finalName,
                           const std::filesystem::path& shown, std::atomic<bool>* replacing)
{
    const std::string tempName = finalName + ".part";
    if (anonymous) {
        bool linked = false;
        bool replace = replacing && replacing->load(std::memory_order_relaxed);
        if (!replace) {
            linked = linkIn(desc, dir, finalName);
            replace = !linked && errno == EEXIST;
            if (replacing) replacing->store(replace, std::memory_order_relaxed);
        }
        if (replace) linked = linkOver(desc, dir, tempName, finalName);
        const auto ec = lastError();
        const bool closed = ::close(desc) == 0 || errno == EINTR;
        if (!linked) return systemError(ec, "cannot create " + quoted(shown));
        if (!closed) return systemError(lastError(), "cannot write " + quoted(shown));
        return Ok{};
    }
    if (::close(desc) != 0 && errno != EINTR) {
        const auto ec = lastError();
        ::unlinkat(dir, tempName.c_str(), 0);
        return systemError(ec, "cannot write " + quoted(shown));
    }
    if (::renameat(dir, tempName.c_str(), dir, finalName.c_str()) != 0) {
        const auto ec = lastError();
        ::unlinkat(dir, tempName.c_str(), 0);
        return systemError(ec, "cannot rename into place " + quoted(shown));
    }
    return Ok{};
}

}  // namespace

Result<void> detail::writeAll(std::intptr_t handle, const char* data, std::size_t size,
                              const std::filesystem::path& path)
{
    return quillmark::platform::writeAll(fd(handle), data, size, path);
}

// ---- ReadOnlyFile --------------------------------------------------------------------------

Result<ReadOnlyFile> ReadOnlyFile::open(const std::filesystem::path& path)
{
    int desc;
    do {
        desc = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (desc < 0 && errno == EINTR);
    if (desc < 0) return systemError(lastError(), "cannot open " + quoted(path));
    struct stat st {};
    if (::fstat(desc, &st) != 0) {
        const auto ec = lastError();
        ::close(desc);
        return systemError(ec, "cannot read the size of " + quoted(path));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(desc);
        if (S_ISDIR(st.st_mode)) return Error{Code::IsDirectory, quoted(path) + " is a folder, not a mailbox file"};
        return Error{Code::NotAFile, quoted(path) + " is not a regular file"};
    }
    // O_NONBLOCK was only there so that opening a FIFO cannot hang; regular files ignore it.
    ReadOnlyFile file;
    file.m_handle = desc;
    file.m_size = static_cast<std::uint64_t>(st.st_size);
    file.m_path = path;
    return file;
}

Result<std::size_t> ReadOnlyFile::readFromSystem(std::uint64_t offset, std::span<char> buffer) const
{
    return readUpTo(fd(m_handle), offset, buffer.data(), buffer.size(), [&] { return quoted(m_path); });
}

void ReadOnlyFile::adviseSequential() const noexcept
{
#ifdef POSIX_FADV_SEQUENTIAL
    (void)::posix_fadvise(fd(m_handle), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

void ReadOnlyFile::close() noexcept
{
    if (m_handle != kInvalid) ::close(fd(std::exchange(m_handle, kInvalid)));
}

// ---- AtomicFile ----------------------------------------------------------------------------

Result<AtomicFile> AtomicFile::create(const std::filesystem::path& finalPath)
{
    AtomicFile file;
    file.m_final = finalPath;
    file.m_temp = finalPath;
    file.m_temp += ".part";
    const int desc = openAt(AT_FDCWD, file.m_temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
    if (desc < 0) return systemError(lastError(), "cannot create " + quoted(finalPath));
    file.m_handle = desc;
    return file;
}

Result<AtomicFile> AtomicFile::create(const OutputFolder& folder, std::string_view name)
{
    AtomicFile file;
    file.m_folder = &folder;
    file.m_name = std::string(name);
    file.m_final = folder.path() / std::filesystem::path(file.m_name);
    int desc = -1;
#ifdef O_TMPFILE
    // A file without a name: nothing half-written can ever be seen, nor left behind by a crash.
    if (canLinkAnonymousFiles()) {
        desc = openAt(fd(folder.handle()), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC);
        file.m_anonymous = desc >= 0;
    }
#endif
    if (desc < 0) {
        file.m_temp = file.m_final;
        file.m_temp += ".part";
        desc = openAt(fd(folder.handle()), (file.m_name + ".part").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
    }
    if (desc < 0) return systemError(lastError(), "cannot create " + quoted(file.m_final));
    file.m_handle = desc;
    return file;
}

Result<void> AtomicFile::commit()
{
    if (m_handle < 0) return Error{Code::InvalidArgument, "commit of a closed file " + quoted(m_final)};
    if (auto r = flush(); !r) {
        discard();
        return r;
    }
    const int desc = fd(std::exchange(m_handle, -1));
    if (!m_folder) return placeAndClose(desc, m_anonymous, AT_FDCWD, m_final.string(), m_final, nullptr);
    return placeAndClose(desc, m_anonymous, fd(m_folder->handle()), m_name, m_final, &m_folder->m_replacing);
}

void AtomicFile::discard() noexcept
{
    if (m_handle >= 0) {
        ::close(fd(std::exchange(m_handle, -1)));
        if (!m_anonymous) {
            const int dir = m_folder ? fd(m_folder->handle()) : AT_FDCWD;
            ::unlinkat(dir, (m_folder ? m_temp.filename() : m_temp).c_str(), 0);
        }
    }
    m_used = 0;
}

// ---- PositionalFile ------------------------------------------------------------------------

Result<PositionalFile> PositionalFile::create(const std::filesystem::path& finalPath)
{
    PositionalFile file;
    file.m_final = finalPath;
    file.m_temp = finalPath;
    file.m_temp += ".part";
    int desc = -1;
#ifdef O_TMPFILE
    // Nameless until commit(): a crash in the middle of a large file leaves nothing behind.
    if (canLinkAnonymousFiles()) {
        const std::filesystem::path folder = finalPath.parent_path();
        desc = openAt(AT_FDCWD, folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC);
        file.m_anonymous = desc >= 0;
    }
#endif
    if (desc < 0) desc = openAt(AT_FDCWD, file.m_temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
    if (desc < 0) return systemError(lastError(), "cannot create " + quoted(finalPath));
    file.m_handle = desc;
    return file;
}

Result<void> PositionalFile::placeAndClose()
{
    return quillmark::platform::placeAndClose(fd(std::exchange(m_handle, -1)), m_anonymous, AT_FDCWD, m_final.string(),
                                              m_final, nullptr);
}

void PositionalFile::discard() noexcept
{
    if (m_handle < 0) return;
    ::close(fd(std::exchange(m_handle, -1)));
    if (!m_anonymous) ::unlink(m_temp.c_str());
}

// ---- OutputFolder --------------------------------------------------------------------------

Result<std::intptr_t> detail::openFolder(const std::filesystem::path& path)
{
    const int desc = openAt(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (desc < 0) return systemError(lastError(), "cannot open the folder " + quoted(path));
    return std::intptr_t{desc};
}

void detail::closeFolder(std::intptr_t handle) noexcept
{
    if (handle >= 0) ::close(fd(handle));
}

// ---- AppendFile ----------------------------------------------------------------------------

Result<AppendFile> AppendFile::open(const std::filesystem::path& path)
{
    int desc;
    do {
        desc = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    } while (desc < 0 && errno == EINTR);
    if (desc < 0) return systemError(lastError(), "cannot open " + quoted(path) + " for appending");
    struct stat st {};
    if (::fstat(desc, &st) != 0) {
        const auto ec = lastError();
        ::close(desc);
        return systemError(ec, "cannot read the size of " + quoted(path));
    }
    AppendFile file;
    file.m_handle = desc;
    file.m_path = path;
    file.m_buffer = std::make_unique_for_overwrite<char[]>(kWriteBuffer);
    file.m_initialSize = file.m_size = static_cast<std::uint64_t>(st.st_size);
    return file;
}

Result<void> AppendFile::truncate(std::uint64_t size)
{
    if (m_handle < 0) return Error{Code::InvalidArgument, "truncate of a closed file " + quoted(m_path)};
    m_used = 0;
    if (::ftruncate(fd(m_handle), static_cast<off_t>(size)) != 0)
        return systemError(lastError(), "cannot restore " + quoted(m_path));
    m_size = size;
    return Ok{};
}

Result<void> AppendFile::close()
{
    if (m_handle < 0) return Ok{};
    auto r = flush();
    if (::close(fd(std::exchange(m_handle, -1))) != 0 && errno != EINTR && r.ok())
        return systemError(lastError(), "cannot write " + quoted(m_path));
    return r;
}

// ---- Questions about paths -----------------------------------------------------------------

bool isOrdinaryFile(const std::filesystem::path& path) noexcept
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Result<std::uint64_t> fileSize(const std::filesystem::path& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return systemError(lastError(), "cannot read the size of " + quoted(path));
    if (S_ISDIR(st.st_mode)) return Error{Code::IsDirectory, quoted(path) + " is a folder"};
    return static_cast<std::uint64_t>(st.st_size);
}

bool isLinkOrJunction(const std::filesystem::directory_entry& entry) noexcept
{
    std::error_code ec;
    return entry.is_symlink(ec);
}

bool stderrIsTerminal() noexcept { return ::isatty(STDERR_FILENO) != 0; }

int stderrColumns() noexcept
{
    winsize size{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void prepareProcess() noexcept
{
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> commandLineArguments(int argc, char** argv) { return {argv, argv + argc}; }

bool detail::createFolders(const std::filesystem::path& path) noexcept
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

Result<std::intptr_t> detail::createScratch()
{
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
    if (ec) folder = "/tmp";
    std::string name = (folder / "quillmark-XXXXXX").string();
    const int desc = ::mkstemp(name.data());
    if (desc < 0) return systemError(lastError(), "cannot create a temporary file in " + quoted(folder));
    ::unlink(name.c_str());  // nameless from now on: nothing is left behind
    return static_cast<std::intptr_t>(desc);
}

Result<void> detail::writeAt(std::intptr_t handle, std::uint64_t offset, const char* data, std::size_t size,
                             const std::filesystem::path& path)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::pwrite(fd(handle), data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A write that takes nothing would be retried for ever: call it a full disk.
            const auto ec = n < 0 ? lastError() : std::make_error_code(std::errc::no_space_on_device);
            return systemError(ec, "cannot write " + (path.empty() ? std::string("a temporary file") : quoted(path)));
        }
        done += static_cast<std::size_t>(n);
    }
    return Ok{};
}

Result<void> detail::resizeFile(std::intptr_t handle, std::uint64_t size, const std::filesystem::path& path)
{
    int r;
    do {
        r = ::ftruncate(fd(handle), static_cast<off_t>(size));
    } while (r != 0 && errno == EINTR);
    if (r != 0) return systemError(lastError(), "cannot extend " + quoted(path));
    return Ok{};
}

Result<void> detail::syncFile(std::intptr_t handle, const std::filesystem::path& path)
{
    int r;
    do {
        r = ::fsync(fd(handle));
    } while (r != 0 && errno == EINTR);
    if (r != 0) return systemError(lastError(), "cannot flush " + quoted(path));
    return Ok{};
}

Result<void> detail::readScratch(std::intptr_t handle, std::uint64_t offset, char* data, std::size_t size)
{
    auto got = readUpTo(fd(handle), offset, data, size, [] { return std::string("a temporary file"); });
    if (!got) return std::move(got).error();
    if (*got < size) return Error{Code::Io, "a temporary file ended early"};
    return Ok{};
}

void detail::closeScratch(std::intptr_t handle) noexcept { ::close(fd(handle)); }

}  // namespace quillmark::platform
