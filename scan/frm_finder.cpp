#include "scan/frm_finder.h"

#include "platform/paths.h"

#include <cmath>
#include <cstring>

namespace quillmark {
namespace {

constexpr std::string_view kReaderTitle = "Norvale File Reader";
constexpr std::size_t kMaxSearchLen = 32767;

// Upper-casing covers ASCII only: the search text is "From ", and bytes beyond ASCII have no
// case without knowing the mailbox's charset.
inline char upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Why a path that is not an ordinary file cannot be searched, in the report's words (the report
// names the mailbox); the box keeps its classic text.
Error notSearchable(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(platform::toPath(path), ec);
    if (status.type() == fs::file_type::not_found || status.type() == fs::file_type::none)
        return Error{Code::NotFound, "no such file"};
    if (status.type() == fs::file_type::directory) return Error{Code::IsDirectory, "a folder, not a mailbox file"};
    if (status.type() == fs::file_type::regular) return Error{Code::NotAFile, "a hidden or system file"};
    return Error{Code::NotAFile, "not a file but a pipe, device or socket"};
}

}  // namespace

float hitProgress(std::uint64_t offset, std::uint64_t fileSize) noexcept
{
    if (fileSize == 0) return 0.0f;
    // nearbyint in the default rounding mode rounds halves to even.
    const double percent = static_cast<double>(offset) / static_cast<double>(fileSize) * 100.0;
    return static_cast<float>(std::nearbyint(percent));
}

FrmFinder::FrmFinder(ScanEvents& events, SearchState& state) : m_events(events), m_state(state) {}

void FrmFinder::warn(std::string_view text, NoticeIcon icon, std::string_view title)
{
    m_events.beep();
    m_events.notice(text, icon, title);
}

void FrmFinder::Open_MBOX(std::string_view path)
{
    if (isOpen()) {
        warn("Close current file before open a file!", NoticeIcon::Exclamation, "");
        return;
    }
    m_failure.reset();
    strFileName = std::string(path);
    if (auto r = OpenFile(); !r)
        m_failure = r.error().code == Code::NotFound ? notSearchable(strFileName) : std::move(r).error();
    Text1 = strFileName;
}

Result<void> FrmFinder::OpenFile()
{
    auto size = platform::fileSize(platform::toPath(strFileName));
    if (!size) return std::move(size).error();
    lngFileSize = *size;
    if (lngFileSize < 2) {
        warn("File size is " + std::to_string(lngFileSize) + " byte !\r\rFile can not open for string searching !",
             NoticeIcon::Exclamation, kReaderTitle);
        return Ok{};
    }
    lngLastHit = -1;
    auto file = platform::ReadOnlyFile::open(platform::toPath(strFileName));
    if (!file) return std::move(file).error();
    m_file = std::move(file).value();
    m_file.adviseSequential();
    lngFileSize = m_file.size();
    m_reader = std::make_unique<WindowReader>(m_file);
    return Ok{};
}

Result<void> FrmFinder::Find_Click()
{
    if (platform::trimBlanks(Text1).empty()) {  // the scanner's blank text box
        warn("Enter name of the file to be searched...", NoticeIcon::None, kReaderTitle);
        endSearch();
        return Ok{};
    }
    if (!isOpen()) {
        strFileName = Text1;  // as given: blanks are part of a file name
        if (!platform::isOrdinaryFile(platform::toPath(strFileName))) {
            warn("File not found !", NoticeIcon::Exclamation, kReaderTitle);
            if (!m_failure) m_failure = notSearchable(strFileName);
            endSearch();
            return Ok{};
        }
        auto opened = OpenFile();
        if (!isOpen()) {
            if (!opened) m_failure = opened.error();
            warn("File could not open !", NoticeIcon::Exclamation, kReaderTitle);
            endSearch();
            return opened;
        }
    }
    m_failure.reset();
    lngPos = 0;
    return SearchString();
}

Result<void> FrmFinder::FindNext_Click()
{
    if (lngLastHit < 0) {
        m_events.beep();
        return Ok{};
    }
    lngPos = static_cast<std::uint64_t>(lngLastHit) + intSearchLen;
    return SearchString();
}

Result<void> FrmFinder::SearchString()
{
    if (auto r = GetString(); !r) {
        endSearch();
        return r;
    }
    if (auto r = ScanString(); !r) {
        m_failure = r.error();
        endSearch();
        return r;
    }
    if (blnFound)
        ShowString();
    else
        endSearch();
    return Ok{};
}

void FrmFinder::endSearch()
{
    // The last hit's figures may have been held back by the throttle: the final value always goes.
    if (m_unsentHit) {
        const auto offset = *m_unsentHit;
        m_unsentHit.reset();
        sendHitProgress(offset);
    }
    m_state.blnSearchDone = true;
}

Result<void> FrmFinder::GetString()
{
    strSearch = Text2;
    if (strSearch.size() > kMaxSearchLen) return Error{Code::InvalidArgument, "search text too long"};
    if (strSearch.size() > 2 && strSearch.front() == '"' && strSearch.back() == '"')
        strSearch = strSearch.substr(1, strSearch.size() - 2);
    intSearchLen = strSearch.size();
    if (!Check1)
        for (char& c : strSearch) c = upper(c);
    return Ok{};
}

Result<void> FrmFinder::ScanString()
{
    blnFound = false;
    const std::size_t len = intSearchLen;
    // An empty search text would match everywhere without advancing: the search ends at once.
    if (len == 0 || !m_reader || lngFileSize <= len) {
        lngLastHit = -1;
        return Ok{};
    }
    const std::uint64_t limit = lngFileSize - len;  // attempts start only below this offset
    const bool exact = Check1;
    const char first = strSearch[0];
    std::uint64_t p = lngPos;
    while (p < limit) {
        auto view = m_reader->view(p, len);
        if (!view) return std::move(view).error();
        const char* base = view->data() - p;  // base[x] is the byte at offset x while x is in view
        const std::uint64_t stop = std::min<std::uint64_t>(limit, p + view->size() - len + 1);
        while (p < stop) {
            const char* from = base + p;
            const auto span = static_cast<std::size_t>(stop - p);
            const char* hit;
            if (exact) {
                hit = static_cast<const char*>(std::memchr(from, first, span));
            } else {
                hit = nullptr;
                for (std::size_t i = 0; i < span; ++i)
                    if (upper(from[i]) == first) {
                        hit = from + i;
                        break;
                    }
            }
            if (!hit) {
                p = stop;
                break;
            }
            const auto q = static_cast<std::uint64_t>(hit - base);
            std::size_t k = 1;
            while (k < len && (exact ? hit[k] : upper(hit[k])) == strSearch[k]) ++k;
            if (k == len) {
                lngPos = q;
                lngLastHit = static_cast<std::int64_t>(q);
                blnFound = true;
                return Ok{};
            }
            p = q + k + 1;  // the mismatching byte is consumed too: no back-tracking
        }
    }
    lngPos = p;
    lngLastHit = -1;
    return Ok{};
}

void FrmFinder::ShowString()
{
    const auto offset = lngPos;
    m_state.strMsgPositions += std::to_string(offset);
    m_state.strMsgPositions += '|';
    m_state.hits.push_back(offset);
    if (m_events.timeToReport()) {
        m_unsentHit.reset();
        sendHitProgress(offset);
    } else {
        m_unsentHit = offset;
    }
}

void FrmFinder::sendHitProgress(std::uint64_t offset)
{
    m_events.progress(hitProgress(offset, lngFileSize),
                      "Searching for messages... Found message at : " + std::to_string(offset));
}

Result<void> FrmFinder::CloseFile()
{
    if (!isOpen()) return Error{Code::InvalidArgument, "no mailbox is open"};
    m_reader.reset();
    m_file.close();
    return Ok{};
}

}  // namespace quillmark
