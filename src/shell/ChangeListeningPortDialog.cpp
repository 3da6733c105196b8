#include "ChangeListeningPortDialog.h"

#include "Data.h"
#include "PeerSchema.h"
#include "ServerSchema.h"
#include "StartupPrompts.h"
#include "ui_ChangeListeningPortDialog.h"

namespace
{
// The scrambled connections listen one port up, so the highest port is one below the last.
constexpr int kHighestPort = 65534;
} // namespace

ChangeListeningPortDialog::ChangeListeningPortDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
    , ui(std::make_unique<Ui::ChangeListeningPortDialog>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &ChangeListeningPortDialog::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &ChangeListeningPortDialog::reject);
    ui->portEdit->setInputMask(QStringLiteral("D9999"));
    ui->portEdit->setText(GetSetting(settings::kListeningPort));
}

ChangeListeningPortDialog::~ChangeListeningPortDialog() = default;

void ChangeListeningPortDialog::accept()
{
    const int port = ui->portEdit->text().toInt();
    StartupPrompts* prompts = StartupPrompts::Current();
    if (port < 1 || port > kHighestPort)
    {
        prompts->Inform(this, QStringLiteral("Invalid Port Number"),
                        QStringLiteral("Port number must be in the range of 1 to %1.").arg(kHighestPort));
        return;
    }
    if (port == GetSettingNumber(settings::kListeningPort))
    {
        prompts->Inform(this, QStringLiteral("Port Number Not Changed"),
                        QStringLiteral("Port number has not been changed."));
        return;
    }
    // Closing only schedules the deletion, which waits until the box below is dismissed.
    QDialog::accept();
    SetSettingNumber(settings::kNewListeningPort, port);
    prompts->Inform(this, QStringLiteral("Change to Listening Port Pending"),
                    QStringLiteral("Changes to the listening port will take effect after a client restart."));
}
