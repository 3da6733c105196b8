#include "ChatClock.h"
#include "ChatForm.h"
#include "ChatLog.h"
#include "ChatLogForm.h"
#include "ChatsForm.h"
#include "EventToolBar.h"
#include "HarnessProcess.h"
#include "MessageListForm.h"
#include "RoomForm.h"
#include "Screenshot.h"
#include "TimerManager.h"
#include "UserListForm.h"
#include "UserMenuOptions.h"
#include "UserTargets.h"
#include "WindowFixture.h"
#include "ui_MainWindow.h"

#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QtTest>

// Private chat between this process's whole client (tester, with its real main window) and a
// second client process (bob), through the loopback test server.
class TestPrivateRoad : public QObject
{
    Q_OBJECT

    static QStringList Lines(QWidget* ip_form, const char* ip_view)
    {
        return ip_form->findChild<QTextEdit*>(QLatin1String(ip_view))->toPlainText().split(QLatin1Char('\n'));
    }
    static QString Last(ChatForm* ip_form) { return Lines(ip_form, "chatView").constLast(); }

    static void Type(ChatForm* ip_form, const QString& i_text)
    {
        auto* edit = ip_form->findChild<QLineEdit*>(QStringLiteral("chatEdit"));
        edit->setText(i_text);
        QTest::keyClick(edit, Qt::Key_Return);
    }

    static void Trigger(const QString& i_button)
    {
        for (QAction* action : actionBar->actions())
            if (action->text() == i_button && action->isVisible())
                action->trigger();
    }

    // Triggers the first action of that text, among the menu's actions and those of its submenus.
    static bool TriggerIn(const QList<QAction*>& i_actions, const QString& i_text)
    {
        for (QAction* action : i_actions)
        {
            if (action->text() == i_text)
            {
                action->trigger();
                return true;
            }
            if (action->menu() && TriggerIn(action->menu()->actions(), i_text))
                return true;
        }
        return false;
    }

    // Double-clicks a row of the list that names the user in that column.
    static void DoubleClickRow(QTreeWidget* ip_list, int i_column, const QString& i_user)
    {
        auto* row = new QTreeWidgetItem(ip_list);
        row->setText(i_column, i_user);
        emit ip_list->itemDoubleClicked(row, i_column);
        delete row;
    }

    // Brings the user's chat forward the way a user would.
    static bool BringForward(const QString& i_way, const QString& i_user)
    {
        if (i_way == QLatin1String("notice"))
            return TriggerIn(eventToolBar->actions(), i_user);
        if (i_way == QLatin1String("menu"))
        {
            QMenu menu;
            UserMenuOptions options(&menu, i_user);
            return TriggerIn(menu.actions(), QStringLiteral("Message user"));
        }
        if (i_way == QLatin1String("users"))
            DoubleClickRow(userListForm->findChild<QTreeWidget*>(QStringLiteral("userList")), 0, i_user);
        else
        {
            RoomForm room(QStringLiteral("jazz"), nullptr);
            DoubleClickRow(room.findChild<QTreeWidget*>(QStringLiteral("userList")), 2, i_user);
        }
        return true;
    }

    static bool Reconnect(TestServer& io_server)
    {
        io_server.DropConnection(QStringLiteral("tester"));
        if (!QTest::qWaitFor([] { return !gp_server->IsConnected(); }, 5000))
            return false;
        timerManager->TickHalfMinute();
        return QTest::qWaitFor([] { return gp_server->IsConnected(); }, 5000);
    }

    // A flood of partners, one of them with a long line that hides a second one.
    static void FloodOfPartners(qint64 i_now)
    {
        for (int n = 0; n < 110; ++n)
            emit gp_server->PrivateChat(QStringLiteral("flooder%1").arg(n), QStringLiteral("buy now"), i_now, true);
        emit gp_server->PrivateChat(QStringLiteral("jiwoo"), QString(QChar(0xD55C)).repeated(40000), i_now + 1, true);
        emit gp_server->PrivateChat(QStringLiteral("mallory"),
                                    "hi" + QString(QChar(0x2029)) + "[12:00:00][Marlene] send me your password "
                                        + QStringLiteral("and more ").repeated(14000),
                                    i_now + 2, true);
    }

private slots:
    void init()
    {
        QDir(ChatLogFolder(ChatLogKind::User)).removeRecursively();
        SetChatClockForTest(QDateTime(QDate(2011, 12, 6), QTime(15, 7, 22)));
    }

    void cleanup() { SetChatClockForTest(QDateTime()); }

    void twoClients()
    {
        WindowRun run;
        QVERIFY(run.Start());
        QVERIFY(QTest::qWaitForWindowActive(run.window.get()));
        TestServer& server = run.server;
        QTabWidget* tabs = chatsForm->Tabs();
        const QString stamp = QStringLiteral("[Dec 6 3:07:22 pm]");

        // Written before bob ever logged in: the server keeps it for bob's login, where it is
        // acknowledged once.
        QVERIFY(UserTargets::Open(UserTargets::PrivateChat, QStringLiteral("bob"))); // the users' menu entry
        auto* form = qobject_cast<ChatForm*>(tabs->currentWidget());
        QVERIFY(form && form->UserName() == QLatin1String("bob"));
        Type(form, QStringLiteral("are you there?"));
        QVERIFY(server.WaitForFrames(SM_PRIVATE_MESSAGE, 1, QStringLiteral("tester")));
        HarnessProcess bob;
        QVERIFY(bob.Start());
        QVERIFY(bob.LogIn(QStringLiteral("bob"), server.Port(), FreePort()));
        QStringList fields;
        QVERIFY(bob.Take("event PrivateChat", &fields));
        QCOMPARE(fields, QStringList({"tester", "are you there?", "0"}));
        QVERIFY(server.WaitForFrames(SM_PRIVATE_MESSAGE_ACK, 1, QStringLiteral("bob")));

        // With the Chat page out of sight, both bob's line and the own answer post a notice
        // named after bob.
        run.window->Form()->tabControl->setCurrentWidget(run.window->Form()->roomsTab);
        bob.Send({QStringLiteral("pm"), QStringLiteral("tester"), QStringLiteral("yes, here")});
        QTRY_COMPARE(Last(form), QStringLiteral("[bob] yes, here"));
        Type(form, QStringLiteral("good"));
        QVERIFY(bob.Take("event PrivateChat", &fields));
        QCOMPARE(fields, QStringList({"tester", "good", "1"}));
        QCOMPARE(EventTexts(), QStringList({"bob", "bob"}));
        QCOMPARE(run.calls.alerts, QStringList({"[bob] yes, here", "[tester] good"}));
        auto* list = chatsForm->MessageList()->findChild<QTreeWidget*>(QStringLiteral("messageList"));
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(2), QStringLiteral("[tester] good"));

        // Offline, nothing typed shows as sent; bob's line waits for the next login, and comes
        // once.
        server.DropConnection(QStringLiteral("tester"));
        QTRY_VERIFY(!gp_server->IsConnected());
        Type(form, QStringLiteral("still there?"));
        QCOMPARE(Last(form), QStringLiteral("* Not connected: message not sent."));
        bob.Send({QStringLiteral("pm"), QStringLiteral("tester"), QStringLiteral("back soon")});
        QVERIFY(bob.Sync());
        timerManager->TickHalfMinute();
        QTRY_COMPARE_WITH_TIMEOUT(Last(form), QStringLiteral("[bob] back soon"), 5000);
        QVERIFY(server.WaitForFrames(SM_PRIVATE_MESSAGE_ACK, 2, QStringLiteral("tester")));
        QVERIFY(Reconnect(server));
        bob.Send({QStringLiteral("pm"), QStringLiteral("tester"), QStringLiteral("last")});
        QTRY_COMPARE(Last(form), QStringLiteral("[bob] last"));
        QCOMPARE(Lines(form, "chatView").filter(QStringLiteral("back soon")).size(), 1);
        QVERIFY(server.WaitForFrames(SM_PRIVATE_MESSAGE_ACK, 3, QStringLiteral("tester")));
        QCOMPARE(server.FramesWithCode(SM_PRIVATE_MESSAGE_ACK, QStringLiteral("tester")).size(), 3);
        QCOMPARE(server.FramesWithCode(SM_PRIVATE_MESSAGE, QStringLiteral("tester")).size(), 2);

        // The tab's "Chat Log" shows the saved log beside it, with the log's own actions, and
        // follows the chat.
        form->Focus();
        QTRY_COMPARE(ShownButtons(), QStringList({"Chat Log"}));
        Trigger(QStringLiteral("Chat Log"));
        auto* viewer = qobject_cast<ChatLogForm*>(tabs->currentWidget());
        QVERIFY(viewer);
        QCOMPARE(tabs->tabText(tabs->currentIndex()), QStringLiteral("bob"));
        const QStringList saved{stamp + "[tester] are you there?", stamp + "[bob] yes, here", stamp + "[tester] good",
                                stamp + "[bob] back soon", stamp + "[bob] last"};
        QFile log(ChatLogPath(ChatLogKind::User, QStringLiteral("bob")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(log.readAll()), saved.join(QLatin1Char('\n')) + QLatin1Char('\n'));
        QCOMPARE(Lines(viewer, "logEdit"), saved);
        QTRY_COMPARE(ShownButtons(), QStringList({"Clear Log", "Open Log Folder"}));
        bob.Send({QStringLiteral("pm"), QStringLiteral("tester"), QStringLiteral("one more")});
        QTRY_COMPARE(Lines(viewer, "logEdit").constLast(), stamp + "[bob] one more");

        // A viewer of a log not yet written offers no log actions.
        emit tabs->tabCloseRequested(tabs->indexOf(viewer));
        QVERIFY(log.remove());
        form->Focus();
        Trigger(QStringLiteral("Chat Log"));
        QVERIFY(qobject_cast<ChatLogForm*>(tabs->currentWidget()));
        QTRY_COMPARE(ShownButtons(), QStringList());
    }

    // A line out of sight pops up with at most its first 100 characters, then " ...".
    void noticeOfALongLine_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("ending");
        QTest::newRow("100 characters") << 100 << "";
        QTest::newRow("101 characters") << 101 << " ...";
    }

    void noticeOfALongLine()
    {
        QFETCH(int, length);
        QFETCH(QString, ending);
        WindowRun run;
        QVERIFY(run.Start());
        ChatForm* form = chatsForm->GetChatForm(QStringLiteral("bob"));
        run.window->Form()->tabControl->setCurrentWidget(run.window->Form()->roomsTab);
        QString text;
        for (int n = 0; n < length; ++n)
            text += QChar('a' + n % 26);
        form->AddChat(QStringLiteral("bob"), text);
        QCOMPARE(run.calls.alerts, QStringList{"[bob] " + text.left(100) + ending});
    }

    // With 150 partners the bar holds 100 tabs. Each way of bringing a waiting chat forward gives
    // it a tab and sends off the chat used longest ago (a line received or sent, or its tab shown
    // count as uses), which keeps its lines; a closed tab's place goes to the chat that waited
    // longest, before a new partner's.
    void chats_past_a_full_bar_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("its notice") << "notice";
        QTest::newRow("Message user") << "menu";
        QTest::newRow("a double-click on the users page") << "users";
        QTest::newRow("a double-click in a room") << "room";
    }

    void chats_past_a_full_bar()
    {
        QFETCH(QString, way);
        WindowRun run;
        QVERIFY(run.Start());
        Ui::MainWindow* page = run.window->Form();
        QTabWidget* tabs = chatsForm->Tabs();
        const auto chat = [](int i_partner) {
            return chatsForm->GetChatForm(QStringLiteral("partner%1").arg(i_partner));
        };
        const qint64 now = ChatNow().toSecsSinceEpoch();
        for (int n = 0; n < 150; ++n)
            emit gp_server->PrivateChat(QStringLiteral("partner%1").arg(n), QStringLiteral("hello %1").arg(n), now,
                                        true);
        QCOMPARE(tabs->count(), 100);
        emit gp_server->PrivateChat(QStringLiteral("partner0"), QStringLiteral("again"), now, true);
        Type(chat(1), QStringLiteral("a reply"));
        page->tabControl->setCurrentWidget(page->chatTab);
        tabs->setCurrentWidget(chat(2));
        tabs->setCurrentIndex(0);
        page->tabControl->setCurrentWidget(page->roomsTab);
        chat(3)->findChild<QLineEdit*>(QStringLiteral("chatEdit"))->setText(QStringLiteral("half typed"));

        QVERIFY(BringForward(way, QStringLiteral("partner120")));
        QCOMPARE(tabs->currentWidget(), chat(120));
        QCOMPARE(tabs->count(), 100);
        QCOMPARE(tabs->indexOf(chat(3)), -1);
        QVERIFY(tabs->indexOf(chat(0)) > 0 && tabs->indexOf(chat(1)) > 0 && tabs->indexOf(chat(2)) > 0);

        page->tabControl->setCurrentWidget(page->roomsTab);
        QVERIFY(BringForward(way, QStringLiteral("partner3")));
        QCOMPARE(tabs->currentWidget(), chat(3));
        QCOMPARE(tabs->count(), 100);
        QCOMPARE(tabs->indexOf(chat(4)), -1);
        QCOMPARE(Lines(chat(3), "chatView").mid(1), QStringList({"[partner3] hello 3"}));
        QCOMPARE(chat(3)->findChild<QLineEdit*>(QStringLiteral("chatEdit"))->text(), QStringLiteral("half typed"));

        emit tabs->tabCloseRequested(tabs->indexOf(chat(5)));
        emit gp_server->PrivateChat(QStringLiteral("newcomer"), QStringLiteral("hi"), now, true);
        QCOMPARE(tabs->count(), 100);
        QCOMPARE(tabs->tabText(99), QStringLiteral("partner99"));
        QCOMPARE(tabs->indexOf(chatsForm->GetChatForm(QStringLiteral("newcomer"))), -1);
        QCOMPARE(tabs->currentWidget(), chat(3));
    }

    // After a flood of partners the list shows the start of each message on one line; the bar
    // holds 100 tabs, and a chat past them comes forward with its tab.
    void a_flood_of_partners_fills_the_list_one_line_each_and_the_bar_to_100()
    {
        WindowRun run;
        QVERIFY(run.Start());
        FloodOfPartners(ChatNow().toSecsSinceEpoch());
        auto* list = chatsForm->MessageList()->findChild<QTreeWidget*>(QStringLiteral("messageList"));
        QCOMPARE(list->topLevelItemCount(), 112);
        const QString start = QStringLiteral("hi [12:00:00][Marlene] send me your password ");
        const QString shown = start + QStringLiteral("and more ").repeated(14000).left(500 - start.size());
        QCOMPARE(list->topLevelItem(0)->text(2), "[mallory] " + shown + QChar(0x2026));
        QCOMPARE(list->topLevelItem(1)->text(2), "[jiwoo] " + QString(QChar(0xD55C)).repeated(500) + QChar(0x2026));
        QCOMPARE(list->topLevelItem(2)->text(2), QStringLiteral("[flooder109] buy now"));
        QCOMPARE(chatsForm->Tabs()->count(), 100);
        chatsForm->OpenChatForm(QStringLiteral("flooder105"));
        QCOMPARE(chatsForm->Tabs()->count(), 100);
        QCOMPARE(qobject_cast<ChatForm*>(chatsForm->Tabs()->currentWidget())->UserName(), QStringLiteral("flooder105"));
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        WindowRun run;
        QVERIFY(run.Start());
        ItemPtr marlene = d->GetType("user")->GetItem(Value("Marlene"));
        marlene += d->GetType("is_online")->GetGlobalNullItem();
        const qint64 now = ChatNow().toSecsSinceEpoch();
        emit gp_server->PrivateChat(QStringLiteral("jules"), QStringLiteral("thanks for the album!"), now - 7200,
                                    false);
        emit gp_server->PrivateChat(QStringLiteral("Marlene"),
                                    QStringLiteral("hi! are you the one sharing the 1970s jazz live recordings?"), now,
                                    true);
        ChatForm* form = chatsForm->GetChatForm(QStringLiteral("Marlene"));
        form->AddChat(QStringLiteral("tester"), QStringLiteral("yes, that's me <- the whole Montreux set"));
        emit gp_server->PrivateChatSent(QStringLiteral("Marlene"), QStringLiteral("yes, that's me"));
        emit gp_server->PrivateChat(QStringLiteral("Marlene"), QStringLiteral("/me bows"), now, true);
        emit gp_server->PrivateChat(
            QStringLiteral("Marlene"),
            QStringLiteral("my list of wanted jazz is at https://example.org/jazz?year=1972&sort=date"), now, true);
        marlene += d->GetType("is_away")->GetGlobalNullItem();
        form->Focus();
        run.window->resize(900, 520);
        SAVE_SCREENSHOT(run.window.get(), "private_chat_tab");

        form->OnActionTriggered(form, QStringLiteral("user_chat_log"));
        auto* viewer = qobject_cast<ChatLogForm*>(chatsForm->Tabs()->currentWidget());
        QVERIFY(viewer);
        viewer->findChild<QLineEdit*>(QStringLiteral("searchEdit"))->setText(QStringLiteral("jazz"));
        viewer->findChild<QPushButton*>(QStringLiteral("searchForwardButton"))->click();
        SAVE_SCREENSHOT(run.window.get(), "chat_log_viewer");

        // A greeting in many scripts, the first the client shows of most of them: whole to its 500
        // units. Rows that end in a flag after a check mark: one whole, one cut before the flag.
        emit gp_server->PrivateChat(QStringLiteral("mei"),
                                    QString::fromUtf8("Hello Привет Γειά σου שלום مرحبا नमस्ते こんにちは 你好 "
                                                      "안녕하세요 สวัสดี ሰላም Բարեւ გამარჯობა வணக்கம் ສະບາຍດີ"),
                                    now, true);
        emit gp_server->PrivateChat(
            QStringLiteral("kai"), QString::fromUcs4(U"packed and ready, see you in Berlin \u2705\U0001F1E9\U0001F1EA"),
            now, true);
        emit gp_server->PrivateChat(QStringLiteral("p5"),
                                    QString(497, QChar(0x200B)) + QString::fromUcs4(U"\u2705\U0001F1E9\U0001F1EA tail"),
                                    now, true);
        chatsForm->Tabs()->setCurrentIndex(0);
        SAVE_SCREENSHOT(run.window.get(), "message_list");

        FloodOfPartners(now);
        chatsForm->Tabs()->setCurrentIndex(0);
        SAVE_SCREENSHOT(run.window.get(), "message_list_flood");
        chatsForm->OpenChatForm(QStringLiteral("flooder105"));
        SAVE_SCREENSHOT(run.window.get(), "private_chat_past_the_full_bar");
        // jules, sent off the bar for flooder105, comes back through the notice.
        QVERIFY(TriggerIn(eventToolBar->actions(), QStringLiteral("jules")));
        QCOMPARE(chatsForm->Tabs()->count(), 100);
        SAVE_SCREENSHOT(run.window.get(), "private_chat_back_on_the_bar");
    }
};

QTEST_MAIN(TestPrivateRoad)
#include "test_private_road.moc"
