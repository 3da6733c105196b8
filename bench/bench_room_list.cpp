// The room list of the real main window filled from one room-list answer of 20,000 rooms (thirty
// of them with own roles), from the request until every row stands in its order.
#include "BenchWindow.h"
#include "MainWindow.h"
#include "PreparedHome.h"
#include "Server.h"
#include "TestServer.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTreeWidget>

#include <cstdio>

namespace
{
constexpr int kPublicRooms = 19970;
constexpr int kRoleRooms = 10; // each: owned, operated, member

// 0 owner, 1 operator, 2 member, 3 none: the list's first rule.
int Rank(const QString& i_room)
{
    const ItemPtr room = d->GetType("room")->HasItem(Value(i_room));
    if (room.IsConnected("is_owner"))
        return 0;
    if (room.IsConnected("is_operator"))
        return 1;
    return room.IsConnected("is_member") ? 2 : 3;
}

bool InOrder(QTreeWidget* ip_list)
{
    for (int row = 1; row < ip_list->topLevelItemCount(); ++row)
    {
        const QString before = ip_list->topLevelItem(row - 1)->text(0);
        const QString after = ip_list->topLevelItem(row)->text(0);
        const int rankBefore = Rank(before);
        const int rankAfter = Rank(after);
        if (rankBefore > rankAfter || (rankBefore == rankAfter && before.compare(after, Qt::CaseInsensitive) > 0))
            return false;
    }
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    UsePrivateHome(home);
    QApplication app(argc, argv);
    QuietPrompts prompts;
    StartupPrompts::Install(&prompts);

    TestServer server;
    server.Listen();
    server.AddAccount(QStringLiteral("tester"), QStringLiteral("secret"));
    for (int room = 0; room < kPublicRooms; ++room)
    {
        QStringList& present =
            server.RoomOf(QStringLiteral("Room %1 %2").arg(room * 7919 % kPublicRooms).arg(room)).m_present;
        for (int user = 0; user < room % 5; ++user)
            present << QStringLiteral("user%1").arg(user);
    }
    for (int room = 0; room < kRoleRooms; ++room)
    {
        TestServer::Room& owned = server.RoomOf(QStringLiteral("owned %1").arg(room));
        owned.m_private = true;
        owned.m_owner = QStringLiteral("tester");
        TestServer::Room& operated = server.RoomOf(QStringLiteral("operated %1").arg(room));
        operated.m_private = true;
        operated.m_owner = QStringLiteral("someone");
        operated.m_members = operated.m_operators = QStringList(QStringLiteral("tester"));
        TestServer::Room& member = server.RoomOf(QStringLiteral("member %1").arg(room));
        member.m_private = true;
        member.m_owner = QStringLiteral("someone");
        member.m_members = QStringList(QStringLiteral("tester"));
    }
    QMap<QString, QString> settings = QuietSettings();
    settings.insert({{"server_host", "127.0.0.1"},
                     {"server_port", QString::number(server.Port())},
                     {"username", "tester"},
                     {"password", "secret"}});
    WriteDataFile(MainWindow::DataFilePath(), settings);

    MainWindow window;
    window.show();
    window.Init();
    QElapsedTimer wait;
    wait.start();
    while (!gp_server->IsConnected() && wait.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);

    QTreeWidget* list = window.Form()->roomList;
    const int rooms = kPublicRooms + 3 * kRoleRooms;
    QElapsedTimer timer;
    timer.start();
    gp_server->GetRoomList();
    while (list->topLevelItemCount() < rooms && timer.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    // The list sorts what arrived once the event loop turns.
    QApplication::processEvents();
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    if (list->topLevelItemCount() != rooms || !InOrder(list) || list->topLevelItem(0)->text(0) != "owned 0")
        std::printf("room_list_20000_fill: FAILED\n");
    std::printf("room_list_20000_fill: %.0f ms\n", ms);
    StartupPrompts::Install(nullptr);
    return 0;
}
