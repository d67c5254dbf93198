#include "engine/mime/rfc822_import.h"

#include "engine/mime/code_pages.h"
#include "engine/mime/gmime_support.h"
#include "engine/mime/header_text.h"

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

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string trimmed(std::string_view s)
{
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    return std::string(s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1));
}

std::string stripAngles(std::string_view id)
{
    std::string s = trimmed(id);
    if (s.size() >= 2 && s.front() == '<' && s.back() == '>') s = s.substr(1, s.size() - 2);
    return s;
}

// The header block as it stands in the message: everything before the first empty line.
std::string_view headerBlock(std::string_view text)
{
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) return text;
        const std::size_t lineEnd = (eol > pos && text[eol - 1] == '\r') ? eol - 1 : eol;
        if (lineEnd == pos) return text.substr(0, pos);
        pos = eol + 1;
    }
    return text;
}

std::string_view bodyAfterHeaders(std::string_view text)
{
    const auto head = headerBlock(text);
    std::string_view rest = text.substr(head.size());
    if (rest.starts_with("\r\n"))
        rest.remove_prefix(2);
    else if (rest.starts_with("\n"))
        rest.remove_prefix(1);
    return rest;
}

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

// Every field of a name as it was written, several joined as one list ("" when there is none).
using RawFields = std::function<std::string(const char* name)>;

void addAddresses(const RawFields& raw, const char* field, RecipientKind kind, Reading reading,
                  std::vector<Recipient>& out)
{
    for (auto& a : readAddressField(raw(field), reading)) out.push_back({kind, std::move(a)});
}

MailAddress firstMailbox(const RawFields& raw, const char* field, Reading reading)
{
    auto all = readAddressField(raw(field), reading);
    return all.empty() ? MailAddress{} : std::move(all.front());
}

// A header field's value as GMime gives it (unfolded, RFC 2047 words decoded), or none.
using FieldLookup = std::function<std::optional<std::string>(std::string_view name)>;

int importanceOf(const FieldLookup& field)
{
    if (const auto imp = field("importance")) {
        const std::string v = lower(trimmed(*imp));
        if (v == "high") return 2;
        if (v == "low") return 0;
        return 1;
    }
    if (const auto prio = field("x-priority")) {
        const std::string v = trimmed(*prio);
        if (!v.empty() && (v[0] == '1' || v[0] == '2')) return 2;
        if (!v.empty() && (v[0] == '4' || v[0] == '5')) return 0;
    }
    return 1;
}

int priorityOf(const FieldLookup& field)
{
    const auto p = field("priority");
    if (!p) return 0;
    const std::string v = lower(trimmed(*p));
    if (v == "urgent") return 1;
    if (v == "non-urgent") return -1;
    return 0;
}

int sensitivityOf(const FieldLookup& field)
{
    const auto s = field("sensitivity");
    if (!s) return 0;
    const std::string v = lower(trimmed(*s));
    if (v == "personal") return 1;
    if (v == "private") return 2;
    if (v == "company-confidential") return 3;
    return 0;
}

// Whether `name` is `lowerName` in any case, without making a lower-case copy.
bool isNamed(std::string_view name, std::string_view lowerName)
{
    return name.size() == lowerName.size()
        && std::equal(name.begin(), name.end(), lowerName.begin(),
                      [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
}

// Calls fn(name, line) for every line of the header block, with the name of the field the line
// belongs to (continuation lines included); the name is empty for a line that starts no field
// GMime would take as one (no colon, or a name of other than printable ASCII).
template <class Fn>
void forEachHeaderLine(std::string_view head, Fn fn)
{
    std::string_view name;
    for (std::size_t pos = 0; pos < head.size();) {
        const std::size_t eol = head.find('\n', pos);
        const std::size_t next = eol == std::string_view::npos ? head.size() : eol + 1;
        const std::string_view line = head.substr(pos, next - pos);
        pos = next;
        if (line[0] != ' ' && line[0] != '\t') {
            const auto colon = line.find(':');
            name = colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
            if (!std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 127; })) name = {};
        }
        fn(name, line);
    }
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

// Fields with a plain value the import reads from the raw header block, with GMime's own string
// functions, so that GMime need not make an object of each: as GMime gives them, unfolded and
// RFC 2047 words decoded. That is only done when every line of the block is a proper field (the
// usual case): otherwise GMime reads the block as it is, and these fields from it.
class PlainFields {
public:
    // clang-format off
    static constexpr std::array<std::string_view, 23> kNames{
        "date", "message-id", "in-reply-to", "references", "importance", "x-priority", "priority",
        "sensitivity", "received", "thread-topic", "thread-index", "subject", "from", "sender",
        "reply-to", "to", "cc", "bcc", "content-type", "content-transfer-encoding",
        "content-disposition", "content-id", "content-location"};
    // clang-format on

    explicit PlainFields(std::string_view head)
    {
        forEachHeaderLine(head, [&](std::string_view name, std::string_view line) {
            if (name.empty()) m_proper = false;
            if (line[0] != ' ' && line[0] != '\t') {
                m_current = nullptr;
                if (const auto i = indexOf(name)) {
                    m_current = &m_values[*i].emplace_back(line.substr(name.size() + 1));
                    return;
                }
            }
            // A continuation line: the value (a view into the block) reaches to its end.
            if (m_current)
                *m_current = std::string_view(m_current->data(),
                                              static_cast<std::size_t>(line.data() + line.size() - m_current->data()));
        });
    }

    bool usable() const noexcept { return m_proper; }

    // Which of kNames a field name is, in any case: asked of every line of every header block.
    static std::optional<std::size_t> indexOf(std::string_view name) noexcept
    {
        constexpr std::size_t kLongest = 25;  // content-transfer-encoding
        if (name.empty() || name.size() > kLongest) return std::nullopt;
        char lowered[kLongest];
        for (std::size_t i = 0; i < name.size(); ++i)
            lowered[i] = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
        const std::string_view key(lowered, name.size());
        for (std::size_t i = 0; i < kNames.size(); ++i)
            if (kNames[i] == key) return i;
        return std::nullopt;
    }

    std::optional<std::string> first(std::string_view name) const { return value(name, true); }
    std::optional<std::string> last(std::string_view name) const { return value(name, false); }
    // Every field of that name as it stands after its colon, line ends included.
    const std::vector<std::string_view>& raw(std::string_view name) const
    {
        const auto i = static_cast<std::size_t>(std::find(kNames.begin(), kNames.end(), name) - kNames.begin());
        assert(i < kNames.size() && "only the names in kNames are kept");
        return m_values[i];
    }

private:
    std::optional<std::string> value(std::string_view name, bool first) const
    {
        const auto& all = raw(name);
        if (all.empty()) return std::nullopt;
        const std::string_view raw = first ? all.front() : all.back();
        return decodeHeaderText(raw);
    }

    bool m_proper = true;
    // Views into the header block, which outlives this.
    std::array<std::vector<std::string_view>, kNames.size()> m_values;
    std::string_view* m_current = nullptr;
};

// Delivery time: the date of the newest Received field (GMime is not given them, see forGMime()).
std::optional<std::chrono::sys_seconds> newestReceived(const PlainFields& fields)
{
    std::optional<std::chrono::sys_seconds> newest;
    for (const std::string_view raw : fields.raw("received")) {
        // The date follows the last ';'. Only it is unfolded: line ends out, lines joined.
        const auto semi = raw.rfind(';');
        if (semi == std::string_view::npos) continue;
        const std::string_view folded = raw.substr(semi + 1);
        std::string value;
        for (std::size_t pos = 0; pos < folded.size();) {
            const std::size_t eol = std::min(folded.find('\n', pos), folded.size());
            std::string_view line = folded.substr(pos, eol - pos);
            while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            value += line;
            pos = eol + 1;
        }
        if (auto t = decodeDate(value.c_str()); t && (!newest || *t > *newest)) newest = t;
    }
    return newest;
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

// The fields read from the raw header block: dates, identifiers, thread and importance.
void readPlainFields(const PlainFields& plain, const FieldLookup& field, ImportedMessage& m)
{
    m.deliveryTime = newestReceived(plain);
    if (!m.deliveryTime) m.deliveryTime = m.submitTime;
    if (!m.submitTime) m.submitTime = m.deliveryTime;
    if (const auto v = field("in-reply-to")) m.inReplyTo = trimmed(*v);
    if (const auto v = field("references")) m.references = trimmed(*v);
    if (const auto v = field("thread-topic")) m.threadTopic = trimmed(*v);
    if (const auto v = field("thread-index")) m.threadIndex = trimmed(*v);
    m.importance = importanceOf(field);
    m.priority = priorityOf(field);
    m.sensitivity = sensitivityOf(field);
}

// The names in lower case, as PlainFields keeps them (GMime compares without case).
void readPeople(const RawFields& raw, Reading reading, ImportedMessage& m)
{
    m.from = firstMailbox(raw, "from", reading);
    m.sender = firstMailbox(raw, "sender", reading);
    if (m.sender.address.empty()) m.sender = m.from;
    m.replyTo = readAddressField(raw("reply-to"), reading);
    addAddresses(raw, "to", RecipientKind::To, reading, m.recipients);
    addAddresses(raw, "cc", RecipientKind::Cc, reading, m.recipients);
    addAddresses(raw, "bcc", RecipientKind::Bcc, reading, m.recipients);
}

// GMime keeps the last Date and Message-ID of a message that has several.
void readDateAndId(const PlainFields& plain, ImportedMessage& m)
{
    if (const auto date = plain.last("date")) m.submitTime = decodeDate(date->c_str());
    if (const auto id = plain.last("message-id"))
        if (char* decoded = g_mime_utils_decode_message_id(id->c_str())) {
            m.messageId = std::string("<") + decoded + ">";
            g_free(decoded);
        }
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

// Attachments the HTML body shows in place (cid: or location references) are inline images,
// not attachments a reader would see in the list.
void markInlineParts(ImportedMessage& m)
{
    const bool referable = std::any_of(m.attachments.begin(), m.attachments.end(), [](const auto& a) {
        return !a.contentId.empty() || !a.contentLocation.empty();
    });
    if (!m.bodyHtml || !referable) return;
    const std::string html = lower(*m.bodyHtml);
    for (auto& a : m.attachments) {
        const bool byId = !a.contentId.empty() && html.find("cid:" + lower(a.contentId)) != std::string::npos;
        const bool byLocation = !a.contentLocation.empty() && html.find(lower(a.contentLocation)) != std::string::npos;
        a.inlineInHtml = byId || byLocation;
    }
}

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

// The header block line by line: one header in a stray charset must not change how the
// others are read. A NUL becomes U+FFFD rather than nothing: "Subject\0: x" is no Subject
// field and must not turn into one.
std::string headerStoreText(std::string&& block)
{
    if (isStoreText(block)) return std::move(block);
    const std::string_view all(block);
    std::string out;
    out.reserve(all.size());
    for (std::size_t pos = 0; pos < all.size();) {
        const std::size_t eol = std::min(all.find('\n', pos), all.size() - 1);
        const std::string_view line = all.substr(pos, eol + 1 - pos);
        for (std::size_t from = 0;;) {
            const std::size_t nul = line.find('\0', from);
            out += storeText(line.substr(from, nul - from));
            if (nul == std::string_view::npos) break;
            out += "\xEF\xBF\xBD";
            from = nul + 1;
        }
        pos = eol + 1;
    }
    return out;
}

// Every text field as a mail store can keep it (storeText): what GMime gives can hold NUL
// bytes, and file names or bodies in a wrong charset bytes that are not UTF-8.
void toStoreText(ImportedMessage& m, bool bodyIsStoreText)
{
    const auto fix = [](std::string& s) { s = storeText(std::move(s)); };
    fix(m.subject);
    std::tie(m.subjectPrefix, m.normalizedSubject) = splitSubjectPrefix(m.subject);
    for (MailAddress* a : {&m.from, &m.sender}) {
        fix(a->name);
        fix(a->address);
    }
    for (auto& r : m.recipients) {
        fix(r.who.name);
        fix(r.who.address);
    }
    for (auto& a : m.replyTo) {
        fix(a.name);
        fix(a.address);
    }
    fix(m.messageId);
    fix(m.inReplyTo);
    fix(m.references);
    fix(m.threadTopic);
    fix(m.threadIndex);
    m.transportHeaders = headerStoreText(std::move(m.transportHeaders));
    if (m.bodyText && !bodyIsStoreText) fix(*m.bodyText);
    for (auto& a : m.attachments) {
        fix(a.fileName);
        fix(a.mimeType);
        fix(a.contentId);
        fix(a.contentLocation);
    }
}

// ---- Messages of plain MIME structure, read without GMime's parser ----------------------------
//
// Most mail is one text part, or a few parts in a multipart: text and HTML, a file attached.
// GMime makes objects of every message (message, parts, content types, headers, streams) behind
// shared locks, and freeing them costs as much again: most of the import. A message whose
// structure and fields all have plain forms is read here with GMime's own decoders instead, to
// the same result: parts, bodies and attachments exactly where GMime's parser puts them. Anything
// else (parameters in RFC 2231 or encoded form, comments, repeated fields, attached or signed
// messages, uuencode, a boundary out of place, a damaged header block) goes through its parser.

bool isTokenChar(char c) noexcept { return c > ' ' && c < 127 && !std::strchr("()<>@,;:\\\"/[]?=", c); }

// A structured field "value *(; name=value)" (Content-Type, Content-Disposition): its value in
// lower case and its parameters, names in lower case. Only tokens and quoted strings of plain
// ASCII without escapes, no parameter twice, no RFC 2231 or encoded-word forms, no comments.
struct PlainField {
    std::string value;
    std::vector<std::pair<std::string, std::string>> parameters;

    const std::string* parameter(std::string_view name) const
    {
        for (const auto& [n, v] : parameters)
            if (n == name) return &v;
        return nullptr;
    }
};

std::optional<PlainField> plainField(std::string_view raw, bool typeAndSubtype)
{
    const std::string value = unfoldField(raw);
    PlainField out;
    std::size_t i = 0;
    const auto blanks = [&] {
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    };
    const auto token = [&] {
        const std::size_t from = i;
        while (i < value.size() && isTokenChar(value[i])) ++i;
        return lower(std::string_view(value).substr(from, i - from));
    };
    out.value = token();
    if (out.value.empty()) return std::nullopt;
    if (typeAndSubtype) {
        if (i >= value.size() || value[i++] != '/') return std::nullopt;
        const std::string subtype = token();
        if (subtype.empty()) return std::nullopt;
        out.value += "/" + subtype;
    }
    for (;;) {
        blanks();
        if (i == value.size()) return out;
        if (value[i++] != ';') return std::nullopt;
        blanks();
        if (i == value.size()) return out;
        std::string name = token();
        if (name.empty() || name.find('*') != std::string::npos || i == value.size() || value[i++] != '=')
            return std::nullopt;
        std::string parameter;
        if (i < value.size() && value[i] == '"') {
            const auto close = value.find('"', i + 1);
            if (close == std::string::npos) return std::nullopt;
            parameter = value.substr(i + 1, close - i - 1);
            i = close + 1;
            const bool plain = std::all_of(parameter.begin(), parameter.end(),
                                           [](char c) { return c >= ' ' && c < 127 && c != '\\'; });
            if (!plain) return std::nullopt;
        } else {
            const std::size_t from = i;
            while (i < value.size() && isTokenChar(value[i])) ++i;
            parameter = value.substr(from, i - from);
        }
        if (parameter.empty() || parameter.find("=?") != std::string::npos || out.parameter(name)) return std::nullopt;
        out.parameters.emplace_back(std::move(name), std::move(parameter));
    }
}

std::optional<GMimeContentEncoding> plainEncoding(const std::vector<std::string_view>& fields)
{
    if (fields.empty()) return GMIME_CONTENT_ENCODING_DEFAULT;
    const std::string v = lower(trimmed(fields.front()));
    if (v == "7bit" || v == "8bit" || v == "7-bit" || v == "8-bit" || v == "binary")
        return GMIME_CONTENT_ENCODING_DEFAULT;
    if (v == "base64") return GMIME_CONTENT_ENCODING_BASE64;
    if (v == "quoted-printable") return GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
    return std::nullopt;
}

// One line of text from `pos`: without its line end (and one CR before it, as GMime tests
// boundaries), where the next begins, and whether it had a line end at all.
struct Line {
    std::string_view text;
    std::size_t next;
    bool ended;
};

Line lineAt(std::string_view text, std::size_t pos)
{
    const std::size_t eol = text.find('\n', pos);
    const bool ended = eol != std::string_view::npos;
    std::string_view line = text.substr(pos, (ended ? eol : text.size()) - pos);
    if (line.ends_with('\r')) line.remove_suffix(1);
    return {line, ended ? eol + 1 : text.size(), ended};
}

class QuickReader {
public:
    QuickReader(std::string_view text, ImportedMessage& m) : m_text(text), m_message(m) {}

    // Reads the body that begins at `pos`, described by the message's header fields.
    bool readBody(const PlainFields& fields, std::size_t pos)
    {
        const auto type = typeOf(fields);
        if (!type) return false;
        if (type->value.starts_with("multipart/")) {
            const auto end = readMultipart(*type, pos);
            if (!end || end->at != m_text.size()) return false;
        } else if (type->value != "text/plain" && type->value != "text/html") {
            return false;  // a message of another type may be secure mail, which has a class of its own
        } else if (!leaf(fields, *type, m_text.substr(pos))) {
            return false;
        }
        if (!m_message.bodyText && m_message.bodyHtml) {
            auto text = textInCharset(m_htmlDecoded, m_htmlCharset ? m_htmlCharset->c_str() : nullptr);
            if (!text) return false;
            m_message.bodyText = textFromHtml(*text);
        }
        return true;
    }

private:
    // Where a scan for a boundary line stopped: the line's start (or the end of the text), what
    // it marks and whose boundary it is (0 the outermost).
    enum class Mark { None, Next, End };
    struct Stop {
        std::size_t at = 0;
        Mark mark = Mark::None;
        std::size_t level = 0;
    };

    static constexpr std::size_t kMaxDepth = 8;

    // GMime's boundary test: "--" and a boundary, "--" after it for the last one, then blanks
    // only; the innermost boundary first.
    Stop classify(std::string_view line, std::size_t at) const
    {
        if (!line.starts_with("--")) return {at};
        const auto blank
            = [](std::string_view rest) { return rest.find_first_not_of(" \t\r\n") == std::string_view::npos; };
        for (std::size_t level = m_bounds.size(); level-- > 0;) {
            const std::string_view b = m_bounds[level];
            if (line.size() < 2 + b.size() || line.substr(2, b.size()) != b) continue;
            const std::string_view rest = line.substr(2 + b.size());
            if (rest.starts_with("--") && blank(rest.substr(2))) return {at, Mark::End, level};
            if (blank(rest)) return {at, Mark::Next, level};
        }
        return {at};
    }

    // The first boundary line (of any open multipart) from `pos` on, or the end of the text.
    Stop scan(std::size_t pos) const
    {
        while (pos < m_text.size()) {
            const Line line = lineAt(m_text, pos);
            if (const Stop stop = classify(line.text, pos); stop.mark != Mark::None) return stop;
            pos = line.next;
        }
        return {m_text.size()};
    }

    static std::optional<PlainField> typeOf(const PlainFields& fields)
    {
        const auto& raw = fields.raw("content-type");
        if (raw.empty()) return PlainField{"text/plain", {}};  // GMime's default outside a digest
        if (raw.size() > 1) return std::nullopt;
        return plainField(raw.front(), true);
    }

    // A multipart whose header block ended before `pos`: its parts, then its epilogue up to the
    // boundary line that follows (its parent's), or the end of the text.
    std::optional<Stop> readMultipart(const PlainField& type, std::size_t pos)
    {
        const std::string* boundary = type.parameter("boundary");
        // A digest's parts are attached messages by default; a message that is clear-signed
        // S/MIME as a whole is filed as secure mail. Every other multipart is walked alike.
        const std::string* protocol = type.parameter("protocol");
        const bool smime = protocol
            && (lower(*protocol) == "application/pkcs7-signature"
                || lower(*protocol) == "application/x-pkcs7-signature");
        if (type.value == "multipart/digest" || (m_bounds.empty() && type.value == "multipart/signed" && smime))
            return std::nullopt;
        if (!boundary || m_bounds.size() >= kMaxDepth) return std::nullopt;
        m_bounds.push_back(*boundary);
        const std::size_t mine = m_bounds.size() - 1;
        Stop stop = scan(pos);  // past the prologue
        while (stop.mark == Mark::Next && stop.level == mine) {
            const Line boundaryLine = lineAt(m_text, stop.at);
            if (!boundaryLine.ended) return std::nullopt;
            auto next = readPart(boundaryLine.next);
            if (!next) return std::nullopt;
            stop = *next;
        }
        if (stop.mark != Mark::End || stop.level != mine) return std::nullopt;
        m_bounds.pop_back();
        return scan(lineAt(m_text, stop.at).next);  // past the epilogue
    }

    // A part after its boundary line: its header block, then its content up to the next
    // boundary line.
    std::optional<Stop> readPart(std::size_t pos)
    {
        const std::size_t headStart = pos;
        for (;;) {
            if (pos >= m_text.size()) return std::nullopt;  // the header block does not end
            const Line line = lineAt(m_text, pos);
            if (classify(line.text, pos).mark != Mark::None) return std::nullopt;
            if (line.text.empty() && line.ended) break;
            pos = line.next;
        }
        const std::string_view head = m_text.substr(headStart, pos - headStart);
        const std::size_t contentStart = lineAt(m_text, pos).next;
        if (head.find('\0') != std::string_view::npos) return std::nullopt;
        const PlainFields fields(head);
        if (!fields.usable()) return std::nullopt;
        const auto type = typeOf(fields);
        if (!type) return std::nullopt;
        if (type->value.starts_with("multipart/")) return readMultipart(*type, contentStart);
        const Stop stop = scan(contentStart);
        if (stop.mark == Mark::None) return std::nullopt;  // no boundary closes it
        std::string_view content = m_text.substr(contentStart, stop.at - contentStart);
        // The line end before a boundary belongs to it: GMime takes two bytes off when the
        // boundary line ends in CR LF, else one.
        const Line boundaryLine = lineAt(m_text, stop.at);
        if (!boundaryLine.ended) return std::nullopt;
        const std::size_t take = m_text[boundaryLine.next - 2] == '\r' ? 2 : 1;
        if (!content.empty()) {
            if (content.size() < take) return std::nullopt;
            content.remove_suffix(take);
        }
        if (!leaf(fields, *type, content)) return std::nullopt;
        return stop;
    }

    // What GMime's walker makes of a leaf: the first plain and HTML text that is no attachment
    // become the bodies, anything else an attachment.
    bool leaf(const PlainFields& fields, const PlainField& type, std::string_view content)
    {
        for (const char* name : {"content-transfer-encoding", "content-disposition", "content-id", "content-location"})
            if (fields.raw(name).size() > 1) return false;
        // Attached messages are read by GMime (and written out again by it).
        static constexpr std::array<std::string_view, 5> kMessages{"message/rfc822", "message/rfc2822",
                                                                   "message/global", "message/news", "message/partial"};
        if (std::find(kMessages.begin(), kMessages.end(), type.value) != kMessages.end()) return false;
        const auto encoding = plainEncoding(fields.raw("content-transfer-encoding"));
        if (!encoding) return false;
        std::optional<PlainField> disposition;
        if (const auto& raw = fields.raw("content-disposition"); !raw.empty()) {
            disposition = plainField(raw.front(), false);
            if (!disposition) return false;
        }
        const std::string* fileName = disposition ? disposition->parameter("filename") : nullptr;
        if (!fileName) fileName = type.parameter("name");
        const bool attachment = (disposition && disposition->value == "attachment") || fileName;
        const std::string* charset = type.parameter("charset");
        const char* charsetName = charset ? charset->c_str() : nullptr;
        if (!attachment && type.value == "text/plain" && !m_message.bodyText) {
            auto text = textInCharset(decodedBytes(std::string(content), *encoding), charsetName);
            if (!text) return false;
            m_message.bodyText = std::move(text);
            return true;
        }
        if (!attachment && type.value == "text/html" && !m_message.bodyHtml) {
            m_htmlDecoded = decodedBytes(std::string(content), *encoding);
            if (charset) m_htmlCharset = *charset;
            StoredHtml html = htmlForStore(m_htmlDecoded, charsetName);
            m_message.bodyHtml = std::move(html.bytes);
            m_message.htmlCodePage = html.codePage;
            return true;
        }
        ImportedAttachment a;
        a.fileName = fileName ? *fileName : std::string();
        a.mimeType = type.value;
        // A part's header block reaches GMime as it is: encoded words there are not joined.
        if (const auto& raw = fields.raw("content-id"); !raw.empty()) {
            if (raw.front().find("=?") != std::string::npos) return false;
            const std::string value = unfoldField(raw.front());
            if (char* id = g_mime_utils_decode_message_id(value.c_str())) {
                a.contentId = stripAngles(id);
                g_free(id);
            }
        }
        if (const auto& raw = fields.raw("content-location"); !raw.empty()) {
            if (raw.front().find("=?") != std::string::npos) return false;
            a.contentLocation = decodeHeaderText(raw.front());
        }
        a.data = decodedBytes(std::string(content), *encoding);
        m_message.attachments.push_back(std::move(a));
        return true;
    }

    std::string_view m_text;
    ImportedMessage& m_message;
    std::vector<std::string> m_bounds;  // the open multiparts' boundaries, outermost first
    std::string m_htmlDecoded;          // the HTML body's bytes, for its text when there is no other
    std::optional<std::string> m_htmlCharset;
};

// Reads `text` into `m` when it is such a message; false (and `m` untouched) when GMime must.
bool importQuick(std::string_view text, std::string_view head, const PlainFields& plain, ImportedMessage& m)
{
    if (!plain.usable() || head.empty() || head.find('\0') != std::string_view::npos) return false;
    const std::string_view rest = text.substr(head.size());
    if (!rest.starts_with("\r\n") && !rest.starts_with("\n")) return false;  // no body at all
    if (plain.raw("subject").size() > 1) return false;

    ImportedMessage quick;
    QuickReader reader(text, quick);
    if (!reader.readBody(plain, head.size() + (rest.starts_with("\r\n") ? 2 : 1))) return false;
    markInlineParts(quick);
    quick.transportHeaders = std::string(head);
    // GMime is given these fields with adjacent encoded words joined (see forGMime()).
    const auto raw = [&](const char* name) {
        std::string all;
        for (const auto& field : plain.raw(name)) {
            if (!all.empty()) all += ",";
            all += rejoinEncodedWords(field);
        }
        return all;
    };
    if (!plain.raw("subject").empty()) quick.subject = decodeHeaderText(raw("subject"));
    readPeople(raw, Reading::Quick, quick);
    readDateAndId(plain, quick);
    readPlainFields(
        plain, [&](std::string_view name) { return plain.first(name); }, quick);
    toStoreText(quick, true);
    m = std::move(quick);
    return true;
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
            std::size_t end = i;
            while (end < html.size() && html[end] != '<' && html[end] != '&' && html[end] != '\r' && html[end] != '\n')
                ++end;
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
