// Writes a PST's full write-behind buffers on a thread of its own, so that the copy into the file
// (about a third of the storing thread's time) overlaps the building of the next blocks. One buffer
// is in flight while the caller fills the other; on one core the writes are made in place.
// Internal to the NDB layer.
#pragma once

#include "platform/file_io.h"
#include "platform/result.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace quillmark::pst::ndb {

class BackgroundWriter {
public:
    using Buffer = std::unique_ptr<std::uint8_t[]>;

    BackgroundWriter(platform::PositionalFile& file, std::size_t bufferSize);
    ~BackgroundWriter();
    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;

    // Hands `size` bytes of `full` over to be written at `offset` and returns a buffer to fill
    // next. Fails with the first error of an earlier write (nothing is in flight then).
    [[nodiscard]] Result<Buffer> submit(std::uint64_t offset, Buffer full, std::size_t size);
    // Waits until nothing is in flight; the first error of any write.
    [[nodiscard]] Result<void> drain();

private:
    void run();

    platform::PositionalFile& m_file;
    std::size_t m_bufferSize;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Buffer m_inFlight;  // being written, or waiting to be
    std::uint64_t m_offset = 0;
    std::size_t m_size = 0;
    bool m_writing = false;  // a buffer is being written
    Buffer m_spare;          // written, ready to be filled again
    std::optional<Error> m_error;
    bool m_stop = false;
    std::thread m_thread;  // none on one core
};

}  // namespace quillmark::pst::ndb
