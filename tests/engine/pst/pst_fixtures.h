// Helpers of the PST tests: scratch files, sample messages and the external readers used as
// oracles (pffinfo/pffexport, readpst, pstcheck.py).
#pragma once

#include "engine/pst/messaging/message_store.h"

#include <filesystem>
#include <string>
#include <vector>

namespace quillmark::pst::test {

// A fresh empty folder for one test, removed by the destructor.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::filesystem::path path(const std::string& name) const { return m_dir / name; }

private:
    std::filesystem::path m_dir;
};

std::vector<std::uint8_t> patternBytes(std::size_t size, std::uint32_t seed);
std::vector<std::uint8_t> readFile(const std::filesystem::path& p);

Message sampleMessage(const std::string& subject);

// The path of the shared structural checker, or empty when it is not there.
std::filesystem::path pstCheckScript();
// A folder holding node_modules/pst-extractor, or empty when it was not installed.
std::filesystem::path pstExtractorDir();

// Our verifier, then pstcheck.py when present: every file a test writes goes through both.
void expectPstValid(const std::filesystem::path& pst);

}  // namespace quillmark::pst::test

#define EXPECT_PST_VALID(path)                                                                                         \
    do {                                                                                                               \
        SCOPED_TRACE("checking " + (path).string());                                                                   \
        ::quillmark::pst::test::expectPstValid(path);                                                                  \
    } while (false)
