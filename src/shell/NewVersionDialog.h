#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

#include <memory>

namespace Ui
{
class NewVersionDialog;
}

// "Build m/d/yyyy" for a build number yyyymmdd.
QString BuildText(qint64 i_version);

// Offers a newer build: the running and the offered build, the changes, and a choice to download
// it or never to be offered it again. Deletes itself when closed.
class NewVersionDialog : public QDialog
{
    Q_OBJECT

public:
    NewVersionDialog(qint64 i_version, QString i_downloadLink, QStringList i_description, QWidget* ip_parent);
    ~NewVersionDialog() override;

public slots:
    void OnDownloadButtonClicked();
    void OnSkipButtonClicked();

private:
    std::unique_ptr<Ui::NewVersionDialog> ui;
    qint64 m_version;
    QString m_downloadLink;
};
