#pragma once

#include <QByteArray>
#include <QFile>
#include <QHostAddress>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <utility>

// Two ends of one real loopback connection, both on the calling thread and without parents.
inline std::pair<QTcpSocket*, QTcpSocket*> LoopbackPair()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return {nullptr, nullptr};
    auto* client = new QTcpSocket;
    client->connectToHost(QHostAddress::LocalHost, server.serverPort());
    if (!client->waitForConnected(5000) || !server.waitForNewConnection(5000))
    {
        delete client;
        return {nullptr, nullptr};
    }
    QTcpSocket* accepted = server.nextPendingConnection();
    accepted->setParent(nullptr);
    return {client, accepted};
}

// Blocking reads for the scripted end of a connection.
inline QByteArray ReadExactly(QTcpSocket* ip_socket, qint64 i_length, int i_waitMs = 5000)
{
    QByteArray data;
    while (data.size() < i_length)
    {
        if (ip_socket->bytesAvailable() == 0 && !ip_socket->waitForReadyRead(i_waitMs))
            break;
        data += ip_socket->read(i_length - data.size());
    }
    return data;
}

inline QByteArray LittleEndian64(qint64 i_value)
{
    QByteArray bytes(8, '\0');
    qToLittleEndian<qint64>(i_value, bytes.data());
    return bytes;
}

// Bytes that differ from position to position, so a shifted or repeated block shows.
inline QByteArray Pattern(qint64 i_size, qint64 i_from = 0)
{
    QByteArray data(int(i_size), '\0');
    for (qint64 i = 0; i < i_size; ++i)
        data[int(i)] = char(((i_from + i) * 7919 + (i_from + i) / 251) & 0xff);
    return data;
}

inline bool WriteFile(const QString& i_path, const QByteArray& i_data)
{
    QFile file(i_path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(i_data) == i_data.size();
}

inline QByteArray ReadFile(const QString& i_path)
{
    QFile file(i_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
