#include "CompleteDownloadsForm.h"
#include "DataFixture.h"
#include "DownloadMenuOptions.h"
#include "EngineClock.h"
#include "MenuProbe.h"
#include "Screenshot.h"
#include "TransfersFixture.h"

#include <QCheckBox>
#include <QDateTime>
#include <QMenu>
#include <QSpinBox>
#include <QtTest>

#include <memory>
#include <optional>

// Rides in the data of every row: its copies alive count the rows not yet freed.
using RowMark = std::shared_ptr<int>;
Q_DECLARE_METATYPE(RowMark)

// What the user does in the transfers tab over the real engine and store: the tool-bar actions,
// the Delete key, the download menu's entries, clearing finished uploads by the engine's clock,
// the upload settings and the completed downloads list.
class TestTransferActions : public QObject
{
    Q_OBJECT

    using F = TransfersForm;

    static void Trigger(const char* i_action) { emit actionBar->ActionTriggered(nullptr, QLatin1String(i_action)); }

    static QString ActionText(QWidget* ip_widget, const char* i_prefix)
    {
        ip_widget->setFocus();
        for (QAction* action : actionBar->actions())
            if (action->text().startsWith(QLatin1String(i_prefix)))
                return action->text();
        return QString();
    }
    static QStringList Entries(const QMenu* ip_menu)
    {
        QAction* none = nullptr;
        return MenuEntries(ip_menu, QString(), none);
    }
    // "user/folder/file" of every file row.
    static QStringList Files(QTreeWidget* ip_tree)
    {
        QStringList files;
        for (QTreeWidgetItemIterator it(ip_tree); *it; ++it)
            if (!(*it)->text(F::FileColumn).isEmpty())
                files << (*it)->parent()->parent()->text(F::UserColumn) + '/' + (*it)->parent()->text(F::FolderColumn)
                             + '/' + (*it)->text(F::FileColumn);
        return files;
    }
    static RowMark MarkRows(QTreeWidget* ip_tree)
    {
        const RowMark mark = std::make_shared<int>();
        for (QTreeWidgetItemIterator it(ip_tree); *it; ++it)
            (*it)->setData(F::UserColumn, Qt::UserRole, QVariant::fromValue(mark));
        return mark;
    }
    // The marked rows not yet freed, besides those still in the tree.
    static long RowsLeftToFree(const RowMark& i_mark, QTreeWidget* ip_tree)
    {
        long rows = 0;
        for (QTreeWidgetItemIterator it(ip_tree); *it; ++it)
            ++rows;
        return i_mark.use_count() - 1 - rows;
    }
    static QList<ItemPtr> Downloads(TransfersFixture& io_f, const QStringList& i_layouts)
    {
        QList<ItemPtr> entries;
        for (const QString& layout : i_layouts) // "user/folder/file status"
        {
            const QStringList parts = layout.section(' ', 0, 0).split('/');
            entries << io_f.Download(parts[0], parts[1], parts[2]);
            io_f.SetStatus(entries.last(), layout.section(' ', 1));
        }
        return entries;
    }
    static ItemPtr CompleteRecord(const QString& i_file, const QString& i_time, const char* i_size = "1000")
    {
        ItemPtr record = d->GetType("complete_download")->NewItem();
        record.Connect(d->GetType("complete_download_filename")->GetItem(i_file));
        record.Connect(d->GetType("complete_download_relative_folder")->GetItem("music"));
        record.Connect(d->GetType("user")->GetItem("bob"));
        record.Connect(d->GetType("complete_download_file_size")->GetItem(i_size));
        const QDateTime time = QDateTime::fromString("2024-05-01T" + i_time, Qt::ISODate);
        record.Connect(d->GetType("complete_download_completion_time")->GetItem(time.toString(Qt::TextDate)));
        return record;
    }
    static QStringList Listed(int i_column)
    {
        QStringList texts;
        auto* list = completeDownloadsForm->findChild<QTreeWidget*>("downloadList");
        for (int row = 0; row < list->topLevelItemCount(); ++row)
            texts << list->topLevelItem(row)->text(i_column);
        return texts;
    }

private slots:
    void expand_toggles_flip_their_text_and_rows()
    {
        TransfersFixture f;
        f.tabs.setCurrentIndex(1);
        f.tabs.show();
        QVERIFY(QTest::qWaitForWindowActive(&f.tabs));
        const QList<ItemPtr> entries = Downloads(f, {"bob/music/a queued", "bob/music/b downloading",
                                                     "bob/films/c"
                                                     " complete"});
        f.Report(entries[1], 500, 1024);
        QTreeWidgetItem* music = f.RowOf(entries[0])->parent();
        QTreeWidgetItem* bob = music->parent();
        QCOMPARE(ActionText(f.downloads, "Expand Folders"), QString("Expand Folders [on]"));

        Trigger("expand_download_folders");
        QCOMPARE(ActionText(f.downloads, "Expand Folders"), QString("Expand Folders [off]"));
        QVERIFY(!music->isExpanded() && bob->isExpanded());
        QCOMPARE(music->text(F::StatusColumn) + '|' + f.RowOf(entries[2])->parent()->text(F::StatusColumn),
                 QString("downloading|complete"));
        // A new folder row starts closed.
        QVERIFY(!f.RowOf(f.Download("bob", "docs", "d"))->parent()->isExpanded());

        f.Report(entries[1], 600, 2048);
        QPointer<QWidget> bar = f.downloads->itemWidget(music, F::ProgressColumn);
        QVERIFY(bar);
        Trigger("expand_download_folders");
        QVERIFY(music->isExpanded());
        QCOMPARE(music->text(F::StatusColumn) + music->text(F::TimeLeftColumn) + music->text(F::SpeedColumn),
                 QString());
        QCOMPARE(f.Bar(music), QString());
        QTRY_VERIFY(!bar);
        f.Report(entries[1], 700, 2048); // the group's progress comes back with the next report
        QCOMPARE(f.Bar(music), QString("700 (35.0%)|35"));

        Trigger("expand_download_users");
        QVERIFY(!bob->isExpanded());
        QCOMPARE(bob->text(F::StatusColumn), QString("downloading"));
        QCOMPARE(ActionText(f.downloads, "Expand Users"), QString("Expand Users [off]"));
        // The uploads tree keeps its own switches.
        f.form->findChild<QTabWidget*>("transfersTabControl")->setCurrentIndex(1);
        QCOMPARE(ActionText(f.uploads, "Expand Users"), QString("Expand Users [on]"));
    }

    // "selected row;downloads left", and bob's downloads besides the four, in folders of their own.
    void delete_key_removes_the_first_selected_rows_downloads_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<int>("more");
        QTest::newRow("nothing") << ";bob/music/a,bob/music/b,bob/films/c,carol/music/d" << 0;
        QTest::newRow("file") << "b;bob/music/a,bob/films/c,carol/music/d" << 0;
        QTest::newRow("folder") << "music;bob/films/c,carol/music/d" << 0;
        QTest::newRow("user") << "bob;carol/music/d" << 0;
        // More rows than one idle turn frees.
        QTest::newRow("user of many rows") << "bob;carol/music/d" << 1500;
    }
    void delete_key_removes_the_first_selected_rows_downloads()
    {
        QFETCH(QString, layout);
        QFETCH(int, more);
        const QString selected = layout.section(';', 0, 0);
        const QStringList left = layout.section(';', 1).split(',');
        TransfersFixture f;
        Downloads(f, {"bob/music/a queued", "bob/music/b complete", "bob/films/c downloading", "carol/music/d queued"});
        for (int n = 0; n < more; ++n)
            f.Download("bob", QString("more%1").arg(n % 50), QString("e%1").arg(n));
        const RowMark mark = MarkRows(f.downloads);
        if (!selected.isEmpty())
            f.downloads
                ->findItems(selected, Qt::MatchExactly | Qt::MatchRecursive,
                            selected.size() == 1  ? F::FileColumn
                            : selected == "music" ? F::FolderColumn
                                                  : F::UserColumn)
                .first()
                ->setSelected(true);
        QTest::keyClick(f.downloads, Qt::Key_Delete);
        QCOMPARE(Files(f.downloads), left);
        QCOMPARE(int(d->GetType("download_entry")->GetItemCount()), left.size());
        // A user's rows, out of the tree, are freed at idle time, each once.
        QCOMPARE(RowsLeftToFree(mark, f.downloads) > 0, selected == "bob");
        QTRY_COMPARE(RowsLeftToFree(mark, f.downloads), 0L);
    }

    // Bob's row as the Expand Users switch and the user left it.
    void delete_key_stopped_early_puts_the_user_row_back_as_it_was_data()
    {
        QTest::addColumn<bool>("switchOn");
        QTest::addColumn<bool>("open");
        QTest::newRow("open as the switch") << true << true;
        QTest::newRow("closed, the switch on") << true << false;
        QTest::newRow("opened, the switch off") << false << true;
        QTest::newRow("closed as the switch") << false << false;
    }
    void delete_key_stopped_early_puts_the_user_row_back_as_it_was()
    {
        QFETCH(bool, switchOn);
        QFETCH(bool, open);
        TransfersFixture f;
        Downloads(f, {"ann/music/x queued", "bob/music/a queued", "bob/music/b complete", "bob/films/c downloading",
                      "carol/music/d queued"});
        QTreeWidgetItem* bob = f.downloads->topLevelItem(1);
        // Last in bob's first folder, a row that no entry stands behind: the key goes no further.
        new QTreeWidgetItem(bob->child(0));
        if (!switchOn)
            Trigger("expand_download_users");
        bob->setExpanded(open);
        f.downloads->setCurrentItem(bob);
        const RowMark mark = MarkRows(f.downloads);
        QTest::keyClick(f.downloads, Qt::Key_Delete);
        QCOMPARE(Files(f.downloads), (QStringList{"ann/music/x", "bob/music/a", "bob/music/b", "carol/music/d"}));
        QCOMPARE(f.downloads->topLevelItem(1), bob);
        QCOMPARE(bob->isExpanded(), open);
        QCOMPARE(f.downloads->selectedItems().size(), 1);
        QCOMPARE(f.downloads->selectedItems().first(), bob);
        QCOMPARE(f.downloads->currentItem(), bob);
        QTRY_COMPARE(RowsLeftToFree(mark, f.downloads), 0L);
    }

    void clearing_takes_what_has_finished()
    {
        TransfersFixture f;
        const QList<ItemPtr> entries =
            Downloads(f, {"bob/music/a complete", "bob/music/b queued", "carol/films/c complete"});
        f.RowOf(entries[2])->parent()->parent()->setExpanded(false);
        Trigger("clear_complete_downloads");
        QCOMPARE(Files(f.downloads), QStringList{"bob/music/b"});
        QCOMPARE(f.downloads->topLevelItemCount(), 1);

        const char* statuses[] = {"queued", "requesting", "uploading", "complete", "aborted", "denied", "local error"};
        for (const char* status : statuses)
            f.SetStatus(f.Upload("dave", QLatin1String(status)), QLatin1String(status));
        Trigger("clear_complete_and_aborted_uploads");
        QCOMPARE(Files(f.uploads).replaceInStrings(QRegularExpression("/.*/"), "/"),
                 (QStringList{"dave/queued", "dave/requesting", "dave/uploading"}));
    }

    void finished_uploads_go_after_five_silent_minutes()
    {
        TransfersFixture f;
        ItemPtr done = f.Upload("bob", "done");
        ItemPtr running = f.Upload("bob", "running");
        ItemPtr waiting = f.Upload("bob", "waiting");
        f.SetStatus(done, "complete");
        f.SetStatus(running, "uploading");
        f.SetStatus(waiting, "queued");
        auto* receipt = NewTransferCell<TimeCell>(running, "last_receipt_time", EngineClock::NowMs());
        QCheckBox* clear = f.form->findChild<QCheckBox*>("clearUploadsCheckBox");
        EngineClock::AdvanceForTest(299000);
        clear->setChecked(true);
        receipt->store(EngineClock::NowMs()); // the running one reports on
        f.form->EveryHalfMinute();
        QVERIFY(done);
        EngineClock::AdvanceForTest(1000);
        clear->setChecked(false);
        f.form->EveryHalfMinute(); // switched off, when the finished one would go
        QVERIFY(done);
        clear->setChecked(true);
        f.form->EveryHalfMinute();
        QVERIFY(!done && running && waiting);
        EngineClock::AdvanceForTest(300000); // silent for five minutes, whatever its status
        f.form->EveryHalfMinute();
        QVERIFY(!running && waiting);
        QCOMPARE(f.uploads->topLevelItem(0)->child(0)->childCount(), 1);
    }

    void upload_settings_reach_the_engine()
    {
        TransfersFixture f;
        Recorder writes;
        d->AddConnectionEventHandler(d->GetType("global"), d->GetType("global_value"),
                                     new EventHandler<Recorder, ConnectionInfo&>(&writes, &Recorder::Connected));
        auto* limit = f.form->findChild<QSpinBox*>("uploadLimitSpinBox");
        limit->setValue(50);
        limit->setValue(0);
        QCOMPARE(writes.log.filter("upload_speed_limit"),
                 (QStringList{"+ upload_speed_limit_enabled yes", "+ upload_speed_limit 50",
                              "+ upload_speed_limit_enabled no", "+ upload_speed_limit 0"}));

        for (const char* user : {"ann", "bob", "carol"})
        {
            f.SetOnline(QLatin1String(user), true);
            f.Upload(QLatin1String(user), QLatin1String(user));
        }
        QCOMPARE(f.Take("40").size(), 1);
        auto* slotBox = f.form->findChild<QSpinBox*>("uploadSlotsSpinBox");
        slotBox->setValue(3);
        QCOMPARE(f.Take("40").size(), 2);
        slotBox->setValue(1);
        QCOMPARE(GetSetting("upload_slots"), QString("1"));
        QCOMPARE(f.engine->ActiveUploadCount(), 3);
    }

    // "chosen;alerts;menu": the entries the menu is for, the alerts set before on c (file, folder,
    // user) and the menu's entries.
    void download_menu_offers_what_applies_data()
    {
        QTest::addColumn<QString>("layout");
        const QString all = "Notify me when...[File download completes|Folder download completes|"
                            "All downloads from user complete]";
        QTest::newRow("finished file") << "f;;Open File,Open Folder,-,Remove download";
        QTest::newRow("downloading file") << "b;;Open Folder,-,Remove download," + all;
        QTest::newRow("queued file, alerts set") << "c;c,folder,user;Open Folder,Retry download,-,Remove download";
        QTest::newRow("folder") << "a,b,c;;Open Folder,Retry downloads,-,Remove downloads,Notify me when...[Folder "
                                   "download completes|All downloads from user complete]";
        QTest::newRow("user, two folders") << "a,b,c,d;;Open Folder,Retry downloads,-,Remove downloads,Notify me "
                                              "when...[All downloads from user complete]";
        QTest::newRow("two users") << "c,e;;Open Folder,Retry downloads,-,Remove downloads";
    }
    void download_menu_offers_what_applies()
    {
        QFETCH(QString, layout);
        const QString chosen = layout.section(';', 0, 0);
        const QString alerts = layout.section(';', 1, 1);
        TransfersFixture f;
        const QList<ItemPtr> entries =
            Downloads(f, {"bob/music/a complete", "bob/music/b downloading", "bob/music/c queued",
                          "bob/films/d aborted", "carol/music/e queued", "dave/docs/f complete"});
        for (const QString& alert : alerts.split(',', Qt::SkipEmptyParts))
        {
            // Set through the menu's own entries, as a user would.
            QMenu setter;
            DownloadMenuOptions setterOptions(&setter, ItemSet{entries[2]});
            if (alert == "c")
                setterOptions.OnSetFileDownloadAlert();
            else if (alert == "folder")
                setterOptions.OnSetFolderDownloadAlert();
            else
                setterOptions.OnSetUserDownloadAlert();
        }
        if (!alerts.isEmpty())
            for (QTreeWidgetItem* row = f.RowOf(entries[2]); row; row = row->parent())
                QVERIFY(!row->icon(row->parent() ? row->parent()->parent() ? F::FileColumn : F::FolderColumn
                                                 : F::UserColumn)
                             .isNull());
        ItemSet set;
        for (const QString& name : chosen.split(','))
            set.insert(entries.at(name.at(0).unicode() - 'a'));
        QMenu menu;
        DownloadMenuOptions options(&menu, set);
        QCOMPARE(Entries(&menu).join(','), layout.section(';', 2));
    }

    // "downloads;alerts left": the folder and user alerts are set on a, which is then removed, with
    // its rows or before the transfers are loaded, when it has none.
    void an_alert_goes_when_nothing_it_watches_is_left_unfinished_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<bool>("rowless");
        const std::pair<const char*, const char*> layouts[] = {
            {"the rest complete elsewhere", "bob/music/a queued,bob/films/b complete;"},
            {"the rest complete beside it", "bob/music/a queued,bob/music/b complete,bob/films/c complete;"},
            {"another user's beside it", "bob/music/a queued,carol/music/b queued,bob/films/c complete;"},
            {"one left elsewhere", "bob/music/a queued,bob/films/b aborted;user"},
            {"one left beside it", "bob/music/a queued,bob/music/b queued;folder,user"}};
        for (const auto& [name, layout] : layouts)
        {
            QTest::newRow(name) << QString(layout) << false;
            QTest::addRow("%s, without rows", name) << QString(layout) << true;
        }
    }
    void an_alert_goes_when_nothing_it_watches_is_left_unfinished()
    {
        QFETCH(QString, layout);
        QFETCH(bool, rowless);
        const QStringList left = layout.section(';', 1).split(',', Qt::SkipEmptyParts);
        const auto removeWithAlerts = [&layout](TransfersFixture& f) {
            const QList<ItemPtr> entries = Downloads(f, layout.section(';', 0, 0).split(','));
            const ItemPtr user = entries[0]["user"];
            if (entries[0]["download_list_node"])
            {
                QMenu menu;
                DownloadMenuOptions options(&menu, ItemSet{entries[0]});
                options.OnSetFolderDownloadAlert();
                options.OnSetUserDownloadAlert();
            }
            else
            {
                ItemPtr folderAlert = d->GetType("complete_download_alert")->NewItem();
                folderAlert.Connect(user);
                folderAlert.Connect(entries[0]["remote_folder"]);
                d->GetType("complete_download_alert")->NewItem().Connect(user);
            }
            QCOMPARE(d->GetType("complete_download_alert")->GetItemCount(), std::size_t(2));
            f.engine->RemoveDownload(entries[0]);
        };
        std::optional<TransfersFixture> fixture;
        if (rowless)
            fixture.emplace(removeWithAlerts);
        else
            removeWithAlerts(fixture.emplace());
        TransfersFixture& f = *fixture;
        QStringList alerts;
        for (const ItemPtr& alert : d->GetType("complete_download_alert")->GetItems())
            alerts << (alert.IsConnected("remote_folder") ? "folder" : "user");
        QCOMPARE(alerts, left);
        if (rowless)
            return; // rows made after the alerts show none of them
        QTreeWidgetItem* bob = f.downloads->findItems("bob", Qt::MatchExactly, F::UserColumn).value(0);
        QVERIFY(bob);
        const auto image = [](const QIcon& i_icon) { return i_icon.pixmap(16).toImage(); };
        const QImage alert = image(QIcon(":/icons/alert_icon"));
        QVERIFY(!alert.isNull());
        QCOMPARE(image(bob->icon(F::UserColumn)) == alert, left.contains("user"));
        QVERIFY(!image(bob->icon(F::UserColumn)).isNull());
        for (int folder = 0; folder < bob->childCount(); ++folder)
            if (bob->child(folder)->text(F::FolderColumn) == "music")
                QCOMPARE(image(bob->child(folder)->icon(F::FolderColumn)) == alert, left.contains("folder"));
    }

    void opening_a_finished_file()
    {
        TransfersFixture f;
        const QList<ItemPtr> entries = Downloads(f, {"bob/music\\live/song.mp3 complete"});
        emit f.downloads->itemDoubleClicked(f.RowOf(entries[0])->parent(), 0); // not a file row
        emit f.downloads->itemDoubleClicked(f.RowOf(entries[0]), 0);
        QMenu menu;
        DownloadMenuOptions options(&menu, ItemSet{entries[0]});
        options.OnOpenFolder();
        const QString complete = GetSetting("download_folder") + "/complete/live";
        QCOMPARE(f.urls.urls,
                 (QList<QUrl>{QUrl::fromLocalFile(complete + "/song.mp3"), QUrl::fromLocalFile(complete)}));
    }

    void complete_downloads_are_cleared_at_start_when_asked()
    {
        TransfersFixture f([](TransfersFixture& f) {
            SetSetting("clear_complete_downloads", "yes");
            Downloads(f, {"bob/music/a complete", "bob/music/b queued"});
        });
        QCOMPARE(Files(f.downloads).size(), 2);
        QTRY_COMPARE(Files(f.downloads), QStringList{"bob/music/b"});
    }

    void completed_list_newest_first()
    {
        TransfersFixture f([](TransfersFixture&) {
            for (const char* time : {"10:00:00", "10:05:00", "09:59:59"})
                CompleteRecord(QString("saved %1").arg(QLatin1String(time)), QLatin1String(time));
        });
        QVERIFY(!completeDownloadsForm);
        Trigger("complete_downloads");
        QVERIFY(completeDownloadsForm);
        auto* tabs = f.form->findChild<QTabWidget*>("transfersTabControl");
        QCOMPARE(tabs->tabText(2) + tabs->currentWidget()->objectName(), QString("CompleteCompleteDownloadsForm"));
        QCOMPARE(Listed(0), (QStringList{"saved 10:05:00", "saved 10:00:00", "saved 09:59:59"}));
        QCOMPARE(Listed(3).first(), QString("1000"));

        // Sorted by any column, the rows keep their order by time; new records go in place,
        // after the rows of their second.
        completeDownloadsForm->findChild<QTreeWidget*>()->sortByColumn(2, Qt::DescendingOrder);
        QCOMPARE(Listed(0), (QStringList{"saved 10:05:00", "saved 10:00:00", "saved 09:59:59"}));
        for (const auto& [file, time] : {std::pair{"later", "11:00:00"}, {"same", "10:00:00"}, {"early", "08:00:00"}})
            emit f.engine->CompleteDownloadAdded(CompleteRecord(QLatin1String(file), QLatin1String(time)));
        QCOMPARE(Listed(0),
                 (QStringList{"later", "saved 10:05:00", "saved 10:00:00", "same", "saved 09:59:59", "early"}));
        Trigger("complete_downloads"); // the one list, shown again
        QCOMPARE(tabs->count(), 3);
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        {
            TransfersFixture f([](TransfersFixture&) {
                int n = 0;
                for (const char* time : {"09:12:40", "10:01:03", "10:45:31", "11:20:00"})
                    CompleteRecord(QString("track %1.mp3").arg(++n), QLatin1String(time), "4812345");
            });
            Trigger("complete_downloads");
            f.tabs.resize(900, 300);
            f.tabs.setCurrentIndex(1);
            SAVE_SCREENSHOT(&f.tabs, "completed_downloads");
        }
        // bob's user alert has fired: his row shows him online again, beside carol's offline one.
        TransfersFixture f;
        f.SetOnline("bob", true);
        const QList<ItemPtr> entries =
            Downloads(f, {"bob/music/a.mp3 queued", "bob/films/b.avi queued", "carol/docs/c.txt queued"});
        QMenu menu;
        DownloadMenuOptions(&menu, ItemSet{entries[0]}).OnSetUserDownloadAlert();
        for (const ItemPtr& entry : entries.mid(0, 2))
            f.SetStatus(entry, "complete");
        const auto userIcon = [&f](const ItemPtr& i_entry) {
            return f.RowOf(i_entry)->parent()->parent()->icon(F::UserColumn).pixmap(16).toImage();
        };
        QTRY_COMPARE(d->GetType("complete_download_alert")->GetItemCount(), std::size_t(0));
        QCOMPARE(userIcon(entries[0]), QIcon(":/icons/online_icon").pixmap(16).toImage());
        QCOMPARE(userIcon(entries[2]), QIcon(":/icons/offline_icon").pixmap(16).toImage());
        f.tabs.resize(900, 300);
        f.tabs.setCurrentIndex(1);
        SAVE_SCREENSHOT(&f.tabs, "downloads_after_user_alert");
    }
};

QTEST_MAIN(TestTransferActions)
#include "test_transfer_actions.moc"
