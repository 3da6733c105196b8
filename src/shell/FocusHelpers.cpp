#include "FocusHelpers.h"

#include <QVariant>
#include <QWidget>

void RegisterWidgetForTabFocus(QWidget* ip_widget, int i_order)
{
    ip_widget->setProperty("get_focus", i_order);
    if (ip_widget->isVisible())
        ip_widget->setFocus();
}
