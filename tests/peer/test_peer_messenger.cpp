#include "Compression.h"
#include "MessengerFixture.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>

#include <algorithm>
#include <limits>
#include <memory>

// Connections and messages of one real peer messenger in this process.
class TestPeerMessenger : public MessengerFixture
{
    Q_OBJECT

    // A loopback port nobody listens on.
    static quint16 DeadPort()
    {
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost);
        return closed.serverPort();
    }

    static QByteArray Compressed(quint32 i_code, const QByteArray& i_body)
    {
        MemStream out;
        OutputStream(out).Write(i_code);
        CompressBody(i_body.constData(), size_t(i_body.size()), out);
        return out.ToByteArray();
    }

    // A shares list of one folder whose names barely compress, so it is as large on the wire as it looks.
    static QByteArray IncompressibleList(quint32 i_files)
    {
        QRandomGenerator random(38);
        MemStream body;
        OutputStream out(body);
        out.WriteFields(quint32(1), std::string("@@music"), i_files);
        for (quint32 file = 0; file < i_files; ++file)
        {
            QByteArray name(32, '\0');
            random.fillRange(reinterpret_cast<quint32*>(name.data()), 8);
            out.WriteFields(quint8(1), name.toBase64().toStdString(), qint64(file) + 1, std::string(), quint32(0));
        }
        out.Write(quint32(0));
        return Compressed(PM_SHARED_FILE_LIST, body.ToByteArray());
    }

    // Files in the shares lists that arrive whole.
    void ListenForLists(QMetaObject::Connection& o_connection, int& o_files)
    {
        o_files = -1;
        o_connection = connect(peerMessenger, &PeerMessenger::UserShare, this,
                               [&o_files](QString, FileInfoMap& i_share, AttributeTranslationTable&) {
                                   o_files = 0;
                                   for (const auto& [folder, folderFiles] : i_share)
                                       o_files += int(folderFiles.size());
                               });
    }

    // The first bytes of a frame announced at the cap as a shares list, from an address of its own.
    std::unique_ptr<RawPeer> Hold(const char* i_user, const char* i_from, const QByteArray& i_part)
    {
        auto peer = Introduce(i_user, "P", false, QHostAddress(QLatin1String(i_from)));
        if (peer)
            peer->SendRaw(RawPeer::UInt32(FrameCodec::MaxFrameLength - 1) + RawPeer::UInt32(PM_SHARED_FILE_LIST)
                          + i_part);
        return peer;
    }

private slots:
    void initTestCase() { RegisterTypes(); }

    void init() { Start(); }

    void cleanup() { StopPeerOnlyEngine(); }

    void portsFollowTheSettings()
    {
        QCOMPARE(GetSettingNumber(QStringLiteral("listening_port")), qint64(m_port));
        QCOMPARE(GetSettingNumber(QStringLiteral("obfuscated_listening_port")), qint64(m_port + 1));
        QVERIFY(!HasSetting(QStringLiteral("new_listening_port")));
        QCOMPARE(peerMessenger->ListeningPort(), m_port);
        QCOMPARE(peerMessenger->ScrambledListeningPort(), quint16(m_port + 1));
        auto plain = Introduce("plain");
        auto scrambled = Introduce("scrambled", "P", true);
        QVERIFY(plain && scrambled);
        QTRY_COMPARE(peerMessenger->ConnectionCount(), 2);

        // An unusable new port is ignored and a stored zero replaced by the defaults (binding them
        // is not this test's business).
        cleanup();
        Start(QStringLiteral("%1"));
        QCOMPARE(GetSetting(QStringLiteral("listening_port")), QStringLiteral("2235"));
        QCOMPARE(GetSetting(QStringLiteral("obfuscated_listening_port")), QStringLiteral("2236"));

        // A port in use is logged and skipped; the other one still serves.
        cleanup();
        const quint16 port = FreePortPair();
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, quint16(port + 1)));
        Start(QString::number(port));
        QCOMPARE(peerMessenger->ListeningPort(), port);
        QCOMPARE(peerMessenger->ScrambledListeningPort(), quint16(0));
        auto still = Introduce("still");
        QVERIFY(still);
        QTRY_COMPARE(peerMessenger->ConnectionCount(), 1);
    }

    void messagesBecomeSignalsWithTheConnectionsUser_data()
    {
        using namespace PeerMessages;
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("signal");
        QTest::addColumn<QVariantList>("expected"); // after the user; invalid entries are not compared
        // The transfer messages go through the same path end to end in test_peer_network.
        const auto row = [](const char* ip_name, const MemStream& i_message, const char* ip_signal,
                            const QVariantList& i_args) {
            QTest::newRow(ip_name) << i_message.ToByteArray() << QByteArray(ip_signal) << i_args;
        };
        row("15", BuildUserInfoRequest(), SIGNAL(UserInfoRequested(QString)), {});
        row("36", BuildGetSharedFilesInFolder(3, QStringLiteral("dir")),
            SIGNAL(SharedFilesInFolderRequested(QString, quint32, QString)), {3u, QStringLiteral("dir")});
        row("16", BuildUserInfoReply(QStringLiteral("hi"), true, "PIC", 2, 3, true),
            SIGNAL(UserInfoReceived(QString, QString, bool, char*, int, int, int, bool)),
            {QStringLiteral("hi"), true, QVariant(), 3, 2, 3, true});
    }

    void messagesBecomeSignalsWithTheConnectionsUser()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, signal);
        QFETCH(QVariantList, expected);
        QSignalSpy spy(peerMessenger, signal.constData());
        // The body names nobody; the user comes from the opener, on either port.
        for (bool scrambled : {false, true})
        {
            auto peer = Introduce("alice", "P", scrambled);
            QVERIFY(peer);
            peer->SendFrame(payload);
            QVERIFY(spy.wait(5000));
            QCOMPARE(spy.count(), 1);
            const QList<QVariant> args = spy.takeFirst();
            QCOMPARE(args.at(0).toString(), QStringLiteral("alice"));
            for (int n = 0; n < expected.size(); ++n)
                if (expected.at(n).isValid())
                    QCOMPARE(args.at(n + 1), expected.at(n));
        }
    }

    void splitCoalescedUnknownAndMalformedFrames()
    {
        QSignalSpy places(peerMessenger, &PeerMessenger::DownloadPlaceInLine);
        QSignalSpy infos(peerMessenger, &PeerMessenger::UserInfoReceived);
        QSignalSpy responses(peerMessenger, &PeerMessenger::FileTransferResponse);
        QSignalSpy shares(peerMessenger, &PeerMessenger::UserShare);
        QSignalSpy results(peerMessenger, &PeerMessenger::SearchResults);
        auto peer = Introduce("bob");
        QVERIFY(peer);

        QByteArray wire;
        for (int place = 1; place <= 3; ++place)
            wire += peer->Frame(Payload(PeerMessages::BuildUploadPlaceInLine("f", place)));
        wire += peer->Frame(RawPeer::UInt32(999) + "whatever"); // unknown code
        wire += peer->Frame(RawPeer::UInt32(16)
                            + QByteArray::fromHex("00000000"
                                                  "01"
                                                  "ffffffff"
                                                  "00000000"
                                                  "00000000"
                                                  "00"));
        wire += peer->Frame(RawPeer::UInt32(41) + RawPeer::UInt32(5)); // truncated
        wire += peer->Frame(RawPeer::UInt32(5) + "not zlib at all");
        wire += peer->Frame(RawPeer::UInt32(9) + "not zlib at all");
        wire += peer->Frame(QByteArray("\x2c", 1)); // shorter than a code
        wire += peer->Frame(Payload(PeerMessages::BuildUploadPlaceInLine("f", 4)));
        // Coalesced: half in one write, then the rest a byte at a time.
        const int half = wire.size() / 2;
        peer->SendRaw(wire.left(half));
        for (int n = half; n < wire.size(); ++n)
        {
            peer->SendRaw(wire.mid(n, 1));
            if (n % 16 == 0)
                QTest::qWait(1);
        }
        QTRY_COMPARE(places.count(), 4);
        for (int n = 0; n < 4; ++n)
            QCOMPARE(places.at(n).at(2).toInt(), n + 1);
        QCOMPARE(infos.count(), 0);
        QCOMPARE(responses.count(), 0);
        QCOMPARE(shares.count(), 0);
        QCOMPARE(results.count(), 0);

        // An oversized frame closes only its own connection.
        auto bad = Introduce("bob");
        bad->SendRaw(RawPeer::UInt32(FrameCodec::MaxFrameLength + 1) + RawPeer::UInt32(44));
        QVERIFY(bad->WaitForClose());
        peer->SendFrame(Payload(PeerMessages::BuildUploadPlaceInLine(QStringLiteral("f"), 5)));
        QTRY_COMPARE(places.count(), 5);
        QCOMPARE(peerMessenger->ConnectionCount(), 1);
    }

    void sendUsesTheNewestConnection()
    {
        // A message read on each connection shows that its opener was taken, in this order.
        QSignalSpy asked(peerMessenger, &PeerMessenger::UserInfoRequested);
        auto older = Introduce("dave");
        older->SendFrame(Payload(PeerMessages::BuildUserInfoRequest()));
        QVERIFY(asked.wait(5000));
        auto newer = Introduce("dave", "P", true);
        newer->SendFrame(Payload(PeerMessages::BuildUserInfoRequest()));
        QVERIFY(asked.wait(5000));
        QCOMPARE(peerMessenger->ConnectionCount(), 2);
        peerMessenger->GetUserInfo("dave");
        QByteArray payload;
        QVERIFY(newer->ReadFrame(payload));
        QCOMPARE(payload.toHex(), QByteArray("0f000000"));
        QVERIFY(!older->ReadFrame(payload, 200));
    }

    void a_claimed_name_counts_only_from_where_the_server_places_the_user()
    {
        QSignalSpy asked(peerMessenger, &PeerMessenger::UserInfoRequested);
        const QByteArray request = Payload(PeerMessages::BuildUserInfoRequest());
        // Held, unread, until the server has said where ivy is; then read as hers.
        auto ivy = Introduce("ivy", "P", false, QHostAddress(), false);
        QVERIFY(ivy);
        ivy->SendFrame(request);
        QVERIFY(!asked.wait(300));
        // What waits meanwhile is held against the budget of partly received frames.
        QCOMPARE(PeerConnection::PartialFrameBytes(), qint64(ivy->Frame(request).size()));
        Place("ivy");
        QVERIFY(asked.wait(5000));
        QCOMPARE(PeerConnection::PartialFrameBytes(), qint64(0));
        QCOMPARE(asked.takeFirst().at(0).toString(), QStringLiteral("ivy"));

        // Elsewhere than the server says, or offline: closed, unread, and nothing sent to it. An
        // offline answer is not kept, so it comes for the held connection.
        Place("jay", 0x7f000002u);
        for (const QByteArray& user : {QByteArray("jay"), QByteArray("kim")})
        {
            auto stranger = Introduce(user, "P", false, QHostAddress(), false);
            QVERIFY(stranger);
            stranger->SendFrame(request);
            if (user == "kim")
            {
                QTRY_VERIFY(PeerConnection::PartialFrameBytes() > 0);
                peerMessenger->OnPeerAddress(QStringLiteral("kim"), TCPAddress(), 0);
            }
            QVERIFY(stranger->WaitForClose());
            peerMessenger->GetUserInfo(QString::fromUtf8(user));
            QByteArray payload;
            QVERIFY(!stranger->ReadFrame(payload, 100));
        }
        QVERIFY(!asked.wait(300));
        QTRY_COMPARE(peerMessenger->ConnectionCount(), 1);
    }

    void aFailedAttemptIsReportedOnceAndDropsItsQueue_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("refused");
        for (const char* type : {"P", "F", "D"})
            for (bool refused : {false, true})
                QTest::addRow("%s %s", type, refused ? "refused" : "offline") << QString::fromLatin1(type) << refused;
    }

    void aFailedAttemptIsReportedOnceAndDropsItsQueue()
    {
        QFETCH(QString, type);
        QFETCH(bool, refused);
        QSignalSpy failed(peerMessenger, &PeerMessenger::ConnectionToUserFailed);
        if (type == QLatin1String("P"))
            peerMessenger->GetUserInfo("frank");
        else if (type == QLatin1String("F"))
            peerMessenger->RequestFileConnectionToUser("frank");
        else
            peerMessenger->RequestDistributedConnectionToUser("frank");
        // Direct refused, or the user offline; the relay stays silent until the time limit.
        peerMessenger->OnPeerAddress("frank", refused ? TCPAddress(0x7f000001u, DeadPort()) : TCPAddress(), 0);
        QTest::qWait(100);
        QCOMPARE(failed.count(), 0);
        peerMessenger->SetTimeouts(30000, 300000, 0);
        timerManager->TickHalfMinute();
        timerManager->TickHalfMinute();
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("frank"));
        QCOMPARE(failed.at(0).at(1).toString(), type);
        QCOMPARE(peerMessenger->AttemptCount(), 0);

        // What was queued for the failed attempt is gone: a later connection gets nothing old.
        auto frank = Introduce("frank");
        QTRY_COMPARE(peerMessenger->ConnectionCount(), 1);
        QByteArray payload;
        QVERIFY(!frank->ReadFrame(payload, 200));
    }

    void incomingFileConnectionIsHandedOverAfterTheToken_data()
    {
        QTest::addColumn<bool>("scrambled");
        QTest::newRow("plain") << false;
        QTest::newRow("scrambled") << true;
    }

    void incomingFileConnectionIsHandedOverAfterTheToken()
    {
        QFETCH(bool, scrambled);
        QSignalSpy requested(peerMessenger, &PeerMessenger::FileConnectionRequested);
        RawPeer uploader(scrambled);
        QVERIFY(uploader.Connect(scrambled ? peerMessenger->ScrambledListeningPort() : peerMessenger->ListeningPort()));
        // Opener, token and the first file bytes in one write: nothing past the token may be eaten.
        const QByteArray after = QByteArray::fromHex("0001020304") + QByteArray(20000, 'z');
        Place("gina");
        uploader.SendRaw(uploader.Frame(RawPeer::PeerInit("gina", "F")) + RawPeer::UInt32(0xa1b2c3d4) + after);
        QVERIFY(requested.wait(5000));
        QCOMPARE(requested.at(0).at(0).toString(), QStringLiteral("gina"));
        QCOMPARE(requested.at(0).at(2).toUInt(), 0xa1b2c3d4u);
        std::unique_ptr<QTcpSocket> socket(requested.at(0).at(1).value<QTcpSocket*>());
        QVERIFY(socket);
        QCOMPARE(socket->parent(), nullptr);
        QCOMPARE(peerMessenger->ConnectionCount(), 0);
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += socket->readAll()).size() >= after.size(), 5000);
        QCOMPARE(received, after);
        // And the other way, raw: the offset goes back unframed.
        socket->write(QByteArray::fromHex("0800000000000000"));
        QByteArray offset;
        QVERIFY(uploader.ReadRaw(offset, 8));
        QCOMPARE(offset.toHex(), QByteArray("0800000000000000"));
    }

    void outgoingFileConnectionsDirectAndConnectBack()
    {
        QSignalSpy accepted(peerMessenger, &PeerMessenger::FileConnectionAccepted);
        QSignalSpy requested(peerMessenger, &PeerMessenger::FileConnectionRequested);
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));

        // We upload: direct connection, opener, then the socket is ours to write the token on.
        peerMessenger->RequestFileConnectionToUser("hank");
        peerMessenger->OnPeerAddress("hank", TCPAddress(0x7f000001u, listener.serverPort()), 0);
        QTRY_VERIFY(listener.hasPendingConnections());
        RawPeer downloader(false, listener.nextPendingConnection());
        QTRY_COMPARE(accepted.count(), 1);
        QCOMPARE(accepted.at(0).at(0).toString(), QStringLiteral("hank"));
        QCOMPARE(peerMessenger->AttemptCount(), 0);
        std::unique_ptr<QTcpSocket> socket(accepted.at(0).at(1).value<QTcpSocket*>());
        QCOMPARE(socket->parent(), nullptr);
        socket->write(RawPeer::UInt32(4242));
        QByteArray payload;
        QVERIFY(downloader.ReadFrame(payload));
        QCOMPARE(payload, RawPeer::PeerInit("me", "F", 0));
        QVERIFY(downloader.ReadRaw(payload, 4));
        QCOMPARE(payload, RawPeer::UInt32(4242));

        // We download, the uploader asked through the server: we connect back and wait for its token.
        peerMessenger->OnConnectToPeerRequested("ivy", "F", TCPAddress(0x7f000001u, listener.serverPort()), 77, false,
                                                0);
        QTRY_VERIFY(listener.hasPendingConnections());
        RawPeer uploader(false, listener.nextPendingConnection());
        QVERIFY(uploader.ReadFrame(payload));
        QCOMPARE(payload, RawPeer::PierceFirewall(77));
        uploader.SendRaw(RawPeer::UInt32(99));
        QVERIFY(requested.wait(5000));
        QCOMPARE(requested.at(0).at(0).toString(), QStringLiteral("ivy"));
        QCOMPARE(requested.at(0).at(2).toUInt(), 99u);
        delete requested.at(0).at(1).value<QTcpSocket*>();
        QCOMPARE(peerMessenger->ConnectionCount(), 0);
    }

    void distributedConnectionsAreHandedOver()
    {
        QSignalSpy received(peerMessenger, &PeerMessenger::DistributedConnectionReceived);
        auto child = Introduce("jill", "D");
        child->SendFrame(QByteArray::fromHex("04") + RawPeer::UInt32(3)); // arrives with the opener
        QVERIFY(received.wait(5000));
        std::unique_ptr<PeerConnection> connection(received.at(0).at(1).value<PeerConnection*>());
        QCOMPARE(received.at(0).at(0).toString(), QStringLiteral("jill"));
        QCOMPARE(connection->parent(), nullptr);
        QCOMPARE(peerMessenger->ConnectionCount(), 0);
        QSignalSpy frames(connection.get(), &PeerConnection::FrameReceived);
        child->SendFrame(QByteArray::fromHex("00"));
        QTRY_VERIFY(frames.count() >= 1);
    }

    void unknownConnectBacksSilentAndIdleConnectionsAreClosed()
    {
        auto stranger = std::make_unique<RawPeer>();
        QVERIFY(stranger->Connect(peerMessenger->ListeningPort()));
        stranger->SendFrame(RawPeer::PierceFirewall(12345));
        QVERIFY(stranger->WaitForClose());

        // A burst that never sends an opener keeps its newest 256 and is closed by the tick once
        // the limit has passed, while an introduced peer stays until it has been idle too long.
        // In batches, so the listen backlog does not hold connections back.
        auto peer = Introduce("kim");
        QTRY_COMPARE(peerMessenger->ConnectionCount(), 1);
        std::vector<std::unique_ptr<QTcpSocket>> silent;
        for (int batch = 1; batch <= 10; ++batch)
        {
            for (int n = 0; n < 100; ++n)
            {
                silent.push_back(std::make_unique<QTcpSocket>());
                // From many addresses, as a crowd would come.
                silent.back()->bind(QHostAddress(QStringLiteral("127.0.2.%1").arg(1 + n % 20)));
                silent.back()->connectToHost(QHostAddress::LocalHost, n % 2 ? peerMessenger->ListeningPort()
                                                                            : peerMessenger->ScrambledListeningPort());
            }
            QTRY_COMPARE_WITH_TIMEOUT(peerMessenger->ConnectionCount(), 1 + std::min(batch * 100, 256), 10000);
        }
        const auto closed = [](const std::unique_ptr<QTcpSocket>& i_socket) {
            return i_socket->state() == QAbstractSocket::UnconnectedState;
        };
        // The first two batches were all in before any was dropped: they were the oldest. A byte
        // sent makes a closed end answer at once.
        for (const auto& socket : silent)
            socket->write("\0", 1);
        QTRY_COMPARE_WITH_TIMEOUT(std::count_if(silent.begin(), silent.end(), closed), 1000 - 256, 10000);
        QVERIFY(std::all_of(silent.begin(), silent.begin() + 200, closed));
        timerManager->TickHalfMinute();
        QCOMPARE(peerMessenger->ConnectionCount(), 257); // younger than 30 s
        peerMessenger->SetTimeouts(0, 300000, 30000);
        timerManager->TickHalfMinute();
        QCOMPARE(peerMessenger->ConnectionCount(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(silent.begin(), silent.end(), closed), 10000);
        peerMessenger->SetTimeouts(30000, 0, 30000);
        timerManager->TickHalfMinute();
        QCOMPARE(peerMessenger->ConnectionCount(), 0);
        QVERIFY(peer->WaitForClose());
    }

    void openersOverFourKibibytesCloseTheConnection_data()
    {
        QTest::addColumn<bool>("scrambled");
        QTest::addColumn<int>("length");
        QTest::newRow("plain, 4097") << false << 4097;
        QTest::newRow("scrambled, 4097") << true << 4097;
        QTest::newRow("plain, just under the message limit") << false << (64 << 20) - 1;
    }

    // Closed once the length is known, so a connection that never says who it is cannot make us
    // hold a message's worth of bytes; an opener of 4096 bytes is taken.
    void openersOverFourKibibytesCloseTheConnection()
    {
        QFETCH(bool, scrambled);
        QFETCH(int, length);
        RawPeer hostile(scrambled);
        QVERIFY(hostile.Connect(scrambled ? peerMessenger->ScrambledListeningPort() : peerMessenger->ListeningPort()));
        hostile.SendRaw(scrambled ? hostile.Frame(QByteArray(length, '\1')).left(8) : RawPeer::UInt32(quint32(length)));
        QVERIFY(hostile.WaitForClose());

        QSignalSpy requests(peerMessenger, &PeerMessenger::UserInfoRequested);
        auto largest = Introduce(QByteArray(4096 - 14, 'u'), "P", scrambled);
        QVERIFY(largest);
        largest->SendFrame(Payload(PeerMessages::BuildUserInfoRequest()));
        QVERIFY(requests.wait(5000));
    }

    void partlyReceivedFramesHaveABudget_data()
    {
        QTest::addColumn<bool>("scrambled");
        QTest::newRow("plain") << false;
        QTest::newRow("scrambled") << true;
    }

    // A message that is never large may not announce more than 1 MiB; the large ones may, but
    // what all connections hold of frames still coming has a budget, and past it the connection
    // that has held its frame longest goes, not the one whose bytes came last.
    void partlyReceivedFramesHaveABudget()
    {
        QFETCH(bool, scrambled);
        const qint64 budget = 3000000;
        PeerConnection::SetPartialFrameBudget(budget);
        const auto restore =
            qScopeGuard([] { PeerConnection::SetPartialFrameBudget(PeerConnection::DefaultPartialFrameBudget); });
        // The first bytes of a frame: its header and code, as the codec scrambles them.
        const auto start = [](RawPeer& io_peer, quint32 i_length, quint32 i_code, int i_more) {
            const QByteArray whole = io_peer.Frame(RawPeer::UInt32(i_code) + QByteArray(int(i_length) - 4, 'x'));
            io_peer.SendRaw(whole.left(whole.size() - int(i_length) + 4 + i_more));
        };
        auto small = Introduce("sam", "P", scrambled);
        QVERIFY(small);
        start(*small, PeerConnection::MaxSmallFrameLength + 1, PM_QUEUE_UPLOAD, 0);
        QVERIFY(small->WaitForClose());

        const int part = 1100000;       // within the share of one address, three of them past the budget
        const quint32 length = 1500000; // past the small limit: its code lets it be large
        std::vector<std::unique_ptr<RawPeer>> peers;
        for (const char* user : {"ann", "bea", "cid"})
        {
            peers.push_back(
                Introduce(user, "P", scrambled, QHostAddress(QStringLiteral("127.0.0.%1").arg(peers.size() + 2))));
            start(*peers.back(), length, PM_SHARED_FILE_LIST, part);
            if (peers.size() < 3)
                QTRY_VERIFY(PeerConnection::PartialFrameBytes() >= qint64(peers.size()) * part);
        }
        QVERIFY(peers[0]->WaitForClose());
        QVERIFY(PeerConnection::PartialFrameBytes() <= budget);
        peers[2]->SendRaw(QByteArray(int(length) - 4 - part, 'x')); // the rest of one: held no more
        QTRY_VERIFY(PeerConnection::PartialFrameBytes() < 2 * part);
        for (size_t n = 1; n < 3; ++n)
            QCOMPARE(peers[n]->Socket().state(), QAbstractSocket::ConnectedState);
    }

    void aFullBudgetStillTakesAWellBehavedList_data()
    {
        QTest::addColumn<QStringList>("hogs");
        QTest::addColumn<int>("kept"); // hogs the budget leaves holding their frames
        QTest::newRow("four addresses") << QStringList{"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"} << 4;
        QTest::newRow("one address") << QStringList{"127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.2"} << 1;
    }

    // Four connections each send most of a frame announced at the cap and stop, leaving next to
    // nothing of the budget; another peer's list of over a megabyte still arrives whole. One
    // address keeps only its share, and the hog that has waited longest gives way.
    void aFullBudgetStillTakesAWellBehavedList()
    {
        QFETCH(QStringList, hogs);
        QFETCH(int, kept);
        const qint64 budget = 4000000;
        PeerConnection::SetPartialFrameBudget(budget);
        const auto restore =
            qScopeGuard([] { PeerConnection::SetPartialFrameBudget(PeerConnection::DefaultPartialFrameBudget); });
        const QByteArray part(999000, 'x');
        const qint64 held = 8 + part.size(); // the length and the code come first
        std::vector<std::unique_ptr<RawPeer>> peers;
        for (const QString& from : hogs)
        {
            peers.push_back(Introduce("hog" + QByteArray::number(int(peers.size())), "P", false, QHostAddress(from)));
            QVERIFY(peers.back());
            peers.back()->SendRaw(RawPeer::UInt32(FrameCodec::MaxFrameLength - 1) + RawPeer::UInt32(PM_SHARED_FILE_LIST)
                                  + part);
            if (peers.size() > size_t(kept)) // the address's older frame goes for the new one
                QVERIFY(peers[peers.size() - 1 - size_t(kept)]->WaitForClose());
            QTRY_COMPARE(PeerConnection::PartialFrameBytes(), std::min(int(peers.size()), kept) * held);
        }

        const quint32 files = 30000;
        const QByteArray list = IncompressibleList(files);
        QVERIFY(list.size() > 1000000);
        int received = -1;
        QMetaObject::Connection lists;
        ListenForLists(lists, received);
        const auto unhook = qScopeGuard([&lists] { disconnect(lists); });
        auto good = Introduce("good");
        QVERIFY(good);
        good->SendFrame(list);
        QTRY_COMPARE_WITH_TIMEOUT(received, int(files), 10000);
        QCOMPARE(good->Socket().state(), QAbstractSocket::ConnectedState);
        QVERIFY(PeerConnection::PartialFrameBytes() <= budget);
        // The newest hog still holds its frame; the ones that went had waited longer.
        QCOMPARE(peers.back()->Socket().state(), QAbstractSocket::ConnectedState);
        if (kept == 4)
            QVERIFY(peers.front()->WaitForClose());
    }

    // A partial frame that is past its grace must have come at 64 KiB/s since it was last looked
    // at while others want the room: a slow one goes, and so does one that came fast once and then
    // stopped, though on average since it began it still comes fast enough.
    void partialFramesMustKeepComing()
    {
        const qint64 budget = 16000000; // a quarter is 4 MB, an address's share 6 MB
        PeerConnection::SetPartialFrameBudget(budget);
        const auto restore =
            qScopeGuard([] { PeerConnection::SetPartialFrameBudget(PeerConnection::DefaultPartialFrameBudget); });
        // After 31 s, 64 KiB/s is 2,031,616 bytes; after 62 s, 4,063,232.
        const QByteArray slowPart(1900000, 'x');
        const QByteArray burstPart(4500000, 'x');
        const QByteArray steadyPart(2200000, 'x');
        auto slow = Hold("slow", "127.0.0.2", slowPart);
        auto burst = Hold("burst", "127.0.0.3", burstPart);
        auto steady = Hold("steady", "127.0.0.4", steadyPart);
        auto hog = Hold("hog", "127.0.0.5", QByteArray(3500000, 'x')); // less than 4 MB of the budget is left
        QVERIFY(slow && burst && steady && hog);
        QTRY_COMPARE(PeerConnection::PartialFrameBytes(), qint64(4 * 8 + 12100000));
        timerManager->TickHalfMinute(); // within the grace: nobody goes
        PeerConnection::AdvancePartialFrameClockForTest(31000);
        timerManager->TickHalfMinute();
        QVERIFY(slow->WaitForClose());
        steady->SendRaw(steadyPart);
        hog->SendRaw(QByteArray(2400000, 'x'));
        QTRY_COMPARE(PeerConnection::PartialFrameBytes(), qint64(3 * 8 + 14800000));
        PeerConnection::AdvancePartialFrameClockForTest(31000);
        timerManager->TickHalfMinute();
        QVERIFY(burst->WaitForClose());
        QCOMPARE(steady->Socket().state(), QAbstractSocket::ConnectedState);
        QCOMPARE(hog->Socket().state(), QAbstractSocket::ConnectedState);
        QCOMPARE(PeerConnection::PartialFrameBytes(), qint64(2 * 8 + 10300000));
    }

    void a_slow_large_message_is_dropped_only_when_others_want_its_room_data()
    {
        QTest::addColumn<int>("hogs");
        QTest::addColumn<qint64>("budget");
        QTest::newRow("nobody else holds a partial frame") << 0 << PeerConnection::DefaultPartialFrameBudget;
        // A quarter is 2.5 MB, an address's share 3.75 MB: the list alone fills most of its
        // address's share, which nobody else at that address wants.
        QTest::newRow("alone at its address, near its share") << 0 << qint64(10000000);
        QTest::newRow("hogs hold the budget") << 3 << qint64(10000000);
    }

    // A 3 MB shares list at 32 KiB/s, half the pace the rule asks for, arrives whole when nobody
    // else wants the budget; while others hold most of it, it goes at the first look.
    void a_slow_large_message_is_dropped_only_when_others_want_its_room()
    {
        QFETCH(int, hogs);
        QFETCH(qint64, budget);
        PeerConnection::SetPartialFrameBudget(budget);
        const auto restore =
            qScopeGuard([] { PeerConnection::SetPartialFrameBudget(PeerConnection::DefaultPartialFrameBudget); });
        std::vector<std::unique_ptr<RawPeer>> held;
        for (int n = 0; n < hogs; ++n)
        {
            held.push_back(Hold(QByteArray("hog" + QByteArray::number(n)).constData(),
                                QByteArray("127.0.0." + QByteArray::number(3 + n)).constData(),
                                QByteArray(2500000, 'x')));
            QVERIFY(held.back());
        }
        const qint64 hogBytes = hogs * qint64(8 + 2500000);
        QTRY_COMPARE(PeerConnection::PartialFrameBytes(), hogBytes);

        const quint32 files = 90000;
        const QByteArray wire = RawPeer().Frame(IncompressibleList(files));
        QVERIFY(wire.size() > 3000000 && wire.size() < PeerConnection::PartialFrameShareOfAddress());
        int received = -1;
        QMetaObject::Connection lists;
        ListenForLists(lists, received);
        const auto unhook = qScopeGuard([&lists] { disconnect(lists); });
        auto sender = Introduce("uplink", "P", false, QHostAddress(QStringLiteral("127.0.0.2")));
        QVERIFY(sender);
        const int perLook = 32 * 1024 * 30;
        int mostLookedAt = 0;
        for (int sent = 0; sent < wire.size() && sender->Socket().state() == QAbstractSocket::ConnectedState;)
        {
            const QByteArray chunk = wire.mid(sent, perLook);
            sender->SendRaw(chunk);
            sent += chunk.size();
            if (sent < wire.size())
            {
                QTRY_COMPARE(PeerConnection::PartialFrameBytes(), hogBytes + sent);
                mostLookedAt = sent;
            }
            PeerConnection::AdvancePartialFrameClockForTest(30000);
            timerManager->TickHalfMinute();
            QTest::qWait(20);
        }
        if (hogs == 0)
        {
            QTRY_COMPARE_WITH_TIMEOUT(received, int(files), 10000);
            QCOMPARE(sender->Socket().state(), QAbstractSocket::ConnectedState);
            if (budget < PeerConnection::DefaultPartialFrameBudget) // looked at with less than a quarter left
                QVERIFY(mostLookedAt > PeerConnection::PartialFrameShareOfAddress() / 4 * 3);
        }
        else
        {
            QVERIFY(sender->WaitForClose());
            QCOMPARE(received, -1);
        }
    }

    // A large message still arriving is the peer's activity: a slow uplink's list that takes longer
    // than the idle time-out is not cut, and the peer idles out only once it has stopped sending.
    void a_message_still_arriving_keeps_its_connection_alive()
    {
        const qint64 idleMs = 600;
        peerMessenger->SetTimeouts(30000, idleMs, 30000);
        const quint32 files = 3000;
        const QByteArray wire = RawPeer().Frame(IncompressibleList(files));
        int received = -1;
        QMetaObject::Connection lists;
        ListenForLists(lists, received);
        const auto unhook = qScopeGuard([&lists] { disconnect(lists); });
        auto sender = Introduce("uplink");
        QVERIFY(sender);
        QTRY_COMPARE(peerMessenger->ConnectionCount(), 1);
        QElapsedTimer since;
        since.start();
        const int parts = 8;
        const int part = wire.size() / parts + 1;
        // The tick comes just after each part, so only the growing frame can have kept it busy.
        for (int sent = 0; sent + part < wire.size(); sent += part)
        {
            QTest::qWait(int(idleMs) / 3);
            sender->SendRaw(wire.mid(sent, part));
            QTRY_COMPARE(PeerConnection::PartialFrameBytes(), qint64(sent + part));
            timerManager->TickHalfMinute();
            QCOMPARE(peerMessenger->ConnectionCount(), 1);
        }
        QVERIFY(since.elapsed() > 2 * idleMs);
        sender->SendRaw(wire.mid(wire.size() / part * part));
        QTRY_COMPARE(received, int(files));
        QTest::qWait(int(idleMs) + 50);
        timerManager->TickHalfMinute();
        QVERIFY(sender->WaitForClose());
    }

    // One address holds at most 64 incoming connections; the idle longest go first.
    void connectionsPerAddressAreCapped()
    {
        auto quiet = std::make_unique<RawPeer>();
        QVERIFY(quiet->Connect(peerMessenger->ListeningPort(), QHostAddress("127.0.0.2")));
        Place("quiet", 0x7f000002u);
        quiet->SendFrame(RawPeer::PeerInit("quiet", "P"));
        QTRY_COMPARE(peerMessenger->ConnectionCount(), 1);
        std::vector<std::unique_ptr<RawPeer>> busy;
        for (int n = 0; n < 66; ++n)
        {
            busy.push_back(std::make_unique<RawPeer>());
            QVERIFY(busy.back()->Connect(peerMessenger->ListeningPort(), QHostAddress("127.0.0.2")));
            Place("busy" + QByteArray::number(n), 0x7f000002u);
            busy.back()->SendFrame(RawPeer::PeerInit("busy" + QByteArray::number(n), "P"));
            // In batches, so the listen backlog does not hold connections back.
            if (n % 20 == 19)
                QTRY_COMPARE(peerMessenger->ConnectionCount(), std::min(n + 2, 64));
        }
        auto elsewhere = Introduce("elsewhere"); // from 127.0.0.1
        QVERIFY(quiet->WaitForClose());
        QTRY_COMPARE(peerMessenger->ConnectionCount(), 65);
        QCOMPARE(elsewhere->Socket().state(), QAbstractSocket::ConnectedState);
        QVERIFY(peerMessenger->IncomingConnectionLimit() >= 64);
    }

    void sharesListRequestsAreAnswered()
    {
        auto peer = Introduce("lee");
        QByteArray payload;
        // Without a shares engine nothing goes back.
        peer->SendFrame(Payload(PeerMessages::BuildGetSharedFileList()));
        QVERIFY(!peer->ReadFrame(payload, 200));
        QString askedFor;
        peerMessenger->SetSharedFilesMessageProvider([&askedFor](const QString& i_user) {
            askedFor = i_user;
            return MemStream(QByteArray::fromHex("05000000abcd"));
        });
        peer->SendFrame(Payload(PeerMessages::BuildGetSharedFileList()));
        QVERIFY(peer->ReadFrame(payload));
        QCOMPARE(payload.toHex(), QByteArray("05000000abcd"));
        QCOMPARE(askedFor, QStringLiteral("lee"));
    }

    // A size is signed on the wire; a negative one is no file's, and the message holding it is
    // dropped where it is read. The largest size passes.
    void negativeSizesAreMalformed()
    {
        QList<qint64> sizes;
        const QMetaObject::Connection lists =
            connect(peerMessenger, &PeerMessenger::UserShare, this,
                    [&sizes](QString, FileInfoMap& i_share, AttributeTranslationTable&) {
                        for (const auto& [folder, files] : i_share)
                            for (const FileInfo& file : files)
                                sizes << file.m_size;
                    });
        QSignalSpy requests(peerMessenger, &PeerMessenger::FileTransferRequested);
        const auto list = [](qint64 i_size) {
            MemStream body;
            OutputStream(body).WriteFields(quint32(1), std::string("@@music"), quint32(1), quint8(1),
                                           std::string("song.mp3"), i_size, std::string("mp3"), quint32(0), quint32(0));
            return Compressed(5, body.ToByteArray());
        };
        auto peer = Introduce("mallory");
        peer->SendFrame(list(std::numeric_limits<qint64>::min()));
        peer->SendFrame(list(-1));
        peer->SendFrame(Payload(PeerMessages::BuildTransferRequest(1, 7, "x", -5)));
        peer->SendFrame(Payload(PeerMessages::BuildTransferRequest(1, 8, "x", std::numeric_limits<qint64>::max())));
        peer->SendFrame(list(std::numeric_limits<qint64>::max()));
        QTRY_COMPARE(sizes, QList<qint64>{std::numeric_limits<qint64>::max()});
        disconnect(lists);
        QCOMPARE(requests.count(), 1);
        QCOMPARE(requests.at(0).at(2).toUInt(), 8u);
    }

    void searchRepliesBecomeItems()
    {
        QSignalSpy results(peerMessenger, &PeerMessenger::SearchResults);
        d->GetType("search_request")->NewItem(Value(55u));
        const auto reply = [](quint32 i_token, quint32 i_count, const std::vector<FileInfo>& i_files) {
            MemStream body;
            OutputStream out(body);
            out.Write(std::string("somebody else"));
            out.Write(i_token);
            out.Write(i_count);
            for (const FileInfo& file : i_files)
                out.Write(file);
            out.Write(quint8(1)); // free slot, speed, queue, an empty attribute table
            for (quint32 value : {2560u, 7u, 0u})
                out.Write(value);
            return Compressed(9, body.ToByteArray());
        };
        FileInfo song("music\\album/song.mp3", 1234567890123LL);
        song.m_attributes.m_extension = "mp3";
        song.m_attributes.Add(0, 192);
        song.m_attributes.Add(2, -1);
        song.m_attributes.Add(1, 300);
        FileInfo bare("bare", 1);
        auto peer = Introduce("nina");
        peer->SendFrame(reply(56, 2, {song, bare})); // unknown token: nothing at all
        peer->SendFrame(reply(55, 2, {song, bare}));
        QVERIFY(results.wait(5000));
        QCOMPARE(results.count(), 1);
        QCOMPARE(d->GetType("search_request")->GetItemCount(), size_t(1));
        const ItemPtr item = results.at(0).at(0).value<ItemPtr>();
        QCOMPARE(item["user"].AsString(), QStringLiteral("nina"));
        QCOMPARE(item["search_request"].AsString(), QStringLiteral("55"));
        QCOMPARE(item["search_results_user_available"].AsString(), QStringLiteral("yes"));
        QCOMPARE(item["search_results_user_speed"].AsInt(), 2560);
        QCOMPARE(item["search_results_uploads_in_queue"].AsString(), QStringLiteral("7"));
        const ItemSet files = item.GetItems("search_result");
        QCOMPARE(int(files.size()), 2);
        const ItemPtr first = *files.begin();
        QCOMPARE(first["search_result_file_folder"].AsString(), QStringLiteral("music\\album"));
        QCOMPARE(first["search_result_file_name"].AsString(), QStringLiteral("song.mp3"));
        QCOMPARE(first["file_size"].AsInt64(), 1234567890123LL);
        QCOMPARE(first["bitrate"].AsString(), QStringLiteral("192"));
        QCOMPARE(first["bitrate_mode"].AsString(), QStringLiteral("vbr"));
        QCOMPARE(first["length_seconds"].AsString(), QStringLiteral("300"));
        const ItemPtr second = *std::next(files.begin());
        QCOMPARE(second["search_result_file_folder"].AsString(), QString());
        QCOMPARE(second["search_result_file_name"].AsString(), QStringLiteral("bare"));
        QVERIFY(!second.IsConnected("bitrate"));

        // Over the count limit: dropped whole, before any record is read.
        const size_t before = d->GetType("search_results")->GetItemCount();
        peer->SendFrame(reply(55, 131073, {bare}));
        peer->SendFrame(reply(55, 1, {bare}));
        QVERIFY(results.wait(5000));
        QCOMPARE(results.count(), 2);
        QCOMPARE(d->GetType("search_results")->GetItemCount(), before + 1);

        // A user's replies to one search stop at four; a search's results at the limit in all.
        for (int n = 0; n < 3; ++n)
            peer->SendFrame(reply(55, 2, {song, bare}));
        QTRY_COMPARE(results.count(), 4);
        peerMessenger->SetSearchReplyLimits(PeerMessenger::DefaultRepliesPerUserAndSearch, 10);
        auto other = Introduce("omar");
        other->SendFrame(reply(55, 2, {song, bare})); // 7 results held, 9 with these
        other->SendFrame(reply(55, 2, {song, bare}));
        other->SendFrame(reply(55, 1, {bare}));
        QTRY_COMPARE(results.count(), 6);
        QVERIFY(!results.wait(200));
        const ItemPtr search = d->GetType("search_request")->HasItem(Value(55u));
        for (const auto& [user, replies] : {std::make_pair("nina", 4), std::make_pair("omar", 2)})
            QCOMPARE(int(d->GetItems(search, d->GetType("user")->HasItem(Value(user)), "search_results").size()),
                     replies);

        // A search closed and started again under its token counts afresh.
        peerMessenger->SetSearchReplyLimits(PeerMessenger::DefaultRepliesPerUserAndSearch,
                                            PeerMessenger::DefaultResultsPerSearch);
        search.GetItems("search_results").Remove();
        d->GetType("search_request")->HasItem(Value(55u)).Remove();
        d->RemoveDisconnectedItems();
        d->GetType("search_request")->NewItem(Value(55u));
        peer->SendFrame(reply(55, 1, {bare}));
        QTRY_COMPARE(results.count(), 7);
    }

    void transferTokensComeFromTheCounter()
    {
        QCOMPARE(peerMessenger->RequestUpload(QStringLiteral("oz"), QStringLiteral("f"), 1), 0u);
        QCOMPARE(GetSetting(QStringLiteral("transfer_req_counter")), QStringLiteral("1"));
        QCOMPARE(peerMessenger->RequestUpload(QStringLiteral("oz"), QStringLiteral("f"), 1), 1u);
        SetSetting(QStringLiteral("transfer_req_counter"), QStringLiteral("4294967295"));
        QCOMPARE(peerMessenger->RequestUpload(QStringLiteral("oz"), QStringLiteral("f"), 1), 4294967295u);
        QCOMPARE(GetSetting(QStringLiteral("transfer_req_counter")), QStringLiteral("0"));
    }
};

QTEST_GUILESS_MAIN(TestPeerMessenger)
#include "test_peer_messenger.moc"
