#include "DownloadThread.h"
#include "PeerConnection.h"
#include "SharedUploadLimit.h"
#include "TransferSockets.h"
#include "UploadThread.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <limits>

// The upload and download threads on real loopback connections and real files, against each
// other and against a scripted peer on the test's own thread.
class TestTransferThreads : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    SharedUploadLimit m_noLimit; // never set: no limit

    QString Path(const QString& i_name) const { return m_dir.filePath(i_name); }

    // Waits for a thread's end and frees the socket it handed back.
    static void Finish(QThread* ip_thread, QTcpSocket* ip_socket)
    {
        QVERIFY(ip_thread->wait(10000));
        delete ip_socket;
    }

private slots:
    void moves_the_file_from_the_offset_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("partial");
        QTest::newRow("empty file") << qint64(0) << qint64(0);
        QTest::newRow("one byte") << qint64(1) << qint64(0);
        QTest::newRow("a chunk and a byte") << qint64(8193) << qint64(0);
        QTest::newRow("resume") << qint64(100000) << qint64(40000);
        QTest::newRow("partial file already whole") << qint64(50000) << qint64(50000);
        QTest::newRow("several megabytes") << qint64(5 * 1024 * 1024 + 3) << qint64(1024 * 1024 + 1);
    }

    void moves_the_file_from_the_offset()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, partial);

        const QByteArray content = Pattern(size);
        QVERIFY(WriteFile(Path("shared"), content));
        QVERIFY(WriteFile(Path("partial"), content.left(int(partial))));
        QFile shared(Path("shared"));
        QVERIFY(shared.open(QIODevice::ReadOnly));
        QFile target(Path("partial"));
        QVERIFY(target.open(QIODevice::WriteOnly | QIODevice::Append));

        auto [uploaderEnd, downloaderEnd] = LoopbackPair();
        QVERIFY(uploaderEnd && downloaderEnd);
        UploadThread upload(uploaderEnd, &shared, 0xDEADBEEFu, m_noLimit);
        QSignalSpy uploaded(&upload, &UploadThread::UploadComplete);
        QSignalSpy uploadFailed(&upload, &UploadThread::UploadError);
        QSignalSpy uploadProgress(&upload, &UploadThread::UploadProgress);
        upload.start();

        const QByteArray token = ReadExactly(downloaderEnd, 4);
        QCOMPARE(token, QByteArray("\xEF\xBE\xAD\xDE", 4));
        const qint64 offset = target.pos();
        QCOMPARE(offset, partial);
        downloaderEnd->write(LittleEndian64(offset));
        downloaderEnd->flush();

        DownloadThread download(downloaderEnd, &target, size, offset);
        QSignalSpy downloaded(&download, &DownloadThread::DownloadComplete);
        QSignalSpy downloadFailed(&download, &DownloadThread::DownloadError);
        QSignalSpy downloadProgress(&download, &DownloadThread::DownloadProgress);
        download.start();

        QTRY_COMPARE_WITH_TIMEOUT(downloaded.count() + downloadFailed.count(), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(uploaded.count() + uploadFailed.count(), 1, 20000);
        QVERIFY2(uploadFailed.isEmpty(), qPrintable(upload.Error()));
        QVERIFY2(downloadFailed.isEmpty(), qPrintable(download.Error()));
        Finish(&upload, uploaderEnd);
        Finish(&download, downloaderEnd);

        QVERIFY(!target.isOpen()); // the download thread closes its file
        QVERIFY(ReadFile(Path("partial")) == content);
        // Both sides end by reporting the whole file; a sender with nothing to send reports nothing.
        QCOMPARE(uploadProgress.isEmpty(), size == partial);
        if (!uploadProgress.isEmpty())
            QCOMPARE(uploadProgress.last().at(0).toLongLong(), size);
        QVERIFY(!downloadProgress.isEmpty());
        QCOMPARE(downloadProgress.last().at(0).toLongLong(), size);
    }

    void uploader_fails_without_a_good_offset_data()
    {
        QTest::addColumn<bool>("close");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<QString>("reason");
        // What a downloader with no entry for the token does: it closes.
        QTest::newRow("closed before the offset")
            << true << qint64(0) << "Waiting for initialization data to read failed. Error string: ";
        const QString seek = QStringLiteral("Won't seek to offset %1 in file of size 1000");
        QTest::newRow("negative") << false << qint64(-1) << seek.arg(-1);
        QTest::newRow("past the end") << false << qint64(1001) << seek.arg(1001);
        QTest::newRow("huge") << false << std::numeric_limits<qint64>::max()
                              << seek.arg(std::numeric_limits<qint64>::max());
    }

    void uploader_fails_without_a_good_offset()
    {
        QFETCH(bool, close);
        QFETCH(qint64, offset);
        QFETCH(QString, reason);
        QVERIFY(WriteFile(Path("shared"), Pattern(1000)));
        QFile shared(Path("shared"));
        QVERIFY(shared.open(QIODevice::ReadOnly));
        auto [uploaderEnd, downloaderEnd] = LoopbackPair();
        UploadThread upload(uploaderEnd, &shared, 7, m_noLimit);
        QSignalSpy failed(&upload, &UploadThread::UploadError);
        upload.start();

        QCOMPARE(ReadExactly(downloaderEnd, 4).size(), 4);
        if (close)
            downloaderEnd->close();
        else
        {
            downloaderEnd->write(LittleEndian64(offset));
            downloaderEnd->flush();
        }
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 5000);
        QVERIFY2(failed.first().at(0).toString().startsWith(reason), qPrintable(failed.first().at(0).toString()));
        Finish(&upload, uploaderEnd);
        delete downloaderEnd;
    }

    void downloader_handles_a_misbehaving_uploader_data()
    {
        QTest::addColumn<qint64>("sent");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<QString>("reason");

        QTest::newRow("closes half-way") << qint64(50000) << false
                                         << QStringLiteral("Waiting for data to read failed. Error string: ");
        QTest::newRow("sends more than the size") << qint64(100000 + 5000) << true << QString();
        QTest::newRow("closes at once") << qint64(0) << false
                                        << QStringLiteral("Waiting for data to read failed. Error string: ");
    }

    void downloader_handles_a_misbehaving_uploader()
    {
        QFETCH(qint64, sent);
        QFETCH(bool, complete);
        QFETCH(QString, reason);
        const qint64 size = 100000;
        const QByteArray content = Pattern(sent);

        QFile target(Path("partial-" + QString::number(sent)));
        QVERIFY(target.open(QIODevice::WriteOnly | QIODevice::Append));
        auto [uploaderEnd, downloaderEnd] = LoopbackPair();
        DownloadThread download(downloaderEnd, &target, size, 0);
        QSignalSpy downloaded(&download, &DownloadThread::DownloadComplete);
        QSignalSpy failed(&download, &DownloadThread::DownloadError);
        download.start();

        uploaderEnd->write(content);
        uploaderEnd->flush();
        while (uploaderEnd->bytesToWrite() > 0 && uploaderEnd->waitForBytesWritten(5000))
        {
        }
        if (!complete)
            uploaderEnd->close();

        QTRY_COMPARE_WITH_TIMEOUT(downloaded.count() + failed.count(), 1, 10000);
        QCOMPARE(downloaded.count(), complete ? 1 : 0);
        if (!complete)
            QVERIFY2(failed.first().at(0).toString().startsWith(reason), qPrintable(failed.first().at(0).toString()));
        Finish(&download, downloaderEnd);
        delete uploaderEnd;

        // Every whole chunk that arrived before a failure stays, and nothing past the size is ever
        // written: a resume from the file's size continues exactly where it ended.
        const QByteArray written = ReadFile(target.fileName());
        QVERIFY(written == content.left(written.size()));
        QCOMPARE(qint64(written.size()), complete ? size : sent / 8192 * 8192);
    }

    void stopping_never_waits_for_the_peer_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::newRow("download from a silent uploader") << QStringLiteral("download silent");
        QTest::newRow("download from an uploader sending a byte at a time") << QStringLiteral("download trickle");
        QTest::newRow("upload to a downloader that sends no offset") << QStringLiteral("upload silent");
        QTest::newRow("upload to a downloader that reads nothing") << QStringLiteral("upload stalled");
        QTest::newRow("upload to a downloader that never closes") << QStringLiteral("upload open");
    }

    void stopping_never_waits_for_the_peer()
    {
        QFETCH(QString, peer);
        const bool uploading = peer.startsWith(QLatin1String("upload"));
        const qint64 size = peer == QLatin1String("upload stalled") ? qint64(64) * 1024 * 1024 : 100000;
        QVERIFY(WriteFile(Path("big"), Pattern(peer == QLatin1String("upload stalled") ? 1024 * 1024 : size)));
        if (peer == QLatin1String("upload stalled"))
            QVERIFY(QFile(Path("big")).resize(size));
        QFile file(Path("big"));
        QFile target(Path("stopped"));
        QVERIFY(uploading ? file.open(QIODevice::ReadOnly) : target.open(QIODevice::WriteOnly | QIODevice::Append));

        auto [ourEnd, peerEnd] = LoopbackPair();
        // A peer that reads nothing: its kernel buffers fill and the uploader's writes stall.
        if (peer == QLatin1String("upload stalled"))
            peerEnd->setReadBufferSize(64 * 1024);
        std::unique_ptr<TransferWorker> thread;
        if (uploading)
            thread = std::make_unique<UploadThread>(ourEnd, &file, 1, m_noLimit);
        else
            thread = std::make_unique<DownloadThread>(ourEnd, &target, size, 0);
        QSignalSpy progress(thread.get(),
                            uploading ? SIGNAL(UploadProgress(qint64, int)) : SIGNAL(DownloadProgress(qint64, int)));
        QSignalSpy errors(thread.get(), uploading ? SIGNAL(UploadError(QString)) : SIGNAL(DownloadError(QString)));
        QSignalSpy complete(thread.get(), uploading ? SIGNAL(UploadComplete()) : SIGNAL(DownloadComplete()));
        thread->start();

        QTimer trickle;
        if (peer == QLatin1String("download trickle"))
        {
            connect(&trickle, &QTimer::timeout, peerEnd, [peerEnd] { peerEnd->write("x", 1); });
            trickle.start(20);
        }
        if (uploading && peer != QLatin1String("upload silent"))
        {
            QCOMPARE(ReadExactly(peerEnd, 4).size(), 4);
            peerEnd->write(LittleEndian64(0));
            peerEnd->flush();
            QTRY_VERIFY_WITH_TIMEOUT(progress.count() > 0, 5000);
            if (peer == QLatin1String("upload open"))
            {
                QCOMPARE(ReadExactly(peerEnd, size).size(), int(size));
                QTRY_COMPARE(progress.last().at(0).toLongLong(), size);
            }
        }
        // Long enough for the thread to be inside its wait, far short of the wait's own limit.
        QTest::qWait(300);
        // What waits for the downloader counts with what waits for all peers, until the thread ends.
        const qint64 waiting = PeerConnection::WaitingBytesOfAll();

        QElapsedTimer stopping;
        stopping.start();
        thread->SignalExit();
        QVERIFY(thread->wait(10000));
        const qint64 took = stopping.elapsed();
        QVERIFY2(took < 2000, qPrintable(QString::number(took)));
        QCOMPARE(PeerConnection::WaitingBytesOfAll(), qint64(0));
        QCOMPARE(waiting > 0, peer == QLatin1String("upload stalled"));
        QCoreApplication::processEvents();
        if (peer == QLatin1String("upload open"))
        {
            QCOMPARE(complete.count(), 1); // everything was sent; only the courtesy wait was cut
        }
        else
        {
            QCOMPARE(errors.count(), 1);
            QCOMPARE(errors.first().at(0).toString(), QStringLiteral("Exit requested."));
        }
        trickle.stop();
        thread.reset();
        delete ourEnd;
        delete peerEnd;
    }

    void speeds_are_bounded_to_an_int_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<int>("speed");
        QTest::newRow("no time yet") << qint64(5000) << qint64(0) << 0;
        QTest::newRow("nothing moved") << qint64(0) << qint64(10) << 0;
        QTest::newRow("a plain figure") << qint64(3000) << qint64(1500) << 2000;
        QTest::newRow("just below the largest int") << qint64(2147483) << qint64(1) << 2147483000;
        QTest::newRow("50 MB on loopback in 20 ms") << qint64(52428800) << qint64(20) << INT32_MAX;
        QTest::newRow("5 GiB in a second wraps to a positive figure")
            << qint64(5) * 1024 * 1024 * 1024 << qint64(1000) << INT32_MAX;
        QTest::newRow("bytes times 1000 past 64 bits")
            << std::numeric_limits<qint64>::max() / 10 << qint64(1) << INT32_MAX;
    }

    // The speed is shown in the transfers window and reported to the server.
    void speeds_are_bounded_to_an_int()
    {
        QFETCH(qint64, bytes);
        QFETCH(qint64, ms);
        QFETCH(int, speed);
        QCOMPARE(BytesPerSecond(bytes, ms), speed);
    }
};

QTEST_GUILESS_MAIN(TestTransferThreads)
#include "test_transfer_threads.moc"
