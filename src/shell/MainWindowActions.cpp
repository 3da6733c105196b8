// What the main window's tool bar actions do: those of the room list, a room tab, the File
// Sharing page and the Login page.
#include "MainWindow.h"
#include "ServerSchema.h"
#include "ShellSchema.h"
#include "TransfersSchema.h"

#include "ActionSetToolBar.h"
#include "ChangeListeningPortDialog.h"
#include "ChangeUsernamePasswordDialog.h"
#include "ChatLogForm.h"
#include "CreateRoomDialog.h"
#include "FocusHelpers.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "StartupPrompts.h"
#include "TextUtils.h"
#include "ui_MainWindow.h"

void MainWindow::OnToolBarActionTriggered(QWidget*, QString i_action)
{
    const QString room = actionBar ? actionBar->GetKey(QStringLiteral("room")) : QString();
    if (i_action == QLatin1String("refresh_room_list"))
        server->GetRoomList();
    else if (i_action == QLatin1String("create_room"))
    {
        if (!createRoomDialog)
            new CreateRoomDialog(this);
        createRoomDialog->show();
    }
    else if (i_action == QLatin1String("enable_private_room_add"))
        // The stored state changes only when the server confirms.
        server->EnablePrivateRoomAdd(!IsSettingOn(settings::kEnablePrivateRoomAdd));
    else if (i_action == QLatin1String("share_folder"))
        OpenSharedFolderDialog(ItemPtr());
    else if (i_action == QLatin1String("set_download_folder"))
        SetDownloadFolder();
    else if (i_action == QLatin1String("rescan_shares"))
        sharedFoldersManager->RescanShares();
    else if (i_action == QLatin1String("toggle_room_autojoin"))
    {
        ItemPtr item = d->GetType(types::kRoom)->HasItem(Value(room));
        if (!item)
            return;
        if (item.IsConnected(types::kRoomAutojoin))
            item.Disconnect(types::kRoomAutojoin);
        else
            item.NewItem(types::kRoomAutojoin);
    }
    else if (i_action == QLatin1String("room_chat_log"))
        OpenRoomChatLog(room);
    else if (i_action == QLatin1String("give_up_membership"))
        GiveUpMembership(room);
    else if (i_action == QLatin1String("give_up_ownership"))
        GiveUpOwnership(room);
    else if (i_action == QLatin1String("set_user_pass"))
    {
        if (server->IsConnected())
            StartupPrompts::Current()->Inform(
                this, QStringLiteral("Cannot change username while online"),
                QStringLiteral("You must be disconnected from the Veltrane server to change your username."));
        else
            (new ChangeUsernamePasswordDialog(false, this))->show();
    }
    else if (i_action == QLatin1String("set_listening_port"))
        (new ChangeListeningPortDialog(this))->show();
    else if (i_action == QLatin1String("connect_disconnect"))
    {
        if (server->IsConnected())
            server->Disconnect();
        else
            server->Connect();
    }
}

void MainWindow::SetDownloadFolder()
{
    const QString folder = StartupPrompts::Current()->ChooseFolder(this, QStringLiteral("Set Download Folder"));
    if (folder.isEmpty())
        return;
    SetSetting(settings::kDownloadFolder, folder);
    ui->downloadFolderEdit->setText(folder);
}

// The log's file name comes from the one function that also names the file the room tab writes.
void MainWindow::OpenRoomChatLog(const QString& i_room)
{
    if (const ItemPtr room = d->GetType(types::kRoom)->HasItem(Value(i_room)))
        ChatLogForm::Open(ui->roomsTabControl, room, ChatLogKind::Room);
}

void MainWindow::GiveUpMembership(const QString& i_room)
{
    const ItemPtr item = d->GetType(types::kRoom)->HasItem(Value(i_room));
    if (!item.IsConnected(types::kIsMember) || item.IsConnected(types::kIsOwner))
        return;
    if (StartupPrompts::Current()->Ask(
            this, QStringLiteral("Give up membership?"),
            QStringLiteral("Are you sure you want to give up your membership to the %1 private room?")
                .arg(IsolatedName(i_room)),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes)
        server->GiveUpPrivateRoomMembership(i_room);
}

void MainWindow::GiveUpOwnership(const QString& i_room)
{
    const ItemPtr item = d->GetType(types::kRoom)->HasItem(Value(i_room));
    if (!item.IsConnected(types::kIsOwner))
        return;
    StartupPrompts* prompts = StartupPrompts::Current();
    if (prompts->Ask(this, QStringLiteral("Give up membership?"),
                     QStringLiteral("Are you SURE you want to give up your ownership of the %1 private room?")
                         .arg(IsolatedName(i_room)),
                     QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes
        || prompts->Ask(this, QStringLiteral("REALLY?"), QStringLiteral("REALLY?"), QMessageBox::Yes | QMessageBox::No,
                        QMessageBox::No)
               != QMessageBox::Yes)
        return;
    server->GiveUpPrivateRoom(i_room);
    server->LeaveRoom(i_room);
}
