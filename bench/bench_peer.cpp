// Peer network speed between two client processes on loopback: small-message throughput over
// one "P" connection (plain and scrambled), and the set-up time of a direct connection.

#include "HarnessProcess.h"
#include "RawPeer.h"
#include "TestServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <memory>

namespace
{
std::unique_ptr<HarnessProcess> StartClient(TestServer& i_server, const QString& i_user, bool i_scrambled)
{
    auto client = std::make_unique<HarnessProcess>();
    if (!client->Start())
        return nullptr;
    client->Send({"scrambled", i_scrambled ? "1" : "0"});
    if (!client->LogIn(i_user, i_server.Port(), FreePortPair()) || !i_server.WaitForFrames(2, 1, i_user))
        return nullptr;
    return client;
}

qint64 Tally(HarnessProcess& i_client)
{
    QStringList fields;
    i_client.Send({"tally", "DownloadPlaceInLine"});
    return i_client.Take("tally", &fields, 60000) ? fields.value(0).toLongLong() : -1;
}

bool Throughput(bool i_scrambled)
{
    TestServer server;
    server.Listen();
    auto sender = StartClient(server, QStringLiteral("sender"), i_scrambled);
    auto receiver = StartClient(server, QStringLiteral("receiver"), i_scrambled);
    if (!sender || !receiver)
        return false;
    receiver->Send({"mute"});
    // Warm up: the connection exists before the clock starts.
    sender->Send({"flood", "receiver", "10"});
    while (Tally(*receiver) < 10)
        QTest::qWait(10);

    const qint64 count = 300000;
    QElapsedTimer timer;
    timer.start();
    sender->Send({"flood", "receiver", QString::number(count)});
    while (Tally(*receiver) < count + 10)
    {
        if (timer.elapsed() > 120000)
            return false;
        QTest::qWait(20);
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    std::printf("peer_messages_per_second_%s: %.0f messages/s\n", i_scrambled ? "scrambled" : "plain",
                double(count) / seconds);
    std::fflush(stdout);
    return true;
}

bool ConnectionSetUp()
{
    TestServer server;
    server.Listen();
    auto uploader = StartClient(server, QStringLiteral("uploader"), false);
    auto downloader = StartClient(server, QStringLiteral("downloader"), false);
    if (!uploader || !downloader)
        return false;
    downloader->Send({"mute"});
    uploader->Send({"mute"});
    uploader->Send({"setupbench", "downloader", "201"});
    QStringList fields;
    if (!uploader->Take("setup", &fields, 60000))
        return false;
    std::printf("peer_direct_connection_setup_median: %.3f ms\n", fields.value(0).toDouble() / 1000.0);
    std::fflush(stdout);
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool ok = Throughput(false) && Throughput(true) && ConnectionSetUp();
    return ok ? 0 : 1;
}
