#include "Compression.h"
#include "FolderLists.h"
#include "Log.h"
#include "QueueFixture.h"
#include "RawPeer.h"
#include "TransferCells.h"
#include "TransferSockets.h"
#include "UserInfoReply.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

// The engine's side of file connections on a real store, real loopback connections and real
// files: taking the socket over, the download's path into the complete folder, the upload's
// report, teardown, and the refusals that keep two writers off one file.
class TestTransferFiles : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QueueFixture> f;

    QString Downloads() const { return f->dir.filePath("Downloads"); }
    QString Partial(const QString& i_name = "song.mp3") const { return Downloads() + "/downloading/album/" + i_name; }
    QString Complete(const QString& i_name = "song.mp3") const { return Downloads() + "/complete/album/" + i_name; }

    static ItemPtr Item(const char* i_type, const QString& i_value) { return QueueFixture::Item(i_type, i_value); }

    ItemPtr NewDownload(const QString& i_user, qint64 i_size, uint i_token, const QString& i_status,
                        const QString& i_folder = QStringLiteral("music\\album"),
                        const QString& i_name = QStringLiteral("song.mp3"))
    {
        ItemPtr entry = d->GetType("download_entry")->NewItem();
        for (const auto& [type, value] :
             QList<QPair<const char*, QString>>{{"user", i_user},
                                                {"file_name", i_name},
                                                {"remote_folder", i_folder},
                                                {"file_size", QString::number(i_size)},
                                                {"subfolder_save_level", "0"},
                                                {"remote_transfer_req", QString::number(i_token)},
                                                {"download_entry_status", i_status}})
            entry += Item(type, value);
        return entry;
    }

    static QString Status(const ItemPtr& i_entry) { return i_entry["download_entry_status"].AsString(); }

    // An upload waiting for its file connection, its file open as the engine leaves it.
    ItemPtr NewUpload(const QByteArray& i_content, const QString& i_token)
    {
        const QString path = f->dir.filePath(QStringLiteral("shared.bin"));
        auto* file = new QFile(path);
        if (!WriteFile(path, i_content) || !file->open(QIODevice::ReadOnly))
            qFatal("cannot create %s", qPrintable(path));
        ItemPtr entry = d->GetType("upload_entry")->NewItem();
        entry += Item("user", "dave");
        entry += Item("upload_entry_status", QStringLiteral("connecting"));
        entry += Item("transfer_req", i_token);
        entry += d->GetType("upload_file")->GetItem(Value(file));
        return entry;
    }

    // The uploader's part: reads the offset, sends the file from there, and waits for the close.
    static qint64 ServeFile(QTcpSocket* ip_socket, const QByteArray& i_content)
    {
        const QByteArray offsetBytes = ReadExactly(ip_socket, 8);
        if (offsetBytes.size() != 8)
            return -1;
        const qint64 offset = qFromLittleEndian<qint64>(offsetBytes.constData());
        ip_socket->write(i_content.mid(int(offset)));
        while (ip_socket->bytesToWrite() > 0 && ip_socket->waitForBytesWritten(5000))
        {
        }
        return offset;
    }

    // A search reply without results, as message 9 carries it.
    static QByteArray CompressedSearchReply(quint32 i_token)
    {
        MemStream body;
        OutputStream(body).WriteFields(std::string("someone"), i_token, quint32(0), quint8(1), quint32(0), quint32(0),
                                       quint32(0));
        MemStream message = StreamOf(quint32(9));
        CompressBody(body, message);
        return message.ToByteArray();
    }

    // A shares list announcing more files than a list may hold: alike records, cheap to pack.
    static QByteArray SharesListPastTheBudget()
    {
        MemStream message = StreamOf(quint32(5));
        CompressBody(
            FolderListBody(quint32(kMaxStreamFiles / kMaxStreamCount + 1), kMaxStreamCount, ListRecords::BareAlike),
            message);
        return message.ToByteArray();
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

    void download_lands_in_the_complete_folder_data()
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
        QTest::newRow("name climbing out")
            << qint64(5000) << qint64(0) << QStringLiteral("../../out.mp3") << QStringLiteral("_");
    }

    void download_lands_in_the_complete_folder()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, partial);
        QFETCH(QString, name);
        QFETCH(QString, landsAs);
        const QByteArray content = Pattern(size);
        if (partial > 0)
        {
            QVERIFY(QDir().mkpath(QFileInfo(Partial()).path()));
            QVERIFY(WriteFile(Partial(), content.left(int(partial))));
        }
        ItemPtr entry = NewDownload("bob", size, 77, "queued", QStringLiteral("music\\album"), name);
        QSignalSpy added(f->engine, &TransferQueueManager::CompleteDownloadAdded);
        QSignalSpy progressed(f->engine, &TransferQueueManager::DownloadProgressed);

        auto [uploaderEnd, downloaderEnd] = LoopbackPair();
        f->engine->OnFileConnection("bob", downloaderEnd, 77);
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

    void file_connection_writes_nothing_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<uint>("token");
        QTest::addColumn<bool>("inTheWay"); // "downloading" is a regular file
        QTest::addColumn<QString>("after");
        QTest::newRow("token of no download") << "queued" << 78u << false << "queued";
        QTest::newRow("download already running") << "downloading" << 77u << false << "downloading";
        QTest::newRow("download already complete") << "complete" << 77u << false << "complete";
        QTest::newRow("partial file longer than the file") << "queued" << 77u << false << "local error";
        QTest::newRow("\"downloading\" is a regular file") << "queued" << 77u << true << "local error";
    }

    // The connection is closed before an offset is sent, and what is on disk stays as it was.
    void file_connection_writes_nothing()
    {
        QFETCH(QString, status);
        QFETCH(uint, token);
        QFETCH(bool, inTheWay);
        QFETCH(QString, after);
        const QString existing = inTheWay ? Downloads() + QStringLiteral("/downloading") : Partial();
        QVERIFY(QDir().mkpath(QFileInfo(existing).path()));
        QVERIFY(WriteFile(existing, Pattern(2000)));
        ItemPtr entry = NewDownload("bob", after == QLatin1String("local error") ? 1000 : 3000, 77, status);

        auto [uploaderEnd, downloaderEnd] = LoopbackPair();
        f->engine->OnFileConnection("bob", downloaderEnd, token);
        QCOMPARE(Status(entry), after);
        QVERIFY(WaitForClose(uploaderEnd));
        QCOMPARE(uploaderEnd->bytesAvailable(), 0);
        QVERIFY(!entry["download_thread"]);
        QVERIFY(ReadFile(existing) == Pattern(2000));
        delete uploaderEnd;
    }

    void log_lines_keep_peer_text_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("expected");
        QTest::newRow("upload request") << "40"
                                        << "from ann%1 for file %2\\x.mp3, req 77";
        QTest::newRow("transfer response") << "41"
                                           << "from user ann%1 for req 77, transfer accepted";
        QTest::newRow("file connection") << "F"
                                         << "by user ann%1 for req 77";
        QTest::newRow("reply to an unknown search") << "9"
                                                    << "from ann%1 for the unknown search 77";
        // Refused as past the budget of files: the user's text comes before the number.
        QTest::newRow("malformed message") << "5"
                                           << "from ann%1 with more than 2000000 files";
        QTest::newRow("own picture too large") << "picture"
                                               << "picture %1/ann%1.png is too large to send (67108865 bytes)";
    }

    // A user name or path holding "%1" is logged as it came, never taken for a place holder.
    void log_lines_keep_peer_text()
    {
        QFETCH(QString, route);
        QFETCH(QString, expected);
        QStringList lines;
        SetLogSink([&lines](const QString&, const QString& i_line) { lines << i_line; });
        const auto restore = qScopeGuard([] { SetLogSink(LogSink()); });
        const QString user = QStringLiteral("ann%1");
        if (route == "40")
            f->engine->OnFileTransferRequest(user, 1, 77, "%2\\x.mp3", 5);
        else if (route == "41")
            f->engine->OnFileTransferResponse(user, 77, true, false, 0, QString());
        else if (route == "picture")
        {
            QTemporaryDir dir;
            QFile picture(dir.filePath(user + ".png"));
            QVERIFY(picture.open(QIODevice::WriteOnly) && picture.resize(qint64(FrameCodec::MaxFrameLength) + 1));
            SetSetting(QStringLiteral("user_picture_file"), picture.fileName());
            expected.replace(QStringLiteral("%1/"), dir.path() + '/');
            UserInfoReply::BuildOwn();
        }
        else if (route == "F")
        {
            auto [uploaderEnd, downloaderEnd] = LoopbackPair();
            f->engine->OnFileConnection(user, downloaderEnd, 77);
            delete uploaderEnd;
        }
        else
        {
            SetSetting(QStringLiteral("new_listening_port"), QString::number(FreePortPair()));
            peerMessenger->DataLoaded();
            RawPeer peer;
            QVERIFY(peer.Connect(peerMessenger->ListeningPort()));
            peerMessenger->OnPeerAddress(user, TCPAddress(0x7f000001u, 0), 0); // where the server has the user
            peer.SendFrame(RawPeer::PeerInit(user.toUtf8(), "P"));
            peer.SendFrame(route == "9" ? CompressedSearchReply(77) : SharesListPastTheBudget());
        }
        QTRY_VERIFY2(!lines.filter(expected).isEmpty(), qPrintable(lines.join('\n')));
    }

    void aborted_and_denied_downloads_are_served()
    {
        // Two users' downloads that map to one partial file: the second writer is refused while
        // the first runs, and its entry keeps its status.
        ItemPtr first = NewDownload("bob", 100000, 77, QStringLiteral("aborted"));
        ItemPtr second = NewDownload("carol", 100000, 78, QStringLiteral("denied"), QStringLiteral("other\\album"));

        auto [firstUploader, firstDownloader] = LoopbackPair();
        f->engine->OnFileConnection("bob", firstDownloader, 77);
        QCOMPARE(Status(first), QStringLiteral("downloading"));

        auto [secondUploader, secondDownloader] = LoopbackPair();
        f->engine->OnFileConnection("carol", secondDownloader, 78);
        QVERIFY(WaitForClose(secondUploader));
        QCOMPARE(Status(second), QStringLiteral("denied"));

        QCOMPARE(ServeFile(firstUploader, Pattern(100000)), qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(Status(first), QStringLiteral("complete"), 10000);

        // With the first one done, the second is served like any denied download.
        auto [thirdUploader, thirdDownloader] = LoopbackPair();
        f->engine->OnFileConnection("carol", thirdDownloader, 78);
        QCOMPARE(Status(second), QStringLiteral("downloading"));
        f->engine->RemoveDownload(second);
        delete firstUploader;
        delete secondUploader;
        delete thirdUploader;
    }

    void failed_move_is_no_completion()
    {
        // "complete" is a regular file, so neither the folder nor the move can be made.
        QVERIFY(QDir().mkpath(Downloads()));
        QVERIFY(WriteFile(Downloads() + QStringLiteral("/complete"), "in the way"));
        ItemPtr entry = NewDownload("bob", 50000, 77, "queued");
        QSignalSpy added(f->engine, &TransferQueueManager::CompleteDownloadAdded);

        auto [uploaderEnd, downloaderEnd] = LoopbackPair();
        f->engine->OnFileConnection("bob", downloaderEnd, 77);
        QCOMPARE(ServeFile(uploaderEnd, Pattern(50000)), qint64(0));

        QTRY_COMPARE_WITH_TIMEOUT(Status(entry), QStringLiteral("local error"), 10000);
        QVERIFY(ReadFile(Partial()) == Pattern(50000));
        QCOMPARE(added.count(), 0);
        QVERIFY(d->GetType("complete_download")->GetItems().empty());
        delete uploaderEnd;
    }

    void removing_a_running_download_is_prompt()
    {
        QVERIFY(QDir().mkpath(QFileInfo(Partial()).path()));
        QVERIFY(WriteFile(Partial(), Pattern(10)));
        ItemPtr entry = NewDownload("bob", 1000000, 77, "queued");
        QSignalSpy progressed(f->engine, &TransferQueueManager::DownloadProgressed);

        auto [uploaderEnd, downloaderEnd] = LoopbackPair();
        f->engine->OnFileConnection("bob", downloaderEnd, 77);
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

    void shutdown_stops_every_transfer_promptly()
    {
        std::vector<QTcpSocket*> peers;
        for (uint token = 1; token <= 3; ++token)
        {
            NewDownload(QStringLiteral("user%1").arg(token), 1000000, token, "queued",
                        QStringLiteral("folder%1").arg(token));
            auto [uploaderEnd, downloaderEnd] = LoopbackPair();
            f->engine->OnFileConnection(QStringLiteral("user%1").arg(token), downloaderEnd, token);
            peers.push_back(uploaderEnd);
        }
        QCOMPARE(d->GetType("download_thread")->GetItems().size(), std::size_t(3));

        QElapsedTimer stopping;
        stopping.start();
        f->DeleteEngine();
        QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
        for (QTcpSocket* peer : peers)
            delete peer;
    }

    void upload_runs_on_the_accepted_connection()
    {
        const QByteArray content = Pattern(200000);
        ItemPtr entry = NewUpload(content, QStringLiteral("3000000001"));
        ItemPtr shared = d->GetType("shared_file")->NewItem();
        shared += Item("shared_file_name", QStringLiteral("shared.bin"));
        shared += Item("shared_file_folder", f->dir.path());
        shared += Item("shared_file_size", QString::number(content.size()));
        entry += shared;
        QSignalSpy progressed(f->engine, &TransferQueueManager::UploadProgressed);

        auto [uploaderEnd, downloaderEnd] = LoopbackPair();
        f->engine->OnFileConnectionAccepted("dave", uploaderEnd);
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

    void failed_upload_is_aborted_and_told_and_then_refused()
    {
        ItemPtr entry = NewUpload(Pattern(1000), QStringLiteral("5"));
        entry += Item("filename_as_requested", QStringLiteral("music\\shared.bin"));

        auto [uploaderEnd, downloaderEnd] = LoopbackPair();
        f->engine->OnFileConnectionAccepted("dave", uploaderEnd);
        QCOMPARE(ReadExactly(downloaderEnd, 4).size(), 4);
        downloaderEnd->close(); // no download for the token

        QTRY_COMPARE_WITH_TIMEOUT(entry["upload_entry_status"].AsString(), QStringLiteral("aborted"), 5000);
        const Sent told = f->One("46");
        QCOMPARE(told.user, QStringLiteral("dave"));
        QCOMPARE(told.bytes, QByteArray::fromHex("2e00000010000000") + QByteArray("music\\shared.bin"));
        delete downloaderEnd;

        // A connection no upload waits for is dropped.
        auto [unwanted, peerEnd] = LoopbackPair();
        QPointer<QTcpSocket> handed(unwanted);
        f->engine->OnFileConnectionAccepted(QStringLiteral("dave"), unwanted);
        QTRY_VERIFY(handed.isNull());
        QVERIFY(WaitForClose(peerEnd));
        delete peerEnd;
    }
};

QTEST_GUILESS_MAIN(TestTransferFiles)
#include "test_transfer_files.moc"
