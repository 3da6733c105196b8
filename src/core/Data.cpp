#include "Data.h"

#include "CoreSchema.h"
#include "Log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

Data* d = nullptr;

namespace
{

const QString kArea = QStringLiteral("Data Model");

Data::TextDecoder s_textDecoder = nullptr;

std::uint32_t HashBytes(std::string_view i_bytes)
{
    const std::size_t h = std::hash<std::string_view>()(i_bytes);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
}

std::string Decimal(unsigned long long i_number, bool i_negative)
{
    char buffer[24];
    char* end = buffer + sizeof(buffer);
    char* p = end;
    do
    {
        *--p = static_cast<char>('0' + i_number % 10);
        i_number /= 10;
    } while (i_number);
    if (i_negative)
        *--p = '-';
    return std::string(p, end);
}

std::string SignedDecimal(long long i_number)
{
    if (i_number < 0)
        return Decimal(0ULL - static_cast<unsigned long long>(i_number), true);
    return Decimal(static_cast<unsigned long long>(i_number), false);
}

template<class T> T ParseDecimal(std::string_view i_bytes)
{
    T value = 0;
    const char* first = i_bytes.data();
    const char* last = first + i_bytes.size();
    const auto result = std::from_chars(first, last, value, 10);
    if (result.ec != std::errc() || result.ptr != last || first == last)
        return 0;
    return value;
}

bool IsValidUtf8(std::string_view i_bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(i_bytes.data());
    const auto* end = p + i_bytes.size();
    while (p < end)
    {
        const unsigned char c = *p;
        if (c < 0x80)
        {
            ++p;
            continue;
        }
        int extra;
        std::uint32_t code;
        if ((c & 0xE0) == 0xC0)
        {
            extra = 1;
            code = c & 0x1F;
        }
        else if ((c & 0xF0) == 0xE0)
        {
            extra = 2;
            code = c & 0x0F;
        }
        else if ((c & 0xF8) == 0xF0)
        {
            extra = 3;
            code = c & 0x07;
        }
        else
        {
            return false;
        }
        if (end - p <= extra)
            return false;
        for (int k = 1; k <= extra; ++k)
        {
            if ((p[k] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (p[k] & 0x3F);
        }
        static const std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (code < minimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        p += extra + 1;
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------

struct PathRegistration
{
    std::unique_ptr<PathNode> root;
    std::unique_ptr<EventHandlerBase<ItemPtr>> handler;
};

// The link primitives shared by the model and the saver. Links hold item ids; a lookup in the
// store's item table turns them back into items.
struct DataInternals
{
    static bool LinkLess(const Item* ip_a, const Item* ip_b)
    {
        return ip_a->m_typeIndex != ip_b->m_typeIndex ? ip_a->m_typeIndex < ip_b->m_typeIndex
                                                      : ip_a->m_serial < ip_b->m_serial;
    }

    // Valid until the next item is created: event handlers may grow the table.
    static Item* const* Table(const Item* ip_item) { return ip_item->m_type->mp_data->m_itemsById.data(); }

    using Range = std::pair<const std::uint32_t*, const std::uint32_t*>;

    static const std::uint32_t* FirstOfTypeOrAfter(Item* const* ip_table, const LinkList& i_links,
                                                   std::uint32_t i_typeIndex)
    {
        return std::lower_bound(
            i_links.begin(), i_links.end(), i_typeIndex,
            [ip_table](std::uint32_t i_id, std::uint32_t i_index) { return ip_table[i_id]->m_typeIndex < i_index; });
    }

    static Range LinksOfType(const Item* ip_item, std::uint32_t i_typeIndex)
    {
        Item* const* table = Table(ip_item);
        const LinkList& links = ip_item->m_links;
        const std::uint32_t* first = FirstOfTypeOrAfter(table, links, i_typeIndex);
        const std::uint32_t* last =
            std::upper_bound(first, links.end(), i_typeIndex, [table](std::uint32_t i_index, std::uint32_t i_id) {
                return i_index < table[i_id]->m_typeIndex;
            });
        return {first, last};
    }

    static Item* FirstOfType(const Item* ip_item, std::uint32_t i_typeIndex)
    {
        Item* const* table = Table(ip_item);
        const LinkList& links = ip_item->m_links;
        const std::uint32_t* first = FirstOfTypeOrAfter(table, links, i_typeIndex);
        return first != links.end() && table[*first]->m_typeIndex == i_typeIndex ? table[*first] : nullptr;
    }

    // Position of the other item in a sorted run of link ids, or where it would go.
    static const std::uint32_t* Find(Item* const* ip_table, const std::uint32_t* i_first, const std::uint32_t* i_last,
                                     const Item* ip_other)
    {
        return std::lower_bound(i_first, i_last, ip_other, [ip_table](std::uint32_t i_id, const Item* ip_item) {
            return LinkLess(ip_table[i_id], ip_item);
        });
    }

    static bool IsLinked(const Item* ip_a, const Item* ip_b)
    {
        // Search the shorter list.
        if (ip_a->m_links.size() > ip_b->m_links.size())
            std::swap(ip_a, ip_b);
        const LinkList& links = ip_a->m_links;
        const std::uint32_t* it = Find(Table(ip_a), links.begin(), links.end(), ip_b);
        return it != links.end() && *it == ip_b->m_id;
    }

    static void InsertLink(Item* ip_item, Item* ip_other)
    {
        Item* const* table = Table(ip_item);
        LinkList& links = ip_item->m_links;
        if (links.empty() || LinkLess(table[links.back()], ip_other))
        {
            links.Insert(links.size(), ip_other->m_id);
            return;
        }
        links.Insert(static_cast<std::size_t>(Find(table, links.begin(), links.end(), ip_other) - links.begin()),
                     ip_other->m_id);
    }

    static void EraseLink(Item* ip_item, Item* ip_other)
    {
        LinkList& links = ip_item->m_links;
        if (!links.empty() && links.back() == ip_other->m_id)
        {
            links.Erase(links.size() - 1);
            return;
        }
        const std::uint32_t* it = Find(Table(ip_item), links.begin(), links.end(), ip_other);
        if (it != links.end() && *it == ip_other->m_id)
            links.Erase(static_cast<std::size_t>(it - links.begin()));
    }

    static Type* LookupType(const Item* ip_item, const char* i_type)
    {
        return ip_item->m_type->mp_data->GetType(i_type);
    }

    // The lookups that a Part never expects to fail: a programming error in a debug build, a log
    // line and a null answer in a release build.
    static bool CheckRelated(const Item* ip_item, const Type* ip_type)
    {
        if (ip_item->m_type->FindRelation(ip_type->m_index))
            return true;
        const std::string what = "type " + ip_item->m_type->m_name + " is not related to " + ip_type->m_name;
#ifndef NDEBUG
        throw NotRelatedException(what);
#else
        Log(kArea, 1, QString::fromStdString(what));
        return false;
#endif
    }

    static void FireTypeEvents(Item* ip_a, Item* ip_b, EventHandlerSet<ConnectionInfo&> Type::*ip_events);

    static void FireConnected(Item* ip_a, Item* ip_b);
    static void FireDisconnected(Item* ip_a, Item* ip_b);
    // Whether a disconnection of the two would reach any handler.
    static bool HearsDisconnect(const Item* ip_a, const Item* ip_b);
    static void Unlink(Item* ip_a, Item* ip_b);
    static void Link(Item* ip_a, Item* ip_b);
    // i_freeLater (Data::CanFreeLater checked): the store's reference, when it is the last, goes
    // to the store's list of items freed in slices at idle time (see Data::FreeSlice).
    static void RemoveItem(Item* ip_item, bool i_freeLater = false);
    // The end of a removal once the item is unlinked and unlisted: its id and count go, and the
    // store's reference is dropped or, with i_freeLater, kept for the idle-time freeing.
    static void Retire(Data* ip_data, Item* ip_item, bool i_freeLater);
    // Removes the items in the given order, as one Remove() after the other would.
    // Returns how many of them were still there when their turn came. i_resolve turns an element
    // into its item while listed, else null; i_peek gives an address worth fetching early, which
    // may be stale and is never read.
    // With i_orphans, an item that a removal leaves without links goes too, when no handler can
    // hear it and no Primary item is it: the collector would take it anyway, and now it is still
    // in the cache.
    template<class It, class Peek, class Resolver>
    static int RemoveEach(It i_first, It i_last, Peek i_peek, Resolver i_resolve, bool i_orphans = false);
    // The batch's items from i_first to i_last, in its order.
    static void RemoveBatch(const RemovalBatch& i_batch, std::size_t i_first, std::size_t i_last,
                            bool i_orphans = false);
    template<class It> static int RemoveEach(It i_first, It i_last)
    {
        return RemoveEach(
            i_first, i_last, [](const ItemPtr& i_item) { return i_item.mp_item; },
            [](const ItemPtr& i_item) { return i_item.Live(); });
    }
    // Names an item without holding it: the id finds it while listed, the serial tells it from a
    // later item that reuses the id.
    struct WeakRef
    {
        std::uint32_t id;
        std::uint64_t serial;
    };
    // The collector's removal of unreached items when no handler can hear it; i_runs bound each
    // type's run of i_unreached, oldest first, and i_runTypes names the runs' types.
    static int RemoveSilently(Data* ip_data, const std::vector<WeakRef>& i_unreached,
                              const std::vector<std::size_t>& i_runs, const std::vector<Type*>& i_runTypes);
    static Item* Resolve(const Data* ip_data, const WeakRef& i_ref)
    {
        Item* item = ip_data->m_itemsById[i_ref.id];
        return item && item->m_serial == i_ref.serial && !item->m_removed ? item : nullptr;
    }
    static void Prefetch(const void* ip_address)
    {
#if defined(__GNUC__)
        __builtin_prefetch(ip_address);
#else
        (void)ip_address;
#endif
    }

    static bool Satisfied(const PathNode* ip_node, const Item* ip_item);
    static bool MatchesSatisfied(const PathNode* ip_node, const Item* ip_item)
    {
        return ip_node->Matches(const_cast<Item*>(ip_item)) && Satisfied(ip_node, ip_item);
    }
    static void PathEvent(Item* ip_a, Item* ip_b, bool i_connected);
};

// ---------------------------------------------------------------------------------------------
// Value

Value::Value(const QString& i_text)
{
    const QByteArray utf8 = i_text.toUtf8();
    m_bytes.assign(utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

Value::Value(const char* i_text)
    : m_bytes(i_text ? i_text : "")
{
}
Value::Value(const QByteArray& i_bytes)
    : m_bytes(i_bytes.constData(), static_cast<std::size_t>(i_bytes.size()))
{
}
Value::Value(int i_number)
    : m_bytes(SignedDecimal(i_number))
{
}
Value::Value(unsigned int i_number)
    : m_bytes(Decimal(i_number, false))
{
}
Value::Value(long i_number)
    : m_bytes(SignedDecimal(i_number))
{
}
Value::Value(unsigned long i_number)
    : m_bytes(Decimal(i_number, false))
{
}
Value::Value(long long i_number)
    : m_bytes(SignedDecimal(i_number))
{
}
Value::Value(unsigned long long i_number)
    : m_bytes(Decimal(i_number, false))
{
}

// ---------------------------------------------------------------------------------------------
// LinkList

void LinkList::Insert(std::size_t i_at, std::uint32_t i_id)
{
    if (m_size == m_capacity)
    {
        // Grow by half: the long lists (a common word's files) waste less than with doubling.
        const std::uint32_t capacity = m_capacity < 4 ? 4 : m_capacity + m_capacity / 2;
        std::uint32_t* block;
        if (IsInPlace())
        {
            block = static_cast<std::uint32_t*>(std::malloc(capacity * sizeof(std::uint32_t)));
            if (block)
                std::memcpy(block, m_inPlace, m_size * sizeof(std::uint32_t));
        }
        else
        {
            block = static_cast<std::uint32_t*>(std::realloc(mp_heap, capacity * sizeof(std::uint32_t)));
        }
        if (!block)
            throw std::bad_alloc();
        mp_heap = block;
        m_capacity = capacity;
    }
    std::uint32_t* ids = Ids();
    std::memmove(ids + i_at + 1, ids + i_at, (m_size - i_at) * sizeof(std::uint32_t));
    ids[i_at] = i_id;
    ++m_size;
}

void LinkList::Erase(std::size_t i_at)
{
    std::uint32_t* ids = Ids();
    std::memmove(ids + i_at, ids + i_at + 1, (m_size - i_at - 1) * sizeof(std::uint32_t));
    --m_size;
}

void LinkList::Release()
{
    if (!IsInPlace())
        std::free(mp_heap);
    m_inPlace[0] = m_inPlace[1] = 0;
    m_size = 0;
    m_capacity = kInPlace;
}

// ---------------------------------------------------------------------------------------------
// Item

Item* Item::Create(Type* ip_type, std::uint64_t i_serial, std::uint32_t i_id, std::string_view i_value)
{
    void* block = ::operator new(sizeof(Item) + i_value.size());
    Item* item = new (block) Item(ip_type, i_serial, i_id, static_cast<std::uint32_t>(i_value.size()));
    if (!i_value.empty())
        std::memcpy(reinterpret_cast<char*>(item + 1), i_value.data(), i_value.size());
    return item;
}

Item::Item(Type* ip_type, std::uint64_t i_serial, std::uint32_t i_id, std::uint32_t i_valueSize)
    : m_type(ip_type)
    , m_serial(i_serial)
    , m_id(i_id)
    , m_typeIndex(ip_type->m_index)
    , m_valueSize(i_valueSize)
{
}

void Item::Destroy()
{
    this->~Item();
    ::operator delete(this);
}

// ---------------------------------------------------------------------------------------------
// ItemPtr

ItemPtr::ItemPtr(const ItemPtr& i_other)
    : mp_item(i_other.mp_item)
{
    if (mp_item)
        mp_item->Ref();
}

ItemPtr& ItemPtr::operator=(const ItemPtr& i_other)
{
    if (i_other.mp_item)
        i_other.mp_item->Ref();
    if (mp_item)
        mp_item->Unref();
    mp_item = i_other.mp_item;
    return *this;
}

ItemPtr& ItemPtr::operator=(ItemPtr&& i_other) noexcept
{
    if (this != &i_other)
    {
        if (mp_item)
            mp_item->Unref();
        mp_item = i_other.mp_item;
        i_other.mp_item = nullptr;
    }
    return *this;
}

ItemPtr::~ItemPtr()
{
    if (mp_item)
        mp_item->Unref();
}

uint qHash(const ItemPtr& i_item, uint i_seed)
{
    return ::qHash(static_cast<quint64>(i_item.GetSerial()), i_seed);
}

ItemPtr ItemPtr::operator[](const char* i_type) const
{
    return HasItem(i_type);
}

ItemPtr ItemPtr::HasItem(const char* i_type) const
{
    Item* item = Live();
    if (!item)
        return ItemPtr();
    Type* type = DataInternals::LookupType(item, i_type);
    if (!DataInternals::CheckRelated(item, type))
        return ItemPtr();
    return ItemPtr(DataInternals::FirstOfType(item, type->m_index));
}

ItemPtr ItemPtr::operator[](Type* ip_type) const
{
    Item* item = Live();
    if (!item || !ip_type || !DataInternals::CheckRelated(item, ip_type))
        return ItemPtr();
    return ItemPtr(DataInternals::FirstOfType(item, ip_type->m_index));
}

ItemPtr ItemPtr::GetItem(const char* i_type) const
{
    return HasItem(i_type);
}

ItemSet ItemPtr::GetItems(const char* i_type) const
{
    ItemSet items;
    GetItems(i_type, items);
    return items;
}

void ItemPtr::GetItems(const char* i_type, ItemSet& o_items) const
{
    Item* item = Live();
    if (!item)
        return;
    Type* type = DataInternals::LookupType(item, i_type);
    if (!item->m_type->FindRelation(type->m_index))
        throw NotRelatedException("type " + item->m_type->m_name + " is not related to " + type->m_name);
    Item* const* table = DataInternals::Table(item);
    const auto range = DataInternals::LinksOfType(item, type->m_index);
    if (o_items.empty())
    {
        // A run of links is already oldest first and holds no removed item.
        o_items.m_items.reserve(static_cast<std::size_t>(range.second - range.first));
        for (auto it = range.first; it != range.second; ++it)
            o_items.AppendNewest(ItemPtr(table[*it]));
        return;
    }
    for (auto it = range.first; it != range.second; ++it)
        o_items.insert(ItemPtr(table[*it]));
}

std::size_t ItemPtr::CountItems(const char* i_type) const
{
    Item* item = Live();
    if (!item)
        return 0;
    Type* type = DataInternals::LookupType(item, i_type);
    if (!DataInternals::CheckRelated(item, type))
        return 0;
    const auto range = DataInternals::LinksOfType(item, type->m_index);
    return static_cast<std::size_t>(range.second - range.first);
}

bool ItemPtr::IsConnected(const char* i_type) const
{
    Item* item = Live();
    if (!item)
        return false;
    Type* type = DataInternals::LookupType(item, i_type);
    if (!DataInternals::CheckRelated(item, type))
        return false;
    return DataInternals::FirstOfType(item, type->m_index) != nullptr;
}

bool ItemPtr::IsConnected(const ItemPtr& i_other) const
{
    Item* a = Live();
    Item* b = i_other.Live();
    return a && b && DataInternals::IsLinked(a, b);
}

bool ItemPtr::IsDisconnectedFromAll() const
{
    Item* item = Live();
    return !item || item->m_links.empty();
}

QString ItemPtr::AsString() const
{
    Item* item = Live();
    if (!item)
        return QString();
    const std::string_view bytes = item->Bytes();
    if (IsValidUtf8(bytes))
        return QString::fromUtf8(bytes.data(), static_cast<int>(bytes.size()));
    if (s_textDecoder)
        return s_textDecoder(std::string(bytes));
    return QString::fromLatin1(bytes.data(), static_cast<int>(bytes.size()));
}

std::string ItemPtr::AsStdString() const
{
    Item* item = Live();
    return item ? std::string(item->Bytes()) : std::string();
}

std::string_view ItemPtr::AsBytes() const
{
    Item* item = Live();
    return item ? item->Bytes() : std::string_view();
}

int ItemPtr::AsInt() const
{
    Item* item = Live();
    return item ? ParseDecimal<int>(item->Bytes()) : 0;
}

unsigned int ItemPtr::AsUInt() const
{
    Item* item = Live();
    return item ? ParseDecimal<unsigned int>(item->Bytes()) : 0;
}

qint64 ItemPtr::AsInt64() const
{
    Item* item = Live();
    return item ? ParseDecimal<long long>(item->Bytes()) : 0;
}

quint64 ItemPtr::AsUInt64() const
{
    Item* item = Live();
    return item ? ParseDecimal<unsigned long long>(item->Bytes()) : 0;
}

Type* ItemPtr::GetType() const
{
    Item* item = Live();
    return item ? item->m_type : nullptr;
}

ItemPtr ItemPtr::Connect(ItemPtr i_other)
{
    Item* a = Live();
    Item* b = i_other.Live();
    if (!a || !b || a->m_removing || b->m_removing)
    {
        Log(kArea, 1, QStringLiteral("A link to a missing or removed item was ignored."));
        return i_other;
    }
    if (a == b)
        return i_other;
    DataInternals::Link(a, b);
    return i_other;
}

ItemPtr ItemPtr::Disconnect(ItemPtr i_other)
{
    Item* a = Live();
    Item* b = i_other.Live();
    if (!a || !b)
        return i_other;
    if (DataInternals::IsLinked(a, b))
        DataInternals::Unlink(a, b);
    return i_other;
}

void ItemPtr::Disconnect(const char* i_type)
{
    Item* item = Live();
    if (!item)
        return;
    ItemPtr keep(*this);
    Type* type = DataInternals::LookupType(item, i_type);
    Item* const* table = DataInternals::Table(item);
    const auto range = DataInternals::LinksOfType(item, type->m_index);
    std::vector<ItemPtr> others;
    for (auto it = range.first; it != range.second; ++it)
        others.push_back(ItemPtr(table[*it]));
    for (const ItemPtr& other : others)
    {
        Item* live = other.Live();
        if (live && !item->m_removed && DataInternals::IsLinked(item, live))
            DataInternals::Unlink(item, live);
    }
}

ItemPtr ItemPtr::NewItem(const char* i_type)
{
    Item* item = Live();
    if (!item)
        return ItemPtr();
    Type* type = DataInternals::LookupType(item, i_type);
    if (!type->m_isNull)
        throw NullTypeException("type " + type->m_name + " carries values");
    const Type::Relation* relation = item->m_type->FindRelation(type->m_index);
    if (!relation)
        throw NotRelatedException("type " + item->m_type->m_name + " is not related to " + type->m_name);
    if (relation->otherPerThis == One)
    {
        if (Item* held = DataInternals::FirstOfType(item, type->m_index))
            return ItemPtr(held);
        if (relation->thisPerOther == Many)
        {
            ItemPtr shared = type->GetGlobalNullItem();
            Connect(shared);
            return shared;
        }
    }
    ItemPtr fresh = type->NewItem();
    Connect(fresh);
    return fresh;
}

void ItemPtr::Remove()
{
    Item* item = Live();
    if (!item || item->m_removing)
        return;
    DataInternals::RemoveItem(item);
}

// ---------------------------------------------------------------------------------------------
// Link changes and their events. Order for one link: the first item's type event, the other's,
// the store's connection handlers, then the path handlers.

// Each end's type hears of the link with its own item first.
void DataInternals::FireTypeEvents(Item* ip_a, Item* ip_b, EventHandlerSet<ConnectionInfo&> Type::*ip_events)
{
    // Most types have no listener; the handles below would be taken and dropped for nothing.
    if ((ip_a->m_type->*ip_events).empty() && (ip_b->m_type->*ip_events).empty())
        return;
    const ItemPtr a(ip_a);
    const ItemPtr b(ip_b);
    {
        ConnectionInfo info{a, b};
        (ip_a->m_type->*ip_events).Fire(info);
    }
    ConnectionInfo info{b, a};
    (ip_b->m_type->*ip_events).Fire(info);
}

// Link holds both items until its events are done.
void DataInternals::FireConnected(Item* ip_a, Item* ip_b)
{
    Data* data = ip_a->m_type->mp_data;
    FireTypeEvents(ip_a, ip_b, &Type::m_itemConnected);
    if (!data->m_connectionHandlers.empty())
    {
        const std::size_t count = data->m_connectionHandlers.size();
        for (std::size_t index = 0; index < count; ++index)
        {
            const Data::ConnectionHandler handler = data->m_connectionHandlers[index];
            if (handler.handler->IsEnded())
                continue;
            if (handler.first == ip_a->m_type && handler.second == ip_b->m_type)
            {
                ConnectionInfo info{ItemPtr(ip_a), ItemPtr(ip_b)};
                handler.handler->Call(info);
            }
            else if (handler.first == ip_b->m_type && handler.second == ip_a->m_type)
            {
                ConnectionInfo info{ItemPtr(ip_b), ItemPtr(ip_a)};
                handler.handler->Call(info);
            }
        }
    }
    if (!data->m_pathEdges.empty())
        PathEvent(ip_a, ip_b, true);
}

// Unlink holds both items until its events are done, so they outlive any handler that removes them.
void DataInternals::FireDisconnected(Item* ip_a, Item* ip_b)
{
    Data* data = ip_a->m_type->mp_data;
    FireTypeEvents(ip_a, ip_b, &Type::m_itemDisconnected);
    if (!data->m_pathEdges.empty())
        PathEvent(ip_a, ip_b, false);
}

bool DataInternals::HearsDisconnect(const Item* ip_a, const Item* ip_b)
{
    if (!ip_a->m_type->m_itemDisconnected.empty() || !ip_b->m_type->m_itemDisconnected.empty())
        return true;
    const Data* data = ip_a->m_type->mp_data;
    if (data->m_pathEdges.empty())
        return false;
    const auto onPath = [data](const Item* ip_item) {
        return ip_item->m_typeIndex < data->m_pathTypes.size() && data->m_pathTypes[ip_item->m_typeIndex];
    };
    return onPath(ip_a) && onPath(ip_b);
}

void DataInternals::Unlink(Item* ip_a, Item* ip_b)
{
    // Nobody hears most unlinks (a large share's files going away): nothing can then run between
    // here and the caller, whose references keep both items, so the handles are skipped.
    if (!HearsDisconnect(ip_a, ip_b))
    {
        EraseLink(ip_a, ip_b);
        EraseLink(ip_b, ip_a);
        --ip_a->m_type->mp_data->m_linkCount;
        return;
    }
    ItemPtr keepA(ip_a);
    ItemPtr keepB(ip_b);
    EraseLink(ip_a, ip_b);
    EraseLink(ip_b, ip_a);
    --ip_a->m_type->mp_data->m_linkCount;
    FireDisconnected(ip_a, ip_b);
}

void DataInternals::Link(Item* ip_a, Item* ip_b)
{
    const Type::Relation* relation = ip_a->m_type->FindRelation(ip_b->m_typeIndex);
    if (!relation)
        throw NotRelatedException("type " + ip_a->m_type->m_name + " is not related to " + ip_b->m_type->m_name);
    ItemPtr keepA(ip_a);
    ItemPtr keepB(ip_b);
    // A One end gives up its old link first; handlers of that disconnection may change things, so
    // look again until both ends are free.
    for (int round = 0; round < 8; ++round)
    {
        if (ip_a->m_removed || ip_b->m_removed || ip_a->m_removing || ip_b->m_removing)
            return;
        if (IsLinked(ip_a, ip_b))
            return;
        Item* oldOfA = relation->otherPerThis == One ? FirstOfType(ip_a, ip_b->m_typeIndex) : nullptr;
        Item* oldOfB = relation->thisPerOther == One ? FirstOfType(ip_b, ip_a->m_typeIndex) : nullptr;
        if (!oldOfA && !oldOfB)
            break;
        if (oldOfA)
            Unlink(ip_a, oldOfA);
        else
            Unlink(ip_b, oldOfB);
    }
    if (ip_a->m_removed || ip_b->m_removed || IsLinked(ip_a, ip_b))
        return;
    InsertLink(ip_a, ip_b);
    InsertLink(ip_b, ip_a);
    ++ip_a->m_type->mp_data->m_linkCount;
    FireConnected(ip_a, ip_b);
}

void DataInternals::RemoveItem(Item* ip_item, bool i_freeLater)
{
    Type* type = ip_item->m_type;
    Data* data = type->mp_data;
    ip_item->m_removing = true;
    // The store's own reference keeps the item until the end; a handle is taken only for handlers.
    if (!type->m_itemRemoved.empty() || !data->m_itemRemoved.empty())
    {
        ItemPtr self(ip_item);
        type->m_itemRemoved.Fire(self);
        data->m_itemRemoved.Fire(self);
    }
    while (!ip_item->m_links.empty())
    {
        Item* other = data->m_itemsById[ip_item->m_links.back()];
        Unlink(ip_item, other);
    }
    type->Unlist(ip_item);
    Retire(data, ip_item, i_freeLater);
}

void DataInternals::Retire(Data* ip_data, Item* ip_item, bool i_freeLater)
{
    ip_item->m_removed = true;
    ip_data->ReleaseId(ip_item);
    --ip_data->m_itemCount;
    // A sole reference has no other handle to be copied from, on any thread: the item is then
    // the store's alone until it is freed, with its link block.
    if (i_freeLater && ip_item->m_refs.load(std::memory_order_acquire) == 1)
    {
        ip_data->m_unfreed.push_back(ip_item);
        return;
    }
    ip_item->m_links.Release();
    ip_item->Unref(); // the store's reference
}

// A large share's removal walks millions of items scattered over the heap and waits on memory
// for each. Fetching ahead in stages (the item, its link block, the table slots of its links,
// its linked items, their link blocks' newest ends and its value index slot) lets those waits
// overlap. Each stage reads only what the previous one fetched; a handler that changes the store
// meanwhile only wastes a fetch.
template<class It, class Peek, class Resolver>
int DataInternals::RemoveEach(It i_first, It i_last, Peek i_peek, Resolver i_resolve, bool i_orphans)
{
    constexpr std::ptrdiff_t kAhead = 3;
    // Links are taken off at the newest end, so that end of a long list is what will be read.
    const auto heapBlock = [](const Item* ip_item) {
        const LinkList& links = ip_item->m_links;
        return links.size() > 2 ? static_cast<const void*>(links.end() - 1) : nullptr;
    };
    int removed = 0;
    const std::ptrdiff_t count = i_last - i_first;
    Data* data = nullptr;
    bool freeLater = false;
    std::vector<WeakRef> partners;
    for (std::ptrdiff_t k = 0; k < count; ++k)
    {
        if (k + 5 * kAhead < count)
            Prefetch(i_peek(i_first[k + 5 * kAhead]));
        if (k + 4 * kAhead < count)
            if (const Item* ahead = i_resolve(i_first[k + 4 * kAhead]))
                Prefetch(heapBlock(ahead));
        if (k + 3 * kAhead < count)
        {
            if (const Item* ahead = i_resolve(i_first[k + 3 * kAhead]))
            {
                Item* const* table = Table(ahead);
                for (const std::uint32_t id : ahead->m_links)
                    Prefetch(table + id);
            }
        }
        if (k + 2 * kAhead < count)
        {
            if (const Item* ahead = i_resolve(i_first[k + 2 * kAhead]))
            {
                Item* const* table = Table(ahead);
                for (const std::uint32_t id : ahead->m_links)
                    Prefetch(table[id]);
            }
        }
        if (k + kAhead < count)
        {
            if (const Item* ahead = i_resolve(i_first[k + kAhead]))
            {
                Item* const* table = Table(ahead);
                for (const std::uint32_t id : ahead->m_links)
                    if (const void* block = heapBlock(table[id]))
                        Prefetch(block);
                const Type* type = ahead->m_type;
                if (!type->m_valueIndex.empty())
                    Prefetch(&type->m_valueIndex[HashBytes(ahead->Bytes()) & (type->m_valueIndex.size() - 1)]);
            }
        }
        Item* item = i_resolve(i_first[k]);
        if (!item)
            continue;
        ++removed;
        if (item->m_removing)
            continue;
        if (!data)
        {
            data = item->m_type->mp_data;
            freeLater = data->CanFreeLater();
            if (freeLater)
                data->m_unfreed.reserve(data->m_unfreed.size() + static_cast<std::size_t>(count - k));
        }
        if (!i_orphans)
        {
            RemoveItem(item, freeLater);
            continue;
        }
        partners.clear();
        Item* const* table = Table(item);
        for (const std::uint32_t id : item->m_links)
            partners.push_back({id, table[id]->m_serial});
        RemoveItem(item, freeLater);
        for (const WeakRef& partner : partners)
        {
            Item* other = Resolve(data, partner);
            if (other && other->m_links.empty() && !other->m_removing && other->m_type->m_primacy != Primary
                && other->m_type->m_itemRemoved.empty() && data->m_itemRemoved.empty())
                RemoveItem(other, freeLater);
        }
    }
    if (freeLater)
        data->ScheduleFreeing();
    return removed;
}

// ---------------------------------------------------------------------------------------------
// Removal batches

void RemovalBatch::Note(const Item* ip_item)
{
    mp_data = ip_item->m_type->mp_data;
    m_mark = mp_data->m_nextSerial;
}

void RemovalBatch::AddItemsNewestFirst(const ItemSet& i_items, const char* i_type)
{
    const std::size_t start = m_ids.size();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs; // oldest and newest serial of each run
    for (const ItemPtr& member : i_items)
    {
        const Item* item = member.Live();
        if (!item)
            continue;
        const Type* type = DataInternals::LookupType(item, i_type);
        if (!item->m_type->FindRelation(type->m_index))
            throw NotRelatedException("type " + item->m_type->m_name + " is not related to " + type->m_name);
        Note(item);
        Item* const* table = DataInternals::Table(item);
        const auto range = DataInternals::LinksOfType(item, type->m_index);
        if (range.first == range.second)
            continue;
        runs.emplace_back(table[*range.first]->m_serial, table[*(range.second - 1)]->m_serial);
        m_ids.insert(m_ids.end(), range.first, range.second);
    }
    if (!mp_data)
        return;
    // Each member's run is oldest first; the runs usually follow one another too.
    bool ordered = true;
    for (std::size_t k = 1; k < runs.size() && ordered; ++k)
        ordered = runs[k - 1].second < runs[k].first;
    const auto first = m_ids.begin() + static_cast<std::ptrdiff_t>(start);
    if (!ordered)
    {
        Item* const* table = mp_data->m_itemsById.data();
        const auto older = [table](std::uint32_t i_a, std::uint32_t i_b) {
            return table[i_a]->m_serial < table[i_b]->m_serial;
        };
        std::sort(first, m_ids.end(), older);
        m_ids.erase(std::unique(first, m_ids.end()), m_ids.end());
    }
    std::reverse(first, m_ids.end());
}

void RemovalBatch::AddNewestFirst(const ItemSet& i_items)
{
    for (auto it = i_items.m_items.rbegin(); it != i_items.m_items.rend(); ++it)
        Add(*it);
}

void RemovalBatch::Add(const ItemPtr& i_item)
{
    if (const Item* item = i_item.Live())
    {
        Note(item);
        m_ids.push_back(item->m_id);
    }
}

void RemovalBatch::Remove() const
{
    DataInternals::RemoveBatch(*this, 0, m_ids.size());
}

void DataInternals::RemoveBatch(const RemovalBatch& i_batch, std::size_t i_first, std::size_t i_last, bool i_orphans)
{
    Data* data = i_batch.mp_data;
    if (!data || i_first >= i_last)
        return;
    const std::uint64_t mark = i_batch.m_mark;
    const auto ids = i_batch.m_ids.begin();
    RemoveEach(
        ids + static_cast<std::ptrdiff_t>(i_first), ids + static_cast<std::ptrdiff_t>(i_last),
        [data](std::uint32_t i_id) { return data->m_itemsById[i_id]; },
        [data, mark](std::uint32_t i_id) -> Item* {
            Item* item = data->m_itemsById[i_id];
            return item && item->m_serial < mark && !item->m_removed ? item : nullptr;
        },
        i_orphans);
}

// ---------------------------------------------------------------------------------------------
// Path subscriptions

PathNode::PathNode(Data* ip_data, const char* i_type)
    : mp_data(ip_data)
    , mp_type(ip_data->GetType(i_type))
{
}

PathNode::PathNode(ItemPtr i_root)
    : mp_data(i_root.GetType() ? i_root.GetType()->GetData() : d)
    , mp_type(i_root.GetType())
    , m_item(i_root)
{
}

PathNode::PathNode(PathNode* ip_parent, const char* i_type, PathNodeRelation i_relation)
    : mp_data(ip_parent->mp_data)
    , mp_type(ip_parent->mp_data->GetType(i_type))
    , mp_parent(ip_parent)
    , m_relation(i_relation)
{
    ip_parent->m_children.push_back(this);
}

PathNode::PathNode(PathNode* ip_parent, ItemPtr i_item, PathNodeRelation i_relation)
    : mp_data(ip_parent->mp_data)
    , mp_type(i_item.GetType())
    , m_item(i_item)
    , mp_parent(ip_parent)
    , m_relation(i_relation)
{
    ip_parent->m_children.push_back(this);
}

PathNode::~PathNode()
{
    for (PathNode* child : m_children)
        delete child;
}

bool PathNode::Matches(Item* ip_item) const
{
    if (!mp_type || ip_item->m_type != mp_type)
        return false;
    return !m_item.mp_item || m_item.mp_item == ip_item;
}

bool DataInternals::Satisfied(const PathNode* ip_node, const Item* ip_item)
{
    for (const PathNode* child : ip_node->m_children)
    {
        if (!child->mp_type)
            continue;
        const bool required = child->m_relation == PathRequired || child->m_relation == PathRequiredQuiet;
        const bool excluded = child->m_relation == PathExcluded;
        if (!required && !excluded)
            continue;
        bool found = false;
        Item* const* table = Table(ip_item);
        const auto range = LinksOfType(ip_item, child->mp_type->m_index);
        for (auto it = range.first; it != range.second && !found; ++it)
            found = MatchesSatisfied(child, table[*it]);
        if (required && !found)
            return false;
        if (excluded && found)
            return false;
    }
    return true;
}

void DataInternals::PathEvent(Item* ip_a, Item* ip_b, bool i_connected)
{
    Data* data = ip_a->m_type->mp_data;
    const auto onPath = [data](const Item* ip_item) {
        return ip_item->m_typeIndex < data->m_pathTypes.size() && data->m_pathTypes[ip_item->m_typeIndex];
    };
    if (!onPath(ip_a) || !onPath(ip_b))
        return;
    std::vector<std::pair<PathRegistration*, ItemPtr>> calls;
    auto consider = [&](Item* ip_parent, Item* ip_child) {
        const std::uint64_t key = (static_cast<std::uint64_t>(ip_parent->m_typeIndex) << 32) | ip_child->m_typeIndex;
        auto found = data->m_pathEdges.find(key);
        if (found == data->m_pathEdges.end())
            return;
        for (const auto& edge : found->second)
        {
            PathRegistration* registration = edge.first;
            const PathNode* node = edge.second;
            if (registration->handler->IsEnded())
                continue;
            if (!node->mp_parent->Matches(ip_parent) || !node->Matches(ip_child))
                continue;
            if (i_connected)
            {
                if (node->m_relation != PathRequired && node->m_relation != PathOnConnect)
                    continue;
                if (!Satisfied(node, ip_child))
                    continue;
            }
            else if (node->m_relation == PathOnDisconnect)
            {
                if (!Satisfied(node, ip_child))
                    continue;
            }
            else if (node->m_relation == PathExcluded)
            {
                bool remains = false;
                const auto range = LinksOfType(ip_parent, node->mp_type->m_index);
                for (auto it = range.first; it != range.second && !remains; ++it)
                    remains = MatchesSatisfied(node, data->m_itemsById[*it]);
                if (remains)
                    continue;
            }
            else
            {
                continue;
            }
            // Walk up from the parent item to the root items whose chain of links reaches it.
            std::vector<Item*> level{ip_parent};
            for (const PathNode* up = node->mp_parent; up->mp_parent; up = up->mp_parent)
            {
                std::vector<Item*> next;
                for (Item* item : level)
                {
                    const auto range = LinksOfType(item, up->mp_parent->mp_type ? up->mp_parent->mp_type->m_index : 0);
                    for (auto it = range.first; it != range.second; ++it)
                        if (up->mp_parent->Matches(data->m_itemsById[*it]))
                            next.push_back(data->m_itemsById[*it]);
                }
                std::sort(next.begin(), next.end(), LinkLess);
                next.erase(std::unique(next.begin(), next.end()), next.end());
                level.swap(next);
                if (level.empty())
                    break;
            }
            for (Item* root : level)
            {
                if (!Satisfied(registration->root.get(), root))
                    continue;
                bool seen = false;
                for (const auto& call : calls)
                    seen = seen || (call.first == registration && call.second.mp_item == root);
                if (!seen)
                    calls.emplace_back(registration, ItemPtr(root));
            }
        }
    };
    consider(ip_a, ip_b);
    consider(ip_b, ip_a);
    ++data->m_pathDepth;
    for (auto& call : calls)
    {
        if (!call.first->handler->IsEnded() && !call.second.IsNull())
            call.first->handler->Call(call.second);
    }
    --data->m_pathDepth;
}

// ---------------------------------------------------------------------------------------------
// Type

Type::Type(Data* ip_data, std::string i_name, std::uint32_t i_index, Primacy i_primacy, bool i_isNull,
           bool i_createOnGet)
    : mp_data(ip_data)
    , m_name(std::move(i_name))
    , m_index(i_index)
    , m_primacy(i_primacy)
    , m_isNull(i_isNull)
    , m_createOnGet(i_createOnGet)
{
}

Type::~Type() = default;

void Type::RelateToType(Type* ip_other, OneOrMany i_thisPerOther, OneOrMany i_otherPerThis, bool i_owns)
{
    if (!ip_other)
        throw TypeNotFoundException("relation to a missing type");
    if (FindRelation(ip_other->m_index))
        throw AlreadyRelatedException("types " + m_name + " and " + ip_other->m_name + " are already related");
    auto place = [](Type* ip_type, Type* ip_to) -> Relation& {
        if (ip_type->m_relations.size() <= ip_to->m_index)
            ip_type->m_relations.resize(ip_to->m_index + 1);
        return ip_type->m_relations[ip_to->m_index];
    };
    Relation& mine = place(this, ip_other);
    mine.other = ip_other;
    mine.thisPerOther = i_thisPerOther;
    mine.otherPerThis = i_otherPerThis;
    mine.owns = i_owns;
    if (ip_other != this)
    {
        Relation& theirs = place(ip_other, this);
        theirs.other = this;
        theirs.thisPerOther = i_otherPerThis;
        theirs.otherPerThis = i_thisPerOther;
        theirs.ownedBy = i_owns;
    }
    else
    {
        mine.ownedBy = i_owns;
    }
    if (i_owns)
        ip_other->m_owned = true;
}

bool Type::IsRelatedTo(const Type* ip_other) const
{
    return ip_other && FindRelation(ip_other->m_index);
}

Item* Type::FindByValue(std::string_view i_bytes, std::uint32_t i_hash) const
{
    if (m_valueIndex.empty())
        return nullptr;
    Item* const* table = mp_data->m_itemsById.data();
    const std::size_t mask = m_valueIndex.size() - 1;
    for (std::size_t slot = i_hash & mask;; slot = (slot + 1) & mask)
    {
        const IndexSlot entry = m_valueIndex[slot];
        if (!entry.id)
            return nullptr;
        if (entry.hash == i_hash && table[entry.id]->Bytes() == i_bytes)
            return table[entry.id];
    }
}

void Type::IndexGrow()
{
    std::vector<IndexSlot> old;
    old.swap(m_valueIndex);
    m_valueIndex.assign(old.empty() ? 16 : old.size() * 2, IndexSlot());
    m_indexUsed = 0;
    for (const IndexSlot entry : old)
        if (entry.id)
            IndexInsert(entry);
}

void Type::IndexInsert(IndexSlot i_entry)
{
    if ((m_indexUsed + 1) * 2 > m_valueIndex.size())
        IndexGrow();
    const std::size_t mask = m_valueIndex.size() - 1;
    std::size_t slot = i_entry.hash & mask;
    while (m_valueIndex[slot].id)
        slot = (slot + 1) & mask;
    m_valueIndex[slot] = i_entry;
    ++m_indexUsed;
}

void Type::IndexErase(const Item* ip_item)
{
    if (m_valueIndex.empty())
        return;
    const std::size_t mask = m_valueIndex.size() - 1;
    std::size_t slot = HashBytes(ip_item->Bytes()) & mask;
    while (m_valueIndex[slot].id && m_valueIndex[slot].id != ip_item->m_id)
        slot = (slot + 1) & mask;
    if (!m_valueIndex[slot].id)
        return;
    m_valueIndex[slot] = IndexSlot();
    --m_indexUsed;
    // Backward-shift deletion keeps every probe chain unbroken.
    std::size_t hole = slot;
    for (std::size_t next = (slot + 1) & mask; m_valueIndex[next].id; next = (next + 1) & mask)
    {
        const std::size_t home = m_valueIndex[next].hash & mask;
        const bool movable = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
        if (movable)
        {
            m_valueIndex[hole] = m_valueIndex[next];
            m_valueIndex[next] = IndexSlot();
            hole = next;
        }
    }
}

Item* Type::CreateItem(std::string_view i_bytes, std::uint32_t i_hash)
{
    const std::uint32_t id = mp_data->TakeId();
    Item* item = Item::Create(this, mp_data->m_nextSerial++, id, i_bytes);
    mp_data->m_itemsById[id] = item;
    item->m_slot = static_cast<std::uint32_t>(m_items.size());
    m_items.push_back(item);
    ++m_liveCount;
    ++mp_data->m_itemCount;
    if (!m_isNull)
        IndexInsert(IndexSlot{id, i_hash});
    return item;
}

void Type::Unlist(Item* ip_item)
{
    if (!m_isNull)
        IndexErase(ip_item);
    if (mp_globalNullItem == ip_item)
        mp_globalNullItem = nullptr;
    m_items[ip_item->m_slot] = nullptr;
    --m_liveCount;
    while (!m_items.empty() && !m_items.back())
        m_items.pop_back();
    // Compact once most entries are holes, so walking the list stays proportional to the items.
    if (m_items.size() > 64 && m_liveCount * 2 < m_items.size())
    {
        std::size_t out = 0;
        for (Item* item : m_items)
        {
            if (!item)
                continue;
            item->m_slot = static_cast<std::uint32_t>(out);
            m_items[out++] = item;
        }
        m_items.resize(out);
    }
}

ItemPtr Type::GetItem(const Value& i_value)
{
    if (m_isNull)
        return ItemPtr();
    const std::string_view bytes = i_value.Bytes();
    const std::uint32_t hash = HashBytes(bytes);
    if (Item* item = FindByValue(bytes, hash))
        return ItemPtr(item);
    if (!m_createOnGet)
        return ItemPtr();
    return CreateValueItem(bytes, hash);
}

ItemPtr Type::HasItem(const Value& i_value) const
{
    if (m_isNull)
        return ItemPtr();
    const std::string_view bytes = i_value.Bytes();
    return ItemPtr(FindByValue(bytes, HashBytes(bytes)));
}

ItemPtr Type::NewItem()
{
    if (!m_isNull)
        throw NullTypeException("type " + m_name + " carries values");
    ItemPtr item(CreateItem(std::string_view()));
    m_itemCreated.Fire(item);
    mp_data->m_itemCreated.Fire(item);
    return item;
}

ItemPtr Type::NewItem(const Value& i_value)
{
    if (m_isNull)
        return NewItem();
    const std::string_view bytes = i_value.Bytes();
    const std::uint32_t hash = HashBytes(bytes);
    if (Item* existing = FindByValue(bytes, hash))
        return ItemPtr(existing);
    return CreateValueItem(bytes, hash);
}

ItemPtr Type::CreateValueItem(std::string_view i_bytes, std::uint32_t i_hash)
{
    ItemPtr item(CreateItem(i_bytes, i_hash));
    m_itemCreated.Fire(item);
    mp_data->m_itemCreated.Fire(item);
    return item;
}

ItemPtr Type::GetGlobalNullItem()
{
    if (!m_isNull)
        throw NullTypeException("type " + m_name + " carries values");
    if (mp_globalNullItem)
        return ItemPtr(mp_globalNullItem);
    Item* item = CreateItem(std::string_view());
    mp_globalNullItem = item;
    ItemPtr handle(item);
    m_itemCreated.Fire(handle);
    mp_data->m_itemCreated.Fire(handle);
    return handle;
}

ItemSet Type::GetItems() const
{
    ItemSet items;
    items.m_items.reserve(m_liveCount);
    for (Item* item : m_items)
        if (item)
            items.AppendNewest(ItemPtr(item));
    return items;
}

// ---------------------------------------------------------------------------------------------
// ItemSet

namespace
{

bool SerialLess(const ItemPtr& i_a, const ItemPtr& i_b)
{
    return i_a.GetSerial() < i_b.GetSerial();
}

} // namespace

ItemSet::ItemSet(std::initializer_list<ItemPtr> i_items)
{
    for (const ItemPtr& item : i_items)
        insert(item);
}

bool ItemSet::insert(const ItemPtr& i_item)
{
    if (i_item.IsNull())
        return false;
    if (m_items.empty() || SerialLess(m_items.back(), i_item))
    {
        m_items.push_back(i_item);
        return true;
    }
    auto it = std::lower_bound(m_items.begin(), m_items.end(), i_item, SerialLess);
    if (it != m_items.end() && *it == i_item)
        return false;
    m_items.insert(it, i_item);
    return true;
}

bool ItemSet::erase(const ItemPtr& i_item)
{
    auto it = std::lower_bound(m_items.begin(), m_items.end(), i_item, SerialLess);
    if (it == m_items.end() || *it != i_item)
        return false;
    m_items.erase(it);
    return true;
}

std::size_t ItemSet::count(const ItemPtr& i_item) const
{
    if (!i_item.mp_item)
        return 0;
    auto it = std::lower_bound(m_items.begin(), m_items.end(), i_item, SerialLess);
    return it != m_items.end() && *it == i_item ? 1 : 0;
}

ItemPtr ItemSet::First() const
{
    for (const ItemPtr& item : m_items)
        if (!item.IsNull())
            return item;
    return ItemPtr();
}

ItemSet ItemSet::GetItems(const char* i_type) const
{
    ItemSet result;
    for (const ItemPtr& item : m_items)
        item.GetItems(i_type, result);
    return result;
}

void ItemSet::Add(const ItemSet& i_other)
{
    std::vector<ItemPtr> merged;
    merged.reserve(m_items.size() + i_other.m_items.size());
    std::set_union(m_items.begin(), m_items.end(), i_other.m_items.begin(), i_other.m_items.end(),
                   std::back_inserter(merged), SerialLess);
    m_items.swap(merged);
}

ItemSet ItemSet::Common(const ItemSet& i_other) const
{
    ItemSet result;
    std::set_intersection(m_items.begin(), m_items.end(), i_other.m_items.begin(), i_other.m_items.end(),
                          std::back_inserter(result.m_items), SerialLess);
    return result;
}

void ItemSet::Remove()
{
    const std::vector<ItemPtr> members = m_items;
    DataInternals::RemoveEach(members.begin(), members.end());
}

void ItemSet::RemoveNewestFirst() const
{
    const std::vector<ItemPtr> members = m_items;
    DataInternals::RemoveEach(members.rbegin(), members.rend());
}

void ItemSet::RemoveItemsNewestFirst(const char* i_type) const
{
    RemovalBatch batch;
    batch.AddItemsNewestFirst(*this, i_type);
    batch.Remove();
}

ItemSet ItemSet::Connected(const ItemSet& i_other) const
{
    ItemSet result;
    for (const ItemPtr& item : m_items)
    {
        for (const ItemPtr& other : i_other.m_items)
        {
            if (item.IsConnected(other))
            {
                result.m_items.push_back(item);
                break;
            }
        }
    }
    return result;
}

ItemSet ItemSet::Connected(const char* i_type) const
{
    ItemSet result;
    for (const ItemPtr& item : m_items)
        if (item.IsConnected(i_type))
            result.m_items.push_back(item);
    return result;
}

ItemSet ItemSet::Connected(const ItemPtr& i_item) const
{
    ItemSet result;
    if (i_item.IsNull())
        return result;
    for (const ItemPtr& item : m_items)
        if (item.IsConnected(i_item))
            result.m_items.push_back(item);
    return result;
}

namespace
{
// The store the members belong to, so a set of another store's items looks its names up there.
const Data* StoreOf(const std::vector<ItemPtr>& i_items)
{
    for (const ItemPtr& item : i_items)
        if (Type* type = item.GetType())
            return type->GetData();
    return d;
}
} // namespace

ItemSet ItemSet::Connected(const char* i_type, const Value& i_value) const
{
    const Data* data = StoreOf(m_items);
    if (!data)
        return ItemSet();
    return Connected(data->GetType(i_type)->HasItem(i_value));
}

ItemSet ItemSet::NotConnected(const char* i_type) const
{
    ItemSet result;
    for (const ItemPtr& item : m_items)
        if (!item.IsNull() && !item.IsConnected(i_type))
            result.m_items.push_back(item);
    return result;
}

ItemSet ItemSet::NotConnected(const ItemPtr& i_item) const
{
    ItemSet result;
    for (const ItemPtr& item : m_items)
        if (!item.IsConnected(i_item))
            result.m_items.push_back(item);
    return result;
}

ItemSet ItemSet::NotConnected(const char* i_type, const Value& i_value) const
{
    const Data* data = StoreOf(m_items);
    if (!data)
        return *this;
    return NotConnected(data->GetType(i_type)->HasItem(i_value));
}

QList<ItemPtr> ItemSet::SortNumericBy(const char* i_type, bool i_ascending) const
{
    std::vector<std::pair<qint64, ItemPtr>> keyed;
    for (const ItemPtr& item : m_items)
    {
        ItemPtr attribute = item.HasItem(i_type);
        if (!attribute.IsNull())
            keyed.emplace_back(attribute.AsInt64(), item);
    }
    std::stable_sort(keyed.begin(), keyed.end(), [i_ascending](const auto& i_a, const auto& i_b) {
        return i_ascending ? i_a.first < i_b.first : i_b.first < i_a.first;
    });
    QList<ItemPtr> result;
    result.reserve(static_cast<int>(keyed.size()));
    for (auto& entry : keyed)
        result.append(entry.second);
    return result;
}

namespace
{
// Case-sensitive order of the texts; equal texts keep the set's order.
QList<ItemPtr> SortedByText(std::vector<std::pair<QString, ItemPtr>>& io_keyed, bool i_ascending)
{
    std::stable_sort(io_keyed.begin(), io_keyed.end(), [i_ascending](const auto& i_a, const auto& i_b) {
        const int order = QString::compare(i_a.first, i_b.first, Qt::CaseSensitive);
        return i_ascending ? order < 0 : order > 0;
    });
    QList<ItemPtr> result;
    for (auto& entry : io_keyed)
        result.append(entry.second);
    return result;
}
} // namespace

QList<ItemPtr> ItemSet::SortAlphabetic(bool i_ascending) const
{
    std::vector<std::pair<QString, ItemPtr>> keyed;
    for (const ItemPtr& item : m_items)
        if (!item.IsNull())
            keyed.emplace_back(item.AsString(), item);
    return SortedByText(keyed, i_ascending);
}

QList<ItemPtr> ItemSet::SortAlphabeticBy(const char* i_type, bool i_ascending) const
{
    std::vector<std::pair<QString, ItemPtr>> keyed;
    for (const ItemPtr& item : m_items)
    {
        ItemPtr attribute = item.HasItem(i_type);
        if (!attribute.IsNull())
            keyed.emplace_back(attribute.AsString(), item);
    }
    return SortedByText(keyed, i_ascending);
}

ItemSet i(const char* i_type, const Value& i_value)
{
    ItemSet result;
    if (d)
        result.insert(d->GetType(i_type)->HasItem(i_value));
    return result;
}

// ---------------------------------------------------------------------------------------------
// Data

Data::Data()
    : m_itemsById(1, nullptr)
{
    qRegisterMetaType<ItemPtr>("ItemPtr");
}

Data::~Data()
{
    // Outstanding handles outlive the store: they read as null from here on.
    for (Type* type : m_types)
    {
        for (Item* item : type->m_items)
        {
            if (!item)
                continue;
            item->m_removed = true;
            item->m_links.Release();
        }
    }
    for (Type* type : m_types)
        for (Item* item : type->m_items)
            if (item)
                item->Unref();
    FreeSlice(m_unfreed.size());
    m_paths.clear();
    for (ConnectionHandler& handler : m_connectionHandlers)
        delete handler.handler;
    for (Type* type : m_types)
        delete type;
    if (d == this)
        d = nullptr;
}

Type* Data::NewType(std::string i_name, Primacy i_primacy, bool i_isNull, bool i_createOnGet)
{
    if (m_typesByName.count(i_name))
        throw TypeAlreadyExistsException("type " + i_name + " already exists");
    Type* type = new Type(this, i_name, static_cast<std::uint32_t>(m_types.size()), i_primacy, i_isNull, i_createOnGet);
    m_types.push_back(type);
    m_typesByName.emplace(std::string_view(type->m_name), type);
    m_typeCreated.Fire(type);
    return type;
}

Type* Data::GetType(const std::string& i_name) const
{
    auto found = m_typesByName.find(i_name);
    if (found == m_typesByName.end())
        throw TypeNotFoundException("type " + i_name + " is not declared");
    return found->second;
}

Type* Data::GetType(const char* i_name) const
{
    auto found = m_typesByName.find(std::string_view(i_name ? i_name : ""));
    if (found == m_typesByName.end())
        throw TypeNotFoundException("type " + std::string(i_name ? i_name : "") + " is not declared");
    return found->second;
}

bool Data::CanFreeLater() const
{
    const QCoreApplication* application = QCoreApplication::instance();
    return application && application->thread() == QThread::currentThread();
}

void Data::ScheduleFreeing()
{
    if (m_unfreed.empty() || (mp_freeTimer && mp_freeTimer->isActive()))
        return;
    if (!mp_freeTimer)
    {
        mp_freeTimer = std::make_unique<QTimer>();
        mp_freeTimer->setInterval(0);
        QObject::connect(mp_freeTimer.get(), &QTimer::timeout, [this] {
            FreeSlice(kFreeSlice);
            if (m_unfreed.empty())
                mp_freeTimer->stop();
        });
    }
    mp_freeTimer->start();
}

void Data::RemoveLater(RemovalBatch i_batch)
{
    if (i_batch.m_ids.empty())
        return;
    if (i_batch.mp_data != this)
    {
        Log(kArea, 1, QStringLiteral("Removal handed to another store, ignored"));
        return;
    }
    FinishRemovals();
    m_removals.push_back({std::move(i_batch), 0});
    if (!CanFreeLater())
    {
        FinishRemovals();
        return;
    }
    if (!mp_removeTimer)
    {
        mp_removeTimer = std::make_unique<QTimer>();
        mp_removeTimer->setInterval(0);
        QObject::connect(mp_removeTimer.get(), &QTimer::timeout, [this] {
            if (RemoveSlice(kRemoveSliceMs))
                mp_removeTimer->stop();
        });
    }
    mp_removeTimer->start();
}

void Data::FinishRemovals()
{
    // Inside a slice, the slice under way goes on from the event loop.
    if (m_inRemoveSlice || !RemoveSlice(-1))
        return;
    if (mp_removeTimer)
        mp_removeTimer->stop();
}

bool Data::RemoveSlice(int i_ms)
{
    // Steps small enough that a slice ends near its time, large enough to keep fetching ahead.
    constexpr std::size_t kStep = 1024;
    if (m_inRemoveSlice)
        return false;
    struct Guard
    {
        bool& flag;
        ~Guard() { flag = false; }
    } guard{m_inRemoveSlice};
    m_inRemoveSlice = true;
    QElapsedTimer clock;
    clock.start();
    const auto timeUp = [&] { return i_ms >= 0 && clock.elapsed() >= i_ms; };
    while (!m_removals.empty())
    {
        // A handler may queue another batch: a deque keeps this one in place meanwhile.
        PendingRemoval& removal = m_removals.front();
        const std::size_t total = removal.batch.m_ids.size();
        bool stepped = false;
        while (removal.done < total)
        {
            const std::size_t first = removal.done;
            removal.done = std::min(total, first + kStep);
            // The collection follows: what these leave alone may go with them.
            DataInternals::RemoveBatch(removal.batch, first, removal.done, true);
            stepped = true;
            if (timeUp())
                return false;
        }
        // The collection that follows walks the whole store: it gets a turn of its own.
        if (stepped && i_ms >= 0)
            return false;
        m_removals.pop_front();
        RemoveDisconnectedItems();
        if (timeUp())
            return m_removals.empty();
    }
    return true;
}

void Data::FreeSlice(std::size_t i_count)
{
    const std::size_t count = std::min(i_count, m_unfreed.size());
    const std::size_t first = m_unfreed.size() - count;
    for (std::size_t k = first; k < m_unfreed.size(); ++k)
    {
        if (k + 8 < m_unfreed.size())
            DataInternals::Prefetch(m_unfreed[k + 8]);
        m_unfreed[k]->Destroy();
    }
    m_unfreed.resize(first);
    if (m_unfreed.empty())
        std::vector<Item*>().swap(m_unfreed);
    // Merged now, this slice's instead of a whole share's at once at some later request.
    MergeFreedBlocks();
}

void Data::MergeFreedBlocks()
{
#if defined(__GLIBC__)
    // The allocator merges small freed blocks only when a larger block is asked for. The request
    // goes through a volatile pointer: the compiler drops an allocation whose block nothing uses.
    void* volatile block = std::malloc(4096);
    std::free(block);
#endif
}

std::uint32_t Data::TakeId()
{
    if (!m_freeIds.empty())
    {
        const std::uint32_t id = m_freeIds.back();
        m_freeIds.pop_back();
        return id;
    }
    if (m_itemsById.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::bad_alloc();
    m_itemsById.push_back(nullptr);
    return static_cast<std::uint32_t>(m_itemsById.size() - 1);
}

void Data::ReleaseId(Item* ip_item)
{
    m_itemsById[ip_item->m_id] = nullptr;
    m_freeIds.push_back(ip_item->m_id);
    ip_item->m_id = 0;
}

bool Data::HasType(const std::string& i_name) const
{
    return m_typesByName.count(i_name) != 0;
}

ItemPtr Data::GetItem(const ItemPtr& i_a, const ItemPtr& i_b, const char* i_type) const
{
    return GetItems(i_a, i_b, i_type).First();
}

ItemPtr Data::GetItem(const ItemSet& i_items, const char* i_type) const
{
    return GetItemSubset(i_items, i_type).First();
}

ItemSet Data::GetItems(const ItemPtr& i_a, const ItemPtr& i_b, const char* i_type) const
{
    ItemSet pair;
    pair.insert(i_a);
    pair.insert(i_b);
    if (i_a.IsNull() || i_b.IsNull())
        return ItemSet();
    return GetItemSubset(pair, i_type);
}

void Data::GetItems(ItemSet& o_items, const char* i_type) const
{
    o_items.Add(GetType(i_type)->GetItems());
}

ItemSet Data::GetItemSubset(const ItemSet& i_items, const char* i_type) const
{
    ItemSet result;
    if (i_items.empty())
        return result;
    const Type* type = GetType(i_type);
    const std::uint32_t index = type->m_index;
    std::vector<DataInternals::Range> ranges;
    ranges.reserve(i_items.size());
    std::size_t smallest = 0;
    for (const ItemPtr& member : i_items)
    {
        Item* item = member.Live();
        if (!item)
            return result;
        const auto range = DataInternals::LinksOfType(item, index);
        if (range.first == range.second)
            return result;
        if (!ranges.empty() && range.second - range.first < ranges[smallest].second - ranges[smallest].first)
            smallest = ranges.size();
        ranges.push_back(range);
    }
    Item* const* table = m_itemsById.data();
    for (auto it = ranges[smallest].first; it != ranges[smallest].second; ++it)
    {
        Item* candidate = table[*it];
        bool everywhere = true;
        for (std::size_t k = 0; k < ranges.size() && everywhere; ++k)
        {
            if (k == smallest)
                continue;
            auto found = DataInternals::Find(table, ranges[k].first, ranges[k].second, candidate);
            everywhere = found != ranges[k].second && *found == *it;
        }
        if (everywhere)
            result.AppendNewest(ItemPtr(candidate));
    }
    return result;
}

int Data::RemoveDisconnectedItems()
{
    int removed = 0;
    // Ownership first: an owned item whose every owner is gone goes, even when a Primary item
    // still reaches it. Repeated, since removing an owner orphans what it owns.
    for (bool again = true; again;)
    {
        again = false;
        for (Type* type : m_types)
        {
            if (!type->m_owned)
                continue;
            std::vector<std::uint32_t> owners;
            for (const Type::Relation& relation : type->m_relations)
                if (relation.other && relation.ownedBy)
                    owners.push_back(relation.other->m_index);
            std::vector<ItemPtr> orphans;
            for (Item* item : type->m_items)
            {
                if (!item)
                    continue;
                bool owned = false;
                for (std::uint32_t owner : owners)
                    owned = owned || DataInternals::FirstOfType(item, owner);
                if (!owned)
                    orphans.push_back(ItemPtr(item));
            }
            for (auto it = orphans.rbegin(); it != orphans.rend(); ++it)
            {
                if (it->IsNull())
                    continue;
                it->Remove();
                ++removed;
                again = true;
            }
        }
    }

    // Then reachability from the Primary items, through Secondary ones; Tertiary ones are kept
    // when next to a reached item but not walked through.
    std::vector<bool> reached(m_itemsById.size(), false);
    std::size_t reachedCount = 0;
    std::vector<Item*> stack;
    for (Type* type : m_types)
    {
        if (type->m_primacy != Primary)
            continue;
        for (Item* item : type->m_items)
        {
            if (!item)
                continue;
            reached[item->m_id] = true;
            ++reachedCount;
            stack.push_back(item);
        }
    }
    while (!stack.empty())
    {
        Item* item = stack.back();
        stack.pop_back();
        for (std::uint32_t id : item->m_links)
        {
            if (reached[id])
                continue;
            reached[id] = true;
            ++reachedCount;
            Item* other = m_itemsById[id];
            if (other->m_type->m_primacy == Secondary)
                stack.push_back(other);
        }
    }
    // A type lists its items oldest first, so each type gives a sorted run; merging the runs
    // orders them all by age without a full sort.
    // Unreached items are named by weak references: millions of counted handles would cost as
    // much as the removal itself.
    using WeakRef = DataInternals::WeakRef;
    std::vector<WeakRef> unreached;
    unreached.reserve(m_itemCount - std::min(reachedCount, m_itemCount));
    std::vector<std::size_t> runs{0};
    std::vector<Type*> runTypes;
    // Whether no handler can run while the unreached items go: none hears a removal, and none
    // hears the end of a link they hold.
    bool silent = m_itemRemoved.empty();
    for (Type* type : m_types)
    {
        if (type->m_primacy == Primary)
            continue;
        const std::vector<Item*>& items = type->m_items;
        for (std::size_t k = 0; k < items.size(); ++k)
        {
            if (k + 16 < items.size())
                DataInternals::Prefetch(items[k + 16]);
            const Item* item = items[k];
            if (item && !reached[item->m_id])
            {
                unreached.push_back(WeakRef{item->m_id, item->m_serial});
                silent = silent && !item->m_removing;
                for (std::size_t link = 0; silent && link < item->m_links.size(); ++link)
                    silent = !DataInternals::HearsDisconnect(item, m_itemsById[item->m_links.begin()[link]]);
            }
        }
        if (unreached.size() != runs.back())
        {
            runs.push_back(unreached.size());
            runTypes.push_back(type);
            silent = silent && type->m_itemRemoved.empty();
        }
    }
    if (silent)
        return removed + DataInternals::RemoveSilently(this, unreached, runs, runTypes);
    const auto older = [](const WeakRef& i_a, const WeakRef& i_b) { return i_a.serial < i_b.serial; };
    for (std::size_t width = 1; width + 1 < runs.size(); width *= 2)
    {
        for (std::size_t first = 0; first + width + 1 < runs.size(); first += 2 * width)
        {
            const std::size_t last = std::min(first + 2 * width, runs.size() - 1);
            std::inplace_merge(unreached.begin() + static_cast<std::ptrdiff_t>(runs[first]),
                               unreached.begin() + static_cast<std::ptrdiff_t>(runs[first + width]),
                               unreached.begin() + static_cast<std::ptrdiff_t>(runs[last]), older);
        }
    }
    return removed
           + DataInternals::RemoveEach(
               unreached.rbegin(), unreached.rend(), [this](const WeakRef& i_ref) { return m_itemsById[i_ref.id]; },
               [this](const WeakRef& i_ref) { return DataInternals::Resolve(this, i_ref); });
}

// Unheard, the removals need no order across types and no counted handles, and links among the
// items end as they would one by one; a type whose every item goes empties its value index at
// once instead of slot by slot. Within a type the items go newest first, as they would one by
// one, so its item list ends the same.
int DataInternals::RemoveSilently(Data* ip_data, const std::vector<WeakRef>& i_unreached,
                                  const std::vector<std::size_t>& i_runs, const std::vector<Type*>& i_runTypes)
{
    const bool freeLater = ip_data->CanFreeLater();
    if (freeLater)
        ip_data->m_unfreed.reserve(ip_data->m_unfreed.size() + i_unreached.size());
    constexpr std::size_t kAhead = 8;
    for (std::size_t run = 0; run < i_runTypes.size(); ++run)
    {
        Type* type = i_runTypes[run];
        const std::size_t first = i_runs[run];
        const std::size_t last = i_runs[run + 1];
        const bool whole = last - first == type->m_liveCount;
        for (std::size_t k = last; k-- > first;)
        {
            if (k >= first + 2 * kAhead)
                Prefetch(&ip_data->m_itemsById[i_unreached[k - 2 * kAhead].id]);
            if (k >= first + kAhead)
                Prefetch(ip_data->m_itemsById[i_unreached[k - kAhead].id]);
            Item* item = ip_data->m_itemsById[i_unreached[k].id];
            item->m_removing = true;
            while (!item->m_links.empty())
                Unlink(item, ip_data->m_itemsById[item->m_links.back()]);
            if (!whole)
                type->Unlist(item);
            Retire(ip_data, item, freeLater);
        }
        if (whole)
        {
            type->m_items.clear();
            type->m_liveCount = 0;
            std::fill(type->m_valueIndex.begin(), type->m_valueIndex.end(), Type::IndexSlot());
            type->m_indexUsed = 0;
            type->mp_globalNullItem = nullptr;
        }
    }
    if (freeLater)
        ip_data->ScheduleFreeing();
    return static_cast<int>(i_unreached.size());
}

void Data::RemoveAllItems()
{
    std::vector<ItemPtr> all;
    all.reserve(m_itemCount);
    for (Type* type : m_types)
        for (Item* item : type->m_items)
            if (item)
                all.push_back(ItemPtr(item));
    std::sort(all.begin(), all.end(), SerialLess);
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        it->Remove();
}

void Data::AddConnectionEventHandler(Type* ip_first, Type* ip_second, EventHandlerBase<ConnectionInfo&>* ip_handler)
{
    if (!ip_handler)
        return;
    if (!ip_first || !ip_second || !ip_first->IsRelatedTo(ip_second))
    {
        delete ip_handler;
        throw NotRelatedException("connection handler on unrelated types");
    }
    m_connectionHandlers.push_back({ip_first, ip_second, ip_handler});
}

void Data::AddPathEventHandler(PathNode* ip_root, EventHandlerBase<ItemPtr>* ip_handler)
{
    // A path built in one expression hands over its innermost node; the root owns the rest.
    while (ip_root && ip_root->mp_parent)
        ip_root = ip_root->mp_parent;
    auto registration = std::make_unique<PathRegistration>();
    registration->root.reset(ip_root);
    registration->handler.reset(ip_handler);
    if (!ip_root || !ip_handler)
        return;
    std::vector<PathNode*> pending{ip_root};
    while (!pending.empty())
    {
        PathNode* node = pending.back();
        pending.pop_back();
        for (PathNode* child : node->m_children)
        {
            pending.push_back(child);
            if (!node->mp_type || !child->mp_type)
                continue;
            const std::uint64_t key =
                (static_cast<std::uint64_t>(node->mp_type->m_index) << 32) | child->mp_type->m_index;
            m_pathEdges[key].emplace_back(registration.get(), child);
            const std::uint32_t highest = std::max(node->mp_type->m_index, child->mp_type->m_index);
            if (m_pathTypes.size() <= highest)
                m_pathTypes.resize(highest + 1, 0);
            m_pathTypes[node->mp_type->m_index] = 1;
            m_pathTypes[child->mp_type->m_index] = 1;
        }
    }
    m_paths.push_back(std::move(registration));
}

void Data::SetTextDecoder(TextDecoder i_decoder)
{
    s_textDecoder = i_decoder;
}

Data::TextDecoder Data::GetTextDecoder()
{
    return s_textDecoder;
}

// ---------------------------------------------------------------------------------------------
// Settings

void DeclareSettingTypes(Data* ip_data)
{
    Type* global = ip_data->HasType(types::kGlobal) ? ip_data->GetType(types::kGlobal)
                                                    : ip_data->NewType(types::kGlobal, Primary, false, true);
    Type* vglobal = ip_data->HasType(types::kVglobal) ? ip_data->GetType(types::kVglobal)
                                                      : ip_data->NewType(types::kVglobal, Primary, false, true);
    Type* value = ip_data->HasType(types::kGlobalValue) ? ip_data->GetType(types::kGlobalValue)
                                                        : ip_data->NewType(types::kGlobalValue, Tertiary, false, true);
    if (!global->IsRelatedTo(value))
        global->RelateToType(value, Many, One, false);
    if (!vglobal->IsRelatedTo(value))
        vglobal->RelateToType(value, Many, One, false);
}

namespace
{

ItemPtr KeyItem(const char* i_type, const QString& i_key)
{
    return d->GetType(i_type)->GetItem(Value(i_key));
}

// Reading never creates a key, so asking leaves nothing behind in the data file.
QString ReadKey(const char* i_type, const QString& i_key)
{
    return d->GetType(i_type)->HasItem(Value(i_key))[types::kGlobalValue].AsString();
}

void WriteKey(const char* i_type, const QString& i_key, const QString& i_value)
{
    KeyItem(i_type, i_key).Connect(d->GetType(types::kGlobalValue)->GetItem(Value(i_value)));
}

void ClearKey(const char* i_type, const QString& i_key)
{
    KeyItem(i_type, i_key).Disconnect(types::kGlobalValue);
}

} // namespace

QString GetSetting(const QString& i_key)
{
    return ReadKey(types::kGlobal, i_key);
}

void SetSetting(const QString& i_key, const QString& i_value)
{
    WriteKey(types::kGlobal, i_key, i_value);
}

void SetDefaultSetting(const QString& i_key, const QString& i_value)
{
    if (!HasSetting(i_key))
        SetSetting(i_key, i_value);
}

void ClearSetting(const QString& i_key)
{
    ClearKey(types::kGlobal, i_key);
}

bool HasSetting(const QString& i_key)
{
    ItemPtr key = d->GetType(types::kGlobal)->HasItem(Value(i_key));
    return !key.IsNull() && key.IsConnected(types::kGlobalValue);
}

bool IsSettingOn(const QString& i_key)
{
    return GetSetting(i_key) == QLatin1String("yes");
}

void SetSettingOn(const QString& i_key, bool i_on)
{
    SetSetting(i_key, i_on ? QStringLiteral("yes") : QStringLiteral("no"));
}

qint64 GetSettingNumber(const QString& i_key)
{
    return d->GetType(types::kGlobal)->HasItem(Value(i_key))[types::kGlobalValue].AsInt64();
}

void SetSettingNumber(const QString& i_key, qint64 i_value)
{
    SetSetting(i_key, QString::number(i_value));
}

ItemPtr GetSettingItem(const QString& i_key)
{
    return KeyItem(types::kGlobal, i_key);
}

QString GetVolatileSetting(const QString& i_key)
{
    return ReadKey(types::kVglobal, i_key);
}

void SetVolatileSetting(const QString& i_key, const QString& i_value)
{
    WriteKey(types::kVglobal, i_key, i_value);
}

void ClearVolatileSetting(const QString& i_key)
{
    ClearKey(types::kVglobal, i_key);
}

bool IsVolatileSettingOn(const QString& i_key)
{
    return GetVolatileSetting(i_key) == QLatin1String("yes");
}

ItemPtr GetVolatileSettingItem(const QString& i_key)
{
    return KeyItem(types::kVglobal, i_key);
}
