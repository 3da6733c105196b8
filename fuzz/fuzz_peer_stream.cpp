// The byte stream of an incoming peer connection, opener included, through the peer network's
// own listening ports and a real connection on loopback. The first byte picks the plain or the
// scrambled port; the rest is sent, and the sending end closes.

#include "Data.h"
#include "DataSaver.h"
#include "FuzzTarget.h"
#include "PeerMessages.h"
#include "PeerMessenger.h"
#include "PeerOnlyEngine.h"
#include "RawPeer.h"
#include "TimerManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>

namespace
{
void StartEngine()
{
    if (peerMessenger)
        return;
    StartPeerOnlyEngine();
    SetSetting(QStringLiteral("new_listening_port"), QString::number(FreePortPair()));
    dataSaver->NotifyFirstStart();
    // A file connection handed over goes nowhere else.
    QObject::connect(peerMessenger, &PeerMessenger::FileConnectionRequested,
                     [](QString, QTcpSocket* ip_socket, quint32) { ip_socket->deleteLater(); });
}

QByteArray Wire(bool i_scrambled, const std::vector<QByteArray>& i_payloads)
{
    RawPeer peer(i_scrambled);
    QByteArray wire(1, char(i_scrambled));
    for (const QByteArray& payload : i_payloads)
        wire += peer.Frame(payload);
    return wire;
}
} // namespace

void FuzzSeeds(std::vector<QByteArray>& o_seeds)
{
    for (bool scrambled : {false, true})
    {
        o_seeds.push_back(
            Wire(scrambled, {RawPeer::PeerInit("ann", "P"), PeerMessages::BuildUserInfoRequest().ToByteArray(),
                             PeerMessages::BuildQueueUpload("music\\a.mp3").ToByteArray()}));
        o_seeds.push_back(Wire(scrambled, {RawPeer::PeerInit("ann", "F"), QByteArray()}) + RawPeer::UInt32(7));
        o_seeds.push_back(Wire(scrambled, {RawPeer::PierceFirewall(12345)}));
        o_seeds.push_back(Wire(scrambled, {RawPeer::PeerInit("ann", "D"), QByteArray(1, '\4') + RawPeer::UInt32(1)}));
    }
    o_seeds.push_back(QByteArray(1, 0) + RawPeer::UInt32(0xFFFFFFF0u) + QByteArray(16, 'x'));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    if (i_size == 0)
        return 0;
    FuzzEnvironment();
    StartEngine();
    // The seeds' user, as the server would place it; other names wait for an answer that never comes.
    peerMessenger->OnPeerAddress(QStringLiteral("ann"), TCPAddress(0x7f000001u, 0), 0);
    const bool scrambled = ip_data[0] & 1;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost,
                         scrambled ? peerMessenger->ScrambledListeningPort() : peerMessenger->ListeningPort());
    if (!socket.waitForConnected(5000))
        return 0;
    socket.write(reinterpret_cast<const char*>(ip_data + 1), qint64(i_size - 1));
    socket.flush();
    socket.disconnectFromHost();
    // Until the client has read what came and let the connection go; bounded, as a closed port
    // may leave a connection waiting for its opener.
    QElapsedTimer waited;
    waited.start();
    do
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    while ((peerMessenger->ConnectionCount() > 0 || socket.state() != QAbstractSocket::UnconnectedState)
           && waited.elapsed() < 2000);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
