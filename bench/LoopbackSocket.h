#pragma once

#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

// A plain blocking socket connected to a loopback port from the loopback address given, so that
// one process can stand for many peers at addresses of their own, with segments of at most
// i_segmentBytes and a receive buffer fixed at i_receiveBytes when not 0; -1 when it cannot be had.
inline int ConnectFrom(quint32 i_from, quint16 i_port, int i_segmentBytes = 0, int i_receiveBytes = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    if (i_segmentBytes > 0)
        ::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &i_segmentBytes, sizeof i_segmentBytes);
    if (i_receiveBytes > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &i_receiveBytes, sizeof i_receiveBytes);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(i_from);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(i_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0
        || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads exactly i_size bytes of a blocking socket; false when it closes or times out first.
inline bool Receive(int i_fd, char* o_bytes, size_t i_size)
{
    for (size_t have = 0; have < i_size;)
    {
        const ssize_t n = ::recv(i_fd, o_bytes + have, i_size - have, 0);
        if (n <= 0)
            return false;
        have += size_t(n);
    }
    return true;
}
