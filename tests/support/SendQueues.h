#pragma once

// What the system holds for the TCP connections on a local port, read from /proc/net/tcp and
// tcp6, for the bounds of tests and benchmarks that count bytes handed to the system.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <algorithm>
#include <initializer_list>

// Bytes sent on the connections of the local port in the given states that their peers have not
// yet taken (the send queues), and how many such connections there are.
inline qint64 SendQueuesIn(quint16 i_localPort, std::initializer_list<int> i_states, int* o_connections = nullptr)
{
    qint64 bytes = 0;
    int connections = 0;
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
                || std::find(i_states.begin(), i_states.end(), fields.at(3).toInt(nullptr, 16)) == i_states.end())
                continue;
            ++connections;
            bytes += fields.at(4).split(':').value(0).toLongLong(nullptr, 16);
        }
    }
    if (o_connections)
        *o_connections = connections;
    return bytes;
}

// The send queues of the established connections of the local port.
inline qint64 SendQueues(quint16 i_localPort, int* o_established = nullptr)
{
    constexpr int kEstablished = 1;
    return SendQueuesIn(i_localPort, {kEstablished}, o_established);
}

// What the system still holds for connections of the local port that this side has closed while
// their peers had not taken all it sent.
inline qint64 ClosedSendQueues(quint16 i_localPort, int* o_closed = nullptr)
{
    constexpr int kFinWait1 = 4;
    constexpr int kLastAck = 9;
    constexpr int kClosing = 11;
    return SendQueuesIn(i_localPort, {kFinWait1, kLastAck, kClosing}, o_closed);
}
