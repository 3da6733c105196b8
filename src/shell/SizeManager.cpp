// Sizes are items valued by the number; one item serves every window, pane and column of that
// size, and goes as soon as nothing links to it, so dragging does not grow the store.
#include "SizeManager.h"

#include "DataSaver.h"
#include "ResizableWindow.h"

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
    const char* const saved[] = {"sizer_window",
                                 "sizer_x",
                                 "sizer_y",
                                 "sizer_width",
                                 "sizer_height",
                                 "sizer_tree",
                                 "sizer_tree_column",
                                 "sizer_tree_column_number",
                                 "sizer_splitter",
                                 "sizer_splitter_index",
                                 "sizer_splitter_index_number",
                                 "sizer_size"};
    if (!d->HasType("sizer_window"))
    {
        const struct
        {
            const char* name;
            Primacy primacy;
            bool isNull;
        } types[] = {{"sizer_window", Primary, false},
                     {"sizer_window_widget", Primary, false},
                     {"sizer_x", Tertiary, false},
                     {"sizer_y", Tertiary, false},
                     {"sizer_width", Tertiary, false},
                     {"sizer_height", Tertiary, false},
                     {"sizer_tree", Primary, false},
                     {"sizer_tree_widget", Primary, false},
                     {"sizer_tree_column", Secondary, true},
                     {"sizer_tree_column_number", Tertiary, false},
                     {"sizer_splitter", Primary, false},
                     {"sizer_splitter_widget", Primary, false},
                     {"sizer_splitter_index", Secondary, true},
                     {"sizer_splitter_index_number", Tertiary, false},
                     {"sizer_size", Tertiary, false}};
        for (const auto& type : types)
            d->NewType(type.name, type.primacy, type.isNull, true);

        Type* window = d->GetType("sizer_window");
        window->RelateToType(d->GetType("sizer_window_widget"), One, One, false);
        for (const char* value : {"sizer_x", "sizer_y", "sizer_width", "sizer_height"})
            window->RelateToType(d->GetType(value), Many, One, false);
        d->GetType("sizer_tree")->RelateToType(d->GetType("sizer_tree_widget"), One, Many, false);
        d->GetType("sizer_tree")->RelateToType(d->GetType("sizer_tree_column"), One, Many, false);
        d->GetType("sizer_tree_column")->RelateToType(d->GetType("sizer_tree_column_number"), Many, One, false);
        d->GetType("sizer_tree_column")->RelateToType(d->GetType("sizer_size"), Many, One, false);
        d->GetType("sizer_splitter")->RelateToType(d->GetType("sizer_splitter_widget"), One, Many, false);
        d->GetType("sizer_splitter")->RelateToType(d->GetType("sizer_splitter_index"), One, Many, false);
        d->GetType("sizer_splitter_index")->RelateToType(d->GetType("sizer_splitter_index_number"), Many, One, false);
        d->GetType("sizer_splitter_index")->RelateToType(d->GetType("sizer_size"), Many, One, false);
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
    ItemPtr window = d->GetType("sizer_window")->HasItem(Name(i_name));
    const std::optional<int> x = StoredNumber(window["sizer_x"]);
    const std::optional<int> y = StoredNumber(window["sizer_y"]);
    const std::optional<int> width = StoredNumber(window["sizer_width"]);
    const std::optional<int> height = StoredNumber(window["sizer_height"]);
    // A geometry with a part missing or unreadable would collapse the window: it is stored
    // anew instead. Zero and negative positions are valid.
    if (x && y && width && *width > 0 && height && *height > 0)
    {
        ip_window->SetPosition(*x, *y);
        ip_window->SetSize(*width, *height);
    }
    else
    {
        window = d->GetType("sizer_window")->GetItem(Name(i_name));
        StoreNumber(window, "sizer_x", ip_window->GetX());
        StoreNumber(window, "sizer_y", ip_window->GetY());
        StoreNumber(window, "sizer_width", ip_window->GetWidth());
        StoreNumber(window, "sizer_height", ip_window->GetHeight());
    }
    window += d->GetType("sizer_window_widget")->GetItem(Value(ip_window));
    connect(ip_window, &ResizableWindow::WindowMoved, this, &SizeManager::OnWindowMoved);
    connect(ip_window, &ResizableWindow::WindowResized, this, &SizeManager::OnWindowResized);
}

void SizeManager::RegisterSplitter(const QString& i_name, QSplitter* ip_splitter, const QList<int>& i_defaultSizes)
{
    ItemPtr splitter = d->GetType("sizer_splitter")->HasItem(Name(i_name));
    if (splitter)
    {
        QList<int> sizes;
        for (const ItemPtr& pane :
             splitter.GetItems("sizer_splitter_index").SortNumericBy("sizer_splitter_index_number", true))
        {
            const std::optional<int> size = StoredNumber(pane["sizer_size"]);
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
        splitter = d->GetType("sizer_splitter")->GetItem(Name(i_name));
        const QList<int> sizes = i_defaultSizes.isEmpty() ? ip_splitter->sizes() : i_defaultSizes;
        for (int index = 0; index < sizes.size(); ++index)
            StoreNumber(PartItem(splitter, "sizer_splitter_index", "sizer_splitter_index_number", index), "sizer_size",
                        sizes.at(index));
    }
    splitter += d->GetType("sizer_splitter_widget")->GetItem(Value(ip_splitter));
    connect(ip_splitter, &QSplitter::splitterMoved, this, &SizeManager::OnSplitterMoved);
    connect(ip_splitter, &QObject::destroyed, this, &SizeManager::OnSplitterDestroyed);
}

void SizeManager::RegisterTreeWidget(const QString& i_name, QTreeWidget* ip_tree)
{
    QHeaderView* header = ip_tree->header();
    ItemPtr tree = d->GetType("sizer_tree")->HasItem(Name(i_name));
    if (tree)
    {
        for (const ItemPtr& column : tree.GetItems("sizer_tree_column").SortNumericBy("sizer_tree_column_number", true))
        {
            const int number = column["sizer_tree_column_number"].AsInt();
            // A column without a readable width keeps its own rather than collapsing.
            if (const std::optional<int> width = StoredNumber(column["sizer_size"]))
                header->resizeSection(number, *width);
        }
    }
    else
    {
        tree = d->GetType("sizer_tree")->GetItem(Name(i_name));
        for (int index = 0; index < StoredColumnCount(header); ++index)
            StoreNumber(PartItem(tree, "sizer_tree_column", "sizer_tree_column_number", index), "sizer_size",
                        header->sectionSize(index));
    }
    tree += d->GetType("sizer_tree_widget")->GetItem(Value(ip_tree));
    connect(header, &QHeaderView::sectionResized, this, &SizeManager::OnTreeColumnResizedMoved);
    connect(ip_tree, &QObject::destroyed, this, &SizeManager::OnTreeDestroyed);
}

void SizeManager::ForgetTreeWidget(const QString& i_name)
{
    // Its columns are no longer reachable and go at the next collection.
    if (ItemPtr tree = d->GetType("sizer_tree")->HasItem(Name(i_name)))
        tree.Remove();
}

void SizeManager::StoreWindowPair(const char* i_firstType, int i_first, const char* i_secondType, int i_second)
{
    const ItemPtr window = NamedItemOf("sizer_window_widget", sender(), "sizer_window");
    if (!window)
        return;
    StoreNumber(window, i_firstType, i_first);
    StoreNumber(window, i_secondType, i_second);
}

void SizeManager::OnWindowMoved(int, int)
{
    auto* window = static_cast<ResizableWindow*>(sender());
    StoreWindowPair("sizer_x", window->GetX(), "sizer_y", window->GetY());
}

void SizeManager::OnWindowResized(int, int)
{
    auto* window = static_cast<ResizableWindow*>(sender());
    StoreWindowPair("sizer_width", window->GetWidth(), "sizer_height", window->GetHeight());
}

void SizeManager::OnSplitterMoved(int, int)
{
    if (m_busy)
        return;
    auto* moved = static_cast<QSplitter*>(sender());
    const ItemPtr splitter = NamedItemOf("sizer_splitter_widget", moved, "sizer_splitter");
    if (!splitter)
        return;
    const QList<int> sizes = moved->sizes();
    for (int index = 0; index < sizes.size(); ++index)
        StoreNumber(PartItem(splitter, "sizer_splitter_index", "sizer_splitter_index_number", index), "sizer_size",
                    sizes.at(index));

    // The other splitters of the name follow; their own signals find the flag set.
    m_busy = true;
    for (const ItemPtr& widget : splitter.GetItems("sizer_splitter_widget"))
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
    const ItemPtr tree = NamedItemOf("sizer_tree_widget", resized, "sizer_tree");
    if (!tree)
        return;
    m_busy = true;
    QList<QHeaderView*> others;
    for (const ItemPtr& widget : tree.GetItems("sizer_tree_widget"))
        if (auto* other = widget.AsPointer<QTreeWidget>(); other != resized)
            others.append(other->header());
    for (int index = 0; index < StoredColumnCount(header); ++index)
    {
        const int width = header->sectionSize(index);
        StoreNumber(PartItem(tree, "sizer_tree_column", "sizer_tree_column_number", index), "sizer_size", width);
        for (QHeaderView* other : others)
            other->resizeSection(index, width);
    }
    m_busy = false;
}

void SizeManager::OnSplitterDestroyed(QObject* ip_splitter)
{
    if (ItemPtr widget = d->GetType("sizer_splitter_widget")->HasItem(Value(ip_splitter)))
        widget.Remove();
}

void SizeManager::OnTreeDestroyed(QObject* ip_tree)
{
    if (ItemPtr widget = d->GetType("sizer_tree_widget")->HasItem(Value(ip_tree)))
        widget.Remove();
}
