// A room tab under load: a join of 10,000 users into its user list, and 100,000 chat lines into
// its capped view (cost per line at the end against the start, worst line, resident memory).

#include "ChatView.h"
#include "EngineStack.h"
#include "RoomForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTreeWidget>

#include <cstdio>

namespace
{
double ResidentMegabytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

void JoinTenThousand()
{
    Type* user = d->GetType("user");
    user->RelateToType(d->NewType("user_note", Secondary, false, true), Many, One);
    d->GetType("room")->RelateToType(d->NewType("room_form", Primary, false, true), One, One);
    d->NewType("chat_log_form", Primary, false, true)->RelateToType(d->GetType("room"), One, One);
    ItemPtr room = d->GetType("room")->GetItem(Value("busy"));
    room += d->GetType("in_room")->GetGlobalNullItem();
    QTabWidget tabs;
    RoomForm* form = RoomForm::OpenTab(&tabs, QStringLiteral("busy"));
    QElapsedTimer timer;
    timer.start();
    for (int n = 0; n < 10000; ++n)
    {
        ItemPtr member = user->GetItem(Value(QStringLiteral("user%1").arg(n)));
        room += member;
        member += d->GetType("average_download_speed")->GetItem(Value(n * 37 % 100000));
        member += d->GetType("shared_files_count")->GetItem(Value(n * 13 % 5000));
        member += d->GetType("country_code")->GetItem(Value(n % 2 ? "DE" : "FR"));
    }
    QApplication::processEvents(); // the list's pending sort
    const qint64 joined = timer.elapsed();
    auto* list = form->findChild<QTreeWidget*>(QStringLiteral("userList"));
    if (list->topLevelItemCount() != 10000 || room["user_count"].AsString() != QLatin1String("10000"))
        std::printf("room_join_10000_users: FAILED\n");
    std::printf("room_join_10000_users: %lld ms\n", joined);
    timer.restart();
    for (int column : {1, 2, 3, 4, 5})
        list->sortByColumn(column, Qt::AscendingOrder);
    std::printf("room_sort_10000_users_5_columns: %lld ms\n", timer.elapsed());
}

void HundredThousandLines()
{
    QTextBrowser browser;
    ChatView view(&browser, true);
    const double before = ResidentMegabytes();
    const int lines = 100000;
    const int window = 10000;
    qint64 startNs = 0;
    qint64 endNs = 0;
    qint64 worstNs = 0;
    QElapsedTimer line;
    for (int n = 0; n < lines; ++n)
    {
        line.start();
        view.AddChatLine(QStringLiteral("user%1").arg(n % 50),
                         QStringLiteral("line %1 with some ordinary chat text and http://example.org/%1").arg(n));
        const qint64 ns = line.nsecsElapsed();
        worstNs = qMax(worstNs, ns);
        if (n < window)
            startNs += ns;
        else if (n >= lines - window)
            endNs += ns;
    }
    std::printf("chat_line_cost_end_vs_start: %.2f ratio\n", double(endNs) / double(startNs));
    std::printf("chat_line_worst: %.1f ms\n", worstNs / 1e6);
    std::printf("chat_100k_lines_resident: %.1f MB\n", ResidentMegabytes() - before);
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    EngineStack engines(EngineStack::ServerConnection);
    SetSetting(QStringLiteral("chat_timestamps"), QStringLiteral("per_message_short"));
    SetSetting(QStringLiteral("color_chat_username"), QStringLiteral("#0033ff"));
    SetSetting(QStringLiteral("color_chat_timestamp"), QStringLiteral("#0066ff"));
    JoinTenThousand();
    HundredThousandLines();
    return 0;
}
