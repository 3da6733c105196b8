#pragma once

// Small helpers of the users windows' tests, which run in a WindowRun (WindowFixture.h).

#include "Data.h"
#include "UserListForm.h"

#include <QAction>
#include <QMenu>
#include <QStringList>
#include <QTreeWidget>

inline ItemPtr User(const QString& i_name)
{
    return d->GetType("user")->GetItem(i_name);
}

// Links the user to the shared item of a flag type (`is_ignored`, `user_online_alert`, ...).
inline void Flag(const QString& i_user, const char* ip_flag)
{
    User(i_user) += d->GetType(ip_flag)->GetGlobalNullItem();
}

inline QTreeWidget* List(const char* ip_name)
{
    return userListForm->findChild<QTreeWidget*>(QString::fromLatin1(ip_name));
}

// Each row's cells of one column, top to bottom.
inline QStringList Column(QTreeWidget* ip_list, int i_column = 0)
{
    QStringList cells;
    for (int row = 0; row < ip_list->topLevelItemCount(); ++row)
        cells << ip_list->topLevelItem(row)->text(i_column);
    return cells;
}

// The menu as text: entries, "-" for separators, submenus as "title[entry|entry]".
inline QStringList Entries(const QMenu* ip_menu)
{
    QStringList entries;
    for (QAction* action : ip_menu->actions())
    {
        if (action->isSeparator())
            entries << QStringLiteral("-");
        else if (action->menu())
            entries << action->text() + QLatin1Char('[') + Entries(action->menu()).join(QLatin1Char('|'))
                           + QLatin1Char(']');
        else
            entries << action->text();
    }
    return entries;
}

inline QAction* Entry(const QMenu* ip_menu, const QString& i_text)
{
    for (QAction* action : ip_menu->actions())
    {
        if (action->text() == i_text)
            return action;
        if (action->menu())
            if (QAction* inner = Entry(action->menu(), i_text))
                return inner;
    }
    return nullptr;
}
