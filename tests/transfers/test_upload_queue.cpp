#include "QueueFixture.h"

#include "PeerMessages.h"
#include "TransferCells.h"

#include <QTcpSocket>

// Upload admission, order, start and the upload status machine, driven through the engine's
// slots on real shared files.
class TestUploadQueue : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QueueFixture> f;

    // ann, ben and cid online, each asking for one file of its own (a, b, c); the shared paths.
    QStringList QueueOneFileEach()
    {
        const QStringList paths = f->ShareFiles({"a.mp3", "b.mp3", "c.mp3"});
        const QStringList users = {"ann", "ben", "cid"};
        for (int n = 0; n < 3; ++n) {
            QueueFixture::SetOnline(users[n], true);
            f->engine->OnQueueUploadRequested(users[n], QueueFixture::Remote(paths[n]));
        }
        return paths;
    }

private slots:
    void init() { f = std::make_unique<QueueFixture>(); }
    void cleanup() { f.reset(); }

    void refusedRequestsEchoThePathAndQueueNothing_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("not shared") << QStringLiteral("\\somewhere\\else.mp3");
        QTest::newRow("climbing") << QStringLiteral("..\\..\\etc\\passwd");
        QTest::newRow("absolute") << QStringLiteral("/etc/passwd");
        QTest::newRow("climbing out of the share") << QStringLiteral("<root>\\..\\..\\etc\\passwd");
        QTest::newRow("NUL inside") << QStringLiteral("<root>\\a.mp3") + QChar(0) + QStringLiteral("x");
        QTest::newRow("empty") << QString();
    }
    void refusedRequestsEchoThePathAndQueueNothing()
    {
        QFETCH(QString, path);
        f->ShareFiles({"a.mp3"});
        path.replace(QStringLiteral("<root>"), QueueFixture::Remote(f->root));
        f->engine->OnQueueUploadRequested("bob", path);
        const QList<Sent> sent = f->Take("50");
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].file, path);
        QCOMPARE(sent[0].reason, QStringLiteral("File not shared."));
        QCOMPARE(d->GetType("upload_entry")->GetItemCount(), size_t(0));
    }

    void visibilityDecidesAdmission()
    {
        // A folder with no audience is shared with nobody; a group mark opens it to members.
        const QString file = QueueFixture::Remote(f->ShareFiles({"a.mp3"}, 10, false).first());
        f->engine->OnQueueUploadRequested("bob", file);
        QCOMPARE(f->Take("50").size(), 1);

        ItemPtr folder = d->GetType("shared_folder")->GetItem(f->root);
        folder.Connect(d->GetType("user_list_group")->GetItem("friends"));
        QueueFixture::AddToGroup("bob", "friends", 0);
        f->engine->OnQueueUploadRequested("bob", file);
        QVERIFY(f->Take("50").isEmpty());
        QVERIFY(QueueFixture::Upload("bob", file));

        // An unshared user is refused, also for a public folder.
        folder.Connect(d->GetType("shared_public")->GetGlobalNullItem());
        f->engine->UnshareUser("carol");
        f->engine->OnQueueUploadRequested("carol", file);
        QCOMPARE(f->Take("50").size(), 1);
        f->engine->ReshareUser("carol");
        f->engine->OnQueueUploadRequested("carol", file);
        QVERIFY(f->Take("50").isEmpty());
    }

    void duplicatesAndRequeues()
    {
        const QString local = f->ShareFiles({"a.mp3"}).first();
        const QString remote = QueueFixture::Remote(local);
        f->engine->OnQueueUploadRequested("bob", remote);
        ItemPtr entry = QueueFixture::Upload("bob", remote);
        QVERIFY(entry);
        QCOMPARE(QueueFixture::Status(entry), QStringLiteral("queued"));
        const qint64 arrival = entry["upload_order"].AsInt64();
        f->Take();

        // Asked again while queued: nothing is answered, nothing changes.
        f->engine->OnQueueUploadRequested("bob", remote);
        QCOMPARE(f->Kinds(), QStringList());
        QCOMPARE(d->GetType("upload_entry")->GetItemCount(), size_t(1));

        // An ended entry comes back with its old arrival number.
        f->engine->SetUploadEntryStatus(entry, "aborted");
        f->engine->OnQueueUploadRequested("bob", remote);
        QCOMPARE(QueueFixture::Status(entry), QStringLiteral("queued"));
        QCOMPARE(entry["upload_order"].AsInt64(), arrival);
        QCOMPARE(d->GetType("upload_entry")->GetItemCount(), size_t(1));

        // The order counter is the one downloads use too.
        const qint64 counter = GetSettingNumber("transfer_order_counter");
        f->engine->AddDownload("carol", "x.mp3", "music", 5, 0);
        QCOMPARE(GetSettingNumber("transfer_order_counter"), counter + 1);
    }

    void perUserLimitCountsOnlyQueuedEntries()
    {
        QStringList names;
        for (int n = 0; n < 1000; ++n)
            names << QStringLiteral("f%1.mp3").arg(n);
        const QStringList paths = f->ShareFiles(names, 1);
        // Offline, so nothing starts and every accepted entry stays queued.
        for (const QString& path : paths)
            f->engine->OnQueueUploadRequested("bob", QueueFixture::Remote(path));
        const QList<Sent> denials = f->Take("50");
        QCOMPARE(denials.size(), 800);
        QCOMPARE(denials.first().file, QueueFixture::Remote(paths.at(200)));
        QCOMPARE(denials.first().reason, QStringLiteral("Too many files"));
        QCOMPARE(f->engine->QueuedUploadCount(), 200);

        // Ended and running entries do not count.
        ItemPtr first = QueueFixture::Upload("bob", QueueFixture::Remote(paths.at(0)));
        f->engine->SetUploadEntryStatus(first, "complete");
        f->engine->OnQueueUploadRequested("bob", QueueFixture::Remote(paths.at(200)));
        QVERIFY(f->Take("50").isEmpty());
        f->engine->OnQueueUploadRequested("bob", QueueFixture::Remote(paths.at(201)));
        QCOMPARE(f->Take("50").size(), 1);

        // Our own offers ignore the limit.
        f->engine->AddUpload("bob", paths.at(300));
        QCOMPARE(f->Take("60").size(), 1);
        QVERIFY(QueueFixture::Upload("bob", paths.at(300)));
    }

    void addUploadOffersFirstAndIsOnlyLogged()
    {
        const QString local = f->ShareFiles({"a.mp3"}, 1234).first();
        f->engine->AddUpload("bob", f->root + "/missing.mp3");
        QCOMPARE(f->Kinds(), QStringList());
        f->engine->AddUpload("bob", local);
        const QList<Sent> offers = f->Take("60");
        QCOMPARE(offers.size(), 1);
        QCOMPARE(offers[0].number, qint64(1234));
        QVERIFY(QueueFixture::Upload("bob", local));
    }

    void oneSlotThreeUsersGoldenCase()
    {
        const QStringList paths = QueueOneFileEach();
        const QList<Sent> requests = f->Take("40");
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].user, QStringLiteral("ann"));
        ItemPtr a = QueueFixture::Upload("ann", QueueFixture::Remote(paths[0]));
        QCOMPARE(QueueFixture::Status(a), QStringLiteral("requesting"));
        QCOMPARE(a["transfer_req"].AsUInt(), 100u);

        // The numbers are those of the last pass with a free slot.
        f->engine->OnQueueUploadRequested("zed", "\\nothing");
        f->Take();
        f->engine->OnUploadPlaceInLineRequested("ben", QueueFixture::Remote(paths[1]));
        f->engine->OnUploadPlaceInLineRequested("cid", QueueFixture::Remote(paths[2]));
        f->engine->OnUploadPlaceInLineRequested("ann", QueueFixture::Remote(paths[0]));
        f->engine->OnUploadPlaceInLineRequested("ben", QueueFixture::Remote(paths[2]));
        f->engine->OnUploadPlaceInLineRequested("ben", paths[1]);
        const QList<Sent> places = f->Take("44");
        QCOMPARE(places.size(), 3);
        QCOMPARE(places[0].number, qint64(1));
        QCOMPARE(places[0].file, QueueFixture::Remote(paths[1]));
        QCOMPARE(places[1].number, qint64(2));
        QCOMPARE(places[2].number, qint64(0));
        QVERIFY(!f->engine->IsFreeToUpload());
        // Search replies tell the same: no free slot, two waiting.
        QCOMPARE(sharedFoldersManager->CurrentUploadState().freeSlot, false);
        QCOMPARE(sharedFoldersManager->CurrentUploadState().queuedUploads, 2u);
    }

    void onePerUserAndOfflineUsersWait()
    {
        SetSetting("upload_slots", "2");
        const QStringList paths = f->ShareFiles({"a.mp3", "b.mp3", "c.mp3"});
        QueueFixture::SetOnline("ann", true);
        f->engine->OnQueueUploadRequested("ann", QueueFixture::Remote(paths[0]));
        f->engine->OnQueueUploadRequested("ann", QueueFixture::Remote(paths[1]));
        f->engine->OnQueueUploadRequested("ben", QueueFixture::Remote(paths[2]));
        QCOMPARE(f->Take("40").size(), 1);
        ItemPtr second = QueueFixture::Upload("ann", QueueFixture::Remote(paths[1]));
        ItemPtr offline = QueueFixture::Upload("ben", QueueFixture::Remote(paths[2]));
        QCOMPARE(QueueFixture::Status(second), QStringLiteral("queued"));
        // Each pass numbers the queued entries of online users from 0; the offline one was
        // placed behind the last of them and keeps its number.
        QCOMPARE(QueueFixture::Order(second), qint64(0));
        QCOMPARE(QueueFixture::Order(offline), qint64(1));

        QueueFixture::SetOnline("ben", true);
        const QList<Sent> started = f->Take("40");
        QCOMPARE(started.size(), 1);
        QCOMPARE(started[0].user, QStringLiteral("ben"));
        QCOMPARE(QueueFixture::Status(offline), QStringLiteral("requesting"));
    }

    void loweredSlotsStartNothingUntilEnoughEnd()
    {
        SetSetting("upload_slots", "3");
        QStringList names;
        for (int n = 0; n < 4; ++n)
            names << QStringLiteral("f%1.mp3").arg(n);
        const QStringList paths = f->ShareFiles(names);
        const QStringList users = {"u0", "u1", "u2", "u3"};
        for (int n = 0; n < 3; ++n) {
            QueueFixture::SetOnline(users[n], true);
            f->engine->OnQueueUploadRequested(users[n], QueueFixture::Remote(paths[n]));
        }
        QCOMPARE(f->Take("40").size(), 3);
        SetSetting("upload_slots", "1");
        QueueFixture::SetOnline("u3", true);
        f->engine->OnQueueUploadRequested("u3", QueueFixture::Remote(paths[3]));
        QCOMPARE(f->Take("40").size(), 0);
        for (int n = 0; n < 3; ++n) {
            f->engine->SetUploadEntryStatus(QueueFixture::Upload(users[n], QueueFixture::Remote(paths[n])), "complete");
            f->engine->StartNewUploads();
            QCOMPARE(f->Take("40").size(), n == 2 ? 1 : 0);
        }
    }

    void hugeFilesKeepTheirSize()
    {
        const QString path = f->ShareFiles({"big.iso"}, Q_INT64_C(5000000000)).first();
        QueueFixture::SetOnline("ann", true);
        f->engine->OnQueueUploadRequested("ann", QueueFixture::Remote(path));
        const QList<Sent> requests = f->Take("40");
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].number, Q_INT64_C(5000000000));
    }

    void priorityAndPrivilegeGoFirst()
    {
        const QStringList paths = f->ShareFiles({"a.mp3", "b.mp3", "c.mp3", "d.mp3"});
        f->engine->OnQueueUploadRequested("ann", QueueFixture::Remote(paths[0]));
        f->engine->OnQueueUploadRequested("ben", QueueFixture::Remote(paths[1]));
        QueueFixture::AddToGroup("vip", "gold", 5);
        QueueFixture::AddToGroup("vip", "lead", -3);
        f->engine->OnQueueUploadRequested("vip", QueueFixture::Remote(paths[2]));
        QueueFixture::User("rich").Connect(d->GetType("is_privileged")->GetGlobalNullItem());
        f->engine->OnQueueUploadRequested("rich", QueueFixture::Remote(paths[3]));

        QCOMPARE(f->engine->GetUserGroupDownloadPriority("vip"), 5);
        QCOMPARE(f->engine->GetUserGroupDownloadPriority("ann"), 0);
        QCOMPARE(QueueFixture::Order(QueueFixture::Upload("vip", QueueFixture::Remote(paths[2]))), qint64(1));
        QCOMPARE(QueueFixture::Order(QueueFixture::Upload("rich", QueueFixture::Remote(paths[3]))), qint64(2));
        QCOMPARE(QueueFixture::Order(QueueFixture::Upload("ann", QueueFixture::Remote(paths[0]))), qint64(3));
        QCOMPARE(QueueFixture::Order(QueueFixture::Upload("ben", QueueFixture::Remote(paths[1]))), qint64(4));
    }

    void abortTellsThePeerWithThePathAsAsked()
    {
        const QString path = f->ShareFiles({"a b.mp3"}).first();
        const QString remote = QueueFixture::Remote(path);
        QueueFixture::SetOnline("ann", true);
        f->engine->OnQueueUploadRequested("ann", remote);
        ItemPtr entry = QueueFixture::Upload("ann", remote);
        f->Take();

        f->engine->SetUploadEntryStatus(entry, "aborted");
        const QList<Sent> failures = f->Take("46");
        QCOMPARE(failures.size(), 1);
        QCOMPARE(failures[0].bytes, PeerMessages::BuildUploadFailed(remote.toStdString()).ToByteArray());

        // Aborting an entry that was only queued tells nobody.
        f->engine->SetUploadEntryStatus(entry, "queued");
        f->engine->SetUploadEntryStatus(entry, "aborted");
        QCOMPARE(f->Take("46").size(), 0);
    }

    void stoppingReleasesWhatTheTransferHeld()
    {
        const QString path = f->ShareFiles({"a.mp3"}).first();
        QueueFixture::SetOnline("ann", true);
        f->engine->OnQueueUploadRequested("ann", QueueFixture::Remote(path));
        ItemPtr entry = QueueFixture::Upload("ann", QueueFixture::Remote(path));

        auto* thread = new IdleTransferThread;
        thread->start();
        auto* file = new QFile(path);
        QVERIFY(file->open(QIODevice::ReadOnly));
        QPointer<QTcpSocket> socket = new QTcpSocket;
        auto* position = new PositionCell(7);
        entry.Connect(d->GetType("upload_thread")->GetItem(Value(static_cast<TransferThread*>(thread))));
        entry.Connect(d->GetType("upload_file")->GetItem(Value(file)));
        entry.Connect(d->GetType("upload_socket")->GetItem(Value(socket.data())));
        entry.Connect(d->GetType("read_position")->GetItem(Value(position)));
        NewTransferCell<TimeCell>(entry, "last_receipt_time");
        NewTransferCell<SpeedCell>(entry, "bytes_per_second");
        NewTransferCell<CounterCell>(entry, "bytes_uploaded");

        // Running to running keeps everything.
        f->engine->SetUploadEntryStatus(entry, "uploading");
        QVERIFY(entry["upload_thread"] && entry["upload_file"] && entry["upload_socket"]);

        QPointer<QThread> watched = thread;
        f->engine->SetUploadEntryStatus(entry, "complete");
        QVERIFY(thread->isFinished());
        QVERIFY(thread->m_signalled);
        for (const char* type : {"upload_thread", "upload_file", "upload_socket", "read_position", "last_receipt_time",
                                 "bytes_per_second"})
            QVERIFY2(!entry[type], type);
        QVERIFY(entry["bytes_uploaded"]);
        QCOMPARE(f->Take("46").size(), 0);
        QTRY_VERIFY(!socket);
        QTRY_VERIFY(!watched);

        // The kept counter goes with the entry at the next collection.
        f->engine->RemoveUpload(entry);
        d->RemoveDisconnectedItems();
        QVERIFY(d->GetType("bytes_uploaded")->GetItems().empty());
    }

    void everyChangeStampsItsTime()
    {
        const QString path = f->ShareFiles({"a.mp3"}).first();
        f->engine->OnQueueUploadRequested("ann", QueueFixture::Remote(path));
        ItemPtr entry = QueueFixture::Upload("ann", QueueFixture::Remote(path));
        const qint64 first = *f->engine->TransferTime(entry, "last_status_change_time");
        EngineClock::AdvanceForTest(1);
        f->engine->SetUploadEntryStatus(entry, "queued");
        QCOMPARE(*f->engine->TransferTime(entry, "last_status_change_time"), first + 1);
    }

    void unsharingDeniesEveryEntryAndFreesTheSlot()
    {
        const QStringList paths = f->ShareFiles({"a.mp3", "b.mp3", "c.mp3"});
        QueueFixture::SetOnline("ann", true);
        QueueFixture::SetOnline("ben", true);
        f->engine->OnQueueUploadRequested("ann", QueueFixture::Remote(paths[0]));
        f->engine->OnQueueUploadRequested("ann", QueueFixture::Remote(paths[1]));
        f->engine->OnQueueUploadRequested("ben", QueueFixture::Remote(paths[2]));
        QCOMPARE(f->Take("40").size(), 1);

        f->engine->UnshareUser("ann");
        const QList<Sent> denials = f->Take("50");
        QCOMPARE(denials.size(), 2);
        QStringList files = {denials[0].file, denials[1].file};
        files.sort();
        QCOMPARE(files, (QStringList{QueueFixture::Remote(paths[0]), QueueFixture::Remote(paths[1])}));
        QVERIFY(QueueFixture::User("ann").GetItems("upload_entry").empty());
        // The running entry's slot goes to the next in line at once.
        const QList<Sent> started = f->Take("40");
        QCOMPARE(started.size(), 1);
        QCOMPARE(started[0].user, QStringLiteral("ben"));

        // The cached last entry went with them; new arrivals are still numbered behind the queue.
        f->engine->ReshareUser("ann");
        f->engine->OnQueueUploadRequested("ann", QueueFixture::Remote(paths[0]));
        ItemPtr again = QueueFixture::Upload("ann", QueueFixture::Remote(paths[0]));
        QCOMPARE(QueueFixture::Status(again), QStringLiteral("queued"));
        QCOMPARE(QueueFixture::Order(again), QueueFixture::Order(QueueFixture::Upload("ben", QueueFixture::Remote(paths[2]))) + 1);
    }

    void emptyShareCheckIsAskedOnce()
    {
        const QStringList paths = f->ShareFiles({"a.mp3", "b.mp3"});
        SetSetting("check_for_empty_shares", "yes");
        f->engine->OnQueueUploadRequested("ann", QueueFixture::Remote(paths[0]));
        f->engine->OnQueueUploadRequested("ann", QueueFixture::Remote(paths[1]));
        QCOMPARE(f->Take("4").size(), 1);
        QCOMPARE(QueueFixture::User("ann")["empty_share_check_status"].AsString(), QStringLiteral("requested"));
        QueueFixture::InUserList("ben");
        f->engine->OnQueueUploadRequested("ben", QueueFixture::Remote(paths[0]));
        f->engine->AddUpload("cid", paths[0]);
        QCOMPARE(f->Take("4").size(), 0);
    }

    void transferResponses()
    {
        const QStringList paths = QueueOneFileEach();
        ItemPtr a = QueueFixture::Upload("ann", QueueFixture::Remote(paths[0]));
        ItemPtr b = QueueFixture::Upload("ben", QueueFixture::Remote(paths[1]));
        ItemPtr c = QueueFixture::Upload("cid", QueueFixture::Remote(paths[2]));
        f->Take();

        // Tokens nobody gave, or given to someone else, change nothing.
        f->engine->OnFileTransferResponse("ann", 999, true, false, 0, QString());
        f->engine->OnFileTransferResponse("mallory", 100, true, false, 0, QString());
        QCOMPARE(QueueFixture::Status(a), QStringLiteral("requesting"));
        QCOMPARE(f->Kinds(), QStringList());

        // A refusal ends it and the next one starts.
        f->engine->OnFileTransferResponse("ann", 100, false, false, 0, "Queued");
        QCOMPARE(QueueFixture::Status(a), QStringLiteral("denied"));
        QCOMPARE(a["denial_reason"].AsString(), QStringLiteral("Queued"));
        QCOMPARE(QueueFixture::Status(b), QStringLiteral("requesting"));
        QCOMPARE(b["transfer_req"].AsUInt(), 101u);
        f->Take();

        // Accepted after it ended: not processed.
        f->engine->OnFileTransferResponse("ann", 100, true, false, 0, QString());
        QCOMPARE(f->Kinds(), QStringList());

        // A file gone from disk: the peer hears "File read error." for the path it asked for.
        QVERIFY(QFile::remove(paths[1]));
        f->engine->OnFileTransferResponse("ben", 101, true, false, 0, QString());
        QCOMPARE(QueueFixture::Status(b), QStringLiteral("local error"));
        const QList<Sent> denials = f->Take("50");
        QCOMPARE(denials.size(), 1);
        QCOMPARE(denials[0].file, QueueFixture::Remote(paths[1]));
        QCOMPARE(denials[0].reason, QStringLiteral("File read error."));
        QCOMPARE(QueueFixture::Status(c), QStringLiteral("requesting"));
        f->Take();

        // Accepted: the file is open and a file connection is asked for.
        f->engine->OnFileTransferResponse("cid", 102, true, false, 0, QString());
        QCOMPARE(QueueFixture::Status(c), QStringLiteral("connecting"));
        QCOMPARE(f->Kinds(), QStringList{"F"});
        auto* file = c["upload_file"].AsPointer<QFile>();
        QVERIFY(file && file->isOpen());
        f->engine->SetUploadEntryStatus(c, "aborted");
        QVERIFY(!c["upload_file"]);
    }

    void startTimeoutsOnTheHalfMinute()
    {
        SetSetting("upload_slots", "2");
        const QStringList paths = QueueOneFileEach();
        ItemPtr a = QueueFixture::Upload("ann", QueueFixture::Remote(paths[0]));
        ItemPtr b = QueueFixture::Upload("ben", QueueFixture::Remote(paths[1]));
        f->engine->OnFileTransferResponse("ann", 100, true, false, 0, QString());
        f->engine->SetUploadEntryStatus(b, "uploading");
        f->Take();

        EngineClock::AdvanceForTest(29999);
        f->engine->EveryHalfMinute();
        QCOMPARE(QueueFixture::Status(a), QStringLiteral("connecting"));
        EngineClock::AdvanceForTest(1);
        f->engine->EveryHalfMinute();
        QCOMPARE(QueueFixture::Status(a), QStringLiteral("aborted"));
        QCOMPARE(QueueFixture::Status(b), QStringLiteral("uploading"));
        QCOMPARE(f->Take("46").size(), 1);
        QCOMPARE(f->Take("40").size(), 1);

        // A clock set back does not count as time gone by.
        ItemPtr c = QueueFixture::Upload("cid", QueueFixture::Remote(paths[2]));
        EngineClock::AdvanceForTest(-3600000);
        f->engine->EveryHalfMinute();
        QCOMPARE(QueueFixture::Status(c), QStringLiteral("requesting"));
    }
};

QTEST_GUILESS_MAIN(TestUploadQueue)
#include "test_upload_queue.moc"
