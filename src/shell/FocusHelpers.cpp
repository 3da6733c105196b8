#include "FocusHelpers.h"

#include <QTabWidget>
#include <QVariant>
#include <QWidget>

namespace
{
const char* const kFocusProperty = "get_focus";
} // namespace

void ForEachEnclosingTab(QWidget* ip_widget, const std::function<bool(QTabWidget*, int)>& i_visit)
{
    // A page is not a direct child of its tab widget but sits in the page stack, so the whole
    // path up from the widget is looked up among the pages, nearest to the tab widget first.
    QList<QWidget*> path{ip_widget};
    for (QWidget* ancestor = ip_widget ? ip_widget->parentWidget() : nullptr; ancestor;
         ancestor = ancestor->parentWidget())
    {
        if (auto* tabs = qobject_cast<QTabWidget*>(ancestor))
        {
            for (int at = path.size() - 1; at >= 0; --at)
            {
                const int index = tabs->indexOf(path.at(at));
                if (index < 0)
                    continue;
                if (!i_visit(tabs, index))
                    return;
                break;
            }
        }
        path.append(ancestor);
    }
}

QTabWidget* GetWidgetTabWidget(QWidget* ip_widget, int& o_index)
{
    QTabWidget* found = nullptr;
    ForEachEnclosingTab(ip_widget, [&](QTabWidget* ip_tabs, int i_index) {
        found = ip_tabs;
        o_index = i_index;
        return false;
    });
    return found;
}

void RegisterWidgetForTabFocus(QWidget* ip_widget, int i_priority)
{
    ip_widget->setProperty(kFocusProperty, i_priority);
    if (ip_widget->isVisible())
        ip_widget->setFocus();
}

void FocusWidgetAndParents(QWidget* ip_widget)
{
    ip_widget->activateWindow();
    ip_widget->setFocus();
    ForEachEnclosingTab(ip_widget, [](QTabWidget* ip_tabs, int i_index) {
        ip_tabs->setCurrentIndex(i_index);
        return true;
    });
}

int FindWidgetFocusProperty(QWidget* ip_widget, int i_best)
{
    if (!ip_widget->isVisible())
        return i_best;
    const QVariant priority = ip_widget->property(kFocusProperty);
    if (priority.isValid() && priority.toInt() > i_best)
    {
        ip_widget->setFocus();
        i_best = priority.toInt();
    }
    for (QObject* child : ip_widget->children())
        if (child->isWidgetType())
            i_best = FindWidgetFocusProperty(static_cast<QWidget*>(child), i_best);
    return i_best;
}
