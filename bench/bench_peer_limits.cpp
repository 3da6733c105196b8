// What hostile peers can still cost: the memory held by connections that each send most of a
// large frame and stop, from one address (its share) and from sixteen (the budget of all), and the time of search replies as a search fills up, against the same
// replies with nothing counted; and the memory folder requests held behind an unread answer keep
// when each comes after a large message. Last, who goes when the descriptors run out: a reader kept
// beside a silent connection, in 10 runs; the program exits non-zero unless it is kept in all.

#include "Compression.h"
#include "Data.h"
#include "DataSaver.h"
#include "FileInfo.h"
#include "Log.h"
#include "LoopbackSocket.h"
#include "PeakMemory.h"
#include "PeerMessages.h"
#include "PeerMessenger.h"
#include "PeerOnlyEngine.h"
#include "RawPeer.h"
#include "TimerManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
void StartEngine()
{
    StartPeerOnlyEngine();
    SetSetting(QStringLiteral("new_listening_port"), QString::number(FreePortPair()));
    dataSaver->NotifyFirstStart();
}

QByteArray Le32(quint32 i_value)
{
    return RawPeer::UInt32(i_value);
}

// One hostile peer on a plain blocking socket from the loopback address given: an opener, then most
// of a frame that announces a shares list just under the frame cap, then silence until told to go.
void Flood(quint16 i_port, quint32 i_from, int i_index, const std::vector<char>& i_chunk, qint64 i_bytes,
           std::atomic<int>& io_done, std::atomic<bool>& i_stop)
{
    const int fd = ConnectFrom(i_from, i_port);
    bool ok = fd >= 0;
    const QByteArray opener = RawPeer::PeerInit("flood" + QByteArray::number(i_index), "P");
    const QByteArray head = Le32(quint32(opener.size())) + opener + Le32(FrameCodec::MaxFrameLength - 1) + Le32(5);
    ok = ok && ::send(fd, head.constData(), size_t(head.size()), MSG_NOSIGNAL) == head.size();
    for (qint64 sent = 0; ok && sent < i_bytes;)
    {
        const ssize_t n =
            ::send(fd, i_chunk.data(), std::min<size_t>(i_chunk.size(), size_t(i_bytes - sent)), MSG_NOSIGNAL);
        ok = n > 0;
        sent += n;
    }
    ++io_done;
    while (ok && !i_stop)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (fd >= 0)
        ::close(fd);
}

// 16 connections, from one address or from 16 (127.0.0.2 to 127.0.0.17: loopback is all of
// 127.0.0.0/8).
void PartialFrames(bool i_manyAddresses)
{
    StartEngine();
    constexpr int kConnections = 16;
    constexpr qint64 kBytes = qint64(60) << 20;
    const std::vector<char> chunk(1 << 20, 'x');
    std::atomic<int> done{0};
    std::atomic<bool> stop{false};
    ResetPeak();
    const double baseline = PeakMegabytes();
    std::vector<std::thread> floods;
    const auto from = [i_manyAddresses](int i_index) {
        return i_manyAddresses ? 0x7f000002u + quint32(i_index) : 0x7f000001u;
    };
    for (int n = 0; n < kConnections; ++n)
        peerMessenger->OnPeerAddress(QStringLiteral("flood%1").arg(n), TCPAddress(from(n), 0), 0);
    for (int n = 0; n < kConnections; ++n)
        floods.emplace_back(Flood, peerMessenger->ListeningPort(), from(n), n, std::cref(chunk), kBytes, std::ref(done),
                            std::ref(stop));
    QElapsedTimer timer;
    timer.start();
    while (done < kConnections && timer.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    // What is still on its way in.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const double peak = PeakMegabytes() - baseline;
    const int held = peerMessenger->ConnectionCount();
    const double heldMegabytes = PeerConnection::PartialFrameBytes() / 1e6;
    stop = true;
    for (std::thread& flood : floods)
        flood.join();
    StopPeerOnlyEngine();
    const char* name = i_manyAddresses ? "16_addresses" : "16_connections";
    std::printf("peer_partial_frames_%s_kept: %d connections (%.0f MB)\n", name, held, heldMegabytes);
    std::printf("peer_partial_frames_%s_peak: %.0f MB\n", name, peak);
    std::fflush(stdout);
}

// A peer that asks for a folder and reads nothing, so that its answer waits, then sends 300 times
// a message of 1 MB, dropped for its unknown code, and a folder request of 17 bytes, held behind
// that answer: how much the process holds once they are read, more than when the answer waited.
void HeldFolderRequests()
{
    StartEngine();
    constexpr int kRequests = 300;
    int asked = 0;
    bool placed = false;
    QObject::connect(peerMessenger, &PeerMessenger::SharedFilesInFolderRequested,
                     [&asked](QString i_user, quint32 i_token, QString) {
                         ++asked;
                         MemStream reply;
                         OutputStream out(reply);
                         out.Write(quint32(37));
                         out.Write(i_token);
                         const QByteArray filler(4 * 1000 * 1000, 'f'); // more than the sockets between us take
                         reply.WriteBuffer(filler.constData(), size_t(filler.size()));
                         peerMessenger->SendMessage(i_user, reply);
                     });
    QObject::connect(peerMessenger, &PeerMessenger::DownloadPlaceInLine, [&placed] { placed = true; });
    peerMessenger->OnPeerAddress(QStringLiteral("holder"), TCPAddress(0x7f000001u, 0), 0);
    RawPeer framer;
    const QByteArray large = framer.Frame(Le32(9999) + QByteArray(1000 * 1000 - 4, 'm'));
    std::vector<QByteArray> requests;
    for (int n = 0; n <= kRequests; ++n)
        requests.push_back(framer.Frame(
            PeerMessages::BuildGetSharedFilesInFolder(quint32(n), QStringLiteral("a\\bcd")).ToByteArray()));
    const QByteArray end = framer.Frame(PeerMessages::BuildUploadPlaceInLine(QStringLiteral("end"), 1).ToByteArray());
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    std::thread peer([&, port = peerMessenger->ListeningPort()] {
        const int fd = ConnectFrom(0x7f000001u, port);
        // A client that stops reading does not hold the bench for ever.
        const timeval patience{60, 0};
        if (fd >= 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
        const auto put = [fd](const QByteArray& i_bytes) {
            return fd >= 0 && ::send(fd, i_bytes.constData(), size_t(i_bytes.size()), MSG_NOSIGNAL) == i_bytes.size();
        };
        bool ok = put(framer.Frame(RawPeer::PeerInit("holder", "P"))) && put(requests[0]);
        while (ok && !go && !stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (int n = 1; ok && n <= kRequests; ++n)
            ok = put(large) && put(requests[size_t(n)]);
        ok = ok && put(end);
        while (ok && !stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (fd >= 0)
            ::close(fd);
    });
    QElapsedTimer timer;
    timer.start();
    while ((asked == 0 || peerMessenger->WaitingBytes() == 0) && timer.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    malloc_trim(0);
    const double baseline = ResidentMegabytes();
    go = true;
    while (!placed && timer.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    malloc_trim(0); // what is in use, not what the allocator kept of the messages read
    const double growth = ResidentMegabytes() - baseline;
    const bool held = asked == 1 && peerMessenger->WaitingBytes() > 0;
    stop = true;
    peer.join();
    StopPeerOnlyEngine();
    std::printf("peer_held_folder_requests_300_after_large_frames: %.0f MB\n", growth);
    std::fflush(stdout);
    if (!placed || !held)
        std::fprintf(stderr, "The folder requests were not all read and held (%d answered)\n", asked);
}

// A search reply of i_files results from one user.
QByteArray SearchReply(quint32 i_token, int i_user, int i_files)
{
    MemStream body;
    OutputStream out(body);
    out.Write(std::string("user") + std::to_string(i_user));
    out.Write(i_token);
    out.Write(quint32(i_files));
    for (int n = 0; n < i_files; ++n)
    {
        FileInfo file("music\\user " + std::to_string(i_user) + "\\" + std::to_string(n) + " Track.mp3",
                      qint64(n) * 1000 + i_user);
        file.m_attributes.m_extension = "mp3";
        file.m_attributes.Add(0, 192);
        file.m_attributes.Add(1, 200 + n % 100);
        out.Write(file);
    }
    out.Write(quint8(1));
    for (quint32 value : {2560u, 0u, 0u})
        out.Write(value);
    MemStream message;
    OutputStream(message).Write(quint32(9));
    CompressBody(body, message);
    return message.ToByteArray();
}

double SearchSeconds(const std::vector<QByteArray>& i_replies, bool i_counted)
{
    StartEngine();
    if (!i_counted)
        peerMessenger->SetSearchReplyLimits(0, 0);
    d->GetType("search_request")->NewItem(Value(77u));
    QElapsedTimer timer;
    timer.start();
    for (size_t n = 0; n < i_replies.size(); ++n)
        peerMessenger->ReadMessage(QStringLiteral("user%1").arg(n), i_replies[n]);
    const double seconds = timer.nsecsElapsed() / 1e9;
    const size_t results = d->GetType("search_result")->GetItemCount();
    StopPeerOnlyEngine();
    return results == i_replies.size() * 250 ? seconds : -1;
}

void SearchReplies()
{
    std::vector<QByteArray> replies;
    for (int user = 0; user < 4000; ++user)
        replies.push_back(SearchReply(77, user, 250));
    const double uncounted = SearchSeconds(replies, false);
    const double counted = SearchSeconds(replies, true);
    std::printf("search_4000_replies_250_results: %.2f s%s\n", counted, counted < 0 ? " (results lost)" : "");
    std::printf("search_4000_replies_uncounted: %.2f s\n", uncounted);
    std::printf("search_4000_replies_vs_uncounted: %.2f ratio\n", counted / uncounted);
    std::fflush(stdout);
}
// One run of the client with no descriptor left when a peer connects, beside a peer that reads an
// answer of 8 MB at 6 MB/s and a connection that says nothing: whether the reader reads it whole, the
// silent one is reset and the log file holds the line that says so.
bool ReaderKeptWhenDescriptorsRunOut()
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    StartEngine();
    SetSetting(QStringLiteral("user_level_logging"), QStringLiteral("yes"));
    peerMessenger->OnPeerAddress(QStringLiteral("reader"), TCPAddress(0x7f000001u, 0), 0);
    constexpr int kAnswerBytes = 8 << 20;
    QObject::connect(peerMessenger, &PeerMessenger::UserInfoRequested, [](QString i_user) {
        MemStream reply;
        OutputStream(reply).Write(quint32(PM_USER_INFO_REPLY));
        const QByteArray filler(kAnswerBytes - 4, 'i');
        reply.WriteBuffer(filler.constData(), size_t(filler.size()));
        peerMessenger->SendMessage(i_user, reply);
    });
    const quint16 port = peerMessenger->ListeningPort();
    RawPeer framer;
    const QByteArray asks = framer.Frame(RawPeer::PeerInit("reader", "P"))
                            + framer.Frame(PeerMessages::BuildUserInfoRequest().ToByteArray());
    std::atomic<qint64> read{0};
    std::atomic<bool> whole{false};
    std::atomic<bool> ended{false};
    std::thread reader([&] {
        const int fd = ConnectFrom(0x7f000001u, port, 0, 64 * 1024);
        const timeval patience{30, 0};
        if (fd >= 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        char length[4];
        if (fd >= 0 && ::send(fd, asks.constData(), size_t(asks.size()), MSG_NOSIGNAL) == asks.size()
            && Receive(fd, length, sizeof length))
        {
            const qint64 size = qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(length));
            std::vector<char> chunk(64 * 1024);
            qint64 have = 0;
            while (have < size)
            {
                const ssize_t n =
                    ::recv(fd, chunk.data(), size_t(std::min<qint64>(qint64(chunk.size()), size - have)), 0);
                if (n <= 0)
                    break;
                have += n;
                read = have;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            whole = have == size && size == kAnswerBytes;
        }
        if (fd >= 0)
            ::close(fd);
        ended = true;
    });
    const auto runUntil = [](const std::function<bool()>& i_done, int i_ms) {
        QElapsedTimer timer;
        timer.start();
        while (!i_done() && timer.elapsed() < i_ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return i_done();
    };
    // The reader has begun to read; the silent one comes after its last word.
    bool ok = runUntil([&] { return read >= 1 << 20 || ended; }, 30000) && !ended;
    const int silent = ConnectFrom(0x7f000001u, port);
    ok = ok && silent >= 0 && runUntil([] { return peerMessenger->ConnectionCount() == 2; }, 10000);
    // Its socket is had while descriptors remain; it connects once none does.
    const int newcomer = ::socket(AF_INET, SOCK_STREAM, 0);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    rlimit lowered = limit;
    lowered.rlim_cur = 256;
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    std::vector<int> taken;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        taken.push_back(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok = ok && newcomer >= 0 && ::connect(newcomer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ok = ok && runUntil([] { return peerMessenger->ConnectionCount() == 1; }, 10000);
    for (int fd : taken)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ok = runUntil([&] { return bool(ended); }, 60000) && ok && whole;
    char byte = 0;
    const ssize_t got = silent >= 0 ? ::recv(silent, &byte, 1, MSG_DONTWAIT) : 1;
    const bool silentGone = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    QFile log(LogFolder() + QStringLiteral("Peer.log"));
    const bool logged = log.open(QIODevice::ReadOnly) && log.readAll().contains("Cannot accept a connection");
    StopPeerOnlyEngine();
    reader.join();
    for (int fd : {silent, newcomer})
        if (fd >= 0)
            ::close(fd);
    if (!ok || !silentGone || !logged)
        std::fprintf(stderr, "Out of descriptors: the reader %s, the silent connection %s, the line %s\n",
                     whole ? "read its answer" : "did not read its answer", silentGone ? "went" : "stayed",
                     logged ? "logged" : "missing");
    return ok && silentGone && logged;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    PartialFrames(false);
    PartialFrames(true);
    SearchReplies();
    HeldFolderRequests();
    constexpr int kRuns = 10;
    int kept = 0;
    for (int n = 0; n < kRuns; ++n)
        kept += ReaderKeptWhenDescriptorsRunOut() ? 1 : 0;
    std::printf("peer_reader_kept_when_descriptors_run_out: %d of %d\n", kept, kRuns);
    std::fflush(stdout);
    return kept == kRuns ? 0 : 1;
}
