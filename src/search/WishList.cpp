// The wish list: its rows, their check boxes and in-place edits, and the tabs of its searches.
#include "SearchForm.h"
#include "SearchSchema.h"
#include "ServerSchema.h"
#include "ShellSchema.h"

#include "SearchResultsForm.h"
#include "ui_SearchForm.h"

#include <QCheckBox>
#include <QMenu>
#include <QSet>
#include <QStyledItemDelegate>

namespace
{
constexpr int CheckColumn = 0;
constexpr int TextColumn = 1;

ItemPtr EnabledFlag()
{
    return d->GetType(types::kWishListItemEnabled)->GetGlobalNullItem();
}

// The check box column sorts by its text, which the box stands for and which is never drawn.
class CheckColumnDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* op_option, const QModelIndex& i_index) const override
    {
        QStyledItemDelegate::initStyleOption(op_option, i_index);
        op_option->text.clear();
    }
};
} // namespace

void SearchForm::HideWishListSortTexts()
{
    ui->wishList->setItemDelegateForColumn(CheckColumn, new CheckColumnDelegate(ui->wishList));
}

void SearchForm::OnWishListItemAdded(ItemPtr i_item)
{
    m_buildingWishListRow = true;
    auto* row = new QTreeWidgetItem;
    row->setText(TextColumn, i_item.AsString());
    row->setFlags(row->flags() | Qt::ItemIsEditable);
    const bool enabled = i_item.IsConnected(types::kWishListItemEnabled);
    row->setText(CheckColumn, enabled ? QStringLiteral("Y") : QString());
    row->setTextAlignment(CheckColumn, Qt::AlignHCenter);
    ui->wishList->addTopLevelItem(row);
    auto* box = new QCheckBox;
    box->setChecked(enabled);
    ui->wishList->setItemWidget(row, CheckColumn, box);

    ItemPtr node = d->GetType(types::kWishListNode)->GetItem(Value(row));
    node += i_item;
    node += d->GetType(types::kWishListNodeCheckbox)->GetItem(Value(box));
    // Only now, so that setting the initial state changed nothing.
    connect(box, &QCheckBox::stateChanged, this, &SearchForm::OnWishListItemCheckStateChanged);
    m_buildingWishListRow = false;
}

void SearchForm::OnWishListItemCheckStateChanged(int i_state)
{
    const ItemPtr node = d->GetType(types::kWishListNodeCheckbox)->HasItem(Value(sender()))[types::kWishListNode];
    ItemPtr item = node[types::kWishListItem];
    auto* row = node.AsPointer<QTreeWidgetItem>();
    if (!item || !row)
        return;
    if (i_state == Qt::Checked)
    {
        item += EnabledFlag();
        row->setText(CheckColumn, QStringLiteral("Y"));
    }
    else if (i_state == Qt::Unchecked)
    {
        item -= EnabledFlag();
        row->setText(CheckColumn, QString());
    }
}

void SearchForm::OnWishListItemChanged(QTreeWidgetItem*, int i_column)
{
    if (i_column != TextColumn || m_buildingWishListRow)
        return;
    ReconcileWishList();
}

void SearchForm::ReconcileWishList()
{
    QList<QTreeWidgetItem*> rows;
    QSet<QString> rowTexts;
    for (int index = 0; index < ui->wishList->topLevelItemCount(); ++index)
    {
        rows << ui->wishList->topLevelItem(index);
        rowTexts.insert(rows.last()->text(TextColumn));
    }

    // Items whose text no row shows any more go; their rows stay for the passes below.
    Type* items = d->GetType(types::kWishListItem);
    for (ItemPtr item : items->GetItems())
    {
        if (rowTexts.contains(item.AsString()))
            continue;
        item.Disconnect(types::kWishListNode);
        item.Remove();
    }

    Type* nodes = d->GetType(types::kWishListNode);
    for (QTreeWidgetItem* row : rows)
    {
        ItemPtr node = nodes->HasItem(Value(row));
        const QString text = row->text(TextColumn).trimmed();
        if (text.isEmpty())
        {
            if (node)
                QueueDeleteNode(node);
            return;
        }
        if (!node || items->HasItem(Value(text)))
            continue;
        ItemPtr item = items->GetItem(Value(text));
        item += node;
        if (auto* box = node[types::kWishListNodeCheckbox].AsPointer<QCheckBox>(); box && box->isChecked())
            item += EnabledFlag();
        // The row shows what the item holds, so that later edits find it by its exact text.
        if (row->text(TextColumn) != text)
        {
            m_buildingWishListRow = true;
            row->setText(TextColumn, text);
            m_buildingWishListRow = false;
        }
    }

    // Rows left without an item repeat another row's text.
    for (const ItemPtr& node : nodes->GetItems())
        if (!node.IsConnected(types::kWishListItem))
            QueueDeleteNode(node);
}

void SearchForm::QueueDeleteNode(const ItemPtr& i_node)
{
    // The row cannot go inside the tree's own signal. By the time the call runs an earlier call
    // may have deleted it, and another row may have its address: only a node still there counts.
    QMetaObject::invokeMethod(
        this,
        [this, i_node] {
            if (i_node)
                DeleteNode(i_node.AsPointer<QTreeWidgetItem>());
        },
        Qt::QueuedConnection);
}

void SearchForm::DeleteNode(QTreeWidgetItem* ip_item)
{
    ItemPtr node = d->GetType(types::kWishListNode)->HasItem(Value(ip_item));
    if (!node)
        return;
    delete ip_item;
    if (ItemPtr box = node[types::kWishListNodeCheckbox])
        box.Remove();
    node.Remove();
}

void SearchForm::OnWishListItemRemoved(ItemPtr i_item)
{
    // Its results tab, if open, stays.
    if (const ItemPtr node = i_item[types::kWishListNode])
        DeleteNode(node.AsPointer<QTreeWidgetItem>());
}

void SearchForm::OnWishListContextMenuRequested(QPoint i_point)
{
    if (!ui->wishList->itemAt(i_point))
        return;
    QMenu menu;
    menu.addAction(QIcon(QStringLiteral(":/icons/wishlist_icon")), QStringLiteral("Remove Wish List Search"), this,
                   &SearchForm::OnRemoveWishListItemRequested);
    menu.exec(ui->wishList->viewport()->mapToGlobal(i_point));
}

void SearchForm::OnRemoveWishListItemRequested()
{
    // Each removal deletes its row, so the items are gathered first.
    ItemSet chosen;
    Type* nodes = d->GetType(types::kWishListNode);
    for (QTreeWidgetItem* row : ui->wishList->selectedItems())
        if (const ItemPtr item = nodes->HasItem(Value(row))[types::kWishListItem])
            chosen.insert(item);
    for (ItemPtr item : chosen)
        if (item)
            item.Remove();
}

void SearchForm::AddOrRemoveWishListItem()
{
    SearchResultsForm* page = GetCurrentSearchResultsForm();
    if (!page)
        return;
    const ItemPtr request = d->GetType(types::kSearchResultsWidget)->HasItem(Value(page))[types::kSearchRequest];
    if (!request)
        return;
    const Value text(request[types::kSearchRequestText].AsString());
    Type* items = d->GetType(types::kWishListItem);
    if (request.IsConnected(types::kWishlistSearch))
    {
        if (ItemPtr item = items->HasItem(text))
            item.Remove();
        return;
    }
    if (items->HasItem(text))
        return;
    ItemPtr item = items->GetItem(text);
    item += EnabledFlag();
    OnWishListItemAdded(item);
}

void SearchForm::OnWishTabCloseRequested(int i_tabIndex)
{
    CloseResultsTab(ui->wishListTabControl, i_tabIndex);
}
