// Peers that ask and never read: the memory 100 user-information requests cost against a 20 MB
// picture, and the time on this (the GUI) thread that 40 shares-list requests cost against a share
// of 480,000 files, next to building that list once. And peers that read: 8 from 8 addresses that
// each ask for the same list 20 times, each time once they have read the last one, and 8 more that
// queue a file before each ask. Then a peer's wait for its user information while others ask for
// one folder's contents, each under a spelling of its own. Last, peers that ask once each, under 250
// new names, and read nothing: what the process and the system's send queues hold for them, and how
// long a well-behaved peer waits meanwhile for its user information.

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
#include "TransfersSchema.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QtEndian>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace
{
constexpr unsigned kEngines =
    EngineStack::ServerConnection | EngineStack::NoUpnp | EngineStack::Peers | EngineStack::Shares;
constexpr int kFolders = 24000;
constexpr int kFilesPerFolder = 20; // 480,000 files

// A peer on a plain blocking socket that says who it is, sends its bytes, and never reads.
class NonReader
{
public:
    NonReader(quint16 i_port, const QByteArray& i_user, const QByteArray& i_bytes)
        : m_thread([this, i_port, i_user, i_bytes] {
            m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(i_port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            RawPeer framer;
            const QByteArray wire = framer.Frame(RawPeer::PeerInit(i_user, "P")) + i_bytes;
            if (m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                ::send(m_fd, wire.constData(), size_t(wire.size()), MSG_NOSIGNAL);
            m_sent = true;
        })
    {
    }
    ~NonReader()
    {
        m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool Sent() const { return m_sent; }

private:
    int m_fd = -1;
    std::atomic<bool> m_sent{false};
    std::thread m_thread;
};

QByteArray Repeated(const QByteArray& i_payload, int i_count)
{
    RawPeer framer;
    QByteArray wire;
    for (int n = 0; n < i_count; ++n)
        wire += framer.Frame(i_payload);
    return wire;
}

// Where the server would place a raw peer of this machine; without it the peer's requests are
// not read at all.
void Place(const QString& i_user)
{
    peerMessenger->OnPeerAddress(i_user, TCPAddress(0x7f000001u, 0), 0);
}

bool UnreadAnswers()
{
    // Built afresh for each request, as the users window reads the picture file each time.
    int answered = 0;
    const QMetaObject::Connection answering =
        QObject::connect(peerMessenger, &PeerMessenger::UserInfoRequested, [&answered](QString i_user) {
            ++answered;
            MemStream reply = PeerMessages::BuildUserInfoReply(QStringLiteral("me"), true,
                                                               QByteArray(20 * 1000 * 1000, 'p'), 1, 0, true);
            peerMessenger->SendMessage(i_user, reply);
        });
    ResetPeak();
    const double baseline = PeakMegabytes();
    Place(QStringLiteral("asker"));
    {
        NonReader peer(peerMessenger->ListeningPort(), "asker",
                       Repeated(PeerMessages::BuildUserInfoRequest().ToByteArray(), 100));
        QElapsedTimer timer;
        timer.start();
        while (!peer.Sent() && timer.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        RunFor(3000);
        std::printf("peer_unread_answers_waiting: %.0f MB\n", peerMessenger->WaitingBytes() / 1e6);
        std::printf("peer_unread_answers_peak: %.0f MB\n", PeakMegabytes() - baseline);
    }
    RunFor(500);
    std::printf("peer_unread_answers_after_the_peer_left: %.0f MB waiting\n", peerMessenger->WaitingBytes() / 1e6);
    QObject::disconnect(answering);
    std::fflush(stdout);
    if (answered == 0)
        std::fprintf(stderr, "No user-information request was answered\n");
    return answered > 0;
}

// The share as a scan leaves it in the data model, without files on disk.
void MakeShare()
{
    const ItemPtr root = PublicShareRoot();
    Type* folders = d->GetType(types::kSharedFileFolder);
    for (int f = 0; f < kFolders; ++f)
    {
        ItemPtr folder = folders->GetItem(Value(QStringLiteral("/share/artist %1/album %2").arg(f / 10).arg(f % 10)));
        folder.Connect(root);
        for (int n = 0; n < kFilesPerFolder; ++n)
        {
            AddSharedFile(folder, QStringLiteral("%1 track number %2 of the album.flac").arg(n).arg(f),
                          1000000 + f * 31 + n);
        }
    }
}

// A remote path of the share, different for each (n, f).
std::string SharedFilePath(int i_n, int i_f)
{
    return QStringLiteral("\\share\\artist %1\\album %2\\%3 track number %4 of the album.flac")
        .arg(i_f / 10)
        .arg(i_f % 10)
        .arg(i_n)
        .arg(i_f)
        .toStdString();
}

// A peer on a plain blocking socket from a loopback address of its own that asks for the shares list
// (or sends another request) i_times times, reading each answer whole before it asks again. A
// queueing one first queues a file of the share each time, as a busy client's peers do; the
// messages the upload side then sends it are read and passed over until its list comes.
class Reader
{
public:
    Reader(quint16 i_port, quint32 i_from, const QByteArray& i_user, int i_times,
           const QByteArray& i_request = PeerMessages::BuildGetSharedFileList().ToByteArray(), int i_queueing = -1)
        : m_request(i_request)
        , m_thread(
              [this, i_port, i_from, i_user, i_times, i_queueing] { Run(i_port, i_from, i_user, i_times, i_queueing); })
    {
    }
    ~Reader() { m_thread.join(); }
    bool Done() const { return m_done; }
    int Read() const { return m_read; }

private:
    // Notes the lists read before it says it is done, which the bench's thread reads then.
    void Run(quint16 i_port, quint32 i_from, const QByteArray& i_user, int i_times, int i_queueing)
    {
        constexpr quint32 kSharesList = 5;
        m_fd = ConnectFrom(i_from, i_port);
        // A peer left unanswered gives up, as a user would, rather than hold the bench for ever.
        const timeval patience{120, 0};
        if (m_fd >= 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        int read = 0;
        RawPeer framer;
        const QByteArray request = framer.Frame(m_request);
        QByteArray wire = framer.Frame(RawPeer::PeerInit(i_user, "P"));
        std::vector<char> answer;
        if (m_fd >= 0)
            for (; read < i_times; ++read)
            {
                if (i_queueing >= 0)
                    wire +=
                        framer.Frame(PeerMessages::BuildQueueUpload(SharedFilePath(read, i_queueing)).ToByteArray());
                wire += request;
                if (::send(m_fd, wire.constData(), size_t(wire.size()), MSG_NOSIGNAL) != wire.size())
                    break;
                wire.clear();
                bool answered = false;
                while (!answered)
                {
                    quint32 length = 0;
                    quint32 code = 0;
                    if (!Receive(m_fd, reinterpret_cast<char*>(&length), sizeof length))
                        break;
                    answer.resize(qFromLittleEndian(length));
                    if (answer.size() < sizeof code || !Receive(m_fd, answer.data(), answer.size()))
                        break;
                    code = qFromLittleEndian<quint32>(answer.data());
                    answered = i_queueing < 0 || code == kSharesList;
                }
                if (!answered)
                    break;
            }
        if (m_fd >= 0)
            ::close(m_fd);
        m_read = read;
        m_done = true;
    }

    const QByteArray m_request;
    int m_fd = -1;
    std::atomic<bool> m_done{false};
    std::atomic<int> m_read{0};
    std::thread m_thread;
};

// The list kept from an earlier build would spare the readers every build: they start from none.
void ForgetKeptList()
{
    ShareRoot().Disconnect(types::kSharedPublic);
    ShareRoot().Connect(d->GetType(types::kSharedPublic)->GetGlobalNullItem());
}

// 8 readers that each read the list 20 times; queueing ones queue a file of the share before each ask.
bool ReadSharesLists(double i_oneMs, bool i_queueing)
{
    constexpr int kPeers = 8;
    constexpr int kTimes = 20;
    const QString name = i_queueing ? QStringLiteral("queuer") : QStringLiteral("reader");
    const quint32 first = i_queueing ? 0x7f000002u + kPeers : 0x7f000002u;
    for (int n = 0; n < kPeers; ++n)
        peerMessenger->OnPeerAddress(name + QString::number(n), TCPAddress(first + quint32(n), 0), 0);
    ForgetKeptList();
    QElapsedTimer timer;
    timer.start();
    std::vector<std::unique_ptr<Reader>> readers;
    for (int n = 0; n < kPeers; ++n)
        readers.push_back(std::make_unique<Reader>(
            peerMessenger->ListeningPort(), first + quint32(n), name.toUtf8() + QByteArray::number(n), kTimes,
            PeerMessages::BuildGetSharedFileList().ToByteArray(), i_queueing ? n : -1));
    const auto done = [&readers] {
        return std::all_of(readers.begin(), readers.end(), [](const auto& i_reader) { return i_reader->Done(); });
    };
    while (!done() && timer.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double totalMs = timer.nsecsElapsed() / 1e6;
    int read = 0;
    for (const auto& reader : readers)
        read += reader->Done() ? reader->Read() : 0;
    if (i_queueing)
    {
        const std::size_t queued = d->GetType(types::kUploadEntry)->GetItemCount();
        std::printf("peer_read_shares_list_8_queueing_peers_gui_total: %.0f ms (%d lists read, %zu uploads "
                    "queued)\n",
                    totalMs, read, queued);
        std::printf("peer_read_shares_list_8_queueing_peers_vs_one: %.2f ratio\n", totalMs / i_oneMs);
        if (queued != std::size_t(kPeers * kTimes))
        {
            std::fprintf(stderr, "%zu of %d uploads were queued\n", queued, kPeers * kTimes);
            return false;
        }
    }
    else
    {
        std::printf("peer_read_shares_list_8_peers_gui_total: %.0f ms (%d lists read)\n", totalMs, read);
        std::printf("peer_read_shares_list_8_peers_vs_one: %.2f ratio\n", totalMs / i_oneMs);
    }
    std::fflush(stdout);
    if (read != kPeers * kTimes)
        std::fprintf(stderr, "%d of %d shares lists were read\n", read, kPeers * kTimes);
    return read == kPeers * kTimes;
}

bool RepeatedSharesList()
{
    MakeShare();
    QElapsedTimer timer;
    timer.start();
    const MemStream list = sharedFoldersManager->GetSharedFilesMessage(QStringLiteral("someone"));
    const double oneMs = timer.nsecsElapsed() / 1e6;
    std::printf("peer_shares_list_480000_files: %.0f ms (%.1f MB)\n", oneMs, list.GetLength() / 1e6);
    const bool read = ReadSharesLists(oneMs, false);

    // A message after the requests tells when they have all been read.
    bool done = false;
    QObject::connect(peerMessenger, &PeerMessenger::DownloadPlaceInLine, [&done] { done = true; });
    const QByteArray wire = Repeated(PeerMessages::BuildGetSharedFileList().ToByteArray(), 40)
                            + Repeated(PeerMessages::BuildUploadPlaceInLine(QStringLiteral("end"), 1).ToByteArray(), 1);
    Place(QStringLiteral("browser"));
    NonReader peer(peerMessenger->ListeningPort(), "browser", wire);
    while (!peer.Sent())
        std::this_thread::yield();
    timer.start();
    while (!done && timer.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double totalMs = timer.nsecsElapsed() / 1e6;
    std::printf("peer_repeated_shares_list_gui_total: %.0f ms\n", totalMs);
    std::printf("peer_repeated_shares_list_vs_one: %.2f ratio\n", totalMs / oneMs);
    std::fflush(stdout);
    if (!done)
        std::fprintf(stderr, "The shares-list requests were not all read\n");

    // Last, as the upload side it needs stays for the rest of the run.
    TransferQueueManager uploads;
    const bool readQueueing = ReadSharesLists(oneMs, true);
    return done && read && readQueueing;
}

// How long a peer waits for its user information while five others ask 33 times each for the
// contents of that folder and read nothing.
bool FolderContentsLeeches()
{
    const QString folder = MakeLargeFolder();
    QElapsedTimer timer;
    timer.start();
    MemStream one;
    sharedFoldersManager->BuildFolderContentsReply(QStringLiteral("someone"), 1, folder, one);
    std::printf("peer_folder_contents_60000_files: %.0f ms (%.1f MB)\n", timer.nsecsElapsed() / 1e6,
                one.GetLength() / 1e6);
    ForgetKeptList(); // of the build above

    const QMetaObject::Connection answering =
        QObject::connect(peerMessenger, &PeerMessenger::UserInfoRequested, [](QString i_user) {
            MemStream reply = PeerMessages::BuildUserInfoReply(QStringLiteral("me"), false, QByteArray(), 1, 0, true);
            peerMessenger->SendMessage(i_user, reply);
        });
    constexpr int kLeeches = 5;
    std::vector<std::unique_ptr<NonReader>> leeches;
    for (int n = 0; n < kLeeches; ++n)
    {
        QByteArray wire;
        RawPeer framer;
        for (quint32 request = 1; request <= 33; ++request)
            wire += framer.Frame(PeerMessages::BuildGetSharedFilesInFolder(request, folder).ToByteArray());
        const QByteArray user = "leech" + QByteArray::number(n);
        Place(QString::fromLatin1(user));
        leeches.push_back(std::make_unique<NonReader>(peerMessenger->ListeningPort(), user, wire));
    }
    const auto sent = [&leeches] {
        return std::all_of(leeches.begin(), leeches.end(), [](const auto& i_leech) { return i_leech->Sent(); });
    };
    while (!sent())
        std::this_thread::yield();
    peerMessenger->OnPeerAddress(QStringLiteral("pinger"), TCPAddress(0x7f0000f0u, 0), 0);
    timer.start();
    Reader pinger(peerMessenger->ListeningPort(), 0x7f0000f0u, "pinger", 1,
                  PeerMessages::BuildUserInfoRequest().ToByteArray());
    while (!pinger.Done() && timer.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double pingMs = timer.nsecsElapsed() / 1e6;
    std::printf("peer_folder_contents_5_leeches_ping: %.0f ms\n", pingMs);
    std::fflush(stdout);
    leeches.clear();
    RunFor(500);
    QObject::disconnect(answering);
    if (pinger.Read() != 1)
        std::fprintf(stderr, "The user information was not read\n");
    return pinger.Read() == 1;
}

// What this thread has run on a processor, in milliseconds.
double ThreadCpuMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// A peer that asks for our user information every 20 ms from an address of its own, each time
// once it has read the last answer, and notes how long each answer took.
class Pinger
{
public:
    Pinger(quint16 i_port, quint32 i_from, const QByteArray& i_user)
        : m_thread([this, i_port, i_from, i_user] { Run(i_port, i_from, i_user); })
    {
    }
    ~Pinger()
    {
        m_stop = true;
        m_thread.join();
    }
    void Stop() { m_stop = true; }
    bool Done() const { return m_done; }
    // The waits in milliseconds, once Done.
    const std::vector<double>& Waits() const { return m_waits; }

private:
    void Run(quint16 i_port, quint32 i_from, const QByteArray& i_user)
    {
        constexpr quint32 kUserInfoReply = 16;
        const int fd = ConnectFrom(i_from, i_port);
        const timeval patience{120, 0};
        if (fd >= 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        RawPeer framer;
        const QByteArray request = framer.Frame(PeerMessages::BuildUserInfoRequest().ToByteArray());
        QByteArray wire = framer.Frame(RawPeer::PeerInit(i_user, "P")) + request;
        std::vector<char> answer;
        while (fd >= 0 && !m_stop)
        {
            QElapsedTimer timer;
            timer.start();
            if (::send(fd, wire.constData(), size_t(wire.size()), MSG_NOSIGNAL) != wire.size())
                break;
            wire = request;
            quint32 code = 0;
            while (code != kUserInfoReply)
            {
                quint32 length = 0;
                if (!Receive(fd, reinterpret_cast<char*>(&length), sizeof length))
                    break;
                answer.resize(qFromLittleEndian(length));
                if (answer.size() < sizeof code || !Receive(fd, answer.data(), answer.size()))
                    break;
                code = qFromLittleEndian<quint32>(answer.data());
            }
            if (code != kUserInfoReply)
                break;
            m_waits.push_back(timer.nsecsElapsed() / 1e6);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (fd >= 0)
            ::close(fd);
        m_done = true;
    }

    std::vector<double> m_waits;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// The folder's remote path with its separators i_bits (one bit each, first separator lowest)
// spelt "/": the client finds the folder under any of them.
QString Spelling(QString i_remote, unsigned i_bits)
{
    for (int at = 0, bit = 0; (at = int(i_remote.indexOf(QLatin1Char('\\'), at))) >= 0; ++at, ++bit)
        if (i_bits & (1u << bit))
            i_remote[at] = QLatin1Char('/');
    return i_remote;
}

// How long a well-behaved peer waits for its user information (the median of its asks) while
// 20 new names a second, for three seconds, each ask once for the contents of a 60,000-file folder
// five levels deep, under one of 20 spellings, and read the answer.
bool FolderContentsSpellings()
{
    constexpr int kSpellings = 20;
    constexpr int kAskers = 60;
    const QString folder = MakeLargeFolder(QStringLiteral("/share/one/two/three/four"));
    ForgetKeptList();
    const QMetaObject::Connection answering =
        QObject::connect(peerMessenger, &PeerMessenger::UserInfoRequested, [](QString i_user) {
            MemStream reply = PeerMessages::BuildUserInfoReply(QStringLiteral("me"), false, QByteArray(), 1, 0, true);
            peerMessenger->SendMessage(i_user, reply);
        });
    int builds = 0;
    SetLogSink([&builds](const QString&, const QString& i_line) {
        builds += i_line.contains(QLatin1String("Building the contents of")) ? 1 : 0;
    });
    builds = 0; // the sink is handed every line kept so far
    const quint16 port = peerMessenger->ListeningPort();
    peerMessenger->OnPeerAddress(QStringLiteral("spelling pinger"), TCPAddress(0x7f0000f1u, 0), 0);
    Pinger pinger(port, 0x7f0000f1u, "spelling pinger");
    std::vector<std::unique_ptr<Reader>> askers;
    const auto done = [&askers] {
        return askers.size() == kAskers
               && std::all_of(askers.begin(), askers.end(), [](const auto& i_asker) { return i_asker->Done(); });
    };
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 300000)
    {
        if (askers.size() < kAskers && timer.elapsed() >= qint64(askers.size()) * 1000 / 20)
        {
            const int n = int(askers.size());
            const QByteArray user = "speller" + QByteArray::number(n);
            const quint32 from = 0x7f000200u + quint32(n);
            peerMessenger->OnPeerAddress(QString::fromLatin1(user), TCPAddress(from, 0), 0);
            askers.push_back(std::make_unique<Reader>(
                port, from, user, 1,
                PeerMessages::BuildGetSharedFilesInFolder(quint32(n), Spelling(folder, unsigned(n % kSpellings)))
                    .ToByteArray()));
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    const double askedMs = timer.nsecsElapsed() / 1e6;
    pinger.Stop();
    while (!pinger.Done() && timer.elapsed() < 420000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QObject::disconnect(answering);
    SetLogSink(LogSink());
    int read = 0;
    for (const auto& asker : askers)
        read += asker->Done() ? asker->Read() : 0;
    std::vector<double> waits = pinger.Done() ? pinger.Waits() : std::vector<double>();
    std::sort(waits.begin(), waits.end());
    const double median = waits.empty() ? 0 : waits[waits.size() / 2];
    std::printf("peer_folder_contents_20_spellings_ping: %.1f ms (worst %.0f ms of %zu; %d answers read in %.0f ms, "
                "%d built)\n",
                median, waits.empty() ? 0 : waits.back(), waits.size(), read, askedMs, builds);
    std::fflush(stdout);
    if (read != kAskers || waits.empty())
        std::fprintf(stderr, "%d of %d folder answers read, %zu pings answered\n", read, kAskers, waits.size());
    return read == kAskers && !waits.empty();
}

// 250 connections under new names, 50 from each of five addresses, that each ask once for the
// contents of the folder of 60,000 files and read nothing: what the process and the system then
// hold for them, and how long a well-behaved peer waits for its user information meanwhile.
bool NeverReadersUnderNewNames(const QString& i_folder)
{
    int asked = 0;
    const QMetaObject::Connection counting =
        QObject::connect(peerMessenger, &PeerMessenger::SharedFilesInFolderRequested, [&asked] { ++asked; });
    const QMetaObject::Connection answering =
        QObject::connect(peerMessenger, &PeerMessenger::UserInfoRequested, [](QString i_user) {
            MemStream reply = PeerMessages::BuildUserInfoReply(QStringLiteral("me"), false, QByteArray(), 1, 0, true);
            peerMessenger->SendMessage(i_user, reply);
        });
    NeverReaders::Place(*peerMessenger);
    peerMessenger->OnPeerAddress(QStringLiteral("burst pinger"), TCPAddress(0x7f0000f2u, 0), 0);
    // Built and kept before they come, so that the pings wait on what the burst costs, not on a build.
    MemStream built;
    sharedFoldersManager->BuildFolderContentsReply(QStringLiteral("someone"), 1, i_folder, built);
    RunFor(500);
    ResetPeak();
    const double baseline = PeakMegabytes();
    const quint16 port = peerMessenger->ListeningPort();
    Pinger pinger(port, 0x7f0000f2u, "burst pinger");
    RunFor(300);
    const double cpuBefore = ThreadCpuMs();
    NeverReaders neverReaders(port, i_folder);
    QElapsedTimer timer;
    timer.start();
    while ((!neverReaders.Sent() || asked < NeverReaders::Names) && timer.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const double cpuMs = ThreadCpuMs() - cpuBefore;
    neverReaders.Wait();
    pinger.Stop();
    while (!pinger.Done() && timer.elapsed() < 180000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QObject::disconnect(answering);
    std::vector<double> waits = pinger.Done() ? pinger.Waits() : std::vector<double>();
    std::sort(waits.begin(), waits.end());
    const double worstPing = waits.empty() ? 0 : waits.back();
    // The budget closes connections while the last requests are answered: a second after, the
    // system holds nothing more for them.
    RunFor(1000);
    int closedLeft = 0;
    const qint64 closedQueued = ClosedSendQueues(port, &closedLeft);
    RunFor(1000);
    int kept = 0;
    const qint64 queued = SendQueues(port, &kept);
    std::printf("peer_never_readers_250_new_names_growth: %.0f MB (%d connections asked, %d kept)\n",
                PeakMegabytes() - baseline, asked, kept);
    std::printf("peer_never_readers_250_new_names_send_queues: %.0f MB\n", queued / 1e6);
    std::printf("peer_budget_closed_left_in_system: %.1f MB (%d of %d closed connections left)\n", closedQueued / 1e6,
                closedLeft, NeverReaders::Names - kept);
    std::printf("peer_never_readers_250_new_names_worst_ping: %.0f ms (median %.1f ms of %zu answers; this thread busy "
                "%.0f ms while they asked)\n",
                worstPing, waits.empty() ? 0 : waits[waits.size() / 2], waits.size(), cpuMs);
    std::fflush(stdout);
    neverReaders.Close();
    RunFor(500);
    QObject::disconnect(counting);
    if (asked < NeverReaders::Names)
        std::fprintf(stderr, "%d of %d folder requests were read\n", asked, NeverReaders::Names);
    if (waits.empty())
        std::fprintf(stderr, "No user-information request was answered\n");
    return asked == NeverReaders::Names && !waits.empty();
}
// In place of the benches' share, one of its own whose shares list is some 1 MB: 5,500 files whose
// names of 240 random letters hardly compress.
void ShareOnlyAMegabyteList()
{
    ShareRoot().Disconnect(types::kSharedPublic);
    ItemPtr root = d->GetType(types::kSharedFolder)->GetItem(Value(QStringLiteral("/small")));
    root.Connect(d->GetType(types::kSharedPublic)->GetGlobalNullItem());
    Type* folders = d->GetType(types::kSharedFileFolder);
    std::mt19937 random(61);
    std::uniform_int_distribution<int> letter(0, 25);
    ItemPtr folder;
    for (int n = 0; n < 5500; ++n)
    {
        if (n % 20 == 0)
        {
            folder = folders->GetItem(Value(QStringLiteral("/small/folder %1").arg(n / 20)));
            folder.Connect(root);
        }
        QString name(240, QLatin1Char(' '));
        for (QChar& c : name)
            c = QLatin1Char(char('a' + letter(random)));
        AddSharedFile(folder, name + QStringLiteral(".flac"), static_cast<long long>(random()));
    }
}

// 100 peers under new names, 20 from each of five addresses, that each ask once for a shares list
// of some 1 MB, read nothing and then close, four times over: what the process holds after each
// burst more than before the first came.
bool NeverReadersKeptAfterClose()
{
    constexpr int kPeers = 100;
    constexpr int kRounds = 4;
    constexpr quint32 kFirstAddress = 0x7f000401u; // 127.0.4.1
    ShareOnlyAMegabyteList();
    const double listMb = sharedFoldersManager->GetSharedFilesMessage(QStringLiteral("someone")).GetLength() / 1e6;
    const quint16 port = peerMessenger->ListeningPort();
    RawPeer framer;
    const QByteArray request = framer.Frame(PeerMessages::BuildGetSharedFileList().ToByteArray());
    std::vector<double> kept;
    double before = 0;
    for (int round = 0; round < kRounds; ++round)
    {
        for (int n = 0; n < kPeers; ++n)
            peerMessenger->OnPeerAddress(QStringLiteral("leaver%1").arg(round * kPeers + n),
                                         TCPAddress(kFirstAddress + quint32(n % 5), 0), 0);
        RunFor(500);
        if (round == 0)
        {
            ResetPeak();
            before = ResidentMegabytes();
        }
        std::vector<int> peers;
        std::atomic<bool> sent{false};
        std::thread connecting([&] {
            for (int n = 0; n < kPeers; ++n)
            {
                const int fd = ConnectFrom(kFirstAddress + quint32(n % 5), port);
                if (fd < 0)
                    continue;
                const QByteArray wire =
                    framer.Frame(RawPeer::PeerInit("leaver" + QByteArray::number(round * kPeers + n), "P")) + request;
                ::send(fd, wire.constData(), size_t(wire.size()), MSG_NOSIGNAL);
                peers.push_back(fd);
            }
            sent = true;
        });
        QElapsedTimer timer;
        timer.start();
        while (!sent && timer.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        connecting.join();
        RunFor(2000);
        for (const int fd : peers)
            ::close(fd);
        RunFor(1000);
        kept.push_back(ResidentMegabytes() - before);
    }
    QString rounds;
    for (const double megabytes : kept)
        rounds +=
            QStringLiteral("%1%2").arg(rounds.isEmpty() ? QString() : QStringLiteral(", ")).arg(megabytes, 0, 'f', 0);
    std::printf("peer_never_readers_kept_after_close: %.0f MB (a %.1f MB list; after each of %d bursts of %d: %s)\n",
                *std::max_element(kept.begin(), kept.end()), listMb, kRounds, kPeers, qPrintable(rounds));
    std::fflush(stdout);
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    EngineStack engines(kEngines);
    SetSetting(QStringLiteral("username"), QStringLiteral("me"));
    SetSetting(QStringLiteral("new_listening_port"), QString::number(FreePortPair()));
    dataSaver->NotifyFirstStart();
    const bool answered = UnreadAnswers();
    const bool shares = RepeatedSharesList();
    const bool leeches = FolderContentsLeeches();
    const bool spellings = FolderContentsSpellings();
    const bool renamed = NeverReadersUnderNewNames(QStringLiteral("\\share\\leeched"));
    const bool left = NeverReadersKeptAfterClose();
    return left && renamed && spellings && leeches && shares && answered ? 0 : 1;
}
