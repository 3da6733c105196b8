#include "StartupFixture.h"
#include "TestServer.h"

#include "DataSaver.h"
#include "Server.h"
#include "TimerManager.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QImage>
#include <QtTest>

// The program's start-up, saves and shutdown, each test a whole run of the main window on a
// real store, real data file and real managers.
class TestStartup
    : public QObject
    , public DataHandler
{
    Q_OBJECT

private:
    ScriptedPrompts m_prompts;
    std::unique_ptr<MainWindow> m_window;
    // What the collector saw when it removed an orphaned note.
    bool m_connectedAtCollection = true;
    bool m_fileAtCollection = true;

    QString DataPath() const { return MainWindow::DataFilePath(); }

    void Run()
    {
        m_window = std::make_unique<MainWindow>();
        m_window->show();
        m_window->Init();
    }

    void OnNoteRemoved(ItemPtr)
    {
        m_connectedAtCollection = gp_server && gp_server->IsConnected();
        m_fileAtCollection = QFile::exists(DataPath());
    }

    // The settings a data file holds, read back through a bare store.
    static QMap<QString, QString> SavedSettings(const QString& i_path, QStringList* op_notes = nullptr)
    {
        Data* previous = d;
        auto store = std::make_unique<Data>();
        d = store.get();
        DataSaver saver;
        DeclareSettingTypes(d);
        Type* user = d->NewType("user", Primary, false, true);
        Type* note = d->NewType("user_note", Secondary, false, true);
        user->RelateToType(note, Many, One, false);
        saver.Load(i_path);
        QMap<QString, QString> settings;
        for (const ItemPtr& key : d->GetType("global")->GetItems())
            settings.insert(key.AsString(), key["global_value"].AsString());
        for (const ItemPtr& item : op_notes ? note->GetItems() : ItemSet())
            *op_notes << item.AsString();
        d = previous;
        return settings;
    }

private slots:
    void init()
    {
        QFile::remove(DataPath());
        QFile::remove(DataPath() + QStringLiteral(".bad"));
        m_prompts = ScriptedPrompts();
        StartupPrompts::Install(&m_prompts);
    }

    void cleanup()
    {
        m_window.reset();
        StartupPrompts::Install(nullptr);
    }

    // No data file: a first start. The defaults are written, everyone finishes set-up, the login
    // is asked for, and without a user name nothing connects.
    void firstStart()
    {
        const QPalette palette = QApplication::palette();
        const QMap<QString, QString> defaults{{"minimize_to_tray", "yes"},
                                              {"expand_new_shares", "yes"},
                                              {"chat_timestamps", "activity_based"},
                                              {"log_room_chat", "yes"},
                                              {"log_private_chat", "yes"},
                                              {"data_version", "1"},
                                              {"upload_slots", "1"},
                                              {"use_upnp", "yes"},
                                              {"download_folder", QDir::homePath() + "/Veltrane Downloads"},
                                              {"color_window_background", palette.color(QPalette::Window).name()},
                                              {"color_window_text", palette.color(QPalette::WindowText).name()},
                                              {"color_input_background", palette.color(QPalette::Base).name()},
                                              {"color_input_text", palette.color(QPalette::Text).name()},
                                              {"color_button_background", palette.color(QPalette::Button).name()},
                                              {"color_button_text", palette.color(QPalette::ButtonText).name()},
                                              {"color_transfer_queued", "#3366ff"},
                                              {"color_transfer_complete", "#006400"},
                                              {"color_transfer_in_progress", "#0000ff"},
                                              {"color_transfer_failed", "#ff0a47"},
                                              {"color_transfer_other", "#000000"},
                                              {"color_chat_username", "#0033ff"},
                                              {"color_chat_timestamp", "#0066ff"},
                                              {"color_chat_status", "#339933"}};
        Run();
        for (auto setting = defaults.cbegin(); setting != defaults.cend(); ++setting)
            QCOMPARE(QString(setting.key() + '=' + GetSetting(setting.key())),
                     QString(setting.key() + '=' + setting.value()));
        QCOMPARE(LogTexts(QStringLiteral("Configuration Data")),
                 QStringList({QStringLiteral("Loading configuration data from ") + QDir::homePath()
                                  + QStringLiteral("/.Veltrane"),
                              QStringLiteral("Data loaded successfully.")}));
        QCOMPARE(m_prompts.m_logins, 1);
        QVERIFY(m_prompts.AllOver(m_window.get()));
        QVERIFY(m_prompts.m_informed.isEmpty());
        QCOMPARE(gp_server->GetState(), Server::StateIdle);
        QVERIFY(d->GetType("excluded_download_extension")->HasItem(".ini"));
        QVERIFY(!GetSetting(QStringLiteral("listening_port")).isEmpty());
        QCOMPARE(m_window->windowTitle(), QStringLiteral("VeltraneQt build 8/30/2012"));
        QVERIFY(!m_window->windowIcon().isNull());
        // The offscreen desktop has no tray: the tray icon stays without an icon.
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        QVERIFY(m_window->TrayIcon()->icon().isNull());

        Ui::MainWindow* ui = m_window->Form();
        QVERIFY(ui->minimizeToTrayCheckBox->isChecked() && ui->logRoomChatCheckBox->isChecked());
        QVERIFY(ui->autoExpandSharesCheckBox->isChecked());
        QVERIFY(!ui->emptyShareWarningCheckBox->isChecked());
        QCOMPARE(ui->downloadFolderEdit->text(), QDir::homePath() + "/Veltrane Downloads");
        QCOMPARE(ui->maxUploadsPerUserSpinBox->value(), 200);
        QCOMPARE(ui->emptyShareWarningEdit->cursorPosition(), 0);
        QVERIFY(!QFile::exists(DataPath()));
    }

    // Every icon the program ships is a 16 x 16 picture on a clear ground, no two alike, and
    // every button the context tool bar can show finds its picture.
    void iconsLoad()
    {
        Run();
        const QStringList names = QDir(QStringLiteral(":/icons")).entryList();
        QCOMPARE(names.size(), 23);
        QHash<QByteArray, QString> seen;
        for (const QString& name : names)
        {
            const QImage image(":/icons/" + name);
            QVERIFY2(image.size() == QSize(16, 16) && image.hasAlphaChannel(), qPrintable(name));
            QVERIFY2(qAlpha(image.pixel(0, 0)) == 0 && qAlpha(image.pixel(15, 0)) == 0, qPrintable(name));
            const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
            const QByteArray bits(reinterpret_cast<const char*>(argb.constBits()), int(argb.sizeInBytes()));
            QVERIFY2(!seen.contains(bits), qPrintable(name + " looks like " + seen.value(bits)));
            seen.insert(bits, name);
        }
        const ItemSet paths = d->GetType("toolbar_action_icon")->GetItems();
        QVERIFY(paths.size() > 5);
        for (const ItemPtr& path : paths)
            QVERIFY2(!QIcon(path.AsString()).pixmap(16).isNull(), qPrintable(path.AsString()));
    }

    void storedSettingsWin_data()
    {
        QTest::addColumn<QString>("timestamps");
        QTest::addColumn<int>("timestampIndex");
        QTest::addColumn<QString>("codePage");
        QTest::addColumn<QString>("codePageShown");
        QTest::newRow("activity") << "activity_based" << 0 << "ISO-8859-2"
                                  << "ISO-8859-2";
        QTest::newRow("short") << "per_message_short" << 1 << "iso-8859-2"
                               << "[None]";
        QTest::newRow("long") << "per_message_long" << 2 << "NoSuchCodePage"
                              << "[None]";
        QTest::newRow("none") << "no_timestamps" << 3 << ""
                              << "[None]";
        QTest::newRow("unknown") << "sometimes" << 3 << ""
                                 << "[None]";
    }

    void storedSettingsWin()
    {
        QFETCH(QString, timestamps);
        QFETCH(int, timestampIndex);
        QFETCH(QString, codePage);
        QFETCH(QString, codePageShown);
        QMap<QString, QString> settings = QuietSettings();
        settings.insert({{"chat_timestamps", timestamps},
                         {"extended_ascii_codepage", codePage},
                         {"minimize_to_tray", "no"},
                         {"log_room_chat", "Yes"},
                         {"upload_slots", "3"},
                         {"data_version", "0"},
                         {"color_window_background", "#123456"}});
        QVERIFY(WriteDataFile(DataPath(), settings));
        Run();

        Ui::MainWindow* ui = m_window->Form();
        QCOMPARE(ui->chatTimestampsBox->currentIndex(), timestampIndex);
        QCOMPARE(ui->codePageBox->currentText(), codePageShown);
        QVERIFY(!ui->minimizeToTrayCheckBox->isChecked());
        QVERIFY(!m_window->TrayIcon()->isVisible());
        QVERIFY(!ui->logRoomChatCheckBox->isChecked());
        QVERIFY(ui->logPrivateChatCheckBox->isChecked());
        QCOMPARE(GetSetting(QStringLiteral("upload_slots")), QStringLiteral("3"));
        QCOMPARE(GetSetting(QStringLiteral("data_version")), QStringLiteral("1"));
        QCOMPARE(ui->listeningPortEdit->text(), settings.value(QStringLiteral("listening_port")));
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            QCOMPARE(QApplication::palette().color(group, QPalette::Window), QColor(0x12, 0x34, 0x56));
        QCOMPARE(LogTexts(QStringLiteral("Configuration Data")).size(), 2);
    }

    // A file that cannot be read is kept aside and the run goes on as a first start.
    void loadFailureKeepsTheFile()
    {
        const QByteArray garbage("this is no data file of ours, but it is somebody's data");
        QFile file(DataPath());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(garbage) == garbage.size());
        file.close();
        Run();
        QCOMPARE(LogTexts(QStringLiteral("Configuration Data")),
                 QStringList({QStringLiteral("Loading configuration data from ") + DataPath(),
                              QStringLiteral("Failure to load configuration data.")}));
        QCOMPARE(m_prompts.m_informed.size(), 1);
        QCOMPARE(m_prompts.m_informed.first().first, QStringLiteral("Error loading configuration data"));
        QCOMPARE(m_prompts.m_informed.first().second,
                 QStringLiteral("Your client configuration data could not be loaded. Starting from scratch..."));
        // Defaults written again and the first-start listeners run.
        QCOMPARE(m_prompts.m_logins, 1);
        QCOMPARE(GetSetting(QStringLiteral("upload_slots")), QStringLiteral("1"));
        QVERIFY(d->GetType("excluded_download_extension")->HasItem(".ini"));
        QVERIFY(!GetSetting(QStringLiteral("listening_port")).isEmpty());

        m_window.reset();
        QFile kept(DataPath() + QStringLiteral(".bad"));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), garbage);
        QCOMPARE(SavedSettings(DataPath()).value(QStringLiteral("data_version")), QStringLiteral("1"));
    }

    // With a stored user name the connection starts during start-up and the login completes
    // in the event loop; shutdown disconnects, then collects, then saves.
    void loginThenShutdownOrder()
    {
        TestServer server;
        QVERIFY(server.Listen());
        server.AddAccount(QStringLiteral("tester"), QStringLiteral("secret"));
        QMap<QString, QString> settings = QuietSettings();
        settings.insert({{"username", "tester"},
                         {"password", "secret"},
                         {"server_host", "127.0.0.1"},
                         {"server_port", QString::number(server.Port())}});
        QVERIFY(WriteDataFile(DataPath(), settings));

        Run();
        QCOMPARE(m_prompts.m_logins, 0);
        QVERIFY(gp_server->GetState() != Server::StateIdle);
        QVERIFY(!gp_server->IsConnected());
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 10000);
        QVERIFY(server.IsLoggedIn(QStringLiteral("tester")));

        d->GetType("user_note")->GetItem("orphaned note");
        d->GetType("user")->GetItem("friend") += d->GetType("user_note")->GetItem("kept note");
        d->GetType("user_note")
            ->m_itemRemoved.insert(new EventHandler<TestStartup, ItemPtr>(this, &TestStartup::OnNoteRemoved));
        QFile::remove(DataPath());

        m_window.reset();
        QVERIFY(!m_connectedAtCollection);
        QVERIFY(!m_fileAtCollection);
        QStringList notes;
        const QMap<QString, QString> saved = SavedSettings(DataPath(), &notes);
        QCOMPARE(notes, QStringList({QStringLiteral("kept note")}));
        QCOMPARE(saved.value(QStringLiteral("username")), QStringLiteral("tester"));
        QTRY_VERIFY(!server.IsLoggedIn(QStringLiteral("tester")));
    }

    // The tick collects, then saves; a value no key holds any more and a volatile setting stay out.
    void fiveMinuteTickSaves()
    {
        QVERIFY(WriteDataFile(DataPath(), QuietSettings()));
        Run();
        QFile::remove(DataPath());
        SetSetting(QStringLiteral("user_description"), QStringLiteral("replaced text"));
        SetSetting(QStringLiteral("user_description"), QStringLiteral("saved by the tick"));
        SetVolatileSetting(QStringLiteral("wish_list_wait"), QStringLiteral("never saved"));
        d->GetType("user_note")->GetItem("orphaned note");

        timerManager->TickFiveMinutes();
        QVERIFY(!d->GetType("user_note")->HasItem("orphaned note"));
        QCOMPARE(LogTexts(QStringLiteral("Configuration Data")).mid(2),
                 QStringList({QStringLiteral("Saving configuration data to ") + DataPath()}));
        QCOMPARE(SavedSettings(DataPath()).value(QStringLiteral("user_description")),
                 QStringLiteral("saved by the tick"));
        QFile file(DataPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(!bytes.contains("replaced text") && !bytes.contains("never saved"));
    }
};

QTEST_MAIN(TestStartup)
#include "test_startup.moc"
