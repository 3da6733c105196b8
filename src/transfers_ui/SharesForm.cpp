#include "SharesForm.h"

#include "ActionSetToolBar.h"
#include "FocusHelpers.h"
#include "PeerMessenger.h"
#include "SearchResultMenuOptions.h"
#include "ServerSchema.h"
#include "ShareForm.h"
#include "SharedFoldersManager.h"
#include "SharesSchema.h"
#include "TextUtils.h"
#include "TransfersUiSchema.h"
#include "UploadForm.h"
#include "UserTargets.h"
#include "ui_SharesForm.h"

#include <unordered_map>

SharesForm* sharesForm = nullptr;

namespace
{
// Brings the tab forward with its folder tree focused once it shows one, so that the tree's
// commands are on the tool bar.
void FocusTab(ShareView* ip_tab)
{
    QWidget* tree = ip_tab->FolderTree();
    FocusWidgetAndParents(tree->isVisibleTo(ip_tab) ? tree : ip_tab);
}

// The user's open tab of that kind, brought forward; null when there is none.
template<class Form> Form* FocusOpenTab(const QString& i_user, const char* i_tabType)
{
    auto* form = d->GetType(types::kUser)->GetItem(Value(i_user))[i_tabType].AsPointer<Form>();
    if (form)
        FocusTab(form);
    return form;
}
} // namespace

SharesForm::SharesForm(QWidget* ip_parent)
    : QWidget(ip_parent)
    , m_ui(new Ui::SharesForm)
{
    sharesForm = this;
    m_ui->setupUi(this);
    SearchResultMenuOptions::RegisterFolderBrowser([this](const QString& i_user, const QString& i_folder) {
        if (ShareForm* tab = OpenShareBrowse(i_user))
            tab->BrowseToFolder(i_folder);
    });
}

SharesForm::~SharesForm()
{
    if (sharesForm == this)
    {
        sharesForm = nullptr;
        SearchResultMenuOptions::RegisterFolderBrowser({});
        UserTargets::Register(UserTargets::BrowseShares, {});
        UserTargets::Register(UserTargets::UploadTo, {});
    }
    delete m_ui;
}

QTabWidget* SharesForm::Tabs() const
{
    return m_ui->tabControl;
}

void SharesForm::Init()
{
    Type* user = d->GetType(types::kUser);
    for (const char* tab : {types::kUserShareTab, types::kUploadShareTab})
        d->NewType(tab, Primary, false, true)->RelateToType(user, One, One);
    d->NewType(types::kUserShareFolderNode, Secondary, false, true)
        ->RelateToType(d->GetType(types::kUserShareFolder), One, One);
    d->NewType(types::kUserShareFileNode, Secondary, false, true)
        ->RelateToType(d->GetType(types::kUserShareFile), One, One);

    if (actionBar)
    {
        const QString browse = QStringLiteral(":/icons/browse_icon");
        const QString transfer = QStringLiteral(":/icons/transfer_icon");
        const auto addTreeCommands = [&browse](const QString& i_set) {
            actionBar->AddSetAction(i_set, QStringLiteral("expand_level"), QStringLiteral("Expand Level"), browse,
                                    false);
            actionBar->AddSetAction(i_set, QStringLiteral("collapse_all"), QStringLiteral("Collapse All"), browse,
                                    false);
            actionBar->AddSetAction(i_set, QStringLiteral("expand_all"), QStringLiteral("Expand All"), browse, false);
        };
        addTreeCommands(QStringLiteral("share_folders"));
        actionBar->AddSetAction(QStringLiteral("upload_folders"), QStringLiteral("upload_share_folder"),
                                QStringLiteral("Upload Folder"), transfer, true);
        addTreeCommands(QStringLiteral("upload_folders"));
        actionBar->AddSetAction(QStringLiteral("upload_files"), QStringLiteral("upload_share_file"),
                                QStringLiteral("Upload File"), transfer, true);
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &SharesForm::OnToolBarActionTriggered);
    }
    connect(m_ui->tabControl, &QTabWidget::tabCloseRequested, this, &SharesForm::OnTabCloseRequested);
    // The list is lent for the call only.
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::UserShare, this, &SharesForm::OnUserShare, Qt::DirectConnection);

    UserTargets::Register(UserTargets::BrowseShares, [this](const QString& i_user) { OpenShareBrowse(i_user); });
    UserTargets::Register(UserTargets::UploadTo, [this](const QString& i_user) { OpenUploadBrowse(i_user); });
    m_initialised = true;
}

ItemPtr SharesForm::CreateUserShareData(const FileInfoMap& i_share, const AttributeTranslationTable&)
{
    Type* folderType = d->GetType(types::kUserShareFolder);
    Type* folderNameType = d->GetType(types::kUserShareFolderName);
    Type* parentType = d->GetType(types::kUserShareFolderParent);
    Type* childType = d->GetType(types::kUserShareFolderChild);
    Type* fileType = d->GetType(types::kUserShareFile);
    Type* fileNameType = d->GetType(types::kUserShareFileName);
    const FileAttributeLinker attributes;

    ItemPtr share = d->GetType(types::kUserShare)->NewItem();
    // This share's folders by path: a parent path is a prefix of its child's, so in key order a
    // parent is always built before its sub-folders.
    std::unordered_map<std::string, ItemPtr> folders;
    folders.reserve(i_share.size());
    for (const auto& [path, files] : i_share)
    {
        ItemPtr folder = folderType->NewItem();
        share.Connect(folder);
        folder.Connect(folderNameType->GetItem(Value(path)));
        folders.emplace(path, folder);
        const std::string parentPath = GetParentFolder(path);
        const auto parent = parentPath == path ? folders.end() : folders.find(parentPath);
        if (parent != folders.end())
        {
            ItemPtr child = childType->NewItem();
            parent->second.Connect(child);
            folder.Connect(parentType->NewItem()).Connect(child);
        }

        for (const FileInfo& info : files)
        {
            ItemPtr file = fileType->NewItem();
            folder.Connect(file);
            file.Connect(fileNameType->GetItem(Value(info.m_name)));
            attributes.Link(file, info);
        }
    }
    return share;
}

ShareForm* SharesForm::OpenShareBrowse(QString i_user)
{
    if (auto* open = FocusOpenTab<ShareForm>(i_user, types::kUserShareTab))
        return open;
    auto* form = new ShareForm(i_user, this);
    m_ui->tabControl->addTab(form, MnemonicText(i_user));
    if (peerMessenger)
        peerMessenger->GetUserSharedFiles(i_user);
    FocusTab(form);
    return form;
}

UploadForm* SharesForm::OpenUploadBrowse(QString i_user)
{
    if (auto* open = FocusOpenTab<UploadForm>(i_user, types::kUploadShareTab))
        return open;
    auto* form = new UploadForm(i_user, this);
    m_ui->tabControl->addTab(form, QStringLiteral("Upload to ") + MnemonicText(i_user));
    FileInfoMap folders;
    AttributeTranslationTable table;
    if (sharedFoldersManager)
        sharedFoldersManager->GetSharedFilesAsUserShare(i_user, folders, table);
    form->SetShare(CreateUserShareData(folders, table));
    FocusTab(form);
    return form;
}

void SharesForm::OnUserShare(QString i_user, FileInfoMap& i_share, AttributeTranslationTable& i_translationTable)
{
    ItemPtr user = d->GetType(types::kUser)->GetItem(Value(i_user));
    const ItemPtr tab = user[types::kUserShareTab];
    if (!tab)
        return;
    // A later list replaces the one shown: its items go first, and the tab builds its rows anew.
    if (sharedFoldersManager)
        sharedFoldersManager->RemoveUserShare(i_user);
    ItemPtr share = CreateUserShareData(i_share, i_translationTable);
    share.Connect(user);
    tab.AsPointer<ShareForm>()->SetShare(share);
}

void SharesForm::OnTabCloseRequested(int i_tabIndex)
{
    QWidget* page = m_ui->tabControl->widget(i_tabIndex);
    if (auto* browse = qobject_cast<ShareForm*>(page))
    {
        m_ui->tabControl->removeTab(i_tabIndex);
        browse->Delete();
    }
    else if (auto* upload = qobject_cast<UploadForm*>(page))
    {
        m_ui->tabControl->removeTab(i_tabIndex);
        upload->Delete();
    }
}

void SharesForm::OnToolBarActionTriggered(QWidget* ip_widget, QString i_action)
{
    // Only for a list of the tab in view: another window may use the same ids.
    auto* view = qobject_cast<ShareView*>(m_ui->tabControl->currentWidget());
    if (!view || !ip_widget || !view->isAncestorOf(ip_widget))
        return;
    if (i_action == QLatin1String("expand_level"))
        view->ExpandLevel();
    else if (i_action == QLatin1String("collapse_all"))
        view->CollapseAll();
    else if (i_action == QLatin1String("expand_all"))
        view->ExpandAll();
}
