#include "UserListForm.h"

#include "ActionSetToolBar.h"
#include "AddUserDialog.h"
#include "EventToolBar.h"
#include "FocusHelpers.h"
#include "GiftPrivilegesDialog.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "ServerSchema.h"
#include "SharesSchema.h"
#include "ShellSchema.h"
#include "ShellWidgets.h"
#include "SizeManager.h"
#include "TextUtils.h"
#include "UserGroupConfigDialog.h"
#include "UserInfoForm.h"
#include "UserInfoReply.h"
#include "UserMenuOptions.h"
#include "UserTargets.h"
#include "UserTypes.h"
#include "UsersSchema.h"
#include "ui_UserListForm.h"

#include <QMenu>

UserListForm* userListForm = nullptr;

namespace
{
// Loaded once: making an icon from a file name looks the file's type up every time.
const QIcon& OnlineIcon()
{
    static const QIcon icon(QStringLiteral(":/icons/online_icon"));
    return icon;
}

const QIcon& OfflineIcon()
{
    static const QIcon icon(QStringLiteral(":/icons/offline_icon"));
    return icon;
}

const QIcon& NoteIcon()
{
    static const QIcon icon(QStringLiteral(":/icons/note_icon"));
    return icon;
}

bool IsOnline(const QString& i_user)
{
    return d->GetType(types::kUser)->HasItem(i_user).IsConnected(types::kIsOnline);
}

const QIcon& StatusIcon(const ItemPtr& i_user)
{
    return i_user.IsConnected(types::kIsOnline) ? OnlineIcon() : OfflineIcon();
}

QTreeWidgetItem* RowOf(const ItemPtr& i_user, const char* ip_nodeType)
{
    return i_user[ip_nodeType].AsPointer<QTreeWidgetItem>();
}

void ShowNote(QTreeWidgetItem* ip_row, int i_column, const ItemPtr& i_user)
{
    if (!ip_row)
        return;
    const ItemPtr note = HasUserMark(i_user, types::kUserNote) ? i_user[types::kUserNote] : ItemPtr();
    ip_row->setText(i_column, note.AsString());
    ip_row->setIcon(i_column, note ? NoteIcon() : QIcon());
}

ItemSet UsersMarked(const char* ip_markType)
{
    return d->HasType(ip_markType) ? d->GetType(ip_markType)->GetItems().GetItems(types::kUser) : ItemSet();
}
} // namespace

bool UserListItemWidget::operator<(const QTreeWidgetItem& i_other) const
{
    const bool online = IsOnline(text(0));
    if (online != IsOnline(i_other.text(0)))
        return online;
    return QString::compare(text(0), i_other.text(0), Qt::CaseInsensitive) < 0;
}

UserListForm::UserListForm(QWidget* ip_parent)
    : QWidget(ip_parent)
    , m_ui(std::make_unique<Ui::UserListForm>())
{
    m_ui->setupUi(this);
    for (QAbstractItemView* list : {m_ui->userList, m_ui->unsharedList, m_ui->ignoredList, m_ui->onlineAlertList})
        IsolatingDelegate::Install(list);
    userListForm = this;
    // One line per row: the view need not measure every row after each move.
    m_ui->userList->setUniformRowHeights(true);
    m_ui->userList->setColumnCount(3);
    m_ui->userList->setHeaderLabels({tr("User"), tr("Groups"), tr("Note")});
    m_ui->userList->setColumnWidth(0, 200);
    m_ui->userList->setColumnWidth(1, 300);
    for (QTreeWidget* list : {m_ui->unsharedList, m_ui->ignoredList})
    {
        list->setColumnCount(2);
        list->setHeaderLabels({tr("User"), tr("Note")});
        list->setColumnWidth(0, 200);
    }
    m_ui->onlineAlertList->setColumnCount(1);
    m_ui->onlineAlertList->setHeaderLabels({tr("User")});
    m_ui->onlineAlertList->setColumnWidth(0, 200);
    for (QTreeWidget* list : {m_ui->userList, m_ui->unsharedList, m_ui->ignoredList, m_ui->onlineAlertList})
        RegisterWidgetForTabFocus(list, 1);

    connect(m_ui->userList, &QWidget::customContextMenuRequested, this, &UserListForm::OnUserListContextMenuRequested);
    connect(m_ui->unsharedList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnUnsharedListContextMenuRequested);
    connect(m_ui->ignoredList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnIgnoredListContextMenuRequested);
    connect(m_ui->onlineAlertList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnOnlineAlertListContextMenuRequested);
    for (QTreeWidget* list : {m_ui->userList, m_ui->unsharedList, m_ui->ignoredList})
        connect(list, &QTreeWidget::itemDoubleClicked, this, &UserListForm::OnUserItemDoubleClicked);
}

UserListForm::~UserListForm()
{
    if (userListForm == this)
        userListForm = nullptr;
    // The rows and pages go with the form; their records must not outlive them.
    if (!d)
        return;
    for (const char* type : {types::kUserListNode, types::kUnsharedListNode, types::kIgnoredListNode,
                             types::kOnlineAlertListNode, types::kUserInfoForm})
        if (d->HasType(type))
            d->GetType(type)->GetItems().Remove();
}

void UserListForm::Init()
{
    Type* alert = d->NewType(types::kUserOnlineAlert, Tertiary, true, true);
    alert->RelateToType(d->GetType(types::kUser), One, Many);
    dataSaver->AddSavedType(types::kUserOnlineAlert);
    dataSaver->AddSavedByConnectionType(types::kUser, types::kUserOnlineAlert);
    dataSaver->AddListener(this);
    AddUserDialog::RegisterOpener(this);
    GiftPrivilegesDialog::RegisterOpener();
}

void UserListForm::DataLoaded()
{
    Type* user = d->GetType(types::kUser);
    for (const char* node :
         {types::kUserListNode, types::kUnsharedListNode, types::kIgnoredListNode, types::kOnlineAlertListNode})
        d->NewType(node, Primary, false, true)->RelateToType(user, One, One);

    for (const ItemPtr& listed : UsersMarked(types::kInUserList))
    {
        QTreeWidgetItem* row = AddRow(m_ui->userList, new UserListItemWidget, listed, types::kUserListNode);
        row->setIcon(0, StatusIcon(listed));
        if (gp_server)
            gp_server->TrackUser(listed.AsString());
        UpdateUserGroupsDisplay(listed.AsString());
        ShowNote(row, 2, listed);
    }
    m_ui->userList->sortItems(0, Qt::AscendingOrder);
    mp_listPaints = new ServerBurstPaints(m_ui->userList);
    for (const ItemPtr& unshared : UsersMarked(types::kUnshared))
        AddMarkedRow(m_ui->unsharedList, unshared, types::kUnsharedListNode);
    m_ui->unsharedList->setSortingEnabled(true);
    for (const ItemPtr& ignored : UsersMarked(types::kIsIgnored))
        AddMarkedRow(m_ui->ignoredList, ignored, types::kIgnoredListNode);
    m_ui->ignoredList->setSortingEnabled(true);
    const ItemSet alerted = UsersMarked(types::kUserOnlineAlert);
    for (const ItemPtr& alert : alerted)
        AddRow(m_ui->onlineAlertList, new QTreeWidgetItem, alert, types::kOnlineAlertListNode)
            ->setIcon(0, StatusIcon(alert));
    m_ui->onlineAlertList->sortItems(0, Qt::AscendingOrder);

    RegisterPathHandler(types::kIsOnline, PathOnConnect, &UserListForm::OnUserOnline);
    RegisterPathHandler(types::kIsOnline, PathOnDisconnect, &UserListForm::OnUserOffline);
    RegisterPathHandler(types::kInUserList, PathOnConnect, &UserListForm::OnUserAddedToList);
    RegisterPathHandler(types::kInUserList, PathOnDisconnect, &UserListForm::OnUserRemovedFromList);
    if (d->HasType(types::kUnshared))
    {
        RegisterPathHandler(types::kUnshared, PathOnConnect, &UserListForm::OnUserUnshared);
        RegisterPathHandler(types::kUnshared, PathOnDisconnect, &UserListForm::OnUserReshared);
    }
    RegisterPathHandler(types::kIsIgnored, PathOnConnect, &UserListForm::OnUserIgnored);
    RegisterPathHandler(types::kIsIgnored, PathOnDisconnect, &UserListForm::OnUserUnignored);
    if (d->HasType(types::kUserNote))
    {
        RegisterPathHandler(types::kUserNote, PathOnConnect, &UserListForm::OnUserNoteChanged);
        RegisterPathHandler(types::kUserNote, PathOnDisconnect, &UserListForm::OnUserNoteRemoved);
    }
    RegisterPathHandler(types::kUserOnlineAlert, PathOnConnect, &UserListForm::OnUserOnlineAlertAdded);
    RegisterPathHandler(types::kUserOnlineAlert, PathOnDisconnect, &UserListForm::OnUserOnlineAlertRemoved);

    if (actionBar)
    {
        const QString set = QStringLiteral("user_list");
        actionBar->AddSetAction(set, QStringLiteral("manual_add_user"), tr("Add User"),
                                QStringLiteral(":/icons/add_user_icon"), false);
        actionBar->AddSetAction(set, QStringLiteral("configure_user_groups"), tr("Configure User Groups"),
                                QStringLiteral(":/icons/users_icon"), false);
        actionBar->RegisterWidget(m_ui->userListTab, set);
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &UserListForm::OnActionBarTriggered);
    }

    for (auto [relation, handler] : {std::make_pair(PathOnConnect, &UserListForm::OnUserGroupAdded),
                                     std::make_pair(PathOnDisconnect, &UserListForm::OnUserGroupRemoved)})
    {
        auto* membership = new PathNode(new PathNode(d, types::kUser), types::kInUserList, PathRequiredQuiet);
        d->AddPathEventHandler(new PathNode(membership, types::kUserListGroup, relation),
                               new EventHandler<UserListForm, ItemPtr>(this, handler));
    }

    if (sizeManager)
        sizeManager->RegisterTreeWidget(QStringLiteral("user_list"), m_ui->userList);
    connect(m_ui->userInfoTabs, &QTabWidget::tabCloseRequested, this, &UserListForm::OnUserInfoTabCloseRequested);
    d->NewType(types::kUserInfoForm, Primary, false, true)->RelateToType(user, One, One);
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::UserInfoRequested, this, &UserListForm::OnUserInfoRequested);

    if (gp_server)
        for (const ItemPtr& alert : alerted)
            gp_server->TrackUser(alert.AsString());
}

void UserListForm::RegisterPathHandler(const char* ip_mark, PathNodeRelation i_relation,
                                       void (UserListForm::*i_handler)(ItemPtr))
{
    d->AddPathEventHandler(new PathNode(new PathNode(d, types::kUser), ip_mark, i_relation),
                           new EventHandler<UserListForm, ItemPtr>(this, i_handler));
}

QTreeWidgetItem* UserListForm::AddRow(QTreeWidget* ip_list, QTreeWidgetItem* ip_row, const ItemPtr& i_user,
                                      const char* ip_nodeType)
{
    ItemPtr user = i_user;
    ip_row->setText(0, user.AsString());
    ip_list->addTopLevelItem(ip_row);
    user += d->GetType(ip_nodeType)->GetItem(Value(ip_row));
    return ip_row;
}

void UserListForm::AddMarkedRow(QTreeWidget* ip_list, const ItemPtr& i_user, const char* ip_nodeType)
{
    ShowNote(AddRow(ip_list, new QTreeWidgetItem, i_user, ip_nodeType), 1, i_user);
}

void UserListForm::RemoveRow(const ItemPtr& i_user, const char* ip_nodeType)
{
    ItemPtr node = i_user[ip_nodeType];
    if (!node)
        return;
    delete node.AsPointer<QTreeWidgetItem>();
    node.Remove();
}

void UserListForm::PlaceUserListRow(QTreeWidgetItem* ip_row)
{
    QTreeWidget* list = m_ui->userList;
    const int from = list->indexOfTopLevelItem(ip_row);
    const int count = list->topLevelItemCount();
    if (from < 0)
        return;
    const bool afterPrevious = from == 0 || !(*ip_row < *list->topLevelItem(from - 1));
    const bool beforeNext = from == count - 1 || !(*list->topLevelItem(from + 1) < *ip_row);
    if (afterPrevious && beforeNext)
        return;

    const bool selected = ip_row->isSelected();
    const bool current = list->currentItem() == ip_row;
    list->takeTopLevelItem(from);
    // The first row the moved one sorts before; equal rows keep the moved one last among them.
    int low = 0;
    int high = count - 1;
    while (low < high)
    {
        const int middle = (low + high) / 2;
        if (*ip_row < *list->topLevelItem(middle))
            high = middle;
        else
            low = middle + 1;
    }
    list->insertTopLevelItem(low, ip_row);
    if (current)
        list->setCurrentItem(ip_row, 0, QItemSelectionModel::NoUpdate);
    ip_row->setSelected(selected);
}

void UserListForm::UpdateUserGroupsDisplay(QString i_user)
{
    const ItemPtr user = d->GetType(types::kUser)->HasItem(i_user);
    QTreeWidgetItem* row = RowOf(user, types::kUserListNode);
    if (!row)
        return;
    QStringList names;
    for (const ItemPtr& group : user[types::kInUserList].GetItems(types::kUserListGroup).SortAlphabetic(true))
        names << group.AsString();
    row->setText(1, names.join(QLatin1String(", ")));
}

void UserListForm::OnUserOnline(ItemPtr i_user)
{
    if (QTreeWidgetItem* row = RowOf(i_user, types::kUserListNode))
    {
        mp_listPaints->Changing();
        row->setIcon(0, OnlineIcon());
        PlaceUserListRow(row);
    }
    if (HasUserMark(i_user, types::kUserOnlineAlert))
    {
        PostOnlineAlert(i_user.AsString());
    }
    if (QTreeWidgetItem* row = RowOf(i_user, types::kOnlineAlertListNode))
        row->setIcon(0, OnlineIcon());
}

void UserListForm::PostOnlineAlert(const QString& i_user)
{
    if (eventToolBar)
        eventToolBar->AddEvent(tr("%1 online").arg(MnemonicText(i_user)), QStringLiteral(":/icons/online_icon"),
                               m_ui->onlineAlertList, tr("%1 is online").arg(IsolatedName(i_user)));
}

void UserListForm::OnUserOffline(ItemPtr i_user)
{
    QTreeWidgetItem* listed = RowOf(i_user, types::kUserListNode);
    if (listed)
        mp_listPaints->Changing();
    for (const char* node : {types::kUserListNode, types::kOnlineAlertListNode})
        if (QTreeWidgetItem* row = RowOf(i_user, node))
            row->setIcon(0, OfflineIcon());
    if (listed)
        PlaceUserListRow(listed);
}

void UserListForm::OnUserAddedToList(ItemPtr i_user)
{
    QTreeWidgetItem* row = AddRow(m_ui->userList, new UserListItemWidget, i_user, types::kUserListNode);
    row->setIcon(0, OfflineIcon());
    const QString name = i_user.AsString();
    if (i_user.IsConnected(types::kIsOnline))
        OnUserOnline(i_user);
    if (gp_server)
        gp_server->TrackUser(name);
    UpdateUserGroupsDisplay(name);
    ShowNote(row, 2, i_user);
    PlaceUserListRow(row);
}

void UserListForm::OnUserRemovedFromList(ItemPtr i_user)
{
    RemoveRow(i_user, types::kUserListNode);
}

void UserListForm::OnUserUnshared(ItemPtr i_user)
{
    AddMarkedRow(m_ui->unsharedList, i_user, types::kUnsharedListNode);
}

void UserListForm::OnUserReshared(ItemPtr i_user)
{
    RemoveRow(i_user, types::kUnsharedListNode);
}

void UserListForm::OnUserIgnored(ItemPtr i_user)
{
    AddMarkedRow(m_ui->ignoredList, i_user, types::kIgnoredListNode);
}

void UserListForm::OnUserUnignored(ItemPtr i_user)
{
    RemoveRow(i_user, types::kIgnoredListNode);
}

void UserListForm::OnUserNoteChanged(ItemPtr i_user)
{
    ShowNote(RowOf(i_user, types::kUserListNode), 2, i_user);
    ShowNote(RowOf(i_user, types::kUnsharedListNode), 1, i_user);
    ShowNote(RowOf(i_user, types::kIgnoredListNode), 1, i_user);
}

void UserListForm::OnUserNoteRemoved(ItemPtr i_user)
{
    OnUserNoteChanged(i_user);
}

void UserListForm::OnUserOnlineAlertAdded(ItemPtr i_user)
{
    AddRow(m_ui->onlineAlertList, new QTreeWidgetItem, i_user, types::kOnlineAlertListNode)
        ->setIcon(0, StatusIcon(i_user));
    m_ui->onlineAlertList->sortItems(0, Qt::AscendingOrder);
}

void UserListForm::OnUserOnlineAlertRemoved(ItemPtr i_user)
{
    RemoveRow(i_user, types::kOnlineAlertListNode);
}

void UserListForm::OnUserGroupAdded(ItemPtr i_user)
{
    UpdateUserGroupsDisplay(i_user.AsString());
}

void UserListForm::OnUserGroupRemoved(ItemPtr i_user)
{
    UpdateUserGroupsDisplay(i_user.AsString());
}

void UserListForm::OnActionBarTriggered(QWidget*, QString i_action)
{
    if (i_action == QLatin1String("manual_add_user"))
        UserTargets::Open(UserTargets::AddUserDialog, QString());
    else if (i_action == QLatin1String("configure_user_groups"))
    {
        if (userGroupConfigDialog)
        {
            userGroupConfigDialog->raise();
            userGroupConfigDialog->activateWindow();
            userGroupConfigDialog->setFocus();
        }
        else
            (new UserGroupConfigDialog(this))->show();
    }
}

void UserListForm::ShowContextMenu(QTreeWidget* ip_list, const QPoint& i_point)
{
    const QTreeWidgetItem* row = ip_list->itemAt(i_point);
    if (!row)
        return;
    QMenu menu;
    UserMenuOptions::Exec(menu, row->text(0), ip_list->viewport()->mapToGlobal(i_point));
}

void UserListForm::OnUserListContextMenuRequested(QPoint i_point)
{
    ShowContextMenu(m_ui->userList, i_point);
}

void UserListForm::OnUnsharedListContextMenuRequested(QPoint i_point)
{
    ShowContextMenu(m_ui->unsharedList, i_point);
}

void UserListForm::OnIgnoredListContextMenuRequested(QPoint i_point)
{
    ShowContextMenu(m_ui->ignoredList, i_point);
}

void UserListForm::OnOnlineAlertListContextMenuRequested(QPoint i_point)
{
    ShowContextMenu(m_ui->onlineAlertList, i_point);
}

void UserListForm::OnUserItemDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    if (ip_item)
        UserTargets::Open(UserTargets::PrivateChat, ip_item->text(0));
}

UserInfoForm* UserListForm::GetUserInfoForm(QString i_user)
{
    ItemPtr user = UserItem(i_user);
    if (const ItemPtr open = user[types::kUserInfoForm])
        return open.AsPointer<UserInfoForm>();
    auto* page = new UserInfoForm(this);
    page->Init(i_user);
    m_ui->userInfoTabs->addTab(page, QIcon(QStringLiteral(":/icons/info_icon")), MnemonicText(i_user));
    user += d->GetType(types::kUserInfoForm)->GetItem(Value(page));
    return page;
}

void UserListForm::OnUserInfoTabCloseRequested(int i_index)
{
    auto* page = qobject_cast<UserInfoForm*>(m_ui->userInfoTabs->widget(i_index));
    if (!page)
        return;
    m_ui->userInfoTabs->removeTab(i_index);
    if (ItemPtr record = d->GetType(types::kUserInfoForm)->HasItem(Value(page)))
        record.Remove();
    page->deleteLater();
}

void UserListForm::OnUserInfoRequested(QString i_user)
{
    MemStream reply = UserInfoReply::BuildOwn();
    if (peerMessenger)
        peerMessenger->SendMessage(i_user, reply);
}
