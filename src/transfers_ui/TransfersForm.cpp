// The transfers tab's trees: their rows, view nodes, icons, places in line, the loaded
// settings and the tab title.
#include "TransfersForm.h"

#include "ActionSetToolBar.h"
#include "FocusHelpers.h"
#include "PeerSchema.h"
#include "ServerSchema.h"
#include "SharesSchema.h"
#include "ShellSchema.h"
#include "ShellWidgets.h"
#include "SizeManager.h"
#include "TextUtils.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"
#include "TransfersSchema.h"
#include "TransfersUiSchema.h"
#include "ui_TransfersForm.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTabWidget>

#include <algorithm>
#include <string_view>

TransfersForm* transfersForm = nullptr;

namespace
{
template<typename Arg>
EventHandler<TransfersForm, Arg>* Handler(TransfersForm* ip_form, void (TransfersForm::*i_slot)(Arg))
{
    return new EventHandler<TransfersForm, Arg>(ip_form, i_slot);
}

QTreeWidgetItem* RowOf(const ItemPtr& i_node)
{
    return i_node.AsPointer<QTreeWidgetItem>();
}

// A tree with this many folder rows closes them all for a burst of removals.
constexpr std::size_t kManyFolderRows = 256;

// Rows removed or deleted between two merges of the blocks they freed (see Data::MergeFreedBlocks).
constexpr int kRemovalsPerMerge = 64;

// Taken-out rows deleted in one turn of the event loop: a few milliseconds.
constexpr std::size_t kRowsPerDeleteSlice = 512;

// A row taken out as it is looks for its place from the first of its siblings on: a burst of
// removals from the last row up took time that grew with the square of the rows. Its place is
// looked for at both ends first. A row without a parent is returned as it is.
QTreeWidgetItem* TakeRow(QTreeWidgetItem* ip_row)
{
    QTreeWidgetItem* parent = ip_row->parent();
    if (!parent)
        return ip_row;
    const int last = parent->childCount() - 1;
    const int index = parent->child(last) == ip_row ? last
                      : parent->child(0) == ip_row  ? 0
                                                    : parent->indexOfChild(ip_row);
    return parent->takeChild(index);
}

// The folder rows of every user row, then the user rows: the order in which closed rows open again
// without the view laying out anything but the user rows.
std::vector<QTreeWidgetItem*> GroupRows(QTreeWidget* ip_list)
{
    std::vector<QTreeWidgetItem*> rows;
    for (int user = 0; user < ip_list->topLevelItemCount(); ++user)
    {
        QTreeWidgetItem* userRow = ip_list->topLevelItem(user);
        for (int folder = 0; folder < userRow->childCount(); ++folder)
            rows.push_back(userRow->child(folder));
    }
    for (int user = 0; user < ip_list->topLevelItemCount(); ++user)
        rows.push_back(ip_list->topLevelItem(user));
    return rows;
}

// The longest folder row text, in characters: the path's deepest components first, then "…".
constexpr int kFolderTextLength = 256;

// What ReversePathname makes of the folder's path, cut after kFolderTextLength characters: only the
// components the row shows are read, so that a row costs the same however deep its folder lies.
QString FolderText(const ItemPtr& i_folder)
{
    const std::string_view path = i_folder.AsBytes();
    if (path.size() <= std::size_t(kFolderTextLength))
        return ReversePathname(i_folder.AsString());
    const auto separator = [](char i_c) { return i_c == '/' || i_c == '\\'; };
    std::size_t end = path.size();
    while (end > 0 && separator(path[end - 1]))
        --end;
    QString text;
    while (text.size() <= kFolderTextLength)
    {
        std::size_t start = end;
        while (start > 0 && !separator(path[start - 1]))
            --start;
        text += ToQString(path.data() + start, end - start);
        if (start == 0)
            break;
        text += QLatin1Char('/');
        end = start - 1;
    }
    if (text.size() > kFolderTextLength)
    {
        text.truncate(kFolderTextLength);
        if (text.at(text.size() - 1).isHighSurrogate())
            text.chop(1);
        text += QChar(0x2026);
    }
    return text;
}

void SetColumns(QTreeWidget* ip_list, int i_count, bool i_stretchLast)
{
    static const QStringList headers{QStringLiteral("User"),   QStringLiteral("Folder"),   QStringLiteral("File"),
                                     QStringLiteral("Status"), QStringLiteral("Progress"), QStringLiteral("   ETA"),
                                     QStringLiteral("Kbs"),    QStringLiteral("Size"),     QStringLiteral("Place")};
    // The speed column is wider than 40 so that a speed of three digits and a decimal fits.
    static const int widths[] = {100, 125, 125, 100, 140, 80, 55, 90, 40};
    ip_list->setColumnCount(i_count);
    ip_list->setHeaderLabels(headers.mid(0, i_count));
    for (int column = 0; column < i_count; ++column)
        ip_list->setColumnWidth(column, widths[column]);
    ip_list->header()->setSectionsMovable(false);
    ip_list->header()->setStretchLastSection(i_stretchLast);
}

// The tree's tool-bar set: its two expand switches, shown as on, and its clearing action.
void DeclareTreeActions(QTreeWidget* ip_list, const char* i_set, const char* i_kind, const char* i_clearId,
                        const char* i_clearText)
{
    const QString set = QLatin1String(i_set);
    const QString icon = QStringLiteral(":/icons/transfer_icon");
    const QString folders = QStringLiteral("expand_%1_folders").arg(QLatin1String(i_kind));
    const QString users = QStringLiteral("expand_%1_users").arg(QLatin1String(i_kind));
    actionBar->AddSetAction(set, folders, QStringLiteral("Expand Folders"), icon, false);
    actionBar->AddSetAction(set, users, QStringLiteral("Expand Users"), icon, false);
    actionBar->AddSetAction(set, QLatin1String(i_clearId), QLatin1String(i_clearText), icon, false);
    actionBar->RegisterWidget(ip_list, set);
    actionBar->SetWidgetActionText(ip_list, folders, QStringLiteral("Expand Folders [on]"));
    actionBar->SetWidgetActionText(ip_list, users, QStringLiteral("Expand Users [on]"));
}

} // namespace

TransfersForm::TransfersForm(QWidget* ip_parent)
    : QWidget(ip_parent)
    , ui(new Ui::TransfersForm)
    , m_downloads{nullptr,
                  types::kDownloadEntry,
                  types::kDownloadEntryStatus,
                  types::kDownloadListUserNode,
                  types::kDownloadListFolderNode,
                  types::kDownloadListNode,
                  types::kWritePosition,
                  &m_expandDownloadUsers,
                  &m_expandDownloadFolders,
                  TransferTally(QStringLiteral("downloading"), types::kDownloadEntry, types::kWritePosition),
                  {},
                  false,
                  false,
                  0}
    , m_uploads{nullptr,
                types::kUploadEntry,
                types::kUploadEntryStatus,
                types::kUploadListUserNode,
                types::kUploadListFolderNode,
                types::kUploadListNode,
                types::kReadPosition,
                &m_expandUploadUsers,
                &m_expandUploadFolders,
                TransferTally(QStringLiteral("uploading"), types::kUploadEntry, types::kReadPosition),
                {},
                false,
                false,
                0}
    , m_onlineIcon(QStringLiteral(":/icons/online_icon"))
    , m_offlineIcon(QStringLiteral(":/icons/offline_icon"))
{
    transfersForm = this;
    ui->setupUi(this);
    m_rowDeleteTimer.setInterval(0);
    connect(&m_rowDeleteTimer, &QTimer::timeout, this, &TransfersForm::DeleteRowsSlice);
    IsolatingDelegate::Install(ui->downloadsList);
    IsolatingDelegate::Install(ui->uploadsList);
    m_downloads.list = ui->downloadsList;
    m_uploads.list = ui->uploadsList;
    SetColumns(ui->downloadsList, 9, true);
    SetColumns(ui->uploadsList, 8, false);

    connect(ui->downloadsList, &QWidget::customContextMenuRequested, this,
            &TransfersForm::OnDownloadsContextMenuRequested);
    connect(ui->uploadsList, &QWidget::customContextMenuRequested, this, &TransfersForm::OnUploadsContextMenuRequested);
    connect(ui->transfersTabControl, &QTabWidget::currentChanged, this, &TransfersForm::OnCurrentTabChanged);
    connect(ui->downloadsList, &QTreeWidget::itemDoubleClicked, this, &TransfersForm::OnDownloadListItemDoubleClicked);
    connect(ui->downloadsList, &TreeWidget::KeyPressed, this, &TransfersForm::OnKeyPressedInDownloadList);
}

TransfersForm::~TransfersForm()
{
    for (QTreeWidgetItem* row : m_rowsToDelete)
        delete row;
    delete ui;
    if (transfersForm == this)
        transfersForm = nullptr;
}

void TransfersForm::DeclareNodeTypes(const Tree& i_tree, const char* i_folderType)
{
    Type* userNode = d->NewType(i_tree.userNodeType, Primary, false, true);
    Type* folderNode = d->NewType(i_tree.folderNodeType, Primary, false, true);
    Type* fileNode = d->NewType(i_tree.fileNodeType, Primary, false, true);
    userNode->RelateToType(d->GetType(types::kUser), One, One);
    folderNode->RelateToType(userNode, Many, One);
    folderNode->RelateToType(d->GetType(i_folderType), Many, One);
    folderNode->RelateToType(fileNode, One, Many);
    fileNode->RelateToType(d->GetType(i_tree.entryType), One, One);
}

void TransfersForm::Init()
{
    auto* downloadPath = new PathNode(d, types::kDownloadEntry);
    for (const char* child : {types::kUser, types::kFileName, types::kFileSize, types::kRemoteFolder})
        new PathNode(downloadPath, child, PathRequired);
    d->AddPathEventHandler(downloadPath, Handler(this, &TransfersForm::OnDownloadEntryAdded));
    DeclareNodeTypes(m_downloads, types::kRemoteFolder);

    d->AddConnectionEventHandler(d->GetType(types::kDownloadEntry), d->GetType(types::kDownloadEntryStatus),
                                 Handler(this, &TransfersForm::OnDownloadEntryStatusChange));
    d->AddConnectionEventHandler(d->GetType(types::kUploadEntry), d->GetType(types::kUploadEntryStatus),
                                 Handler(this, &TransfersForm::OnUploadEntryStatusChange));
    connect(transferQueueManager, &TransferQueueManager::DownloadProgressed, this, &TransfersForm::OnDownloadProgress);
    connect(transferQueueManager, &TransferQueueManager::UploadProgressed, this, &TransfersForm::OnUploadProgress);

    auto* uploadPath = new PathNode(d, types::kUploadEntry);
    for (const char* child : {types::kUser, types::kSharedFile})
        new PathNode(uploadPath, child, PathRequired);
    d->AddPathEventHandler(uploadPath, Handler(this, &TransfersForm::OnUploadEntryAdded));
    DeclareNodeTypes(m_uploads, types::kSharedFileFolder);

    m_transfersLoaded = false;
    connect(transferQueueManager, &TransferQueueManager::TransfersLoaded, this, &TransfersForm::OnTransfersLoaded);
    d->GetType(types::kDownloadEntry)->m_itemRemoved.insert(Handler(this, &TransfersForm::OnDownloadEntryRemoved));
    d->GetType(types::kUploadEntry)->m_itemRemoved.insert(Handler(this, &TransfersForm::OnUploadEntryRemoved));

    DeclareTreeActions(ui->downloadsList, "downloads", "download", "clear_complete_downloads", "Clear Complete");
    // The completed downloads list opens from here only.
    actionBar->AddSetAction(QStringLiteral("downloads"), QStringLiteral("complete_downloads"),
                            QStringLiteral("Completed Downloads"), QStringLiteral(":/icons/download_icon"), false);
    DeclareTreeActions(ui->uploadsList, "uploads", "upload", "clear_complete_and_aborted_uploads",
                       "Clear Complete and Aborted");
    connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &TransfersForm::OnActionBarTriggered);

    auto* onlinePath = new PathNode(d, types::kUser);
    new PathNode(onlinePath, types::kIsOnline, PathOnConnect);
    d->AddPathEventHandler(onlinePath, Handler(this, &TransfersForm::OnUserOnline));
    auto* offlinePath = new PathNode(d, types::kUser);
    new PathNode(offlinePath, types::kIsOnline, PathOnDisconnect);
    d->AddPathEventHandler(offlinePath, Handler(this, &TransfersForm::OnUserOffline));

    auto* placePath = new PathNode(d, types::kDownloadEntry);
    new PathNode(placePath, types::kPlaceInLine, PathRequired);
    d->AddPathEventHandler(placePath, Handler(this, &TransfersForm::OnDownloadPlaceInLine));

    dataSaver->AddListener(this);
    for (QTreeWidget* list : {static_cast<QTreeWidget*>(ui->downloadsList), ui->uploadsList})
    {
        connect(list, &QTreeWidget::itemExpanded, this, &TransfersForm::OnItemExpanded);
        connect(list, &QTreeWidget::itemCollapsed, this, &TransfersForm::OnItemCollapsed);
    }
    ui->downloadsList->setFocus();
    connect(timerManager->halfMinuteTimer(), &QTimer::timeout, this, &TransfersForm::EveryHalfMinute);
    connect(this, &TransfersForm::DownloadComplete, this, &TransfersForm::OnDownloadComplete, Qt::QueuedConnection);
    RegisterWidgetForTabFocus(ui->downloadsList, 1);
    RegisterWidgetForTabFocus(ui->uploadsList, 1);

    Type* alert = d->NewType(types::kCompleteDownloadAlert, Primary, true, true);
    alert->RelateToType(d->GetType(types::kDownloadEntry), One, One);
    alert->RelateToType(d->GetType(types::kUser), Many, One);
    alert->RelateToType(d->GetType(types::kRemoteFolder), Many, One);

    UpdateActiveTransferCounts();
}

void TransfersForm::DataLoaded()
{
    LoadSettingsIntoWidgets();
    connect(ui->uploadLimitSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &TransfersForm::OnUploadSpeedLimitSpinValueChanged);
    connect(ui->uploadLimitCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnUploadSpeedLimitCheckStateChanged);
    connect(ui->clearDownloadsCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnClearDownloadsCheckStateChanged);
    connect(ui->clearUploadsCheckBox, &QCheckBox::stateChanged, this, &TransfersForm::OnClearUploadsCheckStateChanged);
    connect(ui->uploadSlotsSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &TransfersForm::OnUploadSlotsSpinValueChanged);
    sizeManager->RegisterTreeWidget(QStringLiteral("download_list"), ui->downloadsList);
    sizeManager->RegisterTreeWidget(QStringLiteral("upload_list"), ui->uploadsList);
}

// Before the boxes' signals are connected, so that showing a value stores nothing back.
void TransfersForm::LoadSettingsIntoWidgets()
{
    ui->uploadLimitSpinBox->setValue(int(GetSettingNumber(settings::kUploadSpeedLimit)));
    ui->uploadSlotsSpinBox->setValue(int(GetSettingNumber(settings::kUploadSlots)));
    ui->uploadLimitCheckBox->setChecked(IsSettingOn(settings::kUploadSpeedLimitEnabled));
    ui->clearDownloadsCheckBox->setChecked(IsSettingOn(settings::kClearCompleteDownloads));
    ui->clearUploadsCheckBox->setChecked(IsSettingOn(settings::kClearCompleteAbortedUploads));
}

// ---- rows ----

void TransfersForm::OnTransfersLoaded()
{
    m_transfersLoaded = true;
    for (const ItemPtr& entry :
         TransferQueueManager::ByOrder(d->GetType(types::kDownloadEntry)->GetItems(), types::kDownloadOrder))
        OnDownloadEntryAdded(entry);
}

void TransfersForm::OnDownloadEntryAdded(ItemPtr i_entry)
{
    if (!m_transfersLoaded)
        return;
    AddEntryRows(m_downloads, i_entry, i_entry[types::kRemoteFolder], i_entry[types::kFileName].AsString(),
                 i_entry[types::kFileSize].AsInt64());
}

void TransfersForm::OnUploadEntryAdded(ItemPtr i_entry)
{
    const ItemPtr file = i_entry[types::kSharedFile];
    AddEntryRows(m_uploads, i_entry, file[types::kSharedFileFolder],
                 QString::fromStdString(GetFileName(file[types::kSharedFileName].AsStdString())),
                 file[types::kSharedFileSize].AsInt64());
}

void TransfersForm::AddEntryRows(Tree& io_tree, const ItemPtr& i_entry, const ItemPtr& i_folder, const QString& i_name,
                                 qint64 i_size)
{
    // A second firing for the same entry (one of its links replaced) keeps its one row: a second
    // row would be left behind by the removal, which follows the entry's one node.
    if (i_entry[io_tree.fileNodeType])
        return;
    ItemPtr userNode;
    QTreeWidgetItem* userRow = UserRowFor(io_tree, i_entry[types::kUser], userNode);
    ItemPtr folderNode;
    QTreeWidgetItem* folderRow = FolderRowFor(io_tree, userRow, userNode, i_folder, folderNode);

    auto* fileRow = new QTreeWidgetItem(folderRow);
    fileRow->setText(FileColumn, i_name);
    fileRow->setText(SizeColumn, CommafyNumber(i_size));
    ItemPtr fileNode = d->GetType(io_tree.fileNodeType)->GetItem(Value(fileRow));
    fileNode.Connect(i_entry);
    fileNode.Connect(folderNode);
    io_tree.tally.Add(i_entry, i_size, folderRow, userRow);

    // Uploads get their status link after their rows, downloads may have had it for long.
    if (io_tree.list == ui->downloadsList)
        if (ItemPtr status = i_entry[types::kDownloadEntryStatus])
        {
            ConnectionInfo info{i_entry, status};
            OnDownloadEntryStatusChange(info);
        }
}

QTreeWidgetItem* TransfersForm::UserRowFor(Tree& io_tree, const ItemPtr& i_user, ItemPtr& o_node)
{
    o_node = i_user[io_tree.userNodeType];
    if (o_node)
        return RowOf(o_node);
    auto* row = new QTreeWidgetItem(io_tree.list);
    o_node = d->GetType(io_tree.userNodeType)->GetItem(Value(row));
    o_node.Connect(i_user);
    row->setText(UserColumn, i_user.AsString());
    row->setIcon(UserColumn, StatusIconOf(i_user));
    if (*io_tree.expandUsers)
        row->setExpanded(true);
    return row;
}

QTreeWidgetItem* TransfersForm::FolderRowFor(Tree& io_tree, QTreeWidgetItem* ip_userRow, const ItemPtr& i_userNode,
                                             const ItemPtr& i_folder, ItemPtr& o_node)
{
    // The same folder path of two users gives two rows: a folder row is found by both.
    o_node = d->GetItem(i_userNode, i_folder, io_tree.folderNodeType);
    if (o_node)
        return RowOf(o_node);
    auto* row = new QTreeWidgetItem(ip_userRow);
    o_node = d->GetType(io_tree.folderNodeType)->GetItem(Value(row));
    o_node.Connect(i_userNode);
    o_node.Connect(i_folder);
    row->setText(FolderColumn, FolderText(i_folder));
    if (*io_tree.expandFolders)
        row->setExpanded(true);
    return row;
}

void TransfersForm::OnDownloadEntryRemoved(ItemPtr i_entry)
{
    RemoveAlertsOfLastDownload(i_entry);
    RemoveEntryRows(m_downloads, i_entry);
}

// An alert goes when no download it watches is left unfinished: one queued later into the same
// folder, or from the same user, must not raise it. The few alerts are looked at before the many
// entries, while the entry's rows are still there to count them.
void TransfersForm::RemoveAlertsOfLastDownload(const ItemPtr& i_entry)
{
    if (d->GetType(types::kCompleteDownloadAlert)->GetItemCount() == 0)
        return;
    if (ItemPtr alert = i_entry[types::kCompleteDownloadAlert])
        alert.Remove();
    const ItemPtr user = i_entry[types::kUser];
    if (!user || !user.IsConnected(types::kCompleteDownloadAlert))
        return;
    const ItemPtr fileNode = i_entry[types::kDownloadListNode];
    QTreeWidgetItem* folderRow = fileNode ? RowOf(fileNode)->parent() : nullptr;
    ItemPtr folderAlert = d->GetItem(user, i_entry[types::kRemoteFolder], types::kCompleteDownloadAlert);
    if (folderAlert && !HasUnfinishedDownloads(i_entry, true, true))
    {
        folderAlert.Remove();
        if (folderRow)
            folderRow->setIcon(FolderColumn, QIcon());
    }
    ItemSet userAlerts = user.GetItems(types::kCompleteDownloadAlert).NotConnected(types::kRemoteFolder);
    if (!userAlerts.empty() && !HasUnfinishedDownloads(i_entry, false, true))
    {
        userAlerts.Remove();
        if (folderRow)
            folderRow->parent()->setIcon(UserColumn, StatusIconOf(user));
    }
}

bool TransfersForm::HasUnfinishedDownloads(const ItemPtr& i_entry, bool i_inFolder, bool i_besidesEntry) const
{
    const ItemPtr except = i_besidesEntry ? i_entry : ItemPtr();
    // The rows' tally counts them without a walk over the user's entries.
    if (const ItemPtr fileNode = i_entry[types::kDownloadListNode])
    {
        const QTreeWidgetItem* folderRow = RowOf(fileNode)->parent();
        return m_downloads.tally.UnfinishedIn(i_inFolder ? folderRow : folderRow->parent(), except) > 0;
    }
    const ItemPtr user = i_entry[types::kUser];
    const ItemSet entries = i_inFolder ? i_entry[types::kRemoteFolder].GetItems(types::kDownloadEntry).Connected(user)
                                       : user.GetItems(types::kDownloadEntry);
    return std::any_of(entries.begin(), entries.end(), [&except](const ItemPtr& i_other) {
        return i_other != except && i_other[types::kDownloadEntryStatus].AsString() != QLatin1String("complete");
    });
}

void TransfersForm::OnUploadEntryRemoved(ItemPtr i_entry)
{
    RemoveEntryRows(m_uploads, i_entry);
}

void TransfersForm::RemoveEntryRows(Tree& io_tree, const ItemPtr& i_entry)
{
    ItemPtr fileNode = i_entry[io_tree.fileNodeType];
    if (!fileNode)
        return;
    CloseRowsForRemovals(io_tree);
    QTreeWidgetItem* fileRow = RowOf(fileNode);
    QTreeWidgetItem* folderRow = fileRow->parent();
    QTreeWidgetItem* userRow = folderRow->parent();
    io_tree.tally.Remove(i_entry);
    // A row left empty goes with the one under it, in one step of the view.
    QTreeWidgetItem* gone = fileRow;
    if (folderRow->childCount() == 1)
    {
        ItemPtr folderNode = fileNode[io_tree.folderNodeType];
        ItemPtr userNode = folderNode[io_tree.userNodeType];
        folderNode.Remove();
        gone = folderRow;
        folderRow = nullptr;
        if (userRow->childCount() == 1)
        {
            userNode.Remove();
            gone = userRow;
            userRow = nullptr;
        }
    }
    fileNode.Remove();
    if (io_tree.rowsTakenOut)
        DeleteLater(TakeRow(gone));
    else
        delete TakeRow(gone);
    NoteRowsFreed();
    // The rows left above show what their remaining entries add up to.
    for (QTreeWidgetItem* row : {folderRow, userRow})
        if (row)
            ShowGroupStatus(io_tree, row);
    RefreshGroupProgress(io_tree, folderRow, userRow);
    // One count for a burst of removals ("Clear Complete" of thousands).
    if (!m_countsUpdatePending)
    {
        m_countsUpdatePending = true;
        QMetaObject::invokeMethod(this, &TransfersForm::UpdateActiveTransferCounts, Qt::QueuedConnection);
    }
}

void TransfersForm::NoteRowsFreed()
{
    if (++m_removalsSinceMerge < kRemovalsPerMerge)
        return;
    m_removalsSinceMerge = 0;
    Data::MergeFreedBlocks();
}

// Out of the tree, the rows are gone for the user; freeing thousands of them, scattered over the
// heap, is left to the event loop's idle turns.
void TransfersForm::DeleteLater(QTreeWidgetItem* ip_row)
{
    m_rowsToDelete.push_back(ip_row);
    if (!m_rowDeleteTimer.isActive())
        m_rowDeleteTimer.start();
}

void TransfersForm::DeleteRowsSlice()
{
    const std::size_t count = std::min(kRowsPerDeleteSlice, m_rowsToDelete.size());
    const std::size_t first = m_rowsToDelete.size() - count;
    for (std::size_t k = first; k < m_rowsToDelete.size(); ++k)
    {
        delete m_rowsToDelete[k];
        NoteRowsFreed();
    }
    m_rowsToDelete.resize(first);
    if (!m_rowsToDelete.empty())
        return;
    m_rowDeleteTimer.stop();
    std::vector<QTreeWidgetItem*>().swap(m_rowsToDelete);
}

// The view keeps an index of each open row, and every row taken out of the tree walks them all: with
// thousands of open rows (a deep folder's) a burst of removals took time that grew with the square
// of the rows. The burst's first removal closes every row; the ones it leaves are opened again at
// the next turn of the event loop, before the view paints.
void TransfersForm::CloseRowsForRemovals(Tree& io_tree)
{
    if (io_tree.removing || io_tree.rowsTakenOut
        || d->GetType(io_tree.folderNodeType)->GetItemCount() < kManyFolderRows)
        return;
    io_tree.removing = true;
    std::vector<const QTreeWidgetItem*>& open = io_tree.closedForRemovals;
    for (QTreeWidgetItem* row : GroupRows(io_tree.list))
        if (row->isExpanded())
            open.push_back(row);
    std::sort(open.begin(), open.end());
    io_tree.scrolledTo = io_tree.list->verticalScrollBar()->value();
    {
        const QSignalBlocker quiet(io_tree.list);
        io_tree.list->collapseAll();
    }
    QMetaObject::invokeMethod(
        this, [this, &io_tree] { ReopenRows(io_tree); }, Qt::QueuedConnection);
}

// Opened as the user opens a row: its group status and bar give way to the rows under it. Rows are
// looked for among those left, since those closed may have gone since.
void TransfersForm::ReopenRows(Tree& io_tree)
{
    io_tree.removing = false;
    const std::vector<const QTreeWidgetItem*> open = std::move(io_tree.closedForRemovals);
    io_tree.closedForRemovals.clear();
    for (QTreeWidgetItem* row : GroupRows(io_tree.list))
        if (std::binary_search(open.begin(), open.end(), row))
            row->setExpanded(true);
    // Closed, the rows left the view at its top: the user stays where they were.
    io_tree.list->doItemsLayout();
    io_tree.list->verticalScrollBar()->setValue(io_tree.scrolledTo);
}

QTreeWidgetItem* TransfersForm::UserRowOf(const Tree& i_tree, QTreeWidgetItem* ip_row) const
{
    const Value row(ip_row);
    if (d->GetType(i_tree.userNodeType)->HasItem(row))
        return ip_row;
    if (d->GetType(i_tree.folderNodeType)->HasItem(row))
        return ip_row->parent();
    if (d->GetType(i_tree.fileNodeType)->HasItem(row))
        return ip_row->parent()->parent();
    return nullptr;
}

QTreeWidgetItem* TransfersForm::GetDownloadNodeUserNode(QTreeWidgetItem* ip_row)
{
    return UserRowOf(m_downloads, ip_row);
}

QTreeWidgetItem* TransfersForm::GetUploadNodeUserNode(QTreeWidgetItem* ip_row)
{
    return UserRowOf(m_uploads, ip_row);
}

void TransfersForm::OnDownloadPlaceInLine(ItemPtr i_entry)
{
    if (ItemPtr node = i_entry[types::kDownloadListNode])
        RowOf(node)->setText(PlaceColumn, i_entry[types::kPlaceInLine].AsString());
}

void TransfersForm::SetUserIcon(const ItemPtr& i_user, const QIcon& i_icon)
{
    for (const char* type : {types::kDownloadListUserNode, types::kUploadListUserNode})
        if (ItemPtr node = i_user[type])
            RowOf(node)->setIcon(UserColumn, i_icon);
}

QIcon TransfersForm::StatusIconOf(const ItemPtr& i_user) const
{
    return i_user.IsConnected(types::kIsOnline) ? m_onlineIcon : m_offlineIcon;
}

void TransfersForm::OnUserOnline(ItemPtr ip_user)
{
    SetUserIcon(ip_user, m_onlineIcon);
}

void TransfersForm::OnUserOffline(ItemPtr ip_user)
{
    SetUserIcon(ip_user, m_offlineIcon);
}

void TransfersForm::UpdateActiveTransferCounts()
{
    m_countsUpdatePending = false;
    if (!transferQueueManager)
        return;
    int index = -1;
    if (QTabWidget* tabs = GetWidgetTabWidget(this, index))
        tabs->setTabText(index, QStringLiteral("Transfers [%1/%2]")
                                    .arg(transferQueueManager->ActiveDownloadCount())
                                    .arg(transferQueueManager->ActiveUploadCount()));
}
