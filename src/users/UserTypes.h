#pragma once

#include "Data.h"

// Marks on a user that other parts declare (`unshared` by the shares engine, `user_note` by the
// main window, `user_online_alert` by the users window): a store that lacks the type holds no such
// mark, so the windows read them without requiring every part to be present.
bool HasUserMark(const ItemPtr& i_user, const char* ip_markType);

// The user's item, created when the store has none (names are UTF-8).
ItemPtr UserItem(const QString& i_user);
