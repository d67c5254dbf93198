// "quillmark-cli profiles": the user's Thunderbird profiles and, for each, its accounts with
// their mail folders and how much mail they hold.
#pragma once

#include "platform/result.h"

#include <filesystem>
#include <string>
#include <vector>

namespace quillmark::cli {

// The listing for the profiles.ini folders given (see thunderbird::profileHomes()).
std::string profilesText(const std::vector<std::filesystem::path>& homes);

// Prints the listing for this user; 0 when a profile was found, 1 when none.
int listProfiles();

// The mail folders of every account of a profile, named as `profiles` shows it, "default", or by
// its folder; looked up in `homes`.
Result<std::vector<std::string>> profileMailFolders(const std::string& profile,
                                                    const std::vector<std::filesystem::path>& homes);

}  // namespace quillmark::cli
