#include "QRoomListItemWidget.h"

#include "Data.h"
#include "ServerSchema.h"

QRoomListItemWidget::QRoomListItemWidget(QTreeWidget* ip_parent)
    : QTreeWidgetItem(ip_parent)
{
}

QRoomListItemWidget::~QRoomListItemWidget() = default;

void QRoomListItemWidget::setData(int i_column, int i_role, const QVariant& i_value)
{
    // Before the base, which may move the row by the new key.
    if (i_role == Qt::DisplayRole || i_role == Qt::EditRole)
    {
        if (i_column == 0)
        {
            m_name = i_value.toString();
            m_rank = kUnread;
        }
        else if (i_column == 1)
            m_userCount = i_value.toString().toLongLong();
    }
    QTreeWidgetItem::setData(i_column, i_role, i_value);
}

void QRoomListItemWidget::ReadRole(const ItemPtr& i_room)
{
    m_rank = RankOf(i_room);
}

void QRoomListItemWidget::Clear()
{
    // The count and the own role's font are the only texts and roles a row gets besides its name.
    if (data(1, Qt::DisplayRole).isValid())
        setData(1, Qt::DisplayRole, QVariant());
    if (data(0, Qt::FontRole).isValid())
        setData(0, Qt::FontRole, QVariant());
    m_userCount = 0;
    m_rank = kUnread;
    m_gone = false;
}

// 0 owner, 1 operator, 2 member, 3 none.
int QRoomListItemWidget::RankOf(const ItemPtr& i_room)
{
    if (!i_room)
        return 3;
    if (i_room.IsConnected(types::kIsOwner))
        return 0;
    if (i_room.IsConnected(types::kIsOperator))
        return 1;
    return i_room.IsConnected(types::kIsMember) ? 2 : 3;
}

int QRoomListItemWidget::Rank() const
{
    // A row nobody told of its role reads it by name, once.
    if (m_rank == kUnread)
        m_rank = RankOf(::d->GetType(types::kRoom)->HasItem(m_name));
    return m_rank;
}

bool QRoomListItemWidget::operator<(const QTreeWidgetItem& i_other) const
{
    // The room list holds no other rows; a cast checked per comparison would cost the sort.
    const auto* other = static_cast<const QRoomListItemWidget*>(&i_other);
    const QTreeWidget* tree = treeWidget();
    if ((tree ? tree->sortColumn() : 0) != 0)
        return m_userCount < other->m_userCount;
    const int rank = Rank();
    const int otherRank = other->Rank();
    if (rank != otherRank)
        return rank < otherRank;
    return m_name.compare(other->m_name, Qt::CaseInsensitive) < 0;
}
