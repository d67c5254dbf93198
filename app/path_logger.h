// The folder walker: visits a root folder and every folder below it, breadth first, and records
// every file it finds in keyed lists. It applies no filter; the caller picks the files it wants.
//
// Links to folders (symbolic links, Windows junctions) are not followed, so a walk always ends;
// a folder that cannot be read is skipped and counted, and the walk goes on.
// UI-free: the window and the command line use the same walker.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark {

// An insertion-ordered list whose items have unique text keys; items are numbered from 1.
template <class T>
class KeyedList {
public:
    // False (and nothing added) when the key is taken.
    bool add(std::string key, T item)
    {
        if (!m_index.emplace(key, m_items.size()).second) return false;
        m_items.emplace_back(std::move(key), std::move(item));
        return true;
    }
    std::size_t Count() const noexcept { return m_items.size(); }
    // 1-based, as the walk numbers folders.
    const T& Item(std::size_t position) const { return m_items.at(position - 1).second; }
    const std::string& Key(std::size_t position) const { return m_items.at(position - 1).first; }
    const T* find(const std::string& key) const
    {
        auto it = m_index.find(key);
        return it == m_index.end() ? nullptr : &m_items[it->second].second;
    }
    std::vector<T> items() const
    {
        std::vector<T> out;
        out.reserve(m_items.size());
        for (const auto& kv : m_items) out.push_back(kv.second);
        return out;
    }

private:
    std::vector<std::pair<std::string, T>> m_items;
    std::map<std::string, std::size_t> m_index;
};

using TextList = KeyedList<std::string>;
using NumberList = KeyedList<std::int32_t>;

class pathLogger {
public:
    void PathLogInit();
    void LogPath(const std::string& strPARENT);
    std::int32_t Count() const noexcept { return m_count; }
    void Terminate();

    bool fullFileNamesOnly = false;
    // Ends the walk early when requested (checked between entries).
    std::stop_token stop;
    // Told the full names of each folder's files as the folder is walked.
    std::function<void(const std::vector<std::string>& fullNames)> onFolder;

    // The lists are shared: a caller holding one keeps it intact after Terminate(). A list the
    // walker does not hold is created empty when read.
    std::shared_ptr<TextList> fileNames();
    std::shared_ptr<TextList> pathNames();
    std::shared_ptr<NumberList> pathPointers();
    std::shared_ptr<TextList> fullFileNames();

    // Folders that could not be listed during the last walk, with the reason.
    const std::vector<std::string>& unreadableFolders() const noexcept { return m_unreadable; }

private:
    static std::string AddBackslash(const std::string& path);
    void logFolder(std::int32_t position, const std::string& folder, std::int32_t& known);

    std::int32_t m_count = 0;
    std::shared_ptr<TextList> m_fileNames;
    std::shared_ptr<TextList> m_pathNames;
    std::shared_ptr<NumberList> m_pathPointers;
    std::shared_ptr<TextList> m_fullFileNames;
    std::vector<std::string> m_unreadable;
};

// The file list's mailbox filter. Thunderbird keeps each mail folder in a file without extension,
// beside its ".msf" summary; but a folder name may hold a dot ("Release v1.2", "Mr. Smith"), so a
// file with a dot is a mailbox too when its ".msf" lies beside it or it begins as a mailbox does
// (a "From " line followed by a header field). Thunderbird's own files that are not mail
// (summaries, databases, settings, logs) never are, and an empty file is not, unless asked for:
// a whole profile's tree takes its empty mailboxes (an emptied Trash) too.
enum class EmptyFiles { Skip, Take };
bool isMailboxCandidate(const std::string& path, EmptyFiles empty = EmptyFiles::Skip);

// Every mailbox candidate below root, in walk order, and the number of folders that could not be
// read. With onBatch, the candidates also go to it a few at a time as they are found, so a caller
// can show them while the walk goes on; a stop request ends the walk with what was found so far.
struct MailboxSearch {
    std::vector<std::string> mailboxes;
    std::vector<std::string> unreadableFolders;
};
using MailboxBatch = std::function<void(std::vector<std::string> mailboxes)>;
MailboxSearch findMailboxes(const std::string& root, std::stop_token stop = {}, const MailboxBatch& onBatch = {},
                            EmptyFiles empty = EmptyFiles::Skip);

}  // namespace quillmark
