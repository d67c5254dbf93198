#include "cli/cli_options.h"
#include "cli/cli_run.h"
#include "cli/console_host.h"
#include "cli/profile_list.h"
#include "support/mbox_builder.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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

// How often text occurs in output.
std::size_t occurrences(const std::string& output, const std::string& text)
{
    std::size_t n = 0;
    for (auto at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) ++n;
    return n;
}

// Every event is said in one line, once: no box text of the scanner echoes what the summary says.
TEST(CliRun, EachProblemWithAPathIsSaidOnceInOneLine)
{
    TempDir dir;
    const std::string out = (dir / "out").string();
    const std::string empty = dir.write("Mail/Trash", "").string();
    auto r = runCli({"--to", "eml", "-o", out, empty});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output,
              "Mailboxes: 1 (1 converted, 0 failed, 1 empty)\nMessages:  0 written as .eml to " + out
                  + "\nResult:    all converted\n");

    const std::string missing = (dir / "Mail/Gone").string();
    r = runCli({"--to", "eml", "-o", out, missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output,
              "Mailboxes: 1 (0 converted, 1 failed)\nMessages:  0 written as .eml to " + out + "\nFailures:\n  "
                  + missing + ": no such file\nResult:    NOT everything was converted\n");

    const std::string fifo = (dir / "Mail/fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    r = runCli({"--to", "eml", "-o", out, fifo});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(occurrences(r.output, fifo), 1u) << r.output;
    EXPECT_NE(r.output.find(fifo + ": not a file but a pipe, device or socket\n"), std::string::npos) << r.output;

    // A folder of files with a dot in their names that are not mail: the rule is said, and
    // nothing is made.
    dir.write("Text/a.txt", "shopping list\n");
    const std::string text = (dir / "Text").string();
    const std::string nowhere = (dir / "never-made").string();
    r = runCli({"--to", "eml", "-o", nowhere, text});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output,
              "quillmark-cli: warning: no mailbox found in " + text
                  + " (a mailbox is a non-empty file without a dot in its name, or with one when its .msf lies "
                    "beside it or it begins as a mailbox does; name a file to convert it whatever its name)\n"
                    "quillmark-cli: nothing to convert\n");
    EXPECT_FALSE(std::filesystem::exists(nowhere));
}

TEST(CliRun, SummaryNamesWhatItWroteAndHowFarEachMailboxGot)
{
    TempDir dir;
    const std::string out = (dir / "out").string();
    const auto inbox = dir.write("Mail/Inbox", testing::mboxOf({{}, {}})).string();
    auto r = runCli({"--to", "pst", "-o", out, inbox});
    EXPECT_EQ(r.status, 0) << r.output;
    std::string pst;
    for (const auto& e : std::filesystem::directory_iterator(dir / "out"))
        if (e.path().extension() == ".pst") pst = e.path().string();
    EXPECT_NE(r.output.find("Messages:  2 written as .pst to " + pst + "\n"), std::string::npos) << r.output;

    // Bytes before the first message: the mailbox is converted only in part, and exit says so.
    const auto stray = dir.write("Mail/Stray", "junk\n" + testing::mboxOf({{}, {}})).string();
    r = runCli({"--to", "mbox", "-o", out, stray});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.output.starts_with("Mailboxes: 1 (0 converted, 1 partly converted, 0 failed)\n"
                                     "Messages:  2 written as .mbox to "
                                     + out + "\n"))
        << r.output;
    EXPECT_NE(r.output.find("Partly converted:\n  " + stray
                            + ": 2 of 2 messages written; bytes before the first message belong to none\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(occurrences(r.output, "5 bytes before the first message"), 1u) << r.output;

    // Sixty mailboxes that cannot be read: fifty are named, the rest counted.
    std::vector<std::string> args{"--to", "eml", "-o", out};
    for (int i = 0; i < 60; ++i) args.push_back((dir / ("Mail/Gone" + std::to_string(i))).string());
    r = runCli(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.output.starts_with("Mailboxes: 60 (0 converted, 60 failed)\n")) << r.output;
    EXPECT_NE(r.output.find("  ... and 10 more\n"), std::string::npos);
    EXPECT_EQ(occurrences(r.output, "no such file"), 50u);
}

TEST(CliProgress, LineShowsMailboxCountRateAndEtaAndFitsTheTerminal)
{
    JobProgress f;
    f.mailbox = 2;
    f.mailboxes = 5;
    f.bytesDone = 50'000'000;
    f.bytesTotal = 150'000'000;
    f.messagesWritten = 1234;
    f.mailboxName = "Inbox";
    EXPECT_EQ(progressLine(f, 10.0), "Mailbox 2/5 Inbox | 1234 written | 5.0 MB/s | 0:20 left");
    EXPECT_EQ(formatDuration(3725), "1:02:05");
    // A long name is shortened, never split inside a character, so the line does not wrap; on a
    // narrow terminal the figures give way before the name does.
    f.mailboxName = "Ünïcødé mailbox with a rather long name, longer than any terminal is wide";
    const std::string line = progressLine(f, 10.0, 80);
    EXPECT_EQ(line, "Mailbox 2/5 Ünïcødé mailbox with a rat... | 1234 written | 5.0 MB/s | 0:20 left");
    EXPECT_EQ(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; }), 79);
    EXPECT_EQ(progressLine(f, 10.0, 40), "Mailbox 2/5 Ünïcødé mailb... | 1234 wri");
}

}  // namespace
}  // namespace quillmark::cli
