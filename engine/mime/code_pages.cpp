#include "engine/mime/code_pages.h"

#include "engine/mime/gmime_support.h"

#include <algorithm>
#include <array>

namespace quillmark {
namespace {

constexpr std::uint32_t kUtf8 = 65001;
constexpr std::uint32_t kAscii = 20127;
constexpr std::uint32_t kWindows1252 = 1252;

struct Entry {
    std::string_view name;  // as normalised(): lower case, "-" for "_", without "x-"
    std::uint32_t codePage;
};

// Every charset mail is sent in that Windows has a code page for, with the names mail programs
// write for it. Charsets not listed (UTF-16, EUC-TW, VISCII, ...) are converted to UTF-8.
constexpr std::array<Entry, 103> kCodePages{{
    {"utf-8", 65001},
    {"utf8", 65001},
    {"utf-7", 65000},
    {"us-ascii", 20127},
    {"ascii", 20127},
    {"ansi-x3.4-1968", 20127},
    {"iso646-us", 20127},
    {"us", 20127},
    {"iso-8859-1", 28591},
    {"latin1", 28591},
    {"l1", 28591},
    {"cp819", 28591},
    {"iso-ir-100", 28591},
    {"iso-8859-2", 28592},
    {"latin2", 28592},
    {"l2", 28592},
    {"iso-8859-3", 28593},
    {"latin3", 28593},
    {"iso-8859-4", 28594},
    {"latin4", 28594},
    {"iso-8859-5", 28595},
    {"cyrillic", 28595},
    {"iso-8859-6", 28596},
    {"arabic", 28596},
    {"iso-8859-7", 28597},
    {"greek", 28597},
    {"iso-8859-8", 28598},
    {"hebrew", 28598},
    {"iso-8859-8-i", 38598},
    {"iso-8859-9", 28599},
    {"latin5", 28599},
    {"iso-8859-13", 28603},
    {"iso-8859-15", 28605},
    {"latin9", 28605},
    {"latin-9", 28605},
    {"windows-1250", 1250},
    {"cp1250", 1250},
    {"windows-1251", 1251},
    {"cp1251", 1251},
    {"windows-1252", 1252},
    {"cp1252", 1252},
    {"windows-1253", 1253},
    {"cp1253", 1253},
    {"windows-1254", 1254},
    {"cp1254", 1254},
    {"windows-1255", 1255},
    {"cp1255", 1255},
    {"windows-1256", 1256},
    {"cp1256", 1256},
    {"windows-1257", 1257},
    {"cp1257", 1257},
    {"windows-1258", 1258},
    {"cp1258", 1258},
    {"windows-874", 874},
    {"cp874", 874},
    {"tis-620", 874},
    {"iso-8859-11", 874},
    {"koi8-r", 20866},
    {"koi8-u", 21866},
    {"cp437", 437},
    {"ibm437", 437},
    {"cp850", 850},
    {"ibm850", 850},
    {"cp852", 852},
    {"ibm852", 852},
    {"cp866", 866},
    {"ibm866", 866},
    {"shift-jis", 932},
    {"sjis", 932},
    {"ms-kanji", 932},
    {"csshiftjis", 932},
    {"windows-31j", 932},
    {"cp932", 932},
    {"ms932", 932},
    {"euc-jp", 51932},
    {"eucjp", 51932},
    {"iso-2022-jp", 50220},
    {"csiso2022jp", 50220},
    {"gb2312", 936},
    {"gbk", 936},
    {"cp936", 936},
    {"ms936", 936},
    {"windows-936", 936},
    {"euc-cn", 936},
    {"csgb2312", 936},
    {"gb-2312-80", 936},
    {"gb18030", 54936},
    {"hz-gb-2312", 52936},
    {"big5", 950},
    {"big-5", 950},
    {"cn-big5", 950},
    {"cp950", 950},
    {"euc-kr", 51949},
    {"cseuckr", 51949},
    {"ks-c-5601-1987", 949},
    {"ks-c-5601", 949},
    {"ksc5601", 949},
    {"cp949", 949},
    {"uhc", 949},
    {"windows-949", 949},
    {"iso-2022-kr", 50225},
    {"macintosh", 10000},
    {"mac-roman", 10000},
}};

std::string normalised(std::string_view charset)
{
    const auto b = charset.find_first_not_of(" \t\"");
    if (b == std::string_view::npos) return {};
    charset = charset.substr(b, charset.find_last_not_of(" \t\"") - b + 1);
    std::string name;
    for (const char c : charset) name += c == '_' ? '-' : static_cast<char>(g_ascii_tolower(c));
    if (name.starts_with("x-")) name.erase(0, 2);
    if (name.starts_with("iso8859")) name = "iso-" + name.substr(3);
    return name;
}

bool isValidUtf8(const std::string& bytes)
{
    return g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr);
}

bool isAscii(const std::string& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Text whose label cannot be trusted: read as mail programs read it.
StoredHtml guessed(std::string bytes)
{
    const std::uint32_t codePage = isValidUtf8(bytes) ? kUtf8 : kWindows1252;
    return {std::move(bytes), codePage};
}

}  // namespace

std::optional<std::uint32_t> codePageOfCharset(std::string_view charset)
{
    const std::string name = normalised(charset);
    for (const auto& e : kCodePages)
        if (name == e.name) return e.codePage;
    return std::nullopt;
}

StoredHtml htmlForStore(std::string bytes, const char* declaredCharset)
{
    const std::optional<std::uint32_t> codePage = codePageOfCharset(declaredCharset ? declaredCharset : "");
    if (!declaredCharset || !*declaredCharset) return guessed(std::move(bytes));
    if (codePage == kAscii) return isAscii(bytes) ? StoredHtml{std::move(bytes), kAscii} : guessed(std::move(bytes));
    if (codePage == kUtf8) return isValidUtf8(bytes) ? StoredHtml{std::move(bytes), kUtf8} : guessed(std::move(bytes));
    if (codePage) return {std::move(bytes), *codePage};
    gsize written = 0;
    char* utf8 = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                           g_mime_charset_iconv_name(declaredCharset), nullptr, &written, nullptr);
    if (!utf8) return guessed(std::move(bytes));  // a charset nobody knows, or bytes not in it
    StoredHtml out{std::string(utf8, written), kUtf8};
    g_free(utf8);
    return out;
}

}  // namespace quillmark
