#include "cli/cli_run.h"

#include "app/path_logger.h"
#include "app/thunderbird_profile.h"
#include "cli/console_host.h"
#include "cli/profile_list.h"
#include "engine/job/conversion_job.h"
#include "engine/pst/verify/verifier.h"
#include "platform/file_io.h"
#include "platform/paths.h"

#include <filesystem>
#include <set>

namespace quillmark::cli {

namespace fs = std::filesystem;

namespace {

std::string absoluteText(const std::string& path)
{
    std::error_code ec;
    fs::path p = fs::absolute(platform::toPath(path), ec);
    if (ec) return path;
    return platform::toText(p.lexically_normal());
}

// Creates the output folder and checks that a file can be written there, so that a read-only
// target is one clear error up front rather than a failure per mailbox.
Result<void> prepareOutputFolder(const std::string& folder)
{
    const fs::path p = platform::toPath(folder);
    std::error_code ec;
    fs::create_directories(p, ec);
    if (ec) return systemError(ec, "cannot create the output folder " + folder);
    if (!fs::is_directory(p, ec)) return Error{Code::NotAFile, folder + " is not a folder"};
    auto probe = platform::AtomicFile::create(p / ".quillmark-write-test");
    if (!probe)
        return Error{probe.error().code,
                     "cannot write to the output folder " + folder + ": " + std::string(codeName(probe.error().code))};
    probe->discard();
    return Ok{};
}

constexpr std::size_t kFailuresListed = 50;

std::string count(std::uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

MailboxList collectMailboxes(const std::vector<std::string>& paths, const std::vector<std::string>& profileFolders)
{
    MailboxList list;
    std::set<std::string> seen;
    auto take = [&](const std::string& path) {
        const std::string key = platform::toText(platform::resolvedPath(platform::toPath(path)));
        if (!seen.insert(key).second) {
            list.warnings.push_back(path + " is listed more than once; it is converted once");
            return;
        }
        list.mailboxes.push_back(path);
    };
    std::vector<std::pair<std::string, EmptyFiles>> given;
    for (const auto& p : paths) given.emplace_back(p, EmptyFiles::Skip);
    for (const auto& p : profileFolders) given.emplace_back(p, EmptyFiles::Take);
    for (const auto& [text, empty] : given) {
        const std::string path = absoluteText(text);
        std::error_code ec;
        if (fs::is_directory(platform::toPath(path), ec)) {
            MailboxSearch found = findMailboxes(path, {}, {}, empty);
            for (auto& folder : found.unreadableFolders) list.warnings.push_back("cannot read folder " + folder);
            if (found.mailboxes.empty())
                list.warnings.push_back("no mailbox found in " + path
                                        + " (a mailbox is a non-empty file without a dot in its name, or with one "
                                          "when its .msf lies beside it or it begins as a mailbox does; name a "
                                          "file to convert it whatever its name)");
            for (const auto& m : found.mailboxes) take(m);
        } else {
            take(path);
        }
    }
    return list;
}

std::string summaryText(const Report& report, const std::string& outputFolder)
{
    std::string s;
    const auto& format = writerFormat(report.target);
    s += "Mailboxes: " + std::to_string(report.mailboxes) + " (" + std::to_string(report.mailboxesConverted)
        + " converted, ";
    if (report.mailboxesPartly) s += std::to_string(report.mailboxesPartly) + " partly converted, ";
    s += std::to_string(report.mailboxesFailed) + " failed";
    if (report.mailboxesNotConverted) s += ", " + std::to_string(report.mailboxesNotConverted) + " not converted";
    if (report.mailboxesEmpty) s += ", " + std::to_string(report.mailboxesEmpty) + " empty";
    s += ")\n";
    // A PST is one file: its name says where the mail is. Other targets write below the folder.
    s += "Messages:  " + std::to_string(report.messagesWritten) + " written as " + std::string(format.extension);
    if (!report.outputFile.empty())
        s += " to " + report.outputFile + "\n";
    else if (report.target == Target::Pst)
        s += "; no .pst file was kept in " + outputFolder + "\n";
    else
        s += " to " + outputFolder + "\n";
    if (report.messagesExpunged) {
        s += "           " + count(report.messagesExpunged, "message was", "messages were")
            + " marked deleted in Thunderbird (not yet compacted); ";
        s += report.messagesSkipped ? std::to_string(report.messagesSkipped) + " skipped as asked\n"
                                    : std::string("converted all the same (--skip-deleted leaves them out)\n");
    }
    if (report.messagesFailed) s += "           " + count(report.messagesFailed, "message", "messages") + " failed\n";
    if (report.messagesRecovered)
        s += "           " + count(report.messagesRecovered, "message was", "messages were")
            + " read only in part (see the warnings)\n";
    if (report.issuesKept || report.problemsDropped)
        s += "Warnings:  " + std::to_string(report.issuesKept + report.problemsDropped)
            + " (damaged or incomplete input)\n";
    for (const auto& p : report.problems)
        if (p.severity == Severity::Issue)
            s += "  warning: " + p.mailbox + ": " + (p.message ? "message " + std::to_string(*p.message) + ": " : "")
                + p.error.detail + "\n";
    const auto lines = failureLines(report, kFailuresListed);
    if (!lines.empty()) {
        s += "Failures:\n";
        for (const auto& l : lines) s += "  " + l + "\n";
    }
    const auto partly = partlyConvertedLines(report);
    if (!partly.empty()) {
        s += "Partly converted:\n";
        for (std::size_t i = 0; i < partly.size() && i < kFailuresListed; ++i) s += "  " + partly[i] + "\n";
        if (partly.size() > kFailuresListed)
            s += "  ... and " + std::to_string(partly.size() - kFailuresListed) + " more\n";
    }
    for (const auto& note : report.notes) s += "Note:      " + note + "\n";
    if (report.fatal) s += "Stopped: " + report.fatal->detail + "\n";
    if (report.cancelled) s += "Cancelled: the conversion was stopped before the end.\n";
    s += report.succeeded() ? "Result:    all converted\n" : "Result:    NOT everything was converted\n";
    return s;
}

int exitCodeFor(const Report& report)
{
    if (report.fatal) return kUsageOrFatal;
    return report.succeeded() ? kAllConverted : kSomeFailed;
}

int verifyPstFile(const std::string& path)
{
    auto report = pst::verify(platform::toPath(path));
    if (!report) {
        std::fprintf(stderr, "quillmark-cli: %s\n", report.error().detail.c_str());
        return kUsageOrFatal;
    }
    std::fputs(report->text().c_str(), stdout);
    return report->ok() ? kAllConverted : kSomeFailed;
}

int run(const CliOptions& options)
{
    if (!options.verifyPst.empty()) return verifyPstFile(options.verifyPst);
    if (options.listProfiles) return listProfiles();
    const WriterFormat& format = writerFormat(options.target);
    if (!format.make) {
        std::fprintf(stderr, "quillmark-cli: --to %s: conversion to %s files is not available yet\n",
                     std::string(format.name).c_str(), std::string(format.extension).c_str());
        return kUsageOrFatal;
    }
    std::vector<std::string> profileFolders;
    if (!options.profile.empty()) {
        auto folders = profileMailFolders(options.profile, thunderbird::userProfileHomes());
        if (!folders) {
            std::fprintf(stderr, "quillmark-cli: --profile: %s\n", folders.error().detail.c_str());
            return kUsageOrFatal;
        }
        profileFolders = std::move(*folders);
    }
    MailboxList list = collectMailboxes(options.paths, profileFolders);
    for (const auto& w : list.warnings) std::fprintf(stderr, "quillmark-cli: warning: %s\n", w.c_str());
    if (list.mailboxes.empty()) {
        // Nothing is made, not even the output folder.
        std::fprintf(stderr, "quillmark-cli: nothing to convert\n");
        return kSomeFailed;
    }
    const std::string output = absoluteText(options.outputFolder);
    if (auto r = prepareOutputFolder(output); !r) {
        std::fprintf(stderr, "quillmark-cli: %s\n", r.error().detail.c_str());
        return kUsageOrFatal;
    }
    ConsoleHost host(options.quiet, platform::stderrIsTerminal());
    ConsoleHost::installInterruptHandler();
    JobSettings settings;
    settings.target = options.target;
    settings.outputFolder = platform::withTrailingSeparator(output);
    settings.skipExpunged = options.skipDeleted;
    settings.progressInterval = std::chrono::milliseconds(200);
    settings.showClosingMessage = false;
    if (settings.target == Target::Pst)
        settings.origin = thunderbird::originOf(list.mailboxes, thunderbird::userProfileHomes());
    ConversionJob job(host, settings);
    const Report report = job.run(list.mailboxes);
    host.endLine();
    std::fputs(summaryText(report, output).c_str(), stdout);
    return exitCodeFor(report);
}

}  // namespace quillmark::cli
