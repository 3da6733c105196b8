#pragma once

#include "Data.h"
#include "Server.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <deque>
#include <map>
#include <vector>

class PeerConnection;

// Codes of the messages on a "D" connection (one byte after the frame length).
enum DistributedCode : quint8
{
    DM_PING = 0,
    DM_SEARCH = 3,
    DM_BRANCH_LEVEL = 4,
    DM_BRANCH_ROOT = 5,
    DM_CHILD_DEPTH = 7,
    DM_EMBEDDED_MESSAGE = 93,
};

// The client's place in the network's distributed search tree: one parent that feeds it
// searches, and up to ten children it passes them on to. Parents are found among the
// candidates the server offers; children are taken while `upload_speed` is at least the
// server's ParentMinSpeed.
class DNetManager
    : public QObject
    , public DataHandler
{
    Q_OBJECT

public:
    static constexpr int MaxChildren = 10;
    static constexpr int MaxConnectionsPerChild = 2;
    // Candidate connections open at once.
    static constexpr int MaxCandidateAttempts = 10;
    // Candidates kept beyond those being tried; a longer offer is cut.
    static constexpr int MaxWaitingCandidates = 100;
    static constexpr quint32 SearchSubCode = 49;
    // Searches taken per second from above; more are dropped.
    static constexpr int DefaultSearchRateLimit = 1000;
    // A child with more unsent bytes than this misses searches until it catches up.
    static constexpr qint64 MaxChildBacklog = 1024 * 1024;

    explicit DNetManager(QObject* ip_parent = nullptr);
    ~DNetManager() override;

    bool HasParent() const { return m_parent != nullptr; }
    QString ParentUser() const { return m_parentUser; }
    quint32 BranchLevel() const { return m_level; }
    QString BranchRoot() const;
    quint32 ChildDepth() const { return m_depth; }
    QStringList Children() const;
    int ChildCount() const { return int(m_children.size()); }
    int CandidateCount() const { return int(m_candidates.size() + m_waiting.size()); }
    // Whether children may be taken now: fast enough and room left.
    bool CanAcceptChildren() const;

    void SetSearchRateLimit(int i_perSecond) { m_searchRateLimit = i_perSecond; }
    quint64 DroppedSearches() const { return m_droppedSearches; }
    // Candidates that connected but stay silent longer than this are given up.
    void SetCandidateTimeout(qint64 i_ms) { m_candidateTimeoutMs = i_ms; }

public slots:
    void EveryHalfMinute();

    // Fed by the server connection.
    void OnServerConnected();
    void OnPossibleParents(QVector<ParentCandidate> i_parents);
    void OnParentMinSpeed(quint32 i_bytesPerSecond);
    void OnEmbeddedMessage(quint8 i_code, QByteArray i_body);
    void OnResetDistributed();

    // Fed by the peer messenger, which hands "D" connections over with ownership.
    void OnDistributedConnectionEstablished(QString i_user, PeerConnection* ip_connection);
    void OnDistributedConnectionReceived(QString i_user, PeerConnection* ip_connection);
    void OnConnectionToUserFailed(QString i_user, QString i_type);

signals:
    void DNetSearchRequest(QString i_user, quint32 i_req, QString i_searchText);
    // The parent's user name, empty when the parent was lost or dropped.
    void ParentChanged(QString i_user);
    void ChildrenChanged(int i_count);

private:
    struct Candidate
    {
        QHostAddress address;
        quint16 port = 0;
        PeerConnection* connection = nullptr;
        QString root;
        QElapsedTimer started;
    };

    // A child reached both directly and through the server may show up twice for a moment,
    // until it closes the connection it does not use.
    struct Child
    {
        std::vector<PeerConnection*> connections;
        quint32 depth = 0;
    };

    void Attach(PeerConnection* ip_connection);
    void OnFrame(PeerConnection* ip_connection, const QByteArray& i_payload);
    void OnClosed(PeerConnection* ip_connection, const QString& i_reason);
    void OnCandidateFrame(const QString& i_user, Candidate& io_candidate, const QByteArray& i_payload);
    void OnParentFrame(const QByteArray& i_payload, bool i_embedded);
    void OnChildFrame(const QString& i_user, Child& io_child, const QByteArray& i_payload);

    // False when the rate limit says to drop what came from above.
    bool TakeFromAbove();
    void HandleSearch(const QByteArray& i_payload);

    void StartCandidates();
    void AdoptParent(const QString& i_user, quint32 i_parentLevel);
    void DropCandidates();
    void LoseParent(const QString& i_reason);
    void DropChild(const QString& i_user, const QString& i_reason);
    void Discard(PeerConnection* ip_connection);

    void SetBranch(quint32 i_level, const QString& i_root);
    void SendBranchTo(PeerConnection* ip_connection) const;
    void UpdateDepth();
    void UpdateAcceptChildren();
    void FollowUploadSpeed();
    void OnSettingChanged(ItemPtr i_global);
    void AskForParent();
    QString OwnUser() const;

    PeerConnection* m_parent = nullptr;
    QString m_parentUser;
    quint32 m_level = 0;
    QString m_root; // empty while this client is the root of its branch
    quint32 m_depth = 0;
    std::map<QString, Candidate> m_candidates;
    std::deque<ParentCandidate> m_waiting;
    std::map<QString, Child> m_children;
    quint32 m_minSpeed = 0;
    bool m_acceptChildren = false;
    bool m_acceptTold = false;
    bool m_askAgain = false;
    bool m_followingSettings = false;
    int m_searchRateLimit = DefaultSearchRateLimit;
    int m_searchesThisSecond = 0;
    QElapsedTimer m_rateWindow;
    quint64 m_droppedSearches = 0;
    quint64 m_skippedForwards = 0;
    qint64 m_candidateTimeoutMs = 30000;
};

extern DNetManager* dnetManager;
