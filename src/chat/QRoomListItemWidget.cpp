#include "QRoomListItemWidget.h"

#include "Data.h"
#include "ServerSchema.h"

namespace
{
// 0 owner, 1 operator, 2 member, 3 none.
int RoleRank(const QString& i_room)
{
    const ItemPtr room = d->GetType(types::kRoom)->HasItem(i_room);
    if (!room)
        return 3;
    if (room.IsConnected(types::kIsOwner))
        return 0;
    if (room.IsConnected(types::kIsOperator))
        return 1;
    return room.IsConnected(types::kIsMember) ? 2 : 3;
}
} // namespace

QRoomListItemWidget::QRoomListItemWidget(QTreeWidget* ip_parent)
    : QTreeWidgetItem(ip_parent)
{
}

QRoomListItemWidget::~QRoomListItemWidget() = default;

bool QRoomListItemWidget::operator<(const QTreeWidgetItem& i_other) const
{
    const QTreeWidget* tree = treeWidget();
    if ((tree ? tree->sortColumn() : 0) != 0)
        return text(1).toInt() < i_other.text(1).toInt();
    const QString name = text(0);
    const QString otherName = i_other.text(0);
    const int rank = RoleRank(name);
    const int otherRank = RoleRank(otherName);
    if (rank != otherRank)
        return rank < otherRank;
    return name.compare(otherName, Qt::CaseInsensitive) < 0;
}
