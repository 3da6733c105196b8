#include "UserTypes.h"

#include "ServerSchema.h"

bool HasUserMark(const ItemPtr& i_user, const char* ip_markType)
{
    return d->HasType(ip_markType) && i_user.IsConnected(ip_markType);
}

ItemPtr UserItem(const QString& i_user)
{
    return d->GetType(types::kUser)->GetItem(i_user);
}
