// The shell's data types, its data-model handlers, the settings defaults and how the
// stored settings are shown on the Options pages.
#include "MainWindow.h"

#include "ActionSetToolBar.h"
#include "DataSaver.h"
#include "Log.h"
#include "StartupPrompts.h"
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
    return new PathNode(new PathNode(d, "room"), i_attribute, i_relation);
}
} // namespace

void MainWindow::DeclareSettingsTypes()
{
    DeclareSettingTypes(d);
    dataSaver->AddSavedType("global");
    dataSaver->AddSavedByConnectionType("global_value", "global");
}

void MainWindow::RegisterRoomHandlers()
{
    Type* roomNode = d->NewType("room_node", Primary, false, true);
    d->GetType("room")->RelateToType(roomNode, One, One, false);

    d->GetType("room")->m_itemCreated.insert(Handler(this, &MainWindow::OnRoomAdded));
    d->AddPathEventHandler(RoomPath("user_count", PathRequired), Handler(this, &MainWindow::OnRoomUserCountChanged));
    d->AddPathEventHandler(RoomPath("is_owner", PathRequired), Handler(this, &MainWindow::OnBecomingRoomOwner));
    d->AddPathEventHandler(RoomPath("is_operator", PathRequired), Handler(this, &MainWindow::OnBecomingRoomOperator));
    d->AddPathEventHandler(RoomPath("is_member", PathRequired), Handler(this, &MainWindow::OnBecomingRoomMember));
    d->AddPathEventHandler(RoomPath("is_member", PathExcluded), Handler(this, &MainWindow::OnLosingRoomRole));
    d->AddPathEventHandler(RoomPath("is_operator", PathExcluded), Handler(this, &MainWindow::OnLosingRoomRole));
    d->AddPathEventHandler(RoomPath("is_owner", PathExcluded), Handler(this, &MainWindow::OnLosingRoomRole));
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
    Type* wish = d->NewType("wish_list_item", Primary, false, true);
    Type* wishEnabled = d->NewType("wish_list_item_enabled", Tertiary, true, true);
    Type* note = d->NewType("user_note", Secondary, false, true);
    wish->RelateToType(wishEnabled, Many, One, false);
    d->GetType("user")->RelateToType(note, Many, One, false);
    dataSaver->AddSavedType("wish_list_item");
    dataSaver->AddSavedType("wish_list_item_enabled");
    dataSaver->AddSavedType("user_note");
    dataSaver->AddSavedByConnectionType("user", "user_note");
}

void MainWindow::DeclareWindowTypes()
{
    Type* chatWidget = d->NewType("user_chat_widget", Primary, false, true);
    Type* roomForm = d->NewType("room_form", Primary, false, true);
    d->GetType("user")->RelateToType(chatWidget, One, One, false);
    d->GetType("room")->RelateToType(roomForm, One, One, false);
}

void MainWindow::RegisterSharedFolderHandlers()
{
    Type* folder = d->GetType("shared_folder");
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

    SetSetting("minimize_to_tray", "yes");
    SetSetting("expand_new_shares", "yes");
    SetSetting("chat_timestamps", "activity_based");
    SetSetting("color_window_background", colour(QPalette::Window));
    SetSetting("color_window_text", colour(QPalette::WindowText));
    SetSetting("color_input_background", colour(QPalette::Base));
    SetSetting("color_input_text", colour(QPalette::Text));
    SetSetting("color_button_background", colour(QPalette::Button));
    SetSetting("color_button_text", colour(QPalette::ButtonText));
    SetSetting("color_transfer_queued", QColor(51, 102, 255).name());
    SetSetting("color_transfer_complete", QColor(0, 100, 0).name());
    SetSetting("color_transfer_in_progress", QColor(0, 0, 255).name());
    SetSetting("color_transfer_failed", QColor(255, 10, 71).name());
    SetSetting("color_transfer_other", QColor(0, 0, 0).name());
    SetSetting("color_chat_username", QColor(0, 51, 255).name());
    SetSetting("color_chat_timestamp", QColor(0, 102, 255).name());
    SetSetting("color_chat_status", QColor(51, 153, 51).name());
    SetSetting("log_room_chat", "yes");
    SetSetting("log_private_chat", "yes");
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
    const QString codePage = GetSetting("extended_ascii_codepage");
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
    set(QPalette::Window, "color_window_background");
    set(QPalette::WindowText, "color_window_text");
    set(QPalette::Base, "color_input_background");
    set(QPalette::Text, "color_input_text");
    set(QPalette::Button, "color_button_background");
    set(QPalette::ButtonText, "color_button_text");
    QApplication::setPalette(palette);
}

void MainWindow::ShowFirstSettingsGroup()
{
    ui->downloadFolderEdit->setText(GetSetting("download_folder"));
    ui->uPnPCheckBox->setChecked(IsSettingOn("use_upnp"));
    ui->autoExpandSharesCheckBox->setChecked(IsSettingOn("expand_new_shares"));
    // Checking the box shows the tray icon, where there is a tray.
    if (IsSettingOn("minimize_to_tray"))
        ui->minimizeToTrayCheckBox->setChecked(true);
    ui->listeningPortEdit->setText(GetSetting("listening_port"));
}

void MainWindow::ShowChatTimestamps()
{
    const QString style = GetSetting("chat_timestamps");
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
    ui->logRoomChatCheckBox->setChecked(IsSettingOn("log_room_chat"));
    ui->logPrivateChatCheckBox->setChecked(IsSettingOn("log_private_chat"));
    ui->emptyShareWarningCheckBox->setChecked(IsSettingOn("check_for_empty_shares"));
    ui->emptyShareWarningEdit->setText(GetSetting("empty_share_message"));
    ui->emptyShareWarningEdit->setCursorPosition(0);
    ui->acceptUserListUploadsCheckBox->setChecked(IsSettingOn("accept_userlist_uploads"));
}

void MainWindow::ShowThirdSettingsGroup()
{
    ui->userPictureFilenameEdit->setText(GetSetting("user_picture_file"));
    ui->userDescriptionEdit->setPlainText(GetSetting("user_description"));
    ui->showAwayStatusCheckBox->setChecked(IsSettingOn("show_away_status_in_application_icon"));
    ui->userLevelLoggingCheckBox->setChecked(IsSettingOn("user_level_logging"));
    ui->openGroupsOnUserAddCheckBox->setChecked(IsSettingOn("open_groups_on_user_add"));
}

void MainWindow::EveryFiveMinutes()
{
    d->RemoveDisconnectedItems();
    const QString path = DataFilePath();
    Log(kConfigurationArea, 1, QStringLiteral("Saving configuration data to %1").arg(path), ItemPtr());
    dataSaver->Save(path);
}

void MainWindow::EveryHalfMinute() {}
