#include "UserNoteDialog.h"

#include "Data.h"

void UserNoteDialog::Init()
{
    Type* dialog = d->NewType("user_note_dialog", Primary, false, true);
    dialog->RelateToType(d->GetType("user"), One, One, false);
}
