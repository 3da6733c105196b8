#include "AdminMessageDialog.h"

#include "ChatClock.h"
#include "ChatLines.h"
#include "ui_AdminMessageDialog.h"

AdminMessageDialog::AdminMessageDialog(const QString& i_message, QWidget* ip_parent)
    : QDialog(ip_parent)
    , ui(new Ui::AdminMessageDialog)
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    ui->textEdit->setText(i_message);
    ui->timeEdit->setText(ChatLongTime(ChatNow()));
}

AdminMessageDialog::~AdminMessageDialog()
{
    delete ui;
}
