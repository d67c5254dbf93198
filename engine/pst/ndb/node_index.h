// The node index (NBT) of a PST under construction. A message store adds a node per message, a
// million in a mailbox of some gigabytes: nodes that come in rising NID order (the messages) go to
// a scratch file in large pieces, the few others (folders and their tables, made at the end) stay
// in memory, and both are merged into NID order once, as the index is written. Internal to the
// NDB layer.
#pragma once

#include "engine/pst/format.h"
#include "platform/file_io.h"
#include "platform/result.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillmark::pst::ndb {

struct NodeEntry {
    Nid nid = 0;
    Bid data = 0;
    Bid sub = 0;
    Nid parent = 0;
};

class NodeIndex {
public:
    static constexpr std::size_t kHeld = 16384;  // rising entries kept in memory before they are spooled

    [[nodiscard]] Result<void> add(const NodeEntry& entry);
    std::size_t size() const noexcept { return m_spooled + m_tail.size() + m_others.size(); }

    // Puts the entries in NID order for read(); fails when a NID was added twice.
    [[nodiscard]] Result<void> seal();
    // The next entries in NID order, as NBT leaf records ([MS-PST] 2.2.2.7.7.4) into `out`; the
    // calls after seal() must ask for the records one range after the other, from the first.
    [[nodiscard]] Result<void> read(std::size_t from, std::span<std::uint8_t> out);

private:
    [[nodiscard]] Result<void> spill();
    [[nodiscard]] Result<NodeEntry> nextRising();

    std::vector<NodeEntry> m_tail;    // rising entries not yet spooled
    std::vector<NodeEntry> m_others;  // entries that came out of order
    std::optional<platform::ScratchFile> m_file;
    std::size_t m_spooled = 0;  // entries in the file
    std::optional<Nid> m_lastRising;

    // Reading back: where the merge stands.
    std::size_t m_next = 0;           // the next record read() gives
    std::size_t m_risingRead = 0;     // rising entries merged so far
    std::size_t m_othersRead = 0;     // other entries merged so far
    std::vector<NodeEntry> m_window;  // spooled entries read ahead
    std::size_t m_windowAt = 0;       // index of m_window's first entry among the rising ones
    std::optional<NodeEntry> m_peek;  // the next rising entry, read but not merged
};

}  // namespace quillmark::pst::ndb
