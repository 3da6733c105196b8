#include "ChangeUsernamePasswordDialog.h"

#include "Data.h"
#include "ServerSchema.h"
#include "ui_ChangeUsernamePasswordDialog.h"

ChangeUsernamePasswordDialog::ChangeUsernamePasswordDialog(bool i_firstRun, QWidget* ip_parent)
    : QDialog(ip_parent)
    , ui(std::make_unique<Ui::ChangeUsernamePasswordDialog>())
    , m_firstRun(i_firstRun)
{
    ui->setupUi(this);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &ChangeUsernamePasswordDialog::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &ChangeUsernamePasswordDialog::reject);
    ui->usernameEdit->setText(GetSetting(settings::kUsername));
    ui->passwordEdit->setText(GetSetting(settings::kPassword));
    if (m_firstRun)
        setWindowTitle(QStringLiteral("Set Username/Password"));
    else
        // The start-up's dialog lives on its stack; only the tool bar's is ours to delete.
        setAttribute(Qt::WA_DeleteOnClose);
    activateWindow();
}

ChangeUsernamePasswordDialog::~ChangeUsernamePasswordDialog() = default;

void ChangeUsernamePasswordDialog::accept()
{
    const QString username = ui->usernameEdit->text().trimmed();
    const QString password = ui->passwordEdit->text().trimmed();
    if (username.isEmpty() || password.isEmpty())
        return;
    QDialog::accept();
    SetSetting(settings::kUsername, username);
    SetSetting(settings::kPassword, password);
}
