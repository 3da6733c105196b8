#include "AddSharedFolderDialog.h"
#include "AdminMessageDialog.h"
#include "ChatLog.h"
#include "ChatLogForm.h"
#include "ExcludedExtensionsDialog.h"
#include "FocusHelpers.h"
#include "MenuProbe.h"
#include "PortForwarder.h"
#include "RoomForm.h"
#include "Screenshot.h"
#include "SharedFilesRescannedDialog.h"
#include "SharedFoldersManager.h"
#include "TimerManager.h"
#include "UpnpGateway.h"
#include "WindowFixture.h"
#include "Wire.h"
#include "ui_MainWindow.h"

#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>

Q_DECLARE_METATYPE(QList<QMessageBox::StandardButton>)

namespace
{
// The bar's visible button with this text, for the widget that has the focus.
QAction* BarAction(const QString& i_text)
{
    for (QAction* action : actionBar->actions())
        if (action->isVisible() && action->text() == i_text)
            return action;
    return nullptr;
}

bool Click(const QString& i_text)
{
    QAction* action = BarAction(i_text);
    if (action)
        action->trigger();
    return action;
}

// A room list answer: the public rooms and the rooms the user owns, each with its user count.
QByteArray RoomListBody(const QList<QPair<QString, int>>& i_rooms, const QList<QPair<QString, int>>& i_owned = {})
{
    WireWriter body;
    for (const auto* rooms : {&i_rooms, &i_owned})
    {
        body.U32(quint32(rooms->size()));
        for (const auto& room : *rooms)
            body.Str(room.first);
        body.U32(quint32(rooms->size()));
        for (const auto& room : *rooms)
            body.U32(quint32(room.second));
    }
    return body.U32(0).U32(0).U32(0).Body();
}

// Each row as "name|users|" with i, u and b for italic, underline and bold.
QStringList Rows(QTreeWidget* ip_list)
{
    QStringList rows;
    for (int index = 0; index < ip_list->topLevelItemCount(); ++index)
    {
        const QTreeWidgetItem* row = ip_list->topLevelItem(index);
        const QFont font = row->font(0);
        rows << row->text(0) + '|' + row->text(1) + '|' + (font.italic() ? "i" : "") + (font.underline() ? "u" : "")
                    + (font.weight() == QFont::Bold ? "b" : "");
    }
    return rows;
}

QPoint CellPoint(QTreeWidget* ip_list, QTreeWidgetItem* ip_row, int i_column)
{
    return QPoint(ip_list->header()->sectionViewportPosition(i_column) + 5,
                  ip_list->visualItemRect(ip_row).center().y());
}

// A double click as a user makes it: the press of its first click comes first.
void DoubleClick(QTreeWidget* ip_list, const QPoint& i_point)
{
    QTest::mouseClick(ip_list->viewport(), Qt::LeftButton, {}, i_point);
    QTest::mouseDClick(ip_list->viewport(), Qt::LeftButton, {}, i_point);
}

QList<QByteArray> Bodies(TestServer& i_server, quint32 i_code)
{
    QList<QByteArray> bodies;
    for (const TestServer::Frame& frame : i_server.FramesWithCode(i_code, QStringLiteral("tester")))
        bodies << frame.m_body;
    return bodies;
}
} // namespace

// The main window's own handlers: connection state and icons, the room list and room tabs, the
// Options pages, the shared folders list and the tool bar's actions.
class TestMainHandlers : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<WindowRun> m_run;

    bool Start(const QMap<QString, QString>& i_settings = {}, bool i_login = true, bool i_tray = false)
    {
        m_run = std::make_unique<WindowRun>();
        m_run->calls.tray = i_tray;
        return m_run->Start(i_settings, i_login) && QTest::qWaitForWindowActive(m_run->window.get());
    }
    Ui::MainWindow* Form() { return m_run->window->Form(); }
    TestServer& Server() { return m_run->server; }
    QString ConnectText()
    {
        Form()->usernameEdit->setFocus();
        return actionBar->actions().size() > 1 ? ShownButtons().value(0) : QString();
    }
    void PrivateRoom(const QString& i_room, const QString& i_owner, const QStringList& i_members = {},
                     const QStringList& i_operators = {})
    {
        TestServer::Room& room = Server().RoomOf(i_room);
        room.m_private = true;
        room.m_owner = i_owner;
        room.m_members = i_members;
        room.m_operators = i_operators;
    }
    RoomForm* RoomTab(const QString& i_room)
    {
        return d->GetType("room")->GetItem(Value(i_room))["room_form"].AsPointer<RoomForm>();
    }

private slots:
    void cleanup() { m_run.reset(); }

    // The button follows the connection; the icon goes online and offline with it.
    void connectButton()
    {
        QVERIFY(Start({{"username", "tester"}, {"password", "secret"}}, false));
        QTRY_VERIFY(gp_server->IsConnected());
        QVERIFY(Server().WaitForFrames(SM_CHECK_PRIVILEGES, 1, "tester"));
        QCOMPARE(ConnectText(), QStringLiteral("Disconnect"));
        QVERIFY(Click("Disconnect"));
        QCOMPARE(ConnectText(), QStringLiteral("Connect"));
        QVERIFY(Click("Connect"));
        QCOMPARE(ConnectText(), QStringLiteral("Connecting..."));
        QTRY_COMPARE(ConnectText(), QStringLiteral("Disconnect"));
        QCOMPARE(m_run->calls.icons, QStringList({":/icons/offline_icon", ":/icons/online_icon", ":/icons/offline_icon",
                                                  ":/icons/online_icon"}));
        // Each login asks for the own privileges.
        QVERIFY(Server().WaitForFrames(SM_CHECK_PRIVILEGES, 2, "tester"));
    }

    void loginFailure_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("abrupt");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        const QString advice = " Please change your login settings in the Options tab and try reconnecting.";
        const QString wrong = "Login failed. The password you supplied does not match your username." + advice;
        QTest::newRow("wrong password") << "INVALIDPASS" << false << "Login Failure: Wrong Password" << wrong;
        QTest::newRow("wrong password, reconnecting")
            << "INVALIDPASS" << true << "Login Failure: Wrong Password" << wrong;
        QTest::newRow("invalid name") << "INVALIDUSERNAME" << false << "Login Failure: Username is Invalid"
                                      << "Login failed. The username you supplied is invalid." + advice;
        QTest::newRow("case differs") << "invalidpass" << false << "Login Failure"
                                      << "Login failed. Reported failure reason: invalidpass." + advice;
        QTest::newRow("unreachable, reconnecting") << "" << true << ""
                                                   << "";
    }

    // One box per failed login by its reason, none for the reconnections after a drop but the
    // two named ones; the button says "Connect" again and the icon stays.
    void loginFailure()
    {
        QFETCH(QString, reason);
        QFETCH(bool, abrupt);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QVERIFY(Start({}, abrupt));
        Server().SetRefusal(reason);
        QSignalSpy failures(gp_server, &Server::ConnectionFailed);
        if (reason.isEmpty())
            SetSetting("server_port", QString::number(FreePort()));
        if (abrupt)
        {
            Server().DropConnection("tester");
            QTRY_VERIFY(!gp_server->IsConnected());
            timerManager->TickHalfMinute();
        }
        else
        {
            SetSetting("username", "tester");
            gp_server->Connect();
        }
        QTRY_VERIFY(failures.count() > 0 && (reason.isEmpty() || failures.constLast().value(0).toString() == reason));
        const auto& informed = m_run->prompts.m_informed;
        QCOMPARE(informed.size(), title.isEmpty() ? 0 : 1);
        if (!title.isEmpty())
            QCOMPARE(informed.first(), qMakePair(title, text));
        QCOMPARE(ConnectText(), QStringLiteral("Connect"));
        QCOMPARE(m_run->calls.icons.constLast(), QStringLiteral(":/icons/offline_icon"));
    }

    void icons_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("showAway");
        QTest::addColumn<QString>("icon");
        const auto row = [](const char* i_tag, bool i_tray, const char* i_status, const char* i_away,
                            const char* i_icon) {
            QTest::newRow(i_tag) << i_tray << QString(i_status) << QString(i_away) << QString(i_icon);
        };
        row("available", false, "available", "yes", "online");
        row("away, shown", false, "away", "yes", "away");
        row("tray, away, not shown", true, "away", "no", "online");
        row("tray, away, shown", true, "away", "yes", "away");
    }

    // The icon of the state reaches the window, and the tray only where there is one; so do
    // alerts. A click on the tray icon brings the window back; other activations do not.
    void icons()
    {
        QFETCH(bool, tray);
        QFETCH(QString, status);
        QFETCH(QString, showAway);
        QFETCH(QString, icon);
        QVERIFY(
            Start({{"availability_status", status}, {"show_away_status_in_application_icon", showAway}}, true, tray));
        const QString expected = ":/icons/" + icon + "_icon";
        QCOMPARE(m_run->calls.icons, QStringList({":/icons/offline_icon", expected}));
        QCOMPARE(m_run->calls.trayIcons, tray ? QStringList({":/icons/offline_icon", expected}) : QStringList());
        QCOMPARE(m_run->window->TrayIcon()->isVisible(), tray); // minimize_to_tray "yes", toggled at start
        m_run->window->PopupAlert("bob is online");
        QCOMPARE(m_run->calls.alerts, QStringList("bob is online"));
        QCOMPARE(m_run->calls.balloons, tray ? QStringList("bob is online") : QStringList());

        // The Options box changes the icon at once.
        QTest::mouseClick(Form()->showAwayStatusCheckBox, Qt::LeftButton);
        QCOMPARE(GetSetting("show_away_status_in_application_icon"), showAway == "yes" ? "no" : "yes");
        QCOMPARE(m_run->calls.icons.constLast(),
                 status == "away" && showAway == "no" ? ":/icons/away_icon" : ":/icons/online_icon");

        m_run->window->showMinimized();
        emit m_run->window->TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(m_run->window->isMinimized());
        emit m_run->window->TrayIcon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(!m_run->window->isMinimized());
    }

    // Every administrator message gets its own dialog, on top.
    void adminMessages()
    {
        QVERIFY(Start());
        for (const char* text : {"first", "second"})
            QVERIFY(Server().SendFrame("tester", SM_ADMIN_MESSAGE, WireWriter().Str(text).Body()));
        const auto dialogs = [this] { return m_run->window->findChildren<AdminMessageDialog*>(); };
        QTRY_COMPARE(dialogs().size(), 2);
        for (AdminMessageDialog* dialog : dialogs())
            QVERIFY(dialog->isVisible() && (dialog->windowFlags() & Qt::WindowStaysOnTopHint));
    }

    // Rows from the server's room list: roles first with their fonts, then names without regard
    // to case; the order follows each change of a role.
    void roomList()
    {
        QVERIFY(Start());
        Server().RoomOf("Alpha").m_present = QStringList({"bob", "carol"});
        Server().RoomOf("beta").m_present = QStringList({"bob"});
        Server().RoomOf("zeta");
        PrivateRoom("owned", "tester");
        PrivateRoom("operated", "bob", {"tester"}, {"tester"});
        PrivateRoom("member", "bob", {"tester"});
        QTreeWidget* list = Form()->roomList;
        list->setFocus();
        QVERIFY(Click("Refresh Room List"));
        // The list sorts when the event loop next turns after the answer.
        QTRY_COMPARE(Rows(list),
                     QStringList({"owned||iub", "operated||ib", "member||i", "Alpha|2|", "beta|1|", "zeta||"}));

        const auto push = [this](quint32 i_code, const char* i_room) {
            return Server().SendFrame("tester", i_code, WireWriter().Str(i_room).Body());
        };
        QVERIFY(push(SM_PRIVATE_ROOM_OPERATOR_REMOVED, "operated"));
        QTRY_COMPARE(Rows(list),
                     QStringList({"owned||iub", "member||i", "operated||i", "Alpha|2|", "beta|1|", "zeta||"}));
        QVERIFY(push(SM_PRIVATE_ROOM_ADDED, "owned"));
        QVERIFY(push(SM_PRIVATE_ROOM_REMOVED, "owned"));
        QVERIFY(push(SM_PRIVATE_ROOM_OPERATOR_ADDED, "zeta"));
        QTRY_COMPARE(Rows(list),
                     QStringList({"owned||u", "zeta||ib", "member||i", "operated||i", "Alpha|2|", "beta|1|"}));
        QVERIFY(push(SM_PRIVATE_ROOM_REMOVED, "member"));
        QTRY_COMPARE(Rows(list),
                     QStringList({"owned||u", "zeta||ib", "operated||i", "Alpha|2|", "beta|1|", "member||"}));
        Server().RoomOf("beta").m_present.clear();
        QVERIFY(Click("Refresh Room List"));
        QTRY_COMPARE(list->topLevelItemCount() > 4 ? list->topLevelItem(4)->text(1) : "", QString());
        QCOMPARE(list->topLevelItemCount(), 6);

        // Ownership lost (the next list names the room as one the user is only a member of) takes
        // the underline; a room the list no longer names would go with its row.
        Server().RoomOf("owned").m_owner = QStringLiteral("bob");
        Server().RoomOf("owned").m_members = QStringList({"tester"});
        QVERIFY(Click("Refresh Room List"));
        QTRY_VERIFY(Rows(list).contains("owned||i"));
    }

    // A later room list replaces the rows: the rooms it no longer names leave, thousands or one
    // at a time, the others keep their order, and the room the user is in stays.
    void roomListFollowsTheLatestList()
    {
        QVERIFY(Start());
        QTreeWidget* list = Form()->roomList;
        const auto send = [this](const QStringList& i_rooms) {
            QList<QPair<QString, int>> rooms;
            for (const QString& room : i_rooms)
                rooms << qMakePair(room, 1);
            return Server().SendFrame("tester", SM_ROOM_LIST, RoomListBody(rooms));
        };
        gp_server->EnterRoom("beta", false);
        QTRY_VERIFY(RoomTab("beta"));
        QStringList many;
        for (int n = 0; n < 2000; ++n)
            many << QStringLiteral("room %1").arg(n, 4, 10, QLatin1Char('0'));
        QVERIFY(send(QStringList{"zeta", "beta", "Alpha"} + many));
        QTRY_COMPARE(list->topLevelItemCount(), 2003);
        QVERIFY(send({"zeta", "room 0007", "Alpha"}));
        QTRY_COMPARE(Rows(list), QStringList({"Alpha|1|", "beta|1|", "room 0007|1|", "zeta|1|"}));
        list->setCurrentItem(list->topLevelItem(3));
        QVERIFY(send({"zeta", "room 0007"}));
        QTRY_COMPARE(Rows(list), QStringList({"beta|1|", "room 0007|1|", "zeta|1|"}));
        QCOMPARE(list->currentItem()->text(0), QStringLiteral("zeta"));
    }

    // A list that replaces most rows: the rows of the rooms that went serve the new rooms with
    // nothing of the old ones (the own role's font, the count), and the current, selected room
    // that stays keeps both.
    void roomListReplacedWholesale()
    {
        QVERIFY(Start());
        QTreeWidget* list = Form()->roomList;
        const auto send = [this](const QStringList& i_rooms, int i_count, const QStringList& i_owned) {
            QList<QPair<QString, int>> rooms;
            for (const QString& room : i_rooms)
                rooms << qMakePair(room, rooms.isEmpty() ? 5 : i_count);
            QList<QPair<QString, int>> owned;
            for (const QString& room : i_owned)
                owned << qMakePair(room, 1);
            return Server().SendFrame("tester", SM_ROOM_LIST, RoomListBody(rooms, owned));
        };
        const auto named = [](const char* i_prefix) {
            QStringList rooms;
            for (int n = 0; n < 100; ++n)
                rooms << QStringLiteral("%1 %2").arg(i_prefix).arg(n, 3, 10, QLatin1Char('0'));
            return rooms;
        };
        QVERIFY(send(QStringList("keep") + named("old"), 3, {"mine"}));
        QTRY_COMPARE(list->topLevelItemCount(), 102);
        QTRY_COMPARE(Rows(list).mid(0, 3), QStringList({"mine|1|iub", "keep|5|", "old 000|3|"}));
        list->setCurrentItem(list->topLevelItem(1));
        QVERIFY(send(QStringList("keep") + named("new") + QStringList("new 100"), 0, {}));
        QTRY_COMPARE(list->topLevelItemCount(), 102);
        QTRY_VERIFY(list->topLevelItem(0)->text(0) == "keep");
        QStringList rows = QStringList("keep|5|") + named("new") + QStringList("new 100");
        for (int n = 1; n < rows.size(); ++n)
            rows[n] += "||";
        QTRY_COMPARE(Rows(list), rows);
        QCOMPARE(list->currentItem(), list->topLevelItem(0));
        QCOMPARE(list->selectedItems(), QList<QTreeWidgetItem*>({list->topLevelItem(0)}));
    }

    // Entering from the list: a double click on the name only, or "Enter Room" of the menu for
    // the selected row; one tab per room, and closing it leaves the row.
    void enterRooms()
    {
        QVERIFY(Start());
        for (const char* room : {"beta", "zeta"})
            Server().RoomOf(room);
        QTreeWidget* list = Form()->roomList;
        gp_server->GetRoomList();
        QTRY_COMPARE(list->topLevelItemCount(), 2);
        QTreeWidgetItem* beta = list->topLevelItem(0);
        QTreeWidgetItem* zeta = list->topLevelItem(1);

        DoubleClick(list, CellPoint(list, beta, 1));
        QTest::qWait(200);
        QCOMPARE(Server().FramesWithCode(SM_JOIN_ROOM, "tester").size(), 0);
        DoubleClick(list, CellPoint(list, beta, 0));
        QVERIFY(Server().WaitForFrames(SM_JOIN_ROOM, 1, "tester"));
        QTRY_VERIFY(RoomTab("beta"));
        QTabWidget* tabs = Form()->roomsTabControl;
        QCOMPARE(tabs->count(), 1);
        QCOMPARE(tabs->tabText(0), QStringLiteral("beta"));
        QVERIFY(!tabs->tabIcon(0).isNull());
        // Entered again, or answered again: still one tab.
        DoubleClick(list, CellPoint(list, beta, 0));
        emit gp_server->RoomJoined("beta");
        QTest::qWait(200);
        QCOMPARE(tabs->count(), 1);

        QVERIFY(OpenMenu(list, QPoint(5, list->viewport()->height() - 2)).isEmpty());
        list->clearSelection();
        zeta->setSelected(true);
        QCOMPARE(OpenMenu(list, CellPoint(list, beta, 0), "Enter Room"), QStringList("Enter Room"));
        QTRY_VERIFY(RoomTab("zeta"));
        QCOMPARE(Bodies(Server(), SM_JOIN_ROOM).constLast(), WireWriter().Str("zeta").U32(0).Body());

        emit tabs->tabCloseRequested(tabs->indexOf(RoomTab("zeta")));
        QCOMPARE(tabs->count(), 1);
        QVERIFY(Server().WaitForFrames(SM_LEAVE_ROOM, 1, "tester"));
        QCOMPARE(list->topLevelItemCount(), 2);
    }

    // Each control writes its setting as it changes; the toggled ones also as the start fills
    // them, the clicked ones only when clicked.
    void optionsControls()
    {
        QVERIFY(Start({{"show_away_status_in_application_icon", "yes"},
                       {"empty_share_message", "stored"},
                       {"obfuscated_listening_port", "40101"}},
                      false));
        QCOMPARE(m_run->calls.icons, QStringList(":/icons/offline_icon")); // no click ran at start
        Ui::MainWindow* ui = Form();
        // The Login page shows the name stored, also when the login dialog stores a new one.
        QCOMPARE(ui->usernameEdit->text(), QString());
        SetSetting("username", "someone");
        QCOMPARE(ui->usernameEdit->text(), QStringLiteral("someone"));

        // Turning UPnP on maps the ports again: a discovery runs; turning it off starts none.
        QVERIFY(!ui->uPnPCheckBox->isChecked());
        QSignalSpy discovered(gp_server->GetPortForwarder(), &PortForwarder::DiscoveryFinished);
        ui->uPnPCheckBox->click();
        QCOMPARE(GetSetting("use_upnp"), QStringLiteral("yes"));
        QVERIFY(discovered.wait(10000));
        ui->uPnPCheckBox->click();
        QCOMPARE(GetSetting("use_upnp"), QStringLiteral("no"));
        QCOMPARE(ui->saveEmptyShareWarningMessageButton->isEnabled(), false);
        const QList<QPair<QCheckBox*, const char*>> boxes{
            {ui->acceptUserListUploadsCheckBox, "accept_userlist_uploads"},
            {ui->emptyShareWarningCheckBox, "check_for_empty_shares"},
            {ui->minimizeToTrayCheckBox, "minimize_to_tray"},
            {ui->autoExpandSharesCheckBox, "expand_new_shares"},
            {ui->logRoomChatCheckBox, "log_room_chat"},
            {ui->logPrivateChatCheckBox, "log_private_chat"},
            {ui->userLevelLoggingCheckBox, "user_level_logging"},
            {ui->openGroupsOnUserAddCheckBox, "open_groups_on_user_add"}};
        for (const auto& [box, key] : boxes)
        {
            const bool was = box->isChecked();
            QCOMPARE(IsSettingOn(key), was);
            box->click();
            QVERIFY2(GetSetting(key) == (was ? "no" : "yes"), key);
        }
        ui->maxUploadsPerUserSpinBox->setValue(12);
        QCOMPARE(GetSetting("max_queued_uploads_per_user"), QStringLiteral("12"));
        const QStringList styles{"activity_based", "per_message_short", "per_message_long", "no_timestamps"};
        for (int index : {3, 1, 0, 2})
        {
            ui->chatTimestampsBox->setCurrentIndex(index);
            QCOMPARE(GetSetting("chat_timestamps"), styles[index]);
        }
        ui->codePageBox->setCurrentIndex(1);
        QCOMPARE(GetSetting("extended_ascii_codepage"), ui->codePageBox->itemText(1));
        ui->codePageBox->setCurrentIndex(0);
        QCOMPARE(GetSetting("extended_ascii_codepage"), QString());
        ui->userDescriptionEdit->setPlainText("two\nlines");
        QCOMPARE(GetSetting("user_description"), QStringLiteral("two\nlines"));

        // The message is saved as typed, once it holds more than blanks.
        QLineEdit* message = ui->emptyShareWarningEdit;
        message->clear();
        QTest::keyClicks(message, "   ");
        QVERIFY(!ui->saveEmptyShareWarningMessageButton->isEnabled());
        QTest::keyClicks(message, "hi");
        QVERIFY(ui->saveEmptyShareWarningMessageButton->isEnabled());
        ui->saveEmptyShareWarningMessageButton->click();
        QCOMPARE(GetSetting("empty_share_message"), QStringLiteral("   hi"));
        QCOMPARE(message->cursorPosition(), 0);
        QVERIFY(!ui->saveEmptyShareWarningMessageButton->isEnabled());

        // A picture: its path only; Clear unlinks it.
        m_run->prompts.m_picked = QStringList("/pictures/me.png");
        ui->selectPictureButton->click();
        QCOMPARE(GetSetting("user_picture_file") + ui->userPictureFilenameEdit->text(),
                 QStringLiteral("/pictures/me.png/pictures/me.png"));
        ui->clearPictureButton->click();
        QVERIFY(!HasSetting("user_picture_file") && ui->userPictureFilenameEdit->text().isEmpty());

        // The scrambled port beside the listening one: as stored, then one above a new port.
        const QString label =
            "Obfuscated port is %1, if you're manually forwarding your ports be sure to open it as well.";
        QCOMPARE(ui->obfuscatedPortLabel->text(), label.arg(40101));
        SetSetting("new_listening_port", "40300");
        QCOMPARE(ui->listeningPortEdit->text() + ' ' + ui->obfuscatedPortLabel->text(), "40300 " + label.arg(40301));
    }

    // "Accessible to" follows the folder's links; the menu unshares the selected folder; the
    // excluded endings are listed in item order, without the one being removed.
    void sharedFolders()
    {
        QVERIFY(Start({}, false));
        Form()->tabControl->setCurrentWidget(Form()->optionsTab);
        Form()->optionsTabControl->setCurrentWidget(Form()->fileSharingOptionsTab);
        QTreeWidget* list = Form()->sharedFoldersList;
        ItemPtr music = sharedFoldersManager->AddSharedFolder("/data/Music");
        ItemPtr films = sharedFoldersManager->AddSharedFolder("/data/Films");
        const auto accessible = [list]() -> QString {
            return list->topLevelItem(0)->text(1) + ';' + list->topLevelItem(1)->text(1);
        };
        QCOMPARE(accessible(), QStringLiteral(";"));
        music += d->GetType("user_list_group")->GetItem(Value("b"));
        music += d->GetType("user_list_group")->GetItem(Value("a"));
        films += d->GetType("shared_userlist")->GetGlobalNullItem();
        QCOMPARE(accessible(), QStringLiteral("a, b;User List"));
        music += d->GetType("shared_public")->GetGlobalNullItem();
        QCOMPARE(accessible(), QStringLiteral("Everyone;User List"));
        music.Disconnect("shared_public");
        QCOMPARE(accessible(), QStringLiteral("a, b;User List"));

        QVERIFY(OpenMenu(list, QPoint(5, list->viewport()->height() - 2)).isEmpty());
        list->topLevelItem(1)->setSelected(true);
        QCOMPARE(OpenMenu(list, CellPoint(list, list->topLevelItem(0), 0), "Unshare Folder"),
                 QStringList({"Set Folder Permissions", "Unshare Folder"}));
        QVERIFY(!d->GetType("shared_folder")->HasItem(Value("/data/Films")));
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("/data/Music"));

        // Permissions of the selected folder; a new folder from the tool bar.
        list->setFocus();
        list->topLevelItem(0)->setSelected(true);
        QVERIFY(Click("Share Folder"));
        OpenMenu(list, CellPoint(list, list->topLevelItem(0), 0), "Set Folder Permissions");
        QCOMPARE(m_run->window->findChildren<AddSharedFolderDialog*>().size(), 2);

        // Only rescans after the start report, each in a window of its own.
        QTemporaryDir folder;
        QFile(folder.filePath("one.mp3")).open(QIODevice::WriteOnly);
        QCOMPARE(m_run->window->findChildren<SharedFilesRescannedDialog*>().size(), 0);
        sharedFoldersManager->AddSharedFolder(folder.path());
        QFile(folder.filePath("two.mp3")).open(QIODevice::WriteOnly);
        QFile::remove(folder.filePath("one.mp3"));
        const auto reports = [this] {
            QStringList texts;
            for (auto* report : m_run->window->findChildren<SharedFilesRescannedDialog*>())
                texts << report->windowTitle() + ": " + report->findChild<QPlainTextEdit*>()->toPlainText();
            return texts;
        };
        sharedFoldersManager->RescanShares();
        QTRY_COMPARE(reports(), QStringList("Shared Files Rescanned: 1 files added.\n1 files removed."));
        sharedFoldersManager->RescanShares();
        QTRY_COMPARE(reports().size(), 2);
        QCOMPARE(reports().constLast(), QStringLiteral("Shared Files Rescanned: 0 files added.\n0 files removed."));

        // One editor of the endings, however often "Edit" is pressed.
        Form()->editExcludedExtensionsButton->click();
        Form()->editExcludedExtensionsButton->click();
        QCOMPARE(m_run->window->findChildren<ExcludedExtensionsDialog*>().size(), 1);
        QVERIFY(excludedExtensionsDialog->isVisible());

        Type* endings = d->GetType("excluded_download_extension");
        for (const ItemPtr& ending : endings->GetItems())
            ItemPtr(ending).Remove();
        QCOMPARE(Form()->excludedExtensionsEdit->text(), QString());
        ItemPtr ini = endings->GetItem(Value(".ini"));
        endings->GetItem(Value(".nfo"));
        QCOMPARE(Form()->excludedExtensionsEdit->text(), QStringLiteral(".ini .nfo"));
        ini.Remove();
        QCOMPARE(Form()->excludedExtensionsEdit->text(), QStringLiteral(".nfo"));
    }

    // The sixteen actions of the main window's sets, in order, with icons that load.
    void actionSets()
    {
        QVERIFY(Start({}, false));
        const QStringList sets{"room_list", "room", "shared_folders", "login_options", "chat_log", "user_chat"};
        QStringList declared;
        for (const ItemPtr& action :
             d->GetType("toolbar_action")->GetItems().SortNumericBy("toolbar_action_order", true))
        {
            if (!sets.contains(action["toolbar_action_set"].AsString()))
                continue;
            declared << action["toolbar_action_id"].AsString();
            const QString icon = action["toolbar_action_icon"].AsString();
            QVERIFY2(!QIcon(icon).pixmap(16).isNull(), qPrintable(icon));
        }
        QCOMPARE(declared,
                 QStringList({"create_room", "refresh_room_list", "enable_private_room_add", "toggle_room_autojoin",
                              "room_chat_log", "give_up_membership", "give_up_ownership", "set_download_folder",
                              "share_folder", "rescan_shares", "connect_disconnect", "set_user_pass",
                              "set_listening_port", "clear_chat_log", "open_log_folder", "user_chat_log"}));
        Form()->sharedFoldersList->setFocus();
        QCOMPARE(ShownButtons(), QStringList({"Set Download Folder", "Share Folder", "Rescan Shares"}));
        QVERIFY(Click("Rescan Shares"));
        QTRY_COMPARE(m_run->window->findChildren<SharedFilesRescannedDialog*>().size(), 1);
        Form()->sharedFoldersList->activateWindow();
        Form()->sharedFoldersList->setFocus();

        // A cancelled folder dialog changes nothing.
        const QString before = GetSetting("download_folder");
        QVERIFY(!before.isEmpty());
        QVERIFY(Click("Set Download Folder"));
        QCOMPARE(GetSetting("download_folder") + ' ' + Form()->downloadFolderEdit->text(), before + ' ' + before);
        m_run->prompts.m_folders = QStringList("/data/incoming");
        QVERIFY(Click("Set Download Folder"));
        QCOMPARE(GetSetting("download_folder") + ' ' + Form()->downloadFolderEdit->text(),
                 QStringLiteral("/data/incoming /data/incoming"));
        QCOMPARE(m_run->prompts.m_asked.constLast().first, QStringLiteral("Set Download Folder"));
    }

    // Invitations: each click asks for the opposite of what the server last confirmed; every
    // login starts from "no".
    void privateRoomInvitations()
    {
        QVERIFY(Start());
        Form()->roomList->setFocus();
        QVERIFY(Click("Accept Private Room Invitations"));
        QVERIFY(Click("Accept Private Room Invitations"));
        QVERIFY(Server().WaitForFrames(SM_PRIVATE_ROOM_TOGGLE, 2, "tester"));
        QCOMPARE(Bodies(Server(), SM_PRIVATE_ROOM_TOGGLE), QList<QByteArray>({"\x01", "\x01"}));
        QTRY_VERIFY(BarAction("Reject Private Room Invitations"));
        QCOMPARE(GetSetting("enable_private_room_add"), QStringLiteral("yes"));
        QVERIFY(Click("Reject Private Room Invitations"));
        QVERIFY(Server().WaitForFrames(SM_PRIVATE_ROOM_TOGGLE, 3, "tester"));
        QCOMPARE(Bodies(Server(), SM_PRIVATE_ROOM_TOGGLE).constLast(), QByteArray(1, '\0'));
        QTRY_VERIFY(BarAction("Accept Private Room Invitations"));

        Server().SendFrame("tester", SM_PRIVATE_ROOM_TOGGLE, WireWriter().U8(1).Body());
        QTRY_VERIFY(BarAction("Reject Private Room Invitations"));
        Server().DropConnection("tester");
        QTRY_VERIFY(!gp_server->IsConnected());
        timerManager->TickHalfMinute();
        QTRY_VERIFY(gp_server->IsConnected());
        QCOMPARE(GetSetting("enable_private_room_add"), QStringLiteral("no"));
        QVERIFY(BarAction("Accept Private Room Invitations"));
    }

    void giveUp_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QList<QMessageBox::StandardButton>>("answers");
        QTest::addColumn<QList<quint32>>("sent");
        using Answers = QList<QMessageBox::StandardButton>;
        QTest::newRow("ownership, yes yes") << "owner" << Answers{QMessageBox::Yes, QMessageBox::Yes}
                                            << QList<quint32>{SM_PRIVATE_ROOM_DISOWN, SM_LEAVE_ROOM};
        QTest::newRow("ownership, yes no") << "owner" << Answers{QMessageBox::Yes, QMessageBox::No} << QList<quint32>{};
        QTest::newRow("ownership, no") << "owner" << Answers{QMessageBox::No} << QList<quint32>{};
        QTest::newRow("membership, yes") << "member" << Answers{QMessageBox::Yes}
                                         << QList<quint32>{SM_PRIVATE_ROOM_CANCEL_MEMBERSHIP};
        QTest::newRow("membership, escape") << "member" << Answers{} << QList<quint32>{};
    }

    // Giving a room up takes two yes answers, membership one; nothing is sent before.
    void giveUp()
    {
        QFETCH(QString, role);
        QFETCH(QList<QMessageBox::StandardButton>, answers);
        QFETCH(QList<quint32>, sent);
        QVERIFY(Start());
        const bool owner = role == "owner";
        PrivateRoom("den", owner ? "tester" : "bob", {owner ? "bob" : "tester"});
        gp_server->GetRoomList();
        QTRY_VERIFY(d->GetType("room")->GetItem(Value("den")).IsConnected(owner ? "is_owner" : "is_member"));
        gp_server->EnterRoom("den", true);
        QTRY_VERIFY(RoomTab("den"));
        FocusWidgetAndParents(RoomTab("den")->findChild<QLineEdit*>("chatEdit"));
        m_run->prompts.m_answers = answers;
        Server().ClearFrames();
        QVERIFY(Click(owner ? "Give Up Room" : "Give Up Membership"));
        QCOMPARE(m_run->prompts.m_asked.size(), owner ? answers.size() : 1);
        QCOMPARE(m_run->prompts.m_asked.first().first, QStringLiteral("Give up membership?"));
        QVERIFY(m_run->prompts.AllOver(m_run->window.get()));
        if (!sent.isEmpty())
            QVERIFY(Server().WaitForFrames(sent.constLast(), 1, "tester"));
        QTest::qWait(100);
        QList<quint32> codes;
        for (quint32 code : Server().Codes("tester"))
            if (code != SM_PING)
                codes << code;
        QCOMPARE(codes, sent);
    }

    // A room's log opens once, as a tab of the rooms; a name that climbs folders stays in the
    // log folder.
    void roomChatLog()
    {
        QVERIFY(Start());
        const QString room = "up/../../x";
        QDir().mkpath(QDir::homePath() + "/Veltrane Chat Logs/Rooms");
        QFile file(QDir::homePath() + "/Veltrane Chat Logs/Rooms/up_.._.._x.log");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Dec 6 3:07:22 pm][bob] hello\n");
        file.close();
        Server().RoomOf(room);
        gp_server->EnterRoom(room, false);
        QTRY_VERIFY(RoomTab(room));
        QTabWidget* tabs = Form()->roomsTabControl;
        for (int open = 0; open < 2; ++open)
        {
            FocusWidgetAndParents(RoomTab(room)->findChild<QLineEdit*>("chatEdit"));
            QVERIFY(Click("Chat Log"));
        }
        QCOMPARE(tabs->count(), 2);
        auto* viewer = qobject_cast<ChatLogForm*>(tabs->currentWidget());
        QVERIFY(viewer);
        QCOMPARE(tabs->tabText(1), room);
        QCOMPARE(viewer->Path(), file.fileName());
        // Asked over the main window; the default answer keeps the log.
        viewer->OnActionTriggered(viewer, QStringLiteral("clear_chat_log"));
        QCOMPARE(m_run->prompts.m_asked.value(0).first, QStringLiteral("Clear log?"));
        QVERIFY(m_run->prompts.AllOver(m_run->window.get()));
        QVERIFY(file.exists());
        emit tabs->tabCloseRequested(1);
        QVERIFY(!d->GetType("room")->HasItem(Value(room)).IsConnected("chat_log_form"));
        QFile::remove(file.fileName());
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        QVERIFY(Start());
        const QList<QPair<const char*, int>> rooms{
            {"Indie Music", 312}, {"jazz", 87}, {"Classical Corner", 40}, {"lossless", 1204}, {"Trade", 0}};
        for (const auto& [name, users] : rooms)
        {
            QStringList& present = Server().RoomOf(name).m_present;
            for (int user = 0; user < users; ++user)
                present << QStringLiteral("user%1").arg(user);
        }
        PrivateRoom("My Private Room", "tester");
        gp_server->GetRoomList();
        QTRY_COMPARE(Form()->roomList->topLevelItemCount(), 6);
        QTRY_COMPARE(Form()->roomList->topLevelItem(0)->text(0), QStringLiteral("My Private Room"));
        gp_server->EnterRoom("jazz", false);
        QTRY_VERIFY(RoomTab("jazz"));
        Form()->tabControl->setCurrentWidget(Form()->roomsTab);
        Form()->roomList->setFocus();
        m_run->window->resize(1000, 520);
        SAVE_SCREENSHOT(m_run->window.get(), "room_list");

        // The same list again after one of 80 other rooms: its rows served the rooms back.
        const auto send = [this](const QList<QPair<QString, int>>& i_rooms) {
            return Server().SendFrame("tester", SM_ROOM_LIST,
                                      RoomListBody(i_rooms, {qMakePair(QStringLiteral("My Private Room"), 0)}));
        };
        QList<QPair<QString, int>> others;
        for (int room = 0; room < 80; ++room)
            others << qMakePair(QStringLiteral("Other %1").arg(room), room);
        QVERIFY(send(others));
        QTRY_COMPARE(Form()->roomList->topLevelItemCount(), 82);
        QList<QPair<QString, int>> again;
        for (const auto& [name, users] : rooms)
            again << qMakePair(QString(name), users);
        QVERIFY(send(again));
        QTRY_COMPARE(Form()->roomList->topLevelItemCount(), 6);
        QTRY_COMPARE(Form()->roomList->topLevelItem(0)->text(0), QStringLiteral("My Private Room"));
        SAVE_SCREENSHOT(m_run->window.get(), "room_list_replaced");
    }

    // Against a real gateway: ticking the box maps both listening ports, unticking maps nothing.
    // Last: the test moves the process into the gateway's client network while it runs.
    void upnp_box_maps_the_ports_only_when_ticked()
    {
        const QString reason = UpnpGateway::Unavailable();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        UpnpGateway gateway;
        QString error;
        QVERIFY2(gateway.Start(&error), qPrintable(error));
        QVERIFY(gateway.EnterClientNamespace());
        QVERIFY(Start());
        PortForwarder* forwarder = gp_server->GetPortForwarder();
        QSignalSpy mapped(forwarder, &PortForwarder::PortMapped);
        Form()->uPnPCheckBox->click();
        QTRY_COMPARE_WITH_TIMEOUT(mapped.count(), 2, 10000);
        const QList<quint16> ports{mapped.at(0).at(0).value<quint16>(), mapped.at(1).at(0).value<quint16>()};
        for (quint16 port : ports)
            QVERIFY(gateway.HasMapping(port));

        gateway.ClearMappings();
        Form()->uPnPCheckBox->click();
        QCOMPARE(GetSetting("use_upnp"), QStringLiteral("no"));
        // The mapper works through its queue in order: once this marker ran, so did anything the
        // unticking queued.
        std::atomic<bool> drained{false};
        auto* marker = new QObject;
        marker->moveToThread(forwarder->GetThread());
        QMetaObject::invokeMethod(
            marker,
            [marker, &drained] {
                drained = true;
                marker->deleteLater();
            },
            Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(drained, 10000);
        QCOMPARE(mapped.count(), 2);
        for (quint16 port : ports)
            QVERIFY(!gateway.HasMapping(port));
        m_run.reset();
    }
};

QTEST_MAIN(TestMainHandlers)
#include "test_main_handlers.moc"
