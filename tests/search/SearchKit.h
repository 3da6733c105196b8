#pragma once

// Helpers of the search window tests that run a whole client (WindowFixture.h).

#include "ActionSetToolBar.h"
#include "FocusHelpers.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <QTreeWidget>

// Opens the context menu the view asks for at the point (viewport coordinates); returns its
// entries ("-" for a separator) and triggers the one named i_choose, if any.
inline QStringList RunContextMenu(QAbstractItemView* ip_view, const QPoint& i_point,
                                  const QString& i_choose = QString())
{
    QStringList entries;
    QTimer opened; // gone with this call when no menu opened
    opened.setSingleShot(true);
    opened.start(0);
    QObject::connect(&opened, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction* action : menu->actions())
        {
            entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
            if (!i_choose.isEmpty() && action->text() == i_choose)
                action->trigger();
        }
        menu->close();
    });
    emit ip_view->customContextMenuRequested(i_point);
    return entries;
}

// Presses the tool bar button whose text starts with i_text, as shown while the widget has the
// focus; false when there is none.
inline bool PressToolBarButton(QWidget* ip_widget, const QString& i_text)
{
    FocusWidgetAndParents(ip_widget);
    ip_widget->setFocus();
    for (QAction* action : actionBar->actions())
    {
        if (action->isVisible() && action->text().startsWith(i_text))
        {
            action->trigger();
            return true;
        }
    }
    return false;
}
