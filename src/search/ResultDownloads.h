#pragma once

#include "Data.h"

#include <vector>

class QTreeWidgetItem;

// What a row of a result tree stands for. Rows are told apart by their nodes, not their cells: a
// folder row of files shared at the root has no folder text and would pass for a file row.
enum class ResultRowKind
{
    None,
    User,
    Folder,
    File
};

ResultRowKind KindOfResultRow(QTreeWidgetItem* ip_row);

// The search_result items of every file row under a user or folder row, or of a file row itself,
// whether the filter shows those rows or not.
std::vector<ItemPtr> ResultsOfRow(QTreeWidgetItem* ip_row);

// The search_request_text item of the search the result came from; null when that search is gone.
ItemPtr SearchTextOfResult(const ItemPtr& i_result);

// Hands the result's file to the transfer engine, links the download to the search text (when
// given) so that the download remembers it, and marks the result's file row. Returns the
// download entry, new or already there.
ItemPtr QueueResultDownload(const ItemPtr& i_result, const ItemPtr& i_searchText);
