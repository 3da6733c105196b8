#include "HarnessProcess.h"
#include "RawPeer.h"
#include "TestServer.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>

// The queues between whole client processes and the loopback test server: downloads queued
// (43), admitted by the uploader's visibility rules, started when a slot is free (40) and
// accepted (41); denials, "Queued", places in line (51, 44), re-queues on the half-minute tick,
// unsharing a user while it waits, and the uploader going offline and coming back.
class TestQueueRoad : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<HarnessProcess> m_alice, m_bob, m_carol;
    QTemporaryDir m_files{QDir::tempPath() + QStringLiteral("/veltrane-XXXXXX")};

    static constexpr qint64 BigSize = 1024 * 1024;
    static constexpr qint64 SmallSize = 20000;

    QString Local(const QString& i_relative) const { return m_files.filePath(i_relative); }
    QString Remote(const QString& i_relative) const
    {
        return Local(i_relative).replace(QLatin1Char('/'), QLatin1Char('\\'));
    }

    bool StartClient(std::unique_ptr<HarnessProcess>& o_client, const QString& i_user)
    {
        o_client = std::make_unique<HarnessProcess>();
        if (!o_client->Start({"full"}))
            return false;
        if (!o_client->StartEngine(i_user, m_server->Port(), FreePortPair(),
                                   {{"download_folder", Local(i_user + "-downloads")}, {"upload_slots", "1"}}))
            return false;
        // Shared before the login, so that a re-queue on sight never meets an empty share.
        o_client->Send({"share", Local("pub"), "public"});
        o_client->Send({"share", Local("crew"), "group", "crew"});
        if (!o_client->Take("shared") || !o_client->Take("shared"))
            return false;
        return o_client->Connect() && m_server->WaitForFrames(2, 1, i_user);
    }

    bool Online(HarnessProcess& i_client, const QString& i_user)
    {
        i_client.Send({"online", i_user});
        QStringList fields;
        return i_client.Take("online", &fields) && fields.value(0) == QLatin1String("1");
    }

    // Bob's one slot crawls, so that whoever has it keeps it.
    void Crawl(bool i_on)
    {
        m_bob->Send({"set", "upload_speed_limit", "1"});
        m_bob->Send({"set", "upload_speed_limit_enabled", i_on ? "yes" : "no"});
        m_bob->Send({"limit"});
    }

    QStringList Status(HarnessProcess& i_client, const QString& i_file)
    {
        i_client.Send({"status", "bob", Remote(i_file)});
        QStringList fields;
        i_client.Take("status", &fields);
        return fields;
    }

    QStringList UploadStatus(const QString& i_user, const QString& i_file)
    {
        m_bob->Send({"upstatus", i_user, Remote(i_file)});
        QStringList fields;
        m_bob->Take("upstatus", &fields);
        return fields;
    }

    bool Complete(HarnessProcess& i_client, const QString& i_user, const QString& i_name, qint64 i_size)
    {
        return i_client.Take("event Complete bob " + i_name.toUtf8(), nullptr, 30000)
               && QFileInfo(Local(i_user + "-downloads/complete/pub/" + i_name)).size() == i_size;
    }

private slots:
    void initTestCase()
    {
        for (const auto& [path, size] :
             {std::pair{"pub/a.bin", BigSize}, std::pair{"pub/b.bin", SmallSize}, std::pair{"pub/c.bin", SmallSize},
              std::pair{"pub/d.bin", SmallSize}, std::pair{"crew/x.bin", SmallSize}})
        {
            QVERIFY(QDir().mkpath(QFileInfo(Local(path)).path()));
            QFile file(Local(path));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(int(size), 'v')) == size);
        }
    }

    void init()
    {
        for (const char* folder : {"alice-downloads", "carol-downloads"})
            QDir(Local(folder)).removeRecursively();
        m_server = std::make_unique<TestServer>();
        QVERIFY(m_server->Listen());
        QVERIFY(StartClient(m_bob, QStringLiteral("bob")));
        QVERIFY(StartClient(m_alice, QStringLiteral("alice")));
    }

    void cleanup()
    {
        m_alice.reset();
        m_bob.reset();
        m_carol.reset();
        m_server.reset();
    }

    void deniesWhatTheAskerMayNotGet_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("hidden folder") << Remote("crew/x.bin");
        QTest::newRow("not shared") << Remote("pub/missing.bin");
        QTest::newRow("climbing out") << Remote("pub") + "\\..\\..\\etc\\passwd";
        QTest::newRow("outside the shares") << QStringLiteral("\\etc\\passwd");
    }

    void deniesWhatTheAskerMayNotGet()
    {
        QFETCH(QString, path);
        m_alice->Send({"adddownload", "bob", path, QString::number(SmallSize)});
        QVERIFY(m_alice->Take("event UploadDenied bob " + QUrl::toPercentEncoding(path) + " File%20not%20shared."));
        m_alice->Send({"status", "bob", path});
        QStringList fields;
        QVERIFY(m_alice->Take("status", &fields));
        QCOMPARE(fields, (QStringList{"denied", "-1", "-1", "File not shared."}));
        m_bob->Send({"upstatus", "alice", path});
        QVERIFY(m_bob->Take("upstatus", &fields));
        QCOMPARE(fields.value(0), QStringLiteral("none"));
    }

    void queuesStartsInTurnAndForgetsAnUnsharedUser()
    {
        // Carol takes bob's one slot and keeps it: 43, then 40 and 41 for her.
        QVERIFY(StartClient(m_carol, QStringLiteral("carol")));
        Crawl(true);
        m_carol->Send({"adddownload", "bob", Remote("pub/a.bin"), QString::number(BigSize)});
        QVERIFY(m_bob->Take("event QueueUploadRequested carol"));
        QVERIFY(m_carol->Take("event FileTransferRequested bob 1"));
        QVERIFY(m_bob->Take("event FileTransferResponse carol"));
        QTRY_COMPARE(Status(*m_carol, "pub/a.bin").value(0), QStringLiteral("downloading"));

        // Alice waits behind her, second and third in line.
        for (const char* file : {"pub/b.bin", "pub/c.bin"})
            m_alice->Send({"adddownload", "bob", Remote(file), QString::number(SmallSize)});
        QTRY_COMPARE(UploadStatus("alice", "pub/c.bin"), (QStringList{"queued", "2"}));
        QCOMPARE(UploadStatus("alice", "pub/b.bin"), (QStringList{"queued", "1"}));
        for (const char* file : {"pub/b.bin", "pub/c.bin"})
            m_alice->Send({"placeinline", "bob", Remote(file)});
        QVERIFY(m_alice->Take("event DownloadPlaceInLine bob " + QUrl::toPercentEncoding(Remote("pub/b.bin")) + " 1"));
        QVERIFY(m_alice->Take("event DownloadPlaceInLine bob " + QUrl::toPercentEncoding(Remote("pub/c.bin")) + " 2"));
        QCOMPARE(Status(*m_alice, "pub/c.bin"), (QStringList{"queued", "-1", "2", ""}));

        // A downloader's own transfer request is answered "Queued" and queued.
        const QByteArray request = RawPeer::UInt32(40) + RawPeer::UInt32(0) + RawPeer::UInt32(99)
                                   + RawPeer::String(Remote("pub/d.bin").toUtf8());
        m_alice->Send({"send", "bob", QString::fromLatin1(request.toHex())});
        QVERIFY(m_alice->Take("event FileTransferResponse bob 99 0 0 0 Queued"));
        QCOMPARE(UploadStatus("alice", "pub/d.bin"), (QStringList{"queued", "3"}));

        // The tick re-queues ten minutes after the last request; bob keeps one entry per file. The
        // answer to a place-in-line request for d, which no tick asks for, marks when bob has read
        // all that came before it.
        const QByteArray queueB = "event QueueUploadRequested alice " + QUrl::toPercentEncoding(Remote("pub/b.bin"));
        const QByteArray askD = RawPeer::UInt32(51) + RawPeer::String(Remote("pub/d.bin").toUtf8());
        const auto queueRequestsAfterTick = [&](const char* i_clockMs) {
            m_alice->Send({"clock", i_clockMs});
            m_alice->Send({"tick"});
            m_alice->Send({"send", "bob", QString::fromLatin1(askD.toHex())});
            m_alice->Take("event DownloadPlaceInLine bob " + QUrl::toPercentEncoding(Remote("pub/d.bin")) + " 3");
            return m_bob->Count(queueB);
        };
        // Alice first asked when the server told her bob was online.
        QCOMPARE(m_bob->Count(queueB), 1);
        QCOMPARE(queueRequestsAfterTick("0"), 1);
        QCOMPARE(queueRequestsAfterTick("540000"), 1);
        QCOMPARE(queueRequestsAfterTick("60000"), 2);
        QCOMPARE(queueRequestsAfterTick("0"), 2);
        QCOMPARE(UploadStatus("alice", "pub/b.bin"), (QStringList{"queued", "1"}));

        // Unsharing alice denies all her entries at once; carol keeps her slot.
        m_bob->Send({"unshare", "alice"});
        for (const char* file : {"pub/b.bin", "pub/c.bin"})
        {
            QTRY_COMPARE(Status(*m_alice, file).value(0), QStringLiteral("denied"));
            QCOMPARE(Status(*m_alice, file).value(3), QStringLiteral("File not shared."));
        }
        for (const char* file : {"pub/b.bin", "pub/c.bin", "pub/d.bin"})
            QCOMPARE(UploadStatus("alice", file).value(0), QStringLiteral("none"));
        QCOMPARE(Status(*m_carol, "pub/a.bin").value(0), QStringLiteral("downloading"));
    }

    void requeuesWhenTheUploaderComesBack()
    {
        Crawl(true);
        m_alice->Send({"adddownload", "bob", Remote("pub/a.bin"), QString::number(BigSize)});
        m_alice->Send({"adddownload", "bob", Remote("pub/b.bin"), QString::number(SmallSize)});
        QTRY_COMPARE(Status(*m_alice, "pub/a.bin").value(0), QStringLiteral("downloading"));
        QTRY_COMPARE(UploadStatus("alice", "pub/b.bin").value(0), QStringLiteral("queued"));

        m_bob->Kill();
        QTRY_VERIFY(!Online(*m_alice, "bob"));

        // Bob is back, fast and without the queue he had: alice asks again and gets both.
        QVERIFY(StartClient(m_bob, QStringLiteral("bob")));
        QVERIFY(m_alice->Take("event Complete bob", nullptr, 30000));
        QVERIFY(m_alice->Take("event Complete bob", nullptr, 30000));
        QCOMPARE(QFileInfo(Local("alice-downloads/complete/pub/a.bin")).size(), BigSize);
        QCOMPARE(QFileInfo(Local("alice-downloads/complete/pub/b.bin")).size(), SmallSize);
    }
};

QTEST_GUILESS_MAIN(TestQueueRoad)
#include "test_queue_road.moc"
