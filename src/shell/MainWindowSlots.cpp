// The main window's answers to the connection state, rooms, Options pages, shared folders and
// tool bar. Those windows come later; until then the slots are connected and accept the calls.
#include "MainWindow.h"

#include "ChatForm.h"
#include "ChatsForm.h"
#include "RoomForm.h"
#include "Server.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QIcon>

namespace
{
MainWindow::CallRecorder* gp_recorder = nullptr;
} // namespace

void MainWindow::InstallRecorder(CallRecorder* ip_recorder)
{
    gp_recorder = ip_recorder;
}

void MainWindow::SetApplicationIcon(const QString& i_icon)
{
    if (gp_recorder)
        gp_recorder->icons.append(i_icon);
    const QIcon icon(i_icon);
    QApplication::setWindowIcon(icon);
    setWindowIcon(icon);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        trayIcon.setIcon(icon);
}

void MainWindow::ResetApplicationIcon()
{
    if (!gp_server || !gp_server->IsConnected())
        SetApplicationIcon(QStringLiteral(":/icons/offline_icon"));
    else if (GetSetting(QStringLiteral("availability_status")) != QLatin1String("available")
             && IsSettingOn(QStringLiteral("show_away_status_in_application_icon")))
        SetApplicationIcon(QStringLiteral(":/icons/away_icon"));
    else
        SetApplicationIcon(QStringLiteral(":/icons/online_icon"));
}

void MainWindow::PopupAlert(const QString& i_text)
{
    if (gp_recorder)
        gp_recorder->alerts.append(i_text);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        trayIcon.showMessage(QString(), i_text, QSystemTrayIcon::Information, 10000);
}

void SetApplicationIcon(const QString& i_icon)
{
    if (mainWindow)
        mainWindow->SetApplicationIcon(i_icon);
}

void ResetApplicationIcon()
{
    if (mainWindow)
        mainWindow->ResetApplicationIcon();
}

void PopupAlert(const QString& i_text)
{
    if (mainWindow)
        mainWindow->PopupAlert(i_text);
}

void MainWindow::OnConnected() {}

void MainWindow::OnConnecting() {}

void MainWindow::OnDisconnected() {}

void MainWindow::OnConnectionFailed(QString) {}

void MainWindow::OnPrivateChat(QString i_user, QString i_text, time_t, bool)
{
    ui->chatsForm->GetChatForm(i_user)->AddChat(i_user, i_text);
}

void MainWindow::OnAdminMessage(QString) {}

void MainWindow::OnTrayIconActivated(QSystemTrayIcon::ActivationReason) {}

void MainWindow::OnRoomListItemDoubleClicked(QTreeWidgetItem*, int) {}

void MainWindow::OnRoomListContextMenuRequested(QPoint) {}

void MainWindow::OnFocusChanged(QWidget*, QWidget*) {}

void MainWindow::OnLogRoomChatCheckBoxClicked(bool) {}

void MainWindow::OnLogPrivateChatCheckBoxClicked(bool) {}

void MainWindow::OnEmptyShareWarningMessageCheckBoxClicked(bool) {}

void MainWindow::OnMaxUploadsPerUserSpinBoxValueChanged(int) {}

void MainWindow::OnCodePageSelected(int) {}

void MainWindow::OnSharedFilesRescanned(int, int) {}

void MainWindow::OnPrivateRoomAddEnabled(bool) {}

void MainWindow::OnEmptyShareWarningEditEdited(QString) {}

void MainWindow::OnSaveEmptyShareWarningMessageButtonClicked() {}

void MainWindow::OnSharedFoldersListContextMenuRequested(QPoint) {}

void MainWindow::OnRoomAdded(ItemPtr) {}

void MainWindow::OnRoomUserCountChanged(ItemPtr) {}

void MainWindow::OnBecomingRoomOwner(ItemPtr) {}

void MainWindow::OnBecomingRoomOperator(ItemPtr) {}

void MainWindow::OnBecomingRoomMember(ItemPtr) {}

void MainWindow::OnLosingRoomRole(ItemPtr) {}

void MainWindow::OnEnteredRoom(ConnectionInfo& i_info)
{
    RoomForm::OpenTab(ui->roomsTabControl, i_info.first.AsString());
}

void MainWindow::OnRoomTabClosed(int i_index)
{
    delete ui->roomsTabControl->widget(i_index);
}

void MainWindow::OnSharedFolderAdded(ItemPtr) {}

void MainWindow::OnSharedFolderRemoved(ItemPtr) {}

void MainWindow::OnSharedFolderChange(ConnectionInfo) {}

void MainWindow::OnUsernameChanged(ItemPtr) {}

void MainWindow::OnObfuscatedPortSet(ItemPtr) {}

void MainWindow::OnNewListeningPortChanged(ItemPtr) {}

void MainWindow::OnExcludedDownloadExtensionAddedOrRemoved(ItemPtr) {}

void MainWindow::OnUPnPCheckboxToggled(bool) {}

void MainWindow::OnMinimizeToTrayCheckboxToggled(bool) {}

void MainWindow::OnExpandNewSharesCheckboxToggled(bool) {}

void MainWindow::OnAcceptUserlistUploadsCheckboxToggled(bool) {}

void MainWindow::OnChatTimestampsBoxIndexChanged(int) {}

void MainWindow::OnSelectPictureClicked() {}

void MainWindow::OnUserInfoTextChanged() {}

void MainWindow::OnClearPictureClicked() {}

void MainWindow::OnShowAwayStatusClicked(bool) {}

void MainWindow::OnUserLevelLoggingClicked(bool) {}

void MainWindow::OnOpenGroupsOnUserAddClicked(bool) {}

void MainWindow::OnEditExcludedDownloadExtensionsClicked() {}

void MainWindow::OnRoomListItemSelectionChanged() {}
