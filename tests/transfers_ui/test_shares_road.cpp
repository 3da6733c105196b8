#include "ActionSetToolBar.h"
#include "FocusHelpers.h"
#include "HarnessProcess.h"
#include "PeerMessenger.h"
#include "RawPeer.h"
#include "ShareForm.h"
#include "SharedFoldersManager.h"
#include "SharesForm.h"
#include "UploadForm.h"
#include "WindowFixture.h"

#include <QtTest>

// Two clients on the loopback test server: "tester" (this process, with its windows) browses
// "bob" (a second client process), downloads a folder with everything below it, and offers bob
// a file, which bob takes once tester is on his user list.
class TestSharesRoad : public QObject
{
    Q_OBJECT

    // On a loaded machine a first connection attempt can wait for its time-out.
    static constexpr int WaitMs = 90000;

    static void MakeFile(const QString& i_path, qint64 i_size)
    {
        QDir().mkpath(QFileInfo(i_path).path());
        QFile file(i_path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(i_size));
    }

private slots:
    void browseDownloadAndOffer()
    {
        QTemporaryDir files;
        const QString shared = files.filePath("Album");
        MakeFile(shared + "/a.bin", 1000);
        MakeFile(shared + "/Disc/b.bin", 2000);
        MakeFile(shared + "/Disc/Bonus/c.bin", 3000);
        MakeFile(files.filePath("Private/secret.bin"), 10);
        MakeFile(files.filePath("Mine/offer.bin"), 4000);

        WindowRun run;
        QVERIFY(run.Start({{"download_folder", files.filePath("Downloads")}}));
        HarnessProcess bob;
        QVERIFY(bob.Start({"full"}));
        QVERIFY(bob.LogIn("bob", run.server.Port(), FreePortPair(), {{"accept_userlist_uploads", "yes"}}));
        QVERIFY(run.server.WaitForFrames(2, 1, "bob"));
        bob.Send({"share", shared});
        QVERIFY(bob.Take("shared"));
        bob.Send({"share", files.filePath("Private"), "userlist"});
        QVERIFY(bob.Take("shared"));

        // Asked twice, one tab and one list; only what bob shares with everyone.
        QSignalSpy lists(peerMessenger, &PeerMessenger::UserShare);
        ShareForm* form = sharesForm->OpenShareBrowse("bob");
        QCOMPARE(sharesForm->OpenShareBrowse("bob"), form);
        QTRY_VERIFY_WITH_TIMEOUT(form->FolderTree()->topLevelItemCount() > 0, WaitMs);
        QVERIFY(bob.Sync());
        QTest::qWait(200);
        QCOMPARE(lists.size(), 1);
        QStringList rows;
        for (QTreeWidgetItemIterator it(form->FolderTree()); *it; ++it)
            rows << (*it)->text(0);
        QCOMPARE(rows, (QStringList{"Album", "Disc", "Bonus"}));

        emit form->FolderTree()->itemDoubleClicked(form->FolderTree()->topLevelItem(0), 0);
        const QString complete = files.filePath("Downloads/complete/");
        for (const auto& [path, size] : QList<QPair<QString, qint64>>{
                 {"Album/a.bin", 1000}, {"Album/Disc/b.bin", 2000}, {"Album/Disc/Bonus/c.bin", 3000}})
            QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(complete + path).size(), size, WaitMs);

        bob.Send({"listuser", "tester"});
        QVERIFY(bob.Sync());
        sharedFoldersManager->AddSharedFolder(files.filePath("Mine"))
            .Connect(d->GetType("shared_public")->GetGlobalNullItem());
        UploadForm* upload = sharesForm->OpenUploadBrowse("bob");
        upload->FolderTree()->setCurrentItem(upload->FolderTree()->topLevelItem(0));
        upload->FileList()->topLevelItem(0)->setSelected(true);
        FocusWidgetAndParents(upload->FileList());
        emit actionBar->ActionTriggered(upload->FileList(), "upload_share_file");
        const QString remote = QString(files.filePath("Mine/offer.bin")).replace('/', '\\');
        QStringList status;
        QVERIFY(QTest::qWaitFor(
            [&] {
                bob.Send({"status", "tester", remote});
                return bob.Take("status", &status) && status.value(0) == "complete";
            },
            WaitMs));
        QCOMPARE(QFileInfo(bob.Home() + "/Veltrane Downloads/complete/Mine/offer.bin").size(), qint64(4000));
    }
};

QTEST_MAIN(TestSharesRoad)
#include "test_shares_road.moc"
