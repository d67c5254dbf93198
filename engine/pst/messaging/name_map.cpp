// The name-to-ID map ([MS-PST] 2.4.7): GUID, entry and string streams plus 251 hash buckets.
#include "engine/pst/byte_io.h"
#include "engine/pst/messaging/messaging_internal.h"

namespace quillmark::pst::messaging {

namespace {

// PS_MAPI and PS_PUBLIC_STRINGS ([MS-OXPROPS] 1.3.2) as stored, which have fixed indexes 1 and 2.
constexpr Guid kPsMapi
    = {0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr Guid kPsPublicStrings
    = {0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr std::uint16_t kFirstStreamGuid = 3;

}  // namespace

std::uint16_t NameMap::guidIndex(const Guid& set)
{
    if (set == kPsMapi) return 1;
    if (set == kPsPublicStrings) return 2;
    for (std::size_t i = 0; i < m_guids.size(); ++i)
        if (m_guids[i] == set) return static_cast<std::uint16_t>(kFirstStreamGuid + i);
    m_guids.push_back(set);
    return static_cast<std::uint16_t>(kFirstStreamGuid + m_guids.size() - 1);
}

std::uint16_t NameMap::add(Entry e)
{
    m_entries.push_back(e);
    return static_cast<std::uint16_t>(fmt::nameid::kFirstNamedId + m_entries.size() - 1);
}

std::uint16_t NameMap::idFor(const Guid& set, std::uint32_t lid)
{
    const std::uint16_t g = guidIndex(set);
    auto [it, fresh] = m_numeric.try_emplace({g, lid}, 0);
    if (fresh) it->second = add({lid, g, false, lid});
    return it->second;
}

std::uint16_t NameMap::idFor(const Guid& set, std::string_view name)
{
    const std::uint16_t g = guidIndex(set);
    auto [it, fresh] = m_named.try_emplace({g, std::string(name)}, 0);
    if (fresh) {
        const auto text = utf16le(name);
        const auto offset = static_cast<std::uint32_t>(m_strings.size());
        bytes::append<std::uint32_t>(m_strings, static_cast<std::uint32_t>(text.size()));
        bytes::appendBytes(m_strings, text);
        m_strings.resize((m_strings.size() + 3) / 4 * 4, 0);
        it->second = add({offset, g, true, crc32(text)});
    }
    return it->second;
}

std::vector<ltp::Property> NameMap::properties() const
{
    using namespace fmt;
    std::vector<ltp::Property> props;
    props.push_back(toLtp(Prop::int32(nameid::kBucketCountProp, static_cast<std::int32_t>(nameid::kBucketCount))));
    std::vector<std::uint8_t> guids, entries;
    for (const auto& g : m_guids) guids.insert(guids.end(), g.begin(), g.end());
    std::vector<std::vector<std::uint8_t>> buckets(nameid::kBucketCount);
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry& e = m_entries[i];
        const auto guidAndKind = static_cast<std::uint16_t>((e.guidIndex << 1) | (e.isString ? 1 : 0));
        bytes::append<std::uint32_t>(entries, e.propertyId);
        bytes::append<std::uint16_t>(entries, guidAndKind);
        bytes::append<std::uint16_t>(entries, static_cast<std::uint16_t>(i));
        // The bucket follows from the entry-stream record (for a string: its offset); the record in
        // the bucket carries the string's CRC instead ([MS-PST] 2.4.7.5).
        auto& bucket = buckets[(e.propertyId ^ guidAndKind) % nameid::kBucketCount];
        bytes::append<std::uint32_t>(bucket, e.hashKey);
        bytes::append<std::uint16_t>(bucket, guidAndKind);
        bytes::append<std::uint16_t>(bucket, static_cast<std::uint16_t>(i));
    }
    props.push_back({makeTag(nameid::kGuidStream, ptype::kBinary), guids});
    props.push_back({makeTag(nameid::kEntryStream, ptype::kBinary), entries});
    props.push_back({makeTag(nameid::kStringStream, ptype::kBinary), m_strings});
    for (std::uint32_t b = 0; b < nameid::kBucketCount; ++b)
        if (!buckets[b].empty())
            props.push_back(
                {makeTag(static_cast<std::uint16_t>(nameid::kFirstBucket + b), ptype::kBinary), buckets[b]});
    return props;
}

}  // namespace quillmark::pst::messaging
