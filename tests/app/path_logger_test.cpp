#include "app/path_logger.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stop_token>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace quillmark {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::vector<std::string> keys(const TextList& list)
{
    std::vector<std::string> out;
    for (std::size_t i = 1; i <= list.Count(); ++i) out.push_back(list.Key(i));
    return out;
}

// A path spelled with "/" in the platform's own separator, as the walker writes it.
std::string native(std::string path)
{
    for (char& c : path)
        if (c == '/') c = platform::preferredSeparator();
    return path;
}

// root holds file a and folders X (file c) and Y (folder Z with file d).
struct Tree {
    TempDir dir;
    std::string root;
    Tree()
    {
        dir.write("root/a", "1");
        dir.write("root/X/c", "1");
        dir.write("root/Y/Z/d", "1");
        root = (dir / "root").string();
    }
};

TEST(PathLogger, WalksBreadthFirstWithKeyedLists)
{
    Tree t;
    pathLogger w;
    w.PathLogInit();
    w.fullFileNamesOnly = false;
    w.LogPath(t.root);
    auto paths = w.pathNames();
    ASSERT_EQ(paths->Count(), 4u);
    EXPECT_EQ(paths->Item(1), t.root + native("/"));
    EXPECT_EQ(keys(*paths), (std::vector<std::string>{"K0", "K2", "K3", "K4"}));
    // Level order, whatever order the platform lists X and Y in: Z comes last.
    EXPECT_EQ(paths->Item(4), t.root + native("/Y/Z/"));
    auto full = w.fullFileNames();
    ASSERT_EQ(full->Count(), 3u);
    EXPECT_EQ(full->Item(1), t.root + native("/a"));
    EXPECT_EQ(full->Item(3), t.root + native("/Y/Z/d"));
    EXPECT_EQ(keys(*full), (std::vector<std::string>{"K1", "K2", "K3"}));
    // Each file points at the folder that holds it, under the same key in all three lists.
    for (std::size_t i = 1; i <= full->Count(); ++i) {
        const auto folder = paths->Item(static_cast<std::size_t>(w.pathPointers()->Item(i)));
        EXPECT_EQ(folder + w.fileNames()->Item(i), full->Item(i));
        EXPECT_EQ(w.pathPointers()->Key(i), full->Key(i));
    }
    EXPECT_EQ(w.Count(), 4);  // one more than the files recorded
}

TEST(PathLogger, RootForms)
{
    Tree t;
    pathLogger w;
    w.PathLogInit();
    w.LogPath(t.root + native("/"));
    EXPECT_EQ(w.pathNames()->Item(1), t.root + native("/"));
    EXPECT_EQ(w.fileNames()->Count(), 0u);  // fullFileNamesOnly is set by PathLogInit

    pathLogger missing;
    missing.PathLogInit();
    missing.LogPath(t.root + "/a");  // a file, not a folder: nothing happens
    EXPECT_EQ(missing.Count(), 0);
    EXPECT_EQ(missing.pathNames()->Count(), 0u);

    TempDir empty;
    pathLogger e;
    e.PathLogInit();
    e.LogPath(empty.path().string());
    EXPECT_EQ(e.pathNames()->Count(), 1u);
    EXPECT_EQ(e.Count(), 1);
}

TEST(PathLogger, ListsOutliveTerminate)
{
    Tree t;
    pathLogger w;
    w.PathLogInit();
    w.LogPath(t.root);
    auto held = w.fullFileNames();
    w.Terminate();
    EXPECT_EQ(held->Count(), 3u);
    EXPECT_EQ(w.fullFileNames()->Count(), 0u);  // a new, empty list
}

TEST(PathLogger, DoesNotFollowFolderLinksAndSkipsUnreadableFolders)
{
    Tree t;
    std::error_code linkError;
    fs::create_directory_symlink(t.root, fs::path(t.root) / "X" / "loop", linkError);
#ifdef _WIN32
    if (linkError) GTEST_SKIP() << "creating a folder link needs a privilege here: " << linkError.message();
#endif
    ASSERT_FALSE(linkError) << linkError.message();
    t.dir.write("root/Locked/secret", "1");
    fs::permissions(fs::path(t.root) / "Locked", fs::perms::none);
    pathLogger w;
    w.PathLogInit();
    w.LogPath(t.root);
    EXPECT_EQ(w.pathNames()->Count(), 5u);  // root, X, Y, Locked, Z: the link is not a folder to walk
#ifndef _WIN32               // on Windows permissions are access lists, which std::filesystem does not set
    if (::geteuid() != 0) {  // root reads everything
        EXPECT_EQ(w.unreadableFolders().size(), 1u);
    }
#endif
    for (const auto& f : w.fullFileNames()->items()) EXPECT_EQ(f.find("loop"), std::string::npos) << f;
}

TEST(FindMailboxes, HandsOnBatchesAsItGoesAndStopsWhenAsked)
{
    TempDir dir;
    for (int f = 0; f < 40; ++f)
        for (int m = 0; m < 5; ++m) dir.write("root/F" + std::to_string(f) + "/box" + std::to_string(m), "x");
    const std::string root = (dir / "root").string() + "/";

    std::vector<std::vector<std::string>> batches;
    const MailboxSearch all = findMailboxes(root, {}, [&](std::vector<std::string> b) { batches.push_back(b); });
    ASSERT_EQ(all.mailboxes.size(), 200u);
    EXPECT_GE(batches.size(), 4u);  // 200 mailboxes, at most 64 a batch
    std::vector<std::string> joined;
    for (const auto& b : batches) {
        EXPECT_FALSE(b.empty());
        joined.insert(joined.end(), b.begin(), b.end());
    }
    EXPECT_EQ(joined, all.mailboxes);  // every mailbox once, in walk order

    // A stop asked for during the walk ends it: what was found so far, no more folders.
    std::stop_source stop;
    std::size_t handed = 0;
    const MailboxSearch part = findMailboxes(root, stop.get_token(), [&](std::vector<std::string> b) {
        handed += b.size();
        stop.request_stop();
    });
    EXPECT_GT(part.mailboxes.size(), 0u);
    EXPECT_LT(part.mailboxes.size(), all.mailboxes.size());
    EXPECT_EQ(handed, part.mailboxes.size());
}

TEST(MailboxFilter, KeepsNonEmptyFilesWithoutDot)
{
    TempDir dir;
    const auto inbox = dir.write("Inbox", "From x\n").string();
    EXPECT_TRUE(isMailboxCandidate(inbox));
    EXPECT_FALSE(isMailboxCandidate(dir.write("Inbox.msf", "x").string()));
    EXPECT_FALSE(isMailboxCandidate(dir.write("Trash", "").string()));
    EXPECT_FALSE(isMailboxCandidate((dir / "gone").string()));
    dir.write("tree/Inbox", "x");
    dir.write("tree/Inbox.msf", "x");
    dir.write("tree/Sent", "x");
    dir.write("tree/Inbox.sbd/Work", "x");
    const auto found = findMailboxes((dir / "tree").string());
    EXPECT_EQ(found.mailboxes.size(), 3u);
}

TEST(MailboxFilter, ADottedNameIsAMailboxWhenThunderbirdSaysSoOrItBeginsAsOne)
{
    TempDir dir;
    const std::string mail = "From - Mon Dec 07 08:15:02 2026\nX-Mozilla-Status: 0001\nSubject: hi\n\nbody\n";
    // Beside its summary file, whatever it holds.
    const auto release = dir.write("Release v1.2", "x").string();
    dir.write("Release v1.2.msf", "x");
    EXPECT_TRUE(isMailboxCandidate(release));
    // Without one, by how it begins (also behind a byte-order mark).
    EXPECT_TRUE(isMailboxCandidate(dir.write("Mr. Smith", mail).string()));
    EXPECT_TRUE(isMailboxCandidate(dir.write("export.mbox", "\xEF\xBB\xBF" + mail).string()));
    // Text that is not mail, and "From " not followed by a header field, are not mailboxes.
    EXPECT_FALSE(isMailboxCandidate(dir.write("notes.txt", "shopping list\n").string()));
    EXPECT_FALSE(isMailboxCandidate(dir.write("quote.txt", "From here on, all is well.\nThe end\n").string()));
    // Thunderbird's own files never are, even when they begin like mail; empty ones neither.
    EXPECT_FALSE(isMailboxCandidate(dir.write("Inbox.msf", mail).string()));
    EXPECT_FALSE(isMailboxCandidate(dir.write("prefs.js", mail).string()));
    EXPECT_FALSE(isMailboxCandidate(dir.write("global-messages-db.sqlite", mail).string()));
    EXPECT_FALSE(isMailboxCandidate(dir.write("Old v2.0", "").string()));
    dir.write("Old v2.0.msf", "x");
    EXPECT_FALSE(isMailboxCandidate((dir / "Old v2.0").string()));
}

}  // namespace
}  // namespace quillmark
