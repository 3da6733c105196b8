#pragma once

#include "MemStream.h"

#include <QMetaType>

// A user's statistics as the server reports them.
struct UserStats : public Persistent
{
    quint32 m_averageSpeed = 0; // bytes per second
    qint64 m_uploadCount = 0;
    quint32 m_fileCount = 0;
    quint32 m_folderCount = 0;

    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    bool operator==(const UserStats& i_other) const;
    bool operator!=(const UserStats& i_other) const { return !(*this == i_other); }
};

Q_DECLARE_METATYPE(UserStats)
