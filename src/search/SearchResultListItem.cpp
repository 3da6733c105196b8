#include "SearchResultListItem.h"

namespace
{
// An empty speed cell reads as 0.
double Speed(const QTreeWidgetItem& i_row)
{
    return i_row.text(SearchResultListItem::SpeedColumn).toDouble();
}
} // namespace

bool SearchResultListItem::operator<(const QTreeWidgetItem& i_other) const
{
    const QTreeWidget* tree = treeWidget();
    const int column = tree ? tree->sortColumn() : FreeColumn;
    if (column == FreeColumn)
    {
        const QString free = text(FreeColumn);
        const QString otherFree = i_other.text(FreeColumn);
        if (free != otherFree)
        {
            // A free slot beats any queue; a shorter queue beats a longer one.
            if (free == QLatin1String("Y"))
                return false;
            if (otherFree == QLatin1String("Y"))
                return true;
            return free.toInt() > otherFree.toInt();
        }
    }
    if (column == FreeColumn || column == SpeedColumn)
    {
        const double speed = Speed(*this);
        const double otherSpeed = Speed(i_other);
        if (speed != otherSpeed)
            return speed < otherSpeed;
    }
    // Plain code-unit order, so capitals come before lower case.
    return text(FileColumn) < i_other.text(FileColumn);
}
