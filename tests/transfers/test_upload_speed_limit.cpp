#include "DownloadThread.h"
#include "QueueFixture.h"
#include "TransferCells.h"
#include "TransferSockets.h"
#include "UploadSpeedLimiter.h"
#include "UploadThread.h"

#include <QSignalSpy>
#include <QTimer>

// The total upload limit shared out among running uploads, the per-chunk step of one upload
// against a clock the test moves, and real uploads while the limit is switched under them.
class TestUploadSpeedLimit : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QueueFixture> f;

    static ItemPtr NewUpload(const QString& i_status)
    {
        ItemPtr entry = d->GetType("upload_entry")->NewItem();
        entry += QueueFixture::Item("user", QStringLiteral("u"));
        entry += QueueFixture::Item("upload_entry_status", i_status);
        return entry;
    }

    struct FakeTime
    {
        qint64 ns = 0, slept = 0;
    };

    static UploadSpeedLimiter Limiter(FakeTime& io_time)
    {
        return UploadSpeedLimiter(
            transferQueueManager->UploadLimit(), [&io_time] { return io_time.ns; },
            [&io_time](qint64 i_ms) {
                io_time.ns += i_ms * 1000000;
                io_time.slept += i_ms;
                return true;
            });
    }

    // One upload limited to 100 KB/s, past its first step; the share equals the total, so that
    // step has nothing to restart.
    UploadSpeedLimiter StartedAt100(FakeTime& io_time)
    {
        f->engine->SetUploadSpeedLimit(100);
        f->engine->EnableUploadSpeedLimit(true);
        UploadSpeedLimiter limiter = Limiter(io_time);
        limiter.Start();
        bool changed = false;
        const bool stepped = limiter.Step(changed);
        [&] {
            QVERIFY(stepped);
            QVERIFY(!changed);
        }();
        return limiter;
    }

private slots:
    void init() { f = std::make_unique<QueueFixture>(false); }
    void cleanup() { f.reset(); }

    void shares_the_total_among_running_uploads_data()
    {
        QTest::addColumn<QString>("limit");
        QTest::addColumn<QString>("enabled");
        QTest::addColumn<int>("running");
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("share");
        QTest::addColumn<bool>("budgetReset");

        QTest::newRow("100 over three") << "100"
                                        << "yes" << 3 << 100 << 33 << true;
        QTest::newRow("2 over three") << "2"
                                      << "yes" << 3 << 2 << 1 << true;
        QTest::newRow("50 with none running") << "50"
                                              << "yes" << 0 << 50 << 50 << true;
        QTest::newRow("switched off") << "500"
                                      << "no" << 1 << 0 << 0 << false;
        QTest::newRow("zero") << "0"
                              << "yes" << 1 << 0 << 0 << false;
        QTest::newRow("not a number") << "fast"
                                      << "yes" << 1 << 0 << 0 << false;
        QTest::newRow("very high") << "99999"
                                   << "yes" << 1 << 99999 << 99999 << true;
    }

    void shares_the_total_among_running_uploads()
    {
        QFETCH(QString, limit);
        QFETCH(QString, enabled);
        QFETCH(int, running);
        QFETCH(int, total);
        QFETCH(int, share);
        QFETCH(bool, budgetReset);

        // Queued and finished uploads do not count; requesting ones do.
        NewUpload(QStringLiteral("queued"));
        NewUpload(QStringLiteral("complete"));
        std::vector<ItemPtr> active;
        for (int i = 0; i < running; ++i)
        {
            active.push_back(NewUpload(i % 2 ? QStringLiteral("requesting") : QStringLiteral("uploading")));
            NewTransferCell<TimeCell>(active.back(), "last_speed_measurement_time", 5);
            NewTransferCell<CounterCell>(active.back(), "bytes_since_last_receipt", 1234);
        }
        f->engine->UploadLimit().Add(777);

        SetSetting(QStringLiteral("upload_speed_limit"), limit);
        SetSetting(QStringLiteral("upload_speed_limit_enabled"), enabled);
        f->engine->DetermineUploadSpeedLimit();

        QCOMPARE(f->engine->GetUploadSpeed(), total);
        QCOMPARE(f->engine->UploadLimit().PerUpload(), share);
        QCOMPARE(f->engine->UploadLimit().Budget(), budgetReset ? 0 : 777);
        for (const ItemPtr& entry : active)
        {
            QCOMPARE(TransferCell<TimeCell>(entry, "last_speed_measurement_time")->load() != 5, budgetReset);
            QCOMPARE(TransferCell<CounterCell>(entry, "bytes_since_last_receipt")->load() == 0, budgetReset);
        }
    }

    void one_chunk_pays_by_sleeping_and_passes_the_rest_on()
    {
        FakeTime time;
        UploadSpeedLimiter limiter = StartedAt100(time);
        bool changed = false;
        limiter.Sent(8192);
        limiter.ChunkDone();

        QVERIFY(limiter.Step(changed));
        QCOMPARE(time.slept, qint64(81));                         // 8192 bytes at 100 bytes per ms
        QCOMPARE(f->engine->UploadLimit().Budget(), qint64(102)); // 100 KB/s allow 8294 bytes in 81 ms

        // Steady state: the budget comes back at the next step, and the limit holds exactly.
        qint64 sent = 8192;
        const qint64 start = time.ns;
        for (int i = 0; i < 1000; ++i)
        {
            limiter.Sent(8192);
            sent += 8192;
            time.ns += 300000; // sending takes a little time too
            QVERIFY(limiter.Step(changed));
        }
        const double kbPerSecond = double(sent - 8192) / 1024 / (double(time.ns - start) / 1e9);
        QVERIFY2(qAbs(kbPerSecond - 100) < 1.5, qPrintable(QString::number(kbPerSecond)));
    }

    void budget_saves_others_the_sleep()
    {
        FakeTime time;
        UploadSpeedLimiter limiter = StartedAt100(time);
        bool changed = false;
        f->engine->UploadLimit().Add(10000); // a slow upload's unused allowance
        limiter.Sent(8192);
        QVERIFY(limiter.Step(changed));
        QCOMPARE(time.slept, qint64(0));
        QCOMPARE(f->engine->UploadLimit().Budget(), qint64(10000 - 8192));
    }

    void limit_change_restarts_the_measurement()
    {
        FakeTime time;
        UploadSpeedLimiter limiter = Limiter(time);
        limiter.Start();
        bool changed = true;
        QVERIFY(limiter.Step(changed));
        QVERIFY(!changed);
        limiter.Sent(8192 * 50); // unlimited: no sleep, whatever was sent
        QVERIFY(limiter.Step(changed));
        QCOMPARE(time.slept, qint64(0));
        limiter.ChunkDone();

        f->engine->SetUploadSpeedLimit(1000);
        f->engine->EnableUploadSpeedLimit(true);
        time.ns += qint64(10) * 1000000000; // long unlimited time earns no allowance
        QVERIFY(limiter.Step(changed));
        QVERIFY(changed);
        QCOMPARE(time.slept, qint64(0)); // what was sent without a limit is not paid for
        QCOMPARE(f->engine->UploadLimit().Budget(), qint64(0));
        limiter.ChunkDone();
        QVERIFY(limiter.Step(changed));
        QVERIFY(!changed);
    }

    void setters_store_and_apply()
    {
        f->engine->SetUploadSlots(3);
        f->engine->SetUploadSlots(0);
        f->engine->SetUploadSlots(100);
        QCOMPARE(GetSetting("upload_slots"), QStringLiteral("3"));

        f->engine->SetUploadSpeedLimit(250);
        QCOMPARE(GetSetting("upload_speed_limit"), QStringLiteral("250"));
        QCOMPARE(f->engine->GetUploadSpeed(), 0); // stored, not in force while switched off
        f->engine->EnableUploadSpeedLimit(true);
        QCOMPARE(GetSetting("upload_speed_limit_enabled"), QStringLiteral("yes"));
        QCOMPARE(f->engine->GetUploadSpeed(), 250);
        f->engine->EnableUploadSpeedLimit(false);
        QCOMPARE(f->engine->GetUploadSpeed(), 0);
    }

    void uploads_survive_the_limit_switched_under_them()
    {
        QTemporaryDir dir;
        const int uploads = 4;
        const QByteArray content = Pattern(600000);
        QVERIFY(WriteFile(dir.filePath("shared"), content));
        for (int i = 0; i < uploads; ++i)
            NewUpload(QStringLiteral("uploading"));
        f->engine->SetUploadSpeedLimit(20000);

        std::vector<std::unique_ptr<QFile>> files;
        std::vector<std::unique_ptr<UploadThread>> ups;
        std::vector<std::unique_ptr<DownloadThread>> downs;
        std::vector<QTcpSocket*> sockets;
        int done = 0;
        for (int i = 0; i < uploads; ++i)
        {
            files.push_back(std::make_unique<QFile>(dir.filePath("shared")));
            QVERIFY(files.back()->open(QIODevice::ReadOnly));
            files.push_back(std::make_unique<QFile>(dir.filePath(QStringLiteral("copy%1").arg(i))));
            QVERIFY(files.back()->open(QIODevice::WriteOnly | QIODevice::Append));
            auto [a, b] = LoopbackPair();
            sockets.push_back(a);
            sockets.push_back(b);
            ups.push_back(
                std::make_unique<UploadThread>(a, files[files.size() - 2].get(), quint32(i), f->engine->UploadLimit()));
            connect(ups.back().get(), &UploadThread::UploadComplete, this, [&done] { ++done; });
            ups.back()->start();
            QCOMPARE(ReadExactly(b, 4).size(), 4);
            b->write(LittleEndian64(0));
            b->flush();
            downs.push_back(std::make_unique<DownloadThread>(b, files.back().get(), content.size(), 0));
            connect(downs.back().get(), &DownloadThread::DownloadComplete, this, [&done] { ++done; });
            downs.back()->start();
        }

        QTimer toggle;
        bool on = false;
        connect(&toggle, &QTimer::timeout, this, [&] {
            on = !on;
            f->engine->EnableUploadSpeedLimit(on);
        });
        toggle.start(5);
        QTRY_COMPARE_WITH_TIMEOUT(done, 2 * uploads, 30000);
        toggle.stop();
        for (auto& thread : ups)
            QVERIFY(thread->wait(5000));
        for (auto& thread : downs)
            QVERIFY(thread->wait(5000));
        for (int i = 0; i < uploads; ++i)
            QVERIFY(ReadFile(dir.filePath(QStringLiteral("copy%1").arg(i))) == content);
        ups.clear();
        downs.clear();
        for (QTcpSocket* socket : sockets)
            delete socket;
    }
};

QTEST_GUILESS_MAIN(TestUploadSpeedLimit)
#include "test_upload_speed_limit.moc"
