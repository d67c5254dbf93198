#include "platform/paths.h"

#include <gtest/gtest.h>

namespace quillmark::platform {
namespace {

constexpr auto W = PathStyle::Windows;
constexpr auto P = PathStyle::Posix;

TEST(GetFileName, TakesTheLastComponentOfEitherStyle)
{
    EXPECT_EQ(GetFileName(R"(C:\Mail\Local Folders\Inbox)", W).value(), "Inbox");
    EXPECT_EQ(GetFileName("C:/Mail/Inbox", W).value(), "Inbox");  // Windows accepts both
    EXPECT_EQ(GetFileName(R"(C:\Mail\)", W).value(), "");
    EXPECT_EQ(GetFileName("Inbox", W).value(), "Inbox");
    EXPECT_EQ(GetFileName("/home/u/Mail/ Inbox ", P).value(), " Inbox ");  // untrimmed
    EXPECT_EQ(GetFileName(R"(/home/u/a\b)", P).value(), R"(a\b)");         // "\" is a name byte on POSIX
    EXPECT_EQ(GetFileName("/home/u/", P).value(), "");
    auto empty = GetFileName("", P);
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().code, Code::InvalidArgument);
    EXPECT_FALSE(empty.error().detail.empty());
}

TEST(MailboxOutputFolder, MirrorsThePathWithoutItsRoot)
{
    EXPECT_EQ(mailboxOutputFolder(R"(E:\Res\)", R"(C:\A\Inbox)", W), R"(E:\Res\A\Inbox)");
    EXPECT_EQ(mailboxOutputFolder(R"(D:\Out\)", R"(C:\Mail\Local Folders\Inbox)", W),
              R"(D:\Out\Mail\Local Folders\Inbox)");
    // A UNC path keeps its share: the server name is the root, and no letter of it is lost.
    EXPECT_EQ(mailboxOutputFolder(R"(D:\Out\)", R"(\\srv\share\Inbox)", W), R"(D:\Out\share\Inbox)");
    EXPECT_EQ(mailboxOutputFolder(R"(D:\Out\)", R"(\\?\C:\Mail\Inbox)", W), R"(D:\Out\Mail\Inbox)");
    EXPECT_EQ(mailboxOutputFolder(R"(D:\Out)", R"(C:\A\Inbox)", W), R"(D:\Out\A\Inbox)");
    EXPECT_EQ(mailboxOutputFolder("/out/", "/home/u/Mail/Inbox", P), "/out/home/u/Mail/Inbox");
    EXPECT_EQ(mailboxOutputFolder("/out", "/home/u/Mail/Inbox", P), "/out/home/u/Mail/Inbox");
    // Same file name in different folders: different output folders.
    EXPECT_NE(mailboxOutputFolder("/out/", "/a/Inbox", P), mailboxOutputFolder("/out/", "/b/Inbox", P));
}

// Mailboxes on two drives or two servers drop to one output folder; the job tells them apart by
// folderKey(), which must see one folder in every spelling of it, and two in different ones.
TEST(FolderKey, SeesOneFolderInEverySpellingOfIt)
{
    const auto out = std::string(R"(D:\Out\)");
    const auto key = [&](std::string_view mailbox) { return folderKey(mailboxOutputFolder(out, mailbox, W), W); };
    EXPECT_EQ(key(R"(C:\Mail\Inbox)"), key(R"(E:\Mail\Inbox)"));
    EXPECT_EQ(key(R"(\\srv1\share\Inbox)"), key(R"(\\srv2\share\Inbox)"));
    EXPECT_EQ(key(R"(C:\Mail\Inbox)"), key(R"(C:/mail/./INBOX)"));  // Windows names have no case
    EXPECT_EQ(folderKey(R"(D:\Out\Mail\x\..\Inbox)", W), folderKey(R"(d:/out/mail/inbox)", W));
    EXPECT_EQ(key(R"(C:\Mail\Inbox)"), key(R"(C:\Mail\Inbox )"));  // Windows drops the blank
    EXPECT_NE(folderKey("/out/Inbox", P), folderKey("/out/Inbox ", P));
    EXPECT_NE(key(R"(C:\Mail\Inbox)"), key(R"(C:\Mail\Sent)"));
    EXPECT_EQ(folderKey("/out//a/./b", P), folderKey("/out/a/b", P));
    EXPECT_NE(folderKey("/out/Inbox", P), folderKey("/out/inbox", P));  // POSIX names do
}

TEST(MailboxName, IsTheTrimmedFileName)
{
    EXPECT_EQ(mailboxName(R"(C:\Mail\ Inbox  )", W), "Inbox");
    EXPECT_EQ(mailboxName("/m/Sent", P), "Sent");
}

// Paths past MAX_PATH reach Windows in this form; the system takes it literally, so every
// normalisation Windows does for the ordinary form must be done here.
TEST(ExtendedLengthPath, IsTheOrdinaryPathSpelledForWindowsToTakeLiterally)
{
    EXPECT_EQ(extendedLengthPath(R"(C:\Mail\Inbox)"), R"(\\?\C:\Mail\Inbox)");
    EXPECT_EQ(extendedLengthPath("c:/Mail//./x/../Inbox/"), R"(\\?\c:\Mail\Inbox)");
    EXPECT_EQ(extendedLengthPath(R"(C:\Mail\Inbox .\Sent..)"), R"(\\?\C:\Mail\Inbox\Sent)");
    EXPECT_EQ(extendedLengthPath(R"(C:\..\..\Mail)"), R"(\\?\C:\Mail)");  // not above the root
    EXPECT_EQ(extendedLengthPath(R"(C:\)"), R"(\\?\C:\)");
    EXPECT_EQ(extendedLengthPath(R"(\\srv\share\Mail\Inbox)"), R"(\\?\UNC\srv\share\Mail\Inbox)");
    EXPECT_EQ(extendedLengthPath("//srv/share/Mail"), R"(\\?\UNC\srv\share\Mail)");
    // Already extended, relative or relative to a drive's current folder: left to the system.
    EXPECT_EQ(extendedLengthPath(R"(\\?\C:\Mail\.\x)"), R"(\\?\C:\Mail\.\x)");
    EXPECT_EQ(extendedLengthPath(R"(\\?\UNC\srv\share)"), R"(\\?\UNC\srv\share)");
    EXPECT_EQ(extendedLengthPath(R"(Mail\Inbox)"), R"(Mail\Inbox)");
    EXPECT_EQ(extendedLengthPath("C:Mail"), "C:Mail");
    std::string longPath = R"(D:\Out)";
    while (longPath.size() < 400) longPath += "\\" + std::string(40, 'n');
    EXPECT_EQ(extendedLengthPath(longPath), R"(\\?\)" + longPath);
}

TEST(PathText, RoundTripsNonAsciiNames)
{
    const std::string name = "/tmp/Posteingang-\xC3\xBC\xE2\x9C\x89";
    EXPECT_EQ(toText(toPath(name)), name);
    EXPECT_EQ(withTrailingSeparator("C:", W), "C:\\");
    EXPECT_EQ(joinPath(R"(D:\)", "Inbox", W), R"(D:\Inbox)");  // no doubled separator at a root
}

}  // namespace
}  // namespace quillmark::platform
