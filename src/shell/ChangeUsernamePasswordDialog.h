#pragma once

#include <QDialog>

class QLineEdit;

// The login dialog: stores `username` and `password` when the user confirms both.
class ChangeUsernamePasswordDialog : public QDialog
{
    Q_OBJECT

public:
    ChangeUsernamePasswordDialog(bool i_firstRun, QWidget* ip_parent = nullptr);
    ~ChangeUsernamePasswordDialog() override;

    void accept() override;

private:
    QLineEdit* mp_username;
    QLineEdit* mp_password;
};
