#include "app/thunderbird_profile.h"

#include "platform/paths.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

namespace quillmark::thunderbird {
namespace {

// Reads prefs.js as a JavaScript-like token stream: only user_pref(...) calls matter; comments and
// anything else are passed over.
class PrefsReader {
public:
    explicit PrefsReader(std::string_view text) : m_text(text) {}

    Prefs read()
    {
        Prefs prefs;
        while (m_at < m_text.size()) {
            skipBlanksAndComments();
            if (m_text.substr(m_at).starts_with("user_pref")) {
                m_at += 9;
                readCall(prefs);
            } else if (m_at < m_text.size()) {
                ++m_at;
            }
        }
        return prefs;
    }

private:
    void readCall(Prefs& prefs)
    {
        skipBlanksAndComments();
        if (!take('(')) return;
        skipBlanksAndComments();
        auto key = readString();
        if (!key) return;
        skipBlanksAndComments();
        if (!take(',')) return;
        skipBlanksAndComments();
        std::optional<std::string> value = peek() == '"' || peek() == '\'' ? readString() : readWord();
        if (!value) return;
        skipBlanksAndComments();
        if (take(')')) prefs[*key] = *value;
    }

    // A quoted string with JavaScript escapes; \uXXXX (and surrogate pairs) become UTF-8.
    std::optional<std::string> readString()
    {
        const char quote = peek();
        if (quote != '"' && quote != '\'') return std::nullopt;
        ++m_at;
        std::string out;
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == quote) return out;
            if (c == '\n') return std::nullopt;  // a string never spans lines: this one is broken
            if (c != '\\' || m_at >= m_text.size()) {
                out += c;
                continue;
            }
            const char e = m_text[m_at++];
            switch (e) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'u':
                appendUtf8(out, readUnicodeEscape());
                break;
            case 'x':
                appendUtf8(out, readHex(2));
                break;
            default:
                out += e;
                break;
            }
        }
        return std::nullopt;  // unterminated
    }

    std::uint32_t readUnicodeEscape()
    {
        std::uint32_t cp = readHex(4);
        // A high surrogate followed by \uDC00..\uDFFF is one character.
        if (cp >= 0xD800 && cp <= 0xDBFF && m_text.substr(m_at).starts_with("\\u")) {
            const std::size_t back = m_at;
            m_at += 2;
            const std::uint32_t low = readHex(4);
            if (low >= 0xDC00 && low <= 0xDFFF) return 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            m_at = back;
        }
        return cp;
    }

    std::uint32_t readHex(int digits)
    {
        std::uint32_t v = 0;
        for (int i = 0; i < digits && m_at < m_text.size(); ++i) {
            const char c = m_text[m_at];
            const int d = c >= '0' && c <= '9' ? c - '0'
                : c >= 'a' && c <= 'f'         ? c - 'a' + 10
                : c >= 'A' && c <= 'F'         ? c - 'A' + 10
                                               : -1;
            if (d < 0) break;
            v = v * 16 + static_cast<std::uint32_t>(d);
            ++m_at;
        }
        return v;
    }

    static void appendUtf8(std::string& out, std::uint32_t cp)
    {
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // a lone surrogate
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // A number, true or false: up to the closing parenthesis.
    std::optional<std::string> readWord()
    {
        const std::size_t start = m_at;
        while (m_at < m_text.size() && m_text[m_at] != ')' && m_text[m_at] != '\n') ++m_at;
        std::string_view word = platform::trimBlanks(m_text.substr(start, m_at - start));
        if (word.empty()) return std::nullopt;
        return std::string(word);
    }

    void skipBlanksAndComments()
    {
        while (m_at < m_text.size()) {
            const char c = m_text[m_at];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                ++m_at;
            } else if (m_text.substr(m_at).starts_with("//") || c == '#') {
                const auto end = m_text.find('\n', m_at);
                m_at = end == std::string_view::npos ? m_text.size() : end + 1;
            } else if (m_text.substr(m_at).starts_with("/*")) {
                const auto end = m_text.find("*/", m_at + 2);
                m_at = end == std::string_view::npos ? m_text.size() : end + 2;
            } else {
                return;
            }
        }
    }

    char peek() const { return m_at < m_text.size() ? m_text[m_at] : '\0'; }
    bool take(char c)
    {
        if (peek() != c) return false;
        ++m_at;
        return true;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

std::string get(const Prefs& prefs, const std::string& key)
{
    auto it = prefs.find(key);
    return it == prefs.end() ? std::string() : it->second;
}

std::vector<std::string> splitList(std::string_view list)
{
    std::vector<std::string> out;
    while (!list.empty()) {
        const auto comma = list.find(',');
        const auto item = platform::trimBlanks(list.substr(0, comma));
        if (!item.empty()) out.emplace_back(item);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return out;
}

std::string readText(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

Prefs parsePrefs(std::string_view text) { return PrefsReader(text).read(); }

Prefs readPrefs(const std::filesystem::path& file) { return parsePrefs(readText(file)); }

std::vector<Account> accountsOf(const Prefs& prefs, const std::filesystem::path& profileFolder)
{
    std::vector<Account> accounts;
    for (const auto& key : splitList(get(prefs, "mail.accountmanager.accounts"))) {
        const std::string server = get(prefs, "mail.account." + key + ".server");
        if (server.empty()) continue;  // an identity-only or half-removed account holds no mail
        const std::string at = "mail.server." + server + ".";
        Account a{key, get(prefs, at + "name"), get(prefs, at + "type"), {}};
        // The relative form is the one that survives a moved profile; the absolute one is older.
        constexpr std::string_view kProfileDir = "[ProfD]";
        const std::string relative = get(prefs, at + "directory-rel");
        if (relative.starts_with(kProfileDir))
            a.mailFolder = (profileFolder / platform::toPath(relative.substr(kProfileDir.size()))).lexically_normal();
        else if (const std::string absolute = get(prefs, at + "directory"); !absolute.empty())
            a.mailFolder = platform::toPath(absolute);
        if (a.name.empty()) a.name = get(prefs, at + "hostname");
        accounts.push_back(std::move(a));
    }
    return accounts;
}

std::vector<std::filesystem::path> mailFolders(const std::filesystem::path& profileFolder)
{
    std::vector<std::filesystem::path> folders;
    std::error_code ec;
    for (const auto& a : accountsOf(readPrefs(profileFolder / "prefs.js"), profileFolder))
        if (!a.mailFolder.empty() && std::filesystem::is_directory(a.mailFolder, ec)) folders.push_back(a.mailFolder);
    return folders;
}

MailOrigin originOf(const std::vector<std::string>& mailboxes, const std::vector<std::filesystem::path>& homes)
{
    namespace fs = std::filesystem;
    // The profile folders: above each mailbox (asking each folder once), and those listed.
    std::set<fs::path> profiles, asked;
    std::vector<fs::path> folders;
    for (const auto& m : mailboxes) {
        if (m.empty()) continue;
        const fs::path folder = platform::resolvedPath(platform::toPath(m)).parent_path();
        folders.push_back(folder);
        for (fs::path at = folder; !at.empty(); at = at.parent_path()) {
            if (!asked.insert(at).second) break;
            std::error_code ec;
            if (fs::is_regular_file(at / "prefs.js", ec)) {
                profiles.insert(at);
                break;
            }
            if (at == at.parent_path()) break;
        }
    }
    for (const auto& home : homes)
        for (const auto& p : readProfilesIni(home)) profiles.insert(platform::resolvedPath(p.folder));

    MailOrigin origin;
    for (const auto& profile : profiles) {
        const Prefs prefs = readPrefs(profile / "prefs.js");
        bool used = false;
        for (const auto& account : accountsOf(prefs, profile)) {
            if (account.mailFolder.empty()) continue;
            const fs::path mail = platform::resolvedPath(account.mailFolder);
            const bool holds = std::any_of(folders.begin(), folders.end(), [&](const fs::path& f) {
                auto [end, _] = std::mismatch(mail.begin(), mail.end(), f.begin(), f.end());
                return end == mail.end();
            });
            if (!holds) continue;
            used = true;
            origin.accounts.push_back({platform::toText(mail), account.name});
        }
        if (!used) continue;
        // mailnews.tags.<key>.tag; a key may itself hold dots.
        constexpr std::string_view kPrefix = "mailnews.tags.", kSuffix = ".tag";
        for (auto it = prefs.lower_bound(std::string(kPrefix)); it != prefs.end() && it->first.starts_with(kPrefix);
             ++it)
            if (it->first.ends_with(kSuffix) && it->first.size() > kPrefix.size() + kSuffix.size()
                && !it->second.empty())
                origin.tagNames.emplace(
                    it->first.substr(kPrefix.size(), it->first.size() - kPrefix.size() - kSuffix.size()), it->second);
    }
    return origin;
}

std::vector<Profile> readProfilesIni(const std::filesystem::path& home)
{
    return parseProfilesIni(readText(home / "profiles.ini"), home);
}

std::vector<Profile> parseProfilesIni(std::string_view text, const std::filesystem::path& home)
{
    struct Section {
        std::string name;
        std::map<std::string, std::string> values;
    };
    std::vector<Section> sections;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = platform::trimBlanks(text.substr(0, end));
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            sections.push_back({std::string(line.substr(1, line.size() - 2)), {}});
        } else if (const auto eq = line.find('='); eq != std::string_view::npos && !sections.empty()) {
            sections.back().values[std::string(platform::trimBlanks(line.substr(0, eq)))]
                = std::string(platform::trimBlanks(line.substr(eq + 1)));
        }
    }
    // Newer Thunderbird names the default of each installation in an [Install...] section; it
    // outranks the older Default=1 of a profile.
    std::string installDefault;
    for (const auto& s : sections)
        if (s.name.starts_with("Install") && s.values.count("Default")) installDefault = s.values.at("Default");
    std::vector<Profile> profiles;
    for (const auto& s : sections) {
        if (!s.name.starts_with("Profile") || !s.values.count("Path")) continue;
        const std::string& path = s.values.at("Path");
        const bool relative = !s.values.count("IsRelative") || s.values.at("IsRelative") != "0";
        Profile p;
        p.name = s.values.count("Name") ? s.values.at("Name") : path;
        p.folder = relative ? (home / platform::toPath(path)).lexically_normal() : platform::toPath(path);
        p.isDefault = installDefault.empty() ? s.values.count("Default") && s.values.at("Default") == "1"
                                             : path == installDefault;
        profiles.push_back(std::move(p));
    }
    return profiles;
}

std::vector<std::filesystem::path> profileHomes(const std::filesystem::path& userHome,
                                                const std::filesystem::path& appData)
{
    std::vector<std::filesystem::path> candidates;
    if (!userHome.empty()) {
        candidates.push_back(userHome / ".thunderbird");
        candidates.push_back(userHome / "snap" / "thunderbird" / "common" / ".thunderbird");
        candidates.push_back(userHome / ".var" / "app" / "org.mozilla.Thunderbird" / ".thunderbird");
        candidates.push_back(userHome / "Library" / "Thunderbird");
    }
    if (!appData.empty()) candidates.push_back(appData / "Thunderbird");
    std::vector<std::filesystem::path> homes;
    for (const auto& c : candidates) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(c / "profiles.ini", ec)) homes.push_back(c);
    }
    return homes;
}

std::vector<std::filesystem::path> userProfileHomes()
{
    const auto home = platform::environmentPath("HOME");
    return profileHomes(home.empty() ? platform::environmentPath("USERPROFILE") : home,
                        platform::environmentPath("APPDATA"));
}

std::filesystem::path defaultMailFolder()
{
    std::error_code ec;
    for (const auto& home : userProfileHomes())
        for (const auto& p : readProfilesIni(home)) {
            if (!p.isDefault || !std::filesystem::is_directory(p.folder, ec)) continue;
            const auto folders = mailFolders(p.folder);
            return folders.size() == 1 ? folders.front() : p.folder;
        }
    return {};
}

}  // namespace quillmark::thunderbird
