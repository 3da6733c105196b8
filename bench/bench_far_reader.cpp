// A peer far away, at a round trip of 100 ms over a delaying link (DelayingLink.h), that reads a
// shares list: how long it waits, against the same with the system's queues left to the system's
// own sizing; and how many lists it reads whole, 20 times, while 250 peers under new names ask once
// each for a large folder and read nothing. Then, at a round trip of 300 ms, each list on a new
// connection, while 250 more, one every 0.1 s, ask for the folder and read 4 KiB of it every tenth
// of a second.

#include "DelayingLink.h"
#include "EngineStack.h"
#include "FreePorts.h"
#include "Log.h"
#include "LoopbackSocket.h"
#include "NeverReaders.h"
#include "PeakMemory.h"
#include "PeerMessages.h"
#include "RawPeer.h"
#include "RunFor.h"
#include "SendQueues.h"
#include "ShareItems.h"
#include "SharesSchema.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace
{
constexpr unsigned kEngines =
    EngineStack::ServerConnection | EngineStack::NoUpnp | EngineStack::Peers | EngineStack::Shares;
constexpr int kRoundTripMs = 100;
constexpr int kFarRoundTripMs = 300;

// i_files files under i_path, 20 to a folder, whose names of 240 random letters and digits hardly
// compress: some 180 bytes each in a shares list.
void AddFiles(const QString& i_path, int i_files, unsigned i_seed)
{
    const ItemPtr root = PublicShareRoot();
    Type* folders = d->GetType(types::kSharedFileFolder);
    std::mt19937 random(i_seed);
    const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_";
    std::uniform_int_distribution<int> letter(0, 63);
    ItemPtr folder;
    for (int n = 0; n < i_files; ++n)
    {
        if (n % 20 == 0)
        {
            folder = folders->GetItem(Value(QStringLiteral("%1/folder %2").arg(i_path).arg(n / 20)));
            folder.Connect(root);
        }
        QString name(240, QLatin1Char(' '));
        for (QChar& c : name)
            c = QLatin1Char(letters[letter(random)]);
        AddSharedFile(folder, name + QStringLiteral(".flac"), static_cast<long long>(random()));
    }
}

// A peer across the link that asks for the shares list i_times times, each once it has read the
// last one whole, and notes how long each took from its connection (or its ask) to the list's last
// byte. A connection closed under it is made again for the next try, as a user would; a new one
// for each, when asked.
class FarReader
{
public:
    FarReader(const DelayingLink& i_link, quint16 i_port, const QByteArray& i_user, int i_times,
              bool i_newConnections = false)
        : m_thread([this, &i_link, i_port, i_user, i_times, i_newConnections] {
            Run(i_link, i_port, i_user, i_times, i_newConnections);
        })
    {
    }
    ~FarReader() { m_thread.join(); }
    bool Done() const { return m_done; }
    int Completed() const { return m_completed; }
    // Milliseconds of each completed read, once Done.
    const std::vector<double>& Times() const { return m_times; }

private:
    void Run(const DelayingLink& i_link, quint16 i_port, const QByteArray& i_user, int i_times, bool i_newConnections)
    {
        constexpr quint32 kSharesList = 5;
        RawPeer framer;
        const QByteArray request = framer.Frame(PeerMessages::BuildGetSharedFileList().ToByteArray());
        std::vector<char> chunk(65536);
        int fd = -1;
        for (int n = 0; n < i_times; ++n)
        {
            QElapsedTimer timer;
            timer.start();
            QByteArray wire = request;
            if (fd < 0)
            {
                fd = i_link.ConnectFromFar(i_port);
                const timeval patience{120, 0};
                if (fd >= 0)
                    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
                wire.prepend(framer.Frame(RawPeer::PeerInit(i_user, "P")));
            }
            bool read = false;
            if (fd >= 0 && ::send(fd, wire.constData(), size_t(wire.size()), MSG_NOSIGNAL) == wire.size())
                while (!read)
                {
                    // The list is passed over, not kept: what this process grows by is the client's.
                    quint32 header[2] = {};
                    if (!Receive(fd, reinterpret_cast<char*>(header), sizeof header))
                        break;
                    size_t left = qFromLittleEndian(header[0]) - 4;
                    for (size_t n = 0; left > 0; left -= n)
                    {
                        n = std::min(left, chunk.size());
                        if (!Receive(fd, chunk.data(), n))
                            break;
                    }
                    if (left > 0)
                        break;
                    read = qFromLittleEndian(header[1]) == kSharesList;
                }
            if (read)
            {
                ++m_completed;
                m_times.push_back(timer.nsecsElapsed() / 1e6);
            }
            if ((!read || i_newConnections) && fd >= 0)
            {
                ::close(fd);
                fd = -1;
            }
        }
        if (fd >= 0)
            ::close(fd);
        m_done = true;
    }

    std::vector<double> m_times;
    std::atomic<int> m_completed{0};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

double Median(std::vector<double> i_values)
{
    std::sort(i_values.begin(), i_values.end());
    return i_values.empty() ? 0 : i_values[i_values.size() / 2];
}

// One read of the list over a new connection under a new name; its milliseconds, or 0.
double ReadOnce(const DelayingLink& i_link, int i_try)
{
    const QByteArray user = "far" + QByteArray::number(i_try);
    peerMessenger->OnPeerAddress(QString::fromLatin1(user), TCPAddress(DelayingLink::FarAddress, 0), 0);
    FarReader reader(i_link, peerMessenger->ListeningPort(), user, 1);
    while (!reader.Done())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return reader.Completed() == 1 ? reader.Times().front() : 0;
}

// The list's time with the system's queue of unsent bytes bounded as the client bounds it, against
// the same left to the system, alternately.
bool ListVsSystemSizing(const DelayingLink& i_link)
{
    AddFiles(QStringLiteral("/share/many"), 51000, 59);
    const double listMb = sharedFoldersManager->GetSharedFilesMessage(QStringLiteral("someone")).GetLength() / 1e6;
    ReadOnce(i_link, 0); // the list is built once and kept
    std::vector<double> bounded;
    std::vector<double> system;
    for (int n = 1; n <= 10; ++n)
    {
        const bool left = n % 2 == 0;
        PeerConnection::SetSystemUnsentBytes(left ? 0 : PeerConnection::SystemUnsentBytes);
        const double ms = ReadOnce(i_link, n);
        PeerConnection::SetSystemUnsentBytes(PeerConnection::SystemUnsentBytes);
        if (ms <= 0)
        {
            std::fprintf(stderr, "The shares list was not read\n");
            return false;
        }
        (left ? system : bounded).push_back(ms);
        RunFor(200);
    }
    std::printf("peer_far_reader_10mb_list_rtt100: %.0f ms (%.1f MB; with the system's sizing %.0f ms)\n",
                Median(bounded), listMb, Median(system));
    std::printf("peer_far_reader_10mb_list_rtt100_vs_system_sizing: %.2f ratio\n", Median(bounded) / Median(system));
    std::fflush(stdout);
    return true;
}

// The far peer reads a 12 MB list 20 times while 250 connections under new names, 50 from each of
// five loopback addresses, ask once each for the folder and read nothing, staying until it is done.
bool BesideNeverReaders(const DelayingLink& i_link)
{
    constexpr int kTimes = 20;
    const QString folder = MakeLargeFolder();
    const double listMb = sharedFoldersManager->GetSharedFilesMessage(QStringLiteral("someone")).GetLength() / 1e6;
    NeverReaders::Place(*peerMessenger);
    peerMessenger->OnPeerAddress(QStringLiteral("far reader"), TCPAddress(DelayingLink::FarAddress, 0), 0);
    int closed = 0;
    int farClosed = 0;
    SetLogSink([&closed, &farClosed](const QString&, const QString& i_line) {
        closed += i_line.contains(QLatin1String("Closing the connection P renamed")) ? 1 : 0;
        farClosed += i_line.contains(QLatin1String("Closing the connection P far reader")) ? 1 : 0;
    });
    closed = farClosed = 0; // the sink is handed every line kept so far
    RunFor(500);
    ResetPeak();
    const double baseline = PeakMegabytes();
    const quint16 port = peerMessenger->ListeningPort();
    FarReader reader(i_link, port, "far reader", kTimes);
    // The never-readers come once the far peer's first list is under way.
    RunFor(500);
    NeverReaders neverReaders(port, folder);
    QElapsedTimer timer;
    timer.start();
    qint64 queued = 0;
    while (!reader.Done())
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (neverReaders.Sent() && timer.elapsed() > 3000 && queued == 0)
            queued = std::max<qint64>(SendQueues(port), 1);
    }
    neverReaders.Wait();
    const double growth = PeakMegabytes() - baseline;
    SetLogSink(LogSink());
    std::printf("peer_far_reader_beside_never_readers_completed: %d of %d (a %.1f MB list; %zu never-readers, %d of "
                "them closed, the far reader's connection %d times; median %.0f ms a list)\n",
                reader.Completed(), kTimes, listMb, neverReaders.Connected(), closed, farClosed,
                Median(reader.Times()));
    std::printf("peer_far_reader_beside_never_readers_growth: %.0f MB (send queues %.0f MB)\n", growth, queued / 1e6);
    std::fflush(stdout);
    neverReaders.Close();
    RunFor(500);
    return reader.Completed() > 0;
}

// The far peer, at a round trip of 300 ms, reads the list 20 times, each over a new connection and
// so from the start of the system's slow start, while 250 peers under new names come one every 0.1 s,
// ask once each for the folder and read 4 KiB of it every tenth of a second: never still for long,
// with most of their answers still to take, and the bound binding while the far peer reads.
bool BesideTrickleReaders(DelayingLink& io_link, const QString& i_folder)
{
    constexpr int kTimes = 20;
    io_link.SetRoundTrip(kFarRoundTripMs);
    const double listMb = sharedFoldersManager->GetSharedFilesMessage(QStringLiteral("someone")).GetLength() / 1e6;
    NeverReaders::Place(*peerMessenger, QStringLiteral("trickle"));
    peerMessenger->OnPeerAddress(QStringLiteral("far reader"), TCPAddress(DelayingLink::FarAddress, 0), 0);
    int closed = 0;
    int farClosed = 0;
    SetLogSink([&closed, &farClosed](const QString&, const QString& i_line) {
        closed += i_line.contains(QLatin1String("Closing the connection P trickle")) ? 1 : 0;
        farClosed += i_line.contains(QLatin1String("Closing the connection P far reader")) ? 1 : 0;
    });
    closed = farClosed = 0;
    RunFor(500);
    ResetPeak();
    const double baseline = PeakMegabytes();
    const quint16 port = peerMessenger->ListeningPort();
    FarReader reader(io_link, port, "far reader", kTimes, true);
    RunFor(500);
    NeverReaders trickleReaders(port, i_folder, "trickle", 4096, 100);
    // The client keeps what the server says of an address for a minute; it would ask again.
    QElapsedTimer placed;
    for (placed.start(); !reader.Done();)
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (placed.elapsed() >= 10000)
        {
            peerMessenger->OnPeerAddress(QStringLiteral("far reader"), TCPAddress(DelayingLink::FarAddress, 0), 0);
            placed.restart();
        }
    }
    const double growth = PeakMegabytes() - baseline;
    trickleReaders.Wait();
    SetLogSink(LogSink());
    std::printf("peer_far_reader_beside_trickle_readers_completed: %d of %d (a %.1f MB list at a %d ms round trip; "
                "%zu trickle readers, %d of them closed, the far reader's connection %d times; median %.0f ms a "
                "list)\n",
                reader.Completed(), kTimes, listMb, kFarRoundTripMs, trickleReaders.Connected(), closed, farClosed,
                Median(reader.Times()));
    std::printf("peer_far_reader_beside_trickle_readers_growth: %.0f MB\n", growth);
    std::fflush(stdout);
    trickleReaders.Close();
    RunFor(500);
    io_link.SetRoundTrip(kRoundTripMs);
    return reader.Completed() > 0;
}
} // namespace

int main(int argc, char** argv)
{
    if (!DelayingLink::Isolate())
    {
        std::fprintf(stderr, "A network namespace of its own needs root\n");
        return 1;
    }
    QCoreApplication app(argc, argv);
    EngineStack engines(kEngines);
    SetSetting(QStringLiteral("username"), QStringLiteral("me"));
    SetSetting(QStringLiteral("new_listening_port"), QString::number(FreePortPair()));
    dataSaver->NotifyFirstStart();
    DelayingLink link(kRoundTripMs);
    if (!link.Up())
    {
        std::fprintf(stderr, "The delaying link is not up\n");
        return 1;
    }
    const bool list = ListVsSystemSizing(link);
    const bool beside = BesideNeverReaders(link);
    const bool trickle = BesideTrickleReaders(link, QStringLiteral("\\share\\leeched"));
    return list && beside && trickle ? 0 : 1;
}
