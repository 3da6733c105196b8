#include "ChatForm.h"
#include "ChatLogForm.h"
#include "ChatsForm.h"
#include "DownloadMenuOptions.h"
#include "FocusHelpers.h"
#include "MessageListForm.h"
#include "RoomForm.h"
#include "Screenshot.h"
#include "SearchForm.h"
#include "SearchReplies.h"
#include "ShareForm.h"
#include "SharesForm.h"
#include "TextUtils.h"
#include "TransferQueueManager.h"
#include "UserGroupConfigDialog.h"
#include "UserGroupsDialog.h"
#include "UserInfoForm.h"
#include "UserListForm.h"
#include "UserMenuOptions.h"
#include "WindowFixture.h"
#include "ui_MainWindow.h"
#include "ui_SearchForm.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QtTest>

#include <functional>

// Names from the network in every place the windows show them, in a real run: a name holding
// direction controls shows without them, isolated from the text around it, and where the text is read for a
// shortcut mark ("&"), the name's "&" shows as itself.
class TestShownNames : public QObject
{
    Q_OBJECT

    using Shown = std::function<QString(const QString&)>;

    static inline WindowRun* s_run = nullptr;

    static QString TabText(QTabWidget* ip_tabs, QWidget* ip_page)
    {
        return ip_tabs->tabText(ip_tabs->indexOf(ip_page));
    }

    // What a list's delegate paints for the row whose column holds the name.
    static QString RowText(QTreeWidget* ip_list, int i_column, const QString& i_name)
    {
        const QList<QTreeWidgetItem*> rows = ip_list->findItems(i_name, Qt::MatchExactly, i_column);
        if (rows.isEmpty())
            return QStringLiteral("(no row)");
        auto* delegate = qobject_cast<QStyledItemDelegate*>(ip_list->itemDelegate());
        return delegate ? delegate->displayText(rows.first()->data(i_column, Qt::DisplayRole), QLocale())
                        : rows.first()->text(i_column);
    }

    // The texts of the notification bar's buttons as they show.
    static QString ButtonTexts()
    {
        QStringList texts;
        for (QAction* action : eventToolBar->actions())
            if (auto* button = qobject_cast<QToolButton*>(eventToolBar->widgetForAction(action)))
                texts << button->text();
        return texts.join('|');
    }

    // The tooltips of the notification bar's buttons, as text.
    static QString TooltipTexts()
    {
        QStringList texts;
        for (QAction* action : eventToolBar->actions())
        {
            QTextDocument tooltip;
            tooltip.setHtml(action->toolTip());
            texts << tooltip.toPlainText();
        }
        return texts.join('|');
    }

    // Starts the window with the chat page out of sight, so that a line posts its notice, in a
    // room.
    static bool StartOutOfChat(WindowRun& io_run)
    {
        if (!io_run.Start())
            return false;
        s_run = &io_run;
        io_run.window->Form()->tabControl->setCurrentWidget(io_run.window->Form()->roomsTab);
        Room() += d->GetType("in_room")->GetGlobalNullItem();
        return Room()["room_form"].AsPointer<RoomForm>() != nullptr;
    }

    // The rooms a user's menu offers, for a room the user holds in this role.
    static QString RoomSubmenus(const QString& i_room, const char* ip_role)
    {
        d->GetType("room")->GetItem(i_room) += d->GetType(ip_role)->GetGlobalNullItem();
        QMenu menu;
        UserMenuOptions options(&menu, QStringLiteral("bob"));
        QStringList rooms;
        for (QAction* action : menu.actions())
            if (action->menu())
                for (QAction* room : action->menu()->actions())
                    rooms << room->text();
        return rooms.join('|');
    }

    static QString LastAlert() { return s_run->calls.alerts.isEmpty() ? QString() : s_run->calls.alerts.last(); }

    // Completes a download of a file of i_user in i_folder with the three notices asked for.
    static bool CompleteDownload(const QString& i_user, const QString& i_folder, const QString& i_file)
    {
        static int s_files = 0;
        const QString file = i_file.isEmpty() ? QString("f%1.mp3").arg(++s_files) : i_file;
        const QString folder = i_folder.isEmpty() ? QString("music%1").arg(++s_files) : i_folder;
        const ItemPtr entry = transferQueueManager->AddDownload(
            i_user.isEmpty() ? QString("bob") : i_user, file.toStdString(), "share\\" + folder.toStdString(), 1000, 0);
        QMenu menu;
        DownloadMenuOptions options(&menu, ItemSet{entry});
        options.OnSetFileDownloadAlert();
        options.OnSetFolderDownloadAlert();
        options.OnSetUserDownloadAlert();
        const int alerts = s_run->calls.alerts.size();
        transferQueueManager->SetDownloadEntryStatus(entry, "complete");
        return QTest::qWaitFor([alerts] { return s_run->calls.alerts.size() >= alerts + 3; });
    }

    // The three notices of a completed download: file, folder, user.
    static QString DownloadNotice(int i_which, bool i_button, const QString& i_name)
    {
        if (!CompleteDownload(i_which == 2 ? i_name : QString(), i_which == 1 ? i_name : QString(),
                              i_which == 0 ? i_name : QString()))
            return QStringLiteral("(no notice)");
        if (!i_button)
            return s_run->calls.alerts.value(s_run->calls.alerts.size() - 3 + i_which);
        return ButtonTexts();
    }

    // The question a room's tool bar action asks about the room, from its tab.
    static QString RoomQuestion(const char* ip_role, const char* ip_action, const QString& i_name)
    {
        ItemPtr room = d->GetType("room")->GetItem(i_name);
        room += d->GetType(ip_role)->GetGlobalNullItem();
        room += d->GetType("in_room")->GetGlobalNullItem();
        FocusWidgetAndParents(room["room_form"].AsPointer<RoomForm>()->findChild<QLineEdit*>("chatEdit"));
        s_run->prompts.m_asked.clear();
        s_run->window->OnToolBarActionTriggered(nullptr, QLatin1String(ip_action));
        return s_run->prompts.m_asked.isEmpty() ? QStringLiteral("(no question)")
                                                : s_run->prompts.m_asked.first().second;
    }

    static QString LastLine(QWidget* ip_form)
    {
        return ip_form->findChild<QTextBrowser*>(QStringLiteral("chatView"))->toPlainText().split('\n').last();
    }

    static QMap<QString, Shown> Places()
    {
        return {
            {"user info tab",
             [](const QString& i_name) {
                 auto* tabs = userListForm->findChild<QTabWidget*>(QStringLiteral("userInfoTabs"));
                 return TabText(tabs, userListForm->GetUserInfoForm(i_name));
             }},
            {"private chat tab",
             [](const QString& i_name) { return TabText(chatsForm->Tabs(), chatsForm->GetChatForm(i_name)); }},
            {"browse tab",
             [](const QString& i_name) {
                 ShareForm* form = sharesForm->OpenShareBrowse(i_name);
                 return TabText(sharesForm->findChild<QTabWidget*>(QStringLiteral("tabControl")), form);
             }},
            {"notification button",
             [](const QString& i_name) {
                 chatsForm->GetChatForm(i_name)->AddChat(i_name, QStringLiteral("hi"));
                 return ButtonTexts();
             }},
            {"private chat line",
             [](const QString& i_name) {
                 ChatForm* form = chatsForm->GetChatForm(i_name);
                 form->AddChat(i_name, QStringLiteral("hi"));
                 return LastLine(form);
             }},
            {"room chat line",
             [](const QString& i_name) {
                 RoomForm* form = Room()["room_form"].AsPointer<RoomForm>();
                 form->OnRoomChat(QStringLiteral("lobby"), i_name, QStringLiteral("hi"));
                 return LastLine(form);
             }},
            {"room user row",
             [](const QString& i_name) {
                 ItemPtr user = d->GetType("user")->GetItem(i_name);
                 Room() += user;
                 for (const char* statistic : {"average_download_speed", "shared_files_count", "country_code"})
                     user += d->GetType(statistic)->GetItem(Value(statistic[0] == 'c' ? QString() : QString("1")));
                 RoomForm* form = Room()["room_form"].AsPointer<RoomForm>();
                 return RowText(form->findChild<QTreeWidget*>(QStringLiteral("userList")), 2, i_name);
             }},
            {"user list row",
             [](const QString& i_name) {
                 d->GetType("user")->GetItem(i_name).NewItem("in_user_list");
                 return RowText(userListForm->findChild<QTreeWidget*>(QStringLiteral("userList")), 0, i_name);
             }},
            {"private room menu", [](const QString& i_name) { return RoomSubmenus(i_name, "is_owner"); }},
            {"room tab",
             [](const QString& i_name) {
                 ItemPtr room = d->GetType("room")->GetItem(i_name);
                 room += d->GetType("in_room")->GetGlobalNullItem();
                 int index = 0;
                 QTabWidget* tabs = GetWidgetTabWidget(room["room_form"].AsPointer<RoomForm>(), index);
                 return tabs ? tabs->tabText(index) : QString();
             }},
            {"operated room menu", [](const QString& i_name) { return RoomSubmenus(i_name, "is_operator"); }},
            {"chat log tab",
             [](const QString& i_name) {
                 auto* tabs = new QTabWidget;
                 ChatLogForm* form = ChatLogForm::Open(tabs, d->GetType("user")->GetItem(i_name), ChatLogKind::User);
                 const QString text = TabText(tabs, form);
                 delete tabs;
                 return text;
             }},
            {"online notice",
             [](const QString& i_name) {
                 ItemPtr user = d->GetType("user")->GetItem(i_name);
                 user += d->GetType("user_online_alert")->GetGlobalNullItem();
                 userListForm->OnUserOnline(user);
                 return ButtonTexts();
             }},
            {"online pop-up",
             [](const QString& i_name) {
                 ItemPtr user = d->GetType("user")->GetItem(i_name);
                 user += d->GetType("user_online_alert")->GetGlobalNullItem();
                 userListForm->OnUserOnline(user);
                 return LastAlert();
             }},
            {"private chat pop-up",
             [](const QString& i_name) {
                 chatsForm->GetChatForm(i_name)->AddChat(i_name, QStringLiteral("hi"));
                 return LastAlert();
             }},
            {"partner away line",
             [](const QString& i_name) {
                 ChatForm* form = chatsForm->GetChatForm(i_name);
                 d->GetType("user")->GetItem(i_name) += d->GetType("is_away")->GetGlobalNullItem();
                 return LastLine(form);
             }},
            {"message list row",
             [](const QString& i_name) {
                 chatsForm->MessageList()->OnPrivateChat(i_name, QStringLiteral("hi"), 1000, true);
                 auto* list = chatsForm->MessageList()->findChild<QTreeWidget*>(QStringLiteral("messageList"));
                 const QList<QTreeWidgetItem*> rows = list->findItems(i_name, Qt::MatchExactly, 1);
                 return rows.isEmpty() ? QStringLiteral("(no row)") : rows.first()->text(2);
             }},
            {"membership question",
             [](const QString& i_name) { return RoomQuestion("is_member", "give_up_membership", i_name); }},
            {"ownership question",
             [](const QString& i_name) { return RoomQuestion("is_owner", "give_up_ownership", i_name); }},
            {"file complete button", [](const QString& i_name) { return DownloadNotice(0, true, i_name); }},
            {"folder complete button", [](const QString& i_name) { return DownloadNotice(1, true, i_name); }},
            {"user complete button", [](const QString& i_name) { return DownloadNotice(2, true, i_name); }},
            {"file complete pop-up", [](const QString& i_name) { return DownloadNotice(0, false, i_name); }},
            {"folder complete pop-up", [](const QString& i_name) { return DownloadNotice(1, false, i_name); }},
            {"user complete pop-up", [](const QString& i_name) { return DownloadNotice(2, false, i_name); }},
            {"wish list notice",
             [](const QString& i_name) {
                 ItemPtr item = d->GetType("wish_list_item")->GetItem(Value(i_name));
                 item += d->GetType("wish_list_item_enabled")->GetGlobalNullItem();
                 searchForm->OnWishListItemAdded(item);
                 SendSearchReply(gp_server->FileSearch(i_name, true), {"bob", true, 0, 0},
                                 {ReplyFile{"d\\song.mp3", 100, 0, QString(), -1}});
                 return ButtonTexts();
             }},
            {"user groups title", [](const QString& i_name) { return UserGroupsDialog(i_name).windowTitle(); }},
            // The user's own texts, read for "&" as the others.
            {"search tab",
             [](const QString& i_name) {
                 auto* tabs = searchForm->findChild<QTabWidget*>(QStringLiteral("searchTabControl"));
                 searchForm->Form()->searchEdit->setText(i_name);
                 QTest::keyClick(searchForm->Form()->searchEdit, Qt::Key_Return);
                 return tabs->tabText(tabs->count() - 1);
             }},
            {"re-run search entry",
             [](const QString& i_name) {
                 static int s_files = 0;
                 ItemPtr entry = transferQueueManager->AddDownload(
                     "bob", QString("s%1.mp3").arg(++s_files).toStdString(), "music", 1000, 0);
                 entry.Connect(d->GetType("search_request_text")->GetItem(i_name));
                 QMenu menu;
                 DownloadMenuOptions options(&menu, ItemSet{entry});
                 return menu.actions().last()->text();
             }},
            {"group box title",
             [](const QString& i_name) {
                 d->GetType("user_list_group")->GetItem(i_name);
                 UserGroupConfigDialog dialog;
                 auto* groups = dialog.findChild<QListWidget*>(QStringLiteral("groupList"));
                 const QList<QListWidgetItem*> rows = groups->findItems(i_name, Qt::MatchExactly);
                 groups->setCurrentItem(rows.value(0));
                 return dialog.findChild<QGroupBox*>(QStringLiteral("groupBox"))->title();
             }},
        };
    }

    static ItemPtr Room() { return d->GetType("room")->GetItem(QStringLiteral("lobby")); }

private slots:
    void namesAreIsolated_data()
    {
        QTest::addColumn<QString>("place");
        QTest::addColumn<bool>("shortcuts"); // whether the text is read for "&"
        for (const char* place :
             {"user info tab", "private chat tab", "browse tab", "notification button", "private room menu"})
            QTest::newRow(place) << place << true;
        for (const char* place : {"private chat line", "room chat line", "room user row", "user list row"})
            QTest::newRow(place) << place << false;
        for (const char* place : {"room tab", "operated room menu", "chat log tab", "online notice",
                                  "file complete button", "folder complete button", "user complete button",
                                  "wish list notice", "search tab", "re-run search entry", "group box title"})
            QTest::newRow(place) << place << true;
        for (const char* place : {"online pop-up", "private chat pop-up", "partner away line", "message list row",
                                  "membership question", "ownership question", "file complete pop-up",
                                  "folder complete pop-up", "user complete pop-up", "user groups title"})
            QTest::newRow(place) << place << false;
    }

    void namesAreIsolated()
    {
        QFETCH(QString, place);
        QFETCH(bool, shortcuts);
        WindowRun run;
        QVERIFY(StartOutOfChat(run));
        const Shown shown = Places().value(place);

        // A name that closes the isolate around it and then overrides the direction: its controls
        // are dropped and what is left is isolated.
        const QString disguised = QStringLiteral("\u2069\u202E") + QStringLiteral("ecila");
        const QString isolated = QChar(0x2068) + QStringLiteral("ecila") + QChar(0x2069);
        QVERIFY2(shown(disguised).contains(isolated), qPrintable(shown(disguised)));
        // A name with nothing to reorder shows as it is.
        QVERIFY(shown(QStringLiteral("plain")).contains(QStringLiteral("plain")));
        QVERIFY(!shown(QStringLiteral("plain")).contains(QChar(0x2068) + QStringLiteral("plain")));
        const QString ampersand = shown(QStringLiteral("R&B"));
        QVERIFY2(ampersand.contains(shortcuts ? QStringLiteral("R&&B") : QStringLiteral("R&B")), qPrintable(ampersand));
        // Right-to-left letters beyond the first plane (Adlam) are isolated too.
        const QString adlam = QString::fromUcs4(U"\U0001E900\U0001E922\U0001E910");
        QVERIFY(shown(adlam).contains(QChar(0x2068) + adlam + QChar(0x2069)));
        // A name is measured whole where it shows: past a cost of 1,024 it is cut (a chat line may
        // break it, a button shows less).
        const QString shownLong = shown(QString(60000, 'w')).remove(QChar(0x200B));
        QVERIFY2(shownLong.contains(QChar(0x2026)) && !shownLong.contains(QString(1025, 'w')),
                 qPrintable(QString::number(shownLong.size())));
        s_run = nullptr;
    }

    void a_long_name_on_a_button_leaves_the_window_its_width_data()
    {
        QTest::addColumn<QString>("place");
        for (const char* place : {"notification button", "online notice", "file complete button", "wish list notice"})
            QTest::newRow(place) << place;
    }

    // The notification bar is as wide as its first button, and the window as the bar; the
    // button's tooltip still shows the name as far as a name shows.
    void a_long_name_on_a_button_leaves_the_window_its_width()
    {
        QFETCH(QString, place);
        WindowRun run;
        QVERIFY(StartOutOfChat(run));
        QApplication::processEvents();
        const int width = run.window->width();
        Places().value(place)(QString(60000, QChar(0xFFFD)));
        QApplication::processEvents();
        QCOMPARE(run.window->width(), width);
        QVERIFY(TooltipTexts().contains(QString(1024, QChar(0xFFFD)) + QChar(0x2026)));
        s_run = nullptr;
    }

    // The names of this file's table as a user meets them: a search tab, notification buttons of
    // chats and of a finished download.
    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        WindowRun run;
        QVERIFY(run.Start());
        s_run = &run;
        Ui::MainWindow* ui = run.window->Form();
        ui->tabControl->setCurrentWidget(ui->roomsTab);
        for (const char* name :
             {"x...y", "R&B", "\u202Eecila", "Grand Orchestra of the Southern Valley, Strings and Winds Section"})
            chatsForm->GetChatForm(QString::fromUtf8(name))->AddChat(QString::fromUtf8(name), QStringLiteral("hi"));
        QVERIFY(CompleteDownload(QStringLiteral("x&y"), QStringLiteral("Rock&Roll"), QStringLiteral("R&B.mp3")));
        ui->tabControl->setCurrentWidget(ui->searchTab);
        searchForm->Form()->searchEdit->setText(QStringLiteral("R&B"));
        QTest::keyClick(searchForm->Form()->searchEdit, Qt::Key_Return);
        run.window->resize(1000, 500);
        SAVE_SCREENSHOT(run.window.get(), "shown_names");
        s_run = nullptr;
    }

    // A button made from an action would drop "..." from its text: "x...y" would show as "xy".
    void dotsShowOnButtons()
    {
        WindowRun run;
        QVERIFY(run.Start());
        run.window->Form()->tabControl->setCurrentWidget(run.window->Form()->roomsTab);
        chatsForm->GetChatForm(QStringLiteral("x...y"))->AddChat(QStringLiteral("x...y"), QStringLiteral("hi"));
        QCOMPARE(ButtonTexts(), QStringLiteral("x...y"));
    }

    // A tooltip reads markup: a name must show as the text it is, never load what it names.
    void tooltipsShowNamesAsText()
    {
        WindowRun run;
        QVERIFY(StartOutOfChat(run));
        const QString name = QStringLiteral("x...y&<img src=\"/etc/hostname\">");
        chatsForm->GetChatForm(name)->AddChat(name, QStringLiteral("hi"));
        QCOMPARE(TooltipTexts(), IsolatedName(name));
        s_run = nullptr;
    }
};

QTEST_MAIN(TestShownNames)
#include "test_shown_names.moc"
