// The parts of the file layer that are the same on every system: buffering and moves. The system
// calls are in file_io_posix.cpp and file_io_win.cpp.
#include "platform/file_io.h"

#include "platform/fault_injection.h"
#include "platform/file_io_internal.h"
#include "platform/paths.h"

#include <cstring>
#include <utility>

namespace quillmark::platform {
namespace {

using detail::kNoHandle;
using detail::kWriteBuffer;

// What a planned fault returns: the error a failing disk gives.
Error injectedFault(std::string what)
{
    return systemError(std::make_error_code(std::errc::io_error), std::move(what));
}

// Every write of the file layer goes through here, so a planned fault hits them all alike.
Result<void> writeOut(std::intptr_t handle, const char* data, std::size_t size, const std::filesystem::path& path)
{
    if (faults::shouldFail(faults::Op::Write)) return injectedFault("cannot write " + toText(path));
    return detail::writeAll(handle, data, size, path);
}

// Appends bytes to a write buffer, sending it to the file when full; large writes go straight.
Result<void> bufferedWrite(std::intptr_t handle, const std::filesystem::path& path, char* buffer, std::size_t& used,
                           std::span<const char> bytes)
{
    if (used + bytes.size() <= kWriteBuffer) {
        std::memcpy(buffer + used, bytes.data(), bytes.size());
        used += bytes.size();
        return Ok{};
    }
    if (used > 0) {
        auto r = writeOut(handle, buffer, std::exchange(used, 0), path);
        if (!r) return r;
    }
    if (bytes.size() >= kWriteBuffer) return writeOut(handle, bytes.data(), bytes.size(), path);
    std::memcpy(buffer, bytes.data(), bytes.size());
    used = bytes.size();
    return Ok{};
}

Result<void> flushBuffer(std::intptr_t handle, const std::filesystem::path& path, char* buffer, std::size_t& used)
{
    if (used == 0) return Ok{};
    return writeOut(handle, buffer, std::exchange(used, 0), path);
}

}  // namespace

// ---- ReadOnlyFile --------------------------------------------------------------------------

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, kInvalid)), m_size(other.m_size), m_path(std::move(other.m_path))
{
}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept
{
    if (this != &other) {
        close();
        m_handle = std::exchange(other.m_handle, kInvalid);
        m_size = other.m_size;
        m_path = std::move(other.m_path);
    }
    return *this;
}

ReadOnlyFile::~ReadOnlyFile() { close(); }

Result<std::size_t> ReadOnlyFile::readAt(std::uint64_t offset, std::span<char> buffer) const
{
    if (faults::shouldFail(faults::Op::Read)) {
        Error e = systemError(std::make_error_code(std::errc::io_error), "cannot read " + toText(m_path));
        e.offset = offset;
        return e;
    }
    return readFromSystem(offset, buffer);
}

// ---- OutputFolder --------------------------------------------------------------------------

OutputFolder::OutputFolder(OutputFolder&& other) noexcept
    : m_handle(std::exchange(other.m_handle, kNoHandle)), m_path(std::move(other.m_path)),
      m_replacing(other.m_replacing.load(std::memory_order_relaxed))
{
}

OutputFolder& OutputFolder::operator=(OutputFolder&& other) noexcept
{
    if (this != &other) {
        detail::closeFolder(std::exchange(m_handle, kNoHandle));
        m_handle = std::exchange(other.m_handle, kNoHandle);
        m_path = std::move(other.m_path);
        m_replacing.store(other.m_replacing.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    return *this;
}

OutputFolder::~OutputFolder() { detail::closeFolder(std::exchange(m_handle, kNoHandle)); }

Result<OutputFolder> OutputFolder::open(const std::filesystem::path& path)
{
    auto handle = detail::openFolder(path);
    if (!handle) return std::move(handle).error();
    OutputFolder folder;
    folder.m_handle = *handle;
    folder.m_path = path;
    return folder;
}

// ---- AtomicFile ----------------------------------------------------------------------------

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, kNoHandle)), m_folder(other.m_folder), m_name(std::move(other.m_name)),
      m_anonymous(other.m_anonymous), m_final(std::move(other.m_final)), m_temp(std::move(other.m_temp)),
      m_buffer(std::move(other.m_buffer)), m_used(std::exchange(other.m_used, 0))
{
}

AtomicFile& AtomicFile::operator=(AtomicFile&& other) noexcept
{
    if (this != &other) {
        discard();
        m_handle = std::exchange(other.m_handle, kNoHandle);
        m_folder = other.m_folder;
        m_name = std::move(other.m_name);
        m_anonymous = other.m_anonymous;
        m_final = std::move(other.m_final);
        m_temp = std::move(other.m_temp);
        m_buffer = std::move(other.m_buffer);
        m_used = std::exchange(other.m_used, 0);
    }
    return *this;
}

AtomicFile::~AtomicFile() { discard(); }

Result<void> AtomicFile::flush() { return flushBuffer(m_handle, m_final, m_buffer.get(), m_used); }

Result<void> AtomicFile::write(std::span<const char> bytes)
{
    if (m_handle == kNoHandle) return Error{Code::InvalidArgument, "write to a closed file " + toText(m_final)};
    if (m_used == 0 && bytes.size() >= kDirectWrite) return writeOut(m_handle, bytes.data(), bytes.size(), m_final);
    if (!m_buffer) m_buffer = std::make_unique_for_overwrite<char[]>(kWriteBuffer);
    return bufferedWrite(m_handle, m_final, m_buffer.get(), m_used, bytes);
}

// ---- PositionalFile ------------------------------------------------------------------------

PositionalFile::PositionalFile(PositionalFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, kNoHandle)), m_anonymous(other.m_anonymous),
      m_final(std::move(other.m_final)), m_temp(std::move(other.m_temp))
{
}

PositionalFile& PositionalFile::operator=(PositionalFile&& other) noexcept
{
    if (this != &other) {
        discard();
        m_handle = std::exchange(other.m_handle, kNoHandle);
        m_anonymous = other.m_anonymous;
        m_final = std::move(other.m_final);
        m_temp = std::move(other.m_temp);
    }
    return *this;
}

PositionalFile::~PositionalFile() { discard(); }

Result<void> PositionalFile::writeAt(std::uint64_t offset, std::span<const char> bytes)
{
    if (m_handle == kNoHandle) return Error{Code::InvalidArgument, "write to a closed file " + toText(m_final)};
    if (faults::shouldFail(faults::Op::Write)) return injectedFault("cannot write " + toText(m_final));
    return detail::writeAt(m_handle, offset, bytes.data(), bytes.size(), m_final);
}

Result<void> PositionalFile::resize(std::uint64_t size)
{
    if (m_handle == kNoHandle) return Error{Code::InvalidArgument, "resize of a closed file " + toText(m_final)};
    if (faults::shouldFail(faults::Op::Write)) return injectedFault("cannot extend " + toText(m_final));
    return detail::resizeFile(m_handle, size, m_final);
}

Result<void> PositionalFile::commit()
{
    if (m_handle == kNoHandle) return Error{Code::InvalidArgument, "commit of a closed file " + toText(m_final)};
    // The data reaches the disk before the name does: after a crash the final name holds the
    // whole file or is not there.
    auto synced = faults::shouldFail(faults::Op::Write) ? Result<void>(injectedFault("cannot flush " + toText(m_final)))
                                                        : detail::syncFile(m_handle, m_final);
    if (!synced) {
        discard();
        return synced;
    }
    if (faults::shouldFail(faults::Op::Write)) {
        discard();
        return injectedFault("cannot rename into place " + toText(m_final));
    }
    return placeAndClose();
}

// ---- AppendFile ----------------------------------------------------------------------------

AppendFile::AppendFile(AppendFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, kNoHandle)), m_path(std::move(other.m_path)),
      m_buffer(std::move(other.m_buffer)), m_used(std::exchange(other.m_used, 0)), m_initialSize(other.m_initialSize),
      m_size(other.m_size)
{
}

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept
{
    if (this != &other) {
        (void)close();
        m_handle = std::exchange(other.m_handle, kNoHandle);
        m_path = std::move(other.m_path);
        m_buffer = std::move(other.m_buffer);
        m_used = std::exchange(other.m_used, 0);
        m_initialSize = other.m_initialSize;
        m_size = other.m_size;
    }
    return *this;
}

AppendFile::~AppendFile() { (void)close(); }

Result<void> AppendFile::flush() { return flushBuffer(m_handle, m_path, m_buffer.get(), m_used); }

Result<void> AppendFile::write(std::span<const char> bytes)
{
    if (m_handle == kNoHandle) return Error{Code::InvalidArgument, "write to a closed file " + toText(m_path)};
    m_size += bytes.size();
    return bufferedWrite(m_handle, m_path, m_buffer.get(), m_used, bytes);
}

// ---- ScratchFile ---------------------------------------------------------------------------

ScratchFile::ScratchFile(ScratchFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, kNoHandle)), m_size(std::exchange(other.m_size, 0))
{
}

ScratchFile& ScratchFile::operator=(ScratchFile&& other) noexcept
{
    if (this != &other) {
        if (m_handle != kNoHandle) detail::closeScratch(m_handle);
        m_handle = std::exchange(other.m_handle, kNoHandle);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

ScratchFile::~ScratchFile()
{
    if (m_handle != kNoHandle) detail::closeScratch(m_handle);
}

Result<ScratchFile> ScratchFile::create()
{
    auto handle = detail::createScratch();
    if (!handle) return std::move(handle).error();
    ScratchFile file;
    file.m_handle = *handle;
    return file;
}

Result<void> ScratchFile::append(std::span<const char> bytes)
{
    if (faults::shouldFail(faults::Op::Write)) return injectedFault("cannot write a temporary file");
    if (auto r = detail::writeAt(m_handle, m_size, bytes.data(), bytes.size(), {}); !r) return r;
    m_size += bytes.size();
    return Ok{};
}

Result<void> ScratchFile::readAt(std::uint64_t offset, std::span<char> buffer) const
{
    if (offset > m_size || buffer.size() > m_size - offset)
        return Error{Code::InvalidArgument, "read beyond the end of a temporary file"};
    return detail::readScratch(m_handle, offset, buffer.data(), buffer.size());
}

}  // namespace quillmark::platform
