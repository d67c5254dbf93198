// Sender and date of one message, for the separator line of an .mbox file.
//
// Owns: nothing beyond the two values it found. Calls: GMime, which parses the address and date
// fields (encoded words, group syntax, comments, obsolete date forms and zones). Only the few
// fields the separator line needs are picked out of the header block and handed to GMime, not
// the whole message, which made MBOX export about three times as costly. One instance per message.
#pragma once

#include "platform/result.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillmark {

class MailMessageReader {
public:
    // A header block is read up to this size: beyond it, a message without one (body right after
    // the separator line) would have all of its text read as headers.
    static constexpr std::size_t kHeaderLimit = std::size_t{1} << 20;

    MailMessageReader();

    // Reads the header block of a message given as its RFC 822 text (the hand-over file's bytes,
    // held in memory). A message GMime cannot make sense of gives Corrupt; MessageDate() and
    // SenderText() then answer with what was found, which may be nothing.
    [[nodiscard]] Result<void> LoadMessageFile(std::string_view messageText);

    // The Date header, else the newest date among the Received headers, in UTC; nothing when
    // neither holds a date GMime can read.
    std::optional<std::chrono::sys_seconds> MessageDate() const { return m_date; }

    // The bare address (local-part@domain, no display name) of the first address of From, else of
    // Sender, else of Return-Path; the members of a group count as its addresses. "MAILER-DAEMON"
    // when none of them has one.
    const std::string& SenderText() const noexcept { return m_sender; }

private:
    std::optional<std::chrono::sys_seconds> m_date;
    std::string m_sender;
};

}  // namespace quillmark
