// Incoming server traffic: room chat frames through RoomChat, and a 10,000-user join reply
// applied to the data model, against the loopback test server.

#include "Data.h"
#include "DataSaver.h"
#include "Server.h"
#include "TestServer.h"
#include "TimerManager.h"
#include "Wire.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace
{
const QString kMe = QStringLiteral("alice");

template<class Done> bool RunUntil(Done i_done, int i_timeoutMs = 60000)
{
    QElapsedTimer timer;
    timer.start();
    while (!i_done())
    {
        if (timer.elapsed() > i_timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    d = new Data;
    DeclareSettingTypes(d);
    DataSaver saver;
    TimerManager timers;
    TestServer testServer;
    testServer.Listen();
    Server* server = new Server;
    server->CreateData();
    saver.NotifyFirstStart();
    SetSetting(QStringLiteral("server_host"), QStringLiteral("127.0.0.1"));
    SetSettingNumber(QStringLiteral("server_port"), testServer.Port());
    SetSetting(QStringLiteral("username"), kMe);
    SetSetting(QStringLiteral("password"), QStringLiteral("pw"));
    server->Connect();
    if (!RunUntil([server] { return server->IsConnected(); }))
    {
        std::fprintf(stderr, "no login\n");
        return 1;
    }

    // Room chat: 100,000 frames written at once.
    const int frames = 100000;
    QByteArray burst;
    for (int n = 0; n < frames; ++n)
        burst += WireWriter()
                     .Str(QStringLiteral("lobby"))
                     .Str(QStringLiteral("user%1").arg(n % 50))
                     .Str(QStringLiteral("a line of chat number %1").arg(n))
                     .Frame(SM_ROOM_CHAT);
    int received = 0;
    QObject::connect(server, &Server::RoomChat,
                     [&received](const QString&, const QString&, const QString&) { ++received; });

    // Baseline: the same bytes split and decoded by a plain loop.
    QElapsedTimer timer;
    timer.start();
    int decoded = 0;
    for (int offset = 0; offset < burst.size();)
    {
        WireReader header(burst.mid(offset, 8));
        const quint32 length = header.U32();
        WireReader body(burst.mid(offset + 8, int(length) - 4));
        decoded += body.Str().size() + body.Str().size() + body.Str().size() > 0 ? 1 : 0;
        offset += 4 + int(length);
    }
    const double baselineRate = decoded / (timer.nsecsElapsed() / 1e9);

    timer.restart();
    testServer.SendRaw(kMe, burst);
    if (!RunUntil([&received, frames] { return received == frames; }))
    {
        std::fprintf(stderr, "only %d chat frames arrived\n", received);
        return 1;
    }
    const double rate = frames / (timer.nsecsElapsed() / 1e9);
    std::printf("server_room_chat_rate: %.0f frames/s\n", rate);
    std::printf("server_room_chat_vs_plain_decode: %.2f ratio\n", rate / baselineRate);

    // A join reply with 10,000 users.
    const int users = 10000;
    WireWriter join;
    join.Str(QStringLiteral("big")).U32(users);
    for (int n = 0; n < users; ++n)
        join.Str(QStringLiteral("member%1").arg(n));
    join.U32(users);
    for (int n = 0; n < users; ++n)
        join.U32(2);
    join.U32(users);
    for (int n = 0; n < users; ++n)
        join.Stats(1000 + n, 5, n % 3000, 10);
    join.U32(users);
    for (int n = 0; n < users; ++n)
        join.U32(1);
    join.U32(users);
    for (int n = 0; n < users; ++n)
        join.Str(QStringLiteral("C%1").arg(n % 100));
    const QByteArray joinFrame = join.Frame(SM_JOIN_ROOM);
    // A room takes one answer per join asked: the large answer goes out before the loopback server
    // reads the request, so the server's own short answer comes second and is not taken.
    ItemPtr room = d->GetType("room")->GetItem(QStringLiteral("big"));
    timer.restart();
    server->EnterRoom(QStringLiteral("big"), false);
    testServer.SendRaw(kMe, joinFrame);
    if (!RunUntil([&room, users] { return room.CountItems("user") == std::size_t(users); }))
    {
        std::fprintf(stderr, "the large join reply was not applied\n");
        return 1;
    }
    const double joinMs = timer.nsecsElapsed() / 1e6;
    std::printf("server_join_10000_users: %.1f ms\n", joinMs);
    std::printf("server_join_10000_users_linked: %zu users\n", room.GetItems("user").size());

    delete server;
    delete d;
    d = nullptr;
    return 0;
}
