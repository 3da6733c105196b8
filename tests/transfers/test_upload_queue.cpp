#include "QueueFixture.h"

#include "PeerMessages.h"
#include "TransferCells.h"

#include <QTcpSocket>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using F = QueueFixture;

// Upload admission, order, start and the upload status machine, driven through the engine's
// slots on real shared files.
class TestUploadQueue : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QueueFixture> f;

    // A peer asks for one of our files by the name it sees, and the entry that makes.
    void Ask(const QString& i_user, const QString& i_local)
    {
        f->engine->OnQueueUploadRequested(i_user, F::Remote(i_local));
    }
    static ItemPtr Entry(const QString& i_user, const QString& i_local)
    {
        return F::Upload(i_user, F::Remote(i_local));
    }

    // Four huge files a to d shared; ann, ben and cid online, each asking for its own of a, b, c.
    QStringList QueueOneFileEach()
    {
        const QStringList paths = f->ShareFiles({"a.iso", "b.iso", "c.iso", "d.iso"}, Q_INT64_C(5000000000));
        const QStringList users = {"ann", "ben", "cid"};
        for (int n = 0; n < 3; ++n)
        {
            F::SetOnline(users[n], true);
            Ask(users[n], paths[n]);
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
        path.replace(QStringLiteral("<root>"), F::Remote(f->root));
        f->engine->OnQueueUploadRequested("bob", path);
        const Sent denial = f->One("50");
        QCOMPARE(denial.file, path);
        QCOMPARE(denial.reason, QStringLiteral("File not shared."));
        QCOMPARE(d->GetType("upload_entry")->GetItemCount(), size_t(0));
    }

    void visibilityDecidesAdmission()
    {
        // A folder with no audience is shared with nobody; a group mark opens it to members.
        const QString file = f->ShareFiles({"a.mp3"}, 10, false).first();
        Ask("bob", file);
        QCOMPARE(f->Take("50").size(), 1);

        ItemPtr folder = d->GetType("shared_folder")->GetItem(f->root);
        folder.Connect(d->GetType("user_list_group")->GetItem("friends"));
        F::AddToGroup("bob", "friends", 0);
        Ask("bob", file);
        QVERIFY(f->Take("50").isEmpty());
        QVERIFY(Entry("bob", file));

        // An unshared user is refused, also for a public folder.
        folder.Connect(d->GetType("shared_public")->GetGlobalNullItem());
        f->engine->UnshareUser("carol");
        Ask("carol", file);
        QCOMPARE(f->Take("50").size(), 1);
        f->engine->ReshareUser("carol");
        Ask("carol", file);
        QVERIFY(f->Take("50").isEmpty());
    }

    void duplicatesAndRequeues()
    {
        const QString local = f->ShareFiles({"a.mp3"}).first();
        Ask("bob", local);
        ItemPtr entry = Entry("bob", local);
        QVERIFY(entry);
        QCOMPARE(F::Status(entry), QStringLiteral("queued"));
        const qint64 arrival = entry["upload_order"].AsInt64();
        const qint64 stamped = *f->engine->TransferTime(entry, "last_status_change_time");
        f->Take();

        // Asked again while queued: nothing is answered, nothing changes.
        Ask("bob", local);
        QCOMPARE(f->Kinds(), QStringList());
        QCOMPARE(d->GetType("upload_entry")->GetItemCount(), size_t(1));

        // An ended entry comes back with its old arrival number; every change stamps its time.
        EngineClock::AdvanceForTest(1);
        f->engine->SetUploadEntryStatus(entry, "aborted");
        QCOMPARE(*f->engine->TransferTime(entry, "last_status_change_time"), stamped + 1);
        Ask("bob", local);
        QCOMPARE(F::Status(entry), QStringLiteral("queued"));
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
            Ask("bob", path);
        const QList<Sent> denials = f->Take("50");
        QCOMPARE(denials.size(), 800);
        QCOMPARE(denials.first().file, F::Remote(paths.at(200)));
        QCOMPARE(denials.first().reason, QStringLiteral("Too many files"));
        QCOMPARE(f->engine->QueuedUploadCount(), 200);

        // Ended and running entries do not count.
        f->engine->SetUploadEntryStatus(Entry("bob", paths.at(0)), "complete");
        Ask("bob", paths.at(200));
        QVERIFY(f->Take("50").isEmpty());
        Ask("bob", paths.at(201));
        QCOMPARE(f->Take("50").size(), 1);

        // Our own offers ignore the limit and are told first; a missing file is only logged.
        QVERIFY(!f->engine->AddUpload("bob", f->root + "/missing.mp3"));
        QCOMPARE(f->Kinds(), QStringList());
        QVERIFY(f->engine->AddUpload("bob", paths.at(300)));
        QCOMPARE(f->One("60").number, qint64(1));
        QVERIFY(F::Upload("bob", paths.at(300)));
    }

    void oneSlotThreeUsersGoldenCase()
    {
        const QStringList paths = QueueOneFileEach();
        const Sent request = f->One("40");
        QCOMPARE(request.user, QStringLiteral("ann"));
        QCOMPARE(request.number, Q_INT64_C(5000000000));
        ItemPtr a = Entry("ann", paths[0]);
        QCOMPARE(F::Status(a), QStringLiteral("requesting"));
        QCOMPARE(a["transfer_req"].AsUInt(), 100u);

        // The numbers are those of the last pass with a free slot.
        f->engine->OnQueueUploadRequested("zed", "\\nothing");
        f->Take();
        f->engine->OnUploadPlaceInLineRequested("ben", F::Remote(paths[1]));
        f->engine->OnUploadPlaceInLineRequested("cid", F::Remote(paths[2]));
        f->engine->OnUploadPlaceInLineRequested("ann", F::Remote(paths[0]));
        f->engine->OnUploadPlaceInLineRequested("ben", F::Remote(paths[2]));
        f->engine->OnUploadPlaceInLineRequested("ben", paths[1]);
        const QList<Sent> places = f->Take("44");
        QCOMPARE(places.size(), 3);
        QCOMPARE(places[0].number, qint64(1));
        QCOMPARE(places[0].file, F::Remote(paths[1]));
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
        F::SetOnline("ann", true);
        Ask("ann", paths[0]);
        Ask("ann", paths[1]);
        Ask("ben", paths[2]);
        QCOMPARE(f->Take("40").size(), 1);
        ItemPtr second = Entry("ann", paths[1]);
        ItemPtr offline = Entry("ben", paths[2]);
        QCOMPARE(F::Status(second), QStringLiteral("queued"));
        // Each pass numbers the queued entries of online users from 0; the offline one was
        // placed behind the last of them and keeps its number.
        QCOMPARE(F::Order(second), qint64(0));
        QCOMPARE(F::Order(offline), qint64(1));

        F::SetOnline("ben", true);
        QCOMPARE(f->Taken("40", &Sent::user), QStringList{"ben"});
        QCOMPARE(F::Status(offline), QStringLiteral("requesting"));
    }

    void loweredSlotsStartNothingUntilEnoughEnd()
    {
        SetSetting("upload_slots", "3");
        const QStringList paths = QueueOneFileEach();
        QCOMPARE(f->Take("40").size(), 3);
        SetSetting("upload_slots", "1");
        F::SetOnline("dan", true);
        Ask("dan", paths[3]);
        QCOMPARE(f->Take("40").size(), 0);
        const QStringList users = {"ann", "ben", "cid"};
        for (int n = 0; n < 3; ++n)
        {
            f->engine->SetUploadEntryStatus(Entry(users[n], paths[n]), "complete");
            f->engine->StartNewUploads();
            QCOMPARE(f->Take("40").size(), n == 2 ? 1 : 0);
        }
    }

    void priorityAndPrivilegeGoFirst()
    {
        const QStringList paths = f->ShareFiles({"a.mp3", "b.mp3", "c.mp3", "d.mp3"});
        Ask("ann", paths[0]);
        Ask("ben", paths[1]);
        F::AddToGroup("vip", "gold", 5);
        F::AddToGroup("vip", "lead", -3);
        Ask("vip", paths[2]);
        F::User("rich").Connect(d->GetType("is_privileged")->GetGlobalNullItem());
        Ask("rich", paths[3]);

        QCOMPARE(f->engine->GetUserGroupDownloadPriority("vip"), 5);
        QCOMPARE(f->engine->GetUserGroupDownloadPriority("ann"), 0);
        QCOMPARE(F::Order(Entry("vip", paths[2])), qint64(1));
        QCOMPARE(F::Order(Entry("rich", paths[3])), qint64(2));
        QCOMPARE(F::Order(Entry("ann", paths[0])), qint64(3));
        QCOMPARE(F::Order(Entry("ben", paths[1])), qint64(4));

        // A pass starts and numbers by that rank, not by arrival.
        SetSetting("upload_slots", "0");
        for (const char* name : {"ann", "ben", "vip", "rich"})
            F::SetOnline(name, true);
        QCOMPARE(f->Take("40").size(), 0);
        SetSetting("upload_slots", "2");
        f->engine->StartNewUploads();
        QCOMPARE(f->Taken("40", &Sent::user), (QStringList{"vip", "rich"}));
        QCOMPARE(F::Order(Entry("vip", paths[2])), qint64(0));
        QCOMPARE(F::Order(Entry("rich", paths[3])), qint64(1));
        QCOMPARE(F::Order(Entry("ann", paths[0])), qint64(2));
        QCOMPARE(F::Order(Entry("ben", paths[1])), qint64(3));
    }

    void abortTellsThePeerWithThePathAsAsked()
    {
        const QString path = f->ShareFiles({"a b.mp3"}).first();
        F::SetOnline("ann", true);
        Ask("ann", path);
        ItemPtr entry = Entry("ann", path);
        f->Take();

        f->engine->SetUploadEntryStatus(entry, "aborted");
        QCOMPARE(f->One("46").bytes, PeerMessages::BuildUploadFailed(F::Remote(path).toStdString()).ToByteArray());

        // Aborting an entry that was only queued tells nobody.
        f->engine->SetUploadEntryStatus(entry, "queued");
        f->engine->SetUploadEntryStatus(entry, "aborted");
        QCOMPARE(f->Take("46").size(), 0);
    }

    void stoppingReleasesWhatTheTransferHeld()
    {
        const QString path = f->ShareFiles({"a.mp3"}).first();
        F::SetOnline("ann", true);
        Ask("ann", path);
        ItemPtr entry = Entry("ann", path);

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

    void unsharingDeniesEveryEntryAndFreesTheSlot()
    {
        const QStringList paths = f->ShareFiles({"a.mp3", "b.mp3", "c.mp3"});
        F::SetOnline("ann", true);
        F::SetOnline("ben", true);
        Ask("ann", paths[0]);
        Ask("ann", paths[1]);
        Ask("ben", paths[2]);
        QCOMPARE(f->Take("40").size(), 1);

        f->engine->UnshareUser("ann");
        QStringList files = f->Taken("50");
        files.sort();
        QCOMPARE(files, (QStringList{F::Remote(paths[0]), F::Remote(paths[1])}));
        QVERIFY(F::User("ann").GetItems("upload_entry").empty());
        // The running entry's slot goes to the next in line at once.
        QCOMPARE(f->Taken("40", &Sent::user), QStringList{"ben"});

        // The cached last entry went with them; new arrivals are still numbered behind the queue.
        f->engine->ReshareUser("ann");
        Ask("ann", paths[0]);
        ItemPtr again = Entry("ann", paths[0]);
        QCOMPARE(F::Status(again), QStringLiteral("queued"));
        QCOMPARE(F::Order(again), F::Order(Entry("ben", paths[2])) + 1);
    }

    void access_taken_away_while_queued_is_denied_at_start()
    {
        // Bob may see the folder through his group, ann as everyone may; both wait offline.
        const QString file = f->ShareFiles({"a.mp3"}).first();
        ItemPtr folder = d->GetType("shared_folder")->GetItem(f->root);
        ItemPtr friends = d->GetType("user_list_group")->GetItem("friends");
        F::AddToGroup("bob", "friends", 0);
        Ask("bob", file);
        Ask("ann", file);
        QCOMPARE(F::Status(Entry("bob", file)), QStringLiteral("queued"));
        QCOMPARE(F::Status(Entry("ann", file)), QStringLiteral("queued"));

        // The folder goes from everyone to the group, and bob out of the group.
        folder.Disconnect(d->GetType("shared_public")->GetGlobalNullItem());
        folder.Connect(friends);
        F::InUserList("bob").Disconnect(friends);
        for (const char* user : {"bob", "ann"})
        {
            F::SetOnline(user, true);
            QVERIFY(f->Take("40").isEmpty());
            const Sent denial = f->One("50");
            QCOMPARE(denial.user, QString::fromLatin1(user));
            QCOMPARE(denial.file, F::Remote(file));
            QCOMPARE(denial.reason, QStringLiteral("File not shared."));
            QVERIFY(!Entry(user, file));
        }

        // Unshared and rescanned while carol waits: no request for a file that is gone.
        folder.Connect(d->GetType("shared_public")->GetGlobalNullItem());
        Ask("carol", file);
        QVERIFY(Entry("carol", file));
        folder.Remove();
        d->RemoveDisconnectedItems();
        sharedFoldersManager->RescanShares();
        F::SetOnline("carol", true);
        QVERIFY(f->Take("40").isEmpty());
        QCOMPARE(f->One("50").reason, QStringLiteral("File not shared."));
    }

    void a_file_replaced_by_a_pipe_is_denied_without_waiting_on_it()
    {
        const QStringList paths = QueueOneFileEach();
        f->Take();
        const QByteArray pipe = QFile::encodeName(paths[0]);
        QVERIFY(QFile::remove(paths[0]));
        QVERIFY(::mkfifo(pipe.constData(), 0600) == 0);

        // Should the open wait for a writer, one comes after a while: the test fails, never hangs.
        std::atomic<bool> returned{false};
        std::atomic<bool> rescued{false};
        std::thread writer([&] {
            for (int n = 0; n < 500 && !returned; ++n)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            while (!returned)
            {
                const int fd = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                {
                    rescued = true;
                    ::close(fd);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        f->engine->OnFileTransferResponse("ann", 100, true, false, 0, QString());
        returned = true;
        writer.join();
        QVERIFY(!rescued);
        QCOMPARE(F::Status(Entry("ann", paths[0])), QStringLiteral("local error"));
        const Sent denial = f->One("50");
        QCOMPARE(denial.file, F::Remote(paths[0]));
        QCOMPARE(denial.reason, QStringLiteral("File read error."));
    }

    void emptyShareCheckIsAskedOnce()
    {
        const QStringList paths = f->ShareFiles({"a.mp3", "b.mp3"});
        SetSetting("check_for_empty_shares", "yes");
        Ask("ann", paths[0]);
        Ask("ann", paths[1]);
        QCOMPARE(f->Take("4").size(), 1);
        QCOMPARE(F::User("ann")["empty_share_check_status"].AsString(), QStringLiteral("requested"));
        F::InUserList("ben");
        Ask("ben", paths[0]);
        f->engine->AddUpload("cid", paths[0]);
        QCOMPARE(f->Take("4").size(), 0);
    }

    void transferResponses()
    {
        const QStringList paths = QueueOneFileEach();
        ItemPtr a = Entry("ann", paths[0]);
        ItemPtr b = Entry("ben", paths[1]);
        ItemPtr c = Entry("cid", paths[2]);
        f->Take();

        // Tokens nobody gave, or given to someone else, change nothing.
        f->engine->OnFileTransferResponse("ann", 999, true, false, 0, QString());
        f->engine->OnFileTransferResponse("mallory", 100, true, false, 0, QString());
        QCOMPARE(F::Status(a), QStringLiteral("requesting"));
        QCOMPARE(f->Kinds(), QStringList());

        // A refusal ends it and the next one starts.
        f->engine->OnFileTransferResponse("ann", 100, false, false, 0, "Queued");
        QCOMPARE(F::Status(a), QStringLiteral("denied"));
        QCOMPARE(a["denial_reason"].AsString(), QStringLiteral("Queued"));
        QCOMPARE(F::Status(b), QStringLiteral("requesting"));
        QCOMPARE(b["transfer_req"].AsUInt(), 101u);
        f->Take();

        // Accepted after it ended: not processed.
        f->engine->OnFileTransferResponse("ann", 100, true, false, 0, QString());
        QCOMPARE(f->Kinds(), QStringList());

        // A file gone from disk: the peer hears "File read error." for the path it asked for.
        QVERIFY(QFile::remove(paths[1]));
        f->engine->OnFileTransferResponse("ben", 101, true, false, 0, QString());
        QCOMPARE(F::Status(b), QStringLiteral("local error"));
        const Sent denial = f->One("50");
        QCOMPARE(denial.file, F::Remote(paths[1]));
        QCOMPARE(denial.reason, QStringLiteral("File read error."));
        QCOMPARE(F::Status(c), QStringLiteral("requesting"));
        f->Take();

        // Accepted: the file is open and a file connection is asked for.
        f->engine->OnFileTransferResponse("cid", 102, true, false, 0, QString());
        QCOMPARE(F::Status(c), QStringLiteral("connecting"));
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
        ItemPtr a = Entry("ann", paths[0]);
        ItemPtr b = Entry("ben", paths[1]);
        f->engine->OnFileTransferResponse("ann", 100, true, false, 0, QString());
        f->engine->SetUploadEntryStatus(b, "uploading");
        f->Take();

        EngineClock::AdvanceForTest(29999);
        f->engine->EveryHalfMinute();
        QCOMPARE(F::Status(a), QStringLiteral("connecting"));
        EngineClock::AdvanceForTest(1);
        f->engine->EveryHalfMinute();
        QCOMPARE(F::Status(a), QStringLiteral("aborted"));
        QCOMPARE(F::Status(b), QStringLiteral("uploading"));
        QCOMPARE(f->Take("46").size(), 1);
        QCOMPARE(f->Take("40").size(), 1);

        // A clock set back does not count as time gone by.
        ItemPtr c = Entry("cid", paths[2]);
        EngineClock::AdvanceForTest(-3600000);
        f->engine->EveryHalfMinute();
        QCOMPARE(F::Status(c), QStringLiteral("requesting"));
    }
};

QTEST_GUILESS_MAIN(TestUploadQueue)
#include "test_upload_queue.moc"
