#include "DownloadPaths.h"
#include "QueueFixture.h"

#include "LogStore.h"
#include "TransferCells.h"

using F = QueueFixture;

// Downloads: entries, re-queues and place-in-line requests on the engine's clock, the answers of
// the uploading side, the download folders with hostile remote names, and the empty-share check.
class TestDownloadQueue : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QueueFixture> f;

    QString Downloads() const { return f->dir.path() + QStringLiteral("/Downloads"); }

private slots:
    void init() { f = std::make_unique<QueueFixture>(); }
    void cleanup() { f.reset(); }

    void addingQueuesOnceAndOnlineUsersHearIt()
    {
        F::SetOnline("ann", true);
        f->Take();
        const qint64 counter = GetSettingNumber("transfer_order_counter");
        ItemPtr entry = f->engine->AddDownload("ann", "song.mp3", "music\\album", 42, 0);
        QCOMPARE(F::Status(entry), QStringLiteral("queued"));
        QCOMPARE(entry["download_order"].AsInt64(), counter);
        QCOMPARE(f->engine->AddDownload("ann", "song.mp3", "music\\album", 42, 0), entry);
        QCOMPARE(GetSettingNumber("transfer_order_counter"), counter + 1);
        QCOMPARE(f->Taken("43"), QStringList{"music\\album\\song.mp3"});
        const auto nextPlaceRequest = [this] {
            return *f->engine->TransferTime(F::User("ann"), "next_place_in_line_request_time");
        };
        QCOMPARE(nextPlaceRequest(), EngineClock::NowMs() + 10000);

        f->engine->AddDownload("bob", "song.mp3", "music\\album", 42, 0);
        QCOMPARE(f->Take("43").size(), 0);

        // A file already complete is not asked for.
        QDir().mkpath(Downloads() + "/complete/album");
        QFile done(Downloads() + "/complete/album/have.mp3");
        QVERIFY(done.open(QIODevice::WriteOnly));
        EngineClock::AdvanceForTest(5000);
        ItemPtr have = f->engine->AddDownload("ann", "have.mp3", "music\\album", 1, 0);
        QCOMPARE(F::Status(have), QStringLiteral("complete"));
        QCOMPARE(f->Take("43").size(), 0);
        QCOMPARE(nextPlaceRequest(), EngineClock::NowMs() + 5000);
    }

    void halfMinuteRequeuesAndAsksForPlaces()
    {
        ItemPtr first = f->engine->AddDownload("ann", "a.mp3", "music", 1, 0);
        ItemPtr second = f->engine->AddDownload("ann", "b.mp3", "music", 1, 0);
        ItemPtr denied = f->engine->AddDownload("ann", "c.mp3", "music", 1, 0);
        f->engine->OnUploadDeniedNotification("ann", "music\\c.mp3", "Too many files");
        QCOMPARE(F::Status(denied), QStringLiteral("denied"));
        f->Take();

        // Coming online re-queues all but denied and complete entries, in arrival order.
        F::SetOnline("ann", true);
        QCOMPARE(f->Taken("43"), (QStringList{"music\\a.mp3", "music\\b.mp3"}));

        // Places are asked for 30 s after a re-queue, one message per queued entry, in order.
        EngineClock::AdvanceForTest(29999);
        f->engine->EveryHalfMinute();
        QCOMPARE(f->Take("51").size(), 0);
        EngineClock::AdvanceForTest(1);
        f->engine->EveryHalfMinute();
        const QList<Sent> asks = f->Take("51");
        QCOMPARE(asks.size(), 2);
        QCOMPARE(asks[0].bytes, QByteArray("\x33\0\0\0\x0b\0\0\0music\\a.mp3", 19));

        f->engine->OnDownloadPlaceInLine("ann", "music\\b.mp3", 7);
        f->engine->OnDownloadPlaceInLine("ann", "music\\nothing.mp3", 3);
        QCOMPARE(second["place_in_line"].AsInt(), 7);

        // The re-queue comes 600 s after the last one, not a millisecond before.
        EngineClock::AdvanceForTest(600000 - 30000 - 1);
        f->engine->EveryHalfMinute();
        QCOMPARE(f->Take("43").size(), 0);
        EngineClock::AdvanceForTest(1);
        f->engine->EveryHalfMinute();
        QCOMPARE(f->Take("43").size(), 2);
        Q_UNUSED(first);
    }

    void the_place_in_line_round_asks_in_slices_per_turn()
    {
        // Two users' folders, more than two turns' worth of places together.
        const int perTurn = TransferQueueManager::kRoundStepsPerTurn;
        QStringList expected;
        QList<ItemPtr> entries;
        for (const QString& user : {QStringLiteral("ann"), QStringLiteral("bob")})
            for (int n = 0; n < perTurn + perTurn / 2; ++n)
            {
                const QString name = QStringLiteral("%1 track %2.mp3").arg(user).arg(n);
                entries << f->engine->AddDownload(user, name.toStdString(), "music", 1, 0);
                expected << QStringLiteral("music\\") + name;
            }
        F::SetOnline("ann", true);
        F::SetOnline("bob", true);
        // The re-queue rounds that coming online started run out first.
        int requeued = 0;
        QTRY_COMPARE(requeued += f->Take("43").size(), int(entries.size()));
        QStringList logged;
        SetLogSink([&logged](const QString&, const QString& i_line) {
            if (i_line.contains(QLatin1String("Requesting place in line")))
                logged << LogBody(i_line);
        });
        const auto restore = qScopeGuard([] { SetLogSink(LogSink()); });
        logged.clear(); // the lines kept from before
        f->Take();

        EngineClock::AdvanceForTest(30000);
        f->engine->EveryHalfMinute();
        QList<Sent> asked = f->Take("51");
        QCOMPARE(asked.size(), perTurn);
        // An entry that stops waiting before its turn is not asked.
        f->engine->SetDownloadEntryStatus(entries.last(), "downloading");
        expected.removeLast();
        int turns = 1;
        while (asked.size() < expected.size() && turns < 10)
        {
            QCoreApplication::processEvents();
            const QList<Sent> turn = f->Take("51");
            QVERIFY(!turn.isEmpty() && turn.size() <= perTurn);
            asked << turn;
            ++turns;
        }
        QCOMPARE(turns, 3);
        QCoreApplication::processEvents();
        QCOMPARE(f->Take("51").size(), 0);

        QStringList paths;
        QStringList lines;
        for (const Sent& ask : asked)
        {
            paths << ask.file;
            lines
                << QStringLiteral("Requesting place in line for download of %1 from %2").arg(ask.file.mid(6), ask.user);
        }
        QCOMPARE(paths, expected);
        QCOMPARE(logged, lines);
        QCOMPARE(asked.first().user, QStringLiteral("ann"));
        QCOMPARE(asked.last().user, QStringLiteral("bob"));
    }

    void the_requeue_round_goes_in_slices_per_turn_data()
    {
        const int perTurn = TransferQueueManager::kRoundStepsPerTurn;
        QTest::addColumn<int>("queued");
        QTest::addColumn<QString>("between"); // what happens after the tick's slice
        QTest::addColumn<int>("turns");
        QTest::newRow("under one slice") << perTurn / 2 << "nothing" << 1;
        QTest::newRow("a folder") << perTurn * 2 + perTurn / 2 << "nothing" << 3;
        QTest::newRow("entries change before their slice") << perTurn * 2 << "entries change" << 2;
        QTest::newRow("user goes offline") << perTurn * 2 << "offline" << 1;
        QTest::newRow("offline and back before the next slice") << perTurn * 2 << "offline and back" << 3;
    }
    void the_requeue_round_goes_in_slices_per_turn()
    {
        QFETCH(int, queued);
        QFETCH(QString, between);
        QFETCH(int, turns);
        const int perTurn = TransferQueueManager::kRoundStepsPerTurn;
        F::SetOnline("ann", true);
        QStringList names;
        QList<ItemPtr> entries;
        for (int n = 0; n < queued; ++n)
        {
            names << QStringLiteral("track %1.mp3").arg(n);
            entries << f->engine->AddDownload("ann", names.last().toStdString(), "music", 1, 0);
        }
        QStringList logged;
        SetLogSink([&logged](const QString&, const QString& i_line) {
            const QString body = LogBody(i_line).trimmed();
            for (const char* start : {"Queueing ", "Requeueing ", "User ann went"})
                if (body.startsWith(QLatin1String(start)))
                    logged << body;
        });
        const auto restore = qScopeGuard([] { SetLogSink(LogSink()); });
        f->Take();
        logged.clear();

        // The first tick after the folder was queued re-queues it.
        EngineClock::AdvanceForTest(30000);
        f->engine->EveryHalfMinute();
        QList<Sent> sent = f->Take("43");
        QCOMPARE(sent.size(), std::min(queued, perTurn));
        const ItemPtr ann = F::User("ann");
        QCOMPARE(*f->engine->TransferTime(ann, "last_queue_request_time"), EngineClock::NowMs());
        QCOMPARE(*f->engine->TransferTime(ann, "next_place_in_line_request_time"), EngineClock::NowMs() + 30000);

        const auto lines = [](const QStringList& i_names) {
            QStringList expected{QStringLiteral("Requeueing downloads from user ann")};
            for (const QString& name : i_names)
                expected << QStringLiteral("Queueing ") + name;
            return expected;
        };
        QStringList expectedNames = names;
        QStringList expectedLines = lines(names);
        if (between == QLatin1String("entries change"))
        {
            // Started, complete, denied or removed before their slice: not re-queued.
            f->engine->SetDownloadEntryStatus(entries[perTurn], "downloading");
            f->engine->SetDownloadEntryStatus(entries[perTurn + 1], "complete");
            f->engine->OnUploadDeniedNotification("ann", "music\\" + names[perTurn + 2].toStdString(), "Banned");
            f->engine->RemoveDownload(entries[perTurn + 3]);
            for (int n = 3; n >= 0; --n)
            {
                expectedNames.removeAt(perTurn + n);
                expectedLines.removeAt(perTurn + n + 1);
            }
        }
        else if (between.startsWith(QLatin1String("offline")))
        {
            F::SetOnline("ann", false);
            expectedNames = names.mid(0, perTurn);
            expectedLines = lines(expectedNames);
            if (between == QLatin1String("offline"))
            {
                expectedLines << QStringLiteral("User ann went offline, not re-queueing the rest");
            }
            else
            {
                // The round that coming back starts takes over the rest: each entry once more.
                F::SetOnline("ann", true);
                expectedNames << names;
                expectedLines << QStringLiteral("User ann went online") << lines(names);
            }
        }
        f->Take("41-");

        int sendingTurns = 1;
        for (int turn = 1; turn < 10; ++turn)
        {
            QCoreApplication::processEvents();
            const QList<Sent> more = f->Take("43");
            QVERIFY2(more.size() <= perTurn, qPrintable(QString::number(more.size())));
            sendingTurns += more.isEmpty() ? 0 : 1;
            sent << more;
        }
        QCOMPARE(sendingTurns, turns);
        QCOMPARE(f->Kinds(), QStringList());

        QStringList paths;
        for (const Sent& message : sent)
        {
            QCOMPARE(message.user, QStringLiteral("ann"));
            paths << message.file.mid(6);
        }
        QCOMPARE(paths, expectedNames);
        QCOMPARE(logged, expectedLines);
    }

    void leavingDownloadingStopsTheThreadFirst()
    {
        ItemPtr entry = f->engine->AddDownload("ann", "a.mp3", "music", 1, 0);
        f->engine->SetDownloadEntryStatus(entry, "downloading");
        auto* thread = new IdleTransferThread;
        thread->start();
        entry.Connect(d->GetType("download_thread")->GetItem(Value(static_cast<TransferThread*>(thread))));
        NewTransferCell<PositionCell>(entry, "write_position");
        NewTransferCell<TimeCell>(entry, "last_speed_measurement_time");
        QPointer<QThread> watched = thread;

        // A second transfer request for a file that is downloading aborts it and is accepted.
        EngineClock::AdvanceForTest(1000);
        f->engine->OnFileTransferRequest("ann", 1, 77, "music\\a.mp3", 1);
        QCOMPARE(F::Status(entry), QStringLiteral("aborted"));
        QVERIFY(thread->m_signalled);
        QVERIFY(!entry["download_thread"] && !entry["write_position"] && !entry["last_speed_measurement_time"]);
        QCOMPARE(*f->engine->TransferTime(F::User("ann"), "last_queue_request_time"), EngineClock::NowMs());
        QCOMPARE(f->Take("41+").size(), 1);
        QCOMPARE(entry["remote_transfer_req"].AsUInt(), 77u);
        QTRY_VERIFY(!watched);
    }

    void transferRequests()
    {
        // The old direction is answered "Queued" and taken as a queue request.
        f->engine->OnFileTransferRequest("ann", 0, 5, "\\not\\shared.mp3", 0);
        QCOMPARE(f->Kinds(), (QStringList{"41-", "50"}));
        QCOMPARE(f->One("41-").reason, QStringLiteral("Queued"));
        f->Take();

        // No entry and no acceptance of user-initiated uploads: cancelled, nothing created.
        f->engine->OnFileTransferRequest("ann", 1, 6, "music\\x.mp3", 10);
        QCOMPARE(f->One("41-").reason, QStringLiteral("Cancelled"));
        QCOMPARE(d->GetType("download_entry")->GetItemCount(), size_t(0));

        // From a user whose group accepts uploads: a queued entry, no queue request.
        F::AddToGroup("ann", "friends", 0, true);
        QVERIFY(f->engine->CanAcceptUserInitiatedUploadsFrom("ann"));
        f->engine->OnFileTransferRequest("ann", 1, 6, "music\\x.mp3", 10);
        ItemPtr x = f->engine->GetDownloadEntry("ann", "x.mp3", "music");
        QVERIFY(x);
        QCOMPARE(F::Status(x), QStringLiteral("queued"));
        QCOMPARE(f->Take("43").size(), 0);
        QCOMPARE(f->Take("41+").size(), 1);

        // One token per user: the newest holder keeps it.
        ItemPtr y = f->engine->AddDownload("ann", "y.mp3", "music", 1, 0);
        f->engine->OnFileTransferRequest("ann", 1, 6, "music\\y.mp3", 1);
        QVERIFY(!x["remote_transfer_req"]);
        QCOMPARE(y["remote_transfer_req"].AsUInt(), 6u);

        f->engine->SetDownloadEntryStatus(y, "complete");
        f->Take();
        f->engine->OnFileTransferRequest("ann", 1, 8, "music\\y.mp3", 1);
        QCOMPARE(f->One("41-").reason, QStringLiteral("Complete"));

        // Answers to downloads carry no token of ours and change nothing.
        f->engine->OnFileTransferResponse("ann", 6, true, false, 0, QString());
        QCOMPARE(f->Kinds(), QStringList());

        // The user-list switch alone also accepts.
        QVERIFY(!f->engine->CanAcceptUserInitiatedUploadsFrom("bob"));
        F::InUserList("bob");
        QVERIFY(!f->engine->CanAcceptUserInitiatedUploadsFrom("bob"));
        SetSetting("accept_userlist_uploads", "yes");
        QVERIFY(f->engine->CanAcceptUserInitiatedUploadsFrom("bob"));
        f->engine->OnQueueDownloadRequested("bob", "share\\gift.mp3", 99);
        QVERIFY(f->engine->GetDownloadEntry("bob", "gift.mp3", "share"));
        f->engine->OnQueueDownloadRequested("stranger", "share\\gift.mp3", 99);
        QVERIFY(!f->engine->GetDownloadEntry("stranger", "gift.mp3", "share"));
    }

    void uploaderNoticesAndIdleUsers()
    {
        F::SetOnline("ann", true);
        ItemPtr entry = f->engine->AddDownload("ann", "a.mp3", "music", 1, 0);
        f->Take();
        f->engine->OnUploadFailedNotification("ann", "music\\a.mp3");
        QCOMPARE(f->Take("43").size(), 1);

        f->engine->SetDownloadEntryStatus(entry, "local error");
        EngineClock::AdvanceForTest(500);
        f->engine->OnUploadFailedNotification("ann", "music\\a.mp3");
        QCOMPARE(f->Take("43").size(), 0);
        QCOMPARE(*f->engine->TransferTime(F::User("ann"), "last_queue_request_time"), EngineClock::NowMs());
        // Nothing queued: the ticks leave the user alone.
        EngineClock::AdvanceForTest(3600000);
        f->engine->EveryHalfMinute();
        QCOMPARE(f->Kinds(), QStringList());

        // A complete file is never asked for again, nor turned into a failed one by a denial.
        f->engine->SetDownloadEntryStatus(entry, "complete");
        f->engine->OnUploadFailedNotification("ann", "music\\a.mp3");
        QCOMPARE(f->Take("43").size(), 0);
        f->engine->OnUploadDeniedNotification("ann", "music\\a.mp3", "File not shared.");
        QCOMPARE(F::Status(entry), QStringLiteral("complete"));
        QVERIFY(!entry["denial_reason"]);

        f->engine->OnUploadDeniedNotification("ann", "music\\gone.mp3", "File not shared.");
        f->engine->OnUploadFailedNotification("ann", "music\\gone.mp3");
        QCOMPARE(f->Kinds(), QStringList());

        // No entries: nothing logged, no times written.
        ItemPtr bob = F::User("bob");
        f->engine->RequeueUserDownloads(bob);
        QVERIFY(!bob["last_queue_request_time"] && !bob["next_place_in_line_request_time"]);
    }

    void targetPaths_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("partial");
        QTest::newRow("last component") << "music\\albums\\one"
                                        << "a.mp3" << 0 << "\\downloading\\one\\a.mp3";
        QTest::newRow("one more level") << "music\\albums\\one"
                                        << "a.mp3" << 1 << "\\downloading\\albums\\one\\a.mp3";
        QTest::newRow("deeper than the folder") << "albums\\one"
                                                << "a.mp3" << 5 << "\\downloading\\albums\\one\\a.mp3";
        QTest::newRow("no folder") << ""
                                   << "a.mp3" << 0 << "\\downloading\\a.mp3";
        QTest::newRow("climbing folder") << "..\\..\\.."
                                         << "a.mp3" << 9 << "\\downloading\\_\\_\\_\\a.mp3";
        QTest::newRow("climbing file") << "music"
                                       << ".." << 0 << "\\downloading\\music\\_";
        QTest::newRow("dot") << "music\\."
                             << "." << 0 << "\\downloading\\_\\_";
        QTest::newRow("slash inside") << "music/../../x"
                                      << "a" << 3 << "\\downloading\\music\\_\\_\\x\\a";
        QTest::newRow("NUL") << QStringLiteral("mu") + QChar(0) + QStringLiteral("sic") << "a" << 0
                             << "\\downloading\\_\\a";
        QTest::newRow("empty components") << "a\\\\b\\"
                                          << "c" << 4 << "\\downloading\\a\\b\\c";
        QTest::newRow("odd but ordinary") << "...\\ x \\.hidden"
                                          << "..mp3" << 2 << "\\downloading\\...\\ x \\.hidden\\..mp3";
    }
    void targetPaths()
    {
        QFETCH(QString, folder);
        QFETCH(QString, file);
        QFETCH(int, level);
        QFETCH(QString, partial);
        ItemPtr entry = f->engine->AddDownload("ann", file.toStdString(), folder.toStdString(), 1, level);
        QString base = Downloads();
        base.replace('/', '\\');
        QCOMPARE(f->engine->GetDownloadTargetPath(entry, false), base + partial);
        QString complete = partial;
        complete.replace("\\downloading", "\\complete");
        QCOMPARE(f->engine->GetDownloadTargetPath(entry, true), base + complete);
        const QString local = DownloadPaths::LocalPath(f->engine->GetDownloadTargetPath(entry, false));
        QVERIFY(QDir::cleanPath(local).startsWith(Downloads() + "/downloading/"));
        QCOMPARE(f->engine->GetDownloadRelativeDownloadFolder(entry),
                 QString(partial).remove("\\downloading\\").section('\\', 0, -2));
    }

    void partialFoldersGoOnlyWhenTheFolderIsDone()
    {
        ItemPtr a = f->engine->AddDownload("ann", "a.mp3", "music\\albums\\one", 1, 1);
        ItemPtr b = f->engine->AddDownload("bob", "b.mp3", "music\\albums\\one", 1, 1);
        const QString partial = DownloadPaths::LocalPath(f->engine->GetDownloadTargetFolder(a, false));
        QVERIFY(QDir().mkpath(partial));
        f->engine->SetDownloadEntryStatus(a, "complete");
        f->engine->RemoveDownloadDownloadingFolderIfAppropriate(a);
        QVERIFY(QDir(partial).exists());
        f->engine->SetDownloadEntryStatus(b, "complete");
        f->engine->RemoveDownloadDownloadingFolderIfAppropriate(a);
        QVERIFY(!QDir(partial).exists());
        QVERIFY(!QDir(Downloads() + "/downloading/albums").exists());
        QVERIFY(QDir(Downloads() + "/downloading").exists());

        // A level deeper than the folder never climbs above "downloading".
        ItemPtr deep = f->engine->AddDownload("ann", "z", "x", 1, 7);
        QVERIFY(QDir().mkpath(Downloads() + "/downloading/x"));
        f->engine->SetDownloadEntryStatus(deep, "complete");
        f->engine->RemoveDownloadDownloadingFolderIfAppropriate(deep);
        QVERIFY(QDir(Downloads() + "/downloading").exists());
    }

    void excludedExtensions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("excluded");
        QTest::newRow("dot ini") << "desktop.ini" << true;
        QTest::newRow("upper case") << "DESKTOP.INI" << false;
        QTest::newRow("no dot") << "mini" << true;
        QTest::newRow("other") << "song.mp3" << false;
    }
    void excludedExtensions()
    {
        QFETCH(QString, name);
        QFETCH(bool, excluded);
        QVERIFY(!f->engine->HasExcludedDownloadExtension(name));
        d->GetType("excluded_download_extension")->GetItem(".ini");
        d->GetType("excluded_download_extension")->GetItem("ini");
        d->GetType("excluded_download_extension")->GetItem("");
        QCOMPARE(f->engine->HasExcludedDownloadExtension(name), excluded);
    }

    void emptyShareCheck()
    {
        FileInfoMap empty;
        FileInfoMap one;
        one["music"];
        AttributeTranslationTable table;
        const auto judged = [&](const QString& i_user, FileInfoMap& io_share) {
            F::User(i_user).Connect(d->GetType("empty_share_check_status")->GetItem("requested"));
            f->engine->OnUserShare(i_user, io_share, table);
            return F::User(i_user)["empty_share_check_status"].AsString();
        };
        // Nothing pending: nothing changes.
        f->engine->OnUserShare("ann", empty, table);
        QVERIFY(!F::User("ann")["empty_share_check_status"]);

        SetSetting("check_for_empty_shares", "yes");
        QCOMPARE(judged("ann", one), QStringLiteral("not_empty"));
        QCOMPARE(judged("ann", empty), QStringLiteral("empty"));
        QCOMPARE(f->Taken("chat"), QStringList{GetSetting("empty_share_message")});
        QCOMPARE(F::User("ann")["sent_empty_share_warning_message"].AsString(), GetSetting("empty_share_message"));
        f->engine->OnUserShare("ann", empty, table);
        QCOMPARE(f->Take("chat").size(), 0);

        // Switched off, listed, or no text: judged, but not told.
        SetSetting("check_for_empty_shares", "no");
        QCOMPARE(judged("bob", empty), QStringLiteral("empty"));
        SetSetting("check_for_empty_shares", "yes");
        F::InUserList("cid");
        judged("cid", empty);
        SetSetting("empty_share_message", "");
        judged("dan", empty);
        QCOMPARE(f->Take("chat").size(), 0);
        QVERIFY(!F::User("dan")["sent_empty_share_warning_message"]);
    }
};

QTEST_GUILESS_MAIN(TestDownloadQueue)
#include "test_download_queue.moc"
