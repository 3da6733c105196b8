#include "TimerManager.h"

TimerManager* timerManager = nullptr;

TimerManager::TimerManager(QObject* ip_parent)
    : QObject(ip_parent)
{
    m_halfMinuteTimer.setInterval(30000);
    m_fiveMinuteTimer.setInterval(300000);
    m_hourTimer.setInterval(3600000);
    m_halfMinuteTimer.start();
    m_fiveMinuteTimer.start();
    m_hourTimer.start();
    timerManager = this;
}

TimerManager::~TimerManager()
{
    if (timerManager == this)
        timerManager = nullptr;
}

// QTimer::timeout is a private signal; emitting it through the meta-object keeps one signal
// for listeners whether the tick is real or driven by a test.
static void EmitTimeout(QTimer& i_timer)
{
    QMetaObject::invokeMethod(&i_timer, "timeout", Qt::DirectConnection);
}

void TimerManager::TickHalfMinute()
{
    EmitTimeout(m_halfMinuteTimer);
}

void TimerManager::TickFiveMinutes()
{
    EmitTimeout(m_fiveMinuteTimer);
}

void TimerManager::TickHour()
{
    EmitTimeout(m_hourTimer);
}
