// Verifier, LTP pass: heaps, BTHs, property contexts and table contexts.
#include "engine/pst/byte_io.h"
#include "engine/pst/verify/verify_internal.h"

#include <algorithm>

namespace quillmark::pst::checking {

using namespace fmt;
using bytes::get;

const Bytes* Heap::get(Hid hid) const
{
    if (hid & kNidTypeMask)
        return nullptr;
    auto it = items.find(hid);
    return it == items.end() ? nullptr : &it->second;
}

namespace {

std::size_t heapHeaderSize(std::size_t block)
{
    if (block == 0)
        return hn::kHdrSize;
    if (block >= hn::kFirstBitmapBlock && (block - hn::kFirstBitmapBlock) % hn::kBitmapBlockStride == 0)
        return hn::kBitmapHdrSize;
    return hn::kPageHdrSize;
}


}  // namespace

std::optional<Heap> Checker::heap(const std::vector<Bytes>& blocks, const std::string& where)
{
    if (blocks.empty() || blocks[0].size() < hn::kHdrSize || blocks[0][hn::kSig] != hn::kSigValue) {
        error(where, "data is not a heap (bSig is not 0xEC)");
        return std::nullopt;
    }
    Heap h;
    h.client = blocks[0][hn::kClientSig];
    h.userRoot = get<std::uint32_t>(blocks[0], hn::kUserRoot);
    bool broken = false;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Bytes& b = blocks[i];
        const std::string at = where + " heap block " + std::to_string(i);
        const std::size_t hnpm = b.size() >= 2 ? get<std::uint16_t>(b, 0) : 0;
        if (hnpm % 2 || hnpm < heapHeaderSize(i) || hnpm + 6 > b.size()) {
            error(at, "page map offset " + std::to_string(hnpm) + " misaligned or outside the block");
            broken = true;
            continue;
        }
        const std::size_t cAlloc = get<std::uint16_t>(b, hnpm);
        if (hnpm + 6 + 2 * cAlloc > b.size()) {
            error(at, "page map larger than the block");
            broken = true;
            continue;
        }
        std::vector<std::size_t> offs;
        for (std::size_t j = 0; j <= cAlloc; ++j)
            offs.push_back(get<std::uint16_t>(b, hnpm + 4 + 2 * j));
        if (offs[0] != heapHeaderSize(i) || !std::is_sorted(offs.begin(), offs.end()) || offs.back() > hnpm) {
            error(at, "item offsets not ascending from the block header");
            broken = true;
            continue;
        }
        if (hnpm - offs.back() > 1)
            error(at, "page map does not follow the last item");
        if (b.size() - (hnpm + 6 + 2 * cAlloc) > 63)
            error(at, "more than 63 bytes after the page map");
        for (std::size_t j = 0; j < cAlloc; ++j) {
            if (offs[j + 1] - offs[j] > hn::kMaxItem)
                error(at, "item " + std::to_string(j + 1) + " larger than 3580 bytes");
            h.items[hn::makeHid(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j + 1))] =
                Bytes(b.begin() + static_cast<std::ptrdiff_t>(offs[j]), b.begin() + static_cast<std::ptrdiff_t>(offs[j + 1]));
        }
    }
    const std::uint32_t fill = get<std::uint32_t>(blocks[0], hn::kFillLevel);
    for (std::size_t j = blocks.size(); j < 8; ++j)
        if ((fill >> (4 * j)) & 0xF)
            error(where, "fill level set for a heap block that does not exist");
    if (broken)
        return std::nullopt;
    return h;
}

std::optional<std::vector<std::pair<Bytes, Bytes>>> Checker::bth(const Heap& h, Hid hid, std::size_t cbKey,
                                                                 std::size_t cbEnt, const std::string& where)
{
    const Bytes* hdr = h.get(hid);
    if (!hdr || hdr->size() != bth::kHeaderSize || (*hdr)[0] != bth::kType || (*hdr)[1] != cbKey || (*hdr)[2] != cbEnt) {
        error(where, "BTH header " + hex(hid) + " missing or with wrong key/entry sizes");
        return std::nullopt;
    }
    std::vector<std::pair<Bytes, Bytes>> records;
    std::vector<std::pair<Hid, int>> todo;
    const int levels = (*hdr)[3];
    const Hid root = get<std::uint32_t>(*hdr, 4);
    if (root == 0)
        return records;
    // Depth-first, left to right, so records come out in key order.
    todo.push_back({root, levels});
    while (!todo.empty()) {
        const auto [at, level] = todo.back();
        todo.pop_back();
        const Bytes* item = h.get(at);
        const std::size_t size = cbKey + (level ? 4 : cbEnt);
        if (!item || item->empty() || item->size() % size) {
            error(where, "BTH node " + hex(at) + " missing or not a whole number of records");
            return std::nullopt;
        }
        if (level == 0) {
            for (std::size_t o = 0; o < item->size(); o += size)
                records.emplace_back(Bytes(item->begin() + static_cast<std::ptrdiff_t>(o), item->begin() + static_cast<std::ptrdiff_t>(o + cbKey)),
                                     Bytes(item->begin() + static_cast<std::ptrdiff_t>(o + cbKey), item->begin() + static_cast<std::ptrdiff_t>(o + size)));
            continue;
        }
        for (std::size_t o = item->size(); o > 0; o -= size)
            todo.push_back({get<std::uint32_t>(*item, o - size + cbKey), level - 1});
    }
    const auto keyOf = [&](const Bytes& k) {
        std::uint64_t v = 0;
        for (std::size_t i = k.size(); i-- > 0;)
            v = (v << 8) | k[i];
        return v;
    };
    for (std::size_t i = 1; i < records.size(); ++i)
        if (keyOf(records[i].first) <= keyOf(records[i - 1].first)) {
            error(where, "BTH keys not ascending");
            break;
        }
    return records;
}

std::optional<Bytes> Checker::value(std::uint16_t type, ByteView cell, std::size_t inlineMax, const Heap& h,
                                    const Subnodes& subs, const std::string& where)
{
    const std::size_t fixed = fixedSize(type);
    if (fixed && fixed <= inlineMax)
        return Bytes(cell.begin(), cell.begin() + static_cast<std::ptrdiff_t>(fixed));
    const std::uint32_t hnid = get<std::uint32_t>(cell, 0);
    Bytes v;
    if (hnid == 0) {
        if (fixed)
            error(where, "fixed-size value with HNID 0");
        return v;  // Outlook stores empty values this way
    }
    if ((hnid & kNidTypeMask) == 0) {
        const Bytes* item = h.get(hnid);
        if (!item) {
            error(where, "HID " + hex(hnid) + " is not in the heap");
            return std::nullopt;
        }
        v = *item;
    } else {
        auto it = subs.find(hnid);
        if (it == subs.end()) {
            error(where, "subnode " + hex(hnid) + " is not in the subnode tree");
            return std::nullopt;
        }
        auto parts = stream(it->second.data, where);
        if (!parts)
            return std::nullopt;
        for (const auto& p : *parts)
            v.insert(v.end(), p.begin(), p.end());
    }
    if (fixed && v.size() != fixed)
        error(where, "fixed-size value of " + std::to_string(v.size()) + " bytes");
    if (type == ptype::kString && v.size() % 2)
        error(where, "string with an odd number of bytes");
    if (type == ptype::kObject && inlineMax == 4 && (v.size() != 8 || !subs.count(get<std::uint32_t>(v, 0))))
        error(where, "object value does not name a subnode");
    return v;
}

std::optional<PropertyMap> Checker::pc(Bid data, Bid sub, const std::string& where)
{
    auto blocks = stream(data, where);
    auto subs = subnodes(sub, where);
    if (!blocks || !subs)
        return std::nullopt;
    auto h = heap(*blocks, where);
    if (!h)
        return std::nullopt;
    if (h->client != hn::kClientPC) {
        error(where, "heap is not a property context (bClientSig " + hex(h->client) + ")");
        return std::nullopt;
    }
    auto records = bth(*h, h->userRoot, 2, 6, where);
    if (!records)
        return std::nullopt;
    PropertyMap props;
    for (const auto& [key, ent] : *records) {
        const auto id = get<std::uint16_t>(key, 0);
        const auto type = get<std::uint16_t>(ent, 0);
        props[id] = {type, value(type, ByteView(ent).subspan(2, 4), 4, *h, *subs, where + " property " + hex(id))};
    }
    return props;
}

std::optional<Table> Checker::tc(Bid data, Bid sub, const std::string& where)
{
    auto blocks = stream(data, where);
    auto subs = subnodes(sub, where);
    if (!blocks || !subs)
        return std::nullopt;
    auto h = heap(*blocks, where);
    if (!h)
        return std::nullopt;
    const Bytes* info = h->get(h->userRoot);
    if (h->client != hn::kClientTC || !info || info->size() < tc::kInfoSize || (*info)[0] != tc::kType ||
        info->size() != tc::kInfoSize + tc::kColDescSize * (*info)[1]) {
        error(where, "not a table context (TCINFO missing or of the wrong size)");
        return std::nullopt;
    }
    const std::size_t cCols = (*info)[1];
    std::uint16_t rgib[4];
    for (std::size_t i = 0; i < 4; ++i)
        rgib[i] = get<std::uint16_t>(*info, 2 + 2 * i);
    const Hid rowIndex = get<std::uint32_t>(*info, 10);
    const std::uint32_t hnidRows = get<std::uint32_t>(*info, 14);
    const std::size_t rowSize = rgib[tc::kGroupEndCeb];
    if (!(rgib[0] <= rgib[1] && rgib[1] <= rgib[2]) || rowSize != rgib[2] + (cCols + 7) / 8) {
        error(where, "TCINFO rgib not ascending or CEB of the wrong size");
        return std::nullopt;
    }
    struct Col { PropTag tag; std::uint16_t ib; std::uint8_t cb, bit; };
    std::vector<Col> cols;
    Table t;
    for (std::size_t i = 0; i < cCols; ++i) {
        const std::size_t at = tc::kInfoSize + tc::kColDescSize * i;
        Col c{get<std::uint32_t>(*info, at), get<std::uint16_t>(*info, at + 4), (*info)[at + 6], (*info)[at + 7]};
        const std::size_t fixed = fixedSize(tagType(c.tag));
        if (c.cb != (fixed && fixed <= 8 ? fixed : 4) || c.ib + c.cb > rgib[2] || c.bit >= 8 * (cCols + 7) / 8)
            error(where, "column " + hex(c.tag) + " has a wrong size, offset or bit");
        if (!cols.empty() && c.tag <= cols.back().tag)
            error(where, "columns not sorted by tag");
        cols.push_back(c);
        t.columns.push_back(c.tag);
    }
    const auto rowIdCol = std::find_if(cols.begin(), cols.end(), [](const Col& c) { return c.tag == 0x67F20003; });
    if (rowIdCol == cols.end() || rowIdCol->ib != 0 || rowIdCol->bit != 0)
        error(where, "PidTagLtpRowId is not the first cell");
    auto index = bth(*h, rowIndex, 4, 4, where + " row index");
    if (!index)
        return std::nullopt;
    Bytes matrix;
    std::size_t perBlock = 0;
    if (hnidRows && !(hnidRows & kNidTypeMask)) {
        const Bytes* item = h->get(hnidRows);
        if (!item) {
            error(where, "row matrix HID missing");
            return std::nullopt;
        }
        matrix = *item;
    } else if (hnidRows) {
        auto it = subs->find(hnidRows);
        auto parts = it == subs->end() ? std::nullopt : stream(it->second.data, where + " row matrix");
        if (!parts) {
            error(where, "row matrix subnode missing or unreadable");
            return std::nullopt;
        }
        perBlock = tc::kRowBlockSize / rowSize;
        for (std::size_t i = 0; i < parts->size(); ++i) {
            const auto& p = (*parts)[i];
            const bool last = i + 1 == parts->size();
            if ((last && p.size() % rowSize) || (!last && p.size() != tc::kRowBlockSize))
                error(where, "row matrix block " + std::to_string(i) + " does not hold whole rows");
            matrix.insert(matrix.end(), p.begin(), p.begin() + static_cast<std::ptrdiff_t>(last ? p.size() : perBlock * rowSize));
        }
    }
    if (matrix.size() % rowSize || matrix.size() / rowSize != index->size()) {
        error(where, "row index has " + std::to_string(index->size()) + " rows, the row matrix " +
                         std::to_string(matrix.size() / rowSize));
        return std::nullopt;
    }
    std::vector<std::uint32_t> rowIds(index->size());
    std::vector<bool> seen(index->size(), false);
    for (const auto& [key, ent] : *index) {
        const auto n = get<std::uint32_t>(ent, 0);
        if (n >= seen.size() || seen[n]) {
            error(where, "row index points outside the matrix or twice at row " + std::to_string(n));
            return std::nullopt;
        }
        seen[n] = true;
        rowIds[n] = get<std::uint32_t>(key, 0);
    }
    for (std::size_t r = 0; r < rowIds.size(); ++r) {
        const ByteView row = ByteView(matrix).subspan(r * rowSize, rowSize);
        const std::string at = where + " row " + std::to_string(r);
        if (get<std::uint32_t>(row, 0) != rowIds[r])
            error(at, "does not start with its row ID");
        std::map<PropTag, Bytes> cells;
        for (const Col& c : cols) {
            const bool present = row[rgib[2] + c.bit / 8] & (0x80u >> (c.bit % 8));
            const ByteView cell = row.subspan(c.ib, c.cb);
            if (!present) {
                if (std::any_of(cell.begin(), cell.end(), [](std::uint8_t b) { return b != 0; }))
                    error(at, "absent cell " + hex(c.tag) + " is not zero");
                continue;
            }
            if (auto v = value(tagType(c.tag), cell, 8, *h, *subs, at + " column " + hex(c.tag)))
                cells[c.tag] = std::move(*v);
        }
        t.rows.emplace_back(rowIds[r], std::move(cells));
    }
    return t;
}

}  // namespace quillmark::pst::checking
