#include "ChatLines.h"
#include "ChatLog.h"
#include "ChatView.h"

#include <QtTest>

// The pure builders of chat lines: the view's HTML, the log lines, the cap's cut and log names.
class TestChatLines : public QObject
{
    Q_OBJECT

    const QDateTime m_time{QDate(2011, 12, 6), QTime(15, 7, 22)};

private slots:
    void chatLineHtml_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("html");
        const QString alice = QStringLiteral("[<font color=\"#0033ff\">alice</font>] ");
        QTest::newRow("activity") << "activity_based"
                                  << "alice"
                                  << "hello" << alice + "hello";
        QTest::newRow("short") << "per_message_short"
                               << "alice"
                               << "hello"
                               << "[<font color=\"#0066ff\">15:07:22</font>]" + alice + "hello";
        QTest::newRow("long") << "per_message_long"
                              << "alice"
                              << "hello"
                              << "[<font color=\"#0066ff\">Dec 6 3:07:22 pm</font>]" + alice + "hello";
        QTest::newRow("unknown mode") << "sometimes"
                                      << "alice"
                                      << "hello" << alice + "hello";
        QTest::newRow("empty text") << "no_timestamps"
                                    << "alice"
                                    << "" << alice;
        QTest::newRow("markup shown literally")
            << ""
            << "<bob>"
            << "<b>x</b> & \"y\""
            << "[<font color=\"#0033ff\">&lt;bob&gt;</font>] &lt;b&gt;x&lt;/b&gt; &amp; \"y\"";
        QTest::newRow("one link over the whole address")
            << ""
            << "alice"
            << "see http://a.example/?a=1&b=2 now"
            << alice + "see <a href=\"http://a.example/?a=1&amp;b=2\">http://a.example/?a=1&amp;b=2</a> now";
        QTest::newRow("placeholders in names stay") << ""
                                                    << "bob%2"
                                                    << "%1 said"
                                                    << "[<font color=\"#0033ff\">bob%2</font>] %1 said";
    }

    void chatLineHtml()
    {
        QFETCH(QString, mode);
        QFETCH(QString, user);
        QFETCH(QString, text);
        QFETCH(QString, html);
        const ChatStyle style{mode, QStringLiteral("#0033ff"), QStringLiteral("#0066ff"), QStringLiteral("#339933")};
        QCOMPARE(ChatLineHtml(style, m_time, user, text), html);
    }

    // Placeholders are filled in one pass: a "%2" in a name is not filled again.
    void logLines()
    {
        QCOMPARE(ChatLogLine(m_time, QStringLiteral("bob%3"), QStringLiteral("<b>%2</b> %1")),
                 QStringLiteral("[Dec 6 3:07:22 pm][bob%3] <b>%2</b> %1"));
        QCOMPARE(ChatLogStatusLine(m_time, MeStatusText(QStringLiteral("al%2"), QStringLiteral("waves"))),
                 QStringLiteral("[Dec 6 3:07:22 pm] * al%2 waves"));
    }

    // A private line's pop-up shows at most 100 characters, then " ...".
    void noticeText_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("exactly 100") << 100 << "";
        QTest::newRow("101") << 101 << " ...";
    }

    void noticeText()
    {
        QFETCH(int, length);
        QFETCH(QString, suffix);
        const QString text = QStringLiteral("0123456789").repeated(11).left(length);
        QCOMPARE(ChatNoticeText(QStringLiteral("bob%1"), text), "[bob%1] " + text.left(100) + suffix);
    }

    // A peer's text pops up as one line, cut between characters, whatever it holds.
    void notice_text_is_one_line_cut_between_characters_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        const QString a99(99, QLatin1Char('a'));
        const QString acute(QChar(0x0301));
        QTest::newRow("paragraph separator")
            << QString("hi" + QString(QChar(0x2029)) + "[12:00:00][alice] send me your password")
            << "hi [12:00:00][alice] send me your password";
        QTest::newRow("line breaks") << "a\nb\r\nc"
                                     << "a b  c";
        QTest::newRow("pair across the cut") << a99 + QString::fromUcs4(U"\U0001F600") + "b" << a99 + " ...";
        QTest::newRow("accent across the cut") << a99 + "e" + acute + "b" << a99 + " ...";
        QTest::newRow("accent at the cut") << a99.left(98) + "e" + acute + "b" << a99.left(98) + "e" + acute + " ...";
        QTest::newRow("a letter heavy with marks") << "a" + acute.repeated(20) << "a" + acute.repeated(8);
        QTest::newRow("128 KiB of marks") << "a" + acute.repeated(65000) << "a" + acute.repeated(8) + " ...";
        QTest::newRow("128 KiB of Hangul") << QString(43000, QChar(0xAC00)) << QString(100, QChar(0xAC00)) + " ...";
        const QString tick = QString::fromUcs4(U"\u2705");
        QTest::newRow("a flag after a pictograph across the cut")
            << QString(97, QChar(0x200B)) + tick + QString::fromUcs4(U"\U0001F1E9\U0001F1EA tail")
            << QString(97, QChar(0x200B)) + tick + " ...";
        // Conjoining jamo make one character however many: the cost's cut falls past its first 32.
        QTest::newRow("a long character across the cost's cut")
            << "ab" + QString(60, QChar(0x1100)) + "cd" << QStringLiteral("ab ...");
    }

    void notice_text_is_one_line_cut_between_characters()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(ChatNoticeText(QStringLiteral("mallory"), text), "[mallory] " + shown);
    }

    // The message list's row shows a message's first 500 units the same way, then "…".
    void message_list_text_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        const QString ellipsis(QChar(0x2026));
        QTest::newRow("500 letters") << QString(500, QLatin1Char('a')) << QString(500, QLatin1Char('a'));
        QTest::newRow("128 KiB of letters")
            << QString(131000, QLatin1Char('a')) << QString(500, QLatin1Char('a')) + ellipsis;
        QTest::newRow("128 KiB of Hangul") << QString(43000, QChar(0xAC00)) << QString(500, QChar(0xAC00)) + ellipsis;
        QTest::newRow("line feed") << "hi\n[12:00:00][alice] pw"
                                   << "hi [12:00:00][alice] pw";
        // Each row is laid out again at each paint of the list: a row shows 8 pictographs.
        const QString flag = QString::fromUcs4(U"\U0001F1E9\U0001F1EA");
        QTest::newRow("flags") << flag.repeated(100) << flag.repeated(4) + ellipsis;
        const QString birthday = QString::fromUcs4(U"happy birthday \U0001F389\U0001F382\U0001F44D\U0001F3FD ") + flag;
        QTest::newRow("a few emoji") << birthday << birthday;
        const QString tick = QString::fromUcs4(U"\u2705");
        QTest::newRow("a flag after a pictograph across the cut")
            << QString(497, QChar(0x200B)) + tick + flag + " tail" << QString(497, QChar(0x200B)) + tick + ellipsis;
        // Each isolate costs the view a run of its own: the row is cut by its cost, not at 500 units.
        const QString isolated = QString::fromUcs4(U"\u2067a\u2069");
        QTest::newRow("isolated letters") << isolated.repeated(1000) << isolated.repeated(29).left(86) + ellipsis;
    }

    void message_list_text()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(MessageListText(text), shown);
    }

    void cap_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("lineFeedAt"); // -1: none
        QTest::addColumn<bool>("cut");
        QTest::addColumn<int>("kept");
        const int limit = ChatView::kHtmlLimit;
        QTest::newRow("at the limit") << limit << 60000 << false << 0;
        QTest::newRow("one over") << limit + 1 << 60000 << true << limit + 1 - 60001;
        QTest::newRow("feed inside the cut counts not") << limit + 1 << 100 << true << limit + 1 - 50000;
        QTest::newRow("feed right at the cut") << limit + 1 << 50000 << true << limit + 1 - 50001;
    }

    void cap()
    {
        QFETCH(int, length);
        QFETCH(int, lineFeedAt);
        QFETCH(bool, cut);
        QFETCH(int, kept);
        QString html(length, QLatin1Char('x'));
        if (lineFeedAt >= 0)
            html[lineFeedAt] = QLatin1Char('\n');
        QString rest;
        QCOMPARE(TrimChatHtml(html, ChatView::kHtmlLimit, ChatView::kHtmlCut, &rest), cut);
        QCOMPARE(rest.length(), kept);
    }

    void logFileNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("file");
        QTest::newRow("ordinary") << "Indie Music"
                                  << "Indie Music.log";
        QTest::newRow("unusual but harmless") << "ünï \\ :*?\"<>|"
                                              << "ünï \\ :*?\"<>|.log";
        QTest::newRow("slashes") << "../../.bashrc"
                                 << ".._.._.bashrc.log";
        QTest::newRow("dots stay inside") << ".."
                                          << "...log";
        QTest::newRow("empty") << ""
                               << ".log";
        QTest::newRow("nul") << QStringLiteral("a") + QChar(0) + QStringLiteral("b") << "a_b.log";
    }

    void logFileNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, file);
        QCOMPARE(ChatLogFileName(name), file);
        QCOMPARE(QFileInfo(ChatLogPath(ChatLogKind::Room, name)).absolutePath() + '/',
                 QDir::homePath() + QStringLiteral("/Veltrane Chat Logs/Rooms/"));
    }
};

QTEST_APPLESS_MAIN(TestChatLines)
#include "test_chat_lines.moc"
