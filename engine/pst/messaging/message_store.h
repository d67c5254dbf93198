// Messaging layer: a PST message store with folders, messages, recipients and attachments
// ([MS-PST] 2.4, 2.7).
//
// Owns: the mandatory nodes of a new store (message store, name-to-ID map, root folder, Top of
// Personal Folders, Search Root, Deleted Items, the spam search folder, the table templates,
// search queue and activity list), folder objects with their hierarchy, contents and FAI
// contents tables, message objects with recipient and attachment tables, attachment objects
// (by value and embedded messages) and named properties.
// Calls: the LTP layer (heap_table.h) for every PC and TC, and the NDB layer only to create,
// finish or abandon the file and to place nodes.
// Invariants: a message is written to the file when the next one is added or the store is
// closed; folder PCs and tables are written at close from counts kept in memory, so the counts,
// subfolder flags and table rows always agree with the objects. A writer that failed stays
// failed: every later call returns the first error and the file is not left under its name.
#pragma once

#include "engine/pst/format.h"
#include "platform/result.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::pst {

// ---- Property values -----------------------------------------------------------------------
using Guid = std::array<std::uint8_t, 16>;

struct Prop {
    PropTag tag = 0;
    std::vector<std::uint8_t> value;  // on-disk form

    static Prop int32(std::uint16_t id, std::int32_t v);
    static Prop int64(std::uint16_t id, std::int64_t v);
    static Prop boolean(std::uint16_t id, bool v);
    // A FILETIME: 100-ns intervals since 1601-01-01 UTC.
    static Prop time(std::uint16_t id, std::uint64_t fileTime);
    static Prop string(std::uint16_t id, std::string_view utf8);
    static Prop binary(std::uint16_t id, std::span<const std::uint8_t> bytes);
    // PtypMultipleString: the count, each string's offset, then the strings ([MS-PST] 2.3.3.4.2).
    static Prop strings(std::uint16_t id, std::span<const std::string> utf8);
};

std::uint64_t fileTimeFromUnix(std::int64_t secondsSince1970);
// UTF-8 to UTF-16LE bytes; invalid sequences become U+FFFD.
std::vector<std::uint8_t> utf16le(std::string_view utf8);

// ---- Objects as the caller describes them -------------------------------------------------
struct Recipient {
    enum class Kind : std::int32_t { To = 1, Cc = 2, Bcc = 3 };
    Kind kind = Kind::To;
    std::string name;
    std::string email;
    std::vector<Prop> extra;
};

struct Message;

struct Attachment {
    std::string fileName;
    std::string mimeType;
    std::string contentId;
    std::vector<std::uint8_t> data;           // used when `embedded` is empty
    std::shared_ptr<const Message> embedded;  // an attached message (ATTACH_EMBEDDED_MSG)
    std::vector<Prop> extra;
};

struct Message {
    std::string messageClass = "IPM.Note";
    std::string subject;
    std::string senderName;  // who sent it (the Sender field, else From)
    std::string senderEmail;
    std::string fromName;  // whom it is from, when not the sender ("on behalf of"); else empty
    std::string fromEmail;
    struct Address {
        std::string name;
        std::string email;
    };
    std::vector<Address> replyTo;    // where replies go, when the message says
    std::string body;                // plain text
    std::string html;                // HTML body, stored as PidTagHtml when not empty
    std::uint64_t submitTime = 0;    // FILETIME; 0 = not set
    std::uint64_t deliveryTime = 0;  // FILETIME; 0 = not set
    std::uint32_t flags = 0x01;      // PidTagMessageFlags; 0x10 (has attachments) is managed here
    std::vector<Recipient> recipients;
    std::vector<Attachment> attachments;
    std::vector<Prop> extra;  // any other properties, e.g. transport headers
};

struct FolderId {
    Nid nid = 0;
    friend bool operator==(FolderId, FolderId) = default;
};
struct MessageId {
    Nid nid = 0;
    friend bool operator==(MessageId, MessageId) = default;
};

struct StoreOptions {
    fmt::CryptMethod crypt = fmt::CryptMethod::None;
    // Contents-table rows kept in memory until close; beyond this they wait in a temporary file.
    std::size_t rowMemory = 4u << 20;
    // The store's PidTagRecordKey, which message search keys and folder entry IDs carry; random
    // unless given (a file to compare byte for byte with another).
    std::optional<Guid> recordKey = std::nullopt;
};

class MessageStore {
public:
    // ---- Create and close (steps 1-4, 13) -------------------------------------------------
    [[nodiscard]] static Result<std::unique_ptr<MessageStore>>
    create(const std::filesystem::path& path, std::string_view displayName, StoreOptions options = {});
    ~MessageStore();
    MessageStore(const MessageStore&) = delete;
    MessageStore& operator=(const MessageStore&) = delete;

    // Writes the last message, all folders and the indexes, then puts the file in place.
    [[nodiscard]] Result<void> close();
    const std::string& displayName() const;
    // Whether the store stopped at an error of its file: then it takes nothing more and leaves no
    // file. A message it rejects (too deep, too large) does not stop it.
    bool failed() const noexcept;

    // ---- Folders (steps 5, 6) -------------------------------------------------------------
    // Top of Personal Folders: where the user's folders go.
    FolderId topOfPersonalFolders() const;
    // Adds a mail folder under `parent`, or returns the child of exactly that name if there is one.
    [[nodiscard]] Result<FolderId> addFolder(FolderId parent, std::string_view name);
    // Finds "\\<store display name>\<folder>[\<subfolder>...]"; NotFound when absent.
    [[nodiscard]] Result<FolderId> findFolder(std::string_view path) const;

    // ---- Messages (steps 6-9, 11) ---------------------------------------------------------
    [[nodiscard]] Result<MessageId> addMessage(FolderId folder, const Message& message);
    // The same, taking the values of message.extra (bodies, header block) instead of copying them.
    [[nodiscard]] Result<MessageId> addMessage(FolderId folder, Message&& message);
    // Sets one property of the message added last (e.g. PidTagMessageFlags).
    [[nodiscard]] Result<void> setProperty(MessageId message, const Prop& prop);

    // ---- Named properties ([MS-PST] 2.4.7) -------------------------------------------------
    // The property ID (0x8000 and up) for a named property, registered on first use.
    [[nodiscard]] Result<std::uint16_t> namedProperty(const Guid& set, std::uint32_t lid);
    [[nodiscard]] Result<std::uint16_t> namedProperty(const Guid& set, std::string_view name);

private:
    struct Impl;
    explicit MessageStore(std::unique_ptr<Impl> impl);
    [[nodiscard]] Result<MessageId> add(FolderId folder, const Message& message, Message* taken);
    std::unique_ptr<Impl> m;
};

}  // namespace quillmark::pst
