#pragma once

// The scripted raw peer: a socket driven only by the frame codec, for exact bytes and for input
// a real client would never send.

#include "FrameCodec.h"
#include "FreePorts.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

#include <memory>

class RawPeer
{
public:
    explicit RawPeer(bool i_scrambled = false, QTcpSocket* ip_socket = nullptr)
        : m_socket(ip_socket ? ip_socket : new QTcpSocket)
        , m_codec(FrameCodec::Create(i_scrambled))
    {
    }

    // From i_from when given: any 127.x.y.z is this machine, so one test can be many addresses.
    bool Connect(quint16 i_port, const QHostAddress& i_from = QHostAddress())
    {
        if (!i_from.isNull() && !m_socket->bind(i_from))
            return false;
        m_socket->connectToHost(QHostAddress::LocalHost, i_port);
        return m_socket->waitForConnected(5000);
    }

    QTcpSocket& Socket() { return *m_socket; }

    static QByteArray String(const QByteArray& i_bytes) { return UInt32(quint32(i_bytes.size())) + i_bytes; }

    static QByteArray UInt32(quint32 i_value)
    {
        QByteArray bytes(4, '\0');
        qToLittleEndian(i_value, reinterpret_cast<uchar*>(bytes.data()));
        return bytes;
    }

    static QByteArray PeerInit(const QByteArray& i_user, const QByteArray& i_type, quint32 i_token = 0)
    {
        return QByteArray(1, '\1') + String(i_user) + String(i_type) + UInt32(i_token);
    }

    static QByteArray PierceFirewall(quint32 i_token) { return QByteArray(1, '\0') + UInt32(i_token); }

    // The wire bytes of one frame.
    QByteArray Frame(const QByteArray& i_payload)
    {
        QByteArray wire;
        m_codec->Encode(i_payload, wire);
        return wire;
    }

    void SendFrame(const QByteArray& i_payload) { SendRaw(Frame(i_payload)); }

    void SendRaw(const QByteArray& i_bytes)
    {
        m_socket->write(i_bytes);
        m_socket->flush();
    }

    // Waits for the next whole frame; false on time-out or a closed socket.
    bool ReadFrame(QByteArray& o_payload, int i_timeoutMs = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (true)
        {
            int pos = 0;
            if (m_codec->Take(m_buffer, pos, o_payload) == FrameCodec::Status::Complete)
            {
                m_buffer.remove(0, pos);
                return true;
            }
            if (!WaitForBytes(i_timeoutMs - int(timer.elapsed())))
                return false;
        }
    }

    // Raw bytes after the frames (a file connection's token), exactly i_count of them.
    bool ReadRaw(QByteArray& o_bytes, int i_count, int i_timeoutMs = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (m_buffer.size() < i_count)
            if (!WaitForBytes(i_timeoutMs - int(timer.elapsed())))
                return false;
        o_bytes = m_buffer.left(i_count);
        m_buffer.remove(0, i_count);
        return true;
    }

    // True once the other side closed the connection.
    bool WaitForClose(int i_timeoutMs = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (m_socket->state() == QAbstractSocket::ConnectedState && timer.elapsed() < i_timeoutMs)
        {
            QTest::qWait(10);
            m_buffer += m_socket->readAll();
        }
        return m_socket->state() != QAbstractSocket::ConnectedState;
    }

private:
    bool WaitForBytes(int i_timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (m_socket->bytesAvailable() == 0)
        {
            if (timer.elapsed() > i_timeoutMs || m_socket->state() != QAbstractSocket::ConnectedState)
                return false;
            QTest::qWait(5);
        }
        m_buffer += m_socket->readAll();
        return true;
    }

    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<FrameCodec> m_codec;
    QByteArray m_buffer;
};
