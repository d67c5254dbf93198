#include "engine/job/report.h"

namespace quillmark {
namespace {

constexpr std::size_t kMaxIssues = 10000;
constexpr std::size_t kReasonsShown = 5;
const std::string kStars(75, '*');
constexpr std::string_view kCrLf = "\r\n";

ClosingMessage successMessage(Target target)
{
    const WriterFormat& format = writerFormat(target);
    std::string text = "Your Thunderbird messages has been successfully exported to ";
    text += format.exportedTo;
    text += ".";
    text += kCrLf;
    text += kStars;
    text += kCrLf;
    text += format.successHint;
    return {text, box::kInformation, "Quillmark"};
}

std::string plural(std::uint64_t n, std::string_view one, std::string_view many)
{
    return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

}  // namespace

void Report::add(Problem problem)
{
    if (problem.severity == Severity::Issue) {
        if (issuesKept >= kMaxIssues) {
            ++problemsDropped;
            return;
        }
        ++issuesKept;
    }
    problems.push_back(std::move(problem));
}

std::vector<std::string> failureLines(const Report& report, std::size_t limit)
{
    std::vector<std::string> lines;
    for (const auto& p : report.problems) {
        if (p.severity == Severity::Issue) continue;
        if (lines.size() == limit) break;
        std::string line = p.mailbox.empty() ? std::string() : p.mailbox + ": ";
        if (p.message) line += "message " + std::to_string(*p.message) + ": ";
        line += p.error.detail;
        lines.push_back(std::move(line));
    }
    return lines;
}

ClosingMessage closingMessage(const Report& report)
{
    if (report.succeeded()) {
        ClosingMessage box = successMessage(report.target);
        if (report.messagesRecovered > 0) {
            box.text += kCrLf;
            box.text += plural(report.messagesRecovered, "message", "messages")
                + " could be read only in part; what could not be read was kept as plain text.";
        }
        return box;
    }
    std::string text
        = report.cancelled ? "The conversion was cancelled." : "The conversion did not complete without errors.";
    text += kCrLf;
    text += plural(report.messagesWritten, "message was", "messages were") + " written to "
        + std::string(writerFormat(report.target).writtenTo) + ".";
    text += kCrLf;
    if (report.messagesRecovered > 0) {
        text += plural(report.messagesRecovered, "message", "messages")
            + " could be read only in part; what could not be read was kept as plain text.";
        text += kCrLf;
    }
    if (report.mailboxesFailed > 0 || report.messagesFailed > 0) {
        text += plural(report.mailboxesFailed, "mailbox", "mailboxes") + " and "
            + plural(report.messagesFailed, "message", "messages") + " could not be converted.";
        text += kCrLf;
    }
    if (report.fatal) {
        text += "The conversion stopped: " + report.fatal->detail;
        text += kCrLf;
    }
    const auto lines = failureLines(report, kReasonsShown);
    if (!lines.empty()) {
        text += kCrLf;
        text += "First problems:";
        text += kCrLf;
        for (const auto& l : lines) {
            text += l;
            text += kCrLf;
        }
    }
    return {text, box::kExclamation, "Quillmark"};
}

}  // namespace quillmark
