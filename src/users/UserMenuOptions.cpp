#include "UserMenuOptions.h"

#include "CoreSchema.h"
#include "Data.h"
#include "FocusHelpers.h"
#include "ItemLogDialog.h"
#include "Server.h"
#include "ServerSchema.h"
#include "SharesSchema.h"
#include "ShellSchema.h"
#include "TextUtils.h"
#include "TransferQueueManager.h"
#include "UserGroupsDialog.h"
#include "UserInfoForm.h"
#include "UserListForm.h"
#include "UserNoteDialog.h"
#include "UserTargets.h"
#include "UserTypes.h"
#include "UsersSchema.h"
#include "WindowHost.h"

#include <QAction>
#include <QMenu>

namespace
{
QAction* AddEntry(QMenu* ip_menu, const QString& i_text, const char* ip_icon, UserMenuOptions* ip_options,
                  void (UserMenuOptions::*i_slot)())
{
    QAction* action =
        ip_icon ? ip_menu->addAction(QIcon(QString::fromLatin1(ip_icon)), i_text) : ip_menu->addAction(i_text);
    QObject::connect(action, &QAction::triggered, ip_options, i_slot);
    return action;
}

// An entry whose window registers itself from above this library.
void AddTargetEntry(QMenu* ip_menu, const QString& i_text, const char* ip_icon, UserMenuOptions* ip_options,
                    void (UserMenuOptions::*i_slot)(), UserTargets::Target i_target)
{
    AddEntry(ip_menu, i_text, ip_icon, ip_options, i_slot)->setEnabled(UserTargets::IsRegistered(i_target));
}

QList<ItemPtr> RoomsFlagged(const char* ip_flag)
{
    return d->GetType(ip_flag)->GetItems().GetItems(types::kRoom).SortAlphabetic(true);
}
} // namespace

UserMenuOptions::UserMenuOptions(QMenu* ip_menu, QString i_user, QObject* ip_parent)
    : QObject(ip_parent)
    , m_user(std::move(i_user))
{
    if (!ip_menu->actions().isEmpty())
        ip_menu->addSeparator();
    const ItemPtr user = UserItem(m_user);

    AddTargetEntry(ip_menu, tr("Message user"), ":/icons/chat_icon", this, &UserMenuOptions::OnMessageUser,
                   UserTargets::PrivateChat);
    if (user.IsConnected(types::kInUserList))
    {
        AddEntry(ip_menu, tr("Set user's groups"), ":/icons/users_icon", this, &UserMenuOptions::OnSetUserGroups);
        AddEntry(ip_menu, tr("Remove user from list"), ":/icons/remove_user_icon", this,
                 &UserMenuOptions::OnRemoveUser);
    }
    else
        AddEntry(ip_menu, tr("Add user to list"), ":/icons/add_user_icon", this, &UserMenuOptions::OnAddUser);
    AddTargetEntry(ip_menu, tr("Browse user's files"), ":/icons/browse_icon", this, &UserMenuOptions::OnBrowseUser,
                   UserTargets::BrowseShares);
    AddTargetEntry(ip_menu, tr("Upload to user"), ":/icons/browse_icon", this, &UserMenuOptions::OnUploadToUser,
                   UserTargets::UploadTo);
    AddEntry(ip_menu, tr("Get User Info"), ":/icons/info_icon", this, &UserMenuOptions::OnGetUserInfo)
        ->setEnabled(userListForm != nullptr);
    AddEntry(ip_menu, HasUserMark(user, types::kUserNote) ? tr("Edit user note") : tr("Add user note"),
             ":/icons/note_icon", this, &UserMenuOptions::OnUserNote);
    AddEntry(ip_menu,
             HasUserMark(user, types::kUserOnlineAlert) ? tr("Remove online status alert")
                                                        : tr("Alert when user goes online"),
             ":/icons/alert_icon", this, &UserMenuOptions::OnAddRemoveOnlineAlert);
    if (GetSettingNumber(settings::kPrivilegesTimeLeft) > 0)
        AddTargetEntry(ip_menu, tr("Gift Privileges"), ":/icons/gift_icon", this, &UserMenuOptions::OnGiftPrivileges,
                       UserTargets::GiftPrivileges);
    ip_menu->addSeparator();
    if (HasUserMark(user, types::kUnshared))
        AddEntry(ip_menu, tr("Re-share files with user"), ":/icons/browse_icon", this,
                 &UserMenuOptions::OnReshareFilesWithUser);
    else
        AddEntry(ip_menu, tr("Unshare files from user"), ":/icons/browse_icon", this,
                 &UserMenuOptions::OnUnshareFilesFromUser);
    if (user.IsConnected(types::kIsIgnored))
        AddEntry(ip_menu, tr("Receive chat from user"), ":/icons/chat_icon", this, &UserMenuOptions::OnUnignoreUser);
    else
        AddEntry(ip_menu, tr("Ignore chat from user"), ":/icons/chat_icon", this, &UserMenuOptions::OnIgnoreUser);

    AddPrivateRooms(ip_menu);

    if (GetSetting(settings::kUserLevelLogging) == QLatin1String("yes"))
    {
        ip_menu->addSeparator();
        AddEntry(ip_menu, tr("See User Log"), nullptr, this, &UserMenuOptions::OnUserLog)->setData(m_user);
    }
}

void UserMenuOptions::AddPrivateRooms(QMenu* ip_menu)
{
    const QList<ItemPtr> owned = RoomsFlagged(types::kIsOwner);
    const QList<ItemPtr> operated = RoomsFlagged(types::kIsOperator);
    if (owned.isEmpty() && operated.isEmpty())
        return;
    ip_menu->addSeparator();
    QMenu* rooms = ip_menu->addMenu(tr("Private Rooms"));
    const ItemPtr user = UserItem(m_user);

    const auto addMembership = [&](QMenu* ip_roomMenu, ItemPtr i_room) {
        const bool member = i_room.NewItem(types::kRoomMembers).IsConnected(user);
        AddEntry(ip_roomMenu, member ? tr("Remove User's Membership") : tr("Give User Membership"), nullptr, this,
                 member ? &UserMenuOptions::OnRemoveUserMembership : &UserMenuOptions::OnAddUserMembership)
            ->setData(i_room.AsString());
        return member;
    };

    for (ItemPtr room : owned)
    {
        QMenu* roomMenu = rooms->addMenu(QIcon(QStringLiteral(":/icons/chat_icon")), MnemonicText(room.AsString()));
        QFont font = roomMenu->menuAction()->font();
        font.setWeight(QFont::Bold);
        font.setUnderline(true);
        roomMenu->menuAction()->setFont(font);
        const bool member = addMembership(roomMenu, room);
        const bool roomOperator = room.NewItem(types::kRoomOperators).IsConnected(user);
        if (!roomOperator && !member)
            continue;
        roomMenu->addSeparator();
        AddEntry(roomMenu, roomOperator ? tr("Remove User's Operator Status") : tr("Make User Operator"), nullptr, this,
                 roomOperator ? &UserMenuOptions::OnRemoveUserOperatorship : &UserMenuOptions::OnAddUserOperatorship)
            ->setData(room.AsString());
    }
    for (const ItemPtr& room : operated)
    {
        if (room.IsConnected(types::kIsOwner))
            continue;
        addMembership(rooms->addMenu(MnemonicText(room.AsString())), room);
    }
}

void UserMenuOptions::Exec(QMenu& io_menu, const QString& i_user, const QPoint& i_globalPosition)
{
    UserMenuOptions options(&io_menu, i_user);
    io_menu.exec(i_globalPosition);
}

QString UserMenuOptions::SenderRoom() const
{
    const auto* action = qobject_cast<const QAction*>(sender());
    return action ? action->data().toString() : QString();
}

void UserMenuOptions::OnMessageUser()
{
    UserTargets::Open(UserTargets::PrivateChat, m_user);
}

void UserMenuOptions::OnSetUserGroups()
{
    (new UserGroupsDialog(m_user, MainWindowWidget()))->show();
}

void UserMenuOptions::OnAddUser()
{
    UserItem(m_user).NewItem(types::kInUserList);
    if (IsSettingOn(settings::kOpenGroupsOnUserAdd))
        OnSetUserGroups();
}

void UserMenuOptions::OnRemoveUser()
{
    // The membership item goes with its group links; left behind, a group would keep it (and its
    // links) in the data file for ever.
    UserItem(m_user).GetItems(types::kInUserList).Remove();
}

void UserMenuOptions::OnBrowseUser()
{
    UserTargets::Open(UserTargets::BrowseShares, m_user);
}

void UserMenuOptions::OnUploadToUser()
{
    UserTargets::Open(UserTargets::UploadTo, m_user);
}

void UserMenuOptions::OnUserLog()
{
    (new ItemLogDialog(UserItem(m_user), MainWindowWidget()))->show();
}

void UserMenuOptions::OnUnshareFilesFromUser()
{
    if (transferQueueManager)
        transferQueueManager->UnshareUser(m_user);
}

void UserMenuOptions::OnReshareFilesWithUser()
{
    if (transferQueueManager)
        transferQueueManager->ReshareUser(m_user);
}

void UserMenuOptions::OnIgnoreUser()
{
    UserItem(m_user) += d->GetType(types::kIsIgnored)->GetGlobalNullItem();
}

void UserMenuOptions::OnUnignoreUser()
{
    UserItem(m_user).Disconnect(types::kIsIgnored);
}

void UserMenuOptions::OnAddUserMembership()
{
    gp_server->AddPrivateRoomMember(SenderRoom(), m_user);
}

void UserMenuOptions::OnRemoveUserMembership()
{
    gp_server->RemovePrivateRoomMember(SenderRoom(), m_user);
}

void UserMenuOptions::OnAddUserOperatorship()
{
    gp_server->AddPrivateRoomOperator(SenderRoom(), m_user);
}

void UserMenuOptions::OnRemoveUserOperatorship()
{
    gp_server->RemovePrivateRoomOperator(SenderRoom(), m_user);
}

void UserMenuOptions::OnUserNote()
{
    UserNoteDialog::GetDialog(m_user)->show();
}

void UserMenuOptions::OnGetUserInfo()
{
    if (!userListForm)
        return;
    FocusWidgetAndParents(userListForm->GetUserInfoForm(m_user));
}

void UserMenuOptions::OnGiftPrivileges()
{
    UserTargets::Open(UserTargets::GiftPrivileges, m_user);
}

void UserMenuOptions::OnAddRemoveOnlineAlert()
{
    ItemPtr user = UserItem(m_user);
    if (HasUserMark(user, types::kUserOnlineAlert))
    {
        user.Disconnect(types::kUserOnlineAlert);
        return;
    }
    user += d->GetType(types::kUserOnlineAlert)->GetGlobalNullItem();
    gp_server->TrackUser(m_user);
}
