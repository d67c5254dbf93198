// Reading an RFC 822 message into the fields a mail store keeps: subject, people, dates,
// identifiers, the header block, the bodies and the attachments, the way a mail client files
// internet mail when it receives it.
//
// Built on GMime: RFC 2047 words, RFC 2231 parameters, transfer encodings and charsets are
// decoded by its functions. Messages of plain structure (nearly all mail) are read without its
// parser, to the result the parser gives (quick_import.cpp); the rest through it. Real mail is messy: what GMime cannot
// read fully is still imported with what can be read (at least the headers and the raw text as the body), and marked
// degraded with the reason.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark {

struct MailAddress {
    std::string name;     // display name, UTF-8, may be empty
    std::string address;  // addr-spec; empty for a group without members
    std::string displayName() const { return name.empty() ? address : name; }
};

enum class RecipientKind { To = 1, Cc = 2, Bcc = 3 };

struct Recipient {
    RecipientKind kind;
    MailAddress who;
};

struct ImportedMessage;

struct ImportedAttachment {
    std::string fileName;   // decoded; may be empty
    std::string mimeType;   // "image/png"
    std::string contentId;  // without angle brackets
    std::string contentLocation;
    std::string data;                           // decoded bytes
    bool inlineInHtml = false;                  // the HTML body refers to it by cid: or location
    std::unique_ptr<ImportedMessage> embedded;  // for message/rfc822 parts
};

// Every text field is valid UTF-8 without NUL bytes, as a mail store keeps text; attachment data
// are bytes as they were sent, bodyHtml bytes in the code page htmlCodePage names.
struct ImportedMessage {
    ImportedMessage();
    ~ImportedMessage();
    ImportedMessage(ImportedMessage&&) noexcept;
    ImportedMessage& operator=(ImportedMessage&&) noexcept;

    std::string messageClass = "IPM.Note";
    std::string subject;               // whole subject, decoded
    std::string subjectPrefix;         // "RE: ", "FW: " ... or empty
    std::string normalizedSubject;     // subject without the prefix
    MailAddress from;                  // who the message is from (sent representing)
    MailAddress sender;                // who sent it (Sender, else From)
    std::vector<MailAddress> replyTo;  // where replies go (Reply-To), in order
    std::vector<Recipient> recipients;
    std::optional<std::chrono::sys_seconds> submitTime;    // Date, else newest Received
    std::optional<std::chrono::sys_seconds> deliveryTime;  // newest Received, else Date
    std::string messageId;
    std::string inReplyTo;
    std::string references;
    std::string threadTopic;  // Thread-Topic and Thread-Index, as Outlook sends them, or empty
    std::string threadIndex;
    int importance = 1;                   // 0 low, 1 normal, 2 high
    int priority = 0;                     // -1 non-urgent, 0 normal, 1 urgent
    int sensitivity = 0;                  // 0 none, 1 personal, 2 private, 3 confidential
    std::string transportHeaders;         // the header block as received
    std::optional<std::string> bodyText;  // UTF-8
    std::optional<std::string> bodyHtml;  // bytes in the charset of htmlCodePage
    std::uint32_t htmlCodePage = 65001;   // the part's own, or UTF-8 (see htmlForStore())
    std::vector<ImportedAttachment> attachments;
    bool degraded = false;
    std::vector<std::string> notes;  // why it is degraded, what was recovered

    bool hasVisibleAttachments() const noexcept;
    std::string displayTo() const { return displayList(RecipientKind::To); }
    std::string displayCc() const { return displayList(RecipientKind::Cc); }

private:
    std::string displayList(RecipientKind kind) const;
};

// How a message is read: Quick reads messages of one plain text part without GMime's parser (to
// the same result); ThroughGMime always parses, the reference Quick is tested against.
enum class Reading { Quick, ThroughGMime };

// Parses the text of one message (CR LF or LF line ends). Never fails: see degraded/notes.
ImportedMessage importRfc822(std::string_view text, Reading reading = Reading::Quick);

// Pieces, exposed for tests and for other readers of headers.
std::pair<std::string, std::string> splitSubjectPrefix(std::string_view subject);
std::string textFromHtml(std::string_view html);

}  // namespace quillmark
