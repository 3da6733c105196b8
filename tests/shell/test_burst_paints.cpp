#include "ChatForm.h"
#include "ChatLogForm.h"
#include "ChatsForm.h"
#include "Screenshot.h"
#include "WindowFixture.h"
#include "Wire.h"
#include "ui_MainWindow.h"

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTreeWidget>
#include <QtTest>

#include <functional>

namespace
{
constexpr int kListed = 2000;
// Two turns: the one queued before the person's act and the one after it.
constexpr int kTurnsToPaint = 2;
// Turns take at least their time budget of 20 ms each: half a second of hold, and the paint's turns.
constexpr int kTurnsOfHold = 25 + kTurnsToPaint;

QByteArray Statuses(int i_from, int i_count)
{
    QByteArray frames;
    for (int n = i_from; n < i_from + i_count; ++n)
        frames += WireWriter()
                      .Str(QStringLiteral("listed %1").arg(n % kListed))
                      .U32((n / kListed) % 2 ? USER_STATUS_OFFLINE : USER_STATUS_ONLINE)
                      .U8(0)
                      .Frame(SM_USER_STATUS);
    return frames;
}

QByteArray Message(quint32 i_id, const QString& i_text)
{
    return WireWriter()
        .U32(i_id)
        .U32(1700000000)
        .Str(QStringLiteral("partner"))
        .Str(i_text)
        .U8(1)
        .Frame(SM_PRIVATE_MESSAGE);
}

// The turns of server frames handled after a person's act till a widget got a paint that shows it.
class PaintAfterAct : public QObject
{
public:
    explicit PaintAfterAct(QWidget* ip_widget)
        : mp_widget(ip_widget)
    {
        connect(gp_server, &Server::FramesTurnEnded, this, [this](bool i_waiting) {
            ++m_turns;
            m_burstOver = m_burstOver || !i_waiting;
        });
        ip_widget->installEventFilter(this);
    }
    void Act() { m_actTurn = m_turns; }
    bool eventFilter(QObject*, QEvent* ip_event) override
    {
        if (ip_event->type() == QEvent::Paint && m_actTurn >= 0 && m_paintTurn < 0 && (!m_shows || m_shows()))
        {
            m_paintTurn = m_turns;
            m_paintedInBurst = !m_burstOver;
        }
        return false;
    }

    QWidget* mp_widget;
    std::function<bool()> m_shows;
    int m_turns = 0;
    int m_actTurn = -1;
    int m_paintTurn = -1;
    bool m_burstOver = false;
    bool m_paintedInBurst = false;
};
} // namespace

// The main window during a burst of server frames handled over many turns: what a person does,
// a page brought forward and a message that arrives are painted within the turns that follow.
class TestBurstPaints : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowRun> m_run;
    // Whether a status still costs the window, till the row's paint is judged.
    bool m_statusesCost = true;

    Ui::MainWindow* Form() { return m_run->window->Form(); }

private slots:
    void init()
    {
        m_run = std::make_unique<WindowRun>();
        QVERIFY(m_run->Start());
        for (int n = 0; n < kListed; ++n)
            d->GetType("user")->GetItem(QStringLiteral("listed %1").arg(n)).NewItem("in_user_list");
        m_run->window->resize(900, 700);
        QVERIFY(QTest::qWaitForWindowExposed(m_run->window.get()));
        // Each status costs the window as much as a busy window's other views would.
        m_statusesCost = true;
        connect(gp_server, &Server::UserStatusReported, this, [this] {
            if (!m_statusesCost)
                return;
            QElapsedTimer busy;
            busy.start();
            while (busy.nsecsElapsed() < 400000)
            {
            }
        });
    }
    void cleanup() { m_run.reset(); }

    void what_a_person_sees_is_painted_within_the_burst_data()
    {
        QTest::addColumn<QString>("act");
        QTest::addColumn<int>("turns");
        QTest::newRow("a page brought forward") << "page" << kTurnsToPaint;
        QTest::newRow("a key typed into a chat") << "key" << kTurnsToPaint;
        QTest::newRow("a click on a user list row") << "click" << kTurnsToPaint;
        QTest::newRow("a click in the user list's scroll bar trough") << "trough" << kTurnsToPaint;
        QTest::newRow("page down on the user list's scroll bar") << "bar key" << kTurnsToPaint;
        QTest::newRow("a drag of a column's edge in the user list's header") << "header drag" << kTurnsToPaint;
        QTest::newRow("a press on a user list row moved over others") << "row drag" << kTurnsToPaint;
        // Its paint comes after the turn queued before it, which must not hold the list again.
        QTest::newRow("a resize of the window") << "resize" << kTurnsToPaint;
        QTest::newRow("a search in a chat log viewer") << "log" << kTurnsToPaint;
        QTest::newRow("a message from the chat in front") << "message" << kTurnsToPaint;
        QTest::newRow("the user list in front") << "list" << kTurnsOfHold;
    }
    void what_a_person_sees_is_painted_within_the_burst()
    {
        QFETCH(QString, act);
        QFETCH(int, turns);
        chatsForm->OpenChatForm(QStringLiteral("partner"));
        auto* chat = qobject_cast<ChatForm*>(chatsForm->Tabs()->currentWidget());
        QVERIFY(chat);
        auto* entry = chat->findChild<QLineEdit*>("chatEdit");
        auto* list = Form()->tab_2->findChild<QTreeWidget*>("userList");
        const bool onUsers = act != "key" && act != "log" && act != "message";
        QWidget* page = act == "page" ? Form()->searchTab : onUsers ? Form()->tab_2 : Form()->chatTab;
        Form()->tabControl->setCurrentWidget(page);
        {
            // The burst finds the page as a person would, painted.
            PaintAfterAct shown(page);
            shown.Act();
            page->update();
            QTRY_VERIFY(shown.m_paintTurn >= 0);
        }

        QWidget* watched = entry;
        if (onUsers)
            watched = list->viewport();
        else if (act == "message")
            watched = chat->findChild<QAbstractScrollArea*>("chatView")->viewport();
        else if (act == "log")
        {
            ChatLogForm::Open(chatsForm->Tabs(), d->GetType("user")->GetItem(QStringLiteral("partner")),
                              ChatLogKind::User);
            watched = chatsForm->Tabs()->currentWidget()->findChild<QAbstractScrollArea*>("logEdit")->viewport();
        }
        PaintAfterAct paint(watched);
        if (act == "key")
            paint.m_shows = [entry] { return entry->text() == "a"; };
        QScrollBar* bar = list->verticalScrollBar();
        if (act == "trough" || act == "bar key")
            paint.m_shows = [bar] { return bar->value() > 0; };
        const int width = list->viewport()->width();
        if (act == "resize")
            paint.m_shows = [list, width] { return list->viewport()->width() > width; };
        // A drag is pressed before the act, and moved, the button held, once the list is held again.
        QWidget* pressed = act == "header drag" ? list->header()->viewport() : list->viewport();
        QPoint at = act == "header drag" ? QPoint(list->columnWidth(0) - 1, list->header()->height() / 2)
                                         : list->visualItemRect(list->topLevelItem(2)).center();
        const int column = list->columnWidth(0);
        if (act == "header drag")
            paint.m_shows = [list, column] { return list->columnWidth(0) > column; };
        QTreeWidgetItem* first = nullptr;
        if (act == "row drag")
            paint.m_shows = [list, &first] { return list->selectedItems().value(0, first) != first; };

        // A message opens the burst, one comes half-way: each would hold the chat page.
        const int half = 3000;
        const QString middle = QStringLiteral("half-way");
        connect(gp_server, &Server::PrivateChat, &paint, [&paint, middle, act](QString, QString i_text) {
            if (act == "message" && i_text == middle)
                paint.Act();
        });
        QVERIFY(m_run->server.SendRaw("tester", Message(1, "first") + Statuses(0, half) + Message(2, middle)
                                                    + Statuses(half, half)));
        QTRY_VERIFY(paint.m_turns >= 40);
        if (act.endsWith("drag"))
        {
            QMouseEvent press(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(pressed, &press);
            first = list->selectedItems().value(0);
            QTRY_VERIFY(paint.m_turns >= 45);
            at += act == "header drag" ? QPoint(60, 0) : QPoint(0, 5 * list->visualItemRect(first).height());
        }
        // A scroll may paint at once.
        if (act != "message")
            paint.Act();
        if (act == "page")
            Form()->tabControl->setCurrentWidget(Form()->tab_2);
        else if (act == "key")
        {
            QCoreApplication::postEvent(entry, new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a"));
        }
        else if (act == "click")
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                              list->visualItemRect(list->topLevelItem(5)).center());
        else if (act == "log")
            chatsForm->Tabs()->currentWidget()->findChild<QLineEdit*>("searchEdit")->setText("first");
        else if (act == "trough")
            // Above the arrow at the bottom, below the slider at the top.
            QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, bar->height() - bar->width() - 2));
        else if (act == "bar key")
            QTest::keyClick(bar, Qt::Key_PageDown);
        else if (act == "resize")
            m_run->window->resize(1000, 760);
        else if (act.endsWith("drag"))
        {
            QMouseEvent move(QEvent::MouseMove, at, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(pressed, &move);
        }

        // The paint is judged once it came or its turns went by without it. The rest of the burst
        // then costs nothing; it still has to end, since a list held at its end would stay unpainted.
        QTRY_VERIFY_WITH_TIMEOUT(
            paint.m_burstOver
                || (paint.m_actTurn >= 0 && (paint.m_paintTurn >= 0 || paint.m_turns - paint.m_actTurn > turns)),
            30000);
        m_statusesCost = false;
        QTRY_VERIFY_WITH_TIMEOUT(paint.m_burstOver, 30000);
        QVERIFY2(paint.m_paintTurn >= 0 && paint.m_paintedInBurst,
                 qPrintable(QStringLiteral("painted after %1 turns of %2")
                                .arg(paint.m_paintTurn - paint.m_actTurn)
                                .arg(paint.m_turns)));
        QVERIFY2(paint.m_paintTurn - paint.m_actTurn <= turns,
                 qPrintable(QStringLiteral("painted after %1 turns").arg(paint.m_paintTurn - paint.m_actTurn)));
        QVERIFY(watched->updatesEnabled());
    }

    // The chat, users and messages pages brought forward in the middle of a burst, and the users
    // page scrolled a page down and widened, as the screen shows them.
    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        chatsForm->OpenChatForm(QStringLiteral("partner"));
        QWidget* chat = chatsForm->Tabs()->currentWidget();
        PaintAfterAct turns(chat);
        QByteArray burst = Message(1, "hello, are you there?");
        for (int part = 0; part < 8; ++part)
            burst += Statuses(part * 1000, 1000)
                     + Message(quint32(2 + part), QStringLiteral("line %1 of the burst").arg(part));
        QVERIFY(m_run->server.SendRaw("tester", burst));
        const std::vector<std::pair<QWidget*, const char*>> pages{{chat, "burst_chat"},
                                                                  {Form()->tab_2, "burst_users"},
                                                                  {chatsForm->Tabs()->widget(0), "burst_messages"},
                                                                  {Form()->tab_2, "burst_users_scrolled_widened"}};
        for (const auto& [page, name] : pages)
        {
            QTRY_VERIFY(turns.m_turns >= 10);
            if (page == Form()->tab_2)
                Form()->tabControl->setCurrentWidget(page);
            else
            {
                Form()->tabControl->setCurrentWidget(Form()->chatTab);
                chatsForm->Tabs()->setCurrentWidget(page);
            }
            if (QByteArray(name).endsWith("widened"))
            {
                QTest::keyClick(Form()->tab_2->findChild<QTreeWidget*>("userList")->verticalScrollBar(),
                                Qt::Key_PageDown);
                m_run->window->resize(1100, 700);
            }
            const int from = turns.m_turns;
            QTRY_VERIFY(turns.m_turns >= from + 5);
            QVERIFY(!turns.m_burstOver);
            QDir().mkpath(ScreenshotFolder());
            const QString path = QDir(ScreenshotFolder()).filePath(QString::fromLatin1(name) + ".png");
            QVERIFY(m_run->window->screen()->grabWindow(m_run->window->winId()).save(path));
            qInfo("screenshot: %s", qPrintable(path));
        }
    }
};

QTEST_MAIN(TestBurstPaints)
#include "test_burst_paints.moc"
