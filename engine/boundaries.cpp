#include "engine/boundaries.h"

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
    if (bytes[i] == '\r' && i + 1 < n && bytes[i + 1] == '\n') ++i;
    else if (bytes[i] == '\r' && i + 1 == n && !atEnd) return false;  // CR LF split: can't tell
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

Result<std::vector<std::uint64_t>> messageBoundaries(WindowReader& reader, std::span<const std::uint64_t> hits)
{
    std::vector<std::uint64_t> out;
    out.reserve(hits.size());
    const std::size_t want = kMaxSeparatorLine + kMaxFieldName + 4;
    for (const std::uint64_t hit : hits) {
        const std::uint64_t from = hit == 0 ? 0 : hit - 1;
        auto view = reader.view(from, want);
        if (!view) return std::move(view).error();
        std::span<const char> bytes = *view;
        if (hit == kUtf8Bom.size()) {
            auto bom = byteOrderMarkLength(reader);
            if (!bom) return std::move(bom).error();
            if (*bom == hit) {
                auto at = reader.view(hit, want);
                if (!at) return std::move(at).error();
                bytes = *at;
                bytes = bytes.first(std::min(bytes.size(), want));
                if (startsMessage(bytes, hit + bytes.size() >= reader.size())) out.push_back(hit);
                continue;
            }
        }
        if (hit > 0) {
            if (bytes.empty() || (bytes[0] != '\n' && bytes[0] != '\r')) continue;
            bytes = bytes.subspan(1);
        }
        bytes = bytes.first(std::min(bytes.size(), want));
        const bool atEnd = hit + bytes.size() >= reader.size();
        if (startsMessage(bytes, atEnd)) out.push_back(hit);
    }
    return out;
}

}  // namespace quillmark
