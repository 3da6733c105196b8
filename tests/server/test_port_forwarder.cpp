// UPnP port mapping against a real gateway: miniupnpd in network namespaces made by the test.

#include "PortForwarder.h"
#include "ServerFixture.h"
#include "UpnpGateway.h"

#include <QElapsedTimer>
#include <QThread>

namespace
{
// Fails the test when a store event happens anywhere but on the GUI thread.
struct ThreadWatch : DataHandler
{
    QThread* gui = QThread::currentThread();
    int wrongThread = 0;
    void On(ItemPtr) { wrongThread += QThread::currentThread() != gui ? 1 : 0; }
    void OnLink(ConnectionInfo&) { wrongThread += QThread::currentThread() != gui ? 1 : 0; }
};
} // namespace

class TestPortForwarder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString reason = UpnpGateway::Unavailable();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        QString error;
        m_gateway.reset(new UpnpGateway);
        if (!m_gateway->Start(&error))
            QFAIL(qPrintable(error));
        QVERIFY(m_gateway->EnterClientNamespace());
    }

    void cleanupTestCase() { m_gateway.reset(); }

    void mapsBothPortsAndRenewsOnlyWhileSwitchedOn()
    {
        ServerFixture f;
        ThreadWatch watch;
        for (Type* type : d->GetTypes())
        {
            type->m_itemCreated.insert(new EventHandler<ThreadWatch, ItemPtr>(&watch, &ThreadWatch::On));
            type->m_itemConnected.insert(new EventHandler<ThreadWatch, ConnectionInfo&>(&watch, &ThreadWatch::OnLink));
        }
        SetSettingNumber(QStringLiteral("listening_port"), 40000);
        SetSettingNumber(QStringLiteral("obfuscated_listening_port"), 40001);
        f.saver->NotifyFirstStart();
        QCOMPARE(GetSetting(QStringLiteral("use_upnp")), QStringLiteral("yes"));

        PortForwarder* forwarder = f.server->GetPortForwarder();
        QSignalSpy found(forwarder, &PortForwarder::DiscoveryFinished);
        QSignalSpy mapped(forwarder, &PortForwarder::PortMapped);
        QElapsedTimer timer;
        timer.start();
        forwarder->Init();
        QVERIFY(timer.elapsed() < 100);
        QTRY_COMPARE_WITH_TIMEOUT(mapped.count(), 2, 10000);
        QCOMPARE(found.count(), 1);
        QCOMPARE(found.at(0).at(0).toBool(), true);
        QCOMPARE(mapped.at(0), (QList<QVariant>{quint16(40000), true}));
        QCOMPARE(mapped.at(1), (QList<QVariant>{quint16(40001), true}));
        QVERIFY(m_gateway->HasMapping(40000));
        QVERIFY(m_gateway->HasMapping(40001));

        // Switched off, the hourly tick queues nothing: the worker takes jobs in order, so a renewal
        // would show up before the answers of the next discovery. That discovery comes from checking
        // the box again and reads the ports anew.
        m_gateway->ClearMappings();
        SetSetting(QStringLiteral("use_upnp"), QStringLiteral("no"));
        f.server->EveryHour();
        SetSettingNumber(QStringLiteral("listening_port"), 40010);
        SetSettingNumber(QStringLiteral("obfuscated_listening_port"), 40011);
        mapped.clear();
        forwarder->Init();
        QTRY_COMPARE_WITH_TIMEOUT(found.count(), 2, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(mapped.count(), 2, 10000);
        QCOMPARE(mapped.at(0).at(0).value<quint16>(), quint16(40010));
        QVERIFY(m_gateway->HasMapping(40011));
        QVERIFY(!m_gateway->HasMapping(40000));

        // Switched on, the tick maps the ports again on the gateway already found.
        m_gateway->ClearMappings();
        SetSetting(QStringLiteral("use_upnp"), QStringLiteral("yes"));
        mapped.clear();
        f.server->EveryHour();
        QTRY_COMPARE_WITH_TIMEOUT(mapped.count(), 2, 10000);
        QCOMPARE(found.count(), 2);
        QVERIFY(m_gateway->HasMapping(40010));
        QVERIFY(m_gateway->HasMapping(40011));
        QCOMPARE(watch.wrongThread, 0);
    }

    void destroyingTheServerDuringADiscoveryJoinsTheThread()
    {
        ServerFixture f;
        PortForwarder* forwarder = f.server->GetPortForwarder();
        QThread* thread = forwarder->GetThread();
        QVERIFY(thread->isRunning());
        forwarder->Init();
        QTest::qWait(50);
        QElapsedTimer timer;
        timer.start();
        f.server.reset();
        // The discovery waits at most 2 s; the thread is joined, not left behind.
        QVERIFY(timer.elapsed() < 5000);
    }

private:
    std::unique_ptr<UpnpGateway> m_gateway;
};

QTEST_GUILESS_MAIN(TestPortForwarder)
#include "test_port_forwarder.moc"
