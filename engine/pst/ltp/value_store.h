// Shared by the PC and TC writers of the LTP layer; not part of its interface.
#pragma once

#include "engine/pst/ltp/heap_table.h"

#include <string>

namespace quillmark::pst::ltp {

// Puts a variable-size value on the heap, or in a subnode when it exceeds 3580 bytes, and
// returns its HNID.
[[nodiscard]] Result<std::uint32_t> storeValue(ndb::BlockStore& store, HeapBuilder& heap, const Property& p,
                                               SubnodeIds& ids, std::vector<ndb::SubnodeEntry>& subnodes);

}  // namespace quillmark::pst::ltp
