#include "QRoomUserListItemWidget.h"

#include "ServerSchema.h"
#include "ShellSchema.h"

#include <algorithm>

namespace
{
bool IsAscii(const std::string& i_bytes)
{
    for (const char c : i_bytes)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// Country codes are short ASCII words: compared as bytes, without decoding them for every pair.
bool CodeLess(const ItemPtr& i_code, const ItemPtr& i_other)
{
    const std::string code = i_code.AsStdString();
    const std::string other = i_other.AsStdString();
    if (!IsAscii(code) || !IsAscii(other))
        return i_code.AsString().compare(i_other.AsString(), Qt::CaseInsensitive) < 0;
    const auto lower = [](char i_c) { return i_c >= 'A' && i_c <= 'Z' ? char(i_c - 'A' + 'a') : i_c; };
    return std::lexicographical_compare(code.begin(), code.end(), other.begin(), other.end(),
                                        [&lower](char i_a, char i_b) { return lower(i_a) < lower(i_b); });
}
} // namespace

QRoomUserListItemWidget::QRoomUserListItemWidget(QTreeWidget* ip_parent)
    : QTreeWidgetItem(ip_parent)
{
}

QRoomUserListItemWidget::~QRoomUserListItemWidget() = default;

void QRoomUserListItemWidget::SetUser(const ItemPtr& i_user)
{
    m_user = i_user;
    m_name = i_user.AsString();
    setText(2, m_name);
}

bool QRoomUserListItemWidget::operator<(const QTreeWidgetItem& i_other) const
{
    const auto* other = dynamic_cast<const QRoomUserListItemWidget*>(&i_other);
    const QString name = m_user ? m_name : text(2);
    const QString otherName = other && other->m_user ? other->m_name : i_other.text(2);
    const QTreeWidget* tree = treeWidget();
    const int column = tree ? tree->sortColumn() : 2;
    if (column != 1 && column != 3 && column != 4 && column != 5)
        return name.compare(otherName, Qt::CaseInsensitive) < 0;

    ::Type* users = ::d->GetType(types::kUser);
    const ItemPtr user = m_user ? m_user : users->HasItem(name);
    const ItemPtr otherUser = other && other->m_user ? other->m_user : users->HasItem(otherName);
    ::Type* key = ::d->GetType(column == 1   ? types::kCountryCode
                               : column == 3 ? types::kUserNote
                               : column == 4 ? types::kSharedFilesCount
                                             : types::kAverageDownloadSpeed);
    switch (column)
    {
    case 1: return CodeLess(user[key], otherUser[key]);
    case 3: return user[key] && !otherUser[key];
    default: return user[key].AsInt64() > otherUser[key].AsInt64();
    }
}
