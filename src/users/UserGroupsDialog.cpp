#include "UserGroupsDialog.h"

#include "Log.h"
#include "ServerSchema.h"
#include "TextUtils.h"
#include "UserTypes.h"
#include "ui_UserGroupsDialog.h"

#include <QSignalBlocker>

UserGroupsDialog::UserGroupsDialog(QString i_user, QWidget* ip_parent)
    : QDialog(ip_parent)
    , m_user(std::move(i_user))
    , m_ui(std::make_unique<Ui::UserGroupsDialog>())
{
    m_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    Type* groups = d->GetType(types::kUserListGroup);
    groups->m_itemCreated.insert(
        new EventHandler<UserGroupsDialog, ItemPtr>(this, &UserGroupsDialog::OnUserGroupAdded));
    // A deleted group's row goes, so that checking it cannot bring the group back.
    groups->m_itemRemoved.insert(
        new EventHandler<UserGroupsDialog, ItemPtr>(this, &UserGroupsDialog::OnUserGroupRemoved));
    setWindowTitle(tr("User Groups for [%1]").arg(IsolatedName(m_user)));

    const ItemPtr membership = UserItem(m_user)[types::kInUserList];
    for (const ItemPtr& group : groups->GetItems())
        AddRow(group.AsString(), membership.IsConnected(group));
    // Connected only now, so that filling the list stores nothing.
    connect(m_ui->groupListWidget, &QListWidget::itemChanged, this, &UserGroupsDialog::OnGroupItemChanged);
    connect(m_ui->newGroupButton, &QPushButton::clicked, this, &UserGroupsDialog::OnNewGroupButtonClicked);
}

UserGroupsDialog::~UserGroupsDialog() = default;

void UserGroupsDialog::AddRow(const QString& i_group, bool i_checked)
{
    // Built whole before it joins the list, so the list reports no half-made row.
    auto* row = new QListWidgetItem(i_group);
    row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
    row->setCheckState(i_checked ? Qt::Checked : Qt::Unchecked);
    m_ui->groupListWidget->addItem(row);
}

void UserGroupsDialog::OnUserGroupAdded(ItemPtr i_group)
{
    AddRow(i_group.AsString(), false);
}

void UserGroupsDialog::OnUserGroupRemoved(ItemPtr i_group)
{
    const QString name = i_group.AsString();
    for (QListWidgetItem* row : m_ui->groupListWidget->findItems(name, Qt::MatchExactly | Qt::MatchCaseSensitive))
        delete row;
}

void UserGroupsDialog::OnNewGroupButtonClicked()
{
    const QString name = m_ui->newGroupEdit->text().trimmed();
    m_ui->newGroupEdit->clear();
    if (name.isEmpty())
        return;
    // A new group announces itself to every open dialog, this one included.
    d->GetType(types::kUserListGroup)->GetItem(name);
}

void UserGroupsDialog::OnGroupItemChanged(QListWidgetItem* ip_row)
{
    if (ip_row->checkState() == Qt::PartiallyChecked || ip_row->text().isEmpty())
        return;
    const ItemPtr membership = UserItem(m_user)[types::kInUserList];
    const ItemPtr group = d->GetType(types::kUserListGroup)->HasItem(ip_row->text());
    if (!membership || !group)
    {
        // The user left the list (or the group went) while the dialog was open: the mark would
        // store nothing, so the row shows again what is stored.
        Log(QStringLiteral("Users"), 1,
            QStringLiteral("Group %1 of %2 not changed: no such group or user in the list")
                .arg(ip_row->text(), m_user));
        const QSignalBlocker blocker(m_ui->groupListWidget);
        ip_row->setCheckState(Qt::Unchecked);
        return;
    }
    ItemPtr member = membership;
    if (ip_row->checkState() == Qt::Checked)
        member += group;
    else
        member -= group;
}
