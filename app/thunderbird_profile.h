// Thunderbird's own settings, read and never written: which profiles the user has
// (profiles.ini) and which accounts a profile holds, with their mail folders (prefs.js).
//
// Both readers take what real files hold: comments, escapes, Unicode, missing keys, relative and
// absolute paths, a profile folder that is gone. Nothing here looks at mail; the folder walker
// does that.
#pragma once

#include "engine/host/mail_origin.h"

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::thunderbird {

// ---- prefs.js -------------------------------------------------------------------------------
// user_pref("key", value); lines: strings unescaped, numbers and true/false as written.
using Prefs = std::map<std::string, std::string>;
Prefs parsePrefs(std::string_view text);
// Empty when the file cannot be read.
Prefs readPrefs(const std::filesystem::path& file);

struct Account {
    std::string key;                   // "account1"
    std::string name;                  // as Thunderbird shows it: "Local Folders", "ann@example.com"
    std::string type;                  // "none" (local folders), "pop3", "imap", "rss", ...
    std::filesystem::path mailFolder;  // empty when the prefs name none
};
// The accounts in Thunderbird's order; a relative mail folder ("[ProfD]Mail/Local Folders") is
// taken from the profile's folder.
std::vector<Account> accountsOf(const Prefs& prefs, const std::filesystem::path& profileFolder);
// The mail folders of a profile's accounts that are there, in the accounts' order.
std::vector<std::filesystem::path> mailFolders(const std::filesystem::path& profileFolder);

// ---- Where mailboxes come from ---------------------------------------------------------------
// The accounts whose mail folders hold any of the mailboxes, and the tag names of their profiles.
// A mailbox's profile is looked for in the folders above it (the one holding prefs.js) and among
// the profiles listed in `homes`, whose accounts may keep mail anywhere.
MailOrigin originOf(const std::vector<std::string>& mailboxes, const std::vector<std::filesystem::path>& homes);

// ---- profiles.ini ---------------------------------------------------------------------------
struct Profile {
    std::string name;
    std::filesystem::path folder;
    bool isDefault = false;
};
// `home` is the folder holding profiles.ini, which relative profile paths start from.
std::vector<Profile> parseProfilesIni(std::string_view text, const std::filesystem::path& home);
// The same from home's profiles.ini; none when it cannot be read.
std::vector<Profile> readProfilesIni(const std::filesystem::path& home);

// Where Thunderbird keeps profiles.ini on the usual systems and packagings (Linux, its snap and
// flatpak; Windows; macOS), given the user's home and roaming application-data folders: the ones
// that exist.
std::vector<std::filesystem::path> profileHomes(const std::filesystem::path& userHome,
                                                const std::filesystem::path& appData);
// The same for this user (HOME, else USERPROFILE; APPDATA).
std::vector<std::filesystem::path> userProfileHomes();
// Where this user's mail lives: the default profile's only mail folder, or the profile's folder
// when it has several accounts; empty when there is no default profile on this machine.
std::filesystem::path defaultMailFolder();

}  // namespace quillmark::thunderbird
