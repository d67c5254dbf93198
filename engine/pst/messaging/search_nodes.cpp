// The nodes behind search folders and delivery ([MS-PST] 2.4.8, 2.7.1), written as a store
// Outlook makes them has them: nothing is indexed or queued, one search folder (spam) is
// registered, and mail of every class is received in the root folder.
#include "engine/pst/byte_io.h"
#include "engine/pst/messaging/messaging_internal.h"
#include "engine/pst/ndb/block_store.h"

namespace quillmark::pst::messaging {

namespace nids = fmt::nid;

Result<void> writeSearchAndReceiveNodes(ndb::BlockStore& store, std::uint32_t rowVersion)
{
    // Empty queues have no data block at all (data BID 0), as in Outlook's own files.
    for (const Nid nid : {nids::kSearchManagementQueue, nids::kSpamSearchUpdateQueue})
        if (auto r = store.putNode(nid, 0, 0, 0); !r) return r;
    // The search activity list: an array of the search folders' NIDs.
    std::vector<std::uint8_t> activity;
    bytes::append<std::uint32_t>(activity, nids::kSpamSearchFolder);
    auto list = store.writeData(activity);
    if (!list) return std::move(list).error();
    if (auto r = store.putNode(nids::kSearchActivityList, *list, 0, 0); !r) return r;
    // The spam folder's criteria object holds the one value Outlook's has.
    ltp::SubnodeIds ids(store);
    const std::vector<ltp::Property> criteria{toLtp(Prop::int32(fmt::tagId(tag::kSearchCriteriaValue), 0))};
    const auto put = [&](Nid nid, Result<ltp::WrittenNode> node) -> Result<void> {
        if (!node) return std::move(node).error();
        auto sub = store.writeSubnodes(node->subnodes);
        if (!sub) return std::move(sub).error();
        return store.putNode(nid, node->data, *sub, 0);
    };
    if (auto r = put(nids::kSpamSearchCriteria, ltp::writePropertyContext(store, criteria, ids)); !r) return r;
    // The receive folder table: one row, for every message class (""), naming the root folder.
    const ltp::Row row{
        1,
        {{tag::kMessageClass, {}},
         toLtp(Prop::int32(fmt::tagId(tag::kReceiveFolderNid), static_cast<std::int32_t>(nids::kRootFolder))),
         rowVersionCell(rowVersion)}};
    const std::vector<PropTag> columns{tag::kMessageClass, tag::kReceiveFolderNid};
    return put(nids::kReceiveFolderTable,
               ltp::writeTableContext(store, ltp::TableSchema::fromTags(columns), std::span(&row, 1), ids));
}

}  // namespace quillmark::pst::messaging
