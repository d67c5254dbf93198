#include "engine/mbox/boundaries.h"

#include <algorithm>
#include <string_view>

namespace quillmark {
namespace {

bool isFieldNameChar(char c) noexcept { return c > ' ' && c < 127 && c != ':'; }

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace

bool startsMessage(std::span<const char> bytes, bool atEnd) noexcept
{
    // End of the separator line.
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n && bytes[i] != '\n' && bytes[i] != '\r') ++i;
    if (i == n) return false;  // no line after it (or a line too long to be a separator)
    if (bytes[i] == '\r' && i + 1 < n && bytes[i + 1] == '\n')
        ++i;
    else if (bytes[i] == '\r' && i + 1 == n && !atEnd)
        return false;  // CR LF split: can't tell
    ++i;
    // The next line: field name, then colon.
    const std::size_t nameStart = i;
    while (i < n && i - nameStart <= kMaxFieldName && isFieldNameChar(bytes[i])) ++i;
    return i < n && i > nameStart && bytes[i] == ':';
}

Result<std::size_t> byteOrderMarkLength(WindowReader& reader)
{
    auto head = reader.view(0, kUtf8Bom.size());
    if (!head) return std::move(head).error();
    const std::string_view start(head->data(), std::min(head->size(), kUtf8Bom.size()));
    return start == kUtf8Bom ? kUtf8Bom.size() : std::size_t{0};
}

Result<bool> beginsWithMessage(WindowReader& reader)
{
    auto bom = byteOrderMarkLength(reader);
    if (!bom) return std::move(bom).error();
    const std::size_t want = kMaxSeparatorLine + kMaxFieldName + 4;
    auto view = reader.view(*bom, want);
    if (!view) return std::move(view).error();
    const std::span<const char> bytes = view->first(std::min(view->size(), want));
    constexpr std::string_view kFrom = "From ";
    if (!std::string_view(bytes.data(), bytes.size()).starts_with(kFrom)) return false;
    return startsMessage(bytes, *bom + bytes.size() >= reader.size());
}

Result<bool> isMessageBoundary(WindowReader& reader, std::uint64_t hit, std::size_t bom)
{
    constexpr std::size_t kWant = kMaxSeparatorLine + kMaxFieldName + 4;
    // A hit at the start of the file, or right after its byte-order mark, starts a line.
    const bool fileStart = hit == 0 || (bom > 0 && hit == bom);
    const std::uint64_t from = fileStart ? hit : hit - 1;
    // First what the window holds from there on (a separator and the field after it are short);
    // only an answer that more bytes could change reads them.
    for (std::size_t want = 1;; want = kWant) {
        auto view = reader.view(from, want);
        if (!view) return std::move(view).error();
        std::span<const char> bytes = *view;
        if (!fileStart) {
            if (bytes.empty() || (bytes[0] != '\n' && bytes[0] != '\r')) return false;
            bytes = bytes.subspan(1);
        }
        bytes = bytes.first(std::min(bytes.size(), kWant));
        const bool atEnd = hit + bytes.size() >= reader.size();
        if (startsMessage(bytes, atEnd)) return true;
        if (atEnd || bytes.size() == kWant || want == kWant) return false;
    }
}

Result<std::vector<std::uint64_t>> messageBoundaries(WindowReader& reader, std::span<const std::uint64_t> hits)
{
    std::vector<std::uint64_t> out;
    out.reserve(hits.size());
    auto bom = byteOrderMarkLength(reader);
    if (!bom) return std::move(bom).error();
    for (const std::uint64_t hit : hits) {
        auto boundary = isMessageBoundary(reader, hit, *bom);
        if (!boundary) return std::move(boundary).error();
        if (*boundary) out.push_back(hit);
    }
    return out;
}

}  // namespace quillmark
