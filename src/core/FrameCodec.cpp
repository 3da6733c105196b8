#include "FrameCodec.h"

#include <QIODevice>
#include <QRandomGenerator>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace
{
quint32 RotateLeft(quint32 i_value, unsigned i_bits)
{
    i_bits &= 31;
    return i_bits == 0 ? i_value : (i_value << i_bits) | (i_value >> (32 - i_bits));
}

quint32 ReadLE32(const char* ip_data)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(ip_data));
}
} // namespace

std::unique_ptr<FrameCodec> FrameCodec::Create(bool i_scrambled)
{
    if (i_scrambled)
        return std::make_unique<ScrambledFrameCodec>();
    return std::make_unique<PlainFrameCodec>();
}

FrameCodec::Status FrameCodec::Read(QIODevice& i_device, QByteArray& o_payload, quint32 i_maxLength)
{
    const int headerSize = HeaderSize();
    char header[8];
    if (i_device.bytesAvailable() < headerSize || i_device.peek(header, headerSize) != headerSize)
        return Status::Incomplete;
    const quint32 length = PayloadLength(header);
    if (length > std::min(i_maxLength, MaxFrameLength))
        return Status::Oversized;
    if (i_device.bytesAvailable() < headerSize + qint64(length))
        return Status::Incomplete;
    i_device.read(header, headerSize);
    o_payload.resize(int(length));
    if (length > 0 && i_device.read(o_payload.data(), length) != qint64(length))
        return Status::Incomplete;
    DecodePayload(header, o_payload.data(), int(length));
    return Status::Complete;
}

bool FrameCodec::Peek(QIODevice& i_device, quint32& o_length, bool& o_hasLead, quint32& o_lead) const
{
    const int headerSize = HeaderSize();
    char bytes[12];
    const qint64 peeked = i_device.peek(bytes, headerSize + 4);
    if (peeked < headerSize)
        return false;
    o_length = PayloadLength(bytes);
    o_hasLead = o_length >= 4 && peeked == headerSize + 4;
    if (o_hasLead)
    {
        DecodePayload(bytes, bytes + headerSize, 4);
        o_lead = ReadLE32(bytes + headerSize);
    }
    return true;
}

FrameCodec::Status FrameCodec::Take(const QByteArray& i_buffer, int& io_pos, QByteArray& o_payload)
{
    const int headerSize = HeaderSize();
    const qint64 available = qint64(i_buffer.size()) - io_pos;
    if (available < headerSize)
        return Status::Incomplete;
    const char* header = i_buffer.constData() + io_pos;
    const quint32 length = PayloadLength(header);
    if (length > MaxFrameLength)
        return Status::Oversized;
    if (available < headerSize + qint64(length))
        return Status::Incomplete;
    // Into the caller's buffer, whose room is kept from frame to frame.
    o_payload.resize(int(length));
    if (length > 0)
        std::memcpy(o_payload.data(), header + headerSize, length);
    DecodePayload(header, o_payload.data(), int(length));
    io_pos += headerSize + int(length);
    return Status::Complete;
}

void PlainFrameCodec::Encode(const char* ip_payload, int i_size, QByteArray& o_wire)
{
    const int start = o_wire.size();
    o_wire.resize(start + kHeaderSize + i_size);
    EncodeHeader(i_size, o_wire.data() + start);
    if (i_size > 0)
        std::memcpy(o_wire.data() + start + kHeaderSize, ip_payload, size_t(i_size));
}

void PlainFrameCodec::EncodeHeader(int i_size, char* op_header)
{
    qToLittleEndian<quint32>(quint32(i_size), reinterpret_cast<uchar*>(op_header));
}

quint32 PlainFrameCodec::PayloadLength(const char* ip_header) const
{
    return ReadLE32(ip_header);
}

ScrambledFrameCodec::ScrambledFrameCodec()
    : m_state(QRandomGenerator::global()->generate64() | 1)
{
}

quint32 ScrambledFrameCodec::NextKey()
{
    // xorshift: the keys only have to vary, and the system generator is too slow per frame.
    m_state ^= m_state << 13;
    m_state ^= m_state >> 7;
    m_state ^= m_state << 17;
    return quint32(m_state >> 16);
}

void ScrambledFrameCodec::Encode(const char* ip_payload, int i_size, QByteArray& o_wire)
{
    EncodeWithKey(NextKey(), ip_payload, i_size, o_wire);
}

void ScrambledFrameCodec::EncodeWithKey(quint32 i_key, const char* ip_payload, int i_size, QByteArray& o_wire)
{
    const int start = o_wire.size();
    o_wire.resize(start + 8 + i_size);
    uchar* out = reinterpret_cast<uchar*>(o_wire.data() + start);
    qToLittleEndian<quint32>(i_key, out);
    qToLittleEndian<quint32>(quint32(i_size), out + 4);
    if (i_size > 0)
        std::memcpy(out + 8, ip_payload, size_t(i_size));
    Apply(i_key, 0, reinterpret_cast<char*>(out + 4), 4 + i_size);
}

void ScrambledFrameCodec::Apply(quint32 i_key, int i_firstBlock, char* iop_data, int i_size)
{
    quint32 key = RotateLeft(i_key, unsigned(i_firstBlock));
    int pos = 0;
    for (; pos + 4 <= i_size; pos += 4)
    {
        key = RotateLeft(key, 1);
        quint32 block;
        std::memcpy(&block, iop_data + pos, 4);
        block = qFromLittleEndian(block) ^ key;
        block = qToLittleEndian(block);
        std::memcpy(iop_data + pos, &block, 4);
    }
    if (pos < i_size)
    {
        key = RotateLeft(key, 1);
        for (int i = 0; pos + i < i_size; ++i)
            iop_data[pos + i] = char(uchar(iop_data[pos + i]) ^ uchar(key >> (8 * i)));
    }
}

quint32 ScrambledFrameCodec::PayloadLength(const char* ip_header) const
{
    const quint32 key = ReadLE32(ip_header);
    return ReadLE32(ip_header + 4) ^ RotateLeft(key, 1);
}

void ScrambledFrameCodec::DecodePayload(const char* ip_header, char* iop_payload, int i_size) const
{
    // The length filled block 0; the payload starts at block 1.
    Apply(ReadLE32(ip_header), 1, iop_payload, i_size);
}
