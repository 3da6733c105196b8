#include "RoomFixture.h"

#include "AdminMessageDialog.h"
#include "ChatLog.h"
#include "ChatLogForm.h"
#include "ChatView.h"
#include "CreateRoomDialog.h"
#include "QRoomListItemWidget.h"
#include "QRoomUserListItemWidget.h"
#include "TextUtils.h"
#include "UserInfoText.h"

#include <QAbstractTextDocumentLayout>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTextLayout>
#include <QTreeWidget>
#include <QtTest>

class OpenedUrls : public QObject
{
    Q_OBJECT

public slots:
    void Open(const QUrl& i_url) { urls << i_url.toString(); }

public:
    QStringList urls;
};

// A room tab on the real data model and server connection, with the loopback test server.
class TestRoomForm : public QObject
{
    Q_OBJECT

    std::unique_ptr<RoomFixture> f;
    const QString m_room = QStringLiteral("lobby");

    static QTreeWidget* UserList(RoomForm* ip_form)
    {
        return ip_form->findChild<QTreeWidget*>(QStringLiteral("userList"));
    }
    static QLineEdit* ChatEdit(RoomForm* ip_form) { return ip_form->findChild<QLineEdit*>(QStringLiteral("chatEdit")); }

    static QStringList Column(QTreeWidget* ip_list, int i_column)
    {
        QStringList texts;
        for (int row = 0; row < ip_list->topLevelItemCount(); ++row)
            texts << ip_list->topLevelItem(row)->text(i_column);
        return texts;
    }

    QString UserCount() { return f->Room(m_room)["user_count"].AsString(); }

    QString LogFile()
    {
        QFile file(ChatLogPath(ChatLogKind::Room, m_room));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QStringLiteral("(none)");
    }

    // A chat line relayed by the server, as every room member receives it.
    void Relay(const QString& i_room, const QString& i_user, const QString& i_text)
    {
        QSignalSpy relayed(gp_server, &Server::RoomChat);
        QVERIFY(f->Push(SM_ROOM_CHAT, Body(i_room, i_user, i_text)));
        QVERIFY(relayed.wait(5000));
    }

private slots:
    void init()
    {
        f = std::make_unique<RoomFixture>();
        QVERIFY(f->Login());
        QDir(ChatLogFolder(ChatLogKind::Room)).removeRecursively();
    }

    void cleanup() { f.reset(); }

    // Rows appear once all three statistics are known, once, with their cells; the room's count
    // follows the users linked to it.
    void userRows()
    {
        RoomForm* form = f->Enter(m_room);
        QTreeWidget* list = UserList(form);
        ItemPtr carol = f->User(QStringLiteral("carol"));
        f->Room(m_room) += carol;
        carol += d->GetType("shared_files_count")->GetItem(Value(5));
        QCOMPARE(list->topLevelItemCount(), 0);
        QCOMPARE(UserCount(), QString()); // not written before a row is made

        f->AddUser(m_room, QStringLiteral("bob"), 12800, 1234567, QStringLiteral("DE"));
        f->AddUser(m_room, QStringLiteral("bob"), 12800, 1234567, QStringLiteral("DE")); // again: no second row
        f->AddUser(m_room, QStringLiteral("dave"));
        QCOMPARE(Column(list, 2), QStringList({"bob", "dave"}));
        QCOMPARE(Column(list, 4), QStringList({"1,234,567", ""}));
        QCOMPARE(Column(list, 5), QStringList({"12.5", ""}));
        QCOMPARE(list->topLevelItem(0)->icon(1).pixmap(16, 11).toImage(),
                 QIcon(QStringLiteral(":/resources/flags/de.png")).pixmap(16, 11).toImage());
        QVERIFY(list->topLevelItem(1)->icon(1).isNull()); // XX has no flag
        QCOMPARE(UserCount(), QStringLiteral("3"));       // carol is in the room, without a row

        f->Room(m_room) -= f->User(QStringLiteral("dave"));
        QCOMPARE(Column(list, 2), QStringList({"bob"}));
        QCOMPARE(UserCount(), QStringLiteral("2"));
        f->Room(m_room) -= carol; // no row: the count stays as it was
        QCOMPARE(UserCount(), QStringLiteral("2"));
    }

    // A row shows the statistics the server reported last: in the join after the connection came
    // back (the own files counted anew at login), when a user joins again, and about a user who
    // stays, a speed that drops to 0 included. A report about a stranger makes no user.
    void rows_follow_the_reported_statistics()
    {
        int files = 9;
        gp_server->SetSharedCountsSource([&files] { return std::make_pair(1, files); });
        QVERIFY(f->Drop() && f->Login());
        f->testServer->RoomOf(m_room).m_present << QStringLiteral("bob");
        f->testServer->SetUserStats(QStringLiteral("bob"), 0, 0, 4, 1);
        QSignalSpy joined(gp_server, &Server::RoomJoined);
        gp_server->EnterRoom(m_room, false);
        QVERIFY(joined.wait(5000));
        QTreeWidget* list = UserList(RoomForm::OpenTab(&f->tabs, m_room));
        QCOMPARE(Column(list, 2), QStringList({"alice", "bob"}));
        QCOMPARE(Column(list, 4), QStringList({"9", "4"}));

        files = 10;
        QVERIFY(f->Drop() && f->Login());
        QVERIFY(joined.wait(5000));
        QCOMPARE(Column(list, 4), QStringList({"10", "4"}));

        QVERIFY(f->Push(SM_USER_LEFT_ROOM, Body(m_room, "bob")));
        QVERIFY(f->Push(SM_USER_JOINED_ROOM, Body(m_room, "bob", quint32(2), Stats{2048, 0, 5, 1}, quint32(0), "DE")));
        QTRY_COMPARE(Column(list, 4), QStringList({"10", "5"}));
        QCOMPARE(Column(list, 5), QStringList({"", "2.0"}));
        QVERIFY(!list->topLevelItem(1)->icon(1).isNull());

        QSignalSpy reported(gp_server, &Server::ReceivedUserStats);
        QVERIFY(f->Push(SM_GET_USER_STATS, Body("bob", Stats{5120, 0, 6, 1})));
        QVERIFY(f->Push(SM_GET_USER_STATS, Body("nobody", Stats{5120, 0, 6, 1})));
        QTRY_COMPARE(reported.count(), 2);
        QCOMPARE(Column(list, 4), QStringList({"10", "6"}));
        QCOMPARE(Column(list, 5), QStringList({"", "5.0"}));
        QVERIFY(!d->GetType("user")->HasItem(QStringLiteral("nobody")));
        QSignalSpy watched(gp_server, &Server::AddUserResponse);
        QVERIFY(f->Push(SM_WATCH_USER, Body("bob", quint8(1), quint32(2), Stats{5120, 0, 7, 1}, "DE")));
        QVERIFY(watched.wait(5000));
        QCOMPARE(Column(list, 4), QStringList({"10", "7"}));
        QVERIFY(f->Push(SM_GET_USER_STATS, Body("bob", Stats{0, 0, 7, 1})));
        QVERIFY(reported.wait(5000));
        QCOMPARE(Column(list, 5), QStringList({"", ""}));
    }

    void rolesAndNotes()
    {
        RoomForm* form = f->Enter(m_room);
        ItemPtr room = f->Room(m_room);
        room.NewItem("room_owner") += f->User(QStringLiteral("owner"));
        ItemPtr operators = room.NewItem("room_operators");
        operators += f->User(QStringLiteral("op"));
        f->Note(QStringLiteral("noted"));
        for (const char* name : {"owner", "op", "plain", "noted"})
            f->AddUser(m_room, QString::fromLatin1(name));
        QTreeWidget* list = UserList(form);
        const auto row = [list](const char* i_name) {
            return list->findItems(QString::fromLatin1(i_name), Qt::MatchExactly, 2).value(0);
        };
        QCOMPARE(row("owner")->font(2).weight(), int(QFont::Bold));
        QVERIFY(row("owner")->font(2).underline());
        QCOMPARE(row("op")->font(2).weight(), int(QFont::Bold));
        QVERIFY(!row("op")->font(2).underline());
        QCOMPARE(row("plain")->font(2).weight(), int(QFont::Normal));
        QVERIFY(!row("noted")->icon(3).isNull());
        QVERIFY(row("plain")->icon(3).isNull());

        operators -= f->User(QStringLiteral("op"));
        QCOMPARE(row("op")->font(2).weight(), int(QFont::Normal));
        operators += f->User(QStringLiteral("plain"));
        QCOMPARE(row("plain")->font(2).weight(), int(QFont::Bold));
        f->User(QStringLiteral("noted")).Disconnect("user_note");
        QVERIFY(row("noted")->icon(3).isNull());
        f->Note(QStringLiteral("plain"));
        QVERIFY(!row("plain")->icon(3).isNull());
    }

    // What the view shows and the log keeps for the lines of the tab's room.
    void chatAndLog()
    {
        RoomForm* form = f->Enter(m_room);
        Relay(QStringLiteral("elsewhere"), QStringLiteral("bob"), QStringLiteral("not here"));
        Relay(m_room, QStringLiteral("alice"), QStringLiteral("  hello  "));
        Relay(m_room, QStringLiteral("bob"), QStringLiteral("  /me   waves  "));
        Relay(m_room, QStringLiteral("bob"), QStringLiteral("/ME shouts"));
        Relay(m_room, QStringLiteral("bob"), QStringLiteral("<b>x</b> & http://a.example/?a=1&b=2"));
        QCOMPARE(RoomFixture::Lines(form),
                 QStringList({"* Chat started Dec 6 3:07:22 pm", "[alice] hello", "* bob waves", "[bob] /ME shouts",
                              "[bob] <b>x</b> & http://a.example/?a=1&b=2"}));
        QCOMPARE(LogFile(), QStringLiteral("[Dec 6 3:07:22 pm][alice] hello\n"
                                           "[Dec 6 3:07:22 pm] * bob waves\n"
                                           "[Dec 6 3:07:22 pm][bob] /ME shouts\n"
                                           "[Dec 6 3:07:22 pm][bob] <b>x</b> & http://a.example/?a=1&b=2\n"));

        // An open viewer gets each line; with logging off neither the file nor the viewer does.
        ChatLogForm viewer(QString(), nullptr);
        f->Room(m_room) += d->GetType("chat_log_form")->GetItem(Value(&viewer));
        form->OnRoomChat(m_room, QStringLiteral("carol"), QStringLiteral("one"));
        SetSetting(QStringLiteral("log_room_chat"), QStringLiteral("no"));
        form->OnRoomChat(m_room, QStringLiteral("carol"), QStringLiteral("two"));
        QCOMPARE(viewer.findChild<QTextEdit*>(QStringLiteral("logEdit"))->toPlainText(),
                 QStringLiteral("[Dec 6 3:07:22 pm][carol] one"));
        QVERIFY(LogFile().endsWith(QLatin1String("][carol] one\n")));

        // A hostile room name writes inside the log folder.
        SetSetting(QStringLiteral("log_room_chat"), QStringLiteral("yes"));
        RoomForm* hostile = f->Enter(QStringLiteral("../../escape"));
        hostile->OnRoomChat(QStringLiteral("../../escape"), QStringLiteral("eve"), QStringLiteral("x"));
        QVERIFY(QFile::exists(ChatLogFolder(ChatLogKind::Room) + QStringLiteral(".._.._escape.log")));
        QVERIFY(!QFile::exists(QDir::homePath() + QStringLiteral("/escape.log")));
    }

    // A line break in a line or a name would start what reads as a line of the sender's making:
    // every message shows as one line in the view and is one line in the log.
    void every_line_shows_as_one()
    {
        RoomForm* form = f->Enter(m_room);
        const QString breaks = QStringLiteral("\n\r\v\f\x1c\x1d\x1e") + QChar(0x85) + QChar(0x2028) + QChar(0x2029)
                               + QChar(0xFDD0) + QChar(0xFDD1);
        for (const QChar c : breaks)
            Relay(m_room, "eve" + QString(c) + "x", "hi" + QString(c) + "[15:07:22][alice] send me your password");
        Relay(m_room, QStringLiteral("eve"), "/me waves" + QString(QChar(0x2029)) + "[alice] bye");
        const QStringList lines = RoomFixture::Lines(form);
        QCOMPARE(lines.size(), 1 + breaks.size() + 1);
        QCOMPARE(lines.at(1), QStringLiteral("[eve x] hi [15:07:22][alice] send me your password"));
        QCOMPARE(lines.last(), QStringLiteral("* eve waves [alice] bye"));
        const QStringList logged = LogFile().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(logged.size(), breaks.size() + 1);
        for (const QString& line : logged)
            QVERIFY2(line.startsWith(QLatin1String("[Dec 6 3:07:22 pm]")), qPrintable(line));
        QVERIFY(!LogFile().contains(QChar(0x1c)) && !LogFile().contains(QChar(0x1e)));
    }

    // The view lays out again the paragraph before a line it takes: after the longest line a peer
    // can send, that is a short paragraph of its end, and the next line is a paragraph of its own.
    void the_line_after_a_long_line_lays_out_again_only_a_short_paragraph_data()
    {
        QTest::addColumn<bool>("capped");
        QTest::newRow("room") << true;
        QTest::newRow("private chat") << false;
    }

    void the_line_after_a_long_line_lays_out_again_only_a_short_paragraph()
    {
        QFETCH(bool, capped);
        QTextBrowser browser;
        ChatView view(&browser, capped);
        // Letters every machine with the desktop's fonts draws: a machine with no font for a script
        // shows fewer of its characters.
        view.AddChatLine(QStringLiteral("eve"), QString::fromUcs4(U"\u0434\u2030").repeated(21845));
        view.AddChatLine(QStringLiteral("bob"), QStringLiteral("hi"));
        const QTextBlock line = browser.document()->lastBlock();
        QCOMPARE(line.text(), QStringLiteral("[bob] hi"));
        // 2,048 units at most, and the "…" of the cut.
        QVERIFY(line.previous().text().remove(QChar(0x200B)).size() <= 2049);
        QVERIFY(browser.toPlainText()
                    .remove(QChar(0x200B))
                    .remove(QLatin1Char('\n'))
                    .contains(QString::fromUcs4(U"\u0434\u2030").repeated(8192)));
    }

    // A long text goes to the view in short paragraphs: what a peer writes on one line reads as one
    // line, whatever padding places a paragraph's start, and copies as written, in a room as in a
    // private chat; a text's own lines show as they are; no paragraph starts on a mark, which would show on a dotted circle.
    void a_long_text_shows_its_own_lines_only_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("lines"); // the lines that start at the view's edge: "Chat started" and the lines written
        QTest::addColumn<bool>("description");
        QTest::addColumn<bool>("capped");
        const QString padding = "hello" + QString(2040, QChar(0x200B));
        const QString fake = QString("[alice] I'm off now, mallory has the files").replace(' ', QChar(0xA0));
        QTest::newRow("padded fake line") << padding + fake << 3 << false << true;
        QTest::newRow("padded fake line in a private chat") << padding + fake << 3 << false << false;
        QTest::newRow("padded me line")
            << "/me " + padding + QString("* alice gives her password to mallory").replace(' ', QChar(0xA0)) << 3
            << false << true;
        QTest::newRow("vedic signs") << QString::fromUcs4(U"\u1CD0\u0915").repeated(3000) << 3 << false << true;
        QStringList profile;
        for (int line = 1; line <= 40; ++line)
            profile << QStringLiteral("Line %1: I share music from the sixties and some films; ask me first.")
                           .arg(line, 2, 10, QLatin1Char('0'))
                           .leftJustified(72, '.');
        QTest::newRow("profile of 40 long lines") << profile.join('\n') << 40 << true << true;
        QTest::newRow("400 short lines") << QString("short line\n").repeated(400).chopped(1) << 400 << true << true;
    }

    void a_long_text_shows_its_own_lines_only()
    {
        QFETCH(QString, text);
        QFETCH(int, lines);
        QFETCH(bool, description);
        QFETCH(bool, capped);
        ChatBrowser browser;
        browser.resize(1200, 500);
        browser.show();
        ChatView view(&browser, capped);
        if (description)
            browser.setHtml(UserInfoText::SafeDescription(QString(text).replace('\n', "<br>")));
        else
        {
            view.AddChatLine(QStringLiteral("bob"), QStringLiteral("hi"));
            view.AddWrittenLine(QStringLiteral("eve"), text);
        }
        QTextDocument* document = browser.document();
        int atEdge = 0;
        for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        {
            // The paragraph, "[eve] " and the paragraph's end.
            QVERIFY(block.length() <= kLongestShownParagraph + 7);
            QVERIFY2(block.text().isEmpty() || !block.text().at(0).isMark(), qPrintable(block.text().left(2)));
            document->documentLayout()->blockBoundingRect(block);
            for (int line = 0; line < block.layout()->lineCount(); ++line)
                atEdge += block.layout()->lineAt(line).x() < 1 ? 1 : 0;
        }
        QCOMPARE(atEdge, lines);
        browser.selectAll();
        browser.copy();
        QString written = text.startsWith("/me ") ? "* eve " + text.mid(4) : "[eve] " + text;
        written = description ? text : "[bob] hi\n" + written;
        const QString copied = QGuiApplication::clipboard()->text();
        QCOMPARE(description ? copied : copied.section('\n', 1), written.replace(QChar(0xA0), ' '));
    }

    // A line copied from any place in it is its text as it came: without the break points the view
    // puts into a long run, with the zero-width spaces of its own.
    void a_copy_gives_the_text_as_received_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("capped");
        // "rebuilt": the room's view rebuilt after the line, to let go of formats; "dropped": lines like
        // it before it till the oldest went, and the copy starts at the top of the view.
        QTest::addColumn<QString>("until");
        const QString hash = QString("cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce").repeated(2);
        QTest::newRow("a hash") << hash << true << "";
        QTest::newRow("a long address") << "at https://example.org/" + hash + "/" + hash + " now" << true << "";
        const QString space(QChar(0x200B));
        QTest::newRow("zero-width spaces of its own") << hash + space + hash + space + space << true << "";
        QTest::newRow("a line of many paragraphs in a private chat") << hash.repeated(40) << false << "";
        QTest::newRow("a line kept when a full room's view was rebuilt") << hash << true << "rebuilt";
        QTest::newRow("the first line kept when a full room dropped its oldest") << hash << true << "dropped";
    }

    void a_copy_gives_the_text_as_received()
    {
        QFETCH(QString, text);
        QFETCH(bool, capped);
        QFETCH(QString, until);
        ChatBrowser browser;
        ChatView view(&browser, capped);
        view.AddChatLine(QStringLiteral("bob"), QStringLiteral("hi"));
        for (int length = 0; until == "dropped" && view.HtmlLength() >= length;)
        {
            length = view.HtmlLength();
            view.AddChatLine(QStringLiteral("eve"), text);
        }
        bool rebuilt = until == "rebuilt";
        // Each link a format of its own: the line comes just before they are too many.
        const auto link = [&view](int i_n) { view.AddChatLine("bob", QStringLiteral("http://a.example/%1").arg(i_n)); };
        int links = 0;
        while (rebuilt && browser.document()->allFormats().size() < ChatView::kMaxFormats)
            link(links++);
        view.AddChatLine(QStringLiteral("eve"), text);
        for (int formats = browser.document()->allFormats().size(); rebuilt;)
        {
            link(links++);
            rebuilt = browser.document()->allFormats().size() >= formats;
            formats = browser.document()->allFormats().size();
        }
        QTextCursor line = browser.document()->find(QStringLiteral("[eve] "));
        const QTextCursor next =
            browser.document()->find(QRegularExpression(QStringLiteral("\\[(bob|eve)\\] ")), line.selectionEnd());
        // From the top of a view that dropped lines: the empty paragraph they left, then the line.
        const QString top = until == "dropped" ? QStringLiteral("\n[eve] ") : QString();
        line.setPosition(top.isEmpty() ? line.selectionEnd() : 0);
        if (next.isNull())
            line.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        else
            line.setPosition(next.selectionStart() - 1, QTextCursor::KeepAnchor);
        browser.setTextCursor(line);
        browser.copy();
        QCOMPARE(QGuiApplication::clipboard()->text(), top + text);
    }

    // A room's view keeps each paragraph's glyphs, since dropping its oldest lines paints every line
    // shown again, which would shape each anew; a private chat, which keeps every line, keeps none.
    void a_rooms_paragraphs_keep_their_glyphs_data()
    {
        QTest::addColumn<bool>("capped");
        QTest::addColumn<QString>("until");
        QTest::newRow("a room's first lines") << true << "";
        QTest::newRow("a room that dropped its oldest lines") << true << "dropped";
        QTest::newRow("a room rebuilt without old formats") << true << "rebuilt";
        QTest::newRow("a private chat") << false << "";
    }

    void a_rooms_paragraphs_keep_their_glyphs()
    {
        QFETCH(bool, capped);
        QFETCH(QString, until);
        ChatBrowser browser;
        ChatView view(&browser, capped);
        for (int n = 0, length = 0, formats = 0;; ++n)
        {
            // Each link a format of its own, which a room lets go of only when it is rebuilt.
            view.AddChatLine("bob", QStringLiteral("http://a.example/%1 and a few words").arg(n));
            const bool dropped = view.HtmlLength() < length;
            const bool rebuilt = browser.document()->allFormats().size() < formats;
            if (n >= 2 && (until == "dropped" ? dropped : until == "rebuilt" ? rebuilt : true))
                break;
            length = view.HtmlLength();
            formats = browser.document()->allFormats().size();
        }
        for (QTextBlock block = browser.document()->begin(); block.isValid(); block = block.next())
            QCOMPARE(block.layout()->cacheEnabled(), capped);
    }

    // U+FFFC stands for an object the view holds, and shows as nothing: in a peer's line it shows as
    // U+FFFD, so that a line of them is not blank.
    void an_object_replacement_character_shows_visibly_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        const QString objects(3, QChar(0xFFFC));
        const QString replacements(3, QChar(0xFFFD));
        QTest::newRow("line") << objects << "[eve] " + replacements;
        QTest::newRow("status") << "/me " + objects << "* eve " + replacements;
        QTest::newRow("long line") << QString(40000, QChar(0xFFFC)) << "[eve] " + QString(1000, QChar(0xFFFD));
    }

    void an_object_replacement_character_shows_visibly()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        RoomForm* form = f->Enter(m_room);
        Relay(m_room, QStringLiteral("eve"), text);
        auto* view = form->findChild<QTextBrowser*>(QStringLiteral("chatView"));
        QVERIFY(!view->toPlainText().contains(QChar(0xFFFC)));
        QCOMPARE(
            RoomFixture::Lines(form).filter(QStringLiteral("eve")).value(0).remove(QChar(0x200B)).left(shown.size()),
            shown);
    }

    // A line's first letter, a right-to-left name's or a text's, does not turn the line around:
    // each line reads in the view's direction, after the view drops its first lines too.
    void lines_read_in_the_views_direction()
    {
        RoomForm* form = f->Enter(m_room);
        Relay(m_room, QString::fromUtf8("אבי"), QStringLiteral("pay 10 then 20 to bob"));
        Relay(m_room, QString::fromUcs4(U"\U0001E900\U0001E901"), QStringLiteral("pay 10 then 20 to bob"));
        Relay(m_room, QStringLiteral("123"), QString(QChar(0x200F)) + QStringLiteral("pay 10 then 20 to bob"));
        Relay(m_room, QStringLiteral("bob"), QString::fromUtf8("/me שלום"));
        auto* view = form->findChild<QTextBrowser*>(QStringLiteral("chatView"));
        QCOMPARE(view->document()->blockCount(), 5);
        for (QTextBlock block = view->document()->begin(); block.isValid(); block = block.next())
            QCOMPARE(block.textDirection(), Qt::LeftToRight);

        QTextBrowser browser;
        ChatView capped(&browser, true);
        for (int n = 0; n < 3000; ++n)
            capped.AddChatLine(QString::fromUtf8("אבי%1").arg(n % 50),
                               QString("<b>%1</b> ").arg(n).repeated(1 + n % 9));
        QVERIFY(browser.document()->blockCount() < 3000);
        QCOMPARE(browser.document()->lastBlock().textDirection(), Qt::LeftToRight);
    }

    // Addresses are found in the text as it came, so a link opens as written and ends where the
    // address does; a click opens web addresses only.
    void linksOpenAsWritten_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("links");
        QTest::newRow("ends in an ampersand")
            << "see http://example.com/a?x=1&" << QStringList{"http://example.com/a?x=1&"};
        QTest::newRow("markup after it") << "http://example.com/<b>x</b>" << QStringList{"http://example.com/"};
        QTest::newRow("two") << "https://a.example/?a=1&b=2 or http://b.example/"
                             << QStringList{"https://a.example/?a=1&b=2", "http://b.example/"};
    }

    void linksOpenAsWritten()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, links);
        OpenedUrls opened;
        for (const char* scheme : {"http", "https", "file", "ftp"})
            QDesktopServices::setUrlHandler(scheme, &opened, "Open");
        RoomForm* form = f->Enter(m_room);
        Relay(m_room, QStringLiteral("bob"), text);
        QCOMPARE(RoomFixture::Lines(form).last(), QStringLiteral("[bob] ") + text);
        auto* view = form->findChild<QTextBrowser*>(QStringLiteral("chatView"));
        for (QTextBlock block = view->document()->begin(); block.isValid(); block = block.next())
            for (auto fragment = block.begin(); !fragment.atEnd(); ++fragment)
                if (fragment.fragment().charFormat().isAnchor())
                    emit view->anchorClicked(QUrl(fragment.fragment().charFormat().anchorHref()));
        emit view->anchorClicked(QUrl(QStringLiteral("file:///etc/passwd")));
        emit view->anchorClicked(QUrl(QStringLiteral("ftp://example.com/")));
        for (const char* scheme : {"http", "https", "file", "ftp"})
            QDesktopServices::unsetUrlHandler(scheme);
        QCOMPARE(opened.urls, links);
    }

    void activityMarkers()
    {
        RoomForm* form = f->Enter(m_room);
        form->OnRoomChat(m_room, QStringLiteral("bob"), QStringLiteral("/me arrives")); // starts nothing
        form->OnRoomChat(m_room, QStringLiteral("bob"), QStringLiteral("one"));
        f->SetClock(QTime(15, 12, 21));
        form->CheckChatInactivity(); // 4:59 of silence
        form->OnRoomChat(m_room, QStringLiteral("bob"), QStringLiteral("two"));
        f->SetClock(QTime(15, 17, 21));
        form->CheckChatInactivity();
        SetSetting(QStringLiteral("chat_timestamps"), QStringLiteral("per_message_short"));
        form->OnRoomChat(m_room, QStringLiteral("bob"), QStringLiteral("three"));
        SetSetting(QStringLiteral("chat_timestamps"), QStringLiteral("activity_based"));
        form->OnRoomChat(m_room, QStringLiteral("bob"), QStringLiteral("four")); // the period is still open
        QCOMPARE(RoomFixture::Lines(form),
                 QStringList({"* bob arrives", "* Chat started Dec 6 3:07:22 pm", "[bob] one", "[bob] two",
                              "* Chat ended Dec 6 3:12:21 pm", "[15:17:21][bob] three", "[bob] four"}));
    }

    // A busy room keeps its view near the cap, and the length it keeps up is the view's own.
    void cap()
    {
        QTextBrowser browser;
        ChatView view(&browser, true);
        const QString text = QStringLiteral("\"quoted\" & <tagged> ünïcode\u2029 http://a.example/x?y=1&z=2 ");
        int maxLength = 0;
        for (int n = 0; n < 3000; ++n)
        {
            if (n % 10 == 0)
                view.AddStatusMessage(QStringLiteral("status %1").arg(n));
            view.AddChatLine(QStringLiteral("user%1").arg(n % 7), text.repeated(1 + n % 3));
            if (n % 50 == 0)
            {
                const int length = browser.toHtml().length();
                QCOMPARE(view.HtmlLength(), length);
                maxLength = qMax(maxLength, length);
            }
        }
        QVERIFY2(maxLength <= ChatView::kHtmlLimit + 2000, qPrintable(QString::number(maxLength)));
        QVERIFY(maxLength > ChatView::kHtmlLimit - ChatView::kHtmlCut);
        QVERIFY(browser.toPlainText().contains(QLatin1String("* status 2990\n[user1] ")));
    }

    // The server's leave reply closes the tab without a second leave; closing the tab leaves once;
    // closing it offline leaves the room here.
    void leaving()
    {
        QPointer<RoomForm> form = f->Enter(m_room);
        QVERIFY(f->testServer->WaitForFrames(SM_JOIN_ROOM, 0));
        f->testServer->ClearFrames();
        QVERIFY(f->Push(SM_LEAVE_ROOM, Body(m_room)));
        QTRY_VERIFY(form.isNull());
        QCOMPARE(f->tabs.count(), 0);
        QVERIFY(!f->Room(m_room).IsConnected("room_form"));

        form = f->Enter(m_room);
        delete form;
        QVERIFY(f->testServer->WaitForFrames(SM_LEAVE_ROOM));
        QTest::qWait(50);
        QCOMPARE(f->testServer->FramesWithCode(SM_LEAVE_ROOM).size(), 1);

        form = f->Enter(m_room);
        gp_server->Disconnect();
        delete form;
        QVERIFY(!f->Room(m_room).IsConnected("in_room"));
        QVERIFY(f->Enter(m_room)); // a later join gets its tab again
    }

    void userListOrder_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("ascending");
        QTest::addColumn<int>("decided"); // rows after these tie and may come in any order
        QTest::newRow("user") << 2 << QStringList({"alice", "Bob", "carol", "dave"}) << 4;
        QTest::newRow("flag, empty first, case ignored") << 1 << QStringList({"dave", "carol", "Bob", "alice"}) << 2;
        QTest::newRow("note first") << 3 << QStringList({"carol", "dave", "Bob", "alice"}) << 1;
        QTest::newRow("files, most first") << 4 << QStringList({"Bob", "alice", "carol", "dave"}) << 4;
        QTest::newRow("speed, fastest first") << 5 << QStringList({"carol", "dave", "Bob", "alice"}) << 4;
    }

    void userListOrder()
    {
        QFETCH(int, column);
        QFETCH(QStringList, ascending);
        QFETCH(int, decided);
        RoomForm* form = f->Enter(m_room);
        f->AddUser(m_room, QStringLiteral("dave"), 150, 0, QString());
        f->AddUser(m_room, QStringLiteral("carol"), 151, 20, QStringLiteral("at"));
        f->AddUser(m_room, QStringLiteral("Bob"), 100, 5000, QStringLiteral("DE"));
        f->AddUser(m_room, QStringLiteral("alice"), 99, 30, QStringLiteral("de"));
        f->Note(QStringLiteral("carol"));
        QTreeWidget* list = UserList(form);
        list->sortByColumn(column, Qt::AscendingOrder);
        const QStringList got = Column(list, 2);
        QCOMPARE(got.mid(0, decided), ascending.mid(0, decided));
        QCOMPARE(QSet<QString>(got.begin() + decided, got.end()),
                 QSet<QString>(ascending.begin() + decided, ascending.end()));
        list->sortByColumn(column, Qt::DescendingOrder);
        if (decided == 4)
        {
            std::reverse(ascending.begin(), ascending.end());
            QCOMPARE(Column(list, 2), ascending);
        }
    }

    void roomListOrder_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("ascending");
        QTest::newRow("roles, then names")
            << 0 << QStringList({"owned", "zed", "op", "member", "apple", "Banana", "cherry"});
        QTest::newRow("users, as numbers") << 1 << QStringList({"cherry", "apple", "Banana"});
    }

    void roomListOrder()
    {
        QFETCH(int, column);
        QFETCH(QStringList, ascending);
        QTreeWidget list;
        list.setColumnCount(2);
        const QList<QPair<QString, QString>> rooms =
            column == 0 ? QList<QPair<QString, QString>>{{"cherry", ""}, {"member", ""}, {"Banana", ""}, {"op", ""},
                                                         {"apple", ""},  {"owned", ""},  {"zed", ""}}
                        : QList<QPair<QString, QString>>{{"Banana", "10"}, {"apple", "9"}, {"cherry", ""}};
        for (const auto& room : rooms)
            (new QRoomListItemWidget(&list))->setText(0, room.first),
                list.topLevelItem(list.topLevelItemCount() - 1)->setText(1, room.second);
        f->Room(QStringLiteral("owned")) += FlagItem("is_owner");
        f->Room(QStringLiteral("zed")) += FlagItem("is_owner");
        f->Room(QStringLiteral("zed")) += FlagItem("is_operator");
        f->Room(QStringLiteral("op")) += FlagItem("is_operator");
        f->Room(QStringLiteral("member")) += FlagItem("is_member");
        list.sortByColumn(column, Qt::AscendingOrder);
        QCOMPARE(Column(&list, 0), ascending);
        list.sortByColumn(column, Qt::DescendingOrder);
        std::reverse(ascending.begin(), ascending.end());
        QCOMPARE(Column(&list, 0), ascending);
    }

    void roomCreation()
    {
        auto* dialog = new CreateRoomDialog(nullptr);
        QCOMPARE(::createRoomDialog, dialog);
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("roomNameEdit"));
        auto* button = dialog->findChild<QPushButton*>(QStringLiteral("createRoomButton"));
        dialog->show();
        name->setText(QStringLiteral("   "));
        button->click();
        dialog->close(); // only hidden, with its text
        QCOMPARE(::createRoomDialog, dialog);
        dialog->show();
        QCOMPARE(name->text(), QStringLiteral("   "));
        name->setText(QStringLiteral("  secret club "));
        dialog->findChild<QCheckBox*>(QStringLiteral("createPrivateCheckBox"))->setChecked(true);
        f->testServer->ClearFrames();
        button->click();
        QCOMPARE(::createRoomDialog, nullptr);
        QVERIFY(f->testServer->WaitForFrames(SM_JOIN_ROOM));
        QCOMPARE(f->testServer->FramesWithCode(SM_JOIN_ROOM).first().m_body, Body("secret club", qint32(1)));
        QPointer<CreateRoomDialog> gone = dialog;
        QTRY_VERIFY(gone.isNull());

        // Offline a join would go nowhere: the dialog stays with the name typed.
        dialog = new CreateRoomDialog(nullptr);
        dialog->findChild<QLineEdit*>(QStringLiteral("roomNameEdit"))->setText(QStringLiteral("later"));
        gp_server->Disconnect();
        dialog->findChild<QPushButton*>(QStringLiteral("createRoomButton"))->click();
        QCOMPARE(::createRoomDialog, dialog);
        QCOMPARE(dialog->findChild<QLineEdit*>(QStringLiteral("roomNameEdit"))->text(), QStringLiteral("later"));
        delete dialog;
    }

    void adminMessages()
    {
        QPointer<AdminMessageDialog> first =
            new AdminMessageDialog(QStringLiteral("<b>Maintenance</b> at noon"), nullptr);
        f->SetClock(QTime(15, 8, 0));
        QPointer<AdminMessageDialog> second = new AdminMessageDialog(QStringLiteral("plain"), nullptr);
        QCOMPARE(first->findChild<QLineEdit*>(QStringLiteral("timeEdit"))->text(), QStringLiteral("Dec 6 3:07:22 pm"));
        QCOMPARE(second->findChild<QLineEdit*>(QStringLiteral("timeEdit"))->text(), QStringLiteral("Dec 6 3:08:00 pm"));
        QCOMPARE(first->findChild<QTextEdit*>(QStringLiteral("textEdit"))->toPlainText(),
                 QStringLiteral("Maintenance at noon"));
        first->show();
        first->close();
        QTRY_VERIFY(first.isNull());
        delete second;
    }
};

QTEST_MAIN(TestRoomForm)
#include "test_room_form.moc"
