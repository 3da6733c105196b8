#include "EngineClock.h"
#include "EngineStack.h"
#include "TransferCells.h"

#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The transfer engine's schema, settings and load behaviour on a real store, a real data file
// and the real server connection (which declares `user` and tracks users).
class TestTransferModel : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<EngineStack> m_engines;
    QTemporaryDir m_dir;

    void Start()
    {
        m_engines.reset(); // the old stack must be gone before the new one sets the globals
        m_engines = std::make_unique<EngineStack>(EngineStack::ServerConnection | EngineStack::NoUpnp
                                                  | EngineStack::Peers | EngineStack::Shares | EngineStack::Transfers);
        dataSaver->AddSavedType("global");
        dataSaver->AddSavedByConnectionType("global_value", "global");
    }

    // Saves the store, starts again on an empty one; the caller loads the file.
    QString SaveAndRestart()
    {
        const QString path = m_dir.filePath("data");
        if (!dataSaver->SaveFile(path))
            qFatal("cannot save %s", qPrintable(path));
        Start();
        return path;
    }
    void Restart()
    {
        const QString path = SaveAndRestart(); // before naming the saver: this replaces it
        dataSaver->Load(path);
    }

    static ItemPtr Item(const char* i_type, const QString& i_value) { return d->GetType(i_type)->GetItem(i_value); }

    static ItemPtr NewDownload(const QString& i_user, const QString& i_file, const QString& i_status)
    {
        ItemPtr entry = d->GetType("download_entry")->NewItem();
        entry += Item("user", i_user);
        entry += Item("file_name", i_file);
        entry += Item("remote_folder", QStringLiteral("music\\album"));
        if (!i_status.isEmpty())
            entry += Item("download_entry_status", i_status);
        return entry;
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        EngineClock::ResetForTest();
        Start();
    }

    void cleanup() { m_engines.reset(); }

    void relationEnds_data()
    {
        QTest::addColumn<QString>("entryType");
        QTest::addColumn<QString>("attribute");
        QTest::addColumn<bool>("exclusive");
        QTest::newRow("upload order") << "upload_entry"
                                      << "upload_order" << true;
        QTest::newRow("download order") << "download_entry"
                                        << "download_order" << true;
        QTest::newRow("download token") << "download_entry"
                                        << "transfer_req" << true;
        QTest::newRow("upload token") << "upload_entry"
                                      << "transfer_req" << true;
        QTest::newRow("effective order") << "upload_entry"
                                         << "effective_upload_order" << false;
        QTest::newRow("download status") << "download_entry"
                                         << "download_entry_status" << false;
        QTest::newRow("denial reason") << "upload_entry"
                                       << "denial_reason" << false;
    }

    // A token or order value belongs to one entry; a shared attribute to many.
    void relationEnds()
    {
        QFETCH(QString, entryType);
        QFETCH(QString, attribute);
        QFETCH(bool, exclusive);
        Type* entries = d->GetType(entryType.toStdString());
        ItemPtr first = entries->NewItem();
        ItemPtr second = entries->NewItem();
        ItemPtr value = d->GetType(attribute.toStdString())->GetItem("7");
        first += value;
        second += value;
        QVERIFY(second.IsConnected(value));
        QCOMPARE(first.IsConnected(value), !exclusive);

        // Whatever the value side, an entry holds one value at a time.
        ItemPtr other = d->GetType(attribute.toStdString())->GetItem("8");
        second += other;
        QVERIFY(!second.IsConnected(value));
        QVERIFY(second.IsConnected(other));
    }

    // What a first start gives: where files land, no messages to those who share nothing unless
    // asked for, and ".ini" files excluded.
    void firstStartDefaults()
    {
        QCOMPARE(GetSetting("download_folder"), QDir::homePath() + "/Veltrane Downloads");
        QCOMPARE(GetSetting("check_for_empty_shares"), QStringLiteral("no"));
        QCOMPARE(GetSetting("empty_share_message"),
                 QStringLiteral("It looks like you're not sharing any files. Please share something before downloading "
                                "anything from my own shares. Thanks."));
        dataSaver->Load(m_dir.filePath("missing"));
        const ItemSet excluded = d->GetType("excluded_download_extension")->GetItems();
        QCOMPARE(excluded.size(), size_t(1));
        QCOMPARE(excluded.First().AsString(), QStringLiteral(".ini"));
    }

    void storedSettingsWin()
    {
        const QList<QPair<QString, QString>> stored = {{"upload_slots", "3"},
                                                       {"transfer_req_counter", "912"},
                                                       {"transfer_order_counter", "57"},
                                                       {"download_folder", "/srv/in"},
                                                       {"max_queued_uploads_per_user", "12"}};
        for (const auto& setting : stored)
            SetSetting(setting.first, setting.second);
        Restart();
        for (const auto& setting : stored)
            QCOMPARE(GetSetting(setting.first), setting.second);
        // A data file was there: no first-start exclusion.
        QVERIFY(d->GetType("excluded_download_extension")->GetItems().empty());
    }

    void onlyDownloadsAndRecordsAreSaved()
    {
        using Values = QList<QPair<const char*, QString>>;
        const Values downloadKept = {{"user", "alice"},
                                     {"file_name", "a.mp3"},
                                     {"remote_folder", "music\\album"},
                                     {"file_size", "5000000000"},
                                     {"download_folder", "/srv/in"},
                                     {"download_order", "4"},
                                     {"subfolder_save_level", "1"}};
        const Values downloadDropped = {
            {"transfer_req", "99"}, {"place_in_line", "12"}, {"last_status_change_time", "Sun Dec 6 10:00:00 2026"}};
        const Values recordKept = {{"user", "carol"},
                                   {"complete_download_folder", "/srv/in/complete"},
                                   {"complete_download_relative_folder", "album"},
                                   {"complete_download_filename", "b.mp3"},
                                   {"complete_download_file_size", "1234"},
                                   {"complete_download_completion_time", "Sun Dec 6 11:00:00 2026"}};
        ItemPtr download = d->GetType("download_entry")->NewItem();
        for (const auto& [type, value] : downloadKept + downloadDropped)
            download += Item(type, value);
        Item("denial_reason", "Queued") += download;
        ItemPtr upload = d->GetType("upload_entry")->NewItem();
        upload += Item("user", "bob");
        upload += Item("upload_entry_status", "queued");
        ItemPtr record = d->GetType("complete_download")->NewItem();
        for (const auto& [type, value] : recordKept)
            record += Item(type, value);
        record += Item("search_request_text", "album b");
        Item("excluded_download_extension", ".nfo");

        Restart();

        const ItemSet downloads = d->GetType("download_entry")->GetItems();
        QCOMPARE(downloads.size(), size_t(1));
        for (const auto& [type, value] : downloadKept)
            QCOMPARE(downloads.First()[type].AsString(), value);
        for (const auto& [type, value] : downloadDropped + Values{{"denial_reason", "Queued"}})
            QVERIFY2(!downloads.First().IsConnected(type), type);
        QVERIFY(d->GetType("upload_entry")->GetItems().empty());
        const ItemSet records = d->GetType("complete_download")->GetItems();
        QCOMPARE(records.size(), size_t(1));
        for (const auto& [type, value] : recordKept)
            QCOMPARE(records.First()[type].AsString(), value);
        QVERIFY(!records.First().IsConnected("search_request_text"));
        QVERIFY(d->GetType("excluded_download_extension")->HasItem(".nfo"));
    }

    // After a load every unfinished download is queued again, its users are tracked, and the
    // window hears of it only then.
    void loadedDownloadsAreQueued()
    {
        NewDownload("ann", "1", "downloading");
        NewDownload("ann", "2", "aborted");
        NewDownload("ben", "3", "denied");
        NewDownload("ben", "4", QString());
        NewDownload("cat", "5", "complete");
        Item("user", "dan");

        const QString path = SaveAndRestart();
        QStringList statusesWhenTold;
        connect(transferQueueManager, &TransferQueueManager::TransfersLoaded, this, [&statusesWhenTold] {
            for (const ItemPtr& entry : d->GetType("download_entry")->GetItems())
                statusesWhenTold << entry["file_name"].AsString() + "=" + entry["download_entry_status"].AsString();
        });
        dataSaver->Load(path);

        statusesWhenTold.sort();
        QCOMPARE(statusesWhenTold, QStringList({"1=queued", "2=queued", "3=queued", "4=queued", "5=complete"}));
        for (const ItemPtr& entry : d->GetType("download_entry")->GetItems())
            QVERIFY(!entry.IsConnected("last_status_change_time"));
        for (const char* user : {"ann", "ben", "cat"})
            QVERIFY2(Item("user", user).IsConnected("is_tracked"), user);
        QVERIFY(!d->GetType("user")->HasItem("dan") || !Item("user", "dan").IsConnected("is_tracked"));
    }

    void activeStatuses_data()
    {
        QTest::addColumn<QString>("statusType");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("active");
        QTest::newRow("downloading") << "download_entry_status"
                                     << "downloading" << true;
        QTest::newRow("download queued") << "download_entry_status"
                                         << "queued" << false;
        QTest::newRow("download complete") << "download_entry_status"
                                           << "complete" << false;
        QTest::newRow("connecting") << "upload_entry_status"
                                    << "connecting" << true;
        QTest::newRow("uploading") << "upload_entry_status"
                                   << "uploading" << true;
        QTest::newRow("requesting") << "upload_entry_status"
                                    << "requesting" << true;
        QTest::newRow("waiting for offset") << "upload_entry_status"
                                            << "waiting for offset" << true;
        QTest::newRow("upload queued") << "upload_entry_status"
                                       << "queued" << false;
        QTest::newRow("upload complete") << "upload_entry_status"
                                         << "complete" << false;
        QTest::newRow("aborted") << "upload_entry_status"
                                 << "aborted" << false;
    }

    void activeStatuses()
    {
        QFETCH(QString, statusType);
        QFETCH(QString, status);
        QFETCH(bool, active);
        const bool upload = statusType == QLatin1String("upload_entry_status");
        ItemPtr entry = d->GetType(upload ? "upload_entry" : "download_entry")->NewItem();
        entry += Item(statusType.toUtf8().constData(), status);
        QCOMPARE(Item(statusType.toUtf8().constData(), status).IsConnected("is_active"), active);
        TransferQueueManager* engine = transferQueueManager;
        QCOMPARE(upload ? engine->ActiveUploadCount() : engine->ActiveDownloadCount(), active ? 1 : 0);
        QCOMPARE(upload ? engine->ActiveDownloadCount() : engine->ActiveUploadCount(), 0);
    }

    // Every way an item can go frees its cell once (a second free fails under the sanitizers);
    // a read position is left to whoever unlinks it.
    void cellsAreFreedOnce()
    {
        ItemPtr download = d->GetType("download_entry")->NewItem();
        ItemPtr upload = d->GetType("upload_entry")->NewItem();
        NewTransferCell<PositionCell>(download, "write_position", 10);
        NewTransferCell<TimeCell>(download, "last_receipt_time", EngineClock::NowMs());
        NewTransferCell<TimeCell>(download, "last_speed_measurement_time");
        NewTransferCell<SpeedCell>(download, "bytes_per_second", 3);
        NewTransferCell<CounterCell>(download, "bytes_since_last_receipt");
        CounterCell* uploaded = NewTransferCell<CounterCell>(upload, "bytes_uploaded", 5);
        PositionCell* read = NewTransferCell<PositionCell>(upload, "read_position", 7);
        QCOMPARE(TransferCell<CounterCell>(upload, "bytes_uploaded"), uploaded);
        QCOMPARE(TransferCell<SpeedCell>(download, "bytes_per_second")->load(), 3);

        // Unlinked directly.
        download["write_position"].Remove();
        QVERIFY(!download.IsConnected("write_position"));
        // The entry goes, the collector takes its cells.
        download.Remove();
        QVERIFY(d->RemoveDisconnectedItems() >= 4);
        QVERIFY(d->GetType("last_receipt_time")->GetItems().empty());
        QVERIFY(d->GetType("bytes_per_second")->GetItems().empty());
        QVERIFY(d->GetType("bytes_since_last_receipt")->GetItems().empty());

        // The read position is ours to free after unlinking; the engine must not have.
        upload["read_position"].Remove();
        QCOMPARE(read->load(), Q_INT64_C(7));
        delete read;

        // Emptying the store frees what is left.
        d->RemoveAllItems();
        QVERIFY(d->GetType("bytes_uploaded")->GetItems().empty());
    }

    // Time-outs compare engine-clock milliseconds, not the second-resolution display text.
    void transferTimesKeepMilliseconds()
    {
        const qint64 base = QDateTime(QDate(2026, 10, 25), QTime(2, 30, 0, 400), Qt::UTC).toMSecsSinceEpoch();
        EngineClock::SetNowForTest(base);
        TransferQueueManager* engine = transferQueueManager;
        ItemPtr user = Item("user", "eve");
        engine->SetTransferTime(user, "next_place_in_line_request_time", 10000);
        QCOMPARE(engine->TransferTime(user, "next_place_in_line_request_time").value(), base + 10000);
        QCOMPARE(user["next_place_in_line_request_time"].AsString(),
                 QDateTime::fromMSecsSinceEpoch(base + 10000).toString(Qt::TextDate));

        ItemPtr entry = d->GetType("upload_entry")->NewItem();
        engine->SetTransferTime(entry, "last_status_change_time");
        EngineClock::AdvanceForTest(29999);
        QCOMPARE(EngineClock::NowMs() - engine->TransferTime(entry, "last_status_change_time").value(),
                 Q_INT64_C(29999));

        // Another writer's text: only the text is known.
        const QDateTime other(QDate(2026, 1, 2), QTime(3, 4, 5));
        entry += Item("last_status_change_time", other.toString(Qt::TextDate));
        QCOMPARE(engine->TransferTime(entry, "last_status_change_time").value(), other.toMSecsSinceEpoch());

        QVERIFY(!engine->TransferTime(entry, "upload_start_time").has_value());
        EngineClock::ResetForTest();
    }
};

QTEST_GUILESS_MAIN(TestTransferModel)
#include "test_transfer_model.moc"
