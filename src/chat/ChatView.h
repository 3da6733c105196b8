#pragma once

// One chat tab's view: shows lines as ChatLines builds them, marks the start and end of periods
// of activity, and, for a room, keeps the view's serialised HTML near a cap.

#include <QDateTime>
#include <QString>

class QTextBrowser;

class ChatView
{
public:
    // A room view past this many characters of serialised HTML drops its oldest lines.
    static constexpr int kHtmlLimit = 250000;
    static constexpr int kHtmlCut = 50000;
    // Silence that ends a period of activity.
    static constexpr qint64 kInactivityMs = 300000;

    // i_capped: the view keeps to kHtmlLimit (rooms); private chats keep everything.
    ChatView(QTextBrowser* ip_view, bool i_capped);

    // "* " and the text in the status colour; no timestamp, never trimmed against.
    void AddStatusMessage(const QString& i_text);
    // An ordinary line: opens a period of activity (with its marker), then shows the line.
    void AddChatLine(const QString& i_user, const QString& i_text);
    // Closes the period of activity once its last ordinary line is five minutes old.
    void CheckInactivity();

    bool IsChatStarted() const { return m_chatStarted; }
    QDateTime LastActivity() const { return m_lastActivity; }
    // The length of the view's serialised HTML, as the cap sees it.
    int HtmlLength() const { return m_htmlLength; }

private:
    void Append(const QString& i_html);
    // Drops the oldest lines when the view is past the cap; the view is then left unpainted.
    bool TrimWhenFull();
    int NewBlocksHtmlLength(int i_firstNewBlock) const;

    QTextBrowser* mp_view;
    bool m_capped;
    bool m_chatStarted = false;
    QDateTime m_lastActivity;
    // Serialising the whole view for every line would cost more the fuller it gets, so the length
    // is kept up by the length of each new block's own serialisation, less what that adds around
    // the block (learnt from the view's second line), and measured in full only near the cap.
    int m_htmlLength = 0;
    int m_blockOverhead = -1;
};
