#include "SharedFilesRescannedDialog.h"

#include "ui_SharedFilesRescannedDialog.h"

SharedFilesRescannedDialog::SharedFilesRescannedDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
    , ui(std::make_unique<Ui::SharedFilesRescannedDialog>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &SharedFilesRescannedDialog::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &SharedFilesRescannedDialog::reject);
}

SharedFilesRescannedDialog::~SharedFilesRescannedDialog() = default;

void SharedFilesRescannedDialog::Append(const QString& i_text)
{
    ui->plainTextEdit->appendPlainText(i_text);
}

SharedFilesRescannedDialog* SharedFilesRescannedDialog::ShowReport(QWidget* ip_parent, int i_added, int i_removed)
{
    auto* dialog = new SharedFilesRescannedDialog(ip_parent);
    dialog->Append(QStringLiteral("%1 files added.").arg(i_added));
    dialog->Append(QStringLiteral("%1 files removed.").arg(i_removed));
    dialog->setWindowTitle(QStringLiteral("Shared Files Rescanned"));
    dialog->show();
    return dialog;
}
