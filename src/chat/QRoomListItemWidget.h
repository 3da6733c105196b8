#pragma once

#include "Data.h"

#include <QString>
#include <QTreeWidgetItem>

// One row of the main window's room list: column 0 the room name, column 1 its user count.
// Rooms where the own user is owner, operator or member come first, then the rest by name.
// A sort compares each row many times, so the row keeps its keys: the texts as they are set,
// the own role as read last.
class QRoomListItemWidget : public QTreeWidgetItem
{
public:
    explicit QRoomListItemWidget(QTreeWidget* ip_parent);
    ~QRoomListItemWidget() override;

    bool operator<(const QTreeWidgetItem& i_other) const override;
    void setData(int i_column, int i_role, const QVariant& i_value) override;

    // Reads the own role in the room, before the row is shown it (its font), which may move it.
    void ReadRole(const ItemPtr& i_room);
    // Out of the list only: back to a row as new, for another room.
    void Clear();
    // Marks the row of a room that went, while the list takes such rows out together.
    void SetGone(bool i_gone) { m_gone = i_gone; }
    bool IsGone() const { return m_gone; }

private:
    static constexpr int kUnread = -1;
    static int RankOf(const ItemPtr& i_room);
    int Rank() const;

    QString m_name;
    qint64 m_userCount = 0;
    mutable int m_rank = kUnread;
    bool m_gone = false;
};
