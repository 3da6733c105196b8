#pragma once

#include <QTreeWidgetItem>

// A row of a result tree: a user row (columns "User", "Free", "K/s"), a folder row ("Folder")
// or a file row ("File", "Size", "Attributes"). Rows are ordered by the tree's sort column so
// that the users most likely to deliver soon come first when sorted in descending order.
class SearchResultListItem : public QTreeWidgetItem
{
public:
    enum Column
    {
        UserColumn = 0,
        FreeColumn = 1,
        SpeedColumn = 2,
        FolderColumn = 3,
        FileColumn = 4,
        SizeColumn = 5,
        AttributesColumn = 6,
        ColumnCount = 7
    };

    // A row not yet in a tree, filled before it is added.
    SearchResultListItem() = default;
    explicit SearchResultListItem(QTreeWidget* ip_tree)
        : QTreeWidgetItem(ip_tree)
    {
    }
    explicit SearchResultListItem(QTreeWidgetItem* ip_parent)
        : QTreeWidgetItem(ip_parent)
    {
    }

    bool operator<(const QTreeWidgetItem& i_other) const override;
};
