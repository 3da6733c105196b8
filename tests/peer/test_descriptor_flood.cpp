#include "HarnessProcess.h"
#include "Log.h"
#include "PeerMessages.h"
#include "PeerOnlyEngine.h"
#include "RawPeer.h"
#include "TestServer.h"
#include "Wire.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

// A user's listening port that takes every connection the client opens to it and holds it.
struct Hog : QTcpServer
{
    Hog()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection())
                m_held.emplace_back(socket);
        });
    }
    std::vector<std::unique_ptr<QTcpSocket>> m_held;
};

// The client of this process, with the lines it logs, and when asked every descriptor under a
// lowered soft limit of open files taken; all of it undone when the case ends, however it ends.
struct DescriptorsTaken
{
    DescriptorsTaken()
    {
        StartPeerOnlyEngine();
        SetSetting(QStringLiteral("new_listening_port"), QString::number(FreePortPair()));
        dataSaver->NotifyFirstStart();
        ::getrlimit(RLIMIT_NOFILE, &m_limit);
        SetLogSink([this](const QString&, const QString& i_line) { m_lines << i_line; });
    }
    ~DescriptorsTaken()
    {
        SetLogSink(LogSink());
        GiveBack();
        StopPeerOnlyEngine();
    }
    // All but one: the socket of the next connection takes it.
    void TakeAllButOne()
    {
        rlimit lowered = m_limit;
        lowered.rlim_cur = 128;
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            m_taken.push_back(fd);
        ::close(m_taken.back());
        m_taken.pop_back();
    }
    // As soon as may be: the sanitizers' own checks need descriptors too.
    void GiveBack()
    {
        for (int fd : m_taken)
            ::close(fd);
        m_taken.clear();
        ::setrlimit(RLIMIT_NOFILE, &m_limit);
    }
    rlimit m_limit{};
    std::vector<int> m_taken;
    QStringList m_lines;
};

// A client with the usual limit of 1,024 open files under a flood of connections that each say
// who they are: it keeps its server connection, serves a download, saves its data file and
// stays quiet.
class TestDescriptorFlood : public QObject
{
    Q_OBJECT

    static constexpr int FloodConnections = 1200;
    static constexpr int FloodAddresses = 40;

    // Clock ticks the process has run, user and system.
    static qint64 CpuTicks(qint64 i_pid)
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(i_pid));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        return fields.value(11).toLongLong() + fields.value(12).toLongLong();
    }

    static int Descriptors(qint64 i_pid)
    {
        return QDir(QStringLiteral("/proc/%1/fd").arg(i_pid))
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
            .size();
    }

private slots:
    void initTestCase()
    {
        // This process holds the flood's ends.
        rlimit limit{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < rlim_t(FloodConnections + 400))
            QSKIP("this system allows too few open files for the flood's own ends");
    }

    void aFloodOfOpenersLeavesRoomForRealWork()
    {
        TestServer server;
        QVERIFY(server.Listen());
        QTemporaryDir files;
        const QString shared = files.filePath(QStringLiteral("shared"));
        QVERIFY(QDir().mkpath(shared));
        QByteArray content(3 * 1024 * 1024, '\0');
        for (int n = 0; n < content.size(); ++n)
            content[n] = char(n * 7 + n / 4099);
        QFile song(shared + QStringLiteral("/floodsong.bin"));
        QVERIFY(song.open(QIODevice::WriteOnly) && song.write(content) == content.size());
        song.close();
        const QString downloads = files.filePath(QStringLiteral("downloads"));

        HarnessProcess bob;
        bob.SetOpenFileLimit(1024);
        QVERIFY(bob.Start({"full"}));
        const quint16 bobPort = FreePortPair();
        QVERIFY(bob.LogIn(QStringLiteral("bob"), server.Port(), bobPort));
        bob.Send({"share", shared});
        QVERIFY(bob.Take("shared"));
        HarnessProcess alice;
        QVERIFY(alice.Start({"full"}));
        QVERIFY(alice.LogIn(QStringLiteral("alice"), server.Port(), FreePortPair(), {{"download_folder", downloads}}));

        // Every connection says who it is, from one of many addresses where the server places that
        // user, so that only the cap on all of them holds the flood.
        std::vector<std::unique_ptr<RawPeer>> flood;
        for (int n = 0; n < FloodConnections; ++n)
        {
            flood.push_back(std::make_unique<RawPeer>());
            const QHostAddress from(QStringLiteral("127.0.1.%1").arg(1 + n % FloodAddresses));
            server.SetAddressOfAbsentUser(QStringLiteral("flood%1").arg(n), from.toIPv4Address());
            QVERIFY2(flood.back()->Connect(bobPort, from), qPrintable(QString::number(n)));
            flood.back()->SendFrame(RawPeer::PeerInit("flood" + QByteArray::number(n), "P"));
        }
        QStringList counts;
        bob.Send({"connections"});
        QVERIFY(bob.Take("connections", &counts));
        QCOMPARE(counts.value(1), QStringLiteral("768")); // 1,024 files less the reserve
        QVERIFY2(counts.value(0).toInt() <= 768, qPrintable(counts.join(' ')));

        // Meanwhile Alice finds and downloads Bob's file.
        alice.Send({"search", "floodsong"});
        QStringList result;
        QVERIFY(alice.Take("event Result", &result, 20000));
        alice.Send({"adddownload", "bob", result.value(1), result.value(2)});
        QStringList complete;
        QVERIFY(alice.Take("event Complete", &complete, 60000));
        QFile downloaded(downloads + QStringLiteral("/complete/shared/floodsong.bin"));
        QVERIFY(downloaded.open(QIODevice::ReadOnly));
        QVERIFY(downloaded.readAll() == content);
        QVERIFY(server.IsLoggedIn(QStringLiteral("bob")));
        bob.Send({"connections"});
        QVERIFY(bob.Take("connections", &counts));
        QVERIFY2(counts.value(0).toInt() > 700, qPrintable(counts.join(' '))); // the flood still holds on

        // Quiet while the flood holds on, and the data file still saves.
        const qint64 before = CpuTicks(bob.ProcessId());
        QTest::qWait(2000);
        const qint64 used = CpuTicks(bob.ProcessId()) - before;
        QVERIFY2(used * 1000 / ::sysconf(_SC_CLK_TCK) < 500, qPrintable(QString::number(used)));
        QStringList saved;
        bob.Send({"save", bob.Home() + QStringLiteral("/saved")});
        QVERIFY(bob.Take("saved", &saved));
        QCOMPARE(saved.value(0), QStringLiteral("1"));
    }

    // One user has the server ask the client 2,000 times to connect back to an address that takes
    // every connection, then 2,000 users once each: the client opens a few to the one user and no
    // more than its outgoing share to all, still answers a well-behaved peer, and closes those
    // that only idle.
    void connect_back_requests_stay_within_the_bound()
    {
        TestServer server;
        QVERIFY(server.Listen());
        server.SetAddressOfAbsentUsers(0x7f000001); // the good peer is a raw peer on this machine
        HarnessProcess client;
        client.SetOpenFileLimit(1024);
        QVERIFY(client.Start());
        const quint16 port = FreePortPair();
        QVERIFY(client.LogIn(QStringLiteral("client"), server.Port(), port));
        client.Send({"serveinfo", "1000"});
        QVERIFY(client.Sync());
        const int before = Descriptors(client.ProcessId());

        Hog hog;
        QVERIFY(hog.listen(QHostAddress::LocalHost));
        const auto askForConnections = [&](bool i_oneUser) {
            for (quint32 token = 1; token <= 2000; ++token)
                server.SendFrame(QStringLiteral("client"), 18,
                                 WireWriter()
                                     .Str(i_oneUser ? QStringLiteral("hog") : QStringLiteral("hog%1").arg(token))
                                     .Str(QStringLiteral("P"))
                                     .Ip(0x7f000001)
                                     .U32(hog.serverPort())
                                     .U32(token)
                                     .U8(0)
                                     .U32(0)
                                     .U32(0)
                                     .Body());
        };
        const auto answersTheGoodPeer = [port] {
            RawPeer good;
            if (!good.Connect(port))
                return false;
            good.SendFrame(RawPeer::PeerInit("good", "P"));
            good.SendFrame(PeerMessages::BuildUserInfoRequest().ToByteArray());
            QByteArray payload;
            while (good.ReadFrame(payload, 20000))
                if (payload.left(4) == RawPeer::UInt32(16))
                    return true;
            return false;
        };

        askForConnections(true);
        QVERIFY(answersTheGoodPeer());
        // The server hears of every request past the first 8, so that the user's attempts end.
        const auto refusedTokens = [&server](bool i_oneUser) {
            std::set<quint32> tokens;
            for (const TestServer::Frame& frame :
                 server.FramesWithCode(SM_CANT_CONNECT_TO_PEER, QStringLiteral("client")))
            {
                WireReader in(frame.m_body);
                const quint32 token = in.U32();
                if ((in.Str() == QLatin1String("hog")) == i_oneUser)
                    tokens.insert(token);
            }
            return tokens;
        };
        QTRY_COMPARE(refusedTokens(true).size(), size_t(1992));
        QCOMPARE(*refusedTokens(true).begin(), quint32(9));
        QTest::qWait(1000);
        int during = Descriptors(client.ProcessId());
        // At most 8 connections back to one user; a log file or the good peer's going connection
        // may still be open.
        QVERIFY2(during <= before + 8 + 2, qPrintable(QStringLiteral("%1 then %2").arg(before).arg(during)));
        QVERIFY2(hog.m_held.size() <= 8, qPrintable(QString::number(hog.m_held.size())));

        client.Send({"timeouts", "30000", "1000", "30000"});
        QTest::qWait(1500);
        client.Send({"tick"});
        QVERIFY(client.Sync());
        QTRY_VERIFY_WITH_TIMEOUT(Descriptors(client.ProcessId()) <= before, 5000);

        // Outgoing connections in all take at most half of the 768 the open-file limit leaves.
        client.Send({"timeouts", "30000", "300000", "30000"});
        askForConnections(false);
        QVERIFY(answersTheGoodPeer());
        QTest::qWait(1000);
        during = Descriptors(client.ProcessId());
        QVERIFY2(during <= before + 384 + 2, qPrintable(QStringLiteral("%1 then %2").arg(before).arg(during)));
        QVERIFY(answersTheGoodPeer());
        QTRY_COMPARE(refusedTokens(false).size(), size_t(2000 - 384));
    }

    // Our own connections to 500 users who take every connection (opened by us, or back to them
    // when the server asks), and 768 incoming ones that say who they are, one kind after the other:
    // the client holds 768 peer connections in all (1,024 open files less the reserve), 384 of them
    // its own, and the incoming ones give way at once.
    void peer_connections_in_all_stay_within_the_bound_data()
    {
        QTest::addColumn<bool>("ownFirst");
        QTest::addColumn<bool>("connectBacks");
        QTest::newRow("own connections first") << true << false;
        QTest::newRow("incoming connections first") << false << false;
        QTest::newRow("incoming connections, then connections back") << false << true;
    }

    void peer_connections_in_all_stay_within_the_bound()
    {
        QFETCH(bool, ownFirst);
        QFETCH(bool, connectBacks);
        TestServer server;
        QVERIFY(server.Listen());
        Hog hog;
        QVERIFY(hog.listen(QHostAddress::LocalHost));
        HarnessProcess client;
        client.SetOpenFileLimit(1024);
        QVERIFY(client.Start());
        const quint16 port = FreePortPair();
        QVERIFY(client.LogIn(QStringLiteral("client"), server.Port(), port));
        const auto counts = [&client] {
            QStringList fields;
            client.Send({"connections"});
            client.Take("connections", &fields);
            return fields; // all, the limit, outgoing
        };

        const auto openOwn = [&] {
            for (int n = 0; n < 500; ++n)
            {
                const QString user = QStringLiteral("own%1").arg(n);
                if (connectBacks)
                {
                    server.SendFrame(QStringLiteral("client"), SM_CONNECT_TO_PEER,
                                     WireWriter()
                                         .Str(user)
                                         .Str(QStringLiteral("P"))
                                         .Ip(0x7f000001)
                                         .U32(hog.serverPort())
                                         .U32(quint32(n + 1))
                                         .U8(0)
                                         .U32(0)
                                         .U32(0)
                                         .Body());
                    continue;
                }
                server.SetAddressOfAbsentUser(user, 0x7f000001);
                server.AccountOf(user).m_port = hog.serverPort();
                client.Send({"userinfo", user});
            }
            const auto asked = [&server] {
                int count = 0;
                for (const TestServer::Frame& frame :
                     server.FramesWithCode(SM_GET_PEER_ADDRESS, QStringLiteral("client")))
                    count += WireReader(frame.m_body).Str().startsWith(QLatin1String("own")) ? 1 : 0;
                return count;
            };
            if (!connectBacks && !QTest::qWaitFor([&] { return asked() == 500; }, 20000))
                return false;
            // Behind the answers or requests: once it shows, the client has read them all.
            server.QueuePrivateMessage(QStringLiteral("server"), QStringLiteral("client"), QStringLiteral("answered"),
                                       0);
            return client.Take("event PrivateChat server answered");
        };
        std::vector<std::unique_ptr<RawPeer>> flood;
        // In steps the client has taken whole, so that a loaded machine does not leave hundreds
        // of accepted connections unread and closed as openers that never came.
        const auto floodIn = [&] {
            const int before = counts().value(0).toInt();
            for (int n = 0; n < 768; ++n)
            {
                if (n % 64 == 0
                    && !QTest::qWaitFor([&] { return counts().value(0).toInt() == qMin(768, before + n); }, 20000))
                    return false;
                const QHostAddress from(QStringLiteral("127.0.1.%1").arg(1 + n % 16));
                const QString user = QStringLiteral("in%1").arg(n);
                server.SetAddressOfAbsentUser(user, from.toIPv4Address());
                flood.push_back(std::make_unique<RawPeer>());
                if (!flood.back()->Connect(port, from))
                    return false;
                flood.back()->SendFrame(RawPeer::PeerInit(user.toUtf8(), "P"));
            }
            return true;
        };
        const auto floodClosed = [&flood] {
            return int(std::count_if(flood.begin(), flood.end(), [](const std::unique_ptr<RawPeer>& i_peer) {
                return i_peer->Socket().state() != QAbstractSocket::ConnectedState;
            }));
        };

        if (ownFirst)
        {
            QVERIFY(openOwn());
            QCOMPARE(counts().value(2), QStringLiteral("384"));
            QVERIFY(floodIn());
        }
        else
        {
            QVERIFY(floodIn());
            QTRY_COMPARE_WITH_TIMEOUT(counts().value(0), QStringLiteral("768"), 20000);
            QVERIFY(openOwn());
        }
        QTRY_COMPARE_WITH_TIMEOUT(floodClosed(), 384, 20000);
        const QStringList after = counts();
        QCOMPARE(after.value(0), QStringLiteral("768"));
        QCOMPARE(after.value(2), QStringLiteral("384"));
    }

    // The client in this process has no descriptor left when a peer connects, beside a silent
    // connection and a peer it serves: one with most of a long answer still to read, or one that said
    // who it is and waits while the client asks where it is. The silent one goes, the other is served
    // whole; the client says so once and takes the new connection a little later, with no busy loop
    // in between.
    void running_out_of_descriptors_resets_the_silent_connection_data()
    {
        QTest::addColumn<bool>("scrambled");
        QTest::addColumn<bool>("reading");
        QTest::newRow("a reader, plain port") << false << true;
        QTest::newRow("a peer waiting to be placed, scrambled port") << true << false;
    }

    void running_out_of_descriptors_resets_the_silent_connection()
    {
        QFETCH(bool, scrambled);
        QFETCH(bool, reading);
        DescriptorsTaken client;
        const quint16 port = scrambled ? peerMessenger->ScrambledListeningPort() : peerMessenger->ListeningPort();
        RawPeer served(scrambled);
        RawPeer silent(scrambled);
        RawPeer newcomer(scrambled);
        // More than the system's buffers between the two ends hold.
        MemStream answer;
        OutputStream(answer).Write(quint32(PM_USER_INFO_REPLY));
        const QByteArray filler(16 * 1024 * 1024, 'i');
        answer.WriteBuffer(filler.constData(), size_t(filler.size()));
        QSignalSpy asked(peerMessenger, &PeerMessenger::UserInfoRequested);
        const auto place = [] { peerMessenger->OnPeerAddress(QStringLiteral("served"), TCPAddress(0x7f000001, 0), 0); };
        if (reading)
            place();
        served.Socket().setReadBufferSize(64 * 1024);
        QVERIFY(served.Connect(port));
        served.SendFrame(RawPeer::PeerInit("served", "P"));
        const QByteArray request = PeerMessages::BuildUserInfoRequest().ToByteArray();
        served.SendFrame(request);
        if (reading)
        {
            QVERIFY(asked.wait());
            peerMessenger->SendMessage(QStringLiteral("served"), answer);
        }
        else
        {
            // Its opener read: the request waits unread until the client knows where it is.
            QTRY_COMPARE(PeerConnection::PartialFrameBytes(), qint64(served.Frame(request).size()));
        }
        QVERIFY(silent.Connect(port));
        QTRY_COMPARE(peerMessenger->ConnectionCount(), 2);

        int wakeups = 0;
        QObject counting;
        connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, &counting,
                [&wakeups] { ++wakeups; });
        client.TakeAllButOne();
        QVERIFY(newcomer.Connect(port));
        QVERIFY(silent.WaitForClose());
        QTRY_COMPARE(peerMessenger->ConnectionCount(), 2);
        client.GiveBack();
        // This test's own waits wake the event loop about a hundred times a second; an accept tried
        // again on every turn wakes it hundreds of thousands of times.
        QVERIFY2(wakeups < 1000, qPrintable(QString::number(wakeups)));
        QCOMPARE(client.m_lines.filter(QStringLiteral("Cannot accept a connection: ")).size(), 1);
        QCOMPARE(served.Socket().state(), QAbstractSocket::ConnectedState);
        if (!reading)
        {
            place();
            QTRY_COMPARE(asked.count(), 1);
            peerMessenger->SendMessage(QStringLiteral("served"), answer);
        }
        served.Socket().setReadBufferSize(0);
        QByteArray payload;
        QVERIFY(served.ReadFrame(payload, 20000));
        QCOMPARE(payload.size(), int(answer.GetLength()));
    }

    // Errors of accepting that no freed descriptor mends: the client says so and tries again later,
    // and no peer goes for them.
    void an_accept_error_no_freed_descriptor_mends_resets_no_one_data()
    {
        QTest::addColumn<int>("error");
        QTest::newRow("EINVAL") << EINVAL;
        QTest::newRow("EBADF") << EBADF;
        QTest::newRow("EPERM") << EPERM;
    }

    void an_accept_error_no_freed_descriptor_mends_resets_no_one()
    {
        QFETCH(int, error);
        DescriptorsTaken client;
        RawPeer silent;
        RawPeer newcomer;
        QVERIFY(silent.Connect(peerMessenger->ListeningPort()));
        QTRY_COMPARE(peerMessenger->ConnectionCount(), 1);
        int failures = 0;
        peerMessenger->SetAcceptForTest([&failures, error](int) {
            ++failures;
            errno = error;
            return -1;
        });
        QVERIFY(newcomer.Connect(peerMessenger->ListeningPort()));
        QTRY_VERIFY(failures > 0);
        QCOMPARE(peerMessenger->ConnectionCount(), 1);
        QVERIFY(!client.m_lines.filter(QStringLiteral("Cannot accept a connection: ")).isEmpty());
        // Tried again a second later, not on every turn of the event loop.
        QVERIFY2(failures < 10, qPrintable(QString::number(failures)));
    }

    // The system may hand on a pending connection's own failure; the connections behind it are taken
    // in the same round, and nothing is said of it.
    void an_aborted_pending_connection_does_not_end_the_accept_round_data()
    {
        QTest::addColumn<int>("error");
        QTest::newRow("ECONNABORTED") << ECONNABORTED;
        QTest::newRow("EPROTO") << EPROTO;
    }

    void an_aborted_pending_connection_does_not_end_the_accept_round()
    {
        QFETCH(int, error);
        DescriptorsTaken client;
        int wakeups = 0;
        QObject counting;
        connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, &counting,
                [&wakeups] { ++wakeups; });
        int abortedAt = -1;
        int acceptedAt = -1;
        peerMessenger->SetAcceptForTest([&, error](int i_listener) {
            if (abortedAt < 0)
            {
                abortedAt = wakeups;
                errno = error;
                return -1;
            }
            const int descriptor = ::accept4(i_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (descriptor >= 0)
                acceptedAt = wakeups;
            return descriptor;
        });
        RawPeer peer;
        QVERIFY(peer.Connect(peerMessenger->ListeningPort()));
        QTRY_COMPARE(peerMessenger->ConnectionCount(), 1);
        QCOMPARE(acceptedAt, abortedAt);
        QVERIFY(client.m_lines.filter(QStringLiteral("Cannot accept a connection: ")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestDescriptorFlood)
#include "test_descriptor_flood.moc"
