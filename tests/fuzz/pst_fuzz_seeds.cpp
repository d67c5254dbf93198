// Writes seed files for pst_verify_fuzz into a folder: small stores made by our MessageStore, with
// and without permute encoding, each also cut after its last used byte, as most of a fresh
// file is free space the fuzzer would only waste time on.
#include "engine/pst/messaging/message_store.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace {

using namespace quillmark;
using namespace quillmark::pst;

Message sample(int i)
{
    Message m;
    m.subject = "Seed message " + std::to_string(i);
    m.senderName = "Ann Sender";
    m.senderEmail = "ann@example.org";
    m.body = std::string(40 + 900 * static_cast<std::size_t>(i), 'x') + "\r\n";
    m.submitTime = m.deliveryTime = fileTimeFromUnix(1700000000 + i);
    m.flags = i % 2 ? 0x01 : 0x00;
    m.recipients.push_back({Recipient::Kind::To, "Bob", "bob@example.org", {}});
    if (i % 2) {
        Attachment a;
        a.fileName = "note.txt";
        a.mimeType = "text/plain";
        a.data.assign(100 + 5000 * static_cast<std::size_t>(i), 'a');  // large ones go to a subnode
        m.attachments.push_back(a);
    }
    return m;
}

// `messages` plain ones in two folders (past four, also one with 400 attachments), then one with
// an embedded message; the smaller the store, the more of the fuzzer's changes land in
// structures rather than in message text.
bool writeStore(const std::filesystem::path& path, fmt::CryptMethod crypt, int messages)
{
    auto store = MessageStore::create(path, "Seed", StoreOptions{crypt});
    if (!store) return false;
    auto& s = **store;
    auto inbox = s.addFolder(s.topOfPersonalFolders(), "Inbox");
    auto sub = inbox ? s.addFolder(*inbox, "Sub") : inbox;
    if (!sub) return false;
    for (int i = 0; i < messages; ++i)
        if (!s.addMessage(i < 3 ? *inbox : *sub, sample(i < 4 ? i : 0))) return false;
    if (messages > 4) {  // a subnode tree with an SIBLOCK: more attachments than one SLBLOCK holds
        Message wide = sample(0);
        for (int i = 0; i < 400; ++i) {
            Attachment a;
            a.fileName = std::to_string(i);
            wide.attachments.push_back(a);
        }
        if (!s.addMessage(*sub, wide)) return false;
    }
    Message outer = sample(5);
    outer.body.resize(20000, 'y');  // a data tree with an XBLOCK
    Attachment attached;
    attached.fileName = "forwarded.eml";
    attached.embedded = std::make_shared<const Message>(sample(1));
    outer.attachments.push_back(attached);
    return s.addMessage(*inbox, outer).ok() && s.close().ok();
}

// The file without its trailing zero bytes, rounded up to a whole page.
bool writeCut(const std::filesystem::path& from, const std::filesystem::path& to)
{
    std::ifstream in(from, std::ios::binary);
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::size_t end = bytes.size();
    while (end > 0 && bytes[end - 1] == 0) --end;
    end = std::min(bytes.size(), (end + 511) / 512 * 512);
    std::ofstream(to, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(end));
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: pst_fuzz_seeds FOLDER\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    const std::pair<const char*, fmt::CryptMethod> kinds[]
        = {{"plain", fmt::CryptMethod::None}, {"permute", fmt::CryptMethod::Permute}};
    for (const auto& [name, crypt] : kinds)
        for (const int messages : {0, 4, 30}) {  // 30: contents table rows kept in a subnode
            const std::string stem = std::string(name) + "-" + std::to_string(messages);
            const auto full = dir / (stem + ".pst");
            if (!writeStore(full, crypt, messages) || !writeCut(full, dir / (stem + "-cut.pst"))) {
                std::fprintf(stderr, "pst_fuzz_seeds: cannot write %s\n", full.string().c_str());
                return 1;
            }
        }
    return 0;
}
