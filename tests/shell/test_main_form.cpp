#include "ActionSetToolBar.h"
#include "ChangeListeningPortDialog.h"
#include "ChangeUsernamePasswordDialog.h"
#include "ColorSelectionDialog.h"
#include "HttpResponder.h"
#include "Log.h"
#include "NewVersionDialog.h"
#include "PeerMessenger.h"
#include "Screenshot.h"
#include "SharedFoldersManager.h"
#include "ShellWidgets.h"
#include "SizeManager.h"
#include "TransferQueueManager.h"
#include "TransfersForm.h"
#include "UpdateChecker.h"
#include "WindowFixture.h"
#include "ui_MainWindow.h"

#include <QAction>
#include <QDesktopServices>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidgetItemIterator>
#include <QtTest>

// Answers the first start's login with the real dialog on the stack, and the colour picker.
class Prompts : public ScriptedPrompts
{
public:
    void AskLogin(QWidget* ip_parent) override
    {
        ChangeUsernamePasswordDialog dialog(true, ip_parent);
        m_title = dialog.windowTitle();
        dialog.findChild<QLineEdit*>("usernameEdit")->setText(m_username);
        dialog.findChild<QLineEdit*>("passwordEdit")->setText(" secret ");
        m_username.isEmpty() ? dialog.reject() : dialog.accept();
        m_deletesItself = dialog.testAttribute(Qt::WA_DeleteOnClose);
    }
    QColor PickColor(QWidget*, const QColor&) override { return m_colour; }

    QString m_username, m_title;
    bool m_deletesItself = true;
    QColor m_colour;
};

// Keeps the addresses the desktop was asked to open.
class Browser : public QObject
{
    Q_OBJECT

public:
    Browser() { QDesktopServices::setUrlHandler("http", this, "Open"); }
    ~Browser() override { QDesktopServices::unsetUrlHandler("http"); }
    QStringList m_urls;

public slots:
    void Open(const QUrl& i_url) { m_urls << i_url.toString(); }
};

namespace
{
bool Gone(const QPointer<QDialog>& i_dialog)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return i_dialog.isNull();
}

template<class Dialog> Dialog* Shown()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<Dialog*>(widget); dialog && dialog->isVisible())
            return dialog;
    return nullptr;
}

QString Text(QWidget* ip_dialog, const char* i_edit)
{
    return ip_dialog->findChild<QLineEdit*>(i_edit)->text();
}

QStringList Settings(const QStringList& i_keys)
{
    QStringList values;
    for (const QString& key : i_keys)
        values << GetSetting(key);
    return values;
}
} // namespace

// The main window's form and Options pages, and the login, listening port, colour and
// new-version dialogs with the version check, each in a real main window.
class TestMainForm : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<WindowRun> m_run;
    Prompts m_prompts;

    bool Start(const QMap<QString, QString>& i_settings = {}, bool i_login = true)
    {
        m_run = std::make_unique<WindowRun>();
        StartupPrompts::Install(&m_prompts);
        return m_run->Start(i_settings, i_login);
    }
    Ui::MainWindow* Form() { return m_run->window->Form(); }

private slots:
    void init() { m_prompts = Prompts(); }
    void cleanup() { m_run.reset(); }

    // The form builds every tab's window, and the bar, before any manager exists.
    void formBeforeManagers()
    {
        MainWindow window;
        Ui::MainWindow* ui = window.Form();
        QVERIFY(transfersForm && actionBar && ui->chatsForm && ui->searchForm && ui->userListForm && ui->sharesForm);
        QVERIFY(!gp_server && !peerMessenger && !transferQueueManager && !sharedFoldersManager && !sizeManager);
        QStringList texts;
        for (int tab = 0; tab < ui->tabControl->count(); ++tab)
            texts << ui->tabControl->tabText(tab);
        QCOMPARE(texts.join(' '), QStringLiteral("Transfers Rooms Chat Search Users Browse Options Diagnostics"));
        QCOMPARE(ui->tabControl->currentWidget(), ui->roomsTab);
        QCOMPARE(ui->roomsTabControl->currentIndex(), -1);
        QCOMPARE(ui->optionsTabControl->currentWidget(), ui->loginOptionsTab);
        for (QTabWidget* tabs : {ui->tabControl, ui->roomsTabControl, ui->optionsTabControl})
            QVERIFY2(qobject_cast<TabWidget*>(tabs), qPrintable(tabs->objectName()));
    }

    // File Sharing focuses the shared folders, so the bar shows their actions; "Check Ports" opens
    // one page per port even when both are the same.
    void optionsPages()
    {
        QVERIFY(Start({{"listening_port", "40001"}, {"obfuscated_listening_port", "40001"}}, false));
        QVERIFY(QTest::qWaitForWindowActive(m_run->window.get()));
        Form()->tabControl->setCurrentWidget(Form()->optionsTab);
        Form()->optionsTabControl->setCurrentWidget(Form()->fileSharingOptionsTab);
        QTRY_COMPARE(QApplication::focusWidget(), Form()->sharedFoldersList);
        QCOMPARE(actionBar->CurrentWidget(), Form()->fileSharingOptionsTab);
        Browser browser;
        QTest::mouseClick(Form()->checkPortsButton, Qt::LeftButton);
        const QString page = QStringLiteral("http://tools.veltrane.net/porttest.php?port=40001");
        QCOMPARE(browser.m_urls, QStringList({page, page}));
    }

    // The plain port's page first, then the scrambled one's; where the desktop opens neither, one
    // message names both.
    void checkPortsOpensEachPortsPage()
    {
        QVERIFY(Start({{"listening_port", "40001"}, {"obfuscated_listening_port", "40005"}}, false));
        const QString plain = QStringLiteral("http://tools.veltrane.net/porttest.php?port=40001");
        const QString scrambled = QStringLiteral("http://tools.veltrane.net/porttest.php?port=40005");
        {
            Browser browser;
            QTest::mouseClick(Form()->checkPortsButton, Qt::LeftButton);
            QCOMPARE(browser.m_urls, QStringList({plain, scrambled}));
        }
        QVERIFY(m_prompts.m_informed.isEmpty());
        QTest::mouseClick(Form()->checkPortsButton, Qt::LeftButton);
        QCOMPARE(m_prompts.m_informed,
                 (QList<QPair<QString, QString>>{
                     {"Cannot open", "The desktop could not open:\n" + plain + '\n' + scrambled}}));
    }

    void loginDialog_data()
    {
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("password");
        QTest::newRow("trimmed") << " alice smith "
                                 << " pass word\t";
        QTest::newRow("blank name") << "   "
                                    << "secret";
        QTest::newRow("blank password") << "alice"
                                        << " ";
    }

    // Offered only while offline; OK stores both trimmed, or does nothing while either is blank.
    void loginDialog()
    {
        QFETCH(QString, username);
        QFETCH(QString, password);
        QVERIFY(Start());
        emit actionBar->ActionTriggered(nullptr, "set_user_pass");
        QCOMPARE(m_prompts.m_informed.value(0).first, QStringLiteral("Cannot change username while online"));
        QVERIFY(!Shown<ChangeUsernamePasswordDialog>());
        gp_server->Disconnect();
        emit actionBar->ActionTriggered(nullptr, "set_user_pass");
        QPointer<QDialog> dialog = Shown<ChangeUsernamePasswordDialog>();
        QVERIFY(dialog);
        QCOMPARE(Text(dialog, "usernameEdit") + Text(dialog, "passwordEdit"), QStringLiteral("testersecret"));
        QCOMPARE(dialog->findChild<QLineEdit*>("passwordEdit")->echoMode(), QLineEdit::Normal);
        dialog->findChild<QLineEdit*>("usernameEdit")->setText(username);
        dialog->findChild<QLineEdit*>("passwordEdit")->setText(password);
        dialog->accept();
        const bool stored = QTest::currentDataTag() == QLatin1String("trimmed");
        QCOMPARE(Gone(dialog), stored);
        QCOMPARE(Settings({"username", "password"}),
                 stored ? QStringList({username.trimmed(), password.trimmed()}) : QStringList({"tester", "secret"}));
        QVERIFY(!gp_server->IsConnected());
    }

    void firstStart_data()
    {
        QTest::addColumn<QString>("username");
        QTest::newRow("OK") << "tester";
        QTest::newRow("Cancel") << "";
    }

    // The first start's dialog lives on the stack; only a stored name leads to a login.
    void firstStart()
    {
        QFETCH(QString, username);
        m_prompts.m_username = username;
        QVERIFY(Start({}, false));
        QCOMPARE(m_prompts.m_title, QStringLiteral("Set Username/Password"));
        QVERIFY(!m_prompts.m_deletesItself);
        if (username.isEmpty())
        {
            QVERIFY(!HasSetting("username"));
            QTest::qWait(300);
            QCOMPARE(m_run->server.AcceptedConnections(), 0);
        }
        else
            QTRY_VERIFY(gp_server->IsConnected());
    }

    void portDialog_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("box");
        const char* range = "Port number must be in the range of 1 to 65534.";
        QTest::newRow("empty") << "" << range;
        QTest::newRow("leading zero") << "0" << range;
        QTest::newRow("65535") << "65535" << range;
        QTest::newRow("99999") << "99999" << range;
        QTest::newRow("in use") << "40100"
                                << "Port number has not been changed.";
        QTest::newRow("pending again") << "40300"
                                       << "Changes to the listening port will take effect after a client restart.";
        QTest::newRow("new") << "40200"
                             << "Changes to the listening port will take effect after a client restart.";
    }

    // Refusals keep the dialog and the pending port; a change replaces the pending port.
    void portDialog()
    {
        QFETCH(QString, typed);
        QFETCH(QString, box);
        QVERIFY(Start({{"listening_port", "40100"}}, false));
        SetSetting("new_listening_port", "40300");
        emit actionBar->ActionTriggered(nullptr, "set_listening_port");
        QPointer<QDialog> dialog = Shown<ChangeListeningPortDialog>();
        QCOMPARE(Text(dialog, "portEdit"), QStringLiteral("40100"));
        dialog->findChild<QLineEdit*>("portEdit")->clear();
        QTest::keyClicks(dialog->findChild<QLineEdit*>("portEdit"), typed);
        dialog->accept();
        QCOMPARE(m_prompts.m_informed.value(0).second, box);
        const bool changed = box.startsWith("Changes");
        QCOMPARE(Gone(dialog), changed);
        QCOMPARE(GetSetting("new_listening_port"), changed ? typed : QStringLiteral("40300"));
    }

    // Nothing is stored or applied before Save; Save applies, stores all fourteen, re-colours the
    // transfer rows and closes.
    void colourDialog()
    {
        QVERIFY(Start({{"color_chat_status", "not a colour"}, {"color_transfer_queued", "#654321"}}, false));
        QStringList keys;
        for (const char* key : ColorSelectionDialog::kKeys)
            keys << key;
        const QStringList before = Settings(keys);
        const QPalette palette = QApplication::palette();
        transferQueueManager->AddDownload("bob", "song.mp3", "music", 1000, 0);
        const auto rowColours = [] {
            QStringList colours;
            for (QTreeWidget* tree : transfersForm->findChildren<QTreeWidget*>())
                for (QTreeWidgetItemIterator row(tree); *row; ++row)
                    colours << (*row)->foreground(0).color().name();
            return colours;
        };
        QTRY_VERIFY(rowColours().contains("#654321"));
        const auto swatch = [](QDialog* ip_dialog, const char* i_name) {
            return ColorSelectionDialog::SwatchColor(ip_dialog->findChild<QLineEdit*>(i_name)).name();
        };

        QPointer<ColorSelectionDialog> dialog = new ColorSelectionDialog(m_run->window.get());
        QCOMPARE(swatch(dialog, "chatStatusColor"), QStringLiteral("#339933"));
        dialog->OnChangeWindowText();
        QCOMPARE(swatch(dialog, "windowTextColor"), palette.color(QPalette::WindowText).name());
        m_prompts.m_colour = QColor("#aa0000");
        dialog->OnResetToDefaults();
        dialog->OnChangeWindowBackground();
        dialog->close();
        QVERIFY(Gone(dialog.data()));
        QCOMPARE(Settings(keys), before);
        QCOMPARE(QApplication::palette(), palette);

        dialog = new ColorSelectionDialog(m_run->window.get());
        dialog->OnResetToDefaults();
        dialog->OnChangeWindowBackground();
        dialog->OnSaveColors();
        QVERIFY(Gone(dialog.data()));
        QStringList expected = {"#aa0000"};
        for (QPalette::ColorRole role :
             {QPalette::WindowText, QPalette::Base, QPalette::Text, QPalette::Button, QPalette::ButtonText})
            expected << defaultPalette.color(role).name();
        expected << QStringList{"#0033ff", "#0066ff", "#339933", "#3366ff", "#0000ff", "#006400", "#ff0a47", "#000000"};
        QCOMPARE(Settings(keys), expected);
        QCOMPARE(QApplication::palette().color(QPalette::Inactive, QPalette::Window), QColor("#aa0000"));
        QVERIFY(rowColours().contains("#3366ff") && !rowColours().contains("#654321"));
        dialog = new ColorSelectionDialog(m_run->window.get());
        QCOMPARE(swatch(dialog, "windowBackgroundColor"), QStringLiteral("#aa0000"));
        QApplication::setPalette(defaultPalette);
    }

    void versionFile_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<qint64>("skipped");
        QTest::addColumn<QStringList>("changes");
        const QByteArray tail = "http://example.org/base\npkg\nfirst\n\nlast\n";
        const QStringList all = {"first", "", "last"};
        QTest::newRow("same build") << "20120830\n" + tail << qint64(0) << QStringList();
        QTest::newRow("one build on") << "20120831\n" + tail << qint64(0) << all;
        QTest::newRow("CR-LF, no final LF") << QByteArray("20120831\r\nhttp://example.org/base\r\npkg\r\nfirst\r\nlast")
                                            << qint64(0) << QStringList({"first", "last"});
        QTest::newRow("skipped") << "20120831\n" + tail << qint64(20120831) << QStringList();
        QTest::newRow("after the skipped") << "20120901\n" + tail << qint64(20120831) << all;
        QTest::newRow("not a number") << "soon\n" + tail << qint64(0) << QStringList();
        QTest::newRow("no stem") << QByteArray("20120831\nhttp://example.org\n\n") << qint64(0) << QStringList();
        QTest::newRow("file address") << QByteArray("20120831\nfile:///tmp\npkg\n") << qint64(0) << QStringList();
        QTest::newRow("other scheme") << QByteArray("20120831\nhelper://run\npkg\n") << qint64(0) << QStringList();
    }

    // What a version file offers: base/Linux/stem.tgz and the change lines, or nothing.
    void versionFile()
    {
        QFETCH(QByteArray, file);
        QFETCH(qint64, skipped);
        QFETCH(QStringList, changes);
        const UpdateChecker::Offer offer = UpdateChecker::ParseVersionFile(file, g_currentVersion, skipped);
        QCOMPARE(offer.m_version, changes.isEmpty() ? 0 : file.left(8).toLongLong());
        QCOMPARE(offer.m_downloadLink, changes.isEmpty() ? QString() : "http://example.org/base/Linux/pkg.tgz");
        QCOMPARE(offer.m_description, changes);
    }

    void versionCheck_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::newRow("offer") << HttpResponder::Ok("20120901\r\nhttp://example.org/b\r\npkg\r\n<b>faster</b>\r\n");
        QTest::newRow("404") << HttpResponder::Reply("404 Not Found", "20991231\nhttp://x.org\npkg\n");
        QTest::newRow("moved") << HttpResponder::Reply("301 Moved Permanently", "20991231\nhttp://x.org\npkg\n");
        QTest::newRow("reset") << QByteArray();
    }

    // Fetched after the first login of the run only; failures are silent. The dialog offers the
    // download, and skipping closes it for good.
    void versionCheck()
    {
        QFETCH(QByteArray, response);
        HttpResponder web;
        QVERIFY(web.Listen());
        web.Answer(response);
        QVERIFY(Start({{"version_file_url", QString::fromLatin1(web.Url("/qtversion.txt").toEncoded())}}));
        QTRY_VERIFY(!web.m_paths.isEmpty());
        QCOMPARE(web.m_paths.first(), QStringLiteral("/qtversion.txt"));
        if (QTest::currentDataTag() != QLatin1String("offer"))
        {
            QTest::qWait(300);
            QVERIFY(!Shown<NewVersionDialog>() && m_prompts.m_informed.isEmpty());
            return;
        }
        QTRY_VERIFY(Shown<NewVersionDialog>());
        QPointer<NewVersionDialog> dialog = Shown<NewVersionDialog>();
        QVERIFY(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(dialog->windowTitle() + Text(dialog, "currentVersionEdit") + Text(dialog, "newVersionEdit"),
                 QStringLiteral("VeltraneQt UpdateBuild 8/30/2012Build 9/1/2012"));
        QCOMPARE(dialog->findChild<QTextEdit*>()->toPlainText(), QStringLiteral("<b>faster</b>"));
        Browser browser;
        QTest::mouseClick(dialog->findChild<QPushButton*>("downloadButton"), Qt::LeftButton);
        QCOMPARE(browser.m_urls, QStringList("http://example.org/b/Linux/pkg.tgz"));
        QVERIFY(dialog->isVisible());
        QTest::mouseClick(dialog->findChild<QPushButton*>("skipButton"), Qt::LeftButton);
        QVERIFY(Gone(dialog.data()));
        QCOMPARE(GetSetting("skip_version"), QStringLiteral("20120901"));

        m_run->server.DropConnection("tester");
        QTRY_VERIFY(!gp_server->IsConnected());
        gp_server->Connect();
        QTRY_VERIFY(gp_server->IsConnected());
        QTest::qWait(200);
        QCOMPARE(web.m_paths.size(), 1);

        // The skipped build stays skipped after a restart, though the file is read again.
        m_run->window.reset();
        m_run->window = std::make_unique<MainWindow>();
        m_run->window->show();
        m_run->window->Init();
        QTRY_COMPARE(web.m_paths.size(), 2);
        QTest::qWait(300);
        QVERIFY(!Shown<NewVersionDialog>());
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        QVERIFY(Start());
        SAVE_SCREENSHOT(m_run->window.get(), "main_window");
        Form()->tabControl->setCurrentWidget(Form()->optionsTab);
        for (int page = 0; page < 4; ++page)
        {
            Form()->optionsTabControl->setCurrentIndex(page);
            const QString name = "options_" + Form()->optionsTabControl->tabText(page).toLower().replace(' ', '_');
            QVERIFY(SaveScreenshot(m_run->window.get(), name).isEmpty());
        }
        // The log lines of start-up, shown a turn after they were written.
        Form()->tabControl->setCurrentWidget(Form()->tab);
        QVERIFY(SaveScreenshot(m_run->window.get(), "diagnostics").isEmpty());
        // A round's burst of lines in one turn: the page follows the newest.
        for (int n = 0; n < 300; ++n)
            Log(QStringLiteral("Transfer Queue"), 1,
                QStringLiteral("Requesting place in line for download of track %1.mp3 from uploader").arg(n));
        auto* pages = Form()->diagnosticsForm->findChild<QTabWidget*>();
        pages->setCurrentIndex(pages->count() - 1);
        QVERIFY(SaveScreenshot(m_run->window.get(), "diagnostics_burst").isEmpty());
        MainWindow* window = m_run->window.get();
        QString error = SaveScreenshot(new ChangeUsernamePasswordDialog(false, window), "login_dialog");
        error += SaveScreenshot(new ChangeListeningPortDialog(window), "port_dialog");
        error += SaveScreenshot(new ColorSelectionDialog(window), "colour_dialog");
        error +=
            SaveScreenshot(new NewVersionDialog(20120901, "http://example.org/b/Linux/pkg.tgz",
                                                {"Faster searches", "Fixed a crash when closing a room tab"}, window),
                           "new_version_dialog");
        QVERIFY2(error.isEmpty(), qPrintable(error));

        // The real message where the desktop has no browser for Check Ports.
        StartupPrompts::Install(nullptr);
        QString shown = QStringLiteral("no message was shown");
        QTimer grab;
        grab.setSingleShot(true);
        connect(&grab, &QTimer::timeout, [&shown] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            {
                shown = SaveScreenshot(box, "cannot_open_message");
                box->accept();
            }
        });
        grab.start(200);
        QTest::mouseClick(Form()->checkPortsButton, Qt::LeftButton);
        StartupPrompts::Install(&m_prompts);
        QVERIFY2(shown.isEmpty(), qPrintable(shown));
    }
};

QTEST_MAIN(TestMainForm)
#include "test_main_form.moc"
