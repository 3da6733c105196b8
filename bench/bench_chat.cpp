// The chat windows under load: a join of 10,000 users into a room's user list; 100,000 chat lines
// into a room's capped view and into a private chat's view, which keeps every line (cost per line
// at the end against the start, worst line, resident memory); a log of 100,000 lines (about
// 10 MB) opened in the log viewer, and one search step on it; 100,000 stored private messages
// listed again at start; the slowest of the hostile lines (HostileTexts.h) in a room and a
// private chat, as a message list row and as a pop-up, of the hostile names on a tab, a button
// and a chat line, and of the text fuzzer's corpus as room lines; the slowest emoji line in a room
// dropping its oldest lines (with a limit); one more private message from a new partner with 4,000
// partners' chats made.

#include "ActionSetToolBar.h"
#include "ChatForm.h"
#include "ChatLines.h"
#include "ChatLogForm.h"
#include "ChatView.h"
#include "ChatsForm.h"
#include "EngineStack.h"
#include "EventToolBar.h"
#include "HostileTexts.h"
#include "MessageListForm.h"
#include "PeakMemory.h"
#include "RoomForm.h"
#include "TextUtils.h"
#include "TimedViews.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace
{
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
    qint64 slowest = 0;
    for (int column : {1, 2, 3, 4, 5})
    {
        QElapsedTimer one;
        one.start();
        list->sortByColumn(column, Qt::AscendingOrder);
        slowest = qMax(slowest, one.elapsed());
    }
    std::printf("room_sort_10000_users_5_columns: %lld ms\n", timer.elapsed());
    std::printf("room_sort_10000_users_one_column: %lld ms\n", slowest);
}

void HundredThousandLines(const char* ip_name, bool i_capped)
{
    QTextBrowser browser;
    ChatView view(&browser, i_capped);
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
    std::printf("%s_line_cost_end_vs_start: %.2f ratio\n", ip_name, double(endNs) / double(startNs));
    std::printf("%s_line_mean: %.3f ms\n", ip_name, (startNs + endNs) / 2e6 / window);
    std::printf("%s_line_worst: %.1f ms\n", ip_name, worstNs / 1e6);
    std::printf("%s_100k_lines_resident: %.1f MB\n", ip_name, ResidentMegabytes() - before);
}

// A chat view's browser at a window's size, shown, so that lines are laid out and painted.
void ShowBrowser(QTextBrowser& i_browser)
{
    i_browser.resize(700, 500);
    i_browser.show();
    QApplication::processEvents();
}

// Lines of 131,000 characters without a blank, the longest a room or private message can hold,
// each shown and painted in a visible view; the slowest line's time.
void LongLines(const char* ip_name, bool i_capped)
{
    QTextBrowser browser;
    ShowBrowser(browser);
    ChatView view(&browser, i_capped);
    qint64 worstMs = 0;
    QElapsedTimer line;
    for (int n = 0; n < 12; ++n)
    {
        line.start();
        view.AddChatLine(QStringLiteral("flooder"), QString(131000, QLatin1Char('a' + n)));
        browser.repaint();
        QApplication::processEvents();
        worstMs = qMax(worstMs, line.elapsed());
    }
    std::printf("chat_line_131k_no_blanks_%s: %lld ms\n", ip_name, worstMs);
}

// Each hostile shape written three times into one visible view, alone and as "/me" lines, each
// line shown and painted; the slowest line's time (and, on the error output, its shape).
void HostileLines(const char* ip_name, bool i_capped)
{
    QTextBrowser browser;
    ShowBrowser(browser);
    ChatView view(&browser, i_capped);
    qint64 worstMs = 0;
    QString worstShape;
    QElapsedTimer line;
    auto shapes = hostile::TextShapes();
    for (const auto& [name, text] : hostile::MarkupShapes())
        shapes.emplace_back(name, text);
    for (const auto& [name, text] : shapes)
        for (const QString& written : {text, text, QString(QStringLiteral("/me ") + text.left(text.size() - 4))})
        {
            line.start();
            view.AddWrittenLine(QStringLiteral("flooder"), written);
            browser.repaint();
            QApplication::processEvents();
            if (line.elapsed() > worstMs)
            {
                worstMs = line.elapsed();
                worstShape = name;
            }
        }
    std::printf("chat_line_hostile_worst_%s: %lld ms\n", ip_name, worstMs);
    std::fprintf(stderr, "(the slowest %s line: %s)\n", ip_name, qPrintable(worstShape));
}

// A room's view of a window's size full of emoji lines, as it drops its oldest lines to keep to its
// cap: the slowest emoji line, shown and painted. Dropping lines paints every line shown again.
// Exits non-zero past kDroppingLimitMs.
constexpr qint64 kDroppingLimitMs = 60;
bool EmojiRoomDroppingLines()
{
    QTextBrowser browser;
    browser.resize(1200, 900);
    browser.show();
    QApplication::processEvents();
    ChatView view(&browser, true);
    const QString plain = QStringLiteral("plain words ").repeated(1000);
    while (view.HtmlLength() < ChatView::kHtmlLimit - 2 * plain.size())
        view.AddChatLine(QStringLiteral("talker"), plain);
    QString emoji;
    for (char32_t code = 0x1F300; code < 0x1F340; ++code)
        emoji += QString::fromUcs4(&code, 1);
    qint64 worstMs = 0;
    int drops = 0;
    QElapsedTimer line;
    for (int n = 0; n < 2000 && drops < 4; ++n)
    {
        const int length = view.HtmlLength();
        line.start();
        view.AddChatLine(QStringLiteral("smiler"), emoji);
        browser.repaint();
        QApplication::processEvents();
        // The first lines fill the view with emoji before any is timed.
        if (n >= 24)
            worstMs = qMax(worstMs, line.elapsed());
        drops += view.HtmlLength() < length ? 1 : 0;
    }
    std::printf("chat_line_emoji_room_dropping_lines_worst: %lld ms\n", worstMs);
    return drops == 4 && worstMs <= kDroppingLimitMs;
}

// Each hostile shape as a private message from a sender of its own into a shown message list, so
// that the rows add up, the list painted after each; the slowest message's time, and a resize of
// the window with every row.
void HostileMessageList()
{
    TimedMessageList timed;
    MessageListForm& list = timed.List();
    qint64 worstMs = 0;
    QString worstShape;
    auto shapes = hostile::TextShapes();
    for (const auto& [name, text] : hostile::MarkupShapes())
        shapes.emplace_back(name, text);
    int sender = 0;
    for (const auto& [name, text] : shapes)
    {
        const qint64 ms = qint64(timed.Add(QStringLiteral("flooder%1").arg(sender), text, 1300000000 + sender));
        ++sender;
        if (ms > worstMs)
        {
            worstMs = ms;
            worstShape = name;
        }
    }
    std::printf("message_list_row_hostile_worst: %lld ms\n", worstMs);
    std::fprintf(stderr, "(the slowest message list row: %s)\n", qPrintable(worstShape));
    QElapsedTimer timer;
    timer.start();
    list.resize(640, 400);
    list.repaint();
    QApplication::processEvents();
    std::printf("message_list_resize_%d_hostile_rows: %lld ms\n", sender, timer.elapsed());
}

// Each hostile shape's pop-up text, made and shown as a tray balloon shows it, in a word-wrapped
// label of plain text; the slowest.
void HostileNotices()
{
    QLabel balloon;
    balloon.setTextFormat(Qt::PlainText);
    balloon.setWordWrap(true);
    balloon.setFixedWidth(300);
    balloon.show();
    qint64 worstMs = 0;
    QString worstShape;
    QElapsedTimer timer;
    for (const auto& [name, text] : hostile::TextShapes())
    {
        timer.start();
        balloon.setText(ChatNoticeText(QStringLiteral("flooder"), text));
        balloon.adjustSize();
        balloon.repaint();
        QApplication::processEvents();
        if (timer.elapsed() > worstMs)
        {
            worstMs = timer.elapsed();
            worstShape = name;
        }
    }
    std::printf("chat_notice_hostile_worst: %lld ms\n", worstMs);
    std::fprintf(stderr, "(the slowest pop-up: %s)\n", qPrintable(worstShape));
}

// Each hostile shape as a name, the way the windows show one: the text of a tab, of a button
// of the notification bar, and the sender of a room's chat line, in a window of their own, shown
// and painted; the slowest name's time (and, on the error output, its shape).
void HostileNames()
{
    qint64 worstMs = 0;
    QString worstShape;
    for (const auto& [shape, name] : hostile::TextShapes())
    {
        const qint64 ms = qint64(ShownNameMs(name));
        if (ms > worstMs)
        {
            worstMs = ms;
            worstShape = shape;
        }
    }
    std::printf("chat_name_hostile_worst: %lld ms\n", worstMs);
    std::fprintf(stderr, "(the slowest name: %s)\n", qPrintable(worstShape));
}

// Each text the text fuzzer keeps (fuzz/corpus/fuzz_peer_text, after the byte that picks the
// reader), repeated to fill a message's string, as a line of a visible room view, written twice;
// the slowest text's better time (and, on the error output, its file).
void FuzzCorpusLines()
{
    QTextBrowser browser;
    ShowBrowser(browser);
    ChatView view(&browser, true);
    qint64 worstMs = 0;
    QString worstFile;
    QElapsedTimer line;
    const QDir corpus(QStringLiteral(VELTRANE_TEXT_CORPUS));
    const QStringList files = corpus.entryList(QDir::Files, QDir::Name);
    for (const QString& name : files)
    {
        QFile file(corpus.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(file.readAll().mid(1));
        if (text.isEmpty())
            continue;
        // The better of two tries: a machine shared with others stalls a line now and then.
        qint64 bestMs = std::numeric_limits<qint64>::max();
        for (int attempt = 0; attempt < 2; ++attempt)
        {
            line.start();
            view.AddChatLine(QStringLiteral("flooder"), hostile::Filled(text));
            browser.repaint();
            QApplication::processEvents();
            bestMs = std::min(bestMs, line.elapsed());
        }
        if (bestMs > worstMs)
        {
            worstMs = bestMs;
            worstFile = name;
        }
    }
    if (files.isEmpty())
        std::printf("chat_line_fuzz_corpus_worst: FAILED\n");
    std::printf("chat_line_fuzz_corpus_worst: %lld ms\n", worstMs);
    std::fprintf(stderr, "(the slowest corpus line: %s)\n", qPrintable(worstFile));
}

void LogViewer()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("big.log"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    for (int n = 0; n < 100000; ++n)
        file.write(QStringLiteral(
                       "[Dec 6 3:07:22 pm][user%1] line %2 of the log, an ordinary chat line between two friends %3\n")
                       .arg(n % 50)
                       .arg(n)
                       .arg(n % 1000 == 0 ? QStringLiteral("with a needle") : QStringLiteral("of some length"))
                       .toUtf8());
    const qint64 megabytes = file.size() / (1024 * 1024);
    file.close();

    QElapsedTimer timer;
    timer.start();
    ChatLogForm viewer(path, nullptr);
    viewer.resize(900, 600);
    viewer.show();
    QApplication::processEvents();
    std::printf("chat_log_open_100k_lines_%lldMB: %lld ms\n", megabytes, timer.elapsed());

    // A step: the find itself, then the two that set the buttons.
    auto* forward = viewer.findChild<QPushButton*>(QStringLiteral("searchForwardButton"));
    viewer.findChild<QLineEdit*>(QStringLiteral("searchEdit"))->setText(QStringLiteral("needle"));
    qint64 worstNs = 0;
    qint64 totalNs = 0;
    int steps = 0;
    while (forward->isEnabled())
    {
        timer.restart();
        forward->click();
        QApplication::processEvents();
        const qint64 ns = timer.nsecsElapsed();
        worstNs = qMax(worstNs, ns);
        totalNs += ns;
        ++steps;
    }
    if (steps != 99)
        std::printf("chat_log_search_step: FAILED\n");
    std::printf("chat_log_search_step_mean: %.1f ms\n", totalNs / 1e6 / qMax(steps, 1));
    std::printf("chat_log_search_step_worst: %.1f ms\n", worstNs / 1e6);
}

// Stored messages over a number of partners, listed as at start.
void MessageReplay(int i_partners)
{
    EngineStack engines(EngineStack::ServerConnection);
    MessageListForm list;
    list.Init();
    Type* message = d->GetType("private_message");
    for (int n = 0; n < 100000; ++n)
    {
        ItemPtr item = message->NewItem();
        item += d->GetType("user")->GetItem(Value(QStringLiteral("user%1").arg(n % i_partners)));
        item += d->GetType("private_message_time")->GetItem(Value(1300000000 + n));
        item += d->GetType("private_message_text")->GetItem(Value(QStringLiteral("message %1").arg(n % 5000)));
        item += d->GetType("private_message_direction")->GetItem(Value(n % 3 ? "from" : "to"));
    }
    QElapsedTimer timer;
    timer.start();
    list.DataLoaded();
    const qint64 elapsed = timer.elapsed();
    auto* rows = list.findChild<QTreeWidget*>(QStringLiteral("messageList"));
    if (rows->topLevelItemCount() != i_partners
        || rows->topLevelItem(0)->text(1) != QStringLiteral("user%1").arg((100000 - 1) % i_partners))
        std::printf("message_list_replay: FAILED\n");
    std::printf("message_list_replay_100k_messages_%d_partners: %lld ms\n", i_partners, elapsed);
}

// The main window's part in private messages: its pages (a rooms page and the chat page), the
// notification bar and the tool bar, shown at a window's size; a message is taken as the main
// window takes it, into the partner's chat, and listed.
class ChatPage
{
public:
    ChatPage()
    {
        Type* user = d->GetType("user");
        user->RelateToType(d->NewType("user_chat_widget", Primary, false, true), One, One);
        d->NewType("chat_log_form", Primary, false, true)->RelateToType(user, One, One);
        SetSetting(QStringLiteral("log_private_chat"), QStringLiteral("no"));
        new EventToolBar(&m_window);
        m_window.addToolBar(eventToolBar);
        m_window.addToolBar(new ActionSetToolBar(&m_window));
        m_pages = new QTabWidget;
        m_rooms = new QWidget;
        m_pages->addTab(m_rooms, QStringLiteral("Rooms"));
        m_chats = new ChatsForm;
        m_pages->addTab(m_chats, QStringLiteral("Chat"));
        m_window.setCentralWidget(m_pages);
        m_chats->MessageList()->Init();
        m_chats->Init();
        QObject::connect(gp_server, &Server::PrivateChat, m_chats, [this](QString i_user, QString i_text) {
            m_chats->GetChatForm(i_user)->AddChat(i_user, i_text);
        });
        m_window.resize(1000, 700);
        m_window.show();
        QApplication::processEvents();
    }

    void ShowPage(bool i_chats)
    {
        m_pages->setCurrentWidget(i_chats ? m_chats : m_rooms);
        QApplication::processEvents();
    }

    // The time of one message from a new partner, painted.
    qint64 Message()
    {
        QElapsedTimer timer;
        timer.start();
        const int partner = m_partners++;
        emit gp_server->PrivateChat(QStringLiteral("partner%1").arg(partner), QStringLiteral("hello there"),
                                    1300000000 + partner, true);
        QApplication::processEvents();
        return timer.nsecsElapsed();
    }

    int Partners() const { return m_partners; }

private:
    QMainWindow m_window;
    QTabWidget* m_pages;
    QWidget* m_rooms;
    ChatsForm* m_chats;
    int m_partners = 0;
};

// One more private message from a new partner with 4,000 partners' chats made against none, with
// the rooms page in front and with the message list in front (the larger ratio is the figure);
// the time to bring the chat page forward then.
void Partners()
{
    const int kPending = 4000;
    const int kSample = 20;
    double worstRatio = 0;
    for (bool chats : {false, true})
    {
        EngineStack engines(EngineStack::ServerConnection);
        ChatPage page;
        page.ShowPage(chats);
        qint64 first = 0;
        for (int n = 0; n < kSample; ++n)
            first += page.Message();
        while (page.Partners() < kPending)
            page.Message();
        qint64 last = 0;
        for (int n = 0; n < kSample; ++n)
            last += page.Message();
        worstRatio = std::max(worstRatio, double(last) / double(first));
        std::printf("private_message_with_%d_partners_%s: %.2f ms\n", kPending,
                    chats ? "message_list_shown" : "rooms_page_shown", last / 1e6 / kSample);
        if (!chats)
        {
            QElapsedTimer forward;
            forward.start();
            page.ShowPage(true);
            std::printf("chat_page_forward_with_%d_partners: %lld ms\n", kPending, forward.elapsed());
        }
    }
    std::printf("private_message_with_%d_partners_vs_none: %.2f ratio\n", kPending, worstRatio);
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    bool withinLimits = true;
    {
        EngineStack engines(EngineStack::ServerConnection);
        SetSetting(QStringLiteral("chat_timestamps"), QStringLiteral("per_message_short"));
        SetSetting(QStringLiteral("color_chat_username"), QStringLiteral("#0033ff"));
        SetSetting(QStringLiteral("color_chat_timestamp"), QStringLiteral("#0066ff"));
        JoinTenThousand();
        HundredThousandLines("chat", true);
        HundredThousandLines("private_chat", false);
        LongLines("room", true);
        LongLines("private", false);
        HostileLines("room", true);
        HostileLines("private", false);
        withinLimits = EmojiRoomDroppingLines() && withinLimits;
        HostileMessageList();
        HostileNotices();
        HostileNames();
        FuzzCorpusLines();
        LogViewer();
    }
    MessageReplay(2000);
    MessageReplay(100000);
    Partners();
    return withinLimits ? 0 : 1;
}
