#pragma once

#include <QTreeWidgetItem>

// One row of a room's user list, column 2 the user name. Each column sorts by the user's data in
// the data model, read at sort time: country, note, files and speed (largest first), else name.
class QRoomUserListItemWidget : public QTreeWidgetItem
{
public:
    explicit QRoomUserListItemWidget(QTreeWidget* ip_parent);
    ~QRoomUserListItemWidget() override;

    bool operator<(const QTreeWidgetItem& i_other) const override;
};
