#include "AddUserDialog.h"

#include "Data.h"
#include "Server.h"
#include "ServerSchema.h"
#include "UserTargets.h"
#include "ui_AddUserDialog.h"

namespace
{
const QString kMustBeOnline = QStringLiteral("Must be online to add a user to your list.");
} // namespace

AddUserDialog::AddUserDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
    , ui(std::make_unique<Ui::AddUserDialog>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui->addFriendButton, &QPushButton::clicked, this, &AddUserDialog::OnAddUserClicked);
    if (gp_server)
    {
        connect(gp_server, &Server::AddUserResponse, this, &AddUserDialog::OnAddUserResponse);
        connect(gp_server, &Server::Disconnected, this, &AddUserDialog::OnDisconnected);
    }
}

AddUserDialog::~AddUserDialog() = default;

void AddUserDialog::RegisterOpener(QWidget* ip_usersWindow)
{
    UserTargets::Register(UserTargets::AddUserDialog,
                          [ip_usersWindow](const QString&) { (new AddUserDialog(ip_usersWindow))->show(); });
    QObject::connect(ip_usersWindow, &QObject::destroyed,
                     [] { UserTargets::Register(UserTargets::AddUserDialog, nullptr); });
}

void AddUserDialog::OnAddUserClicked()
{
    const QString name = ui->userNameEdit->text().trimmed();
    if (name.isEmpty())
    {
        ui->statusEdit->setText(QStringLiteral("User name must not be empty."));
        return;
    }
    if (!gp_server || !gp_server->IsConnected())
    {
        ui->statusEdit->setText(kMustBeOnline);
        return;
    }
    const ItemPtr user = d->GetType(types::kUser)->HasItem(Value(name));
    if (user && user.IsConnected(types::kInUserList))
    {
        ui->statusEdit->setText(QStringLiteral("User already in list."));
        return;
    }
    ui->statusEdit->setText(QStringLiteral("Adding user..."));
    ui->userNameEdit->setReadOnly(true);
    ui->addFriendButton->setEnabled(false);
    m_awaitedName = name;
    gp_server->AddUser(name);
}

void AddUserDialog::OnAddUserResponse(QString i_user, bool i_exists)
{
    if (m_awaitedName.isEmpty() || i_user != m_awaitedName)
        return;
    if (!i_exists)
    {
        Release(QStringLiteral("User name does not exist."));
        return;
    }
    d->GetType(types::kUser)->GetItem(Value(i_user)).NewItem(types::kInUserList);
    Release(QStringLiteral("User added to list."));
}

// With the connection gone no answer will come: the dialog must not stay waiting.
void AddUserDialog::OnDisconnected()
{
    if (!m_awaitedName.isEmpty())
        Release(kMustBeOnline);
}

void AddUserDialog::Release(const QString& i_status)
{
    ui->userNameEdit->setReadOnly(false);
    ui->addFriendButton->setEnabled(true);
    m_awaitedName.clear();
    ui->statusEdit->setText(i_status);
}
