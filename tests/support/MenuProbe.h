#pragma once

// The context menu a widget opens, read and answered as a user would:
//   QStringList entries = OpenMenu(tree, point, "Remove download");
// emits the widget's customContextMenuRequested(point), reads the menu that opens ("-" for a
// separator, "title[entry|entry]" for a submenu), closes it and triggers the entry with the text
// given, searched in submenus too. An empty list when no menu opened.

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <QWidget>

inline QStringList MenuEntries(const QMenu* ip_menu, const QString& i_choose, QAction*& o_chosen)
{
    QStringList entries;
    for (QAction* action : ip_menu->actions())
    {
        if (action->isSeparator())
            entries << QStringLiteral("-");
        else if (action->menu())
            entries << action->text() + QLatin1Char('[')
                           + MenuEntries(action->menu(), i_choose, o_chosen).join(QLatin1Char('|')) + QLatin1Char(']');
        else
            entries << action->text();
        if (!i_choose.isEmpty() && action->text() == i_choose)
            o_chosen = action;
    }
    return entries;
}

inline QStringList OpenMenu(QWidget* ip_widget, const QPoint& i_point, const QString& i_choose = QString())
{
    QStringList entries;
    QTimer opened; // gone with this call when no menu opened
    opened.setSingleShot(true);
    opened.start(0);
    QObject::connect(&opened, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        QAction* chosen = nullptr;
        entries = MenuEntries(menu, i_choose, chosen);
        menu->close();
        if (chosen)
            chosen->trigger();
    });
    emit ip_widget->customContextMenuRequested(i_point);
    return entries;
}
