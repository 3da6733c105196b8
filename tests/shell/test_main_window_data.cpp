#include "Data.h"
#include "MainWindow.h"
#include "StartupPrompts.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <sys/stat.h>

// Records the load-failure box; the first-run login is left unanswered.
class NoticePrompts : public StartupPrompts
{
public:
    void AskLogin(QWidget*) override {}
    void Inform(QWidget*, const QString& i_title, const QString&) override { m_notices << i_title; }
    QStringList m_notices;
};

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
        NoticePrompts prompts;
        StartupPrompts::Install(&prompts);
        const QStringList& notices = prompts.m_notices;
        {
            MainWindow window;
            window.Init();
            QCOMPARE(notices, QStringList({QStringLiteral("Error loading configuration data")}));
            QVERIFY(d);
            SetSetting("username", "bob");
            // Nothing listens there: the next start's connection attempt stays on this machine.
            SetSetting("server_host", "127.0.0.1");
            SetSetting("server_port", "1");
            SetSetting("use_upnp", "no");
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
        StartupPrompts::Install(nullptr);
    }
};

QTEST_MAIN(TestMainWindowData)
#include "test_main_window_data.moc"
