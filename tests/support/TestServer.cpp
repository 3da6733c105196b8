#include "TestServer.h"

#include "Wire.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace
{
// The protocol's cap on one frame, kept here apart from the client's own, as the rest of this
// server is written from the protocol table alone.
constexpr quint32 kMaxFrameLength = 64u * 1024u * 1024u;

QString Md5Hex(const QString& i_text)
{
    return QString::fromLatin1(QCryptographicHash::hash(i_text.toUtf8(), QCryptographicHash::Md5).toHex());
}
} // namespace

TestServer::TestServer(QObject* ip_parent)
    : QObject(ip_parent)
    , mp_listener(new QTcpServer(this))
{
    connect(mp_listener, &QTcpServer::newConnection, this, &TestServer::OnNewConnection);
}

TestServer::~TestServer()
{
    for (Client* client : qAsConst(m_clients))
    {
        client->mp_socket->disconnect(this);
        client->mp_socket->abort();
        delete client->mp_socket;
        delete client;
    }
}

bool TestServer::Listen(quint16 i_port)
{
    return mp_listener->listen(QHostAddress::LocalHost, i_port);
}

quint16 TestServer::Port() const
{
    return mp_listener->serverPort();
}

void TestServer::MakeUnreachable(const QString& i_user)
{
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const quint16 dead = closed.serverPort();
    closed.close();
    m_accounts[i_user].m_port = dead;
    m_accounts[i_user].m_scrambledPort = 0;
}

void TestServer::AddAccount(const QString& i_user, const QString& i_password)
{
    m_accounts[i_user].m_password = i_password;
}

void TestServer::SetUserStats(const QString& i_user, quint32 i_speed, quint64 i_uploads, quint32 i_files,
                              quint32 i_folders)
{
    Account& account = m_accounts[i_user];
    account.m_averageSpeed = i_speed;
    account.m_uploads = i_uploads;
    account.m_files = i_files;
    account.m_folders = i_folders;
}

void TestServer::SetRelatedSearches(const QString& i_query, const QList<QPair<QString, quint32>>& i_related)
{
    m_related[i_query] = i_related;
}

void TestServer::QueuePrivateMessage(const QString& i_from, const QString& i_to, const QString& i_text, quint32 i_time)
{
    StoredMessage message{m_nextMessageId++, i_time, i_from, i_to, i_text};
    m_messages.append(message);
    if (Client* client = Online(i_to))
        DeliverMessage(client, message, true);
}

// ---- scripting ----

bool TestServer::SendFrame(const QString& i_user, quint32 i_code, const QByteArray& i_body)
{
    Client* client = Online(i_user);
    if (!client)
        return false;
    Write(client, i_code, i_body);
    return true;
}

bool TestServer::SendRaw(const QString& i_user, const QByteArray& i_bytes)
{
    Client* client = Online(i_user);
    if (!client)
        return false;
    client->mp_socket->write(i_bytes);
    client->mp_socket->flush();
    return true;
}

bool TestServer::SendEmbeddedSearch(const QString& i_user, const QString& i_searcher, quint32 i_token,
                                    const QString& i_query)
{
    const QByteArray search = WireWriter().U32(49).Str(i_searcher).U32(i_token).Str(i_query).Body();
    return SendFrame(i_user, SM_EMBEDDED_MESSAGE, WireWriter().U8(3).Append(search).Body());
}

void TestServer::DropConnection(const QString& i_user)
{
    if (Client* client = Online(i_user))
        RemoveClient(client->m_id);
}

void TestServer::CloseConnection(const QString& i_user)
{
    if (Client* client = Online(i_user))
        client->mp_socket->disconnectFromHost();
}

QList<TestServer::Frame> TestServer::Frames(const QString& i_user) const
{
    if (i_user.isEmpty())
        return m_frames;
    QList<Frame> frames;
    for (const Frame& frame : m_frames)
        if (frame.m_user == i_user)
            frames.append(frame);
    return frames;
}

QList<TestServer::Frame> TestServer::FramesWithCode(quint32 i_code, const QString& i_user) const
{
    QList<Frame> frames;
    for (const Frame& frame : m_frames)
        if (frame.m_code == i_code && (i_user.isEmpty() || frame.m_user == i_user))
            frames.append(frame);
    return frames;
}

QList<quint32> TestServer::Codes(const QString& i_user) const
{
    QList<quint32> codes;
    for (const Frame& frame : m_frames)
        if (i_user.isEmpty() || frame.m_user == i_user)
            codes.append(frame.m_code);
    return codes;
}

bool TestServer::WaitForFrames(quint32 i_code, int i_count, const QString& i_user, int i_timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (FramesWithCode(i_code, i_user).size() < i_count)
    {
        if (timer.elapsed() > i_timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

// ---- connections ----

void TestServer::OnNewConnection()
{
    while (QTcpSocket* socket = mp_listener->nextPendingConnection())
    {
        Client* client = new Client;
        client->m_id = m_nextClientId++;
        client->mp_socket = socket;
        socket->setParent(nullptr);
        m_clients.insert(client->m_id, client);
        ++m_acceptedConnections;
        const int id = client->m_id;
        connect(socket, &QTcpSocket::readyRead, this, [this, id] {
            if (Client* current = m_clients.value(id))
                OnReadyRead(current);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] { RemoveClient(id); });
    }
}

void TestServer::RemoveClient(int i_id)
{
    Client* client = m_clients.take(i_id);
    if (!client)
        return;
    client->mp_socket->disconnect(this);
    client->mp_socket->abort();
    client->mp_socket->deleteLater();
    const QString user = client->m_loggedIn ? client->m_user : QString();
    delete client;
    if (!user.isEmpty() && m_online.value(user) == i_id)
    {
        m_online.remove(user);
        for (auto room = m_rooms.begin(); room != m_rooms.end(); ++room)
            if (room->m_present.contains(user))
                LeaveRoom(user, room.key(), false);
        m_accounts[user].m_status = 0;
        NotifyWatchers(user);
    }
    emit ConnectionClosed(i_id, user);
}

void TestServer::OnReadyRead(Client* ip_client)
{
    const int id = ip_client->m_id;
    ip_client->m_buffer.append(ip_client->mp_socket->readAll());
    int offset = 0;
    for (;;)
    {
        Client* client = m_clients.value(id);
        if (!client)
            return;
        const QByteArray& buffer = client->m_buffer;
        if (buffer.size() - offset < 4)
            break;
        const quint32 length = qFromLittleEndian<quint32>(buffer.constData() + offset);
        if (length > kMaxFrameLength || length < 4)
        {
            RemoveClient(id);
            return;
        }
        if (static_cast<quint32>(buffer.size() - offset - 4) < length)
            break;
        const quint32 code = qFromLittleEndian<quint32>(buffer.constData() + offset + 4);
        const QByteArray body = buffer.mid(offset + 8, static_cast<int>(length) - 4);
        offset += 4 + static_cast<int>(length);
        Handle(client, code, body);
    }
    if (Client* client = m_clients.value(id))
        client->m_buffer.remove(0, offset);
}

void TestServer::Write(Client* ip_client, quint32 i_code, const QByteArray& i_body)
{
    ip_client->mp_socket->write(WireWriter().Append(i_body).Frame(i_code));
}

TestServer::Client* TestServer::Online(const QString& i_user) const
{
    auto found = m_online.constFind(i_user);
    return found == m_online.constEnd() ? nullptr : m_clients.value(*found);
}

QByteArray TestServer::StatsOf(const QString& i_user) const
{
    const Account account = m_accounts.value(i_user);
    return WireWriter().Stats(account.m_averageSpeed, account.m_uploads, account.m_files, account.m_folders).Body();
}

quint32 TestServer::AddressOf(const QString& i_user) const
{
    Client* client = Online(i_user);
    if (!client)
        return 0;
    return m_publicAddresses.value(i_user, client->mp_socket->peerAddress().toIPv4Address());
}

void TestServer::AnswerPeerAddress(Client* ip_client, const QString& i_user)
{
    const Account target = m_accounts.value(i_user);
    const bool online = Online(i_user) != nullptr;
    const quint32 absentAddress = m_absentAddresses.value(i_user, m_absentAddress);
    const bool absentHere = !online && absentAddress != 0;
    Write(ip_client, SM_GET_PEER_ADDRESS,
          WireWriter()
              .Str(i_user)
              .Ip(online ? AddressOf(i_user) : absentAddress)
              .U32(online || absentHere ? target.m_port : 0)
              .U32(online && target.m_scrambledPort ? 1 : 0)
              .U16(online ? static_cast<quint16>(target.m_scrambledPort) : 0)
              .Body());
}

void TestServer::AnswerHeldPeerAddresses(int i_count)
{
    for (; i_count > 0 && !m_heldAddressRequests.isEmpty(); --i_count)
    {
        const QPair<int, QString> request = m_heldAddressRequests.takeFirst();
        if (Client* client = m_clients.value(request.first))
            AnswerPeerAddress(client, request.second);
    }
}

void TestServer::NotifyWatchers(const QString& i_user)
{
    const Account account = m_accounts.value(i_user);
    const QByteArray body = WireWriter().Str(i_user).U32(account.m_status).U8(account.m_privileged ? 1 : 0).Body();
    for (Client* client : qAsConst(m_clients))
        if (client->m_loggedIn && client->m_watching.contains(i_user))
            Write(client, SM_USER_STATUS, body);
}

void TestServer::DeliverMessage(Client* ip_client, const StoredMessage& i_message, bool i_new)
{
    Write(ip_client, SM_PRIVATE_MESSAGE,
          WireWriter()
              .U32(i_message.m_id)
              .U32(i_message.m_time)
              .Str(i_message.m_from)
              .Str(i_message.m_text)
              .U8(i_new ? 1 : 0)
              .Body());
}

// ---- the protocol ----

void TestServer::HandleLogin(Client* ip_client, const QByteArray& i_body)
{
    WireReader in(i_body);
    const QString user = in.Str();
    const QString password = in.Str();
    in.U32();
    const QString digest = in.Str();
    in.U32();
    QString reason;
    if (in.Failed())
        reason = QStringLiteral("INVALIDMESSAGE");
    else if (!m_refusal.isEmpty())
        reason = m_refusal;
    else if (user.isEmpty())
        reason = QStringLiteral("INVALIDUSERNAME");
    else if (digest != Md5Hex(user + password))
        reason = QStringLiteral("INVALIDHASH");
    else if (m_accounts.contains(user) && !m_accounts[user].m_password.isNull()
             && m_accounts[user].m_password != password)
        reason = QStringLiteral("INVALIDPASS");
    if (!reason.isEmpty())
    {
        Write(ip_client, SM_LOGIN, WireWriter().U8(0).Str(reason).Body());
        return;
    }

    if (Client* previous = Online(user))
    {
        Write(previous, SM_RELOGGED, QByteArray());
        previous->mp_socket->flush();
        RemoveClient(previous->m_id);
    }
    Account& account = m_accounts[user];
    if (account.m_password.isNull())
        account.m_password = password;
    account.m_status = 2;
    ip_client->m_user = user;
    ip_client->m_loggedIn = true;
    m_online.insert(user, ip_client->m_id);

    Write(ip_client, SM_LOGIN,
          WireWriter().U8(1).Str(m_greeting).Ip(AddressOf(user)).Str(Md5Hex(password)).U8(0).Body());
    if (m_parentMinSpeed)
        Write(ip_client, SM_PARENT_MIN_SPEED, WireWriter().U32(m_parentMinSpeed).Body());
    for (const StoredMessage& message : qAsConst(m_messages))
        if (message.m_to == user)
            DeliverMessage(ip_client, message, false);
    NotifyWatchers(user);
    emit LoggedIn(user);
}

void TestServer::SendJoinReply(Client* ip_client, const QString& i_room)
{
    const Room& room = m_rooms[i_room];
    const quint32 count = static_cast<quint32>(room.m_present.size());
    WireWriter reply;
    reply.Str(i_room).U32(count);
    for (const QString& user : room.m_present)
        reply.Str(user);
    reply.U32(count);
    for (const QString& user : room.m_present)
        reply.U32(m_accounts.value(user).m_status);
    reply.U32(count);
    for (const QString& user : room.m_present)
        reply.Append(StatsOf(user));
    reply.U32(count);
    for (const QString& user : room.m_present)
        reply.U32(m_accounts.value(user).m_freeSlots);
    reply.U32(count);
    for (const QString& user : room.m_present)
        reply.Str(m_accounts.value(user).m_country);
    if (room.m_private)
    {
        reply.Str(room.m_owner).U32(static_cast<quint32>(room.m_operators.size()));
        for (const QString& user : room.m_operators)
            reply.Str(user);
    }
    Write(ip_client, SM_JOIN_ROOM, reply.Body());
}

void TestServer::LeaveRoom(const QString& i_user, const QString& i_room, bool i_reply)
{
    Room& room = m_rooms[i_room];
    room.m_present.removeAll(i_user);
    if (i_reply)
        if (Client* client = Online(i_user))
            Write(client, SM_LEAVE_ROOM, WireWriter().Str(i_room).Body());
    const QByteArray left = WireWriter().Str(i_room).Str(i_user).Body();
    for (const QString& other : room.m_present)
        if (Client* client = Online(other))
            Write(client, SM_USER_LEFT_ROOM, left);
}

void TestServer::Handle(Client* ip_client, quint32 i_code, const QByteArray& i_body)
{
    Frame frame;
    frame.m_connection = ip_client->m_id;
    frame.m_user = ip_client->m_user;
    frame.m_code = i_code;
    frame.m_body = i_body;
    if (i_code == SM_LOGIN && !ip_client->m_loggedIn)
        frame.m_user = WireReader(i_body).Str();
    m_frames.append(frame);
    emit FrameReceived(frame.m_connection, frame.m_user, i_code, i_body);

    if (!ip_client->m_loggedIn)
    {
        if (i_code == SM_LOGIN)
            HandleLogin(ip_client, i_body);
        return;
    }

    const QString self = ip_client->m_user;
    Account& account = m_accounts[self];
    WireReader in(i_body);
    switch (i_code)
    {
    case SM_SET_LISTEN_PORT:
        account.m_port = in.U32();
        if (in.U32())
            account.m_scrambledPort = in.U32();
        break;
    case SM_GET_PEER_ADDRESS:
        if (m_holdAddressAnswers)
            m_heldAddressRequests.append({ip_client->m_id, in.Str()});
        else
            AnswerPeerAddress(ip_client, in.Str());
        break;
    case SM_WATCH_USER:
    {
        const QString user = in.Str();
        ip_client->m_watching.insert(user);
        WireWriter reply;
        reply.Str(user);
        if (!m_accounts.contains(user))
            reply.U8(0);
        else
        {
            const Account target = m_accounts.value(user);
            reply.U8(1).U32(target.m_status).Append(StatsOf(user));
            if (target.m_status != 0)
                reply.Str(target.m_country);
        }
        Write(ip_client, SM_WATCH_USER, reply.Body());
        break;
    }
    case SM_UNWATCH_USER: ip_client->m_watching.remove(in.Str()); break;
    case SM_ROOM_CHAT:
    {
        const QString room = in.Str();
        const QString text = in.Str();
        if (!m_rooms.contains(room) || !m_rooms[room].m_present.contains(self))
            break;
        const QByteArray relay = WireWriter().Str(room).Str(self).Str(text).Body();
        for (const QString& user : m_rooms[room].m_present)
            if (Client* client = Online(user))
                Write(client, SM_ROOM_CHAT, relay);
        break;
    }
    case SM_JOIN_ROOM:
    {
        const QString name = in.Str();
        const qint32 isPrivate = in.I32();
        if (name.isEmpty())
        {
            Write(ip_client, SM_CANT_CREATE_ROOM, WireWriter().Str(name).Body());
            break;
        }
        const bool created = !m_rooms.contains(name);
        Room& room = m_rooms[name];
        if (created && isPrivate)
        {
            room.m_private = true;
            room.m_owner = self;
        }
        if (!room.m_present.contains(self))
        {
            room.m_present.append(self);
            const QByteArray joined = WireWriter()
                                          .Str(name)
                                          .Str(self)
                                          .U32(account.m_status)
                                          .Append(StatsOf(self))
                                          .U32(account.m_freeSlots)
                                          .Str(account.m_country)
                                          .Body();
            for (const QString& user : room.m_present)
                if (user != self)
                    if (Client* client = Online(user))
                        Write(client, SM_USER_JOINED_ROOM, joined);
        }
        SendJoinReply(ip_client, name);
        break;
    }
    case SM_LEAVE_ROOM:
    {
        const QString room = in.Str();
        if (m_rooms.contains(room) && m_rooms[room].m_present.contains(self))
            LeaveRoom(self, room, true);
        break;
    }
    case SM_CONNECT_TO_PEER:
    {
        const quint32 token = in.U32();
        const QString user = in.Str();
        const QString type = in.Str();
        Client* target = Online(user);
        if (!target)
        {
            Write(ip_client, SM_CANT_CONNECT_TO_PEER, WireWriter().U32(token).Body());
            break;
        }
        Write(target, SM_CONNECT_TO_PEER,
              WireWriter()
                  .Str(self)
                  .Str(type)
                  .Ip(AddressOf(self))
                  .U32(account.m_port)
                  .U32(token)
                  .U8(account.m_privileged ? 1 : 0)
                  .U32(account.m_scrambledPort ? 1 : 0)
                  .U32(account.m_scrambledPort)
                  .Body());
        break;
    }
    case SM_CANT_CONNECT_TO_PEER:
    {
        const quint32 token = in.U32();
        if (Client* target = Online(in.Str()))
            Write(target, SM_CANT_CONNECT_TO_PEER, WireWriter().U32(token).Body());
        break;
    }
    case SM_PRIVATE_MESSAGE:
    {
        const QString to = in.Str();
        const QString text = in.Str();
        QueuePrivateMessage(self, to, text, static_cast<quint32>(QDateTime::currentSecsSinceEpoch()));
        break;
    }
    case SM_PRIVATE_MESSAGE_ACK:
    {
        const quint32 id = in.U32();
        for (int index = 0; index < m_messages.size(); ++index)
            if (m_messages[index].m_id == id && m_messages[index].m_to == self)
            {
                m_messages.removeAt(index);
                break;
            }
        break;
    }
    case SM_FILE_SEARCH:
    case SM_WISHLIST_SEARCH:
    {
        const quint32 token = in.U32();
        const QString query = in.Str();
        const QByteArray relay = WireWriter().Str(self).U32(token).Str(query).Body();
        for (Client* client : qAsConst(m_clients))
            if (client->m_loggedIn && client != ip_client)
                Write(client, SM_FILE_SEARCH, relay);
        break;
    }
    case SM_USER_SEARCH:
    {
        const QString user = in.Str();
        const quint32 token = in.U32();
        const QString query = in.Str();
        if (Client* target = Online(user))
            Write(target, SM_FILE_SEARCH, WireWriter().Str(self).U32(token).Str(query).Body());
        break;
    }
    case SM_ROOM_SEARCH:
    {
        const QString room = in.Str();
        const quint32 token = in.U32();
        const QString query = in.Str();
        const QByteArray relay = WireWriter().Str(self).U32(token).Str(query).Body();
        for (const QString& user : m_rooms.value(room).m_present)
            if (user != self)
                if (Client* target = Online(user))
                    Write(target, SM_FILE_SEARCH, relay);
        break;
    }
    case SM_SET_STATUS:
    {
        const qint32 status = in.I32();
        if (status == 1 || status == 2)
        {
            account.m_status = static_cast<quint32>(status);
            NotifyWatchers(self);
        }
        break;
    }
    case SM_SHARED_FOLDERS_FILES:
        account.m_folders = in.U32();
        account.m_files = in.U32();
        break;
    case SM_UPLOAD_SPEED: account.m_averageSpeed = in.U32(); break;
    case SM_GET_USER_STATS:
    {
        const QString user = in.Str();
        Write(ip_client, SM_GET_USER_STATS, WireWriter().Str(user).Append(StatsOf(user)).Body());
        break;
    }
    case SM_ROOM_LIST:
    {
        WireWriter publicNames, publicCounts, ownedNames, ownedCounts, memberNames, memberCounts, operated;
        quint32 publicCount = 0, ownedCount = 0, memberCount = 0, operatedCount = 0;
        for (auto room = m_rooms.constBegin(); room != m_rooms.constEnd(); ++room)
        {
            const quint32 users = static_cast<quint32>(room->m_present.size());
            if (!room->m_private)
            {
                publicNames.Str(room.key());
                publicCounts.U32(users);
                ++publicCount;
                continue;
            }
            if (room->m_owner == self)
            {
                ownedNames.Str(room.key());
                ownedCounts.U32(users);
                ++ownedCount;
            }
            else if (room->m_members.contains(self))
            {
                memberNames.Str(room.key());
                memberCounts.U32(users);
                ++memberCount;
            }
            if (room->m_operators.contains(self))
            {
                operated.Str(room.key());
                ++operatedCount;
            }
        }
        Write(ip_client, SM_ROOM_LIST,
              WireWriter()
                  .U32(publicCount)
                  .Append(publicNames.Body())
                  .U32(publicCount)
                  .Append(publicCounts.Body())
                  .U32(ownedCount)
                  .Append(ownedNames.Body())
                  .U32(ownedCount)
                  .Append(ownedCounts.Body())
                  .U32(memberCount)
                  .Append(memberNames.Body())
                  .U32(memberCount)
                  .Append(memberCounts.Body())
                  .U32(operatedCount)
                  .Append(operated.Body())
                  .Body());
        break;
    }
    case SM_HAVE_NO_PARENT:
        account.m_haveNoParent = in.U8();
        if (account.m_haveNoParent && !m_possibleParents.isEmpty())
        {
            WireWriter reply;
            reply.U32(static_cast<quint32>(m_possibleParents.size()));
            for (const ParentOffer& parent : qAsConst(m_possibleParents))
                reply.Str(parent.m_user).Ip(parent.m_ip).U32(parent.m_port);
            Write(ip_client, SM_POSSIBLE_PARENTS, reply.Body());
        }
        break;
    case SM_ACCEPT_CHILDREN: account.m_acceptChildren = in.U8(); break;
    case SM_CHECK_PRIVILEGES:
        Write(ip_client, SM_CHECK_PRIVILEGES, WireWriter().U32(account.m_privilegeSeconds).Body());
        break;
    case SM_GIVE_PRIVILEGES:
    {
        const QString user = in.Str();
        const quint32 days = in.U32();
        if (m_accounts.contains(user))
        {
            m_accounts[user].m_privilegeSeconds += days * 86400u;
            m_accounts[user].m_privileged = true;
        }
        break;
    }
    case SM_PRIVATE_ROOM_TOGGLE:
        Write(ip_client, SM_PRIVATE_ROOM_TOGGLE, WireWriter().U8(in.U8() ? 1 : 0).Body());
        break;
    case SM_PRIVATE_ROOM_ADD_USER:
    case SM_PRIVATE_ROOM_REMOVE_USER:
    case SM_PRIVATE_ROOM_ADD_OPERATOR:
    case SM_PRIVATE_ROOM_REMOVE_OPERATOR:
    {
        const QString name = in.Str();
        const QString user = in.Str();
        if (!m_rooms.contains(name) || !m_rooms[name].m_private)
            break;
        Room& room = m_rooms[name];
        if (room.m_owner != self && !room.m_operators.contains(self))
            break;
        const bool members = i_code == SM_PRIVATE_ROOM_ADD_USER || i_code == SM_PRIVATE_ROOM_REMOVE_USER;
        const bool add = i_code == SM_PRIVATE_ROOM_ADD_USER || i_code == SM_PRIVATE_ROOM_ADD_OPERATOR;
        QStringList& list = members ? room.m_members : room.m_operators;
        if (add && !list.contains(user))
            list.append(user);
        else if (!add)
            list.removeAll(user);
        const QByteArray change = WireWriter().Str(name).Str(user).Body();
        QStringList told = room.m_members;
        told.append(room.m_owner);
        for (const QString& member : told)
            if (Client* client = Online(member))
                Write(client, i_code, change);
        quint32 notice = 0;
        if (members)
            notice = add ? SM_PRIVATE_ROOM_ADDED : SM_PRIVATE_ROOM_REMOVED;
        else
            notice = add ? SM_PRIVATE_ROOM_OPERATOR_ADDED : SM_PRIVATE_ROOM_OPERATOR_REMOVED;
        if (Client* target = Online(user))
            Write(target, notice, WireWriter().Str(name).Body());
        break;
    }
    case SM_PRIVATE_ROOM_CANCEL_MEMBERSHIP:
    {
        const QString name = in.Str();
        if (!m_rooms.contains(name) || !m_rooms[name].m_members.contains(self))
            break;
        Room& room = m_rooms[name];
        room.m_members.removeAll(self);
        room.m_operators.removeAll(self);
        Write(ip_client, SM_PRIVATE_ROOM_REMOVED, WireWriter().Str(name).Body());
        if (Client* owner = Online(room.m_owner))
            Write(owner, SM_PRIVATE_ROOM_REMOVE_USER, WireWriter().Str(name).Str(self).Body());
        break;
    }
    case SM_PRIVATE_ROOM_DISOWN:
    {
        const QString name = in.Str();
        if (!m_rooms.contains(name) || m_rooms[name].m_owner != self)
            break;
        const Room room = m_rooms.take(name);
        QStringList told = room.m_members;
        told.append(self);
        for (const QString& member : told)
            if (Client* client = Online(member))
                Write(client, SM_PRIVATE_ROOM_REMOVED, WireWriter().Str(name).Body());
        break;
    }
    case SM_RELATED_SEARCHES:
    {
        const QString query = in.Str();
        const QList<QPair<QString, quint32>> related = m_related.value(query);
        WireWriter reply;
        reply.Str(query).U32(static_cast<quint32>(related.size()));
        for (const auto& entry : related)
            reply.Str(entry.first).U32(entry.second);
        Write(ip_client, SM_RELATED_SEARCHES, reply.Body());
        break;
    }
    default:
        // Ping, branch reports and anything else are only recorded.
        break;
    }
}
