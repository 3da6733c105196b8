#include "Data.h"
#include "MainWindow.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <sys/stat.h>

// Start-up and shutdown of the data file through the real main window.
class TestMainWindowData : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QFile::remove(MainWindow::DataFilePath());
        QFile::remove(MainWindow::DataFilePath() + QStringLiteral(".bad"));
    }

    void unreadableFileStartsFreshAndIsKept()
    {
        QCOMPARE(MainWindow::DataFilePath(), QDir::homePath() + QStringLiteral("/.Veltrane"));
        const QByteArray garbage("not a data file at all");
        {
            QFile file(MainWindow::DataFilePath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(garbage);
        }
        QStringList notices;
        MainWindow::SetLoadFailureNotice([&notices](QWidget*, const QString& i_path) { notices << i_path; });
        {
            MainWindow window;
            window.Init();
            QCOMPARE(notices, QStringList({MainWindow::DataFilePath()}));
            QVERIFY(d);
            SetSetting("username", "bob");
        }
        QVERIFY(!d);
        QFile bad(MainWindow::DataFilePath() + QStringLiteral(".bad"));
        QVERIFY(bad.open(QIODevice::ReadOnly));
        QCOMPARE(bad.readAll(), garbage);

        // Saved at shutdown, owner-only, and loaded at the next start.
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(MainWindow::DataFilePath()).constData(), &info), 0);
        QCOMPARE(int(info.st_mode & 0777), 0600);
        {
            MainWindow window;
            window.Init();
            QCOMPARE(notices.size(), 1);
            QCOMPARE(GetSetting("username"), QStringLiteral("bob"));
        }
    }
};

QTEST_MAIN(TestMainWindowData)
#include "test_main_window_data.moc"
