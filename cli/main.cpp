#include "cli/cli_options.h"
#include "cli/cli_run.h"
#include "platform/file_io.h"

#include <cstdio>
#include <string_view>
#include <vector>

int main(int argc, char** argv)
{
    quillmark::platform::prepareProcess();
    std::vector<std::string_view> args(argv + 1, argv + argc);
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
