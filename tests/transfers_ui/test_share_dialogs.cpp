#include "AddSharedFolderDialog.h"
#include "ExcludedExtensionsDialog.h"
#include "MenuProbe.h"
#include "Screenshot.h"
#include "SharedFilesRescannedDialog.h"
#include "SharedFoldersManager.h"
#include "TransferQueueManager.h"
#include "WindowFixture.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

// The shared-folder, exclusions and rescan report dialogs over the store of a running client.
class TestShareDialogs : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowRun> m_run;
    std::unique_ptr<QTemporaryDir> m_dir;

    static ItemPtr Group(const QString& i_name) { return d->GetType("user_list_group")->HasItem(i_name); }

    // "public", "userlist" and the linked groups' names, in that order.
    static QString Links(const ItemPtr& i_folder)
    {
        QStringList links;
        if (i_folder.IsConnected("shared_public"))
            links << "public";
        if (i_folder.IsConnected("shared_userlist"))
            links << "userlist";
        for (const ItemPtr& group : i_folder.GetItems("user_list_group").SortAlphabetic(true))
            links << group.AsString();
        return links.join(',');
    }
    // A shared folder with these links ("public", "userlist", group names).
    ItemPtr Folder(const QString& i_links)
    {
        ItemPtr folder = sharedFoldersManager->AddSharedFolder(m_dir->path());
        for (const QString& link : i_links.split(',', Qt::SkipEmptyParts))
        {
            if (link == "public")
                folder.NewItem("shared_public");
            else if (link == "userlist")
                folder.NewItem("shared_userlist");
            else
                folder.Connect(d->GetType("user_list_group")->GetItem(link));
        }
        return folder;
    }
    template<class T> static T* Child(QWidget* ip_dialog, const char* i_name)
    {
        return ip_dialog->findChild<T*>(QLatin1String(i_name));
    }
    // "everyone+ userlist+! groups! a+ b": + checked, ! disabled.
    static QString State(QWidget* ip_dialog)
    {
        auto mark = [](const char* i_name, QWidget* ip_widget, bool i_checked) {
            QString text = QLatin1String(i_name);
            if (i_checked)
                text += QLatin1Char('+');
            if (!ip_widget->isEnabled())
                text += QLatin1Char('!');
            return text;
        };
        auto* everyone = Child<QCheckBox>(ip_dialog, "everyoneCheckBox");
        auto* userList = Child<QCheckBox>(ip_dialog, "userListCheckBox");
        auto* groups = Child<QListWidget>(ip_dialog, "groupsListWidget");
        QStringList state{mark("everyone", everyone, everyone->isChecked()),
                          mark("userlist", userList, userList->isChecked()), mark("groups", groups, false)};
        for (int n = 0; n < groups->count(); ++n)
            state << groups->item(n)->text() + (groups->item(n)->checkState() == Qt::Checked ? "+" : "");
        return state.join(QLatin1Char(' '));
    }
    static void SetGroups(QWidget* ip_dialog, const QStringList& i_checked)
    {
        auto* groups = Child<QListWidget>(ip_dialog, "groupsListWidget");
        for (int n = 0; n < groups->count(); ++n)
            groups->item(n)->setCheckState(i_checked.contains(groups->item(n)->text()) ? Qt::Checked : Qt::Unchecked);
    }
    static void Press(QWidget* ip_dialog, QDialogButtonBox::StandardButton i_button)
    {
        Child<QDialogButtonBox>(ip_dialog, "buttonBox")->button(i_button)->click();
    }
    static QStringList Rows(QListWidget* ip_list)
    {
        QStringList rows;
        for (int n = 0; n < ip_list->count(); ++n)
            rows << ip_list->item(n)->text();
        return rows;
    }
    static QStringList Endings()
    {
        QStringList endings;
        for (const ItemPtr& item : d->GetType("excluded_download_extension")->GetItems())
            endings << item.AsString();
        endings.sort();
        return endings;
    }
private slots:
    void init()
    {
        m_run = std::make_unique<WindowRun>();
        QVERIFY(m_run->Start({}, false));
        m_dir = std::make_unique<QTemporaryDir>();
        for (const char* group : {"a", "b", "c"})
            d->GetType("user_list_group")->GetItem(group);
    }
    void cleanup()
    {
        m_run.reset();
        m_dir.reset();
    }

    // "links;toggles;state": the folder's links ("" for a new folder), the boxes then changed
    // (e: everyone, u: user list; + on, - off, ~ partly), and State() after.
    void boxes_show_the_links_and_follow_each_other_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::newRow("new") << ";;everyone+ userlist+! groups! a b c";
        QTest::newRow("public") << "public,b;;everyone+ userlist+! groups! a b+ c";
        QTest::newRow("user list") << "userlist;;everyone userlist+ groups! a b c";
        QTest::newRow("groups") << "a,c;;everyone userlist groups a+ b c+";
        QTest::newRow("everyone off") << ";e-;everyone userlist+ groups! a b c";
        QTest::newRow("both off") << ";e-,u-;everyone userlist groups a b c";
        QTest::newRow("partly changes nothing") << ";e-,u-,e~;everyone+ userlist groups a b c";
        QTest::newRow("everyone on") << "a,c;e+;everyone+ userlist+! groups! a+ b c+";
    }
    void boxes_show_the_links_and_follow_each_other()
    {
        QFETCH(QString, layout);
        const QStringList parts = layout.split(';');
        const QString links = parts[0];
        QPointer<AddSharedFolderDialog> dialog = new AddSharedFolderDialog(links.isEmpty() ? ItemPtr() : Folder(links));
        for (const QString& toggle : parts[1].split(',', Qt::SkipEmptyParts))
            Child<QCheckBox>(dialog, toggle[0] == 'e' ? "everyoneCheckBox" : "userListCheckBox")
                ->setCheckState(toggle[1] == '+'   ? Qt::Checked
                                : toggle[1] == '-' ? Qt::Unchecked
                                                   : Qt::PartiallyChecked);
        QCOMPARE(State(dialog), parts[2]);
        const bool editing = !links.isEmpty();
        QCOMPARE(Child<QPushButton>(dialog, "selectFolderButton")->isEnabled(), !editing);
        QCOMPARE(Child<QLineEdit>(dialog, "selectedFolderEdit")->text(), editing ? m_dir->path() : QString());
        dialog->close();
        QTRY_VERIFY(!dialog); // deleted on close
    }

    // "before;boxes;groups;deleted;after": the folder's links ("" for a new folder), the boxes
    // checked (e, u), the group rows checked, the groups deleted while the dialog is open, and
    // the links after OK.
    void ok_writes_the_links_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::newRow("new, defaults") << ";eu;;;public";
        QTest::newRow("new, user list") << ";u;;;userlist";
        QTest::newRow("new, two groups") << ";;a,c;;a,c";
        QTest::newRow("groups rewritten") << "public,userlist,b;;a,c;;a,c";
        QTest::newRow("public keeps groups") << "a,b;eu;;;public,a,b";
        QTest::newRow("user list keeps groups") << "public,a;u;;;userlist,a";
        QTest::newRow("deleted groups stay deleted") << "b;;a,b;a,c;b";
    }
    void ok_writes_the_links()
    {
        QFETCH(QString, layout);
        const QStringList parts = layout.split(';');
        AddSharedFolderDialog* dialog;
        if (parts[0].isEmpty())
        {
            dialog = new AddSharedFolderDialog(ItemPtr());
            m_run->prompts.m_folders << m_dir->path();
            Child<QPushButton>(dialog, "selectFolderButton")->click();
            QCOMPARE(m_run->prompts.m_asked.last().first, QString("Select Folder to Share"));
        }
        else
            dialog = new AddSharedFolderDialog(Folder(parts[0]));
        Child<QCheckBox>(dialog, "everyoneCheckBox")->setChecked(parts[1].contains('e'));
        Child<QCheckBox>(dialog, "userListCheckBox")->setChecked(parts[1].contains('u'));
        SetGroups(dialog, parts[2].split(','));
        const QStringList deleted = parts[3].split(',', Qt::SkipEmptyParts);
        for (const QString& group : deleted)
            Group(group).Remove();
        if (parts[0].isEmpty()) // nothing is shared before OK
            QVERIFY(!d->GetType("shared_folder")->HasItem(m_dir->path()));
        Press(dialog, QDialogButtonBox::Ok);
        const ItemPtr folder = d->GetType("shared_folder")->HasItem(m_dir->path());
        QVERIFY(folder);
        QCOMPARE(Links(folder), parts[4]);
        for (const QString& group : deleted)
            QVERIFY(!Group(group));
    }

    void ok_without_a_folder_or_after_cancel_stores_nothing()
    {
        QPointer<AddSharedFolderDialog> dialog = new AddSharedFolderDialog(ItemPtr());
        dialog->show();
        m_run->prompts.m_folders << m_dir->path() << QString();
        Child<QPushButton>(dialog, "selectFolderButton")->click();
        Child<QPushButton>(dialog, "selectFolderButton")->click(); // cancelled: the choice stays
        QCOMPARE(Child<QLineEdit>(dialog, "selectedFolderEdit")->text(), m_dir->path());
        Press(dialog, QDialogButtonBox::Cancel);
        QTRY_VERIFY(!dialog);
        dialog = new AddSharedFolderDialog(ItemPtr());
        dialog->show();
        Press(dialog, QDialogButtonBox::Ok);
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(d->GetType("shared_folder")->GetItemCount(), std::size_t(0));
        dialog->close();
    }

    void exclusions_are_stored_as_typed()
    {
        d->GetType("excluded_download_extension")->GetItem(".ini"); // the first start's default
        QCOMPARE(Endings(), QStringList{".ini"});
        ExcludedExtensionsDialog* dialog = ExcludedExtensionsDialog::Open(m_run->window.get());
        QCOMPARE(ExcludedExtensionsDialog::Open(m_run->window.get()), dialog);
        auto* list = Child<QListWidget>(dialog, "extensionListWidget");
        auto* edit = Child<QLineEdit>(dialog, "newExtensionEdit");
        for (const char* typed : {"  .mp4 ", ".mp4", "   ", "", "INI"})
        {
            edit->setText(typed);
            Child<QPushButton>(dialog, "newExtensionButton")->click();
            QCOMPARE(edit->text(), QString());
        }
        d->GetType("excluded_download_extension")->GetItem(".nfo"); // added by someone else
        QCOMPARE(Rows(list), (QStringList{".ini", ".mp4", ".nfo", "INI"}));
        QCOMPARE(Endings(), (QStringList{".ini", ".mp4", ".nfo", "INI"}));
        QVERIFY(transferQueueManager->HasExcludedDownloadExtension("setup.ini"));

        const QRect below = list->visualItemRect(list->item(list->count() - 1)).translated(0, 40);
        QCOMPARE(OpenMenu(list, below.center()), QStringList());
        list->item(0)->setSelected(true);
        QCOMPARE(OpenMenu(list, list->visualItemRect(list->item(0)).center(), "Remove"), QStringList{"Remove"});
        QCOMPARE(Rows(list), (QStringList{".mp4", ".nfo", "INI"}));
        QCOMPARE(Endings(), (QStringList{".mp4", ".nfo", "INI"}));
        QVERIFY(!transferQueueManager->HasExcludedDownloadExtension("setup.ini"));

        QPointer<ExcludedExtensionsDialog> closed = dialog;
        dialog->close();
        QTRY_VERIFY(!closed && !excludedExtensionsDialog);
        QVERIFY(ExcludedExtensionsDialog::Open(nullptr) != nullptr);
        QCOMPARE(Rows(Child<QListWidget>(excludedExtensionsDialog, "extensionListWidget")),
                 (QStringList{".mp4", ".nfo", "INI"}));
        excludedExtensionsDialog->close();
    }

    void rescan_report()
    {
        QPointer<SharedFilesRescannedDialog> report = SharedFilesRescannedDialog::ShowReport(nullptr, 3, 0);
        QCOMPARE(report->windowTitle(), QString("Shared Files Rescanned"));
        QCOMPARE(Child<QPlainTextEdit>(report, "plainTextEdit")->toPlainText(),
                 QString("3 files added.\n0 files removed."));
        QVERIFY(report->isVisible());
        Press(report, QDialogButtonBox::Ok);
        QTRY_VERIFY(!report);
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        for (const char* group : {"family", "friends", "work"})
            d->GetType("user_list_group")->GetItem(group);
        auto* share = new AddSharedFolderDialog(Folder("friends,c"));
        SAVE_SCREENSHOT(share, "add_shared_folder_dialog");
        share->close();
        for (const char* ending : {".ini", ".nfo", ".url"})
            d->GetType("excluded_download_extension")->GetItem(ending);
        SAVE_SCREENSHOT(ExcludedExtensionsDialog::Open(nullptr), "excluded_extensions_dialog");
        SAVE_SCREENSHOT(SharedFilesRescannedDialog::ShowReport(nullptr, 12, 3), "shared_files_rescanned_dialog");
    }
};

QTEST_MAIN(TestShareDialogs)
#include "test_share_dialogs.moc"
