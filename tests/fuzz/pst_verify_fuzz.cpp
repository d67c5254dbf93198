// Fuzz target for the PST verifier: whatever the bytes, it must end with a report, never crash,
// loop or use memory without bound; and reading them from a file (through the verifier's window
// cache) must give the report that reading them from memory gives.
// Build with -DQUILLMARK_FUZZ=ON (clang). Seed with files our MessageStore writes, then run:
//   build-fuzz/bin/pst_fuzz_seeds corpus && build-fuzz/bin/pst_verify_fuzz -rss_limit_mb=1024 corpus
#include "engine/pst/format.h"
#include "engine/pst/verify/verifier.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace quillmark;

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "pst_verify_fuzz: %s\n", what);
        std::abort();
    }
}

// A changed B-tree page nearly always fails its CRC, and the checks behind that one would go
// unfuzzed; so unless the header's unused bidUnused is odd, every page that looks like a B-tree
// page gets its CRC recomputed first.
std::vector<std::uint8_t> withPageCrcs(const std::uint8_t* bytes, std::size_t size)
{
    std::vector<std::uint8_t> data(bytes, bytes + size);
    if (size <= 24 || (data[24] & 1)) return data;
    for (std::size_t ib = pst::fmt::kFirstAMapOffset; ib + pst::fmt::kPageSize <= size; ib += pst::fmt::kPageSize) {
        const std::uint8_t type = data[ib + pst::fmt::page::kType];
        const bool btree = type == pst::fmt::page::kBBT || type == pst::fmt::page::kNBT;
        if (!btree || type != data[ib + pst::fmt::page::kTypeRepeat]) continue;
        const std::uint32_t crc = pst::crc32(std::span(data).subspan(ib, pst::fmt::page::kTrailer));
        for (std::size_t i = 0; i < 4; ++i)
            data[ib + pst::fmt::page::kCrc + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
    return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t inputSize)
{
    const auto data = withPageCrcs(input, inputSize);
    const std::uint8_t* bytes = data.data();
    const std::size_t size = data.size();
    const auto fromMemory = pst::verify(std::span<const std::uint8_t>(bytes, size), 50);
    check(fromMemory.errors.size() <= 50 && fromMemory.warnings.size() <= 50, "more issues than asked for");

    static const std::string path = "/dev/shm/quillmark-pst-fuzz-" + std::to_string(::getpid());
    static const bool removedAtExit = std::atexit([] { std::remove(path.c_str()); }) == 0;
    (void)removedAtExit;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    const auto fromFile = pst::verify(std::filesystem::path(path), 50);
    check(fromFile.ok(), "cannot verify the file just written");
    check(fromFile->text() == fromMemory.text(), "the file gives another report than the same bytes in memory");
    return 0;
}
