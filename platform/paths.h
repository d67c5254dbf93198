// Path helpers shared by every layer: the file name of a path, folder creation, and where a
// mailbox's output goes.
//
// Paths travel through the program as UTF-8 text (what the file list shows and the job reads);
// toPath()/toText() convert at the boundary to the file system. Functions that look at separators
// take a PathStyle so that both conventions can be checked on any machine; the default is the
// style of the machine the program runs on ("\" and "/" on Windows, "/" elsewhere).
#pragma once

#include "platform/result.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace quillmark::platform {

enum class PathStyle { Posix, Windows };

#ifdef _WIN32
inline constexpr PathStyle kNativeStyle = PathStyle::Windows;
#else
inline constexpr PathStyle kNativeStyle = PathStyle::Posix;
#endif

bool isSeparator(char c, PathStyle style = kNativeStyle) noexcept;
char preferredSeparator(PathStyle style = kNativeStyle) noexcept;

std::filesystem::path toPath(std::string_view utf8);
std::string toText(const std::filesystem::path& path);

// The part of path after its last separator; the whole path when it holds none; empty when it
// ends with one. An empty path is InvalidArgument.
[[nodiscard]] Result<std::string> GetFileName(std::string_view path, PathStyle style = kNativeStyle);

// Creates every missing folder along path; true when the folder exists afterwards. Nothing is
// shown to the user.
bool EnsureDirectory(std::string_view path);

// The path without its root: drive ("C:"), UNC server ("\\srv"), long-path prefix ("\\?\") and
// the leading separators, as std::filesystem::path::relative_path() gives it on that platform.
std::string relativePart(std::string_view path, PathStyle style = kNativeStyle);

// The extended-length form of an absolute Windows path ("\\?\C:\..." or "\\?\UNC\srv\share\..."),
// which Windows opens as it stands, also past MAX_PATH (260 characters). Separators become "\",
// "." and ".." are resolved and blanks and dots at the end of a name dropped, as Windows does
// for the ordinary form. A relative path, or one in that form already, comes back unchanged.
std::string extendedLengthPath(std::string_view absolute);

// Output folder of a mailbox: the output folder with the mailbox path below it, its root removed,
// so the source tree is mirrored and the mailbox's own name names the last folder. No trailing
// separator.
std::string mailboxOutputFolder(std::string_view outputFolder, std::string_view mailboxPath,
                                PathStyle style = kNativeStyle);

// A text equal for every spelling of one folder: separators unified, "." and doubled separators
// dropped, ".." resolved; on Windows without case and without blanks or dots at the end of a
// name, as its file systems compare names.
std::string folderKey(std::string_view folder, PathStyle style = kNativeStyle);

// The mailbox's file name trimmed of blanks: it names the PST folder and the .mbox file.
std::string mailboxName(std::string_view mailboxPath, PathStyle style = kNativeStyle);

// Appends the separator unless the path already ends with one.
std::string withTrailingSeparator(std::string_view path, PathStyle style = kNativeStyle);

// Joins folder and name without doubling a separator (a folder at a drive root ends with one).
std::string joinPath(std::string_view folder, std::string_view name, PathStyle style = kNativeStyle);

// Leading and trailing blanks (U+0020 only) removed.
std::string_view trimBlanks(std::string_view text) noexcept;

// The path with links resolved as far as it exists, absolute and normalised, so that two spellings
// of one file or folder give one path; where the file system cannot tell, the path as written,
// made absolute and normalised.
std::filesystem::path resolvedPath(const std::filesystem::path& path);

// The folder an environment variable names (HOME, APPDATA), read in the system's own encoding;
// empty when it is not set.
std::filesystem::path environmentPath(const char* name);

}  // namespace quillmark::platform
