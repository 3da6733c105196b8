// Statuses of the transfers tab: the status text and colour of each row, the group status of
// folder and user rows, and the switches that clear finished transfers.
#include "ShellSchema.h"
#include "TransferDisplay.h"
#include "TransfersForm.h"
#include "TransfersSchema.h"
#include "ui_TransfersForm.h"

#include <QBrush>

namespace
{
bool ShowsGroupText(const QTreeWidgetItem* ip_row)
{
    return !ip_row->treeWidget() || !ip_row->isExpanded();
}

QString StatusText(const ItemPtr& i_entry, const char* i_statusType)
{
    return i_entry[i_statusType].AsString();
}

void StoreSwitch(const QString& i_key, int i_state)
{
    if (i_state == Qt::Checked)
        SetSetting(i_key, QStringLiteral("yes"));
    else if (i_state == Qt::Unchecked)
        ClearSetting(i_key);
}

QString AggregateStatus(const ItemSet& i_entries, const char* i_statusType, const QString& i_runningStatus)
{
    TallyCounts counts;
    counts.entries = int(i_entries.size());
    for (const ItemPtr& entry : i_entries)
        if (const ItemPtr status = entry[i_statusType])
            ++counts.kinds[int(KindOfStatus(status.AsString(), i_runningStatus))];
    // Entries without a status count for no rule, as "local error" does.
    return GroupStatus(counts, i_runningStatus);
}
} // namespace

void TransfersForm::OnDownloadEntryStatusChange(ConnectionInfo& i_info)
{
    ShowStatus(m_downloads, i_info.first, i_info.second.AsString());
}

void TransfersForm::OnUploadEntryStatusChange(ConnectionInfo& i_info)
{
    ShowStatus(m_uploads, i_info.first, i_info.second.AsString());
}

void TransfersForm::ShowStatus(Tree& io_tree, const ItemPtr& i_entry, const QString& i_status)
{
    const ItemPtr fileNode = i_entry[io_tree.fileNodeType];
    if (!fileNode)
        return;
    const bool downloads = io_tree.list == ui->downloadsList;
    auto* fileRow = fileNode.AsPointer<QTreeWidgetItem>();
    QTreeWidgetItem* folderRow = fileRow->parent();
    QTreeWidgetItem* userRow = folderRow->parent();
    io_tree.tally.SetStatus(i_entry, i_status);

    SetItemColorByStatus(fileRow, i_status);
    if (i_status == QLatin1String("complete"))
    {
        if (downloads)
            emit DownloadComplete(i_entry);
        fileRow->setText(ProgressColumn, QString());
    }
    if (downloads)
        fileRow->setText(PlaceColumn, QString());
    const QString shown = i_status == QLatin1String("denied") ? i_entry[types::kDenialReason].AsString() : i_status;
    fileRow->setText(StatusColumn, shown.toLower());

    ShowGroupStatus(io_tree, folderRow);
    ShowGroupStatus(io_tree, userRow);
    RefreshGroupProgress(io_tree, folderRow, userRow);
    UpdateActiveTransferCounts();
}

void TransfersForm::ShowGroupStatus(Tree& io_tree, QTreeWidgetItem* ip_row)
{
    const QString status = io_tree.tally.GroupStatusOf(ip_row);
    if (ShowsGroupText(ip_row))
        ip_row->setText(StatusColumn, status);
    SetItemColorByStatus(ip_row, status);
}

void TransfersForm::SetItemColorByStatus(QTreeWidgetItem* ip_row, const QString& i_status)
{
    const QBrush brush{QColor(GetSetting(StatusColorSetting(i_status)))};
    for (int column = 0; column < ip_row->columnCount(); ++column)
        if (ip_row->foreground(column) != brush)
            ip_row->setForeground(column, brush);
}

QString TransfersForm::GetDownloadEntriesAggregateStatus(const ItemSet& i_entries)
{
    return AggregateStatus(i_entries, types::kDownloadEntryStatus, QStringLiteral("downloading"));
}

QString TransfersForm::GetUploadEntriesAggregateStatus(const ItemSet& i_entries)
{
    return AggregateStatus(i_entries, types::kUploadEntryStatus, QStringLiteral("uploading"));
}

QString TransfersForm::GetDownloadRowAggregateStatus(QTreeWidgetItem* ip_row) const
{
    return m_downloads.tally.GroupStatusOf(ip_row);
}

QString TransfersForm::GetUploadRowAggregateStatus(QTreeWidgetItem* ip_row) const
{
    return m_uploads.tally.GroupStatusOf(ip_row);
}

void TransfersForm::RecolorTree(Tree& io_tree)
{
    for (const ItemPtr& node : d->GetType(io_tree.fileNodeType)->GetItems())
        SetItemColorByStatus(node.AsPointer<QTreeWidgetItem>(),
                             StatusText(node[io_tree.entryType], io_tree.statusType));
}

void TransfersForm::RecolorEntries()
{
    RecolorTree(m_downloads);
    RecolorTree(m_uploads);
    for (Tree* tree : {&m_downloads, &m_uploads})
        for (const char* type : {tree->folderNodeType, tree->userNodeType})
            for (const ItemPtr& node : d->GetType(type)->GetItems())
                ShowGroupStatus(*tree, node.AsPointer<QTreeWidgetItem>());
}

void TransfersForm::OnClearDownloadsCheckStateChanged(int i_state)
{
    StoreSwitch(settings::kClearCompleteDownloads, i_state);
}

void TransfersForm::OnClearUploadsCheckStateChanged(int i_state)
{
    StoreSwitch(settings::kClearCompleteAbortedUploads, i_state);
}
