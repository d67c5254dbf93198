// Writes N synthetic messages (~4 KB body, one small attachment each) into one folder of a new
// PST file and prints the bytes written and the time taken. scripts/bench compares the rate with
// cp copying a file of the same size.
#include "engine/pst/messaging/message_store.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: pst_bench OUTPUT.pst MESSAGES\n");
        return 2;
    }
    using namespace quillmark;
    const std::filesystem::path out = argv[1];
    const long count = std::strtol(argv[2], nullptr, 10);
    const auto start = std::chrono::steady_clock::now();
    auto store = pst::MessageStore::create(out, "Benchmark");
    if (!store) {
        std::fprintf(stderr, "pst_bench: %s\n", store.error().detail.c_str());
        return 1;
    }
    auto folder = (*store)->addFolder((*store)->topOfPersonalFolders(), "Inbox");
    if (!folder) return 1;
    std::string body;
    while (body.size() < 4000) body += "The quick brown fox jumps over the lazy dog, message body line.\r\n";
    pst::Message m;
    m.subject = "Benchmark message";
    m.senderName = "Ann Example";
    m.senderEmail = "ann@example.com";
    m.recipients.push_back({pst::Recipient::Kind::To, "Bob Example", "bob@example.org", {}});
    pst::Attachment a;
    a.fileName = "note.txt";
    a.mimeType = "text/plain";
    a.data.assign(500, 'a');
    m.attachments.push_back(a);
    for (long i = 0; i < count; ++i) {
        m.body = body + std::to_string(i);
        m.submitTime = m.deliveryTime = pst::fileTimeFromUnix(1'800'000'000 + i);
        if (auto r = (*store)->addMessage(*folder, m); !r) {
            std::fprintf(stderr, "pst_bench: %s\n", r.error().detail.c_str());
            return 1;
        }
    }
    if (auto r = (*store)->close(); !r) {
        std::fprintf(stderr, "pst_bench: %s\n", r.error().detail.c_str());
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto bytes = std::filesystem::file_size(out);
    std::printf("pst: %ld messages %llu bytes %.3f s %.1f MB/s\n", count, static_cast<unsigned long long>(bytes),
                seconds, static_cast<double>(bytes) / 1e6 / seconds);
    return 0;
}
