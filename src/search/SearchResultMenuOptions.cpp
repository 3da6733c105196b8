#include "SearchResultMenuOptions.h"

#include "Log.h"
#include "PeerSchema.h"
#include "ResultDownloads.h"
#include "SearchSchema.h"
#include "ServerSchema.h"
#include "TransferQueueManager.h"

#include <QMenu>
#include <QTreeWidget>

#include <algorithm>
#include <set>

namespace
{
SearchResultMenuOptions::FolderBrowser& Browser()
{
    static SearchResultMenuOptions::FolderBrowser browser;
    return browser;
}

ItemPtr SearchTextItem(const QString& i_text)
{
    return i_text.isEmpty() ? ItemPtr() : d->GetType(types::kSearchRequestText)->GetItem(Value(i_text));
}
} // namespace

SearchResultMenuOptions::SearchResultMenuOptions(QMenu* ip_menu, QTreeWidgetItem* ip_row, QObject* ip_parent)
    : QObject(ip_parent)
    , mp_row(ip_row)
    , mp_tree(ip_row ? ip_row->treeWidget() : nullptr)
{
    const ResultRowKind kind = KindOfResultRow(ip_row);
    if (kind == ResultRowKind::File)
    {
        const ItemPtr result = d->GetType(types::kSearchResultNode)->HasItem(Value(ip_row))[types::kSearchResult];
        const ItemPtr reply = result[types::kSearchResults];
        m_searchText = reply[types::kSearchRequest][types::kSearchRequestText].AsString();
        m_folder = result[types::kSearchResultFileFolder].AsString();
        m_user = reply[types::kUser].AsString();
        ip_menu->addAction(QIcon(QStringLiteral(":/icons/download_icon")), QStringLiteral("Download File(s)"), this,
                           &SearchResultMenuOptions::OnDownloadFile);
    }
    else if (kind == ResultRowKind::Folder)
    {
        // Through the row's own nodes: the folder text item is shared by every user with a folder
        // of that path, so it cannot tell whose folder this is.
        const ItemPtr folderNode = d->GetType(types::kSearchResultsFolderNode)->HasItem(Value(ip_row));
        const ItemPtr userNode = folderNode[types::kSearchResultsUserNode];
        m_folder = folderNode[types::kSearchResultFileFolder].AsString();
        m_user = userNode[types::kUser].AsString();
        m_searchText =
            userNode[types::kSearchResultsWidget][types::kSearchRequest][types::kSearchRequestText].AsString();
    }
    else
    {
        return;
    }
    ip_menu->addAction(QIcon(QStringLiteral(":/icons/downloads_icon")), QStringLiteral("Download Folder(s)"), this,
                       &SearchResultMenuOptions::OnDownloadFolder);
    ip_menu->addAction(QIcon(QStringLiteral(":/icons/browse_icon")), QStringLiteral("Browse Folder"), this,
                       &SearchResultMenuOptions::OnBrowseFolder);
}

QList<QTreeWidgetItem*> SearchResultMenuOptions::SelectedRows() const
{
    // The tab may have been closed while the menu was open.
    return mp_tree ? mp_tree->selectedItems() : QList<QTreeWidgetItem*>();
}

void SearchResultMenuOptions::OnDownloadFile()
{
    const ItemPtr searchText = SearchTextItem(m_searchText);
    Type* fileNodes = d->GetType(types::kSearchResultNode);
    for (QTreeWidgetItem* row : SelectedRows())
    {
        const ItemPtr fileNode = fileNodes->HasItem(Value(row));
        if (!fileNode)
            return;
        QueueResultDownload(fileNode[types::kSearchResult], searchText);
    }
}

void SearchResultMenuOptions::OnDownloadFolder()
{
    // One set, so a folder chosen through several of its rows is queued once.
    std::set<ItemPtr> gathered;
    for (QTreeWidgetItem* row : SelectedRows())
    {
        const ResultRowKind kind = KindOfResultRow(row);
        if (kind != ResultRowKind::File && kind != ResultRowKind::Folder)
            return;
        QTreeWidgetItem* folderRow = kind == ResultRowKind::File ? row->parent() : row;
        const std::vector<ItemPtr> results = ResultsOfRow(folderRow);
        gathered.insert(results.begin(), results.end());
    }

    std::vector<ItemPtr> ordered(gathered.begin(), gathered.end());
    std::stable_sort(ordered.begin(), ordered.end(), [](const ItemPtr& i_a, const ItemPtr& i_b) {
        return i_a[types::kSearchResultFileName].AsString() < i_b[types::kSearchResultFileName].AsString();
    });
    const ItemPtr searchText = SearchTextItem(m_searchText);
    for (const ItemPtr& result : ordered)
    {
        if (!transferQueueManager->HasExcludedDownloadExtension(result[types::kSearchResultFileName].AsString()))
            QueueResultDownload(result, searchText);
    }
}

void SearchResultMenuOptions::OnBrowseFolder()
{
    if (!Browser() || m_user.isEmpty())
    {
        Log(QStringLiteral("Search"), 1, QStringLiteral("The shares of %1 cannot be browsed now.").arg(m_user));
        return;
    }
    // A copy, so the browser may clear its own registration.
    const FolderBrowser browser = Browser();
    browser(m_user, m_folder);
}

void SearchResultMenuOptions::RegisterFolderBrowser(FolderBrowser i_browser)
{
    Browser() = std::move(i_browser);
}
