// Comparing two readings of one message: every field an import gives, as one text, so that a
// difference shows as a diff of two strings.
#pragma once

#include "engine/mime/rfc822_import.h"

#include <sstream>
#include <string>

namespace quillmark::testing {

inline void describe(std::ostream& out, const ImportedMessage& m, const std::string& indent = "")
{
    const auto time = [](const auto& t) { return t ? std::to_string(t->time_since_epoch().count()) : "-"; };
    out << indent << "class " << m.messageClass << "\n"
        << indent << "subject [" << m.subject << "] [" << m.subjectPrefix << "] [" << m.normalizedSubject << "]\n"
        << indent << "from [" << m.from.name << "] <" << m.from.address << ">\n"
        << indent << "sender [" << m.sender.name << "] <" << m.sender.address << ">\n";
    for (const auto& r : m.replyTo) out << indent << "reply-to [" << r.name << "] <" << r.address << ">\n";
    for (const auto& r : m.recipients)
        out << indent << "recipient " << static_cast<int>(r.kind) << " [" << r.who.name << "] <" << r.who.address
            << ">\n";
    out << indent << "times " << time(m.submitTime) << " " << time(m.deliveryTime) << "\n"
        << indent << "ids [" << m.messageId << "] [" << m.inReplyTo << "] [" << m.references << "]\n"
        << indent << "thread [" << m.threadTopic << "] [" << m.threadIndex << "]\n"
        << indent << "importance " << m.importance << " " << m.priority << " " << m.sensitivity << "\n"
        << indent << "headers [" << m.transportHeaders << "]\n"
        << indent << "text " << (m.bodyText ? "[" + *m.bodyText + "]" : "-") << "\n"
        << indent << "html " << m.htmlCodePage << " " << (m.bodyHtml ? "[" + *m.bodyHtml + "]" : "-") << "\n"
        << indent << "degraded " << m.degraded << "\n";
    // Notes without consequence (GMime's remarks on a message it read whole) are not kept.
    if (m.degraded)
        for (const auto& n : m.notes) out << indent << "note " << n << "\n";
    for (const auto& a : m.attachments) {
        out << indent << "attachment [" << a.fileName << "] " << a.mimeType << " [" << a.contentId << "] ["
            << a.contentLocation << "] inline " << a.inlineInHtml << " [" << a.data << "]\n";
        if (a.embedded) describe(out, *a.embedded, indent + "  ");
    }
}

inline std::string describe(const ImportedMessage& m)
{
    std::ostringstream out;
    describe(out, m);
    return out.str();
}

}  // namespace quillmark::testing
