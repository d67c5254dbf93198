// Builds small mailboxes for tests, so no test needs a data file.
#pragma once

#include <string>
#include <vector>

namespace quillmark::testing {

struct Mail {
    Mail(std::string from_ = "alice@example.com", std::string subject_ = "Hello", std::string body_ = "Hi there.",
         std::string extra = {})
        : from(std::move(from_)), subject(std::move(subject_)), body(std::move(body_)), extraHeaders(std::move(extra))
    {
    }
    std::string from;
    std::string subject;
    std::string body;
    std::string extraHeaders;  // whole lines, each ending in "\n"
};

// One Thunderbird-style mailbox: "From - <date>" separator, headers, blank line, body, blank
// line, with the given line end ("\n", "\r\n" or "\r").
std::string mboxOf(const std::vector<Mail>& mails, const std::string& eol = "\n");

// The clean text one mail of mboxOf() gives after cutting: CR LF lines, no separator line, the
// blank line that ends it in the mailbox, and the extra CR LF.
std::string expectedEml(const Mail& mail);

// Every LF / lone CR / CR LF in text as CR LF.
std::string toCrLf(const std::string& text);

}  // namespace quillmark::testing
