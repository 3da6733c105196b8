#pragma once

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui
{
class GiftPrivilegesDialog;
}

// Gives a user days of the logged-in user's privileges: one request to the server, then the
// dialog goes. Deletes itself when closed.
class GiftPrivilegesDialog : public QDialog
{
    Q_OBJECT

public:
    GiftPrivilegesDialog(QString i_user, QWidget* ip_parent);
    ~GiftPrivilegesDialog() override;

    // From now on the user menu's "Gift Privileges" opens one, a window of its own.
    static void RegisterOpener();

public slots:
    void OnGiftClicked();

private:
    std::unique_ptr<Ui::GiftPrivilegesDialog> ui;
    QString m_user;
};
