#pragma once

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui
{
class UserNoteDialog;
}

// The editor of the note on one user; at most one per user, recorded in the data model as a
// `user_note_dialog` item linked to the user. Deletes itself when closed.
class UserNoteDialog : public QDialog
{
    Q_OBJECT

public:
    // Declares the dialog's data-model type; once per run.
    static void Init();
    // The user's open editor, activated, or a new one (not yet shown).
    static UserNoteDialog* GetDialog(QString i_user);

    UserNoteDialog(QString i_user, QWidget* ip_parent = nullptr);
    ~UserNoteDialog() override;

public slots:
    void OnSaveNote();
    void OnClearNote();

private:
    QString m_user;
    std::unique_ptr<Ui::UserNoteDialog> m_ui;
};
