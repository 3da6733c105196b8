#include "ChatClock.h"

namespace
{
QDateTime g_fixedNow;
}

QDateTime ChatNow()
{
    return g_fixedNow.isValid() ? g_fixedNow : QDateTime::currentDateTime();
}

void SetChatClockForTest(const QDateTime& i_now)
{
    g_fixedNow = i_now;
}
