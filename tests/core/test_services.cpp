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
    bool m_askAgain = false;
    qint64 m_firstSortAt = -1;
    QElapsedTimer* mp_clock = nullptr;

public slots:
    void Sort()
    {
        if (m_sorts++ == 0 && mp_clock)
            m_firstSortAt = mp_clock->elapsed();
        if (m_askAgain && m_sorts == 1)
            delayedInvoker->Invoke(this, QStringLiteral("1Sort()"), 10);
    }
    void Refresh() { ++m_refreshes; }
};

class TestServices : public QObject
{
    Q_OBJECT

private slots:
    void burstGivesOneCall()
    {
        DelayedInvoker invoker;
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

    // Each slot of a target has its own pending call, and a slot may ask for itself again while it runs.
    void slotsAreSeparate()
    {
        DelayedInvoker invoker;
        Target target;
        target.m_askAgain = true;
        invoker.Invoke(&target, QStringLiteral("1Sort()"), 20);
        invoker.Invoke(&target, QStringLiteral("1Refresh()"), 20);
        invoker.Invoke(&target, QStringLiteral("1Refresh()"), 20);
        QTRY_COMPARE_WITH_TIMEOUT(target.m_refreshes, 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(target.m_sorts, 2, 5000);
    }

    void deletedTargetNeverCalled()
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

    // The test hooks tick the one timer each, as the real timeouts would.
    void timersAndTicks()
    {
        TimerManager timers;
        const QTimer* const all[] = {timers.halfMinuteTimer(), timers.fiveMinuteTimer(), timers.hourTimer()};
        const int intervals[] = {30000, 300000, 3600000};
        for (int n = 0; n < 3; ++n)
        {
            QVERIFY(all[n]->isActive() && !all[n]->isSingleShot());
            QCOMPARE(all[n]->interval(), intervals[n]);
        }
        QSignalSpy half(timers.halfMinuteTimer(), &QTimer::timeout);
        QSignalSpy five(timers.fiveMinuteTimer(), &QTimer::timeout);
        QSignalSpy hour(timers.hourTimer(), &QTimer::timeout);
        timers.TickHalfMinute();
        timers.TickHalfMinute();
        timers.TickFiveMinutes();
        QCOMPARE(half.count(), 2);
        QCOMPARE(five.count(), 1);
        QCOMPARE(hour.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServices)
#include "test_services.moc"
