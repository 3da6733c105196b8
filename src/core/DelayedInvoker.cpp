#include "DelayedInvoker.h"

#include <QMetaObject>
#include <QTimer>

DelayedInvoker* delayedInvoker = nullptr;

DelayedInvoker::DelayedInvoker(QObject* ip_parent)
    : QObject(ip_parent)
{
    delayedInvoker = this;
}

DelayedInvoker::~DelayedInvoker()
{
    if (delayedInvoker == this)
        delayedInvoker = nullptr;
}

static QByteArray MethodName(const QString& i_slot)
{
    QByteArray name = i_slot.toLatin1();
    // Strip the code digit the toolkit's SLOT() macro puts in front.
    if (!name.isEmpty() && name.at(0) >= '0' && name.at(0) <= '9')
        name.remove(0, 1);
    const int paren = name.indexOf('(');
    if (paren >= 0)
        name.truncate(paren);
    return name;
}

void DelayedInvoker::Invoke(QObject* ip_target, const QString& i_slot, int i_ms)
{
    if (!ip_target)
        return;
    const Key key(ip_target, MethodName(i_slot));
    if (key.second.isEmpty() || m_pending.count(key))
        return;

    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, key]() { Fire(key); });
    // A new object may later reuse the address; drop the pending calls of the old one at once.
    if (!m_watched.count(ip_target))
        m_watched.emplace(ip_target,
                          connect(ip_target, &QObject::destroyed, this, [this, ip_target]() { Forget(ip_target); }));
    m_pending.emplace(key, Pending{QPointer<QObject>(ip_target), timer});
    timer->start(i_ms);
}

void DelayedInvoker::Fire(const Key& i_key)
{
    auto it = m_pending.find(i_key);
    if (it == m_pending.end())
        return;
    QPointer<QObject> target = it->second.m_target;
    it->second.m_timer->deleteLater();
    m_pending.erase(it);
    Unwatch(i_key.first);
    // Erased first, so the slot may ask for its next call.
    if (target)
        QMetaObject::invokeMethod(target.data(), i_key.second.constData(), Qt::DirectConnection);
}

void DelayedInvoker::Forget(QObject* ip_target)
{
    for (auto it = m_pending.begin(); it != m_pending.end();)
    {
        if (it->first.first == ip_target)
        {
            it->second.m_timer->stop();
            it->second.m_timer->deleteLater();
            it = m_pending.erase(it);
        }
        else
            ++it;
    }
    Unwatch(ip_target);
}

void DelayedInvoker::Unwatch(QObject* ip_target)
{
    for (const auto& entry : m_pending)
        if (entry.first.first == ip_target)
            return;
    auto it = m_watched.find(ip_target);
    if (it == m_watched.end())
        return;
    disconnect(it->second);
    m_watched.erase(it);
}
