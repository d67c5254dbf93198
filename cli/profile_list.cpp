#include "cli/profile_list.h"

#include "app/path_logger.h"
#include "app/thunderbird_profile.h"
#include "platform/file_io.h"
#include "platform/paths.h"

#include <cstdio>
#include <optional>

namespace quillmark::cli {
namespace {

std::string sizeText(std::uint64_t bytes)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return buf;
}

std::string accountLine(const thunderbird::Account& a)
{
    std::string line = "    " + a.name + " (" + a.type + ")";
    if (a.mailFolder.empty()) return line + ": no mail folder named\n";
    line += "  " + platform::toText(a.mailFolder);
    std::error_code ec;
    if (!std::filesystem::is_directory(a.mailFolder, ec)) return line + "  (folder missing)\n";
    const MailboxSearch found = findMailboxes(platform::withTrailingSeparator(platform::toText(a.mailFolder)));
    std::uint64_t bytes = 0;
    for (const auto& m : found.mailboxes)
        if (auto size = platform::fileSize(platform::toPath(m))) bytes += *size;
    return line + "  " + std::to_string(found.mailboxes.size())
        + (found.mailboxes.size() == 1 ? " mailbox, " : " mailboxes, ") + sizeText(bytes) + "\n";
}

}  // namespace

std::string profilesText(const std::vector<std::filesystem::path>& homes)
{
    std::string out;
    for (const auto& home : homes) {
        out += "Profiles in " + platform::toText(home) + " (* the default):\n";
        for (const auto& p : thunderbird::readProfilesIni(home)) {
            out += (p.isDefault ? "  * " : "    ") + p.name + "  " + platform::toText(p.folder) + "\n";
            std::error_code ec;
            if (!std::filesystem::is_directory(p.folder, ec)) {
                out += "    (the profile's folder is missing)\n";
                continue;
            }
            const auto accounts = thunderbird::accountsOf(thunderbird::readPrefs(p.folder / "prefs.js"), p.folder);
            if (accounts.empty()) out += "    (no account)\n";
            for (const auto& a : accounts) out += "  " + accountLine(a);
        }
    }
    return out;
}

Result<std::vector<std::string>> profileMailFolders(const std::string& profile,
                                                    const std::vector<std::filesystem::path>& homes)
{
    std::optional<std::filesystem::path> folder;
    std::error_code ec;
    for (const auto& home : homes)
        for (const auto& p : thunderbird::readProfilesIni(home))
            if (!folder && (p.name == profile || (profile == "default" && p.isDefault))) folder = p.folder;
    if (!folder && std::filesystem::is_regular_file(platform::toPath(profile) / "prefs.js", ec))
        folder = platform::toPath(profile);
    if (!folder)
        return Error{Code::NotFound, "no Thunderbird profile \"" + profile + "\" (quillmark-cli profiles lists them)"};
    std::vector<std::string> folders;
    for (const auto& f : thunderbird::mailFolders(*folder)) folders.push_back(platform::toText(f));
    if (folders.empty())
        return Error{Code::NotFound, "the profile " + platform::toText(*folder) + " has no account with a mail folder"};
    return folders;
}

int listProfiles()
{
    const auto homes = thunderbird::userProfileHomes();
    if (homes.empty()) {
        std::fputs("No Thunderbird profile found (looked for profiles.ini in ~/.thunderbird, its snap and "
                   "flatpak homes, %APPDATA%\\Thunderbird and ~/Library/Thunderbird).\n",
                   stdout);
        return 1;
    }
    std::fputs(profilesText(homes).c_str(), stdout);
    return 0;
}

}  // namespace quillmark::cli
