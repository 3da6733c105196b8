// The shell's data types, its data-model handlers, the settings defaults and how the
// stored settings are shown on the Options pages.
#include "MainWindow.h"

#include "ActionSetToolBar.h"
#include "CoreSchema.h"
#include "DataSaver.h"
#include "Log.h"
#include "ServerSchema.h"
#include "SharesSchema.h"
#include "ShellSchema.h"
#include "StartupPrompts.h"
#include "TransfersSchema.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QTextCodec>

namespace
{
const QString kConfigurationArea = QStringLiteral("Configuration Data");

template<typename Slot> EventHandler<MainWindow, ItemPtr>* Handler(MainWindow* ip_window, Slot i_slot)
{
    return new EventHandler<MainWindow, ItemPtr>(ip_window, i_slot);
}

PathNode* RoomPath(const char* i_attribute, PathNodeRelation i_relation)
{
    return new PathNode(new PathNode(d, types::kRoom), i_attribute, i_relation);
}
} // namespace

void MainWindow::DeclareSettingsTypes()
{
    DeclareSettingTypes(d);
    dataSaver->AddSavedType(types::kGlobal);
    dataSaver->AddSavedByConnectionType(types::kGlobalValue, types::kGlobal);
}

void MainWindow::RegisterRoomHandlers()
{
    Type* roomNode = d->NewType(types::kRoomNode, Primary, false, true);
    d->GetType(types::kRoom)->RelateToType(roomNode, One, One, false);

    d->GetType(types::kRoom)->m_itemCreated.insert(Handler(this, &MainWindow::OnRoomAdded));
    d->GetType(types::kRoom)->m_itemRemoved.insert(Handler(this, &MainWindow::OnRoomRemoved));
    d->AddPathEventHandler(RoomPath(types::kUserCount, PathRequired),
                           Handler(this, &MainWindow::OnRoomUserCountChanged));
    d->AddPathEventHandler(RoomPath(types::kIsOwner, PathRequired), Handler(this, &MainWindow::OnBecomingRoomOwner));
    d->AddPathEventHandler(RoomPath(types::kIsOperator, PathRequired),
                           Handler(this, &MainWindow::OnBecomingRoomOperator));
    d->AddPathEventHandler(RoomPath(types::kIsMember, PathRequired), Handler(this, &MainWindow::OnBecomingRoomMember));
    d->AddPathEventHandler(RoomPath(types::kIsMember, PathExcluded), Handler(this, &MainWindow::OnLosingRoomRole));
    d->AddPathEventHandler(RoomPath(types::kIsOperator, PathExcluded), Handler(this, &MainWindow::OnLosingRoomRole));
    d->AddPathEventHandler(RoomPath(types::kIsOwner, PathExcluded), Handler(this, &MainWindow::OnLosingRoomRole));
}

void MainWindow::DeclareMainActionSets()
{
    const QString room = QStringLiteral(":/icons/room_icon");
    const QString browse = QStringLiteral(":/icons/browse_icon");
    const QString online = QStringLiteral(":icons/online_icon");

    actionBar->AddSetAction(QStringLiteral("room_list"), QStringLiteral("create_room"), QStringLiteral("Create Room"),
                            room, false);
    actionBar->AddSetAction(QStringLiteral("room_list"), QStringLiteral("refresh_room_list"),
                            QStringLiteral("Refresh Room List"), room, false);
    actionBar->AddSetAction(QStringLiteral("room_list"), QStringLiteral("enable_private_room_add"),
                            QStringLiteral("Accept Private Room Invitations"), room, false);
    actionBar->RegisterWidget(ui->roomList, QStringLiteral("room_list"));
    actionBar->AddWidgetColumnKey(ui->roomList, QStringLiteral("room"), 0);

    actionBar->AddSetAction(QStringLiteral("room"), QStringLiteral("toggle_room_autojoin"),
                            QStringLiteral("Toggle Room Autojoin"), room, false);
    actionBar->AddSetAction(QStringLiteral("room"), QStringLiteral("room_chat_log"), QStringLiteral("Chat Log"),
                            QStringLiteral(":/icons/note_icon"), false);
    actionBar->AddSetAction(QStringLiteral("room"), QStringLiteral("give_up_membership"),
                            QStringLiteral("Give Up Membership"), room, false);
    actionBar->AddSetAction(QStringLiteral("room"), QStringLiteral("give_up_ownership"), QStringLiteral("Give Up Room"),
                            room, false);

    actionBar->AddSetAction(QStringLiteral("shared_folders"), QStringLiteral("set_download_folder"),
                            QStringLiteral("Set Download Folder"), browse, false);
    actionBar->AddSetAction(QStringLiteral("shared_folders"), QStringLiteral("share_folder"),
                            QStringLiteral("Share Folder"), browse, false);
    actionBar->AddSetAction(QStringLiteral("shared_folders"), QStringLiteral("rescan_shares"),
                            QStringLiteral("Rescan Shares"), browse, false);
    actionBar->RegisterWidget(ui->fileSharingOptionsTab, QStringLiteral("shared_folders"));

    actionBar->AddSetAction(QStringLiteral("login_options"), QStringLiteral("connect_disconnect"),
                            QStringLiteral("Connect"), online, false);
    actionBar->AddSetAction(QStringLiteral("login_options"), QStringLiteral("set_user_pass"),
                            QStringLiteral("Change Username/Password"), online, false);
    actionBar->AddSetAction(QStringLiteral("login_options"), QStringLiteral("set_listening_port"),
                            QStringLiteral("Change Listening Port"), online, false);
    actionBar->RegisterWidget(ui->loginOptionsTab, QStringLiteral("login_options"));
}

void MainWindow::DeclareUserTypes()
{
    Type* wish = d->NewType(types::kWishListItem, Primary, false, true);
    Type* wishEnabled = d->NewType(types::kWishListItemEnabled, Tertiary, true, true);
    Type* note = d->NewType(types::kUserNote, Secondary, false, true);
    wish->RelateToType(wishEnabled, Many, One, false);
    d->GetType(types::kUser)->RelateToType(note, Many, One, false);
    dataSaver->AddSavedType(types::kWishListItem);
    dataSaver->AddSavedType(types::kWishListItemEnabled);
    dataSaver->AddSavedType(types::kUserNote);
    dataSaver->AddSavedByConnectionType(types::kUser, types::kUserNote);
}

void MainWindow::DeclareWindowTypes()
{
    Type* chatWidget = d->NewType(types::kUserChatWidget, Primary, false, true);
    Type* roomForm = d->NewType(types::kRoomForm, Primary, false, true);
    d->GetType(types::kUser)->RelateToType(chatWidget, One, One, false);
    d->GetType(types::kRoom)->RelateToType(roomForm, One, One, false);
}

void MainWindow::RegisterSharedFolderHandlers()
{
    Type* folder = d->GetType(types::kSharedFolder);
    folder->m_itemCreated.insert(Handler(this, &MainWindow::OnSharedFolderAdded));
    folder->m_itemRemoved.insert(Handler(this, &MainWindow::OnSharedFolderRemoved));
    folder->m_itemConnected.insert(
        new EventHandler<MainWindow, ConnectionInfo>(this, &MainWindow::OnSharedFolderChange));
    folder->m_itemDisconnected.insert(
        new EventHandler<MainWindow, ConnectionInfo>(this, &MainWindow::OnSharedFolderChange));
}

void MainWindow::WriteSettingsDefaults()
{
    const QPalette palette = QApplication::palette();
    const auto colour = [&palette](QPalette::ColorRole i_role) { return palette.color(i_role).name(); };

    SetSetting(settings::kMinimizeToTray, "yes");
    SetSetting(settings::kExpandNewShares, "yes");
    SetSetting(settings::kChatTimestamps, "activity_based");
    SetSetting(settings::kColorWindowBackground, colour(QPalette::Window));
    SetSetting(settings::kColorWindowText, colour(QPalette::WindowText));
    SetSetting(settings::kColorInputBackground, colour(QPalette::Base));
    SetSetting(settings::kColorInputText, colour(QPalette::Text));
    SetSetting(settings::kColorButtonBackground, colour(QPalette::Button));
    SetSetting(settings::kColorButtonText, colour(QPalette::ButtonText));
    SetSetting(settings::kColorTransferQueued, QColor(51, 102, 255).name());
    SetSetting(settings::kColorTransferComplete, QColor(0, 100, 0).name());
    SetSetting(settings::kColorTransferInProgress, QColor(0, 0, 255).name());
    SetSetting(settings::kColorTransferFailed, QColor(255, 10, 71).name());
    SetSetting(settings::kColorTransferOther, QColor(0, 0, 0).name());
    SetSetting(settings::kColorChatUsername, QColor(0, 51, 255).name());
    SetSetting(settings::kColorChatTimestamp, QColor(0, 102, 255).name());
    SetSetting(settings::kColorChatStatus, QColor(51, 153, 51).name());
    SetSetting(settings::kLogRoomChat, "yes");
    SetSetting(settings::kLogPrivateChat, "yes");
}

void MainWindow::FillCodePageBox()
{
    ui->codePageBox->addItem(QStringLiteral("[None]"));
    const QList<QByteArray> codecs = QTextCodec::availableCodecs();
    for (const QByteArray& name : codecs)
        ui->codePageBox->addItem(QString::fromLatin1(name));
    connect(ui->codePageBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MainWindow::OnCodePageSelected);
}

void MainWindow::LoadDataFile()
{
    const QString path = DataFilePath();
    Log(kConfigurationArea, 1, QStringLiteral("Loading configuration data from %1").arg(path), ItemPtr());
    try
    {
        dataSaver->Load(path);
        Log(kConfigurationArea, 1, QStringLiteral("Data loaded successfully."), ItemPtr());
    }
    catch (const DataLoadFailure&)
    {
        Log(kConfigurationArea, 1, QStringLiteral("Failure to load configuration data."), ItemPtr());
        StartupPrompts::Current()->Inform(this, QStringLiteral("Error loading configuration data"),
                                          QStringLiteral("Your client configuration data could not be loaded. "
                                                         "Starting from scratch..."));
        // The unreadable file stays beside the new one, and everyone finishes set-up as on a first start.
        dataSaver->NotifyFirstStart();
    }
}

void MainWindow::ShowCodePage()
{
    const QString codePage = GetSetting(settings::kExtendedAsciiCodepage);
    if (codePage.isEmpty())
        return;
    const int index = ui->codePageBox->findText(codePage, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        ui->codePageBox->setCurrentIndex(index);
}

void MainWindow::ApplyColours()
{
    QPalette palette = defaultPalette;
    const auto set = [&palette](QPalette::ColorRole i_role, const char* i_key) {
        palette.setBrush(QPalette::All, i_role, QBrush(QColor(GetSetting(i_key))));
    };
    set(QPalette::Window, settings::kColorWindowBackground);
    set(QPalette::WindowText, settings::kColorWindowText);
    set(QPalette::Base, settings::kColorInputBackground);
    set(QPalette::Text, settings::kColorInputText);
    set(QPalette::Button, settings::kColorButtonBackground);
    set(QPalette::ButtonText, settings::kColorButtonText);
    QApplication::setPalette(palette);
}

void MainWindow::ShowFirstSettingsGroup()
{
    ui->downloadFolderEdit->setText(GetSetting(settings::kDownloadFolder));
    ui->uPnPCheckBox->setChecked(IsSettingOn(settings::kUseUpnp));
    ui->autoExpandSharesCheckBox->setChecked(IsSettingOn(settings::kExpandNewShares));
    // Checking the box shows the tray icon, where there is a tray.
    if (IsSettingOn(settings::kMinimizeToTray))
        ui->minimizeToTrayCheckBox->setChecked(true);
    ui->listeningPortEdit->setText(GetSetting(settings::kListeningPort));
}

void MainWindow::ShowChatTimestamps()
{
    const QString style = GetSetting(settings::kChatTimestamps);
    int index = 3;
    if (style == QLatin1String("activity_based"))
        index = 0;
    else if (style == QLatin1String("per_message_short"))
        index = 1;
    else if (style == QLatin1String("per_message_long"))
        index = 2;
    ui->chatTimestampsBox->setCurrentIndex(index);
}

void MainWindow::ShowSecondSettingsGroup()
{
    ui->logRoomChatCheckBox->setChecked(IsSettingOn(settings::kLogRoomChat));
    ui->logPrivateChatCheckBox->setChecked(IsSettingOn(settings::kLogPrivateChat));
    ui->emptyShareWarningCheckBox->setChecked(IsSettingOn(settings::kCheckForEmptyShares));
    ui->emptyShareWarningEdit->setText(GetSetting(settings::kEmptyShareMessage));
    ui->emptyShareWarningEdit->setCursorPosition(0);
    ui->acceptUserListUploadsCheckBox->setChecked(IsSettingOn(settings::kAcceptUserlistUploads));
}

void MainWindow::ShowThirdSettingsGroup()
{
    ui->userPictureFilenameEdit->setText(GetSetting(settings::kUserPictureFile));
    ui->userDescriptionEdit->setPlainText(GetSetting(settings::kUserDescription));
    ui->showAwayStatusCheckBox->setChecked(IsSettingOn(settings::kShowAwayStatusInApplicationIcon));
    ui->userLevelLoggingCheckBox->setChecked(IsSettingOn(settings::kUserLevelLogging));
    ui->openGroupsOnUserAddCheckBox->setChecked(IsSettingOn(settings::kOpenGroupsOnUserAdd));
}

void MainWindow::EveryFiveMinutes()
{
    d->RemoveDisconnectedItems();
    const QString path = DataFilePath();
    Log(kConfigurationArea, 1, QStringLiteral("Saving configuration data to %1").arg(path), ItemPtr());
    dataSaver->Save(path);
}

void MainWindow::EveryHalfMinute() {}
