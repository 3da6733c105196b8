#include "TransferDisplay.h"
#include "TransfersFixture.h"

#include <QCheckBox>
#include <QSpinBox>
#include <QtTest>

// The transfers tab's rows over the real engine: their shape and order, their removal, their
// statuses and colours, the group statuses and sums of folder and user rows, and the settings.
class TestTransfersForm : public QObject
{
    Q_OBJECT

    using F = TransfersForm;

    static QStringList Texts(QTreeWidgetItem* ip_row, int i_column)
    {
        QStringList texts;
        for (int n = 0; n < ip_row->childCount(); ++n)
            texts << ip_row->child(n)->text(i_column);
        return texts;
    }

    // The group statuses kept for every user and folder row agree with a walk over their entries.
    static void CheckGroupStatuses(TransfersFixture& io_f)
    {
        for (const char* type : {"download_list_user_node", "download_list_folder_node"})
            for (const ItemPtr& node : d->GetType(type)->GetItems())
            {
                auto* row = node.AsPointer<QTreeWidgetItem>();
                QCOMPARE(io_f.form->GetDownloadRowAggregateStatus(row),
                         io_f.form->GetDownloadEntriesAggregateStatus(io_f.form->GetNodeDownloadEntryItems(row)));
            }
    }

private slots:
    void rows_follow_the_download_order_once_loaded()
    {
        int rowsBeforeLoad = -1;
        TransfersFixture f([&](TransfersFixture& f) {
            const int orders[] = {30, 10, 20, 0};
            const char* users[] = {"alice", "bob", "alice", "alice"};
            const char* files[] = {"a.mp3", "b.mp3", "c.mp3", "d.mp3"};
            for (int n = 0; n < 4; ++n)
            {
                ItemPtr entry = f.Download(QLatin1String(users[n]), QStringLiteral("music\\rock"),
                                           QLatin1String(files[n]), 1234567);
                entry.Disconnect("download_order");
                if (orders[n])
                    entry.Connect(d->GetType("download_order")->GetItem(Value(orders[n])));
            }
            rowsBeforeLoad = f.downloads->topLevelItemCount();
        });
        QCOMPARE(rowsBeforeLoad, 0);
        QCOMPARE(f.downloads->topLevelItemCount(), 2);
        QTreeWidgetItem* bob = f.downloads->topLevelItem(0);
        QTreeWidgetItem* alice = f.downloads->topLevelItem(1);
        QCOMPARE(bob->text(F::UserColumn), QStringLiteral("bob"));
        QCOMPARE(alice->text(F::UserColumn), QStringLiteral("alice"));
        // One path of two users: a folder row each.
        QCOMPARE(Texts(bob, F::FolderColumn), QStringList{"rock/music"});
        QCOMPARE(Texts(alice, F::FolderColumn), QStringList{"rock/music"});
        QCOMPARE(Texts(alice->child(0), F::FileColumn), (QStringList{"c.mp3", "a.mp3"}));
        QCOMPARE(alice->child(0)->child(0)->text(F::SizeColumn), QStringLiteral("1,234,567"));
        QCOMPARE(f.Title(), QStringLiteral("Transfers [0/0]"));
    }

    void removal_takes_emptied_rows_and_updates_the_title_after()
    {
        TransfersFixture f;
        ItemPtr a = f.Download("alice", "music", "a");
        ItemPtr b = f.Download("alice", "music", "b");
        ItemPtr c = f.Download("carol", "films", "c");
        f.SetStatus(c, "downloading");
        QCOMPARE(f.Title(), QStringLiteral("Transfers [1/0]"));

        // A second firing of the same entry keeps its one row.
        a.Connect(d->GetType("file_name")->GetItem("a2"));
        QCOMPARE(f.downloads->topLevelItem(0)->child(0)->childCount(), 2);

        f.engine->RemoveDownload(a);
        QCOMPARE(f.downloads->topLevelItem(0)->child(0)->childCount(), 1);
        f.engine->RemoveDownload(b);
        QCOMPARE(f.downloads->topLevelItemCount(), 1);
        QCOMPARE(f.downloads->topLevelItem(0)->text(F::UserColumn), QStringLiteral("carol"));
        for (const char* type : {"download_list_user_node", "download_list_folder_node", "download_list_node"})
            QCOMPARE(d->GetType(type)->GetItemCount(), std::size_t(1));

        f.engine->RemoveDownload(c);
        QCOMPARE(f.downloads->topLevelItemCount(), 0);
        QCOMPARE(f.Title(), QStringLiteral("Transfers [1/0]"));
        QCoreApplication::processEvents();
        QCOMPARE(f.Title(), QStringLiteral("Transfers [0/0]"));
    }

    void a_status_shows_its_text_and_colour_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("colour");
        QTest::newRow("queued") << false << "queued"
                                << ""
                                << "queued"
                                << "queued";
        QTest::newRow("downloading") << false << "downloading"
                                     << ""
                                     << "downloading"
                                     << "in_progress";
        QTest::newRow("complete") << false << "complete"
                                  << ""
                                  << "complete"
                                  << "complete";
        QTest::newRow("aborted") << false << "aborted"
                                 << ""
                                 << "aborted"
                                 << "failed";
        QTest::newRow("local error") << false << "local error"
                                     << ""
                                     << "local error"
                                     << "failed";
        QTest::newRow("denied, reason") << false << "denied"
                                        << "File not shared."
                                        << "file not shared."
                                        << "failed";
        QTest::newRow("denied, none") << false << "denied"
                                      << ""
                                      << ""
                                      << "failed";
        QTest::newRow("requesting") << true << "requesting"
                                    << ""
                                    << "requesting"
                                    << "other";
        QTest::newRow("connecting") << true << "connecting"
                                    << ""
                                    << "connecting"
                                    << "in_progress";
        QTest::newRow("waiting") << true << "waiting for offset"
                                 << ""
                                 << "waiting for offset"
                                 << "other";
        QTest::newRow("uploading") << true << "uploading"
                                   << ""
                                   << "uploading"
                                   << "in_progress";
        QTest::newRow("upload complete") << true << "complete"
                                         << ""
                                         << "complete"
                                         << "complete";
    }

    void a_status_shows_its_text_and_colour()
    {
        QFETCH(bool, upload);
        QFETCH(QString, status);
        QFETCH(QString, reason);
        TransfersFixture f;
        ItemPtr entry = upload ? f.Upload("bob", "song.mp3") : f.Download("bob", "music", "song.mp3");
        QTreeWidgetItem* row = f.RowOf(entry);
        QVERIFY(row);
        // A status shows when it is linked, so the entry starts from another.
        f.SetStatus(entry, status == QLatin1String("aborted") ? "denied" : "aborted");
        if (!upload)
            entry.Connect(d->GetType("place_in_line")->GetItem("4"));
        QCOMPARE(row->text(F::PlaceColumn), upload ? QString() : QStringLiteral("4"));
        row->setText(F::ProgressColumn, QStringLiteral("kept until complete"));
        if (!reason.isEmpty())
            entry.Connect(d->GetType("denial_reason")->GetItem(reason));

        f.SetStatus(entry, status);
        QTEST(row->text(F::StatusColumn), "text");
        QTEST(f.ColorSettingOf(row), "colour");
        QCOMPARE(row->text(F::PlaceColumn), QString());
        QCOMPARE(row->text(F::ProgressColumn).isEmpty(), status == QLatin1String("complete"));
    }

    void group_rows_show_the_first_rule_that_holds_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("colour");
        QTest::newRow("one running") << false << QStringList{"complete", "queued", "downloading"} << "downloading"
                                     << "in_progress";
        QTest::newRow("one queued") << false << QStringList{"complete", "denied", "queued"} << "queued"
                                    << "queued";
        QTest::newRow("all complete") << false << QStringList{"complete", "complete"} << "complete"
                                      << "complete";
        QTest::newRow("denied before aborted") << false << QStringList{"aborted", "denied", "complete"} << "denied"
                                               << "failed";
        QTest::newRow("complete, aborted") << false << QStringList{"complete", "aborted"} << "aborted"
                                           << "failed";
        QTest::newRow("complete, local error") << false << QStringList{"complete", "local error"} << ""
                                               << "other";
        QTest::newRow("uploading") << true << QStringList{"queued", "uploading"} << "uploading"
                                   << "in_progress";
        QTest::newRow("steps before bytes") << true << QStringList{"requesting", "connecting"} << ""
                                            << "other";
    }

    void group_rows_show_the_first_rule_that_holds()
    {
        QFETCH(bool, upload);
        QFETCH(QStringList, statuses);
        QFETCH(QString, group);
        TransfersFixture f;
        QList<ItemPtr> entries;
        for (int n = 0; n < statuses.size(); ++n)
        {
            const QString name = QStringLiteral("f%1").arg(n);
            entries << (upload ? f.Upload("bob", name) : f.Download("bob", "music", name));
        }
        QTreeWidgetItem* folder = f.RowOf(entries.first())->parent();
        QTreeWidgetItem* user = folder->parent();
        folder->setExpanded(false);
        for (int n = 0; n < statuses.size(); ++n)
            f.SetStatus(entries.at(n), statuses.at(n));
        QCOMPARE(folder->text(F::StatusColumn), group);
        QTEST(f.ColorSettingOf(folder), "colour");
        // An open row keeps its text and still takes the group's colour.
        QCOMPARE(user->text(F::StatusColumn), QString());
        QCOMPARE(f.ColorSettingOf(user), f.ColorSettingOf(folder));
        if (!upload)
            CheckGroupStatuses(f);
    }

    void group_statuses_stay_right_through_changes_and_removals()
    {
        TransfersFixture f;
        QList<ItemPtr> entries;
        for (int n = 0; n < 12; ++n)
            entries << f.Download(QStringLiteral("user%1").arg(n % 2), QStringLiteral("folder%1").arg(n % 3),
                                  QStringLiteral("file%1").arg(n));
        QTreeWidgetItem* user = f.RowOf(entries.first())->parent()->parent();
        user->setExpanded(false);
        const char* statuses[] = {"downloading", "complete", "aborted", "denied", "local error", "queued"};
        for (int step = 0; step < 60; ++step)
        {
            ItemPtr entry = entries.at((step * 7) % entries.size());
            if (step % 9 == 8)
            {
                f.engine->RemoveDownload(entry);
                entries.removeOne(entry);
            }
            else
                f.SetStatus(entry, QLatin1String(statuses[(step * 5) % 6]));
            CheckGroupStatuses(f);
        }
        QCOMPARE(user->text(F::StatusColumn), f.form->GetDownloadRowAggregateStatus(user));
        QCOMPARE(f.form->GetDownloadEntriesAggregateStatus(ItemSet()), QStringLiteral("complete"));
    }

    void completion_is_signalled_also_for_complete_entries_at_start()
    {
        std::unique_ptr<QSignalSpy> spy;
        ItemPtr waiting;
        TransfersFixture f([&](TransfersFixture& f) {
            spy = std::make_unique<QSignalSpy>(f.form, &TransfersForm::DownloadComplete);
            f.SetStatus(f.Download("bob", "music", "done"), "complete");
            waiting = f.Download("bob", "music", "waiting");
        });
        QCOMPARE(spy->count(), 1);
        f.SetStatus(waiting, "complete");
        QCOMPARE(spy->count(), 2);
        QCOMPARE(spy->at(1).at(0).value<ItemPtr>(), waiting);
    }

    void new_colours_reach_every_row()
    {
        TransfersFixture f;
        ItemPtr download = f.Download("bob", "music", "a");
        ItemPtr upload = f.Upload("carol", "b");
        f.SetStatus(upload, "queued");
        SetSetting(QStringLiteral("color_transfer_queued"), QStringLiteral("#123456"));
        f.form->RecolorEntries();
        for (QTreeWidgetItem* row : {f.RowOf(download), f.RowOf(upload)})
            for (QTreeWidgetItem* each : {row, row->parent(), row->parent()->parent()})
                QCOMPARE(each->foreground(0).color().name(), QStringLiteral("#123456"));
    }

    void texts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("half") << ProgressText(1234567, 2469134) << "1,234,567 (50.0%)";
        QTest::newRow("nothing yet") << ProgressText(0, 1000) << " (0.0%)";
        QTest::newRow("rounded up") << ProgressText(9996, 10000) + QString::number(ProgressValue(9996, 10000))
                                    << "9,996 (100.0%)99";
        QTest::newRow("no bytes") << ProgressText(0, 0) + QString::number(ProgressValue(0, 0)) << " (100.0%)100";
        QTest::newRow("speed") << SpeedText(1536) + SpeedText(0) + SpeedText(10240) << "1.50.010.0";
        QTest::newRow("59 s") << TimeLeftText(59) << "   59s";
        QTest::newRow("60 s") << TimeLeftText(60) << "   1m:0s";
        QTest::newRow("3725 s") << TimeLeftText(3725) << "   1h:2m:5s";
        QTest::newRow("past a day") << TimeLeftText(90061) << "   25h:1m:1s";
        QTest::newRow("no speed") << TimeLeftText(SecondsLeft(1000, 0)) + TimeLeftText(SecondsLeft(1500000, 10240))
                                  << "   0s   2m:26s";
    }

    void texts()
    {
        QFETCH(QString, text);
        QTEST(text, "expected");
    }

    void progress_fills_the_deepest_open_row_and_the_sums_above()
    {
        TransfersFixture f;
        ItemPtr done = f.Download("bob", "music", "done", 100);
        ItemPtr waiting = f.Download("bob", "music", "waiting", 300);
        ItemPtr running = f.Download("bob", "music", "running", 600);
        f.SetStatus(done, "complete");
        f.SetStatus(running, "downloading");
        QTreeWidgetItem* file = f.RowOf(running);
        QTreeWidgetItem* folder = file->parent();
        QTreeWidgetItem* user = folder->parent();

        f.Report(running, 0, 100);
        QCOMPARE(f.Bar(file), QStringLiteral(" (0.0%)|0"));
        QCOMPARE(file->text(F::TimeLeftColumn), QStringLiteral("   6s"));
        QCOMPARE(file->text(F::SpeedColumn), QStringLiteral("0.1"));
        QCOMPARE(f.Bar(folder), QStringLiteral("100 (10.0%)|10"));
        QCOMPARE(folder->text(F::TimeLeftColumn), QStringLiteral("   9s"));
        // An open user row over one folder would repeat it.
        QCOMPARE(f.Bar(user), QString());

        folder->setExpanded(false);
        f.Report(running, 300, 1024);
        QCOMPARE(folder->text(F::SpeedColumn), QStringLiteral("1.0"));
        QCOMPARE(f.Bar(folder), QStringLiteral("400 (40.0%)|40"));
        user->setExpanded(false);
        f.Report(running, 600, 2048);
        QCOMPARE(user->text(F::SpeedColumn), QStringLiteral("2.0"));
        QCOMPARE(f.Bar(user), QStringLiteral("700 (70.0%)|70"));
        QCOMPARE(user->text(F::TimeLeftColumn), QStringLiteral("   0s"));

        ItemPtr empty = f.Download("bob", "other", "empty", 0);
        f.SetStatus(empty, "downloading");
        f.Report(empty, 0, 0);
        QCOMPARE(f.Bar(f.RowOf(empty)), QStringLiteral(" (100.0%)|100"));
        QCOMPARE(f.RowOf(empty)->text(F::TimeLeftColumn), QStringLiteral("   0s"));
    }

    void uploads_before_their_bytes_add_nothing()
    {
        TransfersFixture f;
        ItemPtr running = f.Upload("carol", "a", 1000);
        ItemPtr requesting = f.Upload("carol", "b", 5000);
        f.SetStatus(running, "uploading");
        f.SetStatus(requesting, "requesting");
        f.Report(running, 500, 1024);
        QCOMPARE(f.Bar(f.RowOf(running)->parent()), QStringLiteral("500 (50.0%)|50"));
    }

    void settings_fill_the_boxes_without_being_written_back()
    {
        const QString dataFile = QDir::home().filePath(QStringLiteral(".transfers-settings"));
        {
            TransfersFixture f([](TransfersFixture&) {
                SetSetting(QStringLiteral("upload_slots"), QStringLiteral("3"));
                SetSetting(QStringLiteral("upload_speed_limit"), QStringLiteral("250"));
                SetSetting(QStringLiteral("upload_speed_limit_enabled"), QStringLiteral("yes"));
                SetSetting(QStringLiteral("clear_complete_downloads"), QStringLiteral("yes"));
            });
            QCOMPARE(f.form->findChild<QSpinBox*>(QStringLiteral("uploadSlotsSpinBox"))->value(), 3);
            QCOMPARE(f.form->findChild<QSpinBox*>(QStringLiteral("uploadLimitSpinBox"))->value(), 250);
            QVERIFY(f.form->findChild<QCheckBox*>(QStringLiteral("uploadLimitCheckBox"))->isChecked());
            QCOMPARE(GetSetting(QStringLiteral("upload_slots")), QStringLiteral("3"));
            auto* clearDownloads = f.form->findChild<QCheckBox*>(QStringLiteral("clearDownloadsCheckBox"));
            auto* clearUploads = f.form->findChild<QCheckBox*>(QStringLiteral("clearUploadsCheckBox"));
            QVERIFY(clearDownloads->isChecked());
            QVERIFY(!clearUploads->isChecked());
            QVERIFY(!HasSetting(QStringLiteral("clear_complete_aborted_uploads")));

            clearDownloads->setChecked(false);
            QVERIFY(!HasSetting(QStringLiteral("clear_complete_downloads")));
            clearUploads->setChecked(true);
            QCOMPARE(GetSetting(QStringLiteral("clear_complete_aborted_uploads")), QStringLiteral("yes"));
            QVERIFY(dataSaver->SaveFile(dataFile));
        }
        TransfersFixture restarted({}, dataFile);
        QVERIFY(!restarted.form->findChild<QCheckBox*>(QStringLiteral("clearDownloadsCheckBox"))->isChecked());
        QVERIFY(restarted.form->findChild<QCheckBox*>(QStringLiteral("clearUploadsCheckBox"))->isChecked());
    }
};

QTEST_MAIN(TestTransfersForm)
#include "test_transfers_form.moc"
