#pragma once

#include "FrameCodec.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

class QTcpSocket;

// One TCP connection to another client: the opener frame, then either framed messages
// ("P", "D") or, for a file connection ("F"), the raw transfer token. The socket has no
// parent, so it can be handed over whole.
class PeerConnection : public QObject
{
    Q_OBJECT

public:
    enum class State
    {
        Connecting,
        AwaitingOpener,
        AwaitingToken,
        Open,
        HandedOver,
        Closed
    };

    // Opener codes.
    static constexpr quint8 PierceFirewall = 0;
    static constexpr quint8 PeerInit = 1;
    // An opener is a few dozen bytes and a user name; until it has come, nobody is known to
    // whom a larger frame could be allowed.
    static constexpr quint32 MaxOpenerLength = 4096;
    // Any frame but those of the codes allowed to be large (ExpectFrames) fits in this: no other
    // message holds more than three strings of at most 128 KiB.
    static constexpr quint32 MaxSmallFrameLength = 1u << 20;
    // What all connections together may hold of frames not yet received whole. Past it the
    // connection that has held its partial frame longest goes, so a few slow senders cannot keep
    // everyone else's large messages out; one address may hold no more than its share.
    static constexpr qint64 DefaultPartialFrameBudget = qint64(256) << 20;
    static void SetPartialFrameBudget(qint64 i_bytes);
    static qint64 PartialFrameBytes();
    static qint64 PartialFrameShareOfAddress();
    // A partial frame older than the grace must have come at least this fast since it was last
    // looked at, or it is dropped (DropSlowPartialFrames, every half minute) when another
    // connection wants the room: less than a quarter of the budget, or of the address's share, is
    // left, and someone else holds part of a frame there. Alone, a slow uplink takes its time.
    static constexpr qint64 PartialFrameGraceMs = 30000;
    static constexpr qint64 MinPartialFrameBytesPerSecond = 64 * 1024;
    static void DropSlowPartialFrames();
    // Moves the clock of partial frames ahead, so tests need not wait for the grace.
    static void AdvancePartialFrameClockForTest(qint64 i_ms);

    // What the system may hold of a message connection's bytes not yet sent (LimitSystemSendQueue);
    // the rest waits in our own buffer. A peer that reads nothing closes its window, so this and
    // the segment being filled is all the system keeps for it, while what is under way to a peer
    // that reads follows the system's own sizing.
    static constexpr int SystemUnsentBytes = 128 * 1024;
    // Zero leaves it to the system, as for file connections; for benchmarks, before connections come.
    static void SetSystemUnsentBytes(int i_bytes);
    // Bytes waiting to be sent on every connection that exists, whoever owns it (the messenger,
    // the distributed network), and on the file connections the transfers write to. The system is
    // asked what its queues hold only when what they may hold passes i_askAbove (WaitingBytes).
    static qint64 WaitingBytesOfAll(qint64 i_askAbove = 0);
    // Who gives way first, of the connections on which bytes wait (GiveWayRank): those whose peers'
    // windows hold the system back (HeldBy), the one that has taken least of late first, so that a peer
    // that never reads goes before any that reads, and of those that took alike the one with the most
    // waiting; then those the network holds back, and last those not judged yet, each the one still
    // longest first. Where the system does not give the window, those stalled go first, the one that
    // took least first, then the one still longest. Null when none waits.
    static PeerConnection* MostWaiting();
    // Each wait (bytes to send after none waited) is judged afresh, over this many of the connection's
    // own round trips as the system reckons them, and not before it has lasted that long nor
    // JudgedAfterMs: a far peer's first flights say nothing of how it reads. A longer wait is judged
    // over its last HoldWindowMs when that is longer, so that a peer that reads between pauses is judged
    // by what holds it back most of the time.
    static constexpr int JudgedOverRoundTrips = 4;
    static constexpr qint64 JudgedAfterMs = 10;
    static constexpr qint64 HoldWindowMs = 1000;
    // A window is shut at this share of the largest the peer has advertised on the connection, or
    // less: the peer leaves bytes it took unread. The peer's window holds a wait back when it held the
    // system back most of the busy time while the peer took, a round trip, no more than a shut window
    // lets through; one kept as wide as the peer's own best holds the system back for the link's sake.
    static constexpr int ShutWindowShare = 2;
    // What a peer has taken of late: over this long, or since its window was first seen shut in the
    // wait when that is later, so that what filled its buffer does not count. A peer that reads steadily
    // through the system's own buffer on this machine is sent bytes only every few seconds. It counts
    // in steps of TakenAlikeBytesPerSecond: the little a full buffer's system still takes does not tell
    // peers that never read apart.
    static constexpr qint64 TakenOverMs = 5000;
    static constexpr qint64 TakenAlikeBytesPerSecond = 4096;
    // Where the system does not give the window: nothing has moved for this long though bytes wait.
    static constexpr qint64 StalledAfterMs = 1000;
    // Upload threads say what their sockets hold; callable from any thread.
    static void CountFileConnectionBytes(qint64 i_delta);

    // Takes ownership of an accepted socket; it waits for the opener.
    PeerConnection(QTcpSocket* ip_socket, bool i_scrambled, QObject* ip_parent = nullptr);
    // Starts an outgoing connection; Connected() or Closed() follows.
    PeerConnection(const QHostAddress& i_address, quint16 i_port, bool i_scrambled, QObject* ip_parent = nullptr);
    ~PeerConnection() override;

    State GetState() const { return m_state; }
    bool IsIncoming() const { return m_incoming; }
    bool IsScrambled() const { return m_codec->IsScrambled(); }
    QString User() const { return m_user; }
    void SetUser(const QString& i_user) { m_user = i_user; }
    QString Type() const { return m_type; }
    void SetType(const QString& i_type) { m_type = i_type; }
    // The relay token this connection answers (0 for a direct one).
    quint32 Token() const { return m_token; }
    void SetToken(quint32 i_token) { m_token = i_token; }
    // Order in which connections became usable; the highest is the newest.
    quint64 Serial() const { return m_serial; }
    void SetSerial(quint64 i_serial) { m_serial = i_serial; }

    // The other end; null until an outgoing connection is up.
    QHostAddress PeerAddress() const { return m_address; }

    qint64 AgeMs() const { return m_created.elapsed(); }
    qint64 IdleMs() const { return m_lastActivity.elapsed(); }
    // The peer waits for us though it sends nothing: we hold part of a frame of its, or what came
    // after its opener while we check who it is, or requests of its held unread.
    bool WaitsForUs() const;
    // Bytes written but not yet sent; lets a forwarder skip a reader that does not keep up.
    qint64 BytesToWrite() const;
    // Those and what the system has taken but the peer not yet: all this connection holds for the
    // peer, each byte once. The system's part is what it held when last asked and all handed to it
    // since; it is asked again only when the sum passes i_askAbove, so that a count costs no call for
    // each connection, and what holds the connection back only when it was last asked LookMs ago or
    // more.
    qint64 WaitingBytes(qint64 i_askAbove = 0) const;
    // How long since the system last took bytes of this connection, or last sent its peer some (as it
    // said when last asked), or bytes began to wait on it.
    qint64 StalledMs() const;
    enum class Holder
    {
        // Judged on too little yet, or the system does not say.
        Unknown,
        // The network: the system sends as fast as the link allows, though the peer's window is open.
        Network,
        // The peer's own window, shut or nearly so most of the time: it does not read, or barely.
        Window
    };
    // What held the system back in sending this connection's bytes in the current wait (above). The
    // system is asked again when it was last asked LookMs ago or more or, until the peer's window has
    // been seen shut, a few round trips ago.
    Holder HeldBy() const;
    // Bytes a second the peer has taken of late (TakenOverMs), counted over no less than the span a
    // wait is judged over.
    qint64 TakenPerSecond() const;
    // How readily this connection gives way past a bound it shares with others, as MostWaiting orders
    // them, for any connection: of two, the greater goes first. One on which nothing waits ranks below
    // all others.
    struct Rank
    {
        int tier = 0;
        qint64 first = 0;
        qint64 second = 0;
        bool operator<(const Rank& i_other) const
        {
            return std::tie(tier, first, second) < std::tie(i_other.tier, i_other.first, i_other.second);
        }
    };
    Rank GiveWayRank() const;
    // The frame just sent is the answer of this code; AnswerWaiting holds while part of it has not
    // left, so that a repeated request need not build the same answer again.
    void NoteAnswer(quint32 i_code);
    bool AnswerWaiting(quint32 i_code) const;
    // Requests held unread until the answer before them has left, oldest first. False, and the
    // request is not held, past MaxDeferredBytes: a peer that asks and never reads holds no more.
    // Each counts its bytes and DeferredOverhead more: its place in the queue, its array's header
    // and the allocator's rounding.
    static constexpr qint64 MaxDeferredBytes = 64 * 1024;
    static constexpr qint64 DeferredOverhead = 64;
    bool Defer(const QByteArray& i_payload);
    bool HasDeferred() const { return !m_deferred.empty(); }
    QByteArray TakeDeferred();
    // Puts the requests held here ahead of those held by o_to, which now answers this peer; the
    // newest of them that pass MaxDeferredBytes there are dropped. Returns how many were dropped.
    int PassDeferredTo(PeerConnection& o_to);

    // Opener frames.
    void SendPeerInit(const QString& i_ownUser, const QString& i_type, quint32 i_token);
    void SendPierceFirewall(quint32 i_token);

    // One frame whose payload starts with the message code.
    void SendFrame(const char* ip_payload, int i_size);
    void SendFrame(const QByteArray& i_payload) { SendFrame(i_payload.constData(), i_payload.size()); }

    // What the system takes of a peer that never reads is held for it all the same: its unsent part
    // is kept small (SystemUnsentBytes), so that the rest waits in our buffer, where the bounds count
    // it. Message connections only: there may be thousands of them, while file and distributed
    // connections have bounds on their numbers of their own.
    void LimitSystemSendQueue();

    // What comes next on the wire; called by the owner, also from inside OpenerReceived. Frames
    // may be large only when their first four bytes (a peer message's code) are in the list.
    void ExpectFrames(std::vector<quint32> i_largeCodes = {});
    void ExpectToken() { Expect(State::AwaitingToken); }

    // Cuts every signal connection of the socket and gives it away; the connection is then inert.
    QTcpSocket* TakeSocket();
    // Closes the socket at once; no Closed() signal follows. What the system holds unsent still
    // goes to the peer, as in the normal course.
    void Close();
    // Closes the socket at once for a bound it passed, and the system drops what it holds for the
    // peer (a reset): a peer that keeps its window shut would otherwise have the system keep a
    // closed connection and its unsent bytes for minutes, counted by no bound. No Closed() follows.
    void Reset();
    // Closes the connection for a bound it passed, as Reset; Closed() follows with the reason.
    void GiveWay(const QString& i_reason);

signals:
    void Connected();
    void OpenerReceived(quint8 i_code, const QByteArray& i_body);
    void FrameReceived(const QByteArray& i_payload);
    void TokenReceived(quint32 i_token);
    // Some of what waited to be sent has left.
    void Written();
    // The connection ended by itself: the peer left, a socket error, or a frame over the limit.
    void Closed(const QString& i_reason);

private:
    // Bytes already buffered are read in the new state, after the caller has returned.
    void Expect(State i_state);
    void Attach();
    void OnConnected();
    void OnReadyRead();
    void OnDisconnected();
    void Fail(const QString& i_reason);
    quint32 FrameLimit() const;
    // Counts what the socket holds of a frame still coming; a frame that begins counts its time
    // from now.
    void Hold(qint64 i_bytes, bool i_frameBegins = false);
    // Closes the connections that must give way for this one's grown frame, this one included
    // when it is the one.
    void MakeRoom();

    QTcpSocket* m_socket = nullptr;
    std::unique_ptr<FrameCodec> m_codec;
    State m_state;
    bool m_incoming;
    bool m_inReadLoop = false;
    QString m_user;
    QString m_type;
    quint32 m_token = 0;
    quint64 m_serial = 0;
    QElapsedTimer m_created;
    QElapsedTimer m_lastActivity;
    QByteArray m_payload;
    QHostAddress m_address;
    std::vector<quint32> m_largeCodes;
    qint64 m_held = 0;
    // Bytes handed to the socket so far, and where the last answer of each noted code ends in them.
    qint64 m_bytesQueued = 0;
    std::vector<std::pair<quint32, qint64>> m_answerEnds;
    // What the system's send queue held when last asked, and the bytes handed to it by then.
    mutable qint64 m_systemQueued = 0;
    mutable qint64 m_handedAtAsk = 0;
    mutable qint64 m_movedMs = 0;
    // Where each frame of at least LargeFrameBytes begins and ends in the bytes handed to the socket,
    // while part of it has not left: the socket keeps such a frame's room whole until it has all gone.
    static constexpr qint64 LargeFrameBytes = 64 * 1024;
    mutable std::deque<std::pair<qint64, qint64>> m_largeFrames;
    // What the system said when asked in the current wait: the last look, and the looks that span
    // what HeldBy judges over, the oldest first. The system is asked again only when the last look is
    // LookMs old, so that a choice among many connections asks it little.
    struct Look
    {
        qint64 ms = -LookMs;
        // Bytes the peer has taken (acknowledged) on this connection so far.
        qint64 taken = 0;
        // Times from the system (-1 when it does not say), in microseconds: busy sending, and held back
        // by the peer's window.
        qint64 busyUs = -1;
        qint64 windowLimitedUs = 0;
    };
    static constexpr qint64 LookMs = 100;
    mutable Look m_look;
    mutable std::deque<Look> m_looks;
    mutable qint64 m_largestWindowBytes = 0;
    mutable qint64 m_roundTripUs = 0;
    mutable qint64 m_leastRoundTripUs = 0;
    // What the peer had taken by some looks of the current wait, one every quarter of TakenOverMs, and
    // by the first look at which its window was shut (or, where the system does not give the window,
    // it had stalled); -1 ms while it has not been.
    mutable std::deque<std::pair<qint64, qint64>> m_takenMarks;
    mutable std::pair<qint64, qint64> m_firstShut{-1, 0};
    qint64 m_waitMs = 0;
    // Begins a wait: bytes are to be sent and none waited. Its judgement starts afresh.
    void BeginWait();
    // Whether the wait is young and its peer's window has not been seen shut yet: the peer may still
    // be filling its buffer. Such a wait is looked at every few of its round trips, by a timer too, as
    // nothing else may ask the system of a peer that takes nothing.
    bool MayBeFilling() const;
    void LookAgainLater() const;
    static void LookWhenDue();
    // The least a wait lasts before it is judged, and the span it is judged over.
    qint64 JudgedAfter() const;
    qint64 JudgedOver() const;
    // Asks the system what its queue holds of this connection, i_handed bytes having been handed to it.
    void AskQueued(qint64 i_handed) const;
    // Asks the system what its queue holds of this connection, and what holds its sending back.
    void Ask() const;
    void AskIfStale() const;
    // Bytes of the socket's own buffer that are kept though sent: the sent part of a large frame.
    qint64 KeptOfSent(qint64 i_sent) const;
    // Notes the frame just handed to the socket, i_bytes long with its header.
    void Queued(qint64 i_bytes);
    std::deque<QByteArray> m_deferred;
    qint64 m_deferredBytes = 0;
    qint64 m_heldSinceMs = 0;
    // What the frame held when its pace was last looked at, and when.
    qint64 m_markMs = 0;
    qint64 m_markBytes = 0;
};
