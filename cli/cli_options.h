// The command line, parsed into a plain struct that tests can check without running anything.
#pragma once

#include "engine/targets/mail_writer.h"
#include "platform/result.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::cli {

struct CliOptions {
    bool help = false;
    bool version = false;
    Target target = Target::Eml;
    std::string outputFolder;
    bool skipDeleted = false;
    bool quiet = false;
    std::vector<std::string> paths;
    std::string verifyPst;      // "verify-pst FILE": check a PST file instead of converting
    bool listProfiles = false;  // "profiles": list the user's Thunderbird profiles
    std::string profile;        // --profile: convert this profile's accounts (with or instead of paths)
    std::string helpText;       // filled when help is true
};

// args excludes the program name. Errors carry a message for the user (Code::InvalidArgument).
[[nodiscard]] Result<CliOptions> parseArgs(std::span<const std::string_view> args);

std::string usage();
// "quillmark-cli <version>", for --version.
std::string versionText();

}  // namespace quillmark::cli
