// Conversation properties: what Outlook's conversation view groups and orders a thread by
// ([MS-OXOMSG] 2.2.1.3, 2.2.1.5).
//
// The topic (PidTagConversationTopic) is the subject without its reply and forward prefixes, so a
// reply's topic equals its original's. The index (PidTagConversationIndex) is a 22-byte header
// (reserved byte 0x01, five bytes of a FILETIME, the thread's GUID) and a 5-byte block per reply
// level. Internet mail carries neither unless an Outlook sent it (Thread-Topic, Thread-Index);
// otherwise both are derived from the subject and the thread's Message-IDs, the same way for
// every message of a thread, so that its replies join it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::pst {

// The subject without any run of reply and forward prefixes ("Re: ", "Fwd: ", "AW: ", "Re[2]: ",
// "RE: Fw: ", in any case, and those of the common mail languages), nor the blanks around them.
std::string_view conversationTopic(std::string_view subject);

// The header fields a message's place in its thread is read from, as they stand (unfolded).
struct ThreadFields {
    std::string_view threadIndex;  // Thread-Index: base64 of an index Outlook made
    std::string_view messageId;
    std::string_view inReplyTo;
    std::string_view references;
    std::uint64_t time = 0;  // FILETIME of the message (its Date)
};

// The Thread-Index field's index, when it is base64 of a well-formed one.
std::optional<std::vector<std::uint8_t>> indexFromThreadIndex(std::string_view base64);
// The conversation index: Thread-Index's when well-formed, else one built from the thread's first
// Message-ID (References, else In-Reply-To, else the message's own) with a block per reply level.
// Empty when the message names no Message-ID at all.
std::vector<std::uint8_t> conversationIndex(const ThreadFields& fields);

}  // namespace quillmark::pst
