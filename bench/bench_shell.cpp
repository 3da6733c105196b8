// The shell machinery on every focus move and every column drag: a tool bar rebuild for a set of
// seven actions, focus moves inside one widget, column resizes followed by the size memory, and
// one new button on the notification bar with many pending.
#include "ActionSetToolBar.h"
#include "Data.h"
#include "DataSaver.h"
#include "EventToolBar.h"
#include "SizeManager.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QMainWindow>
#include <QTest>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace
{
constexpr int kRebuilds = 2000;
constexpr int kRefocuses = 1000;
constexpr int kResizes = 10000;
constexpr int kColumns = 7;

// Counts the actions made on the bar.
class ActionCounter : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* ip_event) override
    {
        if (ip_event->type() == QEvent::ChildAdded
            && qobject_cast<QAction*>(static_cast<QChildEvent*>(ip_event)->child()))
            ++m_made;
        return false;
    }
    int m_made = 0;
};

QLineEdit* AddPane(QVBoxLayout* ip_layout, QWidget** op_pane)
{
    *op_pane = new QWidget;
    auto* layout = new QVBoxLayout(*op_pane);
    auto* edit = new QLineEdit;
    layout->addWidget(edit);
    layout->addWidget(new QLineEdit);
    ip_layout->addWidget(*op_pane);
    return edit;
}

void ToolBar()
{
    QMainWindow window;
    auto* bar = new ActionSetToolBar(&window);
    window.addToolBar(bar);
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    QWidget* first = nullptr;
    QWidget* second = nullptr;
    QLineEdit* firstEdit = AddPane(layout, &first);
    QLineEdit* secondEdit = AddPane(layout, &second);
    window.setCentralWidget(central);
    bar->Init();
    for (int action = 0; action < 7; ++action)
        bar->AddSetAction("results", QStringLiteral("action_%1").arg(action), QStringLiteral("Action %1").arg(action),
                          ":/icons/room_icon", action % 2 == 0);
    bar->RegisterWidget(first, "results");
    bar->RegisterWidget(second, "results");
    bar->AddWidgetKey(first, "user", "first");
    window.show();
    if (!QTest::qWaitForWindowActive(&window))
        std::printf("toolbar: the window never became active\n");

    // Two widgets of one set: every move between them is a rebuild, and the event loop then
    // deletes the old buttons and lays out the new ones.
    QElapsedTimer timer;
    timer.start();
    for (int move = 0; move < kRebuilds; ++move)
    {
        (move % 2 ? secondEdit : firstEdit)->setFocus();
        QCoreApplication::processEvents();
        // Outside a running loop the deferred deletes wait for this.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    std::printf("toolbar_rebuild_7_actions: %.3f ms\n", static_cast<double>(timer.nsecsElapsed()) / kRebuilds / 1e6);

    ActionCounter counter;
    bar->installEventFilter(&counter);
    QLineEdit* other = first->findChildren<QLineEdit*>().last();
    for (int move = 0; move < kRefocuses; ++move)
        (move % 2 ? other : firstEdit)->setFocus();
    std::printf("toolbar_refocus_new_actions: %d actions\n", counter.m_made);
}

void ColumnResizes()
{
    SizeManager sizes;
    QTreeWidget tree;
    tree.setColumnCount(kColumns);
    sizes.RegisterTreeWidget("search_results", &tree);
    QHeaderView* header = tree.header();
    // Each column drags within a range of its own, so no two columns share a width item.
    const auto resize = [header](int i_step) {
        const int column = i_step % (kColumns - 1);
        header->resizeSection(column, 60 + column * 30 + (i_step / (kColumns - 1)) % 20);
    };
    for (int step = 0; step < kColumns - 1; ++step)
        resize(step);
    const std::size_t items = d->GetItemCount();
    QElapsedTimer timer;
    timer.start();
    for (int step = 0; step < kResizes; ++step)
        resize(step);
    std::printf("column_resize_each: %.2f us\n", static_cast<double>(timer.nsecsElapsed()) / kResizes / 1e3);
    std::printf("column_resize_store_growth: %lld items\n",
                static_cast<long long>(d->GetItemCount()) - static_cast<long long>(items));
}
// The median time of one new button, laid out: for a widget of its own (taken away again after
// each), and, where given, for one that already holds its most; the slower of the two.
double NotificationBarAddMs(EventToolBar* ip_bar, QWidget* ip_fresh, QWidget* ip_full)
{
    constexpr int kRounds = 101;
    double slowest = 0;
    for (QWidget* target : {ip_fresh, ip_full})
    {
        if (!target)
            continue;
        std::vector<qint64> times;
        for (int round = 0; round < kRounds; ++round)
        {
            QElapsedTimer timer;
            timer.start();
            ip_bar->AddEvent(QStringLiteral("Private message from someone"), QStringLiteral(":/icons/chat_icon"),
                             target, QStringLiteral("someone: hi"));
            QCoreApplication::processEvents();
            times.push_back(timer.nsecsElapsed());
            ip_bar->RemoveEvents(ip_fresh);
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        std::nth_element(times.begin(), times.begin() + kRounds / 2, times.end());
        slowest = std::max(slowest, static_cast<double>(times[kRounds / 2]) / 1e6);
    }
    return slowest;
}

// A peer's lines while its chat is out of sight: each one is a button, so the cost of one must not
// grow with those already pending (1,000 here: 50 chats at their most).
void NotificationBar()
{
    QMainWindow window;
    auto* bar = new EventToolBar(&window);
    window.addToolBar(bar);
    window.setCentralWidget(new QWidget);
    window.resize(1200, 600);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        std::printf("notification bar: the window never showed\n");
    // Never shown: their events make buttons.
    std::vector<std::unique_ptr<QWidget>> chats;
    for (int chat = 0; chat < 51; ++chat)
        chats.push_back(std::make_unique<QWidget>());
    const double none = NotificationBarAddMs(bar, chats[0].get(), nullptr);
    for (int chat = 1; chat < 51; ++chat)
        for (int line = 0; line < EventToolBar::kButtonsPerWidget; ++line)
            bar->AddEvent(QStringLiteral("Private message from chat %1").arg(chat), QStringLiteral(":/icons/chat_icon"),
                          chats[chat].get(), QString());
    QCoreApplication::processEvents();
    const double pending = NotificationBarAddMs(bar, chats[0].get(), chats[1].get());
    std::printf("notification_bar_add_with_none_pending: %.3f ms\n", none);
    std::printf("notification_bar_add_with_1000_pending: %.3f ms\n", pending);
    std::printf("notification_bar_add_with_1000_pending_vs_none: %.2f ratio\n", pending / none);
    chats.clear();
}
} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    Data store;
    d = &store;
    DataSaver saver;
    DeclareSettingTypes(d);
    ToolBar();
    ColumnResizes();
    NotificationBar();
    d = nullptr;
    return 0;
}
