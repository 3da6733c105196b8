// Bursts of small server messages that each cost much to handle, every burst written in one read
// to the real main window logged in to the loopback server: 400 searches relayed by the server
// while the client shares 3,000 files that match them, and 400 private messages from as many new
// partners. The figure is the longest an event posted to the window waits while the burst is
// handled and the views follow it, as a user's input would wait; the median of three runs.
// Then floods, each written in a small write every millisecond from a server thread of its own,
// during which a person types, brings pages forward, waits for a message, clicks in a scroll bar,
// resizes the window, drags a column's edge and drags over rows: from the key, click or move posted,
// the page chosen, the message handled or the resize until the widgets that show it got their
// paint; the longest of each flood, the median of three floods.
#include "BenchLogin.h"
#include "BenchWindow.h"
#include "ChatForm.h"
#include "ChatsForm.h"
#include "LagProbe.h"
#include "MainWindow.h"
#include "PreparedHome.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TestServer.h"
#include "Wire.h"
#include "ui_MainWindow.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <vector>

namespace
{
constexpr int kMessages = 400;
constexpr int kRuns = 3;
constexpr int kSharedFiles = 3000;
constexpr int kFilesPerFolder = 100;
const QString kMe = QStringLiteral("tester");

// 3,000 files, each named with the word searched for.
void MakeShare(const QString& i_root)
{
    for (int file = 0; file < kSharedFiles; ++file)
    {
        const QString folder = QStringLiteral("%1/album %2").arg(i_root).arg(file / kFilesPerFolder);
        QDir().mkpath(folder);
        QFile out(QStringLiteral("%1/%2 burstword take %3.mp3").arg(folder).arg(file % kFilesPerFolder).arg(file));
        out.open(QIODevice::WriteOnly);
    }
}

// The loopback server in a thread of its own, so that its writes take nothing from the window's.
class ServerThread
{
public:
    ServerThread()
    {
        m_server.moveToThread(&m_thread);
        m_thread.start();
    }
    ~ServerThread()
    {
        Run([this] { m_server.moveToThread(QCoreApplication::instance()->thread()); });
        m_thread.quit();
        m_thread.wait();
    }
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;

    // Runs i_work in the server's thread and waits for it.
    template<typename Work> void Run(Work i_work)
    {
        QMetaObject::invokeMethod(&m_server, i_work, Qt::BlockingQueuedConnection);
    }
    TestServer& Server() { return m_server; }

private:
    QThread m_thread;
    TestServer m_server;
};

// What one flood writes: m_perSecond frames a second made by m_frame, for m_ms, and the frames of
// m_marked each once its time (ms from the start) has come.
struct Flood
{
    int m_perSecond = 0;
    qint64 m_ms = 10000;
    std::function<QByteArray(int)> m_frame;
    std::map<qint64, QByteArray> m_marked;
};

constexpr qint64 kFloodMs = 10000;

// Writes i_flood from the server's thread, a small write every millisecond, then the frame i_end;
// returns at once.
void StartFlood(ServerThread& io_server, Flood& io_flood, const QElapsedTimer& i_clock, const QByteArray& i_end)
{
    QMetaObject::invokeMethod(&io_server.Server(), [&io_server, &io_flood, &i_clock, i_end] {
        auto* tick = new QTimer(&io_server.Server());
        tick->setTimerType(Qt::PreciseTimer);
        tick->setInterval(1);
        const qint64 start = i_clock.elapsed();
        auto sent = std::make_shared<qint64>(0);
        auto marked = std::make_shared<std::map<qint64, QByteArray>>(io_flood.m_marked);
        QObject::connect(tick, &QTimer::timeout, [&io_server, &io_flood, &i_clock, i_end, tick, start, sent, marked] {
            const qint64 now = std::min(i_clock.elapsed() - start, io_flood.m_ms);
            QByteArray chunk;
            const qint64 due = io_flood.m_perSecond * now / 1000;
            for (; *sent < due; ++*sent)
                chunk += io_flood.m_frame(int(*sent));
            while (!marked->empty() && marked->begin()->first <= now)
            {
                chunk += marked->begin()->second;
                marked->erase(marked->begin());
            }
            if (now >= io_flood.m_ms)
            {
                chunk += i_end;
                tick->deleteLater();
                tick->stop();
            }
            io_server.Server().SendRaw(kMe, chunk);
        });
        tick->start();
    });
}

// Records when each of a set of widgets got its first paint after Arm(), a paint that counts only
// when m_counts says so.
class PaintWatch : public QObject
{
public:
    PaintWatch(const QElapsedTimer& i_clock, std::vector<QWidget*> i_widgets)
        : m_clock(i_clock)
        , m_widgets(std::move(i_widgets))
    {
        for (QWidget* widget : m_widgets)
            widget->installEventFilter(this);
    }
    ~PaintWatch() override
    {
        for (QWidget* widget : m_widgets)
            widget->removeEventFilter(this);
    }
    void Arm(qint64 i_fromNs)
    {
        m_fromNs = i_fromNs;
        m_painted.clear();
        m_doneNs = -1;
    }
    bool Done() const { return m_doneNs >= 0; }
    double Ms() const { return (m_doneNs - m_fromNs) / 1e6; }
    bool eventFilter(QObject* ip_watched, QEvent* ip_event) override
    {
        if (ip_event->type() == QEvent::Paint && m_fromNs >= 0 && m_doneNs < 0 && (!m_counts || m_counts()))
        {
            m_painted.insert(ip_watched);
            if (m_painted.size() == m_widgets.size())
            {
                m_doneNs = m_clock.nsecsElapsed();
                if (m_then)
                    QTimer::singleShot(0, this, m_then);
            }
        }
        return false;
    }

    std::function<bool()> m_counts;
    // What follows once the paints came.
    std::function<void()> m_then;

private:
    const QElapsedTimer& m_clock;
    std::vector<QWidget*> m_widgets;
    std::set<QObject*> m_painted;
    qint64 m_fromNs = -1;
    qint64 m_doneNs = -1;
};

// Sends the burst and turns a plain event loop until i_count has seen every message and the views
// have had time to follow; the longest wait of a posted event meanwhile, -1 if the burst was lost.
double LongestStall(ServerThread& io_server, const QByteArray& i_burst, int& io_count)
{
    io_count = 0;
    QEventLoop loop;
    QTimer watch;
    watch.setInterval(1);
    bool whole = false;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (io_count < kMessages)
            return;
        watch.stop();
        whole = true;
        // Whatever the views leave for after the burst is part of the wait.
        QTimer::singleShot(200, &loop, &QEventLoop::quit);
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    LagProbe probe;
    watch.start();
    QMetaObject::invokeMethod(&io_server.Server(), [&io_server, i_burst] { io_server.Server().SendRaw(kMe, i_burst); });
    loop.exec();
    probe.Stop();
    return whole ? probe.WorstMs() : -1;
}

double Median(std::vector<double> i_values)
{
    std::sort(i_values.begin(), i_values.end());
    return i_values[i_values.size() / 2];
}

double Searches(ServerThread& io_server)
{
    int processed = 0;
    const QMetaObject::Connection counting = QObject::connect(
        sharedFoldersManager, &SharedFoldersManager::SearchProcessed, [&processed](QString, bool) { ++processed; });
    std::vector<double> runs;
    for (int run = 0; run < kRuns; ++run)
    {
        QByteArray burst;
        for (int n = 0; n < kMessages; ++n)
            burst += WireWriter()
                         .Str(QStringLiteral("s%1").arg(n % 100))
                         .U32(quint32(run * kMessages + n))
                         .Str(QStringLiteral("burstword"))
                         .Frame(SM_FILE_SEARCH);
        runs.push_back(LongestStall(io_server, burst, processed));
    }
    QObject::disconnect(counting);
    return Median(runs);
}

double PrivateMessages(ServerThread& io_server, QTabWidget* ip_chatTabs)
{
    int received = 0;
    const QMetaObject::Connection counting =
        QObject::connect(gp_server, &Server::PrivateChat, [&received](QString, QString, time_t, bool) { ++received; });
    std::vector<double> runs;
    for (int run = 0; run < kRuns; ++run)
    {
        QByteArray burst;
        for (int n = 0; n < kMessages; ++n)
            burst += WireWriter()
                         .U32(quint32(1000 + run * kMessages + n))
                         .U32(1700000000)
                         .Str(QStringLiteral("partner %1 %2").arg(run).arg(n))
                         .Str(QStringLiteral("hello"))
                         .U8(1)
                         .Frame(SM_PRIVATE_MESSAGE);
        runs.push_back(LongestStall(io_server, burst, received));
        // Each run opens its chats anew.
        while (ip_chatTabs->count() > 1)
            emit ip_chatTabs->tabCloseRequested(ip_chatTabs->count() - 1);
        QApplication::processEvents();
    }
    QObject::disconnect(counting);
    return Median(runs);
}

constexpr int kListedUsers = 2000;
const QString kPartner = QStringLiteral("partner");
const QString kFlooder = QStringLiteral("flooder");
std::atomic<quint32> g_messageId{100000};

QByteArray PrivateMessage(const QString& i_from, const QString& i_text)
{
    return WireWriter().U32(++g_messageId).U32(1700000000).Str(i_from).Str(i_text).U8(1).Frame(SM_PRIVATE_MESSAGE);
}

// The users of the user list by turns online and offline, each moving its row.
QByteArray Status(int i_n)
{
    return WireWriter()
        .Str(QStringLiteral("listed %1").arg(i_n % kListedUsers))
        .U32((i_n / kListedUsers) % 2 ? USER_STATUS_OFFLINE : USER_STATUS_ONLINE)
        .U8(0)
        .Frame(SM_USER_STATUS);
}

// 100,000 statuses a second, for ten seconds.
Flood StatusFlood()
{
    Flood flood;
    flood.m_perSecond = 100000;
    flood.m_frame = Status;
    return flood;
}

// One flood and what a person does meanwhile: each step runs at its time (ms from the flood's
// start); a wait runs from its start till its watch has its paints, and one never ended counts
// till the next on that watch or the flood's end.
class FloodRun
{
public:
    FloodRun(ServerThread& io_server, const QElapsedTimer& i_clock)
        : mp_server(&io_server)
        , m_clock(i_clock)
    {
    }

    void At(qint64 i_ms, std::function<void()> i_step) { m_steps.emplace_back(i_ms, std::move(i_step)); }

    void Wait(PaintWatch& io_watch, qint64 i_fromNs)
    {
        Settle(io_watch);
        io_watch.Arm(i_fromNs);
        m_open[&io_watch] = i_fromNs;
    }

    // Floods and runs the steps till the flood's end has arrived; false if it never did.
    bool Run(Flood& io_flood)
    {
        QEventLoop loop;
        bool ended = false;
        const QString end = QStringLiteral("flood end %1").arg(g_messageId.load());
        const QMetaObject::Connection ending =
            QObject::connect(gp_server, &Server::PrivateChat, [&](QString, QString i_text, time_t, bool) {
                if (i_text != end)
                    return;
                ended = true;
                QTimer::singleShot(300, &loop, &QEventLoop::quit);
            });
        for (const auto& step : m_steps)
            QTimer::singleShot(int(step.first), &loop, step.second);
        QTimer::singleShot(int(io_flood.m_ms * 12), &loop, &QEventLoop::quit);
        StartFlood(*mp_server, io_flood, m_clock, PrivateMessage(kPartner, end));
        loop.exec();
        QObject::disconnect(ending);
        while (!m_open.empty())
            Settle(*m_open.begin()->first);
        return ended;
    }

    // The longest wait on the watch, in ms.
    double Longest(PaintWatch& i_watch) const
    {
        const auto longest = m_longest.find(&i_watch);
        return longest == m_longest.end() ? -1 : longest->second;
    }

private:
    void Settle(PaintWatch& io_watch)
    {
        const auto open = m_open.find(&io_watch);
        if (open == m_open.end())
            return;
        const double waited = io_watch.Done() ? io_watch.Ms() : (m_clock.nsecsElapsed() - open->second) / 1e6;
        m_longest[&io_watch] = std::max(m_longest[&io_watch], waited);
        m_open.erase(open);
    }

    ServerThread* mp_server;
    const QElapsedTimer& m_clock;
    std::vector<std::pair<qint64, std::function<void()>>> m_steps;
    std::map<PaintWatch*, qint64> m_open;
    std::map<PaintWatch*, double> m_longest;
};

struct Pages
{
    QTabWidget* mp_tabs;
    QWidget* mp_chat;
    QWidget* mp_users;
    QWidget* mp_other;
};

// The chat with the partner, open and in front.
ChatForm* ShownChat(const Pages& i_pages)
{
    chatsForm->OpenChatForm(kPartner);
    i_pages.mp_tabs->setCurrentWidget(i_pages.mp_chat);
    QApplication::processEvents();
    return qobject_cast<ChatForm*>(chatsForm->Tabs()->currentWidget());
}

QWidget* ChatViewport(ChatForm* ip_chat)
{
    return ip_chat->findChild<QAbstractScrollArea*>(QStringLiteral("chatView"))->viewport();
}

// A key typed into the open chat, then the chat page brought forward from another, over and over
// during 20,000 private messages a second from another partner: the longest wait of each. Each act
// waits for the paint of the one before, so that a late one cannot hide what it waits for.
std::pair<double, double> TypingAndChatPage(ServerThread& io_server, const Pages& i_pages, const QElapsedTimer& i_clock)
{
    chatsForm->OpenChatForm(kFlooder);
    ChatForm* chat = ShownChat(i_pages);
    auto* entry = chat->findChild<QLineEdit*>(QStringLiteral("chatEdit"));
    entry->setFocus();
    entry->clear();
    PaintWatch typed(i_clock, {entry});
    int length = 0;
    typed.m_counts = [&] { return entry->text().size() > length; };
    PaintWatch page(i_clock, {chatsForm->Tabs()->tabBar(), ChatViewport(chat), entry});
    FloodRun run(io_server, i_clock);
    QObject acts;
    const qint64 endNs = i_clock.nsecsElapsed() + kFloodMs * 1000000;
    std::function<void()> type = [&] {
        if (i_clock.nsecsElapsed() > endNs)
            return;
        length = entry->text().size();
        run.Wait(typed, i_clock.nsecsElapsed());
        QCoreApplication::postEvent(entry, new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a"));
        QCoreApplication::postEvent(entry, new QKeyEvent(QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier, "a"));
    };
    typed.m_then = [&] {
        QTimer::singleShot(200, &acts, [&] {
            i_pages.mp_tabs->setCurrentWidget(i_pages.mp_other);
            QTimer::singleShot(300, &acts, [&] {
                run.Wait(page, i_clock.nsecsElapsed());
                i_pages.mp_tabs->setCurrentWidget(i_pages.mp_chat);
            });
        });
    };
    page.m_then = [&] { QTimer::singleShot(300, &acts, type); };
    run.At(1000, type);
    Flood flood;
    flood.m_perSecond = 20000;
    flood.m_frame = [](int i_n) { return PrivateMessage(kFlooder, QStringLiteral("line %1").arg(i_n)); };
    if (!run.Run(flood))
        return {-1, -1};
    return {run.Longest(typed), run.Longest(page)};
}

// The users page brought forward from another, over and over during 100,000 statuses a second of
// listed users, each time once the last was painted.
double UsersPage(ServerThread& io_server, const Pages& i_pages, const QElapsedTimer& i_clock)
{
    auto* list = i_pages.mp_users->findChild<QTreeWidget*>(QStringLiteral("userList"));
    auto* tabs = qobject_cast<QTabWidget*>(list->parentWidget()->parentWidget()->parentWidget());
    std::vector<QWidget*> whole{list->viewport(), list->header()->viewport()};
    if (tabs)
        whole.push_back(tabs->tabBar());
    PaintWatch page(i_clock, whole);
    FloodRun run(io_server, i_clock);
    QObject acts;
    const qint64 endNs = i_clock.nsecsElapsed() + kFloodMs * 1000000;
    std::function<void()> leave = [&] {
        if (i_clock.nsecsElapsed() > endNs)
            return;
        i_pages.mp_tabs->setCurrentWidget(i_pages.mp_other);
        QTimer::singleShot(500, &acts, [&] {
            run.Wait(page, i_clock.nsecsElapsed());
            i_pages.mp_tabs->setCurrentWidget(i_pages.mp_users);
        });
    };
    page.m_then = [&] { QTimer::singleShot(500, &acts, leave); };
    run.At(1000, leave);
    Flood flood = StatusFlood();
    return run.Run(flood) ? run.Longest(page) : -1;
}

// On the users page during 100,000 statuses a second of listed users, over and over, each once the
// last was painted: a click in the list's scroll-bar trough, till the rows scrolled to are painted,
// and a resize of the window, till the strip the list gains is painted; the window is then made
// small again. The longest wait of each.
std::pair<double, double> ScrollBarAndResize(ServerThread& io_server, const Pages& i_pages,
                                             const QElapsedTimer& i_clock)
{
    i_pages.mp_tabs->setCurrentWidget(i_pages.mp_users);
    QApplication::processEvents();
    auto* list = i_pages.mp_users->findChild<QTreeWidget*>(QStringLiteral("userList"));
    QScrollBar* bar = list->verticalScrollBar();
    QWidget* window = list->window();
    const QSize small = window->size();
    PaintWatch scrolled(i_clock, {list->viewport()});
    int before = 0;
    scrolled.m_counts = [&] { return bar->value() != before; };
    PaintWatch widened(i_clock, {list->viewport()});
    int narrow = 0;
    widened.m_counts = [&] { return list->viewport()->width() > narrow; };
    FloodRun run(io_server, i_clock);
    QObject acts;
    const qint64 endNs = i_clock.nsecsElapsed() + kFloodMs * 1000000;
    std::function<void()> click = [&] {
        if (i_clock.nsecsElapsed() > endNs)
            return;
        before = bar->value();
        // In the trough above the bottom arrow, or below the top one once past half-way.
        const int y = before < bar->maximum() / 2 ? bar->height() - bar->width() - 2 : bar->width() + 2;
        const QPoint at(bar->width() / 2, y);
        run.Wait(scrolled, i_clock.nsecsElapsed());
        QCoreApplication::postEvent(
            bar, new QMouseEvent(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
        QCoreApplication::postEvent(
            bar, new QMouseEvent(QEvent::MouseButtonRelease, at, Qt::LeftButton, {}, Qt::NoModifier));
    };
    scrolled.m_then = [&] {
        QTimer::singleShot(300, &acts, [&] {
            narrow = list->viewport()->width();
            run.Wait(widened, i_clock.nsecsElapsed());
            window->resize(small + QSize(120, 80));
        });
    };
    widened.m_then = [&] {
        QTimer::singleShot(300, &acts, [&] {
            window->resize(small);
            QTimer::singleShot(500, &acts, click);
        });
    };
    run.At(1000, click);
    Flood flood = StatusFlood();
    const bool ended = run.Run(flood);
    window->resize(small);
    QApplication::processEvents();
    return ended ? std::make_pair(run.Longest(scrolled), run.Longest(widened)) : std::make_pair(-1.0, -1.0);
}

// A mouse event on i_widget at i_at with the left button: pressed, moved with it held, released.
void PostLeftButton(QWidget* ip_widget, QEvent::Type i_type, const QPoint& i_at)
{
    const Qt::MouseButton button = i_type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons held = i_type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QCoreApplication::postEvent(ip_widget, new QMouseEvent(i_type, i_at, button, held, Qt::NoModifier));
}

// On the users page during 100,000 statuses a second of listed users, over and over, each once the
// last was painted: the edge of the list's first column pressed in its header and dragged, till the
// rows are painted at the column's new width, and a press on a row moved five rows down, till the
// selection the move makes is painted. From the move, the longest wait of each.
std::pair<double, double> HeaderAndDrag(ServerThread& io_server, const Pages& i_pages, const QElapsedTimer& i_clock)
{
    i_pages.mp_tabs->setCurrentWidget(i_pages.mp_users);
    QApplication::processEvents();
    auto* list = i_pages.mp_users->findChild<QTreeWidget*>(QStringLiteral("userList"));
    QHeaderView* header = list->header();
    PaintWatch resized(i_clock, {list->viewport()});
    int width = 0;
    resized.m_counts = [&] { return list->columnWidth(0) != width; };
    PaintWatch selected(i_clock, {list->viewport()});
    bool moved = false;
    selected.m_counts = [&] { return moved; };
    FloodRun run(io_server, i_clock);
    QObject acts;
    const qint64 endNs = i_clock.nsecsElapsed() + kFloodMs * 1000000;
    int grow = 40;
    QPoint at;
    std::function<void()> drag = [&] {
        if (i_clock.nsecsElapsed() > endNs)
            return;
        at = QPoint(header->sectionViewportPosition(0) + header->sectionSize(0) - 1, header->height() / 2);
        PostLeftButton(header->viewport(), QEvent::MouseButtonPress, at);
        QTimer::singleShot(300, &acts, [&] {
            width = list->columnWidth(0);
            grow = -grow;
            at += QPoint(grow, 0);
            run.Wait(resized, i_clock.nsecsElapsed());
            PostLeftButton(header->viewport(), QEvent::MouseMove, at);
        });
    };
    resized.m_then = [&] {
        PostLeftButton(header->viewport(), QEvent::MouseButtonRelease, at);
        QTimer::singleShot(300, &acts, [&] {
            const int row = list->visualItemRect(list->topLevelItem(0)).height();
            at = QPoint(list->viewport()->width() / 2, row * 3 / 2);
            PostLeftButton(list->viewport(), QEvent::MouseButtonPress, at);
            QTimer::singleShot(300, &acts, [&, row] {
                moved = false;
                at += QPoint(0, 5 * row);
                run.Wait(selected, i_clock.nsecsElapsed());
                PostLeftButton(list->viewport(), QEvent::MouseMove, at);
                // Posted after the move, so handled after it, and before the paint that shows it.
                QMetaObject::invokeMethod(
                    &acts, [&] { moved = true; }, Qt::QueuedConnection);
            });
        });
    };
    selected.m_then = [&] {
        PostLeftButton(list->viewport(), QEvent::MouseButtonRelease, at);
        QTimer::singleShot(500, &acts, drag);
    };
    run.At(1000, drag);
    Flood flood = StatusFlood();
    const bool ended = run.Run(flood);
    return ended ? std::make_pair(run.Longest(resized), run.Longest(selected)) : std::make_pair(-1.0, -1.0);
}

// Private messages from the partner whose chat is in front, one every 200 ms inside 200,000 statuses
// of listed users written in 2 s, more than the window reads meanwhile: the longest from a message
// handled till its chat painted it, so that the statuses read before it do not count.
double MessageInStatuses(ServerThread& io_server, const Pages& i_pages, const QElapsedTimer& i_clock)
{
    ChatForm* chat = ShownChat(i_pages);
    // A line added below the view, as to a chat read further up, is not painted.
    QScrollBar* scroll = chat->findChild<QAbstractScrollArea*>(QStringLiteral("chatView"))->verticalScrollBar();
    scroll->setValue(scroll->maximum());
    PaintWatch shown(i_clock, {ChatViewport(chat)});
    FloodRun run(io_server, i_clock);
    Flood flood = StatusFlood();
    flood.m_ms = 2000;
    for (qint64 ms = 200; ms < flood.m_ms; ms += 200)
        flood.m_marked[ms] = PrivateMessage(kPartner, QStringLiteral("marked %1").arg(ms));
    const QMetaObject::Connection arriving =
        QObject::connect(gp_server, &Server::PrivateChat, [&](QString, QString i_text, time_t, bool) {
            if (i_text.startsWith(QLatin1String("marked ")))
                run.Wait(shown, i_clock.nsecsElapsed());
        });
    const bool ended = run.Run(flood);
    QObject::disconnect(arriving);
    return ended ? run.Longest(shown) : -1;
}

// The longest a person's drag in a held list may wait for its paint.
constexpr double kDragShownLimitMs = 150;

// The median of three floods of each figure; false when a drag's figure is over its limit.
bool Floods(ServerThread& io_server, const Pages& i_pages)
{
    QElapsedTimer clock;
    clock.start();
    std::vector<double> keys, pages, messages, scrollBars, resizes, headerResizes, dragSelects;
    for (int run = 0; run < kRuns; ++run)
    {
        const auto [key, chatPage] = TypingAndChatPage(io_server, i_pages, clock);
        const double usersPage = UsersPage(io_server, i_pages, clock);
        keys.push_back(key);
        pages.push_back(key < 0 || usersPage < 0 ? -1 : std::max(chatPage, usersPage));
        messages.push_back(MessageInStatuses(io_server, i_pages, clock));
        const auto [scrollBar, resize] = ScrollBarAndResize(io_server, i_pages, clock);
        scrollBars.push_back(scrollBar);
        resizes.push_back(resize);
        const auto [headerResize, dragSelect] = HeaderAndDrag(io_server, i_pages, clock);
        headerResizes.push_back(headerResize);
        dragSelects.push_back(dragSelect);
        std::fprintf(stderr,
                     "(flood %d: key %.0f ms, chat page %.0f ms, users page %.0f ms, message %.0f ms, scroll bar %.0f "
                     "ms, resize %.0f ms, header drag %.0f ms, drag select %.0f ms)\n",
                     run, key, chatPage, usersPage, messages.back(), scrollBar, resize, headerResize, dragSelect);
    }
    std::printf("server_flood_keystroke_shown_longest: %.0f ms\n", Median(keys));
    std::printf("server_flood_page_shown_longest: %.0f ms\n", Median(pages));
    std::printf("server_flood_message_shown_longest: %.0f ms\n", Median(messages));
    std::printf("server_flood_scrollbar_shown_longest: %.0f ms\n", Median(scrollBars));
    std::printf("server_flood_resize_shown_longest: %.0f ms\n", Median(resizes));
    bool within = true;
    for (const auto& [name, values] : {std::make_pair("server_flood_header_resize_shown_longest", headerResizes),
                                       std::make_pair("server_flood_drag_select_shown_longest", dragSelects)})
    {
        const double figure = Median(values);
        within = within && figure >= 0 && figure <= kDragShownLimitMs;
        std::printf("%s: %.0f ms\n", name, figure);
    }
    return within;
}
} // namespace

int main(int argc, char** argv)
{
    BenchApplication app(argc, argv);
    QTemporaryDir share;
    MakeShare(share.path());

    ServerThread server;
    quint16 port = 0;
    server.Run([&server, &port] {
        server.Server().Listen();
        server.Server().AddAccount(kMe, QStringLiteral("secret"));
        port = server.Server().Port();
    });
    WriteLoginDataFile(port, kMe, QStringLiteral("secret"));

    MainWindow window;
    window.show();
    window.Init();
    if (!WaitForLogin())
    {
        std::printf("server_bursts: no login\n");
        return 1;
    }
    sharedFoldersManager->AddSharedFolder(share.path()).Connect(d->GetType("shared_public")->GetGlobalNullItem());
    QApplication::processEvents();

    // Each burst with the page it shows on in front.
    window.Form()->tabControl->setCurrentWidget(window.Form()->searchTab);
    std::printf("server_400_searches_in_one_read_longest_stall: %.0f ms\n", Searches(server));
    std::fflush(stdout);
    window.Form()->tabControl->setCurrentWidget(window.Form()->chatTab);
    auto* chatTabs = window.findChild<QTabWidget*>(QStringLiteral("chatTabControl"));
    std::printf("server_400_private_messages_in_one_read_longest_stall: %.0f ms\n", PrivateMessages(server, chatTabs));
    std::fflush(stdout);

    for (int user = 0; user < kListedUsers; ++user)
        d->GetType("user")->GetItem(QStringLiteral("listed %1").arg(user)).NewItem("in_user_list");
    QApplication::processEvents();
    const bool within = Floods(
        server, {window.Form()->tabControl, window.Form()->chatTab, window.Form()->tab_2, window.Form()->searchTab});
    return within ? 0 : 1;
}
