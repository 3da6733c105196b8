#pragma once

#include "Data.h"

#include <QDialog>

#include <memory>

class QListWidgetItem;

namespace Ui
{
class UserGroupConfigDialog;
}

// The one window that lists every user group, edits the selected group's download priority and
// upload acceptance, and deletes groups. At most one exists (`userGroupConfigDialog`); it deletes
// itself when closed.
class UserGroupConfigDialog
    : public QDialog
    , public DataHandler
{
    Q_OBJECT

public:
    explicit UserGroupConfigDialog(QWidget* ip_parent = nullptr);
    ~UserGroupConfigDialog() override;

public slots:
    void OnCurrentGroupItemChanged(QListWidgetItem* ip_current, QListWidgetItem* ip_previous);
    void OnPrioritySpinValueChanged(int i_value);
    void OnAcceptUploadsCheckboxToggled(bool i_checked);
    void OnDeleteClicked();

private:
    void OnUserGroupAdded(ItemPtr i_group);
    void OnUserGroupRemoved(ItemPtr i_group);
    // The group of the current row, or null.
    ItemPtr CurrentGroup() const;

    std::unique_ptr<Ui::UserGroupConfigDialog> m_ui;
};

extern UserGroupConfigDialog* userGroupConfigDialog;
