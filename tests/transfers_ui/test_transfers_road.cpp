#include "HarnessProcess.h"
#include "RawPeer.h"
#include "TestServer.h"
#include "TextUtils.h"
#include "TransfersFixture.h"

#include <QtTest>

// The transfers tab of a client in this process while real files move between it and a second
// client process over the loopback test server: a download from bob and an upload to bob, both
// slowed by the uploader's speed limit, show their progress on the way and end complete.
class TestTransfersRoad : public QObject
{
    Q_OBJECT

    static constexpr qint64 FileSize = 3 * 1024 * 1024;
    static constexpr int StartMs = 30000;

    // Waits until the row's status is "complete", noting every bar value seen on the way.
    static QSet<int> BarValuesUntilComplete(QTreeWidgetItem* ip_row)
    {
        QSet<int> seen;
        QElapsedTimer timer;
        timer.start();
        while (ip_row->text(TransfersForm::StatusColumn) != QLatin1String("complete") && timer.elapsed() < StartMs)
        {
            const QString bar = TransfersFixture::Bar(ip_row);
            if (!bar.isEmpty())
                seen << bar.section(QLatin1Char('|'), 1).toInt();
            QTest::qWait(5);
        }
        return seen;
    }

    static bool SomeBetween(const QSet<int>& i_values, int i_low, int i_high)
    {
        for (int value : i_values)
            if (value > i_low && value < i_high)
                return true;
        return false;
    }

private slots:
    void files_move_both_ways_with_their_progress_shown()
    {
        TestServer server;
        QVERIFY(server.Listen());
        QTemporaryDir bobFiles;
        QFile shared(bobFiles.filePath(QStringLiteral("bigfile.bin")));
        QVERIFY(shared.open(QIODevice::WriteOnly) && shared.resize(FileSize));
        shared.close();

        HarnessProcess bob;
        QVERIFY(bob.Start({"full"}));
        QVERIFY(bob.LogIn(QStringLiteral("bob"), server.Port(), FreePortPair(),
                          {{"upload_speed_limit", "1024"}, {"upload_speed_limit_enabled", "yes"}}));
        // Both listening ports known to the server before either asks for the other's address.
        QVERIFY(server.WaitForFrames(2, 1, QStringLiteral("bob")));
        bob.Send({"share", bobFiles.path()});
        QVERIFY(bob.Take("shared"));
        bob.Send({"limit"});

        const quint16 port = FreePortPair();
        TransfersFixture f(
            [&](TransfersFixture&) {
                SetSetting(QStringLiteral("username"), QStringLiteral("alice"));
                SetSetting(QStringLiteral("password"), QStringLiteral("secret"));
                SetSetting(QStringLiteral("server_host"), QStringLiteral("127.0.0.1"));
                SetSetting(QStringLiteral("server_port"), QString::number(server.Port()));
                SetSetting(QStringLiteral("new_listening_port"), QString::number(port));
                SetSetting(QStringLiteral("upload_speed_limit"), QStringLiteral("1024"));
                SetSetting(QStringLiteral("upload_speed_limit_enabled"), QStringLiteral("yes"));
            },
            QString(), false);
        f.engine->SetOutbox(nullptr); // the real network from here on
        QSignalSpy connected(gp_server, &Server::Connected);
        gp_server->Connect();
        QVERIFY(connected.wait(10000));
        QVERIFY(server.WaitForFrames(2, 1, QStringLiteral("alice")));

        ItemPtr download = f.Download(QStringLiteral("bob"), QueueFixture::Remote(bobFiles.path()),
                                      QStringLiteral("bigfile.bin"), FileSize);
        QTreeWidgetItem* downloadRow = f.RowOf(download);
        QVERIFY(downloadRow);
        QTRY_COMPARE_WITH_TIMEOUT(downloadRow->text(TransfersForm::StatusColumn), QStringLiteral("downloading"),
                                  StartMs);
        QCOMPARE(f.Title(), QStringLiteral("Transfers [1/0]"));
        QVERIFY(SomeBetween(BarValuesUntilComplete(downloadRow), 0, 100));
        QCOMPARE(downloadRow->text(TransfersForm::StatusColumn), QStringLiteral("complete"));
        QCOMPARE(f.ColorSettingOf(downloadRow), QStringLiteral("complete"));
        QCOMPARE(downloadRow->parent()->parent()->text(TransfersForm::UserColumn), QStringLiteral("bob"));

        const QString path = f.ShareFiles({QStringLiteral("upload.bin")}, FileSize).first();
        bob.Send({"adddownload", "alice", QueueFixture::Remote(path), QString::number(FileSize)});
        QTRY_VERIFY_WITH_TIMEOUT(f.uploads->topLevelItemCount() == 1, StartMs);
        QTreeWidgetItem* uploadRow = f.uploads->topLevelItem(0)->child(0)->child(0);
        QCOMPARE(uploadRow->text(TransfersForm::FileColumn), QStringLiteral("upload.bin"));
        QVERIFY(SomeBetween(BarValuesUntilComplete(uploadRow), 0, 100));
        QCOMPARE(uploadRow->parent()->text(TransfersForm::FolderColumn), ReversePathname(QFileInfo(path).path()));
        QTRY_COMPARE(f.Title(), QStringLiteral("Transfers [0/0]"));
    }
};

QTEST_MAIN(TestTransfersRoad)
#include "test_transfers_road.moc"
