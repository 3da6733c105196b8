#include "HarnessProcess.h"
#include "RawPeer.h"
#include "TestServer.h"
#include "Wire.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QtTest>

#include <memory>

// Two real client engines in processes of their own, sharing the loopback test server.
class TestPeerNetwork : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<HarnessProcess> m_alice;
    std::unique_ptr<HarnessProcess> m_bob;
    quint16 m_alicePort = 0;

    bool StartClient(std::unique_ptr<HarnessProcess>& o_client, const QString& i_user, quint16* o_port = nullptr)
    {
        o_client = std::make_unique<HarnessProcess>();
        if (!o_client->Start())
            return false;
        const quint16 port = FreePortPair();
        if (o_port)
            *o_port = port;
        return o_client->LogIn(i_user, m_server->Port(), port)
               && m_server->WaitForFrames(2, 1, i_user); // ports reported
    }

    // Server frames share the peer framing: the payload is the code and the body.
    static QByteArray ServerPayload(quint32 i_code, const QByteArray& i_body)
    {
        return WireWriter().U32(i_code).Body() + i_body;
    }

    // The next event of the kind has exactly these fields.
    static bool Got(HarnessProcess& i_client, const char* ip_event, const QStringList& i_expected)
    {
        QStringList fields;
        const bool taken = i_client.Take(QByteArray("event ") + ip_event, &fields);
        if (!taken || fields != i_expected)
            qWarning("%s: got %s", ip_event, qPrintable(fields.join(QLatin1Char('|'))));
        return taken && fields == i_expected;
    }

private slots:
    void init()
    {
        m_server = std::make_unique<TestServer>();
        QVERIFY(m_server->Listen());
        QVERIFY(StartClient(m_alice, QStringLiteral("alice"), &m_alicePort));
        QVERIFY(StartClient(m_bob, QStringLiteral("bob")));
    }

    void cleanup()
    {
        m_alice.reset();
        m_bob.reset();
        m_server.reset();
    }

    void queuedMessagesArriveOnceInOrder_data()
    {
        QTest::addColumn<bool>("relayed");
        QTest::newRow("direct") << false;
        QTest::newRow("relayed") << true;
    }

    void queuedMessagesArriveOnceInOrder()
    {
        QFETCH(bool, relayed);
        if (relayed)
            m_server->MakeUnreachable(QStringLiteral("bob")); // the address given leads nowhere
        for (int place = 1; place <= 5; ++place)
            m_alice->Send({"place", "bob", "some\\file", QString::number(place)});
        for (int place = 1; place <= 5; ++place)
            QVERIFY(Got(*m_bob, "DownloadPlaceInLine", {"alice", "some\\file", QString::number(place)}));
        QCOMPARE(m_bob->Count("event DownloadPlaceInLine"), 0);
        QCOMPARE(m_server->FramesWithCode(18, QStringLiteral("alice")).size(), 1);
        // The answer goes back over the same connection, with no new request to the server.
        m_bob->Send({"userinfo", "alice"});
        QVERIFY(Got(*m_alice, "UserInfoRequested", {"bob"}));
        QCOMPARE(m_server->FramesWithCode(18, QStringLiteral("bob")).size(), 0);
        QCOMPARE(m_alice->Count("event ConnectionToUserFailed"), 0);
    }

    void everyTransferSignalCarriesTheSender()
    {
        m_alice->Send({"requestupload", "bob", "dir\\song.mp3", "1234"});
        QStringList fields;
        QVERIFY(m_alice->Take("token", &fields));
        const QString token = fields.value(0);
        QVERIFY(Got(*m_bob, "FileTransferRequested", {"alice", "1", token, "dir\\song.mp3", "1234"}));
        m_bob->Send({"accept", "alice", token, "1", "1234"});
        QVERIFY(Got(*m_alice, "FileTransferResponse", {"bob", token, "1", "1", "1234", QString()}));
        m_bob->Send({"deny", "alice", token, "Cancelled"});
        QVERIFY(Got(*m_alice, "FileTransferResponse", {"bob", token, "0", "0", "0", "Cancelled"}));
        m_alice->Send({"queuedownload", "bob", "dir\\song.mp3"});
        QVERIFY(Got(*m_bob, "QueueUploadRequested", {"alice", "dir\\song.mp3"}));
        m_bob->Send({"denyupload", "alice", "dir\\song.mp3", "File not shared."});
        QVERIFY(Got(*m_alice, "UploadDenied", {"bob", "dir\\song.mp3", "File not shared."}));
        m_bob->Send({"queueupload", "alice", "mine.txt", "77"});
        QVERIFY(Got(*m_alice, "QueueDownloadRequested", {"bob", "mine.txt", "77"}));
        m_alice->Send({"send", "bob",
                       "2e000000"
                       "03000000"
                       "616263"}); // upload failed
        QVERIFY(Got(*m_bob, "UploadFailed", {"alice", "abc"}));
        m_alice->Send({"send", "bob",
                       "33000000"
                       "03000000"
                       "615c62"}); // place request
        QVERIFY(Got(*m_bob, "UploadPlaceInLineRequested", {"alice", "a\\b"}));
    }

    void sharesListRequestIsAnsweredAutomatically()
    {
        // A two-folder list, as the shares engine would build it.
        const QByteArray list = "05000000"
                                + QByteArray(qCompress(QByteArray::fromHex("02000000"
                                                                           "01000000"
                                                                           "61"
                                                                           "00000000"
                                                                           "01000000"
                                                                           "62"
                                                                           "00000000"
                                                                           "00000000"),
                                                       9)
                                                 .mid(4)
                                                 .toHex());
        m_bob->Send({"serveshares", QString::fromLatin1(list)});
        m_alice->Send({"shares", "bob"});
        QVERIFY(Got(*m_alice, "UserShare", {"bob", "2", "0", "a\\|b\\"}));
    }

    void bothWaysFailingIsReportedOncePerType()
    {
        const QList<QPair<QString, QString>> requests = {{"P", "userinfo"}, {"F", "fileconn"}, {"D", "dconn"}};
        for (const auto& request : requests)
        {
            m_alice->Send({request.second, "nobody"});
            QVERIFY(Got(*m_alice, "ConnectionToUserFailed", {"nobody", request.first}));
        }
        m_alice->Send({"tick"});
        QCOMPARE(m_alice->Count("event ConnectionToUserFailed"), 0);
        m_alice->Send({"count"});
        QStringList counts;
        QVERIFY(m_alice->Take("count", &counts));
        QCOMPARE(counts, (QStringList{"0", "0"}));
    }

    // The user asked through the server connects back after our direct connection is up, and at once
    // sends on the connection it made: what it sends must arrive.
    void aLateConnectBackIsTakenAsTheUsersConnection()
    {
        QTcpServer bobListener;
        QVERIFY(bobListener.listen(QHostAddress::LocalHost));
        RawPeer bobAtServer;
        QVERIFY(bobAtServer.Connect(m_server->Port()));
        const QString digest = QString::fromLatin1(
            QCryptographicHash::hash(QByteArrayLiteral("rawbobpw"), QCryptographicHash::Md5).toHex());
        bobAtServer.SendFrame(
            ServerPayload(1, WireWriter().Str("rawbob").Str("pw").U32(160).Str(digest).U32(1).Body()));
        bobAtServer.SendFrame(ServerPayload(2, WireWriter().U32(bobListener.serverPort()).U32(0).Body()));
        QVERIFY(m_server->WaitForFrames(2, 1, QStringLiteral("rawbob")));

        m_alice->Send({"userinfo", "rawbob"});
        QTRY_VERIFY(bobListener.hasPendingConnections());
        RawPeer direct(false, bobListener.nextPendingConnection());
        QByteArray payload;
        QVERIFY(direct.ReadFrame(payload)); // the opener
        QVERIFY(direct.ReadFrame(payload));
        QCOMPARE(payload.toHex(), QByteArray("0f000000"));

        quint32 token = 0;
        while (bobAtServer.ReadFrame(payload))
        {
            WireReader relay(payload);
            if (relay.U32() != 18)
                continue;
            relay.Str();
            relay.Str();
            relay.U32();
            relay.U32();
            token = relay.U32();
            break;
        }
        QVERIFY(token != 0);

        RawPeer connectBack;
        QVERIFY(connectBack.Connect(m_alicePort));
        connectBack.SendFrame(RawPeer::PierceFirewall(token));
        connectBack.SendFrame(QByteArray::fromHex("0f000000"));
        QVERIFY(Got(*m_alice, "UserInfoRequested", {"rawbob"}));
    }

    void fileBytesMoveOverHandedOverSockets_data()
    {
        QTest::addColumn<bool>("scrambled");
        QTest::addColumn<bool>("relayed");
        QTest::newRow("plain port") << false << false;
        QTest::newRow("scrambled port") << true << false;
        QTest::newRow("relayed connect-back") << false << true;
        QTest::newRow("relayed to the scrambled port") << true << true;
    }

    void fileBytesMoveOverHandedOverSockets()
    {
        QFETCH(bool, scrambled);
        QFETCH(bool, relayed);
        if (scrambled)
        {
            m_alice->Send({"scrambled", "1"});
            m_bob->Send({"scrambled", "1"});
        }
        if (relayed)
            m_server->MakeUnreachable(QStringLiteral("bob")); // the address given leads nowhere

        QByteArray content(1024 * 1024 + 77, Qt::Uninitialized);
        for (char& byte : content)
            byte = char(QRandomGenerator::global()->bounded(256));
        const QString source = m_alice->Home() + QStringLiteral("/source.bin");
        const QString target = m_bob->Home() + QStringLiteral("/partial.bin");
        QFile sourceFile(source), targetFile(target);
        QVERIFY(sourceFile.open(QIODevice::WriteOnly) && sourceFile.write(content) == content.size());
        sourceFile.close();
        // Bob already has the first 1000 bytes: the offset must be honoured.
        QVERIFY(targetFile.open(QIODevice::WriteOnly) && targetFile.write(content.left(1000)) == 1000);
        targetFile.close();

        m_bob->Send({"download", "31337", target, QString::number(content.size())});
        m_alice->Send({"upload", "31337", source});
        m_alice->Send({"fileconn", "bob"});
        QVERIFY(Got(*m_alice, "FileConnectionAccepted", {"bob", "1"}));
        QVERIFY(Got(*m_bob, "FileConnectionRequested", {"alice", "31337", "1"}));
        QStringList fields;
        QVERIFY(m_bob->Take("downloaded", &fields, 30000));
        QCOMPARE(fields, (QStringList{"31337", QString::number(content.size() - 1000), "1"}));
        QVERIFY(m_alice->Take("uploaded", &fields, 30000));
        QCOMPARE(fields, (QStringList{"31337", QString::number(content.size() - 1000), "1"}));
        QVERIFY(targetFile.open(QIODevice::ReadOnly));
        QCOMPARE(QCryptographicHash::hash(targetFile.readAll(), QCryptographicHash::Md5),
                 QCryptographicHash::hash(content, QCryptographicHash::Md5));
        QCOMPARE(m_server->FramesWithCode(18, QStringLiteral("alice")).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPeerNetwork)
#include "test_peer_network.moc"
