#include "MainWindow.h"

#include "ActionSetToolBar.h"
#include "ChatsForm.h"
#include "CoreSchema.h"
#include "DNetManager.h"
#include "DataSaver.h"
#include "DelayedInvoker.h"
#include "DiagnosticsForm.h"
#include "Engines.h"
#include "EventToolBar.h"
#include "ExtendedAsciiTranslator.h"
#include "FocusHelpers.h"
#include "Log.h"
#include "MessageListForm.h"
#include "PeerMessenger.h"
#include "PeerSchema.h"
#include "RoomForm.h"
#include "SearchForm.h"
#include "Server.h"
#include "ServerSchema.h"
#include "SharedFoldersManager.h"
#include "SharesForm.h"
#include "ShellSchema.h"
#include "SizeManager.h"
#include "StartupPrompts.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"
#include "TransfersForm.h"
#include "TransfersSchema.h"
#include "UpdateChecker.h"
#include "UserListForm.h"
#include "UserNoteDialog.h"
#include "WishListSearcher.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QMoveEvent>
#include <QResizeEvent>
#include <QTextCodec>

MainWindow* mainWindow = nullptr;
QPalette defaultPalette;
const qint64 g_currentVersion = 20120830;

// The icons live in this static library; without this the linker would drop them.
static void InitResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace
{
template<typename Slot> EventHandler<MainWindow, ItemPtr>* Handler(MainWindow* ip_window, Slot i_slot)
{
    return new EventHandler<MainWindow, ItemPtr>(ip_window, i_slot);
}
} // namespace

MainWindow::MainWindow(QWidget* ip_parent)
    : QMainWindow(ip_parent, Qt::WindowFlags())
    , ui(new Ui::MainWindow)
    , updateChecker(std::make_unique<UpdateChecker>())
    , m_engines(std::make_unique<Engines>())
{
    mainWindow = this;
    WindowHost::Install(this);
    // A window made after an earlier one ended (tests) starts its run afresh.
    g_showIsOver = false;
    InitResources();
    ui->setupUi(this);
    ConnectForm();
    SetApplicationIcon(QStringLiteral(":/icons/offline_icon"));

    ui->roomList->setColumnWidth(0, 150);
    ui->roomList->setColumnWidth(1, 30);
    ui->roomList->setHeaderLabels({QStringLiteral("Room Name"), QStringLiteral("Users")});
    ui->roomList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->roomList, &QWidget::customContextMenuRequested, this, &MainWindow::OnRoomListContextMenuRequested);

    ui->roomSplitter->setStretchFactor(0, 1);
    ui->roomSplitter->setStretchFactor(1, 0);

    ui->sharedFoldersList->setColumnWidth(0, 400);
    ui->sharedFoldersList->setHeaderLabels({QStringLiteral("Shared folder"), QStringLiteral("Accessible to")});
}

QString MainWindow::DataFilePath()
{
    return QDir::homePath() + QStringLiteral("/.Veltrane");
}

void MainWindow::Init()
{
    setWindowTitle(QStringLiteral("VeltraneQt build %1/%2/%3")
                       .arg((g_currentVersion % 10000) / 100)
                       .arg(g_currentVersion % 100)
                       .arg(g_currentVersion / 10000));

    if (!d)
    {
        m_data = std::make_unique<Data>();
        d = m_data.get();
    }
    m_engines->timers = std::make_unique<TimerManager>();
    m_engines->saver = std::make_unique<DataSaver>();
    m_engines->server = std::make_unique<Server>();
    server = m_engines->server.get();
    DeclareSettingsTypes();
    server->CreateData();
    qRegisterMetaType<ItemPtr>("ItemPtr");

    connect(server, &Server::Connected, this, &MainWindow::OnConnected);
    connect(server, &Server::Connecting, this, &MainWindow::OnConnecting);
    connect(server, &Server::Disconnected, this, &MainWindow::OnDisconnected);
    connect(ui->roomList, &QTreeWidget::itemDoubleClicked, this, &MainWindow::OnRoomListItemDoubleClicked);

    RegisterRoomHandlers();
    ui->roomList->sortByColumn(0, Qt::AscendingOrder);
    d->AddConnectionEventHandler(d->GetType(types::kRoom), d->GetType(types::kInRoom),
                                 new EventHandler<MainWindow, ConnectionInfo&>(this, &MainWindow::OnEnteredRoom));
    // A join answered for a room still marked as joined makes no link, yet may need its tab again.
    connect(server, &Server::RoomJoined, this,
            [this](QString i_room) { RoomForm::OpenTab(ui->roomsTabControl, i_room); });

    actionBar->Init();
    DeclareMainActionSets();
    connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &MainWindow::OnToolBarActionTriggered);
    connect(qApp, &QApplication::focusChanged, this, &MainWindow::OnFocusChanged);

    m_engines->peers = std::make_unique<PeerMessenger>();
    DeclareUserTypes();
    m_engines->invoker = std::make_unique<DelayedInvoker>();
    m_engines->dnet = std::make_unique<DNetManager>();
    m_engines->shares = std::make_unique<SharedFoldersManager>();
    if (HasTray())
        trayIcon.setIcon(QIcon(QStringLiteral(":/icons/offline_icon")));
    DeclareWindowTypes();
    connect(server, &Server::PrivateChat, this, &MainWindow::OnPrivateChat);
    RegisterSharedFolderHandlers();
    new SizeManager();

    ui->diagnosticsForm->Init();
    DiagnosticsForm::RegisterLoggableItemType(types::kUser);

    m_engines->transfers = std::make_unique<TransferQueueManager>();
    ui->transfersForm->Init();
    ui->sharesForm->Init();
    ui->searchForm->Init();
    new WishListSearcher(this);

    setContextMenuPolicy(Qt::NoContextMenu);
    new EventToolBar();
    addToolBarBreak(Qt::TopToolBarArea);
    addToolBar(Qt::TopToolBarArea, eventToolBar);

    d->AddPathEventHandler(
        new PathNode(new PathNode(GetSettingItem(settings::kUsername)), types::kGlobalValue, PathRequired),
        Handler(this, &MainWindow::OnUsernameChanged));
    connect(server, &Server::ConnectionFailed, this, &MainWindow::OnConnectionFailed);

    defaultPalette = QApplication::palette();
    WriteSettingsDefaults();

    connect(ui->logRoomChatCheckBox, &QCheckBox::clicked, this, &MainWindow::OnLogRoomChatCheckBoxClicked);
    connect(ui->logPrivateChatCheckBox, &QCheckBox::clicked, this, &MainWindow::OnLogPrivateChatCheckBoxClicked);
    connect(ui->emptyShareWarningCheckBox, &QCheckBox::clicked, this,
            &MainWindow::OnEmptyShareWarningMessageCheckBoxClicked);
    d->AddPathEventHandler(new PathNode(new PathNode(GetSettingItem(settings::kObfuscatedListeningPort)),
                                        types::kGlobalValue, PathOnConnect),
                           Handler(this, &MainWindow::OnObfuscatedPortSet));
    connect(ui->maxUploadsPerUserSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &MainWindow::OnMaxUploadsPerUserSpinBoxValueChanged);

    m_translator = std::make_unique<ExtendedAsciiTranslator>();
    FillCodePageBox();
    ui->userListForm->Init();
    ui->chatsForm->MessageList()->Init();

    LoadDataFile();

    ShowCodePage();
    ApplyColours();
    SetSetting(settings::kDataVersion, "1");
    if (!GetSettingItem(settings::kUsername).IsConnected(types::kGlobalValue))
        StartupPrompts::Current()->AskLogin(this);
    if (!GetSetting(settings::kUsername).isEmpty())
        server->Connect();

    ShowFirstSettingsGroup();
    d->AddPathEventHandler(
        new PathNode(new PathNode(GetSettingItem(settings::kNewListeningPort)), types::kGlobalValue, PathRequired),
        Handler(this, &MainWindow::OnNewListeningPortChanged));
    ShowChatTimestamps();

    sizeManager->RegisterResizableWindow(QStringLiteral("main_window"), &sizeProxy);
    ui->roomSplitter->setSizes({width() - 220, 220});
    sizeManager->RegisterSplitter(QStringLiteral("room_list_splitter"), ui->roomSplitter, {});
    sizeManager->RegisterTreeWidget(QStringLiteral("room_list"), ui->roomList);

    connect(timerManager->halfMinuteTimer(), &QTimer::timeout, this, &MainWindow::EveryHalfMinute);
    connect(timerManager->fiveMinuteTimer(), &QTimer::timeout, this, &MainWindow::EveryFiveMinutes);
    connect(&trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::OnTrayIconActivated);
    UserNoteDialog::Init();
    activateWindow();

    sharedFoldersManager->Init();
    connect(sharedFoldersManager, &SharedFoldersManager::SharedFilesRescanned, this,
            &MainWindow::OnSharedFilesRescanned);

    RegisterWidgetForTabFocus(ui->usernameEdit, 1);
    RegisterWidgetForTabFocus(ui->sharedFoldersList, 1);
    connect(server, &Server::PrivateRoomAddEnabled, this, &MainWindow::OnPrivateRoomAddEnabled);
    ui->chatsForm->Init();

    d->NewType(types::kChatLogForm, Primary, false, true);
    d->GetType(types::kChatLogForm)->RelateToType(d->GetType(types::kRoom), One, One, false);
    d->GetType(types::kChatLogForm)->RelateToType(d->GetType(types::kUser), One, One, false);
    actionBar->AddSetAction(QStringLiteral("chat_log"), QStringLiteral("clear_chat_log"), QStringLiteral("Clear Log"),
                            QStringLiteral(":/icons/empty_note_icon"), false);
    actionBar->AddSetAction(QStringLiteral("chat_log"), QStringLiteral("open_log_folder"),
                            QStringLiteral("Open Log Folder"), QStringLiteral(":/icons/browse_icon"), false);
    actionBar->AddSetAction(QStringLiteral("user_chat"), QStringLiteral("user_chat_log"), QStringLiteral("Chat Log"),
                            QStringLiteral(":/icons/note_icon"), false);

    ShowSecondSettingsGroup();
    connect(ui->emptyShareWarningEdit, &QLineEdit::textEdited, this, &MainWindow::OnEmptyShareWarningEditEdited);
    connect(ui->saveEmptyShareWarningMessageButton, &QPushButton::clicked, this,
            &MainWindow::OnSaveEmptyShareWarningMessageButtonClicked);

    updateChecker->Init();
    connect(updateChecker.get(), &UpdateChecker::NewVersion, this, &MainWindow::OnNewVersion);

    ui->maxUploadsPerUserSpinBox->setValue(GetSetting(settings::kMaxQueuedUploadsPerUser).toInt());
    ui->sharedFoldersList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->sharedFoldersList, &QWidget::customContextMenuRequested, this,
            &MainWindow::OnSharedFoldersListContextMenuRequested);
    ShowThirdSettingsGroup();
    connect(server, &Server::AdminMessage, this, &MainWindow::OnAdminMessage);

    Type* excluded = d->GetType(types::kExcludedDownloadExtension);
    excluded->m_itemCreated.insert(Handler(this, &MainWindow::OnExcludedDownloadExtensionAddedOrRemoved));
    excluded->m_itemRemoved.insert(Handler(this, &MainWindow::OnExcludedDownloadExtensionRemoved));
    OnExcludedDownloadExtensionAddedOrRemoved(ItemPtr());
}

MainWindow::~MainWindow()
{
    g_showIsOver = true;
    if (gp_server)
        gp_server->Disconnect();
    if (d && dataSaver)
    {
        d->RemoveDisconnectedItems();
        dataSaver->Save(DataFilePath());
    }

    // In the order Engines declares: the transfer engine first, the timers last.
    server = nullptr;
    m_engines.reset();
    // The room rows order themselves by the store, which goes below.
    DeleteSpareRoomRows();
    ui->roomList->clear();
    delete ui;
    ui = nullptr;
    delete sizeManager;
    sizeManager = nullptr;
    if (m_data)
    {
        d = nullptr;
        m_data.reset();
    }
    // Its handlers in a store that outlives the window (tests) end with it.
    m_translator.reset();

    // The window base destroys and hides the children after this body; nothing they or the
    // application signal then may reach the half-destroyed window.
    qApp->disconnect(this);
    for (QObject* child : findChildren<QObject*>())
        child->disconnect(this);
    if (mainWindow == this)
        mainWindow = nullptr;
    if (WindowHost::Current() == this)
        WindowHost::Install(nullptr);
}
