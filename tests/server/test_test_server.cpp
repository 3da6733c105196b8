// The loopback test server as a process of its own, seen by raw clients: what end-to-end tests
// rely on (relays between logged-in clients, rooms, stored private messages). Its scripting side
// (refusals, drops, recorded frames) is what the server connection tests run on.

#include "TestServer.h"
#include "WireBody.h"

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

    bool Login(const QString& i_user)
    {
        const QByteArray digest = QCryptographicHash::hash((i_user + "pw").toUtf8(), QCryptographicHash::Md5).toHex();
        Send(SM_LOGIN, Body(i_user, "pw", 160u) + WireWriter().Bytes(digest).U32(1).Body());
        const QByteArray reply = Next(SM_LOGIN);
        return !reply.isEmpty() && reply.at(0) == 1;
    }

    // The body of the next frame with the code, waiting at most 5 s; frames of other codes
    // before it are kept for later calls.
    QByteArray Next(quint32 i_code)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 5000)
        {
            for (int index = 0; index < m_frames.size(); ++index)
                if (m_frames[index].first == i_code)
                    return m_frames.takeAt(index).second;
            if (!m_socket.bytesAvailable())
                m_socket.waitForReadyRead(100);
            m_buffer += m_socket.readAll();
            for (WireReader header(m_buffer); m_buffer.size() >= 8; header = WireReader(m_buffer))
            {
                const quint32 length = header.U32();
                if (m_buffer.size() < int(4 + length))
                    break;
                m_frames.append({header.U32(), m_buffer.mid(8, int(length) - 4)});
                m_buffer.remove(0, int(4 + length));
            }
        }
        return QByteArray();
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

        RawClient alice(port), bob(port);
        QVERIFY(alice.Login(QStringLiteral("alice")));
        QVERIFY(bob.Login(QStringLiteral("bob")));
        bob.Send(SM_SET_LISTEN_PORT, Body(4000, 1, 4001));

        // Watching and status pushes.
        alice.Send(SM_WATCH_USER, Body("bob"));
        QVERIFY(alice.Next(SM_WATCH_USER).startsWith(Body("bob", quint8(1), 2)));
        bob.Send(SM_SET_STATUS, Body(1));
        QVERIFY(alice.Next(SM_USER_STATUS).startsWith(Body("bob", 1)));

        // Searches, addresses and relayed connection requests.
        alice.Send(SM_FILE_SEARCH, Body(12, "song"));
        QCOMPARE(bob.Next(SM_FILE_SEARCH), Body("alice", 12, "song"));
        alice.Send(SM_GET_PEER_ADDRESS, Body("bob"));
        QCOMPARE(alice.Next(SM_GET_PEER_ADDRESS), Body("bob", 0x7f000001, 4000, 1) + WireWriter().U16(4001).Body());
        bob.Send(SM_CONNECT_TO_PEER, Body(55, "alice", "F"));
        QCOMPARE(alice.Next(SM_CONNECT_TO_PEER), Body("bob", "F", 0x7f000001, 4000, 55, quint8(0), 1, 4001));
        alice.Send(SM_CANT_CONNECT_TO_PEER, Body(55, "bob"));
        QCOMPARE(bob.Next(SM_CANT_CONNECT_TO_PEER), Body(55));
        alice.Send(SM_CONNECT_TO_PEER, Body(56, "nobody", "P"));
        QCOMPARE(alice.Next(SM_CANT_CONNECT_TO_PEER), Body(56));

        // Rooms.
        alice.Send(SM_JOIN_ROOM, Body("lobby", 0));
        QVERIFY(!alice.Next(SM_JOIN_ROOM).isEmpty());
        bob.Send(SM_JOIN_ROOM, Body("lobby", 0));
        QVERIFY(alice.Next(SM_USER_JOINED_ROOM).startsWith(Body("lobby", "bob")));
        QVERIFY(bob.Next(SM_JOIN_ROOM).startsWith(Body("lobby", 2, "alice")));
        bob.Send(SM_ROOM_CHAT, Body("lobby", "hey"));
        QCOMPARE(alice.Next(SM_ROOM_CHAT), Body("lobby", "bob", "hey"));

        // A private message not acknowledged comes again at the next login, marked as old.
        alice.Send(SM_PRIVATE_MESSAGE, Body("bob", "psst"));
        const QByteArray live = bob.Next(SM_PRIVATE_MESSAGE);
        QCOMPARE(live.mid(8), Body("alice", "psst", quint8(1))); // after the id and the time
        bob.m_socket.abort();
        QCOMPARE(alice.Next(SM_USER_LEFT_ROOM), Body("lobby", "bob"));
        RawClient bobAgain(port);
        QVERIFY(bobAgain.Login(QStringLiteral("bob")));
        const QByteArray replay = bobAgain.Next(SM_PRIVATE_MESSAGE);
        QCOMPARE(replay.left(4), live.left(4));
        QCOMPARE(replay.mid(8), Body("alice", "psst", quint8(0)));

        process.kill();
        process.waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(TestTestServer)
#include "test_test_server.moc"
