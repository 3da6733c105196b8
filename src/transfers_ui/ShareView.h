#pragma once

#include "Data.h"

#include <QWidget>

#include <string>
#include <unordered_map>
#include <vector>

class FilterParser;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// What the browse tab and the "Upload to" tab have in common: a `user_share` shown as a folder
// tree, the file list of the chosen folder, the filter line and the tree's expand commands.
// Rows hold display texts only; each is tied to its item by a node item whose value is the row's
// address (`user_share_folder_node`, `user_share_file_node`).
class ShareView
    : public QWidget
    , public DataHandler
{
    Q_OBJECT

public:
    ItemPtr Share() const { return m_share; }
    QTreeWidget* FolderTree() const { return mp_folderTree; }
    QTreeWidget* FileList() const { return mp_fileList; }
    QLineEdit* FilterEdit() const { return mp_filterEdit; }
    // Depth of the deepest folder row (top-level rows have depth 0).
    int MaxDepth() const { return m_maxDepth; }

    void ExpandLevel();
    void ExpandAll();
    void CollapseAll();

    // Filters the row and everything below it; true when the row is shown.
    bool FilterFolderNode(QTreeWidgetItem* ip_row, FilterParser& i_parser);

    // The items behind rows, and the rows of items; null when there is none.
    static ItemPtr FolderOfRow(QTreeWidgetItem* ip_row);
    static ItemPtr FileOfRow(QTreeWidgetItem* ip_row);
    static QTreeWidgetItem* RowOfFile(const ItemPtr& i_file);
    // The folder's sub-folders, reached through its child and parent link items.
    static ItemSet SubFolders(const ItemPtr& i_folder);

public slots:
    void OnCurrentItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem* ip_previous);
    void OnFilterTextChanged(QString i_text);
    void OnFilterHelpClicked();

protected:
    explicit ShareView(QWidget* ip_parent);

    // Called once the form's widgets exist: the columns, sorting, connections and tool-bar sets of
    // the lists, and the item of the tab's type (value: this widget) linked to its user.
    void SetUpWidgets(QTreeWidget* ip_folderTree, QTreeWidget* ip_fileList, QLineEdit* ip_filterEdit,
                      QPushButton* ip_filterHelpButton, const char* i_tabType, const QString& i_user);
    // Removes the tab's item.
    void ForgetTab();
    // Replaces every row by the tree of the share's folders; m_share must be set.
    void BuildFolderTree(const ItemSet& i_folders);
    // Removes every row and its node, so that no row outlives the items it stands for.
    void ClearRows();
    void ClearFileList();
    void ShowLists(bool i_shown);

    ItemPtr m_share;
    int m_maxDepth = 0;
    int m_expandLevel = 0;

private:
    // At least max(minimum files, 1) of the folder's own files pass the parser.
    bool HasEnoughMatchingFiles(QTreeWidgetItem* ip_row, const FilterParser& i_parser) const;
    // The folder's file names folded as the filter compares them: a keystroke in the filter then
    // matches a million files without reading the data model or decoding a name.
    void KeepFoldedFileNames(const QTreeWidgetItem* ip_row, const ItemPtr& i_folder);
    void SetExpandLevelText(const QString& i_text);

    // Each name folded, in UTF-8 and ended by a byte UTF-8 never holds; not usable when a name has
    // a character beyond the basic plane, whose folding the filter does by pairs of units.
    struct FoldedNames
    {
        bool usable = true;
        std::string text;
    };
    std::unordered_map<const QTreeWidgetItem*, FoldedNames> m_foldedFileNames;

    QTreeWidget* mp_folderTree = nullptr;
    QTreeWidget* mp_fileList = nullptr;
    QLineEdit* mp_filterEdit = nullptr;
    QPushButton* mp_filterHelpButton = nullptr;
    const char* mp_tabType = nullptr;
    // The node items this view made, so that a refill never walks the whole share.
    std::vector<ItemPtr> m_folderNodes;
    std::vector<ItemPtr> m_fileNodes;
};
