#include "TCPAddress.h"

TCPAddress::TCPAddress(const QHostAddress& i_address, quint16 i_port)
    : m_ip(i_address.toIPv4Address())
    , m_port(i_port)
{
}

QString TCPAddress::ToString() const
{
    return ToHostAddress().toString() + QLatin1Char(':') + QString::number(m_port);
}

bool TCPAddress::Read(InputStream& i_stream)
{
    MemStream& stream = i_stream.GetStream();
    const size_t start = stream.GetReadPos();
    quint32 ip = 0;
    quint32 port = 0;
    if (!i_stream.Read(ip) || !i_stream.Read(port) || port > 0xFFFF)
    {
        stream.SetReadPos(start);
        return false;
    }
    m_ip = ip;
    m_port = static_cast<quint16>(port);
    return true;
}

bool TCPAddress::Write(OutputStream& i_stream) const
{
    i_stream.Write(m_ip);
    return i_stream.Write(static_cast<quint32>(m_port));
}
