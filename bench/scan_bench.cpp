// Times the separator scan alone: FrmFinder over a whole mailbox, driven the way the job drives
// it, with a host that ignores every report. Run it on a file that is already in the page cache
// to see the scanner's speed rather than the disk's. Prints the best of N runs.
//
// Usage: scan_bench MAILBOX [RUNS]   (RUNS defaults to 3)

#include "engine/host/host.h"
#include "engine/job/scan_reporter.h"
#include "scan/frm_finder.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class SilentHost final : public quillmark::Host {
public:
    void setLabel(quillmark::Label, std::string_view) override {}
    void setBar(quillmark::Bar, float) override {}
    quillmark::BoxAnswer messageBox(std::string_view text, int, std::string_view) override
    {
        // A box during a benchmark means the scan failed; say so rather than time it.
        std::fprintf(stderr, "scan_bench: %.*s\n", static_cast<int>(text.size()), text.data());
        return quillmark::BoxAnswer::Ok;
    }
    void beep() override {}
};

struct Run {
    double seconds = 0;
    std::size_t hits = 0;
    std::uint64_t bytes = 0;
};

bool scanOnce(const std::string& path, Run& run)
{
    SilentHost host;
    quillmark::Reporter reporter(host, std::chrono::milliseconds(50));
    quillmark::SearchState state;
    quillmark::ScanReporter events(reporter);
    quillmark::FrmFinder finder(events, state);

    const auto start = std::chrono::steady_clock::now();
    finder.Text2 = "From ";
    finder.Open_MBOX(path);
    if (!finder.Find_Click()) return false;
    while (!state.blnSearchDone) {
        if (!finder.FindNext_Click()) return false;
    }
    run.bytes = finder.fileSize();
    if (!finder.CloseFile()) return false;
    const auto stop = std::chrono::steady_clock::now();

    run.seconds = std::chrono::duration<double>(stop - start).count();
    run.hits = state.hits.size();
    return finder.failure() == std::nullopt;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fputs("usage: scan_bench MAILBOX [RUNS]\n", stderr);
        return 2;
    }
    const std::string path = argv[1];
    const int runs = argc == 3 ? std::atoi(argv[2]) : 3;
    if (runs < 1) {
        std::fputs("scan_bench: RUNS must be at least 1\n", stderr);
        return 2;
    }

    Run best;
    for (int i = 0; i < runs; ++i) {
        Run run;
        if (!scanOnce(path, run)) {
            std::fprintf(stderr, "scan_bench: scan of %s failed\n", path.c_str());
            return 1;
        }
        const double gbps = static_cast<double>(run.bytes) / run.seconds / 1e9;
        std::printf("run %d: %.3f s  %.2f GB/s  %zu hits\n", i + 1, run.seconds, gbps, run.hits);
        if (i == 0 || run.seconds < best.seconds) best = run;
    }
    // One line that scripts can read: seconds GB/s hits bytes.
    std::printf("best: %.3f %.3f %zu %llu\n", best.seconds, static_cast<double>(best.bytes) / best.seconds / 1e9,
                best.hits, static_cast<unsigned long long>(best.bytes));
    return 0;
}
