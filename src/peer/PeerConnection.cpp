#include "PeerConnection.h"

#include "SendHold.h"

#include <QHash>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <limits>

#ifdef Q_OS_UNIX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace
{
qint64 g_partialFrameBudget = PeerConnection::DefaultPartialFrameBudget;
qint64 g_partialFrameBytes = 0;
// Connections holding part of a frame, in the order their frames began: the first has held longest.
std::vector<PeerConnection*> g_holders;
QHash<QHostAddress, qint64> g_heldByAddress;
qint64 g_clockSkewMs = 0;
// Every connection, for what waits to be sent on all of them.
std::vector<PeerConnection*> g_connections;
std::atomic<qint64> g_fileConnectionBytes{0};
int g_systemUnsentBytes = PeerConnection::SystemUnsentBytes;
// What closed connections freed of bytes they had not sent, since the heap was last given back.
qint64 g_freedUnsentBytes = 0;
bool g_giveBackPending = false;
// The answers of peers that close unread are freed between what was allocated meanwhile, and the
// allocator gives the system back only the top of its heap: the freed pages are given back once a
// burst of closes has freed this much, shortly after, once for the burst.
constexpr qint64 GiveBackAfterFreedBytes = qint64(16) << 20;
constexpr int GiveBackDelayMs = 200;

void GiveBackFreedUnsent(qint64 i_bytes)
{
#ifdef __GLIBC__
    g_freedUnsentBytes += i_bytes;
    if (g_giveBackPending || g_freedUnsentBytes < GiveBackAfterFreedBytes)
        return;
    g_giveBackPending = true;
    // After the sockets' deferred deletion.
    QTimer::singleShot(GiveBackDelayMs, [] {
        g_giveBackPending = false;
        g_freedUnsentBytes = 0;
        malloc_trim(0);
    });
#else
    Q_UNUSED(i_bytes);
#endif
}

// Young waits whose peers may still be filling their buffers, with when each is to be looked at next
// (LookWhenDue); and when the timer that looks at them fires next (-1: none).
std::vector<std::pair<qint64, const PeerConnection*>> g_filling;
qint64 g_judgeDueMs = -1;

qint64 ClockMs()
{
    static const QElapsedTimer s_clock = [] {
        QElapsedTimer clock;
        clock.start();
        return clock;
    }();
    return s_clock.elapsed();
}

// The tests move this clock on to age partial frames; a peer's pace keeps to the plain one.
qint64 PartialFrameClockMs()
{
    return ClockMs() + g_clockSkewMs;
}

QString Megabytes(qint64 i_bytes)
{
    return QString::number(i_bytes / 1000000);
}

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
    g_connections.push_back(this);
    m_created.start();
    m_lastActivity.start();
    m_movedMs = ClockMs();
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
    g_connections.push_back(this);
    m_created.start();
    m_lastActivity.start();
    m_movedMs = ClockMs();
    Attach();
    m_socket->connectToHost(i_address, i_port);
}

PeerConnection::~PeerConnection()
{
    Close();
    g_connections.erase(std::find(g_connections.begin(), g_connections.end(), this));
    g_filling.erase(std::remove_if(g_filling.begin(), g_filling.end(),
                                   [this](const auto& i_wait) { return i_wait.second == this; }),
                    g_filling.end());
}

qint64 PeerConnection::WaitingBytesOfAll(qint64 i_askAbove)
{
    const auto sum = [](qint64 i_connectionAskAbove) {
        qint64 bytes = g_fileConnectionBytes;
        for (const PeerConnection* connection : g_connections)
            bytes += connection->WaitingBytes(i_connectionAskAbove);
        return bytes;
    };
    const qint64 atMost = sum(std::numeric_limits<qint64>::max());
    return atMost > i_askAbove ? sum(0) : atMost;
}

PeerConnection* PeerConnection::MostWaiting()
{
    PeerConnection* first = nullptr;
    Rank firstRank;
    for (PeerConnection* connection : g_connections)
    {
        if (connection->WaitingBytes(std::numeric_limits<qint64>::max()) == 0)
            continue;
        const Rank rank = connection->GiveWayRank();
        if (!first || firstRank < rank)
        {
            first = connection;
            firstRank = rank;
        }
    }
    return first;
}

void PeerConnection::CountFileConnectionBytes(qint64 i_delta)
{
    g_fileConnectionBytes += i_delta;
}

void PeerConnection::SetPartialFrameBudget(qint64 i_bytes)
{
    g_partialFrameBudget = i_bytes;
}

qint64 PeerConnection::PartialFrameBytes()
{
    return g_partialFrameBytes;
}

qint64 PeerConnection::PartialFrameShareOfAddress()
{
    // Room for one frame at the cap and a third more: a friend's largest list always fits.
    return g_partialFrameBudget / 8 * 3;
}

void PeerConnection::AdvancePartialFrameClockForTest(qint64 i_ms)
{
    g_clockSkewMs += i_ms;
}

void PeerConnection::DropSlowPartialFrames()
{
    const qint64 now = PartialFrameClockMs();
    // Whether the room is wanted is judged once, before anyone goes.
    QHash<QHostAddress, int> holdersByAddress;
    for (const PeerConnection* holder : g_holders)
        ++holdersByAddress[holder->m_address];
    const qint64 share = PartialFrameShareOfAddress();
    const bool budgetTight = g_partialFrameBudget - g_partialFrameBytes < g_partialFrameBudget / 4;
    std::vector<PeerConnection*> slow;
    for (PeerConnection* holder : g_holders)
    {
        if (now - holder->m_heldSinceMs < PartialFrameGraceMs)
            continue;
        const bool wanted = (budgetTight && g_holders.size() > 1)
                            || (share - g_heldByAddress.value(holder->m_address) < share / 4
                                && holdersByAddress[holder->m_address] > 1);
        // The pace since the last look, not since the start: a burst does not buy a stall.
        if (wanted
            && (holder->m_held - holder->m_markBytes) * 1000 < MinPartialFrameBytesPerSecond * (now - holder->m_markMs))
        {
            slow.push_back(holder);
            continue;
        }
        holder->m_markMs = now;
        holder->m_markBytes = holder->m_held;
    }
    for (PeerConnection* connection : slow)
        if (std::find(g_holders.begin(), g_holders.end(), connection) != g_holders.end())
            connection->GiveWay(QStringLiteral("a partly received message came slower than %1 KiB/s while others "
                                               "wanted its room")
                                    .arg(MinPartialFrameBytesPerSecond / 1024));
}

void PeerConnection::SetSystemUnsentBytes(int i_bytes)
{
    g_systemUnsentBytes = i_bytes;
}

void PeerConnection::LimitSystemSendQueue()
{
#if defined(Q_OS_UNIX) && defined(TCP_NOTSENT_LOWAT)
    // The send buffer itself is left to the system: fixing it would stop its sizing for a reader
    // far away, whose speed it bounds by its size over the round trip.
    if (g_systemUnsentBytes > 0 && m_socket && m_socket->socketDescriptor() >= 0)
        ::setsockopt(int(m_socket->socketDescriptor()), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &g_systemUnsentBytes,
                     sizeof g_systemUnsentBytes);
#endif
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

void PeerConnection::Hold(qint64 i_bytes, bool i_frameBegins)
{
    const bool held = m_held > 0;
    const bool holds = i_bytes > 0;
    if (held && (!holds || i_frameBegins))
        g_holders.erase(std::find(g_holders.begin(), g_holders.end(), this));
    if (holds && (!held || i_frameBegins))
    {
        g_holders.push_back(this);
        m_heldSinceMs = m_markMs = PartialFrameClockMs();
        m_markBytes = 0;
    }
    if (i_bytes == m_held)
        return;
    g_partialFrameBytes += i_bytes - m_held;
    const auto address = g_heldByAddress.insert(m_address, g_heldByAddress.value(m_address) + i_bytes - m_held);
    if (address.value() == 0)
        g_heldByAddress.erase(address);
    m_held = i_bytes;
}

void PeerConnection::MakeRoom()
{
    const auto giveWay = [](PeerConnection* ip_connection, const QString& i_reason) {
        if (ip_connection->m_state == State::Closed || ip_connection->m_state == State::HandedOver)
            ip_connection->Hold(0); // counted no more in any case
        else
            ip_connection->GiveWay(i_reason);
    };
    // The address's own oldest frames go first; then, past the budget, whoever has held longest.
    const QHostAddress address = m_address;
    const qint64 share = PartialFrameShareOfAddress();
    while (g_heldByAddress.value(address) > share)
    {
        const auto oldest = std::find_if(g_holders.begin(), g_holders.end(), [&address](PeerConnection* ip_holder) {
            return ip_holder->m_address == address;
        });
        if (oldest == g_holders.end())
            break;
        giveWay(*oldest, QStringLiteral("partly received messages from %1 would pass its share of %2 MB")
                             .arg(address.toString(), Megabytes(share)));
    }
    while (g_partialFrameBytes > g_partialFrameBudget && !g_holders.empty())
        giveWay(g_holders.front(),
                QStringLiteral("partly received messages of all peers would pass %1 MB; this one waited longest")
                    .arg(Megabytes(g_partialFrameBudget)));
}

void PeerConnection::Attach()
{
    connect(m_socket, &QTcpSocket::connected, this, &PeerConnection::OnConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &PeerConnection::OnReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &PeerConnection::OnDisconnected);
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        m_movedMs = ClockMs();
        AskIfStale(); // what holds it back, seen over time, for when the bound must choose
        emit Written();
    });
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
    if (m_socket->bytesToWrite() == 0 && WaitingBytes(std::numeric_limits<qint64>::max()) > 0)
        AskQueued(m_bytesQueued); // the system may have sent all since it was last asked
    if (WaitingBytes(std::numeric_limits<qint64>::max()) == 0)
        BeginWait();
    // Only what the peer sends keeps a connection alive; else answers to a peer that never reads
    // would keep it for ever.
    if (!m_codec->IsScrambled())
    {
        // The socket keeps a copy of its own: the payload goes to it as it is, not copied into a
        // frame first, so that a large answer is not held twice while it is handed over.
        char header[PlainFrameCodec::kHeaderSize];
        PlainFrameCodec::EncodeHeader(i_size, header);
        m_socket->write(header, sizeof header);
        m_socket->write(ip_payload, i_size);
        Queued(qint64(sizeof header) + i_size);
        return;
    }
    // A wire kept here would hold the last answer for ever.
    QByteArray wire;
    m_codec->Encode(ip_payload, i_size, wire);
    m_socket->write(wire);
    Queued(wire.size());
}

void PeerConnection::Queued(qint64 i_bytes)
{
    if (i_bytes >= LargeFrameBytes)
        m_largeFrames.emplace_back(m_bytesQueued, m_bytesQueued + i_bytes);
    m_bytesQueued += i_bytes;
}

qint64 PeerConnection::KeptOfSent(qint64 i_sent) const
{
    while (!m_largeFrames.empty() && m_largeFrames.front().second <= i_sent)
        m_largeFrames.pop_front();
    return !m_largeFrames.empty() && m_largeFrames.front().first < i_sent ? i_sent - m_largeFrames.front().first : 0;
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
                GiveWay(QStringLiteral("frame over the size limit"));
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
    m_inReadLoop = false;
    // What is left is part of one frame, or all that came after the opener while the owner has
    // not yet said what follows: held against what all connections may hold.
    const bool framed =
        m_state == State::AwaitingOpener || m_state == State::Open || (m_incoming && m_state == State::Connecting);
    const qint64 held = m_held;
    Hold(m_socket && framed ? m_socket->bytesAvailable() : 0, progressed);
    // A large message that is still coming is no idle peer, however slow its link.
    if (progressed || m_held > held)
        m_lastActivity.restart();
    if (m_held > held)
        MakeRoom();
}

void PeerConnection::OnDisconnected()
{
    if (!m_socket)
        return;
    // A connection reset with our answers unread has nothing left to read.
    if (m_socket->isReadable())
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

void PeerConnection::GiveWay(const QString& i_reason)
{
    if (m_state == State::Closed || m_state == State::HandedOver)
        return;
    Reset();
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
    const qint64 unsent = socket->bytesToWrite();
    socket->disconnect();
    socket->abort();
    socket->deleteLater();
    GiveBackFreedUnsent(unsent);
}

void PeerConnection::Reset()
{
#ifdef Q_OS_UNIX
    if (m_socket && m_socket->socketDescriptor() >= 0)
    {
        const linger now{1, 0};
        ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
#endif
    Close();
}

qint64 PeerConnection::BytesToWrite() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

qint64 PeerConnection::WaitingBytes(qint64 i_askAbove) const
{
    if (!m_socket)
        return 0;
    // The socket keeps a large frame's room until all of it has gone, not only what is left of it;
    // what the system holds is the last of what was handed to it, so of that frame too, while it is
    // no more than the frame's sent part.
    const qint64 own = m_socket->bytesToWrite();
    const qint64 handed = m_bytesQueued - own;
    const qint64 keptOfSent = KeptOfSent(handed);
    const qint64 systemAtMost = m_systemQueued + handed - m_handedAtAsk;
    const qint64 atMost = own + std::max(keptOfSent, systemAtMost);
    if (systemAtMost == 0 || atMost <= i_askAbove)
        return atMost;
    if (ClockMs() - m_look.ms >= LookMs)
        Ask();
    else if (handed != m_handedAtAsk)
        AskQueued(handed); // a peer on a fast link reads tens of megabytes between two looks
    else
        return atMost;
    return own + std::max(keptOfSent, m_systemQueued);
}

void PeerConnection::AskIfStale() const
{
    if (!m_socket)
        return;
    // While a young wait's peer may still be filling its buffer, the wait is looked at every few of its
    // round trips, so that what the peer took then is told from what it reads after.
    const qint64 sinceLook = ClockMs() - m_look.ms;
    if (sinceLook >= LookMs || (MayBeFilling() && sinceLook >= JudgedAfter()))
        Ask();
}

void PeerConnection::AskQueued(qint64 i_handed) const
{
    int queued = 0;
#ifdef Q_OS_LINUX
    const int fd = int(m_socket->socketDescriptor());
    if (fd < 0 || ::ioctl(fd, SIOCOUTQ, &queued) != 0)
        queued = 0;
#endif
    m_systemQueued = std::max(queued, 0);
    m_handedAtAsk = i_handed;
}

void PeerConnection::Ask() const
{
    AskQueued(m_bytesQueued - m_socket->bytesToWrite());
    const int fd = int(m_socket->socketDescriptor());
    Look look;
    look.ms = ClockMs();
    look.taken = m_handedAtAsk - m_systemQueued;
    SendHold hold;
    AskSendHold(fd, hold);
    // The system sends the peer bytes as its window opens, also when all that waits is with the system.
    if (hold.sentAgoMs >= 0)
        m_movedMs = std::max(m_movedMs, look.ms - hold.sentAgoMs);
    m_roundTripUs = hold.roundTripUs;
    if (hold.whole)
    {
        m_largestWindowBytes = std::max<qint64>(m_largestWindowBytes, hold.windowBytes);
        m_leastRoundTripUs = hold.leastRoundTripUs;
        look.busyUs = qint64(hold.busyUs);
        look.windowLimitedUs = qint64(hold.windowLimitedUs);
    }
    // Its window shut and nothing taken since the last look, or where the system does not give the
    // window stalled: its buffer is full, and what the peer takes from now on is what it reads.
    const bool full = hold.whole ? qint64(hold.windowBytes) * ShutWindowShare <= m_largestWindowBytes
                                       && m_look.busyUs >= 0 && look.taken == m_look.taken
                                 : StalledMs() >= StalledAfterMs;
    if (full && m_firstShut.first < 0)
        m_firstShut = {look.ms, look.taken};
    if (m_takenMarks.empty() || look.ms - m_takenMarks.back().first >= TakenOverMs / 4)
        m_takenMarks.emplace_back(look.ms, look.taken);
    while (m_takenMarks.size() > 1 && look.ms - m_takenMarks[1].first >= TakenOverMs)
        m_takenMarks.pop_front();
    m_look = look;
    m_looks.push_back(look);
    // Those before the newest one old enough to judge by are needed no more.
    while (m_looks.size() > 2 && look.ms - m_looks[1].ms >= JudgedOver())
        m_looks.pop_front();
}

void PeerConnection::BeginWait()
{
    m_waitMs = m_movedMs = ClockMs(); // a stall counts from when bytes begin to wait
    m_look = Look();
    m_looks.clear();
    m_takenMarks.clear();
    m_firstShut = {-1, 0};
    // The window the peer advertises before any of this wait's bytes go, to judge the rest by.
    if (m_socket->socketDescriptor() < 0)
        return;
    Ask();
    LookAgainLater();
}

bool PeerConnection::MayBeFilling() const
{
    return m_firstShut.first < 0 && ClockMs() - m_waitMs < JudgedOver();
}

void PeerConnection::LookAgainLater() const
{
    const qint64 due = m_look.ms + JudgedAfter();
    const auto found =
        std::find_if(g_filling.begin(), g_filling.end(), [this](const auto& i_wait) { return i_wait.second == this; });
    if (found != g_filling.end())
        found->first = due;
    else
        g_filling.emplace_back(due, this);
    if (g_judgeDueMs < 0 || due < g_judgeDueMs)
    {
        g_judgeDueMs = due;
        QTimer::singleShot(int(std::max<qint64>(due - ClockMs(), 0)), &PeerConnection::LookWhenDue);
    }
}

void PeerConnection::LookWhenDue()
{
    const qint64 now = ClockMs();
    if (g_judgeDueMs <= now)
        g_judgeDueMs = -1; // this timer's, or one before it
    std::vector<const PeerConnection*> due;
    for (auto wait = g_filling.begin(); wait != g_filling.end();)
    {
        if (wait->first > now)
        {
            ++wait;
            continue;
        }
        due.push_back(wait->second);
        wait = g_filling.erase(wait);
    }
    for (const PeerConnection* connection : due)
    {
        connection->AskIfStale();
        if (connection->m_socket && connection->MayBeFilling())
            connection->LookAgainLater();
    }
    const auto next = std::min_element(g_filling.begin(), g_filling.end());
    if (next != g_filling.end() && (g_judgeDueMs < 0 || next->first < g_judgeDueMs))
    {
        g_judgeDueMs = next->first;
        QTimer::singleShot(int(std::max<qint64>(next->first - now, 0)), &PeerConnection::LookWhenDue);
    }
}

qint64 PeerConnection::JudgedAfter() const
{
    return std::max(JudgedAfterMs, JudgedOverRoundTrips * m_roundTripUs / 1000);
}

qint64 PeerConnection::JudgedOver() const
{
    return std::max(HoldWindowMs, JudgedAfter());
}

qint64 PeerConnection::StalledMs() const
{
    return ClockMs() - m_movedMs;
}

PeerConnection::Holder PeerConnection::HeldBy() const
{
    AskIfStale();
    if (m_looks.empty() || m_look.busyUs < 0 || m_look.ms - m_looks.front().ms < JudgedAfter())
        return Holder::Unknown;
    // Over the span judged, or since the wait began when that is more recent.
    const Look* base = &m_looks.front();
    for (const Look& look : m_looks)
        if (m_look.ms - look.ms >= JudgedOver())
            base = &look;
    const qint64 busyUs = m_look.busyUs - base->busyUs;
    if (base->busyUs < 0 || busyUs <= 0)
        return Holder::Unknown;
    // What the peer took a round trip is what its window let through on average, however it looked
    // when it was looked at.
    const qint64 keptOpen = (m_look.taken - base->taken) * m_leastRoundTripUs / ((m_look.ms - base->ms) * 1000);
    return 2 * (m_look.windowLimitedUs - base->windowLimitedUs) >= busyUs
                   && keptOpen * ShutWindowShare <= m_largestWindowBytes
               ? Holder::Window
               : Holder::Network;
}

qint64 PeerConnection::TakenPerSecond() const
{
    AskIfStale();
    if (m_takenMarks.empty())
        return 0;
    std::pair<qint64, qint64> base = m_takenMarks.front();
    for (const auto& mark : m_takenMarks)
        if (m_look.ms - mark.first >= TakenOverMs)
            base = mark;
    if (m_firstShut.first > base.first)
        base = m_firstShut;
    // Over no less than a judged span, so that what a reader took just after its window shut does not
    // count as a rate it keeps.
    return (m_look.taken - base.second) * 1000 / std::max(m_look.ms - base.first, JudgedOver());
}

PeerConnection::Rank PeerConnection::GiveWayRank() const
{
    const qint64 bytes = WaitingBytes(std::numeric_limits<qint64>::max());
    if (bytes == 0)
        return {};
    const Holder holder = HeldBy();
    // Where the system does not give the window, none is judged: those stalled go first.
    if (m_look.busyUs < 0)
    {
        if (StalledMs() >= std::max(StalledAfterMs, JudgedAfter()))
            return {3, -TakenPerSecond() / TakenAlikeBytesPerSecond, bytes};
        return {2, StalledMs(), bytes};
    }
    switch (holder)
    {
    case Holder::Window: return {3, -TakenPerSecond() / TakenAlikeBytesPerSecond, bytes};
    case Holder::Network: return {2, StalledMs(), bytes};
    case Holder::Unknown: break;
    }
    return {1, StalledMs(), bytes};
}

bool PeerConnection::WaitsForUs() const
{
    return m_held > 0 || !m_deferred.empty() || (m_incoming && m_state == State::Connecting);
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

bool PeerConnection::Defer(const QByteArray& i_payload)
{
    const qint64 cost = i_payload.size() + DeferredOverhead;
    if (m_deferredBytes + cost > MaxDeferredBytes)
        return false;
    m_deferredBytes += cost;
    // A copy of the request alone: the payload shares the read buffer, which keeps the room of a
    // frame of up to 1 MiB.
    m_deferred.emplace_back(i_payload.constData(), i_payload.size());
    return true;
}

QByteArray PeerConnection::TakeDeferred()
{
    QByteArray payload = std::move(m_deferred.front());
    m_deferred.pop_front();
    m_deferredBytes -= payload.size() + DeferredOverhead;
    return payload;
}

int PeerConnection::PassDeferredTo(PeerConnection& o_to)
{
    o_to.m_deferred.insert(o_to.m_deferred.begin(), m_deferred.begin(), m_deferred.end());
    o_to.m_deferredBytes += m_deferredBytes;
    m_deferred.clear();
    m_deferredBytes = 0;
    int dropped = 0;
    while (o_to.m_deferredBytes > MaxDeferredBytes)
    {
        o_to.m_deferredBytes -= o_to.m_deferred.back().size() + DeferredOverhead;
        o_to.m_deferred.pop_back();
        ++dropped;
    }
    return dropped;
}
