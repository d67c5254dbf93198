#include "engine/pst/ndb/node_index.h"

#include "engine/pst/byte_io.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace quillmark::pst::ndb {

using namespace fmt;

namespace {

constexpr std::size_t kEntryBytes = sizeof(NodeEntry);
constexpr std::size_t kReadAhead = 16384;  // entries per read of the scratch file

}  // namespace

Result<void> NodeIndex::add(const NodeEntry& entry)
{
    if (m_lastRising && entry.nid <= *m_lastRising) {
        m_others.push_back(entry);
        return Ok{};
    }
    m_lastRising = entry.nid;
    m_tail.push_back(entry);
    if (m_tail.size() < kHeld) return Ok{};
    return spill();
}

Result<void> NodeIndex::spill()
{
    if (!m_file) {
        auto file = platform::ScratchFile::create();
        if (!file) return std::move(file).error();
        m_file = std::move(*file);
    }
    // The entries as they lie in memory: the file is read back by this same program.
    const std::span<const char> bytes(reinterpret_cast<const char*>(m_tail.data()), m_tail.size() * kEntryBytes);
    if (auto r = m_file->append(bytes); !r) return r;
    m_spooled += m_tail.size();
    m_tail.clear();
    return Ok{};
}

Result<void> NodeIndex::seal()
{
    const auto byNid = [](const NodeEntry& a, const NodeEntry& b) { return a.nid < b.nid; };
    std::sort(m_others.begin(), m_others.end(), byNid);
    for (std::size_t i = 1; i < m_others.size(); ++i)
        if (m_others[i].nid == m_others[i - 1].nid)
            return Error{Code::InvalidArgument, "node ID " + std::to_string(m_others[i].nid) + " added twice"};
    m_next = m_risingRead = m_othersRead = m_windowAt = 0;
    m_window.clear();
    m_peek.reset();
    return Ok{};
}

Result<NodeEntry> NodeIndex::nextRising()
{
    const std::size_t i = m_risingRead;
    if (i >= m_spooled) return m_tail.at(i - m_spooled);
    if (i < m_windowAt || i >= m_windowAt + m_window.size()) {
        const std::size_t n = std::min(kReadAhead, m_spooled - i);
        m_window.resize(n);
        auto r = m_file->readAt(static_cast<std::uint64_t>(i) * kEntryBytes,
                                {reinterpret_cast<char*>(m_window.data()), n * kEntryBytes});
        if (!r) return std::move(r).error();
        m_windowAt = i;
    }
    return m_window[i - m_windowAt];
}

Result<void> NodeIndex::read(std::size_t from, std::span<std::uint8_t> out)
{
    if (from != m_next) return Error{Code::Internal, "node index read out of order"};
    const std::size_t rising = m_spooled + m_tail.size();
    for (std::size_t at = 0; at + btpage::kNbtEntry <= out.size(); at += btpage::kNbtEntry) {
        if (!m_peek && m_risingRead < rising) {
            auto e = nextRising();
            if (!e) return std::move(e).error();
            m_peek = *e;
        }
        const NodeEntry* other = m_othersRead < m_others.size() ? &m_others[m_othersRead] : nullptr;
        NodeEntry e;
        if (m_peek && (!other || m_peek->nid < other->nid)) {
            e = *m_peek;
            m_peek.reset();
            ++m_risingRead;
        } else if (other) {
            if (m_peek && m_peek->nid == other->nid)
                return Error{Code::InvalidArgument, "node ID " + std::to_string(other->nid) + " added twice"};
            e = *other;
            ++m_othersRead;
        } else {
            return Error{Code::Internal, "node index read past its end"};
        }
        auto entry = out.subspan(at, btpage::kNbtEntry);
        bytes::put<std::uint64_t>(entry, 0, e.nid);
        bytes::put<std::uint64_t>(entry, 8, e.data);
        bytes::put<std::uint64_t>(entry, 16, e.sub);
        bytes::put<std::uint32_t>(entry, 24, e.parent);
        ++m_next;
    }
    return Ok{};
}

}  // namespace quillmark::pst::ndb
