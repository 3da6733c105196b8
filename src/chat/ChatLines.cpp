#include "ChatLines.h"

#include "Data.h"
#include "ShellSchema.h"
#include "TextUtils.h"

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
    return prefix + QLatin1Char('[') + ColouredSpan(i_style.userColour, EscapeWithLinks(IsolatedName(i_user)))
           + QLatin1String("] ") + EscapeWithLinks(i_text);
}

QString StatusLineHtml(const ChatStyle& i_style, const QString& i_text)
{
    return QLatin1String("* ") + ColouredSpan(i_style.statusColour, EscapeWithLinks(i_text));
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

QString ChatNoticeText(const QString& i_user, const QString& i_text)
{
    const int kShown = 100;
    const QString shown = i_text.length() > kShown ? i_text.left(kShown) + QLatin1String(" ...") : i_text;
    return QStringLiteral("[%1] %2").arg(i_user, shown);
}

bool TrimChatHtml(const QString& i_html, int i_limit, int i_cut, QString* op_rest)
{
    if (i_html.length() <= i_limit)
        return false;
    const int lineEnd = i_html.indexOf(QLatin1Char('\n'), i_cut);
    *op_rest = lineEnd < 0 ? i_html.mid(i_cut) : i_html.mid(lineEnd + 1);
    return true;
}
