#include "cli/cli_options.h"

#include "engine/targets/mail_writer.h"

#include <CLI/CLI.hpp>
#include <quillmark_version.h>

namespace quillmark::cli {
namespace {

void describe(CLI::App& app, CliOptions& o, std::string& to)
{
    app.description("Converts Thunderbird mailboxes (mbox files) into .eml files, one Outlook .pst file, "
                    "or .mbox files.\nA PATH is a mailbox file, converted whatever its name, or a folder, "
                    "searched with its subfolders for mailboxes (files without a dot in their name, or with one when "
                    "their .msf lies beside them or they begin as a mailbox does).");
    std::vector<std::string> names;
    for (const auto& f : writerFormats()) names.emplace_back(f.name);
    app.add_option("--to", to, "Target format")->required()->check(CLI::IsMember(names));
    app.add_option("-o,--output", o.outputFolder, "Output folder (created when missing)")->required();
    app.add_flag("--skip-deleted", o.skipDeleted,
                 "Leave out messages deleted in Thunderbird but not yet compacted away");
    app.add_flag("-q,--quiet", o.quiet, "Print only the summary and errors");
    app.add_option("--profile", o.profile,
                   "Convert every account of this Thunderbird profile: its name as 'profiles' lists it, "
                   "'default', or its folder");
    app.add_option("PATH", o.paths, "Mailbox files or folders");
    app.set_version_flag("--version", versionText());
    app.footer("\nAlso: quillmark-cli verify-pst FILE   checks the structure of a .pst file and lists what is wrong."
               "\n      quillmark-cli profiles          lists your Thunderbird profiles, their accounts and mail.");
}

}  // namespace

std::string versionText() { return "quillmark-cli " QUILLMARK_VERSION; }

std::string usage()
{
    CliOptions o;
    std::string to;
    CLI::App app{"", "quillmark-cli"};
    describe(app, o, to);
    return app.help();
}

Result<CliOptions> parseArgs(std::span<const std::string_view> args)
{
    CliOptions o;
    if (!args.empty() && args[0] == "profiles") {
        if (args.size() != 1) return Error{Code::InvalidArgument, "profiles takes no arguments"};
        o.listProfiles = true;
        return o;
    }
    if (!args.empty() && args[0] == "verify-pst") {
        if (args.size() != 2) return Error{Code::InvalidArgument, "verify-pst takes one file: verify-pst FILE"};
        o.verifyPst = std::string(args[1]);
        return o;
    }
    std::string to;
    CLI::App app{"", "quillmark-cli"};
    describe(app, o, to);
    std::vector<std::string> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.emplace_back(*it);
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        o.help = true;
        o.helpText = app.help();
        return o;
    } catch (const CLI::CallForVersion&) {
        o.version = true;
        return o;
    } catch (const CLI::ParseError& e) {
        return Error{Code::InvalidArgument, e.what()};
    }
    if (o.paths.empty() && o.profile.empty())
        return Error{Code::InvalidArgument, "PATH is required (or --profile): what to convert"};
    o.target = findWriterFormat(to)->target;
    return o;
}

}  // namespace quillmark::cli
