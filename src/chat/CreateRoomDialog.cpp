#include "CreateRoomDialog.h"

#include "Server.h"
#include "ui_CreateRoomDialog.h"

CreateRoomDialog* createRoomDialog = nullptr;

CreateRoomDialog::CreateRoomDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
    , ui(new Ui::CreateRoomDialog)
{
    ui->setupUi(this);
    connect(ui->createRoomButton, &QPushButton::clicked, this, &CreateRoomDialog::OnButtonClicked);
    createRoomDialog = this;
}

CreateRoomDialog::~CreateRoomDialog()
{
    if (createRoomDialog == this)
        createRoomDialog = nullptr;
    delete ui;
}

void CreateRoomDialog::OnButtonClicked()
{
    const QString name = ui->roomNameEdit->text().trimmed();
    if (name.isEmpty())
        return;
    // Offline the join would be dropped unsent: the dialog stays, with what was typed.
    if (!gp_server || !gp_server->IsConnected())
        return;
    gp_server->EnterRoom(name, ui->createPrivateCheckBox->isChecked());
    createRoomDialog = nullptr;
    deleteLater();
}
