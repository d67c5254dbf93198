// Fuzz target for the mailbox reader: the scanner must find exactly what one-byte reads find,
// and every message's clean text must have CR LF line ends only and end with the extra CR LF.
// Build with -DQUILLMARK_FUZZ=ON (clang), run: build-fuzz/bin/mbox_fuzz -max_total_time=60
#include "engine/job/scan_reporter.h"
#include "engine/mbox/boundaries.h"
#include "engine/mbox/message_cutter.h"
#include "scan/frm_finder.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

using namespace quillmark;

class NullHost final : public Host {
public:
    void setLabel(Label, std::string_view) override {}
    void setBar(Bar, float) override {}
    BoxAnswer messageBox(std::string_view, int, std::string_view) override { return BoxAnswer::Ok; }
    void beep() override {}
};

std::vector<std::uint64_t> oneByteHits(const std::string& data)
{
    const std::string needle = "From ";
    std::vector<std::uint64_t> hits;
    std::size_t pos = 0;
    while (data.size() > needle.size() && pos < data.size() - needle.size()) {
        std::size_t k = 0;
        while (k < needle.size() && data[pos + k] == needle[k]) ++k;
        if (k == needle.size()) {
            hits.push_back(pos);
            pos += needle.size();
        } else {
            pos += k + 1;
        }
    }
    return hits;
}

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "mbox_fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::string data(reinterpret_cast<const char*>(bytes), size);
    static const std::string path = "/dev/shm/quillmark-fuzz-" + std::to_string(::getpid());
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(data.data(), static_cast<std::streamsize>(size));

    NullHost host;
    Reporter reporter(host, std::chrono::milliseconds(0));
    SearchState state;
    ScanReporter events(reporter);
    FrmFinder finder(events, state);
    finder.Text2 = "From ";
    finder.Open_MBOX(path);
    (void)finder.Find_Click();
    while (!state.blnSearchDone) (void)finder.FindNext_Click();
    (void)finder.CloseFile();
    if (size >= 2) check(state.hits == oneByteHits(data), "scanner differs from one-byte reads");

    auto file = platform::ReadOnlyFile::open(path);
    check(file.ok(), "cannot reopen input");
    WindowReader reader(*file, 64);  // a tiny window puts every edge case on a window edge
    auto boundaries = messageBoundaries(reader, state.hits);
    check(boundaries.ok(), "boundaries failed");
    MessageCutter cutter(reader);
    for (const auto& span : messageSpans(*boundaries, size)) {
        StringSink sink;
        check(cutter.cut(span, sink).ok(), "cut failed");
        const std::string& t = sink.text;
        check(t.size() >= 2 && t.compare(t.size() - 2, 2, "\r\n") == 0, "text does not end with CR LF");
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (t[i] == '\r') check(i + 1 < t.size() && t[i + 1] == '\n', "lone CR in output");
            if (t[i] == '\n') check(i > 0 && t[i - 1] == '\r', "lone LF in output");
        }
        check(t == cleanText(data.substr(span.begin, span.size())), "streamed text differs from the in-memory one");
    }
    return 0;
}
