#pragma once

// How long the GUI thread keeps events waiting, as a user's input would wait: an event posted
// from another thread at a steady pace, and the longest any waited until the GUI thread ran it.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

class LagProbe
{
public:
    explicit LagProbe(int i_periodMs = 5)
    {
        m_clock.start();
        m_poster = std::thread([this, i_periodMs] {
            while (m_running)
            {
                const qint64 posted = m_clock.nsecsElapsed();
                QMetaObject::invokeMethod(
                    &m_receiver, [this, posted] { m_worstNs = std::max(m_worstNs, Now() - posted); },
                    Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(i_periodMs));
            }
        });
    }
    ~LagProbe() { Stop(); }
    LagProbe(const LagProbe&) = delete;
    LagProbe& operator=(const LagProbe&) = delete;

    void Stop()
    {
        // The wait for the poster's last sleep is the probe's own, not the program's.
        if (m_stoppedNs < 0)
            m_stoppedNs = m_clock.nsecsElapsed();
        m_running = false;
        if (m_poster.joinable())
            m_poster.join();
        QCoreApplication::processEvents();
    }
    double WorstMs() const { return m_worstNs / 1e6; }

private:
    qint64 Now() const { return m_stoppedNs < 0 ? m_clock.nsecsElapsed() : m_stoppedNs; }

    QObject m_receiver;
    QElapsedTimer m_clock;
    std::thread m_poster;
    std::atomic<bool> m_running{true};
    qint64 m_worstNs = 0;    // GUI thread only
    qint64 m_stoppedNs = -1; // GUI thread only
};
