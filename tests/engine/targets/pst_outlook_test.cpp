// What Outlook finds in the PST the job writes. Beside an Outlook-made file (enron.pst, from the
// pst-extractor package): the special nodes, the properties of the store, the fixed folders,
// messages, recipient rows and attachments, and the tables' columns; every difference is either
// gone or listed here with its reason, so a new one (or one that went away) fails the test until
// it is looked at. And the conversation properties its conversation view groups a thread by.
#include "engine/job/conversion_job.h"
#include "engine/pst/pst_fixtures.h"
#include "support/fake_host.h"
#include "support/mbox_builder.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

namespace quillmark {
namespace {

namespace fs = std::filesystem;
using Inventory = std::map<std::string, std::set<std::string>>;

// A difference: on `object`, `tag` is only in ours ("+") or only in Outlook's ("-").
struct Known {
    const char* object;
    const char* tag;
    const char* why;
};

// clang-format off
constexpr Known kKnown[] = {
    // Messages. Outlook's file was filled by copying items between stores, which also copies what
    // the PST provider computes for its own view of an item; we store what the mail says.
    {"message", "+0026:0003", "PidTagPriority from the Priority field; Outlook leaves it out when normal"},
    {"message", "+0036:0003", "PidTagSensitivity from the Sensitivity field; Outlook leaves it out when none"},
    {"message", "+0E17:0003", "PidTagMessageStatus: [MS-PST] 2.4.5.1 requires it, Outlook's file omits it"},
    {"message", "+0070:001F", "a conversation topic on every message with a subject; Outlook's file has one "
                              "message whose subject is empty, and no topic on it"},
    {"message", "-0FF4:0003", "PidTagAccess: computed by the store for whoever opens the item"},
    {"message", "-0FF7:0003", "PidTagAccessLevel: computed by the store"},
    {"message", "-340D:0003", "PidTagStoreSupportMask: the store's, copied onto items by a copy"},
    {"message", "-3414:0102", "PidTagStoreProvider: computed ([MS-PST] 2.5.2)"},
    {"message", "-6662:0003", "undocumented, store-internal"},
    {"message", "-7201:0003", "undocumented, store-internal"},
    {"message", "-7202:0040", "undocumented, store-internal"},
    {"message", "-7203:001F", "undocumented, store-internal"},
    {"message", "-7206:0003", "undocumented, store-internal"},
    // Recipient rows: ours say what MAPI defines for a mail user; Outlook's file leaves these out.
    {"recipient", "+0E0F:000B", "PidTagResponsibility false: a template column of [MS-PST] 2.4.5.3.1"},
    {"recipient", "+3A40:000B", "PidTagSendRichInfo false: internet mail is not sent as rich text"},
    {"recipient", "+39FE:001F", "PidTagSmtpAddress: readers that skip one-off entry IDs find the address"},
    {"columns:message-recipients", "+39FE:001F", "the SMTP address column (above)"},
    // Attachments.
    {"attachment", "+3001:001F", "PidTagDisplayName: the name Outlook shows under the icon"},
    {"attachment", "-0FF4:0003", "PidTagAccess: computed by the store"},
    {"attachment", "-0FF7:0003", "PidTagAccessLevel: computed by the store"},
    {"attachment", "-0FF9:0102", "PidTagRecordKey: four zero bytes in Outlook's file, computed by the store"},
    {"attachment", "-340D:0003", "PidTagStoreSupportMask: the store's, copied onto items by a copy"},
    {"columns:message-attachments", "+3707:001F", "the long file name column, which readers list attachments by"},
    // Folders: Deleted Items holds mail.
    {"folder:deleted-items", "+3613:001F", "PidTagContainerClass IPF.Note, as every mail folder of Outlook's has"},
};
// clang-format on

std::string readerMissing(const fs::path& enron)
{
    if (pst::test::pstCheckScript().empty()) return "pstcheck.py is not there";
    if (!fs::exists(enron)) return "enron.pst from pst-extractor is not installed";
    if (!testing::haveProgram("python3")) return "python3 is not installed";
    return {};
}

Inventory inventoryOf(const fs::path& pst)
{
    const auto run = testing::runProgram({"python3", QUILLMARK_SOURCE_DIR "/tests/engine/targets/pst_inventory.py",
                                          pst::test::pstCheckScript().string(), pst.string()},
                                         testing::StdErr::Apart);
    EXPECT_EQ(run.status, 0) << run.output;
    Inventory out;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string object, tag;
        words >> object;
        auto& tags = out[object];
        while (words >> tag) tags.insert(tag);
    }
    return out;
}

using testing::Mail;

// The PST the job writes of these mails, in one mailbox.
fs::path writePst(const testing::TempDir& dir, const std::vector<Mail>& mails)
{
    const auto inbox = dir.write("Inbox", testing::mboxOf(mails));
    JobSettings s;
    s.target = Target::Pst;
    s.outputFolder = (dir / "out").string() + "/";
    fs::create_directories(dir / "out");
    testing::FakeHost host;
    ConversionJob job(host, s);
    const std::vector<std::string> rows{inbox.string()};
    const Report r = job.run(rows);
    EXPECT_EQ(r.messagesWritten, mails.size());
    for (const auto& e : fs::directory_iterator(dir / "out"))
        if (e.path().extension() == ".pst") return e.path();
    return {};
}

// Three messages: a plain one to two people, a reply with an attachment, an HTML one from
// Outlook with its thread fields.
fs::path writeOurs(const testing::TempDir& dir)
{
    const std::vector<Mail> mails = {
        {"Ann <ann@example.org>", "Budget 2027", "The figures.",
         "To: Bob <bob@example.org>\nCc: carol@example.org\nMessage-ID: <budget@example.org>\n"
         "Date: Mon, 07 Dec 2026 09:00:00 +0000\n"},
        {"Bob <bob@example.org>", "Re: Budget 2027",
         "--b\nContent-Type: text/plain\n\nSee the sheet.\n--b\nContent-Type: application/pdf; name=\"s.pdf\"\n"
         "Content-Disposition: attachment; filename=\"s.pdf\"\nContent-Transfer-Encoding: base64\n\n"
         "JVBERi0xLjQK\n--b--\n",
         "To: Ann <ann@example.org>\nMessage-ID: <re@example.org>\nIn-Reply-To: <budget@example.org>\n"
         "References: <budget@example.org>\nDate: Mon, 07 Dec 2026 10:00:00 +0000\nMIME-Version: 1.0\n"
         "Content-Type: multipart/mixed; boundary=\"b\"\n"},
        {"Carol <carol@example.org>", "Lunch", "<html><body><p>Lunch at one?</p></body></html>",
         "To: Ann <ann@example.org>\nMessage-ID: <lunch@example.org>\nThread-Topic: Lunch\n"
         "Thread-Index: AQIDBAUGBwgJCgsMDQ4PEBESExQVFqq7zN3u\nDate: Mon, 07 Dec 2026 11:00:00 +0000\n"
         "MIME-Version: 1.0\nContent-Type: text/html; charset=utf-8\n"},
    };
    return writePst(dir, mails);
}

}  // namespace

TEST(PstInventory, DiffersFromOutlooksOwnFileOnlyWhereListed)
{
    const auto enron
        = pst::test::pstExtractorDir() / "node_modules" / "pst-extractor" / "example" / "testdata" / "enron.pst";
    if (const auto why = readerMissing(enron); !why.empty()) GTEST_SKIP() << why;
    testing::TempDir dir;
    const auto ours = writeOurs(dir);
    ASSERT_FALSE(ours.empty());
    EXPECT_PST_VALID(ours);
    const Inventory mine = inventoryOf(ours), outlooks = inventoryOf(enron);
    ASSERT_FALSE(outlooks.empty());

    std::set<std::pair<std::string, std::string>> found, listed;
    for (const auto& [object, theirs] : outlooks) {
        const auto& have = mine.count(object) ? mine.at(object) : std::set<std::string>{};
        for (const auto& t : have)
            if (!theirs.count(t)) found.insert({object, "+" + t});
        for (const auto& t : theirs)
            if (!have.count(t)) found.insert({object, "-" + t});
    }
    for (const auto& [object, have] : mine)
        if (!outlooks.count(object))
            for (const auto& t : have) found.insert({object, "+" + t});
    for (const auto& k : kKnown) listed.insert({k.object, k.tag});
    for (const auto& [object, tag] : found)
        EXPECT_TRUE(listed.count({object, tag})) << object << " " << tag << ": a difference nobody has looked at";
    for (const auto& [object, tag] : listed)
        EXPECT_TRUE(found.count({object, tag})) << object << " " << tag << ": listed, but no longer a difference";
}

// A thread as Outlook's conversation view sees it: the original, a reply and a reply to the reply
// (each naming the thread in its own way) share one topic and one GUID, and the reply levels show
// in the index; another thread with the same subject words does not join it.
TEST(PstConversationView, RepliesShareTheirThreadsTopicAndGuid)
{
    const std::string python = "/usr/bin/python3";
    if (!testing::haveProgram(python) || testing::runProgram({python, "-c", "import pypff"}).status != 0)
        GTEST_SKIP() << "python3-pypff is not installed";
    testing::TempDir dir;
    const auto pst
        = writePst(dir,
                   {{"ann@example.org", "Budget", "x", "Message-ID: <a@x>\n"},
                    {"bob@example.org", "RE: Budget", "x", "Message-ID: <b@x>\nIn-Reply-To: <a@x>\n"},
                    {"ann@example.org", "AW: Re[2]: Budget", "x", "Message-ID: <c@x>\nReferences: <a@x> <b@x>\n"},
                    {"dan@example.org", "Fwd: Budget", "x", "Message-ID: <d@x>\n"}});
    ASSERT_FALSE(pst.empty());
    EXPECT_PST_VALID(pst);
    // Subject, topic, then the index's length and GUID (bytes 6 to 21) for each message.
    const std::string script
        = "import pypff,sys\n"
          "f=pypff.file(); f.open(sys.argv[1])\n"
          "def walk(d):\n"
          "  for i in range(d.number_of_sub_folders):\n"
          "    s=d.get_sub_folder(i)\n"
          "    for j in range(s.number_of_sub_messages):\n"
          "      m=s.get_sub_message(j); x=b''\n"
          "      for rs in m.record_sets:\n"
          "        for e in rs.entries:\n"
          "          if e.entry_type==0x0071: x=e.data or b''\n"
          "      print(m.subject+'|'+(m.conversation_topic or '')+'|'+str(len(x))+'|'+x[6:22].hex())\n"
          "    walk(s)\n"
          "walk(f.get_root_folder())\n";
    const auto run = testing::runProgram({python, "-c", script, pst.string()}, testing::StdErr::Apart);
    ASSERT_EQ(run.status, 0) << run.output;
    std::map<std::string, std::vector<std::string>> seen;  // subject: topic, length, GUID
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> parts;
        std::istringstream fields(line);
        for (std::string part; std::getline(fields, part, '|');) parts.push_back(part);
        ASSERT_EQ(parts.size(), 4u) << line;
        seen[parts[0]] = {parts[1], parts[2], parts[3]};
    }
    ASSERT_EQ(seen.size(), 4u) << run.output;
    for (const char* subject : {"Budget", "RE: Budget", "AW: Re[2]: Budget", "Fwd: Budget"})
        EXPECT_EQ(seen[subject].at(0), "Budget") << subject;
    EXPECT_EQ(seen["Budget"].at(1), "22");
    EXPECT_EQ(seen["RE: Budget"].at(1), "27");
    EXPECT_EQ(seen["AW: Re[2]: Budget"].at(1), "32");
    EXPECT_EQ(seen["RE: Budget"].at(2), seen["Budget"].at(2));
    EXPECT_EQ(seen["AW: Re[2]: Budget"].at(2), seen["Budget"].at(2));
    EXPECT_NE(seen["Fwd: Budget"].at(2), seen["Budget"].at(2)) << "a forward without references starts a thread";
}

}  // namespace quillmark
