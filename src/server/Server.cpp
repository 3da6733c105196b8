#include "Server.h"

#include "ListeningPorts.h"
#include "Log.h"
#include "PortForwarder.h"
#include "ServerSchema.h"
#include "TextUtils.h"
#include "TimerManager.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QtEndian>

#include <tuple>
#include <vector>

Server* gp_server = nullptr;
const char* const kDefaultServerHost = "server.veltrane.net";

namespace
{
const char* const kArea = "server";
// A slice of incoming frames ends after the frame that takes it past either bound, so that a large
// frame has a turn of its own and small ones that cost much to handle hold the window no longer
// than the budget. No frame is cut. The views that would lay out and paint a long list again
// after every turn wait for the last (FramesTurnEnded).
constexpr int kSliceBytes = 64 * 1024;
constexpr qint64 kSliceMs = 20;
// What the socket keeps beyond the frames waiting for their turn.
constexpr qint64 kSocketReadBuffer = 1024 * 1024;

Type* T(const char* i_name)
{
    return d->GetType(i_name);
}

ItemPtr Flag(const char* i_name)
{
    return d->GetType(i_name)->GetGlobalNullItem();
}

void SetFlag(ItemPtr i_item, const char* i_flag, bool i_on)
{
    if (i_on)
        i_item += Flag(i_flag);
    else if (i_item.IsConnected(i_flag))
        i_item.Disconnect(i_flag);
}

QString Md5Hex(const QString& i_text)
{
    return QString::fromLatin1(QCryptographicHash::hash(i_text.toUtf8(), QCryptographicHash::Md5).toHex());
}

bool ReadStats(InputStream& i_in, UserStats& o_stats)
{
    return i_in.Read(o_stats);
}

// The statistics a room's row shows, as the server last reported them.
void SetStats(ItemPtr i_user, const UserStats& i_stats)
{
    i_user += T(types::kAverageDownloadSpeed)->GetItem(Value(i_stats.m_averageSpeed));
    i_user += T(types::kSharedFilesCount)->GetItem(Value(i_stats.m_fileCount));
}

// Reads "uint32 n, n × T" into a vector whose size the reader checks against the body, so a
// hostile count allocates nothing.
template<class T> bool ReadList(InputStream& i_in, std::vector<T>& o_items)
{
    return i_in.Read(o_items);
}
} // namespace

Server::Server()
    : mp_socket(new QTcpSocket(this))
    , mp_portForwarder(new PortForwarder(this))
    , m_nextSearchToken(QRandomGenerator::global()->bounded(1u, 1u << 30))
{
    gp_server = this;
    qRegisterMetaType<time_t>("time_t");
    qRegisterMetaType<UserStats>("UserStats");
    qRegisterMetaType<TCPAddress>("TCPAddress");
    qRegisterMetaType<ParentCandidate>("ParentCandidate");
    qRegisterMetaType<QVector<ParentCandidate>>("QVector<ParentCandidate>");

    connect(mp_socket, &QTcpSocket::connected, this, &Server::OnSocketConnected);
    connect(mp_socket, &QTcpSocket::errorOccurred, this, &Server::OnSocketError);
    connect(mp_socket, &QTcpSocket::disconnected, this, &Server::OnSocketDisconnected);
    connect(mp_socket, &QTcpSocket::readyRead, this, &Server::OnReadyRead);
    mp_socket->setReadBufferSize(kSocketReadBuffer);

    if (timerManager)
    {
        connect(timerManager->halfMinuteTimer(), &QTimer::timeout, this, &Server::EveryHalfMinute);
        connect(timerManager->fiveMinuteTimer(), &QTimer::timeout, this, &Server::EveryFiveMinutes);
        connect(timerManager->hourTimer(), &QTimer::timeout, this, &Server::EveryHour);
    }
    if (dataSaver)
        dataSaver->AddListener(this);
}

Server::~Server()
{
    // Nothing may reach the store from the socket while the object is half destroyed.
    mp_socket->disconnect(this);
    mp_socket->abort();
    delete mp_portForwarder;
    mp_portForwarder = nullptr;
    if (gp_server == this)
        gp_server = nullptr;
}

void Server::CreateData()
{
    auto declare = [](const char* i_name, Primacy i_primacy, bool i_isNull) {
        return d->NewType(i_name, i_primacy, i_isNull, true);
    };
    Type* user = declare(types::kUser, Primary, false);
    Type* inUserList = declare(types::kInUserList, Secondary, true);
    Type* group = declare(types::kUserListGroup, Primary, false);
    Type* groupPriority = declare(types::kGroupDownloadPriority, Tertiary, false);
    Type* acceptUploads = declare(types::kAcceptUploads, Tertiary, true);
    inUserList->RelateToType(user, One, One);
    inUserList->RelateToType(group, Many, Many);
    groupPriority->RelateToType(group, One, Many);
    acceptUploads->RelateToType(group, One, Many);

    for (const char* flag :
         {types::kIsOnline, types::kIsAway, types::kIsTracked, types::kIsIgnored, types::kIsPrivileged})
        declare(flag, Tertiary, true)->RelateToType(user, One, Many);
    for (const char* stat : {types::kAverageDownloadSpeed, types::kSharedFilesCount, types::kCountryCode})
        declare(stat, Tertiary, false)->RelateToType(user, One, Many);

    Type* room = declare(types::kRoom, Primary, false);
    room->RelateToType(user, Many, Many);
    for (const char* flag :
         {types::kInRoom, types::kRoomAutojoin, types::kIsOwner, types::kIsOperator, types::kIsMember})
        declare(flag, Tertiary, true)->RelateToType(room, One, Many);
    declare(types::kUserCount, Tertiary, false)->RelateToType(room, One, Many);
    for (const char* node : {types::kRoomMembers, types::kRoomOperators})
    {
        Type* type = declare(node, Secondary, true);
        type->RelateToType(room, One, One);
        type->RelateToType(user, Many, Many);
    }
    Type* roomOwner = declare(types::kRoomOwner, Secondary, true);
    roomOwner->RelateToType(room, One, One);
    roomOwner->RelateToType(user, Many, One);

    Type* request = declare(types::kSearchRequest, Primary, false);
    Type* requestText = declare(types::kSearchRequestText, Secondary, false);
    requestText->RelateToType(request, One, Many);
    declare(types::kWishlistSearch, Tertiary, true)->RelateToType(request, One, Many);
    Type* correlation = declare(types::kSearchCorrelation, Secondary, true);
    requestText->RelateToType(correlation, One, Many);
    declare(types::kCorrelationText, Tertiary, false)->RelateToType(correlation, One, Many);
    declare(types::kCorrelationRank, Tertiary, false)->RelateToType(correlation, One, Many);

    if (dataSaver)
    {
        dataSaver->AddSavedType(types::kInUserList);
        dataSaver->AddSavedByConnectionType(types::kUser, types::kInUserList);
        dataSaver->AddSavedType(types::kUserListGroup);
        dataSaver->AddSavedType(types::kGroupDownloadPriority);
        dataSaver->AddSavedType(types::kAcceptUploads);
        // The ignored list and the autojoin rooms would otherwise be lost at every restart.
        dataSaver->AddSavedType(types::kIsIgnored);
        dataSaver->AddSavedByConnectionType(types::kUser, types::kIsIgnored);
        dataSaver->AddSavedType(types::kRoomAutojoin);
        dataSaver->AddSavedByConnectionType(types::kRoom, types::kRoomAutojoin);
    }
    m_typesReady = true;
}

void Server::DataLoaded()
{
    SetDefaultSetting(settings::kUseUpnp, QStringLiteral("yes"));
}

// ---- connection state ----

void Server::Connect()
{
    if (m_state != StateIdle || GetSetting(settings::kUsername).isEmpty())
        return;
    QString host = GetSetting(settings::kServerHost);
    if (host.isEmpty())
        host = QString::fromLatin1(kDefaultServerHost);
    qint64 port = GetSettingNumber(settings::kServerPort);
    if (port <= 0 || port > 65535)
        port = kDefaultServerPort;

    m_state = StateConnecting;
    m_inBuffer.clear();
    m_inOffset = 0;
    emit Connecting();
    Log(kArea, 1, QStringLiteral("Attempting connection on port %1").arg(port));
    mp_socket->connectToHost(host, static_cast<quint16>(port));
}

void Server::Disconnect()
{
    if (m_state != StateLoggedIn)
        return;
    m_reconnect = false;
    m_abruptlyDisconnected = false;
    EndConnection();
    Log(kArea, 1, QStringLiteral("Disconnected"));
    ClearUserStatuses();
    emit Disconnected();
}

void Server::EndConnection()
{
    // The state goes first: abort() may report the disconnection synchronously.
    m_state = StateIdle;
    mp_socket->abort();
    m_inBuffer.clear();
    m_inOffset = 0;
    const bool framesWaited = m_framesPending;
    m_framesPending = false;
    m_lossPending.clear();
    ++m_connectionSerial;
    // Inside a turn, its end tells it.
    if (framesWaited && !m_inTurn)
        emit FramesTurnEnded(false);
    m_joinsSent.clear();
    m_joinAnswersDue.clear();
}

void Server::ConnectionLost(const QString& i_reason)
{
    const State state = m_state;
    if (state == StateIdle)
        return;
    EndConnection();
    if (state == StateLoggedIn)
    {
        m_abruptlyDisconnected = true;
        m_reconnect = true;
        Log(kArea, 1, QStringLiteral("Connection lost: %1").arg(i_reason));
        ClearUserStatuses();
        emit Disconnected();
    }
    else
    {
        Log(kArea, 1, QStringLiteral("Connection failed: %1").arg(i_reason));
        emit ConnectionFailed(i_reason);
    }
}

void Server::ClearUserStatuses()
{
    if (!m_typesReady)
        return;
    for (const char* flag : {types::kIsOnline, types::kIsAway})
        for (ItemPtr user : T(flag)->GetItems().GetItems(types::kUser))
            user.Disconnect(flag);
}

void Server::OnSocketConnected()
{
    if (m_state != StateConnecting)
        return;
    m_state = StateLoggingIn;
    SendLogin();
}

void Server::OnSocketError(QAbstractSocket::SocketError)
{
    // Frames that came before the loss still have their turns; the loss is told after them.
    if (!m_framesPending)
        ConnectionLost(mp_socket->errorString());
    else if (m_lossPending.isEmpty())
        m_lossPending = mp_socket->errorString();
}

void Server::OnSocketDisconnected()
{
    const QString reason = QStringLiteral("The server closed the connection");
    if (!m_framesPending)
        ConnectionLost(reason);
    else if (m_lossPending.isEmpty())
        m_lossPending = reason;
}

void Server::SendLogin()
{
    const QString user = GetSetting(settings::kUsername);
    const QString password = GetSetting(settings::kPassword);
    WriteFrame(SM_LOGIN, StreamOf(user, password, kLoginVersion, Md5Hex(user + password), kLoginMinorVersion));
    m_abruptlyDisconnected = false;
}

void Server::AfterLogin()
{
    const quint16 port = ListeningPorts::Plain(GetSettingNumber(settings::kListeningPort));
    const quint16 scrambledPort = ListeningPorts::Scrambled(GetSettingNumber(settings::kObfuscatedListeningPort), port);
    Send(SM_SET_LISTEN_PORT, StreamOf(quint32(port), quint32(1), quint32(scrambledPort)));
    if (GetSetting(settings::kAvailabilityStatus) == QLatin1String("away"))
    {
        Send(SM_SET_STATUS, StreamOf(qint32(USER_STATUS_AWAY)));
    }
    if (m_sharedCountsSource)
        std::tie(m_sharedFolders, m_sharedFiles) = m_sharedCountsSource();
    SendFilesFolders(m_sharedFolders, m_sharedFiles);
    if (m_typesReady)
    {
        // The server's watch list and room membership last one login only.
        for (ItemPtr user : T(types::kIsTracked)->GetItems().GetItems(types::kUser))
            AddUser(user.AsString());
        ItemSet rooms = T(types::kInRoom)->GetItems().GetItems(types::kRoom);
        rooms.Add(T(types::kRoomAutojoin)->GetItems().GetItems(types::kRoom));
        for (ItemPtr room : rooms)
            EnterRoom(room.AsString(), room.IsConnected(types::kIsOwner) || room.IsConnected(types::kIsMember));
    }
    HaveNoParent(m_haveNoParent);
    AcceptChildren(m_acceptChildren);
}

// ---- framing ----

bool Server::WriteFrame(quint32 i_code, const MemStream& i_body)
{
    const size_t length = i_body.GetLength();
    QByteArray frame;
    frame.resize(static_cast<int>(8 + length));
    qToLittleEndian<quint32>(static_cast<quint32>(4 + length), frame.data());
    qToLittleEndian<quint32>(i_code, frame.data() + 4);
    if (length)
        memcpy(frame.data() + 8, i_body.GetBuffer(), length);
    return mp_socket->write(frame) == frame.size();
}

bool Server::Send(quint32 i_code, const MemStream& i_body)
{
    if (m_state != StateLoggedIn)
        return false;
    return WriteFrame(i_code, i_body);
}

void Server::OnReadyRead()
{
    // Frames still waiting take what came after them when their turn ends.
    if (m_framesPending)
        return;
    m_inBuffer.append(mp_socket->readAll());
    HandleFrames(true);
}

qint64 Server::BytesHeld() const
{
    return m_inBuffer.size() - m_inOffset + mp_socket->bytesAvailable();
}

void Server::ReceiveForTest(const QByteArray& i_bytes, bool i_loggedIn)
{
    if (m_state == StateIdle || m_state == StateConnecting)
        m_state = i_loggedIn ? StateLoggedIn : StateLoggingIn;
    m_inBuffer.append(i_bytes);
    HandleFrames(false);
    if (m_state != StateIdle)
        EndConnection();
}

void Server::HandleFramesLater()
{
    m_framesPending = true;
    QMetaObject::invokeMethod(
        this,
        [this, serial = m_connectionSerial] {
            if (serial != m_connectionSerial || !m_framesPending)
                return;
            m_framesPending = false;
            HandleFrames(true);
        },
        Qt::QueuedConnection);
}

void Server::HandleFrames(bool i_sliced)
{
    if (!i_sliced)
    {
        HandleSlice(false);
        return;
    }
    const bool outer = m_inTurn;
    m_inTurn = true;
    HandleSlice(true);
    m_inTurn = outer;
    emit FramesTurnEnded(m_framesPending);
}

// A read may bring many frames, each as large as a whole room list: handled at once, they would
// hold the window for as long as all of them take.
void Server::HandleSlice(bool i_sliced)
{
    QElapsedTimer slice;
    slice.start();
    qint64 sliceBytes = 0;
    // The frame's room is kept between reads; a handler that ends the connection leaves it alone.
    QByteArray& frame = m_frame;
    while (m_state == StateLoggingIn || m_state == StateLoggedIn)
    {
        if (i_sliced && (sliceBytes >= kSliceBytes || slice.elapsed() >= kSliceMs))
        {
            HandleFramesLater();
            return;
        }
        const FrameCodec::Status status = m_frames.Take(m_inBuffer, m_inOffset, frame);
        if (status == FrameCodec::Status::Incomplete)
        {
            const QByteArray more = i_sliced ? mp_socket->readAll() : QByteArray();
            if (more.isEmpty())
                break;
            m_inBuffer.remove(0, m_inOffset);
            m_inOffset = 0;
            m_inBuffer.append(more);
            continue;
        }
        if (status == FrameCodec::Status::Oversized)
        {
            Log(kArea, 1,
                QStringLiteral("Frame over the limit of %1 bytes; closing the connection")
                    .arg(FrameCodec::MaxFrameLength));
            ConnectionLost(QStringLiteral("Oversized message from the server"));
            return;
        }
        if (frame.size() < 4)
        {
            Log(kArea, 1, QStringLiteral("Frame of %1 bytes has no code; dropped").arg(frame.size()));
            continue;
        }
        const quint32 code = qFromLittleEndian<quint32>(frame.constData());
        MemStream body(frame.constData() + 4, size_t(frame.size()) - 4);
        sliceBytes += frame.size();
        HandleMessage(code, body);
    }
    if (m_state == StateIdle)
        return;
    // Keep only the unread tail; compacting once per burst keeps this linear.
    if (m_inOffset > 0)
    {
        m_inBuffer.remove(0, m_inOffset);
        m_inOffset = 0;
    }
    if (!m_lossPending.isEmpty())
        ConnectionLost(QString(m_lossPending));
}

void Server::HandleMessage(quint32 i_code, MemStream& i_body)
{
    InputStream in(i_body);
    if (m_state == StateLoggingIn)
    {
        if (i_code == SM_LOGIN)
            HandleLoginReply(in);
        else
            Log(kArea, 2, QStringLiteral("Message %1 before the login answer; skipped").arg(i_code));
        return;
    }

    bool ok = true;
    switch (i_code)
    {
    case SM_GET_PEER_ADDRESS: ok = HandlePeerAddress(in); break;
    case SM_WATCH_USER: ok = HandleWatchUser(in); break;
    case SM_USER_STATUS: ok = HandleUserStatus(in); break;
    case SM_ROOM_CHAT: ok = HandleRoomChat(in); break;
    case SM_JOIN_ROOM: ok = HandleJoinRoom(in); break;
    case SM_LEAVE_ROOM: ok = HandleLeaveRoom(in); break;
    case SM_USER_JOINED_ROOM: ok = HandleUserJoinedRoom(in); break;
    case SM_USER_LEFT_ROOM: ok = HandleUserLeftRoom(in); break;
    case SM_CONNECT_TO_PEER: ok = HandleConnectToPeer(in); break;
    case SM_PRIVATE_MESSAGE: ok = HandlePrivateMessage(in); break;
    case SM_FILE_SEARCH: ok = HandleFileSearch(in); break;
    case SM_GET_USER_STATS: ok = HandleUserStats(in); break;
    case SM_RELOGGED: HandleRelogged(); break;
    case SM_ROOM_LIST: ok = HandleRoomList(in); break;
    case SM_ADMIN_MESSAGE: ok = HandleAdminMessage(in); break;
    case SM_PRIVILEGED_USERS: ok = HandlePrivilegedUsers(in); break;
    case SM_PARENT_MIN_SPEED:
    case SM_PARENT_SPEED_RATIO:
    case SM_WISHLIST_INTERVAL:
    {
        quint32 value = 0;
        ok = in.Read(value);
        if (!ok)
            break;
        if (i_code == SM_PARENT_MIN_SPEED)
            emit ParentMinSpeed(value);
        else if (i_code == SM_PARENT_SPEED_RATIO)
            emit ParentSpeedRatio(value);
        else
            emit WishListWait(value);
        break;
    }
    case SM_CHECK_PRIVILEGES: ok = HandleCheckPrivileges(in); break;
    case SM_EMBEDDED_MESSAGE: ok = HandleEmbeddedMessage(in); break;
    case SM_POSSIBLE_PARENTS: ok = HandlePossibleParents(in); break;
    case SM_RESET_DISTRIBUTED: emit ResetDistributed(); break;
    case SM_PRIVATE_ROOM_USERS: ok = HandleMemberList(in, i_code, types::kRoomMembers); break;
    case SM_PRIVATE_ROOM_OPERATORS: ok = HandleMemberList(in, i_code, types::kRoomOperators); break;
    case SM_PRIVATE_ROOM_ADD_USER: ok = HandleMemberChange(in, i_code, types::kRoomMembers, true); break;
    case SM_PRIVATE_ROOM_REMOVE_USER: ok = HandleMemberChange(in, i_code, types::kRoomMembers, false); break;
    case SM_PRIVATE_ROOM_ADD_OPERATOR: ok = HandleMemberChange(in, i_code, types::kRoomOperators, true); break;
    case SM_PRIVATE_ROOM_REMOVE_OPERATOR: ok = HandleMemberChange(in, i_code, types::kRoomOperators, false); break;
    case SM_PRIVATE_ROOM_ADDED: ok = HandleOwnRoomFlag(in, i_code, types::kIsMember, true); break;
    case SM_PRIVATE_ROOM_REMOVED: ok = HandleOwnRoomFlag(in, i_code, types::kIsMember, false); break;
    case SM_PRIVATE_ROOM_OPERATOR_ADDED: ok = HandleOwnRoomFlag(in, i_code, types::kIsOperator, true); break;
    case SM_PRIVATE_ROOM_OPERATOR_REMOVED: ok = HandleOwnRoomFlag(in, i_code, types::kIsOperator, false); break;
    case SM_PRIVATE_ROOM_TOGGLE:
    {
        quint8 enabled = 0;
        ok = in.Read(enabled);
        if (ok)
            emit PrivateRoomAddEnabled(enabled != 0);
        break;
    }
    case SM_RELATED_SEARCHES: ok = HandleRelatedSearches(in); break;
    case SM_CANT_CONNECT_TO_PEER:
    {
        quint32 token = 0;
        ok = in.Read(token);
        if (ok)
            emit CantConnectToPeerReceived(token);
        break;
    }
    case SM_CANT_CREATE_ROOM:
    {
        QString room;
        ok = in.Read(room);
        if (ok)
        {
            m_joinsSent.remove(room);
            // That join is answered.
            const auto due = m_joinAnswersDue.find(room);
            if (due != m_joinAnswersDue.end() && --due.value() == 0)
                m_joinAnswersDue.erase(due);
            Log(kArea, 1, QStringLiteral("The room %1 could not be created").arg(room));
        }
        break;
    }
    default: Log(kArea, 3, QStringLiteral("Unknown message %1 skipped").arg(i_code)); break;
    }
    if (!ok)
        Log(kArea, 1, QStringLiteral("Message %1 is short or malformed; dropped").arg(i_code));
}

// ---- incoming messages ----

void Server::HandleLoginReply(InputStream& i_in)
{
    quint8 success = 0;
    if (!i_in.Read(success))
    {
        ConnectionLost(QStringLiteral("Unreadable login answer"));
        return;
    }
    if (!success)
    {
        QString reason;
        if (!i_in.Read(reason) || reason.isEmpty())
            reason = QStringLiteral("Login refused");
        m_reconnect = false;
        EndConnection();
        Log(kArea, 1, QStringLiteral("Login refused: %1").arg(reason));
        emit ConnectionFailed(reason);
        return;
    }
    QString greeting;
    quint32 publicAddress = 0;
    // Where the server sees us: our router's address when we are behind one.
    if (i_in.Read(greeting) && i_in.Read(publicAddress) && publicAddress != 0)
        m_publicAddress = QHostAddress(publicAddress);
    else
        m_publicAddress.clear();
    m_state = StateLoggedIn;
    m_reconnect = false;
    m_joinsSent.clear();
    Log(kArea, 1, QStringLiteral("Logged in"));
    if (!greeting.isEmpty())
        Log(kArea, 2, greeting);
    AfterLogin();
    if (m_state == StateLoggedIn)
        emit Connected();
}

bool Server::HandlePeerAddress(InputStream& i_in)
{
    QString user;
    TCPAddress address;
    quint32 scrambled = 0;
    quint16 scrambledPort = 0;
    if (!i_in.Read(user) || !i_in.Read(address) || !i_in.Read(scrambled) || !i_in.Read(scrambledPort))
        return false;
    emit PeerAddressReceived(user, address, scrambled ? scrambledPort : quint16(0));
    return true;
}

bool Server::HandleWatchUser(InputStream& i_in)
{
    QString user;
    quint8 exists = 0;
    if (!i_in.Read(user) || !i_in.Read(exists))
        return false;
    if (exists)
    {
        quint32 status = 0;
        UserStats stats;
        QString country;
        if (!i_in.Read(status) || !ReadStats(i_in, stats))
            return false;
        if (status != USER_STATUS_OFFLINE && !i_in.Read(country))
            return false;
        SetUserStatus(user, status);
        if (ItemPtr item = T(types::kUser)->HasItem(user))
            SetStats(item, stats);
    }
    emit AddUserResponse(user, exists != 0);
    return true;
}

bool Server::HandleUserStatus(InputStream& i_in)
{
    QString user;
    quint32 status = 0;
    quint8 privileged = 0;
    if (!i_in.Read(user) || !i_in.Read(status) || !i_in.Read(privileged))
        return false;
    SetUserStatus(user, status);
    emit UserStatusReported(user, status);
    if (privileged)
        m_privilegedUsers.insert(user);
    else
        m_privilegedUsers.remove(user);
    if (ItemPtr item = T(types::kUser)->HasItem(user))
        SetFlag(item, types::kIsPrivileged, privileged != 0);
    return true;
}

void Server::SetUserStatus(const QString& i_user, quint32 i_status)
{
    if (i_status == USER_STATUS_OFFLINE)
    {
        // An offline report must not create the user.
        if (ItemPtr user = T(types::kUser)->HasItem(i_user))
        {
            SetFlag(user, types::kIsOnline, false);
            SetFlag(user, types::kIsAway, false);
        }
        return;
    }
    ItemPtr user = T(types::kUser)->GetItem(i_user);
    SetFlag(user, types::kIsOnline, true);
    SetFlag(user, types::kIsAway, i_status == USER_STATUS_AWAY);
}

bool Server::HandleRoomChat(InputStream& i_in)
{
    QString room, user, text;
    if (!i_in.Read(room) || !i_in.Read(user) || !i_in.Read(text))
        return false;
    // The check must not create the sender.
    ItemPtr sender = T(types::kUser)->HasItem(user);
    if (sender && sender.IsConnected(types::kIsIgnored))
        return true;
    emit RoomChat(room, user, text);
    return true;
}

void Server::LinkRoomUser(ItemPtr i_room, const QString& i_user, quint32 i_status, const UserStats& i_stats,
                          const QString& i_countryCode)
{
    ItemPtr user = T(types::kUser)->GetItem(i_user);
    SetStats(user, i_stats);
    // An unknown country is the empty code: the room shows the user all the same.
    user += T(types::kCountryCode)->GetItem(i_countryCode);
    if (i_status != USER_STATUS_OFFLINE)
    {
        SetFlag(user, types::kIsOnline, true);
        SetFlag(user, types::kIsAway, i_status == USER_STATUS_AWAY);
    }
    if (m_privilegedUsers.contains(i_user))
        SetFlag(user, types::kIsPrivileged, true);
    // Linked last: a room tab fills the row from what the user holds at this moment.
    i_room += user;
}

bool Server::HandleJoinRoom(InputStream& i_in)
{
    QString roomName;
    if (!i_in.Read(roomName))
        return false;
    // One answer per join sent: the server cannot open a room we never asked for, nor fill one
    // we are in with answer after answer. An unasked one is not even read.
    const auto due = m_joinAnswersDue.find(roomName);
    if (due == m_joinAnswersDue.end())
    {
        Log(kArea, 1, QStringLiteral("Ignoring a join answer for the room %1, which was not asked for").arg(roomName));
        return true;
    }
    if (--due.value() == 0)
        m_joinAnswersDue.erase(due);

    std::vector<std::string> users;
    std::vector<quint32> statuses;
    std::vector<UserStats> stats;
    std::vector<quint32> freeSlots;
    std::vector<std::string> countries;
    if (!ReadList(i_in, users) || !ReadList(i_in, statuses) || !ReadList(i_in, stats) || !ReadList(i_in, freeSlots)
        || !ReadList(i_in, countries))
        return false;
    const size_t count = users.size();
    if (statuses.size() != count || stats.size() != count || freeSlots.size() != count || countries.size() != count)
        return false;
    // A private room's owner and operators follow only for a private room.
    QString owner;
    std::vector<std::string> operators;
    const bool isPrivate = i_in.GetStream().BytesLeft() > 0;
    if (isPrivate && (!i_in.Read(owner) || !ReadList(i_in, operators)))
        return false;

    ItemPtr room = T(types::kRoom)->GetItem(roomName);
    room += Flag(types::kInRoom);
    room.Disconnect(types::kUser);
    // The owner and operators first, so that a room tab already open draws their rows as theirs.
    if (isPrivate)
    {
        ItemPtr ownerNode = room.NewItem(types::kRoomOwner);
        ownerNode += T(types::kUser)->GetItem(owner);
        ItemPtr operatorNode = room.NewItem(types::kRoomOperators);
        operatorNode.Disconnect(types::kUser);
        for (const std::string& name : operators)
            operatorNode += T(types::kUser)->GetItem(ToQString(name));
    }
    for (size_t index = 0; index < count; ++index)
        LinkRoomUser(room, ToQString(users[index]), statuses[index], stats[index], ToQString(countries[index]));
    emit RoomJoined(roomName);
    return true;
}

bool Server::HandleLeaveRoom(InputStream& i_in)
{
    QString roomName;
    if (!i_in.Read(roomName))
        return false;
    m_joinsSent.remove(roomName);
    ItemPtr room = T(types::kRoom)->HasItem(roomName);
    if (room && room.IsConnected(types::kInRoom))
        room.Disconnect(types::kInRoom);
    return true;
}

bool Server::HandleUserJoinedRoom(InputStream& i_in)
{
    QString roomName, user, country;
    quint32 status = 0, freeSlots = 0;
    UserStats stats;
    if (!i_in.Read(roomName) || !i_in.Read(user) || !i_in.Read(status) || !ReadStats(i_in, stats)
        || !i_in.Read(freeSlots) || !i_in.Read(country))
        return false;
    if (ItemPtr room = T(types::kRoom)->HasItem(roomName))
        LinkRoomUser(room, user, status, stats, country);
    return true;
}

bool Server::HandleUserLeftRoom(InputStream& i_in)
{
    QString roomName, userName;
    if (!i_in.Read(roomName) || !i_in.Read(userName))
        return false;
    ItemPtr room = T(types::kRoom)->HasItem(roomName);
    ItemPtr user = T(types::kUser)->HasItem(userName);
    if (room && user && room.IsConnected(user))
        room -= user;
    return true;
}

bool Server::HandleConnectToPeer(InputStream& i_in)
{
    QString user, type;
    TCPAddress address;
    quint32 token = 0, scrambled = 0, scrambledPort = 0;
    quint8 privileged = 0;
    if (!i_in.Read(user) || !i_in.Read(type) || !i_in.Read(address) || !i_in.Read(token) || !i_in.Read(privileged)
        || !i_in.Read(scrambled) || !i_in.Read(scrambledPort))
        return false;
    if (scrambledPort > 65535)
        scrambledPort = 0;
    emit ConnectToPeerRequested(user, type, address, token, privileged != 0,
                                scrambled ? static_cast<quint16>(scrambledPort) : quint16(0));
    return true;
}

bool Server::HandlePrivateMessage(InputStream& i_in)
{
    quint32 id = 0, time = 0;
    QString user, text;
    quint8 isNew = 0;
    if (!i_in.Read(id))
        return false;
    // Acknowledged also for an ignored sender or an unreadable message, or the server would
    // replay it at every login.
    Send(SM_PRIVATE_MESSAGE_ACK, StreamOf(id));
    if (!i_in.Read(time) || !i_in.Read(user) || !i_in.Read(text) || !i_in.Read(isNew))
    {
        Log(kArea, 1, QStringLiteral("Private message %1 cannot be read; acknowledged and dropped").arg(id));
        return true;
    }
    ItemPtr sender = T(types::kUser)->HasItem(user);
    if (sender && sender.IsConnected(types::kIsIgnored))
        return true;
    emit PrivateChat(user, text, static_cast<time_t>(time), isNew != 0);
    return true;
}

bool Server::HandleFileSearch(InputStream& i_in)
{
    QString user, query;
    quint32 token = 0;
    if (!i_in.Read(user) || !i_in.Read(token) || !i_in.Read(query))
        return false;
    emit DirectFileSearch(user, token, query);
    return true;
}

bool Server::HandleUserStats(InputStream& i_in)
{
    QString user;
    UserStats stats;
    if (!i_in.Read(user) || !ReadStats(i_in, stats))
        return false;
    // A report must not create the user.
    if (ItemPtr item = T(types::kUser)->HasItem(user))
        SetStats(item, stats);
    emit ReceivedUserStats(user, stats);
    return true;
}

void Server::HandleRelogged()
{
    Log(kArea, 1, QStringLiteral("This user name logged in elsewhere"));
    m_reconnect = false;
    m_abruptlyDisconnected = false;
    EndConnection();
    ClearUserStatuses();
    emit Disconnected();
}

bool Server::HandleRoomList(InputStream& i_in)
{
    std::vector<std::string> names[3];
    std::vector<quint32> counts[3];
    std::vector<std::string> operated;
    for (int list = 0; list < 3; ++list)
    {
        if (!ReadList(i_in, names[list]) || !ReadList(i_in, counts[list]) || names[list].size() != counts[list].size())
            return false;
    }
    if (!ReadList(i_in, operated))
        return false;

    // The list is the whole list: the rooms it no longer names go, but not one the user is in,
    // enters by itself or has asked to enter. They go first, so the room list's rows that went are
    // gone before the new ones come.
    QSet<QString> named;
    for (int list = 0; list < 3; ++list)
        for (const std::string& name : names[list])
            named.insert(ToQString(name));
    for (const std::string& name : operated)
        named.insert(ToQString(name));
    Type* roomType = T(types::kRoom);
    ItemSet gone;
    for (const ItemPtr& room : roomType->GetItems())
        if (!room.IsConnected(types::kInRoom) && !room.IsConnected(types::kRoomAutojoin))
        {
            const QString name = room.AsString();
            if (!named.contains(name) && !m_joinsSent.contains(name))
                gone.insert(room);
        }
    if (!gone.empty())
        Log(kArea, 3, QStringLiteral("%1 rooms are no longer listed").arg(gone.size()));
    gone.RemoveNewestFirst();

    for (int list = 0; list < 3; ++list)
        for (size_t index = 0; index < names[list].size(); ++index)
            roomType->GetItem(ToQString(names[list][index])) +=
                T(types::kUserCount)->GetItem(Value(counts[list][index]));

    // Each list is the whole truth about the own roles, so rooms missing from it lose the role.
    auto applyRole = [roomType](const char* i_flag, const std::vector<std::string>& i_rooms) {
        QSet<QString> listed;
        for (const std::string& name : i_rooms)
            listed.insert(ToQString(name));
        for (ItemPtr room : T(i_flag)->GetItems().GetItems(types::kRoom))
            if (!listed.contains(room.AsString()))
                room.Disconnect(i_flag);
        for (const QString& name : listed)
            roomType->GetItem(name) += Flag(i_flag);
    };
    applyRole(types::kIsOwner, names[1]);
    applyRole(types::kIsMember, names[2]);
    applyRole(types::kIsOperator, operated);
    return true;
}

bool Server::HandleAdminMessage(InputStream& i_in)
{
    QString text;
    if (!i_in.Read(text))
        return false;
    emit AdminMessage(text);
    return true;
}

bool Server::HandlePrivilegedUsers(InputStream& i_in)
{
    std::vector<std::string> users;
    if (!ReadList(i_in, users))
        return false;
    m_privilegedUsers.clear();
    for (const std::string& name : users)
        m_privilegedUsers.insert(ToQString(name));
    // Only users already known get the flag; the rest get it when they turn up.
    for (ItemPtr user : T(types::kIsPrivileged)->GetItems().GetItems(types::kUser))
        if (!m_privilegedUsers.contains(user.AsString()))
            user.Disconnect(types::kIsPrivileged);
    for (const QString& name : m_privilegedUsers)
        if (ItemPtr user = T(types::kUser)->HasItem(name))
            user += Flag(types::kIsPrivileged);
    return true;
}

bool Server::HandlePossibleParents(InputStream& i_in)
{
    quint32 count = 0;
    if (!i_in.ReadCount(count))
        return false;
    QVector<ParentCandidate> parents;
    for (quint32 index = 0; index < count; ++index)
    {
        ParentCandidate candidate;
        if (!i_in.Read(candidate.m_user) || !i_in.Read(candidate.m_address))
            return false;
        parents.append(candidate);
    }
    emit PossibleParents(parents);
    return true;
}

bool Server::HandleEmbeddedMessage(InputStream& i_in)
{
    quint8 code = 0;
    if (!i_in.Read(code))
        return false;
    MemStream& stream = i_in.GetStream();
    emit EmbeddedMessage(code, QByteArray(stream.GetReadPointer(), static_cast<int>(stream.BytesLeft())));
    return true;
}

bool Server::HandleCheckPrivileges(InputStream& i_in)
{
    quint32 seconds = 0;
    if (!i_in.Read(seconds))
        return false;
    SetSettingNumber(settings::kPrivilegesTimeLeft, seconds);
    emit ReceivedOwnPrivilegesStatus(static_cast<int>(seconds));
    return true;
}

// The rooms held are those of the latest room list and those the user is in, enters by itself
// (all of them in the store) or has asked to enter; the server makes no other with its row.
ItemPtr Server::HeldRoom(const QString& i_room, quint32 i_code)
{
    if (ItemPtr room = T(types::kRoom)->HasItem(i_room))
        return room;
    if (m_joinsSent.contains(i_room) || m_joinAnswersDue.contains(i_room))
        return T(types::kRoom)->GetItem(i_room);
    Log(kArea, 1, QStringLiteral("Message %1 names the room %2, which is not listed; ignored").arg(i_code).arg(i_room));
    return ItemPtr();
}

bool Server::HandleMemberList(InputStream& i_in, quint32 i_code, const char* i_nodeType)
{
    QString roomName;
    std::vector<std::string> users;
    if (!i_in.Read(roomName) || !ReadList(i_in, users))
        return false;
    ItemPtr room = HeldRoom(roomName, i_code);
    if (!room)
        return true;
    ItemPtr node = room.NewItem(i_nodeType);
    node.Disconnect(types::kUser);
    for (const std::string& name : users)
        node += T(types::kUser)->GetItem(ToQString(name));
    return true;
}

bool Server::HandleMemberChange(InputStream& i_in, quint32 i_code, const char* i_nodeType, bool i_add)
{
    QString roomName, userName;
    if (!i_in.Read(roomName) || !i_in.Read(userName))
        return false;
    ItemPtr room = HeldRoom(roomName, i_code);
    if (!room)
        return true;
    ItemPtr node = room.NewItem(i_nodeType);
    if (i_add)
        node += T(types::kUser)->GetItem(userName);
    else if (ItemPtr user = T(types::kUser)->HasItem(userName))
        node -= user;
    return true;
}

bool Server::HandleOwnRoomFlag(InputStream& i_in, quint32 i_code, const char* i_flagType, bool i_add)
{
    QString roomName;
    if (!i_in.Read(roomName))
        return false;
    if (!i_add)
    {
        if (ItemPtr room = T(types::kRoom)->HasItem(roomName))
            SetFlag(room, i_flagType, false);
    }
    else if (ItemPtr room = HeldRoom(roomName, i_code))
        room += Flag(i_flagType);
    return true;
}

bool Server::HandleRelatedSearches(InputStream& i_in)
{
    QString query;
    std::vector<std::pair<std::string, quint32>> related;
    if (!i_in.Read(query) || !ReadList(i_in, related))
        return false;
    ItemPtr text = T(types::kSearchRequestText)->GetItem(query);
    text.GetItems(types::kSearchCorrelation).Remove();
    for (const auto& entry : related)
    {
        ItemPtr correlation = T(types::kSearchCorrelation)->NewItem();
        text += correlation;
        correlation += T(types::kCorrelationText)->GetItem(ToQString(entry.first));
        correlation += T(types::kCorrelationRank)->GetItem(Value(entry.second));
    }
    emit SearchCorrelations(query);
    return true;
}

// ---- requests ----

void Server::GetRoomList()
{
    SetSetting(settings::kAcceptRoomList, QStringLiteral("yes"));
    Send(SM_ROOM_LIST, MemStream());
}

void Server::EnterRoom(QString i_room, bool i_isPrivate)
{
    if (m_state != StateLoggedIn || m_joinsSent.contains(i_room))
        return;
    if (Send(SM_JOIN_ROOM, StreamOf(i_room, qint32(i_isPrivate ? 1 : 0))))
    {
        m_joinsSent.insert(i_room);
        ++m_joinAnswersDue[i_room];
    }
}

void Server::LeaveRoom(QString i_room)
{
    ItemPtr room = T(types::kRoom)->HasItem(i_room);
    if (!room || !room.IsConnected(types::kInRoom))
        return;
    if (m_state != StateLoggedIn)
    {
        // Nothing will answer, so the room is left here; otherwise its tab and search entry stay.
        room.Disconnect(types::kInRoom);
        return;
    }
    Send(SM_LEAVE_ROOM, StreamOf(i_room));
    m_joinsSent.remove(i_room);
}

void Server::SendRoomChat(QString i_room, QString i_text)
{
    Send(SM_ROOM_CHAT, StreamOf(i_room, i_text));
}

void Server::GiveUpPrivateRoom(QString i_room)
{
    Send(SM_PRIVATE_ROOM_DISOWN, StreamOf(i_room));
}

void Server::GiveUpPrivateRoomMembership(QString i_room)
{
    Send(SM_PRIVATE_ROOM_CANCEL_MEMBERSHIP, StreamOf(i_room));
}

void Server::EnablePrivateRoomAdd(bool i_enable)
{
    Send(SM_PRIVATE_ROOM_TOGGLE, StreamOf(quint8(i_enable ? 1 : 0)));
}

void Server::AddPrivateRoomMember(QString i_room, QString i_user)
{
    Send(SM_PRIVATE_ROOM_ADD_USER, StreamOf(i_room, i_user));
}

void Server::RemovePrivateRoomMember(QString i_room, QString i_user)
{
    Send(SM_PRIVATE_ROOM_REMOVE_USER, StreamOf(i_room, i_user));
}

void Server::AddPrivateRoomOperator(QString i_room, QString i_user)
{
    Send(SM_PRIVATE_ROOM_ADD_OPERATOR, StreamOf(i_room, i_user));
}

void Server::RemovePrivateRoomOperator(QString i_room, QString i_user)
{
    Send(SM_PRIVATE_ROOM_REMOVE_OPERATOR, StreamOf(i_room, i_user));
}

void Server::SendPrivateChat(QString i_user, QString i_text)
{
    i_text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    i_text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    // Only a message that left reports as sent: the message list records what this signal says.
    if (Send(SM_PRIVATE_MESSAGE, StreamOf(i_user, i_text)))
        emit PrivateChatSent(i_user, i_text);
}

void Server::AddUser(QString i_user)
{
    Send(SM_WATCH_USER, StreamOf(i_user));
}

void Server::TrackUser(QString i_user)
{
    ItemPtr user = T(types::kUser)->GetItem(i_user);
    if (user.IsConnected(types::kIsTracked))
        return;
    user += Flag(types::kIsTracked);
    AddUser(i_user);
}

void Server::GetUserStats(QString i_user)
{
    Send(SM_GET_USER_STATS, StreamOf(i_user));
}

void Server::GiftPrivileges(QString i_user, int i_days)
{
    Send(SM_GIVE_PRIVILEGES, StreamOf(i_user, qint32(i_days)));
}

void Server::GetOwnPrivilegesStatus()
{
    Send(SM_CHECK_PRIVILEGES, MemStream());
}

void Server::SetAvailabilityStatus(bool i_available)
{
    SetSetting(settings::kAvailabilityStatus, i_available ? QStringLiteral("available") : QStringLiteral("away"));
    Send(SM_SET_STATUS, StreamOf(qint32(i_available ? USER_STATUS_ONLINE : USER_STATUS_AWAY)));
}

void Server::SendFilesFolders(int i_folders, int i_files)
{
    m_sharedFolders = i_folders;
    m_sharedFiles = i_files;
    Send(SM_SHARED_FOLDERS_FILES, StreamOf(static_cast<quint32>(i_folders), static_cast<quint32>(i_files)));
}

void Server::SetSharedCountsSource(SharedCountsSource i_source)
{
    m_sharedCountsSource = std::move(i_source);
}

void Server::SendUploadSpeed(int i_speed)
{
    Send(SM_UPLOAD_SPEED, StreamOf(qint32(i_speed)));
}

unsigned int Server::NextSearchToken(const QString& i_text, bool i_wishList)
{
    const unsigned int token = m_nextSearchToken++;
    ItemPtr request = T(types::kSearchRequest)->GetItem(Value(token));
    request += T(types::kSearchRequestText)->GetItem(i_text);
    if (i_wishList)
        request += Flag(types::kWishlistSearch);
    return token;
}

unsigned int Server::FileSearch(QString i_text, bool i_wishList)
{
    const unsigned int token = NextSearchToken(i_text, i_wishList);
    Send(i_wishList ? SM_WISHLIST_SEARCH : SM_FILE_SEARCH, StreamOf(quint32(token), i_text));
    return token;
}

unsigned int Server::SearchUserList(QString i_text)
{
    const unsigned int token = NextSearchToken(i_text, false);
    if (m_state != StateLoggedIn)
        return token;
    for (ItemPtr user : T(types::kIsOnline)->GetItems().GetItems(types::kUser))
    {
        if (!user.IsConnected(types::kInUserList))
            continue;
        Send(SM_USER_SEARCH, StreamOf(user.AsString(), quint32(token), i_text));
    }
    return token;
}

unsigned int Server::SearchRoom(QString i_room, QString i_text)
{
    const unsigned int token = NextSearchToken(i_text, false);
    Send(SM_ROOM_SEARCH, StreamOf(i_room, quint32(token), i_text));
    return token;
}

void Server::GetSearchCorrelations(QString i_text)
{
    Send(SM_RELATED_SEARCHES, StreamOf(i_text));
}

void Server::GetPeerAddress(QString i_user)
{
    Send(SM_GET_PEER_ADDRESS, StreamOf(i_user));
}

void Server::ConnectToPeer(quint32 i_token, QString i_user, QString i_type)
{
    Send(SM_CONNECT_TO_PEER, StreamOf(i_token, i_user, i_type));
}

void Server::CantConnectToPeer(quint32 i_token, QString i_user)
{
    Send(SM_CANT_CONNECT_TO_PEER, StreamOf(i_token, i_user));
}

void Server::HaveNoParent(bool i_haveNoParent)
{
    m_haveNoParent = i_haveNoParent;
    Send(SM_HAVE_NO_PARENT, StreamOf(quint8(i_haveNoParent ? 1 : 0)));
}

void Server::AcceptChildren(bool i_accept)
{
    m_acceptChildren = i_accept;
    Send(SM_ACCEPT_CHILDREN, StreamOf(quint8(i_accept ? 1 : 0)));
}

void Server::SendBranchLevel(quint32 i_level)
{
    Send(SM_BRANCH_LEVEL, StreamOf(i_level));
}

void Server::SendBranchRoot(QString i_user)
{
    Send(SM_BRANCH_ROOT, StreamOf(i_user));
}

void Server::SendChildDepth(quint32 i_depth)
{
    Send(SM_CHILD_DEPTH, StreamOf(i_depth));
}

// ---- ticks ----

void Server::EveryHalfMinute()
{
    if (m_state == StateIdle && m_reconnect)
        Connect();
}

void Server::EveryFiveMinutes()
{
    Send(SM_PING, MemStream());
}

void Server::EveryHour()
{
    if (IsSettingOn(settings::kUseUpnp) && mp_portForwarder)
        mp_portForwarder->Renew();
}
