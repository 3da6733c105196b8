#include "GiftPrivilegesDialog.h"

#include "Server.h"
#include "StartupPrompts.h"
#include "UserTargets.h"
#include "WindowHost.h"
#include "ui_GiftPrivilegesDialog.h"

GiftPrivilegesDialog::GiftPrivilegesDialog(QString i_user, QWidget* ip_parent)
    : QDialog(ip_parent)
    , ui(std::make_unique<Ui::GiftPrivilegesDialog>())
    , m_user(std::move(i_user))
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Gift Privileges to ") + m_user);
    ui->daysEdit->setInputMask(QStringLiteral("0000"));
    connect(ui->giftButton, &QPushButton::clicked, this, &GiftPrivilegesDialog::OnGiftClicked);
}

GiftPrivilegesDialog::~GiftPrivilegesDialog() = default;

void GiftPrivilegesDialog::RegisterOpener()
{
    // A child of the main window, so that closing that window ends the program with it open.
    UserTargets::Register(UserTargets::GiftPrivileges, [](const QString& i_user) {
        (new GiftPrivilegesDialog(i_user, MainWindowWidget()))->show();
    });
}

void GiftPrivilegesDialog::OnGiftClicked()
{
    const int days = ui->daysEdit->text().toInt();
    if (days == 0)
        return;
    // Offline the request would be dropped unsent: say so instead of closing as if it went.
    if (!gp_server || !gp_server->IsConnected())
    {
        StartupPrompts::Current()->Inform(this, windowTitle(), QStringLiteral("Must be online to gift privileges."));
        return;
    }
    gp_server->GiftPrivileges(m_user, days);
    deleteLater();
}
