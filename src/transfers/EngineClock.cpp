#include "EngineClock.h"

#include <QDateTime>

#include <atomic>

namespace
{
// Negative while the real clock is used.
std::atomic<qint64> s_fixedNow{-1};
} // namespace

qint64 EngineClock::NowMs()
{
    const qint64 fixed = s_fixedNow.load(std::memory_order_relaxed);
    return fixed >= 0 ? fixed : QDateTime::currentMSecsSinceEpoch();
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
