// Where each mailbox of a job goes in the PST: its own folder at its place in the mail tree.
//
// A mailbox's folder path is its path below the deepest folder common to the job's mailboxes,
// each level named without Thunderbird's ".sbd" (the mailbox "X" and its folder "X.sbd" are one
// folder, holding messages and subfolders). A mailbox inside an account's mail folder goes below
// that account's name instead, so that two accounts' Inboxes stay apart. When every mailbox lies
// in one folder, each is a folder directly below the top. Names are compared exactly.
#pragma once

#include "engine/targets/mail_writer.h"

#include <span>
#include <string>
#include <vector>

namespace quillmark {

// The folder names from the top of the store down, one list per mailbox, in the order given;
// empty for a blank row.
std::vector<std::vector<std::string>> pstFolderPaths(std::span<const std::string> mailboxes,
                                                     std::span<const AccountFolder> accounts);

}  // namespace quillmark
