#include "engine/mbox/message_cutter.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace quillmark {
namespace {

constexpr std::size_t kHeadWindow = 64 * 1024;

// Converts line ends to CR LF block by block; a CR at the end of one block and an LF at the
// start of the next are one line end. The output of a block is at most twice its size plus the
// final line ends, so room is made once per block and filled through a pointer.
class LineEndConverter {
public:
    explicit LineEndConverter(ByteBuffer& out) : m_out(out) {}

    // Drops the separator line: everything up to and including the first line end.
    // Returns how many bytes of block belong to it.
    std::size_t skipSeparator(std::span<const char> block)
    {
        std::size_t i = 0;
        if (m_skipLf) {
            m_skipLf = false;
            m_inSeparator = false;
            return (!block.empty() && block[0] == '\n') ? 1 : 0;
        }
        while (i < block.size() && block[i] != '\n' && block[i] != '\r') ++i;
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
        char* const start = m_out.reserveMore(2 * static_cast<std::size_t>(e - p) + 4);
        char* out = start;
        const char* lf = find(p, e, '\n');
        const char* cr = find(p, e, '\r');
        while (p < e) {
            if (lf < p) lf = find(p, e, '\n');
            if (cr < p) cr = find(p, e, '\r');
            const char* t = std::min(lf, cr);
            if (t > p) {
                std::memcpy(out, p, static_cast<std::size_t>(t - p));
                out += t - p;
                m_atLineStart = false;
            }
            if (t == e) break;
            *out++ = '\r';
            *out++ = '\n';
            m_atLineStart = true;
            p = t + 1;
            if (*t == '\r') {
                if (p == e)
                    m_skipLf = true;
                else if (*p == '\n')
                    ++p;
            }
        }
        m_out.commit(static_cast<std::size_t>(out - start));
    }

    void finish()
    {
        char* out = m_out.reserveMore(4);
        std::size_t n = 0;
        if (!m_trimming && !m_atLineStart) {
            out[n++] = '\r';
            out[n++] = '\n';
        }
        out[n++] = '\r';
        out[n++] = '\n';
        m_out.commit(n);
    }

private:
    static const char* find(const char* p, const char* e, char c)
    {
        const void* hit = std::memchr(p, c, static_cast<std::size_t>(e - p));
        return hit ? static_cast<const char*>(hit) : e;
    }

    ByteBuffer& m_out;
    bool m_inSeparator = true;
    bool m_skipLf = false;
    bool m_trimming = true;
    bool m_atLineStart = true;
};

// Where the line that starts at pos ends (the first CR or LF), or npos. Two bounded memchr
// calls: find_first_of would call memchr once per byte of the text.
std::size_t lineEnd(std::string_view text, std::size_t pos)
{
    if (pos >= text.size()) return std::string_view::npos;
    const char* begin = text.data() + pos;
    std::size_t span = text.size() - pos;
    const void* lf = std::memchr(begin, '\n', span);
    if (lf) span = static_cast<std::size_t>(static_cast<const char*>(lf) - begin);
    const void* cr = std::memchr(begin, '\r', span);
    const void* first = cr ? cr : lf;
    return first ? static_cast<std::size_t>(static_cast<const char*>(first) - text.data()) : std::string_view::npos;
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
        pos = eol;
        if (pos < block.size() && block[pos] == '\r') ++pos;
        if (pos < block.size() && block[pos] == '\n') ++pos;
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

Result<MessageHead> MessageCutter::head(MessageSpan span)
{
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(span.size(), kHeadWindow));
    auto view = m_reader.view(span.begin, want);
    if (!view) return std::move(view).error();
    const std::string_view block(view->data(), std::min(view->size(), want));
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

Result<std::uint64_t> MessageCutter::cut(MessageSpan span, ByteSink& sink)
{
    LineEndConverter converter(m_out);
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

std::string cleanText(std::string_view messageBytes)
{
    ByteBuffer out;
    LineEndConverter converter(out);
    converter.feed(std::span<const char>(messageBytes.data(), messageBytes.size()));
    converter.finish();
    return std::string(out.data(), out.size());
}

}  // namespace quillmark
