#include "Compression.h"
#include "Data.h"
#include "DataSaver.h"
#include "Log.h"
#include "PeakMemory.h"
#include "PeerMessages.h"
#include "PeerMessenger.h"
#include "PeerOnlyEngine.h"
#include "RawPeer.h"
#include "SendHold.h"
#include "SendQueues.h"
#include "TimerManager.h"

#include <QDir>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <algorithm>
#include <limits>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

Q_DECLARE_METATYPE(std::string)

// One real peer messenger in this process against scripted raw peers on loopback sockets.
class TestPeerMessenger : public QObject
{
    Q_OBJECT

    quint16 m_port = 0;

    void Start(const QString& i_newPort = QString())
    {
        d = new Data;
        DeclareSettingTypes(d);
        dataSaver = new DataSaver;
        new TimerManager;
        // The server connection declares these; the messenger relates its reply types to them.
        if (!d->HasType("user"))
            d->NewType("user", Primary, false, true);
        if (!d->HasType("search_request"))
            d->NewType("search_request", Secondary, false, false);
        new PeerMessenger;
        SetSetting(QStringLiteral("username"), QStringLiteral("me"));
        m_port = FreePortPair();
        if (!i_newPort.isNull()) // over a stored zero, which must not matter
            SetSetting(QStringLiteral("listening_port"), QStringLiteral("0"));
        SetSetting(QStringLiteral("new_listening_port"), i_newPort.isNull() ? QString::number(m_port) : i_newPort);
        dataSaver->NotifyFirstStart();
    }

    // What the server would say: the user is at this address. There is no server here to ask.
    static void Place(const QByteArray& i_user, quint32 i_ip = 0x7f000001u)
    {
        peerMessenger->OnPeerAddress(QString::fromUtf8(i_user), TCPAddress(i_ip, 0), 0);
    }

    // A raw peer on the plain or the scrambled port, from an address of its own or this one,
    // introduced as a user the server places there (or, unplaced, one whose address nobody has
    // given yet).
    std::unique_ptr<RawPeer> Introduce(const QByteArray& i_user, const QByteArray& i_type = "P",
                                       bool i_scrambled = false, const QHostAddress& i_from = QHostAddress(),
                                       bool i_placed = true)
    {
        if (i_placed)
            Place(i_user, i_from.isNull() ? 0x7f000001u : i_from.toIPv4Address());
        auto peer = std::make_unique<RawPeer>(i_scrambled);
        if (!peer->Connect(i_scrambled ? peerMessenger->ScrambledListeningPort() : peerMessenger->ListeningPort(),
                           i_from))
            return nullptr;
        peer->SendFrame(RawPeer::PeerInit(i_user, i_type));
        return peer;
    }

    // A loopback port nobody listens on.
    static quint16 DeadPort()
    {
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost);
        return closed.serverPort();
    }

    static QByteArray Payload(MemStream i_message) { return i_message.ToByteArray(); }

    // The client's socket of its connection to a raw peer of this process, found among the
    // process's descriptors by its two ports; -1 when there is none.
    static int ClientSocketOf(RawPeer& i_peer)
    {
        const auto port = [](const sockaddr_storage& i_address) {
            return ntohs(i_address.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(i_address).sin6_port
                                                         : reinterpret_cast<const sockaddr_in&>(i_address).sin_port);
        };
        for (const QString& name : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System))
        {
            sockaddr_storage local{};
            sockaddr_storage remote{};
            socklen_t localSize = sizeof local;
            socklen_t remoteSize = sizeof remote;
            const int fd = name.toInt();
            if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) == 0
                && ::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteSize) == 0
                && port(local) == peerMessenger->ListeningPort() && port(remote) == i_peer.Socket().localPort())
                return fd;
        }
        return -1;
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

    // A peer that reads nothing: its socket takes a byte at most, and the system's buffers little.
    std::unique_ptr<RawPeer> NonReader(const QByteArray& i_user, const char* i_from, int i_receiveBytes = 4096)
    {
        Place(i_user, QHostAddress(QLatin1String(i_from)).toIPv4Address());
        auto peer = std::make_unique<RawPeer>();
        // The option needs a socket, which binding makes.
        if (!peer->Socket().bind(QHostAddress(QLatin1String(i_from))))
            return nullptr;
        peer->Socket().setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, i_receiveBytes);
        peer->Socket().setReadBufferSize(1);
        if (!peer->Connect(peerMessenger->ListeningPort()))
            return nullptr;
        peer->SendFrame(RawPeer::PeerInit(i_user, "P"));
        return peer;
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<std::string>("std::string");
        qRegisterMetaType<ItemPtr>("ItemPtr");
        qRegisterMetaType<QTcpSocket*>("QTcpSocket*");
        qRegisterMetaType<PeerConnection*>("PeerConnection*");
    }

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

    // Peers that never read hold answers of different sizes while a reader's small answer is
    // still under way: past the bound the one holding the most gives way, neither the oldest nor
    // the newest, and the reader gets its answer whole.
    void the_largest_holder_gives_way_past_the_bound()
    {
        peerMessenger->SetWaitingBytesBudget(qint64(64) << 20);
        // The request's file name says how many thousand bytes its answer holds. Place-in-line
        // requests, since a folder request waits unread behind the answer before it.
        connect(peerMessenger, &PeerMessenger::UploadPlaceInLineRequested, this, [](QString i_user, QString i_file) {
            MemStream message(RawPeer::UInt32(PM_SHARED_FILES_IN_FOLDER) + QByteArray(i_file.toInt() * 1000, 'a'));
            peerMessenger->SendMessage(i_user, message);
        });
        const auto ask = [](quint32 i_kilobytes) {
            return Payload(PeerMessages::BuildUploadPlaceInLineRequest(QString::number(i_kilobytes)));
        };
        const quint32 fill = 4500; // more than the system buffers for one connection
        // The first answer fills what the system takes of it, and counts whole while part of it waits
        // with us; the second waits with us whole. What then waits for the peer, or 0 when either did
        // not come out so.
        const auto hold = [fill, &ask](RawPeer& io_peer, quint32 i_kilobytes) -> qint64 {
            const qint64 before = peerMessenger->WaitingBytes();
            io_peer.SendFrame(ask(fill));
            const qint64 frame = 8 + qint64(fill) * 1000;
            if (!QTest::qWaitFor([&] { return peerMessenger->WaitingBytes() >= before + frame; }, 5000))
                return 0;
            QTest::qWait(100); // the system takes what it will
            const qint64 filled = peerMessenger->WaitingBytes();
            io_peer.SendFrame(ask(i_kilobytes));
            const qint64 held = filled - before + 8 + qint64(i_kilobytes) * 1000;
            // The peer's side may take a few more bytes of the first meanwhile.
            if (!QTest::qWaitFor([&] { return peerMessenger->WaitingBytes() > before + held - 65536; }, 5000))
                return 0;
            return held;
        };
        auto reader = NonReader("reader", "127.0.0.9");
        QVERIFY(reader);
        const qint64 small = hold(*reader, 300);
        QVERIFY(small > 0);
        std::vector<std::unique_ptr<RawPeer>> holders;
        std::vector<qint64> held;
        for (quint32 kilobytes : {2000u, 3500u, 2500u, 3000u})
        {
            holders.push_back(
                NonReader("holder" + QByteArray::number(int(holders.size())),
                          QByteArray("127.0.0." + QByteArray::number(2 + int(holders.size()))).constData()));
            QVERIFY(holders.back());
            held.push_back(hold(*holders.back(), kilobytes));
            QVERIFY(held.back() > small);
        }
        QCOMPARE(std::max_element(held.begin(), held.end()) - held.begin(), 1);
        QTest::qWait(int(PeerConnection::StalledAfterMs)); // none of them reads
        // Within the bound while the largest is there, past it without.
        const qint64 budget = peerMessenger->WaitingBytes() - held[1] / 2;
        peerMessenger->SetWaitingBytesBudget(budget);
        auto asker = Introduce("asker", "P", false, QHostAddress(QStringLiteral("127.0.0.8")));
        QVERIFY(asker);
        asker->SendFrame(ask(100));
        QByteArray payload;
        QVERIFY(asker->ReadFrame(payload));
        QCOMPARE(payload.size(), 4 + 100000);
        // A peer that reads nothing does not see its end closed; our side tells who is left.
        QStringList open;
        for (const PeerConnection* connection : peerMessenger->findChildren<PeerConnection*>())
            if (connection->GetState() == PeerConnection::State::Open)
                open << connection->User();
        open.sort();
        QCOMPARE(open, QStringList({"asker", "holder0", "holder2", "holder3", "reader"}));
        QVERIFY(peerMessenger->WaitingBytes() <= budget);
        reader->Socket().setReadBufferSize(0);
        reader->Socket().setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
        for (quint32 kilobytes : {fill, 300u})
        {
            QVERIFY(reader->ReadFrame(payload, 20000));
            QCOMPARE(payload.size(), 4 + int(kilobytes) * 1000);
        }
    }

    // Peers that never read ask for answers of 2 MB each: what waits for all peers stays within the
    // bound and its one answer, the connection holding the most gives way, and a peer that reads
    // is still answered.
    void answers_waiting_for_all_peers_give_way_past_the_bound()
    {
        const qint64 budget = 16000000; // 4 MB on one connection
        peerMessenger->SetWaitingBytesBudget(budget);
        const QByteArray answer = RawPeer::UInt32(PM_SHARED_FILES_IN_FOLDER) + QByteArray(2000000, 'a');
        const auto answering = [&answer](QString i_user) {
            MemStream message(answer);
            peerMessenger->SendMessage(i_user, message);
        };
        connect(peerMessenger, &PeerMessenger::SharedFilesInFolderRequested, this, answering);
        // Requests whose answers pile up: folder requests wait unread behind the answer before them.
        connect(peerMessenger, &PeerMessenger::UploadPlaceInLineRequested, this, answering);
        QByteArray requests;
        for (quint32 n = 0; n < 6; ++n)
            requests += RawPeer().Frame(Payload(PeerMessages::BuildUploadPlaceInLineRequest(QString::number(n))));
        std::vector<std::unique_ptr<RawPeer>> peers;
        for (int n = 0; n < 5; ++n)
        {
            peers.push_back(NonReader("never" + QByteArray::number(n),
                                      QByteArray("127.0.0." + QByteArray::number(2 + n)).constData()));
            QVERIFY(peers.back());
            // Twice: the second time the system's buffers are full.
            for (int round = 0; round < 2; ++round)
            {
                peers.back()->SendRaw(requests);
                QTest::qWait(200);
                QVERIFY2(peerMessenger->WaitingBytes() <= budget + answer.size(),
                         qPrintable(QString::number(peerMessenger->WaitingBytes())));
            }
        }
        auto reader = Introduce("reader", "P", false, QHostAddress(QStringLiteral("127.0.0.9")));
        QVERIFY(reader);
        reader->SendFrame(Payload(PeerMessages::BuildGetSharedFilesInFolder(7, QStringLiteral("f"))));
        QByteArray payload;
        QVERIFY(reader->ReadFrame(payload));
        QCOMPARE(payload.size(), answer.size());
        QVERIFY(peerMessenger->ConnectionCount() < 6);
    }

    void what_the_system_took_of_unread_answers_counts_against_the_bound_data()
    {
        QTest::addColumn<int>("answerBytes");
        QTest::addColumn<int>("peers");
        QTest::newRow("answers the system takes whole") << 100000 << 12;
        QTest::newRow("answers larger than the system takes") << 4000000 << 6;
    }

    // Peers that never read ask once each, under names of their own. What the system has taken of
    // their answers is held for them too: it is counted, so past the bound the largest holders give
    // way; the system holds little of any one of them; and this process holds no more than is counted.
    void what_the_system_took_of_unread_answers_counts_against_the_bound()
    {
        QFETCH(int, answerBytes);
        QFETCH(int, peers);
        const qint64 budget = qint64(answerBytes) * peers / 2;
        peerMessenger->SetWaitingBytesBudget(budget);
        const QByteArray answer = RawPeer::UInt32(PM_SHARED_FILES_IN_FOLDER) + QByteArray(answerBytes, 'a');
        int asked = 0;
        connect(peerMessenger, &PeerMessenger::SharedFilesInFolderRequested, this, [&answer, &asked](QString i_user) {
            ++asked;
            MemStream message(answer);
            peerMessenger->SendMessage(i_user, message);
        });
        ResetPeak();
        [[maybe_unused]] const double baseline = PeakMegabytes();
        std::vector<std::unique_ptr<RawPeer>> never;
        for (int n = 0; n < peers; ++n)
        {
            never.push_back(NonReader("renamed" + QByteArray::number(n), "127.0.0.2"));
            QVERIFY(never.back());
            never.back()->SendFrame(Payload(PeerMessages::BuildGetSharedFilesInFolder(1, QStringLiteral("f"))));
            QTRY_COMPARE(asked, n + 1);
        }
        QTest::qWait(500); // the system takes what it will of the answers
        int open = 0;
        const qint64 queued = SendQueues(peerMessenger->ListeningPort(), &open);
        QVERIFY2(open <= peers / 2 + 1, qPrintable(QString::number(open)));
        QVERIFY2(queued <= open * 2 * qint64(PeerConnection::SystemUnsentBytes), qPrintable(QString::number(queued)));
#if !defined(__SANITIZE_ADDRESS__) // freed memory waits in the sanitizer's quarantine
        ResetPeak();
        const double growth = PeakMegabytes() - baseline;
        QVERIFY2(growth <= peerMessenger->WaitingBytes() / 1e6 + 2, qPrintable(QString::number(growth)));
#endif
    }

    void the_system_sizes_a_peers_send_buffer_and_holds_little_it_has_not_sent_data()
    {
        QTest::addColumn<bool>("reads");
        QTest::newRow("a peer that reads") << true;
        QTest::newRow("a peer that never reads") << false;
    }

    // A fixed send buffer would bound a far reader's speed by its size over the round trip: the
    // system sizes it, past what the client once fixed (128 KiB, doubled), whether the peer reads
    // or not. What the system holds unsent for a peer that reads nothing stays about the bound.
    void the_system_sizes_a_peers_send_buffer_and_holds_little_it_has_not_sent()
    {
        QFETCH(bool, reads);
        const int answerBytes = 4000000;
        connect(peerMessenger, &PeerMessenger::SharedFilesInFolderRequested, this, [answerBytes](QString i_user) {
            MemStream message(RawPeer::UInt32(PM_SHARED_FILES_IN_FOLDER) + QByteArray(answerBytes, 'a'));
            peerMessenger->SendMessage(i_user, message);
        });
        auto peer = reads ? Introduce("reader") : NonReader("never", "127.0.0.2");
        QVERIFY(peer);
        peer->SendFrame(Payload(PeerMessages::BuildGetSharedFilesInFolder(1, QStringLiteral("f"))));
        QByteArray payload;
        if (reads)
        {
            QVERIFY(peer->ReadFrame(payload, 20000));
            QCOMPARE(payload.size(), 4 + answerBytes);
        }
        else
        {
            QTRY_VERIFY(peerMessenger->WaitingBytes() > 0);
            QTest::qWait(500); // the system takes what it will
            const qint64 queued = SendQueues(peerMessenger->ListeningPort());
            QVERIFY2(queued > 0 && queued <= 2 * qint64(PeerConnection::SystemUnsentBytes),
                     qPrintable(QString::number(queued)));
        }
        const int fd = ClientSocketOf(*peer);
        QVERIFY(fd >= 0);
        int sendBuffer = 0;
        socklen_t size = sizeof sendBuffer;
        QVERIFY(::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &size) == 0);
        QVERIFY2(sendBuffer > 4 * 128 * 1024, qPrintable(QString::number(sendBuffer)));
    }

    void a_connection_closed_for_a_bound_is_reset_and_one_closed_in_the_normal_course_is_not_data()
    {
        QTest::addColumn<QString>("closing");
        QTest::addColumn<int>("answerBytes");
        QTest::addColumn<QString>("line");
        QTest::newRow("the bound of all peers") << QStringLiteral("budget") << 4000000 << "Connection P never closed";
        QTest::newRow("a frame over the size limit")
            << QStringLiteral("oversized") << 4000000 << "Connection P never closed";
        QTest::newRow("too many connections from its address")
            << QStringLiteral("address") << 4000000 << "dropping the 1 idle longest";
        QTest::newRow("idle too long, its answer all with the system")
            << QStringLiteral("idle") << PeerConnection::SystemUnsentBytes / 2 << "Connection P never closed";
    }

    // A peer that keeps its window shut has the system keep a closed connection, and what it holds
    // unsent, for minutes unless it is reset: one closed for a bound leaves nothing there at once.
    // One closed in the normal course still has all the system took reach its peer.
    void a_connection_closed_for_a_bound_is_reset_and_one_closed_in_the_normal_course_is_not()
    {
        QFETCH(QString, closing);
        QFETCH(int, answerBytes);
        QFETCH(QString, line);
        peerMessenger->SetWaitingBytesBudget(answerBytes * 3 / 4);
        connect(peerMessenger, &PeerMessenger::SharedFilesInFolderRequested, this, [answerBytes](QString i_user) {
            MemStream message(RawPeer::UInt32(PM_SHARED_FILES_IN_FOLDER) + QByteArray(answerBytes, 'a'));
            peerMessenger->SendMessage(i_user, message);
        });
        bool closed = false;
        SetLogSink(
            [&closed, &line](const QString&, const QString& i_line) { closed = closed || i_line.contains(line); });
        const auto restore = qScopeGuard([] { SetLogSink(LogSink()); });
        const QByteArray request = Payload(PeerMessages::BuildGetSharedFilesInFolder(1, QStringLiteral("f")));
        const quint16 port = peerMessenger->ListeningPort();
        auto never = NonReader("never", "127.0.0.2");
        QVERIFY(never);
        never->SendFrame(request);
        // The system takes what it will, less the few kilobytes the peer's window had room for.
        QTRY_VERIFY(SendQueues(port) >= std::min(answerBytes, PeerConnection::SystemUnsentBytes) / 2);
        std::unique_ptr<RawPeer> other;
        std::vector<std::unique_ptr<RawPeer>> more;
        if (closing == QLatin1String("address"))
        {
            // As many again as one address may hold: the one idle longest goes.
            for (int n = 0; n < 64; ++n)
            {
                more.push_back(std::make_unique<RawPeer>());
                QVERIFY(more.back()->Socket().bind(QHostAddress(QStringLiteral("127.0.0.2"))));
            }
            // The client takes them as they come: a backlog holds only so many.
            for (auto& peer : more)
                peer->Socket().connectToHost(QHostAddress::LocalHost, port);
            QTRY_VERIFY(std::all_of(more.begin(), more.end(), [](const auto& i_peer) {
                return i_peer->Socket().state() == QAbstractSocket::ConnectedState;
            }));
        }
        else if (closing == QLatin1String("budget"))
        {
            other = NonReader("other", "127.0.0.3");
            QVERIFY(other);
            other->SendFrame(request);
        }
        else if (closing == QLatin1String("oversized"))
        {
            never->SendRaw(RawPeer::UInt32(FrameCodec::MaxFrameLength + 1));
        }
        else
        {
            peerMessenger->SetTimeouts(30000, 0, 30000);
            timerManager->TickHalfMinute();
        }
        QTRY_VERIFY(closed);
        if (closing == QLatin1String("idle"))
        {
            never->Socket().setReadBufferSize(0);
            QByteArray payload;
            QVERIFY(never->ReadFrame(payload, 20000));
            QCOMPARE(payload.size(), 4 + answerBytes);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(ClosedSendQueues(port), qint64(0), 1000);
    }

    void a_peer_that_reads_keeps_its_answer_while_peers_that_never_read_give_way_data()
    {
        QTest::addColumn<int>("chunk");
        QTest::addColumn<int>("pauseMs");
        QTest::newRow("reads a little often") << 16384 << 10;
        QTest::newRow("reads more, with pauses") << 262144 << 300;
    }

    // A slow reader's answer is the largest of what waits, while peers that read nothing each ask
    // for a smaller one and pass the bound of all: they give way, each with its line, and the reader
    // gets its answer whole.
    void a_peer_that_reads_keeps_its_answer_while_peers_that_never_read_give_way()
    {
        QFETCH(int, chunk);
        QFETCH(int, pauseMs);
        // The reader's answer counts whole while part of it waits with us. On loopback a reader keeps its
        // window shut most of the time too, as the link is faster than it reads: it takes more of late.
        peerMessenger->SetWaitingBytesBudget(12000000);
        connect(peerMessenger, &PeerMessenger::UploadPlaceInLineRequested, this, [](QString i_user, QString i_file) {
            MemStream message(RawPeer::UInt32(PM_SHARED_FILES_IN_FOLDER) + QByteArray(i_file.toInt() * 1000, 'a'));
            peerMessenger->SendMessage(i_user, message);
        });
        QStringList closed;
        SetLogSink([&closed](const QString&, const QString& i_line) {
            if (i_line.contains(QLatin1String("Closing the connection P ")))
                closed << i_line.section(QLatin1String("Closing the connection P "), 1).section(QLatin1Char(':'), 0, 0);
        });
        const auto restore = qScopeGuard([] { SetLogSink(LogSink()); });
        closed.clear(); // the sink is handed every line kept so far
        auto reader = Introduce("reader");
        QVERIFY(reader);
        reader->Socket().setReadBufferSize(chunk);
        const qint64 whole = 4 + 4 + 4000 * 1000;
        reader->SendFrame(Payload(PeerMessages::BuildUploadPlaceInLineRequest(QStringLiteral("4000"))));
        std::vector<std::unique_ptr<RawPeer>> never;
        qint64 read = 0;
        for (QElapsedTimer timer; read < whole && reader->Socket().state() == QAbstractSocket::ConnectedState;)
        {
            if (!timer.isValid() || timer.elapsed() >= 200)
            {
                timer.start();
                never.push_back(NonReader("never" + QByteArray::number(int(never.size())), "127.0.0.2"));
                QVERIFY(never.back());
                never.back()->SendFrame(Payload(PeerMessages::BuildUploadPlaceInLineRequest(QStringLiteral("2000"))));
            }
            QTest::qWait(pauseMs);
            read += reader->Socket().read(chunk).size();
        }
        QCOMPARE(read, whole);
        QVERIFY2(!closed.isEmpty() && !closed.contains(QStringLiteral("reader")), qPrintable(closed.join(',')));
    }

    // Our connection to a raw peer of this process, by the user it named; null when none is open.
    static PeerConnection* ConnectionOf(const QString& i_user)
    {
        for (PeerConnection* connection : peerMessenger->findChildren<PeerConnection*>())
            if (connection->User() == i_user && connection->GetState() == PeerConnection::State::Open)
                return connection;
        return nullptr;
    }

    // Answers place-in-line requests with as many thousand bytes as the file name says.
    // A peer from 127.0.0.2 that has asked for an answer of 4,000,000 bytes (AnswerInThousands) and
    // reads only as it is told, through a buffer that lets it take what it is told in few turns.
    std::unique_ptr<RawPeer> AskingForFourMegabytes(const QByteArray& i_user)
    {
        auto peer = NonReader(i_user, "127.0.0.2", 65536);
        if (!peer)
            return nullptr;
        peer->Socket().setReadBufferSize(65536);
        peer->SendFrame(Payload(PeerMessages::BuildUploadPlaceInLineRequest(QStringLiteral("4000"))));
        return peer;
    }

    // Reads what has come, up to i_upTo bytes in all; whether all of those are read.
    static bool ReadUpTo(RawPeer& io_peer, qint64& io_read, qint64 i_upTo)
    {
        io_read += io_peer.Socket().read(std::min<qint64>(65536, i_upTo - io_read)).size();
        return io_read == i_upTo;
    }

    void AnswerInThousands()
    {
        connect(peerMessenger, &PeerMessenger::UploadPlaceInLineRequested, this, [](QString i_user, QString i_file) {
            MemStream message(Answer(i_file.toInt()));
            peerMessenger->SendMessage(i_user, message);
        });
    }

    static QByteArray Answer(int i_kilobytes)
    {
        return RawPeer::UInt32(PM_SHARED_FILES_IN_FOLDER) + QByteArray(i_kilobytes * 1000, 'a');
    }

    void a_peer_that_takes_its_answer_from_the_system_alone_is_not_stalled_data()
    {
        QTest::addColumn<int>("chunk");
        QTest::addColumn<int>("pauseMs");
        QTest::newRow("4 KiB every tenth of a second") << 4096 << 100;
        QTest::newRow("8 KiB every half second") << 8192 << 500;
    }

    // The system holds the whole of a reader's answer, so no write of ours tells that it moves: the
    // system sending it bytes does. Past the bound, a peer that reads nothing and holds less goes first.
    void a_peer_that_takes_its_answer_from_the_system_alone_is_not_stalled()
    {
        QFETCH(int, chunk);
        QFETCH(int, pauseMs);
        AnswerInThousands();
        auto reader = NonReader("reader", "127.0.0.2");
        auto never = NonReader("never", "127.0.0.3");
        QVERIFY(reader && never);
        reader->SendFrame(Payload(PeerMessages::BuildUploadPlaceInLineRequest(QStringLiteral("120"))));
        never->SendFrame(Payload(PeerMessages::BuildUploadPlaceInLineRequest(QStringLiteral("30"))));
        QTRY_VERIFY(ConnectionOf("reader") && ConnectionOf("never") && ConnectionOf("reader")->WaitingBytes() > 0
                    && ConnectionOf("never")->WaitingBytes() > 0 && ConnectionOf("reader")->BytesToWrite() == 0);
        reader->Socket().setReadBufferSize(chunk);
        QElapsedTimer timer;
        for (timer.start(); timer.elapsed() < PeerConnection::StalledAfterMs * 3 / 2;)
        {
            QTest::qWait(pauseMs);
            reader->Socket().read(chunk);
        }
        QVERIFY2(ConnectionOf("reader")->WaitingBytes() > ConnectionOf("never")->WaitingBytes(),
                 qPrintable(QString::number(ConnectionOf("reader")->WaitingBytes())));
        QCOMPARE(PeerConnection::MostWaiting(), ConnectionOf("never"));
    }

    // A peer of the kind named: "shut" reads 4 KiB every tenth of a second through a 4 KiB buffer;
    // "pausing" 64 KiB every half second; "young" reads nothing; "network" reads all it gets, sent to it
    // at 100 KB/s, as a slow link would; "opened" gets 1 MB/s but reads nothing for four seconds.
    // Through the system's own buffer: "never" reads nothing, nor "late", which comes half a second
    // before the first look, nor "again" but for all it was sent, just before each look
    // (ReadAllBeforeLook); "steady" reads 4 KiB every tenth of a second; "fast" 100 KB every hundredth.
    std::unique_ptr<RawPeer> PeerOfKind(const QString& i_kind, const char* i_from)
    {
        const QByteArray user = i_kind.toLatin1();
        const auto is = [&i_kind](const char* ip_kind) { return i_kind == QLatin1String(ip_kind); };
        if (is("shut") || is("pausing") || is("young"))
        {
            auto peer = NonReader(user, i_from);
            if (peer && !is("young"))
                peer->Socket().setReadBufferSize(is("shut") ? 4096 : 65536);
            return peer;
        }
        auto peer = Introduce(user, "P", false, QHostAddress(QLatin1String(i_from)));
        if (!peer || !QTest::qWaitFor([&] { return ConnectionOf(i_kind) != nullptr; }))
            return nullptr;
        peer->Socket().setReadBufferSize(is("network") ? 0 : is("steady") ? 4096 : is("fast") ? 100000 : 1);
        if (!is("network") && !is("opened"))
            return peer;
        const unsigned rate = is("opened") ? 1000000 : 100000;
        const int fd = ClientSocketOf(*peer);
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_MAX_PACING_RATE, &rate, sizeof rate) != 0)
            return nullptr;
        return peer;
    }

    // What a peer of PeerOfKind reads in the hundredth of a second i_tick.
    static void ReadAsItsKind(RawPeer& io_peer, const QString& i_kind, int i_tick)
    {
        QTcpSocket& socket = io_peer.Socket();
        if (i_kind == QLatin1String("shut") && i_tick % 10 == 0)
            socket.read(4096);
        else if (i_kind == QLatin1String("pausing") && i_tick % 50 == 0)
            socket.read(65536);
        else if (i_kind == QLatin1String("steady") && i_tick % 10 == 0)
            socket.read(4096);
        else if (i_kind == QLatin1String("fast"))
            socket.read(100000);
        else if (i_kind == QLatin1String("network") || (i_kind == QLatin1String("opened") && i_tick >= 400))
        {
            socket.setReadBufferSize(0);
            socket.readAll();
        }
    }

    // "again" takes all it was sent, i_sent bytes so far, so that nothing waits for it.
    static bool ReadAllBeforeLook(RawPeer& io_peer, qint64& io_read, qint64 i_sent)
    {
        io_peer.Socket().setReadBufferSize(0);
        const bool all = QTest::qWaitFor([&] { return (io_read += io_peer.Socket().readAll().size()) == i_sent; });
        io_peer.Socket().setReadBufferSize(1);
        return all;
    }

    void who_gives_way_is_judged_by_what_holds_each_connection_back_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<int>("firstKilobytes");
        QTest::addColumn<QString>("second");
        QTest::addColumn<int>("secondKilobytes");
        QTest::addColumn<int>("judgedAfterTicks");
        QTest::addColumn<bool>("systemSaysWindow");
        QTest::addColumn<QString>("expected");
        QTest::newRow("a peer that keeps its window shut before one the network holds back")
            << "shut" << 2000 << "network" << 8000 << 55 << true << "shut";
        QTest::newRow("of two that keep their windows shut, the one that took less of late")
            << "shut" << 2000 << "pausing" << 6000 << 155 << true << "shut";
        QTest::newRow("a steady reader through the system's buffer after one that never reads, came later, asks less")
            << "late" << 1000 << "steady" << 3000 << 355 << true << "late";
        QTest::newRow("a reader taking megabytes a second after one that never reads and asks less")
            << "never" << 1000 << "fast" << 40000 << 55 << true << "never";
        QTest::newRow("one not judged yet after one the network holds back")
            << "young" << 2000 << "network" << 8000 << 55 << true << "network";
        QTest::newRow("where the system does not give the window, the one still longest")
            << "shut" << 2000 << "network" << 8000 << 55 << false << "";
    }

    // Past the bound, those whose peers keep their windows shut give way first, the one that took
    // least of late first, so that a peer that reads nothing goes before any that reads; then those the
    // network holds back, however much they hold; last those whose wait is not judged yet, as that of a
    // new peer sent its answer just before each look.
    void who_gives_way_is_judged_by_what_holds_each_connection_back()
    {
        QFETCH(QString, first);
        QFETCH(int, firstKilobytes);
        QFETCH(QString, second);
        QFETCH(int, secondKilobytes);
        QFETCH(int, judgedAfterTicks);
        QFETCH(bool, systemSaysWindow);
        QFETCH(QString, expected);
        if (!systemSaysWindow)
            LimitSendHoldAnswerForTest(SendHoldBytesWithoutWindow);
        const auto restore = qScopeGuard([] { LimitSendHoldAnswerForTest(0); });
        AnswerInThousands();
        const auto ask = [](int i_kilobytes) {
            return Payload(PeerMessages::BuildUploadPlaceInLineRequest(QString::number(i_kilobytes)));
        };
        const bool young = first == QLatin1String("young");
        const bool late = first == QLatin1String("late");
        auto one = young || late ? nullptr : PeerOfKind(first, "127.0.0.2");
        auto other = PeerOfKind(second, "127.0.0.3");
        QVERIFY((one || young || late) && other);
        if (one)
            one->SendFrame(ask(firstKilobytes));
        other->SendFrame(ask(secondKilobytes));
        QStringList chosen;
        QStringList stillest;
        for (int tick = 1, samples = 0; samples < 5; ++tick)
        {
            QTest::qWait(10);
            if (late && tick == judgedAfterTicks - 50)
            {
                one = PeerOfKind(first, "127.0.0.2");
                QVERIFY(one);
                one->SendFrame(ask(firstKilobytes));
            }
            if (one)
                ReadAsItsKind(*one, first, tick);
            ReadAsItsKind(*other, second, tick);
            const int sample = tick - judgedAfterTicks;
            if (sample < 0 || sample % 20 != 0)
                continue;
            if (young)
            {
                // Asked in the same turn as the answer is sent, before the system has had any of it.
                one = PeerOfKind(first, "127.0.0.2");
                QVERIFY(one);
                QTRY_VERIFY(ConnectionOf(first));
                ConnectionOf(first)->SendFrame(Answer(firstKilobytes));
            }
            PeerConnection* most = PeerConnection::MostWaiting();
            QVERIFY(most && ConnectionOf(first) && ConnectionOf(second));
            chosen << most->User();
            const qint64 firstStill = ConnectionOf(first)->StalledMs();
            const qint64 secondStill = ConnectionOf(second)->StalledMs();
            stillest << (firstStill == secondStill ? most->User() : firstStill > secondStill ? first : second);
            ++samples;
            if (young)
            {
                one.reset();
                QTRY_VERIFY(!ConnectionOf(first));
            }
        }
        if (!expected.isEmpty())
            stillest = QStringList({expected, expected, expected, expected, expected});
        QCOMPARE(chosen, stillest);
    }

    void what_holds_a_connection_back_is_judged_by_its_own_window_over_its_own_wait_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("judgedAfterTicks");
        QTest::addColumn<bool>("window");
        QTest::newRow("a peer that reads nothing through the system's buffer") << "never" << 55 << true;
        QTest::newRow("a new wait, after an answer left unread for seconds") << "again" << 155 << false;
        QTest::newRow("by the last second of a long wait, not since its start") << "opened" << 525 << false;
    }

    // What held a connection back is judged over its current wait, and over the last second of a long
    // one; the bound looks at the connection every tenth of a second meanwhile. "again" is sent a new
    // answer just before each look, having taken all of the last.
    void what_holds_a_connection_back_is_judged_by_its_own_window_over_its_own_wait()
    {
        QFETCH(QString, kind);
        QFETCH(int, judgedAfterTicks);
        QFETCH(bool, window);
        AnswerInThousands();
        const int kilobytes = 2000;
        auto peer = PeerOfKind(kind, "127.0.0.2");
        QVERIFY(peer);
        peer->SendFrame(Payload(PeerMessages::BuildUploadPlaceInLineRequest(QString::number(kilobytes))));
        qint64 sent = 4 + Answer(kilobytes).size();
        qint64 read = 0;
        QList<bool> judged;
        for (int tick = 1; judged.size() < 5; ++tick)
        {
            QTest::qWait(10);
            ReadAsItsKind(*peer, kind, tick);
            QVERIFY(ConnectionOf(kind));
            const int sample = tick - judgedAfterTicks;
            if (sample < 0 || sample % 20 != 0)
            {
                if (tick % 10 == 0)
                    ConnectionOf(kind)->HeldBy(); // as the bound does while it chooses
                continue;
            }
            if (kind == QLatin1String("again"))
            {
                QVERIFY(ReadAllBeforeLook(*peer, read, sent));
                // As when its next request comes: the system has seen the last answer taken.
                QTRY_COMPARE(ConnectionOf(kind)->WaitingBytes(), qint64(0));
                ConnectionOf(kind)->SendFrame(Answer(kilobytes));
                sent += 4 + Answer(kilobytes).size();
            }
            judged << (ConnectionOf(kind)->HeldBy() == PeerConnection::Holder::Window);
        }
        QCOMPARE(judged, QList<bool>({window, window, window, window, window}));
    }

    void what_may_wait_for_a_peer_is_never_counted_below_what_does_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("payloadBytes");
        QTest::newRow("tiny frames") << 10000 << 4;
        QTest::newRow("frames of a hundred bytes") << 5000 << 100;
    }

    // What the system may hold is reckoned without asking it, from what was handed to it since it was
    // last asked; the bound asks only once that passes. A frame's header is handed over too.
    void what_may_wait_for_a_peer_is_never_counted_below_what_does()
    {
        QFETCH(int, frames);
        QFETCH(int, payloadBytes);
        auto never = NonReader("never", "127.0.0.2");
        QVERIFY(never);
        QTRY_VERIFY(ConnectionOf("never"));
        PeerConnection* connection = ConnectionOf("never");
        const QByteArray payload = RawPeer::UInt32(PM_UPLOAD_OFFER) + QByteArray(payloadBytes - 4, 'm');
        for (int n = 0; n < frames; ++n)
            connection->SendFrame(payload);
        QTest::qWait(200); // the system takes what it will
        const qint64 reckoned = connection->WaitingBytes(std::numeric_limits<qint64>::max());
        const qint64 asked = connection->WaitingBytes();
        QVERIFY2(reckoned >= asked, qPrintable(QStringLiteral("%1 < %2").arg(reckoned).arg(asked)));
    }

    void each_byte_waiting_for_a_peer_is_counted_once_data()
    {
        QTest::addColumn<int>("readBytes");
        QTest::newRow("none of it read") << 0;
        QTest::newRow("a quarter read") << 1000000;
    }

    // While part of a large answer waits with us, the socket keeps the room of all of it, and what the
    // system holds is of that answer too: the answer counts once, asked or reckoned from the last ask.
    void each_byte_waiting_for_a_peer_is_counted_once()
    {
        QFETCH(int, readBytes);
        AnswerInThousands();
        auto peer = AskingForFourMegabytes("reader");
        QVERIFY(peer);
        qint64 read = 0;
        QTRY_VERIFY_WITH_TIMEOUT(ReadUpTo(*peer, read, readBytes), 20000);
        QTest::qWait(200); // the system takes what it will
        PeerConnection* connection = ConnectionOf("reader");
        QVERIFY(connection && connection->BytesToWrite() > 0);
        QCOMPARE(connection->WaitingBytes(), qint64(4 + 4 + 4000 * 1000));
        QCOMPARE(connection->WaitingBytes(std::numeric_limits<qint64>::max()), qint64(4 + 4 + 4000 * 1000));
    }

    void peers_that_read_their_answers_as_fast_as_they_come_keep_them_data()
    {
        QTest::addColumn<int>("readers");
        QTest::newRow("one reader, past its own bound") << 1;
        QTest::newRow("four readers at once") << 4;
    }

    // Readers on loopback take megabytes of answers within the time the system is not asked what holds
    // a connection back: what they took does not count as held, so none is dropped or closed.
    void peers_that_read_their_answers_as_fast_as_they_come_keep_them()
    {
        QFETCH(int, readers);
        peerMessenger->SetWaitingBytesBudget(4000000); // 1 MB on one connection
        const QByteArray answer = RawPeer::UInt32(PM_SHARED_FILES_IN_FOLDER) + QByteArray(400000, 'a');
        connect(peerMessenger, &PeerMessenger::SharedFilesInFolderRequested, this, [&answer](QString i_user) {
            MemStream message(answer);
            peerMessenger->SendMessage(i_user, message);
        });
        std::vector<std::unique_ptr<RawPeer>> peers;
        for (int n = 0; n < readers; ++n)
        {
            peers.push_back(Introduce("reader" + QByteArray::number(n), "P", false,
                                      QHostAddress(QStringLiteral("127.0.0.%1").arg(2 + n))));
            QVERIFY(peers.back());
        }
        for (int round = 0; round < 20; ++round)
        {
            for (auto& peer : peers)
                peer->SendFrame(
                    Payload(PeerMessages::BuildGetSharedFilesInFolder(quint32(round), QStringLiteral("f"))));
            for (auto& peer : peers)
            {
                QByteArray payload;
                QVERIFY2(peer->ReadFrame(payload), qPrintable(QStringLiteral("round %1").arg(round)));
                QCOMPARE(payload.size(), answer.size());
            }
        }
    }

    void what_peers_that_read_part_of_their_answers_hold_is_counted_data()
    {
        QTest::addColumn<int>("readBytes");
        QTest::newRow("a quarter read") << 1000000;
        QTest::newRow("three quarters read") << 3000000;
    }

    // The socket keeps the room of a large answer until all of it has gone, not only what is left
    // of it: this process holds no more than is counted while peers take part of their answers.
    void what_peers_that_read_part_of_their_answers_hold_is_counted()
    {
        QFETCH(int, readBytes);
        const int peers = 6;
        AnswerInThousands();
        ResetPeak();
        [[maybe_unused]] const double baseline = PeakMegabytes();
        std::vector<std::unique_ptr<RawPeer>> readers;
        for (int n = 0; n < peers; ++n)
        {
            readers.push_back(AskingForFourMegabytes("reader" + QByteArray::number(n)));
            QVERIFY(readers.back());
        }
        std::vector<qint64> read(peers, 0);
        // Each reads at every turn, not one after another.
        QVERIFY(QTest::qWaitFor(
            [&] {
                bool all = true;
                for (int n = 0; n < peers; ++n)
                    all = ReadUpTo(*readers[n], read[n], readBytes) && all;
                return all;
            },
            20000));
        QTest::qWait(200);
        QVERIFY(peerMessenger->ConnectionCount() == peers);
#if !defined(__SANITIZE_ADDRESS__) // freed memory waits in the sanitizer's quarantine
        ResetPeak();
        const double growth = PeakMegabytes() - baseline;
        QVERIFY2(growth <= peerMessenger->WaitingBytes() / 1e6 + 2,
                 qPrintable(QStringLiteral("%1 MB, %2 counted").arg(growth).arg(peerMessenger->WaitingBytes() / 1e6)));
#endif
    }

    // Messages for users not yet connected count too: past the bound the largest queue goes.
    void messages_waiting_for_a_connection_count_against_the_bound()
    {
        const qint64 budget = 4000000;
        peerMessenger->SetWaitingBytesBudget(budget);
        const QByteArray message = RawPeer::UInt32(PM_UPLOAD_OFFER) + QByteArray(1000000, 'm');
        for (int n = 0; n < 12; ++n)
        {
            MemStream stream(message);
            peerMessenger->SendMessage(QStringLiteral("absent%1").arg(n % 4), stream);
            QVERIFY2(peerMessenger->WaitingBytes() <= budget + message.size(),
                     qPrintable(QString::number(peerMessenger->WaitingBytes())));
        }
        QVERIFY(peerMessenger->WaitingBytes() >= budget - message.size());
    }

    // What waits on a distributed connection, handed over to the distributed network, counts too.
    void distributed_connections_count_in_what_waits()
    {
        QSignalSpy received(peerMessenger, &PeerMessenger::DistributedConnectionReceived);
        auto child = Introduce("jill", "D");
        QVERIFY(received.wait(5000));
        std::unique_ptr<PeerConnection> connection(received.at(0).at(1).value<PeerConnection*>());
        connection->SendFrame(QByteArray(3000000, 'd'));
        QVERIFY(connection->BytesToWrite() > 0);
        QCOMPARE(peerMessenger->WaitingBytes(), connection->BytesToWrite());
    }

    void a_repeated_request_is_skipped_while_its_answer_waits_data()
    {
        QTest::addColumn<quint32>("request");
        QTest::newRow("shares list") << quint32(PM_GET_SHARED_FILE_LIST);
        QTest::newRow("user information") << quint32(PM_USER_INFO_REQUEST);
    }

    // Ten requests in one write against an answer of 2 MB that the peer never reads: built once.
    void a_repeated_request_is_skipped_while_its_answer_waits()
    {
        QFETCH(quint32, request);
        int built = 0;
        peerMessenger->SetSharedFilesMessageProvider([&built](const QString&) {
            ++built;
            return MemStream(RawPeer::UInt32(PM_SHARED_FILE_LIST) + QByteArray(2000000, 'l'));
        });
        connect(peerMessenger, &PeerMessenger::UserInfoRequested, this, [&built](QString i_user) {
            ++built;
            MemStream reply =
                PeerMessages::BuildUserInfoReply(QStringLiteral("me"), true, QByteArray(2000000, 'p'), 1, 0, true);
            peerMessenger->SendMessage(i_user, reply);
        });
        QSignalSpy end(peerMessenger, &PeerMessenger::DownloadPlaceInLine);
        auto peer = NonReader("asker", "127.0.0.2");
        QVERIFY(peer);
        QByteArray wire;
        for (int n = 0; n < 10; ++n)
            wire += peer->Frame(RawPeer::UInt32(request));
        peer->SendRaw(wire + peer->Frame(Payload(PeerMessages::BuildUploadPlaceInLine(QStringLiteral("end"), 1))));
        QVERIFY(end.wait(5000));
        QCOMPARE(built, 1);
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
