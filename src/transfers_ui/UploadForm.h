#pragma once

#include "ShareView.h"

#include <QString>

namespace Ui
{
class UploadForm;
}

// The "Upload to" tab: our own shares as one user may see them, as they were when the tab was
// opened, from which files and folders are offered to that user.
class UploadForm : public ShareView
{
    Q_OBJECT

public:
    UploadForm(QString i_user, QWidget* ip_parent);
    ~UploadForm() override;

    QString User() const { return m_user; }

    // Shows the share; called once, right after construction.
    void SetShare(ItemPtr i_share);
    // Offers every file of the folder and of everything below it, each with its own folder's path.
    void UploadFolder(ItemPtr i_folder);
    // Closes the tab: its item and its share go, then the widget.
    void Delete();

public slots:
    void OnActionBarTriggered(QWidget* ip_widget, QString i_action);

private:
    // Offers one file; true when the transfer engine took the offer.
    bool UploadFile(const ItemPtr& i_file);
    void ReleaseItems();

    Ui::UploadForm* m_ui;
    QString m_user;
    bool m_released = false;
};
