#include "ChatForm.h"
#include "ChatsForm.h"
#include "RoomForm.h"
#include "ShareForm.h"
#include "SharesForm.h"
#include "UserInfoForm.h"
#include "UserListForm.h"
#include "UserMenuOptions.h"
#include "WindowFixture.h"
#include "ui_MainWindow.h"

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
                 return EventTexts().join('|');
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
            {"private room menu",
             [](const QString& i_name) {
                 d->GetType("room")->GetItem(i_name) += d->GetType("is_owner")->GetGlobalNullItem();
                 QMenu menu;
                 UserMenuOptions options(&menu, QStringLiteral("bob"));
                 QStringList rooms;
                 for (QAction* action : menu.actions())
                     if (action->menu())
                         for (QAction* room : action->menu()->actions())
                             rooms << room->text();
                 return rooms.join('|');
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
    }

    void namesAreIsolated()
    {
        QFETCH(QString, place);
        QFETCH(bool, shortcuts);
        WindowRun run;
        QVERIFY(run.Start());
        // The chat page out of sight, so that a line posts its notice.
        run.window->Form()->tabControl->setCurrentWidget(run.window->Form()->roomsTab);
        Room() += d->GetType("in_room")->GetGlobalNullItem();
        QVERIFY(Room()["room_form"].AsPointer<RoomForm>());
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
    }
};

QTEST_MAIN(TestShownNames)
#include "test_shown_names.moc"
