// The loopback test server as a process of its own, seen by raw clients: what end-to-end tests
// rely on (relays between logged-in clients, rooms, stored private messages). Its scripting side
// (refusals, drops, recorded frames) is what the server connection tests run on.

#include "TestServer.h"
#include "Wire.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

namespace
{
// A client speaking only through the wire helpers.
class RawClient
{
public:
    explicit RawClient(quint16 i_port)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, i_port);
        m_socket.waitForConnected(5000);
    }

    void Send(quint32 i_code, const QByteArray& i_body)
    {
        m_socket.write(WireWriter().Append(i_body).Frame(i_code));
        m_socket.waitForBytesWritten(5000);
    }

    bool Login(const QString& i_user, const QString& i_password = QStringLiteral("pw"))
    {
        const QByteArray digest =
            QCryptographicHash::hash((i_user + i_password).toUtf8(), QCryptographicHash::Md5).toHex();
        Send(SM_LOGIN, WireWriter().Str(i_user).Str(i_password).U32(160).Bytes(digest).U32(1).Body());
        const QByteArray reply = Next(SM_LOGIN);
        return !reply.isEmpty() && reply.at(0) == 1;
    }

    // The body of the next frame with the code, waiting at most 5 s; frames of other codes
    // before it are kept for later calls.
    QByteArray Next(quint32 i_code)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;)
        {
            for (int index = 0; index < m_frames.size(); ++index)
                if (m_frames[index].first == i_code)
                    return m_frames.takeAt(index).second;
            if (timer.elapsed() > 5000)
                return QByteArray();
            if (!m_socket.bytesAvailable())
                m_socket.waitForReadyRead(100);
            m_buffer += m_socket.readAll();
            while (m_buffer.size() >= 8)
            {
                WireReader header(m_buffer.left(8));
                const quint32 length = header.U32();
                if (m_buffer.size() < int(4 + length))
                    break;
                const quint32 code = header.U32();
                m_frames.append({code, m_buffer.mid(8, int(length) - 4)});
                m_buffer.remove(0, int(4 + length));
            }
        }
    }

    QTcpSocket m_socket;

private:
    QByteArray m_buffer;
    QList<QPair<quint32, QByteArray>> m_frames;
};
} // namespace

class TestTestServer : public QObject
{
    Q_OBJECT

private slots:
    void relaysBetweenClientsInAnotherProcess()
    {
        QProcess process;
        const QString binary =
            qEnvironmentVariable("VELTRANE_BINARY_DIR") + QStringLiteral("/tests/support/veltrane-testserver");
        process.start(binary, {QStringLiteral("0")});
        QVERIFY2(process.waitForStarted(5000), qPrintable(binary));
        QVERIFY(process.waitForReadyRead(5000));
        const QString line = QString::fromUtf8(process.readLine()).trimmed();
        QVERIFY2(line.startsWith(QStringLiteral("listening on 127.0.0.1:")), qPrintable(line));
        const quint16 port = line.section(QLatin1Char(':'), -1).toUShort();

        RawClient alice(port);
        RawClient bob(port);
        QVERIFY(alice.Login(QStringLiteral("alice")));
        QVERIFY(bob.Login(QStringLiteral("bob")));
        bob.Send(SM_SET_LISTEN_PORT, WireWriter().U32(4000).U32(1).U32(4001).Body());

        // Watching and status pushes.
        alice.Send(SM_WATCH_USER, WireWriter().Str(QStringLiteral("bob")).Body());
        WireReader watch(alice.Next(SM_WATCH_USER));
        QCOMPARE(watch.Str(), QStringLiteral("bob"));
        QCOMPARE(watch.U8(), quint8(1));
        QCOMPARE(watch.U32(), 2u);
        bob.Send(SM_SET_STATUS, WireWriter().I32(1).Body());
        WireReader status(alice.Next(SM_USER_STATUS));
        QCOMPARE(status.Str(), QStringLiteral("bob"));
        QCOMPARE(status.U32(), 1u);

        // Searches, addresses and relayed connection requests.
        alice.Send(SM_FILE_SEARCH, WireWriter().U32(12).Str(QStringLiteral("song")).Body());
        QCOMPARE(bob.Next(SM_FILE_SEARCH), WireWriter().Str(QStringLiteral("alice")).U32(12).Str(QStringLiteral("song")).Body());
        alice.Send(SM_GET_PEER_ADDRESS, WireWriter().Str(QStringLiteral("bob")).Body());
        QCOMPARE(alice.Next(SM_GET_PEER_ADDRESS),
                 WireWriter().Str(QStringLiteral("bob")).Ip(0x7f000001).U32(4000).U32(1).U16(4001).Body());
        bob.Send(SM_CONNECT_TO_PEER, WireWriter().U32(55).Str(QStringLiteral("alice")).Str(QStringLiteral("F")).Body());
        QCOMPARE(alice.Next(SM_CONNECT_TO_PEER),
                 WireWriter().Str(QStringLiteral("bob")).Str(QStringLiteral("F")).Ip(0x7f000001).U32(4000).U32(55)
                     .U8(0).U32(1).U32(4001).Body());
        alice.Send(SM_CANT_CONNECT_TO_PEER, WireWriter().U32(55).Str(QStringLiteral("bob")).Body());
        QCOMPARE(bob.Next(SM_CANT_CONNECT_TO_PEER), WireWriter().U32(55).Body());
        alice.Send(SM_CONNECT_TO_PEER, WireWriter().U32(56).Str(QStringLiteral("nobody")).Str(QStringLiteral("P")).Body());
        QCOMPARE(alice.Next(SM_CANT_CONNECT_TO_PEER), WireWriter().U32(56).Body());

        // Rooms.
        alice.Send(SM_JOIN_ROOM, WireWriter().Str(QStringLiteral("lobby")).I32(0).Body());
        QVERIFY(!alice.Next(SM_JOIN_ROOM).isEmpty());
        bob.Send(SM_JOIN_ROOM, WireWriter().Str(QStringLiteral("lobby")).I32(0).Body());
        WireReader joined(alice.Next(SM_USER_JOINED_ROOM));
        QCOMPARE(joined.Str(), QStringLiteral("lobby"));
        QCOMPARE(joined.Str(), QStringLiteral("bob"));
        WireReader reply(bob.Next(SM_JOIN_ROOM));
        QCOMPARE(reply.Str(), QStringLiteral("lobby"));
        QCOMPARE(reply.U32(), 2u);
        QCOMPARE(reply.Str(), QStringLiteral("alice"));
        bob.Send(SM_ROOM_CHAT, WireWriter().Str(QStringLiteral("lobby")).Str(QStringLiteral("hey")).Body());
        QCOMPARE(alice.Next(SM_ROOM_CHAT),
                 WireWriter().Str(QStringLiteral("lobby")).Str(QStringLiteral("bob")).Str(QStringLiteral("hey")).Body());

        // A private message not acknowledged comes again at the next login, marked as old.
        alice.Send(SM_PRIVATE_MESSAGE, WireWriter().Str(QStringLiteral("bob")).Str(QStringLiteral("psst")).Body());
        WireReader live(bob.Next(SM_PRIVATE_MESSAGE));
        const quint32 id = live.U32();
        live.U32();
        QCOMPARE(live.Str(), QStringLiteral("alice"));
        QCOMPARE(live.Str(), QStringLiteral("psst"));
        QCOMPARE(live.U8(), quint8(1));
        bob.m_socket.abort();
        WireReader left(alice.Next(SM_USER_LEFT_ROOM));
        QCOMPARE(left.Str(), QStringLiteral("lobby"));
        QCOMPARE(left.Str(), QStringLiteral("bob"));
        RawClient bobAgain(port);
        QVERIFY(bobAgain.Login(QStringLiteral("bob")));
        WireReader replay(bobAgain.Next(SM_PRIVATE_MESSAGE));
        QCOMPARE(replay.U32(), id);
        replay.U32();
        replay.Str();
        QCOMPARE(replay.Str(), QStringLiteral("psst"));
        QCOMPARE(replay.U8(), quint8(0));

        process.kill();
        process.waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(TestTestServer)
#include "test_test_server.moc"
