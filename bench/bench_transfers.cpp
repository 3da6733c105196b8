// Transfer engine figures: the upload and download threads against a plain socket-to-file
// copy of the same bytes, several transfers at once, the speed limit, and stop latency.
#include "DataSaver.h"
#include "DownloadThread.h"
#include "Server.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"
#include "UploadThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <atomic>
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
            for (qint64 sent = 0; sent < read;) {
                const ssize_t n = ::send(fds[0], buffer.data() + sent, size_t(read - sent), 0);
                if (n <= 0)
                    return;
                sent += n;
            }
    });
    QFile out(i_target);
    out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    std::vector<char> buffer(65536);
    for (qint64 got = 0; got < i_size;) {
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

struct Transfer
{
    std::unique_ptr<QFile> source;
    std::unique_ptr<QFile> target;
    std::unique_ptr<UploadThread> upload;
    std::unique_ptr<DownloadThread> download;
    QTcpSocket* up = nullptr;
    QTcpSocket* down = nullptr;

    ~Transfer()
    {
        if (upload) {
            upload->SignalExit();
            upload->wait();
        }
        if (download) {
            download->SignalExit();
            download->wait();
        }
        upload.reset();
        download.reset();
        delete up;
        delete down;
    }
};

// An upload and a download thread on one loopback connection, as between two clients.
std::unique_ptr<Transfer> StartTransfer(const QString& i_source, const QString& i_target, qint64 i_size,
                                        TransferQueueManager* ip_engine, std::atomic<int>& io_done,
                                        std::atomic<qint64>* op_received = nullptr)
{
    auto t = std::make_unique<Transfer>();
    t->source = std::make_unique<QFile>(i_source);
    t->source->open(QIODevice::ReadOnly);
    t->target = std::make_unique<QFile>(i_target);
    t->target->open(QIODevice::WriteOnly | QIODevice::Truncate);
    auto [up, down] = LoopbackPair();
    t->up = up;
    t->down = down;
    t->upload = std::make_unique<UploadThread>(up, t->source.get(), 1, ip_engine);
    QObject::connect(t->upload.get(), &UploadThread::UploadComplete, [&io_done] { ++io_done; });
    t->upload->start();
    while (down->bytesAvailable() < 4)
        down->waitForReadyRead(1000);
    down->read(4);
    char offset[8];
    qToLittleEndian<qint64>(0, offset);
    down->write(offset, 8);
    down->flush();
    t->download = std::make_unique<DownloadThread>(down, t->target.get(), i_size, 0);
    QObject::connect(t->download.get(), &DownloadThread::DownloadComplete, [&io_done] { ++io_done; });
    if (op_received)
        QObject::connect(t->download.get(), &DownloadThread::DownloadProgress,
                         [op_received](qint64 i_offset, int) { op_received->store(i_offset); });
    t->download->start();
    return t;
}

// Runs transfers of the file at once; the total rate in MiB/s and the worst delay of an event
// posted to this (the GUI) thread every 10 ms meanwhile.
double TransferRate(int i_count, const QString& i_source, const QTemporaryDir& i_dir, qint64 i_size,
                    qint64* op_worstLagMs = nullptr)
{
    std::atomic<int> done{0};
    qint64 worst = 0;
    QElapsedTimer timer;
    timer.start();
    std::vector<std::unique_ptr<Transfer>> transfers;
    for (int i = 0; i < i_count; ++i)
        transfers.push_back(
            StartTransfer(i_source, i_dir.filePath(QStringLiteral("copy%1").arg(i)), i_size, nullptr, done));
    QElapsedTimer posted;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        posted.start();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&] { worst = std::max(worst, posted.elapsed()); }, Qt::QueuedConnection);
    });
    probe.start(10);
    while (done < 2 * i_count)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double seconds = timer.nsecsElapsed() / 1e9;
    probe.stop();
    transfers.clear();
    if (op_worstLagMs)
        *op_worstLagMs = worst;
    return double(i_size) * i_count / (1 << 20) / seconds;
}

struct Engine
{
    Engine()
    {
        d = new Data;
        DeclareSettingTypes(d);
        dataSaver = new DataSaver;
        new TimerManager;
        new Server;
        gp_server->CreateData();
        d->NewType("file_size", Tertiary, false, true);
        d->NewType("shared_file", Primary, true, true);
        new TransferQueueManager;
    }
    ~Engine()
    {
        delete transferQueueManager;
        delete gp_server;
        delete timerManager;
    }
};

double LimitedTotal(int i_limit, int i_uploads, const QString& i_source, const QTemporaryDir& i_dir, int i_seconds)
{
    ItemSet entries;
    for (int i = 0; i < i_uploads; ++i) {
        ItemPtr entry = d->GetType("upload_entry")->NewItem();
        entry.Connect(d->GetType("upload_entry_status")->GetItem(Value("uploading")));
        entries.insert(entry);
    }
    transferQueueManager->SetUploadSpeedLimit(i_limit);
    transferQueueManager->EnableUploadSpeedLimit(true);

    std::atomic<int> done{0};
    std::vector<std::atomic<qint64>> received(static_cast<std::size_t>(i_uploads));
    std::vector<std::unique_ptr<Transfer>> transfers;
    const qint64 size = qint64(i_limit) * 1024 * i_seconds * 2;
    for (int i = 0; i < i_uploads; ++i)
        transfers.push_back(StartTransfer(i_source, i_dir.filePath(QStringLiteral("limited%1").arg(i)), size,
                                          transferQueueManager, done, &received[size_t(i)]));
    // The first seconds settle the share; the total is measured over the rest.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    qint64 start = 0;
    for (auto& r : received)
        start += r.load();
    const qint64 startNs = timer.nsecsElapsed();
    while (timer.elapsed() < 2000 + i_seconds * 1000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    qint64 end = 0;
    for (auto& r : received)
        end += r.load();
    const double seconds = (timer.nsecsElapsed() - startNs) / 1e9;
    transfers.clear();
    entries.Remove();
    transferQueueManager->EnableUploadSpeedLimit(false);
    return double(end - start) / 1024 / seconds;
}

double StopLatencyP99(int i_stops)
{
    std::vector<qint64> latencies;
    QTemporaryDir dir;
    for (int i = 0; i < i_stops; ++i) {
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
    const QString source = dir.filePath(QStringLiteral("source"));
    MakeFile(source, size);

    const double plain = PlainRate(source, dir.filePath(QStringLiteral("plain")), size);
    qint64 lag = 0;
    const double one = TransferRate(1, source, dir, size, &lag);
    Print("transfer_plain_socket_to_file", plain, "MiB/s");
    Print("transfer_one_1GiB", one, "MiB/s");
    Print("transfer_one_vs_plain", one / plain, "ratio");
    Print("transfer_gui_event_worst_delay", double(lag), "ms");
    QFile::remove(dir.filePath(QStringLiteral("plain")));

    const qint64 quarter = size / 4;
    MakeFile(source, quarter);
    const double single = TransferRate(1, source, dir, quarter);
    const double four = TransferRate(4, source, dir, quarter);
    Print("transfer_four_at_once_total", four, "MiB/s");
    Print("transfer_four_vs_one", four / single, "ratio");

    Print("transfer_stop_latency_p99", StopLatencyP99(100), "ms");

    Engine engine;
    MakeFile(source, qint64(1000) * 1024 * 20 * 2);
    for (int limit : {100, 1000})
        for (int uploads : {1, 3}) {
            const double total = LimitedTotal(limit, uploads, source, dir, 20);
            const QByteArray name = "upload_limit_" + QByteArray::number(limit) + "_x" + QByteArray::number(uploads);
            Print(name.constData(), total, "KB/s");
            Print(QByteArray(name + "_vs_limit").constData(), total / limit, "ratio");
        }
    return 0;
}
