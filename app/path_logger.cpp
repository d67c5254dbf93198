#include "app/path_logger.h"

#include "engine/mbox/boundaries.h"
#include "scan/window_reader.h"

#include "platform/file_io.h"
#include "platform/paths.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace quillmark {

namespace fs = std::filesystem;

void pathLogger::PathLogInit()
{
    fullFileNamesOnly = true;
    m_fileNames.reset();
    m_pathNames.reset();
    m_pathPointers.reset();
    m_fullFileNames.reset();
    m_unreadable.clear();
}

void pathLogger::Terminate()
{
    m_fileNames.reset();
    m_pathNames.reset();
    m_pathPointers.reset();
    m_fullFileNames.reset();
}

std::shared_ptr<TextList> pathLogger::fileNames()
{
    if (!m_fileNames) m_fileNames = std::make_shared<TextList>();
    return m_fileNames;
}

std::shared_ptr<TextList> pathLogger::pathNames()
{
    if (!m_pathNames) m_pathNames = std::make_shared<TextList>();
    return m_pathNames;
}

std::shared_ptr<NumberList> pathLogger::pathPointers()
{
    if (!m_pathPointers) m_pathPointers = std::make_shared<NumberList>();
    return m_pathPointers;
}

std::shared_ptr<TextList> pathLogger::fullFileNames()
{
    if (!m_fullFileNames) m_fullFileNames = std::make_shared<TextList>();
    return m_fullFileNames;
}

std::string pathLogger::AddBackslash(const std::string& path) { return platform::withTrailingSeparator(path); }

void pathLogger::LogPath(const std::string& strPARENT)
{
    std::error_code ec;
    if (!fs::is_directory(platform::toPath(strPARENT), ec)) return;
    m_count = 1;
    std::int32_t known = 1;
    pathNames()->add("K0", AddBackslash(strPARENT));
    // pathNames is the queue of the walk: folders are appended as found and taken in that order.
    for (std::int32_t i = 1; i <= known && !stop.stop_requested(); ++i) {
        const std::string folder = m_pathNames->Item(static_cast<std::size_t>(i));  // a copy: the list grows
        logFolder(i, folder, known);
    }
}

void pathLogger::logFolder(std::int32_t position, const std::string& folder, std::int32_t& known)
{
    std::vector<std::string> subfolders, files;
    std::error_code ec;
    fs::directory_iterator it(platform::toPath(folder), ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (stop.stop_requested()) return;
        const fs::directory_entry& entry = *it;
        const std::string name = platform::toText(entry.path().filename());
        std::error_code typeError;
        if (entry.is_directory(typeError) && !platform::isLinkOrJunction(entry))
            subfolders.push_back(name);
        else if (!entry.is_directory(typeError))
            files.push_back(name);
    }
    if (ec) {
        m_unreadable.push_back(folder + ": " + ec.message());
        return;
    }
    for (const auto& sub : subfolders) {
        ++known;
        pathNames()->add("K" + std::to_string(known), folder + sub + platform::preferredSeparator());
    }
    std::vector<std::string> fullNames;
    for (const auto& file : files) {
        if (onFolder) fullNames.push_back(folder + file);
        const std::string key = "K" + std::to_string(m_count);
        if (fullFileNamesOnly) {
            fullFileNames()->add(key, folder + file);
        } else {
            fileNames()->add(key, file);
            fullFileNames()->add(key, folder + file);
            pathPointers()->add(key, position);
        }
        ++m_count;
    }
    if (onFolder) onFolder(fullNames);
}

namespace {

// Extensions of the files Thunderbird keeps beside its mailboxes that are never mail.
bool isThunderbirdDataFile(std::string_view name)
{
    static constexpr std::string_view kNotMail[]
        = {"msf",        "dat",        "json",        "jsonlz4", "mozlz4", "baklz4", "lz4", "js",  "sqlite",
           "sqlite-wal", "sqlite-shm", "db",          "html",    "htm",    "log",    "ini", "rdf", "xml",
           "mab",        "css",        "txt-journal", "lock",    "png",    "jpg",    "ico", "sig", "bak"};
    const auto dot = name.rfind('.');
    std::string ext(name.substr(dot + 1));
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::find(std::begin(kNotMail), std::end(kNotMail), ext) != std::end(kNotMail);
}

// Whether the file starts as a mailbox: a message boundary at its start (after a byte-order mark).
bool beginsLikeMailbox(const std::string& path)
{
    auto file = platform::ReadOnlyFile::open(platform::toPath(path));
    if (!file) return false;
    // A window of what the check looks at, not the reader's usual megabyte: most files here are small.
    WindowReader reader(*file, 2 * (kMaxSeparatorLine + kMaxFieldName));
    auto begins = beginsWithMessage(reader);
    return begins && *begins;
}

}  // namespace

bool isMailboxCandidate(const std::string& path, EmptyFiles empty)
{
    if (path.empty()) return false;
    auto name = platform::GetFileName(path);
    if (!name || name->empty()) return false;
    auto size = platform::fileSize(platform::toPath(path));
    if (!size || (*size == 0 && empty == EmptyFiles::Skip)) return false;
    if (name->find('.') == std::string::npos) return true;
    if (isThunderbirdDataFile(*name)) return false;
    std::error_code ec;
    if (std::filesystem::is_regular_file(platform::toPath(path + ".msf"), ec)) return true;
    return beginsLikeMailbox(path);
}

MailboxSearch findMailboxes(const std::string& root, std::stop_token stop, const MailboxBatch& onBatch,
                            EmptyFiles empty)
{
    // A batch goes out when it is this full or this old, so that rows keep coming without one
    // event per file.
    constexpr std::size_t kBatchSize = 64;
    constexpr auto kBatchAge = std::chrono::milliseconds(100);
    MailboxSearch found;
    std::size_t sent = 0;
    auto lastSent = std::chrono::steady_clock::now();
    const auto send = [&] {
        if (!onBatch || sent == found.mailboxes.size()) return;
        onBatch({found.mailboxes.begin() + static_cast<std::ptrdiff_t>(sent), found.mailboxes.end()});
        sent = found.mailboxes.size();
        lastSent = std::chrono::steady_clock::now();
    };
    pathLogger walker;
    walker.PathLogInit();
    walker.fullFileNamesOnly = true;
    walker.stop = std::move(stop);
    walker.onFolder = [&](const std::vector<std::string>& fullNames) {
        for (const auto& name : fullNames)
            if (isMailboxCandidate(name, empty)) found.mailboxes.push_back(name);
        if (found.mailboxes.size() - sent >= kBatchSize || std::chrono::steady_clock::now() - lastSent >= kBatchAge)
            send();
    };
    walker.LogPath(root);
    send();
    found.unreadableFolders = walker.unreadableFolders();
    walker.Terminate();
    return found;
}

}  // namespace quillmark
