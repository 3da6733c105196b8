#pragma once

#include <QDialog>

namespace Ui
{
class AdminMessageDialog;
}

// One message of the server's administrators, with the time it arrived; deletes itself when
// closed.
class AdminMessageDialog : public QDialog
{
    Q_OBJECT

public:
    AdminMessageDialog(const QString& i_message, QWidget* ip_parent);
    ~AdminMessageDialog() override;

private:
    Ui::AdminMessageDialog* ui;
};
