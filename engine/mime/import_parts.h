// Pieces of the RFC 822 import that its two readings share (GMime's parser, and the quick reader
// of messages of plain structure): the header block as it stands, its fields, people and dates,
// and the rules that make every text storable. Internal to the import.
#pragma once

#include "engine/mime/header_text.h"
#include "engine/mime/rfc822_import.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::importing {

std::string lower(std::string_view s);
std::string trimmed(std::string_view s);
std::string stripAngles(std::string_view id);
// The header block as it stands in the message: everything before the first empty line.
std::string_view headerBlock(std::string_view text);
std::string_view bodyAfterHeaders(std::string_view text);
// Whether `name` is `lowerName` in any case, without making a lower-case copy.
bool isNamed(std::string_view name, std::string_view lowerName);

// Calls fn(name, line) for every line of the header block, with the name of the field the line
// belongs to (continuation lines included); the name is empty for a line that starts no field
// GMime would take as one (no colon, or a name of other than printable ASCII).
template <class Fn>
void forEachHeaderLine(std::string_view head, Fn fn)
{
    std::string_view name;
    for (std::size_t pos = 0; pos < head.size();) {
        const std::size_t eol = head.find('\n', pos);
        const std::size_t next = eol == std::string_view::npos ? head.size() : eol + 1;
        const std::string_view line = head.substr(pos, next - pos);
        pos = next;
        if (line[0] != ' ' && line[0] != '\t') {
            const auto colon = line.find(':');
            name = colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
            if (!std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 127; })) name = {};
        }
        fn(name, line);
    }
}

// Fields with a plain value the import reads from the raw header block, with GMime's own string
// functions, so that GMime need not make an object of each: as GMime gives them, unfolded and
// RFC 2047 words decoded. That is only done when every line of the block is a proper field (the
// usual case): otherwise GMime reads the block as it is, and these fields from it.
class PlainFields {
public:
    // clang-format off
    static constexpr std::array<std::string_view, 23> kNames{
        "date", "message-id", "in-reply-to", "references", "importance", "x-priority", "priority",
        "sensitivity", "received", "thread-topic", "thread-index", "subject", "from", "sender",
        "reply-to", "to", "cc", "bcc", "content-type", "content-transfer-encoding",
        "content-disposition", "content-id", "content-location"};
    // clang-format on

    explicit PlainFields(std::string_view head)
    {
        forEachHeaderLine(head, [&](std::string_view name, std::string_view line) {
            if (name.empty()) m_proper = false;
            if (line[0] != ' ' && line[0] != '\t') {
                m_current = nullptr;
                if (const auto i = indexOf(name)) {
                    m_current = &add(*i, line.substr(name.size() + 1));
                    return;
                }
            }
            // A continuation line: the value (a view into the block) reaches to its end.
            if (m_current)
                *m_current = std::string_view(m_current->data(),
                                              static_cast<std::size_t>(line.data() + line.size() - m_current->data()));
        });
    }

    bool usable() const noexcept { return m_proper; }

    // Which of kNames a field name is, in any case: asked of every line of every header block,
    // so only the names of its length are compared.
    static std::optional<std::size_t> indexOf(std::string_view name) noexcept
    {
        constexpr std::size_t kLongest = 25;  // content-transfer-encoding
        static constexpr auto kByLength = [] {
            // For each length, the indexes of the names that long (at most 5 share one), then 0xFF.
            std::array<std::array<std::uint8_t, 6>, kLongest + 1> table{};
            for (auto& row : table) row.fill(0xFF);
            for (std::size_t i = 0; i < kNames.size(); ++i) {
                auto& row = table[kNames[i].size()];
                std::size_t k = 0;
                while (row[k] != 0xFF) ++k;
                row[k] = static_cast<std::uint8_t>(i);
            }
            return table;
        }();
        if (name.empty() || name.size() > kLongest) return std::nullopt;
        const auto& candidates = kByLength[name.size()];
        if (candidates[0] == 0xFF) return std::nullopt;
        char lowered[kLongest];
        for (std::size_t i = 0; i < name.size(); ++i)
            lowered[i] = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
        const std::string_view key(lowered, name.size());
        for (const std::uint8_t i : candidates) {
            if (i == 0xFF) break;
            if (kNames[i] == key) return i;
        }
        return std::nullopt;
    }

    std::optional<std::string> first(std::string_view name) const { return value(name, true); }
    std::optional<std::string> last(std::string_view name) const { return value(name, false); }
    // Every field of that name as it stands after its colon, line ends included.
    std::span<const std::string_view> raw(std::string_view name) const
    {
        const auto i = static_cast<std::size_t>(std::find(kNames.begin(), kNames.end(), name) - kNames.begin());
        assert(i < kNames.size() && "only the names in kNames are kept");
        if (m_count[i] < 2) return {&m_first[i], m_count[i]};
        return m_all[i];
    }

private:
    std::optional<std::string> value(std::string_view name, bool first) const
    {
        const auto& all = raw(name);
        if (all.empty()) return std::nullopt;
        const std::string_view raw = first ? all.front() : all.back();
        return gmime::decodeHeaderText(raw);
    }

    std::string_view& add(std::size_t i, std::string_view value)
    {
        if (m_count[i]++ == 0) return m_first[i] = value;
        if (m_all[i].empty()) m_all[i].push_back(m_first[i]);
        return m_all[i].emplace_back(value);
    }

    bool m_proper = true;
    // Views into the header block, which outlives this: the first field of each name, and all of
    // them only for a name that comes more than once (Received), so that a block costs next to
    // no allocations.
    std::array<std::string_view, kNames.size()> m_first{};
    std::array<std::size_t, kNames.size()> m_count{};
    std::array<std::vector<std::string_view>, kNames.size()> m_all;
    std::string_view* m_current = nullptr;
};

// Every field of a name as it was written, several joined as one list ("" when there is none).
using RawFields = std::function<std::string(const char* name)>;

// A header field's value as GMime gives it (unfolded, RFC 2047 words decoded), or none.
using FieldLookup = std::function<std::optional<std::string>(std::string_view name)>;

// Dates, identifiers, thread and importance; the people; Date and Message-ID (see the .cpp).
void readPlainFields(const PlainFields& plain, const FieldLookup& field, ImportedMessage& m);
void readPeople(const RawFields& raw, Reading reading, ImportedMessage& m);
void readDateAndId(const PlainFields& plain, ImportedMessage& m);

// Attachments the HTML body shows in place are inline images, not in the attachment list.
void markInlineParts(ImportedMessage& m);
// Every text field as a mail store can keep it.
void toStoreText(ImportedMessage& m, bool bodyIsStoreText);

// Reads `text` (whose header block is `head`) into `m` when its structure and fields have plain
// forms, to GMime's result; false, and `m` untouched, when GMime's parser must read it.
bool importQuick(std::string_view text, std::string_view head, const PlainFields& plain, ImportedMessage& m);

}  // namespace quillmark::importing
