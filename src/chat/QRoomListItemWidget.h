#pragma once

#include <QTreeWidgetItem>

// One row of the main window's room list: column 0 the room name, column 1 its user count.
// Rooms where the own user is owner, operator or member come first, then the rest by name.
class QRoomListItemWidget : public QTreeWidgetItem
{
public:
    explicit QRoomListItemWidget(QTreeWidget* ip_parent);
    ~QRoomListItemWidget() override;

    bool operator<(const QTreeWidgetItem& i_other) const override;
};
