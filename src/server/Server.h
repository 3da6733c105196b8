#pragma once

#include "Data.h"
#include "DataSaver.h"
#include "FrameCodec.h"
#include "MemStream.h"
#include "ServerCodes.h"
#include "TCPAddress.h"
#include "UserStats.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QMetaType>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include <ctime>
#include <functional>
#include <utility>

class PortForwarder;
class QTcpSocket;

// The network's central server unless the settings `server_host` / `server_port` say otherwise.
extern const char* const kDefaultServerHost;
constexpr quint16 kDefaultServerPort = 2242;

// A candidate parent of the distributed search network, as the server offers it.
struct ParentCandidate
{
    QString m_user;
    TCPAddress m_address;
};
Q_DECLARE_METATYPE(ParentCandidate)
Q_DECLARE_METATYPE(QVector<ParentCandidate>)

// The connection to the central server: login, keepalive, reconnection after a drop, every
// server message, and the user and room items those messages keep. Requests made while not
// logged in are dropped unsent; their local effects still happen.
class Server
    : public QObject
    , public DataHandler
    , public DataLoadedEventHandler
{
    Q_OBJECT

public:
    enum State
    {
        StateIdle,
        StateConnecting,
        StateLoggingIn,
        StateLoggedIn
    };

    Server();
    ~Server() override;

    void CreateData();
    void DataLoaded() override;

    void Connect();
    void Disconnect();
    bool IsConnected() const { return m_state == StateLoggedIn; }
    bool IsAbruptlyDisconnected() const { return m_abruptlyDisconnected; }
    State GetState() const { return m_state; }
    // What the connection holds of the server's bytes not handled yet, in the socket and out of it.
    qint64 BytesHeld() const;
    PortForwarder* GetPortForwarder() const { return mp_portForwarder; }
    // Whether a turn of the frames of a read is being handled; FramesTurnEnded tells its end.
    bool IsHandlingFrames() const { return m_inTurn; }

    // Rooms.
    void GetRoomList();
    void EnterRoom(QString i_room, bool i_isPrivate);
    void LeaveRoom(QString i_room);
    void SendRoomChat(QString i_room, QString i_text);
    void GiveUpPrivateRoom(QString i_room);
    void GiveUpPrivateRoomMembership(QString i_room);
    void EnablePrivateRoomAdd(bool i_enable);
    void AddPrivateRoomMember(QString i_room, QString i_user);
    void RemovePrivateRoomMember(QString i_room, QString i_user);
    void AddPrivateRoomOperator(QString i_room, QString i_user);
    void RemovePrivateRoomOperator(QString i_room, QString i_user);

    // Users.
    void SendPrivateChat(QString i_user, QString i_text);
    void AddUser(QString i_user);
    void TrackUser(QString i_user);
    void GetUserStats(QString i_user);
    void GiftPrivileges(QString i_user, int i_days);
    void GetOwnPrivilegesStatus();
    void SetAvailabilityStatus(bool i_available);

    // Own statistics.
    void SendFilesFolders(int i_folders, int i_files);
    // Where the login reads the own folder and file counts from, before it joins any room, so the
    // rooms list the user with them; without one the counts last sent go again. Empty to clear.
    using SharedCountsSource = std::function<std::pair<int, int>()>;
    void SetSharedCountsSource(SharedCountsSource i_source);
    void SendUploadSpeed(int i_speed);

    // Searches; each returns its token, also when the message is dropped.
    unsigned int FileSearch(QString i_text, bool i_wishList);
    unsigned int SearchUserList(QString i_text);
    unsigned int SearchRoom(QString i_room, QString i_text);
    void GetSearchCorrelations(QString i_text);

    // Peer connections: the answers come as PeerAddressReceived, ConnectToPeerRequested and
    // CantConnectToPeerReceived.
    void GetPeerAddress(QString i_user);
    void ConnectToPeer(quint32 i_token, QString i_user, QString i_type);
    void CantConnectToPeer(quint32 i_token, QString i_user);
    // Our own address as the last login's answer gave it; null when it gave none.
    QHostAddress PublicAddress() const { return m_publicAddress; }

    // Distributed network. The two flags are also sent again after every login.
    void HaveNoParent(bool i_haveNoParent);
    void AcceptChildren(bool i_accept);
    void SendBranchLevel(quint32 i_level);
    void SendBranchRoot(QString i_user);
    void SendChildDepth(quint32 i_depth);

public slots:
    // Reads bytes as if they had come from the server while logging in or logged in, then ends
    // the connection: the seam through which tests and fuzz targets reach the message readers
    // without a socket.
    void ReceiveForTest(const QByteArray& i_bytes, bool i_loggedIn);

    void EveryHalfMinute();
    void EveryFiveMinutes();
    void EveryHour();

signals:
    void Connecting();
    void Connected();
    void Disconnected();
    void ConnectionFailed(QString i_reason);

    void RoomChat(QString i_room, QString i_user, QString i_text);
    // The server's answer to a join, after the room's items were updated; also for a room
    // that was still marked as joined.
    void RoomJoined(QString i_room);
    void PrivateChat(QString i_user, QString i_chat, time_t i_time, bool i_spontaneous);
    void PrivateChatSent(QString i_user, QString i_chat);
    void AdminMessage(QString i_message);
    void PrivateRoomAddEnabled(bool i_enabled);
    void ReceivedOwnPrivilegesStatus(int i_seconds);
    void ReceivedUserStats(QString i_user, UserStats i_stats);
    void DirectFileSearch(QString i_user, quint32 i_req, QString i_search);
    void AddUserResponse(QString i_user, bool i_added);
    void WishListWait(uint i_waitPeriod);
    void SearchCorrelations(QString i_search);

    void PeerAddressReceived(QString i_user, TCPAddress i_address, quint16 i_scrambledPort);
    void ConnectToPeerRequested(QString i_user, QString i_type, TCPAddress i_address, quint32 i_token,
                                bool i_privileged, quint16 i_scrambledPort);
    void CantConnectToPeerReceived(quint32 i_token);
    // The server reported a change of a watched user's status (UserStatus).
    void UserStatusReported(QString i_user, quint32 i_status);

    void PossibleParents(QVector<ParentCandidate> i_parents);
    void ParentMinSpeed(quint32 i_bytesPerSecond);
    void ParentSpeedRatio(quint32 i_ratio);
    void EmbeddedMessage(quint8 i_code, QByteArray i_body);
    void ResetDistributed();

    // A turn of the frames of one read ended, i_framesWaiting when some are left for later turns;
    // also told when the connection ends while some wait. A view that follows each message can
    // leave its paint till the last turn, and a burst costs it one paint, not one a turn.
    void FramesTurnEnded(bool i_framesWaiting);

private:
    void OnSocketConnected();
    void OnSocketError(QAbstractSocket::SocketError i_error);
    void OnSocketDisconnected();
    void OnReadyRead();
    void HandleFrames(bool i_sliced);
    void HandleSlice(bool i_sliced);
    void HandleFramesLater();

    void SendLogin();
    bool WriteFrame(quint32 i_code, const MemStream& i_body);
    bool Send(quint32 i_code, const MemStream& i_body);
    void ConnectionLost(const QString& i_reason);
    void EndConnection();
    void ClearUserStatuses();
    void AfterLogin();
    unsigned int NextSearchToken(const QString& i_text, bool i_wishList);

    void HandleMessage(quint32 i_code, MemStream& i_body);
    void HandleLoginReply(InputStream& i_in);
    bool HandlePeerAddress(InputStream& i_in);
    bool HandleWatchUser(InputStream& i_in);
    bool HandleUserStatus(InputStream& i_in);
    bool HandleRoomChat(InputStream& i_in);
    bool HandleJoinRoom(InputStream& i_in);
    bool HandleLeaveRoom(InputStream& i_in);
    bool HandleUserJoinedRoom(InputStream& i_in);
    bool HandleUserLeftRoom(InputStream& i_in);
    bool HandleConnectToPeer(InputStream& i_in);
    bool HandlePrivateMessage(InputStream& i_in);
    bool HandleFileSearch(InputStream& i_in);
    bool HandleUserStats(InputStream& i_in);
    void HandleRelogged();
    bool HandleRoomList(InputStream& i_in);
    bool HandleAdminMessage(InputStream& i_in);
    bool HandlePrivilegedUsers(InputStream& i_in);
    bool HandlePossibleParents(InputStream& i_in);
    bool HandleEmbeddedMessage(InputStream& i_in);
    bool HandleCheckPrivileges(InputStream& i_in);
    bool HandleWishlistInterval(InputStream& i_in);
    bool HandleMemberList(InputStream& i_in, quint32 i_code, const char* i_nodeType);
    bool HandleMemberChange(InputStream& i_in, quint32 i_code, const char* i_nodeType, bool i_add);
    bool HandleOwnRoomFlag(InputStream& i_in, quint32 i_code, const char* i_flagType, bool i_add);
    bool HandleRelatedSearches(InputStream& i_in);

    ItemPtr HeldRoom(const QString& i_room, quint32 i_code);

    void SetUserStatus(const QString& i_user, quint32 i_status);
    void LinkRoomUser(ItemPtr i_room, const QString& i_user, quint32 i_status, const UserStats& i_stats,
                      const QString& i_countryCode);

    QTcpSocket* mp_socket;
    PortForwarder* mp_portForwarder;
    State m_state = StateIdle;
    bool m_abruptlyDisconnected = false;
    // Set by a lost login, cleared by a login, a refusal, Relogged or Disconnect().
    bool m_reconnect = false;
    // A frame is uint32 length (of code and body), uint32 code, body; one longer than the codec's
    // cap closes the connection before a byte of it is kept.
    PlainFrameCodec m_frames;
    QByteArray m_frame;
    QByteArray m_inBuffer;
    int m_inOffset = 0;
    // Frames of one read are handled in slices with the event loop running between them; while
    // some wait for a later turn, what comes stays in the socket, whose buffer is bounded.
    bool m_framesPending = false;
    bool m_inTurn = false;
    // Set when the server closed the connection while frames were still waiting: the loss is
    // told once they were handled, as it was when they were all handled at once.
    QString m_lossPending;
    // Ends a slice posted for an earlier connection.
    quint64 m_connectionSerial = 0;
    unsigned int m_nextSearchToken;
    int m_sharedFolders = 0;
    int m_sharedFiles = 0;
    SharedCountsSource m_sharedCountsSource;
    bool m_haveNoParent = true;
    bool m_acceptChildren = false;
    // Rooms a join was sent for during this login, so a second join request is not repeated.
    QSet<QString> m_joinsSent;
    // Join answers still owed, one per join sent during this login: no answer beyond them is taken.
    QHash<QString, int> m_joinAnswersDue;
    QSet<QString> m_privilegedUsers;
    bool m_typesReady = false;
    QHostAddress m_publicAddress;
};

extern Server* gp_server;
