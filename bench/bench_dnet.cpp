// How fast a parent with ten children passes searches down, over real loopback sockets, against
// a plain relay that copies the same bytes to ten sockets without looking at them.
#include "DNetManager.h"
#include "Data.h"
#include "PeerConnection.h"
#include "Server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace
{
constexpr int kChildren = 10;
constexpr int kSearches = 200000;

QByteArray SearchFrame(quint32 i_token)
{
    QByteArray payload(1, char(DM_SEARCH));
    const auto u32 = [&payload](quint32 i_value) {
        char raw[4];
        qToLittleEndian(i_value, reinterpret_cast<uchar*>(raw));
        payload.append(raw, 4);
    };
    u32(49);
    u32(5);
    payload.append("alice");
    u32(i_token);
    u32(17);
    payload.append("some search text!");
    QByteArray frame(4, '\0');
    qToLittleEndian(quint32(payload.size()), reinterpret_cast<uchar*>(frame.data()));
    return frame + payload;
}

// A connected pair on loopback: the first end is ours to write, the second is accepted.
bool Pair(QTcpServer& io_listener, std::unique_ptr<QTcpSocket>& o_near, QTcpSocket*& o_far)
{
    o_near = std::make_unique<QTcpSocket>();
    o_near->connectToHost(QHostAddress::LocalHost, io_listener.serverPort());
    if (!o_near->waitForConnected(5000) || !io_listener.waitForNewConnection(5000))
        return false;
    o_far = io_listener.nextPendingConnection();
    o_far->setParent(nullptr);
    return true;
}

// Writes the burst in pieces, each once every reader has the one before (as a parent's socket
// would pace it), and returns the searches per second.
double Feed(QTcpSocket& io_source, const QByteArray& i_wire, std::vector<std::unique_ptr<QTcpSocket>>& io_readers)
{
    constexpr int kPiece = 4000;
    const int frame = SearchFrame(0).size();
    std::vector<qint64> got(io_readers.size(), 0);
    QElapsedTimer timer;
    timer.start();
    for (int sent = 0; sent < kSearches; sent += kPiece)
    {
        const int count = std::min(kPiece, kSearches - sent);
        io_source.write(i_wire.constData() + qint64(sent) * frame, qint64(count) * frame);
        const qint64 want = qint64(sent + count) * frame;
        while (true)
        {
            bool done = true;
            for (size_t index = 0; index < io_readers.size(); ++index)
            {
                got[index] += io_readers[index]->readAll().size();
                done = done && got[index] >= want;
            }
            if (done)
                break;
            if (timer.elapsed() > 60000)
                return 0;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
    }
    return kSearches / (double(timer.nsecsElapsed()) / 1e9);
}

QByteArray Burst()
{
    QByteArray wire;
    for (int index = 0; index < kSearches; ++index)
        wire += SearchFrame(quint32(index));
    return wire;
}

double Relayed(const QByteArray& i_wire)
{
    QTcpServer listener;
    listener.listen(QHostAddress::LocalHost, 0);
    std::unique_ptr<QTcpSocket> source;
    QTcpSocket* relay = nullptr;
    Pair(listener, source, relay);
    std::unique_ptr<QTcpSocket> relayOwner(relay);
    std::vector<std::unique_ptr<QTcpSocket>> readers;
    std::vector<std::unique_ptr<QTcpSocket>> outs;
    for (int index = 0; index < kChildren; ++index)
    {
        std::unique_ptr<QTcpSocket> out;
        QTcpSocket* reader = nullptr;
        Pair(listener, out, reader);
        readers.emplace_back(reader);
        outs.push_back(std::move(out));
    }
    QObject::connect(relay, &QTcpSocket::readyRead, [&] {
        const QByteArray bytes = relay->readAll();
        for (auto& out : outs)
            out->write(bytes);
    });
    return Feed(*source, i_wire, readers);
}

double Forwarded(const QByteArray& i_wire)
{
    QTcpServer listener;
    listener.listen(QHostAddress::LocalHost, 0);
    DNetManager manager;
    manager.SetSearchRateLimit(1 << 30);

    // The parent: a raw socket whose far end the manager adopts after its branch level.
    std::unique_ptr<QTcpSocket> parent;
    QTcpSocket* parentFar = nullptr;
    Pair(listener, parent, parentFar);
    ParentCandidate candidate;
    candidate.m_user = QStringLiteral("up");
    manager.OnPossibleParents({candidate});
    auto* parentConnection = new PeerConnection(parentFar, false);
    parentConnection->ExpectFrames();
    manager.OnDistributedConnectionEstablished(QStringLiteral("up"), parentConnection);

    std::vector<std::unique_ptr<QTcpSocket>> readers;
    for (int index = 0; index < kChildren; ++index)
    {
        std::unique_ptr<QTcpSocket> reader;
        QTcpSocket* far = nullptr;
        Pair(listener, reader, far);
        auto* connection = new PeerConnection(far, false);
        connection->ExpectFrames();
        manager.OnDistributedConnectionReceived(QStringLiteral("child%1").arg(index), connection);
        readers.push_back(std::move(reader));
    }
    QByteArray level(4, '\0');
    qToLittleEndian(quint32(5), reinterpret_cast<uchar*>(level.data()));
    level += char(DM_BRANCH_LEVEL);
    level += QByteArray(4, '\0');
    parent->write(level);
    while (!manager.HasParent())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::processEvents();
    for (auto& reader : readers)
    {
        reader->waitForReadyRead(100);
        reader->readAll(); // the branch level and root each child got
    }

    return Feed(*parent, i_wire, readers);
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    d = new Data;
    DeclareSettingTypes(d);
    SetSettingNumber(QStringLiteral("upload_speed"), 1000000);
    const QByteArray wire = Burst();
    double baseline = 0;
    double forwarded = 0;
    for (int run = 0; run < 3; ++run)
    {
        baseline = std::max(baseline, Relayed(wire));
        forwarded = std::max(forwarded, Forwarded(wire));
    }
    std::printf("dnet_forward_10_children: %.0f searches/s\n", forwarded);
    std::printf("plain_relay_10_sockets: %.0f searches/s\n", baseline);
    std::printf("dnet_forward_vs_plain_relay: %.2f ratio\n", baseline > 0 ? forwarded / baseline : 0.0);
    delete d;
    d = nullptr;
    return forwarded >= 20000 ? 0 : 1;
}
