#include "platform/result.h"

#include <cerrno>
#ifdef _WIN32
#include <winerror.h>
#endif

namespace quillmark {

const char* codeName(Code code) noexcept
{
    switch (code) {
    case Code::InvalidArgument:
        return "invalid argument";
    case Code::NotFound:
        return "not found";
    case Code::IsDirectory:
        return "is a folder";
    case Code::NotAFile:
        return "not a regular file";
    case Code::PermissionDenied:
        return "permission denied";
    case Code::NoSpace:
        return "no space left on device";
    case Code::FileTooLarge:
        return "file too large";
    case Code::Io:
        return "input/output error";
    case Code::Corrupt:
        return "damaged data";
    case Code::Unsupported:
        return "not supported";
    case Code::Cancelled:
        return "cancelled";
    case Code::OutOfMemory:
        return "out of memory";
    case Code::Internal:
        return "internal error";
    }
    return "unknown error";
}

static Code codeOf(std::error_code ec)
{
#ifdef _WIN32
    // The system's own codes that the C++ library maps to no portable condition, or to a vague one.
    if (ec.category() == std::system_category()) {
        switch (ec.value()) {
        case ERROR_SHARING_VIOLATION:  // another program holds the file open without sharing it
        case ERROR_LOCK_VIOLATION:
            return Code::PermissionDenied;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return Code::NoSpace;
        case ERROR_FILE_TOO_LARGE:
            return Code::FileTooLarge;
        default:
            break;
        }
    }
#endif
    const std::error_condition c = ec.default_error_condition();
    if (c == std::errc::no_such_file_or_directory) return Code::NotFound;
    if (c == std::errc::is_a_directory) return Code::IsDirectory;
    if (c == std::errc::permission_denied || c == std::errc::operation_not_permitted
        || c == std::errc::read_only_file_system)
        return Code::PermissionDenied;
    if (c == std::errc::no_space_on_device) return Code::NoSpace;
    if (c == std::errc::file_too_large) return Code::FileTooLarge;
    if (c == std::errc::not_enough_memory) return Code::OutOfMemory;
#ifdef EDQUOT
    if (ec.category() == std::generic_category() || ec.category() == std::system_category())
        if (ec.value() == EDQUOT) return Code::NoSpace;
#endif
    return Code::Io;
}

Error systemError(std::error_code ec, std::string what, SourceLocation where)
{
    std::string detail = std::move(what);
    detail += ": ";
    detail += ec.message();
    return Error{codeOf(ec), std::move(detail), 0, where};
}

}  // namespace quillmark
