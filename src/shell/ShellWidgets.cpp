#include "ShellWidgets.h"

#include "FocusHelpers.h"
#include "TextUtils.h"

#include <QTabBar>

TabWidget::TabWidget(QWidget* ip_parent)
    : QTabWidget(ip_parent)
{
    connect(this, &QTabWidget::currentChanged, this, &TabWidget::OnTabChanged);
}

void TabWidget::OnTabChanged(int i_tab)
{
    // Closing the last tab reports -1.
    if (i_tab == -1)
        return;
    FindWidgetFocusProperty(widget(i_tab), 0);
    // The style's own colour, so that a dark palette keeps the title readable.
    tabBar()->setTabTextColor(i_tab, QColor());
}

void TabWidget::MarkTabActivity(QWidget* ip_widget)
{
    ForEachEnclosingTab(ip_widget, [](QTabWidget* ip_tabs, int i_index) {
        if (qobject_cast<TabWidget*>(ip_tabs) && ip_tabs->currentIndex() != i_index)
            ip_tabs->tabBar()->setTabTextColor(i_index, Qt::blue);
        return true;
    });
}

void TreeWidget::keyPressEvent(QKeyEvent* ip_event)
{
    emit KeyPressed(ip_event);
    QTreeWidget::keyPressEvent(ip_event);
}

QString IsolatingDelegate::displayText(const QVariant& i_value, const QLocale& i_locale) const
{
    return IsolatedName(QStyledItemDelegate::displayText(i_value, i_locale));
}

void IsolatingDelegate::Install(QAbstractItemView* ip_view)
{
    ip_view->setItemDelegate(new IsolatingDelegate(ip_view));
}
