#include "ResultDownloads.h"

#include "PeerSchema.h"
#include "SearchResultListItem.h"
#include "SearchSchema.h"
#include "ServerSchema.h"
#include "TransferQueueManager.h"

#include <QIcon>
#include <QTreeWidgetItem>

ResultRowKind KindOfResultRow(QTreeWidgetItem* ip_row)
{
    if (!ip_row)
        return ResultRowKind::None;
    const Value address(ip_row);
    if (d->GetType(types::kSearchResultNode)->HasItem(address))
        return ResultRowKind::File;
    if (d->GetType(types::kSearchResultsFolderNode)->HasItem(address))
        return ResultRowKind::Folder;
    if (d->GetType(types::kSearchResultsUserNode)->HasItem(address))
        return ResultRowKind::User;
    return ResultRowKind::None;
}

namespace
{
void AddFolderResults(const ItemPtr& i_folderNode, std::vector<ItemPtr>& o_results)
{
    for (const ItemPtr& fileNode : i_folderNode.GetItems(types::kSearchResultNode))
        if (const ItemPtr result = fileNode[types::kSearchResult])
            o_results.push_back(result);
}
} // namespace

std::vector<ItemPtr> ResultsOfRow(QTreeWidgetItem* ip_row)
{
    std::vector<ItemPtr> results;
    const Value address(ip_row);
    switch (KindOfResultRow(ip_row))
    {
    case ResultRowKind::File:
        if (const ItemPtr result = d->GetType(types::kSearchResultNode)->HasItem(address)[types::kSearchResult])
            results.push_back(result);
        break;
    case ResultRowKind::Folder:
        AddFolderResults(d->GetType(types::kSearchResultsFolderNode)->HasItem(address), results);
        break;
    case ResultRowKind::User:
        for (const ItemPtr& folderNode :
             d->GetType(types::kSearchResultsUserNode)->HasItem(address).GetItems(types::kSearchResultsFolderNode))
            AddFolderResults(folderNode, results);
        break;
    case ResultRowKind::None: break;
    }
    return results;
}

ItemPtr SearchTextOfResult(const ItemPtr& i_result)
{
    return i_result[types::kSearchResults][types::kSearchRequest][types::kSearchRequestText];
}

ItemPtr QueueResultDownload(const ItemPtr& i_result, const ItemPtr& i_searchText)
{
    const ItemPtr user = i_result[types::kSearchResults][types::kUser];
    if (!user)
        return ItemPtr();
    ItemPtr entry = transferQueueManager->AddDownload(
        user.AsString(), i_result[types::kSearchResultFileName].AsStdString(),
        i_result[types::kSearchResultFileFolder].AsStdString(), i_result[types::kFileSize].AsInt64(), 0);
    if (entry && i_searchText)
        entry += i_searchText;
    if (auto* row = i_result[types::kSearchResultNode].AsPointer<QTreeWidgetItem>())
    {
        static const QIcon queued(QStringLiteral(":/icons/download_icon"));
        row->setIcon(SearchResultListItem::FileColumn, queued);
    }
    return entry;
}
