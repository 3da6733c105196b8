#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// The once-per-run check for a newer build.
class UpdateChecker : public QObject
{
    Q_OBJECT

public:
    explicit UpdateChecker(QObject* ip_parent = nullptr);
    ~UpdateChecker() override;

    void Init();

signals:
    void NewVersion(qint64 i_version, QString i_downloadLink, QStringList i_description);
};
