// Header text that GMime 3.2 reads wrongly or not at all, made readable before or after GMime
// reads it.
//
// Encoded words: GMime 3.2.13 joins the text of adjacent base64 words before decoding it and
// stops at the first word's "=" padding, so a folded subject, name or file name loses its end.
// Address fields: a field GMime cannot read as addresses ("jdoe at example.org (Jane Doe)",
// "<no domain>") gives no address at all, and one bad entry of a list loses the entries after it.
#pragma once

#include "engine/mime/gmime_support.h"
#include "engine/mime/rfc822_import.h"

#include <optional>

#include <string>
#include <string_view>
#include <vector>

namespace quillmark::gmime {

// The text with every run of two or more adjacent encoded words (only blanks and folds between
// them) replaced by one UTF-8 encoded word holding the same characters: each word's bytes are
// decoded on their own, and the bytes of neighbours in one charset are converted together (some
// mail programs split a character across two words). Text without such runs comes back as it is.
std::string rejoinEncodedWords(std::string_view text);

// A field's value on one line as GMime unfolds it: blanks and line ends at either end out, the
// line ends inside out, the blanks of continuation lines kept.
std::string unfoldField(std::string_view raw);

// A header field's value as a reader sees it: unfolded, encoded words decoded (each on its own),
// raw 8-bit text read by GMime's charset guess.
std::string decodeHeaderText(std::string_view raw);

// The mailboxes of an address field's raw value (several fields of one name joined by ","), the
// members of groups included. An entry GMime cannot read still gives a mailbox while it has
// text: the display name from its phrase (or, for the archive form "local at domain (Name)", its
// comment), the address as written ("local@domain" for the archive form).
// Quick reads entries of the usual forms without GMime's address parser, to the same result.
std::vector<MailAddress> readAddressField(std::string_view raw, Reading reading = Reading::Quick);

// A character of an RFC 5322 atom.
bool isAtext(char c) noexcept;
// local@domain in plain ASCII, nothing GMime would read in another way (quotes, comments,
// domain literals, international domains, which it decodes).
bool isPlainAddrSpec(std::string_view text) noexcept;

// The file name a part gives: Content-Disposition's filename, else Content-Type's name (RFC 2231
// or RFC 2047, decoded), encoded words each read whole.
std::optional<std::string> fileNameOf(GMimeObject* object);

}  // namespace quillmark::gmime
