// Property context ([MS-PST] 2.3.3): a BTH of (property ID -> type, value or HNID) on a heap.
#include "engine/pst/byte_io.h"
#include "engine/pst/ltp/heap_table.h"
#include "engine/pst/ltp/value_store.h"

#include <algorithm>

namespace quillmark::pst::ltp {

using namespace fmt;

Result<std::uint32_t> storeValue(ndb::BlockStore& store, HeapBuilder& heap, const Property& p, SubnodeIds& ids,
                                 std::vector<ndb::SubnodeEntry>& subnodes)
{
    if (p.value.size() <= hn::kMaxItem) return heap.allocate(p.value);
    auto data = store.writeData(p.value);
    if (!data) return std::move(data).error();
    const Nid nid = ids.next(NidType::Ltp);
    subnodes.push_back({nid, *data, 0});
    return nid;
}

Result<WrittenNode> writePropertyContext(ndb::BlockStore& store, std::span<const Property> props, SubnodeIds& ids)
{
    std::vector<const Property*> sorted;
    sorted.reserve(props.size());
    for (const auto& p : props) sorted.push_back(&p);
    std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return tagId(a->tag) < tagId(b->tag); });
    HeapBuilder heap(hn::kClientPC);
    auto header = reserveBthHeader(heap);
    if (!header) return std::move(header).error();
    WrittenNode node;
    constexpr std::size_t kRecord = 8;  // key (property ID), then type and HNID or value
    Bytes records(sorted.size() * kRecord);
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const Property& p = *sorted[i];
        if (i > 0 && tagId(sorted[i - 1]->tag) == tagId(p.tag))
            return Error{Code::InvalidArgument, "property " + std::to_string(tagId(p.tag)) + " given twice"};
        const std::size_t fixed = fixedSize(tagType(p.tag));
        if (fixed && p.value.size() != fixed)
            return Error{Code::InvalidArgument, "fixed-size property with a value of the wrong size"};
        std::uint32_t hnid = 0;
        if (p.subnode) {
            hnid = p.subnode;
        } else if (fixed && fixed <= 4) {
            for (std::size_t b = 0; b < fixed; ++b) hnid |= static_cast<std::uint32_t>(p.value[b]) << (8 * b);
        } else {
            auto stored = storeValue(store, heap, p, ids, node.subnodes);
            if (!stored) return std::move(stored).error();
            hnid = *stored;
        }
        bytes::put<std::uint16_t>(records, i * kRecord, tagId(p.tag));
        bytes::put<std::uint16_t>(records, i * kRecord + 2, tagType(p.tag));
        bytes::put<std::uint32_t>(records, i * kRecord + 4, hnid);
    }
    auto root = writeBth(heap, *header, 2, 6, records);
    if (!root) return std::move(root).error();
    heap.setUserRoot(*root);
    auto data = heap.finish(store);
    if (!data) return std::move(data).error();
    node.data = *data;
    return node;
}

}  // namespace quillmark::pst::ltp
