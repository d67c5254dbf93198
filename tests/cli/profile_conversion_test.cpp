// A whole Thunderbird profile into one PST, as a user leaving Thunderbird runs it: two accounts
// with same-named inboxes, nested and dotted folders, an empty Trash, every kind of message state
// and tags. Read back with libpff (python3-pypff) and our verifier.
#include "engine/pst/verify/verifier.h"
#include "support/mbox_builder.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace quillmark {
namespace {

namespace fs = std::filesystem;
using testing::Mail;
using testing::runProgram;
using testing::TempDir;

// Each folder (path from the top, message count) and each message (folder, subject, message
// flags, flag status, last verb, categories), one line each.
constexpr const char* kListing = R"py(
import pypff, struct, sys
f = pypff.file(); f.open(sys.argv[1])
def num(e): return struct.unpack('<i', e.data[:4])[0] if e.data else '-'
def strings(d):
    n = struct.unpack('<I', d[:4])[0]
    at = [struct.unpack('<I', d[4 + 4 * i:8 + 4 * i])[0] for i in range(n)] + [len(d)]
    return [d[at[i]:at[i + 1]].decode('utf-16-le') for i in range(n)]
def walk(d, path):
    for i in range(d.number_of_sub_folders):
        s = d.get_sub_folder(i); p = path + '/' + s.name
        print('folder', p, s.number_of_sub_messages)
        for j in range(s.number_of_sub_messages):
            m = s.get_sub_message(j); v = {}
            for rs in m.record_sets:
                for e in rs.entries:
                    if e.entry_type in (0x0E07, 0x1090, 0x1081): v[e.entry_type] = num(e)
                    if e.value_type == 0x101F and e.data: v['cat'] = ','.join(strings(e.data))
            print('message', p, m.subject, *[v.get(t, '-') for t in (0x0E07, 0x1090, 0x1081, 'cat')])
        walk(s, p)
walk(f.get_root_folder(), '')
)py";

TEST(ProfileToPst, TheFolderTreeStateAndTagsArriveAndNothingIsMerged)
{
    TempDir home;
    const fs::path profile = home / ".thunderbird/abcd.default";
    home.write(".thunderbird/profiles.ini", "[Profile0]\nName=default\nIsRelative=1\nPath=abcd.default\nDefault=1\n");
    home.write(".thunderbird/abcd.default/prefs.js",
               "user_pref(\"mail.accountmanager.accounts\", \"account2,account1\");\n"
               "user_pref(\"mail.account.account1.server\", \"server1\");\n"
               "user_pref(\"mail.server.server1.name\", \"Local Folders\");\n"
               "user_pref(\"mail.server.server1.type\", \"none\");\n"
               "user_pref(\"mail.server.server1.directory-rel\", \"[ProfD]Mail/Local Folders\");\n"
               "user_pref(\"mail.account.account2.server\", \"server2\");\n"
               "user_pref(\"mail.server.server2.name\", \"ann@example.com\");\n"
               "user_pref(\"mail.server.server2.type\", \"imap\");\n"
               "user_pref(\"mail.server.server2.directory-rel\", \"[ProfD]ImapMail/imap.example.com\");\n"
               "user_pref(\"mailnews.tags.projectx.tag\", \"Project X\");\n"
               "user_pref(\"mailnews.tags.$label2.tag\", \"B\\u00fcro\");\n");
    const std::string local = ".thunderbird/abcd.default/Mail/Local Folders/";
    home.write(local + "Inbox",
               testing::mboxOf({{"a@example.com", "unread", "x", "X-Mozilla-Status: 0000\n"},
                                {"a@example.com", "starred and tagged", "x",
                                 "X-Mozilla-Status: 0005\nX-Mozilla-Keys: $label1 projectx $label2 odd   \n"},
                                {"a@example.com", "replied", "x", "X-Mozilla-Status: 0003\n"},
                                {"a@example.com", "forwarded", "x", "X-Mozilla-Status: 1001\n"}}));
    home.write(local + "Inbox.msf", "summary");
    home.write(local + "Inbox.sbd/Projects", "");
    home.write(local + "Inbox.sbd/Projects.msf", "summary");
    home.write(local + "Inbox.sbd/Projects.sbd/2026", testing::mboxOf({{"b@example.com", "plans"}}));
    home.write(local + "Release v1.2", testing::mboxOf({{"c@example.com", "release"}}));
    home.write(local + "Release v1.2.msf", "summary");
    home.write(local + "Trash", "");
    home.write(local + "Trash.msf", "summary");
    home.write(local + "Drafts",
               testing::mboxOf({{"me@example.com", "draft", "x",
                                 "X-Mozilla-Status: 0001\nX-Mozilla-Draft-Info: internal/draft; vcard=0\n"}}));
    home.write(".thunderbird/abcd.default/ImapMail/imap.example.com/INBOX",
               testing::mboxOf(
                   {{"d@example.com", "imap", "x", "X-Mozilla-Status: 0001\n"},
                    {"d@example.com", "headers only", "", "X-Mozilla-Status: 0001\nX-Mozilla-Status2: 00000400\n"}}));
    home.write(".thunderbird/abcd.default/ImapMail/imap.example.com/INBOX.msf", "summary");

    const auto out = home / "out";
    const auto run = runProgram({"sh", "-c", "HOME=\"$0\" exec \"$@\"", home.path().string(), QUILLMARK_CLI, "--to",
                                 "pst", "-o", out.string(), "--profile", "default"});
    EXPECT_EQ(run.status, 0) << run.output;
    // The empty Trash and Projects are in the job; the headers-only copy is named.
    EXPECT_NE(run.output.find("Mailboxes: 7 (7 converted, 0 failed, 2 empty)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("headers, from an IMAP server"), std::string::npos) << run.output;
    fs::path pst;
    for (const auto& e : fs::directory_iterator(out))
        if (e.path().extension() == ".pst") pst = e.path();
    ASSERT_FALSE(pst.empty()) << run.output;
    auto verified = pst::verify(pst);  // counts, unread counts, subfolder flags, hierarchy rows
    ASSERT_TRUE(verified.ok());
    EXPECT_TRUE(verified->ok()) << verified->text();

    // Every target names the headers-only copy.
    const auto eml = runProgram({"sh", "-c", "HOME=\"$0\" exec \"$@\"", home.path().string(), QUILLMARK_CLI, "--to",
                                 "eml", "-o", (home / "eml").string(), "--profile", "default"});
    EXPECT_NE(eml.output.find("INBOX: message 1: read only in part: Thunderbird holds only part"), std::string::npos)
        << eml.output;

    const std::string python = "/usr/bin/python3";
    if (!testing::haveProgram(python) || runProgram({python, "-c", "import pypff"}).status != 0)
        GTEST_SKIP() << "python3-pypff is not installed";
    const auto listing = runProgram({python, "-c", kListing, pst.string()}, testing::StdErr::Apart);
    ASSERT_EQ(listing.status, 0) << listing.errors;
    const std::string top = "/Top of Personal Folders";
    for (const std::string& line : std::vector<std::string>{
             "folder " + top + "/ann@example.com 0",
             "folder " + top + "/ann@example.com/INBOX 2",
             "folder " + top + "/Local Folders 0",
             "folder " + top + "/Local Folders/Inbox 4",
             "folder " + top + "/Local Folders/Inbox/Projects 0",
             "folder " + top + "/Local Folders/Inbox/Projects/2026 1",
             "folder " + top + "/Local Folders/Release v1.2 1",
             "folder " + top + "/Local Folders/Trash 0",
             "folder " + top + "/Local Folders/Drafts 1",
             "message " + top + "/Local Folders/Inbox unread 0 - - -",
             "message " + top + "/Local Folders/Inbox starred and tagged 1 2 - Important,Project X,Büro,odd",
             "message " + top + "/Local Folders/Inbox replied 1 - 102 -",
             "message " + top + "/Local Folders/Inbox forwarded 1 - 104 -",
             "message " + top + "/Local Folders/Drafts draft 9 - - -",
             "message " + top + "/ann@example.com/INBOX headers only 1 - - -",
         })
        EXPECT_NE(listing.output.find(line + "\n"), std::string::npos) << line << "\n" << listing.output;
    // Local Folders' Inbox and the IMAP INBOX stay two folders; no mailbox landed at the top.
    EXPECT_EQ(listing.output.find("folder " + top + "/Inbox"), std::string::npos) << listing.output;
    EXPECT_EQ(listing.output.find("folder " + top + "/INBOX"), std::string::npos) << listing.output;
}

}  // namespace
}  // namespace quillmark
