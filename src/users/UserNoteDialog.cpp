#include "UserNoteDialog.h"

#include "Data.h"
#include "ServerSchema.h"
#include "ShellSchema.h"
#include "UserTypes.h"
#include "UsersSchema.h"
#include "WindowHost.h"
#include "ui_UserNoteDialog.h"

void UserNoteDialog::Init()
{
    Type* dialog = d->NewType(types::kUserNoteDialog, Primary, false, true);
    dialog->RelateToType(d->GetType(types::kUser), One, One, false);
}

UserNoteDialog* UserNoteDialog::GetDialog(QString i_user)
{
    ItemPtr user = UserItem(i_user);
    if (const ItemPtr open = user[types::kUserNoteDialog])
    {
        UserNoteDialog* dialog = open.AsPointer<UserNoteDialog>();
        dialog->raise();
        dialog->activateWindow();
        return dialog;
    }
    // A child of the main window, so that closing that window ends the program with it open.
    auto* dialog = new UserNoteDialog(i_user, MainWindowWidget());
    user += d->GetType(types::kUserNoteDialog)->GetItem(Value(dialog));
    return dialog;
}

UserNoteDialog::UserNoteDialog(QString i_user, QWidget* ip_parent)
    : QDialog(ip_parent)
    , m_user(std::move(i_user))
    , m_ui(std::make_unique<Ui::UserNoteDialog>())
{
    m_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    // Plain text both ways: a note that looks like markup is kept as the user typed it.
    if (const ItemPtr note = UserItem(m_user)[types::kUserNote])
        m_ui->noteEdit->setPlainText(note.AsString());
    setWindowIcon(QIcon(QStringLiteral(":/icons/note_icon")));
    setWindowTitle(m_user);
    connect(m_ui->saveButton, &QPushButton::clicked, this, &UserNoteDialog::OnSaveNote);
    connect(m_ui->clearButton, &QPushButton::clicked, this, &UserNoteDialog::OnClearNote);
}

UserNoteDialog::~UserNoteDialog()
{
    if (d && d->HasType(types::kUserNoteDialog))
        if (ItemPtr record = d->GetType(types::kUserNoteDialog)->HasItem(Value(this)))
            record.Remove();
}

void UserNoteDialog::OnSaveNote()
{
    const QString text = m_ui->noteEdit->toPlainText().trimmed();
    ItemPtr user = UserItem(m_user);
    if (text.isEmpty())
        user.Disconnect(types::kUserNote);
    else
        user += d->GetType(types::kUserNote)->GetItem(text);
    accept();
}

void UserNoteDialog::OnClearNote()
{
    m_ui->noteEdit->clear();
}
