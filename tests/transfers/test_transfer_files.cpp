#include "QueueFixture.h"
#include "TransferCells.h"
#include "TransferSockets.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// The engine's side of file connections on a real store, real loopback connections and real
// files: taking the socket over, the download's path into the complete folder, the upload's
// report, teardown, and the refusals that keep two writers off one file.
class TestTransferFiles : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QueueFixture> f;

    QString Downloads() const { return f->dir.filePath("Downloads"); }
    QString Partial(const QString& i_name = QStringLiteral("song.mp3")) const
    {
        return Downloads() + QStringLiteral("/downloading/album/") + i_name;
    }
    QString Complete(const QString& i_name = QStringLiteral("song.mp3")) const
    {
        return Downloads() + QStringLiteral("/complete/album/") + i_name;
    }

    static ItemPtr Item(const char* i_type, const QString& i_value) { return QueueFixture::Item(i_type, i_value); }

    ItemPtr NewDownload(const QString& i_user, qint64 i_size, uint i_token, const QString& i_status,
                        const QString& i_folder = QStringLiteral("music\\album"),
                        const QString& i_name = QStringLiteral("song.mp3"))
    {
        ItemPtr entry = d->GetType("download_entry")->NewItem();
        entry += Item("user", i_user);
        entry += Item("file_name", i_name);
        entry += Item("remote_folder", i_folder);
        entry += Item("file_size", QString::number(i_size));
        entry += Item("subfolder_save_level", QStringLiteral("0"));
        entry += Item("remote_transfer_req", QString::number(i_token));
        entry += Item("download_entry_status", i_status);
        return entry;
    }

    static QString Status(const ItemPtr& i_entry) { return i_entry["download_entry_status"].AsString(); }

    // The uploader's part: reads the offset, sends the file from there, and waits for the close.
    static qint64 ServeFile(QTcpSocket* ip_socket, const QByteArray& i_content)
    {
        const QByteArray offsetBytes = ReadExactly(ip_socket, 8);
        if (offsetBytes.size() != 8)
            return -1;
        const qint64 offset = qFromLittleEndian<qint64>(offsetBytes.constData());
        ip_socket->write(i_content.mid(int(offset)));
        while (ip_socket->bytesToWrite() > 0 && ip_socket->waitForBytesWritten(5000)) {
        }
        return offset;
    }

    static bool WaitForClose(QTcpSocket* ip_socket)
    {
        QElapsedTimer waited;
        waited.start();
        while (ip_socket->state() == QAbstractSocket::ConnectedState && waited.elapsed() < 5000)
            ip_socket->waitForDisconnected(100);
        return ip_socket->state() != QAbstractSocket::ConnectedState;
    }

private slots:
    void init() { f = std::make_unique<QueueFixture>(false); }
    void cleanup() { f.reset(); }

    void download_lands_in_the_complete_folder_data();
    void download_lands_in_the_complete_folder();
    void file_connection_is_refused_data();
    void file_connection_is_refused();
    void aborted_and_denied_downloads_are_served();
    void unusable_partial_file_is_a_local_error_data();
    void unusable_partial_file_is_a_local_error();
    void failed_move_is_no_completion();
    void removing_a_running_download_is_prompt();
    void shutdown_stops_every_transfer_promptly();
    void upload_runs_on_the_accepted_connection();
    void accepted_connection_without_an_upload_is_dropped();
    void failed_upload_is_aborted_and_told();
};

void TestTransferFiles::download_lands_in_the_complete_folder_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("partial");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("landsAs");
    const QString song = QStringLiteral("song.mp3");
    QTest::newRow("new file") << qint64(300000) << qint64(0) << song << song;
    QTest::newRow("resumed file") << qint64(300000) << qint64(123457) << song << song;
    QTest::newRow("partial file already whole") << qint64(20000) << qint64(20000) << song << song;
    QTest::newRow("empty file") << qint64(0) << qint64(0) << song << song;
    QTest::newRow("name climbing out") << qint64(5000) << qint64(0) << QStringLiteral("../../out.mp3")
                                       << QStringLiteral("_");
}

void TestTransferFiles::download_lands_in_the_complete_folder()
{
    QFETCH(qint64, size);
    QFETCH(qint64, partial);
    QFETCH(QString, name);
    QFETCH(QString, landsAs);
    const QByteArray content = Pattern(size);
    if (partial > 0) {
        QVERIFY(QDir().mkpath(QFileInfo(Partial()).path()));
        QVERIFY(WriteFile(Partial(), content.left(int(partial))));
    }
    ItemPtr entry =
        NewDownload(QStringLiteral("bob"), size, 77, QStringLiteral("queued"), QStringLiteral("music\\album"), name);
    QSignalSpy added(f->engine, &TransferQueueManager::CompleteDownloadAdded);
    QSignalSpy progressed(f->engine, &TransferQueueManager::DownloadProgressed);

    auto [uploaderEnd, downloaderEnd] = LoopbackPair();
    f->engine->OnFileConnection(QStringLiteral("bob"), downloaderEnd, 77);
    QCOMPARE(Status(entry), QStringLiteral("downloading"));
    QVERIFY(entry["download_thread"]);
    QCOMPARE(ServeFile(uploaderEnd, content), partial);

    QTRY_COMPARE_WITH_TIMEOUT(Status(entry), QStringLiteral("complete"), 10000);
    QVERIFY(WaitForClose(uploaderEnd)); // the downloader closes once it has everything
    QVERIFY(ReadFile(Complete(landsAs)) == content);
    QVERIFY(!QFile::exists(Partial(landsAs)));
    QVERIFY(!QFile::exists(f->dir.filePath("out.mp3")) && !QFile::exists(Downloads() + "/out.mp3"));
    QVERIFY(!QDir(Downloads() + QStringLiteral("/downloading/album")).exists());
    QVERIFY(!entry["download_thread"] && !entry["download_socket"] && !entry["download_file"]);
    QVERIFY(!progressed.isEmpty());

    QCOMPARE(added.count(), 1);
    const ItemPtr record = added.first().at(0).value<ItemPtr>();
    QCOMPARE(record["user"].AsString(), QStringLiteral("bob"));
    QCOMPARE(record["complete_download_filename"].AsString(), landsAs); // the name on disk
    QCOMPARE(record["complete_download_relative_folder"].AsString(), QStringLiteral("album"));
    QCOMPARE(record["complete_download_file_size"].AsInt64(), size);
    delete uploaderEnd;
}

void TestTransferFiles::file_connection_is_refused_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<uint>("token");
    QTest::newRow("token of no download") << QStringLiteral("queued") << 78u;
    QTest::newRow("download already running") << QStringLiteral("downloading") << 77u;
    QTest::newRow("download already complete") << QStringLiteral("complete") << 77u;
}

void TestTransferFiles::file_connection_is_refused()
{
    QFETCH(QString, status);
    QFETCH(uint, token);
    QVERIFY(QDir().mkpath(QFileInfo(Partial()).path()));
    QVERIFY(WriteFile(Partial(), "abc"));
    ItemPtr entry = NewDownload(QStringLiteral("bob"), 1000, 77, status);

    auto [uploaderEnd, downloaderEnd] = LoopbackPair();
    f->engine->OnFileConnection(QStringLiteral("bob"), downloaderEnd, token);
    QVERIFY(WaitForClose(uploaderEnd));
    QCOMPARE(uploaderEnd->bytesAvailable(), 0); // no offset
    QCOMPARE(Status(entry), status);
    QVERIFY(!entry["download_thread"]);
    QCOMPARE(ReadFile(Partial()), QByteArray("abc"));
    delete uploaderEnd;
}

void TestTransferFiles::aborted_and_denied_downloads_are_served()
{
    // Two users' downloads that map to one partial file: the second writer is refused while
    // the first runs, and its entry keeps its status.
    ItemPtr first = NewDownload(QStringLiteral("bob"), 100000, 77, QStringLiteral("aborted"));
    ItemPtr second = NewDownload(QStringLiteral("carol"), 100000, 78, QStringLiteral("denied"),
                                 QStringLiteral("other\\album"));

    auto [firstUploader, firstDownloader] = LoopbackPair();
    f->engine->OnFileConnection(QStringLiteral("bob"), firstDownloader, 77);
    QCOMPARE(Status(first), QStringLiteral("downloading"));

    auto [secondUploader, secondDownloader] = LoopbackPair();
    f->engine->OnFileConnection(QStringLiteral("carol"), secondDownloader, 78);
    QVERIFY(WaitForClose(secondUploader));
    QCOMPARE(Status(second), QStringLiteral("denied"));

    QCOMPARE(ServeFile(firstUploader, Pattern(100000)), qint64(0));
    QTRY_COMPARE_WITH_TIMEOUT(Status(first), QStringLiteral("complete"), 10000);

    // With the first one done, the second is served like any denied download.
    auto [thirdUploader, thirdDownloader] = LoopbackPair();
    f->engine->OnFileConnection(QStringLiteral("carol"), thirdDownloader, 78);
    QCOMPARE(Status(second), QStringLiteral("downloading"));
    f->engine->RemoveDownload(second);
    delete firstUploader;
    delete secondUploader;
    delete thirdUploader;
}

void TestTransferFiles::unusable_partial_file_is_a_local_error_data()
{
    QTest::addColumn<bool>("longer");
    QTest::newRow("partial file longer than the file") << true;
    QTest::newRow("\"downloading\" is a regular file") << false;
}

// Nothing is written and the partial file is kept as it was.
void TestTransferFiles::unusable_partial_file_is_a_local_error()
{
    QFETCH(bool, longer);
    QVERIFY(QDir().mkpath(longer ? QFileInfo(Partial()).path() : Downloads()));
    const QString existing = longer ? Partial() : Downloads() + QStringLiteral("/downloading");
    QVERIFY(WriteFile(existing, Pattern(2000)));
    ItemPtr entry = NewDownload(QStringLiteral("bob"), 1000, 77, QStringLiteral("queued"));

    auto [uploaderEnd, downloaderEnd] = LoopbackPair();
    f->engine->OnFileConnection(QStringLiteral("bob"), downloaderEnd, 77);
    QCOMPARE(Status(entry), QStringLiteral("local error"));
    QVERIFY(WaitForClose(uploaderEnd));
    QVERIFY(ReadFile(existing) == Pattern(2000));
    delete uploaderEnd;
}

void TestTransferFiles::failed_move_is_no_completion()
{
    // "complete" is a regular file, so neither the folder nor the move can be made.
    QVERIFY(QDir().mkpath(Downloads()));
    QVERIFY(WriteFile(Downloads() + QStringLiteral("/complete"), "in the way"));
    ItemPtr entry = NewDownload(QStringLiteral("bob"), 50000, 77, QStringLiteral("queued"));
    QSignalSpy added(f->engine, &TransferQueueManager::CompleteDownloadAdded);

    auto [uploaderEnd, downloaderEnd] = LoopbackPair();
    f->engine->OnFileConnection(QStringLiteral("bob"), downloaderEnd, 77);
    QCOMPARE(ServeFile(uploaderEnd, Pattern(50000)), qint64(0));

    QTRY_COMPARE_WITH_TIMEOUT(Status(entry), QStringLiteral("local error"), 10000);
    QVERIFY(ReadFile(Partial()) == Pattern(50000));
    QCOMPARE(added.count(), 0);
    QVERIFY(d->GetType("complete_download")->GetItems().empty());
    delete uploaderEnd;
}

void TestTransferFiles::removing_a_running_download_is_prompt()
{
    QVERIFY(QDir().mkpath(QFileInfo(Partial()).path()));
    QVERIFY(WriteFile(Partial(), Pattern(10)));
    ItemPtr entry = NewDownload(QStringLiteral("bob"), 1000000, 77, QStringLiteral("queued"));
    QSignalSpy progressed(f->engine, &TransferQueueManager::DownloadProgressed);

    auto [uploaderEnd, downloaderEnd] = LoopbackPair();
    f->engine->OnFileConnection(QStringLiteral("bob"), downloaderEnd, 77);
    QCOMPARE(ReadExactly(uploaderEnd, 8), LittleEndian64(10));
    uploaderEnd->write(Pattern(8192, 10)); // one chunk, then silence
    uploaderEnd->flush();
    QTRY_VERIFY_WITH_TIMEOUT(!progressed.isEmpty(), 5000);

    QElapsedTimer removing;
    removing.start();
    f->engine->RemoveDownload(entry);
    QVERIFY2(removing.elapsed() < 2000, qPrintable(QString::number(removing.elapsed())));
    QVERIFY(d->GetType("download_entry")->GetItems().empty());
    QVERIFY(d->GetType("download_thread")->GetItems().empty());
    QVERIFY(WaitForClose(uploaderEnd));
    QCoreApplication::processEvents(); // a late report from the stopped thread changes nothing
    QVERIFY(ReadFile(Partial()) == Pattern(8192 + 10));
    delete uploaderEnd;
}

void TestTransferFiles::shutdown_stops_every_transfer_promptly()
{
    std::vector<QTcpSocket*> peers;
    for (uint token = 1; token <= 3; ++token) {
        NewDownload(QStringLiteral("user%1").arg(token), 1000000, token, QStringLiteral("queued"),
                    QStringLiteral("folder%1").arg(token));
        auto [uploaderEnd, downloaderEnd] = LoopbackPair();
        f->engine->OnFileConnection(QStringLiteral("user%1").arg(token), downloaderEnd, token);
        peers.push_back(uploaderEnd);
    }
    QCOMPARE(d->GetType("download_thread")->GetItems().size(), std::size_t(3));

    QElapsedTimer stopping;
    stopping.start();
    delete f->engine;
    f->engine = nullptr;
    QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
    for (QTcpSocket* peer : peers)
        delete peer;
}

void TestTransferFiles::upload_runs_on_the_accepted_connection()
{
    const QByteArray content = Pattern(200000);
    QVERIFY(WriteFile(f->dir.filePath(QStringLiteral("shared.bin")), content));
    auto* file = new QFile(f->dir.filePath(QStringLiteral("shared.bin")));
    QVERIFY(file->open(QIODevice::ReadOnly));
    ItemPtr shared = d->GetType("shared_file")->NewItem();
    shared += Item("shared_file_name", QStringLiteral("shared.bin"));
    shared += Item("shared_file_folder", f->dir.path());
    shared += Item("shared_file_size", QString::number(content.size()));
    ItemPtr entry = d->GetType("upload_entry")->NewItem();
    entry += Item("user", QStringLiteral("dave"));
    entry += shared;
    entry += Item("upload_entry_status", QStringLiteral("connecting"));
    entry += Item("transfer_req", QStringLiteral("3000000001"));
    entry += d->GetType("upload_file")->GetItem(Value(file));
    QSignalSpy progressed(f->engine, &TransferQueueManager::UploadProgressed);

    auto [uploaderEnd, downloaderEnd] = LoopbackPair();
    f->engine->OnFileConnectionAccepted(QStringLiteral("dave"), uploaderEnd);
    QCOMPARE(entry["upload_entry_status"].AsString(), QStringLiteral("uploading"));
    QVERIFY(TransferCell<PositionCell>(entry, "read_position"));

    const QByteArray token = ReadExactly(downloaderEnd, 4);
    QCOMPARE(qFromLittleEndian<quint32>(token.constData()), 3000000001u);
    downloaderEnd->write(LittleEndian64(1000));
    downloaderEnd->flush();
    QVERIFY(ReadExactly(downloaderEnd, content.size() - 1000) == content.mid(1000));
    QTRY_VERIFY_WITH_TIMEOUT(!progressed.isEmpty(), 5000);
    downloaderEnd->close();

    QTRY_COMPARE_WITH_TIMEOUT(entry["upload_entry_status"].AsString(), QStringLiteral("complete"), 10000);
    QVERIFY(!entry["upload_thread"] && !entry["upload_socket"] && !entry["upload_file"] && !entry["read_position"]);
    QCOMPARE(f->Take("46").size(), 0);
    delete downloaderEnd;
}

void TestTransferFiles::accepted_connection_without_an_upload_is_dropped()
{
    auto [uploaderEnd, downloaderEnd] = LoopbackPair();
    QPointer<QTcpSocket> handed(uploaderEnd);
    f->engine->OnFileConnectionAccepted(QStringLiteral("nobody"), uploaderEnd);
    QTRY_VERIFY(handed.isNull());
    QVERIFY(WaitForClose(downloaderEnd));
    delete downloaderEnd;
}

void TestTransferFiles::failed_upload_is_aborted_and_told()
{
    QVERIFY(WriteFile(f->dir.filePath(QStringLiteral("shared.bin")), Pattern(1000)));
    auto* file = new QFile(f->dir.filePath(QStringLiteral("shared.bin")));
    QVERIFY(file->open(QIODevice::ReadOnly));
    ItemPtr entry = d->GetType("upload_entry")->NewItem();
    entry += Item("user", QStringLiteral("dave"));
    entry += Item("upload_entry_status", QStringLiteral("connecting"));
    entry += Item("transfer_req", QStringLiteral("5"));
    entry += Item("filename_as_requested", QStringLiteral("music\\shared.bin"));
    entry += d->GetType("upload_file")->GetItem(Value(file));

    auto [uploaderEnd, downloaderEnd] = LoopbackPair();
    f->engine->OnFileConnectionAccepted(QStringLiteral("dave"), uploaderEnd);
    QCOMPARE(ReadExactly(downloaderEnd, 4).size(), 4);
    downloaderEnd->close(); // no download for the token

    QTRY_COMPARE_WITH_TIMEOUT(entry["upload_entry_status"].AsString(), QStringLiteral("aborted"), 5000);
    const QList<Sent> told = f->Take("46");
    QCOMPARE(told.size(), 1);
    QCOMPARE(told[0].user, QStringLiteral("dave"));
    QCOMPARE(told[0].bytes, QByteArray::fromHex("2e00000010000000") + QByteArray("music\\shared.bin"));
    delete downloaderEnd;
}

QTEST_GUILESS_MAIN(TestTransferFiles)
#include "test_transfer_files.moc"
