// Files as the core needs them: mailboxes opened for shared reading and never written, and output
// files (written in order or at any offset) that appear under their final name only once they
// are complete.
//
// Owns: the native handles (POSIX descriptors, Windows HANDLEs). Calls: the operating system only.
// Invariants: a ReadOnlyFile is never opened for writing; the final name of an AtomicFile or a
// PositionalFile is touched only by commit(), so an interrupted write never leaves a half-written
// file there. Every write of an output file, and the sizing, sync and rename of a PositionalFile,
// can be made to fail by a plan of fault_injection.h.
#pragma once

#include "platform/result.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace quillmark::platform {

// ---- Reading -------------------------------------------------------------------------------

class ReadOnlyFile {
public:
    ReadOnlyFile() = default;
    ReadOnlyFile(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile();

    // Opens for reading while other programs may read, write or delete the file (Thunderbird may
    // be running). A folder gives IsDirectory, anything but a regular file NotAFile.
    [[nodiscard]] static Result<ReadOnlyFile> open(const std::filesystem::path& path);

    bool isOpen() const noexcept { return m_handle != kInvalid; }
    // Size taken when the file was opened.
    std::uint64_t size() const noexcept { return m_size; }
    // Reads up to buffer.size() bytes at offset; fewer only at the end of the file.
    [[nodiscard]] Result<std::size_t> readAt(std::uint64_t offset, std::span<char> buffer) const;
    // Tells the system that the file is read front to back (read-ahead, early page drop).
    void adviseSequential() const noexcept;
    void close() noexcept;

private:
    [[nodiscard]] Result<std::size_t> readFromSystem(std::uint64_t offset, std::span<char> buffer) const;

    static constexpr std::intptr_t kInvalid = -1;
    std::intptr_t m_handle = kInvalid;
    std::uint64_t m_size = 0;
    std::filesystem::path m_path;
};

// A nameless temporary file for data too large to keep in memory until it is needed again. It
// has no name from the start, so nothing is left behind when the program stops, however it stops.
class ScratchFile {
public:
    ScratchFile() = default;
    ScratchFile(ScratchFile&& other) noexcept;
    ScratchFile& operator=(ScratchFile&& other) noexcept;
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile();

    [[nodiscard]] static Result<ScratchFile> create();
    std::uint64_t size() const noexcept { return m_size; }
    [[nodiscard]] Result<void> append(std::span<const char> bytes);
    // Reads buffer.size() bytes at offset; fails when the file ends before.
    [[nodiscard]] Result<void> readAt(std::uint64_t offset, std::span<char> buffer) const;

private:
    std::intptr_t m_handle = -1;
    std::uint64_t m_size = 0;
};

// ---- Writing -------------------------------------------------------------------------------

// A folder that files are written into, held open so that creating many files in it does not
// look its path up again for each one.
class OutputFolder {
public:
    OutputFolder() = default;
    OutputFolder(OutputFolder&& other) noexcept;
    OutputFolder& operator=(OutputFolder&& other) noexcept;
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;
    ~OutputFolder();

    [[nodiscard]] static Result<OutputFolder> open(const std::filesystem::path& path);
    const std::filesystem::path& path() const noexcept { return m_path; }
    std::intptr_t handle() const noexcept { return m_handle; }

private:
    friend class AtomicFile;

    std::intptr_t m_handle = -1;
    std::filesystem::path m_path;
    // Files written here replace files of an earlier run: each is then renamed over its old
    // namesake without first trying to give it the final name (which would fail).
    // Atomic: files of one folder may be written by several threads at once.
    mutable std::atomic<bool> m_replacing{false};
};

// A new file written under a temporary name beside its final one, renamed into place (replacing
// any file of that name) by commit(). Dropped without commit(), the temporary file is removed.
class AtomicFile {
public:
    AtomicFile() = default;
    AtomicFile(AtomicFile&& other) noexcept;
    AtomicFile& operator=(AtomicFile&& other) noexcept;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();

    [[nodiscard]] static Result<AtomicFile> create(const std::filesystem::path& finalPath);
    // The same in a folder held open; the folder must outlive the file. Where the system can,
    // the file has no name at all until commit() links it in.
    [[nodiscard]] static Result<AtomicFile> create(const OutputFolder& folder, std::string_view name);

    // A piece of at least kDirectWrite bytes that finds nothing held back goes to the file at
    // once, without a copy; smaller ones are gathered first.
    [[nodiscard]] Result<void> write(std::span<const char> bytes);
    [[nodiscard]] Result<void> write(std::string_view text)
    {
        return write(std::span<const char>(text.data(), text.size()));
    }
    [[nodiscard]] Result<void> commit();
    void discard() noexcept;

    const std::filesystem::path& finalPath() const noexcept { return m_final; }

    static constexpr std::size_t kDirectWrite = 1024;

private:
    [[nodiscard]] Result<void> flush();

    std::intptr_t m_handle = -1;
    const OutputFolder* m_folder = nullptr;  // when created in one
    std::string m_name;                      // the final name in m_folder
    bool m_anonymous = false;                // no name yet: commit() links it in
    std::filesystem::path m_final;
    std::filesystem::path m_temp;
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_used = 0;
};

// A new file written at any offset (a PST store: blocks first, its header last), under a
// temporary name beside its final one until commit() makes it durable and renames it into place,
// replacing any file of that name. Where the system can, it has no name at all until then.
// Dropped without commit(), or when commit() fails, the temporary file is removed.
class PositionalFile {
public:
    PositionalFile() = default;
    PositionalFile(PositionalFile&& other) noexcept;
    PositionalFile& operator=(PositionalFile&& other) noexcept;
    PositionalFile(const PositionalFile&) = delete;
    PositionalFile& operator=(const PositionalFile&) = delete;
    ~PositionalFile();

    [[nodiscard]] static Result<PositionalFile> create(const std::filesystem::path& finalPath);

    [[nodiscard]] Result<void> writeAt(std::uint64_t offset, std::span<const char> bytes);
    [[nodiscard]] Result<void> writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes)
    {
        return writeAt(offset, std::span<const char>(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    // Cuts the file to `size` bytes or extends it with zeros.
    [[nodiscard]] Result<void> resize(std::uint64_t size);
    [[nodiscard]] Result<void> commit();
    void discard() noexcept;

private:
    // Gives the file its final name and closes it; on failure the temporary name goes.
    [[nodiscard]] Result<void> placeAndClose();

    std::intptr_t m_handle = -1;
    bool m_anonymous = false;  // no name yet: placeAndClose() links it in
    std::filesystem::path m_final;
    std::filesystem::path m_temp;
};

// A file opened for appending (created when missing); every write goes to its end.
class AppendFile {
public:
    AppendFile() = default;
    AppendFile(AppendFile&& other) noexcept;
    AppendFile& operator=(AppendFile&& other) noexcept;
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    ~AppendFile();

    [[nodiscard]] static Result<AppendFile> open(const std::filesystem::path& path);
    // Size of the file when it was opened: where this run's data begins.
    std::uint64_t initialSize() const noexcept { return m_initialSize; }
    [[nodiscard]] Result<void> write(std::span<const char> bytes);
    [[nodiscard]] Result<void> write(std::string_view text)
    {
        return write(std::span<const char>(text.data(), text.size()));
    }
    [[nodiscard]] Result<void> flush();
    // Cuts the file back to `size` bytes: undoes a partly appended record after a failure.
    [[nodiscard]] Result<void> truncate(std::uint64_t size);
    [[nodiscard]] Result<void> close();

private:
    std::intptr_t m_handle = -1;
    std::filesystem::path m_path;
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_used = 0;
    std::uint64_t m_initialSize = 0;
    std::uint64_t m_size = 0;
};

// ---- Questions about paths -----------------------------------------------------------------

// An existing regular file that is not hidden or a system file (the attributes count on Windows).
bool isOrdinaryFile(const std::filesystem::path& path) noexcept;
// Size of a file, following links.
[[nodiscard]] Result<std::uint64_t> fileSize(const std::filesystem::path& path);
// Whether a directory entry is a symbolic link or (on Windows) a junction: walks must not follow it.
bool isLinkOrJunction(const std::filesystem::directory_entry& entry) noexcept;
// Called once at start-up: a write past a process file-size limit must fail with an error, not
// end the program with a signal.
void prepareProcess() noexcept;
// The program's arguments (argv[0] first) as UTF-8 text: on Windows main() gets them in the ANSI
// code page, which cannot hold every file name.
std::vector<std::string> commandLineArguments(int argc, char** argv);
// Whether standard error is a terminal (a live progress line makes sense there).
bool stderrIsTerminal() noexcept;
// Columns of that terminal; 0 when unknown. A line longer than this wraps, and the next
// refresh would erase only its last row.
int stderrColumns() noexcept;

}  // namespace quillmark::platform
