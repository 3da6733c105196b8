#pragma once

#include <QString>

#include <functional>

// Windows that act on one user but are built above this library: the private chat, the browse and
// "Upload to" tabs, the gift-privileges and add-user dialogs. Each window registers how it is
// opened when it is built and clears that when it goes; until then the users windows show the
// entries that need it disabled. GUI thread only.
namespace UserTargets
{
enum Target
{
    PrivateChat,    // open or bring forward the private chat with the user
    BrowseShares,   // open or bring forward the browse tab of the user's shares
    UploadTo,       // open or bring forward the "Upload to" tab for the user
    GiftPrivileges, // show a gift-privileges dialog for the user
    AddUserDialog,  // show an add-user dialog (the user name is empty)
    TargetCount
};

using Opener = std::function<void(const QString& i_user)>;

// Registers the opener of a target, replacing any earlier one; an empty opener clears it.
void Register(Target i_target, Opener i_opener);
bool IsRegistered(Target i_target);
// Runs the target's opener for the user; false, with a log line, when none is registered.
bool Open(Target i_target, const QString& i_user);
} // namespace UserTargets
