#include "ShellWidgets.h"

#include "FocusHelpers.h"
#include "Server.h"
#include "TextUtils.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QMouseEvent>
#include <QScrollBar>
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

ServerBurstPaints::ServerBurstPaints(QAbstractItemView* ip_view)
    : QObject(ip_view)
    , mp_view(ip_view)
    , mp_server(gp_server)
{
    if (!mp_server)
        return;
    connect(mp_server, &Server::FramesTurnEnded, this, &ServerBurstPaints::OnTurnEnded);
    connect(mp_server, &QObject::destroyed, this, &ServerBurstPaints::Release);
    // Input to any part of the view: its viewport, its header, its scroll bars.
    ip_view->installEventFilter(this);
    for (QWidget* part : ip_view->findChildren<QWidget*>())
        part->installEventFilter(this);
    // Each step of a held click on a scroll bar too.
    for (QScrollBar* bar : {ip_view->horizontalScrollBar(), ip_view->verticalScrollBar()})
        connect(bar, &QAbstractSlider::actionTriggered, this, &ServerBurstPaints::ShowInput);
}

void ServerBurstPaints::Changing()
{
    // A change made before the hold would be painted at the end of the first turn.
    if (m_held.isValid() || !mp_server || !mp_server->IsHandlingFrames())
        return;
    if (m_paintDue.isValid() && m_paintDue.elapsed() < LongestHoldMs)
        return;
    m_paintDue.invalidate();
    // The viewport's own flag, which nothing else sets.
    mp_view->viewport()->setUpdatesEnabled(false);
    m_held.start();
}

bool ServerBurstPaints::eventFilter(QObject* ip_watched, QEvent* ip_event)
{
    switch (ip_event->type())
    {
    case QEvent::Timer:
        // A timer that waits fires again at the next turn, and after the release.
        return m_held.isValid() && ip_watched == mp_view;
    case QEvent::Paint:
        if (ip_watched == mp_view->viewport())
            m_paintDue.invalidate();
        break;
    case QEvent::Hide:
        if (ip_watched == mp_view)
            m_paintDue.invalidate();
        break;
    case QEvent::Resize:
        // The view's own size, which its rows do not change: the strip it gains shows at once.
        if (ip_watched == mp_view)
            ShowInput();
        break;
    case QEvent::Show:
        if (ip_watched == mp_view || ip_watched == mp_view->viewport())
            ShowInput();
        break;
    case QEvent::MouseMove:
        // A drag: a column's edge, or a selection over the rows.
        if (static_cast<QMouseEvent*>(ip_event)->buttons() != Qt::NoButton)
            ShowInput();
        break;
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::ContextMenu: ShowInput(); break;
    default: break;
    }
    return false;
}

void ServerBurstPaints::ShowInput()
{
    // What a person did shows with the next paint, even when the view was not held.
    if (mp_view->isVisible())
        m_paintDue.start();
    Release();
}

void ServerBurstPaints::OnTurnEnded(bool i_framesWaiting)
{
    if (!i_framesWaiting)
        Release();
    // After a long hold, painted now and held again from the first change after that paint.
    else if (m_held.isValid() && m_held.elapsed() >= LongestHoldMs)
    {
        if (mp_view->isVisible())
            m_paintDue.start();
        Release();
    }
}

void ServerBurstPaints::Release()
{
    if (!m_held.isValid())
        return;
    m_held.invalidate();
    // The paint lays out first what the held timers kept waiting.
    mp_view->viewport()->setUpdatesEnabled(true);
}
