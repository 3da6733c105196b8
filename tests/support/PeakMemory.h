#pragma once

// A process's peak resident memory, for the memory bounds of tests and benchmarks.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <malloc.h>

// A field of this process's status, or of i_pid's, in MB; -1 when unreadable.
inline double StatusMegabytes(const QByteArray& i_field, qint64 i_pid = 0)
{
    QFile status(i_pid ? QStringLiteral("/proc/%1/status").arg(i_pid) : QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(i_field))
            return line.mid(i_field.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

// The peak (VmHWM) of this process, or of i_pid, in MB since the last reset; -1 when unreadable.
inline double PeakMegabytes(qint64 i_pid = 0)
{
    return StatusMegabytes("VmHWM:", i_pid);
}

// What this process, or i_pid, holds now (VmRSS), in MB; -1 when unreadable.
inline double ResidentMegabytes(qint64 i_pid = 0)
{
    return StatusMegabytes("VmRSS:", i_pid);
}

// Starts this process's peak afresh, giving freed memory back first so that it counts what is in use.
inline bool ResetPeak()
{
    malloc_trim(0);
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}
