#include "ActionSetToolBar.h"
#include "EventToolBar.h"
#include "FocusHelpers.h"
#include "Screenshot.h"
#include "ServerCodes.h"
#include "UserGroupConfigDialog.h"
#include "UserMenuOptions.h"
#include "UserTargets.h"
#include "DataFixture.h"
#include "UsersKit.h"
#include "WindowFixture.h"
#include "Wire.h"

#include <QtTest>

// The users window in a real run logged in to the loopback server: its lists follow the marks
// live and across a restart, in their order, and the context menu's entries and effects.
class TestUserList : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowRun> m_run;

    bool Start()
    {
        m_run = std::make_unique<WindowRun>();
        return m_run->Start();
    }

    bool Status(const QString& i_user, quint32 i_status)
    {
        return m_run->server.SendFrame("tester", SM_USER_STATUS, WireWriter().Str(i_user).U32(i_status).U8(0).Body());
    }

    // The users the client asked the server to watch, in the order asked.
    QStringList Watched()
    {
        QStringList users;
        for (const TestServer::Frame& frame : m_run->server.FramesWithCode(SM_WATCH_USER, "tester"))
            users << QString::fromUtf8(frame.m_body.mid(4));
        return users;
    }

    static QStringList RoomsAndUsers()
    {
        return DumpStore().filter(QRegularExpression("^(room|user)"));
    }

    static QStringList EventTexts()
    {
        QStringList texts;
        for (QAction* action : eventToolBar->actions())
            texts << action->text();
        return texts;
    }

private slots:
    void cleanup()
    {
        m_run.reset();
        for (int target = 0; target < UserTargets::TargetCount; ++target)
            UserTargets::Register(UserTargets::Target(target), nullptr);
    }

    // Saved marks come back as rows after a restart; the watch requests go out once per listed
    // or alerted user, after the login.
    void restartRebuildsTheLists()
    {
        QVERIFY(Start());
        User("Bob").NewItem("in_user_list");
        User("alice").NewItem("in_user_list");
        for (const char* group : {"b", "A", "c"})
            User("Bob")["in_user_list"] += d->GetType("user_list_group")->GetItem(group);
        User("alice") += d->GetType("user_note")->GetItem("met at the fair");
        Flag("carol", "user_online_alert");
        Flag("dave", "is_ignored");
        User("dave") += d->GetType("user_note")->GetItem("noisy");
        Flag("erin", "unshared");

        m_run->window.reset();
        m_run->server.ClearFrames();
        m_run->window = std::make_unique<MainWindow>();
        m_run->window->Init();
        QTRY_VERIFY(gp_server->IsConnected());
        QTRY_COMPARE(Watched().size(), 3);
        QTest::qWait(100);
        QStringList watched = Watched();
        watched.sort();
        QCOMPARE(watched, QStringList({"Bob", "alice", "carol"}));

        QCOMPARE(Column(List("userList")), QStringList({"alice", "Bob"}));
        QCOMPARE(Column(List("userList"), 1), QStringList({"", "A, b, c"}));
        QCOMPARE(Column(List("userList"), 2), QStringList({"met at the fair", ""}));
        QCOMPARE(Column(List("onlineAlertList")), QStringList({"carol"}));
        QCOMPARE(Column(List("ignoredList"), 1), QStringList({"noisy"}));
        QCOMPARE(Column(List("unsharedList")), QStringList({"erin"}));
    }

    void liveOrderGroupsAndNotes()
    {
        QVERIFY(Start());
        QTreeWidget* list = List("userList");
        User("Bob").NewItem("in_user_list");
        User("alice").NewItem("in_user_list");
        QCOMPARE(Column(list), QStringList({"alice", "Bob"}));
        QVERIFY(Status("Bob", USER_STATUS_ONLINE));
        QTRY_COMPARE(Column(list), QStringList({"Bob", "alice"}));
        QVERIFY(Status("Bob", USER_STATUS_OFFLINE));
        QTRY_COMPARE(Column(list), QStringList({"alice", "Bob"}));

        ItemPtr membership = User("alice")["in_user_list"];
        for (const char* group : {"b", "A", "c"})
            membership += d->GetType("user_list_group")->GetItem(group);
        QCOMPARE(list->topLevelItem(0)->text(1), QStringLiteral("A, b, c"));
        membership.Disconnect("user_list_group");
        QCOMPARE(list->topLevelItem(0)->text(1), QString());

        Flag("alice", "is_ignored");
        Flag("alice", "unshared");
        User("alice") += d->GetType("user_note")->GetItem("kind");
        const QList<QTreeWidgetItem*> rows = {list->topLevelItem(0), List("ignoredList")->topLevelItem(0),
                                              List("unsharedList")->topLevelItem(0)};
        QCOMPARE(QStringList({rows[0]->text(2), rows[1]->text(1), rows[2]->text(1)}),
                 QStringList({"kind", "kind", "kind"}));
        User("alice").Disconnect("user_note");
        QCOMPARE(QStringList({rows[0]->text(2), rows[1]->text(1), rows[2]->text(1)}), QStringList({"", "", ""}));
        QVERIFY(rows[1]->icon(1).isNull());
    }

    // An alert user's coming online is posted, and posted again when an online user is added.
    void onlineAlert()
    {
        QVERIFY(Start());
        QMenu menu;
        UserMenuOptions(&menu, "carol").OnAddRemoveOnlineAlert();
        QTRY_COMPARE(Watched(), QStringList({"carol"}));
        QVERIFY(Status("carol", USER_STATUS_ONLINE));
        QTRY_COMPARE(EventTexts().count("carol online"), 1);
        QCOMPARE(m_run->calls.alerts, QStringList({"carol is online"}));
        User("carol").NewItem("in_user_list");
        QCOMPARE(EventTexts().count("carol online"), 2);
        // Already tracked: a second alert sends nothing.
        UserMenuOptions(&menu, "carol").OnAddRemoveOnlineAlert();
        UserMenuOptions(&menu, "carol").OnAddRemoveOnlineAlert();
        QTest::qWait(100);
        QCOMPARE(Watched(), QStringList({"carol"}));
    }

    void doubleClickOpensAChat()
    {
        QVERIFY(Start());
        QStringList chats;
        UserTargets::Register(UserTargets::PrivateChat, [&](const QString& i_user) { chats << i_user; });
        Flag("ann", "is_ignored");
        Flag("ann", "unshared");
        Flag("ann", "user_online_alert");
        User("ann").NewItem("in_user_list");
        for (const char* name : {"userList", "unsharedList", "ignoredList", "onlineAlertList"})
            emit List(name)->itemDoubleClicked(List(name)->topLevelItem(0), 0);
        QCOMPARE(chats, QStringList({"ann", "ann", "ann"}));
    }

    void configureGroupsOpensOneDialog()
    {
        QVERIFY(Start());
        FocusWidgetAndParents(List("userList"));
        QAction* configure = nullptr;
        for (QAction* action : actionBar->actions())
            if (action->text() == QLatin1String("Configure User Groups"))
                configure = action;
        QVERIFY(configure);
        configure->trigger();
        QPointer<UserGroupConfigDialog> first = userGroupConfigDialog;
        QVERIFY(first);
        configure->trigger();
        QCOMPARE(userGroupConfigDialog, first.data());
        QCOMPARE(userListForm->findChildren<UserGroupConfigDialog*>().size(), 1);
    }

    void menuEntries_data()
    {
        QTest::addColumn<QStringList>("marks");
        QTest::addColumn<QStringList>("entries");
        const QStringList tail = {"-", "Unshare files from user", "Ignore chat from user"};
        QTest::newRow("unknown user")
            << QStringList() << QStringList({"Message user", "Add user to list", "Browse user's files", "Upload to user",
                                             "Get User Info", "Add user note", "Alert when user goes online"}) + tail;
        QTest::newRow("everything set")
            << QStringList({"in_user_list", "user_note", "user_online_alert", "unshared", "is_ignored", "privileges",
                            "logging"})
            << QStringList({"Message user", "Set user's groups", "Remove user from list", "Browse user's files",
                            "Upload to user", "Get User Info", "Edit user note", "Remove online status alert",
                            "Gift Privileges", "-", "Re-share files with user", "Receive chat from user", "-",
                            "See User Log"});
        QTest::newRow("logging not exactly yes") << QStringList({"Logging"}) << QStringList();
        QTest::newRow("own entries first") << QStringList({"own entry"}) << QStringList();
    }

    void menuEntries()
    {
        QFETCH(QStringList, marks);
        QFETCH(QStringList, entries);
        QVERIFY(Start());
        QMenu menu;
        if (marks.contains("own entry"))
            menu.addAction("Download");
        SetSetting("user_level_logging", marks.contains("Logging") ? "Yes" : marks.contains("logging") ? "yes" : "no");
        SetSettingNumber("privileges_time_left", marks.contains("privileges") ? 5 : 0);
        ItemPtr user = User("zoe");
        for (const QString& mark : marks)
            if (mark == "in_user_list")
                user.NewItem("in_user_list");
            else if (mark == "user_note")
                user += d->GetType("user_note")->GetItem("n");
            else if (QStringList({"user_online_alert", "unshared", "is_ignored"}).contains(mark))
                Flag("zoe", mark.toUtf8().constData());
        UserMenuOptions options(&menu, "zoe");
        const QStringList shown = Entries(&menu);
        if (marks.contains("own entry"))
            QCOMPARE(shown.mid(0, 3), QStringList({"Download", "-", "Message user"}));
        else if (entries.isEmpty())
            QVERIFY(!shown.contains("See User Log"));
        else
            QCOMPARE(shown, entries);
        QVERIFY(d->GetType("user")->HasItem("zoe"));
    }

    // Owned rooms first, case-sensitive, bold and underlined; the operator entry follows the
    // user's standing; the entries send the room requests and change nothing here.
    void privateRooms()
    {
        QVERIFY(Start());
        QMenu empty;
        UserMenuOptions none(&empty, "zoe");
        QVERIFY(!Entries(&empty).contains("Private Rooms[]"));
        QVERIFY(!Entry(&empty, "Private Rooms"));

        auto room = [](const char* ip_name) { return d->GetType("room")->GetItem(ip_name); };
        room("alpha") += d->GetType("is_owner")->GetGlobalNullItem();
        room("Beta") += d->GetType("is_owner")->GetGlobalNullItem();
        room("Beta") += d->GetType("is_operator")->GetGlobalNullItem();
        room("gamma") += d->GetType("is_operator")->GetGlobalNullItem();
        room("alpha").NewItem("room_members") += User("zoe");
        room("Beta").NewItem("room_operators") += User("zoe");
        QMenu menu;
        UserMenuOptions options(&menu, "zoe");
        QCOMPARE(Entries(&menu).mid(Entries(&menu).indexOf("Ignore chat from user") + 1),
                 QStringList({"-", "Private Rooms[Beta[Give User Membership|-|Remove User's Operator Status]|"
                                   "alpha[Remove User's Membership|-|Make User Operator]|gamma[Give User Membership]]"}));
        const QMenu* rooms = Entry(&menu, "Private Rooms")->menu();
        const QFont beta = rooms->actions().at(0)->font();
        QVERIFY(beta.bold() && beta.underline());
        QVERIFY(!rooms->actions().at(2)->font().bold());

        const QList<QPair<const char*, quint32>> clicks = {{"Give User Membership", SM_PRIVATE_ROOM_ADD_USER},
                                                           {"Remove User's Membership", SM_PRIVATE_ROOM_REMOVE_USER},
                                                           {"Make User Operator", SM_PRIVATE_ROOM_ADD_OPERATOR},
                                                           {"Remove User's Operator Status",
                                                            SM_PRIVATE_ROOM_REMOVE_OPERATOR}};
        const QStringList before = RoomsAndUsers();
        for (const auto& click : clicks)
        {
            QAction* entry = Entry(&menu, click.first);
            entry->trigger();
            QVERIFY(m_run->server.WaitForFrames(click.second, 1, "tester"));
            const QByteArray body = m_run->server.FramesWithCode(click.second, "tester").value(0).m_body;
            QCOMPARE(body, WireWriter().Str(entry->data().toString()).Str("zoe").Body());
        }
        QCOMPARE(RoomsAndUsers(), before);
    }

    // Taking a user off the list takes the membership with its group links, so the collector
    // does not keep it through the group.
    void removingAUserDropsItsMembership()
    {
        QVERIFY(Start());
        QMenu menu;
        UserMenuOptions(&menu, "zoe").OnAddUser();
        User("zoe")["in_user_list"] += d->GetType("user_list_group")->GetItem("friends");
        UserMenuOptions(&menu, "zoe").OnRemoveUser();
        QCOMPARE(d->GetType("in_user_list")->GetItemCount(), size_t(0));
        QVERIFY(d->GetType("user_list_group")->HasItem("friends").IsDisconnectedFromAll());
        QCOMPARE(Column(List("userList")), QStringList());
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        QVERIFY(Start());
        for (const char* name : {"alice", "Bob", "carol", "dave"})
            User(name).NewItem("in_user_list");
        User("Bob")["in_user_list"] += d->GetType("user_list_group")->GetItem("friends");
        User("Bob")["in_user_list"] += d->GetType("user_list_group")->GetItem("Crew");
        User("carol") += d->GetType("user_note")->GetItem("shares old maps");
        QVERIFY(Status("carol", USER_STATUS_ONLINE));
        QTRY_COMPARE(Column(List("userList")).value(0), QStringLiteral("carol"));
        FocusWidgetAndParents(List("userList"));
        m_run->window->resize(900, 500);
        SAVE_SCREENSHOT(m_run->window.get(), "users_window");
    }
};

QTEST_MAIN(TestUserList)
#include "test_user_list.moc"
