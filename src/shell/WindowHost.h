#pragma once

#include <QString>

class QWidget;

// What the windows built below the main window need of it: a parent for their dialogs, whether it
// is the active window, the program's icon and the tray's balloons. The main window installs
// itself while it exists; without it dialogs have no parent and the icon and balloons do nothing.
class WindowHost
{
public:
    virtual QWidget* HostWidget() = 0;
    // The icon of the application, the main window and the tray, from a resource path.
    virtual void SetApplicationIcon(const QString& i_icon) = 0;
    // The icon for the present state: offline, away (when so chosen) or online.
    virtual void ResetApplicationIcon() = 0;
    // A tray balloon, where the desktop has a tray.
    virtual void PopupAlert(const QString& i_text) = 0;

    // Null while there is no main window. Not owned.
    static WindowHost* Current();
    static void Install(WindowHost* ip_host);

protected:
    ~WindowHost() = default;
};

// The main window as a parent of dialogs; null while there is none.
QWidget* MainWindowWidget();
bool IsMainWindowActive();
void SetApplicationIcon(const QString& i_icon);
void ResetApplicationIcon();
void PopupAlert(const QString& i_text);

// Set once the program shuts down: the windows' timers and focus handlers then do nothing.
extern bool g_showIsOver;
