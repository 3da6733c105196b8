#pragma once

// What the system holds for the TCP connections on a local port, read from /proc/net/tcp and
// tcp6, for the bounds of tests and benchmarks that count bytes handed to the system.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// Bytes sent on the established connections of the local port that their peers have not yet taken
// (the send queues), and how many such connections there are.
inline qint64 SendQueues(quint16 i_localPort, int* o_established = nullptr)
{
    constexpr int kEstablished = 1;
    qint64 bytes = 0;
    int established = 0;
    // A listening socket of both families takes IPv4 connections as IPv6 ones.
    for (const QString& name : {QStringLiteral("/proc/net/tcp"), QStringLiteral("/proc/net/tcp6")})
    {
        QFile table(name);
        if (!table.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : table.readAll().split('\n'))
        {
            // "sl local_address rem_address st tx_queue:rx_queue ...", addresses as "HEX:PORT".
            const QList<QByteArray> fields = line.simplified().split(' ');
            const QList<QByteArray> local = fields.value(1).split(':');
            if (fields.size() < 5 || local.size() != 2 || local.at(1).toUInt(nullptr, 16) != i_localPort
                || fields.at(3).toInt(nullptr, 16) != kEstablished)
                continue;
            ++established;
            bytes += fields.at(4).split(':').value(0).toLongLong(nullptr, 16);
        }
    }
    if (o_established)
        *o_established = established;
    return bytes;
}
