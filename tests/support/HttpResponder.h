#pragma once

// A small HTTP server on 127.0.0.1 for the version check: every GET gets the one answer set, or,
// with no answer set, a reset connection. It records the paths asked for.
//   HttpResponder web;
//   QVERIFY(web.Listen());
//   web.Answer(HttpResponder::Ok("20120831\n..."));
//   settings "version_file_url" = web.Url("/qtversion.txt")

#include <QByteArray>
#include <QHash>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

class HttpResponder
{
public:
    HttpResponder()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection())
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { Serve(socket); });
        });
    }

    bool Listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QUrl Url(const QString& i_path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(i_path));
    }

    // The whole answer as sent, status line and headers included; empty resets the connection.
    void Answer(const QByteArray& i_response) { m_response = i_response; }
    static QByteArray Ok(const QByteArray& i_body) { return Reply("200 OK", i_body); }
    static QByteArray Reply(const QByteArray& i_status, const QByteArray& i_body)
    {
        return "HTTP/1.1 " + i_status + "\r\nContent-Type: text/plain\r\nContent-Length: "
               + QByteArray::number(i_body.size()) + "\r\nConnection: close\r\n\r\n" + i_body;
    }

    QStringList m_paths;

private:
    void Serve(QTcpSocket* ip_socket)
    {
        QByteArray& request = m_pending[ip_socket];
        request += ip_socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        m_paths << QString::fromLatin1(request.split(' ').value(1));
        m_pending.remove(ip_socket);
        if (m_response.isEmpty())
        {
            ip_socket->abort();
            ip_socket->deleteLater();
            return;
        }
        QObject::connect(ip_socket, &QTcpSocket::disconnected, ip_socket, &QObject::deleteLater);
        ip_socket->write(m_response);
        ip_socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QByteArray m_response;
    QHash<QTcpSocket*, QByteArray> m_pending;
};
