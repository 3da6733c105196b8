#pragma once

#include "ChatView.h"
#include "Data.h"

#include <QHash>
#include <QPoint>
#include <QUrl>
#include <QWidget>

#include <memory>

namespace Ui
{
class RoomForm;
}

class QTabWidget;
class QTreeWidgetItem;

// The tab of one joined room: its chat and its user list. It lives while the room is linked to
// `in_room`, linked to the room by a `room_form` item; closing the tab leaves the room.
class RoomForm
    : public QWidget
    , public DataHandler
{
    Q_OBJECT

public:
    RoomForm(const QString& i_room, QWidget* ip_parent);
    ~RoomForm() override;

    // Size memory and focus, once the form is a tab.
    void Init();

    // The tab of a room the own user is in: an existing one, else a new tab of ip_tabs named
    // after the room, set up and focused. Null when the own user is not in the room.
    static RoomForm* OpenTab(QTabWidget* ip_tabs, const QString& i_room);

    QString RoomName() const { return m_room; }

    void AddStatusMessage(const QString& i_text);
    void LogChat(const QString& i_line);

public slots:
    void OnRoomChat(QString i_room, QString i_user, QString i_chat);
    void OnConnected();
    void OnDisconnected();
    void CheckChatInactivity();
    void OnEnterPressed();
    void OnURLClicked(QUrl i_url);
    void OnUserItemClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnUserItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnUserListContextMenuRequested(QPoint i_point);

private:
    void RegisterHandlers();
    void SetUpToolBar();
    void ShowAutojoin(bool i_on);

    void OnUserAdded(ItemPtr i_user);
    void OnUserRemoved(ItemPtr i_user);
    void OnOperatorAdded(ItemPtr i_user);
    void OnOperatorRemoved(ItemPtr i_user);
    void OnLeftRoom(ItemPtr i_room);
    void OnRoomAutojoinOn(ItemPtr i_room);
    void OnRoomAutojoinOff(ItemPtr i_room);
    void OnUserNoteChanged(ItemPtr i_user);
    void OnUserNoteRemoved(ItemPtr i_user);

    // The country's flag, the file count and the speed, as the user holds them now.
    static void ShowStatistics(QTreeWidgetItem* ip_row, const ItemPtr& i_user);
    void UpdateUserCount();
    void SetOperatorWeight(const ItemPtr& i_user, int i_weight);

    Ui::RoomForm* ui;
    QString m_room;
    ItemPtr m_roomItem;
    std::unique_ptr<ChatView> m_chatView;
    // The server said the room was left: nothing more to ask it.
    bool m_left = false;
    // Leaving from the destructor may cut `in_room` at once; the form is already going then.
    bool m_destroying = false;
    // Rows by user name, so a room of thousands fills without a search per arrival.
    QHash<QString, QTreeWidgetItem*> m_rows;
};
