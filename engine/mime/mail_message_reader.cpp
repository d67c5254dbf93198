#include "engine/mime/mail_message_reader.h"

#include "engine/mime/gmime_support.h"

#include <algorithm>
#include <array>
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
    const auto end = std::min(window.find("\n\r\n"), window.find("\n\n"));
    if (end != std::string_view::npos) return window.substr(0, end + 1);
    if (window.size() == messageText.size()) return window;
    const auto lastLine = window.rfind('\n');  // no field is handed over half
    return lastLine == std::string_view::npos ? std::string_view() : window.substr(0, lastLine + 1);
}

bool sameName(std::string_view a, std::string_view lowerCase) noexcept
{
    return a.size() == lowerCase.size()
        && std::equal(a.begin(), a.end(), lowerCase.begin(), [](char x, char y) { return g_ascii_tolower(x) == y; });
}

// The unfolded values of the wanted fields, in order of appearance. A line that is neither a
// field nor a continuation (damaged input) ends the field before it and is skipped.
struct Fields {
    std::array<std::vector<std::string>, kFieldCount> values;
    std::size_t total = 0;  // fields of any name

    explicit Fields(std::string_view block)
    {
        std::string* current = nullptr;
        while (!block.empty()) {
            auto eol = block.find('\n');
            std::string_view line = block.substr(0, eol);
            block.remove_prefix(eol == std::string_view::npos ? block.size() : eol + 1);
            if (line.ends_with('\r')) line.remove_suffix(1);
            if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
                if (current) current->append(line);
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

std::string firstAddress(const std::vector<std::string>& values)
{
    if (values.empty()) return {};
    gmime::Owned<InternetAddressList> list(internet_address_list_parse(nullptr, values.front().c_str()));
    return firstAddress(list.get());
}

// Every Received field ends with "; <date>" (RFC 5321); the newest one is the date of delivery.
std::optional<std::chrono::sys_seconds> newestReceived(const std::vector<std::string>& values)
{
    std::optional<std::chrono::sys_seconds> newest;
    for (const auto& value : values) {
        const auto semicolon = value.rfind(';');
        if (semicolon == std::string::npos) continue;
        const auto when = gmime::decodeDate(value.c_str() + semicolon + 1);
        if (when && (!newest || *when > *newest)) newest = when;
    }
    return newest;
}

}  // namespace

MailMessageReader::MailMessageReader() : m_sender(kNoSender) { gmime::ensureInitialised(); }

Result<void> MailMessageReader::LoadMessageFile(std::string_view messageText)
{
    const Fields fields(headerBlock(messageText));
    m_date = fields.values[Date].empty() ? std::nullopt : gmime::decodeDate(fields.values[Date].front().c_str());
    if (!m_date) m_date = newestReceived(fields.values[Received]);

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
