// The main window's answers to the connection state: the Connect button's text, the application
// and tray icons, login failures, and the messages that arrive for their own windows.
#include "MainWindow.h"

#include "ActionSetToolBar.h"
#include "AdminMessageDialog.h"
#include "ChatForm.h"
#include "ChatsForm.h"
#include "CoreSchema.h"
#include "Server.h"
#include "ServerSchema.h"
#include "ShellSchema.h"
#include "StartupPrompts.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QIcon>

namespace
{
MainWindow::CallRecorder* gp_recorder = nullptr;

const QString kOfflineIcon = QStringLiteral(":/icons/offline_icon");
} // namespace

void MainWindow::InstallRecorder(CallRecorder* ip_recorder)
{
    gp_recorder = ip_recorder;
}

bool MainWindow::HasTray() const
{
    return (gp_recorder && gp_recorder->tray) || QSystemTrayIcon::isSystemTrayAvailable();
}

void MainWindow::SetApplicationIcon(const QString& i_icon)
{
    if (gp_recorder)
        gp_recorder->icons.append(i_icon);
    const QIcon icon(i_icon);
    QApplication::setWindowIcon(icon);
    setWindowIcon(icon);
    if (!HasTray())
        return;
    trayIcon.setIcon(icon);
    if (gp_recorder)
        gp_recorder->trayIcons.append(i_icon);
}

void MainWindow::ResetApplicationIcon()
{
    if (!gp_server || !gp_server->IsConnected())
        SetApplicationIcon(kOfflineIcon);
    else if (GetSetting(settings::kAvailabilityStatus) != QLatin1String("available")
             && IsSettingOn(settings::kShowAwayStatusInApplicationIcon))
        SetApplicationIcon(QStringLiteral(":/icons/away_icon"));
    else
        SetApplicationIcon(QStringLiteral(":/icons/online_icon"));
}

void MainWindow::PopupAlert(const QString& i_text)
{
    if (gp_recorder)
        gp_recorder->alerts.append(i_text);
    if (!HasTray())
        return;
    trayIcon.showMessage(QString(), i_text, QSystemTrayIcon::Information, 10000);
    if (gp_recorder)
        gp_recorder->balloons.append(i_text);
}

void MainWindow::SetConnectButtonText(const QString& i_text)
{
    if (actionBar)
        actionBar->SetWidgetActionText(ui->loginOptionsTab, QStringLiteral("connect_disconnect"), i_text);
}

void MainWindow::OnConnecting()
{
    SetConnectButtonText(QStringLiteral("Connecting..."));
}

void MainWindow::OnConnected()
{
    SetConnectButtonText(QStringLiteral("Disconnect"));
    ResetApplicationIcon();
    server->GetOwnPrivilegesStatus();
    // The server forgets the choice at each login; the button follows the setting.
    ShowPrivateRoomAddEnabled(false);
}

void MainWindow::OnDisconnected()
{
    SetConnectButtonText(QStringLiteral("Connect"));
    SetApplicationIcon(kOfflineIcon);
}

void MainWindow::OnConnectionFailed(QString i_reason)
{
    const QString advice =
        QStringLiteral(" Please change your login settings in the Options tab and try reconnecting.");
    if (i_reason == QLatin1String("INVALIDPASS"))
        StartupPrompts::Current()->Inform(
            this, QStringLiteral("Login Failure: Wrong Password"),
            QStringLiteral("Login failed. The password you supplied does not match your username.") + advice);
    else if (i_reason == QLatin1String("INVALIDUSERNAME"))
        StartupPrompts::Current()->Inform(this, QStringLiteral("Login Failure: Username is Invalid"),
                                          QStringLiteral("Login failed. The username you supplied is invalid.")
                                              + advice);
    // The reconnection attempts after a lost connection fail quietly.
    else if (!server || !server->IsAbruptlyDisconnected())
        StartupPrompts::Current()->Inform(this, QStringLiteral("Login Failure"),
                                          QStringLiteral("Login failed. Reported failure reason: %1.").arg(i_reason)
                                              + advice);
    SetConnectButtonText(QStringLiteral("Connect"));
}

void MainWindow::OnPrivateChat(QString i_user, QString i_text, time_t, bool)
{
    ui->chatsForm->GetChatForm(i_user)->AddChat(i_user, i_text);
}

void MainWindow::OnAdminMessage(QString i_text)
{
    auto* dialog = new AdminMessageDialog(i_text, this);
    dialog->setWindowFlags(dialog->windowFlags() | Qt::WindowStaysOnTopHint);
    dialog->show();
}

void MainWindow::OnTrayIconActivated(QSystemTrayIcon::ActivationReason i_reason)
{
    if (i_reason != QSystemTrayIcon::Trigger)
        return;
    showNormal();
    activateWindow();
}

void MainWindow::OnUsernameChanged(ItemPtr i_username)
{
    ui->usernameEdit->setText(i_username[types::kGlobalValue].AsString());
}

void MainWindow::OnFocusChanged(QWidget*, QWidget*) {}
