// A peer far away, at a round trip of 100 ms over a delaying link (DelayingLink.h), that reads a
// shares list: how long it waits, against the same with the system's queues left to the system's
// own sizing; and how many lists it reads whole, 20 times, while 250 peers under new names ask once
// each for a large folder and read nothing. Then, at a round trip of 300 ms, each list on a new
// connection, while 250 more, one every 0.1 s, ask for the folder and read 4 KiB of it every tenth
// of a second.
//
// Then who gives way past the bound of all peers while peers keep coming under new names, so that it
// chooses all along: a far reader at 300 ms, under bbr and under cubic, beside peers that read 4 KiB
// every tenth of a second through a fixed 8 KiB buffer, and beside peers that read all they can for
// 0.2 s and then nothing for 0.7 s; a far reader whose path loses 1 % of its packets and a reader
// behind a line of 100 KB/s, at once; and peers that read steadily at 40 KiB/s while bursts of
// never-readers come. Each figure counts the answers read whole, and the bound's closes are told by
// the kind of peer they fell on.

#include "ArrivingReaders.h"
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
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
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
constexpr double kGrowthLimitMb = 320;

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

// A peer that asks for the shares list (or another answer) i_times times, each once it has read the
// last one whole, and notes how long each took from its connection (or its ask) to the answer's
// last byte. It reads all it is given, or at most i_bytesEachTenth every tenth of a second. A
// connection closed under it is made again for the next try, as a user would; a new one for each,
// when asked.
class FarReader
{
public:
    using Connect = std::function<int()>;
    FarReader(Connect i_connect, const QByteArray& i_user, int i_times, bool i_newConnections = false,
              const QByteArray& i_request = PeerMessages::BuildGetSharedFileList().ToByteArray(),
              quint32 i_answerCode = kSharesList, int i_bytesEachTenth = 0)
        : m_bytesEachTenth(i_bytesEachTenth)
        , m_thread([this, i_connect, i_user, i_times, i_newConnections, i_request, i_answerCode] {
            Run(i_connect, i_user, i_times, i_newConnections, i_request, i_answerCode);
        })
    {
    }
    FarReader(const DelayingLink& i_link, quint16 i_port, const QByteArray& i_user, int i_times,
              bool i_newConnections = false)
        : FarReader([&i_link, i_port] { return i_link.ConnectFromFar(i_port); }, i_user, i_times, i_newConnections)
    {
    }
    ~FarReader() { m_thread.join(); }
    bool Done() const { return m_done; }
    int Completed() const { return m_completed; }
    // Milliseconds of each completed read, once Done.
    const std::vector<double>& Times() const { return m_times; }

    static constexpr quint32 kSharesList = 5;
    static constexpr quint32 kFolderContents = 37;

private:
    void Run(const Connect& i_connect, const QByteArray& i_user, int i_times, bool i_newConnections,
             const QByteArray& i_request, quint32 i_answerCode)
    {
        RawPeer framer;
        const QByteArray request = framer.Frame(i_request);
        std::vector<char> chunk(65536);
        int fd = -1;
        for (int n = 0; n < i_times; ++n)
        {
            QElapsedTimer timer;
            timer.start();
            QByteArray wire = request;
            if (fd < 0)
            {
                fd = i_connect();
                const timeval patience{120, 0};
                if (fd >= 0)
                    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
                wire.prepend(framer.Frame(RawPeer::PeerInit(i_user, "P")));
            }
            bool read = false;
            if (fd >= 0 && ::send(fd, wire.constData(), size_t(wire.size()), MSG_NOSIGNAL) == wire.size())
                while (!read)
                {
                    // The answer is passed over, not kept: what this process grows by is the client's.
                    quint32 header[2] = {};
                    if (!Take(fd, reinterpret_cast<char*>(header), sizeof header))
                        break;
                    size_t left = qFromLittleEndian(header[0]) - 4;
                    for (size_t n = 0; left > 0; left -= n)
                    {
                        n = std::min(left, chunk.size());
                        if (!Take(fd, chunk.data(), n))
                            break;
                    }
                    if (left > 0)
                        break;
                    read = qFromLittleEndian(header[1]) == i_answerCode;
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

    // Receive, at the reader's pace.
    bool Take(int i_fd, char* o_bytes, size_t i_size)
    {
        if (m_bytesEachTenth == 0)
            return Receive(i_fd, o_bytes, i_size);
        using Clock = std::chrono::steady_clock;
        for (size_t have = 0; have < i_size;)
        {
            if (m_leftThisTenth == 0)
            {
                std::this_thread::sleep_until(m_nextTenth);
                m_nextTenth = std::max(m_nextTenth, Clock::now()) + std::chrono::milliseconds(100);
                m_leftThisTenth = size_t(m_bytesEachTenth);
            }
            const ssize_t n = ::recv(i_fd, o_bytes + have, std::min(i_size - have, m_leftThisTenth), 0);
            if (n <= 0)
                return false;
            have += size_t(n);
            m_leftThisTenth -= size_t(n);
        }
        return true;
    }

    const int m_bytesEachTenth;
    size_t m_leftThisTenth = 0;
    std::chrono::steady_clock::time_point m_nextTenth;
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

// The connections the bound of all peers closed, by the kind of peer, which the bench tells by the
// names it gave them: whether each peer's own window held it back (it reads slower than it is sent
// to, or not at all) or the network did (it reads all it gets).
class BudgetCloses
{
public:
    struct Kind
    {
        const char* prefix;
        const char* name;
        bool window;
    };
    static constexpr Kind Kinds[] = {
        {"renamed", "never-readers", true},
        {"never", "never-readers", true},
        {"trickle", "trickle readers", true},
        {"window", "window readers", true},
        {"burst", "burst readers", true},
        {"steady", "steady readers", true},
        {"far", "far readers", false},
        {"farwindow", "far window readers", true},
        {"lossy far", "lossy far readers", false},
        {"slow-link", "slow-link readers", false},
    };

    BudgetCloses()
    {
        SetLogSink([this](const QString&, const QString& i_line) { Note(i_line); });
        m_byName.clear(); // the sink is handed every line kept so far
    }
    ~BudgetCloses() { SetLogSink(LogSink()); }

    // Closes of the kind named so far, all of them when null.
    int Of(const char* i_name = nullptr) const
    {
        int closes = 0;
        for (const auto& [name, count] : m_byName)
            closes += !i_name || name == i_name ? count : 0;
        return closes;
    }
    int ByWindow() const
    {
        int closes = 0;
        for (const auto& [name, count] : m_byName)
            closes += KindNamed(name).window ? count : 0;
        return closes;
    }
    // "window readers 12, far readers 1", held back by their windows first.
    QString Named() const
    {
        QString named;
        for (const bool window : {true, false})
            for (const auto& [name, count] : m_byName)
                if (KindNamed(name).window == window)
                    named += QStringLiteral("%1%2 %3").arg(named.isEmpty() ? QString() : QStringLiteral(", "), name,
                                                           QString::number(count));
        return named;
    }

private:
    static const Kind& KindNamed(const QString& i_name)
    {
        for (const Kind& kind : Kinds)
            if (i_name == QLatin1String(kind.name))
                return kind;
        return Kinds[0];
    }

    void Note(const QString& i_line)
    {
        const QLatin1String closing("Closing the connection P ");
        const int at = int(i_line.indexOf(closing));
        if (at < 0)
            return;
        const QString user = i_line.mid(at + closing.size()).section(QStringLiteral(": "), 0, 0);
        const Kind* found = nullptr;
        for (const Kind& kind : Kinds) // the longest prefix that fits
            if (user.startsWith(QLatin1String(kind.prefix))
                && (!found || std::strlen(kind.prefix) > std::strlen(found->prefix)))
                found = &kind;
        if (!found)
            std::fprintf(stderr, "A connection of the bench's own was closed: %s\n", qPrintable(user));
        else
            ++m_byName[QString::fromLatin1(found->name)];
    }

    std::map<QString, int> m_byName;
};

BudgetCloses* budgetCloses = nullptr;

// What the system still held, at worst, of connections the client had closed: bytes and how many.
struct ClosedLeft
{
    qint64 bytes = 0;
    int connections = 0;
    void Look(quint16 i_port)
    {
        int left = 0;
        const qint64 queued = ClosedSendQueues(i_port, &left);
        if (queued > bytes)
        {
            bytes = queued;
            connections = left;
        }
    }
};
ClosedLeft closedLeft;

// Prints "missed" on stderr for a figure past its limit, and says whether it held.
bool Within(bool i_held, const char* i_figure)
{
    if (!i_held)
        std::fprintf(stderr, "%s misses its limit\n", i_figure);
    return i_held;
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
    return Within(Median(bounded) / Median(system) <= 1.2, "peer_far_reader_10mb_list_rtt100_vs_system_sizing");
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
    const int closedBefore = budgetCloses->Of("never-readers");
    const int farClosedBefore = budgetCloses->Of("far readers");
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
    closedLeft.Look(port);
    const int closed = budgetCloses->Of("never-readers") - closedBefore;
    const int farClosed = budgetCloses->Of("far readers") - farClosedBefore;
    std::printf("peer_far_reader_beside_never_readers_completed: %d of %d (a %.1f MB list; %zu never-readers, %d of "
                "them closed, the far reader's connection %d times; median %.0f ms a list)\n",
                reader.Completed(), kTimes, listMb, neverReaders.Connected(), closed, farClosed,
                Median(reader.Times()));
    std::printf("peer_far_reader_beside_never_readers_growth: %.0f MB (send queues %.0f MB)\n", growth, queued / 1e6);
    std::fflush(stdout);
    neverReaders.Close();
    RunFor(500);
    return Within(reader.Completed() == kTimes, "peer_far_reader_beside_never_readers_completed")
           & Within(growth <= kGrowthLimitMb, "peer_far_reader_beside_never_readers_growth");
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
    const int closedBefore = budgetCloses->Of("trickle readers");
    const int farClosedBefore = budgetCloses->Of("far readers");
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
    closedLeft.Look(port);
    const int closed = budgetCloses->Of("trickle readers") - closedBefore;
    const int farClosed = budgetCloses->Of("far readers") - farClosedBefore;
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
    return Within(reader.Completed() == kTimes, "peer_far_reader_beside_trickle_readers_completed")
           & Within(growth <= kGrowthLimitMb, "peer_far_reader_beside_trickle_readers_growth");
}
// A reader across the link: its name, the kind the bench tells its closes by, how many times it asks
// and for what, and the first of the far side's ports its connections come from (0: any).
struct AcrossTheLink
{
    QByteArray user;
    const char* kind;
    int tries;
    QByteArray request;
    quint32 answerCode;
    quint16 firstPort = 0;
};

// What one reader's tries came to.
struct Tries
{
    int completed = 0;
    double medianMs = 0;
    int closed = 0;
};

// What a run beside peers that keep coming came to.
struct Beside
{
    double growthMb = 0;
    int came = 0;
    int closed = 0;
    std::vector<Tries> readers;
};

// Readers across the link ask for their answers, each try over a new connection and so from the
// start of the system's slow start, while peers of a kind under new names keep coming, ask for the
// folder and read it in their way (ArrivingReaders.h): the bound of all peers binds before the
// readers' first asks and goes on choosing while they read. The link is set by the caller.
Beside ReadersBesideArriving(const DelayingLink& i_link, const QString& i_folder, ArrivingReaders::Reading i_reading,
                             const QByteArray& i_prefix, const char* i_kind,
                             const std::vector<AcrossTheLink>& i_readers,
                             const ArrivingReaders::From* ip_from = nullptr)
{
    const quint16 port = peerMessenger->ListeningPort();
    // The client keeps what the server says of an address for a minute; it would ask again.
    const auto place = [&i_readers] {
        for (const AcrossTheLink& reader : i_readers)
            peerMessenger->OnPeerAddress(QString::fromLatin1(reader.user), TCPAddress(DelayingLink::FarAddress, 0), 0);
    };
    place();
    RunFor(500);
    ResetPeak();
    const double baseline = PeakMegabytes();
    const int closedBefore = budgetCloses->Of(i_kind);
    std::vector<int> readerClosedBefore;
    for (const AcrossTheLink& reader : i_readers)
        readerClosedBefore.push_back(budgetCloses->Of(reader.kind));
    ArrivingReaders arriving(ip_from ? *ip_from : ArrivingReaders::ThisMachine(port), i_folder, i_prefix, i_reading);
    QElapsedTimer timer;
    for (timer.start(); budgetCloses->Of(i_kind) == closedBefore && timer.elapsed() < 60000;)
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        arriving.PlaceAhead(*peerMessenger);
    }
    std::vector<std::unique_ptr<FarReader>> readers;
    for (const AcrossTheLink& reader : i_readers)
        readers.push_back(std::make_unique<FarReader>(
            [&i_link, port, first = reader.firstPort, next = 0]() mutable {
                return i_link.ConnectFromFar(port, first ? quint16(first + next++) : 0);
            },
            reader.user, reader.tries, true, reader.request, reader.answerCode));
    const auto done = [&readers] {
        return std::all_of(readers.begin(), readers.end(), [](const auto& i_reader) { return i_reader->Done(); });
    };
    QElapsedTimer placed;
    QElapsedTimer looked;
    for (placed.start(), looked.start(); !done();)
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        arriving.PlaceAhead(*peerMessenger);
        if (placed.elapsed() >= 10000)
        {
            place();
            placed.restart();
        }
        if (looked.elapsed() >= 1000)
        {
            closedLeft.Look(port);
            looked.restart();
        }
    }
    Beside beside;
    beside.growthMb = PeakMegabytes() - baseline;
    arriving.Close();
    beside.came = arriving.Came();
    beside.closed = budgetCloses->Of(i_kind) - closedBefore;
    for (size_t n = 0; n < readers.size(); ++n)
        beside.readers.push_back({readers[n]->Completed(), Median(readers[n]->Times()),
                                  budgetCloses->Of(i_readers[n].kind) - readerClosedBefore[n]});
    RunFor(1000);
    return beside;
}

// The folders of the first 9,200 of the many files leave the share, so that with the large folder the
// shares list is some 10 MB.
void ShareATenMegabyteList()
{
    Type* folders = d->GetType(types::kSharedFileFolder);
    for (int n = 0; n < 9200 / 20; ++n)
        folders->GetItem(Value(QStringLiteral("/share/many/folder %1").arg(n))).Disconnect(ShareRoot());
}

QByteArray SharesListRequest()
{
    return PeerMessages::BuildGetSharedFileList().ToByteArray();
}

// The far reader at a round trip of 300 ms beside peers of one kind, under each congestion control:
// the figure is the fewer lists read whole.
bool FarReaderBesideUnderEach(DelayingLink& io_link, const QString& i_folder, ArrivingReaders::Reading i_reading,
                              const char* i_figure, const char* i_prefix, const char* i_kind,
                              const ArrivingReaders::From* ip_from = nullptr)
{
    constexpr int kTries = 20;
    const double listMb = sharedFoldersManager->GetSharedFilesMessage(QStringLiteral("someone")).GetLength() / 1e6;
    io_link.SetRoundTrip(kFarRoundTripMs);
    std::map<std::string, Beside> under;
    for (const std::string control : {"bbr", "cubic"})
    {
        if (!DelayingLink::SetCongestionControl(peerMessenger->ListeningPort(), control))
        {
            std::fprintf(stderr, "The congestion control %s is not to be had\n", control.c_str());
            return false;
        }
        under[control] = ReadersBesideArriving(
            io_link, i_folder, i_reading, QByteArray(i_prefix) + "-" + control.c_str() + "-", i_kind,
            {{"far reader", "far readers", kTries, SharesListRequest(), FarReader::kSharesList}}, ip_from);
    }
    const Beside& bbr = under["bbr"];
    const Beside& cubic = under["cubic"];
    const int completed = std::min(bbr.readers[0].completed, cubic.readers[0].completed);
    const double growth = std::max(bbr.growthMb, cubic.growthMb);
    std::printf("%s_completed: %d of %d (bbr %d, cubic %d; a %.1f MB list at a %d ms round trip, each on a new "
                "connection; %d and %d %s came, %d and %d closed, the far reader's connection %d and %d times; "
                "median %.0f and %.0f ms a list)\n",
                i_figure, completed, kTries, bbr.readers[0].completed, cubic.readers[0].completed, listMb,
                kFarRoundTripMs, bbr.came, cubic.came, i_kind, bbr.closed, cubic.closed, bbr.readers[0].closed,
                cubic.readers[0].closed, bbr.readers[0].medianMs, cubic.readers[0].medianMs);
    std::printf("%s_growth: %.0f MB (bbr %.0f, cubic %.0f)\n", i_figure, growth, bbr.growthMb, cubic.growthMb);
    std::fflush(stdout);
    DelayingLink::SetCongestionControl(peerMessenger->ListeningPort(), "bbr");
    io_link.SetRoundTrip(kRoundTripMs);
    return Within(completed == kTries, i_figure) & Within(growth <= kGrowthLimitMb, i_figure);
}

// The far reader beside 300 peers that keep coming across the same link, from six addresses of the
// far side, each reading 8 KiB of its folder answer every tenth of a second through a fixed 64 KiB
// receive buffer: their windows stay open, some twenty segments, and narrow against what each first
// advertised, while the far reader's window is as wide as it ever was.
bool FarReaderBesideFarWindowReaders(DelayingLink& io_link, const QString& i_folder)
{
    constexpr int kAddresses = 6;
    if (!io_link.AddFarAddresses(kAddresses))
    {
        std::fprintf(stderr, "The far side's addresses could not be had\n");
        return false;
    }
    const quint16 port = peerMessenger->ListeningPort();
    const auto address = [](int i_peer) { return DelayingLink::FarAddress + 1 + quint32(i_peer % kAddresses); };
    const ArrivingReaders::From far{300,
                                    [&io_link, port, address](int i_peer) {
                                        return io_link.ConnectFromFarAs({port, 0, address(i_peer), 64 * 1024, true});
                                    },
                                    address, 8192};
    return FarReaderBesideUnderEach(io_link, i_folder, ArrivingReaders::Reading::Window,
                                    "peer_far_reader_beside_far_window_readers", "farwindow", "far window readers",
                                    &far);
}

// At once, beside trickle readers that keep coming, each reading through a fixed 8 KiB buffer: the
// far reader at a round trip of 300 ms, its path losing 1 % of the packets each way, reads the list
// 20 times; and a reader behind a line of 100 KB/s at a round trip of 100 ms asks for the 1.9 MB
// folder answer 5 times, which alone it would read in some 20 s each. Both under bbr.
bool LossyAndSlowLinkReaders(DelayingLink& io_link, const QString& i_folder)
{
    constexpr int kLossyTries = 20;
    constexpr int kSlowTries = 5;
    constexpr int kLossy = 1;
    constexpr int kSlow = 2;
    const double listMb = sharedFoldersManager->GetSharedFilesMessage(QStringLiteral("someone")).GetLength() / 1e6;
    MemStream one;
    sharedFoldersManager->BuildFolderContentsReply(QStringLiteral("someone"), 1, i_folder, one);
    io_link.SetRoundTrip(kFarRoundTripMs, kLossy);
    io_link.SetLoss(0.01, 67, kLossy);
    io_link.SetPorts(kLossy, 40000, 1000);
    io_link.SetRoundTrip(100, kSlow);
    io_link.SetRate(100000, 64 * 1024, kSlow);
    io_link.SetPorts(kSlow, 41000, 1000);
    const Beside beside = ReadersBesideArriving(
        io_link, i_folder, ArrivingReaders::Reading::Window, "trickle-", "trickle readers",
        {{"lossy far reader", "lossy far readers", kLossyTries, SharesListRequest(), FarReader::kSharesList, 40000},
         {"slow-link reader", "slow-link readers", kSlowTries,
          PeerMessages::BuildGetSharedFilesInFolder(1, i_folder).ToByteArray(), FarReader::kFolderContents, 41000}});
    io_link.SetPorts(kLossy, 0, 0);
    io_link.SetPorts(kSlow, 0, 0);
    const Tries& lossy = beside.readers[0];
    const Tries& slow = beside.readers[1];
    std::printf("peer_far_reader_lossy_beside_trickle_readers_completed: %d of %d (a %.1f MB list at a %d ms round "
                "trip, 1 %% of the packets lost each way, bbr, each on a new connection; %d trickle readers (8 KiB "
                "buffers) came, %d closed, the far reader's connection %d times; median %.0f ms a list)\n",
                lossy.completed, kLossyTries, listMb, kFarRoundTripMs, beside.came, beside.closed, lossy.closed,
                lossy.medianMs);
    std::printf("peer_slow_link_reader_beside_trickle_readers_completed: %d of %d (a %.1f MB folder answer over a "
                "100 KB/s line at a 100 ms round trip, bbr, each on a new connection, beside the above; the reader's "
                "connection closed %d times; median %.0f ms an answer)\n",
                slow.completed, kSlowTries, one.GetLength() / 1e6, slow.closed, slow.medianMs);
    std::printf("peer_lossy_and_slow_link_readers_beside_trickle_readers_growth: %.0f MB\n", beside.growthMb);
    std::fflush(stdout);
    return Within(lossy.completed == kLossyTries, "peer_far_reader_lossy_beside_trickle_readers_completed")
           & Within(slow.completed == kSlowTries, "peer_slow_link_reader_beside_trickle_readers_completed")
           & Within(beside.growthMb <= kGrowthLimitMb,
                    "peer_lossy_and_slow_link_readers_beside_trickle_readers_growth");
}

// How steady readers of this machine read beside bursts of never-readers: the figure's name, the files
// of the folder each reader asks for and of the one never-readers ask for (0: the 1.9 MB folder), the
// readers' segments and receive buffer (0: the system's own), and the bound of all peers (0: the
// default).
struct SteadyReaders
{
    const char* figure;
    const char* prefix;
    int readerFiles;
    int neverFiles;
    int segmentBytes;
    int receiveBytes;
    qint64 budget;
};

// 10 peers of this machine, one every 6.5 s, each taking a folder answer at 40 KiB/s (4 KiB every
// tenth of a second); 2 s after each comes, 250 never-readers under new names come 12 ms apart, ask
// for a folder and leave 4 s later. The steady peers overlap. Through a fixed 8 KiB receive buffer and
// a real network's segments a steady peer never stalls; through the system's own buffer on loopback
// it is sent bytes only every few seconds, and takes less than never-readers have in their buffers
// before it has read for some seconds.
bool SteadyReadersBesideNeverReaderBursts(const QString& i_folder, const SteadyReaders& i_how)
{
    constexpr int kTries = 10;
    const quint32 firstAddress = i_how.receiveBytes > 0 ? 0x7f000501u : 0x7f000601u; // 127.0.5.1, 127.0.6.1
    const QString steadyFolder =
        MakeLargeFolder(QStringLiteral("/share/%1").arg(QLatin1String(i_how.prefix)), i_how.readerFiles);
    const QString neverFolder =
        i_how.neverFiles > 0
            ? MakeLargeFolder(QStringLiteral("/share/%1-never").arg(QLatin1String(i_how.prefix)), i_how.neverFiles)
            : i_folder;
    MemStream one;
    sharedFoldersManager->BuildFolderContentsReply(QStringLiteral("someone"), 1, steadyFolder, one);
    MemStream never;
    sharedFoldersManager->BuildFolderContentsReply(QStringLiteral("someone"), 1, neverFolder, never);
    const quint16 port = peerMessenger->ListeningPort();
    const QString prefix = QLatin1String(i_how.prefix);
    for (int n = 0; n < kTries; ++n)
        peerMessenger->OnPeerAddress(prefix + QString::number(n), TCPAddress(firstAddress + quint32(n), 0), 0);
    if (i_how.budget > 0)
        peerMessenger->SetWaitingBytesBudget(i_how.budget);
    RunFor(500);
    ResetPeak();
    const double baseline = PeakMegabytes();
    const int closedBefore = budgetCloses->Of("never-readers");
    const int steadyClosedBefore = budgetCloses->Of("steady readers");
    std::vector<std::unique_ptr<FarReader>> steady;
    for (int n = 0; n < kTries; ++n)
    {
        steady.push_back(std::make_unique<FarReader>(
            [port, n, firstAddress, &i_how] {
                return ConnectFrom(firstAddress + quint32(n), port, i_how.segmentBytes, i_how.receiveBytes);
            },
            prefix.toLatin1() + QByteArray::number(n), 1, true,
            PeerMessages::BuildGetSharedFilesInFolder(1, steadyFolder).ToByteArray(), FarReader::kFolderContents,
            4096));
        RunFor(2000);
        const QByteArray burstPrefix = "never" + QByteArray(i_how.prefix) + QByteArray::number(n) + "-";
        NeverReaders::Place(*peerMessenger, QString::fromLatin1(burstPrefix));
        NeverReaders burst(port, neverFolder, burstPrefix, 0, 12);
        while (!burst.Sent())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        RunFor(1000);
        closedLeft.Look(port);
        burst.Close();
        RunFor(500);
    }
    const auto done = [&steady] {
        return std::all_of(steady.begin(), steady.end(), [](const auto& i_reader) { return i_reader->Done(); });
    };
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const double growth = PeakMegabytes() - baseline;
    peerMessenger->SetWaitingBytesBudget(PeerMessenger::DefaultWaitingBytesBudget);
    int completed = 0;
    std::vector<double> times;
    for (const auto& reader : steady)
    {
        completed += reader->Completed();
        times.insert(times.end(), reader->Times().begin(), reader->Times().end());
    }
    const QString buffer = i_how.receiveBytes > 0
                               ? QStringLiteral("a fixed %1 KiB receive buffer").arg(i_how.receiveBytes / 1024)
                               : QStringLiteral("the system's own receive buffer");
    const QString budget =
        i_how.budget > 0 ? QStringLiteral(", a bound of %1 MB for all peers").arg(i_how.budget / 1000000) : QString();
    std::printf("%s_completed: %d of %d (a %.1f MB folder answer at 40 KiB/s through %s, beside never-readers asking "
                "%.1f MB%s; %d never-readers closed, a steady reader's connection %d times; median %.0f ms an "
                "answer)\n",
                i_how.figure, completed, kTries, one.GetLength() / 1e6, qPrintable(buffer), never.GetLength() / 1e6,
                qPrintable(budget), budgetCloses->Of("never-readers") - closedBefore,
                budgetCloses->Of("steady readers") - steadyClosedBefore, Median(times));
    std::printf("%s_growth: %.0f MB\n", i_how.figure, growth);
    std::fflush(stdout);
    return Within(completed == kTries, i_how.figure) & Within(growth <= kGrowthLimitMb, i_how.figure);
}

bool ChoicesAndWhatTheyLeft()
{
    std::printf("peer_budget_choices_by_window: %d of %d closes (%s)\n", budgetCloses->ByWindow(), budgetCloses->Of(),
                qPrintable(budgetCloses->Named()));
    std::printf("peer_budget_closed_left_in_system: %.1f MB (at worst, %d closed connections left)\n",
                closedLeft.bytes / 1e6, closedLeft.connections);
    std::fflush(stdout);
    return Within(closedLeft.bytes <= 1000000, "peer_budget_closed_left_in_system");
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
    if (!link.Up() || !DelayingLink::SetCongestionControl(peerMessenger->ListeningPort(), "bbr"))
    {
        std::fprintf(stderr, "The delaying link is not up, or the client's port not found to use bbr\n");
        return 1;
    }
    BudgetCloses closes;
    budgetCloses = &closes;
    const QString folder = QStringLiteral("\\share\\leeched");
    bool held = ListVsSystemSizing(link);
    held &= BesideNeverReaders(link);
    held &= BesideTrickleReaders(link, folder);
    ShareATenMegabyteList();
    held &= FarReaderBesideUnderEach(link, folder, ArrivingReaders::Reading::Window,
                                     "peer_far_reader_beside_window_readers", "window", "window readers");
    held &= FarReaderBesideUnderEach(link, folder, ArrivingReaders::Reading::Burst,
                                     "peer_far_reader_beside_burst_readers", "burst", "burst readers");
    held &= FarReaderBesideFarWindowReaders(link, folder);
    held &= LossyAndSlowLinkReaders(link, folder);
    held &= SteadyReadersBesideNeverReaderBursts(
        folder, {"peer_steady_reader_beside_never_reader_burst", "steady", 47000, 0, 1448, 8192, 0});
    held &= SteadyReadersBesideNeverReaderBursts(
        folder, {"peer_steady_reader_beside_smaller_never_readers", "steady-own", 94000, 31000, 0, 0, 128000000});
    held &= ChoicesAndWhatTheyLeft();
    budgetCloses = nullptr;
    return held ? 0 : 1;
}
