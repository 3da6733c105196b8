#include "Log.h"
#include "MessengerFixture.h"
#include "PeakMemory.h"
#include "SendHold.h"
#include "SendQueues.h"

#include <QDir>
#include <QSignalSpy>

#include <algorithm>
#include <limits>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>

// The bound on what waits to be sent to peers, of one real peer messenger in this process. The
// waits are on real sockets, for seconds by design: the system's buffers take what they will.
class TestWaitingBytes : public MessengerFixture
{
    Q_OBJECT

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

    // Answers place-in-line requests with as many thousand bytes as the file name says.
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

private slots:
    void initTestCase() { RegisterTypes(); }

    void init() { Start(); }

    void cleanup() { StopPeerOnlyEngine(); }

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
};

QTEST_GUILESS_MAIN(TestWaitingBytes)
#include "test_waiting_bytes.moc"
