#include "cli/cli_options.h"
#include "cli/cli_run.h"
#include "platform/file_io.h"

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace {

int runCli(int argc, char** argv)
{
    const std::vector<std::string> utf8 = quillmark::platform::commandLineArguments(argc, argv);
    std::vector<std::string_view> args(utf8.begin() + (utf8.empty() ? 0 : 1), utf8.end());
    auto options = quillmark::cli::parseArgs(args);
    if (!options) {
        std::fprintf(stderr, "quillmark-cli: %s\nRun with --help for usage.\n", options.error().detail.c_str());
        return quillmark::cli::kUsageOrFatal;
    }
    if (options->help) {
        std::fputs(options->helpText.c_str(), stdout);
        return 0;
    }
    if (options->version) {
        std::puts(quillmark::cli::versionText().c_str());
        return 0;
    }
    return quillmark::cli::run(*options);
}

}  // namespace

int main(int argc, char** argv)
{
    quillmark::platform::prepareProcess();
    // The job turns its own exceptions into a report; this catches what escapes elsewhere (the
    // summary's output, the folder walk), so the program ends with a message and exit 2, never
    // through std::terminate.
    try {
        return runCli(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmark-cli: stopped by an unexpected error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "quillmark-cli: stopped by an unexpected error\n");
    }
    return quillmark::cli::kUsageOrFatal;
}
