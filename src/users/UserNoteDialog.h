#pragma once

// The editor of a note on a user.
class UserNoteDialog
{
public:
    // Declares the dialog's data-model type; once per run.
    static void Init();
};
