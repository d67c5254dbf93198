#include "engine/mime/header_text.h"

#include "engine/mime/gmime_support.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace quillmark::gmime {
namespace {

// RFC 5322 atext, as a table: it is asked of every character of every address.
constexpr std::array<bool, 256> kAtext = [] {
    std::array<bool, 256> table{};
    for (std::size_t c = 'a'; c <= 'z'; ++c) table[c] = table[c - 'a' + 'A'] = true;
    for (std::size_t c = '0'; c <= '9'; ++c) table[c] = true;
    for (const char c : std::string_view("!#$%&'*+-/=?^_`{|}~")) table[static_cast<unsigned char>(c)] = true;
    return table;
}();

// Atoms joined by single dots (RFC 5322 dot-atom).
bool isDotAtom(std::string_view text) noexcept
{
    if (text.empty() || text.front() == '.' || text.back() == '.') return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '.' ? text[i + 1] == '.' : !isAtext(text[i])) return false;
    return true;
}

}  // namespace

bool isAtext(char c) noexcept { return kAtext[static_cast<unsigned char>(c)]; }

bool isPlainAddrSpec(std::string_view text) noexcept
{
    const auto at = text.find('@');
    if (at == std::string_view::npos || !isDotAtom(text.substr(0, at))) return false;
    const std::string_view domain = text.substr(at + 1);
    if (!isDotAtom(domain)) return false;
    for (auto dash = domain.find("--"); dash != std::string_view::npos; dash = domain.find("--", dash + 1))
        if (dash >= 2 && (domain[dash - 2] | 0x20) == 'x' && (domain[dash - 1] | 0x20) == 'n') return false;
    return true;
}

namespace {

struct GFree {
    void operator()(void* p) const noexcept { g_free(p); }
};
using GText = std::unique_ptr<char, GFree>;

std::string take(char* text)
{
    GText owned(text);
    return owned ? std::string(owned.get()) : std::string();
}

std::string trimmed(std::string_view s)
{
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    return std::string(s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1));
}

// ---- Encoded words (RFC 2047) ----------------------------------------------------------------

struct EncodedWord {
    std::size_t end = 0;  // one past the closing "?="
    std::string charset;  // without an RFC 2231 language
    std::string bytes;    // the text with its B or Q encoding undone
};

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(g_ascii_tolower(c));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::optional<std::string> decodeQ(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            out += ' ';
        } else if (text[i] == '=') {
            const int hi = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
            const int lo = hi >= 0 ? hexValue(text[i + 2]) : -1;
            if (lo < 0) return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<std::string> decodeB(std::string_view text)
{
    const bool valid = std::all_of(text.begin(), text.end(),
                                   [](char c) { return g_ascii_isalnum(c) || c == '+' || c == '/' || c == '='; });
    if (!valid) return std::nullopt;
    gsize length = 0;
    GText bytes(reinterpret_cast<char*>(g_base64_decode(std::string(text).c_str(), &length)));
    return bytes ? std::string(bytes.get(), length) : std::string();
}

// The encoded word that starts at `at`, "=?charset?B|Q?text?=", when one does.
std::optional<EncodedWord> encodedWordAt(std::string_view s, std::size_t at)
{
    if (s.substr(at, 2) != "=?") return std::nullopt;
    const auto isWordChar = [](char c) { return c > ' ' && c < 127 && c != '?'; };
    std::size_t i = at + 2;
    while (i < s.size() && isWordChar(s[i])) ++i;
    const std::string_view charset = s.substr(at + 2, i - at - 2);
    if (charset.empty() || i + 2 >= s.size() || s[i] != '?' || s[i + 2] != '?') return std::nullopt;
    const char encoding = static_cast<char>(g_ascii_toupper(s[i + 1]));
    const std::size_t from = i + 3;
    std::size_t to = from;
    while (to < s.size() && isWordChar(s[to])) ++to;
    if (s.substr(to, 2) != "?=") return std::nullopt;
    const std::string_view text = s.substr(from, to - from);
    std::optional<std::string> bytes = encoding == 'B' ? decodeB(text) : encoding == 'Q' ? decodeQ(text) : std::nullopt;
    if (!bytes) return std::nullopt;
    return EncodedWord{to + 2, std::string(charset.substr(0, charset.find('*'))), std::move(*bytes)};
}

// Where the next encoded word of a run would start: past blanks and folds, never past a line
// end that is no fold (the next field starts there).
std::size_t pastLinearWhite(std::string_view s, std::size_t i)
{
    for (;;) {
        if (i < s.size() && (s[i] == ' ' || s[i] == '\t')) {
            ++i;
        } else if (s.substr(i, 2) == "\r\n" && i + 2 < s.size() && (s[i + 2] == ' ' || s[i + 2] == '\t')) {
            i += 3;
        } else if (i < s.size() && s[i] == '\n' && i + 1 < s.size() && (s[i + 1] == ' ' || s[i + 1] == '\t')) {
            i += 2;
        } else {
            return i;
        }
    }
}

// The words' text in UTF-8: neighbours in one charset are converted together. None when a
// charset is unknown or the bytes do not fit it (GMime's own guesses then apply).
std::optional<std::string> runText(const std::vector<EncodedWord>& run)
{
    ensureInitialised();  // GMime's charset names; the message may not have been given to GMime yet
    std::string out;
    for (std::size_t i = 0; i < run.size();) {
        std::string bytes;
        std::size_t j = i;
        for (; j < run.size() && g_ascii_strcasecmp(run[j].charset.c_str(), run[i].charset.c_str()) == 0; ++j)
            bytes += run[j].bytes;
        gsize written = 0;
        GText utf8(g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                             g_mime_charset_iconv_name(run[i].charset.c_str()), nullptr, &written, nullptr));
        if (!utf8) return std::nullopt;
        out.append(utf8.get(), written);
        i = j;
    }
    return out;
}

std::string asOneWord(std::string_view utf8)
{
    GText base64(g_base64_encode(reinterpret_cast<const guchar*>(utf8.data()), utf8.size()));
    return "=?UTF-8?B?" + std::string(base64.get()) + "?=";
}

// ---- Address fields ----------------------------------------------------------------------------

// The entries of an address list: split at commas outside quotes, comments, angle brackets and
// groups; blank entries left out.
std::vector<std::string> listEntries(std::string_view list)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    int comment = 0;
    bool quoted = false, angle = false, group = false;
    const auto add = [&](std::size_t end) {
        if (std::string entry = trimmed(list.substr(start, end - start)); !entry.empty())
            out.push_back(std::move(entry));
        start = end + 1;
    };
    // Most characters mean nothing here: skipped by a table, not by the chain of tests below.
    static constexpr auto kSpecial = [] {
        std::array<bool, 256> table{};
        for (const char c : std::string_view("\\\"()<>:;,")) table[static_cast<unsigned char>(c)] = true;
        return table;
    }();
    for (std::size_t i = 0; i < list.size(); ++i) {
        while (i < list.size() && !kSpecial[static_cast<unsigned char>(list[i])]) ++i;
        if (i == list.size()) break;
        const char c = list[i];
        if (c == '\\' && (quoted || comment)) {
            ++i;
        } else if (quoted) {
            quoted = c != '"';
        } else if (c == '(') {
            ++comment;
        } else if (comment) {
            comment -= c == ')';
        } else if (c == '"') {
            quoted = true;
        } else if (c == '<' || c == '>') {
            angle = c == '<';
        } else if (!angle && c == ':') {
            group = true;
        } else if (!angle && c == ';') {
            group = false;
        } else if (!angle && !group && c == ',') {
            add(i);
        }
    }
    add(list.size());
    return out;
}

// The members of a group entry "name: a, b;", or none when the entry is no group.
std::optional<std::string> groupMembers(const std::string& entry)
{
    const auto colon = entry.find(':');
    if (colon == std::string::npos || entry.find('<') < colon || entry.find('"') < colon) return std::nullopt;
    std::string members = entry.substr(colon + 1);
    if (!members.empty() && members.back() == ';') members.pop_back();
    return members;
}

// Whether GMime read every entry (a group's members included) as a mailbox with an address.
// Within one entry it may find more than one: "Ann <a@example.com> b@example.com" lacks a comma.
bool readWhole(InternetAddressList* list, const std::vector<std::string>& entries, bool oneEntry = false)
{
    const auto length = static_cast<std::size_t>(list ? internet_address_list_length(list) : 0);
    if (!list || (oneEntry ? length < 1 : length != entries.size())) return false;
    std::size_t expected = 0;
    for (const auto& entry : entries) {
        const auto members = groupMembers(entry);
        expected += members ? listEntries(*members).size() : 1;
    }
    std::size_t found = 0;
    bool all = true;
    forEachMailbox(list, [&](const MailAddress& a) {
        ++found;
        all = all && !a.address.empty();
    });
    return all && (oneEntry ? found >= expected : found == expected);
}

std::string unquoted(std::string_view phrase)
{
    std::string s = trimmed(phrase);
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') return s;
    std::string out;
    for (std::size_t i = 1; i + 1 < s.size(); ++i) {
        if (s[i] == '\\' && i + 2 < s.size()) ++i;
        out += s[i];
    }
    return out;
}

// Mailing-list archives hide addresses as "jdoe at example.org (Jane Doe)".
std::optional<MailAddress> archiveForm(std::string_view entry)
{
    const auto isAtomChar = [](char c) { return c > ' ' && c < 127 && !std::strchr("@<>()\",;:", c); };
    const auto atom = [&](std::size_t from) {
        std::size_t to = from;
        while (to < entry.size() && isAtomChar(entry[to])) ++to;
        return to;
    };
    const std::size_t localEnd = atom(0);
    if (localEnd == 0 || entry.substr(localEnd, 4) != " at ") return std::nullopt;
    const std::size_t domainEnd = atom(localEnd + 4);
    if (domainEnd == localEnd + 4) return std::nullopt;
    const std::string address = std::string(entry.substr(0, localEnd)) + "@"
        + std::string(entry.substr(localEnd + 4, domainEnd - localEnd - 4));
    const std::string_view rest = entry.substr(domainEnd);  // entries come trimmed
    if (rest.empty()) return MailAddress{{}, address};
    const auto open = rest.find_first_not_of(" \t");
    if (rest[open] != '(' || rest.back() != ')') return std::nullopt;
    return MailAddress{decodeHeaderText(rest.substr(open + 1, rest.size() - open - 2)), address};
}

// A mailbox from an entry GMime cannot read, as the sender wrote it.
MailAddress mailboxAsWritten(const std::string& entry)
{
    if (auto archived = archiveForm(entry)) return *std::move(archived);
    MailAddress a;
    if (const auto open = entry.find('<'); open != std::string::npos) {
        const auto close = entry.find('>', open);
        a.name = decodeHeaderText(unquoted(entry.substr(0, open)));
        a.address = trimmed(entry.substr(open + 1, close == std::string::npos ? close : close - open - 1));
    } else if (const auto comment = entry.find('('); entry.back() == ')' && comment != std::string::npos) {
        a.name = decodeHeaderText(entry.substr(comment + 1, entry.size() - comment - 2));
        a.address = trimmed(entry.substr(0, comment));
    } else {
        a.address = entry;
    }
    if (a.address.empty() && !a.name.empty()) a.address = entry;  // "Jane <>": still the sender as written
    return a;
}

// Groups do not nest: a member is read as a mailbox whatever colons it holds.
void readEntry(const std::string& entry, std::vector<MailAddress>& out, bool member = false)
{
    if (const auto members = member ? std::nullopt : groupMembers(entry)) {
        for (const auto& one : listEntries(*members)) readEntry(one, out, true);
        return;
    }
    Owned<InternetAddressList> list(internet_address_list_parse(nullptr, rejoinEncodedWords(entry).c_str()));
    if (readWhole(list.get(), {entry}, true))
        forEachMailbox(list.get(), [&](const MailAddress& a) { out.push_back(a); });
    else if (MailAddress a = mailboxAsWritten(entry); !a.address.empty())
        out.push_back(std::move(a));  // "" <> names no one
}

// The two forms nearly every entry has, "addr-spec" and "phrase <addr-spec>" with a phrase of
// words of atoms and dots (encoded words are atoms too), read as GMime reads them: the name is
// the phrase decoded and trimmed. GMime builds objects and takes locks for every address it
// parses; entries of any other form are left to it.
std::optional<MailAddress> plainMailbox(std::string_view entry)
{
    if (!entry.ends_with('>')) {
        if (!isPlainAddrSpec(entry)) return std::nullopt;
        return MailAddress{{}, std::string(entry)};
    }
    const auto open = entry.rfind('<');
    if (open == std::string_view::npos) return std::nullopt;
    const std::string_view address = entry.substr(open + 1, entry.size() - open - 2);
    if (!isPlainAddrSpec(address)) return std::nullopt;
    std::string_view phrase = entry.substr(0, open);
    while (!phrase.empty() && (phrase.back() == ' ' || phrase.back() == '\t')) phrase.remove_suffix(1);
    // One quoted string of plain ASCII, the usual "Jane Doe" <...>: GMime takes the quotes off and
    // keeps the rest as it is, trimmed.
    if (phrase.size() >= 2 && phrase.front() == '"' && phrase.back() == '"') {
        const std::string_view inner = phrase.substr(1, phrase.size() - 2);
        const bool plain = std::all_of(inner.begin(), inner.end(), [](char c) {
            return (c >= ' ' && c < 127 && c != '"' && c != '\\') || c == '\t';
        });
        if (!plain || inner.find("=?") != std::string_view::npos) return std::nullopt;
        return MailAddress{trimmed(inner), std::string(address)};
    }
    bool wordStart = true;
    for (const char c : phrase) {
        if (c == ' ' || c == '\t') {
            wordStart = true;
        } else {
            if (!isAtext(c) && (wordStart || c != '.')) return std::nullopt;
            wordStart = false;
        }
    }
    // An ASCII phrase without encoded words is its own name (the entry came trimmed).
    if (phrase.find("=?") == std::string_view::npos) return MailAddress{std::string(phrase), std::string(address)};
    GText name(g_mime_utils_header_decode_phrase(nullptr, std::string(phrase).c_str()));
    return MailAddress{name ? trimmed(name.get()) : std::string(), std::string(address)};
}

}  // namespace

std::string rejoinEncodedWords(std::string_view text)
{
    std::string out;
    std::size_t copied = 0;
    for (std::size_t at = text.find("=?"); at != std::string_view::npos; at = text.find("=?", at + 1)) {
        std::vector<EncodedWord> run;
        std::size_t end = at;
        for (auto word = encodedWordAt(text, at); word; word = encodedWordAt(text, pastLinearWhite(text, end))) {
            end = word->end;
            run.push_back(std::move(*word));
        }
        if (run.size() < 2) continue;
        if (const auto utf8 = runText(run)) {
            out.append(text.substr(copied, at - copied));
            out += asOneWord(*utf8);
            copied = end;
        }
        at = end - 1;
    }
    if (copied == 0) return std::string(text);
    out.append(text.substr(copied));
    return out;
}

std::string unfoldField(std::string_view raw)
{
    raw = raw.substr(0, raw.find('\0'));  // GMime reads C strings
    const auto isLwsp = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!raw.empty() && isLwsp(raw.front())) raw.remove_prefix(1);
    while (!raw.empty() && isLwsp(raw.back())) raw.remove_suffix(1);
    std::string out;
    out.reserve(raw.size());
    // Line by line: most values are one line, copied whole.
    while (!raw.empty()) {
        std::size_t end = 0;  // find_first_of would call memchr for every character
        while (end < raw.size() && raw[end] != '\r' && raw[end] != '\n') ++end;
        out.append(raw.substr(0, end));
        if (end == raw.size()) break;
        raw.remove_prefix(end + 1);
    }
    return out;
}

std::string decodeHeaderText(std::string_view raw)
{
    std::string unfolded = unfoldField(raw);
    // GMime gives ASCII text without encoded words back as it is.
    const bool plain
        = std::all_of(unfolded.begin(), unfolded.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (plain && unfolded.find("=?") == std::string::npos) return unfolded;
    ensureInitialised();
    const std::string rejoined = rejoinEncodedWords(unfolded);
    return take(g_mime_utils_header_decode_text(nullptr, rejoined.c_str()));
}

std::optional<std::string> fileNameOf(GMimeObject* object)
{
    const auto fixedParameter = [&](const char* field, const char* parameter) -> std::optional<std::string> {
        GMimeHeader* header = g_mime_header_list_get_header(g_mime_object_get_header_list(object), field);
        const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
        if (!raw || !std::strstr(raw, "=?")) return std::nullopt;
        const std::string rejoined = rejoinEncodedWords(raw);
        if (rejoined == raw) return std::nullopt;
        GText unfolded(g_mime_utils_header_unfold(rejoined.c_str()));
        const char* value = nullptr;
        Owned<GObject> parsed;
        if (parameter[0] == 'f') {
            auto* disposition = g_mime_content_disposition_parse(nullptr, unfolded.get());
            parsed.reset(reinterpret_cast<GObject*>(disposition));
            if (disposition) value = g_mime_content_disposition_get_parameter(disposition, parameter);
        } else {
            auto* type = g_mime_content_type_parse(nullptr, unfolded.get());
            parsed.reset(reinterpret_cast<GObject*>(type));
            if (type) value = g_mime_content_type_get_parameter(type, parameter);
        }
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    if (const char* name = g_mime_object_get_content_disposition_parameter(object, "filename"))
        return fixedParameter("Content-Disposition", "filename").value_or(name);
    if (const char* name = g_mime_object_get_content_type_parameter(object, "name"))
        return fixedParameter("Content-Type", "name").value_or(name);
    return std::nullopt;
}

std::vector<MailAddress> readAddressField(std::string_view raw, Reading reading)
{
    // Most messages have no Sender, Reply-To, Cc or Bcc field: nothing to read.
    if (raw.find_first_not_of(" \t\r\n") == std::string_view::npos) return {};
    ensureInitialised();
    const std::string text = unfoldField(raw);
    std::vector<MailAddress> out;
    const auto entries = listEntries(text);
    // GMime is given the list with adjacent encoded words joined; when that leaves the entries
    // as they were and each has a plain form, what it would find is known without it.
    const std::string joined = text.find("=?") == std::string::npos ? text : rejoinEncodedWords(text);
    const auto joinedEntries = joined == text ? std::vector<std::string>() : listEntries(joined);
    const auto& given = joined == text ? entries : joinedEntries;
    if (reading == Reading::Quick && given.size() == entries.size()) {
        for (const auto& entry : given) {
            auto plain = plainMailbox(entry);
            if (!plain) break;
            out.push_back(*std::move(plain));
        }
        if (out.size() == entries.size()) return out;
        out.clear();
    }
    // The usual case: GMime reads the whole list, one address per entry, each with its address.
    Owned<InternetAddressList> list(internet_address_list_parse(nullptr, joined.c_str()));
    if (readWhole(list.get(), entries)) {
        forEachMailbox(list.get(), [&](const MailAddress& a) { out.push_back(a); });
        return out;
    }
    for (const auto& entry : entries) readEntry(entry, out);
    return out;
}

}  // namespace quillmark::gmime
