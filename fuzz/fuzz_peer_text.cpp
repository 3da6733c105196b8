// Text from other users as the windows show it: a user's description as rich text, and chat
// lines, long ones included, laid out as the views lay them out. The first byte picks the
// reader and how often the rest repeats, for lines far longer than one input.

#include "ChatLines.h"
#include "FuzzTarget.h"
#include "UserInfoText.h"

#include <QDateTime>
#include <QTextDocument>

namespace
{
void LayOut(const QString& i_html)
{
    QTextDocument document;
    document.setTextWidth(600);
    document.setHtml(i_html);
    document.size();
}
} // namespace

bool FuzzWantsGui()
{
    return true;
}

void FuzzSeeds(std::vector<QByteArray>& o_seeds)
{
    o_seeds.push_back(QByteArray(1, '\0')
                      + "<b>Hello</b> <a href=\"https://example.org\">me</a><br><img "
                        "src=\"file:///etc/passwd\"><table><tr><td>x</td></tr></table>");
    o_seeds.push_back(QByteArray(1, '\0') + QByteArray("<i>").repeated(50) + "deep" + QByteArray("</i>").repeated(50));
    o_seeds.push_back(QByteArray(1, '\1') + "hello http://example.org/x?y=1 &amp; <b>not bold</b> /me waves");
    o_seeds.push_back(QByteArray(1, char(0x81)) + QByteArray("averyveryverylongwordwithoutanyspaces"));
    o_seeds.push_back(QByteArray(1, '\2') + "/me dances %1 %2");
    // Shapes the layout pays for beyond their length: jamo put together into syllables, isolates
    // and embeddings, a change of font at every other character, characters no font draws, one
    // character as long as the text.
    for (const char32_t* unit :
         {U"\u1100\u1161\u11A8", U"\u2067a\u2069", U"\u2066\u05D0\u2069", U"\u202Ba\u202C", U"a\u3001", U"a\uFF11",
          U"\U0001E900a", U"1\uFF11", U"\uAC001", U"\uFFFE\uFFFF\uFDD0\U0010FFFF", U"\u1100"})
        o_seeds.push_back(QByteArray(1, char(0xF1)) + QString::fromUcs4(unit).repeated(200).toUtf8());
    o_seeds.push_back(QByteArray(1, char(0xF1)) + QByteArray("\0a", 2).repeated(200));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    if (i_size == 0)
        return 0;
    FuzzEnvironment();
    const QString text = QString::fromUtf8(FuzzBytes(ip_data + 1, i_size - 1).repeated(1 + (ip_data[0] >> 4)));
    ChatStyle style;
    style.timestamps = QStringLiteral("per_message_short");
    style.userColour = QStringLiteral("#202080");
    style.timestampColour = QStringLiteral("#808080");
    style.statusColour = QStringLiteral("#208020");
    const QDateTime time = QDateTime::fromSecsSinceEpoch(1700000000);
    switch (ip_data[0] % 3)
    {
    case 0: LayOut(UserInfoText::SafeDescription(text)); break;
    case 1:
    {
        const QString html = ChatLineHtml(style, time, QStringLiteral("ann%1<b>"), text);
        LayOut(html);
        QString rest;
        TrimChatHtml(html + html, html.size() + 10, html.size() / 2 + 1, &rest);
        ChatNoticeText(QStringLiteral("ann"), text);
        MessageListText(text);
        ChatLogLine(time, QStringLiteral("ann"), text);
        break;
    }
    default:
    {
        QString rest;
        if (SplitMeLine(text.trimmed(), &rest))
            LayOut(StatusLineHtml(style, MeStatusText(QStringLiteral("ann"), rest)));
        break;
    }
    }
    return 0;
}
