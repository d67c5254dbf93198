// The MBOX target: sender and date of a message, the separator line and "From " escaping, the
// .mbox files the job writes, and whether independent readers (Python's mailbox module, GMime's
// mbox parser) split those files back into the very messages of the source mailbox.
#include "engine/job/conversion_job.h"
#include "engine/mbox/mbox_framing.h"
#include "engine/mime/gmime_support.h"
#include "engine/mime/mail_message_reader.h"
#include "platform/fault_injection.h"
#include "platform/paths.h"
#include "support/fake_host.h"
#include "support/mbox_builder.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <regex>
#include <set>

namespace quillmark {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::string_literals;
using testing::FakeHost;
using testing::Mail;
using testing::TempDir;

sys_seconds utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0)
{
    return sys_days(year(y) / month(mo) / day(d)) + hours(h) + minutes(mi) + seconds(s);
}

MailMessageReader readerOf(const std::string& headers)
{
    MailMessageReader reader;
    (void)reader.LoadMessageFile(testing::toCrLf(headers + "\nBody.\n"));
    return reader;
}

// ---- Sender and date ------------------------------------------------------------------------

TEST(MailMessageReader, SenderIsTheAddressOfFromElseSenderElseReturnPath)
{
    const std::pair<std::string, std::string> cases[] = {
        {"From: \"Alice Q. Smith\" <alice@example.com>\n", "alice@example.com"},
        {"From: =?UTF-8?B?w4lsb2TDrWUgTcO8bGxlcg==?= <elodie@example.com>\n", "elodie@example.com"},
        {"From: =?ISO-8859-1?Q?Andr=E9?= Pirard <PIRARD@vm1.ulg.ac.be>\n", "PIRARD@vm1.ulg.ac.be"},
        {"From: bob@example.com (Bob Smith)\n", "bob@example.com"},
        {"From: Team: carol@example.com, dave@example.com;\n", "carol@example.com"},
        {"From: undisclosed-recipients:;\nSender: list@example.com\n", "list@example.com"},
        {"Sender: Owner <owner@example.com>\nReturn-Path: <rp@example.com>\n", "owner@example.com"},
        {"Subject: no From\nReturn-Path: <bounce@example.com>\n", "bounce@example.com"},
        {"Subject: a bounce\nReturn-Path: <>\n", "MAILER-DAEMON"},
        {"From:\nSubject: empty From\n", "MAILER-DAEMON"},
        // Field lines as they come: folded, any case, blank before the colon, junk in between.
        {"From: A Very Long Display Name\n\t<folded@example.com>\n", "folded@example.com"},
        {"Subject: x\nnot a field\nFROM : obs@example.com\nFrom: second@example.com\n", "obs@example.com"},
    };
    for (const auto& [headers, sender] : cases) EXPECT_EQ(readerOf(headers).SenderText(), sender) << headers;
}

// The first address GMime finds in a list, looking into groups.
std::string gmimeFirstAddress(InternetAddressList* list)
{
    for (int i = 0, n = list ? internet_address_list_length(list) : 0; i < n; ++i) {
        InternetAddress* a = internet_address_list_get_address(list, i);
        std::string found;
        if (gmime::isA(a, internet_address_group_get_type()))
            found = gmimeFirstAddress(internet_address_group_get_members(reinterpret_cast<InternetAddressGroup*>(a)));
        else if (const char* addr = internet_address_mailbox_get_addr(reinterpret_cast<InternetAddressMailbox*>(a)))
            found = addr;
        if (!found.empty()) return found;
    }
    return {};
}

// The sender is read without GMime where the form is plain; GMime reads the rest. Either way it is
// what GMime finds: forms at and just past the edge of the plain ones, against GMime itself.
TEST(MailMessageReader, SenderIsWhatGMimeFindsInEveryFormOfFrom)
{
    const std::string values[] = {
        "a@example.com",
        "  a.b-c+d@mail.example.com\t",
        "Ann <a@example.com>",
        "Ann B. Cole <a@example.com>",
        "=?UTF-8?Q?C=C3=A9line?= <c@example.com>",
        "<a@example.com>",
        " <a@example.com> ",
        "Ann<a@example.com>",
        "\"Cole, Ann\" <a@example.com>",
        "a@example.com (Ann)",
        "Ann <a@example.com> (work)",
        "a..b@example.com",
        ".a@example.com",
        "a.@example.com",
        "a@example..com",
        "a@[192.0.2.1]",
        "\"a b\"@example.com",
        "Ann <a@xn--bcher-kva.example>",
        "a@XN--bcher-kva.example",
        "a@b",
        "Ann <>",
        "Ann",
        "@example.com",
        "a@",
        "a@example.com, b@example.com",
        "Ann <a@example.com>, b@example.com",
        "Ann <a@example.com",
        "Ann a@example.com>",
        "Ann <a@example.com>>",
        "Ann (x) <a@example.com>",
        "J\xc3\xb6rg <j@example.com>",
        "a\xc3\xa9@example.com",
        "Ann <a@example.com>\r",
        "Team: a@example.com;",
        "a@example.com;",
        "Ann: <a@example.com>",
        "\"\" <a@example.com>",
        "\"Ann\"<a@example.com>",
        "\"Ann\" B. \"Cole\" <a@example.com>",
        "\"A\\\"nn\" <a@example.com>",
        "\"Ann <a@example.com>",
        "\"Ann <x@y.z>\" <a@example.com>",
        "\"\" Angles \" Puglisi\" <a@example.com>",
        "\"Ann\" <\"a b\"@example.com>",
        "\"J\xc3\xb6rg\" <j@example.com>",
    };
    gmime::ensureInitialised();
    for (const auto& value : values) {
        gmime::Owned<InternetAddressList> list(internet_address_list_parse(nullptr, value.c_str()));
        const std::string found = gmimeFirstAddress(list.get());
        const std::string expected = found.empty() ? "MAILER-DAEMON" : found;
        MailMessageReader reader;
        (void)reader.LoadMessageFile("From: " + value + "\r\nSubject: x\r\n\r\n");
        EXPECT_EQ(reader.SenderText(), expected) << value;
    }
}

TEST(MailMessageReader, DateIsTheDateHeaderInUtcElseTheNewestReceived)
{
    const std::pair<std::string, std::optional<sys_seconds>> cases[] = {
        {"Date: Mon, 07 Dec 2026 09:15:02 +0100\n", utc(2026, 12, 7, 8, 15, 2)},
        {"Date: Mon, 7 Dec 2026 09:15:02 -0000\n", utc(2026, 12, 7, 9, 15, 2)},
        {"Date: Mon, 07 Dec 2026 23:30:00 -0530\n", utc(2026, 12, 8, 5)},
        {"Date: Mon, 07 Dec 2026 09:15:02 EST\n", utc(2026, 12, 7, 14, 15, 2)},
        {"Date: Sun, 28 Feb 2100 23:59:59 +0000\n", utc(2100, 2, 28, 23, 59, 59)},
        // GMime reads no year before 1969: such a date counts as unreadable.
        {"Date: Fri, 13 Dec 1901 20:45:52 +0000\nReceived: by b; Mon, 07 Dec 2026 07:00:00 +0000\n",
         utc(2026, 12, 7, 7)},
        {"Received: by b; Mon, 07 Dec 2026 09:00:00 +0000\nReceived: by a; Mon, 07 Dec 2026 10:00:00 +0000\n"
         "Received: by c; Mon, 07 Dec 2026 08:00:00 +0000\n",
         utc(2026, 12, 7, 10)},
        {"Date: Mon, 45 Foo 2026 99:99:99\nReceived: from a by b;\n Mon, 07 Dec 2026 07:00:00 +0000\n",
         utc(2026, 12, 7, 7)},
        {"Subject: no date\nReceived: from a by b (no date here)\n", std::nullopt},
    };
    for (const auto& [headers, date] : cases) EXPECT_EQ(readerOf(headers).MessageDate(), date) << headers;
}

TEST(MailMessageReader, TextWithoutHeaderFieldsIsCorruptButGivesASender)
{
    const std::string cases[] = {
        "",
        "\r\n\r\nonly a body\r\n",
        "This message has no header block at all.\r\nFrom here on it is text.\r\n",
        std::string(3 << 20, 'x'),
    };
    for (const auto& text : cases) {
        MailMessageReader reader;
        const auto loaded = reader.LoadMessageFile(text);
        ASSERT_FALSE(loaded);
        EXPECT_EQ(loaded.error().code, Code::Corrupt);
        EXPECT_FALSE(loaded.error().detail.empty());
        EXPECT_EQ(reader.SenderText(), "MAILER-DAEMON");
        EXPECT_FALSE(reader.MessageDate());
    }
    // NUL bytes end a value where they stand; what comes before them still counts.
    MailMessageReader reader;
    EXPECT_TRUE(reader.LoadMessageFile("From: alice@example.com\0junk\r\nDate: Mon, 07 Dec\0 2026\r\n\r\n"s));
    EXPECT_EQ(reader.SenderText(), "alice@example.com");
}

// ---- Separator line and escaping ------------------------------------------------------------

const std::regex kSeparator(R"(^From \S+ (Mon|Tue|Wed|Thu|Fri|Sat|Sun) )"
                            R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d\d \d\d:\d\d:\d\d \d{4}$)");

TEST(MboxFraming, SeparatorLineIsEnglishUtcWithZeroPaddedDay)
{
    const auto dec6 = utc(2026, 12, 6, 8, 5, 9);
    EXPECT_EQ(separatorLine("alice@example.com", dec6), "From alice@example.com Sun Dec 06 08:05:09 2026");
    EXPECT_EQ(separatorLine("", dec6), "From MAILER-DAEMON Sun Dec 06 08:05:09 2026");
    // A quoted local part may hold blanks and controls: the line must stay one word per field.
    EXPECT_EQ(separatorLine("\"john doe\"@x.org", dec6), "From \"john_doe\"@x.org Sun Dec 06 08:05:09 2026");
    EXPECT_EQ(separatorLine("a\tb\rc\x7f", dec6), "From a_b_c_ Sun Dec 06 08:05:09 2026");
    EXPECT_EQ(separatorLine("x", utc(1901, 12, 13, 20)), "From x Fri Dec 13 20:00:00 1901");
    EXPECT_EQ(separatorLine("x", utc(2100, 3, 1)), "From x Mon Mar 01 00:00:00 2100");
    EXPECT_FALSE(separatorLine("x", utc(10000, 1, 1)));
    EXPECT_FALSE(separatorLine("x", utc(999, 12, 31)));
}

TEST(MboxFraming, ReadsTheDateOfAnOldSeparatorLine)
{
    const auto dec6 = utc(2026, 12, 6, 8, 5, 9);
    EXPECT_EQ(separatorDate("From - Sun Dec 06 08:05:09 2026"), dec6);
    EXPECT_EQ(separatorDate("From alice@example.com  Sun Dec  6 08:05:09 2026"), dec6);
    EXPECT_EQ(separatorDate("From alice Sun Dec 6 08:05:09 +0000 2026"), dec6);
    EXPECT_EQ(separatorDate("From alice Sun Dec 6 08:05 2026"), dec6 - seconds(9));
    for (const char* line : {"From -", "From - Mon Feb 30 08:05:09 2026", "From - Mon Dec 06 08:05:09:01 2026",
                             "From - Mon Dec 06 08:05:09 26"})
        EXPECT_FALSE(separatorDate(line)) << line;
}

// ---- The job with the MBOX target ----------------------------------------------------------

struct MboxRun {
    TempDir dir;
    FakeHost host;
    Report report;
    fs::path out = dir / "out";

    std::string mailbox(const std::string& relative, const std::string& bytes)
    {
        return dir.write("src/" + relative, bytes).string();
    }
    fs::path mboxOf(const std::string& mailboxPath) const
    {
        const fs::path folder = platform::toPath(platform::mailboxOutputFolder(out.string() + "/", mailboxPath));
        return folder / (fs::path(mailboxPath).filename().string() + ".mbox");
    }
    Report run(const std::vector<std::string>& rows)
    {
        JobSettings settings;
        settings.target = Target::Mbox;
        settings.outputFolder = out.string() + "/";
        settings.progressInterval = milliseconds(0);
        ConversionJob job(host, settings);
        report = job.run(rows);
        return report;
    }
};

// Every line of an .mbox we wrote ends in CR LF, and each of the `count` lines that begin with
// "From " has the shape mutt's date parser accepts.
void expectSeparators(const std::string& file, std::size_t count)
{
    std::size_t separators = 0;
    for (std::size_t pos = 0; pos < file.size();) {
        const auto eol = file.find("\r\n", pos);
        ASSERT_NE(eol, std::string::npos);
        ASSERT_EQ(file.find('\n', pos), eol + 1) << "a line without CR at " << pos;
        const std::string line = file.substr(pos, eol - pos);
        if (line.starts_with("From ")) {
            ++separators;
            EXPECT_TRUE(std::regex_match(line, kSeparator)) << line;
        }
        pos = eol + 2;
    }
    EXPECT_EQ(separators, count);
}

// What one message adds to the file: its separator line, its clean text and one empty line.
std::string block(const std::string& separator, const std::string& cleanText)
{
    return separator + "\r\n" + cleanText + "\r\n";
}

const std::string kDec7 = "Mon Dec 07 08:15:02 2026";  // the builder's Date header, in UTC
const std::vector<Mail> kThree = {{"a@example.com", "One", "first"},
                                  {"Bee Bop <b@example.com>", "Two", "second"},
                                  {"=?UTF-8?Q?C=C3=A9line?= <c@example.com>", "Three", "third"}};

TEST(MboxWriter, AppendsEveryMessageBehindOneSeparatorLine)
{
    MboxRun r;
    const auto inbox = r.mailbox("Mail/Inbox", testing::mboxOf(kThree));
    EXPECT_TRUE(r.run({inbox}).succeeded());
    EXPECT_EQ(r.report.messagesWritten, 3u);
    const auto file = r.mboxOf(inbox);
    EXPECT_EQ(testing::readFile(file),
              block("From a@example.com " + kDec7, testing::expectedEml(kThree[0]))
                  + block("From b@example.com " + kDec7, testing::expectedEml(kThree[1]))
                  + block("From c@example.com " + kDec7, testing::expectedEml(kThree[2])));
    // No hand-over file is left beside it.
    EXPECT_EQ(testing::listFiles(file.parent_path()), std::vector<std::string>{"Inbox.mbox"});
    // Each message shows what the EML target shows, then its clean text appended whole.
    const auto labels = r.host.labels(Label::LblProgress);
    ASSERT_GE(labels.size(), 3u);
    const std::string size = std::to_string(testing::expectedEml(kThree[2]).size());
    const std::string mailboxSize = std::to_string(fs::file_size(platform::toPath(inbox)));
    EXPECT_EQ(std::vector<std::string>(labels.end() - 3, labels.end()),
              (std::vector<std::string>{"Saving: " + size + " Bytes out of " + mailboxSize + " Total Bytes.",
                                        "Saved Email-2 Message", size + " Bytes out of " + size + " Total Bytes."}));
    ASSERT_FALSE(r.host.bars(Bar::ProgressBar2).empty());
    EXPECT_EQ(r.host.bars(Bar::ProgressBar2).back(), 100.0f);
    ASSERT_EQ(r.host.boxes.size(), 1u);
    EXPECT_EQ(r.host.boxes[0].text,
              "Your Thunderbird messages has been successfully exported to (.mbox) files.\r\n" + std::string(75, '*')
                  + "\r\nMBOX files are supported Mac Mail, Entourage, Evolution, Thunderbird.");
}

TEST(MboxWriter, EscapesLinesThatBeginWithFromAndKeepsTheRest)
{
    MboxRun r;
    const std::string body = "From here on: text\nmore\n>From quoted\n>>From deeper\nFrom the end";
    const auto inbox = r.mailbox("Inbox", testing::mboxOf({{"a@example.com", "S", body}}));
    EXPECT_TRUE(r.run({inbox}).succeeded());
    std::string text = testing::expectedEml({"a@example.com", "S", body});
    text.replace(text.find("From here"), 4, ">From");
    text.replace(text.find("From the end"), 4, ">From");
    EXPECT_EQ(testing::readFile(r.mboxOf(inbox)), block("From a@example.com " + kDec7, text));
}

TEST(MboxWriter, FallsBackToTheOldSeparatorThenTheMailboxDate)
{
    MboxRun r;
    const auto inbox = r.mailbox("Inbox",
                                 "From - Sat Jan 02 03:04:05 1999\nSubject: no From, no Date\n\nx\n"
                                 "From -\nSubject: no date anywhere\n\ny\n");
    fs::last_write_time(inbox, fs::file_time_type::clock::from_sys(utc(2001, 5, 6)));
    EXPECT_TRUE(r.run({inbox}).succeeded());
    const std::string file = testing::readFile(r.mboxOf(inbox));
    EXPECT_TRUE(file.starts_with("From MAILER-DAEMON Sat Jan 02 03:04:05 1999\r\nSubject: no From, no Date\r\n"));
    EXPECT_NE(file.find("\r\nFrom MAILER-DAEMON Sun May 06 00:00:00 2001\r\nSubject: no date anywhere\r\n"),
              std::string::npos);
}

TEST(MboxWriter, EachRunWritesTheFileAfreshAndSameNamedMailboxesStayApart)
{
    MboxRun r;
    const auto a = r.mailbox("A/Inbox", testing::mboxOf({kThree[0]}));
    const auto b = r.mailbox("B/Inbox", testing::mboxOf({kThree[1]}));
    fs::create_directories(r.mboxOf(b).parent_path());
    std::ofstream(r.mboxOf(b), std::ios::binary) << "From x Mon Dec 07 08:15:02 2026\r\n\r\nan earlier file";
    EXPECT_TRUE(r.run({a, b}).succeeded());
    EXPECT_TRUE(r.run({a}).succeeded());
    // A second run replaces the file rather than doubling every message.
    EXPECT_EQ(testing::readFile(r.mboxOf(a)), block("From a@example.com " + kDec7, testing::expectedEml(kThree[0])));
    EXPECT_EQ(testing::readFile(r.mboxOf(b)), block("From b@example.com " + kDec7, testing::expectedEml(kThree[1])));
    EXPECT_EQ(testing::listFiles(r.mboxOf(a).parent_path()), std::vector<std::string>{"Inbox.mbox"});
}

// Messages go out several at a time, so the first one is known to be taken by its label.
bool tookFirstMessage(const FakeHost& host)
{
    const auto labels = host.labels(Label::LblProgress);
    return std::find(labels.begin(), labels.end(), "Saved Email-0 Message") != labels.end();
}

// An earlier run's file is replaced only once the mailbox is done. A job that stops midway keeps
// it and says so; where there was none, the messages written so far are kept.
TEST(MboxWriter, TheEarlierFileStaysWholeUntilItsMailboxIsDone)
{
    const auto earlier = block("From x " + kDec7, "earlier\r\n");
    for (bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stopped" : "done");
        MboxRun r;
        const auto inbox = r.mailbox("Inbox", testing::mboxOf(kThree));
        fs::create_directories(r.mboxOf(inbox).parent_path());
        std::ofstream(r.mboxOf(inbox), std::ios::binary) << earlier;
        std::vector<std::string> seen;
        r.host.cancelWhen = [&] {
            seen.push_back(testing::readFile(r.mboxOf(inbox)));
            return stop && tookFirstMessage(r.host);
        };
        const Report report = r.run({inbox});
        for (const auto& s : seen) EXPECT_EQ(s, earlier);
        if (!stop) {
            EXPECT_TRUE(report.succeeded());
            EXPECT_NE(testing::readFile(r.mboxOf(inbox)), earlier);
            continue;
        }
        EXPECT_EQ(testing::readFile(r.mboxOf(inbox)), earlier);
        EXPECT_EQ(report.messagesWritten, 0u);
        EXPECT_EQ(report.messagesFailed, 0u);
        EXPECT_EQ(report.mailboxesNotConverted, 1u);
        ASSERT_EQ(report.notes.size(), 1u);
        EXPECT_EQ(report.notes[0],
                  r.mboxOf(inbox).string()
                      + " is kept as an earlier run left it: the conversion stopped before its "
                        "mailbox was done");
        EXPECT_EQ(testing::listFiles(r.mboxOf(inbox).parent_path()), std::vector<std::string>{"Inbox.mbox"});
    }
    MboxRun fresh;
    const auto inbox = fresh.mailbox("Inbox", testing::mboxOf(kThree));
    fresh.host.cancelWhen = [&] { return tookFirstMessage(fresh.host); };
    const Report report = fresh.run({inbox});
    ASSERT_TRUE(report.cancelled);
    EXPECT_EQ(report.messagesWritten, 1u);
    EXPECT_EQ(report.mailboxesPartly, 1u);
    EXPECT_EQ(testing::readFile(fresh.mboxOf(inbox)),
              block("From a@example.com " + kDec7, testing::expectedEml(kThree[0])));
}

TEST(MboxWriter, WritesOddMessagesWithASeparatorAllTheSame)
{
    MboxRun r;
    std::string mailbox = "From - Mon Dec 07 09:15:02 2026\nSubject: fine\n\nok\n";
    mailbox += "From - Mon Dec 07 09:15:02 2026\nFrom: a\0b@example.com\nSubject: N\0L\n\nx\0y\n"s;
    mailbox += "From - Mon Dec 07 09:15:02 2026\nDate: Mon, 45 Foo 2026 99:99:99 +9999\n\nbad date\n";
    mailbox += "From - Mon Dec 07 09:15:02 2026\nContent-Type: multipart/mixed; boundary=x\n\n--x\nContent-Type: te";
    const auto inbox = r.mailbox("Inbox", mailbox);
    EXPECT_TRUE(r.run({inbox}).succeeded());
    EXPECT_EQ(r.report.messagesWritten, 4u);
    const std::string file = testing::readFile(r.mboxOf(inbox));
    expectSeparators(file, 4);
    EXPECT_TRUE(file.ends_with("Content-Type: te\r\n\r\n\r\n"));
    EXPECT_NE(file.find("x\0y\r\n"s), std::string::npos);
}

TEST(MboxWriter, AFileThatCannotBeOpenedFailsEachMessageAndTheJobGoesOn)
{
    MboxRun r;
    const auto a = r.mailbox("A/Inbox", testing::mboxOf(kThree));
    const auto b = r.mailbox("B/Inbox", testing::mboxOf({kThree[0]}));
    fs::create_directories(r.mboxOf(a));  // a folder where the file should be
    const Report report = r.run({a, b});
    EXPECT_EQ(report.messagesFailed, 3u);
    EXPECT_EQ(report.messagesWritten, 1u);
    ASSERT_FALSE(report.problems.empty());
    EXPECT_NE(report.problems[0].error.detail.find("Inbox.mbox"), std::string::npos);
    ASSERT_EQ(r.host.boxes.size(), 1u);
    EXPECT_EQ(r.host.boxes[0].text.find("successfully"), std::string::npos);
}

// The messages a run's problems name.
std::set<std::uint64_t> failedMessages(const Report& report)
{
    std::set<std::uint64_t> failed;
    for (const auto& p : report.problems)
        if (p.message) failed.insert(*p.message);
    return failed;
}

// Thousands of messages, each with a sender of its own, go out in several writes made while the
// next ones are formatted: each separator line stays with its message, and a failed write fails
// exactly the messages it held, one run of them, the file holding all the others whole.
TEST(MboxWriter, ManyMessagesKeepTheirSeparatorsAndAFailedWriteFailsOnlyItsOwn)
{
    std::vector<Mail> mails;
    for (std::size_t j = 0; j < 3000; ++j)
        mails.push_back({"u" + std::to_string(j) + "@example.com", "m", std::string(300 + j % 700, 'b')});
    MboxRun r;
    const auto inbox = r.mailbox("Inbox", testing::mboxOf(mails));
    std::size_t runsWithFailures = 0;
    for (int n = 0; n < 100; ++n) {  // 0: no fault
        SCOPED_TRACE("write " + std::to_string(n));
        fs::remove_all(r.out);
        platform::faults::failNth(platform::faults::Op::Write, n);
        const Report report = r.run({inbox});
        platform::faults::failNth(platform::faults::Op::Write, 0);
        if (n > 0 && report.succeeded()) break;
        if (!report.problems.empty() && !report.problems[0].message) continue;  // the file was not put in place
        const auto failed = failedMessages(report);
        EXPECT_EQ(report.messagesFailed, failed.size());
        EXPECT_EQ(report.messagesWritten + failed.size(), mails.size());
        if (!failed.empty()) {
            ++runsWithFailures;
            EXPECT_EQ(*failed.rbegin() - *failed.begin() + 1, failed.size());
        }
        std::string expected;
        for (std::size_t j = 0; j < mails.size(); ++j)
            if (!failed.count(j))
                expected
                    += block("From u" + std::to_string(j) + "@example.com " + kDec7, testing::expectedEml(mails[j]));
        ASSERT_EQ(testing::readFile(r.mboxOf(inbox)), expected);
    }
    EXPECT_GE(runsWithFailures, 2u);
}

// Fails the 1st, 2nd, ... read of the mailbox: a message that cannot be read whole fails alone,
// also when the first part of it had gone out to the file, which the next write goes over.
TEST(MboxWriter, AMessageThatCannotBeReadWholeIsTakenBack)
{
    std::vector<Mail> mails(5, Mail{"a@example.com", "fault", "short body"});
    mails[2].body = std::string(9u << 20, 'q');  // goes out in several writes
    MboxRun r;
    const auto inbox = r.mailbox("Inbox", testing::mboxOf(mails));
    bool failedAfterPartWentOut = false;
    for (int n = 1; n < 200; ++n) {
        SCOPED_TRACE("read " + std::to_string(n));
        fs::remove_all(r.out);
        platform::faults::failNth(platform::faults::Op::Read, n);
        const Report report = r.run({inbox});
        platform::faults::failNth(platform::faults::Op::Read, 0);
        if (report.succeeded()) break;
        ASSERT_FALSE(report.problems.empty());
        if (!report.problems[0].message) continue;  // the search failed: nothing was written
        const auto failed = failedMessages(report);
        EXPECT_EQ(failed.size(), 1u);
        EXPECT_EQ(report.messagesWritten + 1, mails.size());
        // The large message's first 4 MB go out before the rest is read.
        failedAfterPartWentOut = failedAfterPartWentOut || report.problems[0].error.offset > 6u << 20;
        std::string expected;
        for (std::size_t j = 0; j < mails.size(); ++j)
            if (!failed.count(j)) expected += block("From a@example.com " + kDec7, testing::expectedEml(mails[j]));
        ASSERT_EQ(testing::readFile(r.mboxOf(inbox)), expected);
    }
    EXPECT_TRUE(failedAfterPartWentOut);
}

// Fails the 1st, 2nd, ... write to the file in turn: the messages the failed write held are
// counted as failed, and the file holds every other message whole. The large message makes
// writes both within a message and of several messages at once.
TEST(MboxWriter, AFailedWriteLeavesOnlyWholeMessages)
{
    std::vector<Mail> mails(4, Mail{"a@example.com", "fault", "short body"});
    mails[1].body = std::string(9u << 20, 'q');  // goes out in several writes
    MboxRun r;
    const auto inbox = r.mailbox("Inbox", testing::mboxOf(mails));
    bool failedWithinAMessage = false;
    for (int n = 1; n < 100; ++n) {
        SCOPED_TRACE("write " + std::to_string(n));
        fs::remove_all(r.out);
        platform::faults::failNth(platform::faults::Op::Write, n);
        const Report report = r.run({inbox});
        platform::faults::failNth(platform::faults::Op::Write, 0);
        if (report.succeeded()) break;
        ASSERT_FALSE(report.problems.empty());
        if (!report.problems[0].message) {
            // The file could not be put in place: none of the mailbox's messages is written.
            EXPECT_EQ(report.messagesFailed, mails.size());
            EXPECT_EQ(report.messagesWritten, 0u);
            EXPECT_EQ(report.mailboxesFailed, 1u);
            EXPECT_TRUE(testing::listFiles(r.out).empty());
            continue;
        }
        std::set<std::uint64_t> failed;
        for (const auto& p : report.problems)
            if (p.message) failed.insert(*p.message);
        failedWithinAMessage = failedWithinAMessage || (failed.count(1) && !failed.count(0));
        EXPECT_EQ(report.messagesFailed, failed.size());
        EXPECT_EQ(report.messagesWritten + failed.size(), mails.size());
        EXPECT_EQ(report.mailboxesPartly, 1u);
        std::string expected;
        for (std::size_t j = 0; j < mails.size(); ++j)
            if (!failed.count(j)) expected += block("From a@example.com " + kDec7, testing::expectedEml(mails[j]));
        ASSERT_EQ(testing::readFile(r.mboxOf(inbox)), expected);
    }
    EXPECT_TRUE(failedWithinAMessage) << "no write failed after the large message's first part was in the file";
}

// ---- Read back by other readers -------------------------------------------------------------

// The messages of an mbox file as GMime's mbox parser splits it, each without its separator line.
std::vector<std::string> gmimeSplit(const fs::path& path)
{
    gmime::ensureInitialised();
    const std::string bytes = testing::readFile(path);
    gmime::Owned<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    gmime::Owned<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MBOX);
    std::vector<std::size_t> markers;
    while (!g_mime_parser_eos(parser.get())) {
        gmime::Owned<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
        if (!message) break;
        markers.push_back(static_cast<std::size_t>(g_mime_parser_get_mbox_marker_offset(parser.get())));
    }
    std::vector<std::string> messages;
    for (std::size_t k = 0; k < markers.size(); ++k) {
        const std::size_t end = k + 1 < markers.size() ? markers[k + 1] : bytes.size();
        const std::size_t start = bytes.find('\n', markers[k]) + 1;
        messages.push_back(bytes.substr(start, end - start));
    }
    return messages;
}

// Compares message for message with Python's mailbox.mbox, ignoring line ends and blank lines at
// either end of a message; prints "<source count> <output count> <first differing index or -1>".
constexpr const char* kPythonCompare = R"(
import mailbox, sys
def norm(b):
    return b.replace(b'\r\n', b'\n').replace(b'\r', b'\n').strip()
src = mailbox.mbox(sys.argv[1], create=False)
out = mailbox.mbox(sys.argv[2], create=False)
n = min(len(src), len(out))
bad = next((k for k in range(n) if norm(src.get_bytes(k)) != norm(out.get_bytes(k))), -1)
print(len(src), len(out), bad)
)";

// Python's answer, or empty when python3 is not there.
std::optional<testing::ProgramRun> pythonCompare(const fs::path& source, const fs::path& output)
{
    if (!testing::haveProgram("python3")) return std::nullopt;
    return testing::runProgram({"python3", "-c", kPythonCompare, source.string(), output.string()},
                               testing::StdErr::Apart);
}

std::string normalized(const std::string& text)
{
    const std::string crlf = testing::toCrLf(text);
    const auto first = crlf.find_first_not_of("\r\n \t");
    return first == std::string::npos ? "" : crlf.substr(first, crlf.find_last_not_of("\r\n \t") - first + 1);
}

// Both readers see the source's messages in the .mbox we wrote, byte for byte apart from the
// separator line and line ends; every separator line has the shape mutt's date parser accepts.
void expectReadBackMatches(const fs::path& source, const fs::path& output)
{
    const auto expected = gmimeSplit(source);
    const auto got = gmimeSplit(output);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t k = 0; k < got.size(); ++k) ASSERT_EQ(normalized(got[k]), normalized(expected[k])) << k;

    expectSeparators(testing::readFile(output), expected.size());

    const auto python = pythonCompare(source, output);
    if (!python) GTEST_SKIP() << "python3 not available: the read-back with Python's mailbox module was skipped";
    const std::string n = std::to_string(expected.size());
    EXPECT_EQ(python->status, 0) << python->errors;
    EXPECT_EQ(python->output, n + " " + n + " -1\n") << python->errors;
}

TEST(MboxReadBack, PythonAndGMimeFindTheSourceMessages)
{
    MboxRun r;
    std::string source = testing::mboxOf(kThree);
    source += "From - Mon Dec 07 09:15:02 2026\nSubject: no From\n\n>From kept as it is\n\n";
    source += "From - Mon Dec 07 09:15:02 2026\nFrom: x@example.com\n\nCR LF body\r\nline two\r\n";
    const auto inbox = r.mailbox("Inbox", source);
    EXPECT_TRUE(r.run({inbox}).succeeded());
    expectReadBackMatches(inbox, r.mboxOf(inbox));
}

TEST(MboxReadBack, CorpusMailboxConvertsIntoWhatTheReadersFind)
{
    const fs::path source = fs::path(QUILLMARK_CORPUS_DIR) / "_derived" / "spamassassin-public-corpus-with-From_.mbox";
    if (!fs::exists(source)) GTEST_SKIP() << "mail corpus not found (" << source.string() << ")";
    MboxRun r;
    EXPECT_TRUE(r.run({source.string()}).succeeded());
    EXPECT_EQ(r.report.messagesWritten, 4997u);
    expectReadBackMatches(source, r.mboxOf(source.string()));
}

}  // namespace
}  // namespace quillmark
