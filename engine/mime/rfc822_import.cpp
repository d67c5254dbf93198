#include "engine/mime/rfc822_import.h"

#include "engine/mime/code_pages.h"
#include "engine/mime/gmime_support.h"
#include "engine/mime/header_text.h"
#include "engine/mime/import_parts.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cctype>
#include <cstring>
#include <functional>

namespace quillmark {

ImportedMessage::ImportedMessage() = default;
ImportedMessage::~ImportedMessage() = default;
ImportedMessage::ImportedMessage(ImportedMessage&&) noexcept = default;
ImportedMessage& ImportedMessage::operator=(ImportedMessage&&) noexcept = default;

bool ImportedMessage::hasVisibleAttachments() const noexcept
{
    return std::any_of(attachments.begin(), attachments.end(), [](const auto& a) { return !a.inlineInHtml; });
}

std::string ImportedMessage::displayList(RecipientKind kind) const
{
    std::string out;
    for (const auto& r : recipients) {
        if (r.kind != kind) continue;
        if (!out.empty()) out += "; ";
        out += r.who.displayName();
    }
    return out;
}

namespace {

using namespace gmime;
using namespace importing;

// Every field of that name as it was written (several joined as one list), for fields whose
// value GMime may read wrongly.
std::string rawFields(GMimeObject* object, const char* name)
{
    GMimeHeaderList* headers = g_mime_object_get_header_list(object);
    std::string out;
    for (int i = 0, n = headers ? g_mime_header_list_get_count(headers) : 0; i < n; ++i) {
        GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
        const char* raw = g_mime_header_get_raw_value(header);
        if (!raw || g_ascii_strcasecmp(g_mime_header_get_name(header), name) != 0) continue;
        if (!out.empty()) out += ",";
        out += raw;
    }
    return out;
}

// The fields the import reads through GMime. Real mail carries dozens of others (relays,
// signatures, filters, mailing lists), each of which GMime would turn into an object, decode and
// free again: about a third of the import's time. The transport headers keep them all, from the
// raw text.
bool readThroughGMime(std::string_view name)
{
    static constexpr std::array<std::string_view, 7> kNames{"from", "sender", "reply-to", "to", "cc", "bcc", "subject"};
    if (name.size() > 8 && isNamed(name.substr(0, 8), "content-")) return true;
    return std::any_of(kNames.begin(), kNames.end(), [&](std::string_view n) { return isNamed(name, n); });
}

// The message as GMime is given it: the header block `head` (which `text` starts with) without
// the fields it need not read, then the rest unchanged. When the block has lines that start no
// proper field, it goes as it is, so that GMime reads (and reports) it whole.
OwnedBytes forGMime(std::string_view text, std::string_view head, const PlainFields& plain)
{
    OwnedBytes out(g_byte_array_sized_new(static_cast<guint>(text.size())));
    const auto add = [&](std::string_view bytes) {
        g_byte_array_append(out.get(), reinterpret_cast<const guint8*>(bytes.data()), static_cast<guint>(bytes.size()));
    };
    // Adjacent encoded words as one, so that GMime decodes them whole (see header_text.h).
    if (!plain.usable()) {
        add(rejoinEncodedWords(head));
        add(text.substr(head.size()));
        return out;
    }
    std::string fields;
    forEachHeaderLine(head, [&](std::string_view name, std::string_view line) {
        if (readThroughGMime(name)) fields += line;
    });
    add(rejoinEncodedWords(fields));
    add(text.substr(head.size()));
    return out;
}

void readHeaders(GMimeMessage* message, const PlainFields& plain, Reading reading, ImportedMessage& m)
{
    GMimeObject* object = asObject(message);
    const FieldLookup field = [&](std::string_view name) -> std::optional<std::string> {
        if (plain.usable()) return plain.first(name);
        if (const char* v = g_mime_object_get_header(object, std::string(name).c_str())) return v;
        return std::nullopt;
    };
    if (const char* subject = g_mime_message_get_subject(message)) m.subject = subject;
    readPeople([&](const char* name) { return rawFields(object, name); }, reading, m);
    if (plain.usable()) {
        readDateAndId(plain, m);
    } else {
        m.submitTime = toSysSeconds(g_mime_message_get_date(message));
        if (const char* id = g_mime_message_get_message_id(message)) m.messageId = std::string("<") + id + ">";
    }
    readPlainFields(plain, field, m);
}

// Walks the MIME tree: the first plain and HTML parts that are not attachments become the
// bodies, every other leaf an attachment, message/rfc822 parts embedded messages.
class PartWalker {
public:
    PartWalker(ImportedMessage& m, int depth, Reading reading) : m_message(m), m_depth(depth), m_reading(reading) {}

    // The HTML body as UTF-8 text (bodyHtml keeps the bytes in the part's own charset).
    std::optional<std::string> htmlText() const
    {
        if (!m_htmlPart) return std::nullopt;
        return textOf(reinterpret_cast<GMimeTextPart*>(m_htmlPart));
    }

    void walk(GMimeObject* object)
    {
        if (!object) return;
        if (isA(object, GMIME_TYPE_MULTIPART)) {
            auto* multipart = reinterpret_cast<GMimeMultipart*>(object);
            for (int i = 0, n = g_mime_multipart_get_count(multipart); i < n; ++i)
                walk(g_mime_multipart_get_part(multipart, i));
        } else if (isA(object, GMIME_TYPE_MESSAGE_PART)) {
            embed(reinterpret_cast<GMimeMessagePart*>(object));
        } else if (isA(object, GMIME_TYPE_PART)) {
            leaf(reinterpret_cast<GMimePart*>(object));
        }
    }

private:
    void leaf(GMimePart* part)
    {
        GMimeObject* object = reinterpret_cast<GMimeObject*>(part);
        const std::string type = mimeTypeOf(object);
        const std::optional<std::string> fileName = fileNameOf(object);
        const bool attachment = g_mime_part_is_attachment(part) || fileName;
        if (!attachment && type == "text/plain" && !m_message.bodyText) {
            m_message.bodyText = textOf(reinterpret_cast<GMimeTextPart*>(part));
            return;
        }
        if (!attachment && type == "text/html" && !m_message.bodyHtml) {
            StoredHtml html
                = htmlForStore(decodedContent(part), g_mime_object_get_content_type_parameter(object, "charset"));
            m_message.bodyHtml = std::move(html.bytes);
            m_message.htmlCodePage = html.codePage;
            m_htmlPart = part;
            return;
        }
        ImportedAttachment a;
        a.fileName = fileName.value_or("");
        a.mimeType = type;
        if (const char* id = g_mime_part_get_content_id(part)) a.contentId = stripAngles(id);
        if (const char* loc = g_mime_part_get_content_location(part)) a.contentLocation = loc;
        a.data = decodedContent(part);
        m_message.attachments.push_back(std::move(a));
    }

    void embed(GMimeMessagePart* part)
    {
        ImportedAttachment a;
        a.mimeType = "message/rfc822";
        GMimeMessage* inner = g_mime_message_part_get_message(part);
        // The name the part gives, as for any attachment; else (below) the message's subject.
        a.fileName = fileNameOf(reinterpret_cast<GMimeObject*>(part)).value_or("");
        if (inner) {
            a.data = objectText(asObject(inner));
            if (m_depth < kMaxNesting) {
                a.embedded = std::make_unique<ImportedMessage>(importRfc822(a.data, m_reading));
                if (a.fileName.empty()) a.fileName = a.embedded->subject;
            }
        }
        m_message.attachments.push_back(std::move(a));
    }

    static constexpr int kMaxNesting = 16;
    ImportedMessage& m_message;
    int m_depth;
    Reading m_reading;
    GMimePart* m_htmlPart = nullptr;
};

constexpr std::string_view kClearSigned = "IPM.Note.SMIME.MultipartSigned";

// S/MIME is what a mail store files as secure mail; PGP/MIME (signed or encrypted) is plain mail
// with its parts kept as they are.
std::string secureClass(GMimeObject* top)
{
    const std::string type = mimeTypeOf(top);
    if (type == "multipart/signed") {
        const char* protocol = g_mime_object_get_content_type_parameter(top, "protocol");
        const std::string p = lower(protocol ? protocol : "");
        if (p == "application/pkcs7-signature" || p == "application/x-pkcs7-signature")
            return std::string(kClearSigned);
    }
    if (type == "application/pkcs7-mime" || type == "application/x-pkcs7-mime") return "IPM.Note.SMIME";
    return "IPM.Note";
}

// A clear-signed message is stored with exactly one attachment: the multipart/signed entity
// byte for byte (its Content-* fields and its body, as signed), from which the signature can be
// checked and the signed parts shown.
ImportedAttachment signedEntity(std::string_view text, std::string_view head)
{
    ImportedAttachment a;
    a.fileName = "SMIME.txt";
    a.mimeType = "multipart/signed";
    forEachHeaderLine(head, [&](std::string_view name, std::string_view line) {
        if (name.size() > 8 && isNamed(name.substr(0, 8), "content-")) a.data += line;
    });
    a.data += "\r\n";
    a.data += bodyAfterHeaders(text);
    return a;
}

// What can be read without GMime's help: the raw header block and the raw text as the body.
void importRaw(std::string_view text, ImportedMessage& m)
{
    m.transportHeaders = std::string(headerBlock(text));
    m.bodyText = std::string(bodyAfterHeaders(text));
    ParsedHeaders raw(m.transportHeaders);
    if (auto subject = raw.decoded("Subject")) m.subject = *subject;
}

}  // namespace

std::pair<std::string, std::string> splitSubjectPrefix(std::string_view subject)
{
    // A prefix is one to three letters and ": " at the very start ("RE: ", "FW: ", "AW: ",
    // "Fwd: "), as mail stores file it; anything longer is part of the subject.
    std::size_t i = 0;
    while (i < subject.size() && i < 4 && std::isalpha(static_cast<unsigned char>(subject[i]))) ++i;
    if (i >= 1 && i <= 3 && subject.substr(i, 2) == ": ")
        return {std::string(subject.substr(0, i + 2)), std::string(subject.substr(i + 2))};
    return {std::string(), std::string(subject)};
}

std::string textFromHtml(std::string_view html)
{
    std::string out;
    out.reserve(html.size() / 2);
    bool inTag = false;
    bool inSkipped = false;  // <style> and <script> bodies are not text
    for (std::size_t i = 0; i < html.size(); ++i) {
        if (!inTag && !inSkipped) {
            // Plain text up to the next character that means something: copied as a whole.
            static constexpr auto kMeaningful = [] {
                std::array<bool, 256> table{};
                for (const char m : std::string_view("<&\r\n")) table[static_cast<unsigned char>(m)] = true;
                return table;
            }();
            std::size_t end = i;
            while (end < html.size() && !kMeaningful[static_cast<unsigned char>(html[end])]) ++end;
            out.append(html.substr(i, end - i));
            i = end;
            if (i == html.size()) break;
        } else if (!inTag) {
            const auto open = html.find('<', i);  // skipped text ends only at a tag
            if (open == std::string_view::npos) break;
            i = open;
        } else {
            // Within a tag only these count (a loop: find_first_of would call memchr per character).
            while (i < html.size() && html[i] != '<' && html[i] != '>') ++i;
            if (i == html.size()) break;
        }
        const char c = html[i];
        if (c == '<') {
            inTag = true;
            const std::string_view ahead = html.substr(i + 1, 7);
            const auto is = [&](std::string_view tag) {
                return ahead.size() >= tag.size() && isNamed(ahead.substr(0, tag.size()), tag);
            };
            // Every name asked for begins with one of these; most tags are none of them.
            const char first = ahead.empty() ? '\0' : static_cast<char>(ahead[0] | 0x20);
            if (first != 's' && first != '/' && first != 'b' && first != 'p' && first != 'd' && first != 't'
                && first != 'l')
                continue;
            if (is("style") || is("script")) inSkipped = true;
            if (is("/style") || is("/script")) inSkipped = false;
            if (is("br") || is("p") || is("/p") || is("div") || is("/div") || is("tr") || is("li")) out += "\r\n";
            continue;
        }
        if (c == '>' && inTag) {
            inTag = false;
            continue;
        }
        if (inTag || inSkipped) continue;
        if (c == '&') {
            static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kEntities{
                {{"&nbsp;", " "}, {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}}};
            bool matched = false;
            for (const auto& [entity, text] : kEntities)
                if (html.substr(i, entity.size()) == entity) {
                    out += text;
                    i += entity.size() - 1;
                    matched = true;
                    break;
                }
            if (matched) continue;
        }
        if (c == '\r' || c == '\n') {
            if (!out.empty() && out.back() != ' ' && out.back() != '\n') out += ' ';
            continue;
        }
        out += c;
    }
    return trimmed(out);
}

ImportedMessage importRfc822(std::string_view text, Reading reading)
{
    ensureInitialised();  // its charset tables, which the quick reading uses too
    ImportedMessage m;
    const std::string_view head = headerBlock(text);
    const PlainFields plain(head);
    if (reading == Reading::Quick && importQuick(text, head, plain, m)) return m;
    ParseOutcome parsed = parseMessage(forGMime(text, head, plain));
    m.notes = std::move(parsed.notes);
    if (!parsed.message) {
        m.degraded = true;
        m.notes.push_back("the MIME structure could not be read; imported as plain text");
        importRaw(text, m);
        toStoreText(m, false);
        return m;
    }
    m.degraded = parsed.critical;
    GMimeMessage* message = parsed.message.get();
    m.transportHeaders = std::string(head);
    readHeaders(message, plain, reading, m);
    GMimeObject* top = g_mime_message_get_mime_part(message);
    m.messageClass = secureClass(top);
    PartWalker walker(m, 0, reading);
    if (m.messageClass == kClearSigned && isA(top, GMIME_TYPE_MULTIPART)) {
        // The bodies come from the signed content; its parts stay inside the entity.
        walker.walk(g_mime_multipart_get_part(reinterpret_cast<GMimeMultipart*>(top), 0));
        m.attachments.clear();
        m.attachments.push_back(signedEntity(text, head));
    } else {
        walker.walk(top);
    }
    markInlineParts(m);
    if (!m.bodyText && m.bodyHtml) {
        const auto html = walker.htmlText();
        m.bodyText = textFromHtml(html ? *html : storeText(std::string_view(*m.bodyHtml)));
    }
    // The body came from textOf() (store text), or from store text with the tags taken out.
    toStoreText(m, true);
    return m;
}

}  // namespace quillmark
