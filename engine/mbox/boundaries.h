// Where messages begin. The scanner reports every "From " in a mailbox; a hit is a message
// boundary only when it starts a line (offset 0, or the byte before it is LF or CR) and the line
// after it looks like a header field: a name of printable ASCII without blank or colon, then ":".
// That is how today's Thunderbird reads its own mailboxes; a "From " inside a line, or a body
// line that starts with "From " but has no header after it, does not split a message.
#pragma once

#include "scan/window_reader.h"

#include <cstdint>
#include <span>
#include <vector>

namespace quillmark {

// Longest separator line and header field name we look through before giving up: a real
// separator ("From sender date") and a field name are short; a longer line is body text.
inline constexpr std::size_t kMaxSeparatorLine = 64 * 1024;
inline constexpr std::size_t kMaxFieldName = 1024;

// bytes begins with the hit ("From ..."); atEnd says whether bytes runs to the end of the file
// (else a line cut off at the end of bytes counts as too long).
bool startsMessage(std::span<const char> bytes, bool atEnd) noexcept;

// Length of a UTF-8 byte-order mark at the start of the mailbox (0 or 3): some tools write one
// before the first separator; it is no content, and the separator after it starts a line.
[[nodiscard]] Result<std::size_t> byteOrderMarkLength(WindowReader& reader);

// Whether the file begins with a message boundary (after a byte-order mark, if any): how a file
// that is a mailbox begins, whatever its name.
[[nodiscard]] Result<bool> beginsWithMessage(WindowReader& reader);

// Whether the hit at offset `hit` is a message boundary; bom is byteOrderMarkLength(). Judged from
// the bytes the reader's window already holds wherever they suffice, so that sorting the hits
// while the scanner finds them costs no second read of the mailbox.
[[nodiscard]] Result<bool> isMessageBoundary(WindowReader& reader, std::uint64_t hit, std::size_t bom);

// The hits (ascending) that are message boundaries.
[[nodiscard]] Result<std::vector<std::uint64_t>> messageBoundaries(WindowReader& reader,
                                                                   std::span<const std::uint64_t> hits);

}  // namespace quillmark
