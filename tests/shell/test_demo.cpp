#include "FreePorts.h"
#include "HarnessProcess.h"

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>

// make demo's script, headless: its server and its two real clients, reached by a third client
// that searches and downloads from both, then stopped as a user stops it.
class TestDemo : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_folder;
    QProcess m_demo;

    QString Demo() const { return m_folder.path() + QStringLiteral("/demo"); }

    static QByteArray Read(const QString& i_path)
    {
        QFile file(i_path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QByteArray ServerLog() const { return Read(Demo() + QStringLiteral("/server.log")); }

    quint16 ServerPort() const
    {
        const QByteArray first = ServerLog().split('\n').value(0);
        return quint16(first.mid(first.lastIndexOf(':') + 1).toUInt());
    }

    // The client's one-instance lock names its process while it runs.
    qint64 ClientProcess(const QString& i_user) const
    {
        return Read(Demo() + QLatin1Char('/') + i_user + QStringLiteral("/run/VeltraneQt.lock"))
            .split('\n')
            .value(0)
            .toLongLong();
    }

    static bool Listening(quint16 i_port)
    {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), i_port);
        return socket.waitForConnected(2000);
    }

private slots:
    void init()
    {
        QVERIFY(m_folder.isValid());
        QVERIFY(QDir(Demo()).removeRecursively());
        m_demo.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    }

    // A case that failed half-way stops the demo as a user would, so that nothing is left running.
    void cleanup()
    {
        if (m_demo.state() != QProcess::NotRunning)
        {
            ::kill(pid_t(m_demo.processId()), SIGINT);
            m_demo.waitForFinished(30000);
        }
    }

    void the_demo_logs_both_in_serves_their_files_and_stops_everything_data()
    {
        QTest::addColumn<bool>("closeWindows");
        QTest::newRow("Ctrl-C") << false;
        QTest::newRow("both windows closed") << true;
    }

    void the_demo_logs_both_in_serves_their_files_and_stops_everything()
    {
        QFETCH(bool, closeWindows);
        QProcess& demo = m_demo;
        demo.setProcessChannelMode(QProcess::ForwardedChannels);
        demo.start(QStringLiteral("sh"),
                   {QStringLiteral(VELTRANE_DEMO_SCRIPT), QStringLiteral(VELTRANE_BUILD_DIR), Demo()});
        QVERIFY(demo.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(
            ServerLog().contains("\nalice logged in\n") && ServerLog().contains("\nbob logged in\n"), 30000);
        const quint16 port = ServerPort();
        QVERIFY(Listening(port));

        HarnessProcess visitor;
        QVERIFY(visitor.Start({QStringLiteral("full")}));
        QVERIFY(visitor.LogIn(QStringLiteral("visitor"), port, FreePortPair()));
        visitor.Send({QStringLiteral("search"), QStringLiteral("demo notes")});
        QVERIFY(visitor.Take("searchtoken"));
        QMap<QString, QStringList> notes; // user -> path, size
        QStringList fields;
        while (notes.size() < 2 && visitor.Take("event Result", &fields, 20000))
            notes.insert(fields.value(0), fields.mid(1));
        QCOMPARE(notes.keys(), QStringList({QStringLiteral("alice"), QStringLiteral("bob")}));
        for (auto note = notes.cbegin(); note != notes.cend(); ++note)
        {
            const QString user = note.key();
            visitor.Send({QStringLiteral("adddownload"), user, note->value(0), note->value(1)});
            QVERIFY(visitor.Take("event Complete", &fields, 20000));
            const QString name = user + QStringLiteral(" demo notes.txt");
            QCOMPARE(fields, QStringList({user, name}));
            QDirIterator found(visitor.Home(), {name}, QDir::Files, QDirIterator::Subdirectories);
            QVERIFY(found.hasNext());
            const QByteArray shared =
                Read(Demo() + QLatin1Char('/') + user + QStringLiteral("/Shared by ") + user + QLatin1Char('/') + name);
            QVERIFY(!shared.isEmpty());
            QCOMPARE(Read(found.next()), shared);
        }

        if (closeWindows)
        {
            for (const QString& user : {QStringLiteral("alice"), QStringLiteral("bob")})
                QCOMPARE(::kill(pid_t(ClientProcess(user)), SIGTERM), 0);
        }
        else
            QCOMPARE(::kill(pid_t(demo.processId()), SIGINT), 0);
        QVERIFY(demo.waitForFinished(30000));
        QCOMPARE(demo.exitCode(), closeWindows ? 0 : 130);
        QVERIFY(!Listening(port));
        for (const QString& user : {QStringLiteral("alice"), QStringLiteral("bob")})
        {
            QVERIFY(!QFile::exists(Demo() + QLatin1Char('/') + user + QStringLiteral("/run/VeltraneQt.lock")));
            QVERIFY(QFile::exists(Demo() + QLatin1Char('/') + user + QStringLiteral("/.Veltrane")));
        }
        QVERIFY(!QFile::exists(QDir::homePath() + QStringLiteral("/.Veltrane")));
    }

    void a_demo_whose_clients_cannot_start_names_each_with_its_output_and_fails_data()
    {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("no display") << QStringLiteral("xcb") << QByteArray("could not connect to display");
        QTest::newRow("no such platform")
            << QStringLiteral("none") << QByteArray("Could not find the Qt platform plugin \"none\"");
    }

    void a_demo_whose_clients_cannot_start_names_each_with_its_output_and_fails()
    {
        QFETCH(QString, platform);
        QFETCH(QByteArray, reason);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        m_demo.setProcessEnvironment(environment);
        m_demo.setProcessChannelMode(QProcess::SeparateChannels);
        m_demo.start(QStringLiteral("sh"),
                     {QStringLiteral(VELTRANE_DEMO_SCRIPT), QStringLiteral(VELTRANE_BUILD_DIR), Demo()});
        QVERIFY(m_demo.waitForFinished(30000));
        QCOMPARE(m_demo.exitCode(), 1);
        const QList<QByteArray> errors = m_demo.readAllStandardError().split('\n');
        for (const QString& user : {QStringLiteral("alice"), QStringLiteral("bob")})
        {
            const QString output = Demo() + QLatin1Char('/') + user + QStringLiteral("/client.log");
            const auto named = std::find_if(errors.cbegin(), errors.cend(), [&](const QByteArray& i_line) {
                return i_line.startsWith("demo: " + user.toUtf8() + "'s client failed")
                       && i_line.endsWith("its output: " + output.toUtf8());
            });
            QVERIFY2(named != errors.cend(), errors.join('\n').constData());
            QVERIFY(Read(output).contains(reason));
        }
        QVERIFY(!Listening(ServerPort()));
    }
};

QTEST_GUILESS_MAIN(TestDemo)
#include "test_demo.moc"
