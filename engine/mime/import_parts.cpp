#include "engine/mime/import_parts.h"

#include "engine/mime/gmime_support.h"

#include <cctype>
#include <tuple>

namespace quillmark::importing {

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

bool isNamed(std::string_view name, std::string_view lowerName)
{
    return name.size() == lowerName.size()
        && std::equal(name.begin(), name.end(), lowerName.begin(),
                      [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
}

namespace {

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

}  // namespace

// The fields read from the raw header block: dates, identifiers, thread and importance.
void readPlainFields(const PlainFields& plain, const FieldLookup& field, ImportedMessage& m)
{
    m.deliveryTime = newestReceived(plain.raw("received"));  // GMime is not given them, see forGMime()
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

namespace {

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

}  // namespace

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

}  // namespace quillmark::importing
