#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

// A second start of the program must leave at once. Qt's lock file stands in for a
// single-application library, since Debian's is built on QCoreApplication.
class SingleInstance
{
public:
    explicit SingleInstance(const QString& i_applicationId);
    ~SingleInstance();

    // True when this process holds the instance lock; false when another live process does.
    bool IsPrimary() const { return m_primary; }
    QString LockPath() const { return m_path; }

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
    bool m_primary = false;
};
