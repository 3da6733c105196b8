#pragma once

#include "Data.h"
#include "ResizableWindow.h"
#include "WindowHost.h"

#include <QMainWindow>
#include <QPalette>
#include <QStringList>
#include <QSystemTrayIcon>

#include <ctime>
#include <memory>
#include <vector>

namespace Ui
{
class MainWindow;
}

class Engines;
class ExtendedAsciiTranslator;
class QRoomListItemWidget;
class QTreeWidgetItem;
class Server;
class UpdateChecker;

class MainWindow
    : public QMainWindow
    , public DataHandler
    , public WindowHost
{
    Q_OBJECT

public:
    // The main window's geometry as the size memory sees it.
    class SizeProxy : public ResizableWindow
    {
    public:
        int GetX() override;
        int GetY() override;
        int GetWidth() override;
        int GetHeight() override;
        void SetPosition(int i_x, int i_y) override;
        void SetSize(int i_width, int i_height) override;
    };

    explicit MainWindow(QWidget* ip_parent = nullptr);
    ~MainWindow() override;

    void Init();

    // The data file: home folder + "/.Veltrane".
    static QString DataFilePath();

    Ui::MainWindow* Form() const { return ui; }
    SizeProxy* GetSizeProxy() { return &sizeProxy; }
    QSystemTrayIcon* TrayIcon() { return &trayIcon; }

    QWidget* HostWidget() override { return this; }
    void SetApplicationIcon(const QString& i_icon) override;
    void ResetApplicationIcon() override;
    void PopupAlert(const QString& i_text) override;

    // Whether the desktop has a system tray (or a test says it has one).
    bool HasTray() const;

    // What the three calls above did, for tests: the offscreen platform has no tray to show it.
    struct CallRecorder
    {
        QStringList icons;
        QStringList alerts;
        // With `tray` set, the window behaves as on a desktop with a tray, and records what it
        // gave the tray: its icons and its balloons.
        bool tray = false;
        QStringList trayIcons;
        QStringList balloons;
    };
    // Not owned; null stops recording.
    static void InstallRecorder(CallRecorder* ip_recorder);

public slots:
    void EveryFiveMinutes();
    void EveryHalfMinute();

    void OnConnected();
    void OnConnecting();
    void OnDisconnected();
    void OnConnectionFailed(QString i_reason);
    void OnPrivateChat(QString i_user, QString i_text, time_t i_time, bool i_spontaneous);
    void OnAdminMessage(QString i_text);
    void OnNewVersion(qint64 i_version, QString i_downloadLink, QStringList i_description);
    void OnTrayIconActivated(QSystemTrayIcon::ActivationReason i_reason);
    void OnRoomListItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnRoomListContextMenuRequested(QPoint i_point);
    void OnEnterRoom();
    void OnRoomTabClosed(int i_index);
    void OnToolBarActionTriggered(QWidget* ip_widget, QString i_action);
    void OnFocusChanged(QWidget* ip_old, QWidget* ip_now);
    void OnLogRoomChatCheckBoxClicked(bool i_checked);
    void OnLogPrivateChatCheckBoxClicked(bool i_checked);
    void OnEmptyShareWarningMessageCheckBoxClicked(bool i_checked);
    void OnMaxUploadsPerUserSpinBoxValueChanged(int i_value);
    void OnCodePageSelected(int i_index);
    void OnSharedFilesRescanned(int i_folders, int i_files);
    void OnPrivateRoomAddEnabled(bool i_enabled);
    void OnEmptyShareWarningEditEdited(QString i_text);
    void OnSaveEmptyShareWarningMessageButtonClicked();
    void OnSharedFoldersListContextMenuRequested(QPoint i_point);
    void OnSetFolderPermissions();
    void OnUnshareFolder();

    // The Options pages' controls and the rooms page, connected as the form is set up.
    void OnUPnPCheckboxToggled(bool i_toggled);
    void OnMinimizeToTrayCheckboxToggled(bool i_toggled);
    void OnExpandNewSharesCheckboxToggled(bool i_toggled);
    void OnAcceptUserlistUploadsCheckboxToggled(bool i_toggled);
    void OnChatTimestampsBoxIndexChanged(int i_index);
    void OnSelectColors();
    void OnSelectPictureClicked();
    void OnUserInfoTextChanged();
    void OnClearPictureClicked();
    void OnCheckPortsClicked();
    void OnShowAwayStatusClicked(bool i_checked);
    void OnUserLevelLoggingClicked(bool i_checked);
    void OnOpenGroupsOnUserAddClicked(bool i_checked);
    void OnEditExcludedDownloadExtensionsClicked();
    void OnOptionsTabSelectionChanged(int i_tabIndex);
    void OnRoomListItemSelectionChanged();

protected:
    void moveEvent(QMoveEvent* ip_event) override;
    void resizeEvent(QResizeEvent* ip_event) override;

private:
    void ConnectForm();
    void DeclareSettingsTypes();
    void RegisterRoomHandlers();
    void DeclareMainActionSets();
    void DeclareUserTypes();
    void DeclareWindowTypes();
    void RegisterSharedFolderHandlers();
    void WriteSettingsDefaults();
    void FillCodePageBox();
    void LoadDataFile();
    void ShowCodePage();
    void ApplyColours();
    void ShowFirstSettingsGroup();
    void ShowChatTimestamps();
    void ShowSecondSettingsGroup();
    void ShowThirdSettingsGroup();

    void SetConnectButtonText(const QString& i_text);
    void ShowPrivateRoomAddEnabled(bool i_enabled);
    void ApplyRoomFont(const ItemPtr& i_room, int i_italic, int i_underline, int i_weight);
    void ResortRoomList();
    QTreeWidgetItem* SharedFolderRow(const QString& i_path) const;
    void ShowExcludedExtensions(const ItemPtr& i_leaving);
    void OnExcludedDownloadExtensionRemoved(ItemPtr i_extension);
    void OpenRoomChatLog(const QString& i_room);
    void GiveUpMembership(const QString& i_room);
    void GiveUpOwnership(const QString& i_room);
    void SetDownloadFolder();
    // Who may see a folder; a new folder to share for a null item.
    void OpenSharedFolderDialog(ItemPtr i_folder);

    void OnRoomAdded(ItemPtr i_room);
    void OnRoomRemoved(ItemPtr i_room);
    void DropGoneRoomRows();
    void DeleteSpareRoomRows();
    void OnRoomUserCountChanged(ItemPtr i_room);
    void OnBecomingRoomOwner(ItemPtr i_room);
    void OnBecomingRoomOperator(ItemPtr i_room);
    void OnBecomingRoomMember(ItemPtr i_room);
    void OnLosingRoomRole(ItemPtr i_room);
    void OnEnteredRoom(ConnectionInfo& i_info);
    void OnSharedFolderAdded(ItemPtr i_folder);
    void OnSharedFolderRemoved(ItemPtr i_folder);
    void OnSharedFolderChange(ConnectionInfo i_info);
    void OnUsernameChanged(ItemPtr i_username);
    void OnObfuscatedPortSet(ItemPtr i_port);
    void OnNewListeningPortChanged(ItemPtr i_port);
    void OnExcludedDownloadExtensionAddedOrRemoved(ItemPtr i_extension);

    Ui::MainWindow* ui = nullptr;
    Server* server = nullptr;
    SizeProxy sizeProxy;
    QSystemTrayIcon trayIcon;
    std::unique_ptr<UpdateChecker> updateChecker;
    bool m_roomListSortPending = false;
    std::vector<QRoomListItemWidget*> m_goneRoomRows;
    // Rows of rooms that went, out of the list, which the rooms of the same answer take over.
    std::vector<QRoomListItemWidget*> m_spareRoomRows;
    // The store, when this window made it; it outlives every manager.
    std::unique_ptr<Data> m_data;
    std::unique_ptr<ExtendedAsciiTranslator> m_translator;
    std::unique_ptr<Engines> m_engines;
};

extern MainWindow* mainWindow;
extern QPalette defaultPalette;
extern const qint64 g_currentVersion;
