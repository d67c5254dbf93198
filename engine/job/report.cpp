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

MailboxResult MailboxOutcome::result() const noexcept
{
    if (!reached) return MailboxResult::NotConverted;
    if (written == 0 && (failedWhole || failed > 0)) return MailboxResult::Failed;
    if (finished && !failedWhole && !strayBytes && failed == 0 && written + skipped == found)
        return MailboxResult::Converted;
    if (written == 0 && skipped == 0 && !strayBytes) return MailboxResult::NotConverted;
    return MailboxResult::PartlyConverted;
}

void Report::tally()
{
    mailboxes = outcomes.size();
    mailboxesConverted = mailboxesPartly = mailboxesFailed = mailboxesNotConverted = mailboxesEmpty = 0;
    for (const auto& o : outcomes) {
        switch (o.result()) {
        case MailboxResult::Converted:
            ++mailboxesConverted;
            if (o.found == 0) ++mailboxesEmpty;
            break;
        case MailboxResult::PartlyConverted:
            ++mailboxesPartly;
            break;
        case MailboxResult::Failed:
            ++mailboxesFailed;
            break;
        case MailboxResult::NotConverted:
            ++mailboxesNotConverted;
            break;
        }
    }
}

namespace {

// Failures of messages next to each other in one mailbox, for one reason.
struct FailureRun {
    const Problem* problem;
    std::uint64_t last;
};

std::vector<FailureRun> failureRuns(const Report& report)
{
    std::vector<FailureRun> runs;
    for (const auto& p : report.problems) {
        if (p.severity == Severity::Issue) continue;
        if (!runs.empty() && p.message) {
            FailureRun& run = runs.back();
            const Problem& q = *run.problem;
            if (q.message && q.mailbox == p.mailbox && run.last + 1 == *p.message && q.error.detail == p.error.detail) {
                run.last = *p.message;
                continue;
            }
        }
        runs.push_back({&p, p.message.value_or(0)});
    }
    return runs;
}

}  // namespace

std::vector<std::string> failureLines(const Report& report, std::size_t limit)
{
    const auto runs = failureRuns(report);
    std::vector<std::string> lines;
    for (const auto& run : runs) {
        if (lines.size() == limit) {
            lines.push_back("... and " + std::to_string(runs.size() - limit) + " more");
            break;
        }
        const Problem& p = *run.problem;
        std::string line = p.mailbox.empty() ? std::string() : p.mailbox + ": ";
        if (p.message && run.last != *p.message)
            line += "messages " + std::to_string(*p.message) + " to " + std::to_string(run.last) + ": ";
        else if (p.message)
            line += "message " + std::to_string(*p.message) + ": ";
        line += p.error.detail;
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<std::string> partlyConvertedLines(const Report& report)
{
    std::vector<std::string> lines;
    for (const auto& o : report.outcomes) {
        if (o.result() != MailboxResult::PartlyConverted) continue;
        std::string line
            = o.path + ": " + std::to_string(o.written) + " of " + plural(o.found, "message", "messages") + " written";
        if (o.skipped) line += ", " + std::to_string(o.skipped) + " skipped as asked";
        if (o.strayBytes) line += "; bytes before the first message belong to none";
        lines.push_back(std::move(line));
    }
    return lines;
}

ClosingMessage closingMessage(const Report& report)
{
    if (report.nothingToConvert)
        return {"There is nothing to convert: the list holds no mailbox.", box::kInformation, "Quillmark"};
    if (report.succeeded()) {
        ClosingMessage box = successMessage(report.target);
        if (report.messagesRecovered > 0) {
            box.text += kCrLf;
            box.text += plural(report.messagesRecovered, "message", "messages")
                + " could be read only in part; what could not be read was kept as plain text.";
        }
        for (const auto& note : report.notes) {
            box.text += kCrLf;
            box.text += note;
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
    if (report.mailboxesPartly > 0) {
        text += plural(report.mailboxesPartly, "mailbox was", "mailboxes were") + " converted only in part.";
        text += kCrLf;
    }
    if (report.mailboxesNotConverted > 0) {
        text += plural(report.mailboxesNotConverted, "mailbox was", "mailboxes were")
            + " not converted: the conversion ended before them.";
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
    auto partly = partlyConvertedLines(report);
    if (!partly.empty()) {
        text += kCrLf;
        text += "Converted only in part:";
        text += kCrLf;
        for (std::size_t i = 0; i < partly.size() && i < kReasonsShown; ++i) {
            text += partly[i];
            text += kCrLf;
        }
    }
    for (const auto& note : report.notes) {
        text += kCrLf;
        text += note;
        text += kCrLf;
    }
    return {text, box::kExclamation, "Quillmark"};
}

}  // namespace quillmark
