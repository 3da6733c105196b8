// The notification bar: each pending event is an `event_toolbar_action` item linked to the
// `event_toolbar_widget` item of the widget it concerns; neither is saved.
#include "EventToolBar.h"

#include "FocusHelpers.h"
#include "ShellSchema.h"
#include "WindowHost.h"

#include <QAction>
#include <QApplication>
#include <QFontMetrics>
#include <QTextDocument>
#include <QToolButton>

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
    auto* action = new QAction(m_icons.Get(i_icon), i_text, this);
    // A button made from an action would show its text without "..." and with "&" read. The bar
    // is at least as wide as its first button, and the main window as the bar: a long name (a
    // peer's, a file's) is cut to what a button holds, the tooltip shows it whole.
    if (i_text.size() > kButtonTextChars)
    {
        const QFontMetrics metrics(font());
        action->setIconText(metrics.elidedText(i_text, Qt::ElideRight, metrics.averageCharWidth() * kButtonTextChars,
                                               Qt::TextShowMnemonic));
    }
    else
        action->setIconText(i_text);
    // Its tooltip would otherwise drop "..." too, and read a name such as "<img src=...>" as markup.
    action->setToolTip(Qt::convertFromPlainText(QString(i_text).replace(QLatin1String("&&"), QLatin1String("&")),
                                                Qt::WhiteSpaceNoWrap));
    action->setData(m_nextEvent++);
    connect(action, &QAction::triggered, this, &EventToolBar::OnActionTriggered);
    if (actions().size() < kButtonsOnBar)
    {
        addAction(action);
    }
    else
    {
        m_waiting.addAction(action);
        ShowWaitingCount();
    }
    ItemPtr widget = d->GetType(types::kEventToolbarWidget)->GetItem(Value(ip_widget));
    d->GetType(types::kEventToolbarAction)->GetItem(Value(action)) += widget;
    connect(ip_widget, &QObject::destroyed, this, &EventToolBar::OnWidgetDestroyed, Qt::UniqueConnection);
    const ItemSet events = widget.GetItems(types::kEventToolbarAction);
    if (events.size() > static_cast<std::size_t>(kButtonsPerWidget))
    {
        ItemPtr oldest;
        for (const ItemPtr& event : events)
            if (!oldest
                || event.AsPointer<QAction>()->data().toULongLong() < oldest.AsPointer<QAction>()->data().toULongLong())
                oldest = event;
        DropAction(oldest.AsPointer<QAction>());
        oldest.Remove();
    }
    show();
}

void EventToolBar::DropAction(QAction* ip_action)
{
    const bool onBar = actions().contains(ip_action);
    removeAction(ip_action);
    m_waiting.removeAction(ip_action);
    ip_action->deleteLater();
    const QList<QAction*> waiting = m_waiting.actions();
    if (onBar && !waiting.isEmpty())
    {
        m_waiting.removeAction(waiting.first());
        insertAction(mp_moreAction, waiting.first());
    }
    ShowWaitingCount();
}

void EventToolBar::ShowWaitingCount()
{
    const int waiting = m_waiting.actions().size();
    if (waiting == 0)
    {
        if (mp_moreAction)
            removeAction(mp_moreAction);
        return;
    }
    if (!mp_moreAction)
    {
        mp_moreAction = new QAction(this);
        mp_moreAction->setMenu(&m_waiting);
    }
    const QString text = QStringLiteral("%1 more").arg(waiting);
    mp_moreAction->setText(text);
    mp_moreAction->setIconText(text);
    if (!actions().contains(mp_moreAction))
    {
        addAction(mp_moreAction);
        if (auto* button = qobject_cast<QToolButton*>(widgetForAction(mp_moreAction)))
            button->setPopupMode(QToolButton::InstantPopup);
    }
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
        DropAction(event.AsPointer<QAction>());
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
    DropAction(action);
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
