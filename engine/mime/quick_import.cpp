// Messages of plain MIME structure, read without GMime's parser.
//
// Most mail is one text part, or a few parts in a multipart: text and HTML, a file attached.
// GMime makes objects of every message (message, parts, content types, headers, streams) behind
// shared locks, and freeing them costs as much again: most of the import. A message whose
// structure and fields all have plain forms is read here with GMime's own decoders instead, to
// the same result: parts, bodies and attachments exactly where GMime's parser puts them. Anything
// else (parameters in RFC 2231 or encoded form, comments, repeated fields, attached or signed
// messages, uuencode, a boundary out of place, a damaged header block) goes through its parser.
#include "engine/mime/code_pages.h"
#include "engine/mime/gmime_support.h"
#include "engine/mime/import_parts.h"

#include <cstring>

namespace quillmark::importing {
namespace {

using namespace gmime;

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

std::optional<GMimeContentEncoding> plainEncoding(std::span<const std::string_view> fields)
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

}  // namespace

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

}  // namespace quillmark::importing
