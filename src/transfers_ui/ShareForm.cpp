#include "ShareForm.h"

#include "ActionSetToolBar.h"
#include "EventToolBar.h"
#include "PeerMessenger.h"
#include "PeerSchema.h"
#include "ServerSchema.h"
#include "SharedFoldersManager.h"
#include "SharesSchema.h"
#include "ShellWidgets.h"
#include "TextUtils.h"
#include "TransferQueueManager.h"
#include "TransfersUiSchema.h"
#include "WebPages.h"
#include "ui_ShareForm.h"

#include <QMenu>
#include <QShowEvent>

namespace
{
QString BrowseIcon()
{
    return QStringLiteral(":/icons/browse_icon");
}
} // namespace

ShareForm::ShareForm(QString i_user, QWidget* ip_parent)
    : ShareView(ip_parent)
    , m_ui(new Ui::ShareForm)
    , m_user(std::move(i_user))
{
    m_ui->setupUi(this);
    IsolatingDelegate::Install(m_ui->folderTree);
    IsolatingDelegate::Install(m_ui->fileList);
    SetUpWidgets(m_ui->folderTree, m_ui->fileList, m_ui->filterEdit, m_ui->filterHelpButton, types::kUserShareTab,
                 m_user);
    if (actionBar)
    {
        actionBar->RegisterWidget(m_ui->folderTree, QStringLiteral("share_folders"));
        actionBar->RegisterWidget(m_ui->fileList, QStringLiteral("share_files"));
    }
    m_ui->messageBrowser->append(QStringLiteral("Requesting file list..."));
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this, &ShareForm::OnConnectionToUserFailed);

    m_ui->folderTree->setContextMenuPolicy(Qt::CustomContextMenu);
    m_ui->fileList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_ui->folderTree, &QWidget::customContextMenuRequested, this, &ShareForm::OnFolderContextMenuRequested);
    connect(m_ui->fileList, &QWidget::customContextMenuRequested, this, &ShareForm::OnFileContextMenuRequested);
    // Once for the tab's life, however many lists it is handed.
    connect(m_ui->folderTree, &QTreeWidget::itemDoubleClicked, this, &ShareForm::OnFolderDoubleClicked);
    connect(m_ui->fileList, &QTreeWidget::itemDoubleClicked, this, &ShareForm::OnFileDoubleClicked);
    d->GetType(types::kUserShare)
        ->m_itemRemoved.insert(new EventHandler<ShareForm, ItemPtr>(this, &ShareForm::OnUserShareItemRemoved));
}

ShareForm::~ShareForm()
{
    // At shutdown the store is gone before the tabs.
    if (d && !m_released)
        ReleaseItems();
    delete m_ui;
}

void ShareForm::ReleaseItems()
{
    m_released = true;
    m_share = ItemPtr();
    if (sharedFoldersManager)
        sharedFoldersManager->RemoveUserShareLater(m_user);
    ForgetTab();
}

void ShareForm::Delete()
{
    ReleaseItems();
    deleteLater();
}

void ShareForm::PostNotice(QWidget* ip_widget)
{
    if (eventToolBar)
        eventToolBar->AddEvent(MnemonicText(m_user), BrowseIcon(), ip_widget, QString());
}

void ShareForm::SetShare(ItemPtr i_share)
{
    m_listHandled = true;
    m_share = i_share;
    const ItemSet folders = m_share.GetItems(types::kUserShareFolder);
    if (folders.empty())
    {
        ClearRows();
        ShowLists(false);
        m_ui->messageBrowser->show();
        m_ui->messageBrowser->append(QStringLiteral("No files returned. The user is either not sharing any files, or "
                                                    "is sharing all of their files privately."));
        PostNotice(m_ui->messageBrowser);
        return;
    }

    BuildFolderTree(folders);
    m_ui->messageBrowser->hide();
    ShowLists(true);
    // A list that replaces another meets the filter the user already typed.
    if (!m_ui->filterEdit->text().isEmpty())
        OnFilterTextChanged(m_ui->filterEdit->text());
    PostNotice(m_ui->folderTree);
    if (!m_pendingFolder.isEmpty())
        BrowseToFolder(m_pendingFolder);
}

void ShareForm::OnUserShareItemRemoved(ItemPtr i_share)
{
    if (i_share == m_share)
        m_share = ItemPtr();
}

void ShareForm::BrowseToFolder(QString i_folder)
{
    if (!m_share)
    {
        m_pendingFolder = i_folder;
        return;
    }
    const ItemPtr name = d->GetType(types::kUserShareFolderName)->HasItem(Value(i_folder));
    const ItemPtr folder = name ? d->GetItem(name, m_share, types::kUserShareFolder) : ItemPtr();
    auto* row = folder[types::kUserShareFolderNode].AsPointer<QTreeWidgetItem>();
    if (!row)
        return;
    m_ui->folderTree->scrollToItem(row, QAbstractItemView::PositionAtTop);
    m_ui->folderTree->setCurrentItem(row);
}

void ShareForm::OnConnectionToUserFailed(QString i_user, QString i_connectionType)
{
    if (m_listHandled || i_user != m_user || i_connectionType != QLatin1String("P"))
        return;
    m_listHandled = true;
    const QString page = PortTestPage(GetSetting(settings::kListeningPort).toInt()).toString(QUrl::FullyEncoded);
    m_ui->messageBrowser->append(
        QStringLiteral("A connection could not be successfully formed to the user. If this is happening to you a "
                       "lot, <a href=\"%1\">Check here</a> to make sure that your port is open.")
            .arg(page));
    PostNotice(m_ui->messageBrowser);
}

void ShareForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    // Both places a notice can be tied to: the list's arrival and the failures on the message view.
    if (eventToolBar)
        for (QWidget* noticed : {static_cast<QWidget*>(m_ui->folderTree), static_cast<QWidget*>(m_ui->messageBrowser)})
            eventToolBar->RemoveEvents(noticed);
}

// ---- downloads ----

void ShareForm::DownloadFileOfRow(QTreeWidgetItem* ip_row)
{
    const ItemPtr file = FileOfRow(ip_row);
    const ItemPtr folder = file[types::kUserShareFolder];
    const ItemPtr user = folder[types::kUserShare][types::kUser];
    if (!user || !transferQueueManager)
        return;
    transferQueueManager->AddDownload(user.AsString(), file[types::kUserShareFileName].AsStdString(),
                                      folder[types::kUserShareFolderName].AsStdString(),
                                      file[types::kFileSize].AsInt64(), 0);
    ip_row->setIcon(0, QIcon(QStringLiteral(":/icons/download_icon")));
}

void ShareForm::DownloadFolder(ItemPtr i_folder, int i_level)
{
    const QString user = i_folder[types::kUserShare][types::kUser].AsString();
    if (user.isEmpty() || !transferQueueManager)
        return;
    Type* nameType = d->GetType(types::kUserShareFileName);
    Type* sizeType = d->GetType(types::kFileSize);
    const QIcon icon(QStringLiteral(":/icons/download_icon"));
    // Depth first, a folder's own files before its sub-folders'; a stack of its own, since the
    // depth of the tree is the sender's to choose.
    std::vector<std::pair<ItemPtr, int>> stack{{i_folder, i_level}};
    while (!stack.empty())
    {
        const auto [folder, level] = stack.back();
        stack.pop_back();
        const std::string remoteFolder = folder[types::kUserShareFolderName].AsStdString();
        for (const ItemPtr& file : folder.GetItems(types::kUserShareFile))
        {
            const ItemPtr name = file[nameType];
            if (transferQueueManager->HasExcludedDownloadExtension(name.AsString()))
                continue;
            transferQueueManager->AddDownload(user, name.AsStdString(), remoteFolder, file[sizeType].AsInt64(), level);
            if (QTreeWidgetItem* row = RowOfFile(file))
                row->setIcon(0, icon);
        }
        const ItemSet subFolders = SubFolders(folder);
        for (auto sub = subFolders.end(); sub != subFolders.begin();)
            stack.emplace_back(*--sub, level + 1);
    }
}

void ShareForm::DownloadFolderOfRow(QTreeWidgetItem* ip_row)
{
    if (const ItemPtr folder = FolderOfRow(ip_row))
        DownloadFolder(folder, 0);
}

void ShareForm::OnFileDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    DownloadFileOfRow(ip_item);
}

void ShareForm::OnFolderDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    DownloadFolderOfRow(ip_item);
}

void ShareForm::OnDownloadFile()
{
    for (QTreeWidgetItem* row : m_ui->fileList->selectedItems())
        DownloadFileOfRow(row);
}

void ShareForm::OnDownloadFolder()
{
    for (QTreeWidgetItem* row : m_ui->folderTree->selectedItems())
        DownloadFolderOfRow(row);
}

void ShareForm::OnFileContextMenuRequested(QPoint i_point)
{
    QMenu menu;
    menu.addAction(QIcon(QStringLiteral(":/icons/transfer_icon")), QStringLiteral("Download File(s)"), this,
                   &ShareForm::OnDownloadFile);
    menu.exec(m_ui->fileList->viewport()->mapToGlobal(i_point));
}

void ShareForm::OnFolderContextMenuRequested(QPoint i_point)
{
    if (!m_ui->folderTree->itemAt(i_point))
        return;
    QMenu menu;
    menu.addAction(QIcon(QStringLiteral(":/icons/transfer_icon")), QStringLiteral("Download Folder"), this,
                   &ShareForm::OnDownloadFolder);
    menu.exec(m_ui->folderTree->viewport()->mapToGlobal(i_point));
}
