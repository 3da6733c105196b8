#pragma once

#include <QDialog>

#include <memory>

namespace Ui
{
class ChangeListeningPortDialog;
}

// Chooses another listening port. The change waits for the next start (`new_listening_port`),
// when the peer network takes it and the next port up for its scrambled connections.
class ChangeListeningPortDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ChangeListeningPortDialog(QWidget* ip_parent);
    ~ChangeListeningPortDialog() override;

    // OK: stores a valid, changed port as pending and closes; otherwise says why and stays.
    void accept() override;

private:
    std::unique_ptr<Ui::ChangeListeningPortDialog> ui;
};
