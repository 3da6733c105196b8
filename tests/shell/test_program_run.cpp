#include "PreparedHome.h"
#include "RawPeer.h"
#include "TestServer.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// The real program, started in a home folder of the test's own.
class TestProgramRun : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

    QString Run() const { return m_home.path() + QStringLiteral("/run"); }

    void Start(QProcess& io_program, const QString& i_program = QStringLiteral(VELTRANE_PROGRAM))
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), Run());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        io_program.setProcessEnvironment(environment);
        io_program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        io_program.start(i_program, {});
        QVERIFY(io_program.waitForStarted(5000));
    }

    // The settings of a user "runner" with an account on the server, as a previous run left them.
    static QMap<QString, QString> Runner(TestServer& io_server)
    {
        io_server.AddAccount(QStringLiteral("runner"), QStringLiteral("pass"));
        QMap<QString, QString> settings = QuietSettings();
        settings.insert({{"username", "runner"},
                         {"password", "pass"},
                         {"server_host", "127.0.0.1"},
                         {"server_port", QString::number(io_server.Port())}});
        return settings;
    }

    static void Kill(QProcess& io_program)
    {
        io_program.kill();
        QVERIFY(io_program.waitForFinished(5000));
    }

private slots:
    void init()
    {
        QVERIFY(m_home.isValid());
        QDir(m_home.path()).removeRecursively();
        QVERIFY(QDir().mkpath(Run()));
        QFile::setPermissions(Run(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    // A second start leaves at once with status 0 while the first keeps running.
    void secondStartExitsAtOnce()
    {
        QProcess first;
        Start(first);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(Run() + QStringLiteral("/VeltraneQt.lock")), 10000);
        QProcess second;
        Start(second);
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);
        Kill(first);
    }

    // It logs in by itself, and after being killed it starts again from what was saved.
    void logsInAndSurvivesAKill()
    {
        TestServer server;
        QVERIFY(server.Listen());
        QMap<QString, QString> settings = Runner(server);
        settings.insert("user_description", "written before the first run");
        const QString dataPath = m_home.path() + QStringLiteral("/.Veltrane");
        QVERIFY(WriteDataFile(dataPath, settings));

        for (int run = 0; run < 2; ++run)
        {
            // Had the user name been lost, the first-run dialog would wait and nobody would log in.
            QProcess program;
            Start(program);
            QTRY_VERIFY_WITH_TIMEOUT(server.IsLoggedIn(QStringLiteral("runner")), 20000);
            Kill(program);
            QTRY_VERIFY_WITH_TIMEOUT(!server.IsLoggedIn(QStringLiteral("runner")), 10000);
        }
        QVERIFY(!QFile::exists(dataPath + QStringLiteral(".bad")));
        QFile file(dataPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("written before the first run"));
    }

    void terminationSignalsSaveFirst_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    // A signal ends the program as closing the window does: a download queued a moment before is
    // saved, and the next start has it.
    void terminationSignalsSaveFirst()
    {
        QFETCH(int, signal);
        TestServer server;
        QVERIFY(server.Listen());
        server.SetAddressOfAbsentUsers(0x7f000001); // the friend is a raw peer on this machine
        QMap<QString, QString> settings = Runner(server);
        settings.insert("accept_userlist_uploads", "yes");
        QVERIFY(WriteDataFile(m_home.path() + QStringLiteral("/.Veltrane"), settings, {QStringLiteral("friend")}));
        const auto watched = [&server] {
            for (const TestServer::Frame& frame : server.FramesWithCode(5, QStringLiteral("runner")))
                if (frame.m_body.contains("friend"))
                    return true;
            return false;
        };

        QProcess program;
        Start(program);
        QTRY_VERIFY_WITH_TIMEOUT(server.IsLoggedIn(QStringLiteral("runner")), 20000);
        // The friend offers a file, which the client queues as a download and asks the server about.
        RawPeer friendPeer;
        QVERIFY(friendPeer.Connect(quint16(settings.value("listening_port").toUInt())));
        friendPeer.SendFrame(RawPeer::PeerInit("friend", "P"));
        QByteArray offer = RawPeer::UInt32(60) + RawPeer::String("music\\offered.mp3");
        offer += QByteArray::fromHex("d204000000000000"); // 1234 bytes
        friendPeer.SendFrame(offer);
        // The answer to a request sent after the offer shows that the offer was read (the
        // connection is read only once the server has placed the friend here).
        friendPeer.SendFrame(RawPeer::UInt32(15));
        QByteArray answer;
        QVERIFY(friendPeer.ReadFrame(answer, 10000));
        QTRY_VERIFY_WITH_TIMEOUT(watched(), 10000);

        QCOMPARE(::kill(pid_t(program.processId()), signal), 0);
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);

        server.ClearFrames();
        Start(program);
        QTRY_VERIFY_WITH_TIMEOUT(server.IsLoggedIn(QStringLiteral("runner")), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(watched(), 10000);
        program.terminate();
        QVERIFY(program.waitForFinished(20000));
        QFile file(m_home.path() + QStringLiteral("/.Veltrane"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("offered.mp3"));
    }

    void closing_the_main_window_ends_the_program_whatever_is_open_data()
    {
        QTest::addColumn<QString>("window");
        for (const char* window :
             {"gift_privileges", "add_user", "user_groups", "user_note", "user_log", "group_config", "filter_help",
              "excluded_extensions", "rescan_report", "colours", "admin_message", "new_version", "create_room",
              "share_folder", "listening_port", "download_folder", "login_while_online"})
            QTest::newRow(window) << window;
    }

    // With any window the program opens left open, logged in, closing the main window ends the
    // program as it does alone, and the data file is written on the way out.
    void closing_the_main_window_ends_the_program_whatever_is_open()
    {
        QFETCH(QString, window);
        TestServer server;
        QVERIFY(server.Listen());
        const QString dataPath = m_home.path() + QStringLiteral("/.Veltrane");
        QVERIFY(WriteDataFile(dataPath, Runner(server)));
        const QDateTime written = QDateTime::currentDateTime().addSecs(-3600);
        {
            QFile file(dataPath);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(written, QFileDevice::FileModificationTime));
        }

        QProcess program;
        Start(program, QStringLiteral(VELTRANE_DRIVEN));
        QTRY_VERIFY_WITH_TIMEOUT(server.IsLoggedIn(QStringLiteral("runner")), 20000);
        program.write("open " + window.toUtf8() + '\n');
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += program.readAllStandardOutput()).contains('\n'), 10000);
        QCOMPARE(answer, "opened " + window.toUtf8() + " 1\n");

        program.write("close\n");
        QVERIFY2(program.waitForFinished(10000), "still running with no main window");
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!server.IsLoggedIn(QStringLiteral("runner")), 10000);
        QVERIFY(QFileInfo(dataPath).lastModified() > written.addSecs(60));
        QVERIFY(!QFile::exists(dataPath + QStringLiteral(".bad")));
    }
};

QTEST_GUILESS_MAIN(TestProgramRun)
#include "test_program_run.moc"
