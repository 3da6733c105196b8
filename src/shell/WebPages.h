#pragma once

// The network's web hosts and the pages of them that the client fetches or opens in the browser.

#include <QByteArray>
#include <QString>
#include <QUrl>

inline QByteArray WebHost()
{
    return QByteArrayLiteral("http://www.veltrane.net");
}

// The privileges page of a user; the name is percent-encoded, so "&", "#", "+" and blanks in it
// reach the page as they are.
inline QUrl PrivilegesPage(const QString& i_user)
{
    return QUrl::fromEncoded(WebHost() + QByteArrayLiteral("/qtlogin.php?username=") + QUrl::toPercentEncoding(i_user));
}

// The version file read once per run after the first login. The data file's setting
// "version_file_url", when it holds one, replaces it, as "server_host" does the server, so a test
// run or a private network can serve its own.
inline QUrl VersionFileUrl(const QString& i_configured)
{
    return QUrl(i_configured.isEmpty() ? QString::fromLatin1(WebHost() + QByteArrayLiteral("/qtversion.txt"))
                                       : i_configured);
}

inline QByteArray PortTestHost()
{
    return QByteArrayLiteral("http://tools.veltrane.net");
}

// The page that tells whether a port of this machine can be reached from outside.
inline QUrl PortTestPage(int i_port)
{
    return QUrl(QString::fromLatin1(PortTestHost() + QByteArrayLiteral("/porttest.php?port="))
                + QString::number(i_port));
}
