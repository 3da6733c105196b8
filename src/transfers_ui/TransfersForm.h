#pragma once

#include "Data.h"
#include "DataSaver.h"
#include "TransferTally.h"

#include <QIcon>
#include <QTimer>
#include <QWidget>

#include <vector>

namespace Ui
{
class TransfersForm;
}

class QKeyEvent;
class QProgressBar;
class QTreeWidget;
class QTreeWidgetItem;

// The transfers tab: every download and upload entry of the transfer engine as a row, under
// one row per folder and one per user. Each row is tied to the data model by a view-node item
// whose value is the row's address, so the rest of the window goes from a row to its entries
// and back.
class TransfersForm
    : public QWidget
    , public DataHandler
    , public DataLoadedEventHandler
{
    Q_OBJECT

public:
    // Columns of both trees; the uploads tree has no place column.
    enum Column
    {
        UserColumn,
        FolderColumn,
        FileColumn,
        StatusColumn,
        ProgressColumn,
        TimeLeftColumn,
        SpeedColumn,
        SizeColumn,
        PlaceColumn,
    };

    explicit TransfersForm(QWidget* ip_parent = nullptr);
    ~TransfersForm() override;

    // Declares the view-node types and wires the form to the store and the engine; once, after
    // the transfer engine exists and before the data file is loaded.
    void Init();
    void DataLoaded() override;

    void OnDownloadEntryAdded(ItemPtr i_entry);
    void OnUploadEntryAdded(ItemPtr i_entry);
    void OnDownloadEntryRemoved(ItemPtr i_entry);
    void OnUploadEntryRemoved(ItemPtr i_entry);
    void OnDownloadPlaceInLine(ItemPtr i_entry);
    void OnDownloadEntryStatusChange(ConnectionInfo& i_info);
    void OnUploadEntryStatusChange(ConnectionInfo& i_info);

    // The user row above any row of that tree.
    QTreeWidgetItem* GetDownloadNodeUserNode(QTreeWidgetItem* ip_row);
    QTreeWidgetItem* GetUploadNodeUserNode(QTreeWidgetItem* ip_row);
    // The entries under a user, folder or file row; empty for any other row.
    ItemSet GetNodeDownloadEntryItems(QTreeWidgetItem* ip_row);
    ItemSet GetNodeUploadEntryItems(QTreeWidgetItem* ip_row);

    void SetItemColorByStatus(QTreeWidgetItem* ip_row, const QString& i_status);
    QString GetDownloadEntriesAggregateStatus(const ItemSet& i_entries);
    QString GetUploadEntriesAggregateStatus(const ItemSet& i_entries);
    // The same group status for a user or folder row, from what the form keeps as entries
    // change: no walk over the row's entries.
    QString GetDownloadRowAggregateStatus(QTreeWidgetItem* ip_row) const;
    QString GetUploadRowAggregateStatus(QTreeWidgetItem* ip_row) const;

    void GetDownloadsProgressStats(const ItemSet& i_entries, long long& o_done, long long& o_remaining,
                                   long long& o_total);
    void GetUploadsProgressStats(const ItemSet& i_entries, long long& o_done, long long& o_remaining,
                                 long long& o_total);

signals:
    void DownloadComplete(ItemPtr i_download);

public slots:
    void OnTransfersLoaded();
    void OnUserOnline(ItemPtr ip_user);
    void OnUserOffline(ItemPtr ip_user);
    void UpdateActiveTransferCounts();
    void RecolorEntries();
    void OnClearDownloadsCheckStateChanged(int i_state);
    void OnClearUploadsCheckStateChanged(int i_state);
    void OnDownloadProgress(ItemPtr i_download);
    void OnUploadProgress(ItemPtr i_upload);

    // Tool-bar actions, menus, expanding, alerts and upload settings (TransfersActions.cpp).
    void OnActionBarTriggered(QWidget* ip_widget, QString i_action);
    void OnUploadSpeedLimitCheckStateChanged(int i_state);
    void OnUploadSpeedLimitSpinValueChanged(int i_value);
    void OnUploadSlotsSpinValueChanged(int i_value);
    void OnDownloadsContextMenuRequested(QPoint i_point);
    void OnUploadsContextMenuRequested(QPoint i_point);
    void OnItemExpanded(QTreeWidgetItem* ip_item);
    void OnItemCollapsed(QTreeWidgetItem* ip_item);
    void OnCurrentTabChanged(int i_tabIndex);
    void EveryHalfMinute();
    void OnDownloadComplete(ItemPtr i_download);
    void OnDownloadListItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnKeyPressedInDownloadList(QKeyEvent* ip_event);

    // Removes the downloads of the first selected row: a file, or all of a folder or a user.
    void DeleteSelectedDownloads();

private:
    // What differs between the two trees.
    struct Tree
    {
        QTreeWidget* list;
        const char* entryType;
        const char* statusType;
        const char* userNodeType;
        const char* folderNodeType;
        const char* fileNodeType;
        const char* positionType;
        bool* expandUsers;
        bool* expandFolders;
        TransferTally tally;
        // The open rows a burst of removals closed, in address order, opened again once it is over.
        std::vector<const QTreeWidgetItem*> closedForRemovals;
        bool removing = false;
        // While a user's rows, taken out of the tree, go: the view sees none of their removals.
        bool rowsTakenOut = false;
        // Where the view was scrolled to when a burst of removals closed its rows.
        int scrolledTo = 0;
    };

    void DeclareNodeTypes(const Tree& i_tree, const char* i_folderType);
    // The rows of one entry: its user's row and folder row, found or made, and a file row.
    void AddEntryRows(Tree& io_tree, const ItemPtr& i_entry, const ItemPtr& i_folder, const QString& i_name,
                      qint64 i_size);
    QTreeWidgetItem* UserRowFor(Tree& io_tree, const ItemPtr& i_user, ItemPtr& o_node);
    QTreeWidgetItem* FolderRowFor(Tree& io_tree, QTreeWidgetItem* ip_userRow, const ItemPtr& i_userNode,
                                  const ItemPtr& i_folder, ItemPtr& o_node);
    void RemoveEntryRows(Tree& io_tree, const ItemPtr& i_entry);
    // A row taken out with a user's rows, deleted in slices at idle time with what is under it.
    void DeleteLater(QTreeWidgetItem* ip_row);
    void DeleteRowsSlice();
    // Has the blocks freed by the last few rows merged (see Data::MergeFreedBlocks).
    void NoteRowsFreed();
    void CloseRowsForRemovals(Tree& io_tree);
    void ReopenRows(Tree& io_tree);
    void ShowStatus(Tree& io_tree, const ItemPtr& i_entry, const QString& i_status);
    void ShowGroupStatus(Tree& io_tree, QTreeWidgetItem* ip_row);
    void ShowProgress(Tree& io_tree, const ItemPtr& i_entry, qint64 i_size);
    void RefreshGroupProgress(Tree& io_tree, QTreeWidgetItem* ip_folderRow, QTreeWidgetItem* ip_userRow);
    void ShowGroupProgress(QTreeWidget* ip_list, QTreeWidgetItem* ip_row, const ProgressSums& i_sums,
                           qint64 i_bytesPerSecond);
    void SetBar(QTreeWidget* ip_list, QTreeWidgetItem* ip_row, qint64 i_done, qint64 i_total);
    QTreeWidgetItem* UserRowOf(const Tree& i_tree, QTreeWidgetItem* ip_row) const;
    ItemSet EntriesUnder(const Tree& i_tree, QTreeWidgetItem* ip_row) const;
    void SetUserIcon(const ItemPtr& i_user, const QIcon& i_icon);
    // The online or offline icon of the user's rows, which a user alert's icon takes the place of.
    QIcon StatusIconOf(const ItemPtr& i_user) const;
    void RemoveAlertsOfLastDownload(const ItemPtr& i_entry);
    // Whether a download of the entry's user, in the entry's folder or in any, is not complete;
    // the entry itself left out when i_besidesEntry.
    bool HasUnfinishedDownloads(const ItemPtr& i_entry, bool i_inFolder, bool i_besidesEntry) const;
    void RecolorTree(Tree& io_tree);
    void LoadSettingsIntoWidgets();
    // Tool-bar actions (TransfersActions.cpp).
    void ToggleExpand(Tree& io_tree, bool i_users);
    void AddSelectedUsersToUserList();
    void ShowCompleteDownloads();
    void ClearCompleteDownloads();
    void ClearCompleteAndAbortedUploads();
    // The tree of a user or folder row; null for any other row.
    Tree* TreeOfGroupRow(QTreeWidgetItem* ip_row);

    Ui::TransfersForm* ui;
    bool m_transfersLoaded = false;
    bool m_countsUpdatePending = false;
    int m_removalsSinceMerge = 0;
    std::vector<QTreeWidgetItem*> m_rowsToDelete;
    QTimer m_rowDeleteTimer;
    bool m_expandDownloadFolders = true;
    bool m_expandDownloadUsers = true;
    bool m_expandUploadFolders = true;
    bool m_expandUploadUsers = true;
    Tree m_downloads;
    Tree m_uploads;
    QIcon m_onlineIcon;
    QIcon m_offlineIcon;
};

extern TransfersForm* transfersForm;
