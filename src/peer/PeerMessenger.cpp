#include "PeerMessenger.h"

#include "Compression.h"
#include "ListeningPorts.h"
#include "Log.h"
#include "PeerMessages.h"
#include "PeerSchema.h"
#include "Server.h"
#include "ServerSchema.h"
#include "TextUtils.h"
#include "TimerManager.h"

#include <QMetaMethod>
#include <QPointer>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <tuple>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

PeerMessenger* peerMessenger = nullptr;

namespace
{
const QString LogArea = QStringLiteral("Peer");
// Messages kept for one user while connecting; more than this is a runaway sender.
constexpr qint64 MaxUnsentBytesPerUser = 64 * 1024 * 1024;
// Questions to the server about where a user is that may wait for their answers at once: each
// name a peer claims costs one, and they must not pile up on the server connection.
constexpr int MaxAddressRequests = 128;
constexpr size_t MaxRetiredAttempts = 1024;
// Incoming connections that have not said who they are; past this the oldest goes.
constexpr int MaxConnectionsAwaitingOpener = 256;
// Incoming connections from one address: a household behind one router holds a few users, each
// with a few connections.
constexpr int MaxIncomingPerAddress = 64;
// Peer connections in all, incoming and outgoing, however many descriptors the system gives.
constexpr int MaxIncomingConnections = 4096;
// Descriptors no peer connection may take: the server connection, the data file, the transfers
// with their files and the logs.
constexpr int DescriptorReserve = 256;
// Connections the server asks us to open back to one user: one for messages, one to the
// distributed network and a few for files are all a user needs at once.
constexpr int MaxConnectBacksPerUser = 8;
// A failed accept (no descriptor left) is tried again this much later, not at once.
constexpr int AcceptRetryMs = 1000;
// Connections taken at one read notification; the rest wait for the next turn of the event loop.
constexpr int MaxAcceptsAtOnce = 64;

// Raises the soft limit of open files to the hard one where the system allows; the soft limit
// after that.
int RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? rlim_t(1) << 20 : limit.rlim_max;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted)
    {
        rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > rlim_t(1) << 20 ? 1 << 20 : int(limit.rlim_cur);
}

// Loopback (127/8), private (10/8, 172.16/12, 192.168/16) or link-local (169.254/16): a machine of
// our own network, which the server sees at our own public address.
bool IsLocalAddress(const QHostAddress& i_address)
{
    bool isIPv4 = false;
    const quint32 ip = i_address.toIPv4Address(&isIPv4);
    if (!isIPv4)
        return i_address.isLoopback() || i_address.isUniqueLocalUnicast() || i_address.isLinkLocal();
    return (ip >> 24) == 127 || (ip >> 24) == 10 || (ip >> 20) == 0xac1 || (ip >> 16) == 0xc0a8 || (ip >> 16) == 0xa9fe;
}

bool IsConnectionType(const QString& i_type)
{
    return i_type == QLatin1String("P") || i_type == QLatin1String("F") || i_type == QLatin1String("D");
}

// Messages that make us answer, and so add to what waits for the peer to read.
bool IsRequest(quint32 i_code)
{
    switch (i_code)
    {
    case PM_GET_SHARED_FILE_LIST:
    case PM_USER_INFO_REQUEST:
    case PM_GET_SHARED_FILES_IN_FOLDER:
    case PM_TRANSFER_REQUEST:
    case PM_QUEUE_UPLOAD:
    case PM_UPLOAD_PLACE_IN_LINE_REQUEST: return true;
    default: return false;
    }
}

// The answer a request with no fields of its own gets: the same for every repeat.
quint32 SameAnswerTo(quint32 i_request)
{
    switch (i_request)
    {
    case PM_GET_SHARED_FILE_LIST: return PM_SHARED_FILE_LIST;
    case PM_USER_INFO_REQUEST: return PM_USER_INFO_REPLY;
    default: return 0;
    }
}

quint32 MessageCode(const char* ip_message, qint64 i_length)
{
    return i_length >= 4 ? qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(ip_message)) : 0;
}

// The connection to reset for a descriptor. A silent one goes first: nothing of ours waits for its
// peer and its peer waits for nothing of ours; of those the one quiet longest, what its peer read of
// ours counting as much as what it sent. Then the one the bound on what waits to be sent would close
// first; last one whose peer waits for us, idle longest.
PeerConnection* FirstToGiveWayForDescriptor(const std::vector<PeerConnection*>& i_connections)
{
    using Rank = std::tuple<int, PeerConnection::Rank, qint64>;
    PeerConnection* first = nullptr;
    Rank firstRank;
    for (PeerConnection* connection : i_connections)
    {
        const qint64 bytes = connection->WaitingBytes();
        Rank rank;
        if (bytes > 0)
            rank = Rank(1, connection->GiveWayRank(), 0);
        else if (connection->WaitsForUs())
            rank = Rank(0, {}, connection->IdleMs());
        else
            rank = Rank(2, {}, std::min(connection->IdleMs(), connection->StalledMs()));
        // Of connections alike, the oldest.
        if (!first || rank > firstRank)
        {
            first = connection;
            firstRank = rank;
        }
    }
    return first;
}
} // namespace

PeerMessenger::PeerMessenger(QObject* ip_parent)
    : QObject(ip_parent)
{
    connect(timerManager->halfMinuteTimer(), &QTimer::timeout, this, &PeerMessenger::EveryHalfMinute);
    dataSaver->AddListener(this);
    ConnectToServer();

    for (const char* type :
         {types::kFileSize, types::kMpegVersion, types::kChannelMode, types::kAudioFrequency, types::kBitrateMode,
          types::kBitrate, types::kLengthSeconds, types::kSearchResultsUserAvailable, types::kSearchResultsUserSpeed,
          types::kSearchResultsUploadsInQueue, types::kSearchResultFileFolder, types::kSearchResultFileName})
        d->NewType(type, Tertiary, false, true);
    d->NewType(types::kSearchResults, Secondary, true, false);
    d->NewType(types::kSearchResult, Secondary, true, false);
    DeclareRelations();

    peerMessenger = this;
}

PeerMessenger::~PeerMessenger()
{
    for (PeerConnection* connection : m_connections)
        delete connection;
    m_connections.clear();
    if (peerMessenger == this)
        peerMessenger = nullptr;
}

void PeerMessenger::DeclareRelations()
{
    // `user` and `search_request` belong to the server connection, which may declare them later.
    if (m_relationsDeclared || !d->HasType(types::kUser) || !d->HasType(types::kSearchRequest))
        return;
    m_relationsDeclared = true;
    d->GetType(types::kSearchRequest)
        ->m_itemRemoved.insert(new EventHandler<PeerMessenger, ItemPtr>(this, &PeerMessenger::OnSearchRequestRemoved));
    Type* results = d->GetType(types::kSearchResults);
    Type* result = d->GetType(types::kSearchResult);
    const auto relate = [](Type* ip_type, Type* ip_other, OneOrMany i_thisPerOther, OneOrMany i_otherPerThis,
                           bool i_owns) {
        if (!ip_type->IsRelatedTo(ip_other))
            ip_type->RelateToType(ip_other, i_thisPerOther, i_otherPerThis, i_owns);
    };
    // A reply is kept through its request and its files through the reply.
    relate(d->GetType(types::kSearchRequest), results, One, Many, true);
    relate(results, d->GetType(types::kUser), Many, One, false);
    for (const char* type :
         {types::kSearchResultsUserAvailable, types::kSearchResultsUserSpeed, types::kSearchResultsUploadsInQueue})
        relate(results, d->GetType(type), Many, One, false);
    relate(results, result, One, Many, true);
    for (const char* type : {types::kSearchResultFileFolder, types::kSearchResultFileName, types::kFileSize,
                             types::kBitrate, types::kBitrateMode, types::kLengthSeconds})
        relate(result, d->GetType(type), Many, One, false);
}

void PeerMessenger::DataLoaded()
{
    DeclareRelations();
    const qint64 port = GetSettingNumber(settings::kListeningPort);
    const quint16 plain = ListeningPorts::Plain(port);
    if (plain != port)
        SetSettingNumber(settings::kListeningPort, plain);
    const qint64 scrambledPort = GetSettingNumber(settings::kObfuscatedListeningPort);
    const quint16 scrambled = ListeningPorts::Scrambled(scrambledPort, plain);
    if (scrambled != scrambledPort)
        SetSettingNumber(settings::kObfuscatedListeningPort, scrambled);
    const QString newPort = GetSetting(settings::kNewListeningPort);
    if (!newPort.isEmpty())
    {
        const int value = newPort.toInt();
        if (value > 0 && value < 65535)
        {
            SetSettingNumber(settings::kListeningPort, value);
            SetSettingNumber(settings::kObfuscatedListeningPort, ListeningPorts::ScrambledFor(quint16(value)));
        }
        else
        {
            Log(LogArea, 1, QStringLiteral("Ignoring the unusable new listening port \"%1\"").arg(newPort));
        }
        ClearSetting(settings::kNewListeningPort);
    }
    Listen();
}

void PeerMessenger::Listen()
{
    const int descriptors = RaiseDescriptorLimit();
    m_maxIncoming = std::clamp(descriptors - DescriptorReserve, 16, MaxIncomingConnections);
    Log(LogArea, 2,
        QStringLiteral("Up to %1 open files: at most %2 peer connections, %3 of them outgoing")
            .arg(QString::number(descriptors), QString::number(m_maxIncoming), QString::number(MaxOutgoing())));
    const quint16 ports[2] = {quint16(GetSettingNumber(settings::kListeningPort)),
                              quint16(GetSettingNumber(settings::kObfuscatedListeningPort))};
    std::unique_ptr<QTcpServer>* listeners[2] = {&m_listener, &m_scrambledListener};
    for (int n = 0; n < 2; ++n)
    {
        auto listener = std::make_unique<QTcpServer>();
        if (!listener->listen(QHostAddress::Any, ports[n]))
        {
            Log(LogArea, 1,
                QStringLiteral("Cannot listen on port %1: %2").arg(QString::number(ports[n]), listener->errorString()));
            listeners[n]->reset();
            continue;
        }
        QTcpServer* server = listener.get();
        const bool scrambled = n == 1;
        // Once a port has taken a connection, the toolkit no longer reports an accept that fails
        // for want of descriptors: it tries again on every turn of the event loop. So connections
        // are taken here, and the toolkit only listens.
        server->pauseAccepting();
        const int descriptor = int(server->socketDescriptor());
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
        auto* notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, server);
        connect(notifier, &QSocketNotifier::activated, this,
                [this, notifier, scrambled] { OnNewConnection(notifier, scrambled); });
        Log(LogArea, 1,
            QStringLiteral("Listening on port %1%2")
                .arg(ports[n])
                .arg(scrambled ? QStringLiteral(" (scrambled)") : QString()));
        *listeners[n] = std::move(listener);
    }
}

quint16 PeerMessenger::ListeningPort() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

quint16 PeerMessenger::ScrambledListeningPort() const
{
    return m_scrambledListener ? m_scrambledListener->serverPort() : 0;
}

void PeerMessenger::SetTimeouts(qint64 i_openerMs, qint64 i_idleMs, qint64 i_attemptMs)
{
    m_openerTimeoutMs = i_openerMs;
    m_idleTimeoutMs = i_idleMs;
    m_attemptTimeoutMs = i_attemptMs;
}

void PeerMessenger::SetSearchReplyLimits(int i_repliesPerUser, quint64 i_resultsPerSearch)
{
    m_repliesPerUserAndSearch = i_repliesPerUser;
    m_resultsPerSearch = i_resultsPerSearch;
}

void PeerMessenger::SetSharedFilesMessageProvider(SharedFilesMessageProvider i_provider)
{
    m_sharedFilesProvider = std::move(i_provider);
}

quint32 PeerMessenger::NextToken()
{
    // Drawn anew for each attempt from the system's source: whoever learnt one token (the server
    // relays them to the other side) must not be able to tell any other.
    quint32 token = 0;
    while (token == 0 || m_attempts.count(token) != 0 || m_retiredAttempts.count(token) != 0)
        token = QRandomGenerator::system()->generate();
    return token;
}

// ---- connections ----

PeerConnection* PeerMessenger::Track(PeerConnection* ip_connection, Role i_role)
{
    ip_connection->setParent(this);
    m_connections.push_back(ip_connection);
    m_roles[ip_connection] = i_role;
    connect(ip_connection, &PeerConnection::Closed, this,
            [this, ip_connection](const QString& i_reason) { OnConnectionClosed(ip_connection, i_reason); });
    return ip_connection;
}

void PeerMessenger::Forget(PeerConnection* ip_connection)
{
    m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), ip_connection), m_connections.end());
    m_roles.erase(ip_connection);
    for (QHash<QString, std::vector<PeerConnection*>>* byUser : {&m_messageConnections, &m_unconfirmed})
    {
        auto found = byUser->find(ip_connection->User());
        if (found == byUser->end())
            continue;
        std::vector<PeerConnection*>& list = found.value();
        list.erase(std::remove(list.begin(), list.end(), ip_connection), list.end());
        if (list.empty())
            byUser->erase(found);
    }
    for (auto& [token, attempt] : m_attempts)
        if (attempt.direct == ip_connection)
            attempt.direct = nullptr;
    ip_connection->disconnect(this);
}

void PeerMessenger::OnNewConnection(QSocketNotifier* ip_notifier, bool i_scrambled)
{
    for (int n = 0; n < MaxAcceptsAtOnce; ++n)
    {
        const int listener = int(ip_notifier->socket());
        const int descriptor =
            m_accept ? m_accept(listener) : ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (descriptor < 0)
        {
            const int error = errno;
            // The system hands on a pending connection's own network errors; only that one is lost.
            if (error == EINTR || error == ECONNABORTED || error == EPROTO || error == ENETDOWN || error == ENOPROTOOPT
                || error == EHOSTDOWN || error == ENONET || error == EHOSTUNREACH || error == EOPNOTSUPP
                || error == ENETUNREACH)
                continue;
            if (error != EAGAIN && error != EWOULDBLOCK)
                OnAcceptError(ip_notifier, error);
            return;
        }
        auto* socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(descriptor))
        {
            ::close(descriptor);
            delete socket;
            continue;
        }
        PeerConnection* connection = Track(new PeerConnection(socket, i_scrambled), Role::Incoming);
        connect(connection, &PeerConnection::OpenerReceived, this,
                [this, connection](quint8 i_code, const QByteArray& i_body) { OnOpener(connection, i_code, i_body); });
        LimitIncoming();
    }
}

void PeerMessenger::LimitIncoming()
{
    // Connections are kept in the order they came: the first ones found are the oldest.
    std::vector<PeerConnection*> waiting;
    std::vector<PeerConnection*> incoming;
    QHash<QHostAddress, std::vector<PeerConnection*>> byAddress;
    for (PeerConnection* connection : m_connections)
    {
        const auto role = m_roles.find(connection);
        if (role == m_roles.end() || role->second != Role::Incoming)
            continue;
        incoming.push_back(connection);
        byAddress[connection->PeerAddress()].push_back(connection);
        if (connection->GetState() == PeerConnection::State::AwaitingOpener)
            waiting.push_back(connection);
    }
    std::vector<PeerConnection*> dropped;
    if (waiting.size() > size_t(MaxConnectionsAwaitingOpener))
    {
        const size_t count = waiting.size() - MaxConnectionsAwaitingOpener;
        Log(LogArea, 2, QStringLiteral("Too many connections without an opener; dropping the oldest %1").arg(count));
        dropped.insert(dropped.end(), waiting.begin(), waiting.begin() + std::ptrdiff_t(count));
    }
    for (auto it = byAddress.begin(); it != byAddress.end(); ++it)
        if (it->size() > size_t(MaxIncomingPerAddress))
        {
            const size_t count = it->size() - MaxIncomingPerAddress;
            Log(LogArea, 2,
                QStringLiteral("Too many connections from %1; dropping the %2 idle longest")
                    .arg(it.key().toString(), QString::number(count)));
            DropIdleLongest(*it, count, dropped);
        }
    const auto isDropped = [&dropped](PeerConnection* ip_connection) {
        return std::find(dropped.begin(), dropped.end(), ip_connection) != dropped.end();
    };
    incoming.erase(std::remove_if(incoming.begin(), incoming.end(), isDropped), incoming.end());
    // Outgoing connections hold descriptors of the same budget; a new one of ours takes the place
    // of the incoming one idle longest.
    const size_t room = size_t(m_maxIncoming - OutgoingCount());
    if (incoming.size() > room)
    {
        const size_t count = incoming.size() - room;
        Log(LogArea, 2, QStringLiteral("Too many incoming connections; dropping the %1 idle longest").arg(count));
        DropIdleLongest(incoming, count, dropped);
    }
    for (PeerConnection* connection : dropped)
    {
        Forget(connection);
        connection->Reset();
        connection->deleteLater();
    }
}

void PeerMessenger::DropIdleLongest(std::vector<PeerConnection*> i_connections, size_t i_count,
                                    std::vector<PeerConnection*>& io_dropped) const
{
    // Stable: of connections idle alike, the oldest goes first.
    std::stable_sort(i_connections.begin(), i_connections.end(),
                     [](PeerConnection* i_a, PeerConnection* i_b) { return i_a->IdleMs() > i_b->IdleMs(); });
    for (PeerConnection* connection : i_connections)
    {
        if (i_count == 0)
            break;
        if (std::find(io_dropped.begin(), io_dropped.end(), connection) != io_dropped.end())
            continue;
        io_dropped.push_back(connection);
        --i_count;
    }
}

int PeerMessenger::MaxOutgoing() const
{
    return m_maxIncoming / 2;
}

int PeerMessenger::OutgoingCount(const QString& i_connectBacksOf) const
{
    int count = 0;
    for (const auto& [connection, role] : m_roles)
        if (i_connectBacksOf.isNull() ? role != Role::Incoming
                                      : role == Role::ConnectBack && connection->User() == i_connectBacksOf)
            ++count;
    return count;
}

void PeerMessenger::OnAcceptError(QSocketNotifier* ip_notifier, int i_error)
{
    // Trying again at once would only fail again, so the port listens again a little later. Where
    // the system lacks a descriptor, or memory for a connection, an incoming connection is reset to
    // free one; no peer goes for an error that this does not mend (a listening socket gone bad, a
    // refusal by the system's policy).
    Log(LogArea, 1,
        QStringLiteral("Cannot accept a connection: %1").arg(QString::fromLocal8Bit(std::strerror(i_error))));
    if (i_error == EMFILE || i_error == ENFILE || i_error == ENOBUFS || i_error == ENOMEM)
    {
        std::vector<PeerConnection*> incoming;
        for (PeerConnection* connection : m_connections)
            if (m_roles[connection] == Role::Incoming)
                incoming.push_back(connection);
        if (PeerConnection* connection = FirstToGiveWayForDescriptor(incoming))
        {
            Forget(connection);
            connection->Reset();
            connection->deleteLater();
        }
    }
    ip_notifier->setEnabled(false);
    QTimer::singleShot(AcceptRetryMs, ip_notifier, [ip_notifier] { ip_notifier->setEnabled(true); });
}

void PeerMessenger::OnConnectionClosed(PeerConnection* ip_connection, const QString& i_reason)
{
    const auto roleFound = m_roles.find(ip_connection);
    if (roleFound == m_roles.end())
        return;
    const Role role = roleFound->second;
    Log(LogArea, 2,
        QStringLiteral("Connection %1 %2 closed: %3").arg(ip_connection->Type(), ip_connection->User(), i_reason));

    quint32 failedDirect = 0;
    for (auto& [token, attempt] : m_attempts)
        if (attempt.direct == ip_connection)
            failedDirect = token;
    const bool connectBackFailed = role == Role::ConnectBack && ip_connection->Serial() == 0;
    const QString user = ip_connection->User();
    const quint32 relayToken = ip_connection->Token();

    Forget(ip_connection);
    ip_connection->deleteLater();

    if (failedDirect != 0)
    {
        m_attempts[failedDirect].directFailed = true;
        CheckAttempt(failedDirect);
    }
    if (connectBackFailed)
        ServerCantConnectToPeer(relayToken, user);
}

void PeerMessenger::OnOpener(PeerConnection* ip_connection, quint8 i_code, const QByteArray& i_body)
{
    MemStream body(i_body);
    InputStream in(body);
    if (i_code == PeerConnection::PeerInit)
    {
        QString user, type;
        quint32 token = 0;
        if (!in.Read(user) || !in.Read(type) || !in.Read(token) || user.isEmpty() || !IsConnectionType(type))
        {
            Log(LogArea, 1, QStringLiteral("Dropping a connection with a malformed opener"));
            Drop(ip_connection);
            return;
        }
        ip_connection->SetUser(user);
        ip_connection->SetType(type);
        CheckIdentity(ip_connection);
        return;
    }
    if (i_code == PeerConnection::PierceFirewall)
    {
        quint32 token = 0;
        const bool read = in.Read(token);
        const auto attempt = m_attempts.find(token);
        const auto retired = m_retiredAttempts.find(token);
        if (read && (attempt != m_attempts.end() || retired != m_retiredAttempts.end()))
        {
            // The token names the user the attempt was for; the connection still has to come from there.
            ip_connection->SetUser(attempt != m_attempts.end() ? attempt->second.user : retired->second.user);
            ip_connection->SetType(attempt != m_attempts.end() ? attempt->second.type : QStringLiteral("P"));
            ip_connection->SetToken(token);
            CheckIdentity(ip_connection);
            return;
        }
        Log(LogArea, 2, QStringLiteral("Dropping a connect-back with an unknown token %1").arg(token));
    }
    else
    {
        Log(LogArea, 1, QStringLiteral("Dropping a connection with the unknown opener code %1").arg(i_code));
    }
    Drop(ip_connection);
}

void PeerMessenger::Drop(PeerConnection* ip_connection)
{
    Forget(ip_connection);
    ip_connection->Close();
    ip_connection->deleteLater();
}

void PeerMessenger::CheckIdentity(PeerConnection* ip_connection)
{
    const QString user = ip_connection->User();
    const auto known = m_addresses.constFind(user);
    if (known != m_addresses.constEnd() && known->age.elapsed() < m_addressKeepMs)
    {
        Judge(ip_connection, known->address);
        return;
    }
    // Nothing is read from it meanwhile; the half-minute tick ends a wait the server never answers.
    m_unconfirmed[user].push_back(ip_connection);
    AskAddress(user);
}

bool PeerMessenger::ComesFrom(const QHostAddress& i_from, const QHostAddress& i_placed, const QHostAddress& i_ownPublic)
{
    if (i_from.isNull() || i_placed.isNull())
        return false;
    if (i_placed.isEqual(i_from, QHostAddress::ConvertV4MappedToIPv4))
        return true;
    // Two clients behind one router: the server places both at the router, and one reaches the
    // other from inside the network they share.
    return !i_ownPublic.isNull() && i_ownPublic.isEqual(i_placed, QHostAddress::ConvertV4MappedToIPv4)
           && IsLocalAddress(i_from);
}

void PeerMessenger::Judge(PeerConnection* ip_connection, const QHostAddress& i_placed)
{
    const QString user = ip_connection->User();
    const QHostAddress from = ip_connection->PeerAddress();
    if (i_placed.isNull())
    {
        Log(LogArea, 1,
            QStringLiteral("Closing a connection from %1 that claims to be %2, whom the server says is offline")
                .arg(from.toString(), user));
        Drop(ip_connection);
        return;
    }
    if (!ComesFrom(from, i_placed, ServerPublicAddress()))
    {
        Log(LogArea, 1,
            QStringLiteral("Closing a connection from %1 that claims to be %2, whom the server places at %3")
                .arg(from.toString(), user, i_placed.toString()));
        Drop(ip_connection);
        return;
    }
    const quint32 token = ip_connection->Token();
    if (token == 0)
    {
        Establish(ip_connection, false);
        return;
    }
    const auto attempt = m_attempts.find(token);
    if (attempt != m_attempts.end() && attempt->second.user == user)
    {
        CompleteAttempt(token, ip_connection);
        return;
    }
    const auto retired = m_retiredAttempts.find(token);
    if (retired != m_retiredAttempts.end() && retired->second.user == user)
    {
        m_retiredAttempts.erase(retired);
        ip_connection->SetType(QStringLiteral("P"));
        Establish(ip_connection, true);
        return;
    }
    Log(LogArea, 2, QStringLiteral("Dropping a connect-back of %1 for an attempt that has ended").arg(user));
    Drop(ip_connection);
}

void PeerMessenger::Establish(PeerConnection* ip_connection, bool i_ourRequest)
{
    const QString type = ip_connection->Type();
    if (type == QLatin1String("P"))
        EstablishMessageConnection(ip_connection);
    else if (type == QLatin1String("F"))
    {
        if (i_ourRequest)
            HandOverFileConnection(ip_connection);
        else
        {
            connect(ip_connection, &PeerConnection::TokenReceived, this, [this, ip_connection](quint32 i_token) {
                HandOverRequestedFileConnection(ip_connection, i_token);
            });
            ip_connection->ExpectToken();
        }
    }
    else
        HandOverDistributed(ip_connection, i_ourRequest);
}

void PeerMessenger::EstablishMessageConnection(PeerConnection* ip_connection)
{
    const QString user = ip_connection->User();
    ip_connection->SetSerial(m_nextSerial++);
    m_messageConnections[user].push_back(ip_connection);
    connect(ip_connection, &PeerConnection::FrameReceived, this,
            [this, ip_connection](const QByteArray& i_payload) { OnMessage(ip_connection, i_payload); });
    connect(ip_connection, &PeerConnection::Written, this, [this, ip_connection] { ReadDeferred(ip_connection); });
    ip_connection->LimitSystemSendQueue();
    // Lists and search replies come compressed and may be large, as may a user's picture.
    ip_connection->ExpectFrames(
        {PM_SHARED_FILE_LIST, PM_FILE_SEARCH_RESULT, PM_USER_INFO_REPLY, PM_SHARED_FILES_IN_FOLDER});

    // One connection to this user is enough; a pending attempt of ours would only add a second.
    for (auto it = m_attempts.begin(); it != m_attempts.end();)
    {
        if (it->second.user == user && it->second.type == QLatin1String("P"))
        {
            if (PeerConnection* direct = it->second.direct)
            {
                Forget(direct);
                direct->Close();
                direct->deleteLater();
            }
            RetireAttempt(it->first, it->second);
            it = m_attempts.erase(it);
        }
        else
            ++it;
    }

    auto unsent = m_unsent.find(user);
    if (unsent != m_unsent.end())
    {
        std::vector<QByteArray> messages = std::move(unsent.value());
        m_unsent.erase(unsent);
        m_unsentBytes.remove(user);
        for (const QByteArray& message : messages)
            ip_connection->SendFrame(message);
    }
}

void PeerMessenger::HandOverFileConnection(PeerConnection* ip_connection)
{
    const QString user = ip_connection->User();
    Forget(ip_connection);
    QTcpSocket* socket = ip_connection->TakeSocket();
    ip_connection->deleteLater();
    if (!socket)
        return;
    socket->flush(); // the opener goes out before the new owner writes its first byte
    emit FileConnectionAccepted(user, socket);
}

void PeerMessenger::HandOverRequestedFileConnection(PeerConnection* ip_connection, quint32 i_token)
{
    const QString user = ip_connection->User();
    Forget(ip_connection);
    QTcpSocket* socket = ip_connection->TakeSocket();
    ip_connection->deleteLater();
    if (socket)
        emit FileConnectionRequested(user, socket, i_token);
}

void PeerMessenger::HandOverDistributed(PeerConnection* ip_connection, bool i_ourRequest)
{
    const QString user = ip_connection->User();
    Forget(ip_connection);
    const bool wanted =
        i_ourRequest ? isSignalConnected(QMetaMethod::fromSignal(&PeerMessenger::DistributedConnectionEstablished))
                     : isSignalConnected(QMetaMethod::fromSignal(&PeerMessenger::DistributedConnectionReceived));
    if (!wanted)
    {
        Log(LogArea, 2, QStringLiteral("No distributed network to take the connection of %1").arg(user));
        ip_connection->Close();
        ip_connection->deleteLater();
        return;
    }
    ip_connection->setParent(nullptr);
    ip_connection->ExpectFrames();
    if (i_ourRequest)
        emit DistributedConnectionEstablished(user, ip_connection);
    else
        emit DistributedConnectionReceived(user, ip_connection);
}

PeerConnection* PeerMessenger::NewestMessageConnection(const QString& i_user) const
{
    auto found = m_messageConnections.constFind(i_user);
    if (found == m_messageConnections.constEnd() || found->empty())
        return nullptr;
    return found->back();
}

// ---- connecting to a user ----

bool PeerMessenger::HasAttempt(const QString& i_user, const QString& i_type) const
{
    for (const auto& [token, attempt] : m_attempts)
        if (attempt.user == i_user && attempt.type == i_type)
            return true;
    return false;
}

quint32 PeerMessenger::StartAttempt(const QString& i_user, const QString& i_type, const QHostAddress& i_address,
                                    quint16 i_port)
{
    const quint32 token = NextToken();
    Attempt& attempt = m_attempts[token];
    attempt.user = i_user;
    attempt.type = i_type;
    attempt.started.start();

    // Both ways at once: the relayed request goes out now, the direct one once the address is known.
    ServerConnectToPeer(token, i_user, i_type);

    if (!i_address.isNull() && i_port != 0)
    {
        StartDirect(token, i_address, i_port, 0);
        return token;
    }
    auto cached = m_addresses.constFind(i_user);
    if (cached != m_addresses.constEnd() && cached->age.elapsed() < m_addressKeepMs)
    {
        if (cached->port == 0)
            attempt.directFailed = true;
        else
            StartDirect(token, cached->address, cached->port, cached->scrambledPort);
        return token;
    }
    attempt.awaitingAddress = true;
    AskAddress(i_user);
    return token;
}

void PeerMessenger::StartDirect(quint32 i_token, const QHostAddress& i_address, quint16 i_port, quint16 i_scrambledPort)
{
    auto found = m_attempts.find(i_token);
    if (found == m_attempts.end())
        return;
    if (OutgoingCount() >= MaxOutgoing())
    {
        // The way through the server needs no descriptor of ours until the user connects.
        Log(LogArea, 1,
            QStringLiteral("Too many outgoing connections; reaching %1 through the server only")
                .arg(found->second.user));
        found->second.awaitingAddress = false;
        found->second.directFailed = true;
        return;
    }
    const bool scrambled = m_preferScrambledPort && i_scrambledPort != 0;
    PeerConnection* connection =
        Track(new PeerConnection(i_address, scrambled ? i_scrambledPort : i_port, scrambled), Role::Direct);
    connection->SetUser(found->second.user);
    connection->SetType(found->second.type);
    connection->SetToken(i_token);
    found->second.direct = connection;
    found->second.awaitingAddress = false;
    connect(connection, &PeerConnection::Connected, this, [this, connection, i_token] {
        connection->SendPeerInit(GetSetting(settings::kUsername), connection->Type(), 0);
        CompleteAttempt(i_token, connection);
    });
    LimitIncoming();
}

void PeerMessenger::CompleteAttempt(quint32 i_token, PeerConnection* ip_connection)
{
    auto found = m_attempts.find(i_token);
    if (found == m_attempts.end())
        return;
    const Attempt attempt = found->second;
    m_attempts.erase(found);
    if (attempt.direct == ip_connection)
        RetireAttempt(i_token, attempt);
    if (attempt.direct && attempt.direct != ip_connection)
    {
        Forget(attempt.direct);
        attempt.direct->Close();
        attempt.direct->deleteLater();
    }
    ip_connection->SetUser(attempt.user);
    ip_connection->SetType(attempt.type);
    Establish(ip_connection, true);
}

void PeerMessenger::RetireAttempt(quint32 i_token, const Attempt& i_attempt)
{
    if (i_attempt.type != QLatin1String("P"))
        return;
    // Bounded: entries go at the half-minute tick, and a flood of attempts pushes out the oldest.
    if (m_retiredAttempts.size() >= MaxRetiredAttempts)
    {
        auto oldest =
            std::min_element(m_retiredAttempts.begin(), m_retiredAttempts.end(), [](const auto& a, const auto& b) {
                return a.second.ended.msecsSinceReference() < b.second.ended.msecsSinceReference();
            });
        m_retiredAttempts.erase(oldest);
    }
    RetiredAttempt& retired = m_retiredAttempts[i_token];
    retired.user = i_attempt.user;
    retired.ended.start();
}

void PeerMessenger::CheckAttempt(quint32 i_token)
{
    auto found = m_attempts.find(i_token);
    if (found == m_attempts.end())
        return;
    const Attempt& attempt = found->second;
    const bool timedOut = attempt.started.elapsed() >= m_attemptTimeoutMs;
    if (timedOut || (attempt.directFailed && attempt.relayRefused))
        FailAttempt(i_token);
}

void PeerMessenger::FailAttempt(quint32 i_token)
{
    auto found = m_attempts.find(i_token);
    if (found == m_attempts.end())
        return;
    const Attempt attempt = found->second;
    m_attempts.erase(found);
    if (attempt.direct)
    {
        Forget(attempt.direct);
        attempt.direct->Close();
        attempt.direct->deleteLater();
    }
    Log(LogArea, 1, QStringLiteral("Cannot connect to %1 (%2)").arg(attempt.user, attempt.type));
    // Taken out first, so that a receiver sending again starts a fresh queue that survives.
    std::vector<QByteArray> dropped;
    if (attempt.type == QLatin1String("P"))
    {
        dropped = m_unsent.take(attempt.user);
        m_unsentBytes.remove(attempt.user);
    }
    emit ConnectionToUserFailed(attempt.user, attempt.type);
}

void PeerMessenger::OnPeerAddress(QString i_user, TCPAddress i_address, quint16 i_scrambledPort)
{
    m_addressRequests.remove(i_user);
    const QHostAddress address = i_address.ToHostAddress();
    const quint16 port = i_address.m_port;
    // An offline answer is not kept: the user may log in the next moment.
    const bool offline = i_address.m_ip == 0;
    if (offline)
        m_addresses.remove(i_user);
    else
    {
        CachedAddress& cached = m_addresses[i_user];
        cached.address = address;
        cached.port = port;
        cached.scrambledPort = i_scrambledPort;
        cached.age.start();
    }

    std::vector<quint32> waiting;
    for (const auto& [token, attempt] : m_attempts)
        if (attempt.user == i_user && attempt.awaitingAddress)
            waiting.push_back(token);
    for (quint32 token : waiting)
    {
        Attempt& attempt = m_attempts[token];
        attempt.awaitingAddress = false;
        if (offline || port == 0)
        {
            attempt.directFailed = true;
            CheckAttempt(token);
        }
        else
            StartDirect(token, address, port, i_scrambledPort);
    }

    const std::vector<PeerConnection*> held = m_unconfirmed.take(i_user);
    for (PeerConnection* connection : held)
        if (m_roles.count(connection) != 0)
            Judge(connection, offline ? QHostAddress() : address);
    AskWaitingAddresses();
}

bool PeerMessenger::AskAddress(const QString& i_user)
{
    if (m_addressRequests.contains(i_user))
        return true;
    if (m_addressRequests.size() >= MaxAddressRequests)
    {
        Log(LogArea, 3, QStringLiteral("Asking where %1 is once fewer questions wait").arg(i_user));
        return false;
    }
    if (ServerGetPeerAddress(i_user))
        m_addressRequests[i_user].start();
    return true;
}

void PeerMessenger::AskWaitingAddresses()
{
    // Our own attempts first: claims of strangers must not keep them waiting.
    std::vector<QString> users;
    for (const auto& [token, attempt] : m_attempts)
        if (attempt.awaitingAddress)
            users.push_back(attempt.user);
    for (auto it = m_unconfirmed.constBegin(); it != m_unconfirmed.constEnd(); ++it)
        users.push_back(it.key());
    for (const QString& user : users)
        if (!AskAddress(user))
            return;
}

void PeerMessenger::OnUserStatus(QString i_user)
{
    m_addresses.remove(i_user);
}

void PeerMessenger::OnConnectToPeerRequested(QString i_user, QString i_type, TCPAddress i_address, quint32 i_token,
                                             bool, quint16 i_scrambledPort)
{
    if (!IsConnectionType(i_type))
    {
        Log(LogArea, 1,
            QStringLiteral("Ignoring a relayed request of unknown type \"%1\" from %2").arg(i_type, i_user));
        return;
    }
    const bool userFull = OutgoingCount(i_user) >= MaxConnectBacksPerUser;
    if (userFull || OutgoingCount() >= MaxOutgoing())
    {
        Log(LogArea, 1,
            QStringLiteral("Not connecting back to %1: %2")
                .arg(i_user, userFull
                                 ? QStringLiteral("%1 connections to this user already").arg(MaxConnectBacksPerUser)
                                 : QStringLiteral("too many outgoing connections")));
        ServerCantConnectToPeer(i_token, i_user);
        return;
    }
    const bool scrambled = m_preferScrambledPort && i_scrambledPort != 0;
    PeerConnection* connection =
        Track(new PeerConnection(i_address.ToHostAddress(), scrambled ? i_scrambledPort : i_address.m_port, scrambled),
              Role::ConnectBack);
    connection->SetUser(i_user);
    connection->SetType(i_type);
    connection->SetToken(i_token);
    connect(connection, &PeerConnection::Connected, this, [this, connection] {
        connection->SendPierceFirewall(connection->Token());
        connection->SetSerial(m_nextSerial++);
        Establish(connection, false);
    });
    LimitIncoming();
}

void PeerMessenger::OnCantConnectToPeer(quint32 i_token)
{
    auto found = m_attempts.find(i_token);
    if (found == m_attempts.end())
        return;
    found->second.relayRefused = true;
    CheckAttempt(i_token);
}

void PeerMessenger::EveryHalfMinute()
{
    // Every connection's, the distributed ones' too: they share one budget.
    PeerConnection::DropSlowPartialFrames();
    std::vector<PeerConnection*> expired;
    for (PeerConnection* connection : m_connections)
    {
        switch (connection->GetState())
        {
        case PeerConnection::State::Connecting:
            if (connection->AgeMs() >= m_attemptTimeoutMs)
                expired.push_back(connection);
            break;
        case PeerConnection::State::AwaitingOpener:
        case PeerConnection::State::AwaitingToken:
            if (connection->AgeMs() >= m_openerTimeoutMs)
                expired.push_back(connection);
            break;
        case PeerConnection::State::Open:
            if (connection->IdleMs() >= m_idleTimeoutMs)
                expired.push_back(connection);
            break;
        default: break;
        }
    }
    for (PeerConnection* connection : expired)
    {
        connection->Close();
        OnConnectionClosed(connection, QStringLiteral("timed out"));
    }

    std::vector<quint32> tokens;
    for (const auto& [token, attempt] : m_attempts)
        tokens.push_back(token);
    for (quint32 token : tokens)
        CheckAttempt(token);

    for (auto it = m_addresses.begin(); it != m_addresses.end();)
        it = it->age.elapsed() >= m_addressKeepMs ? m_addresses.erase(it) : std::next(it);
    // An answer that has not come by now is not coming.
    for (auto it = m_addressRequests.begin(); it != m_addressRequests.end();)
        it = it->elapsed() >= m_attemptTimeoutMs ? m_addressRequests.erase(it) : std::next(it);
    AskWaitingAddresses();
    for (auto it = m_retiredAttempts.begin(); it != m_retiredAttempts.end();)
        it = it->second.ended.elapsed() >= m_attemptTimeoutMs ? m_retiredAttempts.erase(it) : std::next(it);
}

// ---- messages ----

void PeerMessenger::SendMessage(QString i_user, MemStream& i_message)
{
    const quint32 code = MessageCode(i_message.GetBuffer(), qint64(i_message.GetLength()));
    if (PeerConnection* connection = NewestMessageConnection(i_user))
    {
        if (!HasRoomToSend(connection, code, i_user, false))
            return;
        connection->SendFrame(i_message.GetBuffer(), int(i_message.GetLength()));
        if (code == PM_SHARED_FILE_LIST || code == PM_USER_INFO_REPLY || code == PM_SHARED_FILES_IN_FOLDER)
            connection->NoteAnswer(code);
        return;
    }
    if (!HasRoomToSend(nullptr, code, i_user, false))
        return;
    qint64& bytes = m_unsentBytes[i_user];
    if (bytes + qint64(i_message.GetLength()) > MaxUnsentBytesPerUser)
    {
        Log(LogArea, 1, QStringLiteral("Too many unsent messages for %1; dropping one").arg(i_user));
        return;
    }
    bytes += qint64(i_message.GetLength());
    m_unsent[i_user].push_back(i_message.ToByteArray());
    if (!HasAttempt(i_user, QStringLiteral("P")))
        StartAttempt(i_user, QStringLiteral("P"));
}

void PeerMessenger::GetUserSharedFiles(QString i_user)
{
    MemStream message = PeerMessages::BuildGetSharedFileList();
    SendMessage(i_user, message);
}

void PeerMessenger::GetUserInfo(QString i_user)
{
    MemStream message = PeerMessages::BuildUserInfoRequest();
    SendMessage(i_user, message);
}

void PeerMessenger::QueueDownload(QString i_user, std::string i_file)
{
    MemStream message = PeerMessages::BuildQueueUpload(i_file);
    SendMessage(i_user, message);
}

void PeerMessenger::QueueUpload(QString i_user, QString i_file, qint64 i_size)
{
    MemStream message = PeerMessages::BuildUploadOffer(i_file, i_size);
    SendMessage(i_user, message);
}

uint PeerMessenger::RequestUpload(QString i_user, QString i_file, qint64 i_size)
{
    const quint32 token = TakeTransferToken();
    MemStream message = PeerMessages::BuildTransferRequest(1, token, i_file, i_size);
    SendMessage(i_user, message);
    return token;
}

void PeerMessenger::AcceptTransferRequest(QString i_user, uint i_token, bool i_sendSize, qint64 i_size)
{
    MemStream message = PeerMessages::BuildTransferAccept(i_token, i_sendSize, i_size);
    SendMessage(i_user, message);
}

void PeerMessenger::DenyTransferRequest(QString i_user, uint i_token, QString i_reason)
{
    MemStream message = PeerMessages::BuildTransferDeny(i_token, i_reason);
    SendMessage(i_user, message);
}

void PeerMessenger::DenyUpload(QString i_user, QString i_file, QString i_reason)
{
    MemStream message = PeerMessages::BuildUploadDenied(i_file, i_reason);
    SendMessage(i_user, message);
}

void PeerMessenger::SendUploadPlaceInLine(QString i_user, QString i_file, int i_place)
{
    MemStream message = PeerMessages::BuildUploadPlaceInLine(i_file, i_place);
    SendMessage(i_user, message);
}

void PeerMessenger::RequestFileConnectionToUser(QString i_user)
{
    StartAttempt(i_user, QStringLiteral("F"));
}

void PeerMessenger::RequestDistributedConnectionToUser(QString i_user, const QHostAddress& i_address, quint16 i_port)
{
    StartAttempt(i_user, QStringLiteral("D"), i_address, i_port);
}

qint64 PeerMessenger::WaitingBytes(qint64 i_askAbove) const
{
    qint64 bytes = 0;
    for (qint64 unsent : m_unsentBytes)
        bytes += unsent;
    return bytes + PeerConnection::WaitingBytesOfAll(i_askAbove - bytes);
}

bool PeerMessenger::HasRoomToSend(PeerConnection* ip_connection, quint32 i_code, const QString& i_user, bool i_request)
{
    const auto drop = [&](qint64 i_waiting, const QString& i_for) {
        Log(LogArea, 1,
            QStringLiteral("Dropping %1 %2 %3 %4: %5 bytes wait for %6 to read them")
                .arg(i_request ? QStringLiteral("a request") : QStringLiteral("a message"), QString::number(i_code),
                     i_request ? QStringLiteral("from") : QStringLiteral("to"), i_user, QString::number(i_waiting),
                     i_for));
        return false;
    };
    // A peer that asks and never reads would otherwise hold any amount; one answer of the largest
    // frame always fits.
    const qint64 waiting = ip_connection ? ip_connection->WaitingBytes(m_waitingBudget / 4) : 0;
    if (waiting > m_waitingBudget / 4)
        return drop(waiting, QStringLiteral("the peer"));
    // Past the bound of all peers those holding the most give way, as with partly received frames,
    // so that peers who never read cannot keep everyone else unanswered; a peer that reads goes last.
    for (qint64 all = WaitingBytes(m_waitingBudget); all > m_waitingBudget; all = WaitingBytes(m_waitingBudget))
    {
        PeerConnection* most = PeerConnection::MostWaiting();
        const qint64 mostBytes = most ? most->WaitingBytes(std::numeric_limits<qint64>::max()) : 0;
        QString queued;
        qint64 queuedBytes = 0;
        for (auto it = m_unsentBytes.cbegin(); it != m_unsentBytes.cend(); ++it)
            if (it.value() > queuedBytes)
            {
                queued = it.key();
                queuedBytes = it.value();
            }
        if (mostBytes == 0 && queuedBytes == 0)
            return drop(all, QStringLiteral("peers")); // what is left waits on file connections
        const QString reason = QStringLiteral("%1 bytes wait for it, %2 for all peers, more than %3 MB")
                                   .arg(QString::number(std::max(mostBytes, queuedBytes)), QString::number(all),
                                        QString::number(m_waitingBudget / 1000000));
        if (mostBytes >= queuedBytes)
        {
            Log(LogArea, 1, QStringLiteral("Closing the connection %1 %2: %3").arg(most->Type(), most->User(), reason));
            most->GiveWay(reason);
            if (most == ip_connection)
                return false;
            continue;
        }
        Log(LogArea, 1, QStringLiteral("Dropping the messages waiting for a connection to %1: %2").arg(queued, reason));
        m_unsent.remove(queued);
        m_unsentBytes.remove(queued);
        if (!ip_connection && queued == i_user)
            return false;
    }
    return true;
}

void PeerMessenger::OnMessage(PeerConnection* ip_connection, const QByteArray& i_payload)
{
    const QString user = ip_connection->User();
    const quint32 code = MessageCode(i_payload.constData(), i_payload.size());
    if (IsRequest(code))
    {
        // Checked before the answer is built: it goes out on the user's newest connection.
        PeerConnection* answers = NewestMessageConnection(user);
        if (!answers)
            answers = ip_connection;
        const quint32 answer = SameAnswerTo(code);
        if (answer != 0 && answers->AnswerWaiting(answer))
        {
            Log(LogArea, 2,
                QStringLiteral("Skipping a repeated request %1 from %2: the last answer still waits to be sent")
                    .arg(QString::number(code), user));
            return;
        }
        // Each folder request has an answer of its own, so none is skipped; it waits unread until
        // the answer before it has left, and a peer that never reads costs one answer, not one a request.
        if (code == PM_GET_SHARED_FILES_IN_FOLDER
            && (answers->HasDeferred() || answers->AnswerWaiting(PM_SHARED_FILES_IN_FOLDER)))
        {
            if (!answers->Defer(i_payload))
                NoteHeldDrops(answers, 1);
            return;
        }
        if (!HasRoomToSend(answers, code, user, true))
            return;
    }
    ReadMessage(user, i_payload);
}

void PeerMessenger::ReadDeferred(PeerConnection* ip_connection)
{
    QPointer<PeerConnection> connection(ip_connection);
    while (connection && connection->GetState() == PeerConnection::State::Open && connection->HasDeferred())
    {
        const QString user = connection->User();
        PeerConnection* answers = NewestMessageConnection(user);
        if (answers && answers != connection)
        {
            NoteHeldDrops(answers, connection->PassDeferredTo(*answers));
            connection = answers;
            continue;
        }
        if (connection->AnswerWaiting(PM_SHARED_FILES_IN_FOLDER))
            return;
        const QByteArray payload = connection->TakeDeferred();
        if (HasRoomToSend(connection, PM_GET_SHARED_FILES_IN_FOLDER, user, true))
            ReadMessage(user, payload);
    }
}

void PeerMessenger::NoteHeldDrops(PeerConnection* ip_connection, int i_count)
{
    if (i_count <= 0)
        return;
    if (m_heldDrops.empty())
        QTimer::singleShot(HeldDropsLogMs, this, &PeerMessenger::LogHeldDrops);
    const auto [run, begins] = m_heldDrops.try_emplace(ip_connection->Serial());
    HeldDrops& drops = run->second;
    drops.recent = true;
    if (begins)
    {
        drops.user = ip_connection->User();
        Log(LogArea, 1,
            QStringLiteral(
                "Dropping a request %1 from %2: more than %3 bytes of requests wait for its answers to be read")
                .arg(QString::number(PM_GET_SHARED_FILES_IN_FOLDER), drops.user,
                     QString::number(PeerConnection::MaxDeferredBytes)));
        --i_count;
    }
    drops.unlogged += i_count;
}

void PeerMessenger::LogHeldDrops()
{
    for (auto run = m_heldDrops.begin(); run != m_heldDrops.end();)
    {
        HeldDrops& drops = run->second;
        if (drops.unlogged > 0)
            Log(LogArea, 1,
                QStringLiteral("Dropped %1 more %2 %3 from %4: more than %5 bytes of requests wait for their answers "
                               "to be read")
                    .arg(QString::number(drops.unlogged),
                         drops.unlogged == 1 ? QStringLiteral("request") : QStringLiteral("requests"),
                         QString::number(PM_GET_SHARED_FILES_IN_FOLDER), drops.user,
                         QString::number(PeerConnection::MaxDeferredBytes)));
        drops.unlogged = 0;
        if (drops.recent)
        {
            drops.recent = false;
            ++run;
        }
        else
            run = m_heldDrops.erase(run);
    }
    if (!m_heldDrops.empty())
        QTimer::singleShot(HeldDropsLogMs, this, &PeerMessenger::LogHeldDrops);
}

void PeerMessenger::ReadMessage(const QString& i_user, const QByteArray& i_payload)
{
    const QString& user = i_user;
    if (i_payload.size() < 4)
    {
        Log(LogArea, 1, QStringLiteral("Dropping a peer message without a code from %1").arg(user));
        return;
    }
    MemStream stream(i_payload);
    InputStream in(stream);
    quint32 code = 0;
    in.Read(code);
    const auto malformed = [&] {
        Log(LogArea, 1,
            QStringLiteral("Dropping a malformed peer message %1 from %2").arg(QString::number(code), user));
    };

    switch (code)
    {
    case PM_GET_SHARED_FILE_LIST: AnswerSharesListRequest(user); break;
    case PM_SHARED_FILE_LIST: ReadSharesList(user, stream); break;
    case PM_FILE_SEARCH_RESULT: ReadSearchReply(user, stream); break;
    case PM_USER_INFO_REQUEST: emit UserInfoRequested(user); break;
    case PM_USER_INFO_REPLY:
    {
        PeerMessages::UserInfoReply reply;
        if (!reply.Read(in))
            return malformed();
        emit UserInfoReceived(user, reply.description, reply.hasPicture,
                              reply.picture.isEmpty() ? nullptr : reply.picture.data(), reply.picture.size(),
                              reply.uploadSlots, reply.queuedUploads, reply.freeUploadSlots);
        break;
    }
    case PM_GET_SHARED_FILES_IN_FOLDER:
    {
        PeerMessages::FolderRequest request;
        if (!request.Read(in))
            return malformed();
        emit SharedFilesInFolderRequested(user, request.token, request.folder);
        break;
    }
    case PM_TRANSFER_REQUEST:
    {
        PeerMessages::TransferRequest request;
        if (!request.Read(in))
            return malformed();
        emit FileTransferRequested(user, request.direction, request.token, request.file, request.size);
        break;
    }
    case PM_TRANSFER_RESPONSE:
    {
        PeerMessages::TransferResponse response;
        if (!response.Read(in))
            return malformed();
        emit FileTransferResponse(user, response.token, response.accepted, response.receivedFileSize, response.size,
                                  response.reason);
        break;
    }
    case PM_QUEUE_UPLOAD:
    {
        QString file;
        if (!in.Read(file))
            return malformed();
        emit QueueUploadRequested(user, file);
        break;
    }
    case PM_UPLOAD_PLACE_IN_LINE:
    {
        PeerMessages::FileAndPlace place;
        if (!place.Read(in))
            return malformed();
        emit DownloadPlaceInLine(user, place.file, place.place);
        break;
    }
    case PM_UPLOAD_FAILED:
    {
        std::string file;
        if (!in.Read(file))
            return malformed();
        emit UploadFailed(user, file);
        break;
    }
    case PM_UPLOAD_DENIED:
    {
        PeerMessages::UploadDenied denied;
        if (!denied.Read(in))
            return malformed();
        emit UploadDenied(user, denied.file, denied.reason);
        break;
    }
    case PM_UPLOAD_PLACE_IN_LINE_REQUEST:
    {
        QString file;
        if (!in.Read(file))
            return malformed();
        emit UploadPlaceInLineRequested(user, file);
        break;
    }
    case PM_UPLOAD_OFFER:
    {
        PeerMessages::UploadOffer offer;
        if (!offer.Read(in))
            return malformed();
        emit QueueDownloadRequested(user, offer.file, offer.size);
        break;
    }
    default:
        Log(LogArea, 3,
            QStringLiteral("Skipping the unknown peer message %1 from %2").arg(QString::number(code), user));
        break;
    }
}

void PeerMessenger::AnswerSharesListRequest(const QString& i_user)
{
    if (!m_sharedFilesProvider)
    {
        Log(LogArea, 2, QStringLiteral("No shares to send to %1").arg(i_user));
        return;
    }
    MemStream reply = m_sharedFilesProvider(i_user);
    if (reply.GetLength() >= 4)
        SendMessage(i_user, reply);
}

void PeerMessenger::ReadSharesList(const QString& i_user, MemStream& i_body)
{
    MemStream inflated;
    if (!InflateBody(i_body, inflated))
    {
        Log(LogArea, 1, QStringLiteral("Dropping a shares list from %1 that does not inflate").arg(i_user));
        return;
    }
    FileInfoMap share;
    AttributeTranslationTable table;
    const SharesListRead read = ::ReadSharesList(inflated, share, table);
    inflated = MemStream(); // the body may be large, and the receivers build more from the list
    switch (read)
    {
    case SharesListRead::Read: emit UserShare(i_user, share, table); break;
    case SharesListRead::Unreadable:
        Log(LogArea, 1, QStringLiteral("Dropping an unreadable shares list from %1").arg(i_user));
        break;
    case SharesListRead::TooManyFiles:
        Log(LogArea, 1,
            QStringLiteral("Dropping a shares list from %1 with more than %2 files")
                .arg(i_user, QString::number(kMaxStreamFiles)));
        break;
    }
}

void PeerMessenger::ReadSearchReply(const QString& i_user, MemStream& i_body)
{
    MemStream inflated;
    if (!InflateBody(i_body, inflated))
    {
        Log(LogArea, 1, QStringLiteral("Dropping a search reply from %1 that does not inflate").arg(i_user));
        return;
    }
    InputStream in(inflated);
    std::string bodyUser; // the connection tells who answers, not the body
    quint32 token = 0;
    quint32 count = 0;
    if (!in.Read(bodyUser) || !in.Read(token) || !in.ReadCount(count))
    {
        Log(LogArea, 1, QStringLiteral("Dropping an unreadable search reply from %1").arg(i_user));
        return;
    }
    std::vector<FileInfo> files;
    files.reserve(std::min<size_t>(count, inflated.BytesLeft() / 21 + 1));
    for (quint32 n = 0; n < count; ++n)
    {
        FileInfo file;
        bool present = false;
        if (!file.ReadRecord(in, present))
        {
            Log(LogArea, 1, QStringLiteral("Dropping a search reply from %1 with a broken file record").arg(i_user));
            return;
        }
        if (present)
            files.push_back(std::move(file));
    }
    quint8 freeSlot = 0;
    quint32 speed = 0;
    quint32 queued = 0;
    AttributeTranslationTable table;
    if (!in.Read(freeSlot) || !in.Read(speed) || !in.Read(queued) || !in.Read(table))
    {
        Log(LogArea, 1, QStringLiteral("Dropping a truncated search reply from %1").arg(i_user));
        return;
    }

    // A reply to a search we no longer hold must not bring its request back to life.
    DeclareRelations();
    if (!m_relationsDeclared)
        return;
    ItemPtr request = d->GetType(types::kSearchRequest)->HasItem(Value(token));
    if (!request)
    {
        Log(LogArea, 3,
            QStringLiteral("Dropping a search reply from %1 for the unknown search %2")
                .arg(i_user, QString::number(token)));
        return;
    }

    // Every reply becomes a set of results of its own, so repeats would pile up without end.
    // Results go only with their search, so counts kept since it started stay true.
    if (m_repliesPerUserAndSearch > 0 || m_resultsPerSearch > 0)
    {
        SearchTally& tally = m_searchTallies[token];
        if (tally.request != request)
            tally = SearchTally{request, 0, {}};
        int& replies = tally.replies[i_user];
        if (m_repliesPerUserAndSearch > 0 && replies >= m_repliesPerUserAndSearch)
        {
            Log(LogArea, 2,
                QStringLiteral("Dropping a search reply from %1: %2 replies to search %3 already")
                    .arg(i_user, QString::number(m_repliesPerUserAndSearch), QString::number(token)));
            return;
        }
        if (m_resultsPerSearch > 0 && tally.results + files.size() > m_resultsPerSearch)
        {
            Log(LogArea, 2,
                QStringLiteral("Dropping a search reply from %1: search %2 would hold more than %3 results")
                    .arg(i_user, QString::number(token), QString::number(m_resultsPerSearch)));
            return;
        }
        ++replies;
        tally.results += files.size();
    }

    ItemPtr results = d->GetType(types::kSearchResults)->NewItem();
    results.Connect(d->GetType(types::kUser)->GetItem(Value(i_user)));
    results.Connect(d->GetType(types::kSearchResultsUserAvailable)->GetItem(Value(freeSlot != 0 ? "yes" : "no")));
    results.Connect(d->GetType(types::kSearchResultsUserSpeed)->GetItem(Value(int(qint32(speed)))));
    results.Connect(d->GetType(types::kSearchResultsUploadsInQueue)->GetItem(Value(queued)));
    Type* resultType = d->GetType(types::kSearchResult);
    Type* folderType = d->GetType(types::kSearchResultFileFolder);
    Type* nameType = d->GetType(types::kSearchResultFileName);
    const FileAttributeLinker attributes;
    for (const FileInfo& file : files)
    {
        ItemPtr result = resultType->NewItem();
        const size_t split = file.m_name.find_last_of("\\/");
        const std::string folder = split == std::string::npos ? std::string() : file.m_name.substr(0, split);
        const std::string name = split == std::string::npos ? file.m_name : file.m_name.substr(split + 1);
        result.Connect(results);
        result.Connect(folderType->GetItem(Value(folder)));
        result.Connect(nameType->GetItem(Value(name)));
        attributes.Link(result, file);
    }
    request.Connect(results);
    emit SearchResults(results);
}

void PeerMessenger::OnSearchRequestRemoved(ItemPtr i_request)
{
    for (auto it = m_searchTallies.begin(); it != m_searchTallies.end();)
        it = it->second.request == i_request ? m_searchTallies.erase(it) : std::next(it);
}

quint32 PeerMessenger::TakeTransferToken()
{
    const quint32 token = quint32(GetSettingNumber(settings::kTransferReqCounter));
    SetSettingNumber(settings::kTransferReqCounter, qint64(quint32(token + 1)));
    return token;
}

// ---- the server connection ----

void PeerMessenger::ConnectToServer()
{
    if (!gp_server)
        return;
    connect(gp_server, &Server::PeerAddressReceived, this, &PeerMessenger::OnPeerAddress);
    connect(gp_server, &Server::ConnectToPeerRequested, this, &PeerMessenger::OnConnectToPeerRequested);
    connect(gp_server, &Server::CantConnectToPeerReceived, this, &PeerMessenger::OnCantConnectToPeer);
    connect(gp_server, &Server::UserStatusReported, this, &PeerMessenger::OnUserStatus);
    // Questions of an earlier login have no answers coming.
    connect(gp_server, &Server::Connected, this, [this] {
        m_addressRequests.clear();
        AskWaitingAddresses();
    });
}

bool PeerMessenger::ServerGetPeerAddress(const QString& i_user)
{
    if (!gp_server || !gp_server->IsConnected())
        return false;
    gp_server->GetPeerAddress(i_user);
    return true;
}

QHostAddress PeerMessenger::ServerPublicAddress() const
{
    return gp_server ? gp_server->PublicAddress() : QHostAddress();
}

void PeerMessenger::ServerConnectToPeer(quint32 i_token, const QString& i_user, const QString& i_type)
{
    if (gp_server)
        gp_server->ConnectToPeer(i_token, i_user, i_type);
}

void PeerMessenger::ServerCantConnectToPeer(quint32 i_token, const QString& i_user)
{
    if (gp_server)
        gp_server->CantConnectToPeer(i_token, i_user);
}

FileAttributeLinker::FileAttributeLinker()
    : mp_sizeType(d->GetType(types::kFileSize))
    , mp_bitrateType(d->GetType(types::kBitrate))
    , mp_lengthType(d->GetType(types::kLengthSeconds))
    , m_variable(d->GetType(types::kBitrateMode)->GetItem(Value("vbr")))
    , m_constant(d->GetType(types::kBitrateMode)->GetItem(Value("cbr")))
{
}

void FileAttributeLinker::Link(ItemPtr& io_file, const FileInfo& i_info) const
{
    io_file.Connect(mp_sizeType->GetItem(Value(static_cast<long long>(i_info.m_size))));
    for (const auto& [code, value] : i_info.m_attributes.m_attributes)
    {
        if (code == AttributeBitrate)
            io_file.Connect(Cached(mp_bitrateType, m_bitrates, value));
        else if (code == AttributeLength)
            io_file.Connect(Cached(mp_lengthType, m_lengths, value));
        else if (code == AttributeVariableBitrate)
            io_file.Connect(value != 0 ? m_variable : m_constant);
    }
}

ItemPtr FileAttributeLinker::Cached(Type* ip_type, std::unordered_map<qint32, ItemPtr>& io_cache, qint32 i_value) const
{
    ItemPtr& item = io_cache[i_value];
    if (!item)
        item = ip_type->GetItem(Value(i_value));
    return item;
}
