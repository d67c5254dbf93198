// A folder of its own for each test, removed afterwards (made writable first, so that tests
// that take permissions away still clean up).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const noexcept { return m_path; }
    std::filesystem::path operator/(std::string_view name) const { return m_path / name; }
    // Writes bytes to a file below the folder (creating folders on the way); returns its path.
    std::filesystem::path write(std::string_view relative, std::string_view bytes) const;

private:
    std::filesystem::path m_path;
};

std::string readFile(const std::filesystem::path& path);
// Every regular file below root, as paths relative to it with "/" separators, sorted.
std::vector<std::string> listFiles(const std::filesystem::path& root);

}  // namespace quillmark::testing
