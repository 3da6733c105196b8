#include "ChangeUsernamePasswordDialog.h"

#include "Data.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

ChangeUsernamePasswordDialog::ChangeUsernamePasswordDialog(bool i_firstRun, QWidget* ip_parent)
    : QDialog(ip_parent)
    , mp_username(new QLineEdit(GetSetting(QStringLiteral("username")), this))
    , mp_password(new QLineEdit(GetSetting(QStringLiteral("password")), this))
{
    setWindowTitle(QStringLiteral("Login Settings"));
    mp_password->setEchoMode(QLineEdit::Password);
    auto* layout = new QFormLayout(this);
    if (i_firstRun)
        layout->addRow(new QLabel(QStringLiteral("Choose a user name and a password to log in with."), this));
    layout->addRow(QStringLiteral("Username"), mp_username);
    layout->addRow(QStringLiteral("Password"), mp_password);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &ChangeUsernamePasswordDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &ChangeUsernamePasswordDialog::reject);
}

ChangeUsernamePasswordDialog::~ChangeUsernamePasswordDialog() = default;

void ChangeUsernamePasswordDialog::accept()
{
    const QString username = mp_username->text().trimmed();
    if (username.isEmpty() || mp_password->text().isEmpty())
        return;
    SetSetting(QStringLiteral("username"), username);
    SetSetting(QStringLiteral("password"), mp_password->text());
    QDialog::accept();
}
