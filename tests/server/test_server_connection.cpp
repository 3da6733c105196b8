// Login, refusal, drops, reconnection, the after-login duties and requests made while offline,
// against the loopback test server.

#include "ServerFixture.h"
#include "Wire.h"

#include <QCryptographicHash>
#include <QTcpServer>

namespace
{
// Points the client at a loopback port where nothing listens.
void PointAtClosedPort()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    SetSettingNumber(QStringLiteral("server_port"), closed.serverPort());
}
} // namespace

class TestServerConnection : public QObject
{
    Q_OBJECT

private slots:
    void loginSucceedsOnceWithTheStoredCredentials()
    {
        ServerFixture f{QString()};
        QSignalSpy connecting(f.server.get(), &Server::Connecting);
        QSignalSpy connected(f.server.get(), &Server::Connected);
        QSignalSpy failed(f.server.get(), &Server::ConnectionFailed);
        // Not without a user name.
        f.server->Connect();
        QCOMPARE(connecting.count(), 0);
        QCOMPARE(f.server->GetState(), Server::StateIdle);

        SetSetting(QStringLiteral("username"), QStringLiteral("alice"));
        SetSetting(QStringLiteral("password"), QStringLiteral("secret"));
        f.server->Connect();
        // Connect() returns before anything happened on the network.
        QCOMPARE(connecting.count(), 1);
        QCOMPARE(f.testServer->AcceptedConnections(), 0);
        QVERIFY(!f.server->IsConnected());
        f.server->Connect();
        QCOMPARE(connecting.count(), 1);

        QTRY_COMPARE(connected.count(), 1);
        QVERIFY(f.server->IsConnected());
        f.server->Connect();
        QVERIFY(f.testServer->WaitForFrames(SM_ACCEPT_CHILDREN));
        QCOMPARE(connected.count(), 1);
        QCOMPARE(failed.count(), 0);
        QCOMPARE(f.testServer->AcceptedConnections(), 1);

        const QByteArray digest = QCryptographicHash::hash("alicesecret", QCryptographicHash::Md5).toHex();
        QCOMPARE(f.testServer->FramesWithCode(SM_LOGIN).at(0).m_body,
                 Body("alice", "secret", 160u) + WireWriter().Bytes(digest).U32(1).Body());
    }

    void refusedLoginReportsTheReasonAndStaysDown_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::newRow("password") << QStringLiteral("INVALIDPASS");
        QTest::newRow("user name") << QStringLiteral("INVALIDUSERNAME");
        QTest::newRow("version") << QStringLiteral("INVALIDVERSION");
        QTest::newRow("refused TCP connection") << QString(); // the socket's own text
    }

    void refusedLoginReportsTheReasonAndStaysDown()
    {
        QFETCH(QString, reason);
        ServerFixture f;
        if (reason.isEmpty())
            PointAtClosedPort();
        else if (reason == QLatin1String("INVALIDPASS"))
            f.testServer->AddAccount("alice", "other");
        else
            f.testServer->SetRefusal(reason);
        QSignalSpy connected(f.server.get(), &Server::Connected);
        QSignalSpy failed(f.server.get(), &Server::ConnectionFailed);

        f.server->Connect();
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed.count(), 1);
        if (reason.isEmpty())
            QVERIFY(!failed.at(0).at(0).toString().isEmpty());
        else
            QCOMPARE(failed.at(0).at(0).toString(), reason);
        QCOMPARE(connected.count(), 0);
        QCOMPARE(f.server->GetState(), Server::StateIdle);
        QVERIFY(!f.server->IsAbruptlyDisconnected());

        // A refusal is no loss: the tick does not try again.
        f.server->EveryHalfMinute();
        QCOMPARE(f.server->GetState(), Server::StateIdle);
        QCOMPARE(f.testServer->AcceptedConnections(), reason.isEmpty() ? 0 : 1);
    }

    void abruptDropCutsStatusesKeepsRoomsAndReconnectsOnTheTick()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        f.server->EnterRoom("lobby", false);
        QTRY_VERIFY(f.Room("lobby").IsConnected("in_room"));
        f.Push(SM_USER_STATUS, Body("bob", 1u, quint8(0)));
        QTRY_VERIFY(f.User("bob").IsConnected("is_away"));
        QVERIFY(f.User("bob").IsConnected("is_online"));

        QSignalSpy disconnected(f.server.get(), &Server::Disconnected);
        QSignalSpy connected(f.server.get(), &Server::Connected);
        QVERIFY(f.Drop());
        QVERIFY(f.server->IsAbruptlyDisconnected());
        QVERIFY(!f.server->IsConnected());
        QVERIFY(FlagItem("is_online").GetItems("user").empty());
        QVERIFY(FlagItem("is_away").GetItems("user").empty());
        QVERIFY(f.Room("lobby").IsConnected("in_room"));

        // A failed attempt keeps the client trying on the next tick.
        PointAtClosedPort();
        QSignalSpy failed(f.server.get(), &Server::ConnectionFailed);
        f.server->EveryHalfMinute();
        QVERIFY(failed.wait(5000));
        QVERIFY(f.server->IsAbruptlyDisconnected());

        SetSettingNumber(QStringLiteral("server_port"), f.testServer->Port());
        f.testServer->ClearFrames();
        f.server->EveryHalfMinute();
        QVERIFY(f.testServer->WaitForFrames(SM_LOGIN));
        QVERIFY(!f.server->IsAbruptlyDisconnected());
        QTRY_COMPARE(connected.count(), 1);
        // The room is entered again without a second in_room link or a second Disconnected.
        QVERIFY(f.testServer->WaitForFrames(SM_JOIN_ROOM, 1, QStringLiteral("alice")));
        QCOMPARE(disconnected.count(), 1);
        QVERIFY(f.testServer->RoomOf(QStringLiteral("lobby")).m_present.contains(QStringLiteral("alice")));
    }

    void ownDisconnectAndReloggedStopReconnection_data()
    {
        QTest::addColumn<bool>("relogged");
        QTest::newRow("Disconnect()") << false;
        QTest::newRow("Relogged") << true;
    }

    void ownDisconnectAndReloggedStopReconnection()
    {
        QFETCH(bool, relogged);
        ServerFixture f;
        QVERIFY(f.Login());
        QSignalSpy disconnected(f.server.get(), &Server::Disconnected);
        if (relogged)
        {
            f.Push(SM_RELOGGED, QByteArray());
            QVERIFY(disconnected.wait(5000));
        }
        else
        {
            f.server->Disconnect();
            QCOMPARE(disconnected.count(), 1);
        }
        QVERIFY(!f.server->IsConnected());
        QVERIFY(!f.server->IsAbruptlyDisconnected());
        QTRY_COMPARE(f.testServer->OpenConnections(), 0);

        f.server->EveryHalfMinute();
        QCOMPARE(f.server->GetState(), Server::StateIdle);
        QCOMPARE(f.testServer->AcceptedConnections(), 1);
        // Disconnect() while not logged in does nothing.
        f.server->Disconnect();
        QCOMPARE(disconnected.count(), 1);
    }

    void afterLoginDutiesInOrder()
    {
        ServerFixture f;
        SetSettingNumber(QStringLiteral("listening_port"), 4000);
        SetSettingNumber(QStringLiteral("obfuscated_listening_port"), 4001);
        // Everything here happens before the first login, as at load time.
        f.server->TrackUser("bob");
        f.server->TrackUser("carol");
        f.server->TrackUser("bob");
        f.server->SetAvailabilityStatus(false);
        f.server->SendFilesFolders(3, 40);
        f.Room("lobby") += FlagItem("room_autojoin");
        QVERIFY(f.User("bob").IsConnected("is_tracked"));
        QCOMPARE(GetSetting(QStringLiteral("availability_status")), QStringLiteral("away"));

        QSignalSpy connected(f.server.get(), &Server::Connected);
        f.server->Connect();
        QVERIFY(f.testServer->WaitForFrames(SM_ACCEPT_CHILDREN));
        QTRY_COMPARE(connected.count(), 1);
        QCOMPARE(f.testServer->Codes(QStringLiteral("alice")),
                 (QList<quint32>{SM_LOGIN, SM_SET_LISTEN_PORT, SM_SET_STATUS, SM_SHARED_FOLDERS_FILES, SM_WATCH_USER,
                                 SM_WATCH_USER, SM_JOIN_ROOM, SM_HAVE_NO_PARENT, SM_ACCEPT_CHILDREN}));
        const QList<QByteArray> bodies = {Body(4000, 1, 4001), Body(1),          Body(3, 40),     Body("bob"),
                                          Body("carol"),       Body("lobby", 0), Body(quint8(1)), Body(quint8(0))};
        for (int n = 0; n < bodies.size(); ++n)
            QCOMPARE(f.testServer->Frames(QStringLiteral("alice")).at(n + 1).m_body, bodies.at(n));

        // A room tab re-entering its room on Connected sends no second join.
        f.server->EnterRoom("lobby", false);
        f.server->EveryFiveMinutes();
        QVERIFY(f.testServer->WaitForFrames(SM_PING));
        QCOMPARE(f.testServer->FramesWithCode(SM_PING).at(0).m_body, QByteArray());
        QCOMPARE(f.testServer->FramesWithCode(SM_JOIN_ROOM).size(), 1);
    }

    void requestsWhileOfflineAreDroppedButKeepTheirLocalEffects()
    {
        ServerFixture f;
        QSignalSpy sent(f.server.get(), &Server::PrivateChatSent);
        const unsigned first = f.server->FileSearch(QStringLiteral("blue train"), false);
        const unsigned second = f.server->FileSearch(QStringLiteral("red train"), true);
        const unsigned third = f.server->SearchRoom(QStringLiteral("lobby"), QStringLiteral("green"));
        QVERIFY(first != second && second != third && first != third);
        ItemPtr request = d->GetType("search_request")->HasItem(Value(first));
        QVERIFY(request);
        QCOMPARE(request["search_request_text"].AsString(), QStringLiteral("blue train"));
        QVERIFY(!request.IsConnected("wishlist_search"));
        QVERIFY(d->GetType("search_request")->HasItem(Value(second)).IsConnected("wishlist_search"));
        f.server->SendPrivateChat("bob", "hello");
        QCOMPARE(sent.count(), 0);
        f.server->SendRoomChat("lobby", "hi");
        f.server->GetRoomList();
        QCOMPARE(GetSetting(QStringLiteral("accept_room_list")), QStringLiteral("yes"));
        // Leaving while offline leaves locally, since no answer will come.
        ItemPtr lobby = f.Room("lobby");
        lobby += FlagItem("in_room");
        f.server->LeaveRoom("lobby");
        QVERIFY(!lobby.IsConnected("in_room"));

        QVERIFY(f.Login());
        QVERIFY(f.testServer->WaitForFrames(SM_ACCEPT_CHILDREN));
        for (quint32 code : f.testServer->Codes())
            QVERIFY2(code != SM_FILE_SEARCH && code != SM_WISHLIST_SEARCH && code != SM_ROOM_SEARCH
                         && code != SM_PRIVATE_MESSAGE && code != SM_ROOM_CHAT && code != SM_ROOM_LIST
                         && code != SM_LEAVE_ROOM,
                     qPrintable(QString::number(code)));
    }
};

QTEST_GUILESS_MAIN(TestServerConnection)
#include "test_server_connection.moc"
