#include "engine/pst/ndb/background_writer.h"

#include <span>

namespace quillmark::pst::ndb {

BackgroundWriter::BackgroundWriter(platform::PositionalFile& file, std::size_t bufferSize)
    : m_file(file), m_bufferSize(bufferSize)
{
    if (std::thread::hardware_concurrency() >= 2) m_thread = std::thread([this] { run(); });
}

BackgroundWriter::~BackgroundWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

Result<BackgroundWriter::Buffer> BackgroundWriter::submit(std::uint64_t offset, Buffer full, std::size_t size)
{
    if (!m_thread.joinable()) {
        auto written = m_file.writeAt(offset, std::span<const std::uint8_t>(full.get(), size));
        if (!written) return std::move(written).error();
        return full;
    }
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return !m_inFlight; });
    if (m_error) return *m_error;
    m_inFlight = std::move(full);
    m_offset = offset;
    m_size = size;
    Buffer next = m_spare ? std::move(m_spare) : Buffer(new std::uint8_t[m_bufferSize]);
    lock.unlock();
    m_changed.notify_all();
    return next;
}

Result<void> BackgroundWriter::drain()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return !m_inFlight && !m_writing; });
    if (m_error) return *m_error;
    return Ok{};
}

void BackgroundWriter::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_stop || m_inFlight; });
        if (!m_inFlight) return;  // stopped with nothing left to write
        Buffer buffer = std::move(m_inFlight);
        const std::uint64_t offset = m_offset;
        const std::size_t size = m_size;
        // After a failure nothing more is written: the file is discarded.
        const bool failed = m_error.has_value();
        m_writing = true;
        lock.unlock();
        m_changed.notify_all();  // the slot is free for the next buffer
        auto written
            = failed ? Result<void>(Ok{}) : m_file.writeAt(offset, std::span<const std::uint8_t>(buffer.get(), size));
        lock.lock();
        m_writing = false;
        if (!written && !m_error) m_error = std::move(written).error();
        m_spare = std::move(buffer);
        m_changed.notify_all();
    }
}

}  // namespace quillmark::pst::ndb
