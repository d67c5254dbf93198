// The message store: folders, messages, recipients, attachments and embedded messages, read
// back by our verifier and by three independent readers (libpff, libpst, pst-extractor).
#include "engine/pst/property_tags.h"
#include "engine/pst/verify/verifier.h"
#include "pst_fixtures.h"
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace quillmark;
using namespace quillmark::pst;
using namespace quillmark::pst::test;
using quillmark::testing::haveProgram;
using quillmark::testing::runProgram;

namespace {

const std::string kUnicodeSubject = "Grüße aus Köln – 東京 🎉";

struct Written {
    std::filesystem::path pst;
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> attachments;  // name, bytes
};

Attachment attachment(const std::string& name, std::size_t size, std::uint32_t seed)
{
    Attachment a;
    a.fileName = name;
    a.mimeType = "application/octet-stream";
    a.data = patternBytes(size, seed);
    return a;
}

// Folders Inbox, Inbox\Sub and "Archiv ü"; plain, HTML, Unicode and attachment-laden messages.
Written writeSampleStore(const ScratchDir& dir, fmt::CryptMethod crypt = fmt::CryptMethod::None)
{
    Written w{dir.path("sample.pst"), {}};
    auto store = MessageStore::create(w.pst, "Round Trip", {crypt});
    EXPECT_TRUE(store.ok());
    auto& s = **store;
    const auto inbox = *s.addFolder(s.topOfPersonalFolders(), "Inbox");
    const auto sub = *s.addFolder(inbox, "Sub");
    const auto archive = *s.addFolder(s.topOfPersonalFolders(), "Archiv ü");

    auto plain = sampleMessage("Plain one");
    plain.recipients.push_back({Recipient::Kind::Bcc, "Dan Hidden", "dan@example.org", {}});
    EXPECT_TRUE(s.addMessage(inbox, plain).ok());

    auto unicode = sampleMessage(kUnicodeSubject);
    unicode.html = "<html><body><p>" + kUnicodeSubject + "</p></body></html>";
    EXPECT_TRUE(s.addMessage(sub, unicode).ok());

    auto withFiles = sampleMessage("With attachments");
    for (const auto& [name, size] : std::vector<std::pair<std::string, std::size_t>>{
             {"empty.bin", 0}, {"one-k.bin", 1024}, {"hundred-k.bin", 100 * 1024}, {"twenty-m.bin", 20 << 20}}) {
        withFiles.attachments.push_back(attachment(name, size, static_cast<std::uint32_t>(size)));
        w.attachments.emplace_back(name, withFiles.attachments.back().data);
    }
    EXPECT_TRUE(s.addMessage(archive, withFiles).ok());

    auto inner = std::make_shared<Message>(sampleMessage("Inner message"));
    inner->attachments.push_back(attachment("inner.txt", 300, 5));
    auto outer = sampleMessage("Outer message");
    Attachment embedded;
    embedded.embedded = inner;
    outer.attachments.push_back(embedded);
    EXPECT_TRUE(s.addMessage(archive, outer).ok());
    EXPECT_TRUE(s.close().ok());
    return w;
}

std::string readText(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::filesystem::path findFile(const std::filesystem::path& root, const std::string& suffix)
{
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file() && e.path().filename().string().ends_with(suffix)) return e.path();
    return {};
}

std::string allText(const std::filesystem::path& root)
{
    std::string text;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file() && e.file_size() < (1 << 20)) text += readText(e.path());
    return text;
}

}  // namespace

TEST(PstStore, SampleStorePassesBothCheckers)
{
    ScratchDir dir;
    const auto w = writeSampleStore(dir);
    EXPECT_PST_VALID(w.pst);
    auto report = verify(w.pst);
    ASSERT_TRUE(report.ok());
    EXPECT_EQ(report->messages, 4u);
    EXPECT_EQ(report->folders, 8u);  // root, top, search root, spam, deleted items + our three
}

TEST(PstStore, PermuteEncodedStorePassesBothCheckers)
{
    ScratchDir dir;
    EXPECT_PST_VALID(writeSampleStore(dir, fmt::CryptMethod::Permute).pst);
}

TEST(PstReaders, LibpffExportsEveryMessageAndAttachment)
{
    if (!haveProgram("pffexport")) GTEST_SKIP() << "pffexport (pff-tools) is not installed";
    ScratchDir dir;
    const auto w = writeSampleStore(dir, fmt::CryptMethod::Permute);
    const auto out = dir.path("pff");
    const auto run = runProgram({"pffexport", "-q", "-m", "all", "-t", out.string(), w.pst.string()});
    ASSERT_EQ(run.status, 0) << run.output;
    const auto root = dir.path("pff.export");
    ASSERT_TRUE(std::filesystem::exists(root / "Top of Personal Folders" / "Inbox" / "Sub"));
    ASSERT_TRUE(std::filesystem::exists(root / "Top of Personal Folders" / "Archiv ü"));
    for (const auto& [name, data] : w.attachments) {
        const auto file = findFile(root, "_" + name);
        ASSERT_FALSE(file.empty()) << name;
        EXPECT_TRUE(readFile(file) == data) << name;
    }
    const auto text = allText(root);
    // This libpff (20180714) turns surrogate pairs into wrong UTF-8, so only the BMP part is compared.
    const std::string bmpPart = kUnicodeSubject.substr(0, kUnicodeSubject.rfind(' '));
    for (const std::string& s :
         std::vector<std::string>{"Plain one", bmpPart, "Inner message", "bob@example.org", "Dan Hidden"})
        EXPECT_NE(text.find(s), std::string::npos) << s;
    EXPECT_FALSE(findFile(root, "_inner.txt").empty());
    const auto info = runProgram({"pffinfo", w.pst.string()});
    EXPECT_EQ(info.status, 0) << info.output;
}

TEST(PstReaders, LibpstExportsEveryMessageAndAttachment)
{
    if (!haveProgram("readpst")) GTEST_SKIP() << "readpst (pst-utils) is not installed";
    ScratchDir dir;
    const auto w = writeSampleStore(dir);
    const auto out = dir.path("libpst");
    std::filesystem::create_directories(out);
    // -j 0: by default readpst forks per message and loses messages when a fork fails (under load).
    const auto run = runProgram({"readpst", "-S", "-j", "0", "-o", out.string(), w.pst.string()});
    ASSERT_EQ(run.status, 0) << run.output;
    for (const auto& [name, data] : w.attachments) {
        if (data.empty()) continue;  // readpst writes no file for an empty attachment
        const auto file = findFile(out, "-" + name);
        ASSERT_FALSE(file.empty()) << name;
        EXPECT_TRUE(readFile(file) == data) << name;
    }
    const auto text = allText(out);
    for (const std::string s :
         {"Subject: Plain one", "Subject: With attachments", "To: Bob Receiver", "this is Outer message"})
        EXPECT_NE(text.find(s), std::string::npos) << s;
    EXPECT_NE(text.find("Subject: Inner message"), std::string::npos);  // as a message/rfc822 part
}

TEST(PstReaders, PstExtractorReadsFoldersMessagesAndAttachments)
{
    const auto npm = pstExtractorDir();
    if (npm.empty() || !haveProgram("node")) GTEST_SKIP() << "pst-extractor is not installed in " << PST_EXTRACTOR_DIR;
    ScratchDir dir;
    const auto w = writeSampleStore(dir);
    const auto script = std::filesystem::path(__FILE__).parent_path() / "pst_extractor_dump.js";
    const auto run = runProgram({"env", "NODE_PATH=" + (npm / "node_modules").string(), "timeout", "120", "node",
                                 script.string(), w.pst.string()});
    ASSERT_EQ(run.status, 0) << run.output;
    const auto& o = run.output;
    EXPECT_NE(o.find("FOLDER //Top of Personal Folders/Inbox/Sub count=1"), std::string::npos) << o;
    EXPECT_NE(o.find("subject=\"" + kUnicodeSubject + "\""), std::string::npos) << o;
    EXPECT_NE(o.find("RCPT 2 Carol <carol@example.org>"), std::string::npos) << o;
    // pst-extractor 1.12 finds the embedded message's attachment but never returns the message
    // itself (PSTAttachment has no descriptor node), so only the method can be compared.
    EXPECT_NE(o.find("EMBEDDED"), std::string::npos) << o;
    for (const auto& [name, data] : w.attachments) {
        const auto expected = dir.path(name);
        std::ofstream(expected, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        const auto md5 = runProgram({"md5sum", expected.string()}).output.substr(0, 32);
        EXPECT_NE(o.find("ATT " + name + " size=" + std::to_string(data.size()) + " md5=" + md5), std::string::npos)
            << name << "\n"
            << o;
    }
}

// A message attached inside an attached message inside a message: each level is a subnode tree
// within the one above, and all of it must read back as sound.
TEST(PstStore, MessagesEmbeddedSeveralLevelsDeep)
{
    ScratchDir dir;
    const auto path = dir.path("nested.pst");
    auto store = MessageStore::create(path, "Nested");
    ASSERT_TRUE(store.ok());
    auto& s = **store;
    const auto inbox = *s.addFolder(s.topOfPersonalFolders(), "Inbox");
    auto inner = std::make_shared<Message>(sampleMessage("Level 3"));
    inner->attachments.push_back(attachment("deep.bin", 5000, 7));
    for (int level = 2; level >= 1; --level) {
        auto outer = std::make_shared<Message>(sampleMessage("Level " + std::to_string(level)));
        Attachment embedded;
        embedded.embedded = inner;
        outer->attachments.push_back(embedded);
        inner = outer;
    }
    ASSERT_TRUE(s.addMessage(inbox, *inner).ok());
    ASSERT_TRUE(s.close().ok());
    EXPECT_PST_VALID(path);
}

// UTF-16 takes its fast paths (sixteen and eight ASCII bytes at a time) wherever they fit: a
// non-ASCII character at every place of strings of every length around those widths must come
// out as the plain per-character encoding gives it.
TEST(PstStrings, Utf16IsTheSameWhereverTheFastPathsStop)
{
    const std::string chars[] = {"\xC3\xA9", "\xE2\x80\x93", "\xF0\x9F\x8E\x89", "\xFF"};  // é – 🎉, a bad byte
    const std::vector<std::vector<std::uint8_t>> units
        = {{0xE9, 0x00}, {0x13, 0x20}, {0x3C, 0xD8, 0x89, 0xDF}, {0xFD, 0xFF}};
    for (std::size_t length = 0; length < 40; ++length)
        for (std::size_t at = 0; at <= length; ++at)
            for (std::size_t c = 0; c < std::size(chars); ++c) {
                std::string text;
                std::vector<std::uint8_t> expected;
                for (std::size_t i = 0; i < length; ++i) {
                    if (i == at) {
                        text += chars[c];
                        expected.insert(expected.end(), units[c].begin(), units[c].end());
                    }
                    text += static_cast<char>('a' + i % 26);
                    expected.push_back(static_cast<std::uint8_t>('a' + i % 26));
                    expected.push_back(0);
                }
                if (at == length) {
                    text += chars[c];
                    expected.insert(expected.end(), units[c].begin(), units[c].end());
                }
                ASSERT_EQ(utf16le(text), expected) << length << " " << at << " " << c;
            }
}

// A message the store takes (its values moved into the file's properties) gives the very file
// that a copy of it gives.
TEST(PstStore, TakenAndCopiedMessagesGiveTheSameFile)
{
    ScratchDir dir;
    const auto write = [&](const std::string& name, bool take) {
        const auto path = dir.path(name);
        StoreOptions options;
        options.recordKey = Guid{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        auto store = MessageStore::create(path, "Same", options);
        EXPECT_TRUE(store.ok());
        auto& s = **store;
        const auto inbox = *s.addFolder(s.topOfPersonalFolders(), "Inbox");

        std::vector<Message> messages;
        auto full = sampleMessage("Re: " + kUnicodeSubject);
        full.html = "<p>hi</p>";
        full.fromName = "Boss";
        full.fromEmail = "boss@example.org";
        full.replyTo = {{"List", "list@example.org"}, {"", "other@example.org"}};
        full.recipients.push_back({Recipient::Kind::Bcc, "", "hidden@example.org", {Prop::int32(0x3A40, 1)}});
        messages.push_back(full);
        auto bare = sampleMessage("");
        bare.senderName.clear();
        bare.senderEmail.clear();
        bare.recipients.clear();
        bare.body.clear();
        messages.push_back(bare);
        auto split = sampleMessage("FW: parts");
        split.extra.push_back(Prop::string(fmt::tagId(tag::kSubjectPrefix), "FW: "));
        split.extra.push_back(Prop::string(fmt::tagId(tag::kNormalizedSubject), "parts"));
        auto inner = sampleMessage("Inner");
        Attachment attached;
        attached.embedded = std::make_shared<Message>(inner);
        split.attachments.push_back(attached);
        messages.push_back(split);
        for (std::size_t i = 0; i < messages.size(); ++i) {
            Message& m = messages[i];
            const auto added = take ? s.addMessage(inbox, std::move(m)) : s.addMessage(inbox, m);
            EXPECT_TRUE(added.ok()) << i;
        }
        EXPECT_TRUE(s.close().ok());
        return path;
    };
    const auto copied = write("copied.pst", false);
    const auto taken = write("taken.pst", true);
    EXPECT_TRUE(readFile(copied) == readFile(taken));
    EXPECT_PST_VALID(taken);
}

TEST(PstStore, FoldersAreFoundByPathAndNotDuplicated)
{
    ScratchDir dir;
    auto store = MessageStore::create(dir.path("f.pst"), "My Mail");
    ASSERT_TRUE(store.ok());
    auto& s = **store;
    const auto inbox = s.addFolder(s.topOfPersonalFolders(), "Inbox");
    ASSERT_TRUE(inbox.ok());
    EXPECT_EQ(*s.addFolder(s.topOfPersonalFolders(), "Inbox"), *inbox);
    // Names are exact: two accounts' "Inbox" and "INBOX" may sit side by side.
    const auto upper = s.addFolder(s.topOfPersonalFolders(), "INBOX");
    ASSERT_TRUE(upper.ok());
    EXPECT_NE(*upper, *inbox);
    const auto nested = s.addFolder(*inbox, "2024");
    ASSERT_TRUE(nested.ok());
    EXPECT_EQ(*s.findFolder("\\\\My Mail\\Inbox"), *inbox);
    EXPECT_EQ(*s.findFolder("\\\\My Mail\\INBOX"), *upper);
    EXPECT_EQ(*s.findFolder("\\\\my mail\\inbox\\2024"), *nested);
    EXPECT_EQ(*s.findFolder("\\\\My Mail"), s.topOfPersonalFolders());
    EXPECT_EQ(*s.findFolder("\\\\My Mail\\Deleted Items"), FolderId{fmt::nid::kDeletedItems});
    EXPECT_EQ(s.findFolder("\\\\My Mail\\Outbox").error().code, Code::NotFound);
    EXPECT_EQ(s.findFolder("\\\\Other\\Inbox").error().code, Code::NotFound);
    EXPECT_EQ(s.findFolder("My Mail\\Inbox").error().code, Code::InvalidArgument);
    EXPECT_EQ(s.addFolder(s.topOfPersonalFolders(), "a\\b").error().code, Code::InvalidArgument);
    EXPECT_EQ(s.addFolder(FolderId{fmt::nid::kRootFolder}, "x").error().code, Code::InvalidArgument);
    ASSERT_TRUE(s.close().ok());
    EXPECT_PST_VALID(dir.path("f.pst"));
}

TEST(PstStore, FlagsAndLateChangesOnlyOnTheLastMessage)
{
    ScratchDir dir;
    auto store = MessageStore::create(dir.path("m.pst"), "Flags");
    ASSERT_TRUE(store.ok());
    auto& s = **store;
    const auto inbox = *s.addFolder(s.topOfPersonalFolders(), "Inbox");
    auto first = s.addMessage(inbox, sampleMessage("unread"));
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(s.setProperty(*first, Prop::int32(0x0E07, 0x10)).ok());  // unread; 0x10 is ignored
    auto withFile = sampleMessage("read with file");
    withFile.attachments.push_back(attachment("a.txt", 10, 1));
    auto second = s.addMessage(inbox, withFile);
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(s.setProperty(*first, Prop::int32(0x0E07, 1)).error().code, Code::Unsupported);
    ASSERT_TRUE(s.setProperty(*second, Prop::int32(0x0E07, 0x01)).ok());
    const Guid set{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    auto named = s.namedProperty(set, "X-Mailer");
    ASSERT_TRUE(named.ok());
    EXPECT_GE(*named, 0x8000);
    EXPECT_EQ(*s.namedProperty(set, "X-Mailer"), *named);
    ASSERT_TRUE(s.close().ok());
    EXPECT_FALSE(s.addMessage(inbox, sampleMessage("late")).ok());
    EXPECT_PST_VALID(dir.path("m.pst"));  // the verifier checks unread counts against the flags
    if (!haveProgram("pffexport")) return;
    const auto out = dir.path("x");
    ASSERT_EQ(runProgram({"pffexport", "-q", "-m", "all", "-t", out.string(), dir.path("m.pst").string()}).status, 0);
    const auto text = allText(dir.path("x.export"));
    EXPECT_NE(text.find("0x00000000 ()"), std::string::npos) << text;  // unread, no files
    EXPECT_NE(text.find("0x00000011 (Read, Has attachments)"), std::string::npos) << text;
}

TEST(PstStore, LargeFolderUsesMultiBlockTables)
{
    ScratchDir dir;
    const auto path = dir.path("many.pst");
    // Little row memory: most contents rows wait in the temporary file, the two folders' rows
    // interleaved there, and must come back to the right table.
    StoreOptions options;
    options.rowMemory = 4096;
    auto store = MessageStore::create(path, "Many", options);
    ASSERT_TRUE(store.ok());
    auto& s = **store;
    const auto inbox = *s.addFolder(s.topOfPersonalFolders(), "Inbox");
    const auto other = *s.addFolder(s.topOfPersonalFolders(), "Other");
    for (int i = 0; i < 3000; ++i)
        ASSERT_TRUE(s.addMessage(i % 3 ? inbox : other, sampleMessage("Bulk " + std::to_string(i))).ok());
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(s.addFolder(inbox, "Folder " + std::to_string(i)).ok());
    ASSERT_TRUE(s.close().ok());
    EXPECT_PST_VALID(path);
    if (haveProgram("lspst")) {
        const auto list = runProgram({"lspst", path.string()});
        EXPECT_NE(list.output.find("Subject: Bulk 2999"), std::string::npos);
    }
}

TEST(PstReaders, LargeBodiesAndManyRecipientsSurvive)
{
    if (!haveProgram("pffexport")) GTEST_SKIP() << "pffexport (pff-tools) is not installed";
    // A 60 KB body goes to a subnode of the message; 400 recipients put the recipient table's
    // row matrix in a subnode of that table, a subnode tree below a subnode.
    ScratchDir dir;
    const auto path = dir.path("large.pst");
    auto store = MessageStore::create(path, "Large");
    ASSERT_TRUE(store.ok());
    auto& s = **store;
    const auto inbox = *s.addFolder(s.topOfPersonalFolders(), "Inbox");
    auto m = sampleMessage("Large values");
    m.body.clear();
    for (int line = 0; line < 1500; ++line) m.body += "Line " + std::to_string(line) + " of a long body, ÄÖÜ.\r\n";
    m.html = "<html><body>" + std::string(40000, 'h') + "</body></html>";
    for (int i = 0; i < 400; ++i)
        m.recipients.push_back(
            {Recipient::Kind::To, "Person " + std::to_string(i), "p" + std::to_string(i) + "@example.org", {}});
    ASSERT_TRUE(s.addMessage(inbox, m).ok());
    ASSERT_TRUE(s.close().ok());
    EXPECT_PST_VALID(path);

    ASSERT_EQ(runProgram({"pffexport", "-q", "-m", "all", "-t", dir.path("x").string(), path.string()}).status, 0);
    const auto message = findFile(dir.path("x.export"), "Message.txt");
    ASSERT_FALSE(message.empty());
    const auto body = readText(message);
    EXPECT_NE(body.find("Line 1499 of a long body, ÄÖÜ."), std::string::npos);
    EXPECT_GE(body.size(), m.body.size() - 1500);  // line ends may be rewritten
    const auto recipients = readText(findFile(dir.path("x.export"), "Recipients.txt"));
    EXPECT_NE(recipients.find("p0@example.org"), std::string::npos);
    EXPECT_NE(recipients.find("p399@example.org"), std::string::npos);
    const auto html = findFile(dir.path("x.export"), "Message.html");
    if (!html.empty()) {
        EXPECT_EQ(std::filesystem::file_size(html), m.html.size());
    }
}

TEST(PstStore, RejectedMessageLeavesStoreUsableAndClean)
{
    ScratchDir dir;
    const auto path = dir.path("rejected.pst");
    auto store = MessageStore::create(path, "Rejected");
    ASSERT_TRUE(store.ok());
    auto& s = **store;
    const auto inbox = *s.addFolder(s.topOfPersonalFolders(), "Inbox");
    auto bad = sampleMessage("bad");
    bad.attachments.push_back(attachment("x.bin", 50000, 2));  // would be written before the PC
    bad.extra.push_back({fmt::makeTag(0x0E07, fmt::ptype::kInt32), {1, 2, 3}});
    const auto rejected = s.addMessage(inbox, bad);
    ASSERT_FALSE(rejected.ok());
    EXPECT_EQ(rejected.error().code, Code::InvalidArgument);
    EXPECT_FALSE(rejected.error().detail.empty());
    EXPECT_EQ(s.addFolder(FolderId{0x12345}, "x").error().code, Code::InvalidArgument);
    EXPECT_TRUE(s.addMessage(inbox, sampleMessage("good")).ok());
    ASSERT_TRUE(s.close().ok());
    EXPECT_PST_VALID(path);  // no unreferenced blocks, one message counted
    auto report = verify(path);
    ASSERT_TRUE(report.ok());
    EXPECT_EQ(report->messages, 1u);
}
