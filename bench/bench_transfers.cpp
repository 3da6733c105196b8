// Transfer engine figures. Between two client processes on loopback: one 1 GiB download against
// a plain program moving the same bytes from a loopback socket into a file, the sending client's
// GUI-thread latency meanwhile, four downloads at once against one, and the upload speed limit.
// In one process: how fast a transfer thread stops.
#include "DownloadThread.h"
#include "HarnessProcess.h"
#include "RawPeer.h"
#include "TestServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
void Print(const char* i_name, double i_value, const char* i_unit)
{
    std::printf("%s: %.2f %s\n", i_name, i_value, i_unit);
    std::fflush(stdout);
}

std::pair<QTcpSocket*, QTcpSocket*> LoopbackPair()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    auto* client = new QTcpSocket;
    client->connectToHost(QHostAddress::LocalHost, server.serverPort());
    client->waitForConnected(5000);
    server.waitForNewConnection(5000);
    QTcpSocket* accepted = server.nextPendingConnection();
    accepted->setParent(nullptr);
    return {client, accepted};
}

void MakeFile(const QString& i_path, qint64 i_size)
{
    QFile file(i_path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    QByteArray block(1 << 20, 'v');
    for (qint64 done = 0; done < i_size; done += block.size())
        file.write(block.constData(), qMin<qint64>(block.size(), i_size - done));
}

// A plain program: bytes from one loopback socket into a file, 64 KiB at a time.
double PlainRate(const QString& i_source, const QString& i_target, qint64 i_size)
{
    int fds[2] = {-1, -1};
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    client.waitForConnected(5000);
    server.waitForNewConnection(5000);
    QTcpSocket* accepted = server.nextPendingConnection();
    fds[0] = int(client.socketDescriptor());
    fds[1] = int(accepted->socketDescriptor());
    for (int fd : fds)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    QElapsedTimer timer;
    timer.start();
    std::thread sender([&] {
        QFile file(i_source);
        file.open(QIODevice::ReadOnly);
        std::vector<char> buffer(65536);
        qint64 read;
        while ((read = file.read(buffer.data(), qint64(buffer.size()))) > 0)
            for (qint64 sent = 0; sent < read;)
            {
                const ssize_t n = ::send(fds[0], buffer.data() + sent, size_t(read - sent), 0);
                if (n <= 0)
                    return;
                sent += n;
            }
    });
    QFile out(i_target);
    out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    std::vector<char> buffer(65536);
    for (qint64 got = 0; got < i_size;)
    {
        const ssize_t n = ::recv(fds[1], buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        out.write(buffer.data(), n);
        got += n;
    }
    out.close();
    const double seconds = timer.nsecsElapsed() / 1e9;
    sender.join();
    delete accepted;
    return double(i_size) / (1 << 20) / seconds;
}

// Whole client processes and the loopback test server: "bob" shares; the others download from
// him, each from a process of its own, since bob runs one upload per user at a time.
class Road
{
public:
    Road(const QString& i_shared, const QString& i_downloads, int i_downloaders)
        : m_downloads(i_downloads)
    {
        m_ok = m_server.Listen() && Start(m_bob, QStringLiteral("bob"));
        for (int i = 0; m_ok && i < i_downloaders; ++i)
        {
            m_downloaders.emplace_back();
            m_ok = Start(m_downloaders.back(), QStringLiteral("downloader%1").arg(i));
        }
        if (!m_ok)
            return;
        m_bob->Send({"slots", QString::number(qMax(1, i_downloaders))});
        m_bob->Send({"share", i_shared});
        m_ok = m_bob->Take("shared");
    }

    bool Ok() const { return m_ok; }
    HarnessProcess& Bob() { return *m_bob; }

    static QString Remote(const QString& i_path)
    {
        return QString(i_path).replace(QLatin1Char('/'), QLatin1Char('\\'));
    }

    // Downloader i_index asks bob for the file.
    void Download(int i_index, const QString& i_path)
    {
        m_downloaders.at(size_t(i_index))
            ->Send({"adddownload", "bob", Remote(i_path), QString::number(QFileInfo(i_path).size())});
    }

    bool WaitForComplete(int i_index, const QString& i_path)
    {
        m_ok = m_ok
               && m_downloaders.at(size_t(i_index))
                      ->Take("event Complete bob " + QUrl::toPercentEncoding(QFileInfo(i_path).fileName()), nullptr,
                             600000);
        return m_ok;
    }

    // The bytes downloader i_index has of the file so far.
    qint64 Received(int i_index, const QString& i_path)
    {
        QStringList fields;
        HarnessProcess& downloader = *m_downloaders.at(size_t(i_index));
        downloader.Send({"status", "bob", Remote(i_path)});
        return downloader.Take("status", &fields) ? fields.value(1).toLongLong() : -1;
    }

    void RemoveDownloads() { QDir(m_downloads).removeRecursively(); }

private:
    bool Start(std::unique_ptr<HarnessProcess>& o_client, const QString& i_user)
    {
        o_client = std::make_unique<HarnessProcess>();
        if (!o_client->Start({"full"}))
            return false;
        return o_client->LogIn(i_user, m_server.Port(), FreePortPair(),
                               {{"download_folder", m_downloads + QLatin1Char('/') + i_user}})
               && m_server.WaitForFrames(2, 1, i_user);
    }

    TestServer m_server;
    QString m_downloads;
    std::unique_ptr<HarnessProcess> m_bob;
    std::vector<std::unique_ptr<HarnessProcess>> m_downloaders;
    bool m_ok = false;
};

// Downloader i_first + n fetches the n-th file, all at once; the total rate in MiB/s from the
// requests to the last completion.
double RoadRate(Road& io_road, const QStringList& i_paths, int i_first = 0)
{
    qint64 bytes = 0;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < i_paths.size(); ++i)
    {
        io_road.Download(i_first + i, i_paths.at(i));
        bytes += QFileInfo(i_paths.at(i)).size();
    }
    for (int i = 0; i < i_paths.size(); ++i)
        if (!io_road.WaitForComplete(i_first + i, i_paths.at(i)))
            return 0;
    const double seconds = timer.nsecsElapsed() / 1e9;
    io_road.RemoveDownloads();
    return double(bytes) / (1 << 20) / seconds;
}

// Bob's upload speed limit with one upload per file, each to a downloader of its own: the
// total in KB/s over i_seconds, once every upload runs and two seconds have settled the shares.
double LimitedTotal(int i_limit, const QStringList& i_paths, const QString& i_shared, const QString& i_downloads,
                    int i_seconds)
{
    Road road(i_shared, i_downloads, int(i_paths.size()));
    if (!road.Ok())
        return 0;
    road.Bob().Send({"set", "upload_speed_limit", QString::number(i_limit)});
    road.Bob().Send({"set", "upload_speed_limit_enabled", "yes"});
    road.Bob().Send({"limit"});
    road.Bob().Sync();
    for (int i = 0; i < i_paths.size(); ++i)
        road.Download(i, i_paths.at(i));
    const auto total = [&] {
        qint64 sum = 0;
        for (int i = 0; i < i_paths.size(); ++i)
        {
            const qint64 received = road.Received(i, i_paths.at(i));
            if (received < 0)
                return qint64(-1); // finished or never started: the window is not covered
            sum += received;
        }
        return sum;
    };
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < i_paths.size(); ++i)
        while (road.Received(i, i_paths.at(i)) <= 0)
            if (timer.elapsed() > 30000)
                return 0;
            else
                QTest::qWait(20);
    timer.start();
    while (timer.elapsed() < 2000)
        QTest::qWait(20);
    const qint64 start = total();
    const qint64 startNs = timer.nsecsElapsed();
    while (timer.elapsed() < 2000 + i_seconds * 1000)
        QTest::qWait(20);
    const qint64 end = total();
    const double seconds = (timer.nsecsElapsed() - startNs) / 1e9;
    road.RemoveDownloads();
    return start < 0 || end < 0 ? 0 : double(end - start) / 1024 / seconds;
}

double StopLatencyP99(int i_stops)
{
    std::vector<qint64> latencies;
    QTemporaryDir dir;
    for (int i = 0; i < i_stops; ++i)
    {
        auto [up, down] = LoopbackPair();
        QFile target(dir.filePath(QStringLiteral("stop")));
        target.open(QIODevice::WriteOnly | QIODevice::Truncate);
        // Alternate a silent uploader and one that trickles a byte now and then.
        auto thread = std::make_unique<DownloadThread>(down, &target, 1 << 20, 0);
        thread->start();
        if (i % 2)
            up->write("x", 1), up->flush();
        QThread::msleep(20 + (i * 7) % 60);
        QElapsedTimer timer;
        timer.start();
        thread->SignalExit();
        thread->wait();
        latencies.push_back(timer.nsecsElapsed() / 1000);
        thread.reset();
        delete up;
        delete down;
    }
    std::sort(latencies.begin(), latencies.end());
    return latencies[size_t(latencies.size() * 99 / 100)] / 1000.0;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const qint64 size = qint64(1) << 30;
    const QString shared = dir.filePath(QStringLiteral("shared"));
    QDir().mkpath(shared);
    const QString source = shared + QStringLiteral("/one.bin");
    MakeFile(source, size);
    MakeFile(shared + QStringLiteral("/warm.bin"), 1 << 20);
    QStringList quarters;
    for (int i = 0; i < 5; ++i)
    {
        quarters << shared + QStringLiteral("/quarter%1.bin").arg(i);
        MakeFile(quarters.last(), size / 4);
    }

    {
        const QString downloads = dir.filePath(QStringLiteral("downloads"));
        Road road(shared, downloads, 4);
        // The message connections to bob exist before the clock starts.
        const QString warm = shared + QStringLiteral("/warm.bin");
        if (!road.Ok() || RoadRate(road, {warm, warm, warm, warm}) <= 0)
            return 1;
        // The machine may be shared: the plain copy and the download take turns, three rounds,
        // and the best of each counts. Each round has a downloader of its own (a fresh entry).
        double plain = 0;
        double one = 0;
        road.Bob().Send({"lag", "start"});
        road.Bob().Sync();
        for (int round = 0; round < 3; ++round)
        {
            plain = std::max(plain, PlainRate(source, dir.filePath(QStringLiteral("plain")), size));
            QFile::remove(dir.filePath(QStringLiteral("plain")));
            const double rate = RoadRate(road, {source}, round);
            if (rate <= 0)
                return 1;
            one = std::max(one, rate);
        }
        road.Bob().Send({"lag", "stop"});
        QStringList lag;
        if (!road.Bob().Take("lag", &lag))
            return 1;
        Print("transfer_plain_socket_to_file", plain, "MiB/s");
        Print("transfer_one_1GiB", one, "MiB/s");
        Print("transfer_one_vs_plain", one / plain, "ratio");
        Print("transfer_sender_gui_event_worst_delay", lag.value(0).toDouble() / 1000, "ms");

        const double single = RoadRate(road, quarters.mid(0, 1));
        const double four = RoadRate(road, quarters.mid(1, 4));
        if (single <= 0 || four <= 0)
            return 1;
        Print("transfer_four_at_once_total", four, "MiB/s");
        Print("transfer_four_vs_one", four / single, "ratio");
    }
    QDir(shared).removeRecursively();

    Print("transfer_stop_latency_p99", StopLatencyP99(100), "ms");

    const int seconds = 20;
    const QString limitShared = dir.filePath(QStringLiteral("limit-shared"));
    QDir().mkpath(limitShared);
    QStringList limited;
    for (int i = 0; i < 3; ++i)
    {
        limited << limitShared + QStringLiteral("/limited%1.bin").arg(i);
        MakeFile(limited.last(), qint64(1000) * 1024 * (seconds + 10));
    }
    for (int limit : {100, 1000})
        for (int uploads : {1, 3})
        {
            const double total = LimitedTotal(limit, limited.mid(0, uploads), limitShared,
                                              dir.filePath(QStringLiteral("limited")), seconds);
            if (total <= 0)
                return 1;
            const QByteArray name = "upload_limit_" + QByteArray::number(limit) + "_x" + QByteArray::number(uploads);
            Print(name.constData(), total, "KB/s");
            Print(QByteArray(name + "_vs_limit").constData(), total / limit, "ratio");
        }
    return 0;
}
