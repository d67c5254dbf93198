#include "support/mbox_builder.h"

namespace quillmark::testing {
namespace {

std::string withEol(const std::string& text, const std::string& eol)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += eol;
        else
            out += c;
    }
    return out;
}

std::string mailText(const Mail& m)
{
    return "From: " + m.from + "\nTo: bob@example.org\nSubject: " + m.subject
        + "\nDate: Mon, 07 Dec 2026 09:15:02 +0100\n" + m.extraHeaders + "\n" + m.body + "\n\n";
}

}  // namespace

std::string mboxOf(const std::vector<Mail>& mails, const std::string& eol)
{
    std::string out;
    for (const auto& m : mails) out += withEol("From - Mon Dec 07 09:15:02 2026\n" + mailText(m), eol);
    return out;
}

std::string toCrLf(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (text[i] == '\n') {
            out += "\r\n";
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string expectedEml(const Mail& mail) { return toCrLf(mailText(mail)) + "\r\n"; }

}  // namespace quillmark::testing
