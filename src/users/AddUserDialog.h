#pragma once

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui
{
class AddUserDialog;
}

// Puts a user into the user list by name once the server confirms that the user exists. Each
// dialog waits for the answer about its own name; several may be open at once. Deletes itself
// when closed.
class AddUserDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AddUserDialog(QWidget* ip_parent);
    ~AddUserDialog() override;

    // From now on the users window's "Add User" opens one, a child of that window, while the
    // window lasts.
    static void RegisterOpener(QWidget* ip_usersWindow);

public slots:
    void OnAddUserClicked();
    void OnAddUserResponse(QString i_user, bool i_exists);
    void OnDisconnected();

private:
    void Release(const QString& i_status);

    std::unique_ptr<Ui::AddUserDialog> ui;
    // Sent and not yet answered; empty while idle.
    QString m_awaitedName;
};
