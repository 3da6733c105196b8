// Byte-exact outgoing messages, the effects of incoming ones, and framing robustness.

#include "ServerFixture.h"
#include "Wire.h"

#include <QTcpSocket>

#include <functional>

namespace
{
const QString kMe = QStringLiteral("alice");
// Stands for the token a search call returns.
constexpr quint32 kToken = 0xdeadbeefu;
// Large frames enough that the socket holds them all, and the server's close, long before their turns end.
constexpr int kLongBurst = 12;

struct ConnectionCounter : DataHandler
{
    int count = 0;
    void On(ConnectionInfo&) { ++count; }
};

// Frames come in order: once an answer to a message sent now is in, all before it were handled.
bool RoundTrip(ServerFixture& io_f)
{
    QSignalSpy admin(io_f.server.get(), &Server::AdminMessage);
    io_f.Push(SM_ADMIN_MESSAGE, Body("sync"));
    return admin.wait(5000);
}

// An administrator message past the 64 KiB after which the frames of one read wait for the event loop.
QByteArray LargeAdminFrame(char i_letter)
{
    return WireWriter().Str(QLatin1Char(i_letter) + QString(66000, QLatin1Char('.'))).Frame(SM_ADMIN_MESSAGE);
}

QByteArray AdminFrame(const char* ip_text)
{
    return WireWriter().Str(QString::fromLatin1(ip_text)).Frame(SM_ADMIN_MESSAGE);
}

QByteArray JoinReply(const QString& i_room, const QStringList& i_users, quint32 i_speed)
{
    WireWriter body;
    const quint32 count = quint32(i_users.size());
    body.Str(i_room).U32(count);
    for (const QString& user : i_users)
        body.Str(user);
    body.U32(count);
    for (quint32 n = 0; n < count; ++n)
        body.U32(n == 0 ? 1 : 2);
    body.U32(count);
    for (quint32 n = 0; n < count; ++n)
        body.Stats(i_speed + n, 7, 100 + n, 5);
    body.U32(count);
    for (quint32 n = 0; n < count; ++n)
        body.U32(0);
    body.U32(count);
    for (quint32 n = 0; n < count; ++n)
        body.Str(QStringLiteral("D%1").arg(n));
    return body.Body();
}
} // namespace

class TestServerMessages : public QObject
{
    Q_OBJECT

private slots:
    void outgoingLayoutsAreByteExact()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        QVERIFY(f.testServer->WaitForFrames(SM_ACCEPT_CHILDREN));
        Server* s = f.server.get();
        // The user list search goes to listed users who are online, and only to them.
        for (const char* name : {"listed_online", "listed_offline", "online_only"})
            f.User(QString::fromLatin1(name));
        f.User("listed_online").NewItem("in_user_list");
        f.User("listed_offline").NewItem("in_user_list");
        f.User("listed_online") += FlagItem("is_online");
        f.User("online_only") += FlagItem("is_online");

        // A search's token replaces kToken in the body. The distributed network's reports and the
        // after-login duties are checked byte for byte where they are sent.
        struct Case
        {
            const char* name;
            std::function<void()> action;
            quint32 code;
            QByteArray body;
        };
        unsigned token = 0;
        const QList<Case> cases = {
            {"room list", [s] { s->GetRoomList(); }, SM_ROOM_LIST, {}},
            {"join", [s] { s->EnterRoom("r1", true); }, SM_JOIN_ROOM, Body("r1", 1)},
            {"room chat", [s] { s->SendRoomChat("r1", "hé"); }, SM_ROOM_CHAT, Body("r1", "hé")},
            {"private chat", [s] { s->SendPrivateChat("bob", "a\nb\r\nc"); }, SM_PRIVATE_MESSAGE,
             Body("bob", "a b  c")},
            {"give up room", [s] { s->GiveUpPrivateRoom("p"); }, SM_PRIVATE_ROOM_DISOWN, Body("p")},
            {"give up membership", [s] { s->GiveUpPrivateRoomMembership("p"); }, SM_PRIVATE_ROOM_CANCEL_MEMBERSHIP,
             Body("p")},
            {"private room add", [s] { s->EnablePrivateRoomAdd(true); }, SM_PRIVATE_ROOM_TOGGLE, Body(quint8(1))},
            {"privileges", [s] { s->GetOwnPrivilegesStatus(); }, SM_CHECK_PRIVILEGES, {}},
            {"user stats", [s] { s->GetUserStats("bob"); }, SM_GET_USER_STATS, Body("bob")},
            {"upload speed", [s] { s->SendUploadSpeed(65000); }, SM_UPLOAD_SPEED, Body(65000)},
            {"add user", [s] { s->AddUser("bob"); }, SM_WATCH_USER, Body("bob")},
            {"file search", [&] { token = s->FileSearch("q", false); }, SM_FILE_SEARCH, Body(kToken, "q")},
            {"wish list search", [&] { token = s->FileSearch("w", true); }, SM_WISHLIST_SEARCH, Body(kToken, "w")},
            {"user list search", [&] { token = s->SearchUserList("u"); }, SM_USER_SEARCH,
             Body("listed_online", kToken, "u")},
            {"room search", [&] { token = s->SearchRoom("r1", "t"); }, SM_ROOM_SEARCH, Body("r1", kToken, "t")},
            {"related searches", [s] { s->GetSearchCorrelations("jazz"); }, SM_RELATED_SEARCHES, Body("jazz")},
            {"gift privileges", [s] { s->GiftPrivileges("bob", 3); }, SM_GIVE_PRIVILEGES, Body("bob", 3)},
            {"add member", [s] { s->AddPrivateRoomMember("p", "bob"); }, SM_PRIVATE_ROOM_ADD_USER, Body("p", "bob")},
            {"remove member", [s] { s->RemovePrivateRoomMember("p", "bob"); }, SM_PRIVATE_ROOM_REMOVE_USER,
             Body("p", "bob")},
            {"add operator", [s] { s->AddPrivateRoomOperator("p", "bob"); }, SM_PRIVATE_ROOM_ADD_OPERATOR,
             Body("p", "bob")},
            {"remove operator", [s] { s->RemovePrivateRoomOperator("p", "bob"); }, SM_PRIVATE_ROOM_REMOVE_OPERATOR,
             Body("p", "bob")},
            {"status available", [s] { s->SetAvailabilityStatus(true); }, SM_SET_STATUS, Body(2)},
            {"peer address", [s] { s->GetPeerAddress("bob"); }, SM_GET_PEER_ADDRESS, Body("bob")},
            {"connect to peer", [s] { s->ConnectToPeer(77, "bob", "F"); }, SM_CONNECT_TO_PEER, Body(77u, "bob", "F")},
            {"cannot connect", [s] { s->CantConnectToPeer(78, "bob"); }, SM_CANT_CONNECT_TO_PEER, Body(78u, "bob")},
        };
        QSignalSpy sent(s, &Server::PrivateChatSent);
        for (const Case& test : cases)
        {
            f.testServer->ClearFrames();
            test.action();
            QVERIFY2(f.testServer->WaitForFrames(test.code, 1, kMe), test.name);
            const QList<TestServer::Frame> frames = f.testServer->FramesWithCode(test.code, kMe);
            QVERIFY2(frames.size() == 1, test.name);
            QVERIFY2(frames.at(0).m_body == QByteArray(test.body).replace(Body(kToken), Body(quint32(token))),
                     test.name);
        }
        QCOMPARE(sent.count(), 1);
        QCOMPARE(sent.at(0).at(1).toString(), QStringLiteral("a b  c"));

        // Leave is sent only for a room we are in.
        f.testServer->ClearFrames();
        f.server->LeaveRoom("never_joined");
        QTRY_VERIFY(f.Room("r1").IsConnected("in_room"));
        f.server->LeaveRoom("r1");
        QVERIFY(f.testServer->WaitForFrames(SM_LEAVE_ROOM, 1, kMe));
        QCOMPARE(f.testServer->FramesWithCode(SM_LEAVE_ROOM).size(), 1);
        QCOMPARE(f.testServer->FramesWithCode(SM_LEAVE_ROOM).at(0).m_body, Body("r1"));
    }

    void joinRepliesRebuildTheRoomWithoutASecondInRoomLink()
    {
        ServerFixture f;
        ConnectionCounter counter;
        d->AddConnectionEventHandler(
            d->GetType("room"), d->GetType("in_room"),
            new EventHandler<ConnectionCounter, ConnectionInfo&>(&counter, &ConnectionCounter::On));
        QVERIFY(f.Login());
        ItemPtr lobby = f.Room("lobby");
        // One answer per join: this one goes out before the server reads the request, so the
        // server's own answer comes second and is not taken.
        f.server->EnterRoom("lobby", false);
        f.Push(SM_JOIN_ROOM, JoinReply("lobby", {"bob", "carol"}, 1000));
        QVERIFY(f.testServer->WaitForFrames(SM_JOIN_ROOM, 1, kMe));
        QVERIFY(RoundTrip(f));
        QCOMPARE(lobby.GetItems("user").size(), size_t(2));
        QCOMPARE(counter.count, 1);
        ItemPtr bob = f.User("bob");
        QCOMPARE(bob["average_download_speed"].AsString(), QStringLiteral("1000"));
        QCOMPARE(bob["shared_files_count"].AsString(), QStringLiteral("100"));
        QCOMPARE(bob["country_code"].AsString(), QStringLiteral("D0"));
        QVERIFY(bob.IsConnected("is_away"));
        QVERIFY(f.User("carol").IsConnected("is_online"));

        // After a reconnection the same room answers again with other users.
        QVERIFY(f.Drop());
        QVERIFY(lobby.IsConnected("in_room"));
        f.testServer->RoomOf("lobby").m_present = QStringList{"dave"};
        f.testServer->AccountOf("dave").m_status = 2;
        f.testServer->AccountOf("dave").m_averageSpeed = 2000;
        QSignalSpy connected(f.server.get(), &Server::Connected);
        f.server->EveryHalfMinute();
        QVERIFY(connected.wait(5000));
        // The room is entered again by itself.
        QVERIFY(f.testServer->WaitForFrames(SM_JOIN_ROOM, 1, kMe));
        QTRY_VERIFY(lobby.IsConnected(f.User(kMe)));
        QVERIFY(lobby.IsConnected(f.User("dave")));
        QCOMPARE(counter.count, 1);
        QVERIFY(!lobby.IsConnected(bob));
        QCOMPARE(f.User("dave")["average_download_speed"].AsString(), QStringLiteral("2000"));

        // Users joining and leaving, then our own leave answer.
        f.Push(SM_USER_JOINED_ROOM, Body("lobby", "erin", 2, Stats{5, 1, 9, 1}, 0, "FR"));
        QTRY_VERIFY(lobby.IsConnected(f.User("erin")));
        QCOMPARE(f.User("erin")["country_code"].AsString(), QStringLiteral("FR"));
        f.Push(SM_USER_LEFT_ROOM, Body("lobby", "dave"));
        QTRY_VERIFY(!lobby.IsConnected(f.User("dave")));
        f.Push(SM_LEAVE_ROOM, Body("lobby"));
        QTRY_VERIFY(!lobby.IsConnected("in_room"));

        // A private room's reply carries its owner and operators.
        TestServer::Room& served = f.testServer->RoomOf("club");
        served.m_private = true;
        served.m_owner = "bob";
        served.m_operators = QStringList{"carol"};
        f.server->EnterRoom("club", true);
        ItemPtr club = f.Room("club");
        QTRY_VERIFY(club.IsConnected("in_room"));
        QCOMPARE(club["room_owner"]["user"].AsString(), QStringLiteral("bob"));
        QCOMPARE(club["room_operators"]["user"].AsString(), QStringLiteral("carol"));
    }

    // A room list is the whole list: the rooms a later one no longer names go, but not the one the
    // user is in nor one entered by itself.
    void aRoomListIsTheWholeList()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        f.server->EnterRoom("inside", false);
        QTRY_VERIFY(f.Room("inside").IsConnected("in_room"));
        f.Room("auto") += FlagItem("room_autojoin");
        const auto rooms = [] {
            QStringList names;
            for (const ItemPtr& room : d->GetType("room")->GetItems())
                names << room.AsString();
            names.sort();
            return names;
        };
        f.Push(SM_ROOM_LIST, Body(2, "lobby", "music", 2, 5, 6) + Body(1, "mine", 1, 1) + Body(0, 0) + Body(0));
        QTRY_COMPARE(rooms(), QStringList({"auto", "inside", "lobby", "mine", "music"}));
        f.Push(SM_ROOM_LIST, Body(1, "lobby", 1, 4) + Body(0, 0) + Body(0, 0) + Body(0));
        QTRY_COMPARE(rooms(), QStringList({"auto", "inside", "lobby"}));
        QCOMPARE(f.Room("lobby")["user_count"].AsString(), QStringLiteral("4"));
    }

    // The server cannot open a room, with all its users, that we never asked to enter.
    void joinAnswersNobodyAskedForAreIgnored()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        QSignalSpy joined(f.server.get(), &Server::RoomJoined);
        f.Push(SM_JOIN_ROOM, JoinReply("trap", {"bob", "carol"}, 1));
        f.server->EnterRoom("lobby", false); // answered after the trap
        QVERIFY(joined.wait(5000));
        QCOMPARE(joined.count(), 1);
        QCOMPARE(joined.at(0).at(0).toString(), QStringLiteral("lobby"));
        const ItemPtr trap = d->GetType("room")->HasItem(Value(QStringLiteral("trap")));
        QVERIFY(!trap || (!trap.IsConnected("in_room") && trap.GetItems("user").empty()));
    }

    // A room takes one join answer per join sent: not another while the user is in it, nor one
    // after a leave the server has not confirmed yet.
    void aJoinedRoomTakesOneAnswerPerJoin()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        QSignalSpy joined(f.server.get(), &Server::RoomJoined);
        ItemPtr lobby = f.Room("lobby");
        f.server->EnterRoom("lobby", false);
        QTRY_VERIFY(lobby.IsConnected("in_room"));
        f.Push(SM_JOIN_ROOM, JoinReply("lobby", {"mallory"}, 1));
        QVERIFY(RoundTrip(f));
        // Pushed before the server reads the leave: the room is still marked as joined.
        f.server->LeaveRoom("lobby");
        f.Push(SM_JOIN_ROOM, JoinReply("lobby", {"trudy"}, 1));
        QTRY_VERIFY(!lobby.IsConnected("in_room"));
        QVERIFY(RoundTrip(f));
        QCOMPARE(joined.count(), 1);
        for (const char* name : {"mallory", "trudy"})
            QVERIFY2(!d->GetType("user")->HasItem(QString::fromLatin1(name)), name);

        // Entered again, the room takes the answer to that join.
        f.server->EnterRoom("lobby", false);
        QTRY_COMPARE(joined.count(), 2);
        QVERIFY(lobby.IsConnected("in_room"));
        QVERIFY(lobby.IsConnected(f.User(kMe)));
    }

    // A join answer still owed when the connection ends is owed no more: after the reconnection the
    // server cannot fill the room with an answer nobody asked for on this connection.
    void join_answers_owed_end_with_the_connection()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        QSignalSpy joined(f.server.get(), &Server::RoomJoined);
        // The connection goes before the server reads the join.
        f.server->EnterRoom("lobby", false);
        QVERIFY(f.Drop());
        QSignalSpy connected(f.server.get(), &Server::Connected);
        f.server->EveryHalfMinute();
        QVERIFY(connected.wait(5000));
        f.Push(SM_JOIN_ROOM, JoinReply("lobby", {"mallory"}, 1));
        QVERIFY(RoundTrip(f));
        QCOMPARE(joined.count(), 0);
        QVERIFY(!d->GetType("user")->HasItem(QStringLiteral("mallory")));
        QVERIFY(f.testServer->FramesWithCode(SM_JOIN_ROOM).isEmpty());
    }

    // Private-room messages keep to the rooms held, those listed and those asked for; a room
    // outside them is not made, nor its row.
    void privateRoomMessagesKeepToTheRoomsHeld_data()
    {
        QTest::addColumn<quint32>("code");
        QTest::addColumn<QByteArray>("rest");
        QTest::addColumn<QString>("made");
        QTest::newRow("members") << quint32(SM_PRIVATE_ROOM_USERS) << Body(1, "bob") << "room_members";
        QTest::newRow("member added") << quint32(SM_PRIVATE_ROOM_ADD_USER) << Body("bob") << "room_members";
        QTest::newRow("member removed") << quint32(SM_PRIVATE_ROOM_REMOVE_USER) << Body("bob") << "room_members";
        QTest::newRow("we are a member") << quint32(SM_PRIVATE_ROOM_ADDED) << QByteArray() << "is_member";
        QTest::newRow("we are an operator") << quint32(SM_PRIVATE_ROOM_OPERATOR_ADDED) << QByteArray() << "is_operator";
    }

    void privateRoomMessagesKeepToTheRoomsHeld()
    {
        QFETCH(quint32, code);
        QFETCH(QByteArray, rest);
        QFETCH(QString, made);
        ServerFixture f;
        QVERIFY(f.Login());
        f.Push(SM_ROOM_LIST, Body(1, "listed", 1, 3) + Body(0, 0) + Body(0, 0) + Body(0));
        // Asked for and not answered yet: the messages go out before the server reads the join.
        f.server->EnterRoom("asked", true);
        for (const char* room : {"listed", "asked", "elsewhere"})
            f.Push(code, Body(room) + rest);
        QVERIFY(RoundTrip(f));
        QVERIFY(!d->GetType("room")->HasItem(QStringLiteral("elsewhere")));
        for (const char* room : {"listed", "asked"})
            QVERIFY2(f.Room(room).IsConnected(made.toLatin1().constData()), room);
    }

    void chatSearchesAndPrivateMessages()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        QSignalSpy roomChat(f.server.get(), &Server::RoomChat);
        QSignalSpy privateChat(f.server.get(), &Server::PrivateChat);
        QSignalSpy search(f.server.get(), &Server::DirectFileSearch);
        QSignalSpy admin(f.server.get(), &Server::AdminMessage);
        f.User("troll") += FlagItem("is_ignored");

        f.Push(SM_ROOM_CHAT, Body("lobby", "troll", "spam"));
        f.Push(SM_ROOM_CHAT, Body("lobby", "ghost", "boo"));
        QVERIFY(roomChat.wait(5000));
        QCOMPARE(roomChat.count(), 1);
        QCOMPARE(roomChat.at(0),
                 (QList<QVariant>{QStringLiteral("lobby"), QStringLiteral("ghost"), QStringLiteral("boo")}));
        QVERIFY(!d->GetType("user")->HasItem(QStringLiteral("ghost")));

        f.Push(SM_PRIVATE_MESSAGE, Body(41, 1700000000, "troll", "x", quint8(1)));
        f.Push(SM_PRIVATE_MESSAGE, Body(42, 1700000001, "bob", "hi", quint8(0)));
        QVERIFY(f.testServer->WaitForFrames(SM_PRIVATE_MESSAGE_ACK, 2, kMe));
        QCOMPARE(f.testServer->FramesWithCode(SM_PRIVATE_MESSAGE_ACK).at(0).m_body, Body(41));
        QCOMPARE(f.testServer->FramesWithCode(SM_PRIVATE_MESSAGE_ACK).at(1).m_body, Body(42));
        QCOMPARE(privateChat.count(), 1);
        QCOMPARE(privateChat.at(0).mid(0, 2), (QVariantList{QStringLiteral("bob"), QStringLiteral("hi")}));
        QCOMPARE(privateChat.at(0).at(2).value<time_t>(), time_t(1700000001));
        QCOMPARE(privateChat.at(0).at(3).toBool(), false);

        f.Push(SM_FILE_SEARCH, Body("bob", 0xfffffff0u, "song"));
        f.Push(SM_ADMIN_MESSAGE, Body("maintenance"));
        QVERIFY(admin.wait(5000));
        QCOMPARE(search.count(), 1);
        QCOMPARE(search.at(0), (QList<QVariant>{QStringLiteral("bob"), 0xfffffff0u, QStringLiteral("song")}));
        QCOMPARE(admin.at(0).at(0).toString(), QStringLiteral("maintenance"));
    }

    // The test server passes a text on as the client reads it, whole past a NUL: tests of such
    // texts through it see what the client does with them.
    void texts_with_nul_reach_the_client_whole_through_the_test_server_data()
    {
        QTest::addColumn<QString>("room");
        QTest::addColumn<QString>("line");
        QTest::newRow("line") << QStringLiteral("lobby") << QString::fromUtf8("before\0after", 12);
        QTest::newRow("room name") << QString::fromUtf8("lob\0by", 6) << QStringLiteral("hey");
    }

    void texts_with_nul_reach_the_client_whole_through_the_test_server()
    {
        QFETCH(QString, room);
        QFETCH(QString, line);
        ServerFixture f;
        QVERIFY(f.Login());
        QSignalSpy joined(f.server.get(), &Server::RoomJoined);
        QSignalSpy chat(f.server.get(), &Server::RoomChat);
        f.server->EnterRoom(room, false);
        QVERIFY(joined.wait(5000));
        f.server->SendRoomChat(room, line);
        QVERIFY(chat.wait(5000));
        QCOMPARE(chat.at(0), (QList<QVariant>{room, kMe, line}));
    }

    // A private message whose id can be read is acknowledged even when the rest cannot be, or the
    // server would send it again at every login; it reaches no window.
    void unreadablePrivateMessagesAreAcknowledged()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        QSignalSpy privateChat(f.server.get(), &Server::PrivateChat);
        f.Push(SM_PRIVATE_MESSAGE,
               Body(51, 1700000000, "bob", QString(kMaxStreamCount + 1, QLatin1Char('x')), quint8(1)));
        f.Push(SM_PRIVATE_MESSAGE, Body(52, 1700000000));
        f.Push(SM_PRIVATE_MESSAGE, QByteArray("\x35\x00", 2));
        f.Push(SM_PRIVATE_MESSAGE, Body(53, 1700000001, "bob", "hi", quint8(0)));
        QVERIFY(f.testServer->WaitForFrames(SM_PRIVATE_MESSAGE_ACK, 3, kMe));
        QTRY_COMPARE(privateChat.count(), 1);
        const QList<TestServer::Frame> acks = f.testServer->FramesWithCode(SM_PRIVATE_MESSAGE_ACK, kMe);
        QCOMPARE(acks.size(), 3);
        for (int n = 0; n < 3; ++n)
            QCOMPARE(acks.at(n).m_body, Body(51 + n));
    }

    void statusPrivilegesListsAndAnswers()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        Server* s = f.server.get();
        QSignalSpy added(s, &Server::AddUserResponse);
        QSignalSpy wish(s, &Server::WishListWait);
        QSignalSpy stats(s, &Server::ReceivedUserStats);
        QSignalSpy toggle(s, &Server::PrivateRoomAddEnabled);
        QString privilegesSeen;
        connect(s, &Server::ReceivedOwnPrivilegesStatus, this,
                [&privilegesSeen](int) { privilegesSeen = GetSetting(QStringLiteral("privileges_time_left")); });

        f.Push(SM_WATCH_USER, Body("nobody", quint8(0)));
        f.Push(SM_WATCH_USER, Body("bob", quint8(1), 2, Stats{1, 2, 3, 4}, "SE"));
        f.Push(SM_WATCH_USER, Body("carol", quint8(1), 0, Stats{1, 2, 3, 4}));
        QTRY_COMPARE(added.count(), 3);
        QCOMPARE(added.at(0), (QList<QVariant>{QStringLiteral("nobody"), false}));
        QCOMPARE(added.at(1), (QList<QVariant>{QStringLiteral("bob"), true}));
        QVERIFY(f.User("bob").IsConnected("is_online"));
        QVERIFY(!d->GetType("user")->HasItem(QStringLiteral("nobody")));
        QVERIFY(!d->GetType("user")->HasItem(QStringLiteral("carol")));

        f.Push(SM_USER_STATUS, Body("bob", 0, quint8(1)));
        f.Push(SM_PRIVILEGED_USERS, Body(2, "dave", "bob"));
        f.Push(SM_CHECK_PRIVILEGES, Body(86400));
        f.Push(SM_WISHLIST_INTERVAL, Body(720));
        f.Push(SM_GET_USER_STATS, Body(kMe, Stats{9, 8, 7, 6}));
        f.Push(SM_PRIVATE_ROOM_TOGGLE, Body(quint8(1)));
        QVERIFY(toggle.wait(5000));
        QVERIFY(!f.User("bob").IsConnected("is_online"));
        QVERIFY(f.User("bob").IsConnected("is_privileged"));
        QVERIFY(!d->GetType("user")->HasItem(QStringLiteral("dave")));
        QCOMPARE(privilegesSeen, QStringLiteral("86400"));
        QCOMPARE(wish.count(), 1);
        QCOMPARE(wish.at(0).at(0).toUInt(), 720u);
        QCOMPARE(stats.count(), 1);
        const UserStats received = stats.at(0).at(1).value<UserStats>();
        QVERIFY(received.m_averageSpeed == 9 && received.m_uploadCount == 8 && received.m_fileCount == 7
                && received.m_folderCount == 6);
        QCOMPARE(toggle.at(0).at(0).toBool(), true);
    }

    void roomListPrivateRoomsAndRelatedSearches()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        ItemPtr stale = f.Room("stale");
        stale += FlagItem("is_owner");
        // Public rooms with their user counts, then owned, member and operated private rooms.
        f.Push(SM_ROOM_LIST,
               Body(2, "lobby", "music", 2, 12, 3) + Body(1, "mine", 1, 1) + Body(1, "club", 1, 4) + Body(1, "club"));
        QTRY_COMPARE(f.Room("lobby")["user_count"].AsString(), QStringLiteral("12"));
        QCOMPARE(f.Room("club")["user_count"].AsString(), QStringLiteral("4"));
        QVERIFY(f.Room("mine").IsConnected("is_owner"));
        QVERIFY(!stale.IsConnected("is_owner"));
        QVERIFY(f.Room("club").IsConnected("is_member"));
        QVERIFY(f.Room("club").IsConnected("is_operator"));

        ItemPtr club = f.Room("club");
        f.Push(SM_PRIVATE_ROOM_USERS, Body("club", 2, "bob", "carol"));
        f.Push(SM_PRIVATE_ROOM_REMOVE_USER, Body("club", "bob"));
        f.Push(SM_PRIVATE_ROOM_ADD_OPERATOR, Body("club", "carol"));
        f.Push(SM_PRIVATE_ROOM_OPERATOR_REMOVED, Body("club"));
        f.Push(SM_PRIVATE_ROOM_REMOVED, Body("club"));
        QTRY_VERIFY(!club.IsConnected("is_member"));
        QCOMPARE(club["room_members"].GetItems("user").size(), size_t(1));
        QCOMPARE(club["room_members"]["user"].AsString(), QStringLiteral("carol"));
        QCOMPARE(club["room_operators"]["user"].AsString(), QStringLiteral("carol"));
        QVERIFY(!club.IsConnected("is_operator"));

        // The old correlations are gone before the signal tells of the new ones.
        QSignalSpy correlations(f.server.get(), &Server::SearchCorrelations);
        int itemsAtSignal = -1;
        connect(f.server.get(), &Server::SearchCorrelations, this, [&itemsAtSignal](const QString& i_text) {
            itemsAtSignal =
                int(d->GetType("search_request_text")->HasItem(i_text).GetItems("search_correlation").size());
        });
        f.testServer->SetRelatedSearches("jazz", {{"blues", 5}, {"swing", 3}});
        f.server->GetSearchCorrelations("jazz");
        QVERIFY(correlations.wait(5000));
        QCOMPARE(itemsAtSignal, 2);
        f.testServer->SetRelatedSearches("jazz", {{"bebop", 9}});
        f.server->GetSearchCorrelations("jazz");
        QVERIFY(correlations.wait(5000));
        QCOMPARE(itemsAtSignal, 1);
        ItemPtr correlation = d->GetType("search_request_text")->HasItem(QStringLiteral("jazz"))["search_correlation"];
        QCOMPARE(correlation["correlation_text"].AsString(), QStringLiteral("bebop"));
        QCOMPARE(correlation["correlation_rank"].AsString(), QStringLiteral("9"));
    }

    void peerAndDistributedNetworkAnswers()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        Server* s = f.server.get();
        QSignalSpy address(s, &Server::PeerAddressReceived);
        QSignalSpy request(s, &Server::ConnectToPeerRequested);
        QSignalSpy cant(s, &Server::CantConnectToPeerReceived);
        QSignalSpy parents(s, &Server::PossibleParents);
        QSignalSpy minSpeed(s, &Server::ParentMinSpeed);
        QSignalSpy embedded(s, &Server::EmbeddedMessage);
        QSignalSpy reset(s, &Server::ResetDistributed);

        f.Push(SM_GET_PEER_ADDRESS, Body("bob", 0x01020304, 2235, 1) + WireWriter().U16(2236).Body());
        f.Push(SM_CONNECT_TO_PEER, Body("bob", "P", 0x7f000001, 5000, 99, quint8(1), 1, 5001));
        f.Push(SM_CANT_CONNECT_TO_PEER, Body(99));
        f.Push(SM_POSSIBLE_PARENTS, Body(1, "root", 0x7f000001, 6000));
        f.Push(SM_PARENT_MIN_SPEED, Body(1024));
        f.testServer->SendEmbeddedSearch(kMe, "carol", 7, "q");
        f.Push(SM_RESET_DISTRIBUTED, QByteArray());
        QVERIFY(reset.wait(5000));

        QCOMPARE(address.count(), 1);
        QCOMPARE(address.at(0).at(0).toString(), QStringLiteral("bob"));
        QCOMPARE(address.at(0).at(1).value<TCPAddress>(), TCPAddress(0x01020304, 2235));
        QCOMPARE(address.at(0).at(2).toUInt(), 2236u);
        QCOMPARE(request.count(), 1);
        QCOMPARE(request.at(0).at(1).toString(), QStringLiteral("P"));
        QCOMPARE(request.at(0).at(2).value<TCPAddress>(), TCPAddress(0x7f000001, 5000));
        QCOMPARE(request.at(0).at(3).toUInt(), 99u);
        QCOMPARE(request.at(0).at(4).toBool(), true);
        QCOMPARE(request.at(0).at(5).toUInt(), 5001u);
        QCOMPARE(cant.count(), 1);
        QCOMPARE(parents.count(), 1);
        const auto offered = parents.at(0).at(0).value<QVector<ParentCandidate>>();
        QCOMPARE(offered.size(), 1);
        QCOMPARE(offered.at(0).m_user, QStringLiteral("root"));
        QCOMPARE(offered.at(0).m_address, TCPAddress(0x7f000001, 6000));
        QCOMPARE(minSpeed.at(0).at(0).toUInt(), 1024u);
        QCOMPARE(embedded.count(), 1);
        QCOMPARE(embedded.at(0).at(0).toUInt(), 3u);
        QCOMPARE(embedded.at(0).at(1).toByteArray(), Body(49, "carol", 7, "q"));
    }

    void framesSplitCoalescedMalformedAndOversized()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        QSignalSpy admin(f.server.get(), &Server::AdminMessage);
        QSignalSpy disconnected(f.server.get(), &Server::Disconnected);

        // Byte by byte.
        for (char byte : WireWriter().Str(QStringLiteral("split")).Frame(SM_ADMIN_MESSAGE))
        {
            f.testServer->SendRaw(kMe, QByteArray(1, byte));
            QCoreApplication::processEvents();
        }
        QTRY_COMPARE(admin.count(), 1);
        QCOMPARE(admin.at(0).at(0).toString(), QStringLiteral("split"));

        // Coalesced, with an unknown code, a short known one and a hostile count in between.
        QByteArray burst = WireWriter().Str(QStringLiteral("a")).Frame(SM_ADMIN_MESSAGE);
        burst += WireWriter().U32(1).U32(2).Frame(9999);
        burst += WireWriter().U32(50).Append("abc").Frame(SM_ADMIN_MESSAGE);
        burst += WireWriter().U32(0xffffffffu).Frame(SM_PRIVILEGED_USERS);
        burst += WireWriter().U32(131073).Frame(SM_PRIVILEGED_USERS);
        burst += WireWriter().Frame(SM_ROOM_CHAT);
        burst += WireWriter().U32(2).Append("xy").Body(); // no room for a code: skipped
        burst += WireWriter().Str(QStringLiteral("b")).Frame(SM_ADMIN_MESSAGE);
        f.testServer->SendRaw(kMe, burst);
        QTRY_COMPARE(admin.count(), 3);
        QCOMPARE(admin.at(1).at(0).toString(), QStringLiteral("a"));
        QCOMPARE(admin.at(2).at(0).toString(), QStringLiteral("b"));
        QVERIFY(f.server->IsConnected());

        // A length over the cap is a loss, before anything is allocated for it.
        f.testServer->SendRaw(kMe, Body(FrameCodec::MaxFrameLength + 1, SM_ADMIN_MESSAGE));
        QVERIFY(disconnected.wait(5000));
        QVERIFY(f.server->IsAbruptlyDisconnected());
    }

    // The frames of one read take turns with the event loop, in their order: what waits behind a
    // large frame does not wait for every other one too.
    void framesOfOneReadTakeTurnsWithTheEventLoop()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        QStringList seen;
        int seenWhenTheLoopTurned = -1;
        connect(f.server.get(), &Server::AdminMessage, this, [&](const QString& i_text) {
            if (seen.isEmpty())
                QMetaObject::invokeMethod(
                    this, [&] { seenWhenTheLoopTurned = seen.size(); }, Qt::QueuedConnection);
            seen << i_text.left(1);
        });
        f.testServer->SendRaw(kMe, LargeAdminFrame('A') + AdminFrame("B") + AdminFrame("c"));
        QTRY_COMPARE(seen, QStringList({"A", "B", "c"}));
        QCOMPARE(seenWhenTheLoopTurned, 1);
    }

    // Frames still waiting when the connection ends: the client's own end drops them, and the next
    // connection reads as before; the server's close comes after the frames it sent first.
    void framesWaitingWhenTheConnectionEnds()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        QStringList seen;
        QStringList seenAtTheLoss{"none"};
        bool endOnA = true;
        connect(f.server.get(), &Server::AdminMessage, this, [&](const QString& i_text) {
            seen << i_text.left(1);
            // The user disconnects while the frames after it wait for their turn.
            if (endOnA && seen.constLast() == "A")
                QMetaObject::invokeMethod(
                    this, [&] { f.server->Disconnect(); }, Qt::QueuedConnection);
        });
        connect(f.server.get(), &Server::Disconnected, this, [&] { seenAtTheLoss = seen; });
        const QByteArray burst = LargeAdminFrame('A') + LargeAdminFrame('B') + AdminFrame("c");
        f.testServer->SendRaw(kMe, burst);
        QTRY_COMPARE(seenAtTheLoss, QStringList({"A"}));
        QVERIFY(f.Login());
        f.Push(SM_ADMIN_MESSAGE, Body("d"));
        QTRY_COMPARE(seen, QStringList({"A", "d"}));

        // The server's close comes while most of a long burst still waits for its turns: the loss is
        // told after every frame before it, and the client tries again on the tick.
        endOnA = false;
        seen.clear();
        QByteArray longBurst;
        QStringList sent;
        for (char letter = 'A'; letter < 'A' + kLongBurst; ++letter)
        {
            longBurst += LargeAdminFrame(letter);
            sent << QString(QLatin1Char(letter));
        }
        auto* socket = f.server->findChild<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly);
        QVERIFY(socket);
        int seenAtTheClose = -1;
        // Goes before what it counts: the fixture's end closes the socket again.
        QObject closeWatch;
        connect(socket, &QTcpSocket::disconnected, &closeWatch, [&] { seenAtTheClose = seen.size(); });
        f.testServer->SendRaw(kMe, longBurst);
        f.testServer->CloseConnection(kMe);
        QTRY_COMPARE(seenAtTheLoss, sent);
        QVERIFY2(seenAtTheClose >= 0 && seenAtTheClose < kLongBurst, qPrintable(QString::number(seenAtTheClose)));
        QVERIFY(f.server->IsAbruptlyDisconnected());
        QSignalSpy connected(f.server.get(), &Server::Connected);
        f.server->EveryHalfMinute();
        QVERIFY(connected.wait(5000));
    }

    // While frames wait for their turn nothing more is read, and the socket keeps a bounded part of
    // what follows: a flood costs the client that much, however long it goes on.
    void a_flood_while_frames_wait_holds_a_bounded_part()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        const QByteArray frame = WireWriter().U8(3).Append(QByteArray(64 * 1024, 'x')).Frame(SM_EMBEDDED_MESSAGE);
        constexpr int kFrames = 256;
        int handled = 0;
        qint64 mostHeld = 0;
        connect(f.server.get(), &Server::EmbeddedMessage, this, [&] {
            ++handled;
            mostHeld = qMax(mostHeld, f.server->BytesHeld());
        });
        f.testServer->SendRaw(kMe, frame.repeated(kFrames));
        QTRY_COMPARE_WITH_TIMEOUT(handled, kFrames, 60000);
        // The socket's 1 MiB, at most as much again taken from it, and a frame cut by the read.
        QVERIFY2(mostHeld <= 2 * 1024 * 1024 + frame.size(), qPrintable(QString::number(mostHeld)));
        QVERIFY(f.server->IsConnected());
    }
};

QTEST_GUILESS_MAIN(TestServerMessages)
#include "test_server_messages.moc"
