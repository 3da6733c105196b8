// The File Sharing page: the shared folders with who may see each, the endings excluded from
// folder downloads, and the report after a rescan.
#include "MainWindow.h"
#include "ServerSchema.h"
#include "SharesSchema.h"
#include "TransfersSchema.h"

#include "AddSharedFolderDialog.h"
#include "ExcludedExtensionsDialog.h"
#include "SharedFilesRescannedDialog.h"
#include "ui_MainWindow.h"

#include <QIcon>
#include <QMenu>

namespace
{
// "Everyone", else "User List", else the groups' names in order, joined with ", ".
QString AccessibleTo(const ItemPtr& i_folder)
{
    if (i_folder.IsConnected(types::kSharedPublic))
        return QStringLiteral("Everyone");
    if (i_folder.IsConnected(types::kSharedUserlist))
        return QStringLiteral("User List");
    QStringList groups;
    for (const ItemPtr& group : i_folder.GetItems(types::kUserListGroup).SortAlphabetic(true))
        groups << group.AsString();
    return groups.join(QStringLiteral(", "));
}
} // namespace

QTreeWidgetItem* MainWindow::SharedFolderRow(const QString& i_path) const
{
    for (int index = 0; index < ui->sharedFoldersList->topLevelItemCount(); ++index)
        if (QTreeWidgetItem* row = ui->sharedFoldersList->topLevelItem(index); row->text(0) == i_path)
            return row;
    return nullptr;
}

void MainWindow::OnSharedFolderAdded(ItemPtr i_folder)
{
    auto* row = new QTreeWidgetItem(ui->sharedFoldersList);
    row->setText(0, i_folder.AsString());
}

void MainWindow::OnSharedFolderRemoved(ItemPtr i_folder)
{
    delete SharedFolderRow(i_folder.AsString());
}

void MainWindow::OnSharedFolderChange(ConnectionInfo i_info)
{
    const std::string& type = i_info.second.GetType()->GetName();
    if (type != types::kSharedPublic && type != types::kSharedUserlist && type != types::kUserListGroup)
        return;
    if (QTreeWidgetItem* row = SharedFolderRow(i_info.first.AsString()))
        row->setText(1, AccessibleTo(i_info.first));
}

void MainWindow::ShowExcludedExtensions(const ItemPtr& i_leaving)
{
    QStringList endings;
    for (const ItemPtr& ending : d->GetType(types::kExcludedDownloadExtension)->GetItems())
        if (ending != i_leaving)
            endings << ending.AsString();
    ui->excludedExtensionsEdit->setText(endings.join(QLatin1Char(' ')));
}

void MainWindow::OnExcludedDownloadExtensionAddedOrRemoved(ItemPtr)
{
    ShowExcludedExtensions(ItemPtr());
}

// A removed ending is still listed while its removal is announced.
void MainWindow::OnExcludedDownloadExtensionRemoved(ItemPtr i_extension)
{
    ShowExcludedExtensions(i_extension);
}

void MainWindow::OnSharedFoldersListContextMenuRequested(QPoint i_point)
{
    if (!ui->sharedFoldersList->itemAt(i_point))
        return;
    const QIcon icon(QStringLiteral(":/icons/browse_icon"));
    QMenu menu;
    menu.addAction(icon, QStringLiteral("Set Folder Permissions"), this, &MainWindow::OnSetFolderPermissions);
    menu.addAction(icon, QStringLiteral("Unshare Folder"), this, &MainWindow::OnUnshareFolder);
    menu.exec(ui->sharedFoldersList->viewport()->mapToGlobal(i_point));
}

void MainWindow::OnSetFolderPermissions()
{
    const QList<QTreeWidgetItem*> selected = ui->sharedFoldersList->selectedItems();
    if (selected.isEmpty())
        return;
    if (const ItemPtr folder = d->GetType(types::kSharedFolder)->HasItem(Value(selected.first()->text(0))))
        OpenSharedFolderDialog(folder);
}

void MainWindow::OnUnshareFolder()
{
    const QList<QTreeWidgetItem*> selected = ui->sharedFoldersList->selectedItems();
    if (selected.isEmpty())
        return;
    ItemPtr folder = d->GetType(types::kSharedFolder)->HasItem(Value(selected.first()->text(0)));
    if (!folder)
        return;
    folder.Remove();
    d->RemoveDisconnectedItems();
}

void MainWindow::OnSharedFilesRescanned(int i_filesAdded, int i_filesRemoved)
{
    SharedFilesRescannedDialog::ShowReport(this, i_filesAdded, i_filesRemoved);
}

void MainWindow::OnEditExcludedDownloadExtensionsClicked()
{
    ExcludedExtensionsDialog::Open(this);
}

void MainWindow::OpenSharedFolderDialog(ItemPtr i_folder)
{
    (new AddSharedFolderDialog(i_folder, this))->show();
}
