// What the user does to results beyond searching and filtering: the tool bar's toggles and
// orders, downloads by double-click and the result rows' context menu.
#include "SearchForm.h"

#include "ActionSetToolBar.h"
#include "PeerSchema.h"
#include "ResultDownloads.h"
#include "SearchResultListItem.h"
#include "SearchResultMenuOptions.h"
#include "SearchResultsForm.h"
#include "SearchSchema.h"
#include "ShellSchema.h"
#include "TransferQueueManager.h"
#include "UserMenuOptions.h"
#include "ui_SearchForm.h"

#include <QCheckBox>
#include <QMenu>

#include <algorithm>

namespace
{
// Flips the tab's stored toggle and returns its new state.
bool Toggle(ItemPtr i_widgetItem, const char* i_type)
{
    const bool on = i_widgetItem[i_type].AsString() == QLatin1String("no");
    i_widgetItem += d->GetType(i_type)->GetItem(Value(on ? "yes" : "no"));
    return on;
}

QString ToggleText(const QString& i_text, bool i_on)
{
    return i_text + (i_on ? QStringLiteral(" [on]") : QStringLiteral(" [off]"));
}
} // namespace

void SearchForm::OnActionBarTriggered(QWidget* ip_widget, QString i_action)
{
    if (ip_widget == ui->wishList)
    {
        const bool enable = i_action == QLatin1String("enable_all_wish_list_items");
        if (!enable && i_action != QLatin1String("disable_all_wish_list_items"))
            return;
        // Each box that changes enables or disables its item through its own handler.
        for (const ItemPtr& item : d->GetType(types::kWishListItem)->GetItems())
            if (auto* box = item[types::kWishListNode][types::kWishListNodeCheckbox].AsPointer<QCheckBox>())
                box->setChecked(enable);
        return;
    }

    ItemPtr widgetItem = d->GetType(types::kSearchResultsWidget)->HasItem(Value(ip_widget));
    if (!widgetItem)
        return;
    auto* page = static_cast<SearchResultsForm*>(ip_widget);
    QTreeWidget* tree = page->searchResults();
    if (i_action == QLatin1String("expand_folders"))
    {
        const bool on = Toggle(widgetItem, types::kExpandFolders);
        actionBar->SetWidgetActionText(page, i_action, ToggleText(QStringLiteral("Expand Folders"), on));
        for (int user = 0; user < tree->topLevelItemCount(); ++user)
        {
            QTreeWidgetItem* userRow = tree->topLevelItem(user);
            for (int folder = 0; folder < userRow->childCount(); ++folder)
                userRow->child(folder)->setExpanded(on);
        }
    }
    else if (i_action == QLatin1String("expand_users"))
    {
        const bool on = Toggle(widgetItem, types::kExpandUsers);
        actionBar->SetWidgetActionText(page, i_action, ToggleText(QStringLiteral("Expand Users"), on));
        for (int user = 0; user < tree->topLevelItemCount(); ++user)
            tree->topLevelItem(user)->setExpanded(on);
    }
    else if (i_action == QLatin1String("order_by_available") || i_action == QLatin1String("order_by_fastest"))
    {
        const bool available = i_action == QLatin1String("order_by_available");
        actionBar->SetWidgetActionText(page, QStringLiteral("order_by_available"),
                                       available ? QStringLiteral("Order by Available [on]")
                                                 : QStringLiteral("Order by Available"));
        actionBar->SetWidgetActionText(page, QStringLiteral("order_by_fastest"),
                                       available ? QStringLiteral("Order by Fastest")
                                                 : QStringLiteral("Order by Fastest [on]"));
        page->SetSortingParamters(available ? SearchResultListItem::FreeColumn : SearchResultListItem::SpeedColumn,
                                  Qt::DescendingOrder);
        page->Sort();
    }
    else if (i_action == QLatin1String("add_remove_wishlist"))
    {
        AddOrRemoveWishListItem();
    }
}

void SearchForm::OnResultDoubleClicked(QTreeWidgetItem* ip_result, int)
{
    if (!ip_result)
        return;
    // The user asked for this very file: its ending does not keep it out.
    const bool oneFile = KindOfResultRow(ip_result) == ResultRowKind::File;
    std::vector<ItemPtr> results = ResultsOfRow(ip_result);
    std::stable_sort(results.begin(), results.end(), &SearchForm::CompareSearchResults);
    for (const ItemPtr& result : results)
    {
        if (!oneFile
            && transferQueueManager->HasExcludedDownloadExtension(result[types::kSearchResultFileName].AsString()))
            continue;
        QueueResultDownload(result, SearchTextOfResult(result));
    }
}

void SearchForm::OnSearchResultsContextMenuRequested(QPoint i_point)
{
    auto* tree = qobject_cast<QTreeWidget*>(sender());
    if (!tree)
        return;
    QTreeWidgetItem* row = tree->itemAt(i_point);
    QTreeWidgetItem* userRow = row ? GetNodeUserNode(row) : nullptr;
    if (!userRow)
        return;
    QMenu menu;
    SearchResultMenuOptions results(&menu, row);
    UserMenuOptions user(&menu, userRow->text(SearchResultListItem::UserColumn));
    menu.exec(tree->viewport()->mapToGlobal(i_point));
}
