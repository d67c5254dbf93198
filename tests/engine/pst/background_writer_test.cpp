// The PST's write-behind buffers written on a thread of their own: every byte where it belongs,
// and a failed write said by the next call and every later one, with nothing written after it.
#include "engine/pst/ndb/background_writer.h"
#include "platform/fault_injection.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

using namespace quillmark;
using quillmark::pst::ndb::BackgroundWriter;

namespace {

constexpr std::size_t kBuffer = 4096;

// Fills `buffer` with the byte that marks piece `i`.
void fill(BackgroundWriter::Buffer& buffer, std::size_t i)
{
    std::memset(buffer.get(), 'a' + static_cast<int>(i % 26), kBuffer);
}

TEST(BackgroundWriter, WritesEveryBufferWhereItBelongs)
{
    quillmark::testing::TempDir dir;
    const auto path = dir.path() / "out.bin";
    auto file = platform::PositionalFile::create(path);
    ASSERT_TRUE(file.ok());
    {
        BackgroundWriter writer(*file, kBuffer);
        BackgroundWriter::Buffer buffer(new std::uint8_t[kBuffer]);
        // Pieces out of file order and of different lengths, as after a skipped interval.
        for (std::size_t i = 0; i < 40; ++i) {
            fill(buffer, i);
            const std::uint64_t at = (i % 2 ? 40 - i : i) * kBuffer;
            auto next = writer.submit(at, std::move(buffer), kBuffer - (i == 39 ? 100 : 0));
            ASSERT_TRUE(next.ok()) << next.error().detail;
            buffer = std::move(*next);
        }
        ASSERT_TRUE(writer.drain().ok());
    }
    ASSERT_TRUE(file->commit().ok());
    const std::string bytes = quillmark::testing::readFile(path);
    ASSERT_EQ(bytes.size(), 40 * kBuffer);
    for (std::size_t i = 0; i < 40; ++i) {
        const std::size_t at = (i % 2 ? 40 - i : i) * kBuffer;
        const std::size_t n = kBuffer - (i == 39 ? 100 : 0);
        EXPECT_EQ(bytes.substr(at, n), std::string(n, static_cast<char>('a' + i % 26))) << "piece " << i;
    }
}

TEST(BackgroundWriter, AFailedWriteIsSaidByTheNextCallsAndEndsTheWriting)
{
    quillmark::testing::TempDir dir;
    auto file = platform::PositionalFile::create(dir.path() / "out.bin");
    ASSERT_TRUE(file.ok());
    BackgroundWriter writer(*file, kBuffer);
    BackgroundWriter::Buffer buffer(new std::uint8_t[kBuffer]);
    platform::faults::failNth(platform::faults::Op::Write, 3);
    std::optional<Error> first;
    for (std::size_t i = 0; i < 10 && !first; ++i) {
        fill(buffer, i);
        auto next = writer.submit(i * kBuffer, std::move(buffer), kBuffer);
        if (!next) {
            first = next.error();
            break;
        }
        buffer = std::move(*next);
    }
    platform::faults::failNth(platform::faults::Op::Write, 0);
    const auto drained = writer.drain();
    ASSERT_FALSE(drained.ok());
    if (first) {
        EXPECT_EQ(first->detail, drained.error().detail);
    }
    EXPECT_NE(drained.error().detail.find("Input/output error"), std::string::npos) << drained.error().detail;
    // It sticks: a later buffer is refused, not written.
    BackgroundWriter::Buffer later(new std::uint8_t[kBuffer]);
    EXPECT_FALSE(writer.submit(100 * kBuffer, std::move(later), kBuffer).ok());
    EXPECT_FALSE(writer.drain().ok());
    file->discard();
}

}  // namespace
