// What the user does in the transfers tab: tool-bar actions, the Delete key, opening a finished
// file, the context menus, opening and collapsing rows, completion notices, clearing finished
// transfers and the upload settings.
#include "ActionSetToolBar.h"
#include "CompleteDownloadsForm.h"
#include "DownloadMenuOptions.h"
#include "EngineClock.h"
#include "EventToolBar.h"
#include "ServerSchema.h"
#include "ShellSchema.h"
#include "StartupPrompts.h"
#include "TextUtils.h"
#include "TransferCells.h"
#include "TransferQueueManager.h"
#include "TransfersForm.h"
#include "TransfersSchema.h"
#include "TransfersUiSchema.h"
#include "UserMenuOptions.h"
#include "ui_TransfersForm.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMenu>
#include <QUrl>

#include <algorithm>
#include <optional>

namespace
{
QTreeWidgetItem* RowOf(const ItemPtr& i_node)
{
    return i_node.AsPointer<QTreeWidgetItem>();
}

const char kDownloadIcon[] = ":/icons/download_icon";

// An upload silent this long is cleared when the switch is on.
constexpr qint64 kUploadClearMs = 300000;
} // namespace

// ---- tool bar ----

void TransfersForm::OnActionBarTriggered(QWidget*, QString i_action)
{
    if (i_action == QLatin1String("remove_download"))
        DeleteSelectedDownloads();
    else if (i_action == QLatin1String("dl_add_user"))
        AddSelectedUsersToUserList();
    else if (i_action == QLatin1String("expand_download_folders"))
        ToggleExpand(m_downloads, false);
    else if (i_action == QLatin1String("expand_download_users"))
        ToggleExpand(m_downloads, true);
    else if (i_action == QLatin1String("expand_upload_folders"))
        ToggleExpand(m_uploads, false);
    else if (i_action == QLatin1String("expand_upload_users"))
        ToggleExpand(m_uploads, true);
    else if (i_action == QLatin1String("complete_downloads"))
        ShowCompleteDownloads();
    else if (i_action == QLatin1String("clear_complete_downloads"))
        ClearCompleteDownloads();
    else if (i_action == QLatin1String("clear_complete_and_aborted_uploads"))
        ClearCompleteAndAbortedUploads();
}

void TransfersForm::ToggleExpand(Tree& io_tree, bool i_users)
{
    bool& flag = i_users ? *io_tree.expandUsers : *io_tree.expandFolders;
    flag = !flag;
    const char* kind = io_tree.list == ui->downloadsList ? "download" : "upload";
    const QString id =
        QStringLiteral("expand_%1_%2").arg(QLatin1String(kind), QLatin1String(i_users ? "users" : "folders"));
    actionBar->SetWidgetActionText(
        io_tree.list, id,
        QStringLiteral("Expand %1 [%2]")
            .arg(QLatin1String(i_users ? "Users" : "Folders"), QLatin1String(flag ? "on" : "off")));
    for (int user = 0; user < io_tree.list->topLevelItemCount(); ++user)
    {
        QTreeWidgetItem* userRow = io_tree.list->topLevelItem(user);
        if (i_users)
            userRow->setExpanded(flag);
        else
            for (int folder = 0; folder < userRow->childCount(); ++folder)
                userRow->child(folder)->setExpanded(flag);
    }
}

void TransfersForm::AddSelectedUsersToUserList()
{
    for (QTreeWidgetItem* row : ui->downloadsList->selectedItems())
        if (QTreeWidgetItem* userRow = GetDownloadNodeUserNode(row))
        {
            const QString name =
                d->GetType(types::kDownloadListUserNode)->HasItem(Value(userRow))[types::kUser].AsString();
            d->GetType(types::kUser)->GetItem(name).NewItem(types::kInUserList);
        }
}

void TransfersForm::ShowCompleteDownloads()
{
    if (!completeDownloadsForm)
    {
        auto* form = new CompleteDownloadsForm(this);
        ui->transfersTabControl->addTab(form, QStringLiteral("Complete"));
        form->Init();
    }
    // A page of a tab widget shows only as its current page.
    ui->transfersTabControl->setCurrentWidget(completeDownloadsForm);
}

void TransfersForm::ClearCompleteDownloads()
{
    const ItemPtr complete = d->GetType(types::kDownloadEntryStatus)->HasItem("complete");
    for (const ItemPtr& entry : complete.GetItems(types::kDownloadEntry))
        if (entry)
            transferQueueManager->RemoveDownload(entry);
}

void TransfersForm::ClearCompleteAndAbortedUploads()
{
    ItemSet finished;
    for (const ItemPtr& status : d->GetType(types::kUploadEntryStatus)->GetItems())
        if (!TransferQueueManager::IsActiveStatus(status) && status.AsString() != QLatin1String("queued"))
            finished.Add(status.GetItems(types::kUploadEntry));
    for (const ItemPtr& entry : finished)
        if (entry)
            transferQueueManager->RemoveUpload(entry);
}

// ---- removing, opening ----

void TransfersForm::DeleteSelectedDownloads()
{
    Type* userNodes = d->GetType(types::kDownloadListUserNode);
    Type* folderNodes = d->GetType(types::kDownloadListFolderNode);
    Type* fileNodes = d->GetType(types::kDownloadListNode);
    // Removing an entry takes its file row, and an emptied folder and user row, with their nodes:
    // each loop ends when its row's node has gone. From the last row up: what follows a removed row,
    // in the tree and in the store's lists of links, moves down, and nothing follows the last.
    const auto last = [](QTreeWidgetItem* ip_row) { return ip_row->child(ip_row->childCount() - 1); };
    auto removeLastOf = [&](const ItemPtr& i_folderNode) {
        const ItemPtr entry = fileNodes->HasItem(Value(last(RowOf(i_folderNode))))[types::kDownloadEntry];
        if (!entry)
            return false;
        transferQueueManager->RemoveDownload(entry);
        return true;
    };
    for (QTreeWidgetItem* row : ui->downloadsList->selectedItems())
    {
        const Value key(row);
        if (const ItemPtr fileNode = fileNodes->HasItem(key))
        {
            transferQueueManager->RemoveDownload(fileNode[types::kDownloadEntry]);
            return;
        }
        if (const ItemPtr folderNode = folderNodes->HasItem(key))
        {
            while (folderNode && removeLastOf(folderNode))
            {
            }
            return;
        }
        if (const ItemPtr userNode = userNodes->HasItem(key))
        {
            // Out of the tree, the user's rows go in one step of the view rather than one each, and
            // no other row is closed for them. The last entry's removal takes the user row with it.
            QTreeWidget* list = ui->downloadsList;
            const int place = list->indexOfTopLevelItem(row);
            // Out of the tree, a row loses its state in the view: kept for a row put back.
            const bool open = row->isExpanded();
            const bool current = list->currentItem() == row;
            const bool chosen = row->isSelected();
            list->takeTopLevelItem(place);
            m_downloads.rowsTakenOut = true;
            while (userNode)
            {
                const ItemPtr folderNode = folderNodes->HasItem(Value(last(row)));
                if (!folderNode)
                    break;
                while (folderNode && removeLastOf(folderNode))
                {
                }
                if (folderNode)
                    break; // a row that no entry stands behind: nothing more can go
            }
            m_downloads.rowsTakenOut = false;
            if (userNode)
            {
                list->insertTopLevelItem(place, row);
                row->setExpanded(open);
                for (int folder = 0; folder < row->childCount(); ++folder)
                    row->child(folder)->setExpanded(m_expandDownloadFolders);
                // Taken out, it handed its choice to a neighbour.
                if (current || chosen)
                    list->setCurrentItem(row, 0,
                                         chosen ? QItemSelectionModel::ClearAndSelect : QItemSelectionModel::NoUpdate);
            }
            return;
        }
    }
}

void TransfersForm::OnKeyPressedInDownloadList(QKeyEvent* ip_event)
{
    if (ip_event->key() == Qt::Key_Delete)
        DeleteSelectedDownloads();
}

void TransfersForm::OnDownloadListItemDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    if (!ip_item)
        return;
    const ItemPtr entry = d->GetType(types::kDownloadListNode)->HasItem(Value(ip_item))[types::kDownloadEntry];
    if (!entry)
        return;
    const QString path = transferQueueManager->GetDownloadTargetPath(entry, true);
    OpenOnDesktop(this, {QUrl::fromLocalFile(QString(path).replace(QLatin1Char('\\'), QLatin1Char('/')))});
}

// ---- context menus ----

void TransfersForm::OnDownloadsContextMenuRequested(QPoint i_point)
{
    QTreeWidgetItem* row = ui->downloadsList->itemAt(i_point);
    QTreeWidgetItem* userRow = row ? GetDownloadNodeUserNode(row) : nullptr;
    if (!userRow)
        return;
    const QString user = d->GetType(types::kDownloadListUserNode)->HasItem(Value(userRow))[types::kUser].AsString();
    QMenu menu;
    DownloadMenuOptions downloadOptions(&menu, GetNodeDownloadEntryItems(row), nullptr);
    UserMenuOptions userOptions(&menu, user, nullptr);
    menu.exec(ui->downloadsList->viewport()->mapToGlobal(i_point));
}

void TransfersForm::OnUploadsContextMenuRequested(QPoint i_point)
{
    QTreeWidgetItem* row = ui->uploadsList->itemAt(i_point);
    QTreeWidgetItem* userRow = row ? GetUploadNodeUserNode(row) : nullptr;
    if (!userRow)
        return;
    const QString user = d->GetType(types::kUploadListUserNode)->HasItem(Value(userRow))[types::kUser].AsString();
    QMenu menu;
    UserMenuOptions userOptions(&menu, user, nullptr);
    menu.exec(ui->uploadsList->viewport()->mapToGlobal(i_point));
}

// ---- opening and collapsing rows ----

TransfersForm::Tree* TransfersForm::TreeOfGroupRow(QTreeWidgetItem* ip_row)
{
    for (Tree* tree : {&m_downloads, &m_uploads})
        if (ip_row->treeWidget() == tree->list)
        {
            const Value key(ip_row);
            if (d->GetType(tree->userNodeType)->HasItem(key) || d->GetType(tree->folderNodeType)->HasItem(key))
                return tree;
        }
    return nullptr;
}

void TransfersForm::OnItemExpanded(QTreeWidgetItem* ip_item)
{
    Tree* tree = TreeOfGroupRow(ip_item);
    if (!tree)
        return;
    // The rows under it show their own state now; the group's comes back when it closes.
    for (int column : {StatusColumn, TimeLeftColumn, SpeedColumn})
        ip_item->setText(column, QString());
    // Taking a widget out of its cell leaves it on the view: it is deleted here.
    if (QWidget* bar = tree->list->itemWidget(ip_item, ProgressColumn))
    {
        tree->list->removeItemWidget(ip_item, ProgressColumn);
        bar->deleteLater();
    }
}

void TransfersForm::OnItemCollapsed(QTreeWidgetItem* ip_item)
{
    if (Tree* tree = TreeOfGroupRow(ip_item))
        ip_item->setText(StatusColumn, tree->tally.GroupStatusOf(ip_item));
}

void TransfersForm::OnCurrentTabChanged(int) {}

// ---- completion notices ----

void TransfersForm::OnDownloadComplete(ItemPtr i_download)
{
    // Queued: a download removed in the meantime reads as null.
    if (!i_download)
        return;
    const ItemPtr user = i_download[types::kUser];
    const ItemPtr folder = i_download[types::kRemoteFolder];
    const ItemPtr fileNode = i_download[types::kDownloadListNode];

    if (ItemPtr alert = i_download[types::kCompleteDownloadAlert])
    {
        const QString name = i_download[types::kFileName].AsString();
        eventToolBar->AddEvent(MnemonicText(name), QLatin1String(kDownloadIcon), ui->downloadsList,
                               QStringLiteral("Download of file %1 complete").arg(IsolatedName(name)));
        if (fileNode)
            RowOf(fileNode)->setIcon(FileColumn, QIcon());
        alert.Remove();
    }

    // The few alerts are looked at before the many entries: at start-up every complete download
    // comes through here.
    ItemPtr folderAlert = d->GetItem(user, folder, types::kCompleteDownloadAlert);
    if (folderAlert && !HasUnfinishedDownloads(i_download, true, false))
    {
        const QString name = QString::fromStdString(GetFileName(folder.AsStdString()));
        eventToolBar->AddEvent(MnemonicText(name), QLatin1String(kDownloadIcon), ui->downloadsList,
                               QStringLiteral("Download of folder %1 complete").arg(IsolatedName(name)));
        if (const ItemPtr folderNode = fileNode[types::kDownloadListFolderNode])
            RowOf(folderNode)->setIcon(FolderColumn, QIcon());
        folderAlert.Remove();
    }

    ItemSet userAlerts = user.GetItems(types::kCompleteDownloadAlert).NotConnected(types::kRemoteFolder);
    if (!userAlerts.empty() && !HasUnfinishedDownloads(i_download, false, false))
    {
        const QString name = user.AsString();
        eventToolBar->AddEvent(MnemonicText(name), QLatin1String(kDownloadIcon), ui->downloadsList,
                               QStringLiteral("All download from user %1 complete").arg(IsolatedName(name)));
        if (const ItemPtr userNode = user[types::kDownloadListUserNode])
            RowOf(userNode)->setIcon(UserColumn, StatusIconOf(user));
        userAlerts.Remove();
    }

    if (IsSettingOn(settings::kClearCompleteDownloads))
        transferQueueManager->RemoveDownload(i_download);
}

// ---- clearing finished uploads ----

void TransfersForm::EveryHalfMinute()
{
    if (!IsSettingOn(settings::kClearCompleteAbortedUploads))
        return;
    const qint64 now = EngineClock::NowMs();
    ItemSet silent;
    for (const ItemPtr& entry : d->GetType(types::kUploadEntry)->GetItems())
    {
        if (entry[types::kUploadEntryStatus].AsString() == QLatin1String("queued"))
            continue;
        // Both in engine-clock milliseconds: the engine's stamp of the last status change, and
        // the cell of the last progress report while a transfer thread runs.
        std::optional<qint64> last = transferQueueManager->TransferTime(entry, types::kLastStatusChangeTime);
        const TimeCell* receipt = TransferCell<TimeCell>(entry, types::kLastReceiptTime);
        if (receipt && receipt->load() > 0)
            last = std::max(last.value_or(0), receipt->load());
        if (last && now - *last >= kUploadClearMs)
            silent.insert(entry);
    }
    for (const ItemPtr& entry : silent)
        if (entry)
            transferQueueManager->RemoveUpload(entry);
}

// ---- upload settings ----

void TransfersForm::OnUploadSlotsSpinValueChanged(int i_value)
{
    transferQueueManager->SetUploadSlots(i_value);
}

void TransfersForm::OnUploadSpeedLimitSpinValueChanged(int i_value)
{
    // The box follows the number first, and stores its own switch as it changes.
    ui->uploadLimitCheckBox->setChecked(i_value != 0);
    transferQueueManager->SetUploadSpeedLimit(i_value);
}

void TransfersForm::OnUploadSpeedLimitCheckStateChanged(int i_state)
{
    if (i_state == Qt::Checked)
        transferQueueManager->EnableUploadSpeedLimit(true);
    else if (i_state == Qt::Unchecked)
        transferQueueManager->EnableUploadSpeedLimit(false);
}
