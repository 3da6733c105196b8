#include "UploadSpeedLimiter.h"

#include "SharedUploadLimit.h"

UploadSpeedLimiter::UploadSpeedLimiter(SharedUploadLimit& i_shared, Clock i_clock, Sleeper i_sleep)
    : m_shared(i_shared)
    , m_clock(std::move(i_clock))
    , m_sleep(std::move(i_sleep))
{
}

void UploadSpeedLimiter::Start()
{
    m_lastSeen = m_shared.Total();
    m_limit = m_lastSeen;
    m_windowStartNs = m_clock();
    m_unpaid = 0;
}

qint64 UploadSpeedLimiter::WindowMs() const
{
    return (m_clock() - m_windowStartNs) / 1000000;
}

bool UploadSpeedLimiter::Step(bool& o_limitChanged)
{
    m_lastSleepMs = 0;
    const int limit = m_shared.PerUpload();
    o_limitChanged = limit != m_lastSeen;
    if (o_limitChanged && m_lastSeen == 0)
    {
        // A limit comes into force: it counts from now, for what is sent from now.
        m_unpaid = 0;
        m_windowStartNs = m_clock();
    }
    m_limit = limit;
    if (limit == 0)
    {
        // The window starts again here too, or the unlimited time would become an allowance
        // the moment a limit comes into force.
        m_windowStartNs = m_clock();
        return true;
    }

    m_shared.Pay(m_unpaid);
    const qint64 target = WindowMs() + m_unpaid / limit;
    for (qint64 elapsed = WindowMs(); elapsed < target; elapsed = WindowMs())
    {
        m_lastSleepMs += target - elapsed;
        if (!m_sleep(target - elapsed))
            return false;
    }

    // Whole milliseconds end the window; the fraction left over starts the next one, so no
    // time is lost to rounding however short the windows are.
    const qint64 dt = WindowMs();
    m_windowStartNs += dt * 1000000;
    const qint64 allowance = qint64(limit) * 1024 * dt / 1000;
    const qint64 surplus = allowance - m_unpaid;
    m_unpaid = 0;
    if (surplus > 0)
        m_shared.Add(surplus);
    return true;
}
