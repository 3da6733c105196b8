#pragma once

// One chat tab's view: shows lines as ChatLines builds them, marks the start and end of periods
// of activity, and, for a room, keeps the view's serialised HTML near a cap.

#include <QDateTime>
#include <QString>
#include <QTextBrowser>

#include <deque>

// A chat tab's text area: a selection copies (or drags) as the lines were written, without the
// paragraph breaks and break points the view puts into a long line.
class ChatBrowser : public QTextBrowser
{
    Q_OBJECT

public:
    using QTextBrowser::QTextBrowser;

protected:
    QMimeData* createMimeDataFromSelection() const override;
};

class ChatView
{
public:
    // A room view past this many characters of serialised HTML drops its oldest lines.
    static constexpr int kHtmlLimit = 250000;
    static constexpr int kHtmlCut = 50000;
    // Formats a room view may pile up from dropped lines before it is rebuilt without them.
    static constexpr int kMaxFormats = 4096;
    // Silence that ends a period of activity.
    static constexpr qint64 kInactivityMs = 300000;

    // i_capped: the view keeps to kHtmlLimit (rooms); private chats keep everything.
    ChatView(QTextBrowser* ip_view, bool i_capped);

    // "* " and the text in the status colour; no timestamp, never trimmed against.
    void AddStatusMessage(const QString& i_text);
    // An ordinary line: opens a period of activity (with its marker), then shows the line.
    void AddChatLine(const QString& i_user, const QString& i_text);
    // A line someone wrote: "/me ..." (told by the trimmed text) shows as a status line, any
    // other as an ordinary line of the text as given. Returns the line for the chat log, and
    // whether the line was an ordinary one.
    QString AddWrittenLine(const QString& i_user, const QString& i_text, bool* op_ordinary = nullptr);
    // Closes the period of activity once its last ordinary line is five minutes old.
    void CheckInactivity();
    // Whether typed text can go to the server now. Nothing is queued while offline: otherwise a
    // status line says the text was not sent, and the caller keeps it for the user to send later.
    bool CanSend();

    bool IsChatStarted() const { return m_chatStarted; }
    QDateTime LastActivity() const { return m_lastActivity; }
    // The length of the view's serialised HTML, as the cap sees it.
    int HtmlLength() const { return m_htmlLength; }

private:
    void Append(const QString& i_html);
    // Shows a zero-width space at each of the line's break points (kChatBreakPoint), noted in its
    // paragraph so that a copy leaves it out, where a zero-width space of the text stays.
    void PlaceBreakPoints(int i_firstBlock);
    // A line's first paragraph starts at the view's edge; what wraps and the paragraphs it goes on
    // in are indented, so that nothing in a line reads as a line of its own.
    void IndentLine(int i_firstBlock);
    // A room's paragraphs keep their glyphs: dropping its oldest lines paints every line shown
    // again, and a paragraph that keeps none is shaped anew at each paint, which reads each of the
    // colour emoji font's glyphs from its image again. The cap bounds what they hold.
    void KeepGlyphs(int i_firstBlock);
    void MeasureEmptyView();
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
    // Each shown line's paragraphs and the HTML they add, oldest first, so that the cap drops the
    // oldest lines without serialising the view; and what the view's HTML holds besides them.
    struct Line
    {
        int blocks;
        int htmlLength;
    };
    std::deque<Line> m_lines;
    int m_headerLength = 0;
    int m_emptyParagraphLength = 0;
    // Once lines were dropped, an empty paragraph heads the view.
    bool m_emptyHead = false;
};
