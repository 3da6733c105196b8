#include "AddSharedFolderDialog.h"

#include "Log.h"
#include "ServerSchema.h"
#include "SharedFoldersManager.h"
#include "SharesSchema.h"
#include "StartupPrompts.h"
#include "ui_AddSharedFolderDialog.h"

AddSharedFolderDialog::AddSharedFolderDialog(ItemPtr i_folder, QWidget* ip_parent)
    : QDialog(ip_parent)
    , ui(std::make_unique<Ui::AddSharedFolderDialog>())
    , m_folder(std::move(i_folder))
    , m_editing(m_folder)
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &AddSharedFolderDialog::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &AddSharedFolderDialog::reject);
    connect(ui->selectFolderButton, &QPushButton::clicked, this, &AddSharedFolderDialog::OnSelectFolderClicked);
    // Connected before the boxes take the folder's state, so the enabled states follow the rules.
    connect(ui->everyoneCheckBox, &QCheckBox::stateChanged, this,
            &AddSharedFolderDialog::OnAccessibleToEveryoneCheckStateChanged);
    connect(ui->userListCheckBox, &QCheckBox::stateChanged, this,
            &AddSharedFolderDialog::OnAccessibleToUserListCheckStateChanged);

    if (m_editing)
    {
        ui->selectFolderButton->setEnabled(false);
        ui->selectedFolderEdit->setEnabled(false);
        ui->selectedFolderEdit->setText(m_folder.AsString());
        const bool isPublic = m_folder.IsConnected(types::kSharedPublic);
        ui->everyoneCheckBox->setChecked(isPublic);
        ui->userListCheckBox->setChecked(isPublic || m_folder.IsConnected(types::kSharedUserlist));
    }
    for (const ItemPtr& group : d->GetType(types::kUserListGroup)->GetItems())
    {
        auto* row = new QListWidgetItem(group.AsString());
        row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
        row->setCheckState(m_folder.IsConnected(group) ? Qt::Checked : Qt::Unchecked);
        ui->groupsListWidget->addItem(row);
    }
}

AddSharedFolderDialog::~AddSharedFolderDialog() = default;

void AddSharedFolderDialog::OnSelectFolderClicked()
{
    const QString folder = StartupPrompts::Current()->ChooseFolder(this, QStringLiteral("Select Folder to Share"));
    if (!folder.isEmpty())
        ui->selectedFolderEdit->setText(folder);
}

void AddSharedFolderDialog::OnAccessibleToEveryoneCheckStateChanged(int i_checkState)
{
    if (i_checkState == Qt::Checked)
    {
        ui->userListCheckBox->setEnabled(false);
        ui->userListCheckBox->setChecked(true);
        ui->groupsListWidget->setEnabled(false);
    }
    else if (i_checkState == Qt::Unchecked)
    {
        ui->userListCheckBox->setEnabled(true);
        ui->groupsListWidget->setEnabled(!ui->userListCheckBox->isChecked());
    }
}

void AddSharedFolderDialog::OnAccessibleToUserListCheckStateChanged(int i_checkState)
{
    if (i_checkState == Qt::Checked)
        ui->groupsListWidget->setEnabled(false);
    else if (i_checkState == Qt::Unchecked)
        ui->groupsListWidget->setEnabled(true);
}

void AddSharedFolderDialog::accept()
{
    const QString path = ui->selectedFolderEdit->text();
    if (path.isEmpty())
        return;
    ItemPtr folder = m_editing ? m_folder : sharedFoldersManager->AddSharedFolder(path);
    if (!folder)
    {
        // Unshared elsewhere while the dialog was open: sharing it again is not what was asked.
        Log(QStringLiteral("Shares"), 1,
            QStringLiteral("Folder %1 is no longer shared; permissions not set").arg(path));
        QDialog::accept();
        return;
    }
    if (ui->everyoneCheckBox->isChecked())
    {
        // Public overrides the other links, which stay for when it is made private again.
        folder.NewItem(types::kSharedPublic);
    }
    else
    {
        folder.Disconnect(types::kSharedPublic);
        if (ui->userListCheckBox->isChecked())
        {
            folder.NewItem(types::kSharedUserlist);
        }
        else
        {
            folder.Disconnect(types::kSharedUserlist);
            Type* groups = d->GetType(types::kUserListGroup);
            for (int index = 0; index < ui->groupsListWidget->count(); ++index)
            {
                const QListWidgetItem* row = ui->groupsListWidget->item(index);
                // A group deleted while the dialog was open stays deleted.
                const ItemPtr group = groups->HasItem(row->text());
                if (!group)
                    continue;
                if (row->checkState() == Qt::Checked)
                    folder.Connect(group);
                else
                    folder.Disconnect(group);
            }
        }
    }
    QDialog::accept();
}
