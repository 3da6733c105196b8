#include "DownloadMenuOptions.h"
#include "DownloadPaths.h"
#include "FocusHelpers.h"
#include "MenuProbe.h"
#include "SearchForm.h"
#include "ServerCodes.h"
#include "SharedFoldersManager.h"
#include "TransferQueueManager.h"
#include "TransfersForm.h"
#include "WindowFixture.h"
#include "Wire.h"
#include "ui_SearchForm.h"

#include <QDir>
#include <QMenu>
#include <QTabWidget>
#include <QTreeWidget>
#include <QtTest>

// The transfers tab's context menus and completion notices in a whole running client logged in
// to the loopback server: retrying and cancelling a download from its row, the notices a
// finished file, folder or user posts, and running a download's search again.
class TestTransferMenus : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowRun> m_run;

    static QTreeWidget* Tree(const char* i_name) { return transfersForm->findChild<QTreeWidget*>(i_name); }
    static ItemPtr Download(const char* i_folder, const char* i_file, const char* i_status = "queued")
    {
        ItemPtr entry = transferQueueManager->AddDownload("bob", i_file, i_folder, 1000, 0);
        transferQueueManager->SetDownloadEntryStatus(entry, QLatin1String(i_status));
        return entry;
    }
    static QTreeWidgetItem* RowOf(const ItemPtr& i_entry)
    {
        return i_entry["download_list_node"].AsPointer<QTreeWidgetItem>();
    }
    static QString Status(const ItemPtr& i_entry) { return i_entry["download_entry_status"].AsString(); }
    static QImage Image(const QIcon& i_icon) { return i_icon.pixmap(16).toImage(); }
    static QTreeWidgetItem* UserRowOf(const ItemPtr& i_entry) { return RowOf(i_entry)->parent()->parent(); }
    // Shows the transfers tab, or another one so that notices are posted.
    static void ShowTransfers(bool i_shown)
    {
        int index = 0;
        QTabWidget* tabs = GetWidgetTabWidget(transfersForm, index);
        tabs->setCurrentIndex(i_shown ? index : (index + 1) % tabs->count());
    }
    static QStringList MenuOn(QTreeWidgetItem* ip_row, const QString& i_choose = QString())
    {
        QTreeWidget* tree = ip_row->treeWidget();
        return OpenMenu(tree, tree->visualItemRect(ip_row).center(), i_choose);
    }

private slots:
    void init()
    {
        m_run = std::make_unique<WindowRun>();
        QVERIFY(m_run->Start());
    }
    void cleanup() { m_run.reset(); }

    void a_download_is_retried_and_cancelled_from_its_row()
    {
        ShowTransfers(true);
        const ItemPtr failed = Download("music", "a.mp3", "aborted");
        const ItemPtr done = Download("music", "b.mp3", "complete");
        const ItemPtr running = Download("music", "c.mp3", "downloading");
        const QStringList menu = MenuOn(RowOf(failed), "Retry download");
        QCOMPARE(menu.mid(0, 7), (QStringList{"Open Folder", "Retry download", "-", "Remove download",
                                              "Notify me when...[File download completes|Folder download completes]",
                                              "-", "Message user"}));
        QCOMPARE(Status(failed), QString("queued"));

        transferQueueManager->SetDownloadEntryStatus(failed, "aborted");
        MenuOn(RowOf(failed)->parent(), "Retry downloads");
        QCOMPARE(Status(failed) + Status(done) + Status(running), QString("queuedcompletedownloading"));

        QTreeWidgetItem* folder = RowOf(failed)->parent();
        MenuOn(RowOf(failed), "Remove download");
        QVERIFY(!failed && done);
        QCOMPARE(folder->childCount(), 2);

        // Beside the rows, nothing; an upload's row offers only the actions on its user.
        QCOMPARE(OpenMenu(Tree("downloadsList"), QPoint(5, Tree("downloadsList")->viewport()->height() - 5)),
                 QStringList());
        QTemporaryDir shared;
        QFile file(shared.filePath("song.ogg"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(10));
        file.close();
        sharedFoldersManager->AddSharedFolder(shared.path()).NewItem("shared_public");
        transferQueueManager->OnQueueUploadRequested("carol", QString(shared.filePath("song.ogg")).replace('/', '\\'));
        QTreeWidget* uploads = Tree("uploadsList");
        uploads->window()->activateWindow();
        FocusWidgetAndParents(uploads);
        QTRY_COMPARE(uploads->topLevelItemCount(), 1);
        QCOMPARE(MenuOn(uploads->topLevelItem(0)->child(0)->child(0)).first(), QString("Message user"));
    }

    void finished_downloads_post_the_notices_asked_for()
    {
        ShowTransfers(false);
        const ItemPtr a = Download("share\\music", "a.mp3");
        const ItemPtr b = Download("share\\music", "b.mp3");
        const ItemPtr c = Download("films", "c.avi");
        // Another user's download in a folder of the same path holds back no notice of bob's.
        transferQueueManager->AddDownload("carol", "d.mp3", "share\\music", 1000, 0);
        d->GetType("user")->GetItem(Value("bob")) += d->GetType("is_online")->GetGlobalNullItem();
        QMenu menu;
        DownloadMenuOptions fileAndFolder(&menu, ItemSet{b});
        fileAndFolder.OnSetFileDownloadAlert();
        fileAndFolder.OnSetFolderDownloadAlert();
        fileAndFolder.OnSetUserDownloadAlert();
        QVERIFY(!RowOf(b)->icon(TransfersForm::FileColumn).isNull());

        transferQueueManager->SetDownloadEntryStatus(a, "complete");
        QCoreApplication::processEvents(); // b is still to come: no notice
        transferQueueManager->SetDownloadEntryStatus(b, "complete");
        QTRY_COMPARE(m_run->calls.alerts,
                     (QStringList{"Download of file b.mp3 complete", "Download of folder music complete"}));
        QCOMPARE(EventTexts(), (QStringList{"b.mp3", "music"}));
        QVERIFY(RowOf(b)->icon(TransfersForm::FileColumn).isNull());
        QVERIFY(RowOf(b)->parent()->icon(TransfersForm::FolderColumn).isNull());
        QVERIFY(!RowOf(b)->parent()->parent()->icon(TransfersForm::UserColumn).isNull());
        QCOMPARE(d->GetType("complete_download_alert")->GetItemCount(), std::size_t(1));

        transferQueueManager->SetDownloadEntryStatus(c, "complete");
        QTRY_COMPARE(m_run->calls.alerts.size(), 3);
        QCOMPARE(m_run->calls.alerts.last(), QString("All download from user bob complete"));
        // The alert's icon gives the cell back to the user's status.
        QCOMPARE(Image(UserRowOf(c)->icon(TransfersForm::UserColumn)), Image(QIcon(":/icons/online_icon")));
        QCOMPARE(d->GetType("complete_download_alert")->GetItemCount(), std::size_t(0));

        // With clearing on, the notice first, then the row goes; a download removed before its
        // notice was due posts none.
        SetSetting("clear_complete_downloads", "yes");
        const ItemPtr cleared = Download("docs", "d.txt");
        const ItemPtr removed = Download("docs", "e.txt");
        for (const ItemPtr& entry : {cleared, removed})
        {
            QMenu entryMenu;
            DownloadMenuOptions(&entryMenu, ItemSet{entry}).OnSetFileDownloadAlert();
            transferQueueManager->SetDownloadEntryStatus(entry, "complete");
        }
        transferQueueManager->RemoveDownload(removed);
        QTRY_VERIFY(!cleared);
        QCOMPARE(m_run->calls.alerts.mid(3), QStringList{"Download of file d.txt complete"});
    }

    // An alert goes with the last download it watches: a download queued later into the same
    // folder, or from the same user, raises none of it.
    void alerts_end_with_the_last_download_they_watch()
    {
        ShowTransfers(false);
        const ItemPtr first = Download("share\\music", "a.mp3");
        const ItemPtr film = Download("films", "c.avi");
        {
            QMenu menu;
            DownloadMenuOptions options(&menu, ItemSet{first});
            options.OnSetFileDownloadAlert();
            options.OnSetFolderDownloadAlert();
            options.OnSetUserDownloadAlert();
        }
        QVERIFY(!Image(UserRowOf(film)->icon(TransfersForm::UserColumn)).isNull());
        transferQueueManager->RemoveDownload(first);
        QCOMPARE(d->GetType("complete_download_alert")->GetItemCount(), std::size_t(1)); // the user's

        // A notice of its own on each later file tells when its completion has been handled.
        const auto complete = [](const ItemPtr& i_entry) {
            QMenu menu;
            DownloadMenuOptions(&menu, ItemSet{i_entry}).OnSetFileDownloadAlert();
            transferQueueManager->SetDownloadEntryStatus(i_entry, "complete");
        };
        const ItemPtr second = Download("share\\music", "b.mp3");
        complete(second);
        QTRY_COMPARE(m_run->calls.alerts.size(), 1);
        transferQueueManager->RemoveDownload(film);
        transferQueueManager->RemoveDownload(second);
        QCOMPARE(d->GetType("complete_download_alert")->GetItemCount(), std::size_t(0));
        complete(Download("docs", "e.txt"));
        QTRY_COMPARE(m_run->calls.alerts.size(), 2);
        QTest::qWait(50);
        QCOMPARE(m_run->calls.alerts,
                 (QStringList{"Download of file b.mp3 complete", "Download of file e.txt complete"}));
    }

    // Where the desktop opens no folder, the user learns which one.
    void a_folder_the_desktop_cannot_open_is_named()
    {
        ShowTransfers(true);
        const ItemPtr done = Download("music", "b.mp3", "complete");
        MenuOn(RowOf(done), "Open Folder");
        const QString folder = QDir::toNativeSeparators(
            DownloadPaths::LocalPath(transferQueueManager->GetDownloadTargetFolder(done, true)));
        QCOMPARE(m_run->prompts.m_informed,
                 (QList<QPair<QString, QString>>{{"Cannot open", "The desktop could not open:\n" + folder}}));
    }

    void a_downloads_search_runs_again()
    {
        ShowTransfers(true);
        ItemPtr entry = Download("music", "a.mp3");
        entry.Connect(d->GetType("search_request_text")->GetItem("abc"));
        const int tabs = searchForm->Form()->searchTabControl->count();
        QCOMPARE(MenuOn(RowOf(entry), "Re-run Search: abc").filter("Re-run"), QStringList{"Re-run Search: abc"});
        QVERIFY(m_run->server.WaitForFrames(SM_FILE_SEARCH, 1, "tester"));
        WireReader reader(m_run->server.FramesWithCode(SM_FILE_SEARCH, "tester").first().m_body);
        const quint32 token = reader.U32();
        QCOMPARE(reader.Str(), QString("abc"));
        QCOMPARE(searchForm->Form()->searchTabControl->count(), tabs + 1);
        QCOMPARE(d->GetType("search_results_widget")
                     ->HasItem(Value(searchForm->Form()->searchTabControl->widget(0)))["search_request"]
                     .AsUInt(),
                 token);
    }

    // Offline, the search is not sent into a tab that would stay empty: the user is told, over
    // the main window.
    void a_downloads_search_waits_for_the_connection()
    {
        ShowTransfers(true);
        ItemPtr entry = Download("music", "a.mp3");
        entry.Connect(d->GetType("search_request_text")->GetItem("abc"));
        const int tabs = searchForm->Form()->searchTabControl->count();
        gp_server->Disconnect();
        MenuOn(RowOf(entry), "Re-run Search: abc");
        QCOMPARE(m_run->prompts.m_informed,
                 (QList<QPair<QString, QString>>{{"Not connected", "You must be connected to search."}}));
        QVERIFY(m_run->prompts.AllOver(m_run->window.get()));
        QCOMPARE(searchForm->Form()->searchTabControl->count(), tabs);
        QCOMPARE(m_run->server.FramesWithCode(SM_FILE_SEARCH, "tester").size(), 0);
    }
};

QTEST_MAIN(TestTransferMenus)
#include "test_transfer_menus.moc"
