// Errors as values.
//
// Every fallible call of the core returns Result<T>: either a value or an Error that says what
// went wrong (code), in words a user can act on (detail), where in the input (offset) and which
// line of ours noticed it (where). Exceptions never cross the core's public API.
#pragma once

#include <cstdint>
#include <source_location>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

namespace quillmark {

#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
// For standard libraries without std::source_location (libstdc++ under clang 14): file and line.
struct SourceLocation {
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE()) noexcept
    {
        return SourceLocation{file, line};
    }
    constexpr const char* file_name() const noexcept { return m_file; }
    constexpr unsigned line() const noexcept { return m_line; }
    const char* m_file = "";
    unsigned m_line = 0;
};
#endif

enum class Code {
    InvalidArgument,   // the caller passed something that cannot work (empty path, bad option)
    NotFound,          // file or folder does not exist
    IsDirectory,       // a folder where a file was expected
    NotAFile,          // neither file nor folder (device, socket, ...)
    PermissionDenied,  // the system refused access
    NoSpace,           // disk or quota full
    FileTooLarge,      // the file-size limit of the system or process was hit
    Io,                // any other read/write failure
    Corrupt,           // input data that cannot be used as it stands
    Unsupported,       // a feature this build does not have
    Cancelled,         // the user asked to stop
    OutOfMemory,
    Internal,  // a fault of the program itself: an exception where none was expected
};

const char* codeName(Code code) noexcept;

struct Error {
    Code code = Code::Io;
    std::string detail;
    std::uint64_t offset = 0;
    SourceLocation where = SourceLocation::current();
};

// Builds an Error from an errno / GetLastError value, with `what` naming the failed operation
// and the file, e.g. "cannot create /out/Email-0.eml".
Error systemError(std::error_code ec, std::string what, SourceLocation where = SourceLocation::current());

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_v(std::in_place_index<0>, std::move(value)) {}      // NOLINT: implicit by design
    Result(Error error) : m_v(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool ok() const noexcept { return m_v.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(m_v); }
    const T& value() const& { return std::get<0>(m_v); }
    T&& value() && { return std::get<0>(std::move(m_v)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const& { return std::get<1>(m_v); }
    Error&& error() && { return std::get<1>(std::move(m_v)); }

private:
    std::variant<T, Error> m_v;
};

struct Ok {};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Ok) {}                                                       // NOLINT: implicit by design
    Result(Error error) : m_error(std::move(error)), m_failed(true) {}  // NOLINT

    bool ok() const noexcept { return !m_failed; }
    explicit operator bool() const noexcept { return ok(); }
    const Error& error() const& { return m_error; }
    Error&& error() && { return std::move(m_error); }

private:
    Error m_error;
    bool m_failed = false;
};

}  // namespace quillmark
