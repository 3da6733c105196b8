// The rows of the results tabs: replies grouped by user and folder, the filter, the queue order.
#include "SearchForm.h"

#include "DelayedInvoker.h"
#include "EventToolBar.h"
#include "PeerSchema.h"
#include "ResultFilter.h"
#include "SearchResultListItem.h"
#include "SearchResultsForm.h"
#include "SearchSchema.h"
#include "ServerSchema.h"
#include "SharedFoldersManager.h"
#include "ShellSchema.h"
#include "TextUtils.h"

#include <QLineEdit>

namespace
{
// Replies of one burst are sorted once, this long after the first of them.
constexpr int SortDelayMs = 1000;

// The user row's "Free" cell: a free slot, else the queue length.
QString FreeText(const ItemPtr& i_reply)
{
    if (i_reply[types::kSearchResultsUserAvailable].AsString() == QLatin1String("yes"))
        return QStringLiteral("Y");
    return i_reply[types::kSearchResultsUploadsInQueue].AsString();
}

// The user row's "K/s" cell, empty for an unknown speed.
QString SpeedText(const ItemPtr& i_reply)
{
    // The peer network keeps the reply's unsigned 32-bit speed as a signed number.
    const quint32 speed = quint32(i_reply[types::kSearchResultsUserSpeed].AsInt64());
    return speed == 0 ? QString() : QString::number(speed / 1024.0, 'f', 1);
}
// The row named by the node of that type linked to both the owner and the key; else a row made
// by i_addRow, with a new node linked to both.
template<class AddRow> QTreeWidgetItem* RowOfNode(const char* i_nodeType, ItemPtr i_owner, const ItemPtr& i_key,
                                                  ItemPtr& o_node, AddRow i_addRow)
{
    o_node = d->GetItem(i_owner, i_key, i_nodeType);
    if (o_node)
        return o_node.AsPointer<QTreeWidgetItem>();
    QTreeWidgetItem* row = i_addRow();
    o_node = d->GetType(i_nodeType)->GetItem(Value(row));
    o_node += i_owner;
    o_node += i_key;
    return row;
}
} // namespace

void SearchForm::OnUserSearchResults(ItemPtr i_searchResults)
{
    const ItemSet results = i_searchResults.GetItems(types::kSearchResult);
    const ItemPtr request = i_searchResults[types::kSearchRequest];
    if (!request.IsConnected(types::kSearchResultsWidget) && request.IsConnected(types::kWishlistSearch))
    {
        // The first reply of an enabled wish-list search opens its tab, or joins the tab its
        // earlier runs opened; its rows are then added like any other reply's.
        const QString text = request[types::kSearchRequestText].AsString();
        const ItemPtr wishListItem = d->GetType(types::kWishListItem)->HasItem(Value(text));
        if (wishListItem && wishListItem.IsConnected(types::kWishListItemEnabled))
            CreateSearchForm(request.AsUInt(), text, WishListSearch);
    }
    const ItemPtr widgetItem = request[types::kSearchResultsWidget];
    // A search whose tab was closed, or a disabled or removed wish-list search.
    if (!widgetItem || results.empty())
        return;

    auto* page = widgetItem.AsPointer<SearchResultsForm>();
    QTreeWidgetItem* userRow = nullptr;
    for (const ItemPtr& result : results)
        userRow = AddSearchResult(widgetItem, result);
    // All results of a reply come from one user: only that user's rows can have changed.
    ResultFilter(page->filterEdit()->text()).Apply(userRow);
    AlertWishListResults(widgetItem, page);
    delayedInvoker->Invoke(page, QStringLiteral("1Sort()"), SortDelayMs);
}

void SearchForm::AlertWishListResults(ItemPtr i_widgetItem, SearchResultsForm* ip_page)
{
    const ItemPtr wishListItem = i_widgetItem[types::kWishListItem];
    if (!wishListItem || i_widgetItem.IsConnected(types::kSearchResultsWidgetAlerted))
        return;
    const QTreeWidget* tree = ip_page->searchResults();
    for (int index = 0; index < tree->topLevelItemCount(); ++index)
    {
        if (tree->topLevelItem(index)->isHidden())
            continue;
        eventToolBar->AddEvent(MnemonicText(wishListItem.AsString()), QStringLiteral(":/icons/wishlist_icon"), ip_page,
                               QString());
        i_widgetItem += d->GetType(types::kSearchResultsWidgetAlerted)->GetGlobalNullItem();
        return;
    }
}

QTreeWidgetItem* SearchForm::AddSearchResult(ItemPtr i_widgetItem, ItemPtr i_result)
{
    auto* page = i_widgetItem.AsPointer<SearchResultsForm>();
    QTreeWidget* tree = page->searchResults();
    const ItemPtr reply = i_result[types::kSearchResults];
    const ItemPtr user = reply[types::kUser];

    // Later replies of the user reuse the row and never change its cells.
    ItemPtr userNode;
    QTreeWidgetItem* userRow = RowOfNode(types::kSearchResultsUserNode, i_widgetItem, user, userNode, [&] {
        auto* row = new SearchResultListItem;
        row->setText(SearchResultListItem::UserColumn, user.AsString());
        row->setText(SearchResultListItem::FreeColumn, FreeText(reply));
        row->setTextAlignment(SearchResultListItem::FreeColumn, Qt::AlignCenter);
        row->setText(SearchResultListItem::SpeedColumn, SpeedText(reply));
        tree->addTopLevelItem(row);
        return row;
    });

    const ItemPtr folder = i_result[types::kSearchResultFileFolder];
    ItemPtr folderNode;
    QTreeWidgetItem* folderRow = RowOfNode(types::kSearchResultsFolderNode, userNode, folder, folderNode, [&] {
        auto* row = new SearchResultListItem;
        row->setText(SearchResultListItem::FolderColumn, ReversePathname(folder.AsString()));
        userRow->addChild(row);
        return row;
    });

    // Every result gets a row of its own, also one equal to a row already there.
    QTreeWidgetItem* fileRow = new SearchResultListItem;
    fileRow->setText(SearchResultListItem::FileColumn, i_result[types::kSearchResultFileName].AsString());
    fileRow->setText(SearchResultListItem::SizeColumn, CommafyNumber(i_result[types::kFileSize].AsInt64()));
    fileRow->setText(SearchResultListItem::AttributesColumn, sharedFoldersManager->GetFileItemDisplayString(i_result));
    folderRow->addChild(fileRow);

    if (i_widgetItem[types::kExpandUsers].AsString() == QLatin1String("yes"))
        userRow->setExpanded(true);
    if (i_widgetItem[types::kExpandFolders].AsString() == QLatin1String("yes"))
        folderRow->setExpanded(true);

    ItemPtr fileNode = d->GetType(types::kSearchResultNode)->GetItem(Value(fileRow));
    fileNode += i_result;
    fileNode += folderNode;
    return userRow;
}

QTreeWidgetItem* SearchForm::GetNodeUserNode(QTreeWidgetItem* ip_row)
{
    const Value address(ip_row);
    if (d->GetType(types::kSearchResultsUserNode)->HasItem(address))
        return ip_row;
    if (d->GetType(types::kSearchResultsFolderNode)->HasItem(address))
        return ip_row->parent();
    if (d->GetType(types::kSearchResultNode)->HasItem(address))
        return ip_row->parent() ? ip_row->parent()->parent() : nullptr;
    return nullptr;
}

bool SearchForm::CompareSearchResults(ItemPtr i_a, ItemPtr i_b)
{
    const QString folderA = i_a[types::kSearchResultFileFolder].AsString();
    const QString folderB = i_b[types::kSearchResultFileFolder].AsString();
    if (folderA != folderB)
        return folderA < folderB;
    return i_a[types::kSearchResultFileName].AsString() < i_b[types::kSearchResultFileName].AsString();
}

// ---- filtering ----

void SearchForm::OnFilterTextChanged(QString i_text)
{
    for (QObject* object = sender(); object; object = object->parent())
    {
        if (auto* page = qobject_cast<SearchResultsForm*>(object))
        {
            FilterResultsTab(page, i_text);
            return;
        }
    }
}

void SearchForm::FilterResultsTab(SearchResultsForm* ip_page, const QString& i_text)
{
    const ItemPtr widgetItem = d->GetType(types::kSearchResultsWidget)->HasItem(Value(ip_page));
    // A wish-list tab gets its filter back when its search opens a tab again.
    if (ItemPtr wishListItem = widgetItem[types::kWishListItem])
        wishListItem += d->GetType(types::kWishListItemFilterText)->GetItem(Value(i_text));

    const ResultFilter filter(i_text);
    QTreeWidget* tree = ip_page->searchResults();
    for (int index = 0; index < tree->topLevelItemCount(); ++index)
        filter.Apply(tree->topLevelItem(index));
}
