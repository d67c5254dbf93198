#include "engine/pst/messaging/conversation.h"

#include "engine/pst/property_tags.h"

#include <algorithm>
#include <array>
#include <tuple>

namespace quillmark::pst {

namespace {

using tag::kConversationBlockSize;
using tag::kConversationHeaderSize;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view skipBlanks(std::string_view s)
{
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    return s;
}

// Reply and forward prefixes as mail programs write them in the languages mail commonly comes in.
// ASCII letters match in any case; the others as listed.
constexpr std::string_view kPrefixes[] = {
    "re",  "fw", "fwd", "aw",  "wg", "sv",  "vs",  "vb",  "antw", "doorst", "tr", "rif",  "enc",  "res",  "rv",
    "odp", "pd", "ynt", "ilt", "vl", "ref", "réf", "Отв", "ОТВ",  "ΑΠ",     "Απ", "ΣΧΕΤ", "回复", "答复", "转发",
};

bool startsWithFolded(std::string_view s, std::string_view word)
{
    if (s.size() < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        const auto a = static_cast<unsigned char>(s[i]);
        const auto lower = a < 0x80 && a >= 'A' && a <= 'Z' ? static_cast<unsigned char>(a + 32) : a;
        if (lower != static_cast<unsigned char>(word[i])) return false;
    }
    return true;
}

// The rest after one prefix at the start of s ("Re:", "Re[2]:", "Re(2):", "回复："), or nullopt.
std::optional<std::string_view> afterPrefix(std::string_view s)
{
    for (const std::string_view word : kPrefixes) {
        if (!startsWithFolded(s, word)) continue;
        std::string_view rest = s.substr(word.size());
        // A count of replies in brackets, as some programs write it.
        if (!rest.empty() && (rest.front() == '[' || rest.front() == '(')) {
            const char close = rest.front() == '[' ? ']' : ')';
            std::size_t i = 1;
            while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') ++i;
            if (i == 1 || i >= rest.size() || rest[i] != close) continue;
            rest.remove_prefix(i + 1);
        }
        constexpr std::string_view kFullWidthColon = "\xEF\xBC\x9A";
        if (rest.starts_with(':')) return rest.substr(1);
        if (rest.starts_with(kFullWidthColon)) return rest.substr(kFullWidthColon.size());
    }
    return std::nullopt;
}

// The first Message-ID of a field that lists them ("<a@b> <c@d>"), without its angle brackets;
// and how many it lists.
std::pair<std::string_view, std::size_t> messageIds(std::string_view field)
{
    std::string_view first;
    std::size_t count = 0;
    for (std::size_t open = field.find('<'); open != std::string_view::npos; open = field.find('<', open + 1)) {
        const std::size_t close = field.find('>', open + 1);
        if (close == std::string_view::npos) break;
        if (count++ == 0) first = field.substr(open + 1, close - open - 1);
        open = close;
    }
    if (count == 0) {  // written without brackets: the first word
        field = skipBlanks(field);
        first = field.substr(
            0, static_cast<std::size_t>(std::find_if(field.begin(), field.end(), isBlank) - field.begin()));
        count = first.empty() ? 0 : 1;
    }
    return {first, count};
}

// 64-bit FNV-1a with the given basis, then mixed so that every output bit depends on every input bit.
std::uint64_t hash64(std::string_view text, std::uint64_t basis)
{
    std::uint64_t h = basis;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001B3ULL;
    }
    h ^= h >> 30;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 27;
    h *= 0x94D049BB133111EBULL;
    return h ^ (h >> 31);
}

// A GUID that is the same wherever the thread's first Message-ID is: the thread's.
std::array<std::uint8_t, 16> threadGuid(std::string_view rootId)
{
    std::array<std::uint8_t, 16> g{};
    const std::uint64_t hi = hash64(rootId, 0xCBF29CE484222325ULL), lo = hash64(rootId, 0x84222325CBF29CE4ULL);
    for (int i = 0; i < 8; ++i) {
        g[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(hi >> (56 - 8 * i));
        g[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(lo >> (56 - 8 * i));
    }
    g[6] = static_cast<std::uint8_t>((g[6] & 0x0F) | 0x80);  // RFC 9562 version 8: made by its own rule
    g[8] = static_cast<std::uint8_t>((g[8] & 0x3F) | 0x80);
    return g;
}

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool wellFormed(std::span<const std::uint8_t> index)
{
    return index.size() >= kConversationHeaderSize
        && (index.size() - kConversationHeaderSize) % kConversationBlockSize == 0
        && index[0] == tag::kConversationReserved;
}

// Beyond this many reply levels a thread's index stops growing: its place stays within the thread.
constexpr std::size_t kMaxLevels = 64;

}  // namespace

std::string_view conversationTopic(std::string_view subject)
{
    std::string_view rest = skipBlanks(subject);
    bool stripped = false;
    while (const auto after = afterPrefix(rest)) {
        rest = skipBlanks(*after);
        stripped = true;
    }
    return stripped ? rest : subject;
}

std::optional<std::vector<std::uint8_t>> indexFromThreadIndex(std::string_view base64)
{
    std::vector<std::uint8_t> out;
    std::uint32_t bits = 0;
    int held = 0;
    bool padding = false;
    for (const char c : base64) {
        if (isBlank(c)) continue;
        if (c == '=') {
            padding = true;
            continue;
        }
        const int v = base64Value(c);
        if (v < 0 || padding) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> held));
        }
    }
    if (!wellFormed(out)) return std::nullopt;
    return out;
}

std::vector<std::uint8_t> conversationIndex(const ThreadFields& f)
{
    if (auto given = indexFromThreadIndex(f.threadIndex)) return std::move(*given);
    auto [root, levels] = messageIds(f.references);
    if (levels == 0) std::tie(root, levels) = std::pair{messageIds(f.inReplyTo).first, std::size_t{1}};
    if (root.empty()) std::tie(root, levels) = std::pair{messageIds(f.messageId).first, std::size_t{0}};
    if (root.empty()) return {};
    levels = std::min(levels, kMaxLevels);
    std::vector<std::uint8_t> index(kConversationHeaderSize + levels * kConversationBlockSize, 0);
    index[0] = tag::kConversationReserved;
    // The thread's first message's time is not known here: the header takes this message's own,
    // so that sorting by index keeps a thread's messages in date order. Big-endian, without the
    // FILETIME's low 24 bits.
    for (int i = 0; i < 5; ++i)
        index[static_cast<std::size_t>(1 + i)] = static_cast<std::uint8_t>(f.time >> (56 - 8 * i));
    const auto guid = threadGuid(root);
    std::copy(guid.begin(), guid.end(), index.begin() + 6);
    // Each reply level's block: time delta 0 (the header already holds this message's time), and in
    // its low byte the random nibble, taken from the message's own ID so that a file is made the
    // same way twice.
    const auto own = static_cast<std::uint8_t>(hash64(messageIds(f.messageId).first, 0) & 0xF0);
    for (std::size_t level = 0; level < levels; ++level)
        index[kConversationHeaderSize + level * kConversationBlockSize + 4] = own;
    return index;
}

}  // namespace quillmark::pst
