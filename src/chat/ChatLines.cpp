#include "ChatLines.h"

#include "Data.h"
#include "ShellSchema.h"
#include "TextUtils.h"

#include <algorithm>

const QString kChatShortTimeFormat = QStringLiteral("h:mm:ss");
const QString kChatLongTimeFormat = QStringLiteral("MMM d h:mm:ss ap");

QString ChatShortTime(const QDateTime& i_time)
{
    return i_time.toString(kChatShortTimeFormat);
}

QString ChatLongTime(const QDateTime& i_time)
{
    return i_time.toString(kChatLongTimeFormat);
}

ChatStyle ChatStyle::FromSettings()
{
    return {GetSetting(settings::kChatTimestamps), GetSetting(settings::kColorChatUsername),
            GetSetting(settings::kColorChatTimestamp), GetSetting(settings::kColorChatStatus)};
}

bool ChatStyle::IsActivityBased() const
{
    return timestamps == QLatin1String("activity_based");
}

QString ColouredSpan(const QString& i_colour, const QString& i_content)
{
    return QStringLiteral("<font color=\"%1\">%2</font>").arg(i_colour, i_content);
}

QString ChatLineHtml(const ChatStyle& i_style, const QDateTime& i_time, const QString& i_user, const QString& i_text)
{
    QString prefix;
    if (i_style.timestamps == QLatin1String("per_message_short"))
        prefix = QLatin1Char('[') + ColouredSpan(i_style.timestampColour, ChatShortTime(i_time)) + QLatin1Char(']');
    else if (i_style.timestamps == QLatin1String("per_message_long"))
        prefix = QLatin1Char('[') + ColouredSpan(i_style.timestampColour, ChatLongTime(i_time)) + QLatin1Char(']');
    return prefix + QLatin1Char('[')
           + ColouredSpan(i_style.userColour, EscapeWithLinks(IsolatedName(i_user), kChatBreakPoint))
           + QLatin1String("] ") + EscapeWithLinks(i_text, kChatBreakPoint);
}

QString StatusLineHtml(const ChatStyle& i_style, const QString& i_text)
{
    return QLatin1String("* ") + ColouredSpan(i_style.statusColour, EscapeWithLinks(i_text, kChatBreakPoint));
}

bool SplitMeLine(const QString& i_trimmedText, QString* op_rest)
{
    if (!i_trimmedText.startsWith(QLatin1String("/me ")))
        return false;
    *op_rest = i_trimmedText.mid(4).trimmed();
    return true;
}

QString MeStatusText(const QString& i_user, const QString& i_rest)
{
    return QStringLiteral("%1 %2").arg(i_user, i_rest);
}

QString ChatLogLine(const QDateTime& i_time, const QString& i_user, const QString& i_text)
{
    return QStringLiteral("[%1][%2] %3").arg(ChatLongTime(i_time), i_user, i_text);
}

QString ChatLogStatusLine(const QDateTime& i_time, const QString& i_statusText)
{
    return QStringLiteral("[%1] * %2").arg(ChatLongTime(i_time), i_statusText);
}

QString ShownStart(const QString& i_text, int i_units, bool* op_cut)
{
    // Below U+0300 there is no mark, and every unit but a line break, which becomes a blank,
    // is a character of its own: nothing to drop, and any cut falls between characters.
    const int window = qMin(i_text.size(), 4 * i_units);
    if (std::all_of(i_text.cbegin(), i_text.cbegin() + window, [](QChar c) { return c.unicode() < 0x300; }))
    {
        *op_cut = i_text.size() > i_units;
        return OneLine(i_text.left(i_units));
    }
    // Only a window of the text is planned: a few times what is kept leaves room for the marks a
    // character loses. A character the window or the plan's cut ends in may lack its later parts,
    // and goes, unless it is the only one: the row is cut between characters.
    const QString head = OneLine(i_text.left(window));
    // A list row or a pop-up is laid out again at each paint, every row of a list with it.
    const ShownPlan plan = PlanShownText(head, nullptr, kListedPictographs, i_units * kListedUnitCost);
    QString kept;
    kept.reserve(head.size());
    int afterKept = 0;
    for (int at = 0; at < head.size(); ++at)
        if (plan.units[size_t(at)] != ShownUnit::Dropped)
        {
            kept += head.at(at);
            afterKept = at + 1;
        }
    const bool windowCut = window < i_text.size();
    int end = CharacterStart(kept, qMin(i_units, kept.size()));
    // The plan cuts a character longer than kShownClusterUnits after what it shows of it; the
    // window's end may fall anywhere.
    const bool endsInside = plan.cut ? CharacterStart(kept + head.mid(afterKept, 2), end) != end : windowCut;
    if (endsInside && end == kept.size() && end > 0)
    {
        const int last = CharacterStart(kept, end - 1);
        if (last > 0)
            end = last;
    }
    *op_cut = windowCut || plan.cut || end < kept.size();
    return kept.left(end);
}

QString ChatNoticeText(const QString& i_user, const QString& i_text)
{
    bool cut = false;
    const QString shown = ShownStart(i_text, 100, &cut);
    return QStringLiteral("[%1] %2").arg(i_user, cut ? shown + QLatin1String(" ...") : shown);
}

QString MessageListText(const QString& i_text)
{
    bool cut = false;
    const QString shown = ShownStart(i_text, 500, &cut);
    return cut ? shown + QChar(0x2026) : shown;
}

bool TrimChatHtml(const QString& i_html, int i_limit, int i_cut, QString* op_rest)
{
    if (i_html.length() <= i_limit)
        return false;
    const int lineEnd = i_html.indexOf(QLatin1Char('\n'), i_cut);
    *op_rest = lineEnd < 0 ? i_html.mid(i_cut) : i_html.mid(lineEnd + 1);
    return true;
}
