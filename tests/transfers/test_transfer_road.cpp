#include "HarnessProcess.h"
#include "RawPeer.h"
#include "TestServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>

// The road of a search and a download between two real client processes and the loopback
// test server: Alice finds Bob's file, downloads it over a file connection into her
// "downloading" folder and then into "complete", byte for byte; also after a kill half-way.
class TestTransferRoad : public QObject
{
    Q_OBJECT

    static constexpr qint64 FileSize = qint64(256) * 1024 * 1024 + 4321;

    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<HarnessProcess> m_alice;
    std::unique_ptr<HarnessProcess> m_bob;
    QTemporaryDir m_files;
    QByteArray m_sharedHash;

    QString SharedFolder() const { return m_files.filePath(QStringLiteral("shared/music")); }
    QString Downloads() const { return m_files.filePath(QStringLiteral("downloads")); }

    static QByteArray HashOf(const QString& i_path)
    {
        QFile file(i_path);
        QCryptographicHash hash(QCryptographicHash::Sha1);
        return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
    }

    bool StartClient(std::unique_ptr<HarnessProcess>& o_client, const QString& i_user)
    {
        o_client = std::make_unique<HarnessProcess>();
        if (!o_client->Start({"full"}))
            return false;
        return o_client->LogIn(i_user, m_server->Port(), FreePortPair(), {{"download_folder", Downloads()}})
               && m_server->WaitForFrames(2, 1, i_user);
    }

    // Alice searches and downloads the one result; answers the remote path.
    QString SearchAndDownload()
    {
        m_alice->Send({"search", "bigfile"});
        QStringList result;
        if (!m_alice->Take("event Result", &result, 20000))
            return QString();
        if (result.value(0) != QLatin1String("bob") || result.value(2) != QString::number(FileSize))
            return QString();
        m_alice->Send({"adddownload", "bob", result.value(1), result.value(2)});
        return result.value(1);
    }

    bool WaitForComplete()
    {
        QStringList fields;
        return m_alice->Take("event Complete", &fields, 60000) && fields == (QStringList{"bob", "bigfile.bin"});
    }

    QString CompletePath() const { return Downloads() + QStringLiteral("/complete/music/bigfile.bin"); }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(SharedFolder()));
        QFile file(SharedFolder() + QStringLiteral("/bigfile.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray block(1024 * 1024, '\0');
        for (qint64 written = 0, n = 0; written < FileSize; ++n)
        {
            for (int i = 0; i < block.size(); i += 8)
                *reinterpret_cast<qint64*>(block.data() + i) = written + i + n;
            const qint64 length = qMin<qint64>(block.size(), FileSize - written);
            QCOMPARE(file.write(block.constData(), length), length);
            written += length;
        }
        file.close();
        m_sharedHash = HashOf(file.fileName());
    }

    void init()
    {
        QDir(Downloads()).removeRecursively();
        m_server = std::make_unique<TestServer>();
        QVERIFY(m_server->Listen());
        QVERIFY(StartClient(m_alice, QStringLiteral("alice")));
        QVERIFY(StartClient(m_bob, QStringLiteral("bob")));
        m_bob->Send({"share", SharedFolder()});
        QStringList shared;
        QVERIFY(m_bob->Take("shared", &shared));
        QCOMPARE(shared.value(0), QStringLiteral("1"));
    }

    void cleanup()
    {
        m_alice.reset();
        m_bob.reset();
        m_server.reset();
    }

    void downloads_a_found_file_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("direct") << QStringLiteral("direct");
        QTest::newRow("relayed") << QStringLiteral("relayed");
        QTest::newRow("scrambled port") << QStringLiteral("scrambled");
    }

    void downloads_a_found_file()
    {
        QFETCH(QString, way);
        if (way == QLatin1String("relayed"))
        {
            // Bob cannot be reached directly: the server gives a port nobody listens on.
            m_server->MakeUnreachable(QStringLiteral("bob"));
        }
        else if (way == QLatin1String("scrambled"))
        {
            m_alice->Send({"scrambled", "1"});
            m_bob->Send({"scrambled", "1"});
        }
        QVERIFY(!SearchAndDownload().isEmpty());
        QVERIFY(WaitForComplete());
        QCOMPARE(HashOf(CompletePath()), m_sharedHash);
        QVERIFY(!QFile::exists(Downloads() + QStringLiteral("/downloading/music/bigfile.bin")));
    }

    void resumes_after_a_kill_half_way()
    {
        // Slow enough for Alice to be stopped in the middle.
        m_bob->Send({"set", "upload_speed_limit", "40000"});
        m_bob->Send({"set", "upload_speed_limit_enabled", "yes"});
        m_bob->Send({"limit"});
        const QString path = SearchAndDownload();
        QVERIFY(!path.isEmpty());
        const QString partial = Downloads() + QStringLiteral("/downloading/music/bigfile.bin");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() > FileSize / 3, 30000);
        m_alice->Kill();
        const qint64 kept = QFileInfo(partial).size();
        QVERIFY(kept > 0 && kept < FileSize);

        m_bob->Send({"set", "upload_speed_limit_enabled", "no"});
        m_bob->Send({"limit"});
        QVERIFY(StartClient(m_alice, QStringLiteral("alice")));
        m_alice->Send({"adddownload", "bob", path, QString::number(FileSize)});
        QVERIFY(WaitForComplete());
        QCOMPARE(HashOf(CompletePath()), m_sharedHash);
    }
};

QTEST_GUILESS_MAIN(TestTransferRoad)
#include "test_transfer_road.moc"
