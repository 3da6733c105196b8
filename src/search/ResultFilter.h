#pragma once

#include "FilterParser.h"

class QTreeWidgetItem;
class Type;

// Applies a filter text to the rows of a result tree, one user row at a time. The same rule
// serves a whole pass after the text changed and the rows of a reply that just arrived, so what
// the user sees never depends on whether the rows came before or after the text:
// - a folder row is tested on its "Folder" text; the words it lacks are left to its files;
// - a rejected folder row is hidden and its file rows are left as they are;
// - a file row is tested on its "File" text and, when the filter needs them, the file's
//   attributes;
// - a folder row is shown when it holds a shown file and at least the minimum files in folder;
// - a user row is shown when it holds a shown folder row.
class ResultFilter
{
public:
    explicit ResultFilter(const QString& i_text);

    // Returns whether the user row is shown. Rows are touched only when their state changes.
    bool Apply(QTreeWidgetItem* ip_userRow) const;

    const FilterParser& Parser() const { return m_parser; }

private:
    // The file's search_result item, through the file row's node.
    ItemPtr FileOfRow(QTreeWidgetItem* ip_fileRow) const;

    FilterParser m_parser;
    Type* mp_fileNodeType = nullptr;
};

// Hides or shows the row, touching it only when that changes its state.
void SetRowHidden(QTreeWidgetItem* ip_row, bool i_hidden);
