// The notification bar: each pending event is an `event_toolbar_action` item linked to the
// `event_toolbar_widget` item of the widget it concerns; neither is saved.
#include "EventToolBar.h"

#include "FocusHelpers.h"
#include "ShellSchema.h"
#include "WindowHost.h"

#include <QAction>
#include <QApplication>

EventToolBar* eventToolBar = nullptr;

EventToolBar::EventToolBar(QWidget* ip_parent)
    : QToolBar(ip_parent)
{
    eventToolBar = this;
    setObjectName(QStringLiteral("eventToolBar"));
    setMovable(false);
    if (!d->HasType(types::kEventToolbarAction))
    {
        Type* action = d->NewType(types::kEventToolbarAction, Primary, false, true);
        Type* widget = d->NewType(types::kEventToolbarWidget, Primary, false, true);
        action->RelateToType(widget, Many, One, false);
    }
    setIconSize(QSize(16, 16));
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    addAction(QString());
    connect(&m_iconAlertTimer, &QTimer::timeout, this, &EventToolBar::OnIconAlertTimeout);
    connect(qApp, &QApplication::focusChanged, this, &EventToolBar::OnApplicationFocusChanged);
    hide();
}

EventToolBar::~EventToolBar()
{
    disconnect(qApp, nullptr, this, nullptr);
    if (eventToolBar == this)
        eventToolBar = nullptr;
}

void EventToolBar::AddEvent(const QString& i_text, const QString& i_icon, QWidget* ip_widget,
                            const QString& i_popupText)
{
    if (!IsMainWindowActive())
    {
        if (m_alertIcons.empty())
        {
            m_nextAlertIcon = 0;
            m_iconAlertTimer.start(1000);
        }
        m_alertIcons.insert(i_icon);
    }
    if (ip_widget->isVisible())
        return;
    if (!i_popupText.isEmpty())
        PopupAlert(i_popupText);
    if (m_placeholderOnly)
    {
        for (QAction* action : actions())
        {
            removeAction(action);
            action->deleteLater();
        }
        m_placeholderOnly = false;
    }
    QAction* action = addAction(QIcon(i_icon), i_text);
    connect(action, &QAction::triggered, this, &EventToolBar::OnActionTriggered);
    d->GetType(types::kEventToolbarAction)->GetItem(Value(action)) +=
        d->GetType(types::kEventToolbarWidget)->GetItem(Value(ip_widget));
    connect(ip_widget, &QObject::destroyed, this, &EventToolBar::OnWidgetDestroyed, Qt::UniqueConnection);
    show();
}

void EventToolBar::ShowPlaceholder()
{
    addAction(QString());
    m_placeholderOnly = true;
    hide();
}

void EventToolBar::RemoveEvents(QWidget* ip_widget)
{
    RemoveEventsOf(ip_widget);
}

void EventToolBar::RemoveEventsOf(const QObject* ip_widget)
{
    ItemPtr widget = d->GetType(types::kEventToolbarWidget)->HasItem(Value(ip_widget));
    if (!widget)
        return;
    for (ItemPtr event : widget.GetItems(types::kEventToolbarAction))
    {
        QAction* action = event.AsPointer<QAction>();
        removeAction(action);
        action->deleteLater();
        event.Remove();
    }
    if (actions().isEmpty())
        ShowPlaceholder();
    widget.Remove();
}

void EventToolBar::OnActionTriggered()
{
    if (g_showIsOver)
        return;
    auto* action = qobject_cast<QAction*>(sender());
    ItemPtr event = d->GetType(types::kEventToolbarAction)->HasItem(Value(action));
    if (!event)
        return;
    ItemPtr widget = event[types::kEventToolbarWidget];
    removeAction(action);
    action->deleteLater();
    if (actions().isEmpty())
        ShowPlaceholder();
    event.Remove();
    QWidget* shown = widget.AsPointer<QWidget>();
    if (widget && !widget.IsConnected(types::kEventToolbarAction))
        widget.Remove();
    if (shown)
        FocusWidgetAndParents(shown);
}

void EventToolBar::OnWidgetDestroyed(QObject* ip_widget)
{
    if (g_showIsOver)
        return;
    RemoveEventsOf(ip_widget);
}

void EventToolBar::OnIconAlertTimeout()
{
    if (m_alertIcons.empty() || g_showIsOver)
        return;
    if (m_nextAlertIcon >= static_cast<int>(m_alertIcons.size()))
    {
        m_nextAlertIcon = 0;
        ResetApplicationIcon();
        return;
    }
    SetApplicationIcon(*std::next(m_alertIcons.begin(), m_nextAlertIcon));
    ++m_nextAlertIcon;
}

void EventToolBar::OnApplicationFocusChanged(QWidget*, QWidget*)
{
    if (g_showIsOver)
        return;
    const bool blinking = !m_alertIcons.empty();
    m_alertIcons.clear();
    m_iconAlertTimer.stop();
    // Without a blink the icon is already the normal one.
    if (blinking)
        ResetApplicationIcon();
}
