// Sizes are items valued by the number; one item serves every window, pane and column of that
// size, and goes as soon as nothing links to it, so dragging does not grow the store.
#include "SizeManager.h"

#include "DataSaver.h"
#include "ResizableWindow.h"
#include "ShellSchema.h"

#include <QHeaderView>
#include <QSplitter>
#include <QTreeWidget>

#include <optional>

SizeManager* sizeManager = nullptr;

namespace
{
QByteArray Name(const QString& i_name)
{
    return i_name.toUtf8();
}

// A stored number, or nothing when it is missing or not a number.
std::optional<int> StoredNumber(const ItemPtr& i_item)
{
    bool ok = false;
    const int number = i_item.AsString().toInt(&ok);
    return i_item && ok ? std::optional<int>(number) : std::nullopt;
}

// Links the holder to the value item of the number (replacing the one it had) and removes the
// old value item when nothing else uses it.
void StoreNumber(ItemPtr i_holder, const char* i_type, int i_number)
{
    ItemPtr old = i_holder[i_type];
    const ItemPtr now = d->GetType(i_type)->GetItem(Value(i_number));
    if (old == now)
        return;
    i_holder += now;
    if (old && old.IsDisconnectedFromAll())
        old.Remove();
}

// The column or pane item of a name for one index, made when missing.
ItemPtr PartItem(const ItemPtr& i_named, const char* i_partType, const char* i_numberType, int i_index)
{
    const ItemPtr number = d->GetType(i_numberType)->GetItem(Value(i_index));
    ItemPtr part = d->GetItem(i_named, number, i_partType);
    if (!part)
    {
        part = d->GetType(i_partType)->NewItem();
        part += i_named;
        part += number;
    }
    return part;
}

// The columns a tree stores: all but a last one that stretches.
int StoredColumnCount(const QHeaderView* ip_header)
{
    return ip_header->count() - (ip_header->stretchLastSection() && ip_header->count() > 0 ? 1 : 0);
}

// The named item that a registered widget's item belongs to.
ItemPtr NamedItemOf(const char* i_widgetType, const QObject* ip_widget, const char* i_namedType)
{
    return d->GetType(i_widgetType)->HasItem(Value(ip_widget))[i_namedType];
}
} // namespace

SizeManager::SizeManager(QObject* ip_parent)
    : QObject(ip_parent)
{
    sizeManager = this;
    const char* const saved[] = {types::kSizerWindow,
                                 types::kSizerX,
                                 types::kSizerY,
                                 types::kSizerWidth,
                                 types::kSizerHeight,
                                 types::kSizerTree,
                                 types::kSizerTreeColumn,
                                 types::kSizerTreeColumnNumber,
                                 types::kSizerSplitter,
                                 types::kSizerSplitterIndex,
                                 types::kSizerSplitterIndexNumber,
                                 types::kSizerSize};
    if (!d->HasType(types::kSizerWindow))
    {
        const struct
        {
            const char* name;
            Primacy primacy;
            bool isNull;
        } declared[] = {{types::kSizerWindow, Primary, false},
                        {types::kSizerWindowWidget, Primary, false},
                        {types::kSizerX, Tertiary, false},
                        {types::kSizerY, Tertiary, false},
                        {types::kSizerWidth, Tertiary, false},
                        {types::kSizerHeight, Tertiary, false},
                        {types::kSizerTree, Primary, false},
                        {types::kSizerTreeWidget, Primary, false},
                        {types::kSizerTreeColumn, Secondary, true},
                        {types::kSizerTreeColumnNumber, Tertiary, false},
                        {types::kSizerSplitter, Primary, false},
                        {types::kSizerSplitterWidget, Primary, false},
                        {types::kSizerSplitterIndex, Secondary, true},
                        {types::kSizerSplitterIndexNumber, Tertiary, false},
                        {types::kSizerSize, Tertiary, false}};
        for (const auto& type : declared)
            d->NewType(type.name, type.primacy, type.isNull, true);

        Type* window = d->GetType(types::kSizerWindow);
        window->RelateToType(d->GetType(types::kSizerWindowWidget), One, One, false);
        for (const char* value : {types::kSizerX, types::kSizerY, types::kSizerWidth, types::kSizerHeight})
            window->RelateToType(d->GetType(value), Many, One, false);
        d->GetType(types::kSizerTree)->RelateToType(d->GetType(types::kSizerTreeWidget), One, Many, false);
        d->GetType(types::kSizerTree)->RelateToType(d->GetType(types::kSizerTreeColumn), One, Many, false);
        d->GetType(types::kSizerTreeColumn)->RelateToType(d->GetType(types::kSizerTreeColumnNumber), Many, One, false);
        d->GetType(types::kSizerTreeColumn)->RelateToType(d->GetType(types::kSizerSize), Many, One, false);
        d->GetType(types::kSizerSplitter)->RelateToType(d->GetType(types::kSizerSplitterWidget), One, Many, false);
        d->GetType(types::kSizerSplitter)->RelateToType(d->GetType(types::kSizerSplitterIndex), One, Many, false);
        d->GetType(types::kSizerSplitterIndex)
            ->RelateToType(d->GetType(types::kSizerSplitterIndexNumber), Many, One, false);
        d->GetType(types::kSizerSplitterIndex)->RelateToType(d->GetType(types::kSizerSize), Many, One, false);
    }
    if (dataSaver)
        for (const char* type : saved)
            dataSaver->AddSavedType(type);
}

SizeManager::~SizeManager()
{
    if (sizeManager == this)
        sizeManager = nullptr;
}

void SizeManager::RegisterResizableWindow(const QString& i_name, ResizableWindow* ip_window)
{
    ItemPtr window = d->GetType(types::kSizerWindow)->HasItem(Name(i_name));
    const std::optional<int> x = StoredNumber(window[types::kSizerX]);
    const std::optional<int> y = StoredNumber(window[types::kSizerY]);
    const std::optional<int> width = StoredNumber(window[types::kSizerWidth]);
    const std::optional<int> height = StoredNumber(window[types::kSizerHeight]);
    // A geometry with a part missing or unreadable would collapse the window: it is stored
    // anew instead. Zero and negative positions are valid.
    if (x && y && width && *width > 0 && height && *height > 0)
    {
        ip_window->SetPosition(*x, *y);
        ip_window->SetSize(*width, *height);
    }
    else
    {
        window = d->GetType(types::kSizerWindow)->GetItem(Name(i_name));
        StoreNumber(window, types::kSizerX, ip_window->GetX());
        StoreNumber(window, types::kSizerY, ip_window->GetY());
        StoreNumber(window, types::kSizerWidth, ip_window->GetWidth());
        StoreNumber(window, types::kSizerHeight, ip_window->GetHeight());
    }
    window += d->GetType(types::kSizerWindowWidget)->GetItem(Value(ip_window));
    connect(ip_window, &ResizableWindow::WindowMoved, this, &SizeManager::OnWindowMoved);
    connect(ip_window, &ResizableWindow::WindowResized, this, &SizeManager::OnWindowResized);
}

void SizeManager::RegisterSplitter(const QString& i_name, QSplitter* ip_splitter, const QList<int>& i_defaultSizes)
{
    ItemPtr splitter = d->GetType(types::kSizerSplitter)->HasItem(Name(i_name));
    if (splitter)
    {
        QList<int> sizes;
        for (const ItemPtr& pane :
             splitter.GetItems(types::kSizerSplitterIndex).SortNumericBy(types::kSizerSplitterIndexNumber, true))
        {
            const std::optional<int> size = StoredNumber(pane[types::kSizerSize]);
            // An unreadable pane size would collapse the pane: the present sizes stay.
            if (!size)
            {
                sizes.clear();
                break;
            }
            sizes.append(*size);
        }
        if (!sizes.isEmpty())
            ip_splitter->setSizes(sizes);
    }
    else
    {
        splitter = d->GetType(types::kSizerSplitter)->GetItem(Name(i_name));
        const QList<int> sizes = i_defaultSizes.isEmpty() ? ip_splitter->sizes() : i_defaultSizes;
        for (int index = 0; index < sizes.size(); ++index)
            StoreNumber(PartItem(splitter, types::kSizerSplitterIndex, types::kSizerSplitterIndexNumber, index),
                        types::kSizerSize, sizes.at(index));
    }
    splitter += d->GetType(types::kSizerSplitterWidget)->GetItem(Value(ip_splitter));
    connect(ip_splitter, &QSplitter::splitterMoved, this, &SizeManager::OnSplitterMoved);
    connect(ip_splitter, &QObject::destroyed, this, &SizeManager::OnSplitterDestroyed);
}

void SizeManager::RegisterTreeWidget(const QString& i_name, QTreeWidget* ip_tree)
{
    QHeaderView* header = ip_tree->header();
    ItemPtr tree = d->GetType(types::kSizerTree)->HasItem(Name(i_name));
    if (tree)
    {
        for (const ItemPtr& column :
             tree.GetItems(types::kSizerTreeColumn).SortNumericBy(types::kSizerTreeColumnNumber, true))
        {
            const int number = column[types::kSizerTreeColumnNumber].AsInt();
            // A column without a readable width keeps its own rather than collapsing.
            if (const std::optional<int> width = StoredNumber(column[types::kSizerSize]))
                header->resizeSection(number, *width);
        }
    }
    else
    {
        tree = d->GetType(types::kSizerTree)->GetItem(Name(i_name));
        for (int index = 0; index < StoredColumnCount(header); ++index)
            StoreNumber(PartItem(tree, types::kSizerTreeColumn, types::kSizerTreeColumnNumber, index),
                        types::kSizerSize, header->sectionSize(index));
    }
    tree += d->GetType(types::kSizerTreeWidget)->GetItem(Value(ip_tree));
    connect(header, &QHeaderView::sectionResized, this, &SizeManager::OnTreeColumnResizedMoved);
    connect(ip_tree, &QObject::destroyed, this, &SizeManager::OnTreeDestroyed);
}

void SizeManager::ForgetTreeWidget(const QString& i_name)
{
    // Its columns are no longer reachable and go at the next collection.
    if (ItemPtr tree = d->GetType(types::kSizerTree)->HasItem(Name(i_name)))
        tree.Remove();
}

void SizeManager::StoreWindowPair(const char* i_firstType, int i_first, const char* i_secondType, int i_second)
{
    const ItemPtr window = NamedItemOf(types::kSizerWindowWidget, sender(), types::kSizerWindow);
    if (!window)
        return;
    StoreNumber(window, i_firstType, i_first);
    StoreNumber(window, i_secondType, i_second);
}

void SizeManager::OnWindowMoved(int, int)
{
    auto* window = static_cast<ResizableWindow*>(sender());
    StoreWindowPair(types::kSizerX, window->GetX(), types::kSizerY, window->GetY());
}

void SizeManager::OnWindowResized(int, int)
{
    auto* window = static_cast<ResizableWindow*>(sender());
    StoreWindowPair(types::kSizerWidth, window->GetWidth(), types::kSizerHeight, window->GetHeight());
}

void SizeManager::OnSplitterMoved(int, int)
{
    if (m_busy)
        return;
    auto* moved = static_cast<QSplitter*>(sender());
    const ItemPtr splitter = NamedItemOf(types::kSizerSplitterWidget, moved, types::kSizerSplitter);
    if (!splitter)
        return;
    const QList<int> sizes = moved->sizes();
    for (int index = 0; index < sizes.size(); ++index)
        StoreNumber(PartItem(splitter, types::kSizerSplitterIndex, types::kSizerSplitterIndexNumber, index),
                    types::kSizerSize, sizes.at(index));

    // The other splitters of the name follow; their own signals find the flag set.
    m_busy = true;
    for (const ItemPtr& widget : splitter.GetItems(types::kSizerSplitterWidget))
        if (auto* other = widget.AsPointer<QSplitter>(); other != moved)
            other->setSizes(sizes);
    m_busy = false;
}

void SizeManager::OnTreeColumnResizedMoved(int, int, int)
{
    if (m_busy)
        return;
    auto* header = static_cast<QHeaderView*>(sender());
    auto* resized = static_cast<QTreeWidget*>(header->parent());
    const ItemPtr tree = NamedItemOf(types::kSizerTreeWidget, resized, types::kSizerTree);
    if (!tree)
        return;
    m_busy = true;
    QList<QHeaderView*> others;
    for (const ItemPtr& widget : tree.GetItems(types::kSizerTreeWidget))
        if (auto* other = widget.AsPointer<QTreeWidget>(); other != resized)
            others.append(other->header());
    for (int index = 0; index < StoredColumnCount(header); ++index)
    {
        const int width = header->sectionSize(index);
        StoreNumber(PartItem(tree, types::kSizerTreeColumn, types::kSizerTreeColumnNumber, index), types::kSizerSize,
                    width);
        for (QHeaderView* other : others)
            other->resizeSection(index, width);
    }
    m_busy = false;
}

void SizeManager::OnSplitterDestroyed(QObject* ip_splitter)
{
    if (ItemPtr widget = d->GetType(types::kSizerSplitterWidget)->HasItem(Value(ip_splitter)))
        widget.Remove();
}

void SizeManager::OnTreeDestroyed(QObject* ip_tree)
{
    if (ItemPtr widget = d->GetType(types::kSizerTreeWidget)->HasItem(Value(ip_tree)))
        widget.Remove();
}
