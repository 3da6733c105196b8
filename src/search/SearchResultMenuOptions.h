#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QMenu;
class QTreeWidget;
class QTreeWidgetItem;

// The result entries of a result row's context menu: "Download File(s)" on a file row, then
// "Download Folder(s)" and "Browse Folder" on a file or folder row; a user row gets none. The
// search window puts the user's entries after them. Keep the object alive while the menu runs.
class SearchResultMenuOptions : public QObject
{
    Q_OBJECT

public:
    SearchResultMenuOptions(QMenu* ip_menu, QTreeWidgetItem* ip_row, QObject* ip_parent = nullptr);

    // "Browse Folder" opens the user's shares at the folder in a tab built above this library;
    // that tab registers how, and clears it when it goes. An empty browser clears it.
    using FolderBrowser = std::function<void(const QString& i_user, const QString& i_folder)>;
    static void RegisterFolderBrowser(FolderBrowser i_browser);

    QString SearchText() const { return m_searchText; }
    QString User() const { return m_user; }
    QString Folder() const { return m_folder; }

public slots:
    void OnDownloadFile();
    void OnDownloadFolder();
    void OnBrowseFolder();

private:
    // The selected rows of the clicked row's tree, in the order they were selected.
    QList<QTreeWidgetItem*> SelectedRows() const;

    QTreeWidgetItem* mp_row;
    QPointer<QTreeWidget> mp_tree;
    QString m_searchText;
    QString m_user;
    // As the result carries it, not as the "Folder" column shows it.
    QString m_folder;
};
