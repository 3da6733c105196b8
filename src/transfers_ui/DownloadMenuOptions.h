#pragma once

#include "Data.h"

#include <QObject>
#include <QString>

class QMenu;

// The entries of the downloads context menu for a set of download entries (one file row gives
// one, a folder or user row all under it): open, retry, remove, the completion notices and
// re-running the search that found them. Built on the caller's stack around a fresh menu and
// kept while the menu runs:
//
//     QMenu menu;
//     DownloadMenuOptions options(&menu, entries, nullptr);
//     menu.exec(globalPosition);
class DownloadMenuOptions : public QObject
{
    Q_OBJECT

public:
    DownloadMenuOptions(QMenu* ip_menu, ItemSet i_entries, QObject* ip_parent = nullptr);

public slots:
    void OnOpenFile();
    void OnOpenFolder();
    void OnRetryDownloads();
    void OnRemoveDownloads();
    void OnSetFileDownloadAlert();
    void OnSetFolderDownloadAlert();
    void OnSetUserDownloadAlert();
    void OnRerunSearch();

private:
    void AddAlertEntries(QMenu* ip_menu);

    ItemSet m_entries;
    QString m_searchText;
    ItemPtr m_user;   // when all entries are one user's
    ItemPtr m_folder; // when all entries lie in one remote folder
};
