#include "NewVersionDialog.h"

#include "Data.h"
#include "MainWindow.h"
#include "ShellSchema.h"
#include "ui_NewVersionDialog.h"

#include <QDesktopServices>
#include <QTextCursor>
#include <QUrl>

QString BuildText(qint64 i_version)
{
    return QStringLiteral("Build %1/%2/%3").arg((i_version % 10000) / 100).arg(i_version % 100).arg(i_version / 10000);
}

NewVersionDialog::NewVersionDialog(qint64 i_version, QString i_downloadLink, QStringList i_description,
                                   QWidget* ip_parent)
    : QDialog(ip_parent)
    , ui(std::make_unique<Ui::NewVersionDialog>())
    , m_version(i_version)
    , m_downloadLink(std::move(i_downloadLink))
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("VeltraneQt Update"));
    ui->currentVersionEdit->setText(BuildText(g_currentVersion));
    ui->newVersionEdit->setText(BuildText(m_version));
    // The changes come from a file on the web: shown as text, never as markup.
    QTextCursor cursor(ui->descriptionEdit->document());
    for (int line = 0; line < i_description.size(); ++line)
    {
        if (line > 0)
            cursor.insertBlock();
        cursor.insertText(i_description.at(line));
    }
    connect(ui->downloadButton, &QPushButton::clicked, this, &NewVersionDialog::OnDownloadButtonClicked);
    connect(ui->skipButton, &QPushButton::clicked, this, &NewVersionDialog::OnSkipButtonClicked);
}

NewVersionDialog::~NewVersionDialog() = default;

void NewVersionDialog::OnDownloadButtonClicked()
{
    QDesktopServices::openUrl(QUrl(m_downloadLink));
}

void NewVersionDialog::OnSkipButtonClicked()
{
    SetSettingNumber(settings::kSkipVersion, m_version);
    close();
}
