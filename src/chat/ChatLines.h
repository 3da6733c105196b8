#pragma once

// How a chat line becomes the HTML of a chat view and the text of a log line. Room and private
// chat build their lines here, so both read the same.

#include <QDateTime>
#include <QString>

// "15:07:22" and "Dec 6 3:07:22 pm".
extern const QString kChatShortTimeFormat;
extern const QString kChatLongTimeFormat;

QString ChatShortTime(const QDateTime& i_time);
QString ChatLongTime(const QDateTime& i_time);

// The colours and timestamp mode a line is drawn with; read afresh for every line.
struct ChatStyle
{
    QString timestamps; // "activity_based", "per_message_short", "per_message_long", ...
    QString userColour;
    QString timestampColour;
    QString statusColour;

    static ChatStyle FromSettings();
    bool IsActivityBased() const;
};

// <font color="colour">content</font>; the content is taken as it is.
QString ColouredSpan(const QString& i_colour, const QString& i_content);

// Where a chat view may break a long run of a line's text, in the HTML below: U+FFFC, which no
// shown text holds (ShownCharacter), so that the view tells its own break points from the
// zero-width spaces a text holds.
constexpr char16_t kChatBreakPoint = 0xFFFC;

// "[15:07:22][alice] hello" with the time and name coloured, text escaped, links made.
QString ChatLineHtml(const ChatStyle& i_style, const QDateTime& i_time, const QString& i_user, const QString& i_text);
// "* " and the text in the status colour, escaped, links made.
QString StatusLineHtml(const ChatStyle& i_style, const QString& i_text);

// A trimmed text that begins with "/me " gives true and the rest after it, trimmed again.
bool SplitMeLine(const QString& i_trimmedText, QString* op_rest);
// "alice waves".
QString MeStatusText(const QString& i_user, const QString& i_rest);

// "[Dec 6 3:07:22 pm][alice] hello": the text as it came, unescaped.
QString ChatLogLine(const QDateTime& i_time, const QString& i_user, const QString& i_text);
// "[Dec 6 3:07:22 pm] * alice waves".
QString ChatLogStatusLine(const QDateTime& i_time, const QString& i_statusText);

// The start of a peer's text as a list row or a pop-up shows it: on one line (OneLine), without
// what a chat line drops of it (PlanShownText), at most i_units units long and cut between
// characters, with at most kListedPictographs pictographs, regional indicators and skin tones,
// and cut where its cost (PlanShownText) comes to kListedUnitCost for each of i_units: a script
// that costs at most that a character shows i_units units, one the view takes longer over fewer.
// *op_cut tells whether anything was left out at the end. Its cost follows i_units, not the
// text's length.
constexpr int kListedPictographs = 8;
constexpr int kListedUnitCost = 2;
QString ShownStart(const QString& i_text, int i_units, bool* op_cut);

// The pop-up of a private line's notice: "[alice] " and the text's first 100 units (ShownStart),
// with " ..." when there were more.
QString ChatNoticeText(const QString& i_user, const QString& i_text);
// A message in its partner's row of the message list: its first 500 units (ShownStart), with
// "…" when there were more.
QString MessageListText(const QString& i_text);

// A view's serialised HTML longer than i_limit characters loses its first i_cut characters and
// the rest of the line they end in: true, with what remains. False when nothing is to be cut.
bool TrimChatHtml(const QString& i_html, int i_limit, int i_cut, QString* op_rest);
