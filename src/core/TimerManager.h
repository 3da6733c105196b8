#pragma once

#include <QObject>
#include <QTimer>

// The three shared repeating timers. Listeners connect to the timers' timeout() themselves;
// tests call the slots to tick by hand, which emit the same timeout() as the timers.
class TimerManager : public QObject
{
    Q_OBJECT

public:
    explicit TimerManager(QObject* ip_parent = nullptr);
    ~TimerManager() override;

    QTimer* halfMinuteTimer() { return &m_halfMinuteTimer; } // 30 s
    QTimer* fiveMinuteTimer() { return &m_fiveMinuteTimer; } // 5 min
    QTimer* hourTimer() { return &m_hourTimer; }             // 1 h

public slots:
    void TickHalfMinute();
    void TickFiveMinutes();
    void TickHour();

private:
    QTimer m_halfMinuteTimer;
    QTimer m_fiveMinuteTimer;
    QTimer m_hourTimer;
};

extern TimerManager* timerManager;
