#include "RawPeer.h"
#include "TestServer.h"
#include "TestTree.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>
#include <QUrl>

#include <memory>

namespace
{
QByteArray Enc(const QString& i_text)
{
    const QByteArray encoded = QUrl::toPercentEncoding(i_text);
    return encoded.isEmpty() ? QByteArray("%") : encoded;
}

QString Dec(const QByteArray& i_field)
{
    return i_field == "%" ? QString() : QUrl::fromPercentEncoding(i_field);
}

// One client engine in a process of its own, driven through the harness's line protocol while
// this process keeps its event loop (and so the test server) running.
class Client
{
public:
    explicit Client(const QString& i_user) : m_user(i_user)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(qEnvironmentVariable("VELTRANE_BINARY_DIR") + QStringLiteral("/tests/support/veltrane-harness"),
                        QStringList());
    }

    ~Client()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        Send({"quit"});
        if (!m_process.waitForFinished(10000))
        {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    bool Started() { return m_process.waitForStarted(10000); }

    void Send(const QList<QByteArray>& i_words) { m_process.write(i_words.join(' ') + '\n'); }

    // Waits for a line whose first words match; its words are returned.
    QList<QByteArray> WaitFor(const QList<QByteArray>& i_prefix, int i_timeoutMs = 15000)
    {
        QElapsedTimer timer;
        timer.start();
        while (true)
        {
            Pump();
            for (int index = m_read; index < m_lines.size(); ++index)
                if (Matches(m_lines[index], i_prefix))
                {
                    m_read = index + 1;
                    return m_lines[index];
                }
            if (timer.elapsed() > i_timeoutMs || m_process.state() == QProcess::NotRunning)
                return {};
            QTest::qWait(5);
        }
    }

    // Every line so far that begins with the prefix.
    QList<QList<QByteArray>> Lines(const QList<QByteArray>& i_prefix)
    {
        Pump();
        QList<QList<QByteArray>> found;
        for (const QList<QByteArray>& line : qAsConst(m_lines))
            if (Matches(line, i_prefix))
                found.append(line);
        return found;
    }

    // A round trip: everything sent before has been handled.
    bool Sync() { Send({"ping"}); return !WaitFor({"pong"}).isEmpty(); }

    bool Setup(quint16 i_serverPort)
    {
        Send({"set", "server_host", "127.0.0.1"});
        Send({"set", "server_port", QByteArray::number(i_serverPort)});
        Send({"set", "username", Enc(m_user)});
        Send({"set", "password", "secret"});
        Send({"set", "upload_speed", "100000"});
        Send({"set", "new_listening_port", QByteArray::number(FreePortPair())});
        Send({"start"});
        const QList<QByteArray> ports = WaitFor({"ports"});
        if (ports.size() < 2 || ports.at(1) == "0")
            return false;
        Send({"login"});
        return !WaitFor({"event", "Connected"}).isEmpty();
    }

private:
    static bool Matches(const QList<QByteArray>& i_line, const QList<QByteArray>& i_prefix)
    {
        if (i_line.size() < i_prefix.size())
            return false;
        for (int index = 0; index < i_prefix.size(); ++index)
            if (i_line.at(index) != i_prefix.at(index))
                return false;
        return true;
    }

    void Pump()
    {
        m_buffer += m_process.readAllStandardOutput();
        int end;
        while ((end = m_buffer.indexOf('\n')) >= 0)
        {
            m_lines.append(m_buffer.left(end).split(' '));
            m_buffer.remove(0, end + 1);
        }
    }

    QString m_user;
    QProcess m_process;
    QByteArray m_buffer;
    QList<QList<QByteArray>> m_lines;
    int m_read = 0;
};
} // namespace

// The road of a search between three client processes: alice searches; bob hears it from the
// server and from alice as his distributed parent; carol, bob's child, hears it down the tree.
class TestSearchRoad : public QObject
{
    Q_OBJECT

private slots:
    void searchReachesChildAndGrandchildAndEveryAnswerComesBack()
    {
        TestServer server;
        QVERIFY(server.Listen());
        TestTree tree(&server);
        tree.SetCandidates(QStringLiteral("bob"), {QStringLiteral("alice")});
        tree.SetCandidates(QStringLiteral("carol"), {QStringLiteral("bob")});

        Client alice(QStringLiteral("alice")), bob(QStringLiteral("bob")), carol(QStringLiteral("carol"));
        QVERIFY(alice.Started() && bob.Started() && carol.Started());
        QVERIFY(alice.Setup(server.Port()));
        QVERIFY(bob.Setup(server.Port()));
        QVERIFY(!bob.WaitFor({"event", "ParentChanged", "alice"}).isEmpty());
        QVERIFY(carol.Setup(server.Port()));
        QVERIFY(!carol.WaitFor({"event", "ParentChanged", "bob"}).isEmpty());
        carol.Send({"dnet"});
        QCOMPARE(carol.WaitFor({"dnet"}), QList<QByteArray>({"dnet", "bob", "2", "alice", "0"}));
        QTRY_COMPARE(tree.BranchRoots(), QStringList({QStringLiteral("alice")}));

        bob.Send({"answer", Enc(QStringLiteral("Music\\bob song.mp3")), "1000"});
        carol.Send({"answer", Enc(QStringLiteral("Music\\carol song.mp3")), "2000"});
        QVERIFY(bob.Sync() && carol.Sync());
        alice.Send({"search", "song"});
        const QList<QByteArray> token = alice.WaitFor({"searchtoken"});
        QCOMPARE(token.size(), 2);
        const QByteArray req = token.at(1);

        // bob hears it both ways, carol down the tree (and from the server); each answers each.
        QVERIFY(!bob.WaitFor({"event", "DirectFileSearch", "alice", req, "song"}).isEmpty());
        QVERIFY(!bob.WaitFor({"event", "DNetSearchRequest", "alice", req, "song"}).isEmpty());
        QVERIFY(!carol.WaitFor({"event", "DNetSearchRequest", "alice", req, "song"}).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(bob.Lines({"event", "Answered"}).size(), 2, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(carol.Lines({"event", "Answered"}).size(), 2, 15000);

        QTRY_COMPARE_WITH_TIMEOUT(alice.Lines({"event", "SearchResultFiles"}).size(), 4, 15000);
        QVERIFY(bob.Sync() && carol.Sync() && alice.Sync());
        const QList<QList<QByteArray>> results = alice.Lines({"event", "SearchResultFiles"});
        QCOMPARE(results.size(), 4);
        int fromBob = 0;
        int fromCarol = 0;
        for (const QList<QByteArray>& line : results)
        {
            QCOMPARE(line.size(), 5);
            QCOMPARE(line.at(3), req);
            const QString user = Dec(line.at(2));
            const QString files = Dec(line.at(4));
            if (user == QLatin1String("bob"))
            {
                ++fromBob;
                QCOMPARE(files, QStringLiteral("Music\\bob song.mp3:1000"));
            }
            else
            {
                ++fromCarol;
                QCOMPARE(user, QStringLiteral("carol"));
                QCOMPARE(files, QStringLiteral("Music\\carol song.mp3:2000"));
            }
        }
        QCOMPARE(fromBob, 2);
        QCOMPARE(fromCarol, 2);
        // The searcher's own search came back down to it as branch root and was not answered.
        QVERIFY(alice.Lines({"event", "Answered"}).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSearchRoad)
#include "test_search_road.moc"
