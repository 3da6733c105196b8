#pragma once

#include <QtGlobal>

// What the system says of a connection's sending: how long ago it last sent the peer bytes and its
// reckoning of the round trip; how long it has had bytes to send, and how long of that its peer's
// receive window held it back (both counted since the connection began), the window the peer
// advertises now, its segment size and the least round trip seen. Linux says when it last sent and
// the round trip; 5.4 on, all of it; elsewhere the system says nothing.
struct SendHold
{
    qint64 sentAgoMs = -1;
    qint64 roundTripUs = 0;
    bool whole = false;
    quint64 busyUs = 0;
    quint64 windowLimitedUs = 0;
    quint32 windowBytes = 0;
    quint32 segmentBytes = 0;
    quint32 leastRoundTripUs = 0;
};

// What the system does not say keeps its value.
void AskSendHold(int i_fd, SendHold& o_hold);
// For tests: the system answers as one that keeps only this many bytes of its connection record
// (0 for all it has), as an older kernel does; one before Linux 5.4 gives all but the window.
void LimitSendHoldAnswerForTest(int i_bytes);
extern const int SendHoldBytesWithoutWindow;
