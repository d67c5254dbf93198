// How messages are framed in an .mbox file we write.
//
// Each message is: one separator line "From <local-part@domain> <Www Mmm dd hh:mm:ss yyyy>" (English
// names, UTC, day zero-padded), the message's lines with every line that begins with "From "
// written as ">From " (so no reader splits the message there; an existing ">From " stays as it
// is; the cutter does it, Escaping::FromLines), then an empty line. Every line ends in CR LF. This is the layout mutt,
// Python's mailbox and GMime all read back message for message.
#pragma once

#include "engine/mbox/message_cutter.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillmark {

// The separator line, without its line end. A sender with blanks or control characters (a quoted
// local part may have them) gets "_" in their place, so the line keeps its shape; an empty one
// is "MAILER-DAEMON". Nothing when the date has no four-digit year.
std::optional<std::string> separatorLine(std::string_view sender, std::chrono::sys_seconds date);

// The date of an existing separator line ("From - Sat Dec 06 08:05:09 2026", also with a
// blank-padded day, without seconds or with a zone before the year). The line carries no zone as
// Thunderbird writes it, so the time is taken as UTC. Nothing when there is no such date.
std::optional<std::chrono::sys_seconds> separatorDate(std::string_view line);

}  // namespace quillmark
