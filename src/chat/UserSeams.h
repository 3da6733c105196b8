#pragma once

// What the chat windows offer on one user through the users page: the note dialog and the menu
// of actions on a user.

#include <QObject>
#include <QString>

#include <memory>

class QMenu;

// Brings the user's note dialog forward, opening it when needed.
void OpenUserNoteDialog(const QString& i_user);
// Appends the actions on the user to the menu; the returned object serves them until the menu
// has closed.
std::unique_ptr<QObject> FillUserMenu(QMenu* ip_menu, const QString& i_user);
