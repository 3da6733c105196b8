#pragma once

#include "Data.h"

#include <QDialog>

#include <memory>

namespace Ui
{
class AddSharedFolderDialog;
}

// Shares a new folder, or changes who may see a shared one: everyone, every user on the user
// list, or the members of chosen user-list groups. Nothing is stored before OK. Modeless; it
// deletes itself when closed, and several may be open at once:
//
//     (new AddSharedFolderDialog(ItemPtr(), mainWindow))->show();        // "Share Folder"
//     (new AddSharedFolderDialog(sharedFolder, mainWindow))->show();     // a folder's permissions
//
// The folder chooser goes through StartupPrompts::ChooseFolder, so tests answer it.
class AddSharedFolderDialog : public QDialog
{
    Q_OBJECT

public:
    // i_folder: the `shared_folder` to edit, or null for a new folder.
    explicit AddSharedFolderDialog(ItemPtr i_folder, QWidget* ip_parent = nullptr);
    ~AddSharedFolderDialog() override;

public slots:
    void OnSelectFolderClicked();
    void accept() override;
    void OnAccessibleToEveryoneCheckStateChanged(int i_checkState);
    void OnAccessibleToUserListCheckStateChanged(int i_checkState);

private:
    std::unique_ptr<Ui::AddSharedFolderDialog> ui;
    ItemPtr m_folder;
    const bool m_editing;
};
