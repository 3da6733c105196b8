#include "ActionSetToolBar.h"
#include "EventToolBar.h"
#include "NestedTabs.h"
#include "Screenshot.h"
#include "ServerCodes.h"
#include "WindowFixture.h"
#include "Wire.h"
#include "ui_MainWindow.h"

#include <QDesktopServices>
#include <QLineEdit>
#include <QMenu>
#include <QUrlQuery>
#include <QtTest>

// The main window's two bars in a real run logged in to the loopback server: the status and
// support buttons of the context tool bar, and the notification bar.
class TestWindowBars : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<WindowRun> m_run;
    QList<QUrl> m_opened;

    bool Start(const QMap<QString, QString>& i_settings = {}, bool i_login = true)
    {
        m_run = std::make_unique<WindowRun>();
        return m_run->Start(i_settings, i_login) && QTest::qWaitForWindowActive(m_run->window.get());
    }

    // Moves the focus out of the bar's set and back, so that the bar is built anew.
    void Rebuild()
    {
        Ui::MainWindow* ui = m_run->window->Form();
        ui->tabControl->setCurrentWidget(ui->roomsTab);
        ui->roomsTabControl->setFocus();
        ui->roomList->setFocus();
        QCOMPARE(actionBar->CurrentWidget(), ui->roomList);
    }

private slots:
    void OpenUrl(const QUrl& i_url) { m_opened << i_url; }

    void cleanup()
    {
        m_run.reset();
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    void supportButton_data()
    {
        QTest::addColumn<quint32>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("under half a day") << 43199u << "0 Days Left";
        QTest::newRow("half a day") << 43200u << "1 Days Left";
        QTest::newRow("a day and a half") << 129600u << "2 Days Left";
        QTest::newRow("none") << 0u << "Support Veltrane!";
        QTest::newRow("past 32-bit sums") << 2147483647u << "24855 Days Left";
    }

    // The privileges reply sets the text at once; a rebuild derives the same from the setting.
    void supportButton()
    {
        QFETCH(quint32, seconds);
        QFETCH(QString, text);
        QVERIFY(Start());
        Rebuild();
        // The login's own question is answered first.
        QVERIFY(m_run->server.WaitForFrames(SM_CHECK_PRIVILEGES, 1, "tester"));
        QVERIFY(m_run->server.SendFrame("tester", SM_CHECK_PRIVILEGES, WireWriter().U32(seconds).Body()));
        QTRY_COMPARE(actionBar->SupportButton()->text(), text);
        Rebuild();
        QCOMPARE(actionBar->SupportButton()->text(), text);
    }

    // The user name reaches the privileges page whole, whatever it holds.
    void supportPage()
    {
        QVERIFY(Start({}, false));
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "OpenUrl");
        const QString name = QStringLiteral("a+b&c#d e=f%g");
        SetSetting(QStringLiteral("username"), name);
        actionBar->SupportButton()->click();
        QCOMPARE(m_opened.size(), 1);
        QCOMPARE(m_opened.first().toEncoded(),
                 QByteArray("http://www.veltrane.net/qtlogin.php?username=a%2Bb%26c%23d%20e%3Df%25g"));
        QCOMPARE(QUrlQuery(m_opened.first()).queryItemValue("username", QUrl::FullyDecoded), name);

        // Where the desktop opens no browser, the user learns which page.
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        actionBar->SupportButton()->click();
        QCOMPARE(m_run->prompts.m_informed,
                 (QList<QPair<QString, QString>>{
                     {"Cannot open", "The desktop could not open:\n" + m_opened.first().toString()}}));
    }

    void statusButton_data()
    {
        QTest::addColumn<bool>("login");
        QTest::addColumn<QString>("showAway");
        QTest::addColumn<QStringList>("icons");
        QTest::newRow("logged in, away shown")
            << true << "yes" << QStringList{":/icons/away_icon", ":/icons/online_icon"};
        QTest::newRow("logged in, away not shown") << true << "no" << QStringList{":/icons/online_icon"};
        QTest::newRow("offline") << false << "yes" << QStringList{};
    }

    // Each click tells the server, stores the setting and turns the button; the application icon
    // follows only while logged in.
    void statusButton()
    {
        QFETCH(bool, login);
        QFETCH(QString, showAway);
        QFETCH(QStringList, icons);
        QVERIFY(Start({{"show_away_status_in_application_icon", showAway}}, login));
        Rebuild();
        QCOMPARE(actionBar->StatusButton()->text(), QStringLiteral("Available"));
        QCOMPARE(actionBar->StatusButton()->focusPolicy(), Qt::NoFocus);
        m_run->server.ClearFrames();
        m_run->calls.icons.clear();

        actionBar->StatusButton()->click();
        QCOMPARE(GetSetting("availability_status"), QStringLiteral("away"));
        QCOMPARE(actionBar->StatusButton()->text(), QStringLiteral("Away"));
        actionBar->StatusButton()->click();
        QCOMPARE(GetSetting("availability_status"), QStringLiteral("available"));
        QCOMPARE(actionBar->StatusButton()->text(), QStringLiteral("Available"));
        QCOMPARE(m_run->calls.icons, icons);
        if (!login)
            return;
        QVERIFY(m_run->server.WaitForFrames(SM_SET_STATUS, 2, "tester"));
        const QList<TestServer::Frame> frames = m_run->server.FramesWithCode(SM_SET_STATUS, "tester");
        QCOMPARE(frames.at(0).m_body, WireWriter().I32(USER_STATUS_AWAY).Body());
        QCOMPARE(frames.at(1).m_body, WireWriter().I32(USER_STATUS_ONLINE).Body());
    }

    // Events for widgets out of view: buttons, balloons, the blinking icon and the way back.
    void notificationBar()
    {
        QVERIFY(Start());
        // Three tab levels, none showing the target; the main window no longer active.
        NestedTabs tabs;
        QWidget* visible = tabs.outer->widget(0);
        auto* second = new QLineEdit;
        tabs.outer->addTab(second, "second");
        tabs.window.show();
        tabs.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&tabs.window));
        m_run->calls = {};

        eventToolBar->AddEvent("seen", ":/icons/room_icon", visible, "never shown");
        QVERIFY(eventToolBar->IsBlinking());
        QVERIFY(eventToolBar->isHidden());
        eventToolBar->AddEvent("first", ":/icons/note_icon", tabs.target, "popup");
        eventToolBar->AddEvent("again", ":/icons/note_icon", tabs.target, "");
        eventToolBar->AddEvent("other", ":/icons/browse_icon", second, "");
        QCOMPARE(m_run->calls.alerts, QStringList({"popup"}));
        QVERIFY(eventToolBar->isVisible());
        QCOMPARE(EventTexts(), QStringList({"first", "again", "other"}));

        // Icons in the order of their paths, each once, then the normal icon.
        for (int tick = 0; tick < 5; ++tick)
            eventToolBar->OnIconAlertTimeout();
        QCOMPARE(m_run->calls.icons, QStringList({":/icons/browse_icon", ":/icons/note_icon", ":/icons/room_icon",
                                                  ":/icons/online_icon", ":/icons/browse_icon"}));
        m_run->calls.icons.clear();
        tabs.outside->setFocus();
        QVERIFY(!eventToolBar->IsBlinking());
        QCOMPARE(m_run->calls.icons, QStringList({":/icons/online_icon"}));
        QCOMPARE(EventTexts().size(), 3);

        // A click brings the target forward through its three tabs and takes only its button.
        eventToolBar->actions().first()->trigger();
        QCOMPARE(tabs.outer->currentWidget(), tabs.middle);
        QCOMPARE(tabs.middle->currentWidget(), tabs.inner);
        QCOMPARE(tabs.inner->currentIndex(), 1);
        QCOMPARE(QApplication::focusWidget(), tabs.target);
        QCOMPARE(EventTexts(), QStringList({"again", "other"}));
        eventToolBar->RemoveEvents(tabs.target);
        eventToolBar->RemoveEvents(tabs.target);
        QCOMPARE(EventTexts(), QStringList({"other"}));
        delete second;
        QCOMPARE(EventTexts(), QStringList({""}));
        QVERIFY(eventToolBar->isHidden());
        QCOMPARE(d->GetType("event_toolbar_action")->GetItemCount(), 0u);
        QCOMPARE(d->GetType("event_toolbar_widget")->GetItemCount(), 0u);
    }

    // A peer's lines cost a bounded bar: each widget keeps its newest buttons, and past the bar's
    // own bound new buttons wait in the menu of a last "N more" button, moving up as buttons
    // before them go; every one stays reachable.
    void notificationBarBounds()
    {
        QVERIFY(Start());
        NestedTabs tabs;
        auto* quiet = new QLineEdit;
        tabs.outer->addTab(quiet, "quiet");
        tabs.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tabs.window));
        const int perWidget = EventToolBar::kButtonsPerWidget;
        const int onBar = EventToolBar::kButtonsOnBar;
        for (int line = 0; line < 3; ++line)
            eventToolBar->AddEvent(QString("quiet %1").arg(line), ":/icons/chat_icon", quiet, "");
        const int lines = perWidget + 5;
        for (int line = 0; line < lines; ++line)
            eventToolBar->AddEvent(QString("line %1").arg(line), ":/icons/chat_icon", tabs.target, "");

        // The chatty widget's oldest five went; the bar holds the oldest of the rest.
        QStringList pending{"quiet 0", "quiet 1", "quiet 2"};
        for (int line = lines - perWidget; line < lines; ++line)
            pending << QString("line %1").arg(line);
        const int waiting = pending.size() - onBar;
        QCOMPARE(EventTexts(), pending.mid(0, onBar) + QStringList{QString("%1 more").arg(waiting)});
        QCOMPARE(d->GetType("event_toolbar_action")->GetItemCount(), std::size_t(pending.size()));
        QAction* more = eventToolBar->actions().last();
        QVERIFY(more->menu());
        QStringList menu;
        for (QAction* action : more->menu()->actions())
            menu << action->text();
        QCOMPARE(menu, pending.mid(onBar));

        // A waiting button leads to its widget as one on the bar does.
        more->menu()->actions().last()->trigger();
        QCOMPARE(QApplication::focusWidget(), tabs.target);
        pending.removeLast();
        QCOMPARE(EventTexts().last(), QString("%1 more").arg(waiting - 1));
        // The quiet widget's buttons go; the waiting ones move up, and the last button with them.
        eventToolBar->RemoveEvents(quiet);
        pending = pending.mid(3);
        QCOMPARE(EventTexts(), pending);
        eventToolBar->RemoveEvents(tabs.target);
        QCOMPARE(EventTexts(), QStringList({""}));
        QVERIFY(eventToolBar->isHidden());
        QCOMPARE(d->GetType("event_toolbar_action")->GetItemCount(), 0u);
    }

    // The main window with the login options' set on the tool bar and two events pending.
    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        QVERIFY(Start());
        QVERIFY(m_run->server.WaitForFrames(SM_CHECK_PRIVILEGES, 1, "tester"));
        QVERIFY(m_run->server.SendFrame("tester", SM_CHECK_PRIVILEGES, WireWriter().U32(12 * 86400).Body()));
        QTRY_COMPARE(GetSetting("privileges_time_left"), QStringLiteral("1036800"));
        Ui::MainWindow* ui = m_run->window->Form();
        ui->tabControl->setCurrentWidget(ui->optionsTab);
        ui->optionsTabControl->setCurrentWidget(ui->loginOptionsTab);
        ui->usernameEdit->setFocus();
        QCOMPARE(actionBar->CurrentWidget(), ui->loginOptionsTab);
        eventToolBar->AddEvent("Private message from bob", ":/icons/note_icon", ui->chatTab, "");
        eventToolBar->AddEvent("Search results for \"blue train\"", ":/icons/browse_icon", ui->searchTab, "");
        SAVE_SCREENSHOT(m_run->window.get(), "main_window_bars");

        // A peer's flood of lines beside a few quiet chats: the bar ends with its "N more" button.
        for (int line = 0; line < 30; ++line)
            eventToolBar->AddEvent("x...y", ":/icons/chat_icon", ui->roomsTab, "");
        for (const char* name : {"R&&B", "carol", "dave"})
            eventToolBar->AddEvent(name, ":/icons/chat_icon", new QWidget(ui->chatTab), "");
        m_run->window->resize(1900, 300);
        SAVE_SCREENSHOT(m_run->window.get(), "main_window_bars_flood");
        QMenu* waiting = eventToolBar->actions().last()->menu();
        QVERIFY(waiting);
        SAVE_SCREENSHOT(waiting, "main_window_bars_waiting");
    }
};

QTEST_MAIN(TestWindowBars)
#include "test_window_bars.moc"
