#pragma once

#include "Data.h"

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

public slots:
    void OnActionTriggered();
    void OnWidgetDestroyed(QObject* ip_widget);
    void OnIconAlertTimeout();
    void OnApplicationFocusChanged(QWidget* ip_old, QWidget* ip_new);

private:
    // After the last button went: the empty placeholder, and the bar hidden.
    void ShowPlaceholder();
    void RemoveEventsOf(const QObject* ip_widget);

    bool m_placeholderOnly = true;
    std::set<QString> m_alertIcons;
    int m_nextAlertIcon = 0;
    QTimer m_iconAlertTimer;
};

extern EventToolBar* eventToolBar;
