#pragma once

#include <QDialog>

#include <memory>

namespace Ui
{
class ChangeUsernamePasswordDialog;
}

// The user name and password the client logs in with. It only stores them; the next login uses
// them. At the first start it runs modally on the caller's stack; otherwise it is a window of its
// own that goes away when closed.
class ChangeUsernamePasswordDialog : public QDialog
{
    Q_OBJECT

public:
    ChangeUsernamePasswordDialog(bool i_firstRun, QWidget* ip_parent = nullptr);
    ~ChangeUsernamePasswordDialog() override;

    // OK: stores both, trimmed, once neither is blank; until then does nothing.
    void accept() override;

private:
    std::unique_ptr<Ui::ChangeUsernamePasswordDialog> ui;
    bool m_firstRun;
};
