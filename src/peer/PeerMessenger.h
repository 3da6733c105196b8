#pragma once

#include "MemStream.h"
#include "PeerConnection.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

#include "Data.h"
#include "DataSaver.h"
#include "FileInfo.h"
#include "TCPAddress.h"

// The client's side of the peer network: the two listening ports, connections to other
// clients (direct and through the server at once), the peer messages and what they turn into.
class PeerMessenger
    : public QObject
    , public DataHandler
    , public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit PeerMessenger(QObject* ip_parent = nullptr);
    ~PeerMessenger() override;

    void DataLoaded() override;
    void NoData() override {}

    // Sends a built message (uint32 code, then the body) over the user's newest "P" connection,
    // or keeps it and connects to the user first.
    void SendMessage(QString i_user, MemStream& i_message);

    void GetUserSharedFiles(QString i_user);
    void GetUserInfo(QString i_user);
    void QueueDownload(QString i_user, std::string i_file);
    void QueueUpload(QString i_user, QString i_file, qint64 i_size);
    uint RequestUpload(QString i_user, QString i_file, qint64 i_size);
    void AcceptTransferRequest(QString i_user, uint i_token, bool i_sendSize, qint64 i_size);
    void DenyTransferRequest(QString i_user, uint i_token, QString i_reason);
    void DenyUpload(QString i_user, QString i_file, QString i_reason);
    void SendUploadPlaceInLine(QString i_user, QString i_file, int i_place);
    // Opens a file connection to the user; the result arrives as FileConnectionAccepted.
    void RequestFileConnectionToUser(QString i_user);

    // Opens a "D" connection to the user, at the given address when one is known (a parent
    // candidate), else at the address the server gives; the result arrives as
    // DistributedConnectionEstablished or ConnectionToUserFailed(user, "D").
    void RequestDistributedConnectionToUser(QString i_user, const QHostAddress& i_address = QHostAddress(),
                                            quint16 i_port = 0);

    // The shares engine builds the answer to a shares-list request.
    using SharedFilesMessageProvider = std::function<MemStream(const QString& i_user)>;
    void SetSharedFilesMessageProvider(SharedFilesMessageProvider i_provider);

    // Ports really listened on (0 when that port could not be bound).
    quint16 ListeningPort() const;
    quint16 ScrambledListeningPort() const;

    // Outgoing connections go to a user's scrambled port when the server reported one.
    void SetPreferScrambledPort(bool i_prefer) { m_preferScrambledPort = i_prefer; }

    // Time limits in milliseconds: opener, idle "P" connection, connection attempt.
    void SetTimeouts(qint64 i_openerMs, qint64 i_idleMs, qint64 i_attemptMs);
    // How long an address from the server is kept, in milliseconds.
    void SetAddressKeepTime(qint64 i_ms) { m_addressKeepMs = i_ms; }

    // A user may answer one search twice (through the server and through the distributed
    // network), but no more than this; and one search holds no more results than this.
    static constexpr int DefaultRepliesPerUserAndSearch = 4;
    static constexpr quint64 DefaultResultsPerSearch = 1000000;
    // 0 is no limit; with both 0 nothing is counted.
    void SetSearchReplyLimits(int i_repliesPerUser, quint64 i_resultsPerSearch);

    // Takes a pending connection off a listening descriptor as accept4 does, with SOCK_CLOEXEC and
    // SOCK_NONBLOCK: the system's own unless a test stands in for it, to have it fail as it chooses.
    using AcceptFunction = std::function<int(int i_listener)>;
    void SetAcceptForTest(AcceptFunction i_accept) { m_accept = std::move(i_accept); }

    // Reads one message as if it had come from the user on a "P" connection: the seam through
    // which tests, benchmarks and fuzz targets reach the message readers without a socket.
    void ReadMessage(const QString& i_user, const QByteArray& i_payload);

    // Connections and attempts this object still holds; lets tests see that nothing leaks.
    int ConnectionCount() const { return int(m_connections.size()); }
    // The most peer connections held at once, incoming and outgoing, from the open-file limit;
    // incoming ones may take all that outgoing ones leave.
    int IncomingConnectionLimit() const { return m_maxIncoming; }
    // Of those, the ones we opened: ours and those the server asked for.
    int OutgoingConnectionCount() const { return OutgoingCount(); }
    // Bytes waiting to be sent: on every peer connection, the distributed and file ones too, what
    // the system has taken of them but the peers not yet, and messages waiting for a connection.
    // The system is asked only when what it may hold passes i_askAbove.
    qint64 WaitingBytes(qint64 i_askAbove = 0) const;
    // What may wait in all; a quarter of it on one connection, and the one answer that passes
    // either. Past it, whoever holds the most gives way.
    static constexpr qint64 DefaultWaitingBytesBudget = qint64(256) << 20;
    void SetWaitingBytesBudget(qint64 i_bytes) { m_waitingBudget = i_bytes; }
    int AttemptCount() const { return int(m_attempts.size()); }

    // Whether a connection from i_from may be the user the server places at i_placed, we being at
    // i_ownPublic: from that address, or, for a user at our own public address, from any machine of
    // our own network (loopback, private, link-local).
    static bool ComesFrom(const QHostAddress& i_from, const QHostAddress& i_placed, const QHostAddress& i_ownPublic);

public slots:
    void EveryHalfMinute();

    // Fed by the server connection.
    void OnPeerAddress(QString i_user, TCPAddress i_address, quint16 i_scrambledPort);
    void OnConnectToPeerRequested(QString i_user, QString i_type, TCPAddress i_address, quint32 i_token,
                                  bool i_privileged, quint16 i_scrambledPort);
    void OnCantConnectToPeer(quint32 i_token);
    // The user's status changed: where the server placed the user may no longer hold.
    void OnUserStatus(QString i_user);

signals:
    void FileTransferRequested(QString i_user, int i_direction, uint i_req, std::string i_file, qint64 i_fileSize);
    void FileTransferResponse(QString i_user, uint i_req, bool i_accepted, bool i_receivedFileSize, qint64 i_fileSize,
                              QString i_denialReason);
    void QueueUploadRequested(QString i_user, QString i_file);
    void DownloadPlaceInLine(QString i_user, std::string i_file, int i_place);
    void UploadFailed(QString i_user, std::string i_file);
    void UploadDenied(QString i_user, std::string i_file, QString i_reason);
    void UploadPlaceInLineRequested(QString i_user, QString i_fileName);
    void QueueDownloadRequested(QString i_user, std::string i_fileName, qint64 i_fileSize);
    // Receivers must be connected directly and must not keep the references.
    void UserShare(QString i_userName, FileInfoMap& i_share, AttributeTranslationTable& i_translationTable);
    void SharedFilesInFolderRequested(QString i_user, quint32 i_req, QString i_folder);
    void UserInfoRequested(QString i_user);
    // The picture buffer lives only for the call.
    void UserInfoReceived(QString i_user, QString i_description, bool i_hasPicture, char* ip_pictureBuffer,
                          int i_pictureBufferLength, int i_uploadSlots, int i_queuedUPloads, bool i_freeUploadSlots);
    void SearchResults(ItemPtr i_searchResults);
    void ConnectionToUserFailed(QString i_user, QString i_type);
    // The receiver owns the socket from here on: no parent, no signal connections.
    void FileConnectionAccepted(QString i_user, QTcpSocket* ip_socket);
    void FileConnectionRequested(QString i_user, QTcpSocket* ip_socket, uint i_requestID);
    // "D" connections, handed over with ownership: one we asked for (a parent candidate) ...
    void DistributedConnectionEstablished(QString i_user, PeerConnection* ip_connection);
    // ... and one the other side asked for (a would-be child).
    void DistributedConnectionReceived(QString i_user, PeerConnection* ip_connection);

private:
    enum class Role
    {
        Incoming,
        Direct,
        ConnectBack
    };

    struct Attempt
    {
        QString user;
        QString type;
        QElapsedTimer started;
        PeerConnection* direct = nullptr;
        bool awaitingAddress = false;
        bool directFailed = false;
        bool relayRefused = false;
    };

    // A "P" attempt that ended because another connection to the user came up first. The user was
    // still asked through the server and will connect back with the token; by then it sends on that
    // connection, so it is taken rather than dropped.
    struct RetiredAttempt
    {
        QString user;
        QElapsedTimer ended;
    };

    // What one search holds, counted as replies come, so that a reply costs the same however
    // many came before it.
    struct SearchTally
    {
        ItemPtr request;
        quint64 results = 0;
        QHash<QString, int> replies;
    };

    struct CachedAddress
    {
        QHostAddress address;
        quint16 port = 0;
        quint16 scrambledPort = 0;
        QElapsedTimer age;
    };

    void Listen();
    void OnNewConnection(QSocketNotifier* ip_notifier, bool i_scrambled);
    // Holds incoming connections to their caps: those awaiting an opener, those of one address,
    // and all of them.
    void LimitIncoming();
    void DropIdleLongest(std::vector<PeerConnection*> i_connections, size_t i_count,
                         std::vector<PeerConnection*>& io_dropped) const;
    void OnAcceptError(QSocketNotifier* ip_notifier, int i_error);
    // Outgoing connections held (ours and those the server asked for), at most MaxOutgoing(); with
    // a user, only the connections back to that user.
    int OutgoingCount(const QString& i_connectBacksOf = QString()) const;
    int MaxOutgoing() const;
    // False, with a log line, when a message to the user on the connection (none: one waiting for
    // a connection), or the answer to a request from the user, would pass what may wait to be sent
    // on it. Past what may wait in all, the connections or queues holding the most give way first.
    bool HasRoomToSend(PeerConnection* ip_connection, quint32 i_code, const QString& i_user, bool i_request);
    PeerConnection* Track(PeerConnection* ip_connection, Role i_role);
    void Forget(PeerConnection* ip_connection);
    void OnConnectionClosed(PeerConnection* ip_connection, const QString& i_reason);
    void OnOpener(PeerConnection* ip_connection, quint8 i_code, const QByteArray& i_body);
    void Drop(PeerConnection* ip_connection);
    // An incoming connection is taken as the user it names (or its token's attempt was for) only
    // when it comes from the address the server gives for that user; until the server has said,
    // it is held and nothing of it is read.
    void CheckIdentity(PeerConnection* ip_connection);
    // The same once the server has placed the user (a null address: offline).
    void Judge(PeerConnection* ip_connection, const QHostAddress& i_placed);
    // Asks the server where the user is, unless that question already waits for its answer; false
    // when too many wait, and the question is asked once one of them has its answer.
    bool AskAddress(const QString& i_user);
    void AskWaitingAddresses();

    quint32 StartAttempt(const QString& i_user, const QString& i_type, const QHostAddress& i_address = QHostAddress(),
                         quint16 i_port = 0);
    void StartDirect(quint32 i_token, const QHostAddress& i_address, quint16 i_port, quint16 i_scrambledPort);
    void CompleteAttempt(quint32 i_token, PeerConnection* ip_connection);
    void CheckAttempt(quint32 i_token);
    void FailAttempt(quint32 i_token);
    bool HasAttempt(const QString& i_user, const QString& i_type) const;
    void RetireAttempt(quint32 i_token, const Attempt& i_attempt);

    // A connection whose user and type are known and whose opener has gone either way.
    void Establish(PeerConnection* ip_connection, bool i_ourRequest);
    void EstablishMessageConnection(PeerConnection* ip_connection);
    void HandOverFileConnection(PeerConnection* ip_connection);
    void HandOverRequestedFileConnection(PeerConnection* ip_connection, quint32 i_token);
    void HandOverDistributed(PeerConnection* ip_connection, bool i_ourRequest);
    PeerConnection* NewestMessageConnection(const QString& i_user) const;

    void OnMessage(PeerConnection* ip_connection, const QByteArray& i_payload);
    // Reads the requests the connection holds unread, in turn, while no answer of theirs waits.
    void ReadDeferred(PeerConnection* ip_connection);
    // Held requests dropped past their bound make a line when a connection's drops begin, then
    // one with their count each HeldDropsLogMs while they go on: a flood of requests makes a few
    // lines a second, not one a request. The drops begin again after a HeldDropsLogMs without any.
    struct HeldDrops
    {
        QString user;
        int unlogged = 0;
        bool recent = true;
    };
    static constexpr int HeldDropsLogMs = 1000;
    void NoteHeldDrops(PeerConnection* ip_connection, int i_count);
    void LogHeldDrops();
    void ReadSharesList(const QString& i_user, MemStream& i_body);
    void ReadSearchReply(const QString& i_user, MemStream& i_body);
    void AnswerSharesListRequest(const QString& i_user);
    void OnSearchRequestRemoved(ItemPtr i_request);

    quint32 NextToken();
    void DeclareRelations();
    quint32 TakeTransferToken();

    // The server connection, reached only through these.
    void ConnectToServer();
    // False when nothing went, so that no answer is to be waited for.
    bool ServerGetPeerAddress(const QString& i_user);
    QHostAddress ServerPublicAddress() const;
    void ServerConnectToPeer(quint32 i_token, const QString& i_user, const QString& i_type);
    void ServerCantConnectToPeer(quint32 i_token, const QString& i_user);

    std::unique_ptr<QTcpServer> m_listener;
    std::unique_ptr<QTcpServer> m_scrambledListener;
    std::vector<PeerConnection*> m_connections;
    std::map<PeerConnection*, Role> m_roles;
    QHash<QString, std::vector<PeerConnection*>> m_messageConnections;
    std::map<quint32, Attempt> m_attempts;
    std::map<quint32, RetiredAttempt> m_retiredAttempts;
    QHash<QString, std::vector<QByteArray>> m_unsent;
    QHash<QString, qint64> m_unsentBytes;
    QHash<QString, CachedAddress> m_addresses;
    // Users whose address the server was asked for, and since when.
    QHash<QString, QElapsedTimer> m_addressRequests;
    QHash<QString, std::vector<PeerConnection*>> m_unconfirmed;
    std::unordered_map<quint32, SearchTally> m_searchTallies;
    // By the serial of the connection that held the requests.
    std::map<quint64, HeldDrops> m_heldDrops;
    SharedFilesMessageProvider m_sharedFilesProvider;
    AcceptFunction m_accept;
    quint64 m_nextSerial = 1;
    bool m_preferScrambledPort = false;
    bool m_relationsDeclared = false;
    qint64 m_openerTimeoutMs = 30000;
    qint64 m_idleTimeoutMs = 5 * 60 * 1000;
    qint64 m_attemptTimeoutMs = 30000;
    qint64 m_addressKeepMs = 60 * 1000;
    int m_maxIncoming = 768;
    qint64 m_waitingBudget = DefaultWaitingBytesBudget;
    int m_repliesPerUserAndSearch = DefaultRepliesPerUserAndSearch;
    quint64 m_resultsPerSearch = DefaultResultsPerSearch;
};

// Links the item of a file received in a list or a search reply to its `file_size` and to the
// attribute items of its pairs, in list order, so that a code given twice ends linked to its
// later value; other codes are skipped. The types are looked up once, for lists of many files.
class FileAttributeLinker
{
public:
    FileAttributeLinker();
    void Link(ItemPtr& io_file, const FileInfo& i_info) const;

private:
    // A value item of the type, from the few a list uses over and over.
    ItemPtr Cached(Type* ip_type, std::unordered_map<qint32, ItemPtr>& io_cache, qint32 i_value) const;

    Type* mp_sizeType;
    Type* mp_bitrateType;
    Type* mp_lengthType;
    ItemPtr m_variable;
    ItemPtr m_constant;
    mutable std::unordered_map<qint32, ItemPtr> m_bitrates;
    mutable std::unordered_map<qint32, ItemPtr> m_lengths;
};

extern PeerMessenger* peerMessenger;
