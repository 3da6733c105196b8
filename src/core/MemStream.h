#pragma once

// The byte buffer every wire message and record is built in and read from, and the typed
// reader and writer on top of it. Integers are little-endian; a byte string is a uint32 byte
// count followed by the bytes; a container is a uint32 count followed by its elements.

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

// No count read from a stream (string length, element count) may exceed this.
constexpr quint32 kMaxStreamCount = 131072;
// The most file records one stream (one message) may hold in all: far above any real share. The
// count limit holds per list, and a list of lists would otherwise multiply it.
constexpr quint64 kMaxStreamFiles = 2000000;

class MemStream
{
public:
    MemStream();
    MemStream(const void* ip_data, size_t i_length);
    explicit MemStream(const QByteArray& i_bytes);

    // Copies share the buffer and the read position.
    MemStream(const MemStream&) = default;
    MemStream& operator=(const MemStream&) = default;

    // Appends; always succeeds.
    void WriteBuffer(const void* ip_data, size_t i_length)
    {
        Buffer& buffer = *m_buffer;
        if (buffer.m_length + i_length > buffer.m_capacity)
            buffer.Grow(i_length);
        if (i_length)
            std::memcpy(buffer.m_data + buffer.m_length, ip_data, i_length);
        buffer.m_length += i_length;
    }
    // Fails, consuming nothing, when fewer than i_length bytes remain.
    bool ReadBuffer(void* op_data, size_t i_length)
    {
        Buffer& buffer = *m_buffer;
        if (i_length > buffer.m_length - buffer.m_readPos)
            return false;
        if (i_length)
            std::memcpy(op_data, buffer.m_data + buffer.m_readPos, i_length);
        buffer.m_readPos += i_length;
        return true;
    }
    bool SkipBuffer(size_t i_length);

    // Room for i_length bytes at the end, filled by the caller and then committed; lets zlib
    // write straight into the buffer. The buffer grows by doubling, but not past i_ceiling bytes
    // in all unless the room itself needs more.
    char* ReserveForWrite(size_t i_length, size_t i_ceiling = SIZE_MAX);
    void CommitWrite(size_t i_length);
    size_t GetCapacity() const { return m_buffer->m_capacity; }

    const char* GetBuffer() const; // every byte written
    size_t GetLength() const;      // number of bytes written
    size_t GetReadPos() const;
    void SetReadPos(size_t i_pos); // clamped to the length
    size_t BytesLeft() const;
    const char* GetReadPointer() const;

    QByteArray ToByteArray() const; // a copy of every byte written
    void Clear();                   // drops the bytes and rewinds
    void Truncate(size_t i_length); // drops the bytes after i_length

private:
    // realloc rather than a vector: growing never zero-fills, and large blocks grow in place.
    struct Buffer
    {
        char* m_data = nullptr;
        size_t m_capacity = 0;
        size_t m_length = 0;
        size_t m_readPos = 0;

        Buffer() = default;
        Buffer(const Buffer&) = delete;
        Buffer& operator=(const Buffer&) = delete;
        ~Buffer();
        void Grow(size_t i_extra, size_t i_ceiling = SIZE_MAX);
    };
    std::shared_ptr<Buffer> m_buffer;
};

class InputStream;
class OutputStream;
class FileInfo;
class AttributeMap;

class StreamReadable
{
public:
    virtual ~StreamReadable() = default;
    virtual bool Read(InputStream& i_stream) = 0;
};

class StreamWritable
{
public:
    virtual ~StreamWritable() = default;
    virtual bool Write(OutputStream& i_stream) const = 0;
};

class Persistent
    : public StreamReadable
    , public StreamWritable
{
public:
    bool Read(InputStream& i_stream) override = 0;
    bool Write(OutputStream& i_stream) const override = 0;
};

// Every read returns false on a short or over-limit stream and then leaves the position where
// it was, so a failed read consumes nothing.
class InputStream
{
public:
    explicit InputStream(MemStream& i_stream)
        : m_stream(i_stream)
    {
    }

    MemStream& GetStream() { return m_stream; }

    bool Read(bool& o_value);
    bool Read(quint8& o_value);
    bool Read(qint8& o_value);
    bool Read(quint16& o_value);
    bool Read(qint32& o_value);
    bool Read(quint32& o_value);
    bool Read(qint64& o_value);
    bool Read(quint64& o_value);
    bool Read(std::string& o_value);
    // UTF-8, or the chosen code page when the bytes are not UTF-8.
    bool Read(QString& o_value);
    bool Read(StreamReadable& o_value) { return o_value.Read(*this); }
    // The records of a folder; empty records add nothing (defined with FileInfo).
    bool Read(std::set<FileInfo>& o_files);
    bool Read(FileInfo& o_file);
    bool Read(AttributeMap& o_attributes);

    // A uint32 count, refused above kMaxStreamCount.
    bool ReadCount(quint32& o_count);
    // Takes one file record from the stream's budget; false once it is spent.
    bool TakeFileRecord()
    {
        if (m_filesLeft == 0)
            return false;
        --m_filesLeft;
        return true;
    }
    bool ReadRaw(void* op_data, size_t i_length) { return m_stream.ReadBuffer(op_data, i_length); }

    template<typename T> bool Read(std::vector<T>& o_items);
    template<typename T, typename C> bool Read(std::set<T, C>& o_items);
    template<typename K, typename V, typename C> bool Read(std::map<K, V, C>& o_items);
    template<typename A, typename B> bool Read(std::pair<A, B>& o_item);

private:
    template<typename T> bool ReadLE(T& o_value);
    // A count, then that many Ts, each handed to i_add after i_begin has seen the count; all or nothing.
    template<typename T, typename Begin, typename Add> bool ReadElements(Begin i_begin, Add i_add);

    MemStream& m_stream;
    quint64 m_filesLeft = kMaxStreamFiles;
};

class OutputStream
{
public:
    explicit OutputStream(MemStream& i_stream)
        : m_stream(i_stream)
    {
    }

    MemStream& GetStream() { return m_stream; }

    // Writing to a MemStream never fails; the results exist for the record interfaces.
    bool Write(bool i_value);
    bool Write(quint8 i_value);
    bool Write(qint8 i_value);
    bool Write(quint16 i_value);
    bool Write(qint32 i_value);
    bool Write(quint32 i_value);
    bool Write(qint64 i_value);
    bool Write(quint64 i_value);
    bool Write(const std::string& i_value);
    bool Write(const char* ip_value);
    bool Write(const QString& i_value);    // as UTF-8
    bool Write(const QByteArray& i_value); // as a byte string with its count
    bool Write(const StreamWritable& i_value) { return i_value.Write(*this); }
    bool Write(const FileInfo& i_file);
    bool Write(const AttributeMap& i_attributes);
    bool WriteRaw(const void* ip_data, size_t i_length);

    template<typename T> bool Write(const std::vector<T>& i_items);
    template<typename T, typename C> bool Write(const std::set<T, C>& i_items);
    template<typename K, typename V, typename C> bool Write(const std::map<K, V, C>& i_items);
    template<typename A, typename B> bool Write(const std::pair<A, B>& i_item);

    // Several fields in a row, as a message body is laid out.
    template<typename... T> void WriteFields(const T&... i_values) { (Write(i_values), ...); }

private:
    template<typename T> bool WriteLE(T i_value);
    template<typename C> bool WriteElements(const C& i_items);

    MemStream& m_stream;
};

// A new stream holding the given fields in order.
template<typename... T> MemStream StreamOf(const T&... i_fields)
{
    MemStream stream;
    OutputStream(stream).WriteFields(i_fields...);
    return stream;
}

// ---- templates ----

template<typename T, typename Begin, typename Add> bool InputStream::ReadElements(Begin i_begin, Add i_add)
{
    const size_t start = m_stream.GetReadPos();
    quint32 count = 0;
    if (!ReadCount(count))
        return false;
    i_begin(count);
    for (quint32 n = 0; n < count; ++n)
    {
        T item{};
        if (!Read(item))
        {
            m_stream.SetReadPos(start);
            return false;
        }
        i_add(std::move(item));
    }
    return true;
}

template<typename T> bool InputStream::Read(std::vector<T>& o_items)
{
    return ReadElements<T>(
        [&](quint32 i_count) {
            o_items.clear();
            // Every element takes at least one byte, so the remaining length bounds the reservation.
            o_items.reserve(std::min<size_t>(i_count, m_stream.BytesLeft()));
        },
        [&](T&& i_item) { o_items.push_back(std::move(i_item)); });
}

template<typename T, typename C> bool InputStream::Read(std::set<T, C>& o_items)
{
    return ReadElements<T>([&](quint32) { o_items.clear(); },
                           // Writers send sorted sets, so the end is nearly always the right place.
                           [&](T&& i_item) { o_items.insert(o_items.end(), std::move(i_item)); });
}

template<typename K, typename V, typename C> bool InputStream::Read(std::map<K, V, C>& o_items)
{
    return ReadElements<std::pair<K, V>>(
        [&](quint32) { o_items.clear(); },
        [&](std::pair<K, V>&& i_entry) { o_items.emplace_hint(o_items.end(), std::move(i_entry)); });
}

template<typename A, typename B> bool InputStream::Read(std::pair<A, B>& o_item)
{
    const size_t start = m_stream.GetReadPos();
    if (Read(o_item.first) && Read(o_item.second))
        return true;
    m_stream.SetReadPos(start);
    return false;
}

template<typename C> bool OutputStream::WriteElements(const C& i_items)
{
    bool ok = Write(static_cast<quint32>(i_items.size()));
    for (const auto& item : i_items)
        ok = Write(item) && ok;
    return ok;
}

template<typename T> bool OutputStream::Write(const std::vector<T>& i_items)
{
    return WriteElements(i_items);
}

template<typename T, typename C> bool OutputStream::Write(const std::set<T, C>& i_items)
{
    return WriteElements(i_items);
}

template<typename K, typename V, typename C> bool OutputStream::Write(const std::map<K, V, C>& i_items)
{
    return WriteElements(i_items);
}

template<typename A, typename B> bool OutputStream::Write(const std::pair<A, B>& i_item)
{
    const bool first = Write(i_item.first);
    const bool second = Write(i_item.second);
    return first && second;
}
