#pragma once

#include <QObject>
#include <QString>

class QMenu;
class QPoint;

// The menu of actions on one other user, the same in every list of users: the users window's
// lists, room user lists, private chats, the transfer lists, browse tabs and search results.
//
//     QMenu menu;                          // a list may add entries of its own first
//     UserMenuOptions options(&menu, user);
//     menu.exec(globalPos);                // the chosen entry acts before exec returns
//
// or, the same in one call: UserMenuOptions::Exec(menu, user, globalPos).
//
// The entries follow the user's marks in the data model at the moment the menu is built (in the
// user list, note, online alert, unshared, ignored, private-room membership), so a menu is built
// afresh for every click. Building the menu creates the `user` item of the name. Entries that open
// a window built above this library (private chat, browse, upload, gift privileges) go through
// UserTargets and are disabled while their window has not registered. GUI thread only.
class UserMenuOptions : public QObject
{
    Q_OBJECT

public:
    // Appends the entries to the menu (after a separator when it holds actions already) and keeps
    // the user name. Keep the object alive while the menu runs.
    UserMenuOptions(QMenu* ip_menu, QString i_user, QObject* ip_parent = nullptr);

    // Fills the menu for the user and runs it at the global position.
    static void Exec(QMenu& io_menu, const QString& i_user, const QPoint& i_globalPosition);

    QString User() const { return m_user; }

public slots:
    void OnMessageUser();
    void OnSetUserGroups();
    void OnAddUser();
    void OnRemoveUser();
    void OnBrowseUser();
    void OnUploadToUser();
    void OnUserLog();
    void OnUnshareFilesFromUser();
    void OnReshareFilesWithUser();
    void OnIgnoreUser();
    void OnUnignoreUser();
    void OnAddUserMembership();
    void OnRemoveUserMembership();
    void OnAddUserOperatorship();
    void OnRemoveUserOperatorship();
    void OnUserNote();
    void OnGetUserInfo();
    void OnGiftPrivileges();
    void OnAddRemoveOnlineAlert();

private:
    void AddPrivateRooms(QMenu* ip_menu);
    // The room named by the data of the action that triggered the running slot.
    QString SenderRoom() const;

    QString m_user;
};
