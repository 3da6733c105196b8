#pragma once

#include "Wire.h"

// A wire body from its fields: texts as strings, numbers and user statistics as such.
inline void AddField(WireWriter& o_body, const char* ip_text)
{
    o_body.Str(QString::fromUtf8(ip_text));
}
inline void AddField(WireWriter& o_body, const QString& i_text)
{
    o_body.Str(i_text);
}
inline void AddField(WireWriter& o_body, quint32 i_value)
{
    o_body.U32(i_value);
}
inline void AddField(WireWriter& o_body, qint32 i_value)
{
    o_body.I32(i_value);
}
inline void AddField(WireWriter& o_body, quint8 i_value)
{
    o_body.U8(i_value);
}
struct Stats
{
    quint32 m_speed;
    quint64 m_uploads;
    quint32 m_files;
    quint32 m_folders;
};
inline void AddField(WireWriter& o_body, const Stats& i_stats)
{
    o_body.Stats(i_stats.m_speed, i_stats.m_uploads, i_stats.m_files, i_stats.m_folders);
}
template<class... T> QByteArray Body(const T&... i_fields)
{
    WireWriter body;
    (AddField(body, i_fields), ...);
    return body.Body();
}
