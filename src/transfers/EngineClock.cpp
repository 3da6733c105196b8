#include "EngineClock.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <atomic>

namespace
{
// Negative while the real clock is used.
std::atomic<qint64> s_fixedNow{-1};

// Wall time read once, then carried on by the monotonic clock: a clock set back, or a
// leap in it, neither stalls time-outs nor fires them early.
qint64 RunningNowMs()
{
    static const qint64 s_startMs = QDateTime::currentMSecsSinceEpoch();
    static const QElapsedTimer s_sinceStart = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return s_startMs + s_sinceStart.elapsed();
}
} // namespace

qint64 EngineClock::NowMs()
{
    const qint64 fixed = s_fixedNow.load(std::memory_order_relaxed);
    return fixed >= 0 ? fixed : RunningNowMs();
}

void EngineClock::SetNowForTest(qint64 i_ms)
{
    s_fixedNow.store(i_ms);
}

void EngineClock::AdvanceForTest(qint64 i_ms)
{
    s_fixedNow.store(NowMs() + i_ms);
}

void EngineClock::ResetForTest()
{
    s_fixedNow.store(-1);
}
