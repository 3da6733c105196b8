// The room list of the real main window filled from one room-list answer of 20,000 rooms (thirty
// of them with own roles), from the request until every row stands in its order. Then twelve
// answers of 131,072 new rooms each, every one replacing the list before: the last must cost
// about what the first did. Then ten such answers at once from a server that writes as fast as the
// client reads: the event loop turns between them, so the window waits about as long as for one.
#include "BenchLogin.h"
#include "BenchWindow.h"
#include "MainWindow.h"
#include "PreparedHome.h"
#include "Server.h"
#include "TestServer.h"
#include "Wire.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

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
constexpr int kListRooms = 131072;
constexpr int kLists = 12;

// One answer of public rooms only, named after the list so that each brings new ones, in no order.
QByteArray RoomList(int i_list)
{
    WireWriter body;
    body.U32(kListRooms);
    for (int room = 0; room < kListRooms; ++room)
        body.Str(QStringLiteral("list %1 room %2").arg(i_list).arg(room * 7919 % kListRooms));
    body.U32(kListRooms);
    for (int room = 0; room < kListRooms; ++room)
        body.U32(quint32(room % 50));
    return body.U32(0).U32(0).U32(0).U32(0).U32(0).Body();
}

// From the answer's sending until its rows stand sorted; -1 when the list is not the answer's.
double ListMs(TestServer& io_server, QTreeWidget* ip_list, int i_list)
{
    const QByteArray body = RoomList(i_list);
    const QString last = QStringLiteral("list %1 room %2").arg(i_list).arg((kListRooms - 1) * 7919 % kListRooms);
    QElapsedTimer timer;
    timer.start();
    io_server.SendFrame(QStringLiteral("tester"), SM_ROOM_LIST, body);
    while (!d->GetType("room")->HasItem(Value(last)) && timer.elapsed() < 600000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    // The rows that went and the sort wait for the event loop's next turn.
    QApplication::processEvents();
    QApplication::processEvents();
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    const QString first = QStringLiteral("list %1 room 0").arg(i_list);
    return ip_list->topLevelItemCount() == kListRooms && ip_list->topLevelItem(0)->text(0) == first ? ms : -1;
}

double ReplacedLists(TestServer& io_server, QTreeWidget* ip_list)
{
    std::vector<double> times;
    for (int list = 0; list < kLists; ++list)
        times.push_back(ListMs(io_server, ip_list, list));
    const bool whole = std::all_of(times.begin(), times.end(), [](double i_ms) { return i_ms >= 0; });
    std::printf("room_list_12_lists_131072_rooms_first: %.0f ms%s\n", times.front(),
                whole ? "" : " (list not replaced)");
    std::printf("room_list_12_lists_131072_rooms_last: %.0f ms\n", times.back());
    std::printf("room_list_12_lists_131072_rooms_last_vs_first: %.2f ratio\n", times.back() / times.front());
    // The second is the first to replace a list as large: from there on nothing may grow.
    std::printf("room_list_12_lists_131072_rooms_last_vs_second: %.2f ratio\n", times.back() / times[1]);
    std::fflush(stdout);
    return times.back();
}

// A server on a thread of its own that logs the client in, then writes its flood as fast as the
// client takes it, as a hostile server would; it ends when the client leaves.
class FloodServer
{
public:
    explicit FloodServer(const QByteArray& i_flood)
        : m_listener(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(m_listener, 1) != 0
            || ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
        const QByteArray wire = WireWriter()
                                    .U8(1)
                                    .Str(QStringLiteral("welcome"))
                                    .Ip(0x7f000001)
                                    .Str(QStringLiteral("5ebe2294ecd0e0f08eab7690d2a6ee69"))
                                    .U8(0)
                                    .Frame(SM_LOGIN)
                                + i_flood;
        m_thread = std::thread([this, wire] {
            const int client = ::accept(m_listener, nullptr, nullptr);
            if (client < 0)
                return;
            ::send(client, wire.constData(), size_t(wire.size()), MSG_NOSIGNAL);
            char buffer[4096];
            while (::recv(client, buffer, sizeof buffer, 0) > 0)
            {
            }
            ::close(client);
        });
    }
    ~FloodServer()
    {
        if (m_thread.joinable())
            m_thread.join();
        if (m_listener >= 0)
            ::close(m_listener);
    }
    quint16 Port() const { return m_port; }

private:
    int m_listener;
    quint16 m_port = 0;
    std::thread m_thread;
};

// Ten answers of 131,072 rooms at once: the longest the event loop waits for its next turn
// meanwhile, against what one answer alone takes.
void ListsAtOnce(double i_oneListMs)
{
    constexpr int kAtOnce = 10;
    QByteArray flood;
    for (int list = kLists; list < kLists + kAtOnce; ++list)
        flood += WireWriter().Append(RoomList(list)).Frame(SM_ROOM_LIST);
    const QString last =
        QStringLiteral("list %1 room %2").arg(kLists + kAtOnce - 1).arg((kListRooms - 1) * 7919 % kListRooms);
    FloodServer server(flood);
    gp_server->Disconnect();
    SetSettingNumber(QStringLiteral("server_port"), server.Port());

    QElapsedTimer sinceTurn;
    qint64 longestTurnNs = 0;
    QTimer turns;
    turns.setInterval(0);
    QObject::connect(&turns, &QTimer::timeout, [&sinceTurn, &longestTurnNs] {
        longestTurnNs = std::max(longestTurnNs, sinceTurn.nsecsElapsed());
        sinceTurn.restart();
    });
    QElapsedTimer timer;
    timer.start();
    sinceTurn.start();
    turns.start();
    gp_server->Connect();
    while (!d->GetType("room")->HasItem(Value(last)) && timer.elapsed() < 900000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    QApplication::processEvents();
    QApplication::processEvents();
    turns.stop();
    const double totalMs = double(timer.nsecsElapsed()) / 1e6;
    const double longestMs = double(longestTurnNs) / 1e6;
    gp_server->Disconnect();
    std::printf("room_list_10_lists_at_once_total: %.0f ms\n", totalMs);
    std::printf("room_list_10_lists_at_once_longest_wait: %.0f ms\n", longestMs);
    std::printf("room_list_10_lists_at_once_longest_wait_vs_one_list: %.2f ratio\n", longestMs / i_oneListMs);
}
} // namespace

int main(int argc, char** argv)
{
    BenchApplication app(argc, argv);

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
    WriteLoginDataFile(server.Port(), QStringLiteral("tester"), QStringLiteral("secret"));

    MainWindow window;
    window.show();
    window.Init();
    WaitForLogin();

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
    std::fflush(stdout);
    ListsAtOnce(ReplacedLists(server, list));
    return 0;
}
