#pragma once

#include "Data.h"
#include "DataSaver.h"

#include <QPoint>
#include <QString>
#include <QTreeWidgetItem>
#include <QWidget>

#include <memory>

class QTreeWidget;
class ServerBurstPaints;
class UserInfoForm;

namespace Ui
{
class UserListForm;
}

// A row of the user list: online users first, then by name regardless of case.
class UserListItemWidget : public QTreeWidgetItem
{
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& i_other) const override;
};

// The users tab: the user list with groups and notes, the user information pages, the unshared
// and ignored users and the online alerts, each list kept in step with the users' marks in the
// data model. Also answers other clients' requests for the own user information.
class UserListForm
    : public QWidget
    , public DataHandler
    , public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit UserListForm(QWidget* ip_parent = nullptr);
    ~UserListForm() override;

    // Declares the online alerts and listens for the end of loading; before the load.
    void Init();
    void DataLoaded() override;

    // The user's information page, made (and the request sent) when there is none.
    UserInfoForm* GetUserInfoForm(QString i_user);
    void UpdateUserGroupsDisplay(QString i_user);

    void OnUserOnline(ItemPtr i_user);
    void OnUserOffline(ItemPtr i_user);
    void OnUserAddedToList(ItemPtr i_user);
    void OnUserRemovedFromList(ItemPtr i_user);
    void OnUserUnshared(ItemPtr i_user);
    void OnUserReshared(ItemPtr i_user);
    void OnUserIgnored(ItemPtr i_user);
    void OnUserUnignored(ItemPtr i_user);
    void OnUserNoteChanged(ItemPtr i_user);
    void OnUserNoteRemoved(ItemPtr i_user);
    void OnUserOnlineAlertAdded(ItemPtr i_user);
    void OnUserOnlineAlertRemoved(ItemPtr i_user);
    void OnUserGroupAdded(ItemPtr i_user);
    void OnUserGroupRemoved(ItemPtr i_user);

public slots:
    void OnActionBarTriggered(QWidget* ip_widget, QString i_action);
    void OnUserListContextMenuRequested(QPoint i_point);
    void OnUnsharedListContextMenuRequested(QPoint i_point);
    void OnIgnoredListContextMenuRequested(QPoint i_point);
    void OnOnlineAlertListContextMenuRequested(QPoint i_point);
    void OnUserItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnUserInfoTabCloseRequested(int i_index);
    void OnUserInfoRequested(QString i_user);

private:
    QTreeWidgetItem* AddRow(QTreeWidget* ip_list, QTreeWidgetItem* ip_row, const ItemPtr& i_user,
                            const char* ip_nodeType);
    void RemoveRow(const ItemPtr& i_user, const char* ip_nodeType);
    void AddMarkedRow(QTreeWidget* ip_list, const ItemPtr& i_user, const char* ip_nodeType);
    // Moves a user-list row whose user changed to its place; the rest of the list is in order.
    void PlaceUserListRow(QTreeWidgetItem* ip_row);
    void PostOnlineAlert(const QString& i_user);
    void ShowContextMenu(QTreeWidget* ip_list, const QPoint& i_point);
    void RegisterPathHandler(const char* ip_mark, PathNodeRelation i_relation,
                             void (UserListForm::*i_handler)(ItemPtr));

    std::unique_ptr<Ui::UserListForm> m_ui;
    // A burst of status messages moves rows in every turn it is handled in.
    ServerBurstPaints* mp_listPaints = nullptr;
};

extern UserListForm* userListForm;
