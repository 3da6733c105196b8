// Byte-exact outgoing messages, the effects of incoming ones, and framing robustness.

#include "ServerFixture.h"
#include "Wire.h"

#include <functional>

namespace
{
const QString kMe = QStringLiteral("alice");

ItemPtr FlagItem(const char* i_type)
{
    return d->GetType(i_type)->GetGlobalNullItem();
}

struct ConnectionCounter : DataHandler
{
    int count = 0;
    void On(ConnectionInfo&) { ++count; }
};

QByteArray JoinReply(const QString& i_room, const QStringList& i_users, quint32 i_speed)
{
    WireWriter body;
    body.Str(i_room).U32(i_users.size());
    for (const QString& user : i_users)
        body.Str(user);
    body.U32(i_users.size());
    for (int n = 0; n < i_users.size(); ++n)
        body.U32(n == 0 ? 1 : 2);
    body.U32(i_users.size());
    for (int n = 0; n < i_users.size(); ++n)
        body.Stats(i_speed + n, 7, 100 + n, 5);
    body.U32(i_users.size());
    for (int n = 0; n < i_users.size(); ++n)
        body.U32(0);
    body.U32(i_users.size());
    for (int n = 0; n < i_users.size(); ++n)
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
        f.User(QStringLiteral("listed_online")).NewItem("in_user_list");
        f.User(QStringLiteral("listed_offline")).NewItem("in_user_list");
        f.User(QStringLiteral("listed_online")) += FlagItem("is_online");
        f.User(QStringLiteral("online_only")) += FlagItem("is_online");

        struct Case
        {
            const char* name;
            std::function<void()> action;
            quint32 code;
            std::function<QByteArray()> body;
        };
        unsigned token = 0;
        const QList<Case> cases = {
            {"room list", [s] { s->GetRoomList(); }, SM_ROOM_LIST, [] { return QByteArray(); }},
            {"join", [s] { s->EnterRoom(QStringLiteral("r1"), true); }, SM_JOIN_ROOM,
             [] { return WireWriter().Str(QStringLiteral("r1")).I32(1).Body(); }},
            {"room chat", [s] { s->SendRoomChat(QStringLiteral("r1"), QStringLiteral("hé")); }, SM_ROOM_CHAT,
             [] { return WireWriter().Str(QStringLiteral("r1")).Str(QStringLiteral("hé")).Body(); }},
            {"private chat", [s] { s->SendPrivateChat(QStringLiteral("bob"), QStringLiteral("a\nb\r\nc")); },
             SM_PRIVATE_MESSAGE,
             [] { return WireWriter().Str(QStringLiteral("bob")).Str(QStringLiteral("a b  c")).Body(); }},
            {"give up room", [s] { s->GiveUpPrivateRoom(QStringLiteral("p")); }, SM_PRIVATE_ROOM_DISOWN,
             [] { return WireWriter().Str(QStringLiteral("p")).Body(); }},
            {"give up membership", [s] { s->GiveUpPrivateRoomMembership(QStringLiteral("p")); },
             SM_PRIVATE_ROOM_CANCEL_MEMBERSHIP, [] { return WireWriter().Str(QStringLiteral("p")).Body(); }},
            {"private room add", [s] { s->EnablePrivateRoomAdd(true); }, SM_PRIVATE_ROOM_TOGGLE,
             [] { return WireWriter().U8(1).Body(); }},
            {"privileges", [s] { s->GetOwnPrivilegesStatus(); }, SM_CHECK_PRIVILEGES, [] { return QByteArray(); }},
            {"user stats", [s] { s->GetUserStats(QStringLiteral("bob")); }, SM_GET_USER_STATS,
             [] { return WireWriter().Str(QStringLiteral("bob")).Body(); }},
            {"files folders", [s] { s->SendFilesFolders(12, 345); }, SM_SHARED_FOLDERS_FILES,
             [] { return WireWriter().U32(12).U32(345).Body(); }},
            {"upload speed", [s] { s->SendUploadSpeed(65000); }, SM_UPLOAD_SPEED,
             [] { return WireWriter().I32(65000).Body(); }},
            {"add user", [s] { s->AddUser(QStringLiteral("bob")); }, SM_WATCH_USER,
             [] { return WireWriter().Str(QStringLiteral("bob")).Body(); }},
            {"file search", [s, &token] { token = s->FileSearch(QStringLiteral("q"), false); }, SM_FILE_SEARCH,
             [&token] { return WireWriter().U32(token).Str(QStringLiteral("q")).Body(); }},
            {"wish list search", [s, &token] { token = s->FileSearch(QStringLiteral("w"), true); }, SM_WISHLIST_SEARCH,
             [&token] { return WireWriter().U32(token).Str(QStringLiteral("w")).Body(); }},
            {"user list search", [s, &token] { token = s->SearchUserList(QStringLiteral("u")); }, SM_USER_SEARCH,
             [&token] { return WireWriter().Str(QStringLiteral("listed_online")).U32(token).Str(QStringLiteral("u")).Body(); }},
            {"room search", [s, &token] { token = s->SearchRoom(QStringLiteral("r1"), QStringLiteral("t")); },
             SM_ROOM_SEARCH,
             [&token] { return WireWriter().Str(QStringLiteral("r1")).U32(token).Str(QStringLiteral("t")).Body(); }},
            {"related searches", [s] { s->GetSearchCorrelations(QStringLiteral("jazz")); }, SM_RELATED_SEARCHES,
             [] { return WireWriter().Str(QStringLiteral("jazz")).Body(); }},
            {"gift privileges", [s] { s->GiftPrivileges(QStringLiteral("bob"), 3); }, SM_GIVE_PRIVILEGES,
             [] { return WireWriter().Str(QStringLiteral("bob")).I32(3).Body(); }},
            {"add member", [s] { s->AddPrivateRoomMember(QStringLiteral("p"), QStringLiteral("bob")); },
             SM_PRIVATE_ROOM_ADD_USER, [] { return WireWriter().Str(QStringLiteral("p")).Str(QStringLiteral("bob")).Body(); }},
            {"remove member", [s] { s->RemovePrivateRoomMember(QStringLiteral("p"), QStringLiteral("bob")); },
             SM_PRIVATE_ROOM_REMOVE_USER,
             [] { return WireWriter().Str(QStringLiteral("p")).Str(QStringLiteral("bob")).Body(); }},
            {"add operator", [s] { s->AddPrivateRoomOperator(QStringLiteral("p"), QStringLiteral("bob")); },
             SM_PRIVATE_ROOM_ADD_OPERATOR,
             [] { return WireWriter().Str(QStringLiteral("p")).Str(QStringLiteral("bob")).Body(); }},
            {"remove operator", [s] { s->RemovePrivateRoomOperator(QStringLiteral("p"), QStringLiteral("bob")); },
             SM_PRIVATE_ROOM_REMOVE_OPERATOR,
             [] { return WireWriter().Str(QStringLiteral("p")).Str(QStringLiteral("bob")).Body(); }},
            {"status available", [s] { s->SetAvailabilityStatus(true); }, SM_SET_STATUS,
             [] { return WireWriter().I32(2).Body(); }},
            {"peer address", [s] { s->GetPeerAddress(QStringLiteral("bob")); }, SM_GET_PEER_ADDRESS,
             [] { return WireWriter().Str(QStringLiteral("bob")).Body(); }},
            {"connect to peer", [s] { s->ConnectToPeer(77, QStringLiteral("bob"), QStringLiteral("F")); },
             SM_CONNECT_TO_PEER, [] { return WireWriter().U32(77).Str(QStringLiteral("bob")).Str(QStringLiteral("F")).Body(); }},
            {"cannot connect", [s] { s->CantConnectToPeer(78, QStringLiteral("bob")); }, SM_CANT_CONNECT_TO_PEER,
             [] { return WireWriter().U32(78).Str(QStringLiteral("bob")).Body(); }},
            {"have no parent", [s] { s->HaveNoParent(false); }, SM_HAVE_NO_PARENT, [] { return WireWriter().U8(0).Body(); }},
            {"accept children", [s] { s->AcceptChildren(true); }, SM_ACCEPT_CHILDREN, [] { return WireWriter().U8(1).Body(); }},
            {"branch level", [s] { s->SendBranchLevel(3); }, SM_BRANCH_LEVEL, [] { return WireWriter().U32(3).Body(); }},
            {"branch root", [s] { s->SendBranchRoot(QStringLiteral("root")); }, SM_BRANCH_ROOT,
             [] { return WireWriter().Str(QStringLiteral("root")).Body(); }},
            {"child depth", [s] { s->SendChildDepth(2); }, SM_CHILD_DEPTH, [] { return WireWriter().U32(2).Body(); }},
        };
        QSignalSpy sent(s, &Server::PrivateChatSent);
        for (const Case& test : cases)
        {
            f.testServer->ClearFrames();
            test.action();
            QVERIFY2(f.testServer->WaitForFrames(test.code, 1, kMe), test.name);
            const QList<TestServer::Frame> frames = f.testServer->FramesWithCode(test.code, kMe);
            QVERIFY2(frames.size() == 1, test.name);
            QVERIFY2(frames.at(0).m_body == test.body(), test.name);
        }
        QCOMPARE(sent.count(), 1);
        QCOMPARE(sent.at(0).at(1).toString(), QStringLiteral("a b  c"));

        // Leave is sent only for a room we are in.
        f.testServer->ClearFrames();
        f.server->LeaveRoom(QStringLiteral("never_joined"));
        ItemPtr r1 = f.Room(QStringLiteral("r1"));
        QTRY_VERIFY(r1.IsConnected("in_room"));
        f.server->LeaveRoom(QStringLiteral("r1"));
        QVERIFY(f.testServer->WaitForFrames(SM_LEAVE_ROOM, 1, kMe));
        QCOMPARE(f.testServer->FramesWithCode(SM_LEAVE_ROOM).size(), 1);
        QCOMPARE(f.testServer->FramesWithCode(SM_LEAVE_ROOM).at(0).m_body, WireWriter().Str(QStringLiteral("r1")).Body());
    }

    void joinRepliesRebuildTheRoomWithoutASecondInRoomLink()
    {
        ServerFixture f;
        ConnectionCounter counter;
        d->AddConnectionEventHandler(d->GetType("room"), d->GetType("in_room"),
                                     new EventHandler<ConnectionCounter, ConnectionInfo&>(&counter, &ConnectionCounter::On));
        QVERIFY(f.Login());
        ItemPtr lobby = f.Room(QStringLiteral("lobby"));
        f.testServer->SendFrame(kMe, SM_JOIN_ROOM, JoinReply(QStringLiteral("lobby"), {QStringLiteral("bob"), QStringLiteral("carol")}, 1000));
        QTRY_COMPARE(lobby.GetItems("user").size(), size_t(2));
        QCOMPARE(counter.count, 1);
        ItemPtr bob = f.User(QStringLiteral("bob"));
        QCOMPARE(bob["average_download_speed"].AsString(), QStringLiteral("1000"));
        QCOMPARE(bob["shared_files_count"].AsString(), QStringLiteral("100"));
        QCOMPARE(bob["country_code"].AsString(), QStringLiteral("D0"));
        QVERIFY(bob.IsConnected("is_away"));
        QVERIFY(f.User(QStringLiteral("carol")).IsConnected("is_online"));

        // After a reconnection the same room answers again with other users.
        QSignalSpy disconnected(f.server.get(), &Server::Disconnected);
        f.testServer->DropConnection(kMe);
        QVERIFY(disconnected.wait(5000));
        QVERIFY(lobby.IsConnected("in_room"));
        QSignalSpy connected(f.server.get(), &Server::Connected);
        f.server->EveryHalfMinute();
        QVERIFY(connected.wait(5000));
        // The room is entered again by itself; its answer comes first.
        QVERIFY(f.testServer->WaitForFrames(SM_JOIN_ROOM, 1, kMe));
        QTRY_VERIFY(lobby.IsConnected(f.User(kMe)));
        f.testServer->SendFrame(kMe, SM_JOIN_ROOM, JoinReply(QStringLiteral("lobby"), {QStringLiteral("dave")}, 2000));
        QTRY_VERIFY(lobby.IsConnected(f.User(QStringLiteral("dave"))));
        QCOMPARE(counter.count, 1);
        QVERIFY(!lobby.IsConnected(bob));
        QCOMPARE(f.User(QStringLiteral("dave"))["average_download_speed"].AsString(), QStringLiteral("2000"));

        // Users joining and leaving, then our own leave answer.
        f.testServer->SendFrame(kMe, SM_USER_JOINED_ROOM,
                                WireWriter().Str(QStringLiteral("lobby")).Str(QStringLiteral("erin")).U32(2)
                                    .Stats(5, 1, 9, 1).U32(0).Str(QStringLiteral("FR")).Body());
        QTRY_VERIFY(lobby.IsConnected(f.User(QStringLiteral("erin"))));
        QCOMPARE(f.User(QStringLiteral("erin"))["country_code"].AsString(), QStringLiteral("FR"));
        f.testServer->SendFrame(kMe, SM_USER_LEFT_ROOM, WireWriter().Str(QStringLiteral("lobby")).Str(QStringLiteral("dave")).Body());
        QTRY_VERIFY(!lobby.IsConnected(f.User(QStringLiteral("dave"))));
        f.testServer->SendFrame(kMe, SM_LEAVE_ROOM, WireWriter().Str(QStringLiteral("lobby")).Body());
        QTRY_VERIFY(!lobby.IsConnected("in_room"));

        // A private room's reply carries its owner and operators.
        WireWriter priv;
        priv.Append(JoinReply(QStringLiteral("club"), {QStringLiteral("bob")}, 1)).Str(QStringLiteral("bob")).U32(1).Str(QStringLiteral("carol"));
        f.testServer->SendFrame(kMe, SM_JOIN_ROOM, priv.Body());
        ItemPtr club = f.Room(QStringLiteral("club"));
        QTRY_VERIFY(club.IsConnected("in_room"));
        QCOMPARE(club["room_owner"]["user"].AsString(), QStringLiteral("bob"));
        QCOMPARE(club["room_operators"]["user"].AsString(), QStringLiteral("carol"));
    }

    void chatSearchesAndPrivateMessages()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        QSignalSpy roomChat(f.server.get(), &Server::RoomChat);
        QSignalSpy privateChat(f.server.get(), &Server::PrivateChat);
        QSignalSpy search(f.server.get(), &Server::DirectFileSearch);
        QSignalSpy admin(f.server.get(), &Server::AdminMessage);
        f.User(QStringLiteral("troll")) += FlagItem("is_ignored");

        auto chat = [](const QString& i_user, const QString& i_text) {
            return WireWriter().Str(QStringLiteral("lobby")).Str(i_user).Str(i_text).Body();
        };
        f.testServer->SendFrame(kMe, SM_ROOM_CHAT, chat(QStringLiteral("troll"), QStringLiteral("spam")));
        f.testServer->SendFrame(kMe, SM_ROOM_CHAT, chat(QStringLiteral("ghost"), QStringLiteral("boo")));
        QVERIFY(roomChat.wait(5000));
        QCOMPARE(roomChat.count(), 1);
        QCOMPARE(roomChat.at(0), (QList<QVariant>{QStringLiteral("lobby"), QStringLiteral("ghost"), QStringLiteral("boo")}));
        QVERIFY(!d->GetType("user")->HasItem(QStringLiteral("ghost")));

        f.testServer->SendFrame(kMe, SM_PRIVATE_MESSAGE,
                                WireWriter().U32(41).U32(1700000000).Str(QStringLiteral("troll")).Str(QStringLiteral("x")).U8(1).Body());
        f.testServer->SendFrame(kMe, SM_PRIVATE_MESSAGE,
                                WireWriter().U32(42).U32(1700000001).Str(QStringLiteral("bob")).Str(QStringLiteral("hi")).U8(0).Body());
        QVERIFY(f.testServer->WaitForFrames(SM_PRIVATE_MESSAGE_ACK, 2, kMe));
        QCOMPARE(f.testServer->FramesWithCode(SM_PRIVATE_MESSAGE_ACK).at(0).m_body, WireWriter().U32(41).Body());
        QCOMPARE(f.testServer->FramesWithCode(SM_PRIVATE_MESSAGE_ACK).at(1).m_body, WireWriter().U32(42).Body());
        QCOMPARE(privateChat.count(), 1);
        QCOMPARE(privateChat.at(0).at(0).toString(), QStringLiteral("bob"));
        QCOMPARE(privateChat.at(0).at(1).toString(), QStringLiteral("hi"));
        QCOMPARE(privateChat.at(0).at(2).value<time_t>(), time_t(1700000001));
        QCOMPARE(privateChat.at(0).at(3).toBool(), false);

        f.testServer->SendFrame(kMe, SM_FILE_SEARCH, WireWriter().Str(QStringLiteral("bob")).U32(0xfffffff0u).Str(QStringLiteral("song")).Body());
        f.testServer->SendFrame(kMe, SM_ADMIN_MESSAGE, WireWriter().Str(QStringLiteral("maintenance")).Body());
        QVERIFY(admin.wait(5000));
        QCOMPARE(search.count(), 1);
        QCOMPARE(search.at(0), (QList<QVariant>{QStringLiteral("bob"), 0xfffffff0u, QStringLiteral("song")}));
        QCOMPARE(admin.at(0).at(0).toString(), QStringLiteral("maintenance"));
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

        f.testServer->SendFrame(kMe, SM_WATCH_USER, WireWriter().Str(QStringLiteral("nobody")).U8(0).Body());
        f.testServer->SendFrame(kMe, SM_WATCH_USER,
                                WireWriter().Str(QStringLiteral("bob")).U8(1).U32(2).Stats(1, 2, 3, 4).Str(QStringLiteral("SE")).Body());
        f.testServer->SendFrame(kMe, SM_WATCH_USER,
                                WireWriter().Str(QStringLiteral("carol")).U8(1).U32(0).Stats(1, 2, 3, 4).Body());
        QTRY_COMPARE(added.count(), 3);
        QCOMPARE(added.at(0), (QList<QVariant>{QStringLiteral("nobody"), false}));
        QCOMPARE(added.at(1), (QList<QVariant>{QStringLiteral("bob"), true}));
        QVERIFY(f.User(QStringLiteral("bob")).IsConnected("is_online"));
        QVERIFY(!d->GetType("user")->HasItem(QStringLiteral("nobody")));
        QVERIFY(!d->GetType("user")->HasItem(QStringLiteral("carol")));

        f.testServer->SendFrame(kMe, SM_USER_STATUS, WireWriter().Str(QStringLiteral("bob")).U32(0).U8(1).Body());
        f.testServer->SendFrame(kMe, SM_PRIVILEGED_USERS, WireWriter().U32(2).Str(QStringLiteral("dave")).Str(QStringLiteral("bob")).Body());
        f.testServer->SendFrame(kMe, SM_CHECK_PRIVILEGES, WireWriter().U32(86400).Body());
        f.testServer->SendFrame(kMe, SM_WISHLIST_INTERVAL, WireWriter().U32(720).Body());
        f.testServer->SendFrame(kMe, SM_GET_USER_STATS, WireWriter().Str(kMe).Stats(9, 8, 7, 6).Body());
        f.testServer->SendFrame(kMe, SM_PRIVATE_ROOM_TOGGLE, WireWriter().U8(1).Body());
        QVERIFY(toggle.wait(5000));
        QVERIFY(!f.User(QStringLiteral("bob")).IsConnected("is_online"));
        QVERIFY(f.User(QStringLiteral("bob")).IsConnected("is_privileged"));
        QVERIFY(!d->GetType("user")->HasItem(QStringLiteral("dave")));
        QCOMPARE(privilegesSeen, QStringLiteral("86400"));
        QCOMPARE(wish.count(), 1);
        QCOMPARE(wish.at(0).at(0).toUInt(), 720u);
        QCOMPARE(stats.count(), 1);
        const UserStats received = stats.at(0).at(1).value<UserStats>();
        QVERIFY(received.m_averageSpeed == 9 && received.m_uploadCount == 8 && received.m_fileCount == 7 && received.m_folderCount == 6);
        QCOMPARE(toggle.at(0).at(0).toBool(), true);
    }

    void roomListPrivateRoomsAndRelatedSearches()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        ItemPtr stale = f.Room(QStringLiteral("stale"));
        stale += FlagItem("is_owner");
        f.testServer->SendFrame(kMe, SM_ROOM_LIST,
                                WireWriter()
                                    .U32(2).Str(QStringLiteral("lobby")).Str(QStringLiteral("music"))
                                    .U32(2).U32(12).U32(3)
                                    .U32(1).Str(QStringLiteral("mine")).U32(1).U32(1)
                                    .U32(1).Str(QStringLiteral("club")).U32(1).U32(4)
                                    .U32(1).Str(QStringLiteral("club"))
                                    .Body());
        QTRY_COMPARE(f.Room(QStringLiteral("lobby"))["user_count"].AsString(), QStringLiteral("12"));
        QCOMPARE(f.Room(QStringLiteral("club"))["user_count"].AsString(), QStringLiteral("4"));
        QVERIFY(f.Room(QStringLiteral("mine")).IsConnected("is_owner"));
        QVERIFY(!stale.IsConnected("is_owner"));
        QVERIFY(f.Room(QStringLiteral("club")).IsConnected("is_member"));
        QVERIFY(f.Room(QStringLiteral("club")).IsConnected("is_operator"));

        ItemPtr club = f.Room(QStringLiteral("club"));
        f.testServer->SendFrame(kMe, SM_PRIVATE_ROOM_USERS,
                                WireWriter().Str(QStringLiteral("club")).U32(2).Str(QStringLiteral("bob")).Str(QStringLiteral("carol")).Body());
        f.testServer->SendFrame(kMe, SM_PRIVATE_ROOM_REMOVE_USER, WireWriter().Str(QStringLiteral("club")).Str(QStringLiteral("bob")).Body());
        f.testServer->SendFrame(kMe, SM_PRIVATE_ROOM_ADD_OPERATOR, WireWriter().Str(QStringLiteral("club")).Str(QStringLiteral("carol")).Body());
        f.testServer->SendFrame(kMe, SM_PRIVATE_ROOM_OPERATOR_REMOVED, WireWriter().Str(QStringLiteral("club")).Body());
        f.testServer->SendFrame(kMe, SM_PRIVATE_ROOM_REMOVED, WireWriter().Str(QStringLiteral("club")).Body());
        QTRY_VERIFY(!club.IsConnected("is_member"));
        QCOMPARE(club["room_members"].GetItems("user").size(), size_t(1));
        QCOMPARE(club["room_members"]["user"].AsString(), QStringLiteral("carol"));
        QCOMPARE(club["room_operators"]["user"].AsString(), QStringLiteral("carol"));
        QVERIFY(!club.IsConnected("is_operator"));

        // The old correlations are gone before the signal tells of the new ones.
        QSignalSpy correlations(f.server.get(), &Server::SearchCorrelations);
        int itemsAtSignal = -1;
        connect(f.server.get(), &Server::SearchCorrelations, this, [&itemsAtSignal](const QString& i_text) {
            itemsAtSignal = int(d->GetType("search_request_text")->HasItem(i_text).GetItems("search_correlation").size());
        });
        f.testServer->SetRelatedSearches(QStringLiteral("jazz"), {{QStringLiteral("blues"), 5}, {QStringLiteral("swing"), 3}});
        f.server->GetSearchCorrelations(QStringLiteral("jazz"));
        QVERIFY(correlations.wait(5000));
        QCOMPARE(itemsAtSignal, 2);
        f.testServer->SetRelatedSearches(QStringLiteral("jazz"), {{QStringLiteral("bebop"), 9}});
        f.server->GetSearchCorrelations(QStringLiteral("jazz"));
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

        f.testServer->SendFrame(kMe, SM_GET_PEER_ADDRESS,
                                WireWriter().Str(QStringLiteral("bob")).Ip(0x01020304).U32(2235).U32(1).U16(2236).Body());
        f.testServer->SendFrame(kMe, SM_CONNECT_TO_PEER,
                                WireWriter().Str(QStringLiteral("bob")).Str(QStringLiteral("P")).Ip(0x7f000001).U32(5000)
                                    .U32(99).U8(1).U32(1).U32(5001).Body());
        f.testServer->SendFrame(kMe, SM_CANT_CONNECT_TO_PEER, WireWriter().U32(99).Body());
        f.testServer->SendFrame(kMe, SM_POSSIBLE_PARENTS,
                                WireWriter().U32(1).Str(QStringLiteral("root")).Ip(0x7f000001).U32(6000).Body());
        f.testServer->SendFrame(kMe, SM_PARENT_MIN_SPEED, WireWriter().U32(1024).Body());
        f.testServer->SendEmbeddedSearch(kMe, QStringLiteral("carol"), 7, QStringLiteral("q"));
        f.testServer->SendFrame(kMe, SM_RESET_DISTRIBUTED, QByteArray());
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
        QCOMPARE(embedded.at(0).at(1).toByteArray(),
                 WireWriter().U32(49).Str(QStringLiteral("carol")).U32(7).Str(QStringLiteral("q")).Body());
    }

    void framesSplitCoalescedMalformedAndOversized()
    {
        ServerFixture f;
        QVERIFY(f.Login());
        QSignalSpy admin(f.server.get(), &Server::AdminMessage);
        QSignalSpy disconnected(f.server.get(), &Server::Disconnected);

        // Byte by byte.
        const QByteArray one = WireWriter().Str(QStringLiteral("split")).Frame(SM_ADMIN_MESSAGE);
        for (char byte : one)
        {
            f.testServer->SendRaw(kMe, QByteArray(1, byte));
            QCoreApplication::processEvents();
        }
        QTRY_COMPARE(admin.count(), 1);
        QCOMPARE(admin.at(0).at(0).toString(), QStringLiteral("split"));

        // Coalesced, with an unknown code, a short known one and a hostile count in between.
        QByteArray burst;
        burst += WireWriter().Str(QStringLiteral("a")).Frame(SM_ADMIN_MESSAGE);
        burst += WireWriter().U32(1).U32(2).Frame(9999);
        burst += WireWriter().U32(50).Append("abc").Frame(SM_ADMIN_MESSAGE);
        burst += WireWriter().U32(0xffffffffu).Frame(SM_PRIVILEGED_USERS);
        burst += WireWriter().U32(131073).Frame(SM_PRIVILEGED_USERS);
        burst += WireWriter().Frame(SM_ROOM_CHAT);
        burst += WireWriter().U32(2).Append("xy").Body();   // no room for a code: skipped
        burst += WireWriter().Str(QStringLiteral("b")).Frame(SM_ADMIN_MESSAGE);
        f.testServer->SendRaw(kMe, burst);
        QTRY_COMPARE(admin.count(), 3);
        QCOMPARE(admin.at(1).at(0).toString(), QStringLiteral("a"));
        QCOMPARE(admin.at(2).at(0).toString(), QStringLiteral("b"));
        QVERIFY(f.server->IsConnected());

        // A length over the cap is a loss, before anything is allocated for it.
        f.testServer->SendRaw(kMe, WireWriter().U32(kServerMaxFrameLength + 1).U32(SM_ADMIN_MESSAGE).Body());
        QVERIFY(disconnected.wait(5000));
        QVERIFY(f.server->IsAbruptlyDisconnected());
    }
};

QTEST_GUILESS_MAIN(TestServerMessages)
#include "test_server_messages.moc"
