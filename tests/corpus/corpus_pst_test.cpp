// Acceptance test of the PST target over the third-party corpus (../shared/corpus): corpus
// mailboxes go through quillmark-cli into one .pst file, which two PST readers that share no
// code with us read back (libpff: python3-pypff, with its pffexport for recipients; readpst from
// pst-utils). Each message they see is compared, field by field, with GMime's reading of the
// same message as our EML target cuts it. Our verifier and pstcheck.py must find the file sound.
//
// A disagreement fails the test unless it is a documented limit of the reader (the Limit
// entries of compareMessage()). The test skips, with the reason, when the corpus or a reader is
// missing.
#include "engine/targets/pst_folders.h"
#include "platform/paths.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark {
namespace {

namespace fs = std::filesystem;
using testing::runProgram;
using testing::StdErr;
using testing::TempDir;

// ---------------------------------------------------------------------------------------------
// Corpus, tools, programs

fs::path corpusRoot() { return fs::weakly_canonical(fs::path(QUILLMARK_CORPUS_DIR)); }

// Mailboxes of the corpus, each for what it holds that the others lack.
constexpr std::array<std::string_view, 12> kMailboxes{
    "_derived/spamassassin-public-corpus-with-From_.mbox",         // 4,997 real messages of every kind
    "mimekit/UnitTests/TestData/mbox/content-length.mbox.txt",     // S/MIME, DSN, embedded messages
    "mimekit/UnitTests/TestData/mbox/issue1189.mbox.txt",          // HTML with inline images
    "perl-mail-box/t/folders/mbox.src",                            // Latin-1 parts, a message without From
    "mailpile/mailpile/tests/data/tests.mbx",                      // RFC 2047 words, PGP, HTML
    "git-t5100/t/t5100/sample.mbox",                               // ISO-2022-JP, raw 8-bit headers
    "git-t5100/t/t5100/rfc2047-samples.mbox",                      // encoded words, no Date, no From
    "gnu-mailutils/testsuite/spool/search2.mbox",                  // ISO-8859-2, binary transfer encoding
    "gnu-mailutils/testsuite/spool/msg.mbox",                      // nested message/rfc822
    "gnu-mailutils/testsuite/spool/relational.mbox",               // no Date in any message
    "hyperkitty/hyperkitty/tests/testdata/non-ascii-headers.txt",  // "a at b (Name)" senders, 8-bit bodies
    "kde-kmime/autotests/data/simple-encapsulated.mbox",           // message/rfc822 inside multipart
};
constexpr std::string_view kBigMailbox = kMailboxes[0];
constexpr std::size_t kBigMailboxMessages = 4997;

// Single-message files of MIME test suites, made into one more mailbox here: TNEF, NUL bytes,
// UTF-16 parts, RFC 2231 names, digests, broken structure.
struct MessageFolder {
    std::string_view folder;
    std::string_view extension;  // the messages; other files there are expected results
};
constexpr std::array<MessageFolder, 6> kMessageFolders{{
    {"zbateson-mail-mime-parser/tests/_data/emails", ".txt"},
    {"stalwart-mail-parser/resources/eml/thirdparty", ".eml"},
    {"mimekit/UnitTests/TestData/messages", ".txt"},
    {"mimekit/UnitTests/TestData/messages", ".eml"},
    {"ruby-mail/*/fixtures/emails/attachment_emails", ".eml"},  // '*': the one folder that has it
    {"mimekit/UnitTests/TestData/tnef", ".eml"},
}};
constexpr std::array<std::string_view, 4> kMessageFiles{
    "kde-kmime/autotests/data/headers-with-nullbytes.mbox",
    "kde-kmime/autotests/data/bug519599.mbox",
    "spamassassin/t/data/nice/mime8",
    "spamassassin/t/data/nice/mime9",
};
constexpr std::uintmax_t kLargestSingleMessage = 2 << 20;

// Empty when the corpus and the readers are there; else the reason to skip.
std::string whyNotRunnable()
{
    const fs::path root(QUILLMARK_CORPUS_DIR);
    if (!fs::exists(root / std::string(kBigMailbox)))
        return "mail corpus not found (" + root.string() + "); it lives beside the repository, in ../shared/corpus";
    if (runProgram({"/usr/bin/python3", "-c", "import pypff"}).status != 0) return "python3-pypff is not installed";
    if (runProgram({"readpst", "-V"}).status != 0) return "readpst (pst-utils) is not installed";
    if (runProgram({"pffexport", "-V"}).status != 0) return "pffexport (pff-tools) is not installed";
    return {};
}

// ---------------------------------------------------------------------------------------------
// A message as one side sees it; an absent value is one that side cannot give (not comparable).

struct Attachment {
    std::string name;
    bool embedded = false;
    std::optional<std::uint64_t> size;  // bytes; absent for embedded messages
    std::string sha256;
    std::optional<std::string> innerSubject;  // embedded messages, where the reader shows it
};

struct Seen {
    std::optional<std::string> subject;
    std::optional<std::string> subjectInStoredHeaders;  // when the Subject field holds raw 8-bit bytes
    std::optional<std::string> sender;
    std::optional<std::vector<std::string>> recipients;  // "to:addr", "cc:addr", "bcc:addr"
    std::optional<std::int64_t> date;                    // Unix seconds
    std::optional<std::int64_t> received;                // newest Received, without a Date
    std::optional<std::string> body;                     // UTF-8, line ends as LF
    bool bodyUnclear = false;                            // a plain body not valid in its charset
    std::optional<std::string> html;                     // bytes, line ends as LF
    std::string htmlCharset;                             // its charset (iconv name); empty: none given
    std::optional<std::vector<Attachment>> attachments;
    std::optional<std::string> messageClass;
};

// The sender of a From field GMime reads no address from, when it is not the archive form: the
// readers must show something, which is compared as this.
constexpr std::string_view kWrittenAsIs = "(as written)";

std::string sha256(std::string_view bytes)
{
    gchar* hex
        = g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string out(hex);
    g_free(hex);
    return out;
}

// CR LF as LF: readers store and give back line ends as they like. A lone CR stays.
std::string lfOnly(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') out += text[i];
    return out;
}

// ---------------------------------------------------------------------------------------------
// GMime's reading of a message: the reference, and readpst's output read the same way

struct GFreeString {
    void operator()(char* p) const noexcept { g_free(p); }
};
using GText = std::unique_ptr<char, GFreeString>;

std::string decoded(GMimePart* part)
{
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (!content) return {};
    GMimeStream* stream = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(content, stream);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(reinterpret_cast<GMimeStreamMem*>(stream));
    std::string out(reinterpret_cast<const char*>(bytes->data), bytes->len);
    g_object_unref(stream);
    return out;
}

// A plain part's text, when its bytes are valid in the declared charset (or, with none, UTF-8);
// else none: the reading of such text is a guess, which rfc822_import_test covers. Without NUL
// bytes and with line ends as LF, as compared.
std::optional<std::string> strictText(GMimePart* part)
{
    const std::string raw = decoded(part);
    const char* declared = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
    std::optional<std::string> text;
    if (!declared) {
        if (g_utf8_validate(raw.data(), static_cast<gssize>(raw.size()), nullptr)) text = raw;
    } else {
        gsize written = 0;
        if (char* utf8 = g_convert(raw.data(), static_cast<gssize>(raw.size()), "UTF-8",
                                   g_mime_charset_iconv_name(declared), nullptr, &written, nullptr)) {
            text = std::string(utf8, written);
            g_free(utf8);
        }
    }
    if (text) {
        std::erase(*text, '\0');
        text = lfOnly(*text);
    }
    return text;
}

std::string mimeType(GMimeObject* object)
{
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (!type) return "text/plain";
    GText s(g_mime_content_type_get_mime_type(type));
    std::string out(s.get());
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

void addresses(InternetAddressList* list, const std::string& kind, std::vector<std::string>& out)
{
    for (int i = 0, n = list ? internet_address_list_length(list) : 0; i < n; ++i) {
        InternetAddress* a = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(a))
            addresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)), kind, out);
        else if (INTERNET_ADDRESS_IS_MAILBOX(a))
            out.push_back(kind + ":" + internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a)));
    }
}

// Raw 8-bit bytes as GMime reads them in headers (its charset guess); other text unchanged.
std::string asUtf8(const char* text)
{
    if (g_utf8_validate(text, -1, nullptr)) return text;
    GText utf8(g_mime_utils_decode_8bit(nullptr, text, std::strlen(text)));
    return utf8.get();
}

// A header's value, unfolded; empty when there is none.
std::string unfoldedHeader(GMimeObject* object, const char* name)
{
    GMimeHeader* header = g_mime_header_list_get_header(g_mime_object_get_header_list(object), name);
    const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
    if (!raw) return {};
    GText unfolded(g_mime_utils_header_unfold(raw));
    return unfolded.get();
}

// Header text with every encoded word decoded on its own (RFC 2047: each is self-contained;
// GMime 3.2.13 joins adjacent base64 words first and loses what follows a padded one). Blanks
// between two encoded words are not text.
std::string decodedWordByWord(const std::string& text)
{
    // A word may touch a parenthesis: "(=?ISO8859-1?Q?a?= =?ISO8859-1?Q?b?=)" is "(ab)".
    const auto startsWord = [](std::string_view t) {
        if (t.starts_with('(')) t.remove_prefix(1);
        return t.starts_with("=?") && t.find("?=", 2) != std::string_view::npos;
    };
    const auto endsWord = [](std::string_view t) {
        if (t.ends_with(')')) t.remove_suffix(1);
        return t.ends_with("?=") && t.find("=?") != std::string_view::npos;
    };
    std::string out, blanks;
    bool afterWord = false;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t end = std::min(text.find_first_of(" \t", i), text.size());
        const std::string token = text.substr(i, end - i);
        const std::size_t next = std::min(text.find_first_not_of(" \t", end), text.size());
        GText decoded(g_mime_utils_header_decode_text(nullptr, token.c_str()));
        if (!(afterWord && startsWord(token))) out += blanks;
        out += decoded.get();
        afterWord = endsWord(token);
        blanks = text.substr(end, next - end);
        i = next;
    }
    return out;
}

// How a message's parts are told apart: in mail as received, by RFC 2183 (an attachment is what
// says so or has a file name); in readpst's output, by readpst's own rule: it writes the bodies
// without Content-Disposition and every attachment with one ("inline" when it has no name).
enum class PartRule { Received, Readpst };

// The first plain and the first HTML leaf that are not attachments are the bodies; every other
// leaf, and every message/rfc822 part (not looked into), is an attachment.
void walkParts(GMimeObject* object, PartRule rule, Seen& seen)
{
    if (GMIME_IS_MULTIPART(object)) {
        auto* multipart = GMIME_MULTIPART(object);
        for (int i = 0, n = g_mime_multipart_get_count(multipart); i < n; ++i)
            walkParts(g_mime_multipart_get_part(multipart, i), rule, seen);
        return;
    }
    Attachment a;
    if (GMIME_IS_MESSAGE_PART(object)) {
        a.embedded = true;
        if (const char* name = g_mime_object_get_content_disposition_parameter(object, "filename"))
            a.name = name;
        else if (const char* typeName = g_mime_object_get_content_type_parameter(object, "name"))
            a.name = typeName;
        if (GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object))) {
            a.innerSubject = decodedWordByWord(unfoldedHeader(GMIME_OBJECT(inner), "Subject"));
        }
        seen.attachments->push_back(std::move(a));
        return;
    }
    if (!GMIME_IS_PART(object)) return;
    GMimePart* part = GMIME_PART(object);
    const std::string type = mimeType(object);
    const char* name = g_mime_part_get_filename(part);
    const bool attachment = rule == PartRule::Received ? g_mime_part_is_attachment(part) || name
                                                       : g_mime_object_get_content_disposition(object) != nullptr;
    if (!attachment && type == "text/plain" && !seen.body.has_value() && !seen.bodyUnclear) {
        seen.body = strictText(part);
        seen.bodyUnclear = !seen.body;
        return;
    }
    if (!attachment && type == "text/html" && !seen.html) {
        seen.html = lfOnly(decoded(part));
        if (const char* charset = g_mime_object_get_content_type_parameter(object, "charset"))
            seen.htmlCharset = charset;
        return;
    }
    a.name = name ? asUtf8(name) : "";
    const std::string data = decoded(part);
    a.size = data.size();
    a.sha256 = sha256(data);
    seen.attachments->push_back(std::move(a));
}

// The subject as a reader that takes it from the stored header block sees it. The block is
// stored as Unicode text, so raw 8-bit bytes in it are stored as the characters GMime reads
// them as, and an encoded word around them is then decoded once more, in its own charset.
std::optional<std::string> subjectInStoredHeaders(GMimeMessage* message)
{
    GMimeHeader* header
        = g_mime_header_list_get_header(g_mime_object_get_header_list(GMIME_OBJECT(message)), "Subject");
    const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
    if (!raw || g_utf8_validate(raw, -1, nullptr)) return std::nullopt;
    GText unfolded(g_mime_utils_header_unfold(asUtf8(raw).c_str()));
    GText decoded(g_mime_utils_header_decode_text(nullptr, unfolded.get()));
    return decoded.get();
}

// The address a mailbox store shows for a From field GMime reads no address from: "local@domain"
// for a mailing-list archive's "local at domain (Name)", else whatever was written.
std::string senderAsWritten(const std::string& from)
{
    const auto at = from.find(" at ");
    const auto blank = from.find_first_of(" \t");
    if (at != std::string::npos && blank == at) {
        const auto end = std::min(from.find_first_of(" \t", at + 4), from.size());
        const std::string rest = from.substr(end);
        if (end > at + 4 && (rest.empty() || rest.starts_with(" (")))
            return from.substr(0, at) + "@" + from.substr(at + 4, end - at - 4);
    }
    const bool anyText
        = std::any_of(from.begin(), from.end(), [](unsigned char c) { return std::isalnum(c) || c > 127; });
    return anyText ? std::string(kWrittenAsIs) : std::string();
}

// How a mail store files secure mail: S/MIME clear-signed or opaque; PGP/MIME is plain mail.
constexpr std::string_view kClearSigned = "IPM.Note.SMIME.MultipartSigned";

std::string storedClass(GMimeObject* top)
{
    const std::string type = mimeType(top);
    const char* protocol = g_mime_object_get_content_type_parameter(top, "protocol");
    const bool pkcs7 = protocol
        && (g_ascii_strcasecmp(protocol, "application/pkcs7-signature") == 0
            || g_ascii_strcasecmp(protocol, "application/x-pkcs7-signature") == 0);
    if (type == "multipart/signed" && pkcs7 && GMIME_IS_MULTIPART(top)) return std::string(kClearSigned);
    if (type == "application/pkcs7-mime" || type == "application/x-pkcs7-mime") return "IPM.Note.SMIME";
    return "IPM.Note";
}

// The multipart/signed entity of a clear-signed message as sent: its Content-* fields, an empty
// line, its body.
std::string signedEntity(const std::string& text)
{
    std::string fields;
    bool inContentField = false;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
        const std::string line = text.substr(at, end - at);
        at = end;
        if (line == "\r\n" || line == "\n") break;
        if (line[0] != ' ' && line[0] != '\t') inContentField = g_ascii_strncasecmp(line.c_str(), "content-", 8) == 0;
        if (inContentField) fields += line;
    }
    return fields + "\r\n" + text.substr(at);
}

Seen seenInMessage(GMimeMessage* message, PartRule rule)
{
    Seen s;
    GMimeObject* object = GMIME_OBJECT(message);
    s.subject = decodedWordByWord(unfoldedHeader(object, "Subject"));
    s.subjectInStoredHeaders = subjectInStoredHeaders(message);
    std::vector<std::string> from;
    addresses(g_mime_message_get_from(message), "from", from);
    s.sender = from.empty() ? "" : from[0].substr(5);
    if (const std::string raw = unfoldedHeader(object, "From"); from.empty() && !raw.empty())
        s.sender = senderAsWritten(raw);
    s.recipients.emplace();
    addresses(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_TO), "to", *s.recipients);
    addresses(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_CC), "cc", *s.recipients);
    addresses(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_BCC), "bcc", *s.recipients);
    if (GDateTime* date = g_mime_message_get_date(message)) s.date = g_date_time_to_unix(date);
    // Without a Date, the newest Received (its date follows the last ";").
    GMimeHeaderList* headers = g_mime_object_get_header_list(object);
    for (int i = 0, n = s.date ? 0 : g_mime_header_list_get_count(headers); i < n; ++i) {
        GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
        if (g_ascii_strcasecmp(g_mime_header_get_name(header), "Received") != 0) continue;
        const std::string value = g_mime_header_get_value(header);
        const auto semi = value.rfind(';');
        GDateTime* when
            = semi == std::string::npos ? nullptr : g_mime_utils_header_decode_date(value.c_str() + semi + 1);
        if (when && (!s.received || g_date_time_to_unix(when) > *s.received)) s.received = g_date_time_to_unix(when);
        if (when) g_date_time_unref(when);
    }
    s.attachments.emplace();
    GMimeObject* top = g_mime_message_get_mime_part(message);
    s.messageClass = top ? storedClass(top) : "IPM.Note";
    if (top && s.messageClass == kClearSigned && rule == PartRule::Received) {
        // The bodies come from the signed content; the one attachment is added by the caller.
        walkParts(g_mime_multipart_get_part(GMIME_MULTIPART(top), 0), rule, s);
        s.attachments->clear();
    } else if (top) {
        walkParts(top, rule, s);
    }
    return s;
}

std::optional<Seen> seenByGMime(const std::string& text, PartRule rule = PartRule::Received)
{
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    std::optional<Seen> seen;
    if (message) seen = seenInMessage(message, rule);
    if (seen && seen->messageClass == kClearSigned && rule == PartRule::Received) {
        const std::string entity = signedEntity(text);
        seen->attachments->push_back({"SMIME.txt", false, entity.size(), sha256(entity), std::nullopt});
    }
    if (message) g_object_unref(message);
    g_object_unref(parser);
    g_object_unref(stream);
    return seen;
}

// ---------------------------------------------------------------------------------------------
// What the readers give: folder name -> messages in folder order

using Folders = std::map<std::string, std::vector<Seen>>;

std::string unhex(std::string_view hex)
{
    if (hex == ".") return {};
    std::string out;
    out.reserve(hex.size() / 2);
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1]));
    return out;
}

std::optional<std::string> hexValue(std::string_view hex)
{
    if (hex == "-") return std::nullopt;
    return unhex(hex);
}

std::string lastPathPart(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The iconv name of a Windows code page, as the PST labels its HTML.
std::string charsetOfCodePage(unsigned long codePage)
{
    static const std::map<unsigned long, std::string> kNamed{
        {65001, "UTF-8"},      {65000, "UTF-7"},  {20127, "ASCII"},  {28603, "ISO-8859-13"}, {28605, "ISO-8859-15"},
        {38598, "ISO-8859-8"}, {20866, "KOI8-R"}, {21866, "KOI8-U"}, {51932, "EUC-JP"},      {50220, "ISO-2022-JP"},
        {54936, "GB18030"},    {52936, "HZ"},     {51949, "EUC-KR"}, {50225, "ISO-2022-KR"}, {10000, "MACINTOSH"}};
    if (const auto it = kNamed.find(codePage); it != kNamed.end()) return it->second;
    if (codePage > 28590 && codePage < 28600) return "ISO-8859-" + std::to_string(codePage - 28590);
    return "CP" + std::to_string(codePage);
}

// tests/corpus/corpus_pst_dump.py's records (pypff): messages by folder name (the last part of its
// path), message counts by folder path.
Folders readWithPypff(const fs::path& pst, std::map<std::string, std::size_t>& counts)
{
    const auto r = runProgram(
        {"/usr/bin/python3", QUILLMARK_SOURCE_DIR "/tests/corpus/corpus_pst_dump.py", pst.string()}, StdErr::Apart);
    EXPECT_EQ(r.status, 0) << r.errors.substr(0, 2000);
    Folders folders;
    Seen* current = nullptr;
    std::istringstream in(r.output);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key, a, b, c, d;
        fields >> key >> a >> b >> c >> d;
        if (key == "D") counts[unhex(a)] = std::stoull(b);
        if (key == "M") {
            auto& messages = folders[lastPathPart(unhex(a))];
            current = &messages.emplace_back();
            current->attachments.emplace();
        }
        if (!current) continue;
        if (key == "subject") current->subject = hexValue(a).value_or("");  // pypff: None when empty
        if (key == "class") current->messageClass = hexValue(a);
        if (key == "sender") current->sender = hexValue(a).value_or("");
        if (key == "submit" && a != "-") current->date = std::stoll(a);
        if (key == "body" && a != "-") current->body = lfOnly(unhex(a));
        if (key == "html" && a != "-") current->html = lfOnly(unhex(a));
        if (key == "cpid" && a != "-") current->htmlCharset = charsetOfCodePage(std::stoul(a));
        if (key == "A") {
            Attachment att;
            att.embedded = a == "5";
            if (!att.embedded) att.size = std::stoull(b), att.sha256 = c;
            att.name = hexValue(d).value_or("");
            current->attachments->push_back(std::move(att));
        }
    }
    return folders;
}

std::vector<fs::path> numberedEntries(const fs::path& folder, const std::regex& pattern)
{
    std::vector<std::pair<std::uint64_t, fs::path>> found;
    for (const auto& e : fs::directory_iterator(folder)) {
        std::smatch m;
        const std::string name = e.path().filename().string();
        if (std::regex_match(name, m, pattern)) found.emplace_back(std::stoull(m[1].str()), e.path());
    }
    std::sort(found.begin(), found.end());
    std::vector<fs::path> out;
    for (auto& [n, p] : found) out.push_back(std::move(p));
    return out;
}

// pffexport's Recipients.txt per message ("Email address:" and "Recipient type:" lines).
// pypff has no way to the recipient table; pffexport is libpff's own export tool.
void addRecipientsByPffexport(const fs::path& pst, const fs::path& work, Folders& folders)
{
    const fs::path target = work / "pffexport";
    const auto r = runProgram({"pffexport", "-q", "-m", "items", "-t", target.string(), pst.string()});
    ASSERT_EQ(r.status, 0) << r.output.substr(0, 2000);
    const fs::path top = fs::path(target.string() + ".export") / "Top of Personal Folders";
    static const std::regex messageDir(R"(Message(\d+))");
    for (auto& [name, messages] : folders) {
        if (!fs::is_directory(top / name)) continue;
        const auto dirs = numberedEntries(top / name, messageDir);
        EXPECT_EQ(dirs.size(), messages.size()) << "pffexport: folder " << name;
        for (std::size_t k = 0; k < std::min(dirs.size(), messages.size()); ++k) {
            auto& list = messages[k].recipients.emplace();
            std::istringstream in(testing::readFile(dirs[k] / "Recipients.txt"));
            std::string line, address;
            // "<field>:<tabs><value>", read without std::regex: it recurses once per character
            // and overflows the stack on a long address.
            const auto value = [&](std::string_view field) -> std::optional<std::string> {
                if (!line.starts_with(field) || line.size() <= field.size() || line[field.size()] != ':')
                    return std::nullopt;
                const auto from = line.find_first_not_of('\t', field.size() + 1);
                return from == std::string::npos || from == field.size() + 1 ? std::string() : line.substr(from);
            };
            while (std::getline(in, line)) {
                if (auto email = value("Email address")) address = *email;
                const auto type = value("Recipient type");
                if (!type) continue;
                std::string kind = *type;
                std::transform(kind.begin(), kind.end(), kind.begin(), [](unsigned char c) { return std::tolower(c); });
                list.push_back(kind + ":" + address);
            }
        }
    }
}

// readpst -e writes <store>/<folder>/<n>.eml, n = 1, 2, ... in folder order; -j 0 because its
// default forks a process per message and loses messages when a fork fails.
Folders readWithReadpst(const fs::path& pst, const fs::path& work)
{
    const fs::path out = work / "readpst";
    fs::create_directories(out);
    const auto r = runProgram({"readpst", "-q", "-e", "-8", "-j", "0", "-o", out.string(), pst.string()});
    EXPECT_EQ(r.status, 0) << r.output.substr(0, 2000);
    Folders folders;
    static const std::regex eml(R"((\d+)\.eml)");
    for (const auto& e : fs::recursive_directory_iterator(out)) {
        if (!e.is_directory()) continue;
        const auto files = numberedEntries(e.path(), eml);
        if (files.empty()) continue;
        auto& messages = folders[e.path().filename().string()];
        for (const auto& f : files) {
            Seen seen = seenByGMime(testing::readFile(f), PartRule::Readpst).value_or(Seen{});
            // libpst keeps a message's attachments in reverse order of the attachment table.
            if (seen.attachments) std::reverse(seen.attachments->begin(), seen.attachments->end());
            messages.push_back(std::move(seen));
        }
    }
    return folders;
}

// ---------------------------------------------------------------------------------------------
// Comparing, with the readers' documented limits

enum class Reader { Libpff, Readpst };
constexpr std::array<std::string_view, 2> kReaderNames{"libpff", "readpst"};
enum class Field {
    Subject,
    Sender,
    Recipients,
    Date,
    Body,
    Html,
    AttachmentNames,
    AttachmentBytes,
    Embedded,
    MessageClass
};
constexpr std::array<std::string_view, 10> kFieldNames{
    "subject",          "sender",           "recipients",        "date",         "body", "html text",
    "attachment names", "attachment bytes", "embedded messages", "message class"};

struct Place {
    std::string mailbox;
    std::size_t index = 0;
    std::string origin;  // the corpus file, for the single-message mailbox
};

// A reader's documented limit: what the source value looks like through it. A value that
// differs from the source but equals this is counted as listed, with the reason.
struct Limit {
    std::string_view why;
    std::optional<std::string> expected;
};

struct Count {
    std::uint64_t agree = 0, listed = 0, disagree = 0, notComparable = 0;
};

class Tally {
public:
    void compare(Reader reader, Field field, const Place& at, const std::optional<std::string>& expected,
                 const std::optional<std::string>& got, std::initializer_list<Limit> limits = {})
    {
        Count& c = m_counts[static_cast<std::size_t>(field)][static_cast<std::size_t>(reader)];
        if (!expected || !got) {
            ++c.notComparable;
            return;
        }
        if (*expected == *got) {
            ++c.agree;
            return;
        }
        for (const Limit& limit : limits) {
            if (limit.expected != got) continue;
            ++c.listed;
            ++m_reasons[std::string(kReaderNames[static_cast<std::size_t>(reader)]) + " " + std::string(limit.why)];
            return;
        }
        ++c.disagree;
        if (m_shown++ < 30) {
            const auto pos = static_cast<std::size_t>(
                std::mismatch(expected->begin(), expected->end(), got->begin(), got->end()).first - expected->begin());
            const std::size_t from = pos < 60 ? 0 : pos - 60;
            ADD_FAILURE() << kReaderNames[static_cast<std::size_t>(reader)] << " "
                          << kFieldNames[static_cast<std::size_t>(field)] << " of " << at.mailbox << " message "
                          << at.index << at.origin << ", first difference at byte " << pos << " of " << expected->size()
                          << "/" << got->size() << "\n    source: " << printable(expected->substr(from))
                          << "\n    read:   " << printable(got->substr(std::min(from, got->size())));
        }
    }

    bool anyDisagreement() const
    {
        for (const auto& row : m_counts)
            for (const auto& c : row)
                if (c.disagree) return true;
        return false;
    }

    void print() const
    {
        std::ostringstream s;
        s << "\n  " << std::left << std::setw(20) << "field";
        for (const auto name : kReaderNames) s << std::setw(38) << (std::string(name) + ": agree/listed/DIFF/n.c.");
        s << "\n";
        for (std::size_t f = 0; f < kFieldNames.size(); ++f) {
            s << "  " << std::left << std::setw(20) << kFieldNames[f];
            for (const auto& c : m_counts[f]) {
                std::ostringstream cell;
                cell << c.agree << " / " << c.listed << " / " << c.disagree << " / " << c.notComparable;
                s << std::setw(38) << cell.str();
            }
            s << "\n";
        }
        s << "  listed: a documented limit of the reader; n.c.: not comparable (no value on one side)\n";
        for (const auto& [why, n] : m_reasons) s << "  listed " << n << "x: " << why << "\n";
        std::cout << s.str() << std::flush;
    }

private:
    static std::string printable(std::string_view v)
    {
        std::string out;
        for (const char ch : v.substr(0, 160)) {
            const auto u = static_cast<unsigned char>(ch);
            if (ch == '\n')
                out += "\\n";
            else if (u < 0x20 || u == 0x7f) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02x", u);
                out += buf;
            } else
                out += ch;
        }
        return v.size() > 160 ? out + "..." : out;
    }

    std::array<std::array<Count, 2>, 10> m_counts{};
    std::map<std::string, std::uint64_t> m_reasons;
    int m_shown = 0;
};

std::optional<std::string> joined(const std::optional<std::vector<std::string>>& list)
{
    if (!list) return std::nullopt;
    std::string out;
    for (const auto& s : *list) out += s + "\n";
    return out;
}

std::string dateText(const std::optional<std::int64_t>& t) { return t ? std::to_string(*t) : "(none)"; }

struct AttachmentView {
    bool dropEmpty = false;          // attachments without data left out
    bool embeddedBySubject = false;  // embedded messages named by their subject, never by file name
    bool hideInnerSubject = false;   // embedded messages not opened
};

// One line per attachment: names, bytes or embedded subjects.
std::optional<std::string> attachmentsText(const std::optional<std::vector<Attachment>>& list, Field field,
                                           AttachmentView view = {})
{
    if (!list) return std::nullopt;
    std::string out;
    for (const Attachment& a : *list) {
        if (view.dropEmpty && !a.embedded && a.size == 0u) continue;
        if (field == Field::AttachmentNames) {
            // An embedded message without a file name is named by its subject.
            const bool bySubject = a.embedded && (a.name.empty() || view.embeddedBySubject) && a.innerSubject;
            out += (a.embedded ? "message " : "file ") + (bySubject ? *a.innerSubject : a.name) + "\n";
        } else if (field == Field::AttachmentBytes && !a.embedded) {
            out += std::to_string(a.size.value_or(0)) + " " + a.sha256 + "\n";
        } else if (field == Field::Embedded && a.embedded) {
            out += "message " + (view.hideInnerSubject ? "?" : a.innerSubject.value_or("?")) + "\n";
        }
    }
    return out;
}

// A string with every code point above U+FFFF lowered by 0x3FF: what libpff 20180714 makes of a
// UTF-16 surrogate pair (checked by hand: D83C DF89, U+1F389, comes back as U+1EF8A).
std::optional<std::string> surrogatesAsLibpffReadsThem(const std::optional<std::string>& text)
{
    if (!text) return std::nullopt;
    std::string out;
    for (const char* p = text->c_str(); *p;) {
        const gunichar c = g_utf8_get_char_validated(p, -1);
        if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) return std::nullopt;
        char buf[8];
        out.append(buf, static_cast<std::size_t>(g_unichar_to_utf8(c > 0xFFFF ? c - 0x3FF : c, buf)));
        p = g_utf8_next_char(p);
    }
    return out;
}

std::optional<std::string> withoutCr(std::optional<std::string> text)
{
    if (text) std::erase(*text, '\r');
    return text;
}

// HTML as the characters a reader shows: its bytes read in its charset; without one (or one that
// does not fit them), UTF-8 when they are, else Windows-1252, as mail programs read it.
std::string htmlText(const std::optional<std::string>& html, const std::string& charset)
{
    if (!html || html->empty()) return "(none)";
    const auto convert = [&](const char* from) -> std::optional<std::string> {
        gsize written = 0;
        GText text(
            g_convert(html->data(), static_cast<gssize>(html->size()), "UTF-8", from, nullptr, &written, nullptr));
        return text ? std::optional<std::string>(std::string(text.get(), written)) : std::nullopt;
    };
    if (!charset.empty())
        if (auto text = convert(g_mime_charset_iconv_name(charset.c_str()))) return *text;
    if (g_utf8_validate(html->data(), static_cast<gssize>(html->size()), nullptr)) return *html;
    return convert("CP1252").value_or("(bytes) " + *html);
}

bool isSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole)
{
    std::size_t k = 0;
    for (const auto& item : whole)
        if (k < part.size() && item == part[k]) ++k;
    return k == part.size();
}

void compareMessage(Tally& tally, Reader reader, const Place& at, const Seen& source, const Seen& read)
{
    const bool libpff = reader == Reader::Libpff;
    const bool readpst = reader == Reader::Readpst;
    const auto surrogates = [&](const std::optional<std::string>& text) {
        return Limit{"decodes UTF-16 surrogate pairs (characters above U+FFFF) 0x3FF too low",
                     libpff ? surrogatesAsLibpffReadsThem(text) : std::nullopt};
    };
    const Limit noCr{"deletes every CR from bodies: a line that ends in a lone CR runs into the next",
                     readpst ? withoutCr(source.body) : std::nullopt};
    tally.compare(reader, Field::Subject, at, source.subject, read.subject,
                  {surrogates(source.subject),
                   {"takes the subject from the header block, where raw 8-bit bytes in an encoded word are stored as "
                    "characters and decoded again",
                    readpst ? source.subjectInStoredHeaders : std::nullopt}});
    const bool asWritten = source.sender == kWrittenAsIs && read.sender && !read.sender->empty();
    tally.compare(reader, Field::Sender, at, source.sender, asWritten ? std::string(kWrittenAsIs) : read.sender,
                  {{"writes MAILER-DAEMON as the sender of a message without one",
                    readpst && source.sender == "" ? std::optional<std::string>("MAILER-DAEMON") : std::nullopt}});
    // Entries GMime reads no address from are kept as written: what it reads must come in order.
    // An entry of adjacent encoded words GMime does not decode leaves a piece of a word as its address.
    std::optional<std::vector<std::string>> readable = source.recipients;
    if (readable) std::erase_if(*readable, [](const std::string& r) { return r.ends_with("?="); });
    const bool moreThanGMime = readable && read.recipients && isSubsequence(*readable, *read.recipients);
    tally.compare(reader, Field::Recipients, at, joined(source.recipients), joined(read.recipients),
                  {{"(of the source) GMime reads no address from some entries, which are stored as written",
                    moreThanGMime ? joined(read.recipients) : std::nullopt}});
    tally.compare(reader, Field::Date, at, dateText(source.date ? source.date : source.received), dateText(read.date),
                  {{"takes the date from the stored header block, which has no Date",
                    readpst && !source.date ? std::optional<std::string>("(none)") : std::nullopt}});
    // No body is a value too (and an empty one is stored as none); only a source without a clear
    // plain body (HTML only, or text not valid in its charset) leaves nothing to compare with.
    const auto orAbsent
        = [](const std::optional<std::string>& body) { return body && !body->empty() ? *body : std::string("(none)"); };
    const auto sourceBody = source.body ? std::optional(orAbsent(source.body)) : std::nullopt;
    tally.compare(reader, Field::Body, at, sourceBody, orAbsent(read.body), {surrogates(sourceBody), noCr});
    const auto sourceHtml = htmlText(source.html, source.htmlCharset);
    const bool latin1 = g_ascii_strcasecmp(g_mime_charset_iconv_name(source.htmlCharset.c_str()), "iso-8859-1") == 0;
    tally.compare(reader, Field::Html, at, sourceHtml, htmlText(read.html, read.htmlCharset),
                  {{noCr.why, readpst ? withoutCr(sourceHtml) : std::nullopt},
                   {"reads ISO-8859-1 HTML as Windows-1252 (as web browsers do)",
                    readpst && latin1 ? std::optional(htmlText(source.html, "windows-1252")) : std::nullopt}});

    const auto names
        = [&](AttachmentView view) { return attachmentsText(source.attachments, Field::AttachmentNames, view); };
    const auto bytes
        = [&](AttachmentView view) { return attachmentsText(source.attachments, Field::AttachmentBytes, view); };
    constexpr std::string_view kDropsEmpty = "leaves out attachments without data";
    constexpr std::string_view kNoMessageName = "writes embedded messages without their file name (shown by subject)";
    constexpr std::string_view kBoth
        = "leaves out attachments without data, writes embedded messages without file name";
    const std::optional<std::string> none;
    constexpr std::string_view kSignedAsEntity
        = "writes the signed entity of a clear-signed message as a part of its own, not as an attachment";
    const auto noAttachment = readpst && source.messageClass == kClearSigned ? std::optional<std::string>("") : none;
    tally.compare(reader, Field::AttachmentNames, at, names({}),
                  attachmentsText(read.attachments, Field::AttachmentNames),
                  {surrogates(names({})),
                   {kDropsEmpty, readpst ? names({true, false, false}) : none},
                   {kNoMessageName, readpst ? names({false, true, false}) : none},
                   {kBoth, readpst ? names({true, true, false}) : none},
                   {kSignedAsEntity, noAttachment}});
    tally.compare(reader, Field::AttachmentBytes, at, bytes({}),
                  attachmentsText(read.attachments, Field::AttachmentBytes),
                  {{kDropsEmpty, readpst ? bytes({true, false, false}) : none}, {kSignedAsEntity, noAttachment}});
    // libpff cannot open an embedded message: only that there is one is compared.
    tally.compare(reader, Field::MessageClass, at, source.messageClass, libpff ? read.messageClass : std::nullopt);
    tally.compare(reader, Field::Embedded, at,
                  attachmentsText(source.attachments, Field::Embedded, {false, false, libpff}),
                  attachmentsText(read.attachments, Field::Embedded, {false, false, libpff}));
}

// ---------------------------------------------------------------------------------------------
// The test

// The single-message files as one mailbox. A line that begins with "From " in a message is
// quoted (">From "), as a mail client storing it would, so that every file stays one message.
fs::path singleMessageMailbox(const TempDir& dir, std::vector<std::string>& origins)
{
    std::vector<fs::path> files;
    // "a/*/b": the folder b in whichever folder of a has one.
    const auto resolve = [](std::string_view folder) {
        const auto star = folder.find("/*/");
        if (star == std::string_view::npos) return corpusRoot() / std::string(folder);
        const auto parent = corpusRoot() / std::string(folder.substr(0, star));
        const std::string rest(folder.substr(star + 3));
        for (const auto& e : fs::directory_iterator(parent))
            if (fs::is_directory(e.path() / rest)) return e.path() / rest;
        return parent / rest;
    };
    for (const auto& [folder, extension] : kMessageFolders)
        for (const auto& e : fs::directory_iterator(resolve(folder)))
            if (e.is_regular_file() && e.path().extension() == extension && e.file_size() <= kLargestSingleMessage)
                files.push_back(e.path());
    for (const auto file : kMessageFiles) files.push_back(corpusRoot() / std::string(file));
    std::sort(files.begin(), files.end());
    std::string mailbox;
    static const std::regex header(R"(^[A-Za-z0-9-]+:)");
    std::vector<fs::path> used;
    for (const auto& f : files) {
        std::string text = testing::readFile(f);
        if (text.starts_with("From ")) text.erase(0, std::min(text.size(), text.find('\n') + 1));
        // A separator must be followed by a header (a file that opens with a byte-order mark is not).
        if (!std::regex_search(text.substr(0, 80), header)) continue;
        used.push_back(f);
        for (std::size_t at = 0; (at = text.find("From ", at)) != std::string::npos; at += 6)
            if (at == 0 || text[at - 1] == '\n' || text[at - 1] == '\r') text.insert(at, ">");
        if (!text.ends_with('\n')) text += '\n';
        mailbox += "From corpus@quillmark.invalid Mon Jan  5 10:00:00 2026\n" + text + "\n";
    }
    for (const auto& f : used) origins.push_back(" (" + f.lexically_relative(corpusRoot()).generic_string() + ")");
    return dir.write("single-messages.mbox", mailbox);
}

// Per message of a mailbox, the date of its separator line ("From sender Sat Dec  5 10:00:00
// 2026", read as UTC), else the file's modification time: the date of a message without Date and
// Received. A separator line is followed by a header field.
std::vector<std::int64_t> separatorDates(const fs::path& mailbox)
{
    const std::string text = testing::readFile(mailbox);
    const auto modified = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::file_clock::to_sys(fs::last_write_time(mailbox)).time_since_epoch());
    std::vector<std::int64_t> out;
    for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        if (at == 0 && text.find('\n') == std::string::npos) break;
        const std::size_t eol = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, eol - at);
        const std::string next
            = text.substr(eol + 1, std::min<std::size_t>(200, text.size() - std::min(text.size(), eol + 1)));
        const auto colon = next.find(':');
        const bool header = colon != std::string::npos && colon > 0
            && std::all_of(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(colon),
                           [](char c) { return c > ' ' && c < 127; });
        if (line.starts_with("From ") && header) {
            std::tm tm{};
            std::istringstream in(line.substr(std::min(line.size(), line.find(' ', 5) + 1)));
            in >> std::get_time(&tm, "%a %b %d %H:%M:%S %Y");
            out.push_back(in.fail() ? modified.count() : static_cast<std::int64_t>(timegm(&tm)));
        }
        if (eol == text.size()) break;
    }
    return out;
}

// The readers leave some 45,000 small files. On a disk mounted with "discard", removing them
// took longer than the whole comparison: the work folder goes to tmpfs when there is one.
std::unique_ptr<TempDir> scratchDir()
{
    const char* before = std::getenv("TMPDIR");
    const std::string saved = before ? before : "";
    if (fs::is_directory("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 1);
    auto dir = std::make_unique<TempDir>();
    if (before)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    return dir;
}

struct Source {
    std::string name;  // PST folder name
    fs::path path;
    std::vector<Seen> messages;
    std::vector<std::string> origins;  // per message, when they come from different files
};

TEST(CorpusPst, ReadersSeeEveryMessageAsGMimeReadsTheSource)
{
    if (const std::string why = whyNotRunnable(); !why.empty()) GTEST_SKIP() << why;
    const auto started = std::chrono::steady_clock::now();
    g_mime_init();
    const auto scratch = scratchDir();
    const TempDir& dir = *scratch;

    std::vector<Source> sources;
    for (const auto m : kMailboxes) {
        const fs::path path = corpusRoot() / std::string(m);
        sources.push_back({platform::mailboxName(path.string()), path, {}, {}});
    }
    std::vector<std::string> origins;
    const fs::path singles = singleMessageMailbox(dir, origins);
    sources.push_back({"single-messages.mbox", singles, {}, origins});

    // Both targets from the same mailboxes: the EML files are the source messages as cut.
    for (const std::string target : {"pst", "eml"}) {
        std::vector<std::string> command{QUILLMARK_CLI, "--to", target, "--quiet", "-o", (dir / target).string()};
        for (const auto& s : sources) command.push_back(s.path.string());
        const auto r = runProgram(command);
        ASSERT_EQ(r.status, 0) << r.output.substr(0, 3000);
    }
    std::vector<fs::path> psts;
    for (const auto& e : fs::directory_iterator(dir / "pst"))
        if (e.path().extension() == ".pst") psts.push_back(e.path());
    ASSERT_EQ(psts.size(), 1u);
    const fs::path pst = psts[0];

    // Sound by our verifier and by the independent checker.
    {
        const auto ours = runProgram({QUILLMARK_CLI, "verify-pst", pst.string()});
        EXPECT_EQ(ours.status, 0) << ours.output.substr(0, 3000);
        const fs::path checker = fs::path(QUILLMARK_CORPUS_DIR) / "../tools/pstcheck.py";
        if (fs::exists(checker)) {
            const auto theirs = runProgram({"/usr/bin/python3", checker.string(), pst.string(), "--outlook"});
            EXPECT_EQ(theirs.status, 0) << theirs.output.substr(0, 3000);
        } else {
            std::cout << "  pstcheck.py not found beside the corpus; not run\n";
        }
    }

    std::size_t total = 0;
    for (auto& s : sources) {
        const auto fromSeparators = separatorDates(s.path);
        const fs::path folder
            = platform::toPath(platform::mailboxOutputFolder((dir / "eml").string(), s.path.string()));
        for (std::size_t j = 0;; ++j) {
            const fs::path eml = folder / ("Email-" + std::to_string(j) + ".eml");
            if (!fs::exists(eml)) break;
            s.messages.push_back(seenByGMime(testing::readFile(eml)).value_or(Seen{}));
            if (!s.messages.back().received && j < fromSeparators.size())
                s.messages.back().received = fromSeparators[j];
        }
        if (fromSeparators.size() != s.messages.size()) ADD_FAILURE() << "separator lines of " << s.path;
        total += s.messages.size();
    }
    EXPECT_EQ(sources.front().messages.size(), kBigMailboxMessages);
    EXPECT_EQ(sources.back().messages.size(), origins.size()) << "the single-message mailbox split differently";

    std::map<std::string, std::size_t> pypffCounts;
    Folders libpff = readWithPypff(pst, pypffCounts);
    addRecipientsByPffexport(pst, dir.path(), libpff);
    Folders readpst = readWithReadpst(pst, dir.path());

    // Folders and counts, complete: a folder per mailbox at its place below the top of the store,
    // the folders that lead there empty, and Outlook's Deleted Items.
    const std::string top = "/Top of Personal Folders/";
    std::map<std::string, std::size_t> expectedCounts{{top + "Deleted Items", 0}};
    std::vector<std::string> rows;
    for (const auto& s : sources) rows.push_back(s.path.string());
    const auto places = pstFolderPaths(rows, {});
    for (std::size_t i = 0; i < sources.size(); ++i) {
        std::string path = top;
        for (const auto& level : places[i]) {
            path += level;
            expectedCounts.emplace(path, 0);
            path += "/";
        }
        expectedCounts[path.substr(0, path.size() - 1)] = sources[i].messages.size();
    }
    std::map<std::string, std::size_t> below;
    for (const auto& [path, n] : pypffCounts)
        if (path.starts_with(top)) below[path] = n;
    EXPECT_EQ(below, expectedCounts) << "libpff's folders and message counts";
    for (const auto& s : sources) {
        const auto it = readpst.find(s.name);
        EXPECT_EQ(it == readpst.end() ? 0 : it->second.size(), s.messages.size()) << "readpst: folder " << s.name;
    }

    Tally tally;
    for (const auto& s : sources) {
        for (const auto& [reader, folders] :
             {std::pair{Reader::Libpff, &libpff}, std::pair{Reader::Readpst, &readpst}}) {
            const auto it = folders->find(s.name);
            if (it == folders->end()) continue;
            for (std::size_t k = 0; k < std::min(it->second.size(), s.messages.size()); ++k)
                compareMessage(tally, reader, {s.name, k, k < s.origins.size() ? s.origins[k] : ""}, s.messages[k],
                               it->second[k]);
        }
    }
    tally.print();
    std::size_t unclear = 0;
    for (const auto& s : sources)
        unclear += static_cast<std::size_t>(
            std::count_if(s.messages.begin(), s.messages.end(), [](const Seen& m) { return m.bodyUnclear; }));
    std::cout << "  plain bodies not valid in their declared charset (not compared): " << unclear << "\n";
    EXPECT_FALSE(tally.anyDisagreement()) << "disagreements beyond the first ones shown; see the table";
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    std::cout << "  " << sources.size() << " mailboxes, " << total << " messages, " << seconds.count() << " s\n";
}

}  // namespace
}  // namespace quillmark
