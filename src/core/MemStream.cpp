#include "MemStream.h"

#include "TextUtils.h"

#include <cstdlib>
#include <cstring>
#include <new>

MemStream::Buffer::~Buffer()
{
    std::free(m_data);
}

void MemStream::Buffer::Grow(size_t i_extra, size_t i_ceiling)
{
    const size_t needed = m_length + i_extra;
    if (needed <= m_capacity)
        return;
    size_t capacity = m_capacity ? m_capacity : 256;
    while (capacity < needed)
        capacity *= 2;
    capacity = std::max(needed, std::min(capacity, i_ceiling));
    char* data = static_cast<char*>(std::realloc(m_data, capacity));
    if (!data)
        throw std::bad_alloc();
    m_data = data;
    m_capacity = capacity;
}

MemStream::MemStream()
    : m_buffer(std::make_shared<Buffer>())
{
}

MemStream::MemStream(const void* ip_data, size_t i_length)
    : MemStream()
{
    WriteBuffer(ip_data, i_length);
}

MemStream::MemStream(const QByteArray& i_bytes)
    : MemStream(i_bytes.constData(), static_cast<size_t>(i_bytes.size()))
{
}

bool MemStream::SkipBuffer(size_t i_length)
{
    if (i_length > BytesLeft())
        return false;
    m_buffer->m_readPos += i_length;
    return true;
}

char* MemStream::ReserveForWrite(size_t i_length, size_t i_ceiling)
{
    m_buffer->Grow(i_length, i_ceiling);
    return m_buffer->m_data + m_buffer->m_length;
}

void MemStream::CommitWrite(size_t i_length)
{
    Q_ASSERT(m_buffer->m_length + i_length <= m_buffer->m_capacity);
    m_buffer->m_length += i_length;
}

const char* MemStream::GetBuffer() const
{
    return m_buffer->m_data;
}

size_t MemStream::GetLength() const
{
    return m_buffer->m_length;
}

size_t MemStream::GetReadPos() const
{
    return m_buffer->m_readPos;
}

void MemStream::SetReadPos(size_t i_pos)
{
    m_buffer->m_readPos = std::min(i_pos, m_buffer->m_length);
}

size_t MemStream::BytesLeft() const
{
    return m_buffer->m_length - m_buffer->m_readPos;
}

const char* MemStream::GetReadPointer() const
{
    return m_buffer->m_data ? m_buffer->m_data + m_buffer->m_readPos : nullptr;
}

QByteArray MemStream::ToByteArray() const
{
    return QByteArray(m_buffer->m_data, static_cast<int>(m_buffer->m_length));
}

void MemStream::Truncate(size_t i_length)
{
    if (i_length < m_buffer->m_length)
        m_buffer->m_length = i_length;
    m_buffer->m_readPos = std::min(m_buffer->m_readPos, m_buffer->m_length);
}

void MemStream::Clear()
{
    m_buffer->m_length = 0;
    m_buffer->m_readPos = 0;
}

// ---- InputStream ----

template<typename T> bool InputStream::ReadLE(T& o_value)
{
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    return m_stream.ReadBuffer(&o_value, sizeof(T));
#else
    unsigned char bytes[sizeof(T)];
    if (!m_stream.ReadBuffer(bytes, sizeof(T)))
        return false;
    using U = std::make_unsigned_t<T>;
    U value = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        value |= static_cast<U>(static_cast<U>(bytes[i]) << (8 * i));
    o_value = static_cast<T>(value);
    return true;
#endif
}

bool InputStream::Read(bool& o_value)
{
    quint8 byte = 0;
    if (!ReadLE(byte))
        return false;
    o_value = byte != 0;
    return true;
}

bool InputStream::Read(quint8& o_value)
{
    return ReadLE(o_value);
}
bool InputStream::Read(qint8& o_value)
{
    return ReadLE(o_value);
}
bool InputStream::Read(quint16& o_value)
{
    return ReadLE(o_value);
}
bool InputStream::Read(qint32& o_value)
{
    return ReadLE(o_value);
}
bool InputStream::Read(quint32& o_value)
{
    return ReadLE(o_value);
}
bool InputStream::Read(qint64& o_value)
{
    return ReadLE(o_value);
}
bool InputStream::Read(quint64& o_value)
{
    return ReadLE(o_value);
}

bool InputStream::ReadCount(quint32& o_count)
{
    quint32 count = 0;
    if (!ReadLE(count))
        return false;
    if (count > kMaxStreamCount)
    {
        m_stream.SetReadPos(m_stream.GetReadPos() - sizeof(count));
        return false;
    }
    o_count = count;
    return true;
}

bool InputStream::Read(std::string& o_value)
{
    const size_t start = m_stream.GetReadPos();
    quint32 length = 0;
    if (!ReadCount(length))
        return false;
    if (length > m_stream.BytesLeft())
    {
        m_stream.SetReadPos(start);
        return false;
    }
    o_value.assign(m_stream.GetReadPointer(), length);
    m_stream.SkipBuffer(length);
    return true;
}

bool InputStream::Read(QString& o_value)
{
    std::string bytes;
    if (!Read(bytes))
        return false;
    o_value = ToQString(bytes);
    return true;
}

// ---- OutputStream ----

template<typename T> bool OutputStream::WriteLE(T i_value)
{
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    m_stream.WriteBuffer(&i_value, sizeof(T));
    return true;
#else
    using U = std::make_unsigned_t<T>;
    const U value = static_cast<U>(i_value);
    unsigned char bytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    m_stream.WriteBuffer(bytes, sizeof(T));
    return true;
#endif
}

bool OutputStream::Write(bool i_value)
{
    return WriteLE<quint8>(i_value ? 1 : 0);
}
bool OutputStream::Write(quint8 i_value)
{
    return WriteLE(i_value);
}
bool OutputStream::Write(qint8 i_value)
{
    return WriteLE(i_value);
}
bool OutputStream::Write(quint16 i_value)
{
    return WriteLE(i_value);
}
bool OutputStream::Write(qint32 i_value)
{
    return WriteLE(i_value);
}
bool OutputStream::Write(quint32 i_value)
{
    return WriteLE(i_value);
}
bool OutputStream::Write(qint64 i_value)
{
    return WriteLE(i_value);
}
bool OutputStream::Write(quint64 i_value)
{
    return WriteLE(i_value);
}

bool OutputStream::Write(const std::string& i_value)
{
    WriteLE(static_cast<quint32>(i_value.size()));
    m_stream.WriteBuffer(i_value.data(), i_value.size());
    return true;
}

bool OutputStream::Write(const char* ip_value)
{
    const size_t length = ip_value ? std::strlen(ip_value) : 0;
    WriteLE(static_cast<quint32>(length));
    m_stream.WriteBuffer(ip_value, length);
    return true;
}

bool OutputStream::Write(const QString& i_value)
{
    return Write(i_value.toUtf8());
}

bool OutputStream::Write(const QByteArray& i_value)
{
    WriteLE(static_cast<quint32>(i_value.size()));
    m_stream.WriteBuffer(i_value.constData(), static_cast<size_t>(i_value.size()));
    return true;
}

bool OutputStream::WriteRaw(const void* ip_data, size_t i_length)
{
    m_stream.WriteBuffer(ip_data, i_length);
    return true;
}
