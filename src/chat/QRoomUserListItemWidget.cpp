#include "QRoomUserListItemWidget.h"

#include "Data.h"

QRoomUserListItemWidget::QRoomUserListItemWidget(QTreeWidget* ip_parent)
    : QTreeWidgetItem(ip_parent)
{
}

QRoomUserListItemWidget::~QRoomUserListItemWidget() = default;

bool QRoomUserListItemWidget::operator<(const QTreeWidgetItem& i_other) const
{
    const QString name = text(2);
    const QString otherName = i_other.text(2);
    const QTreeWidget* tree = treeWidget();
    const int column = tree ? tree->sortColumn() : 2;
    if (column != 1 && column != 3 && column != 4 && column != 5)
        return name.compare(otherName, Qt::CaseInsensitive) < 0;

    ::Type* users = ::d->GetType("user");
    const ItemPtr user = users->HasItem(name);
    const ItemPtr other = users->HasItem(otherName);
    switch (column)
    {
    case 1: return user["country_code"].AsString().compare(other["country_code"].AsString(), Qt::CaseInsensitive) < 0;
    case 3: return user.IsConnected("user_note") && !other.IsConnected("user_note");
    case 4: return user["shared_files_count"].AsInt64() > other["shared_files_count"].AsInt64();
    default: return user["average_download_speed"].AsInt64() > other["average_download_speed"].AsInt64();
    }
}
