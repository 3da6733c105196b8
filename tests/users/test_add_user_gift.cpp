#include "ActionSetToolBar.h"
#include "AddUserDialog.h"
#include "GiftPrivilegesDialog.h"
#include "Screenshot.h"
#include "UserListForm.h"
#include "UserTargets.h"
#include "WindowFixture.h"
#include "Wire.h"

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

namespace
{
struct AddUser
{
    QPointer<AddUserDialog> m_dialog;
    QLineEdit* m_name;
    QLineEdit* m_status;
    QPushButton* m_button;

    explicit AddUser(QWidget* ip_parent)
        : m_dialog(new AddUserDialog(ip_parent))
        , m_name(m_dialog->findChild<QLineEdit*>("userNameEdit"))
        , m_status(m_dialog->findChild<QLineEdit*>("statusEdit"))
        , m_button(m_dialog->findChild<QPushButton*>("addFriendButton"))
    {
        m_dialog->show();
    }

    QString Add(const QString& i_name)
    {
        m_name->setText(i_name);
        QTest::mouseClick(m_button, Qt::LeftButton);
        return m_status->text();
    }
    bool Waiting() const { return m_name->isReadOnly() && !m_button->isEnabled(); }
};

bool InList(const QString& i_user)
{
    return d->GetType("user")->HasItem(Value(i_user)).IsConnected("in_user_list");
}
} // namespace

// Adding a user by name once the server confirms it, and gifting privileges.
class TestAddUserGift : public QObject
{
    Q_OBJECT

private slots:
    // The checks in their order, then the wait for exactly the name asked about.
    void addUser()
    {
        WindowRun run;
        QVERIFY(run.Start());
        run.server.AddAccount("bob", "x");
        d->GetType("user")->GetItem(Value(QStringLiteral("carol"))).NewItem("in_user_list");
        d->GetType("user")->GetItem(Value(QStringLiteral("dave")));
        emit actionBar->ActionTriggered(nullptr, "manual_add_user");
        QVERIFY(userListForm->findChild<AddUserDialog*>());
        AddUser first(run.window.get());
        AddUser second(run.window.get());
        QCOMPARE(first.Add("   "), QStringLiteral("User name must not be empty."));
        QCOMPARE(first.Add("carol"), QStringLiteral("User already in list."));
        QCOMPARE(first.Add(" bob "), QStringLiteral("Adding user..."));
        QCOMPARE(second.Add("bob"), QStringLiteral("Adding user..."));

        // Answers about other names, letter case included, are someone else's; these come before
        // the server has even read the requests.
        emit gp_server->AddUserResponse("Bob", true);
        emit gp_server->AddUserResponse("zed", false);
        QVERIFY(first.Waiting() && second.Waiting() && !InList("Bob"));

        // The server's answer for the name releases both.
        QTRY_COMPARE(first.m_status->text(), QStringLiteral("User added to list."));
        QCOMPARE(second.m_status->text(), QStringLiteral("User added to list."));
        QVERIFY(!first.Waiting() && !second.Waiting() && InList("bob"));
        QCOMPARE(first.m_name->text(), QStringLiteral(" bob "));
        // Each dialog asked; the users window may ask again for the user it now lists.
        QStringList asked;
        for (const TestServer::Frame& frame : run.server.FramesWithCode(SM_WATCH_USER, "tester"))
            asked << WireReader(frame.m_body).Str();
        QVERIFY2(asked.count("bob") >= 2, qPrintable(asked.join(',')));

        // A name the store knows but the list does not hold is asked about.
        QCOMPARE(first.Add("dave"), QStringLiteral("Adding user..."));
        QTRY_COMPARE(first.m_status->text(), QStringLiteral("User name does not exist."));
        QVERIFY(!InList("dave"));

        // Losing the connection releases a waiting dialog.
        QCOMPARE(first.Add("erin"), QStringLiteral("Adding user..."));
        run.server.DropConnection("tester");
        QTRY_COMPARE(first.m_status->text(), QStringLiteral("Must be online to add a user to your list."));
        QVERIFY(!first.Waiting());
        QCOMPARE(second.Add("frank"), QStringLiteral("Must be online to add a user to your list."));
    }

    void gift_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("online");
        QTest::addColumn<int>("sent");
        QTest::newRow("7 days") << "7" << true << 7;
        QTest::newRow("most") << "99999" << true << 9999;
        QTest::newRow("empty") << "" << true << 0;
        QTest::newRow("zeros") << "0000" << true << 0;
        QTest::newRow("offline") << "7" << false << 0;
    }

    // Only a number of days while online is sent, and only then does the dialog go.
    void gift()
    {
        QFETCH(QString, typed);
        QFETCH(bool, online);
        QFETCH(int, sent);
        WindowRun run;
        QVERIFY(run.Start({}, online));
        QVERIFY(UserTargets::Open(UserTargets::GiftPrivileges, "bob"));
        QPointer<GiftPrivilegesDialog> dialog;
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* gift = qobject_cast<GiftPrivilegesDialog*>(window))
                dialog = gift;
        QVERIFY(dialog);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Gift Privileges to bob"));
        QTest::keyClicks(dialog->findChild<QLineEdit*>("daysEdit"), typed);
        QTest::mouseClick(dialog->findChild<QPushButton*>("giftButton"), Qt::LeftButton);
        if (sent == 0)
            QTest::qWait(200);
        else
            QVERIFY(run.server.WaitForFrames(SM_GIVE_PRIVILEGES, 1, "tester"));
        QTRY_COMPARE(dialog.isNull(), sent != 0);
        delete dialog;
        QCOMPARE(run.prompts.m_informed.value(0).second,
                 online ? QString() : QStringLiteral("Must be online to gift privileges."));
        const auto gifts = run.server.FramesWithCode(SM_GIVE_PRIVILEGES);
        QCOMPARE(gifts.size(), sent ? 1 : 0);
        if (sent)
        {
            WireReader body(gifts.first().m_body);
            QCOMPARE(body.Str(), QStringLiteral("bob"));
            QCOMPARE(body.I32(), sent);
        }
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        WindowRun run;
        QVERIFY(run.Start());
        run.server.AddAccount("bob", "x");
        AddUser add(run.window.get());
        add.Add("bob");
        QTRY_COMPARE(add.m_status->text(), QStringLiteral("User added to list."));
        SAVE_SCREENSHOT(add.m_dialog.data(), "add_user_dialog");
        auto* gift = new GiftPrivilegesDialog("bob", nullptr);
        gift->findChild<QLineEdit*>("daysEdit")->setText("7");
        SAVE_SCREENSHOT(gift, "gift_privileges_dialog");
        delete gift;
    }
};

QTEST_MAIN(TestAddUserGift)
#include "test_add_user_gift.moc"
