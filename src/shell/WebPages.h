#pragma once

// The network's web host and the pages of it that the client opens in the browser.

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
