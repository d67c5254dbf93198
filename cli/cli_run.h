// What the command line does once its arguments are parsed.
#pragma once

#include "cli/cli_options.h"
#include "engine/job/report.h"

#include <cstdio>
#include <string>
#include <vector>

namespace quillmark::cli {

enum ExitCode : int { kAllConverted = 0, kSomeFailed = 1, kUsageOrFatal = 2 };

struct MailboxList {
    std::vector<std::string> mailboxes;  // absolute, in order, each once
    std::vector<std::string> warnings;   // unreadable folders, duplicates
};

// PATHs as given: a file is taken whatever its name; a folder is searched for mailboxes. The
// mail folders of a whole profile, `profileFolders`, give their empty mailboxes too.
MailboxList collectMailboxes(const std::vector<std::string>& paths,
                             const std::vector<std::string>& profileFolders = {});

// The end-of-run summary, as printed.
std::string summaryText(const Report& report, const std::string& outputFolder);

int exitCodeFor(const Report& report);

// Checks a PST file with our verifier: 0 valid, 1 damaged, 2 unreadable.
int verifyPstFile(const std::string& path);

int run(const CliOptions& options);

}  // namespace quillmark::cli
