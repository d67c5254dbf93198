// Property values, UTF-16 conversion, template table layouts and packed contents rows.
#include "engine/pst/byte_io.h"
#include "engine/pst/messaging/messaging_internal.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QUILLMARK_SSE2 1
#else
#define QUILLMARK_SSE2 0
#endif

namespace quillmark::pst {

using namespace messaging;

namespace {

template <class T>
Prop fixed(std::uint16_t id, std::uint16_t type, T v)
{
    Prop p{makeTag(id, type), std::vector<std::uint8_t>(sizeof(T))};
    bytes::put<T>(p.value, 0, v);
    return p;
}

// Decodes one UTF-8 sequence at `i`; returns U+FFFD for anything malformed.
char32_t nextCodePoint(std::string_view s, std::size_t& i)
{
    const auto b0 = static_cast<unsigned char>(s[i++]);
    if (b0 < 0x80) return b0;
    const int extra = b0 >= 0xF0 && b0 < 0xF5 ? 3 : b0 >= 0xE0 ? 2 : b0 >= 0xC2 && b0 < 0xE0 ? 1 : -1;
    if (extra < 0) return 0xFFFD;
    char32_t cp = b0 & (0x3Fu >> extra);
    for (int k = 0; k < extra; ++k) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 0xFFFD;
        cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3Fu);
    }
    const bool overlong = (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return 0xFFFD;
    return cp;
}

}  // namespace

Prop Prop::int32(std::uint16_t id, std::int32_t v) { return fixed(id, pt::kInt32, v); }
Prop Prop::int64(std::uint16_t id, std::int64_t v) { return fixed(id, pt::kInt64, v); }
Prop Prop::boolean(std::uint16_t id, bool v) { return fixed(id, pt::kBoolean, std::uint8_t{v}); }
Prop Prop::time(std::uint16_t id, std::uint64_t ft) { return fixed(id, pt::kTime, ft); }
Prop Prop::string(std::uint16_t id, std::string_view utf8) { return {makeTag(id, pt::kString), utf16le(utf8)}; }
Prop Prop::binary(std::uint16_t id, std::span<const std::uint8_t> b)
{
    return {makeTag(id, pt::kBinary), {b.begin(), b.end()}};
}

Prop Prop::strings(std::uint16_t id, std::span<const std::string> utf8)
{
    Prop p{makeTag(id, pt::kMultiString), {}};
    const auto put32 = [&](std::size_t at, std::size_t v) {
        for (std::size_t i = 0; i < 4; ++i) p.value[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    p.value.resize(4 + 4 * utf8.size());
    put32(0, utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        put32(4 + 4 * i, p.value.size());
        const auto text = utf16le(utf8[i]);
        p.value.insert(p.value.end(), text.begin(), text.end());
    }
    return p;
}

std::uint64_t fileTimeFromUnix(std::int64_t secondsSince1970)
{
    constexpr std::int64_t kEpochDelta = 11644473600;  // seconds from 1601 to 1970
    return static_cast<std::uint64_t>(secondsSince1970 + kEpochDelta) * 10000000u;
}

std::vector<std::uint8_t> utf16le(std::string_view utf8)
{
    std::vector<std::uint8_t> out;
    messaging::appendUtf16le(out, utf8);
    return out;
}

void messaging::appendUtf16le(std::vector<std::uint8_t>& out, std::string_view utf8)
{
    // UTF-16 never needs more than twice the UTF-8 bytes.
    const std::size_t start = out.size();
    out.resize(start + utf8.size() * 2);
    std::uint8_t* o = out.data() + start;
    const auto* s = reinterpret_cast<const std::uint8_t*>(utf8.data());
    const std::size_t n = utf8.size();
    const auto unit = [&](std::uint32_t u) {
        *o++ = static_cast<std::uint8_t>(u & 0xFF);
        *o++ = static_cast<std::uint8_t>(u >> 8);
    };
    for (std::size_t i = 0; i < n;) {
        // Mail text is mostly ASCII: widen sixteen bytes at a time while they are.
#if QUILLMARK_SSE2
        const __m128i zero = _mm_setzero_si128();
        while (i + 16 <= n) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            if (_mm_movemask_epi8(v) != 0) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), _mm_unpackhi_epi8(v, zero));
            o += 32;
            i += 16;
        }
#endif
        // Then eight at a time (the short strings of names and addresses, and tails).
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if (word & 0x8080808080808080ULL) break;
            if constexpr (std::endian::native == std::endian::little) {
                const auto widen = [](std::uint64_t half) {  // 4 bytes to 4 units
                    half = (half | half << 16) & 0x0000FFFF0000FFFFULL;
                    return (half | half << 8) & 0x00FF00FF00FF00FFULL;
                };
                const std::uint64_t lo = widen(word & 0xFFFFFFFFu), hi = widen(word >> 32);
                std::memcpy(o, &lo, 8);
                std::memcpy(o + 8, &hi, 8);
            } else {
                for (std::size_t k = 0; k < 8; ++k) {
                    o[2 * k] = s[i + k];
                    o[2 * k + 1] = 0;
                }
            }
            o += 16;
            i += 8;
        }
        if (i >= n) break;
        if (s[i] < 0x80) {
            *o++ = s[i++];
            *o++ = 0;
            continue;
        }
        const char32_t cp = nextCodePoint(utf8, i);
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
}

namespace messaging {

ltp::Property toLtp(const Prop& p) { return {p.tag, p.value}; }
ltp::Property toLtp(Prop&& p) { return {p.tag, std::move(p.value)}; }

void setProperty(std::vector<ltp::Property>& props, ltp::Property p)
{
    auto it = std::find_if(props.begin(), props.end(),
                           [&](const auto& q) { return fmt::tagId(q.tag) == fmt::tagId(p.tag); });
    if (it != props.end())
        *it = std::move(p);
    else
        props.push_back(std::move(p));
}

const ltp::Property* findProperty(const std::vector<ltp::Property>& props, PropTag t)
{
    auto it = std::find_if(props.begin(), props.end(), [&](const auto& q) { return q.tag == t; });
    return it != props.end() ? &*it : nullptr;
}

namespace {

ltp::TableSchema schemaOf(std::initializer_list<PropTag> tags)
{
    const std::vector<PropTag> v(tags);
    return ltp::TableSchema::fromTags(v);
}

constexpr PropTag t(std::uint16_t id, std::uint16_t type) { return makeTag(id, type); }

}  // namespace

const ltp::TableSchema& hierarchySchema()
{
    // PidTagReplItemid (0x0E30) is binary in Outlook's own files, though listed as an integer.
    static const auto s
        = schemaOf({t(0x0E30, pt::kBinary), t(0x0E33, pt::kInt64), t(0x0E34, pt::kBinary), t(0x0E38, pt::kInt32),
                    tag::kDisplayName, tag::kContentCount, tag::kContentUnreadCount, tag::kSubfolders,
                    tag::kContainerClass, t(0x6635, pt::kInt32), t(0x6636, pt::kInt32)});
    return s;
}

const ltp::TableSchema& contentsSchema()
{
    static const auto s = schemaOf(
        {tag::kImportance,           tag::kMessageClass,         tag::kSensitivity,      tag::kSubject,
         tag::kClientSubmitTime,     tag::kSentRepresentingName, tag::kMessageToMe,      tag::kMessageCcMe,
         tag::kConversationTopic,    tag::kConversationIndex,    tag::kDisplayCc,        tag::kDisplayTo,
         tag::kDeliveryTime,         tag::kMessageFlags,         tag::kMessageSize,      tag::kMessageStatus,
         t(0x0E30, pt::kBinary),     t(0x0E33, pt::kInt64),      t(0x0E34, pt::kBinary), t(0x0E38, pt::kInt32),
         t(0x0E3C, pt::kBinary),     t(0x0E3D, pt::kBinary),     t(0x1097, pt::kInt32),  t(0x3013, pt::kBinary),
         tag::kLastModificationTime, t(0x65C6, pt::kInt32)});
    return s;
}

const ltp::TableSchema& assocContentsSchema()
{
    static const auto s = schemaOf({tag::kMessageClass, tag::kMessageFlags, tag::kMessageStatus, tag::kDisplayName,
                                    t(0x6800, pt::kString), t(0x6803, pt::kBoolean), t(0x6805, pt::kMultiInt32),
                                    t(0x7003, pt::kInt32), t(0x7004, pt::kBinary), t(0x7005, pt::kBinary),
                                    t(0x7006, pt::kString), t(0x7007, pt::kInt32), t(0x682F, pt::kString)});
    return s;
}

const ltp::TableSchema& searchContentsSchema()
{
    static const auto s
        = schemaOf({tag::kImportance, tag::kMessageClass, tag::kSensitivity, tag::kMessageFlags, tag::kMessageStatus,
                    tag::kSubject, tag::kSentRepresentingName, tag::kMessageToMe, tag::kMessageCcMe, tag::kDisplayCc,
                    tag::kDisplayTo, t(0x0E05, pt::kString), tag::kDeliveryTime, tag::kMessageSize,
                    t(0x0E2A, pt::kBoolean), tag::kLastModificationTime, t(0x67F1, pt::kInt32)});
    return s;
}

std::vector<PropTag> recipientTemplateTags()
{
    return {tag::kRecipientType, tag::kResponsibility, tag::kRecordKey,       tag::kObjectType,
            tag::kEntryId,       tag::kDisplayName,    tag::kAddrType,        tag::kEmailAddress,
            tag::kSearchKey,     tag::kDisplayType,    tag::k7BitDisplayName, tag::kSendRichInfo};
}

std::vector<PropTag> attachmentTemplateTags()
{
    return {tag::kAttachSize, tag::kAttachFilename, tag::kAttachMethod, tag::kRenderingPosition};
}

ltp::Property rowVersionCell(std::uint32_t rowVersion)
{
    return toLtp(Prop::int32(fmt::tagId(tag::kRowVersion), static_cast<std::int32_t>(rowVersion)));
}

PackedRow packRow(std::uint32_t rowId, std::uint32_t rowVersion, const std::vector<ltp::Property>& props,
                  const ltp::TableSchema& schema)
{
    PackedRow row{rowId, {}};
    const ltp::Property version = rowVersionCell(rowVersion);
    // The schema is asked once per property: a message has a few dozen, and so do its rows.
    std::vector<const ltp::Property*> cells{&version};
    cells.reserve(props.size() + 1);
    std::size_t size = 0;
    for (const auto& p : props)
        if (schema.find(p.tag)) cells.push_back(&p);
    for (const auto* p : cells) size += 8 + p->value.size();
    row.cells.resize(size);  // exactly: the row is kept until the folder closes
    std::size_t at = 0;
    for (const auto* p : cells) {
        bytes::put<std::uint32_t>(row.cells, at, p->tag);
        bytes::put<std::uint32_t>(row.cells, at + 4, static_cast<std::uint32_t>(p->value.size()));
        std::copy(p->value.begin(), p->value.end(), row.cells.begin() + static_cast<std::ptrdiff_t>(at + 8));
        at += 8 + p->value.size();
    }
    return row;
}

void unpackRow(std::uint32_t rowId, std::span<const std::uint8_t> in, ltp::Row& row)
{
    row.rowId = rowId;
    std::size_t k = 0;
    for (std::size_t at = 0; at + 8 <= in.size(); ++k) {
        const auto tg = bytes::get<std::uint32_t>(in, at);
        const auto n = bytes::get<std::uint32_t>(in, at + 4);
        at += 8;
        if (k == row.cells.size()) row.cells.emplace_back();
        ltp::Property& cell = row.cells[k];
        cell.tag = tg;
        cell.value.assign(in.begin() + static_cast<std::ptrdiff_t>(at),
                          in.begin() + static_cast<std::ptrdiff_t>(at + n));
        cell.subnode = 0;
        at += n;
    }
    row.cells.resize(k);
}

}  // namespace messaging
}  // namespace quillmark::pst
