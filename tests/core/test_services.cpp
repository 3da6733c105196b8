#include "DelayedInvoker.h"
#include "TimerManager.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

class Target : public QObject
{
    Q_OBJECT

public:
    int m_sorts = 0;
    int m_refreshes = 0;
    qint64 m_firstSortAt = -1;
    QElapsedTimer* mp_clock = nullptr;

public slots:
    void Sort()
    {
        if (m_sorts++ == 0 && mp_clock)
            m_firstSortAt = mp_clock->elapsed();
    }
    void Refresh() { ++m_refreshes; }
};

class TestServices : public QObject
{
    Q_OBJECT

private slots:
    void burstGivesOneCall();
    void twoSlotsBothCalled();
    void deletedTargetNeverCalled();
    void slotMayAskAgain();
    void timersAndTicks();
};

void TestServices::burstGivesOneCall()
{
    DelayedInvoker invoker;
    QCOMPARE(delayedInvoker, &invoker);
    Target target;
    QElapsedTimer clock;
    clock.start();
    target.mp_clock = &clock;
    for (int i = 0; i < 50; ++i)
        invoker.Invoke(&target, QStringLiteral("1Sort()"), 200);
    QCOMPARE(invoker.PendingCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(target.m_sorts, 1, 5000);
    QVERIFY(target.m_firstSortAt >= 190);
    QCOMPARE(invoker.PendingCount(), 0);
    // A later request is a new call.
    invoker.Invoke(&target, QStringLiteral("Sort()"), 10);
    QTRY_COMPARE_WITH_TIMEOUT(target.m_sorts, 2, 5000);
}

void TestServices::twoSlotsBothCalled()
{
    DelayedInvoker invoker;
    Target target;
    invoker.Invoke(&target, QStringLiteral("1Sort()"), 20);
    invoker.Invoke(&target, QStringLiteral("1Refresh()"), 20);
    invoker.Invoke(&target, QStringLiteral("1Refresh()"), 20);
    QTRY_COMPARE_WITH_TIMEOUT(target.m_refreshes, 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(target.m_sorts, 1, 5000);
}

void TestServices::deletedTargetNeverCalled()
{
    DelayedInvoker invoker;
    auto doomed = std::make_unique<Target>();
    Target survivor;
    invoker.Invoke(doomed.get(), QStringLiteral("1Sort()"), 30);
    invoker.Invoke(&survivor, QStringLiteral("1Sort()"), 60);
    doomed.reset();
    QCOMPARE(invoker.PendingCount(), 1);
    // A new object at the same address must not inherit the pending call either.
    auto reborn = std::make_unique<Target>();
    QTRY_COMPARE_WITH_TIMEOUT(survivor.m_sorts, 1, 5000);
    QCOMPARE(reborn->m_sorts, 0);
}

class Resorter : public QObject
{
    Q_OBJECT

public:
    int m_calls = 0;

public slots:
    void Sort()
    {
        if (++m_calls == 1)
            delayedInvoker->Invoke(this, QStringLiteral("1Sort()"), 10);
    }
};

void TestServices::slotMayAskAgain()
{
    DelayedInvoker invoker;
    Resorter target;
    invoker.Invoke(&target, QStringLiteral("1Sort()"), 10);
    QTRY_COMPARE_WITH_TIMEOUT(target.m_calls, 2, 5000);
}

void TestServices::timersAndTicks()
{
    auto timers = std::make_unique<TimerManager>();
    QCOMPARE(timerManager, timers.get());
    QCOMPARE(timers->halfMinuteTimer()->interval(), 30000);
    QCOMPARE(timers->fiveMinuteTimer()->interval(), 300000);
    QCOMPARE(timers->hourTimer()->interval(), 3600000);
    QVERIFY(timers->halfMinuteTimer()->isActive() && timers->fiveMinuteTimer()->isActive()
            && timers->hourTimer()->isActive());
    QVERIFY(!timers->halfMinuteTimer()->isSingleShot());

    QSignalSpy half(timers->halfMinuteTimer(), &QTimer::timeout);
    QSignalSpy five(timers->fiveMinuteTimer(), &QTimer::timeout);
    QSignalSpy hour(timers->hourTimer(), &QTimer::timeout);
    timers->TickHalfMinute();
    timers->TickHalfMinute();
    timers->TickFiveMinutes();
    timers->TickHour();
    QCOMPARE(half.count(), 2);
    QCOMPARE(five.count(), 1);
    QCOMPARE(hour.count(), 1);
    timers.reset();
    QVERIFY(!timerManager);
}

QTEST_GUILESS_MAIN(TestServices)
#include "test_services.moc"
