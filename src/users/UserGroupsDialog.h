#pragma once

#include "Data.h"

#include <QDialog>
#include <QString>

#include <memory>

class QListWidgetItem;

namespace Ui
{
class UserGroupsDialog;
}

// The groups of one user of the user list: one checkable row per group, a check mark stores the
// membership at once; also creates groups. Several may be open, also for one user; each deletes
// itself when closed.
class UserGroupsDialog
    : public QDialog
    , public DataHandler
{
    Q_OBJECT

public:
    UserGroupsDialog(QString i_user, QWidget* ip_parent = nullptr);
    ~UserGroupsDialog() override;

public slots:
    void OnNewGroupButtonClicked();
    void OnGroupItemChanged(QListWidgetItem* ip_row);

private:
    void OnUserGroupAdded(ItemPtr i_group);
    void OnUserGroupRemoved(ItemPtr i_group);
    void AddRow(const QString& i_group, bool i_checked);

    QString m_user;
    std::unique_ptr<Ui::UserGroupsDialog> m_ui;
};
