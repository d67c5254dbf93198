#include "engine/mime/gmime_support.h"

#include "engine/mime/header_text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#define QUILLMARK_SSE2 1
#endif

namespace quillmark::gmime {
namespace {

struct GFree {
    void operator()(void* p) const noexcept { g_free(p); }
};
using GString = std::unique_ptr<char, GFree>;

std::string take(char* text)
{
    GString owned(text);
    return owned ? std::string(owned.get()) : std::string();
}

const char* warningName(GMimeParserWarning code)
{
    switch (code) {
    case GMIME_WARN_DUPLICATED_HEADER:
        return "duplicated header";
    case GMIME_WARN_DUPLICATED_PARAMETER:
        return "duplicated parameter";
    case GMIME_WARN_UNENCODED_8BIT_HEADER:
        return "unencoded 8-bit header";
    case GMIME_WARN_INVALID_CONTENT_TYPE:
        return "invalid content type";
    case GMIME_WARN_INVALID_RFC2047_HEADER_VALUE:
        return "invalid encoded word";
    case GMIME_WARN_MALFORMED_MULTIPART:
        return "malformed multipart";
    case GMIME_WARN_TRUNCATED_MESSAGE:
        return "truncated message";
    case GMIME_WARN_MALFORMED_MESSAGE:
        return "malformed message";
    case GMIME_CRIT_INVALID_HEADER_NAME:
        return "invalid header name";
    case GMIME_CRIT_CONFLICTING_HEADER:
        return "conflicting header";
    case GMIME_CRIT_CONFLICTING_PARAMETER:
        return "conflicting parameter";
    case GMIME_CRIT_MULTIPART_WITHOUT_BOUNDARY:
        return "multipart without boundary";
    case GMIME_CRIT_NESTING_OVERFLOW:
        return "MIME nesting too deep";
    case GMIME_WARN_INVALID_PARAMETER:
        return "invalid parameter";
    case GMIME_WARN_INVALID_ADDRESS_LIST:
        return "invalid address list";
    case GMIME_WARN_PART_WITHOUT_CONTENT:
        return "part without content";
    case GMIME_CRIT_PART_WITHOUT_HEADERS_OR_CONTENT:
        return "part without headers or content";
    default:
        return "parser warning";
    }
}

// Warnings after which part of the message is not where it belongs: header fields read as body
// text, parts that cannot be told apart. A missing closing boundary, an empty part or a repeated
// header (GMime merges them) lose nothing and are only noted.
bool isCritical(GMimeParserWarning code)
{
    return code == GMIME_CRIT_INVALID_HEADER_NAME || code == GMIME_CRIT_CONFLICTING_PARAMETER
        || code == GMIME_CRIT_MULTIPART_WITHOUT_BOUNDARY || code == GMIME_CRIT_NESTING_OVERFLOW;
}

void onWarning(gint64 offset, GMimeParserWarning code, const gchar* item, gpointer data)
{
    auto* outcome = static_cast<ParseOutcome*>(data);
    if (outcome->notes.size() >= 20) return;  // a broken message can warn thousands of times
    std::string note = std::string(warningName(code)) + " at byte " + std::to_string(offset);
    if (item && *item) note += " (" + std::string(item).substr(0, 80) + ")";
    outcome->notes.push_back(std::move(note));
    if (isCritical(code)) outcome->critical = true;
}

}  // namespace

void ensureInitialised()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

std::string mimeTypeOf(GMimeObject* object)
{
    GMimeContentType* type = object ? g_mime_object_get_content_type(object) : nullptr;
    if (!type) return "application/octet-stream";
    std::string s = take(g_mime_content_type_get_mime_type(type));
    for (char& c : s) c = static_cast<char>(g_ascii_tolower(c));
    return s;
}

std::string decodedBytes(std::string raw, GMimeContentEncoding encoding)
{
    if (encoding != GMIME_CONTENT_ENCODING_BASE64 && encoding != GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE) return raw;
    GMimeEncoding decoder;
    g_mime_encoding_init_decode(&decoder, encoding);
    std::string out(g_mime_encoding_outlen(&decoder, raw.size()), '\0');
    const std::size_t n = g_mime_encoding_step(&decoder, raw.data(), raw.size(), out.data());
    out.resize(n);
    return out;
}

std::string decodedContent(GMimePart* part)
{
    GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
    if (!wrapper) return {};
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(wrapper);
    GMimeStream* source = g_mime_data_wrapper_get_stream(wrapper);
    if (source && encoding != GMIME_CONTENT_ENCODING_UUENCODE) {
        // What g_mime_data_wrapper_write_to_stream() does, with GMime's own decoder but without
        // the three stream and filter objects it makes for every part.
        if (g_mime_stream_reset(source) == -1) return {};
        std::string raw;
        const gint64 length = g_mime_stream_length(source);
        raw.resize(length > 0 ? static_cast<std::size_t>(length) : 4096);
        std::size_t have = 0;
        for (;;) {
            if (have == raw.size()) raw.resize(2 * raw.size());
            const gssize n = g_mime_stream_read(source, raw.data() + have, raw.size() - have);
            if (n <= 0) break;
            have += static_cast<std::size_t>(n);
        }
        raw.resize(have);
        g_mime_stream_reset(source);
        return decodedBytes(std::move(raw), encoding);
    }
    Owned<GMimeStream> stream(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(wrapper, stream.get());
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(reinterpret_cast<GMimeStreamMem*>(stream.get()));
    return bytes ? std::string(reinterpret_cast<const char*>(bytes->data), bytes->len) : std::string();
}

// glibc unloads a charset converter module when its last descriptor is closed, and GMime opens
// and closes one for every text part: unloading and loading it again (dlopen, mmap, relocation)
// cost more than the conversion itself. One descriptor per charset, kept open for the life of
// the process, keeps each module loaded; there are few charsets in real mail.
void keepConverterLoaded(const char* charset)
{
    if (!charset || !*charset) return;
    static std::mutex mutex;
    // Never destroyed: the descriptors stay open, and reachable, until the process ends.
    static auto* pinned = new std::map<std::string, iconv_t, std::less<>>();
    std::string key(charset);
    for (char& c : key) c = static_cast<char>(g_ascii_tolower(c));
    std::lock_guard lock(mutex);
    if (pinned->size() >= 256 || pinned->contains(key)) return;
    pinned->emplace(std::move(key), g_mime_iconv_open("UTF-8", charset));
}

namespace {

// How many bytes at the start of text are ASCII other than NUL. Most mail text is all of it, and
// GLib's UTF-8 check goes byte by byte: sixteen at a time here where the processor allows.
std::size_t plainAsciiPrefix(std::string_view text) noexcept
{
    std::size_t i = 0;
#ifdef QUILLMARK_SSE2
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= text.size(); i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        if (_mm_movemask_epi8(_mm_or_si128(v, _mm_cmpeq_epi8(v, zero))) != 0) break;
    }
#endif
    while (i < text.size() && text[i] != '\0' && static_cast<unsigned char>(text[i]) < 0x80) ++i;
    return i;
}

}  // namespace

bool isStoreText(std::string_view text)
{
    // An ASCII prefix is valid UTF-8 and no sequence of the rest can begin in it.
    text.remove_prefix(plainAsciiPrefix(text));
    return text.find('\0') == std::string_view::npos
        && g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

namespace {

bool isAsciiOrUtf8(const char* charset)
{
    for (const char* name : {"utf-8", "utf8", "us-ascii", "ascii", "ansi_x3.4-1968"})
        if (g_ascii_strcasecmp(charset, name) == 0) return true;
    return false;
}

}  // namespace

namespace {

// A charset of one byte per character, each byte on its own: its bytes in UTF-8, as iconv
// converts them one at a time (none for a byte that has no character there).
struct ByteTable {
    struct Entry {
        std::uint8_t length = 0;
        char utf8[3] = {};
    };
    std::array<Entry, 256> entries;
};

// Only charsets known to be stateless and one byte per character (no combining, no shifts).
bool isSingleByteCharset(std::string_view name)
{
    std::string n(name);
    for (char& c : n) c = static_cast<char>(g_ascii_tolower(c));
    if (n.starts_with("iso-8859-") || n.starts_with("iso8859-")) {
        const std::string_view part = std::string_view(n).substr(n.find('-', 4) + 1);
        static constexpr std::array<std::string_view, 15> kParts{"1", "2",  "3",  "4",  "5",  "6",  "7", "8",
                                                                 "9", "10", "11", "13", "14", "15", "16"};
        return std::find(kParts.begin(), kParts.end(), part) != kParts.end();
    }
    static constexpr std::array<std::string_view, 18> kNames{
        "cp1250",       "cp1251",       "cp1252",       "cp1253",       "cp1254",       "cp1255",
        "cp1256",       "cp1257",       "windows-1250", "windows-1251", "windows-1252", "windows-1253",
        "windows-1254", "windows-1255", "windows-1256", "windows-1257", "koi8-r",       "koi8-u"};
    return std::find(kNames.begin(), kNames.end(), n) != kNames.end();
}

const ByteTable* byteTable(const char* charset)
{
    if (!charset || !isSingleByteCharset(charset)) return nullptr;
    static std::mutex mutex;
    // Never destroyed, like the converters: a thread may still read text at exit.
    static auto* tables = new std::map<std::string, std::unique_ptr<ByteTable>, std::less<>>();
    std::lock_guard lock(mutex);
    if (auto found = tables->find(charset); found != tables->end()) return found->second.get();
    auto table = std::make_unique<ByteTable>();
    for (std::size_t b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        gsize written = 0;
        char* utf8 = g_convert(&byte, 1, "UTF-8", charset, nullptr, &written, nullptr);
        if (utf8 && written >= 1 && written <= 3) {
            table->entries[b].length = static_cast<std::uint8_t>(written);
            std::memcpy(table->entries[b].utf8, utf8, written);
        }
        g_free(utf8);
    }
    return tables->emplace(charset, std::move(table)).first->second.get();
}

}  // namespace

std::optional<std::string> convertSingleByte(std::string_view raw, const char* charset)
{
    const ByteTable* table = byteTable(charset);
    if (!table) return std::nullopt;
    std::string out;
    out.reserve(raw.size() + raw.size() / 8);
    for (std::size_t i = 0; i < raw.size();) {
        const std::size_t ascii = plainAsciiPrefix(raw.substr(i));  // the usual run, copied whole
        out.append(raw.substr(i, ascii));
        i += ascii;
        if (i == raw.size()) break;
        const auto& e = table->entries[static_cast<unsigned char>(raw[i++])];
        if (e.length == 0) return std::nullopt;
        out.append(e.utf8, e.length);
    }
    return out;
}

std::optional<std::string> textInCharset(std::string raw, const char* declared)
{
    if (!declared || !*declared) return storeText(std::move(raw));
    const char* charset = g_mime_charset_iconv_name(declared);
    // Converting ASCII or UTF-8 to UTF-8 gives the same bytes when it succeeds, and the bytes
    // are kept as they are when it fails (below): either way the text is the raw text.
    if (isAsciiOrUtf8(declared) || isAsciiOrUtf8(charset)) return storeText(std::move(raw));
    // Most 8-bit mail is in a charset of one byte per character: converted by table, without
    // a converter opened and closed for every part.
    if (auto text = convertSingleByte(raw, charset)) return storeText(*std::move(text));
    keepConverterLoaded(declared);
    GError* error = nullptr;
    gsize written = 0;
    if (char* utf8
        = g_convert(raw.data(), static_cast<gssize>(raw.size()), "UTF-8", charset, nullptr, &written, &error)) {
        std::string text(utf8, written);
        g_free(utf8);
        return storeText(std::move(text));
    }
    const bool unknownCharset = error && error->code == G_CONVERT_ERROR_NO_CONVERSION;
    g_clear_error(&error);
    // Not valid in its charset. GMime's own conversion silently drops every byte that does not
    // fit, losing text; so 8-bit text labelled ASCII or UTF-8 (or with a charset nobody knows)
    // is read as raw 8-bit text instead. Only text in a real charset with a few stray bytes is
    // converted (by the caller) with those bytes left out.
    if (unknownCharset || isAsciiOrUtf8(charset)
        || g_utf8_validate(raw.data(), static_cast<gssize>(raw.size()), nullptr))
        return storeText(std::move(raw));
    return std::nullopt;
}

std::string textOf(GMimeTextPart* part)
{
    auto* object = reinterpret_cast<GMimeObject*>(part);
    if (auto text = textInCharset(decodedContent(reinterpret_cast<GMimePart*>(part)),
                                  g_mime_object_get_content_type_parameter(object, "charset")))
        return *std::move(text);
    return storeText(take(g_mime_text_part_get_text(part)));
}

std::string objectText(GMimeObject* object) { return take(g_mime_object_to_string(object, nullptr)); }

std::string storeText(std::string&& text)
{
    if (isStoreText(text)) return std::move(text);
    return storeText(std::string_view(text));
}

std::string storeText(std::string_view text)
{
    if (isStoreText(text)) return std::string(text);
    std::string out(text);
    std::erase(out, '\0');
    if (g_utf8_validate(out.data(), static_cast<gssize>(out.size()), nullptr)) return out;
    ensureInitialised();
    return take(g_mime_utils_decode_8bit(nullptr, out.data(), out.size()));
}

std::optional<std::chrono::sys_seconds> toSysSeconds(GDateTime* date)
{
    if (!date) return std::nullopt;
    return std::chrono::sys_seconds(std::chrono::seconds(g_date_time_to_unix(date)));
}

namespace {

// The form nearly every mail program writes, "[Tue,] 7 Dec 2026 09:05[:07] +0100 [(comment)]",
// read directly: GMime builds a time zone object for each date it decodes, behind a lock all
// threads share, and a message can carry a dozen dated Received fields. Anything else (two-digit
// years, named zones, odd spacing) is left to GMime, so the result is GMime's in every case.
std::optional<std::chrono::sys_seconds> commonDate(std::string_view s)
{
    std::size_t i = 0;
    const auto isBlank = [&](std::size_t at) {
        return at < s.size() && (s[at] == ' ' || s[at] == '\t' || s[at] == '\r' || s[at] == '\n');
    };
    const auto blanks = [&] {
        while (isBlank(i)) ++i;
    };
    const auto isDigit = [&](std::size_t at) { return at < s.size() && s[at] >= '0' && s[at] <= '9'; };
    // From `least` to `most` digits, not followed by another digit.
    const auto number = [&](std::size_t least, std::size_t most, int& out) {
        std::size_t n = 0;
        out = 0;
        while (n < most && isDigit(i)) out = out * 10 + (s[i++] - '0'), ++n;
        return n >= least && !isDigit(i);
    };
    const auto expect = [&](char c) { return i < s.size() && s[i] == c ? (++i, true) : false; };
    // Whether the three letters at `at` are `word` (in lower case), in any case.
    const auto lettersAre = [&](std::size_t at, std::string_view word) {
        if (at + 3 > s.size()) return false;
        for (std::size_t k = 0; k < 3; ++k) {
            const char c = s[at + k];
            if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != word[k]) return false;
        }
        return true;
    };

    blanks();
    if (i < s.size() && g_ascii_isalpha(s[i])) {  // day of the week: GMime ignores it too
        for (int k = 0; k < 3; ++k, ++i)
            if (i >= s.size() || !g_ascii_isalpha(s[i])) return std::nullopt;
        if (!expect(',')) return std::nullopt;
        blanks();
    }
    int day = 0, year = 0, hour = 0, minute = 0, second = 0, zoneHours = 0, zoneMinutes = 0;
    if (!number(1, 2, day)) return std::nullopt;
    blanks();
    static constexpr std::array<std::string_view, 12> kMonths{"jan", "feb", "mar", "apr", "may", "jun",
                                                              "jul", "aug", "sep", "oct", "nov", "dec"};
    const auto m
        = std::find_if(kMonths.begin(), kMonths.end(), [&](std::string_view name) { return lettersAre(i, name); });
    if (m == kMonths.end()) return std::nullopt;
    i += 3;
    if (i < s.size() && g_ascii_isalpha(s[i])) return std::nullopt;
    blanks();
    if (!number(4, 4, year) || year < 1970) return std::nullopt;  // GMime reads no earlier year
    blanks();
    if (!number(1, 2, hour) || !expect(':') || !number(2, 2, minute)) return std::nullopt;
    if (expect(':') && !number(2, 2, second)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    blanks();
    int sign = 1;
    if (expect('+') || (expect('-') && (sign = -1))) {
        int zone = 0;
        if (!number(4, 4, zone)) return std::nullopt;
        zoneHours = zone / 100;
        zoneMinutes = zone % 100;
        if (zoneHours > 14 || zoneMinutes > 59) return std::nullopt;
    } else if (lettersAre(i, "gmt") && !(i + 3 < s.size() && g_ascii_isalpha(s[i + 3]))) {
        i += 3;
    } else {
        return std::nullopt;
    }
    if (i < s.size() && !isBlank(i)) return std::nullopt;  // "+0900(KST)" is one word to GMime, and no zone it knows
    blanks();
    if (expect('(')) {  // a comment naming the zone, "(PDT)"
        const auto close = s.find(')', i);
        if (close == std::string_view::npos || s.find('(', i) < close) return std::nullopt;
        i = close + 1;
        blanks();
    }
    if (i != s.size()) return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(year),
                                           std::chrono::month(static_cast<unsigned>(m - kMonths.begin() + 1)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok()) return std::nullopt;
    using namespace std::chrono;
    const auto offset = sign * (hours(zoneHours) + minutes(zoneMinutes));
    return sys_seconds(sys_days(date)) + hours(hour) + minutes(minute) + seconds(second) - offset;
}

}  // namespace

std::optional<std::chrono::sys_seconds> decodeDate(const char* text)
{
    if (!text) return std::nullopt;
    if (auto common = commonDate(text)) return common;
    GDateTime* date = g_mime_utils_header_decode_date(text);
    auto out = toSysSeconds(date);
    if (date) g_date_time_unref(date);
    return out;
}

std::optional<std::chrono::sys_seconds> newestReceived(std::span<const std::string_view> fields)
{
    std::optional<std::chrono::sys_seconds> newest;
    for (const std::string_view raw : fields) {
        // The date follows the last ';'. Only it is unfolded: line ends out, lines joined.
        const auto semi = raw.rfind(';');
        if (semi == std::string_view::npos) continue;
        const std::string_view folded = raw.substr(semi + 1);
        // A date is short: unfolded on the stack, unless this one is not.
        char shortText[128];
        std::string longText;
        char* value = shortText;
        if (folded.size() >= sizeof shortText) {
            longText.resize(folded.size() + 1);
            value = longText.data();
        }
        std::size_t length = 0;
        for (std::size_t pos = 0; pos < folded.size();) {
            const std::size_t eol = std::min(folded.find('\n', pos), folded.size());
            std::string_view line = folded.substr(pos, eol - pos);
            while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            line.copy(value + length, line.size());
            length += line.size();
            pos = eol + 1;
        }
        value[length] = '\0';
        if (auto t = decodeDate(value); t && (!newest || *t > *newest)) newest = t;
    }
    return newest;
}

void forEachMailbox(InternetAddressList* list, const std::function<void(const MailAddress&)>& fn)
{
    if (!list) return;
    for (int i = 0, n = internet_address_list_length(list); i < n; ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        if (isA(address, INTERNET_ADDRESS_TYPE_GROUP)) {
            forEachMailbox(internet_address_group_get_members(reinterpret_cast<InternetAddressGroup*>(address)), fn);
        } else if (isA(address, INTERNET_ADDRESS_TYPE_MAILBOX)) {
            MailAddress a;
            if (const char* name = internet_address_get_name(address)) a.name = name;
            if (const char* addr
                = internet_address_mailbox_get_addr(reinterpret_cast<InternetAddressMailbox*>(address)))
                a.address = addr;
            fn(a);
        }
    }
}

namespace {

// Parsers are reused, set to each message in turn: a new one costs an object and its buffers
// for every message. A parser lets go of the last message's text at the next. They are pooled,
// one per message being read at a time, rather than kept per thread: with MinGW's emulated
// thread-local storage a thread's objects are freed before their destructors run.
class ParserPool {
public:
    GMimeParser* take()
    {
        std::lock_guard lock(m_mutex);
        if (m_idle.empty()) return g_mime_parser_new();
        GMimeParser* parser = m_idle.back();
        m_idle.pop_back();
        return parser;
    }
    void give(GMimeParser* parser)
    {
        std::lock_guard lock(m_mutex);
        m_idle.push_back(parser);
    }

private:
    std::mutex m_mutex;
    std::vector<GMimeParser*> m_idle;
};

ParserPool& parsers()
{
    static auto* pool = new ParserPool();  // never destroyed: a thread may still parse at exit
    return *pool;
}

}  // namespace

ParseOutcome parseMessage(OwnedBytes text)
{
    ensureInitialised();
    ParseOutcome outcome;
    Owned<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(text.release()));
    const std::unique_ptr<GMimeParser, void (*)(GMimeParser*)> parser(parsers().take(),
                                                                      [](GMimeParser* p) { parsers().give(p); });
    g_mime_parser_init_with_stream(parser.get(), stream.get());
    GMimeParserOptions* options = g_mime_parser_options_new();
    g_mime_parser_options_set_warning_callback(options, &onWarning, &outcome);
    outcome.message.reset(g_mime_parser_construct_message(parser.get(), options));
    g_mime_parser_options_free(options);
    return outcome;
}

ParsedHeaders::ParsedHeaders(std::string_view block)
{
    std::size_t pos = 0;
    while (pos < block.size()) {
        std::size_t eol = block.find('\n', pos);
        if (eol == std::string_view::npos) eol = block.size();
        std::string_view line = block.substr(pos, eol - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = eol + 1;
        if (line.empty()) break;
        if ((line[0] == ' ' || line[0] == '\t') && !m_fields.empty()) {
            m_fields.back().second += std::string(line);  // folded continuation
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        m_fields.emplace_back(std::string(line.substr(0, colon)), std::string(line.substr(colon + 1)));
    }
}

std::vector<std::string> ParsedHeaders::values(std::string_view name) const
{
    std::vector<std::string> out;
    for (const auto& [field, value] : m_fields)
        if (field.size() == name.size()
            && g_ascii_strncasecmp(field.c_str(), std::string(name).c_str(), field.size()) == 0)
            out.push_back(value);
    return out;
}

std::optional<std::string> ParsedHeaders::decoded(std::string_view name) const
{
    const auto all = values(name);
    if (all.empty()) return std::nullopt;
    ensureInitialised();
    const auto b = all.front().find_first_not_of(" \t");
    const std::string v = b == std::string::npos ? std::string() : all.front().substr(b);
    return decodeHeaderText(v);
}

}  // namespace quillmark::gmime
