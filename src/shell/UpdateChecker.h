#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

// The once-per-run check for a newer build: after the first login of the run it fetches the
// version file and announces a build newer than both the running one and the one the user chose
// to skip. Every failure is silent and not retried before the next start.
class UpdateChecker : public QObject
{
    Q_OBJECT

public:
    explicit UpdateChecker(QObject* ip_parent = nullptr);
    ~UpdateChecker() override;

    // Once the server connection exists: checks at its first login.
    void Init();

    // What a version file offers, or nothing (a zero version) when it offers no update for a
    // client whose running build and skipped build are given.
    struct Offer
    {
        qint64 m_version = 0;
        QString m_downloadLink;
        QStringList m_description;
    };
    static Offer ParseVersionFile(const QByteArray& i_file, qint64 i_runningVersion, qint64 i_skippedVersion);

signals:
    void NewVersion(qint64 i_version, QString i_downloadLink, QStringList i_description);

public slots:
    void OnConnectedToServer();

private:
    void CheckForNewVersion();
    void OnRequestFinished(QNetworkReply* ip_reply);

    std::unique_ptr<QNetworkAccessManager> mp_http;
    // The one request of the run; a reply for anything else is ignored.
    QNetworkReply* mp_request = nullptr;
    bool m_done = false;
};
