// "quillmark-cli profiles": the user's Thunderbird profiles and, for each, its accounts with
// their mail folders and how much mail they hold.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quillmark::cli {

// The listing for the profiles.ini folders given (see thunderbird::profileHomes()).
std::string profilesText(const std::vector<std::filesystem::path>& homes);

// Prints the listing for this user; 0 when a profile was found, 1 when none.
int listProfiles();

}  // namespace quillmark::cli
