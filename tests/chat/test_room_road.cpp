#include "ChatClock.h"
#include "ChatLog.h"
#include "HarnessProcess.h"
#include "MainWindow.h"
#include "PreparedHome.h"
#include "RoomForm.h"
#include "Server.h"
#include "StartupFixture.h"
#include "TestServer.h"
#include "TimerManager.h"
#include "ui_MainWindow.h"

#include <QLineEdit>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QtTest>

// A room on the loopback test server between this process's whole client (alice, with its real
// main window) and other client processes (bob, carol).
class TestRoomRoad : public QObject
{
    Q_OBJECT

    const QString m_room = QStringLiteral("lobby");

    static QStringList Users(RoomForm* ip_form)
    {
        QStringList users;
        auto* list = ip_form->findChild<QTreeWidget*>(QStringLiteral("userList"));
        for (int row = 0; row < list->topLevelItemCount(); ++row)
            users << list->topLevelItem(row)->text(2);
        return users;
    }

    static QString View(RoomForm* ip_form)
    {
        return ip_form->findChild<QTextBrowser*>(QStringLiteral("chatView"))->toPlainText();
    }

private slots:
    void twoClientsInOneRoom()
    {
        TestServer server;
        QVERIFY(server.Listen());
        QMap<QString, QString> settings = QuietSettings();
        settings.insert(QStringLiteral("username"), QStringLiteral("alice"));
        settings.insert(QStringLiteral("password"), QStringLiteral("secret"));
        settings.insert(QStringLiteral("server_host"), QStringLiteral("127.0.0.1"));
        settings.insert(QStringLiteral("server_port"), QString::number(server.Port()));
        QVERIFY(WriteDataFile(MainWindow::DataFilePath(), settings));
        QDir(ChatLogFolder(ChatLogKind::Room)).removeRecursively();
        ScriptedPrompts prompts;
        StartupPrompts::Install(&prompts);
        SetChatClockForTest(QDateTime(QDate(2011, 12, 6), QTime(15, 7, 22)));

        auto window = std::make_unique<MainWindow>();
        window->show();
        window->Init();
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 5000);
        QTabWidget* tabs = window->Form()->roomsTabControl;

        HarnessProcess bob;
        QVERIFY(bob.Start());
        QVERIFY(bob.LogIn(QStringLiteral("bob"), server.Port(), FreePort()));
        bob.Send({QStringLiteral("join"), m_room});
        QVERIFY(bob.Sync());

        // Alice enters; the tab lists both.
        gp_server->EnterRoom(m_room, false);
        QTRY_COMPARE(tabs->count(), 1);
        auto* form = qobject_cast<RoomForm*>(tabs->widget(0));
        QCOMPARE(tabs->tabText(0), m_room);
        QTRY_COMPARE(Users(form), QStringList({"alice", "bob"}));

        // Chat both ways: the text goes as typed, shown and logged trimmed when it comes back.
        auto* edit = form->findChild<QLineEdit*>(QStringLiteral("chatEdit"));
        QTest::keyClick(edit, Qt::Key_Return); // nothing typed: nothing sent
        edit->setText(QStringLiteral(" hello bob "));
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(edit->text(), QString());
        QStringList fields;
        QVERIFY(bob.Take("event RoomChat", &fields));
        QCOMPARE(fields, QStringList({m_room, "alice", " hello bob "}));
        bob.Send({QStringLiteral("say"), m_room, QStringLiteral("/me waves")});
        bob.Send({QStringLiteral("say"), m_room, QStringLiteral("hi alice")});
        QTRY_VERIFY(View(form).endsWith(QLatin1String("[bob] hi alice")));
        QCOMPARE(View(form),
                 QStringLiteral("* Chat started Dec 6 3:07:22 pm\n[alice] hello bob\n* bob waves\n[bob] hi alice"));

        // A third user comes and goes.
        {
            HarnessProcess carol;
            QVERIFY(carol.Start());
            QVERIFY(carol.LogIn(QStringLiteral("carol"), server.Port(), FreePort()));
            carol.Send({QStringLiteral("join"), m_room});
            QTRY_COMPARE(Users(form), QStringList({"alice", "bob", "carol"}));
            QCOMPARE(d->GetType("room")->HasItem(m_room)["user_count"].AsString(), QStringLiteral("3"));
            carol.Send({QStringLiteral("leave"), m_room});
            QTRY_COMPARE(Users(form), QStringList({"alice", "bob"}));
            QCOMPARE(d->GetType("room")->HasItem(m_room)["user_count"].AsString(), QStringLiteral("2"));
        }

        // The connection drops and returns: the same tab enters the room again.
        server.ClearFrames();
        server.DropConnection(QStringLiteral("alice"));
        QTRY_VERIFY(View(form).endsWith(QLatin1String("* Disconnected at 15:07:22.")));
        edit->setText(QStringLiteral("later"));
        QTest::keyClick(edit, Qt::Key_Return); // offline: kept, not sent
        QCOMPARE(edit->text(), QStringLiteral("later"));
        QVERIFY(View(form).endsWith(QLatin1String("* Not connected: message not sent.")));
        timerManager->TickHalfMinute();
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 5000);
        QVERIFY(View(form).endsWith(QLatin1String("* Reconnected at 15:07:22.")));
        QCOMPARE(server.FramesWithCode(SM_ROOM_CHAT, QStringLiteral("alice")).size(), 0);
        QVERIFY(server.WaitForFrames(SM_JOIN_ROOM, 1, QStringLiteral("alice")));
        QTRY_COMPARE(Users(form), QStringList({"alice", "bob"}));
        QCOMPARE(server.FramesWithCode(SM_JOIN_ROOM, QStringLiteral("alice")).size(), 1);
        QCOMPARE(tabs->count(), 1);
        bob.Send({QStringLiteral("say"), m_room, QStringLiteral("welcome back")});
        QTRY_VERIFY(View(form).endsWith(QLatin1String("[bob] welcome back")));

        QFile log(ChatLogPath(ChatLogKind::Room, m_room));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(log.readAll()), QStringLiteral("[Dec 6 3:07:22 pm][alice] hello bob\n"
                                                                  "[Dec 6 3:07:22 pm] * bob waves\n"
                                                                  "[Dec 6 3:07:22 pm][bob] hi alice\n"
                                                                  "[Dec 6 3:07:22 pm][bob] welcome back\n"));

        // A tab closed with no leave reply (the connection went first) comes back with the join.
        emit tabs->tabCloseRequested(0);
        server.DropConnection(QStringLiteral("alice"));
        QTRY_VERIFY(!gp_server->IsConnected());
        QCOMPARE(tabs->count(), 0);
        timerManager->TickHalfMinute();
        QTRY_COMPARE_WITH_TIMEOUT(tabs->count(), 1, 5000);
        QTRY_COMPARE(Users(qobject_cast<RoomForm*>(tabs->widget(0))), QStringList({"alice", "bob"}));

        window.reset();
        StartupPrompts::Install(nullptr);
        SetChatClockForTest(QDateTime());
    }
};

QTEST_MAIN(TestRoomRoad)
#include "test_room_road.moc"
