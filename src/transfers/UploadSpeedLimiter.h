#pragma once

#include <QtGlobal>

#include <functional>

class SharedUploadLimit;

// One upload's share of the total speed limit, kept on the upload's thread between chunks.
// Before each chunk it pays the bytes sent since the last step, first from the budget the
// uploads share, then by sleeping; the allowance of the time that passed beyond that goes to
// the budget for the others.
class UploadSpeedLimiter
{
public:
    // Nanoseconds of a monotonic clock, and a sleep of milliseconds that answers false when a
    // stop cut it short. Tests pass a clock of their own.
    using Clock = std::function<qint64()>;
    using Sleeper = std::function<bool(qint64 i_ms)>;

    UploadSpeedLimiter(SharedUploadLimit& i_shared, Clock i_clock, Sleeper i_sleep);

    // Before the first chunk.
    void Start();
    // Before each chunk. false: a stop was asked for while sleeping. o_limitChanged: the share
    // differs from the one of the previous chunk, so the speed measurement starts again.
    bool Step(bool& o_limitChanged);
    // After each chunk.
    void Sent(qint64 i_bytes) { m_unpaid += i_bytes; }
    void ChunkDone() { m_lastSeen = m_limit; }

    // The share read at the last step; 0: no limit.
    int Limit() const { return m_limit; }
    qint64 Unpaid() const { return m_unpaid; }
    qint64 LastSleepMs() const { return m_lastSleepMs; }

private:
    qint64 WindowMs() const;

    SharedUploadLimit& m_shared;
    Clock m_clock;
    Sleeper m_sleep;
    int m_lastSeen = 0;
    int m_limit = 0;
    qint64 m_windowStartNs = 0;
    qint64 m_unpaid = 0;
    qint64 m_lastSleepMs = 0;
};
