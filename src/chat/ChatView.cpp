#include "ChatView.h"

#include "ChatClock.h"
#include "ChatLines.h"
#include "Server.h"

#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>

ChatView::ChatView(QTextBrowser* ip_view, bool i_capped)
    : mp_view(ip_view)
    , m_capped(i_capped)
    , m_lastActivity(ChatNow())
{
    // A read-only view needs no undo history, which would otherwise keep every line ever shown.
    mp_view->document()->setUndoRedoEnabled(false);
    if (m_capped)
        m_htmlLength = mp_view->document()->toHtml().length();
}

void ChatView::AddStatusMessage(const QString& i_text)
{
    Append(StatusLineHtml(ChatStyle::FromSettings(), i_text));
}

void ChatView::AddChatLine(const QString& i_user, const QString& i_text)
{
    const QDateTime now = ChatNow();
    const ChatStyle style = ChatStyle::FromSettings();
    m_lastActivity = now;
    if (!m_chatStarted)
    {
        m_chatStarted = true;
        if (style.IsActivityBased())
            Append(StatusLineHtml(style, QLatin1String("Chat started ") + ChatLongTime(now)));
    }
    const bool rebuilt = m_capped && TrimWhenFull();
    Append(ChatLineHtml(style, now, i_user, i_text));
    if (rebuilt)
        mp_view->setUpdatesEnabled(true);
}

QString ChatView::AddWrittenLine(const QString& i_user, const QString& i_text, bool* op_ordinary)
{
    QString rest;
    const bool me = SplitMeLine(i_text.trimmed(), &rest);
    if (op_ordinary)
        *op_ordinary = !me;
    if (me)
    {
        const QString status = MeStatusText(i_user, rest);
        AddStatusMessage(status);
        return ChatLogStatusLine(ChatNow(), status);
    }
    AddChatLine(i_user, i_text);
    return ChatLogLine(ChatNow(), i_user, i_text);
}

bool ChatView::CanSend()
{
    if (gp_server && gp_server->IsConnected())
        return true;
    AddStatusMessage(QStringLiteral("Not connected: message not sent."));
    return false;
}

void ChatView::CheckInactivity()
{
    if (!m_chatStarted)
        return;
    const qint64 elapsed = m_lastActivity.msecsTo(ChatNow());
    if (elapsed < kInactivityMs)
        return;
    m_chatStarted = false;
    const ChatStyle style = ChatStyle::FromSettings();
    if (style.IsActivityBased())
        Append(StatusLineHtml(style, QLatin1String("Chat ended ") + ChatLongTime(m_lastActivity)));
}

void ChatView::Append(const QString& i_html)
{
    if (!m_capped)
    {
        mp_view->append(i_html);
        return;
    }
    QTextDocument* document = mp_view->document();
    const bool wasEmpty = document->isEmpty();
    const int firstNewBlock = document->blockCount();
    mp_view->append(i_html);
    if (!wasEmpty && m_blockOverhead >= 0)
    {
        m_htmlLength += NewBlocksHtmlLength(firstNewBlock) - m_blockOverhead;
        return;
    }
    // The first line replaces the empty document's paragraph, and the second teaches the overhead.
    const int exact = document->toHtml().length();
    if (!wasEmpty)
        m_blockOverhead = NewBlocksHtmlLength(firstNewBlock) - (exact - m_htmlLength);
    m_htmlLength = exact;
}

int ChatView::NewBlocksHtmlLength(int i_firstNewBlock) const
{
    QTextDocument* document = mp_view->document();
    QTextCursor cursor(document);
    cursor.setPosition(document->findBlockByNumber(i_firstNewBlock).position() - 1);
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    return QTextDocumentFragment(cursor).toHtml().length();
}

bool ChatView::TrimWhenFull()
{
    if (m_htmlLength <= kHtmlLimit)
        return false;
    QTextDocument* document = mp_view->document();
    const QString html = document->toHtml();
    m_htmlLength = html.length();
    QString rest;
    if (!TrimChatHtml(html, kHtmlLimit, kHtmlCut, &rest))
        return false;
    mp_view->setUpdatesEnabled(false);
    // Below the document's header each paragraph is one line of the HTML, so the cut drops whole
    // paragraphs. Copying the kept ones into the cleared view gives what re-reading their HTML
    // would, without parsing a quarter of a million characters again; clearing, unlike deleting
    // in place, also lets go of the formats of every link the dropped lines held.
    const int cut = html.length() - rest.length();
    const int headerEnd = html.indexOf(QLatin1Char('\n'), html.indexOf(QLatin1String("<body"))) + 1;
    if (headerEnd > 0 && headerEnd <= cut && html.at(cut - 1) == QLatin1Char('\n'))
    {
        const int dropped = html.midRef(headerEnd, cut - headerEnd).count(QLatin1Char('\n'));
        QTextCursor cursor(document);
        cursor.setPosition(document->findBlockByNumber(dropped).position());
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        const QTextDocumentFragment kept(cursor);
        mp_view->clear();
        QTextCursor(document).insertFragment(kept);
        m_htmlLength = headerEnd + rest.length();
        return true;
    }
    mp_view->clear();
    m_htmlLength = document->toHtml().length();
    Append(rest);
    return true;
}
