#pragma once

#include "MemStream.h"

#include <QHostAddress>
#include <QMetaType>
#include <QString>

// An IPv4 address and a port. On the wire the address is a uint32 whose highest byte is the
// first octet (1.2.3.4 is 0x01020304), followed by the port as a uint32.
struct TCPAddress : public Persistent
{
    quint32 m_ip = 0;
    quint16 m_port = 0;

    TCPAddress() = default;
    TCPAddress(quint32 i_ip, quint16 i_port)
        : m_ip(i_ip)
        , m_port(i_port)
    {
    }
    TCPAddress(const QHostAddress& i_address, quint16 i_port);

    QHostAddress ToHostAddress() const { return QHostAddress(m_ip); }
    QString ToString() const; // "1.2.3.4:2235"
    bool IsNull() const { return m_ip == 0 && m_port == 0; }

    // Reads ip and a uint32 port; a port above 65535 fails.
    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    bool operator==(const TCPAddress& i_other) const { return m_ip == i_other.m_ip && m_port == i_other.m_port; }
    bool operator!=(const TCPAddress& i_other) const { return !(*this == i_other); }
    bool operator<(const TCPAddress& i_other) const
    {
        return m_ip != i_other.m_ip ? m_ip < i_other.m_ip : m_port < i_other.m_port;
    }
};

Q_DECLARE_METATYPE(TCPAddress)
