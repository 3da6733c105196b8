#pragma once

#include <QtGlobal>

// The transfer engine's time source: milliseconds since the epoch as of the start, advanced by
// a monotonic clock, so that time-outs and re-queues survive DST and clock changes; tests set
// it to step time exactly.
namespace EngineClock
{
qint64 NowMs();
void SetNowForTest(qint64 i_ms);
void AdvanceForTest(qint64 i_ms);
void ResetForTest();
} // namespace EngineClock
