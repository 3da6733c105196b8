// Progress of the transfers tab: the bar, the time left and the speed of each running
// transfer's rows, and the sums of the folder and user rows above it.
#include "PeerSchema.h"
#include "SharesSchema.h"
#include "TransferCells.h"
#include "TransferDisplay.h"
#include "TransfersForm.h"
#include "TransfersSchema.h"
#include "ui_TransfersForm.h"

#include <QProgressBar>

#include <limits>

namespace
{
// A row outside a tree counts as closed.
bool IsOpen(const QTreeWidgetItem* ip_row)
{
    return ip_row->treeWidget() && ip_row->isExpanded();
}

// Sizes are at most 2^63 - 1 each; their sums stop there.
void Add(long long& io_sum, qint64 i_bytes)
{
    io_sum = i_bytes > 0 && io_sum > std::numeric_limits<long long>::max() - i_bytes
                 ? std::numeric_limits<long long>::max()
                 : io_sum + i_bytes;
}

void AddProgress(const ItemPtr& i_entry, const QString& i_status, qint64 i_size, const char* i_positionType,
                 const QString& i_runningStatus, long long& io_done, long long& io_remaining, long long& io_total)
{
    const TallyKind kind = KindOfStatus(i_status, i_runningStatus);
    if (kind == TallyKind::Complete)
    {
        Add(io_done, i_size);
        Add(io_total, i_size);
    }
    else if (CountsPosition(kind))
    {
        const PositionCell* cell = TransferCell<PositionCell>(i_entry, i_positionType);
        const qint64 position = cell ? cell->load() : 0;
        Add(io_done, position);
        Add(io_remaining, i_size - position);
        Add(io_total, i_size);
    }
}
} // namespace

void TransfersForm::OnDownloadProgress(ItemPtr i_download)
{
    ShowProgress(m_downloads, i_download, i_download[types::kFileSize].AsInt64());
}

void TransfersForm::OnUploadProgress(ItemPtr i_upload)
{
    ShowProgress(m_uploads, i_upload, i_upload[types::kSharedFile][types::kSharedFileSize].AsInt64());
}

void TransfersForm::ShowProgress(Tree& io_tree, const ItemPtr& i_entry, qint64 i_size)
{
    const ItemPtr fileNode = i_entry[io_tree.fileNodeType];
    if (!fileNode)
        return;
    auto* fileRow = fileNode.AsPointer<QTreeWidgetItem>();
    QTreeWidgetItem* folderRow = fileRow->parent();
    QTreeWidgetItem* userRow = folderRow->parent();

    const PositionCell* positionCell = TransferCell<PositionCell>(i_entry, io_tree.positionType);
    const qint64 position = positionCell ? positionCell->load() : 0;
    const SpeedCell* speedCell = TransferCell<SpeedCell>(i_entry, types::kBytesPerSecond);
    const qint64 bytesPerSecond = speedCell ? speedCell->load() : 0;

    // A file of no bytes has none left, whatever the speed.
    fileRow->setText(TimeLeftColumn, TimeLeftText(i_size > 0 ? SecondsLeft(i_size - position, bytesPerSecond) : 0));
    SetBar(io_tree.list, fileRow, position, i_size);

    QTreeWidgetItem* speedRow = !IsOpen(userRow) ? userRow : !IsOpen(folderRow) ? folderRow : fileRow;
    speedRow->setText(SpeedColumn, SpeedText(bytesPerSecond));

    ProgressSums folderSums;
    ProgressSums userSums;
    io_tree.tally.Sums(folderRow, userRow, folderSums, userSums);
    // An open user row over a single folder would only repeat the folder row.
    if (!IsOpen(userRow) || userRow->childCount() >= 2)
    {
        if (userSums.total == 0)
            return;
        ShowGroupProgress(io_tree.list, userRow, userSums, bytesPerSecond);
    }
    if (folderSums.total != 0)
        ShowGroupProgress(io_tree.list, folderRow, folderSums, bytesPerSecond);
}

// Without this a bar above a removed entry would go on counting its bytes until the next report,
// which never comes when nothing else under it runs.
void TransfersForm::RefreshGroupProgress(Tree& io_tree, QTreeWidgetItem* ip_folderRow, QTreeWidgetItem* ip_userRow)
{
    ProgressSums folderSums;
    ProgressSums userSums;
    io_tree.tally.Sums(ip_folderRow, ip_userRow, folderSums, userSums);
    const std::pair<QTreeWidgetItem*, const ProgressSums*> rows[] = {{ip_folderRow, &folderSums},
                                                                     {ip_userRow, &userSums}};
    for (const auto& [row, sums] : rows)
    {
        if (!row || !io_tree.list->itemWidget(row, ProgressColumn))
            continue;
        SetBar(io_tree.list, row, sums->done, sums->total);
        // The speed that timed the rest is not known here: the next report tells it.
        row->setText(TimeLeftColumn, sums->remaining > 0 ? QString() : TimeLeftText(0));
    }
}

// The time left of a group is its remaining bytes at the speed of the transfer that reported.
void TransfersForm::ShowGroupProgress(QTreeWidget* ip_list, QTreeWidgetItem* ip_row, const ProgressSums& i_sums,
                                      qint64 i_bytesPerSecond)
{
    ip_row->setText(TimeLeftColumn, TimeLeftText(SecondsLeft(i_sums.remaining, i_bytesPerSecond)));
    SetBar(ip_list, ip_row, i_sums.done, i_sums.total);
}

void TransfersForm::SetBar(QTreeWidget* ip_list, QTreeWidgetItem* ip_row, qint64 i_done, qint64 i_total)
{
    auto* bar = qobject_cast<QProgressBar*>(ip_list->itemWidget(ip_row, ProgressColumn));
    const bool isNew = !bar;
    if (isNew)
    {
        bar = new QProgressBar;
        bar->setMaximumHeight(14);
    }
    bar->setFormat(ProgressText(i_done, i_total));
    bar->setValue(ProgressValue(i_done, i_total));
    // Filled before it is shown: a shown bar repaints at once, and that paint would lay out every
    // row of the tree again for each new bar.
    if (isNew)
        ip_list->setItemWidget(ip_row, ProgressColumn, bar);
}

ItemSet TransfersForm::EntriesUnder(const Tree& i_tree, QTreeWidgetItem* ip_row) const
{
    const Value row(ip_row);
    if (const ItemPtr userNode = d->GetType(i_tree.userNodeType)->HasItem(row))
        return userNode.GetItems(i_tree.folderNodeType).GetItems(i_tree.fileNodeType).GetItems(i_tree.entryType);
    if (const ItemPtr folderNode = d->GetType(i_tree.folderNodeType)->HasItem(row))
        return folderNode.GetItems(i_tree.fileNodeType).GetItems(i_tree.entryType);
    if (const ItemPtr fileNode = d->GetType(i_tree.fileNodeType)->HasItem(row))
        return fileNode.GetItems(i_tree.entryType);
    return ItemSet();
}

ItemSet TransfersForm::GetNodeDownloadEntryItems(QTreeWidgetItem* ip_row)
{
    return EntriesUnder(m_downloads, ip_row);
}

ItemSet TransfersForm::GetNodeUploadEntryItems(QTreeWidgetItem* ip_row)
{
    return EntriesUnder(m_uploads, ip_row);
}

void TransfersForm::GetDownloadsProgressStats(const ItemSet& i_entries, long long& o_done, long long& o_remaining,
                                              long long& o_total)
{
    o_done = o_remaining = o_total = 0;
    for (const ItemPtr& entry : i_entries)
        AddProgress(entry, entry[types::kDownloadEntryStatus].AsString(), entry[types::kFileSize].AsInt64(),
                    types::kWritePosition, QStringLiteral("downloading"), o_done, o_remaining, o_total);
}

void TransfersForm::GetUploadsProgressStats(const ItemSet& i_entries, long long& o_done, long long& o_remaining,
                                            long long& o_total)
{
    o_done = o_remaining = o_total = 0;
    for (const ItemPtr& entry : i_entries)
        AddProgress(entry, entry[types::kUploadEntryStatus].AsString(),
                    entry[types::kSharedFile][types::kSharedFileSize].AsInt64(), types::kReadPosition,
                    QStringLiteral("uploading"), o_done, o_remaining, o_total);
}
