#include "PeerConnection.h"

#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>

namespace
{
qint64 g_partialFrameBudget = PeerConnection::DefaultPartialFrameBudget;
qint64 g_partialFrameBytes = 0;

void AppendUInt32(QByteArray& io_bytes, quint32 i_value)
{
    char raw[4];
    qToLittleEndian<quint32>(i_value, reinterpret_cast<uchar*>(raw));
    io_bytes.append(raw, 4);
}
} // namespace

PeerConnection::PeerConnection(QTcpSocket* ip_socket, bool i_scrambled, QObject* ip_parent)
    : QObject(ip_parent)
    , m_socket(ip_socket)
    , m_codec(FrameCodec::Create(i_scrambled))
    , m_state(State::AwaitingOpener)
    , m_incoming(true)
    , m_address(ip_socket->peerAddress())
{
    m_created.start();
    m_lastActivity.start();
    m_socket->setParent(nullptr);
    Attach();
    if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            this, [this] { OnReadyRead(); }, Qt::QueuedConnection);
}

PeerConnection::PeerConnection(const QHostAddress& i_address, quint16 i_port, bool i_scrambled, QObject* ip_parent)
    : QObject(ip_parent)
    , m_socket(new QTcpSocket)
    , m_codec(FrameCodec::Create(i_scrambled))
    , m_state(State::Connecting)
    , m_incoming(false)
    , m_address(i_address)
{
    m_created.start();
    m_lastActivity.start();
    Attach();
    m_socket->connectToHost(i_address, i_port);
}

PeerConnection::~PeerConnection()
{
    Close();
}

void PeerConnection::SetPartialFrameBudget(qint64 i_bytes)
{
    g_partialFrameBudget = i_bytes;
}

qint64 PeerConnection::PartialFrameBytes()
{
    return g_partialFrameBytes;
}

void PeerConnection::ExpectFrames(std::vector<quint32> i_largeCodes)
{
    m_largeCodes = std::move(i_largeCodes);
    Expect(State::Open);
}

quint32 PeerConnection::FrameLimit() const
{
    if (m_state == State::AwaitingOpener)
        return MaxOpenerLength;
    quint32 length = 0;
    bool hasLead = false;
    quint32 lead = 0;
    if (!m_codec->Peek(*m_socket, length, hasLead, lead) || length <= MaxSmallFrameLength || !hasLead)
        return FrameCodec::MaxFrameLength; // a frame longer than small always waits for its code
    return std::find(m_largeCodes.begin(), m_largeCodes.end(), lead) != m_largeCodes.end() ? FrameCodec::MaxFrameLength
                                                                                           : MaxSmallFrameLength;
}

bool PeerConnection::Hold(qint64 i_bytes)
{
    const bool grows = i_bytes > m_held;
    g_partialFrameBytes += i_bytes - m_held;
    m_held = i_bytes;
    return !grows || g_partialFrameBytes <= g_partialFrameBudget;
}

void PeerConnection::Attach()
{
    connect(m_socket, &QTcpSocket::connected, this, &PeerConnection::OnConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &PeerConnection::OnReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &PeerConnection::OnDisconnected);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError i_error) {
        if (i_error == QAbstractSocket::RemoteHostClosedError)
            return; // disconnected() follows and drains what is left
        Fail(m_socket ? m_socket->errorString() : QStringLiteral("socket error"));
    });
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

void PeerConnection::OnConnected()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_lastActivity.restart();
    m_state = State::AwaitingOpener;
    emit Connected();
}

void PeerConnection::SendPeerInit(const QString& i_ownUser, const QString& i_type, quint32 i_token)
{
    const QByteArray user = i_ownUser.toUtf8();
    const QByteArray type = i_type.toUtf8();
    QByteArray payload;
    payload.reserve(1 + 4 + user.size() + 4 + type.size() + 4);
    payload.append(char(PeerInit));
    AppendUInt32(payload, quint32(user.size()));
    payload.append(user);
    AppendUInt32(payload, quint32(type.size()));
    payload.append(type);
    AppendUInt32(payload, i_token);
    SendFrame(payload);
}

void PeerConnection::SendPierceFirewall(quint32 i_token)
{
    QByteArray payload;
    payload.append(char(PierceFirewall));
    AppendUInt32(payload, i_token);
    SendFrame(payload);
}

void PeerConnection::SendFrame(const char* ip_payload, int i_size)
{
    if (!m_socket)
        return;
    m_wire.clear();
    m_codec->Encode(ip_payload, i_size, m_wire);
    WriteWire(m_wire);
}

void PeerConnection::WriteWire(const QByteArray& i_wire)
{
    // Only what the peer sends keeps a connection alive; else answers to a peer that never reads
    // would keep it for ever.
    m_socket->write(i_wire);
    m_bytesQueued += i_wire.size();
}

void PeerConnection::Expect(State i_state)
{
    if (m_state == State::Closed || m_state == State::HandedOver)
        return;
    m_state = i_state;
    if (!m_inReadLoop && m_socket && m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            this, [this] { OnReadyRead(); }, Qt::QueuedConnection);
}

void PeerConnection::OnReadyRead()
{
    if (!m_socket || m_inReadLoop)
        return;
    m_inReadLoop = true;
    bool progressed = false;
    while (m_socket)
    {
        if (m_state == State::AwaitingOpener || m_state == State::Open)
        {
            const FrameCodec::Status status = m_codec->Read(*m_socket, m_payload, FrameLimit());
            if (status == FrameCodec::Status::Incomplete)
                break;
            if (status == FrameCodec::Status::Oversized)
            {
                m_inReadLoop = false;
                Fail(QStringLiteral("frame over the size limit"));
                return;
            }
            progressed = true;
            if (m_state == State::Open)
            {
                emit FrameReceived(m_payload);
                if (m_payload.capacity() > int(MaxSmallFrameLength))
                    m_payload = QByteArray(); // a large message's room is not kept for small ones
                continue;
            }
            if (m_payload.isEmpty())
            {
                m_inReadLoop = false;
                Fail(QStringLiteral("empty opener"));
                return;
            }
            // The owner decides what follows the opener while handling it.
            const quint8 code = quint8(m_payload.at(0));
            const QByteArray body = m_payload.mid(1);
            m_state = State::Connecting; // neither frames nor token until the owner says so
            emit OpenerReceived(code, body);
            if (m_state == State::Connecting)
                break;
        }
        else if (m_state == State::AwaitingToken)
        {
            if (m_socket->bytesAvailable() < 4)
                break;
            // Exactly four bytes: the offset and file bytes that follow belong to the new owner.
            char raw[4];
            m_socket->read(raw, 4);
            progressed = true;
            m_state = State::HandedOver;
            emit TokenReceived(qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(raw)));
            break;
        }
        else
        {
            break;
        }
    }
    if (progressed)
        m_lastActivity.restart();
    m_inReadLoop = false;
    // What is left is part of one frame, or all that came after the opener while the owner has
    // not yet said what follows: held against what all connections may hold.
    const bool framed =
        m_state == State::AwaitingOpener || m_state == State::Open || (m_incoming && m_state == State::Connecting);
    if (!Hold(m_socket && framed ? m_socket->bytesAvailable() : 0))
        Fail(QStringLiteral("partly received messages of all peers would pass %1 MB")
                 .arg(g_partialFrameBudget / 1000000));
}

void PeerConnection::OnDisconnected()
{
    if (!m_socket)
        return;
    OnReadyRead();
    if (m_socket && m_state != State::HandedOver)
        Fail(QStringLiteral("the peer closed the connection"));
}

void PeerConnection::Fail(const QString& i_reason)
{
    if (m_state == State::Closed || m_state == State::HandedOver)
        return;
    Close();
    emit Closed(i_reason);
}

QTcpSocket* PeerConnection::TakeSocket()
{
    Hold(0);
    QTcpSocket* socket = m_socket;
    m_socket = nullptr;
    m_state = State::HandedOver;
    if (socket)
    {
        socket->disconnect();
        socket->setParent(nullptr);
    }
    return socket;
}

void PeerConnection::Close()
{
    Hold(0);
    if (m_state != State::HandedOver)
        m_state = State::Closed;
    if (!m_socket)
        return;
    QTcpSocket* socket = m_socket;
    m_socket = nullptr;
    socket->disconnect();
    socket->abort();
    socket->deleteLater();
}

qint64 PeerConnection::BytesToWrite() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

void PeerConnection::NoteAnswer(quint32 i_code)
{
    for (auto& [code, end] : m_answerEnds)
        if (code == i_code)
        {
            end = m_bytesQueued;
            return;
        }
    m_answerEnds.emplace_back(i_code, m_bytesQueued);
}

bool PeerConnection::AnswerWaiting(quint32 i_code) const
{
    const qint64 sent = m_bytesQueued - BytesToWrite();
    for (const auto& [code, end] : m_answerEnds)
        if (code == i_code)
            return sent < end;
    return false;
}
