#include "cli/cli_options.h"
#include "cli/cli_run.h"
#include "cli/console_host.h"
#include "cli/profile_list.h"
#include "support/mbox_builder.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace quillmark::cli {
namespace {

using testing::ProgramRun;
using testing::runProgram;
using testing::TempDir;

Result<CliOptions> parse(std::vector<std::string_view> args) { return parseArgs(args); }

// The built program, its standard error merged into its output as a user sees both.
ProgramRun runCli(std::vector<std::string> args)
{
    args.insert(args.begin(), QUILLMARK_CLI);
    return runProgram(args);
}

TEST(CliParse, ReadsTargetOutputFlagsAndPaths)
{
    auto o = parse({"--to", "mbox", "-o", "/out", "--skip-deleted", "--quiet", "a", "b"});
    ASSERT_TRUE(o.ok()) << o.error().detail;
    EXPECT_EQ(o->target, Target::Mbox);
    EXPECT_EQ(o->outputFolder, "/out");
    EXPECT_TRUE(o->skipDeleted);
    EXPECT_TRUE(o->quiet);
    EXPECT_EQ(o->paths, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(parse({"--help"})->help);
    EXPECT_EQ(parse({"verify-pst", "x.pst"})->verifyPst, "x.pst");
    EXPECT_FALSE(parse({"verify-pst"}).ok());
}

TEST(CliParse, RejectsIncompleteOrWrongArguments)
{
    for (auto args : std::vector<std::vector<std::string_view>>{{"-o", "/out", "a"},
                                                                {"--to", "eml", "a"},
                                                                {"--to", "eml", "-o", "/out"},
                                                                {"--to", "pdf", "-o", "/out", "a"},
                                                                {"--to", "eml", "-o", "/out", "--bogus", "a"}}) {
        auto o = parse(args);
        ASSERT_FALSE(o.ok());
        EXPECT_EQ(o.error().code, Code::InvalidArgument);
        EXPECT_FALSE(o.error().detail.empty());
    }
}

TEST(CliRun, ExitCodesTellTheOutcome)
{
    TempDir dir;
    const auto inbox = dir.write("Mail/Inbox", testing::mboxOf({{}, {}})).string();
    const std::string out = (dir / "out").string();
    auto ok = runCli({"--to", "eml", "-o", out, inbox});
    EXPECT_EQ(ok.status, 0) << ok.output;
    EXPECT_NE(ok.output.find("2 written as .eml"), std::string::npos) << ok.output;
    auto partial = runCli({"--to", "eml", "-o", out, inbox, (dir / "Mail/Gone").string()});
    EXPECT_EQ(partial.status, 1);
    EXPECT_NE(partial.output.find("Gone"), std::string::npos);
    EXPECT_NE(partial.output.find("NOT everything was converted"), std::string::npos);
    EXPECT_EQ(runCli({"--to", "eml"}).status, 2);
    auto pst = runCli({"--to", "pst", "-o", out, inbox});
    EXPECT_EQ(pst.status, 0) << pst.output;
    // The PST it wrote passes our own structural check.
    std::string written;
    for (const auto& e : std::filesystem::directory_iterator(dir / "out"))
        if (e.path().extension() == ".pst") written = e.path().string();
    ASSERT_FALSE(written.empty());
    auto check = runCli({"verify-pst", written});
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_NE(check.output.find("0 error(s)"), std::string::npos) << check.output;
    EXPECT_EQ(runCli({"verify-pst", inbox}).status, 1);  // not a PST: damaged
}

TEST(CliRun, FolderArgumentFindsMailboxesInSubfoldersOnce)
{
    TempDir dir;
    dir.write("Mail/Inbox", testing::mboxOf({{}}));
    dir.write("Mail/Inbox.msf", "index");
    dir.write("Mail/Trash", "");
    dir.write("Mail/Inbox.sbd/Work", testing::mboxOf({{}, {}}));
    const auto list = collectMailboxes({(dir / "Mail").string(), (dir / "Mail/Inbox").string()});
    EXPECT_EQ(list.mailboxes.size(), 2u);
    ASSERT_EQ(list.warnings.size(), 1u);
    EXPECT_NE(list.warnings[0].find("more than once"), std::string::npos);
    // A file named by the user is converted whatever its name.
    EXPECT_EQ(collectMailboxes({(dir / "Mail/Inbox.msf").string()}).mailboxes.size(), 1u);
}

TEST(CliProfiles, ListsEachProfileWithItsAccountsAndTheirMail)
{
    TempDir home;
    const std::string mail = "From - Mon Dec 07 08:15:02 2026\nSubject: hi\n\nbody\n";
    home.write(".thunderbird/profiles.ini",
               "[Profile0]\nName=default\nIsRelative=1\nPath=abcd.default\nDefault=1\n\n"
               "[Profile1]\nName=gone\nIsRelative=1\nPath=zzzz.gone\n");
    home.write(".thunderbird/abcd.default/prefs.js",
               "user_pref(\"mail.accountmanager.accounts\", \"account1,account2\");\n"
               "user_pref(\"mail.account.account1.server\", \"server1\");\n"
               "user_pref(\"mail.server.server1.name\", \"Local Folders\");\n"
               "user_pref(\"mail.server.server1.type\", \"none\");\n"
               "user_pref(\"mail.server.server1.directory-rel\", \"[ProfD]Mail/Local Folders\");\n"
               "user_pref(\"mail.account.account2.server\", \"server2\");\n"
               "user_pref(\"mail.server.server2.name\", \"ann@example.com\");\n"
               "user_pref(\"mail.server.server2.type\", \"imap\");\n");
    home.write(".thunderbird/abcd.default/Mail/Local Folders/Inbox", mail);
    home.write(".thunderbird/abcd.default/Mail/Local Folders/Inbox.msf", "x");
    home.write(".thunderbird/abcd.default/Mail/Local Folders/Inbox.sbd/Release v1.2", mail);
    const auto text = profilesText({home / ".thunderbird"});
    EXPECT_NE(text.find("  * default  "), std::string::npos) << text;
    EXPECT_NE(text.find("Local Folders (none)"), std::string::npos) << text;
    EXPECT_NE(text.find("2 mailboxes, 0.0 MB"), std::string::npos) << text;
    EXPECT_NE(text.find("ann@example.com (imap): no mail folder named"), std::string::npos) << text;
    EXPECT_NE(text.find("    gone  "), std::string::npos) << text;
    EXPECT_NE(text.find("(the profile's folder is missing)"), std::string::npos) << text;

    auto o = parse({"profiles"});
    ASSERT_TRUE(o.ok());
    EXPECT_TRUE(o->listProfiles);
    EXPECT_FALSE(parse({"profiles", "extra"}).ok());

    // --profile: by name, as the default, or by folder; the accounts' mail folders are converted.
    const std::vector<std::filesystem::path> homes{home / ".thunderbird"};
    const std::string local = (home / ".thunderbird/abcd.default/Mail/Local Folders").lexically_normal().string();
    for (const std::string& name : std::vector<std::string>{"default", (home / ".thunderbird/abcd.default").string()}) {
        auto folders = profileMailFolders(name, homes);
        ASSERT_TRUE(folders.ok()) << name << ": " << folders.error().detail;
        EXPECT_EQ(*folders, std::vector<std::string>{local});
    }
    EXPECT_EQ(profileMailFolders("nosuch", homes).error().code, Code::NotFound);
    EXPECT_EQ(profileMailFolders("gone", homes).error().code, Code::NotFound);
    const auto run = runProgram({"sh", "-c", "HOME=\"$0\" exec \"$@\"", home.path().string(), QUILLMARK_CLI, "--to",
                                 "eml", "-o", (home / "out").string(), "--profile", "default"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Mailboxes: 2 (2 converted"), std::string::npos) << run.output;
    EXPECT_FALSE(parse({"--to", "eml", "-o", "out"}).ok());  // neither PATH nor --profile
}

TEST(CliProgress, LineShowsMailboxCountRateAndEta)
{
    JobProgress f;
    f.mailbox = 2;
    f.mailboxes = 5;
    f.bytesDone = 50'000'000;
    f.bytesTotal = 150'000'000;
    f.messagesWritten = 1234;
    const auto line = progressLine(f, "Inbox", 10.0);
    EXPECT_NE(line.find("Mailbox 2 of 5"), std::string::npos) << line;
    EXPECT_NE(line.find("1234 messages"), std::string::npos);
    EXPECT_NE(line.find("5.0 MB/s"), std::string::npos);
    EXPECT_NE(line.find("ETA 0:20"), std::string::npos);
    EXPECT_EQ(formatDuration(3725), "1:02:05");
}

}  // namespace
}  // namespace quillmark::cli
