#pragma once

// Small builders and readers of wire bodies for tests: a test states the bytes it expects with
// the same primitives the protocol table uses, independently of the code under test.

#include <QByteArray>
#include <QString>
#include <QtEndian>

class WireWriter
{
public:
    WireWriter& U8(quint8 i_value)
    {
        m_bytes.append(static_cast<char>(i_value));
        return *this;
    }
    WireWriter& U16(quint16 i_value) { return Raw(&i_value, 2); }
    WireWriter& U32(quint32 i_value) { return Raw(&i_value, 4); }
    WireWriter& I32(qint32 i_value) { return Raw(&i_value, 4); }
    WireWriter& U64(quint64 i_value) { return Raw(&i_value, 8); }
    WireWriter& Str(const QString& i_text) { return Bytes(i_text.toUtf8()); }
    WireWriter& Bytes(const QByteArray& i_bytes)
    {
        U32(static_cast<quint32>(i_bytes.size()));
        m_bytes.append(i_bytes);
        return *this;
    }
    WireWriter& Append(const QByteArray& i_bytes)
    {
        m_bytes.append(i_bytes);
        return *this;
    }
    // 1.2.3.4 is 0x01020304.
    WireWriter& Ip(quint32 i_ip) { return U32(i_ip); }
    // average speed, upload count, file count, folder count
    WireWriter& Stats(quint32 i_speed, quint64 i_uploads, quint32 i_files, quint32 i_folders)
    {
        return U32(i_speed).U64(i_uploads).U32(i_files).U32(i_folders);
    }

    QByteArray Body() const { return m_bytes; }
    // A whole server frame: length, code, body.
    QByteArray Frame(quint32 i_code) const
    {
        QByteArray frame;
        WireWriter header;
        header.U32(static_cast<quint32>(4 + m_bytes.size())).U32(i_code);
        frame = header.Body() + m_bytes;
        return frame;
    }

private:
    template<class T> WireWriter& Raw(const T* ip_value, int i_size)
    {
        T little = qToLittleEndian(*ip_value);
        m_bytes.append(reinterpret_cast<const char*>(&little), i_size);
        return *this;
    }

    QByteArray m_bytes;
};

// Reads a body; every read past the end sets the failure flag and returns zero values.
class WireReader
{
public:
    explicit WireReader(const QByteArray& i_bytes)
        : m_bytes(i_bytes)
    {
    }

    quint8 U8() { return static_cast<quint8>(Take(1).at(0)); }
    quint16 U16() { return Le<quint16>(2); }
    quint32 U32() { return Le<quint32>(4); }
    qint32 I32() { return static_cast<qint32>(Le<quint32>(4)); }
    quint64 U64() { return Le<quint64>(8); }
    QByteArray Bytes()
    {
        const quint32 length = U32();
        if (length > static_cast<quint32>(m_bytes.size() - m_pos))
        {
            m_failed = true;
            return QByteArray();
        }
        return Take(static_cast<int>(length));
    }
    // The whole length, as the client reads it: QString::fromUtf8(QByteArray) stops at a NUL.
    QString Str()
    {
        const QByteArray bytes = Bytes();
        return QString::fromUtf8(bytes.constData(), bytes.size());
    }
    bool AtEnd() const { return m_pos == m_bytes.size(); }
    bool Failed() const { return m_failed; }
    int Remaining() const { return m_bytes.size() - m_pos; }
    QByteArray Rest()
    {
        const QByteArray rest = m_bytes.mid(m_pos);
        m_pos = m_bytes.size();
        return rest;
    }

private:
    QByteArray Take(int i_count)
    {
        if (m_bytes.size() - m_pos < i_count)
        {
            m_failed = true;
            m_pos = m_bytes.size();
            return QByteArray(i_count, '\0');
        }
        const QByteArray part = m_bytes.mid(m_pos, i_count);
        m_pos += i_count;
        return part;
    }
    template<class T> T Le(int i_size)
    {
        const QByteArray part = Take(i_size);
        return qFromLittleEndian<T>(part.constData());
    }

    QByteArray m_bytes;
    int m_pos = 0;
    bool m_failed = false;
};
