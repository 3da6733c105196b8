#pragma once

// Ports for a client's listeners in tests. They are drawn below the kernel's ephemeral range:
// a port the kernel handed out once can meanwhile become the local end of some other test's
// outgoing connection, and the client's listener then fails to bind when many suites run at once.

#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>

inline quint16 FreePortRun(int i_count)
{
    for (int tries = 0; tries < 200; ++tries)
    {
        const quint16 first = quint16(QRandomGenerator::global()->bounded(20000, 32000));
        bool free = true;
        QTcpServer probes[2];
        for (int i = 0; i < i_count && free; ++i)
            free = probes[i].listen(QHostAddress::Any, quint16(first + i));
        if (free)
            return first;
    }
    return 0;
}

// A free port for the listening sockets, so tests running side by side do not meet.
inline quint16 FreePort()
{
    return FreePortRun(1);
}

// A free pair of adjacent ports (plain, plain + 1), for a client's two listeners.
inline quint16 FreePortPair()
{
    return FreePortRun(2);
}
