#pragma once

#include <QDateTime>

// The local time the chat windows stamp their lines with; tests set it.
QDateTime ChatNow();
// A fixed time for every later ChatNow(); an invalid time returns to the system clock.
void SetChatClockForTest(const QDateTime& i_now);
