// Windows code pages of MIME charsets: how a mail store labels text it keeps in its own bytes
// (the HTML body), and the HTML as a store can keep it whatever its charset.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmark {

// The code page of a charset by any of its usual names ("latin1", "ISO_8859-1", "x-sjis",
// "ks_c_5601-1987", "cp1257"); none for a charset Windows has no code page for.
std::optional<std::uint32_t> codePageOfCharset(std::string_view charset);

struct StoredHtml {
    std::string bytes;
    std::uint32_t codePage = 65001;
};

// The HTML in a charset with a code page keeps its bytes; in any other charset it is converted to
// UTF-8. Without a charset (or labelled ASCII or UTF-8 but not so) it is UTF-8 when it is valid
// UTF-8, else Windows-1252, as mail programs guess: never "ASCII" holding 8-bit bytes.
StoredHtml htmlForStore(std::string bytes, const char* declaredCharset);

}  // namespace quillmark
