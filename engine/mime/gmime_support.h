// Small helpers around GMime's C API: one-time set-up, ownership of GObjects, type tests and the
// few conversions every reader of messages needs. GMime's own cast macros are C casts; these
// helpers keep them out of our code.
#pragma once

#include "engine/mime/rfc822_import.h"

#include <gmime/gmime.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::gmime {

// Initialises GMime once per process; safe from any thread.
void ensureInitialised();

struct Unref {
    void operator()(void* object) const noexcept
    {
        if (object) g_object_unref(object);
    }
};
template <class T>
using Owned = std::unique_ptr<T, Unref>;

template <class T>
bool isA(T* object, GType type) noexcept
{
    return object && g_type_check_instance_is_a(reinterpret_cast<GTypeInstance*>(object), type);
}

inline GMimeObject* asObject(GMimeMessage* message) noexcept { return reinterpret_cast<GMimeObject*>(message); }

// "text/plain", lower case; "application/octet-stream" when unknown.
std::string mimeTypeOf(GMimeObject* object);
// The part's content with its transfer encoding undone.
std::string decodedContent(GMimePart* part);
// Bytes with a transfer encoding (base64, quoted-printable; others as they are) undone.
std::string decodedBytes(std::string raw, GMimeContentEncoding encoding);
// Text in a charset of one byte per character (ISO-8859-*, windows-125[0-7], KOI8) in UTF-8,
// converted by a table made with iconv, to iconv's result; none for other charsets, or when a
// byte has no character in the charset.
std::optional<std::string> convertSingleByte(std::string_view raw, const char* iconvName);
// Decoded text in the declared charset, as textOf() reads it; none where only GMime's own
// conversion of the part can read it (a real charset, with bytes that do not fit it).
std::optional<std::string> textInCharset(std::string raw, const char* declared);
// A text part in UTF-8, as storeText() keeps it; bytes that do not fit the declared charset
// are kept as 8-bit text rather than dropped where that can lose text.
std::string textOf(GMimeTextPart* part);
// The object written out as text (headers and content).
std::string objectText(GMimeObject* object);
// Text as a mail store can keep it: UTF-8 without NUL bytes (readers of the store end strings
// at a NUL and would lose what follows). Bytes that are not UTF-8 (8-bit text without a charset
// or with a wrong one) are read as GMime reads raw 8-bit header text: by its charset guess.
std::string storeText(std::string_view text);
// Whether text is that already (valid UTF-8 without NUL).
bool isStoreText(std::string_view text);
// The same, without a copy when the text is fine as it is (the usual case).
std::string storeText(std::string&& text);

std::optional<std::chrono::sys_seconds> toSysSeconds(GDateTime* date);
std::optional<std::chrono::sys_seconds> decodeDate(const char* text);
// Every Received field ends with "; <date>" (RFC 5321): the date of the newest one, from the
// fields' values as they were written (folded), or none.
std::optional<std::chrono::sys_seconds> newestReceived(std::span<const std::string_view> fields);

// Calls fn for every mailbox in the list, members of groups included.
void forEachMailbox(InternetAddressList* list, const std::function<void(const MailAddress&)>& fn);

struct ParseOutcome {
    Owned<GMimeMessage> message;
    bool critical = false;           // GMime said parts of the input may have been skipped
    std::vector<std::string> notes;  // what it said
};
struct BytesUnref {
    void operator()(GByteArray* bytes) const noexcept
    {
        if (bytes) g_byte_array_unref(bytes);
    }
};
using OwnedBytes = std::unique_ptr<GByteArray, BytesUnref>;
// Parses the message text it is given (and keeps it: the parts refer into it).
ParseOutcome parseMessage(OwnedBytes text);

// Headers of a block GMime could not parse as a message, read line by line.
class ParsedHeaders {
public:
    explicit ParsedHeaders(std::string_view block);
    // The unfolded value of the first field of that name, RFC 2047 words decoded.
    std::optional<std::string> decoded(std::string_view name) const;
    // The unfolded values of every field of that name, as they stand.
    std::vector<std::string> values(std::string_view name) const;

private:
    std::vector<std::pair<std::string, std::string>> m_fields;
};

}  // namespace quillmark::gmime
