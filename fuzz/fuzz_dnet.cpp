// Distributed frames on a real connection on loopback, from a parent candidate (as a child) or
// from a child (as a parent). The first byte picks the side; the rest is sent, and the sending
// end closes. Candidates the client would try come with a closed loopback port.

#include "DNetManager.h"
#include "Data.h"
#include "DataSaver.h"
#include "FuzzTarget.h"
#include "PeerConnection.h"
#include "RawPeer.h"
#include "TimerManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

namespace
{
QTcpServer* g_listener = nullptr;
quint16 g_closedPort = 0;

void StartEngine()
{
    if (dnetManager)
        return;
    d = new Data;
    DeclareSettingTypes(d);
    dataSaver = new DataSaver;
    new TimerManager;
    SetSetting(QStringLiteral("username"), QStringLiteral("me"));
    SetSettingNumber(QStringLiteral("upload_speed"), 1000000);
    new DNetManager;
    dnetManager->SetSearchRateLimit(1 << 30);
    g_listener = new QTcpServer;
    g_listener->listen(QHostAddress::LocalHost);
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    g_closedPort = closed.serverPort();
}

QByteArray Frame(quint8 i_code, const QByteArray& i_body)
{
    return RawPeer::UInt32(quint32(1 + i_body.size())) + QByteArray(1, char(i_code)) + i_body;
}
} // namespace

void FuzzSeeds(std::vector<QByteArray>& o_seeds)
{
    const QByteArray search =
        RawPeer::UInt32(49) + RawPeer::String("ann") + RawPeer::UInt32(7) + RawPeer::String("abba");
    const QByteArray news = Frame(4, RawPeer::UInt32(2)) + Frame(5, RawPeer::String("top")) + Frame(3, search)
                            + Frame(93, QByteArray(1, '\3') + search) + Frame(0, QByteArray());
    o_seeds.push_back(QByteArray(1, 0) + news);
    o_seeds.push_back(QByteArray(1, 1) + Frame(7, RawPeer::UInt32(3)) + Frame(3, search) + Frame(4, QByteArray()));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    if (i_size == 0)
        return 0;
    FuzzEnvironment();
    StartEngine();
    QTcpSocket far;
    far.connectToHost(QHostAddress::LocalHost, g_listener->serverPort());
    if (!far.waitForConnected(5000) || !g_listener->waitForNewConnection(5000))
        return 0;
    auto* connection = new PeerConnection(g_listener->nextPendingConnection(), false);
    connection->ExpectFrames();
    const bool asChild = (ip_data[0] & 1) == 0;
    if (asChild)
    {
        ParentCandidate candidate;
        candidate.m_user = QStringLiteral("up");
        candidate.m_address = TCPAddress(0x7f000001, g_closedPort);
        dnetManager->OnPossibleParents({candidate});
        dnetManager->OnDistributedConnectionEstablished(QStringLiteral("up"), connection);
    }
    else
        dnetManager->OnDistributedConnectionReceived(QStringLiteral("down"), connection);
    far.write(reinterpret_cast<const char*>(ip_data + 1), qint64(i_size - 1));
    far.flush();
    far.disconnectFromHost();
    QElapsedTimer waited;
    waited.start();
    do
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    while (
        (dnetManager->HasParent() || dnetManager->ChildCount() > 0 || far.state() != QAbstractSocket::UnconnectedState)
        && waited.elapsed() < 2000);
    dnetManager->OnResetDistributed();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
