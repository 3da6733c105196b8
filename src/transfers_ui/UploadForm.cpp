#include "UploadForm.h"

#include "ActionSetToolBar.h"
#include "SharedFoldersManager.h"
#include "SharesSchema.h"
#include "ShellWidgets.h"
#include "TransferQueueManager.h"
#include "TransfersUiSchema.h"
#include "ui_UploadForm.h"

UploadForm::UploadForm(QString i_user, QWidget* ip_parent)
    : ShareView(ip_parent)
    , m_ui(new Ui::UploadForm)
    , m_user(std::move(i_user))
{
    m_ui->setupUi(this);
    IsolatingDelegate::Install(m_ui->folderTree);
    IsolatingDelegate::Install(m_ui->fileList);
    SetUpWidgets(m_ui->folderTree, m_ui->fileList, m_ui->filterEdit, m_ui->filterHelpButton, types::kUploadShareTab,
                 m_user);
    if (actionBar)
    {
        actionBar->RegisterWidget(m_ui->folderTree, QStringLiteral("upload_folders"));
        actionBar->RegisterWidget(m_ui->fileList, QStringLiteral("upload_files"));
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &UploadForm::OnActionBarTriggered);
    }
}

UploadForm::~UploadForm()
{
    // At shutdown the store is gone before the tabs.
    if (d && !m_released)
        ReleaseItems();
    delete m_ui;
}

void UploadForm::SetShare(ItemPtr i_share)
{
    m_share = i_share;
    BuildFolderTree(m_share.GetItems(types::kUserShareFolder));
    ShowLists(true);
}

void UploadForm::ReleaseItems()
{
    m_released = true;
    ForgetTab();
    if (m_share && sharedFoldersManager)
        sharedFoldersManager->RemoveShareLater(m_share);
    m_share = ItemPtr();
}

void UploadForm::Delete()
{
    ReleaseItems();
    deleteLater();
}

bool UploadForm::UploadFile(const ItemPtr& i_file)
{
    const QString path = i_file[types::kUserShareFolder][types::kUserShareFolderName].AsString() + QLatin1Char('\\')
                         + i_file[types::kUserShareFileName].AsString();
    return transferQueueManager && transferQueueManager->AddUpload(m_user, path);
}

void UploadForm::UploadFolder(ItemPtr i_folder)
{
    const QIcon icon(QStringLiteral(":/icons/upload_icon"));
    // Depth first, a folder's own files before its sub-folders'.
    std::vector<ItemPtr> stack{i_folder};
    while (!stack.empty())
    {
        const ItemPtr folder = stack.back();
        stack.pop_back();
        for (const ItemPtr& file : folder.GetItems(types::kUserShareFile))
        {
            QTreeWidgetItem* row = RowOfFile(file);
            // Only what the engine took is marked: an offer it refused went nowhere.
            if (UploadFile(file) && row)
                row->setIcon(0, icon);
        }
        const ItemSet subFolders = SubFolders(folder);
        stack.insert(stack.end(), std::make_reverse_iterator(subFolders.end()),
                     std::make_reverse_iterator(subFolders.begin()));
    }
}

void UploadForm::OnActionBarTriggered(QWidget* ip_widget, QString i_action)
{
    if (i_action == QLatin1String("upload_share_folder") && ip_widget == m_ui->folderTree)
    {
        for (QTreeWidgetItem* row : m_ui->folderTree->selectedItems())
            if (const ItemPtr folder = FolderOfRow(row))
                UploadFolder(folder);
    }
    else if (i_action == QLatin1String("upload_share_file") && ip_widget == m_ui->fileList)
    {
        for (QTreeWidgetItem* row : m_ui->fileList->selectedItems())
        {
            const ItemPtr file = FileOfRow(row);
            if (file && UploadFile(file))
                row->setIcon(0, QIcon(QStringLiteral(":/icons/upload_icon")));
        }
    }
}
