#pragma once

// The loopback test server: the server side of the server protocol for any number of clients on
// 127.0.0.1, with a scripting surface for tests (push any frame, record every received frame,
// drop a connection abruptly, preset answers). It is deliberately written from the protocol
// table alone (Wire.h), not from the client's code, so the two check each other.

#include "ServerCodes.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

class TestServer : public QObject
{
    Q_OBJECT

public:
    struct Frame
    {
        int m_connection = 0;
        QString m_user; // empty before the connection logged in
        quint32 m_code = 0;
        QByteArray m_body;
    };

    struct Account
    {
        QString m_password;
        quint32 m_status = 0; // 0 offline, 1 away, 2 online
        quint32 m_averageSpeed = 0;
        quint64 m_uploads = 0;
        quint32 m_files = 0;
        quint32 m_folders = 0;
        quint32 m_freeSlots = 0;
        QString m_country = QStringLiteral("XX");
        quint32 m_privilegeSeconds = 0;
        bool m_privileged = false;
        quint32 m_port = 0; // from SetListenPort
        quint32 m_scrambledPort = 0;
        quint8 m_haveNoParent = 0;
        quint8 m_acceptChildren = 0;
    };

    struct Room
    {
        QStringList m_present; // in join order
        bool m_private = false;
        QString m_owner;
        QStringList m_members; // private rooms; the owner is not listed
        QStringList m_operators;
    };

    struct ParentOffer
    {
        QString m_user;
        quint32 m_ip = 0x7f000001;
        quint32 m_port = 0;
    };

    explicit TestServer(QObject* ip_parent = nullptr);
    ~TestServer() override;

    // 127.0.0.1; port 0 picks a free one.
    bool Listen(quint16 i_port = 0);
    quint16 Port() const;

    // ---- accounts and login ----
    // A user logging in for the first time is registered with the password given; later logins
    // must give the same password or are refused with "INVALIDPASS".
    void AddAccount(const QString& i_user, const QString& i_password);
    // While set, every login is refused with this reason; empty accepts again.
    void SetRefusal(const QString& i_reason) { m_refusal = i_reason; }
    Account& AccountOf(const QString& i_user) { return m_accounts[i_user]; }
    // Others asking for the user's address get a port nobody listens on, and no scrambled port.
    void MakeUnreachable(const QString& i_user);
    bool HasAccount(const QString& i_user) const { return m_accounts.contains(i_user); }
    // Others asking for the address of a user not logged in get this one (with the user's port,
    // if any) instead of none: raw peers stand for clients of this machine. 0 answers as offline.
    void SetAddressOfAbsentUsers(quint32 i_ip) { m_absentAddress = i_ip; }
    // The same for one user, at an address of its own.
    void SetAddressOfAbsentUser(const QString& i_user, quint32 i_ip) { m_absentAddresses[i_user] = i_ip; }
    // Where the server says it sees a logged-in user (the login answer, GetPeerAddress,
    // ConnectToPeer), as if the user came from behind a router there; by default the address the
    // user connects from.
    void SetPublicAddress(const QString& i_user, quint32 i_ip) { m_publicAddresses[i_user] = i_ip; }
    // While held, questions for a user's address (GetPeerAddress) wait unanswered, in order.
    void HoldPeerAddressAnswers(bool i_hold) { m_holdAddressAnswers = i_hold; }
    int HeldPeerAddressRequests() const { return m_heldAddressRequests.size(); }
    // Answers the oldest held questions, as many as given, as they would have been answered.
    void AnswerHeldPeerAddresses(int i_count);

    // ---- presets answered or pushed by the server ----
    void SetUserStats(const QString& i_user, quint32 i_speed, quint64 i_uploads, quint32 i_files, quint32 i_folders);
    // Pushed after each login when non-zero.
    void SetParentMinSpeed(quint32 i_bytesPerSecond) { m_parentMinSpeed = i_bytesPerSecond; }
    void SetRelatedSearches(const QString& i_query, const QList<QPair<QString, quint32>>& i_related);
    // The answer to HaveNoParent 1; nothing is sent while the list is empty.
    void SetPossibleParents(const QList<ParentOffer>& i_parents) { m_possibleParents = i_parents; }
    Room& RoomOf(const QString& i_room) { return m_rooms[i_room]; }
    // A private message waiting for the user, delivered now when online, else at the next login.
    void QueuePrivateMessage(const QString& i_from, const QString& i_to, const QString& i_text, quint32 i_time);

    // ---- scripting ----
    // Frames and raw bytes to a logged-in user's connection; false when the user is not online.
    bool SendFrame(const QString& i_user, quint32 i_code, const QByteArray& i_body);
    bool SendRaw(const QString& i_user, const QByteArray& i_bytes);
    // A search to a branch root, as EmbeddedMessage (93) carrying a distributed Search (3).
    bool SendEmbeddedSearch(const QString& i_user, const QString& i_searcher, quint32 i_token, const QString& i_query);
    // Closes the user's connection at once, without a goodbye.
    void DropConnection(const QString& i_user);
    // Closes the user's connection once what was written to it has gone.
    void CloseConnection(const QString& i_user);

    QList<Frame> Frames(const QString& i_user = QString()) const;
    QList<Frame> FramesWithCode(quint32 i_code, const QString& i_user = QString()) const;
    QList<quint32> Codes(const QString& i_user = QString()) const;
    void ClearFrames() { m_frames.clear(); }
    // Runs the event loop until i_count frames with the code (from the user, when given) were
    // recorded, or the time is up.
    bool WaitForFrames(quint32 i_code, int i_count = 1, const QString& i_user = QString(), int i_timeoutMs = 5000);

    int OpenConnections() const { return m_clients.size(); }
    int AcceptedConnections() const { return m_acceptedConnections; }
    bool IsLoggedIn(const QString& i_user) const { return m_online.contains(i_user); }

signals:
    void FrameReceived(int i_connection, QString i_user, quint32 i_code, QByteArray i_body);
    void ConnectionClosed(int i_connection, QString i_user);
    void LoggedIn(QString i_user);

private:
    struct Client
    {
        int m_id = 0;
        QTcpSocket* mp_socket = nullptr;
        QByteArray m_buffer;
        QString m_user;
        bool m_loggedIn = false;
        QSet<QString> m_watching;
    };
    struct StoredMessage
    {
        quint32 m_id;
        quint32 m_time;
        QString m_from;
        QString m_to;
        QString m_text;
    };

    void OnNewConnection();
    void OnReadyRead(Client* ip_client);
    void RemoveClient(int i_id);
    void Handle(Client* ip_client, quint32 i_code, const QByteArray& i_body);
    void HandleLogin(Client* ip_client, const QByteArray& i_body);
    void Write(Client* ip_client, quint32 i_code, const QByteArray& i_body);
    Client* Online(const QString& i_user) const;
    void NotifyWatchers(const QString& i_user);
    void DeliverMessage(Client* ip_client, const StoredMessage& i_message, bool i_new);
    void SendJoinReply(Client* ip_client, const QString& i_room);
    void LeaveRoom(const QString& i_user, const QString& i_room, bool i_reply);
    QByteArray StatsOf(const QString& i_user) const;
    quint32 AddressOf(const QString& i_user) const;
    void AnswerPeerAddress(Client* ip_client, const QString& i_user);

    QTcpServer* mp_listener;
    QHash<int, Client*> m_clients;
    QHash<QString, int> m_online; // user -> connection
    QMap<QString, Account> m_accounts;
    QMap<QString, Room> m_rooms;
    QList<StoredMessage> m_messages;
    QHash<QString, QList<QPair<QString, quint32>>> m_related;
    QList<ParentOffer> m_possibleParents;
    QList<Frame> m_frames;
    QString m_refusal;
    const QString m_greeting = QStringLiteral("Welcome to the test server");
    quint32 m_parentMinSpeed = 0;
    quint32 m_absentAddress = 0;
    QHash<QString, quint32> m_absentAddresses;
    QHash<QString, quint32> m_publicAddresses;
    bool m_holdAddressAnswers = false;
    QList<QPair<int, QString>> m_heldAddressRequests; // connection, user asked for
    int m_nextClientId = 1;
    int m_acceptedConnections = 0;
    quint32 m_nextMessageId = 1;
};
