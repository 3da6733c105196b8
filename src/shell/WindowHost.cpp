#include "WindowHost.h"

#include <QWidget>

bool g_showIsOver = false;

namespace
{
WindowHost* gp_host = nullptr;
} // namespace

WindowHost* WindowHost::Current()
{
    return gp_host;
}

void WindowHost::Install(WindowHost* ip_host)
{
    gp_host = ip_host;
}

QWidget* MainWindowWidget()
{
    return gp_host ? gp_host->HostWidget() : nullptr;
}

bool IsMainWindowActive()
{
    QWidget* window = MainWindowWidget();
    return window && window->isActiveWindow();
}

void SetApplicationIcon(const QString& i_icon)
{
    if (gp_host)
        gp_host->SetApplicationIcon(i_icon);
}

void ResetApplicationIcon()
{
    if (gp_host)
        gp_host->ResetApplicationIcon();
}

void PopupAlert(const QString& i_text)
{
    if (gp_host)
        gp_host->PopupAlert(i_text);
}
