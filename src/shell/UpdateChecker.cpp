#include "UpdateChecker.h"

#include "Data.h"
#include "MainWindow.h"
#include "Server.h"
#include "ShellSchema.h"
#include "WebPages.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace
{
// A version file is a few lines; anything larger is not one.
constexpr qint64 kMaxVersionFileBytes = 64 * 1024;
} // namespace

UpdateChecker::UpdateChecker(QObject* ip_parent)
    : QObject(ip_parent)
    , mp_http(std::make_unique<QNetworkAccessManager>())
{
}

UpdateChecker::~UpdateChecker() = default;

void UpdateChecker::Init()
{
    if (gp_server)
        connect(gp_server, &Server::Connected, this, &UpdateChecker::OnConnectedToServer);
    connect(mp_http.get(), &QNetworkAccessManager::finished, this, &UpdateChecker::OnRequestFinished);
}

void UpdateChecker::OnConnectedToServer()
{
    CheckForNewVersion();
}

void UpdateChecker::CheckForNewVersion()
{
    if (m_done)
        return;
    m_done = true;
    QNetworkRequest request(VersionFileUrl(GetSetting(settings::kVersionFileUrl)));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    mp_request = mp_http->get(request);
    QNetworkReply* reply = mp_request;
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 i_received, qint64) {
        if (i_received > kMaxVersionFileBytes)
            reply->abort();
    });
}

void UpdateChecker::OnRequestFinished(QNetworkReply* ip_reply)
{
    ip_reply->deleteLater();
    if (ip_reply != mp_request)
        return;
    mp_request = nullptr;
    if (ip_reply->error() != QNetworkReply::NoError
        || ip_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
        return;
    const Offer offer = ParseVersionFile(ip_reply->read(kMaxVersionFileBytes), g_currentVersion,
                                         GetSettingNumber(settings::kSkipVersion));
    if (offer.m_version != 0)
        emit NewVersion(offer.m_version, offer.m_downloadLink, offer.m_description);
}

UpdateChecker::Offer UpdateChecker::ParseVersionFile(const QByteArray& i_file, qint64 i_runningVersion,
                                                     qint64 i_skippedVersion)
{
    // A final line without its line feed is a line all the same; what follows the last line feed
    // is none when it is empty.
    QList<QByteArray> lines = i_file.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    const auto line = [&lines](int i_index) {
        return i_index < lines.size() ? QString::fromLatin1(lines.at(i_index)).trimmed() : QString();
    };

    Offer offer;
    const qint64 version = line(0).toLongLong();
    if (version <= i_skippedVersion || version <= i_runningVersion)
        return offer;
    const QString base = line(1);
    const QString stem = line(2);
    if (base.isEmpty() || stem.isEmpty())
        return offer;
    // A forged file must not make the browser open anything but a web page.
    const QString address = base + QStringLiteral("/Linux/") + stem + QStringLiteral(".tgz");
    const QUrl link(address, QUrl::StrictMode);
    if (!link.isValid() || link.host().isEmpty()
        || (link.scheme() != QLatin1String("http") && link.scheme() != QLatin1String("https")))
        return offer;

    offer.m_version = version;
    offer.m_downloadLink = address;
    for (int index = 3; index < lines.size(); ++index)
        offer.m_description << line(index);
    return offer;
}
