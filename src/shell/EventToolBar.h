#pragma once

#include "Data.h"
#include "IconCache.h"

#include <QMenu>
#include <QTimer>
#include <QToolBar>

#include <set>

// The notification bar (global `eventToolBar`): one button per thing that happened out of view.
// A click on a button brings its widget forward through every tab that holds it and removes the
// button. While the main window is not active, the application icon blinks through the icons of
// the new events until the focus moves anywhere in the application.
//
// How a window uses it:
//   eventToolBar->AddEvent("Private message from bob", ":/icons/note_icon", chatPage, "bob: hi");
// posts an event for chatPage: no button while chatPage is visible; otherwise a button and, for a
// pop-up text other than "", a tray balloon. In the widget's showEvent:
//   eventToolBar->RemoveEvents(this);
// clears its pending buttons once the user looks at it. A destroyed widget loses its buttons.
//
// What a peer can make it hold is bounded: a widget keeps its newest kButtonsPerWidget buttons,
// the older ones go. The bar itself holds at most kButtonsOnBar of them; the newer ones wait in
// the menu of a last button, "N more", and move up as buttons before them go, so that adding one
// costs the same however many are pending.
class EventToolBar : public QToolBar
{
    Q_OBJECT

public:
    // Needs the store (`d`): the events are items of it, never saved.
    explicit EventToolBar(QWidget* ip_parent = nullptr);
    ~EventToolBar() override;

    void AddEvent(const QString& i_text, const QString& i_icon, QWidget* ip_widget, const QString& i_popupText);
    void RemoveEvents(QWidget* ip_widget);

    bool IsBlinking() const { return m_iconAlertTimer.isActive(); }

    static constexpr int kButtonsPerWidget = 20;
    static constexpr int kButtonsOnBar = 20;
    // A button's text of more characters is cut to the width of that many average characters of
    // its font.
    static constexpr int kButtonTextChars = 40;

public slots:
    void OnActionTriggered();
    void OnWidgetDestroyed(QObject* ip_widget);
    void OnIconAlertTimeout();
    void OnApplicationFocusChanged(QWidget* ip_old, QWidget* ip_new);

private:
    // After the last button went: the empty placeholder, and the bar hidden.
    void ShowPlaceholder();
    void RemoveEventsOf(const QObject* ip_widget);
    // Takes the event's button off the bar or out of the waiting menu, and moves the first
    // waiting one up when a place on the bar came free.
    void DropAction(QAction* ip_action);
    void ShowWaitingCount();

    bool m_placeholderOnly = true;
    std::set<QString> m_alertIcons;
    int m_nextAlertIcon = 0;
    QTimer m_iconAlertTimer;
    IconCache m_icons;
    QMenu m_waiting;
    QAction* mp_moreAction = nullptr;
    // Orders each widget's events, so that the oldest goes first.
    qulonglong m_nextEvent = 0;
};

extern EventToolBar* eventToolBar;
