#include "SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

SingleInstance::SingleInstance(const QString& i_applicationId)
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    QDir().mkpath(folder);
    m_path = folder + QLatin1Char('/') + i_applicationId + QStringLiteral(".lock");
    m_lock = std::make_unique<QLockFile>(m_path);
    // A lock left by a crashed process is taken over by QLockFile's stale check.
    m_lock->setStaleLockTime(0);
    m_primary = m_lock->tryLock(0);
}

SingleInstance::~SingleInstance()
{
    if (m_primary)
        m_lock->unlock();
}
