#include "HarnessProcess.h"
#include "PeakMemory.h"
#include "PeerConnection.h"
#include "PeerMessages.h"
#include "RawPeer.h"
#include "TestServer.h"

#include <QtTest>

#include <memory>

// Peers that ask and never read: what waits to be sent to them stays within its bound, the same
// large answer is not built again while it waits, and their connections are not kept alive by
// our own writes.
class TestUnreadAnswers : public QObject
{
    Q_OBJECT

    // One connection may hold 64 MiB waiting and the answer that passes it; held folder requests
    // hold their own bytes beside the answer that waits, not the 300 MB read past them. The
    // sanitizers' quarantine of freed memory (256 MB) comes on top in such a build.
#if defined(__SANITIZE_ADDRESS__)
    static constexpr double GrowthBoundMb = 900;
    static constexpr double HeldGrowthBoundMb = 450;
#else
    static constexpr double GrowthBoundMb = 300;
    static constexpr double HeldGrowthBoundMb = 100;
#endif

    TestServer m_server;
    std::unique_ptr<HarnessProcess> m_client;
    quint16 m_port = 0;

    // The client answers folder requests as the harness's "servefolder" i_serve says, with a log
    // line of its own for each user when asked, and its log kept off the test's output.
    bool ServeFolders(const QStringList& i_serve, bool i_userLogging = true)
    {
        m_client->Send(QStringList{"servefolder"} + i_serve);
        if (i_userLogging)
            m_client->Send({"set", "user_level_logging", "yes"});
        m_client->Send({"mute"});
        return m_client->Sync();
    }

    // A peer that says who it is and then reads nothing: its socket takes a byte at most.
    std::unique_ptr<RawPeer> NonReader(const QByteArray& i_user)
    {
        auto peer = std::make_unique<RawPeer>();
        if (!peer->Connect(m_port))
            return nullptr;
        peer->Socket().setReadBufferSize(1);
        peer->SendFrame(RawPeer::PeerInit(i_user, "P"));
        return peer;
    }

    // The same request i_count times, in one write.
    static void Ask(RawPeer& io_peer, const MemStream& i_request, int i_count)
    {
        QByteArray wire;
        for (int n = 0; n < i_count; ++n)
            wire += io_peer.Frame(i_request.ToByteArray());
        io_peer.SendRaw(wire);
    }

    qint64 Waiting()
    {
        QStringList fields;
        m_client->Send({"waiting"});
        return m_client->Take("waiting", &fields) ? fields.value(0).toLongLong() : -1;
    }

    // How many times the client has heard i_event.
    int Tally(const QString& i_event)
    {
        QStringList fields;
        m_client->Send({"tally", i_event});
        return m_client->Take("tally", &fields) ? fields.value(0).toInt() : -1;
    }

    // The held folder requests of i_user the log says were dropped, and in how many lines.
    std::pair<int, int> HeldDrops(const QString& i_user)
    {
        QFile file(m_client->Home() + QStringLiteral("/Veltrane Logs/Peer.log"));
        if (!file.open(QIODevice::ReadOnly))
            return {0, 0};
        const QString log = QString::fromUtf8(file.readAll());
        const QRegularExpression line(QStringLiteral("(?:Dropping a request|Dropped (\\d+) more requests?) 36 from ")
                                      + QRegularExpression::escape(i_user) + QLatin1Char(':'));
        int dropped = 0;
        int lines = 0;
        for (auto match = line.globalMatch(log); match.hasNext(); ++lines)
        {
            const QString count = match.next().captured(1);
            dropped += count.isEmpty() ? 1 : count.toInt();
        }
        return {dropped, lines};
    }

    // How many times the log begins a run of i_user's dropped held requests.
    int HeldDropRuns(const QString& i_user)
    {
        QFile file(m_client->Home() + QStringLiteral("/Veltrane Logs/Peer.log"));
        return file.open(QIODevice::ReadOnly)
                   ? int(file.readAll().count("Dropping a request 36 from " + i_user.toUtf8() + ':'))
                   : 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.Listen());
        // The askers are raw peers on this machine, taken for the names they give.
        m_server.SetAddressOfAbsentUsers(0x7f000001);
    }

    void init()
    {
        m_client = std::make_unique<HarnessProcess>();
        QVERIFY(m_client->Start());
        m_port = FreePortPair();
        QVERIFY(m_client->LogIn(QStringLiteral("client"), m_server.Port(), m_port));
    }

    void cleanup()
    {
        m_client.reset();
    }

    void user_information_never_read_stays_within_the_bound_and_is_freed_when_the_peer_goes()
    {
        m_client->Send({"serveinfo", QString::number(20 * 1000 * 1000)});
        QVERIFY(m_client->Sync());
        const double baseline = PeakMegabytes(m_client->ProcessId());
        std::unique_ptr<RawPeer> peer = NonReader("asker");
        QVERIFY(peer);
        Ask(*peer, PeerMessages::BuildUserInfoRequest(), 100);
        QTRY_VERIFY_WITH_TIMEOUT(Waiting() > 0, 10000);
        QTest::qWait(1000); // every request read and answered, or dropped
        QVERIFY(m_client->Sync());
        const double growth = PeakMegabytes(m_client->ProcessId()) - baseline;
        QVERIFY2(growth < GrowthBoundMb, qPrintable(QString::number(growth)));
        // Messages that are not repeats of one waiting stop at the bound too.
        m_client->Send({"flood", "asker", "100", QString::number(2 * 1000 * 1000)});
        QVERIFY(m_client->Sync());
        QVERIFY2(Waiting() <= qint64(128) << 20, qPrintable(QString::number(Waiting())));

        peer.reset();
        QTRY_COMPARE_WITH_TIMEOUT(Waiting(), qint64(0), 10000);
        QStringList counts;
        m_client->Send({"count"});
        QVERIFY(m_client->Take("count", &counts));
        QCOMPARE(counts.value(0), QStringLiteral("0"));
    }

    // Peers that ask once each, read nothing and leave, in three bursts: the client gives back to
    // the system what their answers held, rather than keep it as free room between what it
    // allocated meanwhile.
    void what_peers_that_never_read_held_goes_back_to_the_system_when_they_leave()
    {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("freed memory waits in the sanitizer's quarantine");
#endif
        constexpr int kPeers = 60;
        // A list as large as a share of some 100,000 files makes, handed out as a copy each time.
        const QByteArray list = RawPeer::UInt32(5) + QByteArray(1000 * 1000, 'l');
        m_client->Send({"serveshares", QString::fromLatin1(list.toHex())});
        m_client->Send({"mute"});
        QVERIFY(m_client->Sync());
        const double before = ResidentMegabytes(m_client->ProcessId());
        for (int burst = 0; burst < 3; ++burst)
        {
            std::vector<std::unique_ptr<RawPeer>> peers;
            for (int n = 0; n < kPeers; ++n)
            {
                peers.push_back(NonReader("leaver" + QByteArray::number(burst * kPeers + n)));
                QVERIFY(peers.back());
                Ask(*peers.back(), PeerMessages::BuildGetSharedFileList(), 1);
            }
            // Some of each answer is with the peer's system, counted nowhere here.
            QTRY_VERIFY_WITH_TIMEOUT(Waiting() >= qint64(kPeers) * list.size() / 2, 10000);
            const double held = ResidentMegabytes(m_client->ProcessId()) - before;
            QVERIFY2(held > kPeers / 2, qPrintable(QString::number(held)));
            peers.clear();
            QTRY_COMPARE_WITH_TIMEOUT(Waiting(), qint64(0), 10000);
            QTRY_VERIFY2_WITH_TIMEOUT(ResidentMegabytes(m_client->ProcessId()) - before < held / 4,
                                      qPrintable(QStringLiteral("burst %1: %2 MB held, %3 MB kept")
                                                     .arg(burst)
                                                     .arg(held)
                                                     .arg(ResidentMegabytes(m_client->ProcessId()) - before)),
                                      5000);
        }
    }

    void repeated_shares_list_requests_build_the_list_once()
    {
        // Each list takes a quarter of a second to build, as a share of some 200,000 files does.
        const QByteArray list = RawPeer::UInt32(5) + QByteArray(4096, 'l');
        m_client->Send({"serveshares", QString::fromLatin1(list.toHex()), "250"});
        m_client->Send({"lag", "start"});
        QVERIFY(m_client->Sync());
        std::unique_ptr<RawPeer> peer = NonReader("browser");
        QVERIFY(peer);
        Ask(*peer, PeerMessages::BuildGetSharedFileList(), 40);
        QTest::qWait(2000);
        QVERIFY(m_client->Sync());
        m_client->Send({"lag", "stop"});
        QStringList lag;
        QVERIFY(m_client->Take("lag", &lag, 30000));
        // One list was built, so the requests were read at all.
        QVERIFY2(lag.value(0).toLongLong() >= 200000, qPrintable(lag.value(0)));
        QVERIFY2(lag.value(0).toLongLong() < 1000000, qPrintable(lag.value(0)));
    }

    void folder_requests_wait_unread_while_an_answer_waits_data()
    {
        QTest::addColumn<bool>("reads");
        QTest::newRow("a peer that reads nothing until all are asked") << false;
        QTest::newRow("a peer that reads as answers come") << true;
    }

    // Each folder request has an answer of its own, built afresh here: one that waits unread holds the
    // requests after it unbuilt, and they are all answered, in order, once the peer reads.
    void folder_requests_wait_unread_while_an_answer_waits()
    {
        QFETCH(bool, reads);
        constexpr int kRequests = 33;
        constexpr int kAnswerBytes = 6 * 1000 * 1000; // more than the sockets between us take
        QVERIFY(ServeFolders({QString::number(kAnswerBytes)}, false));
        std::unique_ptr<RawPeer> peer = NonReader("leech");
        QVERIFY(peer);
        if (reads)
            peer->Socket().setReadBufferSize(0);
        QByteArray wire;
        for (int n = 1; n <= kRequests; ++n)
            wire += peer->Frame(
                PeerMessages::BuildGetSharedFilesInFolder(quint32(n), QStringLiteral("a\\b")).ToByteArray());
        // Other messages are not held behind them.
        wire += peer->Frame(PeerMessages::BuildUploadPlaceInLine(QStringLiteral("end"), 1).ToByteArray());
        peer->SendRaw(wire);
        if (!reads)
        {
            QTRY_COMPARE_WITH_TIMEOUT(Tally("DownloadPlaceInLine"), 1, 10000);
            QVERIFY(m_client->Sync());
            const int built = Tally("SharedFilesInFolderRequested");
            QVERIFY2(built >= 1 && built <= 2, qPrintable(QString::number(built)));
            QVERIFY2(Waiting() < 2 * kAnswerBytes, qPrintable(QString::number(Waiting())));
            peer->Socket().setReadBufferSize(0);
        }
        QByteArray payload;
        for (quint32 n = 1; n <= quint32(kRequests); ++n)
        {
            QVERIFY2(peer->ReadFrame(payload, 20000), qPrintable(QString::number(n)));
            QCOMPARE(payload.size(), 8 + kAnswerBytes);
            QCOMPARE(payload.left(8), RawPeer::UInt32(37) + RawPeer::UInt32(n));
        }
        QCOMPARE(Tally("SharedFilesInFolderRequested"), kRequests);
        QCOMPARE(Tally("DownloadPlaceInLine"), 1);
    }

    void held_folder_requests_keep_no_more_than_their_bound_data()
    {
        QTest::addColumn<int>("connections");
        QTest::addColumn<int>("requests"); // held on each connection behind its first, answered one
        QTest::addColumn<int>("folderLength");
        QTest::addColumn<int>("messageBefore"); // bytes of a message of no known code before each request
        QTest::addColumn<int>("dropped");
        // Requests of 17 bytes, each read into the room a message of 1 MB left.
        QTest::newRow("each after a large message") << 1 << 300 << 5 << 1000000 << 0;
        // Four requests of 16 KB fill one connection's bound; passed to a newer connection that
        // holds four of its own, the newest four go.
        QTest::newRow("passed to a newer connection that holds its own") << 2 << 4 << 16000 << 0 << 4;
    }

    // Held folder requests keep what their bound counts, and the bound holds for the requests a
    // connection passes to the newer one that answers the peer.
    void held_folder_requests_keep_no_more_than_their_bound()
    {
        QFETCH(int, connections);
        QFETCH(int, requests);
        QFETCH(int, folderLength);
        QFETCH(int, messageBefore);
        QFETCH(int, dropped);
        QVERIFY(ServeFolders({QString::number(6 * 1000 * 1000)}));
        const auto drops = [this] { return HeldDrops(QStringLiteral("leech")).first; };
        const double baseline = PeakMegabytes(m_client->ProcessId());
        const QString folder(folderLength, QLatin1Char('f'));
        std::vector<std::unique_ptr<RawPeer>> peers;
        for (int c = 0; c < connections; ++c)
        {
            peers.push_back(NonReader("leech"));
            RawPeer& peer = *peers.back();
            // The first is answered, and its answer waits unread.
            peer.SendFrame(PeerMessages::BuildGetSharedFilesInFolder(0, folder).ToByteArray());
            QTRY_COMPARE_WITH_TIMEOUT(Tally("SharedFilesInFolderRequested"), c + 1, 10000);
            for (int n = 1; n <= requests; ++n)
            {
                QByteArray wire;
                if (messageBefore > 0)
                    wire += peer.Frame(RawPeer::UInt32(9999) + QByteArray(messageBefore - 4, 'm'));
                wire += peer.Frame(PeerMessages::BuildGetSharedFilesInFolder(quint32(n), folder).ToByteArray());
                peer.SendRaw(wire);
                // Out before the next, so that this process holds one message at a time.
                while (peer.Socket().bytesToWrite() > 0)
                    QVERIFY(peer.Socket().waitForBytesWritten(10000));
            }
            peer.SendFrame(PeerMessages::BuildUploadPlaceInLine(QStringLiteral("end"), 1).ToByteArray());
            QTRY_COMPARE_WITH_TIMEOUT(Tally("DownloadPlaceInLine"), c + 1, 30000);
        }
        QVERIFY(m_client->Sync());
        const double growth = PeakMegabytes(m_client->ProcessId()) - baseline;
        QVERIFY2(growth < HeldGrowthBoundMb, qPrintable(QString::number(growth)));
        QCOMPARE(drops(), 0);
        if (connections > 1)
        {
            // Its answer read, the first connection's held requests go to the newer one.
            peers.front()->Socket().setReadBufferSize(0);
            QByteArray payload;
            QVERIFY(peers.front()->ReadFrame(payload, 20000));
        }
        QTRY_COMPARE_WITH_TIMEOUT(drops(), dropped, 10000);
    }

    void held_request_drops_make_a_few_log_lines_that_count_them_data()
    {
        QTest::addColumn<int>("floods");
        QTest::addColumn<int>("requests"); // of each flood
        QTest::newRow("one flood") << 1 << 20000;
        QTest::newRow("two floods a pause apart") << 2 << 5000;
    }

    // A peer that floods tiny folder requests behind an answer it does not read gets a line when
    // its drops begin and one with their count each second they go on, not one a request.
    void held_request_drops_make_a_few_log_lines_that_count_them()
    {
        QFETCH(int, floods);
        QFETCH(int, requests);
        QVERIFY(ServeFolders({QString::number(2 * 1000 * 1000)}));
        std::unique_ptr<RawPeer> peer = NonReader("flooder");
        QVERIFY(peer);
        peer->Socket().setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 64 * 1024);
        peer->SendFrame(PeerMessages::BuildGetSharedFilesInFolder(0, QStringLiteral("big")).ToByteArray());
        QTRY_COMPARE_WITH_TIMEOUT(Tally("SharedFilesInFolderRequested"), 1, 10000);
        const QByteArray request = PeerMessages::BuildGetSharedFilesInFolder(1, QStringLiteral("s")).ToByteArray();
        const int held = int(PeerConnection::MaxDeferredBytes / (request.size() + PeerConnection::DeferredOverhead));
        QElapsedTimer flooding;
        qint64 floodingMs = 0;
        for (int f = 1; f <= floods; ++f)
        {
            if (f > 1)
                QTest::qWait(3000);
            flooding.start();
            QByteArray wire;
            for (int n = 0; n < requests; ++n)
                wire += peer->Frame(request);
            wire += peer->Frame(PeerMessages::BuildUploadPlaceInLine(QStringLiteral("end"), 1).ToByteArray());
            peer->SendRaw(wire);
            QTRY_COMPARE_WITH_TIMEOUT(Tally("DownloadPlaceInLine"), f, 30000);
            floodingMs += flooding.elapsed();
        }
        const QString user = QStringLiteral("flooder");
        QTRY_COMPARE_WITH_TIMEOUT(HeldDrops(user).first, floods * requests - held, 10000);
        QCOMPARE(HeldDropRuns(user), floods);
        // The line that begins each run, one a second while it goes on, and the one that ends it.
        const int lines = HeldDrops(user).second;
        QVERIFY2(lines <= 2 * floods + int(floodingMs / 1000), qPrintable(QString::number(lines)));
    }

    void held_folder_requests_are_all_answered_over_a_connection_life_data()
    {
        QTest::addColumn<int>("rounds");
        QTest::addColumn<int>("requests"); // held in each round behind its first, large answer
        QTest::addColumn<int>("folderLength");
        QTest::newRow("many tiny requests at a time") << 3 << 500 << 1;
        QTest::newRow("a few longer requests at a time") << 40 << 30 << 1000;
    }

    // What a connection counts for its held requests comes back as they are answered: a peer that
    // reads its answers may ask as often as it likes.
    void held_folder_requests_are_all_answered_over_a_connection_life()
    {
        QFETCH(int, rounds);
        QFETCH(int, requests);
        QFETCH(int, folderLength);
        const QString folder(folderLength, QLatin1Char('s'));
        QVERIFY(ServeFolders({QString::number(2 * 1000 * 1000), folder, "8"}));
        std::unique_ptr<RawPeer> peer = NonReader("reader");
        QVERIFY(peer);
        // A window the answer passes, however much the peer has read before.
        peer->Socket().setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 64 * 1024);
        quint32 token = 0;
        for (int r = 0; r < rounds; ++r)
        {
            QByteArray wire =
                peer->Frame(PeerMessages::BuildGetSharedFilesInFolder(token, QStringLiteral("big")).ToByteArray());
            for (int n = 1; n <= requests; ++n)
                wire +=
                    peer->Frame(PeerMessages::BuildGetSharedFilesInFolder(token + quint32(n), folder).ToByteArray());
            wire += peer->Frame(PeerMessages::BuildUploadPlaceInLine(QStringLiteral("end"), 1).ToByteArray());
            peer->SendRaw(wire);
            QTRY_COMPARE_WITH_TIMEOUT(Tally("DownloadPlaceInLine"), r + 1, 10000);
            // Only the large answer is built: the rest are held behind it, none dropped.
            QCOMPARE(Tally("SharedFilesInFolderRequested"), r * (requests + 1) + 1);
            QVERIFY2(HeldDrops(QStringLiteral("reader")).first == 0, qPrintable(QString::number(r)));
            peer->Socket().setReadBufferSize(0);
            QByteArray payload;
            for (int n = 0; n <= requests; ++n, ++token)
            {
                QVERIFY2(peer->ReadFrame(payload, 20000), qPrintable(QStringLiteral("%1 %2").arg(r).arg(n)));
                QCOMPARE(payload.left(8), RawPeer::UInt32(37) + RawPeer::UInt32(token));
            }
            peer->Socket().setReadBufferSize(1);
        }
    }

    void own_writes_do_not_keep_a_connection_alive()
    {
        m_client->Send({"timeouts", "30000", "1000", "30000"});
        RawPeer peer;
        QVERIFY(peer.Connect(m_port));
        peer.SendFrame(RawPeer::PeerInit("quiet", "P"));
        // Taken as the user before our writes start: until then a message opens an attempt of its own,
        // which the server, having no such user online, refuses.
        peer.SendFrame(PeerMessages::BuildUserInfoRequest().ToByteArray());
        QVERIFY(m_client->Take("event UserInfoRequested"));
        const QString message =
            QString::fromLatin1(PeerMessages::BuildUploadPlaceInLine(QStringLiteral("a"), 1).ToByteArray().toHex());
        QByteArray payload;
        for (int n = 0; n < 8; ++n)
        {
            m_client->Send({"send", "quiet", message});
            QVERIFY(peer.ReadFrame(payload));
            QTest::qWait(200);
        }
        m_client->Send({"tick"});
        QVERIFY(peer.WaitForClose());
    }
};

QTEST_GUILESS_MAIN(TestUnreadAnswers)
#include "test_unread_answers.moc"
