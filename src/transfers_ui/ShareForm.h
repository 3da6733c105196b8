#pragma once

#include "ShareView.h"

#include <QString>

namespace Ui
{
class ShareForm;
}

class QPoint;

// One tab of the Browse page: another user's shared folders, from the moment their list is
// asked for until the tab is closed. Downloads are queued from here.
class ShareForm : public ShareView
{
    Q_OBJECT

public:
    ShareForm(QString i_user, QWidget* ip_parent);
    ~ShareForm() override;

    QString User() const { return m_user; }

    // Shows a received list; a later list replaces the one shown.
    void SetShare(ItemPtr i_share);
    // Makes the folder with this full path current; before the list arrives, remembers it.
    void BrowseToFolder(QString i_folder);
    // Closes the tab: the user's received share goes, then the tab's item, then the widget.
    void Delete();

    // Queues every file of the folder and of everything below it; i_level is the folder's depth
    // below the one the user chose, so the download keeps that many of its parent folders.
    void DownloadFolder(ItemPtr i_folder, int i_level);

public slots:
    void OnConnectionToUserFailed(QString i_user, QString i_connectionType);
    void OnFileDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnFolderDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnFileContextMenuRequested(QPoint i_point);
    void OnFolderContextMenuRequested(QPoint i_point);
    void OnDownloadFile();
    void OnDownloadFolder();

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    void OnUserShareItemRemoved(ItemPtr i_share);
    void DownloadFileOfRow(QTreeWidgetItem* ip_row);
    void DownloadFolderOfRow(QTreeWidgetItem* ip_row);
    void PostNotice(QWidget* ip_widget);
    // What Delete gives back; also done by the destructor when the tab went another way.
    void ReleaseItems();

    Ui::ShareForm* m_ui;
    QString m_user;
    bool m_listHandled = false;
    bool m_released = false;
    QString m_pendingFolder;
};
