#include "ListeningPorts.h"

#include <QtTest>

// The settings as a user or an old data file may hold them, and the ports the client uses.
class TestListeningPorts : public QObject
{
    Q_OBJECT

private slots:
    void settings_give_ports_data()
    {
        QTest::addColumn<qint64>("plainSetting");
        QTest::addColumn<qint64>("scrambledSetting");
        QTest::addColumn<int>("plain");
        QTest::addColumn<int>("scrambled");

        QTest::newRow("both set") << qint64(4000) << qint64(5000) << 4000 << 5000;
        QTest::newRow("scrambled unset") << qint64(4000) << qint64(0) << 4000 << 4001;
        QTest::newRow("neither set") << qint64(0) << qint64(0) << 2235 << 2236;
        QTest::newRow("negative") << qint64(-1) << qint64(-2) << 2235 << 2236;
        QTest::newRow("past the last port") << qint64(65536) << qint64(65536) << 2235 << 2236;
        QTest::newRow("wraps to a port as 32 bits") << qint64(0x100000000LL + 80) << qint64(0) << 2235 << 2236;
        QTest::newRow("the last port") << qint64(65535) << qint64(0) << 65535 << 0;
        QTest::newRow("the last port for both") << qint64(65535) << qint64(65535) << 65535 << 65535;
    }

    void settings_give_ports()
    {
        QFETCH(qint64, plainSetting);
        QFETCH(qint64, scrambledSetting);
        QFETCH(int, plain);
        QFETCH(int, scrambled);
        const quint16 port = ListeningPorts::Plain(plainSetting);
        QCOMPARE(int(port), plain);
        QCOMPARE(int(ListeningPorts::Scrambled(scrambledSetting, port)), scrambled);
    }
};

QTEST_GUILESS_MAIN(TestListeningPorts)
#include "test_listening_ports.moc"
