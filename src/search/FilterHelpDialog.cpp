#include "FilterHelpDialog.h"

#include "ui_FilterHelpDialog.h"

FilterHelpDialog* filterHelpDialog = nullptr;

FilterHelpDialog::FilterHelpDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
    , ui(new Ui::FilterHelpDialog)
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    filterHelpDialog = this;
}

FilterHelpDialog::~FilterHelpDialog()
{
    delete ui;
    if (filterHelpDialog == this)
        filterHelpDialog = nullptr;
}

FilterHelpDialog* FilterHelpDialog::ShowHelp(QWidget* ip_requester)
{
    if (!filterHelpDialog)
        new FilterHelpDialog(ip_requester);
    filterHelpDialog->show();
    return filterHelpDialog;
}
