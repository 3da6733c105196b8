#include "PreparedHome.h"
#include "TestServer.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The real program, started in a home folder of the test's own.
class TestProgramRun : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

    QString Run() const { return m_home.path() + QStringLiteral("/run"); }

    void Start(QProcess& io_program)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), Run());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        io_program.setProcessEnvironment(environment);
        io_program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        io_program.start(QStringLiteral(VELTRANE_PROGRAM), {});
        QVERIFY(io_program.waitForStarted(5000));
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
        server.AddAccount(QStringLiteral("runner"), QStringLiteral("pass"));
        QMap<QString, QString> settings = QuietSettings();
        settings.insert({{"username", "runner"},
                         {"password", "pass"},
                         {"server_host", "127.0.0.1"},
                         {"server_port", QString::number(server.Port())},
                         {"user_description", "written before the first run"}});
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
};

QTEST_GUILESS_MAIN(TestProgramRun)
#include "test_program_run.moc"
