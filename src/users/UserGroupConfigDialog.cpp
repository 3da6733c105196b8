#include "UserGroupConfigDialog.h"

#include "ServerSchema.h"
#include "StartupPrompts.h"
#include "TextUtils.h"
#include "ui_UserGroupConfigDialog.h"

UserGroupConfigDialog* userGroupConfigDialog = nullptr;

UserGroupConfigDialog::UserGroupConfigDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
    , m_ui(std::make_unique<Ui::UserGroupConfigDialog>())
{
    m_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    userGroupConfigDialog = this;

    Type* groups = d->GetType(types::kUserListGroup);
    groups->m_itemCreated.insert(
        new EventHandler<UserGroupConfigDialog, ItemPtr>(this, &UserGroupConfigDialog::OnUserGroupAdded));
    groups->m_itemRemoved.insert(
        new EventHandler<UserGroupConfigDialog, ItemPtr>(this, &UserGroupConfigDialog::OnUserGroupRemoved));
    for (const ItemPtr& group : groups->GetItems())
        OnUserGroupAdded(group);
    OnCurrentGroupItemChanged(nullptr, nullptr);

    connect(m_ui->groupList, &QListWidget::currentItemChanged, this, &UserGroupConfigDialog::OnCurrentGroupItemChanged);
    connect(m_ui->prioritySpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &UserGroupConfigDialog::OnPrioritySpinValueChanged);
    connect(m_ui->acceptUploadsCheckBox, &QCheckBox::toggled, this,
            &UserGroupConfigDialog::OnAcceptUploadsCheckboxToggled);
    connect(m_ui->deleteButton, &QPushButton::clicked, this, &UserGroupConfigDialog::OnDeleteClicked);
}

UserGroupConfigDialog::~UserGroupConfigDialog()
{
    if (userGroupConfigDialog == this)
        userGroupConfigDialog = nullptr;
}

void UserGroupConfigDialog::OnUserGroupAdded(ItemPtr i_group)
{
    m_ui->groupList->addItem(i_group.AsString());
}

void UserGroupConfigDialog::OnUserGroupRemoved(ItemPtr i_group)
{
    const QList<QListWidgetItem*> rows =
        m_ui->groupList->findItems(i_group.AsString(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (!rows.isEmpty())
        delete rows.first();
}

ItemPtr UserGroupConfigDialog::CurrentGroup() const
{
    const QListWidgetItem* row = m_ui->groupList->currentItem();
    return row ? d->GetType(types::kUserListGroup)->GetItem(row->text()) : ItemPtr();
}

void UserGroupConfigDialog::OnCurrentGroupItemChanged(QListWidgetItem* ip_current, QListWidgetItem*)
{
    const bool enabled = ip_current != nullptr;
    m_ui->prioritySpinBox->setEnabled(enabled);
    m_ui->acceptUploadsCheckBox->setEnabled(enabled);
    m_ui->deleteButton->setEnabled(enabled);
    m_ui->groupBox->setTitle(enabled ? MnemonicText(ip_current->text()) : QString());
    if (!enabled)
        return;
    const ItemPtr group = CurrentGroup();
    // These fire the change slots, which write the same values back: selecting changes nothing.
    m_ui->prioritySpinBox->setValue(group[types::kGroupDownloadPriority].AsInt());
    m_ui->acceptUploadsCheckBox->setChecked(group.IsConnected(types::kAcceptUploads));
}

void UserGroupConfigDialog::OnPrioritySpinValueChanged(int i_value)
{
    ItemPtr group = CurrentGroup();
    if (!group)
        return;
    if (i_value > 0)
        group += d->GetType(types::kGroupDownloadPriority)->GetItem(i_value);
    else
        group.Disconnect(types::kGroupDownloadPriority);
}

void UserGroupConfigDialog::OnAcceptUploadsCheckboxToggled(bool i_checked)
{
    ItemPtr group = CurrentGroup();
    if (!group)
        return;
    ItemPtr flag = d->GetType(types::kAcceptUploads)->GetGlobalNullItem();
    if (i_checked)
        group += flag;
    else
        group -= flag;
}

void UserGroupConfigDialog::OnDeleteClicked()
{
    if (!m_ui->groupList->currentItem())
        return;
    const auto answer = StartupPrompts::Current()->Ask(this, tr("Delete group?"),
                                                       tr("Are you sure you want to delete this user group?"),
                                                       QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    if (ItemPtr group = CurrentGroup())
        group.Remove();
}
