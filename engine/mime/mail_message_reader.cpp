#include "engine/mime/mail_message_reader.h"

#include "engine/mime/gmime_support.h"
#include "engine/mime/header_text.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace quillmark {
namespace {

constexpr std::string_view kNoSender = "MAILER-DAEMON";

// The fields the separator line is made of; GMime is given only these. Building a whole message
// object from every header of every message made MBOX export about three times as costly.
enum Field { From, Sender, ReturnPath, Date, Received, kFieldCount };
constexpr std::array<std::string_view, kFieldCount> kFieldNames{"from", "sender", "return-path", "date", "received"};

// Everything up to the empty line that ends the header block; all of the text when there is
// none, cut at a line end within the limit.
std::string_view headerBlock(std::string_view messageText) noexcept
{
    const std::string_view window = messageText.substr(0, MailMessageReader::kHeaderLimit);
    if (window.starts_with("\r\n") || window.starts_with('\n')) return {};
    // The first line end followed by an empty line, LF or CR LF, in one pass over the lines.
    for (auto end = window.find('\n'); end != std::string_view::npos; end = window.find('\n', end + 1)) {
        const std::string_view next = window.substr(end + 1);
        if (next.starts_with('\n') || next.starts_with("\r\n")) return window.substr(0, end + 1);
    }
    if (window.size() == messageText.size()) return window;
    const auto lastLine = window.rfind('\n');  // no field is handed over half
    return lastLine == std::string_view::npos ? std::string_view() : window.substr(0, lastLine + 1);
}

bool sameName(std::string_view a, std::string_view lowerCase) noexcept
{
    return a.size() == lowerCase.size() && std::equal(a.begin(), a.end(), lowerCase.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? static_cast<char>(x + ('a' - 'A')) : x) == y;
           });
}

// The wanted fields, in order of appearance, each as it stands in the header block: from after
// the colon to the end of its last continuation line. A line that is neither a field nor a
// continuation (damaged input) ends the field before it and is skipped. Values are unfolded
// only when used: most messages need two of them.
struct Fields {
    std::array<std::vector<std::string_view>, kFieldCount> values;
    std::size_t total = 0;  // fields of any name

    explicit Fields(std::string_view block)
    {
        std::string_view* current = nullptr;
        while (!block.empty()) {
            const auto eol = block.find('\n');
            const std::string_view line = block.substr(0, eol);
            block.remove_prefix(eol == std::string_view::npos ? block.size() : eol + 1);
            if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
                if (current)
                    *current = std::string_view(current->data(),
                                                static_cast<std::size_t>(line.data() + line.size() - current->data()));
                continue;
            }
            current = nullptr;
            const auto colon = line.find(':');
            if (colon == std::string_view::npos || colon == 0) continue;
            ++total;
            std::string_view name = line.substr(0, colon);
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
            for (std::size_t f = 0; f < kFieldCount; ++f) {
                if (!sameName(name, kFieldNames[f])) continue;
                current = &values[f].emplace_back(line.substr(colon + 1));
                break;
            }
        }
    }
};

// A folded value as one line: its lines joined without their line ends (LF, or CR LF).
std::string unfold(std::string_view folded)
{
    std::string out;
    out.reserve(folded.size());
    while (true) {
        const auto eol = folded.find('\n');
        std::string_view line = folded.substr(0, eol);
        if (line.ends_with('\r')) line.remove_suffix(1);
        out.append(line);
        if (eol == std::string_view::npos) return out;
        folded.remove_prefix(eol + 1);
    }
}

// The address of the two forms nearly every From field has, "addr-spec" and "phrase <addr-spec>"
// (the phrase of atoms, dots, blanks and quoted strings without escapes, encoded words
// included), read directly: GMime builds
// objects and takes locks for each address it parses. Anything else is left to GMime, so the
// result is GMime's in every case.
std::optional<std::string> plainAddress(std::string_view value)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!value.empty() && blank(value.front())) value.remove_prefix(1);
    while (!value.empty() && blank(value.back())) value.remove_suffix(1);
    if (value.ends_with('>')) {
        const auto open = value.find('<');
        if (open == std::string_view::npos) return std::nullopt;
        bool quoted = false;  // inside a quoted string, which may hold anything but quotes and escapes
        for (const char c : value.substr(0, open)) {
            if (c == '"')
                quoted = !quoted;
            else if (quoted ? (c == '\\' || c == '\r' || c == '\n') : (!blank(c) && c != '.' && !gmime::isAtext(c)))
                return std::nullopt;
        }
        if (quoted) return std::nullopt;
        value = value.substr(open + 1, value.size() - open - 2);
    }
    if (!gmime::isPlainAddrSpec(value)) return std::nullopt;
    return std::string(value);
}

// The bare address (local-part@domain) of the first address in the list that has one, looking
// into groups.
std::string firstAddress(InternetAddressList* list)
{
    if (!list) return {};
    const int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        std::string found;
        if (gmime::isA(address, internet_address_group_get_type())) {
            found = firstAddress(internet_address_group_get_members(reinterpret_cast<InternetAddressGroup*>(address)));
        } else if (gmime::isA(address, internet_address_mailbox_get_type())) {
            const char* bare = internet_address_mailbox_get_addr(reinterpret_cast<InternetAddressMailbox*>(address));
            if (bare) found = bare;
        }
        if (!found.empty()) return found;
    }
    return {};
}

std::string firstAddress(const std::vector<std::string_view>& values)
{
    if (values.empty()) return {};
    const std::string value = unfold(values.front());
    if (auto plain = plainAddress(value)) return *std::move(plain);
    gmime::Owned<InternetAddressList> list(internet_address_list_parse(nullptr, value.c_str()));
    return firstAddress(list.get());
}

}  // namespace

MailMessageReader::MailMessageReader() : m_sender(kNoSender) { gmime::ensureInitialised(); }

Result<void> MailMessageReader::LoadMessageFile(std::string_view messageText)
{
    const Fields fields(headerBlock(messageText));
    m_date
        = fields.values[Date].empty() ? std::nullopt : gmime::decodeDate(unfold(fields.values[Date].front()).c_str());
    if (!m_date) m_date = gmime::newestReceived(fields.values[Received]);

    m_sender = kNoSender;
    for (const Field f : {From, Sender, ReturnPath}) {
        if (std::string found = firstAddress(fields.values[f]); !found.empty()) {
            m_sender = std::move(found);
            break;
        }
    }
    if (fields.total == 0) return Error{Code::Corrupt, "the message has no header fields"};
    return Ok{};
}

}  // namespace quillmark
