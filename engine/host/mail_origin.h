// What the host knows of where the job's mail comes from, beyond the mailboxes' paths: the
// Thunderbird accounts that hold them and the profile's names for tags. The PST keeps account
// folders apart and names categories with it; an empty origin is plain mailbox files.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace quillmark {

// A mail folder that an account of a Thunderbird profile keeps its mailboxes in, and the account's
// name as the profile gives it ("Local Folders", "ann@example.com").
struct AccountFolder {
    std::string folder;
    std::string name;
};

// What the job knows of where its mail comes from, beyond the mailboxes' paths.
struct MailOrigin {
    std::vector<AccountFolder> accounts;
    // Thunderbird's tag keys ("$label1", "projectx") and the names the profile shows for them.
    std::map<std::string, std::string> tagNames;
};

}  // namespace quillmark
