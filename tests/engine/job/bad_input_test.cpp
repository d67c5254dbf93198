// Bad input of every kind: each gets a clear message, nothing is lost or left half-written, and
// the source mailbox is never changed.
#include "engine/job/conversion_job.h"
#include "platform/fault_injection.h"
#include "platform/paths.h"
#include "support/fake_host.h"
#include "support/mbox_builder.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#ifdef __linux__
#include <sys/mount.h>
#endif
#include <fstream>
#include <optional>

namespace quillmark {
namespace {

namespace fs = std::filesystem;
using testing::FakeHost;
using testing::Mail;
using testing::TempDir;

// Bytes and modification time of a file, to show it was not touched.
struct Fingerprint {
    std::string bytes;
    fs::file_time_type modified;
    explicit Fingerprint(const fs::path& p) : bytes(testing::readFile(p)), modified(fs::last_write_time(p)) {}
    bool operator==(const Fingerprint&) const = default;
};

Report convert(const std::vector<std::string>& rows, const fs::path& out, FakeHost& host)
{
    JobSettings s;
    s.outputFolder = out.string() + "/";
    s.progressInterval = std::chrono::milliseconds(0);
    ConversionJob job(host, s);
    return job.run(rows);
}

std::vector<std::string> partFiles(const fs::path& root)
{
    std::vector<std::string> out;
    for (const auto& f : testing::listFiles(root))
        if (f.size() > 5 && f.substr(f.size() - 5) == ".part") out.push_back(f);
    return out;
}

// quillmark-cli, its standard error merged into its output. With fileBlocks the shell first
// limits the size of every file it writes to that many blocks of 512 bytes.
testing::ProgramRun runCli(const std::vector<std::string>& args, std::optional<int> fileBlocks = std::nullopt)
{
    std::vector<std::string> command{QUILLMARK_CLI};
    if (fileBlocks)
        command = {"sh", "-c", "ulimit -f " + std::to_string(*fileBlocks) + " && exec \"$@\"", "sh", QUILLMARK_CLI};
    command.insert(command.end(), args.begin(), args.end());
    return testing::runProgram(command);
}

TEST(BadInput, NulBytesAndOddLineEndsPassThroughAndSourceStaysUntouched)
{
    TempDir dir;
    std::string box = testing::mboxOf({{"a@example.com", "nul", std::string("A\0B", 3)}});
    box += "From - x\rSubject: cr only\r\rbody\r";  // a CR-only message after an LF one
    const auto inbox = dir.write("Inbox", box);
    const Fingerprint before(inbox);
    FakeHost host;
    const Report r = convert({inbox.string()}, dir / "out", host);
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.messagesWritten, 2u);
    EXPECT_EQ(Fingerprint(inbox), before);
    const auto folder = platform::toPath(platform::mailboxOutputFolder((dir / "out").string(), inbox.string()));
    EXPECT_NE(testing::readFile(folder / "Email-0.eml").find(std::string("A\0B\r\n", 5)), std::string::npos);
    EXPECT_EQ(testing::readFile(folder / "Email-1.eml"), "Subject: cr only\r\n\r\nbody\r\n\r\n");
    EXPECT_EQ(fs::exists(inbox.string() + ".tmp"), false);  // no working copy beside the mailbox
}

TEST(BadInput, OutputFolderThatCannotBeCreatedFailsEachMailboxClearly)
{
    TempDir dir;
    const auto inbox = dir.write("Inbox", testing::mboxOf({{}, {}}));
    dir.write("blocker", "a file where a folder should go");
    FakeHost host;
    const Report r = convert({inbox.string()}, dir / "blocker", host);
    EXPECT_FALSE(r.succeeded());
    EXPECT_EQ(r.mailboxesFailed, 1u);
    ASSERT_FALSE(r.problems.empty());
    EXPECT_NE(r.problems[0].error.detail.find("cannot create the folder"), std::string::npos)
        << r.problems[0].error.detail;
    EXPECT_EQ(host.boxes.back().style, 48);
}

TEST(BadInput, DiskFullStopsTheJobAndLeavesOnlyCompleteFiles)
{
#ifdef _WIN32
    GTEST_SKIP() << "the full disk is made with a POSIX file-size limit";
#endif
    TempDir dir;
    std::vector<Mail> mails(10, Mail{"a@example.com", "small", "text"});
    mails[5].body = std::string(200000, 'x');
    const auto inbox = dir.write("Inbox", testing::mboxOf(mails));
    const auto sent = dir.write("Sent", testing::mboxOf({mails[0]}));
    const Fingerprint before(inbox);
    // Files may grow to 64 blocks of 512 bytes: message 5 does not fit, as on a full disk.
    const auto cli = runCli({"--to", "eml", "-o", (dir / "out").string(), inbox.string(), sent.string()}, 64);
    EXPECT_EQ(cli.status, 2) << cli.output;
    EXPECT_NE(cli.output.find("File too large"), std::string::npos) << cli.output;
    EXPECT_NE(cli.output.find("NOT everything was converted"), std::string::npos);
    // The mailbox it stopped in is converted in part, the one after it not at all.
    EXPECT_TRUE(cli.output.starts_with("Mailboxes: 2 (0 converted, 1 partly converted, 0 failed, 1 not converted)\n"
                                       "Messages:  5 written as .eml to "
                                       + (dir / "out").string() + "\n"))
        << cli.output;
    EXPECT_NE(cli.output.find("Partly converted:\n  " + inbox.string() + ": 5 of 10 messages written\n"),
              std::string::npos)
        << cli.output;
    const auto folder = platform::toPath(platform::mailboxOutputFolder((dir / "out").string(), inbox.string()));
    const auto files = testing::listFiles(folder);
    EXPECT_EQ(files,
              (std::vector<std::string>{"Email-0.eml", "Email-1.eml", "Email-2.eml", "Email-3.eml", "Email-4.eml"}));
    for (const auto& f : files) EXPECT_EQ(testing::readFile(folder / f), testing::expectedEml(mails[0])) << f;
    EXPECT_TRUE(partFiles(dir / "out").empty());
    EXPECT_EQ(Fingerprint(inbox), before);
}

// A small file system of its own (a tmpfs), for a real full disk or a read-only volume.
class ScopedMount {
public:
    ScopedMount(const fs::path& where, [[maybe_unused]] const char* options) : m_where(where)
    {
        fs::create_directories(where);
#ifdef __linux__
        m_mounted = ::mount("tmpfs", where.c_str(), "tmpfs", 0, options) == 0;
#endif
    }
    ~ScopedMount()
    {
#ifdef __linux__
        if (m_mounted) ::umount2(m_where.c_str(), MNT_DETACH);
#endif
    }
    bool mounted() const { return m_mounted; }
    void remountReadOnly()
    {
#ifdef __linux__
        m_mounted = ::mount("tmpfs", m_where.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0 && m_mounted;
#endif
    }

private:
    fs::path m_where;
    bool m_mounted = false;
};

TEST(BadInput, ReadOnlyOutputVolumeIsOneClearError)
{
    TempDir dir;
    const auto inbox = dir.write("Inbox", testing::mboxOf({{}}));
    ScopedMount volume(dir / "ro", "size=1m");
    if (!volume.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root on Linux)";
    volume.remountReadOnly();
    const auto cli = runCli({"--to", "eml", "-o", (dir / "ro/out").string(), inbox.string()});
    EXPECT_EQ(cli.status, 2);
    EXPECT_NE(cli.output.find("cannot create the output folder"), std::string::npos) << cli.output;
    EXPECT_NE(cli.output.find("Read-only file system"), std::string::npos) << cli.output;
}

// A mailbox of many messages goes to the EML writer threads: the job stops at the first message
// that meets the full disk, and only that one is said to have failed. Another writer may have
// written a later message before the disk was full: it is there whole and counted.
TEST(BadInput, FullDiskStopsWithCompleteFilesOnly)
{
    for (std::size_t count : {std::size_t{60}, std::size_t{300}}) {
        SCOPED_TRACE(std::to_string(count) + " messages");
        TempDir dir;
        std::vector<Mail> mails(count, Mail{"a@example.com", "filler", std::string(3000, 'z')});
        const auto inbox = dir.write("Inbox", testing::mboxOf(mails));
        const auto sent = dir.write("Sent", testing::mboxOf({mails[0]}));
        ScopedMount volume(dir / "small", "size=64k");
        if (!volume.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root on Linux)";
        FakeHost host;
        const Report r = convert({inbox.string(), sent.string()}, dir / "small", host);
        ASSERT_TRUE(r.fatal);
        EXPECT_EQ(r.fatal->code, Code::NoSpace);
        EXPECT_GT(r.messagesWritten, 0u);
        EXPECT_LT(r.messagesWritten, mails.size());
        EXPECT_EQ(r.mailboxesPartly, 1u);
        EXPECT_EQ(r.mailboxesNotConverted, 1u);
        EXPECT_EQ(r.mailboxesConverted, 0u);
        EXPECT_EQ(r.messagesFailed, 1u);  // the one that met the full disk; the job stopped there
        EXPECT_NE(host.boxes.back().text.find("1 mailbox was not converted"), std::string::npos);
        EXPECT_NE(host.boxes.back().text.find("No space left on device"), std::string::npos) << host.boxes.back().text;
        const auto folder = platform::toPath(platform::mailboxOutputFolder((dir / "small").string(), inbox.string()));
        const auto files = testing::listFiles(folder);
        EXPECT_EQ(files.size(), r.messagesWritten);
        for (const auto& name : files) {
            EXPECT_TRUE(name.starts_with("Email-") && name.ends_with(".eml")) << name;
            EXPECT_EQ(testing::readFile(folder / name), testing::expectedEml(mails[0])) << name;
        }
        EXPECT_TRUE(partFiles(dir / "small").empty());
    }
}

// Fails the 1st, 2nd, ... read of the mailbox (or write of an output file) until a run meets no
// fault: every run must end with a clear reason, complete files only, and the source untouched.
TEST(FaultInjection, EveryFailedReadOrWriteEndsCleanly)
{
    TempDir dir;
    std::vector<Mail> mails(6, Mail{"a@example.com", "fault", "short body"});
    mails[2].body = std::string(3u << 20, 'q');  // several reads and writes for one message
    const auto inbox = dir.write("Inbox", testing::mboxOf(mails));
    const Fingerprint before(inbox);
    for (auto op : {platform::faults::Op::Read, platform::faults::Op::Write}) {
        int n = 1;
        for (; n < 200; ++n) {
            SCOPED_TRACE((op == platform::faults::Op::Read ? "read " : "write ") + std::to_string(n));
            const auto out = dir / ("out-" + std::to_string(static_cast<int>(op)) + "-" + std::to_string(n));
            FakeHost host;
            platform::faults::failNth(op, n);
            const Report r = convert({inbox.string()}, out, host);
            platform::faults::failNth(op, 0);
            if (r.succeeded()) break;
            ASSERT_FALSE(r.problems.empty());
            for (const auto& p : r.problems)
                EXPECT_NE(p.error.detail.find("Input/output error"), std::string::npos) << p.error.detail;
            EXPECT_EQ(r.messagesWritten + r.messagesFailed, r.messagesFound);
            EXPECT_TRUE(partFiles(out).empty());
            const auto folder = platform::toPath(platform::mailboxOutputFolder(out.string(), inbox.string()));
            for (const auto& f : testing::listFiles(folder)) {
                const auto j = std::stoul(f.substr(6));
                EXPECT_EQ(testing::readFile(folder / f), testing::expectedEml(mails[j])) << f;
            }
            fs::remove_all(out);
        }
        EXPECT_GT(n, 2) << "the fault was never hit";
        EXPECT_LT(n, 200);
    }
    EXPECT_EQ(Fingerprint(inbox), before);
}

TEST(LargeInput, OneHundredMegabyteLine)
{
    TempDir dir;
    std::string box
        = "From - x\nSubject: long\n\n" + std::string(100u << 20, 'y') + "\nFrom - y\nSubject: after\n\nok\n";
    const auto inbox = dir.write("Inbox", box);
    box.clear();
    box.shrink_to_fit();
    FakeHost host;
    const Report r = convert({inbox.string()}, dir / "out", host);
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.messagesWritten, 2u);
    const auto folder = platform::toPath(platform::mailboxOutputFolder((dir / "out").string(), inbox.string()));
    EXPECT_EQ(fs::file_size(folder / "Email-0.eml"), 17u + (100u << 20) + 2 + 2);
    EXPECT_EQ(testing::readFile(folder / "Email-1.eml"), "Subject: after\r\n\r\nok\r\n\r\n");
}

TEST(LargeInput, MessagesPastFourGibibytes)
{
    TempDir dir;
    const auto path = dir / "Inbox";
    const std::uint64_t at = (std::uint64_t{4} << 30) + 12345;
    // The hole ends with a line end, so the first separator starts a line.
    const std::string tail
        = "\n" + testing::mboxOf({{"a@example.com", "past 4 GiB", "one"}, {"b@example.com", "two", "2"}});
    {
        // Written past the end: a sparse file, which costs no disk for the hole before the messages.
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.seekp(static_cast<std::streamoff>(at - 1));
        out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
        ASSERT_TRUE(out.good());
    }
    FakeHost host;
    const Report r = convert({path.string()}, dir / "out", host);
    EXPECT_EQ(r.messagesWritten, 2u);
    EXPECT_EQ(r.mailboxesFailed, 0u);
    // The hole belongs to no message, and the report says so rather than dropping it quietly.
    ASSERT_EQ(r.issuesKept, 1u);
    EXPECT_NE(r.problems[0].error.detail.find(std::to_string(at) + " bytes before the first message"),
              std::string::npos);
    const auto folder = platform::toPath(platform::mailboxOutputFolder((dir / "out").string(), path.string()));
    EXPECT_NE(testing::readFile(folder / "Email-0.eml").find("past 4 GiB"), std::string::npos);
    EXPECT_NE(host.labels(Label::LblHappening)[1].find(std::to_string(at)), std::string::npos);
}

}  // namespace
}  // namespace quillmark
