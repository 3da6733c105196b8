#include "ActionSetToolBar.h"
#include "ChatClock.h"
#include "ChatLog.h"
#include "HarnessProcess.h"
#include "RoomForm.h"
#include "Screenshot.h"
#include "TimerManager.h"
#include "WindowFixture.h"
#include "ui_MainWindow.h"

#include "AdminMessageDialog.h"
#include "CreateRoomDialog.h"
#include "FocusHelpers.h"

#include <QLineEdit>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QtTest>

#include <unicode/uchar.h>

// A room on the loopback test server between this process's whole client (tester, with its real
// main window) and other client processes (bob, carol).
class TestRoomRoad : public QObject
{
    Q_OBJECT

    const QString m_room = QStringLiteral("lobby");

    static QStringList Users(RoomForm* ip_form)
    {
        QStringList users;
        auto* list = ip_form->findChild<QTreeWidget*>(QStringLiteral("userList"));
        for (int row = 0; row < list->topLevelItemCount(); ++row)
            users << list->topLevelItem(row)->text(2);
        return users;
    }

    static QString View(RoomForm* ip_form)
    {
        return ip_form->findChild<QTextBrowser*>(QStringLiteral("chatView"))->toPlainText();
    }

    static RoomForm* Enter(const QString& i_room, std::initializer_list<const char*> i_roles)
    {
        ItemPtr room = d->GetType("room")->GetItem(Value(i_room));
        for (const char* role : i_roles)
            room += d->GetType(role)->GetGlobalNullItem();
        room += d->GetType("in_room")->GetGlobalNullItem();
        return room["room_form"].AsPointer<RoomForm>();
    }

    static const QString& LongSyllables()
    {
        // Syllables of two jamo: the cost runs out inside one.
        static const QString syllables = QString::fromUcs4(U"\u1112\u1161").repeated(30000);
        return syllables;
    }
    static const QString& ShortSyllables()
    {
        static const QString syllables = QString::fromUcs4(U"\u1112\u1161\u11AB\u1100\u1173\u11AF ").repeated(10);
        return syllables;
    }

    // A line of jamo past the cost of a line, then right-to-left names, a line that starts with a
    // right-to-left mark and a short line of jamo.
    void WriteJamoAndRightToLeftLines(RoomForm* ip_form)
    {
        ip_form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"), LongSyllables());
        ip_form->OnRoomChat(m_room, QString::fromUtf8("אבי"), QStringLiteral("pay 10 then 20 to bob"));
        ip_form->OnRoomChat(m_room, QString::fromUcs4(U"\U0001E900\U0001E922\U0001E910"),
                            QStringLiteral("pay 10 then 20 to bob"));
        ip_form->OnRoomChat(m_room, QStringLiteral("jules"), QString(QChar(0x200F)) + QStringLiteral("pay 10 then 20"));
        ip_form->OnRoomChat(m_room, QStringLiteral("Marlene"), ShortSyllables());
    }

private slots:
    void init()
    {
        QDir(ChatLogFolder(ChatLogKind::Room)).removeRecursively();
        SetChatClockForTest(QDateTime(QDate(2011, 12, 6), QTime(15, 7, 22)));
    }

    void cleanup() { SetChatClockForTest(QDateTime()); }

    void twoClientsInOneRoom()
    {
        WindowRun run;
        QVERIFY(run.Start());
        TestServer& server = run.server;
        QTabWidget* tabs = run.window->Form()->roomsTabControl;

        HarnessProcess bob;
        QVERIFY(bob.Start());
        QVERIFY(bob.LogIn(QStringLiteral("bob"), server.Port(), FreePort()));
        bob.Send({QStringLiteral("join"), m_room});
        QVERIFY(bob.Sync());

        // The tester enters; the tab lists both.
        gp_server->EnterRoom(m_room, false);
        QTRY_COMPARE(tabs->count(), 1);
        auto* form = qobject_cast<RoomForm*>(tabs->widget(0));
        QCOMPARE(tabs->tabText(0), m_room);
        QTRY_COMPARE(Users(form), QStringList({"bob", "tester"}));

        // Chat both ways: the text goes as typed, shown and logged trimmed when it comes back.
        auto* edit = form->findChild<QLineEdit*>(QStringLiteral("chatEdit"));
        QTest::keyClick(edit, Qt::Key_Return); // nothing typed: nothing sent
        edit->setText(QStringLiteral(" hello bob "));
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(edit->text(), QString());
        QStringList fields;
        QVERIFY(bob.Take("event RoomChat", &fields));
        QCOMPARE(fields, QStringList({m_room, "tester", " hello bob "}));
        bob.Send({QStringLiteral("say"), m_room, QStringLiteral("/me waves")});
        bob.Send({QStringLiteral("say"), m_room, QStringLiteral("hi tester")});
        QTRY_VERIFY(View(form).endsWith(QLatin1String("[bob] hi tester")));
        QCOMPARE(View(form),
                 QStringLiteral("* Chat started Dec 6 3:07:22 pm\n[tester] hello bob\n* bob waves\n[bob] hi tester"));

        // A third user comes and goes.
        {
            HarnessProcess carol;
            QVERIFY(carol.Start());
            QVERIFY(carol.LogIn(QStringLiteral("carol"), server.Port(), FreePort()));
            carol.Send({QStringLiteral("join"), m_room});
            QTRY_COMPARE(Users(form), QStringList({"bob", "carol", "tester"}));
            QCOMPARE(d->GetType("room")->HasItem(m_room)["user_count"].AsString(), QStringLiteral("3"));
            carol.Send({QStringLiteral("leave"), m_room});
            QTRY_COMPARE(Users(form), QStringList({"bob", "tester"}));
            QCOMPARE(d->GetType("room")->HasItem(m_room)["user_count"].AsString(), QStringLiteral("2"));
        }

        // The connection drops and returns: the same tab enters the room again.
        server.ClearFrames();
        server.DropConnection(QStringLiteral("tester"));
        QTRY_VERIFY(View(form).endsWith(QLatin1String("* Disconnected at 15:07:22.")));
        edit->setText(QStringLiteral("later"));
        QTest::keyClick(edit, Qt::Key_Return); // offline: kept, not sent
        QCOMPARE(edit->text(), QStringLiteral("later"));
        QVERIFY(View(form).endsWith(QLatin1String("* Not connected: message not sent.")));
        timerManager->TickHalfMinute();
        QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 5000);
        QVERIFY(View(form).endsWith(QLatin1String("* Reconnected at 15:07:22.")));
        QCOMPARE(server.FramesWithCode(SM_ROOM_CHAT, QStringLiteral("tester")).size(), 0);
        QVERIFY(server.WaitForFrames(SM_JOIN_ROOM, 1, QStringLiteral("tester")));
        QTRY_COMPARE(Users(form), QStringList({"bob", "tester"}));
        QCOMPARE(server.FramesWithCode(SM_JOIN_ROOM, QStringLiteral("tester")).size(), 1);
        QCOMPARE(tabs->count(), 1);
        bob.Send({QStringLiteral("say"), m_room, QStringLiteral("welcome back")});
        QTRY_VERIFY(View(form).endsWith(QLatin1String("[bob] welcome back")));

        QFile log(ChatLogPath(ChatLogKind::Room, m_room));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(log.readAll()), QStringLiteral("[Dec 6 3:07:22 pm][tester] hello bob\n"
                                                                  "[Dec 6 3:07:22 pm] * bob waves\n"
                                                                  "[Dec 6 3:07:22 pm][bob] hi tester\n"
                                                                  "[Dec 6 3:07:22 pm][bob] welcome back\n"));

        // A tab closed with no leave reply (the connection went first) comes back with the join.
        emit tabs->tabCloseRequested(0);
        server.DropConnection(QStringLiteral("tester"));
        QTRY_VERIFY(!gp_server->IsConnected());
        QCOMPARE(tabs->count(), 0);
        timerManager->TickHalfMinute();
        QTRY_COMPARE_WITH_TIMEOUT(tabs->count(), 1, 5000);
        QTRY_COMPARE(Users(qobject_cast<RoomForm*>(tabs->widget(0))), QStringList({"bob", "tester"}));
    }

    // The room set's buttons on a room tab: the auto-join text follows the room, and the give-up
    // buttons show for the roles the room had when its tab opened.
    // The first join reply of a room lists a user the server knows no country of, and a private
    // room's owner: the tab, open since the join began, shows the one and marks the other.
    void firstJoinRows_data()
    {
        QTest::addColumn<bool>("isPrivate");
        QTest::addColumn<QString>("country");
        QTest::addColumn<bool>("owner");
        QTest::newRow("public, no country") << false << "" << false;
        QTest::newRow("private, owner") << true << "DE" << true;
        QTest::newRow("private, owner without country") << true << "" << true;
    }

    void firstJoinRows()
    {
        QFETCH(bool, isPrivate);
        QFETCH(QString, country);
        QFETCH(bool, owner);
        WindowRun run;
        QVERIFY(run.Start());
        run.server.AccountOf(QStringLiteral("tester")).m_country = country;
        QTabWidget* tabs = run.window->Form()->roomsTabControl;
        gp_server->EnterRoom(QStringLiteral("den"), isPrivate);
        QTRY_COMPARE(tabs->count(), 1);
        auto* form = qobject_cast<RoomForm*>(tabs->widget(0));
        QTRY_COMPARE(Users(form), QStringList({"tester"}));
        const QFont font = form->findChild<QTreeWidget*>(QStringLiteral("userList"))->topLevelItem(0)->font(2);
        QCOMPARE(font.bold(), owner);
        QCOMPARE(font.underline(), owner);
    }

    // A peer's line holding line breaks is one line of the room's or the private chat's log.
    void forgedLogLines_data()
    {
        QTest::addColumn<bool>("room");
        QTest::newRow("room") << true;
        QTest::newRow("private") << false;
    }

    void forgedLogLines()
    {
        QFETCH(bool, room);
        QDir(ChatLogFolder(ChatLogKind::User)).removeRecursively();
        WindowRun run;
        QVERIFY(run.Start({{"log_room_chat", "yes"}, {"log_private_chat", "yes"}}));
        const QString forged = QStringLiteral("hi\n2026/12/07 10:00:00 [admin] forged\rmore");
        HarnessProcess bob;
        if (room)
        {
            QVERIFY(bob.Start());
            QVERIFY(bob.LogIn(QStringLiteral("bob"), run.server.Port(), FreePort()));
            bob.Send({QStringLiteral("join"), m_room});
            QVERIFY(bob.Sync());
            gp_server->EnterRoom(m_room, false);
            QTRY_COMPARE(run.window->Form()->roomsTabControl->count(), 1);
            bob.Send({QStringLiteral("say"), m_room, forged});
        }
        else // a client sending it would have replaced the breaks: the server delivers it as stored
            run.server.QueuePrivateMessage(QStringLiteral("bob"), QStringLiteral("tester"), forged, 1323184042);
        QFile log(room ? ChatLogPath(ChatLogKind::Room, m_room) : ChatLogPath(ChatLogKind::User, "bob"));
        QTRY_VERIFY(log.exists() && log.size() > 0);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(log.readAll()),
                 QStringLiteral("[Dec 6 3:07:22 pm][bob] hi 2026/12/07 10:00:00 [admin] forged more\n"));
    }

    void toolBar()
    {
        WindowRun run;
        QVERIFY(run.Start());
        QVERIFY(QTest::qWaitForWindowActive(run.window.get()));
        const QList<QPair<RoomForm*, QStringList>> cases{
            {Enter(QStringLiteral("plain"), {}), {"Auto-Join Room [off]", "Chat Log"}},
            {Enter(QStringLiteral("owned"), {"is_owner", "is_member"}),
             {"Auto-Join Room [off]", "Chat Log", "Give Up Room"}},
            {Enter(QStringLiteral("joined"), {"is_member"}),
             {"Auto-Join Room [off]", "Chat Log", "Give Up Membership"}}};
        for (const auto& [form, buttons] : cases)
        {
            QVERIFY(form);
            FocusWidgetAndParents(form->findChild<QLineEdit*>(QStringLiteral("chatEdit")));
            QTRY_COMPARE(ShownButtons().join("|"), buttons.join("|"));
        }
        d->GetType("room")->HasItem(QStringLiteral("joined")) += d->GetType("room_autojoin")->GetGlobalNullItem();
        QCOMPARE(ShownButtons().value(0), QStringLiteral("Auto-Join Room [on]"));
    }

    // Each of those lines reads left to right, name first; the long one ends, after whole
    // syllables, in "…", and the short one shows whole.
    void jamo_and_right_to_left_names_read_left_to_right_name_first()
    {
        WindowRun run;
        QVERIFY(run.Start());
        RoomForm* form = Enter(m_room, {});
        WriteJamoAndRightToLeftLines(form);
        const QTextDocument* document = form->findChild<QTextBrowser*>(QStringLiteral("chatView"))->document();
        QStringList lines;
        for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        {
            QCOMPARE(block.textDirection(), Qt::LeftToRight);
            lines << block.text().remove(QChar(0x200B));
        }
        // The long line goes to the view in paragraphs of at most kLongestShownParagraph units.
        QVERIFY(lines.size() >= 6);
        lines =
            QStringList{lines.first(), lines.mid(1, lines.size() - 5).join(QString())} + lines.mid(lines.size() - 4);
        QCOMPARE(lines.size(), 6);
        const QString open(QChar(0x2068));
        const QString close(QChar(0x2069));
        QVERIFY(lines.at(1).startsWith(QLatin1String("[kiwi_lover] ")));
        QVERIFY(lines.at(1).endsWith(QChar(0x2026)));
        const QString kept = lines.at(1).mid(13).chopped(1);
        QVERIFY(!kept.isEmpty() && kept.size() < LongSyllables().size() && kept.size() % 2 == 0);
        QCOMPARE(kept, LongSyllables().left(kept.size()));
        QCOMPARE(lines.at(2), "[" + open + QString::fromUtf8("אבי") + close + "] pay 10 then 20 to bob");
        QCOMPARE(lines.at(3),
                 "[" + open + QString::fromUcs4(U"\U0001E900\U0001E922\U0001E910") + close + "] pay 10 then 20 to bob");
        QCOMPARE(lines.at(4), "[jules] " + QString(QChar(0x200F)) + "pay 10 then 20");
        QCOMPARE(lines.at(5), "[Marlene] " + ShortSyllables().trimmed());
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        WindowRun run;
        QVERIFY(run.Start());
        RoomForm* form = Enter(m_room, {});
        ItemPtr room = d->GetType("room")->HasItem(m_room);
        const QList<std::tuple<const char*, int, int, const char*>> users{{"tester", 0, 0, "XX"},
                                                                          {"Marlene", 1843200, 12480, "DE"},
                                                                          {"jules", 51200, 873, "FR"},
                                                                          {"kiwi_lover", 0, 52, "NZ"},
                                                                          {"Owner", 734003, 2210, "US"}};
        room.NewItem("room_owner") += d->GetType("user")->GetItem(Value("Owner"));
        d->GetType("user")->GetItem(Value("jules")) += d->GetType("user_note")->GetItem(Value("met at the fair"));
        for (const auto& [name, speed, files, country] : users)
        {
            ItemPtr user = d->GetType("user")->GetItem(Value(name));
            room += user;
            user += d->GetType("average_download_speed")->GetItem(Value(speed));
            user += d->GetType("shared_files_count")->GetItem(Value(files));
            user += d->GetType("country_code")->GetItem(Value(country));
        }
        form->OnRoomChat(m_room, QStringLiteral("Marlene"), QStringLiteral("morning all"));
        // The client's first lines of many scripts, each whole.
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"),
                         QString::fromUtf8("Hello Привет Γειά σου שלום مرحبا नमस्ते こんにちは 你好 안녕하세요 "
                                           "สวัสดี ሰላም Բարեւ გამარჯობა வணக்கம் ສະບາຍດີ"));
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"), QString::fromUtf8("ก ក ཀ မ် tail"));
        form->OnRoomChat(m_room, QStringLiteral("jules"), QStringLiteral("/me waves"));
        form->OnRoomChat(m_room, QStringLiteral("Owner"),
                         QStringLiteral("new list at https://example.org/list?week=49&sort=new"));
        form->OnRoomChat(m_room, QStringLiteral("tester"), QStringLiteral("thanks <3"));
        form->OnDisconnected();
        run.window->Form()->tabControl->setCurrentWidget(run.window->Form()->roomsTab);
        run.window->resize(1100, 560);
        SAVE_SCREENSHOT(run.window.get(), "room_tab");

        // Lines meant to freeze the view or to pass for others' lines, as they show.
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"), QString(300, '<') + QString(300, '&'));
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"), QString(QChar(0x05D0)).append('a').repeated(200));
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"), QString::fromUcs4(U"\U0001F600").repeated(90));
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"),
                         QString::fromUcs4(U"\U0001F1E9\U0001F1EA").repeated(100));
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"),
                         QString::fromUcs4(U"\U0001F44B\U0001F3FD").repeated(100));
        form->OnRoomChat(m_room, QStringLiteral("Marlene"),
                         QString::fromUcs4(U"happy birthday \U0001F389\U0001F382 see you at 8 \U0001F44D\U0001F3FD "
                                           U"\U0001F1E9\U0001F1EA"));
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"), "a" + QString(65000, QChar(0x0301)) + " zalgo");
        form->OnRoomChat(m_room, QStringLiteral("jules"),
                         QStringLiteral("hi\u2029[15:07:22][Marlene] please send me your password"));
        form->OnRoomChat(m_room, QStringLiteral("\u2069\u202E123 dlrow olleh"), QStringLiteral("hi"));
        const QString padding = "hello" + QString(2040, QChar(0x200B));
        form->OnRoomChat(m_room, QStringLiteral("eve"),
                         padding + QString("[alice] I'm off now, mallory has the files").replace(' ', QChar(0xA0)));
        form->OnRoomChat(m_room, QStringLiteral("eve"),
                         "/me " + padding + QString("* alice gives her password to mallory").replace(' ', QChar(0xA0)));
        form->OnRoomChat(m_room, QStringLiteral("Marlene"), QStringLiteral("a long line ").repeated(20));
        SAVE_SCREENSHOT(run.window.get(), "room_tab_hostile_lines");

        WriteJamoAndRightToLeftLines(form);
        SAVE_SCREENSHOT(run.window.get(), "room_tab_right_to_left_names");

        // Lines whose font changes at every character or that no font draws, then names that are
        // one character each, past the cost of a name.
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"), QString::fromUcs4(U"1\uFF11").repeated(30000));
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"), QString(QChar(0)).append('a').repeated(30000));
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"),
                         "hi" + QString::fromUcs4(U"\uFFFE\uFFFF\uFDD0\U0010FFFF").repeated(10000));
        for (const char* name : {"x", "y"})
            form->OnRoomChat(m_room, name + QString(1100, QChar(0x200D)), QStringLiteral("who am I?"));
        form->OnRoomChat(m_room, QString(205, QChar(0x1100)), QStringLiteral("and I?"));
        SAVE_SCREENSHOT(run.window.get(), "room_tab_long_characters");

        // A script whose font the view searches for, and emoji the colour font draws, the newest
        // among them: each cut at what it costs.
        form->OnRoomChat(m_room, QStringLiteral("jules"),
                         QString::fromUcs4(U"\u16A0\u16A2\u16A6\u16A8\u16B1 ").repeated(3000));
        form->OnRoomChat(m_room, QStringLiteral("Marlene"), QString::fromUcs4(U"\u2705 done ").repeated(100));
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"), QString::fromUcs4(U"\U0001FAE0").repeated(1000));
        SAVE_SCREENSHOT(run.window.get(), "room_tab_emoji_and_searched_scripts");

        // One character of every block, most of them not shown before: cut where finding and loading
        // their fonts the first time would cost the view too much, the second time further.
        QString everyBlock;
        for (UChar32 code = 0x100; code <= 0x10FFFF; ++code)
            if (u_charType(code) != U_UNASSIGNED && ublock_getCode(code) != ublock_getCode(code - 1))
                everyBlock += QString::fromUcs4(reinterpret_cast<const char32_t*>(&code), 1);
        form->OnRoomChat(m_room, QStringLiteral("jules"), everyBlock);
        form->OnRoomChat(m_room, QStringLiteral("jules"), everyBlock);
        SAVE_SCREENSHOT(run.window.get(), "room_tab_every_block");

        // The longest line of a Hangul syllable beside a sign, in short paragraphs and cut, a line
        // of U+FFFC, and a plain line after them.
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"), QString::fromUcs4(U"\uAC00\u2030").repeated(21845));
        form->OnRoomChat(m_room, QStringLiteral("kiwi_lover"), QString(20, QChar(0xFFFC)));
        form->OnRoomChat(m_room, QStringLiteral("Marlene"), QStringLiteral("still there?"));
        SAVE_SCREENSHOT(run.window.get(), "room_tab_long_hangul_line");

        auto* create = new CreateRoomDialog(run.window.get());
        create->findChild<QLineEdit*>(QStringLiteral("roomNameEdit"))->setText(QStringLiteral("Late Night Jazz"));
        SAVE_SCREENSHOT(create, "create_room_dialog");
        auto* message = new AdminMessageDialog(
            QStringLiteral("The server restarts at <b>04:00 UTC</b> for about ten minutes."), run.window.get());
        SAVE_SCREENSHOT(message, "admin_message");
    }
};

QTEST_MAIN(TestRoomRoad)
#include "test_room_road.moc"
