#include "engine/pst/verify/byte_source.h"

#include <algorithm>
#include <cstring>

namespace quillmark::pst::checking {

namespace {

constexpr std::uint64_t kAlign = 4096;  // windows start on a file-system page
// A miss this close to where the last miss ended continues a front-to-back read.
constexpr std::uint64_t kSequentialGap = std::uint64_t{64} << 10;

std::span<char> chars(std::uint8_t* data, std::size_t size) { return {reinterpret_cast<char*>(data), size}; }

}  // namespace

bool MemorySource::read(std::uint64_t offset, std::span<std::uint8_t> out)
{
    if (!contains(offset, out.size())) return false;
    if (!out.empty()) std::memcpy(out.data(), m_bytes.data() + offset, out.size());
    return true;
}

FileSource::FileSource(platform::ReadOnlyFile file, std::string name)
    : m_file(std::move(file)), m_name(std::move(name)), m_windows(kWindows)
{
    m_file.adviseSequential();
}

bool FileSource::read(std::uint64_t offset, std::span<std::uint8_t> out)
{
    if (!contains(offset, out.size())) return false;
    if (out.empty()) return true;
    if (out.size() > kMaxWindow - kAlign)  // larger than any window: straight from the file
        return !failed(m_file.readAt(offset, chars(out.data(), out.size())), out.size());
    Window* w = find(offset, out.size());
    if (!w) w = load(offset, out.size());
    if (!w) return false;
    std::memcpy(out.data(), w->bytes.get() + (offset - w->start), out.size());
    w->lastUse = ++m_clock;
    return true;
}

FileSource::Window* FileSource::find(std::uint64_t offset, std::size_t length)
{
    const auto covers = [&](const Window& w) {
        return offset >= w.start && offset - w.start <= w.length && length <= w.length - (offset - w.start);
    };
    if (covers(m_windows[m_recent])) return &m_windows[m_recent];
    for (std::size_t i = 0; i < m_windows.size(); ++i)
        if (covers(m_windows[i])) {
            m_recent = i;
            return &m_windows[i];
        }
    return nullptr;
}

// A miss just past a window continues the read that window served: the next window replaces it
// and doubles in size, up to kMaxWindow. Other misses read kMinWindow into the window used least
// recently. Several front-to-back reads (a table and the messages it lists) can so go on side by
// side without resetting each other.
FileSource::Window* FileSource::load(std::uint64_t offset, std::size_t length)
{
    const auto continues = [&](const Window& w) {
        const std::uint64_t end = w.start + w.length;
        return w.length && offset + length > end && offset <= end + kSequentialGap;
    };
    auto victim = std::find_if(m_windows.begin(), m_windows.end(), continues);
    const std::size_t ahead = victim == m_windows.end() ? kMinWindow : std::min(2 * victim->length, kMaxWindow);
    if (victim == m_windows.end())
        victim = std::min_element(m_windows.begin(), m_windows.end(),
                                  [](const Window& a, const Window& b) { return a.lastUse < b.lastUse; });
    const std::uint64_t start = offset / kAlign * kAlign;
    const std::uint64_t want = std::max<std::uint64_t>(ahead, offset - start + length);
    const auto size = static_cast<std::size_t>(std::min(want, m_file.size() - start));

    Window& w = *victim;
    if (!w.bytes) w.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(kMaxWindow);
    w.length = 0;
    w.lastUse = 0;
    if (failed(m_file.readAt(start, chars(w.bytes.get(), size)), size)) return nullptr;
    w.start = start;
    w.length = size;
    m_recent = static_cast<std::size_t>(victim - m_windows.begin());
    return &w;
}

bool FileSource::failed(const Result<std::size_t>& n, std::size_t wanted)
{
    if (n && *n == wanted) return false;
    if (!m_error) m_error = n ? Error{Code::Io, "cannot read " + m_name + ": the file ended early"} : n.error();
    return true;
}

}  // namespace quillmark::pst::checking
