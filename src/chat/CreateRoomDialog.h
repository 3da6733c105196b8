#pragma once

#include <QDialog>

namespace Ui
{
class CreateRoomDialog;
}

// Asks for a room name and whether the room is private, then enters (or creates) that room.
// One at a time, reached through createRoomDialog; closing it only hides it, with its text.
class CreateRoomDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CreateRoomDialog(QWidget* ip_parent);
    ~CreateRoomDialog() override;

public slots:
    void OnButtonClicked();

private:
    Ui::CreateRoomDialog* ui;
};

extern CreateRoomDialog* createRoomDialog;
