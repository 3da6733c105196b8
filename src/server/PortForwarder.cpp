#include "PortForwarder.h"

#include "Data.h"
#include "ListeningPorts.h"
#include "Log.h"
#include "ServerSchema.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

namespace
{
const char* const kUpnpArea = "UPnP";
const char* const kMappingDescription = "VeltraneQt";
const char* const kLeaseSeconds = "3600";
const int kDiscoveryMilliseconds = 2000;
} // namespace

PortForwarderWorker::PortForwarderWorker(std::atomic<bool>* ip_stopping)
    : mp_stopping(ip_stopping)
    , mp_urls(new UPNPUrls())
    , mp_data(new IGDdatas())
{
}

PortForwarderWorker::~PortForwarderWorker()
{
    FreeGateway();
}

void PortForwarderWorker::FreeGateway()
{
    if (m_haveGateway)
        FreeUPNPUrls(mp_urls.get());
    *mp_urls = UPNPUrls();
    *mp_data = IGDdatas();
    m_haveGateway = false;
}

void PortForwarderWorker::DiscoverAndMap(quint16 i_port, quint16 i_scrambledPort)
{
    if (*mp_stopping)
        return;
    FreeGateway();
    m_port = i_port;
    m_scrambledPort = i_scrambledPort;
    char lanAddress[64] = {};

    emit Report(1, QStringLiteral("Discovering the Internet gateway"));
    int error = 0;
    UPNPDev* devices = upnpDiscover(kDiscoveryMilliseconds, nullptr, nullptr, 0, 0, 2, &error);
    if (devices)
    {
        const int result = UPNP_GetValidIGD(devices, mp_urls.get(), mp_data.get(), lanAddress, sizeof(lanAddress));
        freeUPNPDevlist(devices);
        // 1 is a connected gateway; 2 and 3 are UPnP devices that are no usable gateway.
        if (result == 1)
            m_haveGateway = true;
        else if (result != 0)
            FreeUPNPUrls(mp_urls.get());
    }

    if (!m_haveGateway)
    {
        *mp_urls = UPNPUrls();
        emit Report(1, QStringLiteral("No UPnP Internet gateway found"));
        emit DiscoveryFinished(false);
        return;
    }
    m_lanAddress = QString::fromLatin1(lanAddress);
    emit Report(1, QStringLiteral("Found an Internet gateway at %1; local address %2")
                       .arg(QString::fromUtf8(mp_urls->controlURL), m_lanAddress));
    emit DiscoveryFinished(true);
    MapPorts();
}

void PortForwarderWorker::Renew()
{
    if (*mp_stopping)
        return;
    if (!m_haveGateway)
    {
        emit Report(1, QStringLiteral("No gateway to renew the port mappings on"));
        return;
    }
    MapPorts();
}

void PortForwarderWorker::MapPorts()
{
    const QByteArray lanAddress = m_lanAddress.toLatin1();
    for (quint16 port : {m_port, m_scrambledPort})
    {
        if (*mp_stopping)
            return;
        if (port == 0)
            continue;
        const QByteArray portText = QByteArray::number(port);
        const int result = UPNP_AddPortMapping(mp_urls->controlURL, mp_data->first.servicetype, portText.constData(),
                                               portText.constData(), lanAddress.constData(), kMappingDescription, "TCP",
                                               nullptr, kLeaseSeconds);
        if (result == UPNPCOMMAND_SUCCESS)
            emit Report(1, QStringLiteral("Mapped TCP port %1 to %2").arg(QString::number(port), m_lanAddress));
        else
            emit Report(
                1, QStringLiteral("Mapping TCP port %1 failed: %2 (%3)")
                       .arg(QString::number(port), QString::fromUtf8(strupnperror(result)), QString::number(result)));
        emit PortMapped(port, result == UPNPCOMMAND_SUCCESS);
    }
}

PortForwarder::PortForwarder(QObject* ip_parent)
    : QObject(ip_parent)
    , mp_worker(new PortForwarderWorker(&m_stopping))
{
    m_thread.setObjectName(QStringLiteral("PortForwarder"));
    mp_worker->moveToThread(&m_thread);
    // Queued: the worker's reports reach the log and the listeners on this object's thread.
    connect(
        mp_worker, &PortForwarderWorker::Report, this,
        [](int i_level, const QString& i_text) { Log(QString::fromLatin1(kUpnpArea), i_level, i_text); },
        Qt::QueuedConnection);
    connect(mp_worker, &PortForwarderWorker::DiscoveryFinished, this, &PortForwarder::DiscoveryFinished,
            Qt::QueuedConnection);
    connect(mp_worker, &PortForwarderWorker::PortMapped, this, &PortForwarder::PortMapped, Qt::QueuedConnection);
    m_thread.start();
}

PortForwarder::~PortForwarder()
{
    m_stopping = true;
    m_thread.quit();
    m_thread.wait();
    delete mp_worker;
}

void PortForwarder::Init()
{
    const quint16 plain = ListeningPorts::Plain(GetSettingNumber(settings::kListeningPort));
    const quint16 scrambled = ListeningPorts::Scrambled(GetSettingNumber(settings::kObfuscatedListeningPort), plain);
    PortForwarderWorker* worker = mp_worker;
    QMetaObject::invokeMethod(
        worker, [worker, plain, scrambled] { worker->DiscoverAndMap(plain, scrambled); }, Qt::QueuedConnection);
}

void PortForwarder::Renew()
{
    PortForwarderWorker* worker = mp_worker;
    QMetaObject::invokeMethod(
        worker, [worker] { worker->Renew(); }, Qt::QueuedConnection);
}
