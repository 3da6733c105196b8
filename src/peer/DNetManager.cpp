#include "DNetManager.h"

#include "CoreSchema.h"
#include "Log.h"
#include "MemStream.h"
#include "PeerConnection.h"
#include "PeerMessenger.h"
#include "PeerSchema.h"
#include "ServerSchema.h"
#include "TimerManager.h"

#include <QTimer>

#include <algorithm>

DNetManager* dnetManager = nullptr;

namespace
{
const QString LogArea = QStringLiteral("Distributed");

QByteArray Message(quint8 i_code, const MemStream& i_body = MemStream())
{
    QByteArray payload;
    payload.reserve(1 + int(i_body.GetLength()));
    payload.append(char(i_code));
    payload.append(i_body.GetBuffer(), int(i_body.GetLength()));
    return payload;
}

QByteArray LevelMessage(quint32 i_level)
{
    return Message(DM_BRANCH_LEVEL, StreamOf(i_level));
}

QByteArray RootMessage(const QString& i_root)
{
    return Message(DM_BRANCH_ROOT, StreamOf(i_root));
}
} // namespace

DNetManager::DNetManager(QObject* ip_parent)
    : QObject(ip_parent)
{
    if (timerManager)
        connect(timerManager->halfMinuteTimer(), &QTimer::timeout, this, &DNetManager::EveryHalfMinute);
    if (gp_server)
    {
        connect(gp_server, &Server::Connected, this, &DNetManager::OnServerConnected);
        connect(gp_server, &Server::PossibleParents, this, &DNetManager::OnPossibleParents);
        connect(gp_server, &Server::ParentMinSpeed, this, &DNetManager::OnParentMinSpeed);
        connect(gp_server, &Server::EmbeddedMessage, this, &DNetManager::OnEmbeddedMessage);
        connect(gp_server, &Server::ResetDistributed, this, &DNetManager::OnResetDistributed);
    }
    if (peerMessenger)
    {
        connect(peerMessenger, &PeerMessenger::DistributedConnectionEstablished, this,
                &DNetManager::OnDistributedConnectionEstablished);
        connect(peerMessenger, &PeerMessenger::DistributedConnectionReceived, this,
                &DNetManager::OnDistributedConnectionReceived);
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this, &DNetManager::OnConnectionToUserFailed);
    }
    m_rateWindow.start();
    FollowUploadSpeed();
    UpdateAcceptChildren();
    dnetManager = this;
}

DNetManager::~DNetManager()
{
    // Closed without goodbyes; nothing is reported to the server any more.
    delete m_parent;
    for (auto& [user, candidate] : m_candidates)
        delete candidate.connection;
    for (auto& [user, child] : m_children)
        for (PeerConnection* connection : child.connections)
            delete connection;
    if (dnetManager == this)
        dnetManager = nullptr;
}

// ---- state ----

QString DNetManager::BranchRoot() const
{
    return m_root.isEmpty() ? OwnUser() : m_root;
}

QStringList DNetManager::Children() const
{
    QStringList users;
    for (const auto& [user, child] : m_children)
        users.append(user);
    return users;
}

bool DNetManager::CanAcceptChildren() const
{
    return GetSettingNumber(settings::kUploadSpeed) >= qint64(m_minSpeed) && int(m_children.size()) < MaxChildren;
}

QString DNetManager::OwnUser() const
{
    return GetSetting(settings::kUsername);
}

void DNetManager::UpdateAcceptChildren()
{
    const bool accept = CanAcceptChildren();
    if (m_acceptTold && accept == m_acceptChildren)
        return;
    m_acceptChildren = accept;
    m_acceptTold = true;
    // The server connection keeps the flag and sends it again after every login.
    if (gp_server)
        gp_server->AcceptChildren(accept);
}

// Every change of a `global` value is checked, so the handler also survives a store that was
// emptied by a failed load and filled again.
void DNetManager::FollowUploadSpeed()
{
    if (m_followingSettings || !d || !d->HasType(types::kGlobal) || !d->HasType(types::kGlobalValue))
        return;
    m_followingSettings = true;
    auto* root = new PathNode(d, types::kGlobal);
    new PathNode(root, types::kGlobalValue, PathOnConnect);
    d->AddPathEventHandler(root, new EventHandler<DNetManager, ItemPtr>(this, &DNetManager::OnSettingChanged));
}

void DNetManager::OnSettingChanged(ItemPtr i_global)
{
    if (i_global.AsStdString() == settings::kUploadSpeed)
        UpdateAcceptChildren();
}

void DNetManager::AskForParent()
{
    m_askAgain = false;
    if (gp_server)
        gp_server->HaveNoParent(true);
}

// ---- server ----

void DNetManager::OnServerConnected()
{
    FollowUploadSpeed();
    UpdateAcceptChildren();
    // The server forgets the tree with every login; the flags themselves are sent again by the
    // server connection.
    if (m_parent && gp_server)
    {
        gp_server->SendBranchLevel(m_level);
        gp_server->SendBranchRoot(BranchRoot());
        gp_server->SendChildDepth(m_depth);
    }
}

void DNetManager::OnPossibleParents(QVector<ParentCandidate> i_parents)
{
    if (m_parent)
        return;
    const QString own = OwnUser();
    for (const ParentCandidate& parent : i_parents)
    {
        if (int(m_waiting.size()) >= MaxWaitingCandidates)
            break;
        const QString& user = parent.m_user;
        const auto same = [&user](const ParentCandidate& i_other) { return i_other.m_user == user; };
        // A child of ours as a parent would close a loop.
        if (user.isEmpty() || user == own || m_children.count(user) != 0 || m_candidates.count(user) != 0
            || std::any_of(m_waiting.begin(), m_waiting.end(), same))
            continue;
        m_waiting.push_back(parent);
    }
    Log(LogArea, 2, QStringLiteral("%1 parent candidates offered").arg(i_parents.size()));
    StartCandidates();
}

void DNetManager::OnParentMinSpeed(quint32 i_bytesPerSecond)
{
    m_minSpeed = i_bytesPerSecond;
    UpdateAcceptChildren();
}

void DNetManager::OnEmbeddedMessage(quint8 i_code, QByteArray i_body)
{
    // The server feeds a branch root this way.
    if (i_code != DM_SEARCH)
    {
        Log(LogArea, 2, QStringLiteral("Ignoring an embedded distributed message with code %1").arg(i_code));
        return;
    }
    if (!TakeFromAbove())
        return;
    QByteArray payload;
    payload.reserve(1 + i_body.size());
    payload.append(char(DM_SEARCH));
    payload.append(i_body);
    HandleSearch(payload);
}

void DNetManager::OnResetDistributed()
{
    Log(LogArea, 1, QStringLiteral("The server reset the distributed network"));
    const bool hadParent = m_parent != nullptr;
    const bool hadChildren = !m_children.empty();
    if (m_parent)
    {
        Discard(m_parent);
        m_parent = nullptr;
        m_parentUser.clear();
    }
    DropCandidates();
    for (auto& [user, child] : m_children)
        for (PeerConnection* connection : child.connections)
            Discard(connection);
    m_children.clear();
    SetBranch(0, QString());
    UpdateDepth();
    UpdateAcceptChildren();
    AskForParent();
    if (hadParent)
        emit ParentChanged(QString());
    if (hadChildren)
        emit ChildrenChanged(0);
}

// ---- connections ----

void DNetManager::Attach(PeerConnection* ip_connection)
{
    ip_connection->setParent(this);
    connect(ip_connection, &PeerConnection::FrameReceived, this,
            [this, ip_connection](const QByteArray& i_payload) { OnFrame(ip_connection, i_payload); });
    connect(ip_connection, &PeerConnection::Closed, this,
            [this, ip_connection](const QString& i_reason) { OnClosed(ip_connection, i_reason); });
}

void DNetManager::Discard(PeerConnection* ip_connection)
{
    if (!ip_connection)
        return;
    ip_connection->disconnect(this);
    ip_connection->Close();
    ip_connection->deleteLater();
}

void DNetManager::OnDistributedConnectionEstablished(QString i_user, PeerConnection* ip_connection)
{
    auto found = m_candidates.find(i_user);
    if (m_parent || found == m_candidates.end() || found->second.connection)
    {
        Log(LogArea, 2, QStringLiteral("Closing an unwanted distributed connection to %1").arg(i_user));
        Discard(ip_connection);
        return;
    }
    found->second.connection = ip_connection;
    found->second.started.restart();
    Attach(ip_connection);
}

void DNetManager::OnDistributedConnectionReceived(QString i_user, PeerConnection* ip_connection)
{
    const bool loop = i_user == m_parentUser || m_candidates.count(i_user) != 0 || i_user == OwnUser();
    const bool known = m_children.count(i_user) != 0;
    if (loop || (!known && !CanAcceptChildren()))
    {
        Log(LogArea, 2, QStringLiteral("Refusing %1 as a child").arg(i_user));
        Discard(ip_connection);
        return;
    }
    Child& child = m_children[i_user];
    child.connections.push_back(ip_connection);
    Attach(ip_connection);
    // A second connection may have crossed one of the child's own; each more one only holds a
    // descriptor and takes every search again, so the oldest goes.
    if (child.connections.size() > size_t(MaxConnectionsPerChild))
    {
        Log(LogArea, 2, QStringLiteral("Closing the oldest distributed connection of %1").arg(i_user));
        Discard(child.connections.front());
        child.connections.erase(child.connections.begin());
    }
    SendBranchTo(ip_connection);
    if (known)
        return;
    Log(LogArea, 2, QStringLiteral("%1 became a child").arg(i_user));
    UpdateDepth();
    UpdateAcceptChildren();
    emit ChildrenChanged(int(m_children.size()));
}

void DNetManager::OnConnectionToUserFailed(QString i_user, QString i_type)
{
    if (i_type != QLatin1String("D"))
        return;
    auto found = m_candidates.find(i_user);
    if (found == m_candidates.end() || found->second.connection)
        return;
    Log(LogArea, 2, QStringLiteral("The parent candidate %1 cannot be reached").arg(i_user));
    m_candidates.erase(found);
    StartCandidates();
}

void DNetManager::OnClosed(PeerConnection* ip_connection, const QString& i_reason)
{
    if (ip_connection == m_parent)
    {
        LoseParent(i_reason);
        return;
    }
    for (auto it = m_candidates.begin(); it != m_candidates.end(); ++it)
        if (it->second.connection == ip_connection)
        {
            Discard(ip_connection);
            m_candidates.erase(it);
            StartCandidates();
            return;
        }
    for (auto& [user, child] : m_children)
    {
        auto found = std::find(child.connections.begin(), child.connections.end(), ip_connection);
        if (found == child.connections.end())
            continue;
        if (child.connections.size() > 1)
        {
            // The twin it did not keep; the child stays.
            Discard(ip_connection);
            child.connections.erase(found);
        }
        else
            DropChild(user, i_reason);
        return;
    }
}

void DNetManager::OnFrame(PeerConnection* ip_connection, const QByteArray& i_payload)
{
    if (ip_connection == m_parent)
    {
        if (TakeFromAbove())
            OnParentFrame(i_payload, false);
        return;
    }
    for (auto& [user, candidate] : m_candidates)
        if (candidate.connection == ip_connection)
        {
            OnCandidateFrame(user, candidate, i_payload);
            return;
        }
    for (auto& [user, child] : m_children)
        if (std::find(child.connections.begin(), child.connections.end(), ip_connection) != child.connections.end())
        {
            OnChildFrame(user, child, i_payload);
            return;
        }
}

// ---- parent ----

void DNetManager::StartCandidates()
{
    if (m_parent)
        return;
    while (int(m_candidates.size()) < MaxCandidateAttempts && !m_waiting.empty())
    {
        const ParentCandidate parent = m_waiting.front();
        m_waiting.pop_front();
        Candidate& candidate = m_candidates[parent.m_user];
        candidate.address = parent.m_address.ToHostAddress();
        candidate.port = parent.m_address.m_port;
        candidate.started.start();
        if (peerMessenger)
            peerMessenger->RequestDistributedConnectionToUser(parent.m_user, candidate.address, candidate.port);
    }
    // Every candidate failed: the server is asked again at the next tick, not in a tight loop.
    if (m_candidates.empty() && m_waiting.empty())
        m_askAgain = true;
}

void DNetManager::OnCandidateFrame(const QString& i_user, Candidate& io_candidate, const QByteArray& i_payload)
{
    if (i_payload.isEmpty())
        return;
    MemStream stream(i_payload.constData() + 1, size_t(i_payload.size() - 1));
    InputStream in(stream);
    const quint8 code = quint8(i_payload.at(0));
    if (code == DM_BRANCH_LEVEL)
    {
        quint32 level = 0;
        if (!in.Read(level))
        {
            Log(LogArea, 1, QStringLiteral("Dropping a short branch level from %1").arg(i_user));
            return;
        }
        // The first candidate to tell its level wins.
        AdoptParent(i_user, level);
    }
    else if (code == DM_BRANCH_ROOT)
    {
        QString root;
        if (in.Read(root))
            io_candidate.root = root;
    }
}

void DNetManager::AdoptParent(const QString& i_user, quint32 i_parentLevel)
{
    // The name may live in the candidate list, which is emptied below.
    const QString user = i_user;
    auto found = m_candidates.find(user);
    if (found == m_candidates.end())
        return;
    m_parent = found->second.connection;
    m_parentUser = user;
    const QString root = found->second.root.isEmpty() ? user : found->second.root;
    found->second.connection = nullptr;
    m_candidates.erase(found);
    DropCandidates();
    Log(LogArea, 1,
        QStringLiteral("%1 is the distributed parent, at level %2").arg(user, QString::number(i_parentLevel)));

    if (gp_server)
        gp_server->HaveNoParent(false);
    SetBranch(i_parentLevel + 1, root);
    if (gp_server)
    {
        gp_server->SendBranchLevel(m_level);
        gp_server->SendBranchRoot(BranchRoot());
    }
    if (m_depth > 0)
        m_parent->SendFrame(Message(DM_CHILD_DEPTH, StreamOf(m_depth)));
    emit ParentChanged(user);
}

void DNetManager::DropCandidates()
{
    for (auto& [user, candidate] : m_candidates)
        Discard(candidate.connection);
    m_candidates.clear();
    m_waiting.clear();
}

void DNetManager::LoseParent(const QString& i_reason)
{
    Log(LogArea, 1, QStringLiteral("Lost the distributed parent %1: %2").arg(m_parentUser, i_reason));
    Discard(m_parent);
    m_parent = nullptr;
    m_parentUser.clear();
    SetBranch(0, QString());
    AskForParent();
    emit ParentChanged(QString());
}

bool DNetManager::TakeFromAbove()
{
    if (m_rateWindow.elapsed() >= 1000)
    {
        if (m_searchesThisSecond > m_searchRateLimit)
            Log(LogArea, 1,
                QStringLiteral("Dropped %1 distributed messages over the rate limit")
                    .arg(m_searchesThisSecond - m_searchRateLimit));
        m_rateWindow.restart();
        m_searchesThisSecond = 0;
    }
    if (++m_searchesThisSecond <= m_searchRateLimit)
        return true;
    ++m_droppedSearches;
    return false;
}

void DNetManager::OnParentFrame(const QByteArray& i_payload, bool i_embedded)
{
    const auto malformed = [this] {
        Log(LogArea, 1, QStringLiteral("Dropping a malformed distributed message from %1").arg(m_parentUser));
    };
    if (i_payload.isEmpty())
    {
        malformed();
        return;
    }
    MemStream stream(i_payload.constData() + 1, size_t(i_payload.size() - 1));
    InputStream in(stream);
    const quint8 code = quint8(i_payload.at(0));
    switch (code)
    {
    case DM_PING: break;
    case DM_SEARCH: HandleSearch(i_payload); break;
    case DM_BRANCH_LEVEL:
    {
        quint32 level = 0;
        if (!in.Read(level))
            return malformed();
        SetBranch(level + 1, m_root);
        if (gp_server)
            gp_server->SendBranchLevel(m_level);
        break;
    }
    case DM_BRANCH_ROOT:
    {
        QString root;
        if (!in.Read(root))
            return malformed();
        SetBranch(m_level, root);
        if (gp_server)
            gp_server->SendBranchRoot(BranchRoot());
        break;
    }
    case DM_EMBEDDED_MESSAGE:
        // One level of wrapping only.
        if (i_embedded || i_payload.size() < 2)
            return malformed();
        OnParentFrame(i_payload.mid(1), true);
        break;
    default:
        Log(LogArea, 2,
            QStringLiteral("Ignoring the distributed message %1 from %2").arg(QString::number(code), m_parentUser));
        break;
    }
}

void DNetManager::HandleSearch(const QByteArray& i_payload)
{
    MemStream stream(i_payload.constData() + 1, size_t(i_payload.size() - 1));
    InputStream in(stream);
    quint32 subCode = 0;
    QString user;
    quint32 token = 0;
    QString query;
    if (!in.Read(subCode) || !in.Read(user) || !in.Read(token) || !in.Read(query))
    {
        Log(LogArea, 1, QStringLiteral("Dropping a malformed distributed search"));
        return;
    }
    if (subCode != SearchSubCode)
    {
        Log(LogArea, 2, QStringLiteral("Ignoring a distributed search with the sub-code %1").arg(subCode));
        return;
    }
    // Passed on first and unchanged, so the subtree does not wait for our own answer.
    for (auto& [childUser, child] : m_children)
        for (PeerConnection* connection : child.connections)
        {
            if (connection->BytesToWrite() > MaxChildBacklog)
            {
                ++m_skippedForwards;
                continue;
            }
            connection->SendFrame(i_payload);
        }
    emit DNetSearchRequest(user, token, query);
}

// ---- children ----

void DNetManager::OnChildFrame(const QString& i_user, Child& io_child, const QByteArray& i_payload)
{
    if (i_payload.isEmpty())
        return;
    const quint8 code = quint8(i_payload.at(0));
    if (code != DM_CHILD_DEPTH)
        return;
    MemStream stream(i_payload.constData() + 1, size_t(i_payload.size() - 1));
    InputStream in(stream);
    quint32 depth = 0;
    if (!in.Read(depth))
    {
        Log(LogArea, 1, QStringLiteral("Dropping a short child depth from %1").arg(i_user));
        return;
    }
    io_child.depth = depth;
    UpdateDepth();
}

void DNetManager::DropChild(const QString& i_user, const QString& i_reason)
{
    auto found = m_children.find(i_user);
    if (found == m_children.end())
        return;
    Log(LogArea, 2, QStringLiteral("Lost the child %1: %2").arg(i_user, i_reason));
    for (PeerConnection* connection : found->second.connections)
        Discard(connection);
    m_children.erase(found);
    UpdateDepth();
    UpdateAcceptChildren();
    emit ChildrenChanged(int(m_children.size()));
}

// ---- branch ----

void DNetManager::SetBranch(quint32 i_level, const QString& i_root)
{
    const bool levelChanged = i_level != m_level;
    const bool rootChanged = i_root != m_root;
    m_level = i_level;
    m_root = i_root;
    if (!levelChanged && !rootChanged)
        return;
    const QByteArray level = LevelMessage(m_level);
    const QByteArray root = RootMessage(BranchRoot());
    for (auto& [user, child] : m_children)
        for (PeerConnection* connection : child.connections)
        {
            if (levelChanged)
                connection->SendFrame(level);
            if (rootChanged)
                connection->SendFrame(root);
        }
}

void DNetManager::SendBranchTo(PeerConnection* ip_connection) const
{
    ip_connection->SendFrame(LevelMessage(m_level));
    ip_connection->SendFrame(RootMessage(BranchRoot()));
}

void DNetManager::UpdateDepth()
{
    quint32 depth = 0;
    for (const auto& [user, child] : m_children)
        depth = std::max(depth, child.depth + 1);
    if (depth == m_depth)
        return;
    m_depth = depth;
    if (gp_server)
        gp_server->SendChildDepth(m_depth);
    if (m_parent)
        m_parent->SendFrame(Message(DM_CHILD_DEPTH, StreamOf(m_depth)));
}

// ---- ticks ----

void DNetManager::EveryHalfMinute()
{
    FollowUploadSpeed();
    UpdateAcceptChildren();
    // A candidate that connected but never told its level is given up.
    std::vector<QString> silent;
    for (const auto& [user, candidate] : m_candidates)
        if (candidate.connection && candidate.started.elapsed() >= m_candidateTimeoutMs)
            silent.push_back(user);
    for (const QString& user : silent)
    {
        Discard(m_candidates[user].connection);
        m_candidates.erase(user);
    }
    if (!silent.empty())
        StartCandidates();
    if (!m_parent && m_askAgain && m_candidates.empty() && m_waiting.empty() && gp_server && gp_server->IsConnected())
        AskForParent();
}
