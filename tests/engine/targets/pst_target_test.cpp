#include "engine/job/conversion_job.h"
#include "engine/pst/verify/verifier.h"
#include "platform/fault_injection.h"
#include "platform/paths.h"
#include "support/fake_host.h"
#include "support/mbox_builder.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace quillmark {
namespace {

namespace fs = std::filesystem;
using testing::FakeHost;
using testing::Mail;
using testing::TempDir;

std::vector<fs::path> pstFiles(const fs::path& folder)
{
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().extension() == ".pst") out.push_back(e.path());
    return out;
}

// 600 messages of 3 to 4 KB: several of the import threads' batches (64 messages or 1 MB).
std::vector<Mail> manyMessages()
{
    std::vector<Mail> mails;
    for (std::size_t j = 0; j < 600; ++j)
        mails.push_back({"a@example.com", "m" + std::to_string(j), std::string(3000 + j % 700, 'r')});
    return mails;
}

// The folder holds one PST file, sound by the verifier, with `messages` messages.
void expectOneSoundPst(const fs::path& folder, std::uint64_t messages)
{
    const auto files = pstFiles(folder);
    ASSERT_EQ(files.size(), 1u);
    auto verified = pst::verify(files[0]);
    ASSERT_TRUE(verified.ok());
    EXPECT_TRUE(verified->ok()) << verified->text();
    EXPECT_EQ(verified->messages, messages);
}

// A PST job into <dir>/out (made), every progress step sent.
JobSettings pstJobInto(const TempDir& dir)
{
    JobSettings s;
    s.target = Target::Pst;
    s.outputFolder = (dir / "out").string() + platform::preferredSeparator();
    s.progressInterval = std::chrono::milliseconds(0);
    fs::create_directories(dir / "out");
    return s;
}

// Folder name, message count and subjects as libpff reads them, one line per folder; empty when
// python3-pypff is not installed (Debian's, so only the system's python3 has it).
std::optional<std::string> readWithLibpff(const fs::path& pst)
{
    const std::string python = "/usr/bin/python3";
    if (!testing::haveProgram(python) || testing::runProgram({python, "-c", "import pypff"}).status != 0)
        return std::nullopt;
    const std::string script = "import pypff,sys\n"
                               "f=pypff.file(); f.open(sys.argv[1])\n"
                               "def walk(d):\n"
                               "  for i in range(d.number_of_sub_folders):\n"
                               "    s=d.get_sub_folder(i); n=s.number_of_sub_messages\n"
                               "    subj=sorted(s.get_sub_message(j).subject or '' for j in range(n))\n"
                               "    print(s.name, n, '|'.join(subj)); walk(s)\n"
                               "walk(f.get_root_folder())\n";
    const auto run = testing::runProgram({python, "-c", script, pst.string()});
    EXPECT_EQ(run.status, 0) << run.output;
    return run.output;
}

TEST(PstTarget, ThunderbirdsMessageStateArrives)
{
    TempDir dir;
    std::vector<Mail> mails = {
        {"a@example.com", "unread", "x", "X-Mozilla-Status: 0000\nX-Mozilla-Status2: 00000000\n"},
        {"a@example.com", "read", "x", "X-Mozilla-Status: 0001\n"},
        {"a@example.com", "starred", "x", "X-Mozilla-Status: 0005\n"},
        {"a@example.com", "replied", "x", "X-Mozilla-Status: 0003\n"},
        {"a@example.com", "forwarded", "x", "X-Mozilla-Status: 1001\n"},
        {"a@example.com", "draft", "x", "X-Mozilla-Status: 0001\nX-Mozilla-Draft-Info: internal/draft; vcard=0\n"},
        {"a@example.com", "partial", "x", "X-Mozilla-Status: 0001\nX-Mozilla-Status2: 00000400\n"},
        {"a@example.com", "no status", "x"},
    };
    const auto inbox = dir.write("Inbox", testing::mboxOf(mails));
    FakeHost host;
    ConversionJob job(host, pstJobInto(dir));
    const std::vector<std::string> rows{inbox.string()};
    const Report r = job.run(rows);
    EXPECT_EQ(r.messagesWritten, mails.size());
    EXPECT_EQ(r.messagesRecovered, 1u);  // the headers-only copy is named
    const auto files = pstFiles(dir / "out");
    ASSERT_EQ(files.size(), 1u);
    auto verified = pst::verify(files[0]);  // the folder's unread count follows the flags
    ASSERT_TRUE(verified.ok());
    EXPECT_TRUE(verified->ok()) << verified->text();

    const std::string python = "/usr/bin/python3";
    if (!testing::haveProgram(python) || testing::runProgram({python, "-c", "import pypff"}).status != 0)
        GTEST_SKIP() << "python3-pypff is not installed";
    // Subject, then PidTagMessageFlags, PidTagFlagStatus and PidTagLastVerbExecuted (- when absent).
    const std::string script = "import pypff,sys,struct\n"
                               "f=pypff.file(); f.open(sys.argv[1])\n"
                               "def walk(d):\n"
                               "  for i in range(d.number_of_sub_folders):\n"
                               "    s=d.get_sub_folder(i)\n"
                               "    for j in range(s.number_of_sub_messages):\n"
                               "      m=s.get_sub_message(j); v={}\n"
                               "      for rs in m.record_sets:\n"
                               "        for e in rs.entries:\n"
                               "          if e.entry_type in (0x0E07,0x1090,0x1081) and e.data: "
                               "v[e.entry_type]=struct.unpack('<i',e.data[:4])[0]\n"
                               "      print(m.subject, *[v.get(t,'-') for t in (0x0E07,0x1090,0x1081)])\n"
                               "    walk(s)\n"
                               "walk(f.get_root_folder())\n";
    const auto run = testing::runProgram({python, "-c", script, files[0].string()}, testing::StdErr::Apart);
    ASSERT_EQ(run.status, 0) << run.output;
    for (const char* line : {"unread 0 - -\n", "read 1 - -\n", "starred 1 2 -\n", "replied 1 - 102\n",
                             "forwarded 1 - 104\n", "draft 9 - -\n", "partial 1 - -\n", "no status 1 - -\n"})
        EXPECT_NE(run.output.find(line), std::string::npos) << line << run.output;
}

TEST(PstTarget, OneStoreAFolderPerMailboxAtItsPlaceEveryMessageRead)
{
    TempDir dir;
    const auto a = dir.write("A/Inbox", testing::mboxOf({{"a@example.com", "first"}, {"b@example.com", "second"}}));
    const auto b = dir.write("B/Inbox", testing::mboxOf({{"c@example.com", "third"}}));
    std::vector<Mail> sent = {
        {"me@example.com", "attached", "see file", "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=x\n"}};
    sent[0].body = "--x\nContent-Type: text/plain\n\nsee file\n--x\nContent-Type: text/csv; name=a.csv\n"
                   "Content-Disposition: attachment; filename=a.csv\n\na,b\n--x--";
    const auto c = dir.write("A/Sent", testing::mboxOf(sent));
    FakeHost host;
    ConversionJob job(host, pstJobInto(dir));
    const std::vector<std::string> rows{a.string(), b.string(), c.string()};
    const Report r = job.run(rows);
    ASSERT_TRUE(r.succeeded()) << host.boxes.back().text;
    EXPECT_EQ(r.messagesWritten, 4u);
    EXPECT_NE(host.boxes.back().text.find("successfully exported to Outlook (.pst) file."), std::string::npos);

    const auto files = pstFiles(dir / "out");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].filename().string().starts_with("Thunderbird"));
    auto verified = pst::verify(files[0]);
    ASSERT_TRUE(verified.ok());
    EXPECT_TRUE(verified->ok()) << verified->text();
    // The mailbox output folders are made, and hold no hand-over files.
    for (const auto& m : {a, b, c}) {
        const auto folder = platform::toPath(platform::mailboxOutputFolder((dir / "out").string(), m.string()));
        EXPECT_TRUE(fs::is_directory(folder));
        EXPECT_TRUE(testing::listFiles(folder).empty());
    }
    const auto listing = readWithLibpff(files[0]);
    if (!listing) GTEST_SKIP() << "python3-pypff is not installed";
    // Two folders named Inbox, each below the folder its mailbox lies in.
    EXPECT_NE(listing->find("A 0 \nInbox 2 first|second\nSent 1 attached\nB 0 \nInbox 1 third"), std::string::npos)
        << *listing;
}

// A message without a Date still has its dates: the newest Received, else the date of its own
// separator line (no zone: UTC), else the mailbox file's modification time; never the run's clock.
TEST(PstTarget, MessagesWithoutDateTakeTheirDatesFromReceivedSeparatorOrFile)
{
    TempDir dir;
    const auto mailbox = dir.write("Inbox",
                                   "From a@example.com Sat Dec  5 10:00:00 2026\n"
                                   "Date: Mon, 07 Dec 2026 09:05:07 +0100\nSubject: dated\n\nx\n\n"
                                   "From a@example.com Sat Dec  5 10:00:00 2026\n"
                                   "Received: from a by b; Sun, 6 Dec 2026 11:00:00 +0000\n"
                                   "Received: from c by a; Sun, 6 Dec 2026 10:00:00 +0000\n"
                                   "Subject: received\n\nx\n\n"
                                   "From a@example.com Sat Dec  5 10:00:00 2026\nSubject: separator\n\nx\n\n"
                                   "From -\nSubject: file\n\nx\n");
    using namespace std::chrono;
    const sys_seconds fileTime = sys_days(2001y / March / 4) + 5h;
    fs::last_write_time(mailbox, file_clock::from_sys(fileTime));
    FakeHost host;
    ConversionJob job(host, pstJobInto(dir));
    const std::vector<std::string> rows{mailbox.string()};
    ASSERT_TRUE(job.run(rows).succeeded()) << host.boxes.back().text;
    const auto files = pstFiles(dir / "out");
    ASSERT_EQ(files.size(), 1u);

    const std::string python = "/usr/bin/python3";
    if (testing::runProgram({python, "-c", "import pypff"}).status != 0)
        GTEST_SKIP() << "python3-pypff is not installed";
    const std::string script = "import pypff,sys\n"
                               "f=pypff.file(); f.open(sys.argv[1])\n"
                               "s=lambda t: (t-116444736000000000)//10000000\n"
                               "def walk(d):\n"
                               "  for i in range(d.number_of_sub_messages):\n"
                               "    m=d.get_sub_message(i)\n"
                               "    print(m.subject, s(m.get_client_submit_time_as_integer()),\n"
                               "          s(m.get_delivery_time_as_integer()), s(m.get_creation_time_as_integer()),\n"
                               "          s(m.get_modification_time_as_integer()))\n"
                               "  for i in range(d.number_of_sub_folders): walk(d.get_sub_folder(i))\n"
                               "walk(f.get_root_folder())\n";
    const auto run = testing::runProgram({python, "-c", script, files[0].string()});
    ASSERT_EQ(run.status, 0) << run.output;
    const auto line = [](std::string_view subject, sys_seconds submit, sys_seconds delivery) {
        const auto n = [](sys_seconds t) { return std::to_string(t.time_since_epoch().count()); };
        return std::string(subject) + " " + n(submit) + " " + n(delivery) + " " + n(delivery) + " " + n(delivery)
            + "\n";
    };
    const sys_seconds dated = sys_days(2026y / December / 7) + 8h + 5min + 7s;
    const sys_seconds received = sys_days(2026y / December / 6) + 11h;
    const sys_seconds separator = sys_days(2026y / December / 5) + 10h;
    EXPECT_EQ(run.output,
              line("dated", dated, dated) + line("received", received, received)
                  + line("separator", separator, separator) + line("file", fileTime, fileTime));
}

// Messages are imported on worker threads and stored in order: a cancel must still leave a valid
// store holding exactly the messages the report counts, and a message read only in part is
// counted and named, not passed over.
TEST(PstTarget, CancelLeavesAValidStoreWithWhatWasCountedAndPartReadsAreReported)
{
    TempDir dir;
    std::vector<Mail> mails;
    // More messages than the import threads may hold in flight, so the cancel finds some uncut.
    constexpr std::size_t kMessages = 1500;
    for (std::size_t i = 0; i < kMessages; ++i) mails.push_back({"a@example.com", "message " + std::to_string(i)});
    // A multipart without its boundary: GMime reads it only in part.
    mails[3] = Mail{"b@example.com", "broken", "text", "MIME-Version: 1.0\nContent-Type: multipart/mixed\n"};
    const auto inbox = dir.write("Inbox", testing::mboxOf(mails));
    FakeHost host;
    host.cancelWhen = [&] {
        const auto saved = host.labels(Label::LblProgress);
        return std::find(saved.begin(), saved.end(), "Saved Email-20 Message") != saved.end();
    };
    ConversionJob job(host, pstJobInto(dir));
    const std::vector<std::string> rows{inbox.string()};
    const Report r = job.run(rows);
    EXPECT_TRUE(r.cancelled);
    EXPECT_GE(r.messagesWritten, 21u);  // Email-0 to Email-20 were stored before the cancel
    EXPECT_LT(r.messagesWritten, kMessages);
    EXPECT_EQ(r.messagesFailed, 0u);
    EXPECT_EQ(r.messagesRecovered, 1u);
    bool named = false;
    for (const auto& p : r.problems)
        named = named
            || (p.severity == Severity::Issue && p.message == 3u
                && p.error.detail.find("in part") != std::string::npos);
    EXPECT_TRUE(named);
    EXPECT_NE(host.boxes.back().text.find("1 message could be read only in part"), std::string::npos)
        << host.boxes.back().text;
    // The last label names the last message stored.
    EXPECT_EQ(host.lastLabel(Label::LblProgress), "Saved Email-" + std::to_string(r.messagesWritten - 1) + " Message");

    const auto files = pstFiles(dir / "out");
    ASSERT_EQ(files.size(), 1u);
    auto verified = pst::verify(files[0]);
    ASSERT_TRUE(verified.ok());
    EXPECT_TRUE(verified->ok()) << verified->text();
    const auto listing = readWithLibpff(files[0]);
    if (!listing) GTEST_SKIP() << "python3-pypff is not installed";
    EXPECT_NE(listing->find("Inbox " + std::to_string(r.messagesWritten) + " "), std::string::npos)
        << listing->substr(0, 200);
}

TEST(PstTarget, AnExceptionMidJobEndsItWithAValidStoreAndSaysWhy)
{
    TempDir dir;
    std::vector<Mail> mails(200, Mail{"a@example.com", "message"});
    const auto inbox = dir.write("Inbox", testing::mboxOf(mails));
    FakeHost host;
    int polls = 0;  // the job asks between messages: the 100th question throws
    host.cancelWhen = [&] {
        if (++polls == 100) throw std::runtime_error("the host went away");
        return false;
    };
    ConversionJob job(host, pstJobInto(dir));
    const std::vector<std::string> rows{inbox.string()};
    const Report r = job.run(rows);
    ASSERT_TRUE(r.fatal);
    EXPECT_EQ(r.fatal->code, Code::Internal);
    EXPECT_NE(r.fatal->detail.find("the host went away"), std::string::npos) << r.fatal->detail;
    ASSERT_FALSE(host.boxes.empty());
    EXPECT_NE(host.boxes.back().text.find("The conversion stopped"), std::string::npos) << host.boxes.back().text;

    const auto files = pstFiles(dir / "out");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(r.outputFile, files[0].string());  // the summary names the file that was kept
    auto verified = pst::verify(files[0]);
    ASSERT_TRUE(verified.ok());
    EXPECT_TRUE(verified->ok()) << verified->text();
}

TEST(PstTarget, FileAndStoreNamesUseTheShortDatePattern)
{
    auto localTime = [](int year, int month, int day, int hour, int minute, int second) {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        t.tm_isdst = -1;
        return std::mktime(&t);
    };
    EXPECT_EQ(pstTimestamp(localTime(2026, 1, 31, 23, 59, 59)), "31.1.26 23.59.59");
    EXPECT_EQ(pstTimestamp(localTime(2026, 12, 6, 8, 5, 9)), "6.12.26 8.5.09");
}

// A message/rfc822 part nested `depth` levels deep, as a mailbox message body with its headers.
std::string nestedMessage(int depth)
{
    std::string inner = "From: x@example.com\nSubject: level " + std::to_string(depth) + "\n\nbottom\n";
    for (int d = depth - 1; d >= 0; --d) {
        const std::string b = "b" + std::to_string(d);
        inner = "From: x@example.com\nSubject: level " + std::to_string(d)
            + "\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"" + b + "\"\n\n--" + b
            + "\nContent-Type: text/plain\n\ntext\n--" + b + "\nContent-Type: message/rfc822\n\n" + inner + "\n--" + b
            + "--\n";
    }
    return inner;
}

// The store takes messages embedded at most 16 deep: one that is deeper is skipped and named,
// and the store keeps every other message.
TEST(PstTarget, AMessageTheStoreRejectsCostsOnlyThatMessage)
{
    TempDir dir;
    const std::string box = testing::mboxOf({{"a@example.com", "before"}}) + "From - Mon Dec 07 09:15:02 2026\n"
        + nestedMessage(18) + "\n" + testing::mboxOf({{"c@example.com", "after"}});
    const auto inbox = dir.write("Inbox", box);
    FakeHost host;
    ConversionJob job(host, pstJobInto(dir));
    const std::vector<std::string> rows{inbox.string()};
    const Report r = job.run(rows);
    EXPECT_FALSE(r.fatal);
    EXPECT_EQ(r.messagesFound, 3u);
    EXPECT_EQ(r.messagesWritten, 2u);
    EXPECT_EQ(r.messagesFailed, 1u);
    EXPECT_EQ(r.mailboxesPartly, 1u);
    EXPECT_EQ(failureLines(r, 5),
              std::vector<std::string>{inbox.string() + ": message 1: messages embedded more than 16 deep"});
    const auto files = pstFiles(dir / "out");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(r.outputFile, files[0].string());
    auto verified = pst::verify(files[0]);
    ASSERT_TRUE(verified.ok());
    EXPECT_TRUE(verified->ok()) << verified->text();
    EXPECT_EQ(verified->messages, 2u);
}

// The import threads read the messages themselves, a batch at a time. Whichever of their reads
// fails (the 1st, 2nd, ... of the job), no message is lost that can be read: a failed batch read
// is tried again message by message, so a passing fault costs nothing, and the file is complete.
TEST(PstTarget, AFailedReadOfTheMailboxLosesNoMessageThatCanBeRead)
{
    TempDir dir;
    const std::vector<Mail> mails = manyMessages();
    const auto inbox = dir.write("Inbox", testing::mboxOf(mails));
    const std::vector<std::string> rows{inbox.string()};
    int batchReadsFailed = 0;
    for (int n = 1; n <= 12; ++n) {
        SCOPED_TRACE("read " + std::to_string(n));
        FakeHost host;
        ConversionJob job(host, pstJobInto(dir));
        for (const auto& f : pstFiles(dir / "out")) fs::remove(f);
        platform::faults::failNth(platform::faults::Op::Read, n);
        const Report r = job.run(rows);
        const bool armed = platform::faults::shouldFail(platform::faults::Op::Read);  // not used up
        platform::faults::failNth(platform::faults::Op::Read, 0);
        if (armed) break;  // the job made fewer reads than n
        // A failed search, or a failed read before the first message, fails the mailbox as a whole.
        if (std::any_of(r.problems.begin(), r.problems.end(),
                        [](const Problem& p) { return p.severity == Severity::MailboxFailed; }))
            continue;
        EXPECT_EQ(r.messagesWritten, mails.size()) << "a passing read error cost messages";
        EXPECT_EQ(r.messagesFailed, 0u);
        if (r.succeeded()) ++batchReadsFailed;
        expectOneSoundPst(dir / "out", mails.size());
    }
    EXPECT_GE(batchReadsFailed, 1) << "no read of the import threads was made to fail";
}

// Another program cuts the mailbox short while its messages are being converted (the import
// threads read them after the job handed them over): each message past the new end fails, said
// as such, every other is stored, and the file is valid and says nothing of success.
TEST(PstTarget, AMailboxCutShortMidwayFailsOnlyTheMessagesPastItsEnd)
{
    TempDir dir;
    const std::vector<Mail> mails = manyMessages();
    const auto inbox = dir.write("Inbox", testing::mboxOf(mails));
    const auto half = fs::file_size(inbox) / 2;
    FakeHost host;
    int asked = 0;
    // Asked before each message, once the messages are counted.
    host.cancelWhen = [&] {
        if (!host.lastLabel(Label::LblEmlsFound).empty() && ++asked == 100) fs::resize_file(inbox, half);
        return false;
    };
    ConversionJob job(host, pstJobInto(dir));
    const std::vector<std::string> rows{inbox.string()};
    const Report r = job.run(rows);
    EXPECT_FALSE(r.succeeded());
    EXPECT_GE(r.messagesWritten, 100u);
    EXPECT_GE(r.messagesFailed, 250u);  // at least those that began past the new end
    EXPECT_EQ(r.messagesWritten + r.messagesFailed, mails.size());
    for (const auto& p : r.problems) {
        if (p.severity != Severity::MessageFailed) continue;
        EXPECT_NE(p.error.detail.find("the mailbox became shorter"), std::string::npos) << p.error.detail;
    }
    expectOneSoundPst(dir / "out", r.messagesWritten);
}

// Two runs started within one second would get one name: the second gets " (2)", a third " (3)",
// and no run replaces what an earlier one wrote.
TEST(PstTarget, ARunNeverReplacesTheFileOfAnEarlierOne)
{
    TempDir dir;
    const auto inbox = dir.write("Inbox", testing::mboxOf({{}}));
    const std::time_t second = 1'796'000'000;
    const std::string base
        = (dir / "out").string() + platform::preferredSeparator() + "Thunderbird" + pstTimestamp(second);
    const std::vector<std::string> rows{inbox.string()};
    std::vector<std::string> written;
    for (int run = 0; run < 3; ++run) {
        FakeHost host;
        JobSettings s = pstJobInto(dir);
        s.clock = [&] { return second; };
        ConversionJob job(host, s);
        const Report r = job.run(rows);
        EXPECT_TRUE(r.succeeded());
        written.push_back(r.outputFile);
    }
    EXPECT_EQ(written, (std::vector<std::string>{base + ".pst", base + " (2).pst", base + " (3).pst"}));
    EXPECT_EQ(pstFiles(dir / "out").size(), 3u);
}

TEST(PstTarget, UnwritableOutputIsAnOutlookErrorWithTheReason)
{
    TempDir dir;
    const auto a = dir.write("Inbox", testing::mboxOf({{}}));
    dir.write("blocker", "a file, not a folder");
    FakeHost host;
    JobSettings s;
    s.target = Target::Pst;
    s.outputFolder = (dir / "blocker").string() + platform::preferredSeparator();
    ConversionJob job(host, s);
    const std::vector<std::string> rows{a.string()};
    const Report r = job.run(rows);
    ASSERT_TRUE(r.fatal);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].title, "Outlook Error");
    EXPECT_NE(host.boxes[0].text.find("could not be created"), std::string::npos) << host.boxes[0].text;
    EXPECT_NE(host.boxes[0].text.find("blocker"), std::string::npos);
}

}  // namespace
}  // namespace quillmark
