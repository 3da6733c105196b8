#include "UserTypes.h"

bool HasUserMark(const ItemPtr& i_user, const char* ip_markType)
{
    return d->HasType(ip_markType) && i_user.IsConnected(ip_markType);
}

ItemPtr UserItem(const QString& i_user)
{
    return d->GetType("user")->GetItem(i_user);
}
