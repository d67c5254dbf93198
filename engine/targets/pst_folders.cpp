#include "engine/targets/pst_folders.h"

#include "platform/paths.h"

#include <algorithm>
#include <filesystem>
#include <optional>

namespace quillmark {
namespace {

namespace fs = std::filesystem;

// A folder's path, links resolved where it exists, as its elements (root name and root first),
// so that two spellings of one folder compare equal.
std::vector<fs::path> elementsOf(const fs::path& folder)
{
    std::vector<fs::path> elements;
    for (const auto& e : platform::resolvedPath(folder))
        if (!e.empty()) elements.push_back(e);
    return elements;
}

bool startsWith(const std::vector<fs::path>& path, const std::vector<fs::path>& prefix)
{
    return prefix.size() <= path.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

// A folder name as the PST shows it: blanks trimmed as for a mailbox's name, and no '\', which
// separates a PST's folder names.
std::string folderName(std::string name)
{
    const std::string_view trimmed = platform::trimBlanks(name);
    if (!trimmed.empty()) name = std::string(trimmed);
    std::replace(name.begin(), name.end(), '\\', '_');
    return name;
}

// One level of the mail tree: "Inbox.sbd" is the folder of the mailbox "Inbox".
std::string levelName(const fs::path& element)
{
    std::string name = platform::toText(element);
    constexpr std::string_view kSbd = ".sbd";
    if (name.size() > kSbd.size() && name.ends_with(kSbd)) name.resize(name.size() - kSbd.size());
    // A root ("C:", "\\server\share") is a level only when mailboxes lie on different ones.
    while (!name.empty() && (name.front() == '/' || name.front() == '\\')) name.erase(name.begin());
    std::replace(name.begin(), name.end(), '/', '_');
    return folderName(std::move(name));
}

struct Placed {
    std::vector<fs::path> folder;  // the mailbox's folder, as elements
    std::string name;              // the mailbox's own folder name
    std::optional<std::size_t> account;
};

}  // namespace

std::vector<std::vector<std::string>> pstFolderPaths(std::span<const std::string> mailboxes,
                                                     std::span<const AccountFolder> accounts)
{
    std::vector<std::vector<fs::path>> accountElements;
    for (const auto& a : accounts) accountElements.push_back(elementsOf(platform::toPath(a.folder)));

    std::vector<std::optional<Placed>> placed;
    for (const auto& mailbox : mailboxes) {
        if (mailbox.empty()) {
            placed.emplace_back();
            continue;
        }
        // The mailbox's own name as given: resolving a link must not rename its folder.
        const fs::path path = platform::toPath(mailbox);
        Placed p{elementsOf(path.parent_path().empty() ? fs::path(".") : path.parent_path()),
                 folderName(platform::toText(path.filename())), std::nullopt};
        std::size_t longest = 0;
        for (std::size_t a = 0; a < accounts.size(); ++a)
            if (!accountElements[a].empty() && accountElements[a].size() > longest
                && startsWith(p.folder, accountElements[a])) {
                longest = accountElements[a].size();
                p.account = a;
            }
        placed.push_back(std::move(p));
    }

    // Mailboxes all in one folder keep the flat layout, whatever account that folder belongs to.
    const std::vector<fs::path>* first = nullptr;
    bool oneFolder = true;
    for (const auto& p : placed) {
        if (!p) continue;
        if (!first)
            first = &p->folder;
        else if (p->folder != *first)
            oneFolder = false;
    }
    // The deepest folder common to the mailboxes outside every account folder.
    std::optional<std::vector<fs::path>> base;
    for (const auto& p : placed) {
        if (!p || (p->account && !oneFolder)) continue;
        if (!base) {
            base = p->folder;
            continue;
        }
        const auto mismatch = std::mismatch(base->begin(), base->end(), p->folder.begin(), p->folder.end());
        base->erase(mismatch.first, base->end());
    }

    std::vector<std::vector<std::string>> paths;
    for (const auto& p : placed) {
        auto& levels = paths.emplace_back();
        if (!p) continue;
        std::size_t from = base ? base->size() : 0;
        if (p->account && !oneFolder) {
            const AccountFolder& account = accounts[*p->account];
            levels.push_back(folderName(account.name.empty() ? platform::toText(accountElements[*p->account].back())
                                                             : account.name));
            from = accountElements[*p->account].size();
        }
        for (std::size_t i = from; i < p->folder.size(); ++i) {
            std::string level = levelName(p->folder[i]);
            if (!level.empty()) levels.push_back(std::move(level));
        }
        levels.push_back(p->name);
    }
    return paths;
}

}  // namespace quillmark
