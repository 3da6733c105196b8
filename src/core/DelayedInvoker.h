#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <map>
#include <utility>

class QTimer;

// One-shot delayed calls of a named slot. A second request for the same target and slot while
// one is pending is ignored; a target destroyed while its call is pending is never called.
class DelayedInvoker : public QObject
{
    Q_OBJECT

public:
    explicit DelayedInvoker(QObject* ip_parent = nullptr);
    ~DelayedInvoker() override;

    // i_slot in the toolkit's SLOT() form ("1Sort()"), or a bare "Sort()".
    void Invoke(QObject* ip_target, const QString& i_slot, int i_ms);
    int PendingCount() const { return static_cast<int>(m_pending.size()); }

private:
    using Key = std::pair<QObject*, QByteArray>;
    struct Pending
    {
        QPointer<QObject> m_target;
        QTimer* m_timer = nullptr;
    };

    void Fire(const Key& i_key);
    void Forget(QObject* ip_target);
    void Unwatch(QObject* ip_target);

    std::map<Key, Pending> m_pending;
    std::map<QObject*, QMetaObject::Connection> m_watched;
};

extern DelayedInvoker* delayedInvoker;
