// The Options pages: each control writes its setting the moment it changes.
#include "MainWindow.h"

#include "ActionSetToolBar.h"
#include "CoreSchema.h"
#include "ExtendedAsciiTranslator.h"
#include "ListeningPorts.h"
#include "PortForwarder.h"
#include "Server.h"
#include "ServerSchema.h"
#include "ShellSchema.h"
#include "StartupPrompts.h"
#include "TransfersSchema.h"
#include "ui_MainWindow.h"

namespace
{
QString ObfuscatedPortText(const QString& i_port)
{
    return QStringLiteral("Obfuscated port is %1, if you're manually forwarding your ports be sure to open it as well.")
        .arg(i_port);
}
} // namespace

void MainWindow::OnUPnPCheckboxToggled(bool i_toggled)
{
    SetSettingOn(settings::kUseUpnp, i_toggled);
    // Unchecking leaves the mappings made to their lease.
    if (i_toggled && server)
        server->GetPortForwarder()->Init();
}

void MainWindow::OnAcceptUserlistUploadsCheckboxToggled(bool i_toggled)
{
    SetSettingOn(settings::kAcceptUserlistUploads, i_toggled);
}

void MainWindow::OnEmptyShareWarningMessageCheckBoxClicked(bool i_checked)
{
    SetSettingOn(settings::kCheckForEmptyShares, i_checked);
}

void MainWindow::OnEmptyShareWarningEditEdited(QString i_text)
{
    ui->saveEmptyShareWarningMessageButton->setEnabled(!i_text.trimmed().isEmpty());
}

void MainWindow::OnSaveEmptyShareWarningMessageButtonClicked()
{
    SetSetting(settings::kEmptyShareMessage, ui->emptyShareWarningEdit->text());
    ui->emptyShareWarningEdit->setCursorPosition(0);
    ui->saveEmptyShareWarningMessageButton->setEnabled(false);
}

void MainWindow::OnMaxUploadsPerUserSpinBoxValueChanged(int i_value)
{
    SetSettingNumber(settings::kMaxQueuedUploadsPerUser, i_value);
}

void MainWindow::OnMinimizeToTrayCheckboxToggled(bool i_toggled)
{
    SetSettingOn(settings::kMinimizeToTray, i_toggled);
    // Without a tray there is nothing to show, and the toolkit would only warn.
    if (HasTray())
        trayIcon.setVisible(i_toggled);
}

void MainWindow::OnExpandNewSharesCheckboxToggled(bool i_toggled)
{
    SetSettingOn(settings::kExpandNewShares, i_toggled);
}

void MainWindow::OnChatTimestampsBoxIndexChanged(int i_index)
{
    static const char* const kStyles[] = {"activity_based", "per_message_short", "per_message_long"};
    SetSetting(settings::kChatTimestamps,
               QLatin1String(i_index >= 0 && i_index < 3 ? kStyles[i_index] : "no_timestamps"));
}

void MainWindow::OnLogRoomChatCheckBoxClicked(bool i_checked)
{
    SetSettingOn(settings::kLogRoomChat, i_checked);
}

void MainWindow::OnLogPrivateChatCheckBoxClicked(bool i_checked)
{
    SetSettingOn(settings::kLogPrivateChat, i_checked);
}

void MainWindow::OnCodePageSelected(int i_index)
{
    if (!extendedAsciiTranslator || i_index < 0)
        return;
    extendedAsciiTranslator->SetCodePage(i_index == 0 ? std::string()
                                                      : ui->codePageBox->itemText(i_index).toLatin1().toStdString());
}

void MainWindow::OnShowAwayStatusClicked(bool i_checked)
{
    SetSettingOn(settings::kShowAwayStatusInApplicationIcon, i_checked);
    ResetApplicationIcon();
}

void MainWindow::OnUserLevelLoggingClicked(bool i_checked)
{
    SetSettingOn(settings::kUserLevelLogging, i_checked);
}

void MainWindow::OnOpenGroupsOnUserAddClicked(bool i_checked)
{
    SetSettingOn(settings::kOpenGroupsOnUserAdd, i_checked);
}

void MainWindow::OnSelectPictureClicked()
{
    const QString path = StartupPrompts::Current()->PickFile(this, QStringLiteral("Select Picture"));
    if (path.isEmpty())
        return;
    SetSetting(settings::kUserPictureFile, path);
    ui->userPictureFilenameEdit->setText(path);
}

void MainWindow::OnClearPictureClicked()
{
    ClearSetting(settings::kUserPictureFile);
    ui->userPictureFilenameEdit->clear();
}

void MainWindow::OnUserInfoTextChanged()
{
    SetSetting(settings::kUserDescription, ui->userDescriptionEdit->toPlainText());
}

void MainWindow::ShowPrivateRoomAddEnabled(bool i_enabled)
{
    SetSettingOn(settings::kEnablePrivateRoomAdd, i_enabled);
    if (actionBar)
        actionBar->SetWidgetActionText(ui->roomList, QStringLiteral("enable_private_room_add"),
                                       i_enabled ? QStringLiteral("Reject Private Room Invitations")
                                                 : QStringLiteral("Accept Private Room Invitations"));
}

void MainWindow::OnPrivateRoomAddEnabled(bool i_enabled)
{
    ShowPrivateRoomAddEnabled(i_enabled);
}

void MainWindow::OnNewListeningPortChanged(ItemPtr i_port)
{
    const QString port = i_port[types::kGlobalValue].AsString();
    ui->listeningPortEdit->setText(port);
    ui->obfuscatedPortLabel->setText(
        ObfuscatedPortText(QString::number(ListeningPorts::ScrambledFor(ListeningPorts::Plain(port.toLongLong())))));
}

void MainWindow::OnObfuscatedPortSet(ItemPtr i_port)
{
    ui->obfuscatedPortLabel->setText(ObfuscatedPortText(i_port[types::kGlobalValue].AsString()));
}
