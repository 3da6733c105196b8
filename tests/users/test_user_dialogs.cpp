#include "DataFixture.h"
#include "Screenshot.h"
#include "UserGroupConfigDialog.h"
#include "UserGroupsDialog.h"
#include "UserMenuOptions.h"
#include "UserNoteDialog.h"
#include "UsersKit.h"
#include "WindowFixture.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

// The group membership, group settings and note dialogs over the real store of a running client.
class TestUserDialogs : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowRun> m_run;

    static ItemPtr Group(const char* ip_name) { return d->GetType("user_list_group")->HasItem(ip_name); }

    static QStringList Rows(QListWidget* ip_list)
    {
        QStringList rows;
        for (int row = 0; row < ip_list->count(); ++row)
            rows << ip_list->item(row)->text() + (ip_list->item(row)->checkState() == Qt::Checked ? "+" : "");
        return rows;
    }

    static void CreateGroup(QDialog* ip_dialog, const QString& i_name)
    {
        ip_dialog->findChild<QLineEdit*>("newGroupEdit")->setText(i_name);
        ip_dialog->findChild<QPushButton*>("newGroupButton")->click();
    }

    static QListWidgetItem* Row(QListWidget* ip_list, const char* ip_name)
    {
        return ip_list->findItems(ip_name, Qt::MatchExactly | Qt::MatchCaseSensitive).value(0);
    }

private slots:
    void init()
    {
        m_run = std::make_unique<WindowRun>();
        QVERIFY(m_run->Start());
    }

    void cleanup() { m_run.reset(); }

    // The note editor, the groups dialog and the user log, each left open, do not keep the
    // program running once the main window is closed: the event loop ends as it does alone.
    void closingTheMainWindowEndsTheProgram_data()
    {
        QTest::addColumn<QString>("dialog");
        QTest::newRow("note") << "note";
        QTest::newRow("groups") << "groups";
        QTest::newRow("log") << "log";
    }

    void closingTheMainWindowEndsTheProgram()
    {
        QFETCH(QString, dialog);
        QMenu menu;
        UserMenuOptions options(&menu, "ann");
        if (dialog == "note")
            options.OnUserNote();
        else if (dialog == "groups")
            options.OnSetUserGroups();
        else
            options.OnUserLog();
        QTimer::singleShot(0, m_run->window.get(), &QWidget::close);
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, qApp, [] { qApp->exit(1); });
        guard.start(10000);
        QCOMPARE(qApp->exec(), 0);
    }

    void membership()
    {
        User("ann").NewItem("in_user_list");
        d->GetType("user_list_group")->GetItem("b");
        User("ann")["in_user_list"] += d->GetType("user_list_group")->GetItem("A");
        QPointer<UserGroupsDialog> dialog = new UserGroupsDialog("ann");
        UserGroupsDialog other("ann");
        auto* list = dialog->findChild<QListWidget*>("groupListWidget");
        QCOMPARE(dialog->windowTitle(), QStringLiteral("User Groups for [ann]"));
        QCOMPARE(Rows(list), QStringList({"A+", "b"}));

        CreateGroup(dialog, "  c  ");
        CreateGroup(dialog, "   ");
        CreateGroup(dialog, "b");
        CreateGroup(&other, "a");
        QCOMPARE(dialog->findChild<QLineEdit*>("newGroupEdit")->text(), QString());
        QCOMPARE(Rows(list), QStringList({"A+", "a", "b", "c"}));
        QCOMPARE(Rows(other.findChild<QListWidget*>("groupListWidget")), QStringList({"A+", "a", "b", "c"}));

        Row(list, "c")->setCheckState(Qt::Checked);
        Row(list, "A")->setCheckState(Qt::Unchecked);
        QCOMPARE(User("ann")["in_user_list"].GetItems("user_list_group"), ItemSet({Group("c")}));

        // A deleted group's row goes; a user taken off the list gets no membership back.
        Group("b").Remove();
        QCOMPARE(Rows(list), QStringList({"A", "a", "c+"}));
        User("ann").GetItems("in_user_list").Remove();
        Row(list, "a")->setCheckState(Qt::Checked);
        QCOMPARE(Row(list, "a")->checkState(), Qt::Unchecked);
        QCOMPARE(d->GetType("in_user_list")->GetItemCount(), size_t(0));
        QVERIFY(Group("a").IsDisconnectedFromAll());
        QVERIFY(!Group("b"));
        dialog->close();
        QTRY_VERIFY(!dialog);
    }

    void groupSettings()
    {
        for (const char* name : {"x", "y", "z"})
            d->GetType("user_list_group")->GetItem(name);
        auto* dialog = new UserGroupConfigDialog(userListForm);
        auto* list = dialog->findChild<QListWidget*>("groupList");
        auto* priority = dialog->findChild<QSpinBox*>("prioritySpinBox");
        auto* accept = dialog->findChild<QCheckBox*>("acceptUploadsCheckBox");
        QVERIFY(!priority->isEnabled());
        QCOMPARE(dialog->findChild<QGroupBox*>("groupBox")->title(), QString());

        list->setCurrentRow(0);
        priority->setValue(3);
        accept->setChecked(true);
        list->setCurrentRow(1);
        QCOMPARE(priority->value(), 0);
        priority->setValue(3);
        QCOMPARE(Group("x")["group_download_priority"], Group("y")["group_download_priority"]);
        priority->setValue(0);
        QVERIFY(!Group("y").IsConnected("group_download_priority"));
        QCOMPARE(Group("x")["group_download_priority"].AsInt(), 3);

        const QStringList before = DumpStore();
        for (int row : {0, 2, 1, 0})
            list->setCurrentRow(row);
        QCOMPARE(DumpStore(), before);
        QVERIFY(priority->isEnabled() && accept->isChecked());

        d->GetType("user_list_group")->GetItem("w");
        QCOMPARE(list->currentItem()->text(), QStringLiteral("x"));
        m_run->prompts.m_answers = {QMessageBox::No, QMessageBox::Yes};
        auto* remove = dialog->findChild<QPushButton*>("deleteButton");
        remove->click();
        QVERIFY(Group("x"));
        remove->click();
        QVERIFY(!Group("x"));
        QCOMPARE(m_run->prompts.m_asked.value(1),
                 qMakePair(QStringLiteral("Delete group?"),
                           QStringLiteral("Are you sure you want to delete this user group?")));
        QCOMPARE(Rows(list), QStringList({"w", "y", "z"}));
        dialog->close();
        QTRY_VERIFY(!userGroupConfigDialog);
    }

    void notes()
    {
        UserNoteDialog* editor = UserNoteDialog::GetDialog("ann");
        QCOMPARE(UserNoteDialog::GetDialog("ann"), editor);
        auto* text = editor->findChild<QPlainTextEdit*>("noteEdit");
        text->setPlainText("\n  <b>likes</b> jazz  \n\n");
        editor->findChild<QPushButton*>("saveButton")->click();
        QCOMPARE(User("ann")["user_note"].AsString(), QStringLiteral("<b>likes</b> jazz"));
        QTRY_VERIFY(!User("ann")["user_note_dialog"]);

        editor = UserNoteDialog::GetDialog("ann");
        QCOMPARE(editor->findChild<QPlainTextEdit*>("noteEdit")->toPlainText(), QStringLiteral("<b>likes</b> jazz"));
        editor->findChild<QPushButton*>("clearButton")->click();
        editor->close();
        QTRY_VERIFY(!User("ann")["user_note_dialog"]);
        QVERIFY(User("ann")["user_note"]);

        UserNoteDialog* bobs = UserNoteDialog::GetDialog("bob");
        bobs->findChild<QPlainTextEdit*>("noteEdit")->setPlainText("<b>likes</b> jazz");
        bobs->findChild<QPushButton*>("saveButton")->click();
        QCOMPARE(User("bob")["user_note"], User("ann")["user_note"]);
        editor = UserNoteDialog::GetDialog("ann");
        editor->findChild<QPlainTextEdit*>("noteEdit")->setPlainText("   ");
        editor->findChild<QPushButton*>("saveButton")->click();
        QVERIFY(!User("ann")["user_note"]);
        QCOMPARE(User("bob")["user_note"].AsString(), QStringLiteral("<b>likes</b> jazz"));
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        User("ann").NewItem("in_user_list");
        for (const char* name : {"Crew", "friends", "night shift"})
            d->GetType("user_list_group")->GetItem(name);
        User("ann")["in_user_list"] += d->GetType("user_list_group")->GetItem("friends");
        auto* groups = new UserGroupsDialog("ann");
        SAVE_SCREENSHOT(groups, "user_groups_dialog");
        groups->close();

        d->GetType("user_list_group")->GetItem("friends") += d->GetType("group_download_priority")->GetItem("3");
        auto* settings = new UserGroupConfigDialog(userListForm);
        settings->findChild<QListWidget*>("groupList")->setCurrentRow(1);
        SAVE_SCREENSHOT(settings, "user_group_settings_dialog");
        settings->close();

        UserNoteDialog* note = UserNoteDialog::GetDialog("ann");
        note->findChild<QPlainTextEdit*>("noteEdit")->setPlainText("Shares old maps.\nAsk about the 1930s atlas.");
        SAVE_SCREENSHOT(note, "user_note_dialog");
        note->close();
    }
};

QTEST_MAIN(TestUserDialogs)
#include "test_user_dialogs.moc"
