#pragma once

#include "Data.h"

#include <QTreeWidgetItem>

// One row of a room's user list, column 2 the user name. Each column sorts by the user's data in
// the data model, read at sort time: country, note, files and speed (largest first), else name.
class QRoomUserListItemWidget : public QTreeWidgetItem
{
public:
    explicit QRoomUserListItemWidget(QTreeWidget* ip_parent);
    ~QRoomUserListItemWidget() override;

    // The user the row shows; its name goes in column 2. A sort of a large room compares rows
    // many times over, so each row keeps its user rather than looking the name up each time.
    void SetUser(const ItemPtr& i_user);

    bool operator<(const QTreeWidgetItem& i_other) const override;

private:
    ItemPtr m_user;
    QString m_name;
};
