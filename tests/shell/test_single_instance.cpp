#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

// Starts the real program twice: the second start must leave at once with status 0
// while the first keeps running.
class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void secondStartExitsAtOnce()
    {
        const QString lockPath =
            QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QStringLiteral("/VeltraneQt.lock");
        QFile::remove(lockPath);

        QProcess first;
        first.start(QStringLiteral(VELTRANE_PROGRAM), {});
        QVERIFY(first.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(lockPath), 10000);

        QProcess second;
        second.start(QStringLiteral(VELTRANE_PROGRAM), {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);

        first.terminate();
        if (!first.waitForFinished(5000)) {
            first.kill();
            first.waitForFinished(5000);
        }
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "test_single_instance.moc"
