#include "PreparedHome.h"
#include "TestServer.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The real program in a prepared home folder: it logs in by itself, and after being killed it
// starts again from what was saved.
class TestProgramRun : public QObject
{
    Q_OBJECT

private:
    static void Start(QProcess& io_program, const QString& i_home)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), i_home);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), i_home + QStringLiteral("/run"));
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
    void logsInAndSurvivesAKill()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        QVERIFY(QDir(home.path()).mkdir(QStringLiteral("run")));
        QFile::setPermissions(home.path() + QStringLiteral("/run"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

        TestServer server;
        QVERIFY(server.Listen());
        server.AddAccount(QStringLiteral("runner"), QStringLiteral("pass"));
        QMap<QString, QString> settings = QuietSettings();
        settings.insert(QStringLiteral("username"), QStringLiteral("runner"));
        settings.insert(QStringLiteral("password"), QStringLiteral("pass"));
        settings.insert(QStringLiteral("server_host"), QStringLiteral("127.0.0.1"));
        settings.insert(QStringLiteral("server_port"), QString::number(server.Port()));
        settings.insert(QStringLiteral("user_description"), QStringLiteral("written before the first run"));
        const QString dataPath = home.path() + QStringLiteral("/.Veltrane");
        QVERIFY(WriteDataFile(dataPath, settings));

        QProcess first;
        Start(first, home.path());
        QTRY_VERIFY_WITH_TIMEOUT(server.IsLoggedIn(QStringLiteral("runner")), 20000);
        Kill(first);
        QTRY_VERIFY_WITH_TIMEOUT(!server.IsLoggedIn(QStringLiteral("runner")), 10000);

        // Had the user name been lost, the first-run dialog would wait and nobody would log in.
        QProcess second;
        Start(second, home.path());
        QTRY_VERIFY_WITH_TIMEOUT(server.IsLoggedIn(QStringLiteral("runner")), 20000);
        Kill(second);

        QVERIFY(!QFile::exists(dataPath + QStringLiteral(".bad")));
        QFile file(dataPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("written before the first run"));
    }
};

QTEST_GUILESS_MAIN(TestProgramRun)
#include "test_program_run.moc"
