#pragma once

// A fresh store with the settings types and users for each log test case; what a case logged to
// files or recorded for items is gone when it ends.

#include "Data.h"
#include "Log.h"

#include <QDir>

#include <memory>

class LogStore
{
public:
    void Begin()
    {
        m_data = std::make_unique<Data>();
        d = m_data.get();
        DeclareSettingTypes(d);
        d->NewType("user", Primary, false, true);
    }
    void End()
    {
        ClearItemLogRecords();
        QDir(LogFolder()).removeRecursively();
        Drop();
    }
    // Leaves the case without a store.
    void Drop()
    {
        m_data.reset();
        d = nullptr;
    }

private:
    std::unique_ptr<Data> m_data;
};

// The text after "[date time] ".
inline QString LogBody(const QString& i_line)
{
    return i_line.mid(i_line.indexOf(QLatin1String("] ")) + 2);
}
