#pragma once

// The views a peer's text shows in, each shown and painted as the user waits for it: a chat
// line, a name on a tab, a button and a chat line, and a partner's row of the message list.

#include "ChatView.h"
#include "EventToolBar.h"
#include "MessageListForm.h"
#include "TextUtils.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <ctime>

// The longest line a peer can send: 131,070 bytes of UTF-8.
constexpr int kLongestLineBytes = 131070;

// A line shown as the user waits for it, in a view at a window's size, after a plain line.
class TimedView
{
public:
    explicit TimedView(bool i_capped)
        : m_view(&m_browser, i_capped)
    {
        m_browser.resize(700, 500);
        m_browser.show();
        m_view.AddChatLine(QStringLiteral("bob"), QStringLiteral("hi"));
        QApplication::processEvents();
    }

    double Add(const QString& i_text)
    {
        QElapsedTimer timer;
        timer.start();
        m_view.AddChatLine(QStringLiteral("flooder"), i_text);
        m_browser.repaint();
        QApplication::processEvents();
        return timer.nsecsElapsed() / 1e6;
    }

    // What the last line shows of the text it was given: its units after the sender's name, without
    // the view's break points and the breaks between its paragraphs.
    QString Shown() const
    {
        const QString lines = m_browser.document()->toPlainText();
        const QString sender = QStringLiteral("[flooder] ");
        const int at = lines.lastIndexOf(sender);
        return at < 0 ? QString() : lines.mid(at + sender.size()).remove(QLatin1Char('\n')).remove(QChar(0x200B));
    }

    // Ordinary lines until the view has dropped old lines once: a room that has been busy a while.
    void Fill()
    {
        for (int n = 0; !Dropped(); ++n)
        {
            m_view.AddChatLine(QStringLiteral("user%1").arg(n % 50),
                               QStringLiteral("line %1 with some ordinary chat text in a busy room").arg(n));
        }
        QApplication::processEvents();
    }

    // Whether the last line made the view drop old lines.
    bool Dropped()
    {
        const int blocks = m_browser.document()->blockCount();
        const bool dropped = blocks < m_blocks;
        m_blocks = blocks;
        return dropped;
    }

private:
    QTextBrowser m_browser;
    int m_blocks = 0;
    ChatView m_view;
};

// A name shown the way the windows show one: the text of a tab, of a button of the notification
// bar, and the sender of a room's chat line, in a window of its own, shown and painted; the time
// in ms from the name's arrival; *op_tab, when given, the tab's text.
inline double ShownNameMs(const QString& i_name, QString* op_tab = nullptr)
{
    QMainWindow window;
    window.resize(900, 500);
    new EventToolBar(&window);
    window.addToolBar(eventToolBar);
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    auto* tabs = new QTabWidget;
    auto* browser = new QTextBrowser;
    layout->addWidget(tabs);
    layout->addWidget(browser);
    window.setCentralWidget(central);
    tabs->addTab(new QWidget, QStringLiteral("Messages"));
    ChatView view(browser, true);
    view.AddChatLine(QStringLiteral("bob"), QStringLiteral("hi"));
    window.show();
    QApplication::processEvents();
    QElapsedTimer shown;
    shown.start();
    auto* page = new QWidget;
    tabs->addTab(page, MnemonicText(i_name));
    eventToolBar->AddEvent(MnemonicText(i_name), QStringLiteral(":/icons/chat_icon"), page, QString());
    view.AddChatLine(i_name, QStringLiteral("hi"));
    window.repaint();
    QApplication::processEvents();
    const double ms = shown.nsecsElapsed() / 1e6;
    if (op_tab)
        *op_tab = tabs->tabText(1);
    return ms;
}

// The message list at a window's size, shown; one per store, as the list's Init declares types.
class TimedMessageList
{
public:
    TimedMessageList()
    {
        m_list.Init();
        m_list.resize(900, 500);
        m_list.show();
        QApplication::processEvents();
    }

    // A private message from the sender, taken as the list takes it and painted; the time in ms.
    double Add(const QString& i_sender, const QString& i_text, time_t i_time)
    {
        QElapsedTimer timer;
        timer.start();
        m_list.OnPrivateChat(i_sender, i_text, i_time, true);
        m_list.repaint();
        QApplication::processEvents();
        return timer.nsecsElapsed() / 1e6;
    }

    MessageListForm& List() { return m_list; }

    // The text of the sender's row.
    QString Row(const QString& i_sender) const
    {
        const auto* p_rows = m_list.findChild<QTreeWidget*>();
        for (int row = 0; p_rows && row < p_rows->topLevelItemCount(); ++row)
            if (p_rows->topLevelItem(row)->text(1) == i_sender)
                return p_rows->topLevelItem(row)->text(2);
        return QString();
    }

private:
    MessageListForm m_list;
};
