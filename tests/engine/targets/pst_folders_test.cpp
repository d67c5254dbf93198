// Where mailboxes land in the PST: the mail tree kept, accounts apart, the flat layout when all
// mailboxes share one folder.
#include "engine/targets/pst_folders.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace quillmark {
namespace {

using testing::TempDir;
using Paths = std::vector<std::vector<std::string>>;

std::vector<std::string> rowsOf(const TempDir& dir, std::initializer_list<const char*> relative)
{
    std::vector<std::string> rows;
    for (const char* r : relative) rows.push_back(*r ? (dir / r).string() : std::string());
    return rows;
}

TEST(PstFolders, MailboxesOfOneFolderGoDirectlyBelowTheTopWhateverTheirAccount)
{
    TempDir dir;
    const auto rows = rowsOf(dir, {"Local Folders/Inbox", "Local Folders/Sent", "", "Local Folders/Release v1.2 "});
    EXPECT_EQ(pstFolderPaths(rows, {}), (Paths{{"Inbox"}, {"Sent"}, {}, {"Release v1.2"}}));
    const std::vector<AccountFolder> accounts{{(dir / "Local Folders").string(), "Local Folders"}};
    EXPECT_EQ(pstFolderPaths(rows, accounts), (Paths{{"Inbox"}, {"Sent"}, {}, {"Release v1.2"}}));
}

TEST(PstFolders, SbdFoldersBecomeSubfoldersOfTheirMailboxInAnyOrder)
{
    TempDir dir;
    const auto rows = rowsOf(dir,
                             {"Mail/Inbox.sbd/Projects.sbd/2026", "Mail/Inbox", "Mail/Inbox.sbd/Projects",
                              "Mail/Archives.sbd/2025", "Mail/Trash"});
    EXPECT_EQ(
        pstFolderPaths(rows, {}),
        (Paths{{"Inbox", "Projects", "2026"}, {"Inbox"}, {"Inbox", "Projects"}, {"Archives", "2025"}, {"Trash"}}));
    // The deepest common folder is the top, also when it is a mailbox's own .sbd folder.
    const auto inner = rowsOf(dir, {"Mail/Inbox.sbd/A", "Mail/Inbox.sbd/B.sbd/C"});
    EXPECT_EQ(pstFolderPaths(inner, {}), (Paths{{"A"}, {"B", "C"}}));
}

TEST(PstFolders, EachAccountIsAFolderOfItsOwnAndNamesAreExact)
{
    TempDir dir;
    const std::vector<AccountFolder> accounts{
        {(dir / "profile/Mail/Local Folders").string(), "Local Folders"},
        {(dir / "profile/ImapMail/imap.example.com").string(), "ann@example.com"},
        // A mail folder inside another account's: the deeper one names its mailboxes.
        {(dir / "profile/Mail/Local Folders/Feeds").string(), "News & Blogs"},
        {(dir / "elsewhere").string(), ""},
    };
    const auto rows
        = rowsOf(dir,
                 {"profile/Mail/Local Folders/Inbox", "profile/ImapMail/imap.example.com/INBOX",
                  "profile/Mail/Local Folders/Inbox.sbd/Projects", "profile/Mail/Local Folders/Feeds/Planet",
                  "elsewhere/a\\b", "other/one/Old", "other/two/Old"});
#ifdef _WIN32
    const std::vector<std::string> backslashed{"elsewhere", "a", "b"};  // a folder separator there
#else
    const std::vector<std::string> backslashed{"elsewhere", "a_b"};  // it would separate PST folder names
#endif
    EXPECT_EQ(pstFolderPaths(rows, accounts),
              (Paths{{"Local Folders", "Inbox"},
                     {"ann@example.com", "INBOX"},
                     {"Local Folders", "Inbox", "Projects"},
                     {"News & Blogs", "Planet"},
                     backslashed,
                     {"one", "Old"},
                     {"two", "Old"}}));
}

#ifndef _WIN32
TEST(PstFolders, AnAccountFolderIsRecognisedThroughALink)
{
    TempDir dir;
    (void)dir.write("real/Mail/Local Folders/Inbox", "");
    std::filesystem::create_directory_symlink(dir / "real", dir / "link");
    const std::vector<AccountFolder> accounts{{(dir / "real/Mail/Local Folders").string(), "Local Folders"}};
    const auto rows = rowsOf(dir, {"link/Mail/Local Folders/Inbox", "real/Mail/Sent"});
    EXPECT_EQ(pstFolderPaths(rows, accounts), (Paths{{"Local Folders", "Inbox"}, {"Sent"}}));
}
#endif

}  // namespace
}  // namespace quillmark
