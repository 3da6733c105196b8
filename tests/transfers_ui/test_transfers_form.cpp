#include "Screenshot.h"
#include "TextUtils.h"
#include "TransferDisplay.h"
#include "TransfersFixture.h"

#include <QCheckBox>
#include <QScrollBar>
#include <QSpinBox>
#include <QToolButton>
#include <QtTest>

// The transfers tab's rows over the real engine: their shape and order, their removal, their
// statuses and colours, the group statuses and sums of folder and user rows, and the settings.
class TestTransfersForm : public QObject
{
    Q_OBJECT

    using F = TransfersForm;

    // "user/folder/file size" for every file row, in tree order.
    static QStringList Shape(QTreeWidget* ip_tree)
    {
        QStringList shape;
        for (QTreeWidgetItemIterator it(ip_tree); *it; ++it)
            if ((*it)->parent() && (*it)->parent()->parent())
                shape << QStringLiteral("%1/%2/%3 %4")
                             .arg((*it)->parent()->parent()->text(F::UserColumn),
                                  (*it)->parent()->text(F::FolderColumn), (*it)->text(F::FileColumn),
                                  (*it)->text(F::SizeColumn));
        return shape;
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

    template<class T> static T* Widget(TransfersFixture& i_f, const char* i_name)
    {
        return i_f.form->findChild<T*>(QLatin1String(i_name));
    }

    // The texts of the tool bar's action buttons.
    static QStringList BarTexts()
    {
        QStringList texts;
        for (QAction* action : actionBar->actions())
            if (qobject_cast<QToolButton*>(actionBar->widgetForAction(action)) && !action->text().isEmpty())
                texts << action->text();
        return texts;
    }

private slots:
    void rows_follow_the_download_order_once_loaded()
    {
        int rowsBeforeLoad = -1;
        TransfersFixture f([&](TransfersFixture& f) {
            const QList<QPair<QString, int>> entries{{"alice", 30}, {"bob", 10}, {"alice", 20}, {"alice", 0}};
            for (int n = 0; n < entries.size(); ++n)
            {
                ItemPtr entry = f.Download(entries[n].first, "music\\rock", QStringLiteral("%1.mp3").arg(n), 1234567);
                entry.Disconnect("download_order");
                if (entries[n].second) // without an order an entry gets no row
                    entry.Connect(d->GetType("download_order")->GetItem(Value(entries[n].second)));
            }
            rowsBeforeLoad = f.downloads->topLevelItemCount();
        });
        QCOMPARE(rowsBeforeLoad, 0);
        // One path of two users gives a folder row each.
        QCOMPARE(Shape(f.downloads), (QStringList{"bob/rock/music/1.mp3 1,234,567", "alice/rock/music/2.mp3 1,234,567",
                                                  "alice/rock/music/0.mp3 1,234,567"}));
        QCOMPARE(f.downloads->topLevelItemCount(), 2);
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
        f.engine->RemoveDownload(a);
        QCOMPARE(Shape(f.downloads), (QStringList{"alice/music/b 1,000", "carol/films/c 1,000"}));
        f.engine->RemoveDownload(b);
        QCOMPARE(Shape(f.downloads), QStringList{"carol/films/c 1,000"});
        for (const char* type : {"download_list_user_node", "download_list_folder_node", "download_list_node"})
            QCOMPARE(d->GetType(type)->GetItemCount(), std::size_t(1));
        f.engine->RemoveDownload(c);
        QCOMPARE(f.downloads->topLevelItemCount(), 0);
        QCOMPARE(f.Title(), QStringLiteral("Transfers [1/0]"));
        QCoreApplication::processEvents();
        QCOMPARE(f.Title(), QStringLiteral("Transfers [0/0]"));
    }

    // A user's rows in both trees show whether the user is online; users without rows change nothing.
    void user_rows_follow_the_online_state()
    {
        Q_INIT_RESOURCE(resources);
        TransfersFixture f;
        const QImage online = QIcon(QStringLiteral(":/icons/online_icon")).pixmap(16).toImage();
        QVERIFY(online != QIcon(QStringLiteral(":/icons/offline_icon")).pixmap(16).toImage());
        f.SetOnline(QStringLiteral("carol"), true);
        QList<QTreeWidgetItem*> users;
        for (const ItemPtr& entry :
             {f.Download("bob", "music", "a"), f.Upload("bob", "b"), f.Download("carol", "c", "c")})
            users << f.RowOf(entry)->parent()->parent();
        const auto shown = [&users, &online] {
            QString marks;
            for (QTreeWidgetItem* row : users)
                marks += row->icon(F::UserColumn).pixmap(16).toImage() == online ? '+' : '-';
            return marks;
        };
        QCOMPARE(shown(), QStringLiteral("--+"));
        f.SetOnline(QStringLiteral("bob"), true);
        f.SetOnline(QStringLiteral("carol"), false);
        f.SetOnline(QStringLiteral("dave"), true);
        QCOMPARE(shown(), QStringLiteral("++-"));
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
        QTest::newRow("running") << false << QStringList{"complete", "queued", "downloading"} << "downloading"
                                 << "in_progress";
        QTest::newRow("queued") << false << QStringList{"complete", "denied", "queued"} << "queued"
                                << "queued";
        QTest::newRow("complete") << false << QStringList{"complete", "complete"} << "complete"
                                  << "complete";
        QTest::newRow("denied") << false << QStringList{"aborted", "denied", "complete"} << "denied"
                                << "failed";
        QTest::newRow("aborted") << false << QStringList{"complete", "aborted"} << "aborted"
                                 << "failed";
        QTest::newRow("local error") << false << QStringList{"complete", "local error"} << ""
                                     << "other";
        QTest::newRow("uploading") << true << QStringList{"queued", "uploading"} << "uploading"
                                   << "in_progress";
        QTest::newRow("before bytes") << true << QStringList{"requesting", "connecting"} << ""
                                      << "other";
    }

    void group_rows_show_the_first_rule_that_holds()
    {
        QFETCH(bool, upload);
        QFETCH(QStringList, statuses);
        TransfersFixture f;
        QList<ItemPtr> entries;
        for (int n = 0; n < statuses.size(); ++n)
            entries << (upload ? f.Upload("bob", QString::number(n)) : f.Download("bob", "music", QString::number(n)));
        QTreeWidgetItem* folder = f.RowOf(entries.first())->parent();
        folder->setExpanded(false);
        for (int n = 0; n < statuses.size(); ++n)
            f.SetStatus(entries.at(n), statuses.at(n));
        QTEST(folder->text(F::StatusColumn), "group");
        QTEST(f.ColorSettingOf(folder), "colour");
        // An open row keeps its text and still takes the group's colour.
        QCOMPARE(folder->parent()->text(F::StatusColumn), QString());
        QTEST(f.ColorSettingOf(folder->parent()), "colour");
    }

    void group_statuses_stay_right_through_changes_and_removals()
    {
        TransfersFixture f;
        QList<ItemPtr> entries;
        for (int n = 0; n < 12; ++n)
            entries << f.Download(QStringLiteral("user%1").arg(n % 2), QStringLiteral("folder%1").arg(n % 3),
                                  QString::number(n));
        QTreeWidgetItem* user = f.RowOf(entries.first())->parent()->parent();
        user->setExpanded(false);
        const char* statuses[] = {"downloading", "complete", "aborted", "denied", "local error", "queued"};
        for (int step = 0; step < 60; ++step)
        {
            ItemPtr entry = entries.at((step * 7) % entries.size());
            if (step % 9 == 8)
                f.engine->RemoveDownload(entries.takeAt(entries.indexOf(entry)));
            else
                f.SetStatus(entry, QLatin1String(statuses[(step * 5) % 6]));
            CheckGroupStatuses(f);
            if (QTest::currentTestFailed())
                return;
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

    void each_tree_shows_its_tool_bar_set()
    {
        TransfersFixture f;
        f.tabs.setCurrentIndex(1);
        f.tabs.show();
        QVERIFY(QTest::qWaitForWindowActive(&f.tabs));
        f.downloads->setFocus();
        QCOMPARE(BarTexts(),
                 (QStringList{"Expand Folders [on]", "Expand Users [on]", "Clear Complete", "Completed Downloads"}));
        f.form->findChild<QTabWidget*>(QStringLiteral("transfersTabControl"))->setCurrentIndex(1);
        f.uploads->setFocus();
        QCOMPARE(BarTexts(), (QStringList{"Expand Folders [on]", "Expand Users [on]", "Clear Complete and Aborted"}));
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

    void texts()
    {
        QCOMPARE(ProgressText(1234567, 2469134), QStringLiteral("1,234,567 (50.0%)"));
        QCOMPARE(ProgressText(0, 1000), QStringLiteral(" (0.0%)"));
        QCOMPARE(ProgressText(9996, 10000) + QString::number(ProgressValue(9996, 10000)),
                 QStringLiteral("9,996 (100.0%)99"));
        QCOMPARE(ProgressText(0, 0) + QString::number(ProgressValue(0, 0)), QStringLiteral(" (100.0%)100"));
        QCOMPARE(SpeedText(1536) + SpeedText(0) + SpeedText(10240), QStringLiteral("1.50.010.0"));
        QCOMPARE(TimeLeftText(59) + TimeLeftText(60) + TimeLeftText(3725) + TimeLeftText(90061),
                 QStringLiteral("   59s   1m:0s   1h:2m:5s   25h:1m:1s"));
        QCOMPARE(TimeLeftText(SecondsLeft(1000, 0)) + TimeLeftText(SecondsLeft(1500000, 10240)),
                 QStringLiteral("   0s   2m:26s"));
    }

    // A folder row shows its path deepest component first, cut after 256 characters with "…",
    // without a lone half of a character.
    void folder_rows_show_the_deepest_components_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("shown");
        const QString smile = QString::fromUtf8("\xF0\x9F\x98\x80");
        QStringList components;
        for (int n = 0; n < 300; ++n)
            components << QStringLiteral("c%1").arg(n);
        QStringList reversed = components;
        std::reverse(reversed.begin(), reversed.end());
        QTest::newRow("short") << "music\\live\\"
                               << "live/music";
        QTest::newRow("256 characters, whole") << QString(256, 'x') << QString(256, 'x');
        QTest::newRow("300 components") << components.join('\\') << reversed.join('/').left(256) + QChar(0x2026);
        QTest::newRow("2,000 levels") << QString("d\\").repeated(2000).chopped(1)
                                      << QString("d/").repeated(128) + QChar(0x2026);
        QTest::newRow("no half character")
            << "top\\a" + smile.repeated(200) << "a" + smile.repeated(127) + QChar(0x2026);
    }
    void folder_rows_show_the_deepest_components()
    {
        QFETCH(QString, path);
        QFETCH(QString, shown);
        TransfersFixture f;
        QCOMPARE(f.RowOf(f.Download("bob", path, "a"))->parent()->text(F::FolderColumn), shown);
    }

    // Removals among hundreds of folder rows leave the rest as they were: the open rows open,
    // without a group status, and a row the user closed closed, with its own.
    void removals_among_many_folders_leave_the_other_rows_as_they_were()
    {
        TransfersFixture f;
        QList<ItemPtr> entries;
        for (int n = 0; n < 300; ++n)
        {
            entries << f.Download("bob", QStringLiteral("music\\%1").arg(n), "a");
            f.SetStatus(entries.last(), n == 1 ? "queued" : "complete");
        }
        QTreeWidgetItem* closed = f.RowOf(entries[1])->parent();
        closed->setExpanded(false);
        for (int n = 299; n >= 100; --n)
            f.engine->RemoveDownload(entries[n]);
        QTreeWidgetItem* bob = closed->parent();
        QTRY_VERIFY(bob->isExpanded());
        QCOMPARE(bob->childCount(), 100);
        for (int n : {0, 2, 99})
            QVERIFY(f.RowOf(entries[n])->parent()->isExpanded());
        QCOMPARE(bob->text(F::StatusColumn) + '|' + closed->text(F::StatusColumn), QStringLiteral("|queued"));
        QVERIFY(!closed->isExpanded());
    }

    // The burst's closing of every row must not move the user: the view stays scrolled where it
    // was, and the chosen row stays chosen.
    void a_removal_among_many_folders_keeps_the_view_where_it_was()
    {
        TransfersFixture f;
        QList<ItemPtr> entries;
        for (int n = 0; n < 400; ++n)
        {
            entries << f.Download("bob", QStringLiteral("music\\%1").arg(n), "a");
            f.SetStatus(entries.last(), "complete");
        }
        f.tabs.setCurrentIndex(1);
        f.tabs.resize(900, 500);
        f.tabs.show();
        QCoreApplication::processEvents();
        QScrollBar* bar = f.downloads->verticalScrollBar();
        bar->setValue(bar->maximum() / 2);
        QTreeWidgetItem* chosen = f.RowOf(entries[200]);
        f.downloads->setCurrentItem(chosen);
        QCoreApplication::processEvents();
        const int before = bar->value();
        QVERIFY(before > 100);

        f.engine->RemoveDownload(entries[390]);
        QTRY_VERIFY(chosen->parent()->isExpanded());
        QCOMPARE(bar->value(), before);
        QCOMPARE(f.downloads->currentItem(), chosen);
        QVERIFY(chosen->isSelected());
    }

    // The largest size a peer can give, three times in one folder and once removed: the folder's
    // and user's sums stop at the largest number instead of wrapping round (the sanitizer build
    // reports any overflow).
    void the_largest_sizes_sum_without_overflow()
    {
        TransfersFixture f;
        const qint64 largest = std::numeric_limits<qint64>::max();
        ItemPtr first = f.Download("bob", "huge", "a", largest);
        ItemPtr second = f.Download("bob", "huge", "b", largest);
        ItemPtr running = f.Download("bob", "huge", "c", largest);
        f.SetStatus(first, "complete");
        f.SetStatus(second, "complete");
        f.SetStatus(running, "downloading");
        QTreeWidgetItem* folder = f.RowOf(running)->parent();
        folder->setExpanded(false);
        f.Report(running, largest, 1024);
        QCOMPARE(f.Bar(folder), QStringLiteral("%1 (100.0%)|100").arg(CommafyNumber(largest)));
        f.engine->RemoveDownload(first);
        f.Report(running, largest / 2, 1024);
        QVERIFY(!f.Bar(folder).startsWith(QLatin1Char('-')));
    }

    void progress_fills_the_deepest_open_row_and_the_sums_above()
    {
        TransfersFixture f;
        ItemPtr done = f.Download("bob", "music", "done", 100);
        f.Download("bob", "music", "waiting", 300);
        ItemPtr running = f.Download("bob", "music", "running", 600);
        f.SetStatus(done, "complete");
        f.SetStatus(running, "downloading");
        QTreeWidgetItem* file = f.RowOf(running);
        QTreeWidgetItem* folder = file->parent();
        QTreeWidgetItem* user = folder->parent();

        f.Report(running, 0, 100);
        QCOMPARE(f.Bar(file) + file->text(F::TimeLeftColumn) + file->text(F::SpeedColumn),
                 QStringLiteral(" (0.0%)|0   6s0.1"));
        QCOMPARE(f.Bar(folder) + folder->text(F::TimeLeftColumn), QStringLiteral("100 (10.0%)|10   9s"));
        QCOMPARE(f.Bar(user), QString()); // an open user row over one folder would repeat it

        folder->setExpanded(false);
        f.Report(running, 300, 1024);
        QCOMPARE(f.Bar(folder) + folder->text(F::SpeedColumn), QStringLiteral("400 (40.0%)|401.0"));
        user->setExpanded(false);
        f.Report(running, 600, 2048);
        QCOMPARE(f.Bar(user) + user->text(F::TimeLeftColumn) + user->text(F::SpeedColumn),
                 QStringLiteral("700 (70.0%)|70   0s2.0"));

        ItemPtr empty = f.Download("bob", "other", "empty", 0);
        f.SetStatus(empty, "downloading");
        f.Report(empty, 0, 0);
        QCOMPARE(f.Bar(f.RowOf(empty)) + f.RowOf(empty)->text(F::TimeLeftColumn), QStringLiteral(" (100.0%)|100   0s"));

        // Uploads still asking for their peer add nothing.
        ItemPtr uploading = f.Upload("carol", "a", 1000);
        f.SetStatus(uploading, "uploading");
        f.SetStatus(f.Upload("carol", "b", 5000), "requesting");
        f.Report(uploading, 500, 1024);
        QCOMPARE(f.Bar(f.RowOf(uploading)->parent()), QStringLiteral("500 (50.0%)|50"));
    }

    // A removed or added transfer's bytes leave or join the sums above it at once, not at a next
    // report that may never come.
    void the_sums_above_follow_removals_and_additions()
    {
        TransfersFixture f;
        ItemPtr done = f.Download("bob", "music", "done", 100);
        ItemPtr queued = f.Download("bob", "docs", "queued", 300);
        ItemPtr running = f.Download("bob", "docs", "running", 600);
        f.SetStatus(done, "complete");
        f.SetStatus(running, "downloading");
        QTreeWidgetItem* folder = f.RowOf(running)->parent();
        QTreeWidgetItem* user = folder->parent();
        f.Report(running, 300, 100);
        QCOMPARE(f.Bar(user) + user->text(F::TimeLeftColumn), QStringLiteral("400 (40.0%)|40   6s"));

        f.engine->RemoveDownload(running);
        QCOMPARE(f.Bar(user) + user->text(F::TimeLeftColumn), QStringLiteral("100 (25.0%)|25"));
        QCOMPARE(f.Bar(folder) + folder->text(F::TimeLeftColumn), QStringLiteral(" (0.0%)|0"));
        f.engine->RemoveDownload(queued);
        QCOMPARE(f.Bar(user) + user->text(F::TimeLeftColumn), QStringLiteral("100 (100.0%)|100   0s"));
        f.Download("bob", "music", "added", 300);
        QCOMPARE(f.Bar(user) + user->text(F::TimeLeftColumn), QStringLiteral("100 (25.0%)|25"));
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        {
            TransfersFixture f;
            QList<ItemPtr> all;
            for (const char* user : {"bob", "carol"})
                for (int n = 0; n < 3; ++n)
                    all << f.Download(QLatin1String(user), QStringLiteral("music\\%1 live").arg(QLatin1String(user)),
                                      QStringLiteral("track %1.mp3").arg(n + 1), 4000000 + n * 1234567);
            f.SetOnline(QStringLiteral("bob"), true);
            f.SetStatus(all[0], "complete");
            f.SetStatus(all[1], "downloading");
            f.Report(all[1], 1500000, 180000);
            all[2].Connect(d->GetType("place_in_line")->GetItem("12"));
            f.SetStatus(all[3], "downloading");
            f.Report(all[3], 3000000, 90000);
            all[5].Connect(d->GetType("denial_reason")->GetItem("File not shared."));
            f.SetStatus(all[5], "denied");
            ItemPtr upload = f.Upload("dave", "holiday.avi", 7000000);
            f.SetStatus(upload, "uploading");
            f.Report(upload, 2000000, 300000);
            f.SetStatus(f.Upload("dave", "notes.txt", 3000), "queued");
            f.tabs.resize(900, 330);
            f.tabs.setCurrentIndex(1);
            SAVE_SCREENSHOT(&f.tabs, "transfers_window");
            f.form->findChild<QTabWidget*>(QStringLiteral("transfersTabControl"))->setCurrentIndex(1);
            SAVE_SCREENSHOT(&f.tabs, "transfers_window_uploads");
        }
        // A deep folder's download, with its folder column widened: each row shows the deepest
        // components of its path first, cut with "…" after 256 characters.
        {
            TransfersFixture f;
            QString path = QStringLiteral("shared\\deep");
            for (int level = 1; level <= 60; ++level)
            {
                path += QStringLiteral("\\level %1").arg(level);
                f.Download(QStringLiteral("dave"), path, QStringLiteral("part %1.bin").arg(level), 1000 + level);
            }
            f.downloads->setColumnWidth(F::FolderColumn, 620);
            f.tabs.resize(1100, 400);
            f.tabs.setCurrentIndex(1);
            f.downloads->scrollToBottom();
            SAVE_SCREENSHOT(&f.tabs, "transfers_deep_folder");
        }
    }

    void settings_fill_the_boxes_without_being_written_back()
    {
        const QString dataFile = QDir::home().filePath(QStringLiteral(".transfers-settings"));
        {
            TransfersFixture f([](TransfersFixture&) {
                for (const auto& [key, value] : {std::pair{"upload_slots", "3"},
                                                 {"upload_speed_limit", "250"},
                                                 {"upload_speed_limit_enabled", "yes"},
                                                 {"clear_complete_downloads", "yes"}})
                    SetSetting(QLatin1String(key), QLatin1String(value));
            });
            QCOMPARE(Widget<QSpinBox>(f, "uploadSlotsSpinBox")->value(), 3);
            QCOMPARE(Widget<QSpinBox>(f, "uploadLimitSpinBox")->value(), 250);
            QVERIFY(Widget<QCheckBox>(f, "uploadLimitCheckBox")->isChecked());
            QVERIFY(Widget<QCheckBox>(f, "clearDownloadsCheckBox")->isChecked());
            QVERIFY(!Widget<QCheckBox>(f, "clearUploadsCheckBox")->isChecked());
            QCOMPARE(GetSetting(QStringLiteral("upload_slots")), QStringLiteral("3"));
            QVERIFY(!HasSetting(QStringLiteral("clear_complete_aborted_uploads")));

            Widget<QCheckBox>(f, "clearDownloadsCheckBox")->setChecked(false);
            QVERIFY(!HasSetting(QStringLiteral("clear_complete_downloads")));
            Widget<QCheckBox>(f, "clearUploadsCheckBox")->setChecked(true);
            QCOMPARE(GetSetting(QStringLiteral("clear_complete_aborted_uploads")), QStringLiteral("yes"));
            QVERIFY(dataSaver->SaveFile(dataFile));
        }
        TransfersFixture restarted({}, dataFile);
        QVERIFY(!Widget<QCheckBox>(restarted, "clearDownloadsCheckBox")->isChecked());
        QVERIFY(Widget<QCheckBox>(restarted, "clearUploadsCheckBox")->isChecked());
    }
};

QTEST_MAIN(TestTransfersForm)
#include "test_transfers_form.moc"
