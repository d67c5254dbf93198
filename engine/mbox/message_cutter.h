// Cuts messages out of a mailbox by bytes and turns each into a clean RFC 822 text.
//
// Message j is exactly the bytes from its boundary up to the next boundary (the last one: to the
// end of the scanned mailbox): no line is dropped or duplicated. Its clean text, which every
// target builds on, is those bytes
// - without the first line, the mailbox's separator line ("From ..."), which is mbox framing and
//   not a header field;
// - with every line ending in CR LF (LF, CR LF and a lone CR each end a line; other bytes pass
//   unchanged), leading blanks removed, and one extra CR LF at the end.
// The text is streamed in blocks, so a message of any size costs a window of memory.
#pragma once

#include "scan/window_reader.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillmark {

struct MessageSpan {
    std::uint64_t begin = 0;  // offset of the "F" of the separator line
    std::uint64_t end = 0;    // one past the last byte
    std::uint64_t size() const noexcept { return end - begin; }
};

// Message j spans boundary j up to boundary j+1, or to mailboxSize for the last one.
std::vector<MessageSpan> messageSpans(std::span<const std::uint64_t> boundaries, std::uint64_t mailboxSize);

// What the first block of a message tells before it is written.
// Thunderbird's state of a message, from its own header fields.
struct MozillaState {
    std::optional<std::uint32_t> mozillaStatus;   // X-Mozilla-Status, when present and readable
    std::optional<std::uint32_t> mozillaStatus2;  // X-Mozilla-Status2, likewise
    bool draft = false;                           // X-Mozilla-Draft-Info present: an unsent draft
    std::string keys;                             // X-Mozilla-Keys: the tags' keys, blank-separated
    // Thunderbird's status bits (X-Mozilla-Status, and Status2 for a copy held in part).
    static constexpr std::uint32_t kRead = 0x0001, kReplied = 0x0002, kStarred = 0x0004, kExpunged = 0x0008,
                                   kForwarded = 0x1000, kPartial = 0x00000400;
    bool expunged() const noexcept { return mozillaStatus && (*mozillaStatus & kExpunged); }
    // Only the headers are kept (an IMAP folder synchronised without bodies).
    bool headersOnly() const noexcept { return mozillaStatus2 && (*mozillaStatus2 & kPartial); }
    static constexpr const char* kHeadersOnlyText
        = "Thunderbird holds only part of it (its headers, from an IMAP server); that part is converted";
};

struct MessageHead : MozillaState {
    std::string separatorLine;  // without its line end
};

class ByteSink {
public:
    virtual ~ByteSink() = default;
    [[nodiscard]] virtual Result<void> put(std::span<const char> bytes) = 0;
};

class StringSink final : public ByteSink {
public:
    Result<void> put(std::span<const char> bytes) override
    {
        text.append(bytes.data(), bytes.size());
        return Ok{};
    }
    std::string text;
};

// Output bytes of the line-end conversion: grows without zero-filling what is overwritten anyway.
class ByteBuffer {
public:
    void clear() noexcept { m_size = 0; }
    void truncate(std::size_t n) noexcept { m_size = n < m_size ? n : m_size; }
    // Room for n more bytes; returns where they go.
    char* reserveMore(std::size_t n);
    void commit(std::size_t n) noexcept { m_size += n; }
    const char* data() const noexcept { return m_data.get(); }
    std::size_t size() const noexcept { return m_size; }
    bool empty() const noexcept { return m_size == 0; }
    std::span<const char> bytes() const noexcept { return {m_data.get(), m_size}; }

private:
    std::unique_ptr<char[]> m_data;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

// Whether a clean text is made for an .mbox file: every line that begins with "From " is then
// written as ">From " (an existing ">From " stays as it is), so that no reader splits the message
// there.
enum class Escaping { None, FromLines };

class MessageCutter {
public:
    explicit MessageCutter(WindowReader& reader);

    [[nodiscard]] Result<MessageHead> head(MessageSpan span);
    // Streams the clean text of the message to sink; returns its length in bytes.
    [[nodiscard]] Result<std::uint64_t> cut(MessageSpan span, ByteSink& sink, Escaping escaping = Escaping::None);

private:
    WindowReader& m_reader;
    ByteBuffer m_out;
};

// What head() tells, from the message's bytes held in memory (from its separator line on).
MessageHead readHead(std::string_view messageBytes);

// The clean-text transform on bytes held in memory (the message without anything around it).
std::string cleanText(std::string_view messageBytes, Escaping escaping = Escaping::None);
// The same into `out`, whose room is kept for the next message: the text is valid until `out`
// changes. For callers that clean one message after another.
std::string_view cleanTextInto(ByteBuffer& out, std::string_view messageBytes, Escaping escaping = Escaping::None);

}  // namespace quillmark
