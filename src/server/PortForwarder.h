#pragma once

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>

struct UPNPUrls;
struct IGDdatas;

// The UPnP work proper. Lives on the port mapper's thread and never sees the data model: the
// ports come in by value and the results go out as queued signals.
class PortForwarderWorker : public QObject
{
    Q_OBJECT

public:
    explicit PortForwarderWorker(std::atomic<bool>* ip_stopping);
    ~PortForwarderWorker() override;

    // Finds the gateway (at most 2 s) and maps both ports.
    void DiscoverAndMap(quint16 i_port, quint16 i_scrambledPort);
    // Maps the ports again on the gateway found last; nothing when none was found.
    void Renew();

signals:
    void Report(int i_level, QString i_text);
    void DiscoveryFinished(bool i_found);
    void PortMapped(quint16 i_port, bool i_success);

private:
    void FreeGateway();
    void MapPorts();

    std::atomic<bool>* mp_stopping;
    std::unique_ptr<UPNPUrls> mp_urls;
    std::unique_ptr<IGDdatas> mp_data;
    bool m_haveGateway = false;
    QString m_lanAddress;
    quint16 m_port = 0;
    quint16 m_scrambledPort = 0;
};

// The port mapper. Its thread starts at construction; destruction stops and joins it, also while
// a discovery runs (which ends within its 2 s time-out).
class PortForwarder : public QObject
{
    Q_OBJECT

public:
    explicit PortForwarder(QObject* ip_parent = nullptr);
    ~PortForwarder() override;

    // Reads both listening ports from the settings here, on the GUI thread, and queues a discovery
    // and the mappings; returns at once.
    void Init();
    // Queues the renewal of the mappings on the gateway found last.
    void Renew();

    QThread* GetThread() { return &m_thread; }

signals:
    void DiscoveryFinished(bool i_found);
    void PortMapped(quint16 i_port, bool i_success);

private:
    QThread m_thread;
    std::atomic<bool> m_stopping{false};
    PortForwarderWorker* mp_worker;
};
