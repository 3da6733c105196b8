// What hostile peers can still cost: the memory held by connections that each send most of a
// large frame and stop, from one address (its share) and from sixteen (the budget of all), and the time of search replies as a search fills up, against the same
// replies with nothing counted.

#include "Compression.h"
#include "Data.h"
#include "DataSaver.h"
#include "FileInfo.h"
#include "LoopbackSocket.h"
#include "PeakMemory.h"
#include "PeerMessenger.h"
#include "PeerOnlyEngine.h"
#include "RawPeer.h"
#include "TimerManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <malloc.h>
#include <netinet/in.h>
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

void StopEngine()
{
    delete peerMessenger;
    delete timerManager;
    delete dataSaver;
    dataSaver = nullptr;
    delete d;
    d = nullptr;
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
    StopEngine();
    const char* name = i_manyAddresses ? "16_addresses" : "16_connections";
    std::printf("peer_partial_frames_%s_kept: %d connections (%.0f MB)\n", name, held, heldMegabytes);
    std::printf("peer_partial_frames_%s_peak: %.0f MB\n", name, peak);
    std::fflush(stdout);
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
    StopEngine();
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
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    PartialFrames(false);
    PartialFrames(true);
    SearchReplies();
    return 0;
}
