#include "HarnessProcess.h"
#include "PeerMessages.h"
#include "PeerMessenger.h"
#include "RawPeer.h"
#include "ServerCodes.h"
#include "TestServer.h"
#include "Wire.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>
#include <set>
#include <vector>

// Who a peer is: a real client (the whole engine) and the users the loopback server knows. The
// users log in from 127.0.0.1 with bare server connections and play their peer side with raw
// peers from there too; a stranger uses their names from 127.0.1.5. The server sees the client at
// a router's address, which nothing ever reaches: every user it tries to reach listens nowhere.
class TestPeerIdentity : public QObject
{
    Q_OBJECT

    TestServer m_server;
    HarnessProcess m_victim;
    QTemporaryDir m_files;
    quint16 m_port = 0;
    QString m_secret; // the path of a file shared only to alice's group, as peers name it
    std::vector<std::unique_ptr<QTcpSocket>> m_logins;

    const QHostAddress m_home{QStringLiteral("127.0.0.1")};
    const QHostAddress m_elsewhere{QStringLiteral("127.0.1.5")};
    static constexpr quint32 RouterAddress = 0xcb007109; // 203.0.113.9
    static constexpr quint32 FarAddress = 0xc6336404;    // 198.51.100.4

    // Returns once the server has answered the login, a second one of the user too.
    bool LogInBare(const QString& i_user, const QHostAddress& i_from = QHostAddress(), quint16 i_listening = 0)
    {
        auto socket = std::make_unique<QTcpSocket>();
        if (!i_from.isNull() && !socket->bind(i_from))
            return false;
        socket->connectToHost(m_home, m_server.Port());
        if (!socket->waitForConnected(5000))
            return false;
        const QByteArray digest = QCryptographicHash::hash((i_user + "pw").toUtf8(), QCryptographicHash::Md5).toHex();
        socket->write(WireWriter().Str(i_user).Str(QStringLiteral("pw")).U32(160).Bytes(digest).U32(1).Frame(SM_LOGIN));
        if (i_listening != 0)
            socket->write(WireWriter().U32(i_listening).U32(0).Frame(SM_SET_LISTEN_PORT));
        QTcpSocket* login = socket.get();
        m_logins.push_back(std::move(socket));
        return QTest::qWaitFor([&] { return login->bytesAvailable() > 0; }, 5000) && m_server.IsLoggedIn(i_user);
    }

    // The client answers a shares-list request on a connection from there in the user's name.
    bool Served(const QHostAddress& i_from, const QByteArray& i_user)
    {
        auto peer = Peer(i_from, RawPeer::PeerInit(i_user, "P"));
        if (!peer)
            return false;
        peer->SendFrame(PeerMessages::BuildGetSharedFileList().ToByteArray());
        return Receives(*peer, PM_SHARED_FILE_LIST);
    }

    std::unique_ptr<RawPeer> Peer(const QHostAddress& i_from, const QByteArray& i_opener)
    {
        auto peer = std::make_unique<RawPeer>();
        if (!peer->Connect(m_port, i_from))
            return nullptr;
        peer->SendFrame(i_opener);
        return peer;
    }

    // Connections from four addresses of this machine claiming the names i_prefix0, i_prefix1, ...;
    // they stop at the first that cannot connect.
    std::vector<std::unique_ptr<RawPeer>> Claim(const QByteArray& i_prefix, int i_count)
    {
        std::vector<std::unique_ptr<RawPeer>> peers;
        for (int n = 0; n < i_count; ++n)
        {
            auto peer = Peer(QHostAddress(QStringLiteral("127.0.2.%1").arg(1 + n % 4)),
                             RawPeer::PeerInit(i_prefix + QByteArray::number(n), "P"));
            if (!peer)
                break;
            peers.push_back(std::move(peer));
        }
        return peers;
    }

    static quint32 CodeOf(const QByteArray& i_payload)
    {
        return i_payload.size() < 4 ? 0 : qFromLittleEndian<quint32>(i_payload.constData());
    }

    // The client closes the connection without having sent a single frame on it.
    static bool ClosedUnanswered(RawPeer& io_peer)
    {
        QByteArray payload;
        if (io_peer.ReadFrame(payload, 3000))
        {
            qWarning("A frame of code %u reached the stranger", CodeOf(payload));
            return false;
        }
        return io_peer.WaitForClose();
    }

    // The next frame of the code, skipping others.
    static bool Receives(RawPeer& io_peer, quint32 i_code, QByteArray* o_payload = nullptr)
    {
        QByteArray payload;
        while (io_peer.ReadFrame(payload))
            if (CodeOf(payload) == i_code)
            {
                if (o_payload)
                    *o_payload = payload;
                return true;
            }
        return false;
    }

    // The token of the connection the client asked the server to relay to the user; 0 when none came.
    quint32 RelayToken(const QString& i_user)
    {
        quint32 token = 0;
        (void)QTest::qWaitFor(
            [&] {
                for (const TestServer::Frame& frame :
                     m_server.FramesWithCode(SM_CONNECT_TO_PEER, QStringLiteral("victim")))
                {
                    WireReader in(frame.m_body);
                    const quint32 candidate = in.U32();
                    if (in.Str() == i_user)
                        token = candidate;
                }
                return token != 0;
            },
            5000);
        return token;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.Listen());
        const QString friends = m_files.filePath(QStringLiteral("friends"));
        QVERIFY(QDir().mkpath(friends));
        QFile secret(friends + QStringLiteral("/secret.bin"));
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write(QByteArray(5000, 's')) == 5000);
        secret.close();
        m_secret = QDir::toNativeSeparators(secret.fileName()).replace(QLatin1Char('/'), QLatin1Char('\\'));

        // Every address the stranger might come from is this machine, or the test means nothing.
        RawPeer probe;
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::Any));
        QVERIFY2(probe.Connect(listener.serverPort(), m_elsewhere), "cannot bind 127.0.1.5");
        QVERIFY(listener.waitForNewConnection(5000));
        QCOMPARE(listener.nextPendingConnection()->peerAddress().toIPv4Address(), m_elsewhere.toIPv4Address());

        QVERIFY(m_victim.Start({"full"}));
        m_server.SetPublicAddress(QStringLiteral("victim"), RouterAddress);
        m_port = FreePortPair();
        QVERIFY(m_victim.LogIn(QStringLiteral("victim"), m_server.Port(), m_port,
                               {{"download_folder", m_files.filePath(QStringLiteral("downloads"))}}));
        m_victim.Send({"listuser", "alice", "friends"});
        m_victim.Send({"share", friends, "group", "friends"});
        QVERIFY(m_victim.Take("shared"));
        for (const char* user : {"alice", "bob", "carol"})
            QVERIFY(LogInBare(QString::fromLatin1(user)));
    }

    void cleanup()
    {
        m_server.HoldPeerAddressAnswers(false);
        m_server.AnswerHeldPeerAddresses(1000);
    }

    void connection_tokens_are_drawn_at_random()
    {
        // The server relays each token to the other side; none may tell the next one.
        std::vector<quint32> tokens;
        for (int n = 0; n < 12; ++n)
        {
            m_victim.Send({"fileconn", QStringLiteral("nobody%1").arg(n)});
            tokens.push_back(RelayToken(QStringLiteral("nobody%1").arg(n)));
            QVERIFY(tokens.back() != 0);
        }
        std::set<quint32> steps;
        for (size_t n = 1; n < tokens.size(); ++n)
        {
            QVERIFY2(tokens[n] != tokens[n - 1] + 1 && tokens[n] != tokens[n - 1],
                     qPrintable(QStringLiteral("%1 after %2").arg(tokens[n]).arg(tokens[n - 1])));
            steps.insert(tokens[n] - tokens[n - 1]);
        }
        // No step, however large, comes back: 11 random ones repeat once in some 10^8 runs.
        QCOMPARE(steps.size(), tokens.size() - 1);
    }

    void a_name_claimed_from_elsewhere_gets_nothing_of_that_user()
    {
        // Alice herself, from where the server has her: her shares list holds her group's folder.
        auto alice = Peer(m_home, RawPeer::PeerInit("alice", "P"));
        QVERIFY(alice);
        alice->SendFrame(PeerMessages::BuildGetSharedFileList().ToByteArray());
        QVERIFY(Receives(*alice, PM_SHARED_FILE_LIST));

        // The stranger under her name asks for all she may see, and gets nothing.
        auto stranger = Peer(m_elsewhere, RawPeer::PeerInit("alice", "P"));
        QVERIFY(stranger);
        using namespace PeerMessages;
        for (const MemStream& message :
             {BuildGetSharedFileList(), BuildGetSharedFilesInFolder(1, m_secret.left(m_secret.lastIndexOf('\\'))),
              BuildTransferRequest(0, 2, m_secret, 0), BuildQueueUpload(m_secret.toStdString())})
            stranger->SendFrame(message.ToByteArray());
        QVERIFY(ClosedUnanswered(*stranger));

        // What the client sends to alice goes to her, not to a newer connection under her name.
        auto second = Peer(m_elsewhere, RawPeer::PeerInit("alice", "P"));
        QVERIFY(second);
        alice->SendFrame(BuildGetSharedFileList().ToByteArray());
        QVERIFY(Receives(*alice, PM_SHARED_FILE_LIST));
        QVERIFY(ClosedUnanswered(*second));
    }

    void a_connect_back_with_a_known_token_from_elsewhere_is_refused()
    {
        // Carol listens nowhere: only her connect-back can bring the client's message to her.
        m_victim.Send({"userinfo", "carol"});
        const quint32 token = RelayToken(QStringLiteral("carol"));
        QVERIFY(token != 0);
        auto stranger = Peer(m_elsewhere, RawPeer::PierceFirewall(token));
        QVERIFY(stranger);
        QVERIFY(ClosedUnanswered(*stranger));

        auto carol = Peer(m_home, RawPeer::PierceFirewall(token));
        QVERIFY(carol);
        QVERIFY(Receives(*carol, PM_USER_INFO_REQUEST));
    }

    void a_name_claimed_from_elsewhere_cannot_fill_that_users_download()
    {
        const QString path = QStringLiteral("music\\song.bin");
        m_victim.Send({"adddownload", "bob", path, "1000"});
        QVERIFY(m_victim.Sync());
        using namespace PeerMessages;
        auto stranger = Peer(m_elsewhere, RawPeer::PeerInit("bob", "P"));
        QVERIFY(stranger);
        stranger->SendFrame(BuildTransferRequest(1, 9, path, 1000).ToByteArray());
        const bool accepted = Receives(*stranger, PM_TRANSFER_RESPONSE);
        auto bytes = Peer(m_elsewhere, RawPeer::PeerInit("bob", "F"));
        QVERIFY(bytes);
        bytes->SendRaw(RawPeer::UInt32(9));
        QByteArray offset;
        if (bytes->ReadRaw(offset, 8, 3000))
            bytes->SendRaw(QByteArray(1000, 'x'));
        QVERIFY(bytes->WaitForClose());
        m_victim.Send({"status", "bob", path});
        QStringList status;
        QVERIFY(m_victim.Take("status", &status));
        QVERIFY2(status.value(0) != QLatin1String("complete") && status.value(1).toLongLong() <= 0,
                 qPrintable(status.join(' ')));
        QVERIFY(!accepted);
        QVERIFY(ClosedUnanswered(*stranger));

        // Bob himself gets the client's queue request and may send the file.
        auto bob = Peer(m_home, RawPeer::PeerInit("bob", "P"));
        QVERIFY(bob);
        QVERIFY(Receives(*bob, PM_QUEUE_UPLOAD));
        bob->SendFrame(BuildTransferRequest(1, 9, path, 1000).ToByteArray());
        QByteArray answer;
        QVERIFY(Receives(*bob, PM_TRANSFER_RESPONSE, &answer));
        QCOMPARE(answer.mid(4, 5), RawPeer::UInt32(9) + QByteArray(1, '\1'));
    }

    void a_user_behind_our_own_router_is_taken_from_inside_it()
    {
        // Dan shares our router: the server places him where it sees us, and he reaches us from
        // an address of the network behind it. Eve is placed elsewhere.
        m_server.SetPublicAddress(QStringLiteral("dan"), RouterAddress);
        m_server.SetPublicAddress(QStringLiteral("eve"), FarAddress);
        QVERIFY(LogInBare(QStringLiteral("dan")));
        QVERIFY(LogInBare(QStringLiteral("eve")));

        m_victim.Send({"userinfo", "dan"});
        const quint32 token = RelayToken(QStringLiteral("dan"));
        QVERIFY(token != 0);
        auto back = Peer(m_home, RawPeer::PierceFirewall(token));
        QVERIFY(back);
        QVERIFY(Receives(*back, PM_USER_INFO_REQUEST));
        QVERIFY(Served(m_elsewhere, "dan"));

        auto eve = Peer(m_home, RawPeer::PeerInit("eve", "P"));
        QVERIFY(eve);
        eve->SendFrame(PeerMessages::BuildGetSharedFileList().ToByteArray());
        QVERIFY(ClosedUnanswered(*eve));
    }

    void a_user_who_has_just_logged_in_is_taken_at_once()
    {
        // While frank is away a stranger claims his name and we try to reach him.
        auto stranger = Peer(m_elsewhere, RawPeer::PeerInit("frank", "P"));
        QVERIFY(stranger);
        QVERIFY(ClosedUnanswered(*stranger));
        m_victim.Send({"userinfo", "frank"});
        QVERIFY(m_victim.Take("event ConnectionToUserFailed frank"));

        QVERIFY(LogInBare(QStringLiteral("frank")));
        m_server.ClearFrames();
        m_victim.Send({"userinfo", "frank"});
        const quint32 token = RelayToken(QStringLiteral("frank"));
        QVERIFY(token != 0);
        auto back = Peer(m_home, RawPeer::PierceFirewall(token));
        QVERIFY(back);
        QVERIFY(Receives(*back, PM_USER_INFO_REQUEST));
        QVERIFY(Served(m_home, "frank"));
    }

    void a_user_who_logs_in_again_elsewhere_is_placed_anew()
    {
        // A download from gina has the client watch her, so it hears when she leaves and comes back.
        QVERIFY(LogInBare(QStringLiteral("gina")));
        m_victim.Send({"adddownload", "gina", "music\\tune.bin", "1000"});
        QTRY_VERIFY(!m_server.FramesWithCode(SM_WATCH_USER, QStringLiteral("victim")).isEmpty()
                    && WireReader(m_server.FramesWithCode(SM_WATCH_USER, QStringLiteral("victim")).last().m_body).Str()
                           == QLatin1String("gina"));
        {
            auto gina = Peer(m_home, RawPeer::PeerInit("gina", "P"));
            QVERIFY(gina);
            QVERIFY(Receives(*gina, PM_QUEUE_UPLOAD));
        }

        QVERIFY(LogInBare(QStringLiteral("gina"), m_elsewhere));
        // Comes after her status changes, so the client has read them once it shows.
        m_server.QueuePrivateMessage(QStringLiteral("gina"), QStringLiteral("victim"), QStringLiteral("moved"), 0);
        QVERIFY(m_victim.Take("event PrivateChat gina moved"));
        QVERIFY(Served(m_elsewhere, "gina"));
        auto old = Peer(m_home, RawPeer::PeerInit("gina", "P"));
        QVERIFY(old);
        QVERIFY(ClosedUnanswered(*old));
    }

    void our_connections_follow_a_user_who_logs_in_again_elsewhere()
    {
        // Ivan listens where he logs in, and a download from him has the client watch him.
        QTcpServer first;
        QTcpServer second;
        QVERIFY(first.listen(m_home));
        QVERIFY(second.listen(m_elsewhere));
        QVERIFY(LogInBare(QStringLiteral("ivan"), QHostAddress(), first.serverPort()));
        m_victim.Send({"adddownload", "ivan", "music\\ivan.bin", "1000"});
        QTRY_VERIFY(first.hasPendingConnections());
        std::unique_ptr<QTcpSocket> messages(first.nextPendingConnection());

        QVERIFY(LogInBare(QStringLiteral("ivan"), m_elsewhere, second.serverPort()));
        m_server.QueuePrivateMessage(QStringLiteral("ivan"), QStringLiteral("victim"), QStringLiteral("moved"), 0);
        QVERIFY(m_victim.Take("event PrivateChat ivan moved"));
        m_victim.Send({"fileconn", "ivan"});
        QTRY_VERIFY(second.hasPendingConnections());
        QVERIFY(!first.hasPendingConnections());
    }

    void a_kept_address_expires()
    {
        // Hana moves unwatched: where the server placed her holds only as long as an address is kept.
        m_victim.Send({"addresskeep", "1000"});
        QVERIFY(m_victim.Sync());
        QVERIFY(LogInBare(QStringLiteral("hana")));
        QVERIFY(Served(m_home, "hana"));
        QVERIFY(LogInBare(QStringLiteral("hana"), m_elsewhere));
        QTRY_VERIFY_WITH_TIMEOUT(Served(m_elsewhere, "hana"), 10000);
        auto old = Peer(m_home, RawPeer::PeerInit("hana", "P"));
        QVERIFY(old);
        QVERIFY(ClosedUnanswered(*old));
        m_victim.Send({"addresskeep", "60000"});
    }

    void questions_about_claimed_names_wait_their_turn()
    {
        // A crowd claims 160 names while the server is slow to answer: at most 128 questions wait
        // at once, one of our own goes ahead of the crowd, and each name is asked about once.
        m_server.ClearFrames();
        m_server.HoldPeerAddressAnswers(true);
        const std::vector<std::unique_ptr<RawPeer>> crowd = Claim("crowd", 160);
        QCOMPARE(int(crowd.size()), 160);
        QTRY_COMPARE(m_server.HeldPeerAddressRequests(), 128);
        m_victim.Send({"userinfo", "olga"});
        QVERIFY(m_victim.Sync());
        for (int n = 0; n < 33; ++n)
        {
            m_server.AnswerHeldPeerAddresses(1);
            QTRY_COMPARE(m_server.HeldPeerAddressRequests(), 128);
        }
        m_server.AnswerHeldPeerAddresses(128);

        QStringList asked;
        for (const TestServer::Frame& frame : m_server.FramesWithCode(SM_GET_PEER_ADDRESS, QStringLiteral("victim")))
            asked << WireReader(frame.m_body).Str();
        QStringList crowdAsked = asked.filter(QRegularExpression(QStringLiteral("^crowd")));
        QCOMPARE(crowdAsked.size(), 160);
        QCOMPARE(crowdAsked.removeDuplicates(), 0);
        QCOMPARE(asked.mid(0, asked.indexOf(QStringLiteral("olga")))
                     .filter(QRegularExpression(QStringLiteral("^crowd")))
                     .size(),
                 128);
        for (const auto& peer : crowd)
            QVERIFY(peer->WaitForClose());
    }

    void an_unanswered_question_stops_counting_after_the_time_out()
    {
        // The server never answers about 128 claimed names; once their questions have waited
        // longer than an attempt may, a name claimed after them is asked about at the tick.
        const auto connections = [this] {
            QStringList fields;
            m_victim.Send({"count"});
            return m_victim.Take("count", &fields) ? fields.value(0).toInt() : -1;
        };
        const auto asked = [this](const QString& i_user) {
            for (const TestServer::Frame& frame :
                 m_server.FramesWithCode(SM_GET_PEER_ADDRESS, QStringLiteral("victim")))
                if (WireReader(frame.m_body).Str() == i_user)
                    return true;
            return false;
        };
        const auto restore = qScopeGuard([this] { m_victim.Send({"timeouts", "30000", "300000", "30000"}); });
        m_victim.Send({"timeouts", "30000", "300000", "1500"});
        m_server.ClearFrames();
        m_server.HoldPeerAddressAnswers(true);
        const int before = connections();
        const std::vector<std::unique_ptr<RawPeer>> unanswered = Claim("unanswered", 128);
        QCOMPARE(int(unanswered.size()), 128);
        QTRY_COMPARE(m_server.HeldPeerAddressRequests(), 128);
        QTest::qWait(1600); // past the time-out of those questions
        auto late = Peer(m_elsewhere, RawPeer::PeerInit("latecomer", "P"));
        QVERIFY(late);
        QTRY_COMPARE(connections(), before + 129);
        QVERIFY(!asked(QStringLiteral("latecomer")));
        m_victim.Send({"tick"});
        QTRY_VERIFY(asked(QStringLiteral("latecomer")));
        // Their connections waited as long, and went.
        for (const auto& peer : unanswered)
            QVERIFY(peer->WaitForClose());
        QCOMPARE(late->Socket().state(), QAbstractSocket::ConnectedState);
    }

    void the_own_network_is_loopback_private_and_link_local_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<bool>("own"); // a machine of our own network
        const QString own = QStringLiteral(
            "127.0.0.1 127.255.255.254 10.0.0.1 10.255.255.255 172.16.0.1 172.31.255.254 192.168.0.1 "
            "192.168.255.254 169.254.0.1 169.254.255.254 ::ffff:127.0.0.1 ::ffff:10.1.2.3 ::ffff:172.20.0.1 "
            "::ffff:192.168.1.1 ::ffff:169.254.3.4 ::1 fe80::1 febf:ffff::1 fc00::1 fdff:ffff::1");
        const QString others = QStringLiteral(
            "0.0.0.0 9.255.255.255 11.0.0.0 172.15.255.255 172.32.0.0 172.0.0.1 192.167.255.255 192.169.0.0 "
            "169.253.255.255 169.255.0.0 100.64.0.1 100.127.255.254 126.255.255.255 128.0.0.1 198.51.100.7 "
            "::ffff:172.32.0.1 ::ffff:100.64.0.1 ::ffff:198.51.100.7 :: fec0::1 fe00::1 fe7f::1 2001:db8::1");
        for (const QString& from : own.split(QLatin1Char(' ')))
            QTest::newRow(qPrintable(from)) << from << true;
        for (const QString& from : others.split(QLatin1Char(' ')))
            QTest::newRow(qPrintable(from)) << from << false;
    }

    // A user the server places at our own public address is taken from any machine of our own
    // network, and from nowhere else but the address itself; a user placed elsewhere never from
    // our network.
    void the_own_network_is_loopback_private_and_link_local()
    {
        QFETCH(QString, from);
        QFETCH(bool, own);
        const QHostAddress address(from);
        QVERIFY(!address.isNull());
        const QHostAddress router(RouterAddress);
        const QHostAddress far(FarAddress);
        QCOMPARE(PeerMessenger::ComesFrom(address, router, router), own);
        QVERIFY(!PeerMessenger::ComesFrom(address, far, router));
        QVERIFY(!PeerMessenger::ComesFrom(address, router, QHostAddress())); // where we are is not known yet
        // The address the server gives is always taken, in either form.
        for (const QHostAddress& placed : {router, far})
        {
            QVERIFY(PeerMessenger::ComesFrom(placed, placed, router));
            QVERIFY(
                PeerMessenger::ComesFrom(QHostAddress(QStringLiteral("::ffff:") + placed.toString()), placed, router));
        }
    }
};

QTEST_GUILESS_MAIN(TestPeerIdentity)
#include "test_peer_identity.moc"
