#include "Data.h"
#include "DataSaver.h"
#include "ExtendedAsciiTranslator.h"
#include "Log.h"
#include "LogStore.h"
#include "TextUtils.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
QStringList ReadLines(const QString& i_path)
{
    QFile file(i_path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
} // namespace

class TestLog : public QObject
{
    Q_OBJECT

private:
    LogStore m_store;
    std::vector<std::pair<QString, QString>> m_lines;
    void Capture()
    {
        SetLogSink([this](const QString& i_area, const QString& i_line) { m_lines.emplace_back(i_area, i_line); });
    }

private slots:
    void init()
    {
        m_lines.clear();
        Capture();
        m_store.Begin();
        d->NewType("room", Primary, false, true);
        RegisterLoggableItemType("user");
    }

    void cleanup()
    {
        SetLogSink(LogSink());
        m_store.End();
    }

    // A flood of connections has taken every descriptor the process may open: what it logs meanwhile
    // still reaches the area's file, line after line, though each descriptor freed is taken again at
    // once. First of all, so that its first row has user-level logging turned on meanwhile in a
    // process that has written no log file yet.
    void lines_reach_their_file_when_no_descriptor_is_left_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<bool>("loggingBefore");
        QTest::newRow("logging turned on meanwhile") << 1 << false;
        QTest::newRow("one line") << 1 << true;
        QTest::newRow("lines one after another") << 3 << true;
    }

    void lines_reach_their_file_when_no_descriptor_is_left()
    {
        QFETCH(int, lines);
        QFETCH(bool, loggingBefore);
        SetSetting(QStringLiteral("user_level_logging"), loggingBefore ? QStringLiteral("yes") : QStringLiteral("no"));
        Log(QStringLiteral("Peer"), 1, QStringLiteral("before"));
        // The undefined-behaviour checker of a sanitized build opens a pipe when it first meets a call
        // on an object of a type; the calls the log makes on its file are met here, while it can.
        QFile warm(QDir::temp().filePath(QStringLiteral("warm")));
        if (warm.open(QIODevice::WriteOnly | QIODevice::Append) && warm.isOpen())
            warm.write(QByteArray());
        warm.close();
        warm.remove();
        rlimit limit{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
        rlimit lowered = limit;
        lowered.rlim_cur = 128;
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &lowered) == 0);
        std::vector<int> taken;
        const auto takeAll = [&taken] {
            for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
                taken.push_back(fd);
        };
        SetSetting(QStringLiteral("user_level_logging"), QStringLiteral("yes"));
        for (int n = 0; n < lines; ++n)
        {
            takeAll();
            Log(QStringLiteral("Peer"), 1, QStringLiteral("out of descriptors %1").arg(n));
        }
        for (int fd : taken)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        const QStringList written = ReadLines(LogFolder() + QStringLiteral("Peer.log"));
        QCOMPARE(written.size(), (loggingBefore ? 1 : 0) + lines);
        QCOMPARE(LogBody(written.last()), QStringLiteral("out of descriptors %1").arg(lines - 1));
    }

    void lineFormat_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("indent");
        QTest::newRow("level 0") << 0 << "";
        QTest::newRow("level 1") << 1 << "";
        QTest::newRow("level 2") << 2 << "   ";
        QTest::newRow("level 3") << 3 << "      ";
    }

    void lineFormat()
    {
        QFETCH(int, level);
        QFETCH(QString, indent);
        const QDateTime when(QDate(2024, 3, 7), QTime(9, 5, 2));
        QCOMPARE(FormatLogLine(when, level, QStringLiteral("text")), "[2024-03-07 09:05:02] " + indent + "text");

        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        Log(QStringLiteral("Shared"), level, QStringLiteral("Shared file list requested by user bob"));
        QCOMPARE(m_lines.size(), size_t(1));
        QCOMPARE(m_lines[0].first, QStringLiteral("Shared"));
        const QString line = m_lines[0].second;
        QCOMPARE(LogBody(line), indent + "Shared file list requested by user bob");
        const QDateTime stamp = QDateTime::fromString(line.mid(1, 19), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        QVERIFY(stamp.isValid());
        QVERIFY(stamp >= before.addSecs(-1) && stamp <= QDateTime::currentDateTime().addSecs(1));
    }

    // Before any sink the newest lines of each area wait, and are handed over once.
    void pendingLinesAreCappedAndKept()
    {
        SetLogSink(LogSink());
        Log(QStringLiteral("quiet"), 1, QStringLiteral("first"));
        for (int n = 0; n < kMaxLogLines + 10; ++n)
            Log(QStringLiteral("busy"), 1, QString::number(n));
        Log(QStringLiteral("quiet"), 1, QStringLiteral("last"));
        Capture();
        QCOMPARE(m_lines.size(), size_t(kMaxLogLines + 2));
        QCOMPARE(LogBody(m_lines.front().second), QStringLiteral("first"));
        QCOMPARE(LogBody(m_lines[1].second), QStringLiteral("10"));
        QCOMPARE(LogBody(m_lines[kMaxLogLines].second), QString::number(kMaxLogLines + 9));
        QCOMPARE(LogBody(m_lines.back().second), QStringLiteral("last"));
        Capture();
        QCOMPARE(m_lines.size(), size_t(kMaxLogLines + 2));

        // No store, no settings, no window: nothing may crash or be lost.
        SetLogSink(LogSink());
        m_lines.clear();
        m_store.Drop();
        Log(QStringLiteral("server"), 1, QStringLiteral("first"));
        auto data = std::make_unique<Data>();
        d = data.get();
        Log(QStringLiteral("Configuration Data"), 2, QStringLiteral("second"), ItemPtr());
        d->NewType("user", Primary, false, true);
        Log(QStringLiteral("server"), 1, QStringLiteral("third"), d->GetType("user")->GetItem(Value("bob")));
        QVERIFY(m_lines.empty());
        Capture();
        QCOMPARE(m_lines.size(), size_t(3));
        QCOMPARE(m_lines[0].first, QStringLiteral("server"));
        QCOMPARE(LogBody(m_lines[0].second), QStringLiteral("first"));
        QCOMPARE(LogBody(m_lines[1].second), QStringLiteral("   second"));
        QCOMPARE(LogBody(m_lines[2].second), QStringLiteral("third"));
        data.reset();
        d = nullptr;
    }

    void itemRecordsAndFilesOnlyWithUserLevelLogging()
    {
        ItemPtr bob = d->GetType("user")->GetItem(Value("bob"));
        ItemPtr room = d->GetType("room")->GetItem(Value("lobby"));
        const QString file = LogFolder() + QStringLiteral("Transfer Queue.log");
        QSignalSpy recorded(LogNotifier::Instance(), &LogNotifier::ItemLineRecorded);

        Log(QStringLiteral("Transfer Queue"), 1, QStringLiteral("off"), bob);
        QVERIFY(GetItemLogLines(bob).isEmpty());
        QVERIFY(!QFile::exists(file));

        SetSetting(QStringLiteral("user_level_logging"), QStringLiteral("Yes")); // only exactly "yes"
        Log(QStringLiteral("Transfer Queue"), 1, QStringLiteral("capital"), bob);
        QVERIFY(GetItemLogLines(bob).isEmpty());
        QVERIFY(!QFile::exists(file));

        SetSetting(QStringLiteral("user_level_logging"), QStringLiteral("yes"));
        Log(QStringLiteral("Transfer Queue"), 2, QStringLiteral("queued"), bob);
        Log(QStringLiteral("Transfer Queue"), 1, QStringLiteral("no item"));
        Log(QStringLiteral("Transfer Queue"), 1, QStringLiteral("unregistered type"), room);
        QCOMPARE(GetItemLogLines(bob).size(), 1);
        QCOMPARE(LogBody(GetItemLogLines(bob).at(0)), QStringLiteral("   queued"));
        QVERIFY(GetItemLogLines(room).isEmpty());
        QCOMPARE(recorded.count(), 1);
        QCOMPARE(recorded.at(0).at(0).value<quint64>(), bob.GetSerial());

        const QStringList written = ReadLines(file);
        QCOMPARE(written.size(), 3);
        QCOMPARE(LogBody(written.at(0)), QStringLiteral("   queued"));
        QCOMPARE(LogBody(written.at(2)), QStringLiteral("unregistered type"));

        SetSetting(QStringLiteral("user_level_logging"), QStringLiteral("no"));
        Log(QStringLiteral("Transfer Queue"), 1, QStringLiteral("off again"), bob);
        QCOMPARE(ReadLines(file).size(), 3);
        QCOMPARE(GetItemLogLines(bob).size(), 1);
        // Every line reached the window, whatever the setting.
        QCOMPARE(m_lines.size(), size_t(6));

        // An item keeps its newest lines only, and they go with it.
        SetSetting(QStringLiteral("user_level_logging"), QStringLiteral("yes"));
        for (int n = 0; n < kMaxLogLines + 5; ++n)
            Log(QStringLiteral("Timer Test"), 1, QString::number(n), bob);
        const QStringList lines = GetItemLogLines(bob);
        QCOMPARE(lines.size(), kMaxLogLines);
        QCOMPARE(LogBody(lines.first()), QStringLiteral("5"));
        bob.Remove();
        QVERIFY(GetItemLogLines(bob).isEmpty());
    }

    void areaNamesAreSafeFileNames_data()
    {
        QTest::addColumn<QString>("area");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("plain") << "MP3 Scanning"
                               << "MP3 Scanning";
        QTest::newRow("traversal") << "../../etc/x"
                                   << "_.._.._etc_x";
        QTest::newRow("backslashes") << "..\\..\\x"
                                     << "_.._.._x";
        QTest::newRow("empty") << ""
                               << "_";
        QTest::newRow("colon") << "a:b*c"
                               << "a_b_c";
    }

    void areaNamesAreSafeFileNames()
    {
        QFETCH(QString, area);
        QFETCH(QString, fileName);
        QCOMPARE(LogFileNameForArea(area), fileName);

        SetSetting(QStringLiteral("user_level_logging"), QStringLiteral("yes"));
        Log(area, 1, QStringLiteral("x"));
        QVERIFY(QFile::exists(LogFolder() + fileName + QStringLiteral(".log")));
        QCOMPARE(QDir(LogFolder()).entryList(QDir::Files).size(), 1);
    }

    void logFromAnotherThread()
    {
        std::unique_ptr<QThread> thread(
            QThread::create([]() { Log(QStringLiteral("Transfer Queue"), 1, QStringLiteral("from a worker")); }));
        thread->start();
        QVERIFY(thread->wait(5000));
        QTRY_COMPARE(m_lines.size(), size_t(1));
        QCOMPARE(LogBody(m_lines[0].second), QStringLiteral("from a worker"));
    }

    void codePageFollowsSetting()
    {
        ExtendedAsciiTranslator translator;
        const std::string bytes("\xc1\xc2\xd7"); // not UTF-8
        QVERIFY(ExtendedAsciiTranslator::AvailableCodePages().contains(QStringLiteral("KOI8-R")));
        translator.SetCodePage("KOI8-R");
        QCOMPARE(GetSetting(QStringLiteral("extended_ascii_codepage")), QStringLiteral("KOI8-R"));
        QCOMPARE(ToQString(bytes), QStringLiteral("\u0430\u0431\u0432"));
        // Valid UTF-8 still wins.
        QCOMPARE(ToQString(std::string("\xc3\xa9")), QString::fromUtf8("\xc3\xa9"));
        // Item values that are not UTF-8 read through the same code page.
        ItemPtr user = d->GetType("user")->GetItem(Value(bytes));
        QCOMPARE(user.AsString(), QStringLiteral("\u0430\u0431\u0432"));

        // Written directly as a setting, as the data file would.
        SetSetting(QStringLiteral("extended_ascii_codepage"), QStringLiteral("ISO-8859-7"));
        QCOMPARE(ToQString(bytes), QStringLiteral("\u0391\u0392\u03a7"));

        translator.SetCodePage("");
        QCOMPARE(ToQString(bytes), QString::fromLatin1(bytes.data(), 3));
        translator.SetCodePage("no-such-code-page");
        QCOMPARE(ToQString(bytes), QString::fromLatin1(bytes.data(), 3));
    }

    void codePageFromDataFile()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral(".Veltrane"));
        DataSaver saver;
        saver.AddSavedType("global");
        saver.AddSavedType("global_value");
        SetSetting(QStringLiteral("extended_ascii_codepage"), QStringLiteral("KOI8-R"));
        QVERIFY(saver.SaveFile(path));
        m_store.Begin();
        ExtendedAsciiTranslator translator;
        QVERIFY(!ExtendedAsciiTranslator::CurrentCodec());
        saver.Load(path);
        QVERIFY(ExtendedAsciiTranslator::CurrentCodec());
        QCOMPARE(ToQString(std::string("\xc1")), QStringLiteral("\u0430"));
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "test_log.moc"
