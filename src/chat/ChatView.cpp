#include "ChatView.h"

#include "ChatClock.h"
#include "ChatLines.h"
#include "Server.h"
#include "TextUtils.h"

#include <QFontMetrics>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextLayout>
#include <QTextOption>

#include <vector>

namespace
{
// Marks a paragraph that goes on the line before it.
constexpr int kContinuation = QTextFormat::UserProperty + 1;

// Where in its paragraph the view put a break point, a zero-width space that is not the text's.
struct BreakPoints : QTextBlockUserData
{
    explicit BreakPoints(std::vector<int> i_at)
        : at(std::move(i_at))
    {
    }
    std::vector<int> at;
};
} // namespace

QMimeData* ChatBrowser::createMimeDataFromSelection() const
{
    const QTextCursor selection = textCursor();
    const int from = selection.selectionStart();
    const int to = selection.selectionEnd();
    QTextDocument lines;
    QTextCursor(&lines).insertFragment(QTextDocumentFragment(selection));
    // The view's break points go, the last first, so that each keeps its place till it goes.
    std::vector<int> breaks;
    for (QTextBlock block = document()->findBlock(from); block.isValid() && block.position() < to; block = block.next())
        if (const auto* points = dynamic_cast<const BreakPoints*>(block.userData()))
            for (const int at : points->at)
                if (block.position() + at >= from && block.position() + at < to)
                    breaks.push_back(block.position() + at - from);
    for (auto at = breaks.crbegin(); at != breaks.crend(); ++at)
    {
        QTextCursor point(&lines);
        point.setPosition(*at);
        point.deleteChar();
    }
    for (QTextBlock block = lines.lastBlock(); block.isValid();)
    {
        const QTextBlock previous = block.previous();
        if (previous.isValid() && block.blockFormat().boolProperty(kContinuation))
            QTextCursor(block).deletePreviousChar();
        block = previous;
    }
    auto* data = new QMimeData;
    data->setHtml(lines.toHtml());
    data->setText(lines.toPlainText());
    return data;
}

ChatView::ChatView(QTextBrowser* ip_view, bool i_capped)
    : mp_view(ip_view)
    , m_capped(i_capped)
    , m_lastActivity(ChatNow())
{
    // A read-only view needs no undo history, which would otherwise keep every line ever shown.
    mp_view->document()->setUndoRedoEnabled(false);
    // A scroll bar that appears once the lines fill the view narrows it, and every line shown is
    // laid out again.
    mp_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Every line reads in the view's direction: a line's first letter, which may be a peer's, would
    // otherwise turn it around, with its time and name at the other end.
    QTextOption option = mp_view->document()->defaultTextOption();
    option.setTextDirection(mp_view->layoutDirection());
    mp_view->document()->setDefaultTextOption(option);
    if (m_capped)
        MeasureEmptyView();
}

void ChatView::MeasureEmptyView()
{
    const QString html = mp_view->document()->toHtml();
    m_htmlLength = html.length();
    m_headerLength = html.indexOf(QLatin1Char('\n'), html.indexOf(QLatin1String("<body"))) + 1;
    m_emptyParagraphLength = html.lastIndexOf(QLatin1String("</body>")) - m_headerLength;
    m_lines.clear();
    m_emptyHead = false;
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
        AddStatusMessage(MeStatusText(IsolatedName(i_user), rest));
        return ChatLogStatusLine(ChatNow(), MeStatusText(i_user, rest));
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
    QTextDocument* document = mp_view->document();
    const bool wasEmpty = document->isEmpty();
    const int firstNewBlock = wasEmpty ? 0 : document->blockCount();
    // The line is indented in the edit that adds it, so that the view lays it out once; the view
    // then follows it, as it follows an appended line, when it showed the end.
    QScrollBar* bar = mp_view->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    QTextCursor edit(document);
    edit.beginEditBlock();
    mp_view->append(i_html);
    PlaceBreakPoints(firstNewBlock);
    IndentLine(firstNewBlock);
    if (m_capped)
        KeepGlyphs(firstNewBlock);
    edit.endEditBlock();
    if (atEnd)
        bar->setValue(bar->maximum());
    if (!m_capped)
        return;
    const int blocks = document->blockCount() - firstNewBlock;
    int added = 0;
    if (!wasEmpty && m_blockOverhead >= 0)
        added = NewBlocksHtmlLength(firstNewBlock) - m_blockOverhead;
    else
    {
        // The first line replaces the empty view's paragraph, and the second teaches the overhead.
        added = document->toHtml().length() - m_htmlLength;
        if (!wasEmpty)
            m_blockOverhead = NewBlocksHtmlLength(firstNewBlock) - added;
    }
    m_htmlLength += added;
    m_lines.push_back({blocks, wasEmpty ? added + m_emptyParagraphLength : added});
}

void ChatView::PlaceBreakPoints(int i_firstBlock)
{
    for (QTextBlock block = mp_view->document()->findBlockByNumber(i_firstBlock); block.isValid(); block = block.next())
    {
        const QString text = block.text();
        std::vector<int> points;
        for (int at = text.indexOf(QChar(kChatBreakPoint)); at >= 0; at = text.indexOf(QChar(kChatBreakPoint), at + 1))
        {
            QTextCursor point(block);
            point.setPosition(block.position() + at);
            point.setPosition(block.position() + at + 1, QTextCursor::KeepAnchor);
            point.insertText(QString(QChar(0x200B)));
            points.push_back(at);
        }
        if (!points.empty())
            block.setUserData(new BreakPoints(std::move(points)));
    }
}

void ChatView::IndentLine(int i_firstBlock)
{
    const int indent = 2 * QFontMetrics(mp_view->document()->defaultFont()).horizontalAdvance(QLatin1Char('M'));
    QTextBlock block = mp_view->document()->findBlockByNumber(i_firstBlock);
    QTextBlockFormat format = block.blockFormat();
    format.setLeftMargin(indent);
    format.setTextIndent(-indent);
    format.clearProperty(kContinuation);
    QTextCursor(block).setBlockFormat(format);
    if (!block.next().isValid())
        return;
    format.setTextIndent(0);
    format.setProperty(kContinuation, true);
    QTextCursor rest(block.next());
    rest.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    rest.setBlockFormat(format);
}

void ChatView::KeepGlyphs(int i_firstBlock)
{
    for (QTextBlock block = mp_view->document()->findBlockByNumber(i_firstBlock); block.isValid(); block = block.next())
        block.layout()->setCacheEnabled(true);
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
    // The lines that hold the first kHtmlCut characters of the view's HTML go, each whole.
    size_t droppedLines = 0;
    int droppedBlocks = 0;
    int droppedLength = 0;
    while (droppedLines < m_lines.size() && m_headerLength + droppedLength < kHtmlCut)
    {
        droppedBlocks += m_lines[droppedLines].blocks;
        droppedLength += m_lines[droppedLines].htmlLength;
        ++droppedLines;
    }
    mp_view->setUpdatesEnabled(false);
    QTextDocument* document = mp_view->document();
    if (droppedLines == m_lines.size())
    {
        mp_view->clear();
        MeasureEmptyView();
        return true;
    }
    const int firstKept = (m_emptyHead ? 1 : 0) + droppedBlocks;
    m_lines.erase(m_lines.begin(), m_lines.begin() + droppedLines);
    QTextCursor cursor(document);
    cursor.setPosition(document->findBlockByNumber(firstKept).position());
    if (document->allFormats().size() > kMaxFormats)
    {
        // A dropped line's formats stay in the document until it is cleared: once they pile up,
        // the kept lines are copied into the cleared view, which lets go of them.
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        const QTextDocumentFragment kept(cursor);
        // A fragment keeps no paragraph's break points: they go over with their paragraphs.
        std::vector<std::vector<int>> points;
        for (QTextBlock block = document->findBlockByNumber(firstKept); block.isValid(); block = block.next())
        {
            const auto* data = dynamic_cast<const BreakPoints*>(block.userData());
            points.push_back(data ? data->at : std::vector<int>());
        }
        mp_view->clear();
        QTextCursor rebuilt(document);
        rebuilt.beginEditBlock();
        rebuilt.insertFragment(kept);
        QTextBlock block = document->begin();
        for (size_t n = 0; n < points.size() && block.isValid(); ++n, block = block.next())
            if (!points[n].empty())
                block.setUserData(new BreakPoints(std::move(points[n])));
        KeepGlyphs(0);
        rebuilt.endEditBlock();
        m_emptyHead = false;
        m_lines.front().htmlLength -= 1; // first now: no line feed before it
        m_htmlLength = document->toHtml().length();
        return true;
    }
    // Deleting up to the end of the last dropped paragraph, but not the paragraph break after
    // it, leaves the kept paragraphs and their layout as they are: a paragraph joined with
    // another is laid out again, which costs as much as its text is long. An empty paragraph
    // stays at the top of the view.
    cursor.setPosition(cursor.position() - 1);
    cursor.setPosition(0, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    // The empty paragraph left keeps a dropped line's break points otherwise.
    document->begin().setUserData(nullptr);
    if (m_emptyHead)
        m_htmlLength -= droppedLength;
    else
    {
        m_emptyHead = true;
        m_htmlLength = document->toHtml().length();
    }
    return true;
}
