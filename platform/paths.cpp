#include "platform/paths.h"

#include "platform/file_io_internal.h"

#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

namespace quillmark::platform {

bool isSeparator(char c, PathStyle style) noexcept { return c == '/' || (style == PathStyle::Windows && c == '\\'); }

char preferredSeparator(PathStyle style) noexcept { return style == PathStyle::Windows ? '\\' : '/'; }

std::filesystem::path toPath(std::string_view utf8)
{
    const std::u8string_view u8(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size());
    return std::filesystem::path(u8);
}

std::string toText(const std::filesystem::path& path)
{
    const std::u8string u8 = path.u8string();
    return std::string(reinterpret_cast<const char*>(u8.data()), u8.size());
}

Result<std::string> GetFileName(std::string_view path, PathStyle style)
{
    if (path.empty()) return Error{Code::InvalidArgument, "empty path has no file name"};
    std::size_t i = path.size();
    while (i > 0 && !isSeparator(path[i - 1], style)) --i;
    return std::string(path.substr(i));
}

bool EnsureDirectory(std::string_view path)
{
    if (path.empty()) return false;
    return detail::createFolders(toPath(path));
}

namespace {

bool isDriveLetter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Length of the Windows root name: "C:", "\\server", "\\?\C:", "\\?\UNC\server".
std::size_t windowsRootNameLength(std::string_view p)
{
    auto sep = [](char c) { return c == '\\' || c == '/'; };
    std::size_t i = 0;
    if (p.size() >= 4 && sep(p[0]) && sep(p[1]) && (p[2] == '?' || p[2] == '.') && sep(p[3])) {
        i = 4;  // long-path or device prefix
        if (p.substr(i, 4) == "UNC\\" || p.substr(i, 4) == "UNC/") {
            i += 4;
            while (i < p.size() && !sep(p[i])) ++i;
            return i;
        }
    } else if (p.size() >= 3 && sep(p[0]) && sep(p[1]) && !sep(p[2])) {
        i = 2;  // UNC: the server is the root name
        while (i < p.size() && !sep(p[i])) ++i;
        return i;
    }
    if (p.size() >= i + 2 && isDriveLetter(p[i]) && p[i + 1] == ':') return i + 2;
    return i;
}

}  // namespace

std::string relativePart(std::string_view path, PathStyle style)
{
    std::size_t i = style == PathStyle::Windows ? windowsRootNameLength(path) : 0;
    while (i < path.size() && isSeparator(path[i], style)) ++i;
    return std::string(path.substr(i));
}

std::string extendedLengthPath(std::string_view absolute)
{
    const auto sep = [](char c) { return c == '\\' || c == '/'; };
    const std::size_t root = windowsRootNameLength(absolute);
    const bool unc = root > 2 && sep(absolute[0]) && sep(absolute[1]) && absolute[2] != '?' && absolute[2] != '.';
    const bool drive = root == 2 && absolute[1] == ':';
    if (!(unc || drive) || root >= absolute.size() || !sep(absolute[root])) return std::string(absolute);
    std::vector<std::string_view> parts;
    for (std::size_t i = root, end = root; i < absolute.size(); i = end + 1) {
        end = i;
        while (end < absolute.size() && !sep(absolute[end])) ++end;
        std::string_view part = absolute.substr(i, end - i);
        if (part != "..")
            while (!part.empty() && (part.back() == ' ' || part.back() == '.')) part.remove_suffix(1);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty()) {
            parts.push_back(part);
        }
    }
    std::string out = unc ? "\\\\?\\UNC\\" + std::string(absolute.substr(2, root - 2))
                          : "\\\\?\\" + std::string(absolute.substr(0, root));
    for (const auto part : parts) (out += '\\') += part;
    if (parts.empty()) out += '\\';
    return out;
}

std::string withTrailingSeparator(std::string_view path, PathStyle style)
{
    std::string out(path);
    if (out.empty() || !isSeparator(out.back(), style)) out += preferredSeparator(style);
    return out;
}

std::string joinPath(std::string_view folder, std::string_view name, PathStyle style)
{
    if (folder.empty()) return std::string(name);
    return withTrailingSeparator(folder, style) + std::string(name);
}

std::string mailboxOutputFolder(std::string_view outputFolder, std::string_view mailboxPath, PathStyle style)
{
    std::string out = joinPath(outputFolder, relativePart(mailboxPath, style), style);
    while (out.size() > 1 && isSeparator(out.back(), style)) out.pop_back();
    return out;
}

std::string folderKey(std::string_view folder, PathStyle style)
{
    const std::size_t rootLength = style == PathStyle::Windows ? windowsRootNameLength(folder) : 0;
    std::string key(folder.substr(0, rootLength));
    if (rootLength < folder.size() && isSeparator(folder[rootLength], style)) key += '/';
    std::vector<std::string_view> parts;
    std::size_t i = rootLength;
    while (i < folder.size()) {
        std::size_t end = i;
        while (end < folder.size() && !isSeparator(folder[end], style)) ++end;
        std::string_view part = folder.substr(i, end - i);
        // Windows drops blanks and dots at the end of a name: "Inbox " is the folder "Inbox".
        if (style == PathStyle::Windows && part != "." && part != "..")
            while (!part.empty() && (part.back() == ' ' || part.back() == '.')) part.remove_suffix(1);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else
                parts.push_back(part);
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = end + 1;
    }
    for (std::size_t n = 0; n < parts.size(); ++n) key += (n ? "/" : "") + std::string(parts[n]);
    if (style == PathStyle::Windows)
        for (char& c : key)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}

std::string_view trimBlanks(std::string_view text) noexcept
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string mailboxName(std::string_view mailboxPath, PathStyle style)
{
    auto name = GetFileName(mailboxPath, style);
    return name ? std::string(trimBlanks(*name)) : std::string();
}

std::filesystem::path resolvedPath(const std::filesystem::path& path)
{
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
    if (!ec) return resolved;
    resolved = std::filesystem::absolute(path, ec);
    return (ec ? path : resolved).lexically_normal();
}

std::filesystem::path environmentPath(const char* name)
{
#ifdef _WIN32
    // The narrow variables are in the ANSI code page: a user name outside it would be lost.
    std::wstring wide(name, name + std::strlen(name));
    const wchar_t* value = ::_wgetenv(wide.c_str());
    return value && *value ? std::filesystem::path(value) : std::filesystem::path();
#else
    const char* value = std::getenv(name);
    return value && *value ? std::filesystem::path(value) : std::filesystem::path();
#endif
}

}  // namespace quillmark::platform
