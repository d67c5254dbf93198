#include "engine/mbox/message_cutter.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <utility>

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#define QUILLMARK_SSE2 1
#endif

namespace quillmark {
namespace {

constexpr std::size_t kHeadWindow = 64 * 1024;
constexpr std::string_view kFrom = "From ";

// The first CR or LF in [p, e), or e. Mail lines are short, so one call per line must be cheap:
// sixteen bytes are looked at in one step where the processor allows.
inline const char* findLineEnd(const char* p, const char* e) noexcept
{
#ifdef QUILLMARK_SSE2
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    for (; e - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const auto mask
            = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr))));
        if (mask != 0) return p + std::countr_zero(mask);
    }
#endif
    while (p < e && *p != '\n' && *p != '\r') ++p;
    return p;
}

// Copies the bytes of [p, e) up to the first CR or LF to out and returns where that is (or e).
// out must have room for e - p bytes plus 16: whole blocks of sixteen are stored, and the bytes
// past the line end are written over next.
inline const char* copyToLineEnd(const char* p, const char* e, char*& out) noexcept
{
#ifdef QUILLMARK_SSE2
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    for (; e - p >= 16; p += 16, out += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        const auto mask
            = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr))));
        if (mask != 0) {
            const int n = std::countr_zero(mask);
            out += n;
            return p + n;
        }
    }
#endif
    const char* t = findLineEnd(p, e);
    std::memcpy(out, p, static_cast<std::size_t>(t - p));
    out += t - p;
    return t;
}

// Turns a message's bytes into its clean text block by block: drops the separator line, trims
// leading blanks, ends every line in CR LF (a CR at the end of one block and an LF at the start
// of the next are one line end) and, for an .mbox file, writes a line that begins with "From "
// as ">From ". All of it in one pass over the bytes. The output of a block is at most twice its
// size plus a few bytes, so room is made once per block and filled through a pointer.
class LineEndConverter {
public:
    LineEndConverter(ByteBuffer& out, Escaping escaping) : m_out(out), m_escape(escaping == Escaping::FromLines) {}

    // Drops the separator line: everything up to and including the first line end.
    // Returns how many bytes of block belong to it.
    std::size_t skipSeparator(std::span<const char> block)
    {
        if (m_skipLf) {
            m_skipLf = false;
            m_inSeparator = false;
            return (!block.empty() && block[0] == '\n') ? 1 : 0;
        }
        const char* const b = block.data();
        const auto i = static_cast<std::size_t>(findLineEnd(b, b + block.size()) - b);
        if (i == block.size()) return i;
        m_inSeparator = false;
        if (block[i] == '\r') {
            if (i + 1 < block.size()) return block[i + 1] == '\n' ? i + 2 : i + 1;
            m_skipLf = true;
            m_inSeparator = true;  // still waiting for a possible LF
            return i + 1;
        }
        return i + 1;
    }

    void feed(std::span<const char> block)
    {
        const char* p = block.data();
        const char* const e = p + block.size();
        if (m_inSeparator) {
            p += skipSeparator(block);
            if (m_inSeparator) return;
        }
        if (m_skipLf) {
            m_skipLf = false;
            if (p < e && *p == '\n') ++p;
        }
        if (m_trimming) {
            while (p < e && *p == ' ') ++p;
            if (p == e) return;
            m_trimming = false;
        }
        char* const start = m_out.reserveMore(2 * static_cast<std::size_t>(e - p) + kSlack);
        char* out = start;
        if (m_escape && m_atLineStart && !escapeLineStart(p, e, out)) {
            m_out.commit(static_cast<std::size_t>(out - start));
            return;
        }
        while (p < e) {
            const char* t = copyToLineEnd(p, e, out);
            if (t > p) m_atLineStart = false;
            if (t == e) break;
            *out++ = '\r';
            *out++ = '\n';
            m_atLineStart = true;
            p = t + 1;
            if (*t == '\r') {
                if (p == e) {
                    m_skipLf = true;
                    break;
                }
                if (*p == '\n') ++p;
            }
            if (m_escape && !escapeLineStart(p, e, out)) break;
        }
        m_out.commit(static_cast<std::size_t>(out - start));
    }

    void finish()
    {
        char* out = m_out.reserveMore(kSlack);
        std::size_t n = 0;
        if (m_pending > 0) {  // fewer than five bytes: never "From "
            std::memcpy(out, kFrom.data(), m_pending);
            n = std::exchange(m_pending, 0);
            m_atLineStart = false;
        }
        if (!m_trimming && !m_atLineStart) {
            out[n++] = '\r';
            out[n++] = '\n';
        }
        out[n++] = '\r';
        out[n++] = '\n';
        m_out.commit(n);
    }

private:
    static constexpr std::size_t kSlack = 32;  // a held line start, a ">", line ends, a block of 16

    // At the start of a line, with the first bytes of it (and those held from the last block):
    // writes ">" when they are "From ", then what was held. False when the block ended before
    // they tell: its bytes are held, all of them a beginning of "From ".
    bool escapeLineStart(const char*& p, const char* e, char*& out)
    {
        if (m_pending == 0 && e - p >= 5) {  // the usual case: the line's first five bytes are here
            if (p[0] == 'F' && std::memcmp(p + 1, "rom ", 4) == 0) *out++ = '>';
            return true;
        }
        const std::size_t need = kFrom.size() - m_pending;
        const std::size_t k = std::min(need, static_cast<std::size_t>(e - p));
        const bool same = std::memcmp(p, kFrom.data() + m_pending, k) == 0;
        if (same && k < need) {
            m_pending += k;  // the held bytes are always the start of "From ", so only counted
            p += k;
            return false;
        }
        if (same) *out++ = '>';
        if (m_pending > 0) {
            std::memcpy(out, kFrom.data(), m_pending);
            out += std::exchange(m_pending, 0);
            m_atLineStart = false;
        }
        return true;
    }

    ByteBuffer& m_out;
    bool m_escape;
    bool m_inSeparator = true;
    bool m_skipLf = false;
    bool m_trimming = true;
    bool m_atLineStart = true;
    std::size_t m_pending = 0;  // bytes of a line start held back: the first m_pending of "From "
};

// Where the line that starts at pos ends (the first CR or LF), or npos.
std::size_t lineEnd(std::string_view text, std::size_t pos)
{
    if (pos >= text.size()) return std::string_view::npos;
    const char* const e = text.data() + text.size();
    const char* t = findLineEnd(text.data() + pos, e);
    return t == e ? std::string_view::npos : static_cast<std::size_t>(t - text.data());
}

bool startsWithField(std::string_view line, std::string_view lowerName)
{
    return line.size() > lowerName.size()
        && std::equal(lowerName.begin(), lowerName.end(), line.begin(),
                      [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b + 32 : b); });
}

std::optional<std::uint32_t> hexValue(std::string_view value)
{
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    std::uint32_t status = 0;
    const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), status, 16);
    if (ec == std::errc() && ptr != value.data()) return status;
    return std::nullopt;
}

// Thunderbird's own fields of a header block held in a buffer (stops at the first empty line):
// the first of each counts.
void readMozillaFields(std::string_view block, MessageHead& head)
{
    constexpr std::string_view kStatus = "x-mozilla-status:", kStatus2 = "x-mozilla-status2:",
                               kDraft = "x-mozilla-draft-info:", kKeys = "x-mozilla-keys:";
    bool status = false, status2 = false, keys = false;
    std::size_t pos = 0;
    while (pos < block.size()) {
        std::size_t eol = lineEnd(block, pos);
        if (eol == std::string_view::npos) eol = block.size();
        const std::string_view line = block.substr(pos, eol - pos);
        if (line.empty()) break;  // end of the header block
        pos = eol;
        if (pos < block.size() && block[pos] == '\r') ++pos;
        if (pos < block.size() && block[pos] == '\n') ++pos;
        // Each of Thunderbird's fields begins with "X-M" and is longer than the shortest name;
        // mail has many other "X-" fields.
        if (line.size() <= kKeys.size() || (line[0] | 0x20) != 'x' || line[1] != '-' || (line[2] | 0x20) != 'm')
            continue;
        if (!status && startsWithField(line, kStatus)) {
            status = true;
            head.mozillaStatus = hexValue(line.substr(kStatus.size()));
        } else if (!status2 && startsWithField(line, kStatus2)) {
            status2 = true;
            head.mozillaStatus2 = hexValue(line.substr(kStatus2.size()));
        } else if (startsWithField(line, kDraft)) {
            head.draft = true;
        } else if (!keys && startsWithField(line, kKeys)) {
            keys = true;
            // Thunderbird pads the field with blanks so that it can add tags in place.
            head.keys = std::string(line.substr(kKeys.size()));
        }
    }
}

}  // namespace

std::vector<MessageSpan> messageSpans(std::span<const std::uint64_t> boundaries, std::uint64_t mailboxSize)
{
    std::vector<MessageSpan> spans;
    spans.reserve(boundaries.size());
    for (std::size_t j = 0; j < boundaries.size(); ++j)
        spans.push_back({boundaries[j], j + 1 < boundaries.size() ? boundaries[j + 1] : mailboxSize});
    return spans;
}

char* ByteBuffer::reserveMore(std::size_t n)
{
    if (m_size + n > m_capacity) {
        const std::size_t capacity = std::max(m_size + n, 2 * m_capacity);
        auto grown = std::make_unique_for_overwrite<char[]>(capacity);
        if (m_size) std::memcpy(grown.get(), m_data.get(), m_size);
        m_data = std::move(grown);
        m_capacity = capacity;
    }
    return m_data.get() + m_size;
}

MessageCutter::MessageCutter(WindowReader& reader) : m_reader(reader) {}

MessageHead readHead(std::string_view messageBytes)
{
    const std::string_view block = messageBytes.substr(0, kHeadWindow);
    MessageHead head;
    std::size_t eol = lineEnd(block, 0);
    head.separatorLine = std::string(block.substr(0, eol));
    if (eol != std::string_view::npos) {
        std::size_t next = eol + 1;
        if (block[eol] == '\r' && next < block.size() && block[next] == '\n') ++next;
        readMozillaFields(block.substr(next), head);
    }
    return head;
}

Result<MessageHead> MessageCutter::head(MessageSpan span)
{
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(span.size(), kHeadWindow));
    auto view = m_reader.view(span.begin, want);
    if (!view) return std::move(view).error();
    return readHead(std::string_view(view->data(), std::min(view->size(), want)));
}

Result<std::uint64_t> MessageCutter::cut(MessageSpan span, ByteSink& sink, Escaping escaping)
{
    LineEndConverter converter(m_out, escaping);
    std::uint64_t written = 0;
    std::uint64_t pos = span.begin;
    const std::size_t block = m_reader.windowSize() / 2;
    while (pos < span.end) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(span.end - pos, block));
        auto view = m_reader.view(pos, want);
        if (!view) return std::move(view).error();
        if (view->empty()) return Error{Code::Io, "the mailbox became shorter while it was read", pos};
        const auto take = std::min(view->size(), want);
        m_out.clear();
        converter.feed(view->first(take));
        pos += take;
        if (pos >= span.end) converter.finish();
        if (!m_out.empty()) {
            if (auto r = sink.put(m_out.bytes()); !r) return std::move(r).error();
            written += m_out.size();
        }
    }
    if (span.begin == span.end) {
        m_out.clear();
        converter.finish();
        if (auto r = sink.put(m_out.bytes()); !r) return std::move(r).error();
        written += m_out.size();
    }
    return written;
}

std::string_view cleanTextInto(ByteBuffer& out, std::string_view messageBytes, Escaping escaping)
{
    out.clear();
    LineEndConverter converter(out, escaping);
    converter.feed(std::span<const char>(messageBytes.data(), messageBytes.size()));
    converter.finish();
    return {out.data(), out.size()};
}

std::string cleanText(std::string_view messageBytes, Escaping escaping)
{
    ByteBuffer out;
    return std::string(cleanTextInto(out, messageBytes, escaping));
}

}  // namespace quillmark
