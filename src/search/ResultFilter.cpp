#include "ResultFilter.h"

#include "PeerSchema.h"
#include "SearchResultListItem.h"
#include "SearchSchema.h"

ResultFilter::ResultFilter(const QString& i_text)
{
    m_parser.Parse(i_text);
    if (m_parser.HasAttributes() && d && d->HasType(types::kSearchResultNode))
        mp_fileNodeType = d->GetType(types::kSearchResultNode);
}

void SetRowHidden(QTreeWidgetItem* ip_row, bool i_hidden)
{
    if (ip_row->isHidden() != i_hidden)
        ip_row->setHidden(i_hidden);
}

ItemPtr ResultFilter::FileOfRow(QTreeWidgetItem* ip_fileRow) const
{
    if (!mp_fileNodeType)
        return ItemPtr();
    return mp_fileNodeType->HasItem(Value(ip_fileRow))[types::kSearchResult];
}

bool ResultFilter::Apply(QTreeWidgetItem* ip_userRow) const
{
    bool userShown = false;
    const int folderCount = ip_userRow->childCount();
    for (int folderIndex = 0; folderIndex < folderCount; ++folderIndex)
    {
        QTreeWidgetItem* folderRow = ip_userRow->child(folderIndex);
        FilterParser remainder;
        const int folderMatch =
            m_parser.IsMatching(folderRow->text(SearchResultListItem::FolderColumn), &remainder, ItemPtr());
        if (folderMatch == FilterParser::Rejected)
        {
            SetRowHidden(folderRow, true);
            continue;
        }
        int shownFiles = 0;
        const int fileCount = folderRow->childCount();
        for (int fileIndex = 0; fileIndex < fileCount; ++fileIndex)
        {
            QTreeWidgetItem* fileRow = folderRow->child(fileIndex);
            const ItemPtr file = remainder.HasAttributes() ? FileOfRow(fileRow) : ItemPtr();
            const bool shown = remainder.IsMatching(fileRow->text(SearchResultListItem::FileColumn), nullptr, file)
                               == FilterParser::Matching;
            SetRowHidden(fileRow, !shown);
            if (shown)
                ++shownFiles;
        }
        const bool folderShown = shownFiles > 0 && shownFiles >= remainder.MinFilesInFolder();
        SetRowHidden(folderRow, !folderShown);
        userShown = userShown || folderShown;
    }
    SetRowHidden(ip_userRow, !userShown);
    return userShown;
}
