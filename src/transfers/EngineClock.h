#pragma once

#include <QtGlobal>

// The transfer engine's time source: UTC milliseconds since the epoch, so that time-outs
// and re-queues survive DST changes; tests set it to step time exactly.
namespace EngineClock
{
qint64 NowMs();
void SetNowForTest(qint64 i_ms);
void AdvanceForTest(qint64 i_ms);
void ResetForTest();
} // namespace EngineClock
