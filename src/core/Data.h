#pragma once

// The data model: one store of typed items linked by relations, with synchronous events.
// Everything here runs on the GUI thread; only ItemPtr copies may cross threads (queued signals).

#include <QList>
#include <QMetaType>
#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

class Data;
class Type;
class Item;
class ItemPtr;
class ItemSet;
class RemovalBatch;
class PathNode;
struct PathRegistration;
class QTimer;

enum Primacy
{
    Primary,
    Secondary,
    Tertiary
};
enum OneOrMany
{
    One,
    Many
};
enum PathNodeRelation
{
    PathRequired,
    PathRequiredQuiet,
    PathOnConnect,
    PathOnDisconnect,
    PathExcluded
};

// ---------------------------------------------------------------------------------------------
// Exceptions, thrown by value.

class DataException : public std::exception
{
public:
    explicit DataException(std::string i_what)
        : m_what(std::move(i_what))
    {
    }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    std::string m_what;
};

class TypeAlreadyExistsException : public DataException
{
    using DataException::DataException;
};
class TypeNotFoundException : public DataException
{
    using DataException::DataException;
};
class AlreadyRelatedException : public DataException
{
    using DataException::DataException;
};
class NotRelatedException : public DataException
{
    using DataException::DataException;
};
class NullTypeException : public DataException
{
    using DataException::DataException;
};
class DataLoadFailure : public DataException
{
    using DataException::DataException;
};

// ---------------------------------------------------------------------------------------------
// Value: the bytes of an item's value. Text as UTF-8, numbers in decimal, object references as
// their address in unsigned decimal (pointer width, so they survive on 64-bit systems).

class Value
{
public:
    Value() = default;
    Value(const QString& i_text);
    Value(const char* i_text);
    Value(char* i_text)
        : Value(static_cast<const char*>(i_text))
    {
    }
    Value(std::string i_bytes)
        : m_bytes(std::move(i_bytes))
    {
    }
    Value(const QByteArray& i_bytes);
    Value(int i_number);
    Value(unsigned int i_number);
    Value(long i_number);
    Value(unsigned long i_number);
    Value(long long i_number);
    Value(unsigned long long i_number);
    template<class T, class = std::enable_if_t<!std::is_same<std::remove_cv_t<T>, char>::value>> Value(T* ip_object)
        : Value(static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(ip_object)))
    {
    }

    const std::string& Bytes() const { return m_bytes; }
    bool operator==(const Value& i_other) const { return m_bytes == i_other.m_bytes; }
    bool operator!=(const Value& i_other) const { return m_bytes != i_other.m_bytes; }

private:
    std::string m_bytes;
};

// ---------------------------------------------------------------------------------------------
// LinkList: the ids of an item's linked items (see Data::m_itemsById). Most items hold one or two
// links, so two ids live in place and only longer lists take a heap block.

class LinkList
{
public:
    LinkList() = default;
    LinkList(const LinkList&) = delete;
    LinkList& operator=(const LinkList&) = delete;
    ~LinkList() { Release(); }

    const std::uint32_t* begin() const { return IsInPlace() ? m_inPlace : mp_heap; }
    const std::uint32_t* end() const { return begin() + m_size; }
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    std::uint32_t back() const { return begin()[m_size - 1]; }

    void Insert(std::size_t i_at, std::uint32_t i_id);
    void Erase(std::size_t i_at);
    // Empties the list and gives its heap block back.
    void Release();

private:
    static constexpr std::uint32_t kInPlace = 2;

    bool IsInPlace() const { return m_capacity <= kInPlace; }
    std::uint32_t* Ids() { return IsInPlace() ? m_inPlace : mp_heap; }

    union
    {
        std::uint32_t m_inPlace[kInPlace] = {};
        std::uint32_t* mp_heap;
    };
    std::uint32_t m_size = 0;
    std::uint32_t m_capacity = kInPlace;
};

// ---------------------------------------------------------------------------------------------
// Item nodes. Reached only through ItemPtr; the layout is kept small because a large share means
// a million of them. One heap block holds the item and, right behind it, its value bytes (a value
// never changes).

class Item
{
public:
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;

private:
    friend class ItemPtr;
    friend class Type;
    friend class Data;
    friend class ItemSet;
    friend class DataSaver;
    friend class PathNode;
    friend struct DataInternals;
    friend class RemovalBatch;

    static Item* Create(Type* ip_type, std::uint64_t i_serial, std::uint32_t i_id, std::string_view i_value);
    Item(Type* ip_type, std::uint64_t i_serial, std::uint32_t i_id, std::uint32_t i_valueSize);
    ~Item() = default;
    void Destroy();

    std::string_view Bytes() const { return std::string_view(reinterpret_cast<const char*>(this + 1), m_valueSize); }

    void Ref() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    void Unref()
    {
        // A sole owner needs no locked decrement: no other handle exists to copy the item from.
        if (m_refs.load(std::memory_order_acquire) == 1 || m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            Destroy();
    }

    Type* m_type;
    std::uint64_t m_serial;
    // Linked items ordered by (type index, serial): the items of one type form one run, oldest first.
    LinkList m_links;
    std::atomic<std::uint32_t> m_refs{1};
    std::uint32_t m_id; // index in the store's item table, while the item is listed
    std::uint32_t m_typeIndex;
    std::uint32_t m_slot = 0; // position in the type's item list
    std::uint32_t m_valueSize;
    bool m_removed = false;
    bool m_removing = false;
};

// ---------------------------------------------------------------------------------------------
// ItemPtr: a counted handle. A handle to a removed item reads as null: values "" and 0, no links,
// link operations ignored (with a log line).

class ItemPtr
{
public:
    ItemPtr() = default;
    ItemPtr(const ItemPtr& i_other);
    ItemPtr(ItemPtr&& i_other) noexcept
        : mp_item(i_other.mp_item)
    {
        i_other.mp_item = nullptr;
    }
    ItemPtr& operator=(const ItemPtr& i_other);
    ItemPtr& operator=(ItemPtr&& i_other) noexcept;
    ~ItemPtr();

    bool IsNull() const { return mp_item == nullptr || mp_item->m_removed; }
    explicit operator bool() const { return !IsNull(); }
    bool operator!() const { return IsNull(); }

    // Identity: two handles of one item compare equal, also after its removal. Ordered by age.
    bool operator==(const ItemPtr& i_other) const { return mp_item == i_other.mp_item; }
    bool operator!=(const ItemPtr& i_other) const { return mp_item != i_other.mp_item; }
    bool operator<(const ItemPtr& i_other) const { return GetSerial() < i_other.GetSerial(); }
    std::uint64_t GetSerial() const { return mp_item ? mp_item->m_serial : 0; }

    // Linked items of a named type; the oldest when several are linked.
    ItemPtr operator[](const char* i_type) const;
    ItemPtr HasItem(const char* i_type) const;
    // The same by a type looked up once, for loops over many items.
    ItemPtr operator[](Type* ip_type) const;
    ItemPtr GetItem(const char* i_type) const;
    ItemSet GetItems(const char* i_type) const;
    void GetItems(const char* i_type, ItemSet& o_items) const;
    // How many items of a named type are linked, without collecting them.
    std::size_t CountItems(const char* i_type) const;
    bool IsConnected(const char* i_type) const;
    bool IsConnected(const ItemPtr& i_other) const;
    bool IsDisconnectedFromAll() const;

    QString AsString() const;
    std::string AsStdString() const;
    // The value's bytes without a copy: valid while the item lives and keeps its value.
    std::string_view AsBytes() const;
    int AsInt() const;
    unsigned int AsUInt() const;
    qint64 AsInt64() const;
    quint64 AsUInt64() const;
    template<class T> T* AsPointer() const { return reinterpret_cast<T*>(static_cast<std::uintptr_t>(AsUInt64())); }

    Type* GetType() const;

    ItemPtr Connect(ItemPtr i_other);
    ItemPtr operator+=(ItemPtr i_other) { return Connect(std::move(i_other)); }
    ItemPtr Disconnect(ItemPtr i_other);
    ItemPtr operator-=(ItemPtr i_other) { return Disconnect(std::move(i_other)); }
    void Disconnect(const char* i_type);

    ItemPtr NewItem(const char* i_type);
    void Remove();

private:
    friend class Item;
    friend class Type;
    friend class Data;
    friend class ItemSet;
    friend class DataSaver;
    friend class PathNode;
    friend struct DataInternals;
    friend class RemovalBatch;
    friend uint qHash(const ItemPtr& i_item, uint i_seed);

    explicit ItemPtr(Item* ip_item)
        : mp_item(ip_item)
    {
        if (mp_item)
            mp_item->Ref();
    }
    Item* Live() const { return IsNull() ? nullptr : mp_item; }

    Item* mp_item = nullptr;
};

uint qHash(const ItemPtr& i_item, uint i_seed = 0);
Q_DECLARE_METATYPE(ItemPtr)

// ---------------------------------------------------------------------------------------------
// ItemSet: an ordered set of items, oldest first. Members may be removed while the set is held;
// they then read as null handles.

class ItemSet
{
public:
    using const_iterator = std::vector<ItemPtr>::const_iterator;
    using iterator = const_iterator;
    using value_type = ItemPtr;

    ItemSet() = default;
    ItemSet(std::initializer_list<ItemPtr> i_items);

    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }
    std::size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    void clear() { m_items.clear(); }
    // Returns true when the item was not yet a member; null handles are not inserted.
    bool insert(const ItemPtr& i_item);
    bool erase(const ItemPtr& i_item);
    std::size_t count(const ItemPtr& i_item) const;
    bool contains(const ItemPtr& i_item) const { return count(i_item) != 0; }
    ItemPtr First() const;

    operator ItemPtr() const { return First(); }

    ItemSet GetItems(const char* i_type) const;
    void Add(const ItemSet& i_other);
    ItemSet Common(const ItemSet& i_other) const;
    void Remove();
    // Newest first suits items linked to many others (a share's files): each then gives up the
    // newest end of the others' link lists.
    void RemoveNewestFirst() const;
    // The same for the items of a type linked to the members: GetItems(i_type).RemoveNewestFirst().
    void RemoveItemsNewestFirst(const char* i_type) const;

    ItemSet Connected(const ItemSet& i_other) const;
    ItemSet Connected(const char* i_type) const;
    ItemSet Connected(const ItemPtr& i_item) const;
    ItemSet Connected(const char* i_type, const Value& i_value) const;
    ItemSet NotConnected(const char* i_type) const;
    ItemSet NotConnected(const ItemPtr& i_item) const;
    ItemSet NotConnected(const char* i_type, const Value& i_value) const;

    QList<ItemPtr> SortNumericBy(const char* i_type, bool i_ascending) const;
    QList<ItemPtr> SortAlphabetic(bool i_ascending) const;
    QList<ItemPtr> SortAlphabeticBy(const char* i_type, bool i_ascending) const;

    bool operator==(const ItemSet& i_other) const { return m_items == i_other.m_items; }
    bool operator!=(const ItemSet& i_other) const { return m_items != i_other.m_items; }

private:
    friend class Data;
    friend class Type;
    friend class ItemPtr;
    friend struct DataInternals;
    friend class RemovalBatch;

    // Appends an item known to be newer than every member.
    void AppendNewest(ItemPtr i_item) { m_items.push_back(std::move(i_item)); }

    std::vector<ItemPtr> m_items;
};

// The item of a type with a value as a set of one, or an empty set; never creates.
ItemSet i(const char* i_type, const Value& i_value);

// ---------------------------------------------------------------------------------------------
// Events.

struct ConnectionInfo
{
    ItemPtr first;
    ItemPtr second;
};

// Base of every object that registers data-model handlers: its destruction ends them, also when it
// is deleted from inside one of its own handlers.
class DataHandler
{
public:
    DataHandler()
        : m_alive(std::make_shared<bool>(true))
    {
    }
    DataHandler(const DataHandler&)
        : DataHandler()
    {
    }
    DataHandler& operator=(const DataHandler&) { return *this; }
    virtual ~DataHandler() { *m_alive = false; }

    const std::shared_ptr<bool>& LifeToken() const { return m_alive; }

private:
    std::shared_ptr<bool> m_alive;
};

template<class Arg> class EventHandlerBase
{
public:
    EventHandlerBase() = default;
    explicit EventHandlerBase(std::shared_ptr<bool> i_ownerAlive)
        : m_ownerAlive(std::move(i_ownerAlive))
    {
    }
    EventHandlerBase(const EventHandlerBase&) = delete;
    EventHandlerBase& operator=(const EventHandlerBase&) = delete;
    virtual ~EventHandlerBase() = default;

    virtual void Call(Arg i_arg) = 0;
    bool IsEnded() const { return m_ended || (m_ownerAlive && !*m_ownerAlive); }
    void End() { m_ended = true; }

private:
    std::shared_ptr<bool> m_ownerAlive;
    bool m_ended = false;
};

template<class A> struct EventArg
{
    using type = A;
};
template<> struct EventArg<ConnectionInfo>
{
    using type = ConnectionInfo&;
};
template<> struct EventArg<const ConnectionInfo&>
{
    using type = ConnectionInfo&;
};
template<> struct EventArg<const ItemPtr&>
{
    using type = ItemPtr;
};

// Forwards an event to a member function of its owner, which must derive from DataHandler.
// The argument may be ItemPtr, ConnectionInfo, ConnectionInfo& or Type*.
template<class Owner, class Arg> class EventHandler : public EventHandlerBase<typename EventArg<Arg>::type>
{
public:
    using Method = void (Owner::*)(Arg);

    EventHandler(Owner* ip_owner, Method i_method)
        : EventHandlerBase<typename EventArg<Arg>::type>(static_cast<const DataHandler*>(ip_owner)->LifeToken())
        , mp_owner(ip_owner)
        , m_method(i_method)
    {
    }

    void Call(typename EventArg<Arg>::type i_arg) override { (mp_owner->*m_method)(i_arg); }

private:
    Owner* mp_owner;
    Method m_method;
};

// An ordered set of handlers that owns them. Handlers run in registration order; one inserted
// during a notification waits for the next one; ended handlers are skipped and later dropped.
template<class Arg> class EventHandlerSet
{
public:
    EventHandlerSet() = default;
    EventHandlerSet(const EventHandlerSet&) = delete;
    EventHandlerSet& operator=(const EventHandlerSet&) = delete;
    ~EventHandlerSet()
    {
        for (EventHandlerBase<Arg>* handler : m_handlers)
            delete handler;
    }

    void insert(EventHandlerBase<Arg>* ip_handler)
    {
        if (!ip_handler)
            return;
        for (EventHandlerBase<Arg>* handler : m_handlers)
            if (handler == ip_handler)
                return;
        m_handlers.push_back(ip_handler);
    }
    // Takes the handler out and deletes it; during a notification it is only ended, and goes when
    // the notification is done.
    void erase(EventHandlerBase<Arg>* ip_handler)
    {
        for (std::size_t index = 0; index < m_handlers.size(); ++index)
        {
            if (m_handlers[index] != ip_handler)
                continue;
            if (m_depth > 0)
            {
                ip_handler->End();
                m_hasEnded = true;
                return;
            }
            m_handlers.erase(m_handlers.begin() + static_cast<std::ptrdiff_t>(index));
            delete ip_handler;
            return;
        }
    }
    std::size_t size() const { return m_handlers.size(); }
    bool empty() const { return m_handlers.empty(); }

    void Fire(Arg i_arg)
    {
        if (m_handlers.empty())
            return;
        const std::size_t count = m_handlers.size();
        ++m_depth;
        for (std::size_t index = 0; index < count; ++index)
        {
            EventHandlerBase<Arg>* handler = m_handlers[index];
            if (handler->IsEnded())
            {
                m_hasEnded = true;
                continue;
            }
            handler->Call(i_arg);
        }
        --m_depth;
        if (m_depth == 0 && m_hasEnded)
            Prune();
    }

private:
    void Prune()
    {
        m_hasEnded = false;
        std::vector<EventHandlerBase<Arg>*> kept;
        kept.reserve(m_handlers.size());
        for (EventHandlerBase<Arg>* handler : m_handlers)
        {
            if (handler->IsEnded())
                delete handler;
            else
                kept.push_back(handler);
        }
        m_handlers.swap(kept);
    }

    std::vector<EventHandlerBase<Arg>*> m_handlers;
    int m_depth = 0;
    bool m_hasEnded = false;
};

// ---------------------------------------------------------------------------------------------
// Type: a named kind of item with its items, its relations and its four events.

class Type
{
public:
    Type(const Type&) = delete;
    Type& operator=(const Type&) = delete;

    const std::string& GetName() const { return m_name; }
    Primacy GetPrimacy() const { return m_primacy; }
    bool IsNull() const { return m_isNull; }
    bool IsCreateOnGet() const { return m_createOnGet; }
    Data* GetData() const { return mp_data; }

    // i_thisPerOther: how many items of this type one item of the other may hold;
    // i_otherPerThis: how many items of the other one item of this type may hold.
    void RelateToType(Type* ip_other, OneOrMany i_thisPerOther, OneOrMany i_otherPerThis, bool i_owns = false);
    bool IsRelatedTo(const Type* ip_other) const;

    ItemPtr GetItem(const Value& i_value);
    ItemPtr operator[](const Value& i_value) { return GetItem(i_value); }
    ItemPtr HasItem(const Value& i_value) const;
    ItemPtr NewItem();
    ItemPtr NewItem(const Value& i_value);
    ItemPtr GetGlobalNullItem();
    ItemSet GetItems() const;
    std::size_t GetItemCount() const { return m_liveCount; }

    EventHandlerSet<ItemPtr> m_itemCreated;
    EventHandlerSet<ItemPtr> m_itemRemoved;
    EventHandlerSet<ConnectionInfo&> m_itemConnected;
    EventHandlerSet<ConnectionInfo&> m_itemDisconnected;

private:
    friend class Data;
    friend class Item;
    friend class ItemPtr;
    friend class ItemSet;
    friend class DataSaver;
    friend class PathNode;
    friend struct DataInternals;
    friend class RemovalBatch;

    struct Relation
    {
        Type* other = nullptr;
        OneOrMany thisPerOther = Many;
        OneOrMany otherPerThis = Many;
        bool owns = false;    // this type owns the other
        bool ownedBy = false; // the other type owns this one
    };

    Type(Data* ip_data, std::string i_name, std::uint32_t i_index, Primacy i_primacy, bool i_isNull,
         bool i_createOnGet);
    ~Type();

    const Relation* FindRelation(std::uint32_t i_otherIndex) const
    {
        return i_otherIndex < m_relations.size() && m_relations[i_otherIndex].other ? &m_relations[i_otherIndex]
                                                                                    : nullptr;
    }
    // A value index entry: the item's id (0 = free) and the hash of its value.
    struct IndexSlot
    {
        std::uint32_t id = 0;
        std::uint32_t hash = 0;
    };

    Item* FindByValue(std::string_view i_bytes, std::uint32_t i_hash) const;
    // i_hash: the value's hash, for a type that carries values.
    Item* CreateItem(std::string_view i_bytes, std::uint32_t i_hash = 0);
    // A new item of a value not yet held, whose hash is known: a long value is hashed once.
    ItemPtr CreateValueItem(std::string_view i_bytes, std::uint32_t i_hash);
    void IndexInsert(IndexSlot i_slot);
    void IndexErase(const Item* ip_item);
    void IndexGrow();
    void Unlist(Item* ip_item);

    Data* mp_data;
    std::string m_name;
    std::uint32_t m_index;
    Primacy m_primacy;
    bool m_isNull;
    bool m_createOnGet;
    bool m_owned = false;
    std::vector<Relation> m_relations; // indexed by the other type's index
    std::vector<Item*> m_items;        // creation order; removed entries are null until compacted
    std::size_t m_liveCount = 0;
    std::vector<IndexSlot> m_valueIndex; // open addressing on the value hash
    std::size_t m_indexUsed = 0;
    Item* mp_globalNullItem = nullptr;
};

// ---------------------------------------------------------------------------------------------
// PathNode: one node of a path subscription. Children are owned by their parent.

class PathNode
{
public:
    PathNode(Data* ip_data, const char* i_type);
    explicit PathNode(ItemPtr i_root);
    PathNode(PathNode* ip_parent, const char* i_type, PathNodeRelation i_relation);
    PathNode(PathNode* ip_parent, ItemPtr i_item, PathNodeRelation i_relation);
    PathNode(const PathNode&) = delete;
    PathNode& operator=(const PathNode&) = delete;
    ~PathNode();

private:
    friend class Data;
    friend struct DataInternals;

    bool Matches(Item* ip_item) const;

    Data* mp_data;
    Type* mp_type;
    ItemPtr m_item;
    PathNode* mp_parent = nullptr;
    PathNodeRelation m_relation = PathRequired;
    std::vector<PathNode*> m_children;
};

// ---------------------------------------------------------------------------------------------
// RemovalBatch: items named for removal, in the order they are to go (see Data::RemoveLater).
// Items are named by id alone, so a share's million files cost no counted handles. Build a batch
// in one go: an id whose item goes before the batch is done may be taken by a newer item, which
// is told apart by being newer than every item the batch names.

class RemovalBatch
{
public:
    // The items of a type linked to the set's members, newest first. Newest first suits items
    // linked to many others (a share's files): each then gives up the newest end of their lists.
    void AddItemsNewestFirst(const ItemSet& i_items, const char* i_type);
    void AddNewestFirst(const ItemSet& i_items);
    void Add(const ItemPtr& i_item);
    std::size_t size() const { return m_ids.size(); }
    // Removes the items now, as one Remove() after the other would.
    void Remove() const;

private:
    friend class Data;
    friend struct DataInternals;

    void Note(const Item* ip_item);

    Data* mp_data = nullptr;
    std::vector<std::uint32_t> m_ids;
    std::uint64_t m_mark = 0; // newer than every item named
};

// ---------------------------------------------------------------------------------------------
// Data: the store.

class Data
{
public:
    Data();
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;
    ~Data();

    Type* NewType(std::string i_name, Primacy i_primacy, bool i_isNull, bool i_createOnGet);
    Type* GetType(const std::string& i_name) const;
    Type* GetType(const char* i_name) const;
    bool HasType(const std::string& i_name) const;
    std::vector<Type*> GetTypes() const { return m_types; }

    ItemPtr GetItem(const ItemPtr& i_a, const ItemPtr& i_b, const char* i_type) const;
    ItemPtr GetItem(const ItemSet& i_items, const char* i_type) const;
    ItemSet GetItems(const ItemPtr& i_a, const ItemPtr& i_b, const char* i_type) const;
    void GetItems(ItemSet& o_items, const char* i_type) const;
    ItemSet GetItemSubset(const ItemSet& i_items, const char* i_type) const;

    // Removes owned items without an owner, then items no Primary item reaches; returns the count.
    int RemoveDisconnectedItems();
    void RemoveAllItems();
    // Removes the batch's items in short slices with the event loop running between them, then
    // what they leave unreached (RemoveDisconnectedItems); handlers hear each removal as with
    // Remove(). A batch still waiting is finished first, so at most one waits. Without an event
    // loop on this thread, all of it is done at once.
    void RemoveLater(RemovalBatch i_batch);
    // Ends the waiting removals now (not from inside one of their handlers).
    void FinishRemovals();
    bool HasRemovalsPending() const { return !m_removals.empty(); }

    // Takes ownership of the handler. Called on every link of a first-type item to a second-type
    // item, with first = the first type's item.
    void AddConnectionEventHandler(Type* ip_first, Type* ip_second, EventHandlerBase<ConnectionInfo&>* ip_handler);
    // Takes ownership of the path and the handler; the handler is called with the root item.
    void AddPathEventHandler(PathNode* ip_root, EventHandlerBase<ItemPtr>* ip_handler);

    std::size_t GetItemCount() const { return m_itemCount; }
    std::size_t GetLinkCount() const { return m_linkCount; }
    // Removed items whose memory is still to be given back (see FreeSlice).
    std::size_t GetUnfreedCount() const { return m_unfreed.size(); }
    // Has the C library's allocator merge the small blocks freed since it last did, while they are
    // still in the cache. Left to its next large request, a burst of removals' blocks are merged all
    // at once and out of the cache, at a cost that grows faster than the burst.
    static void MergeFreedBlocks();

    // Decoder for value bytes that are not valid UTF-8 (the chosen code page); Latin-1 when unset.
    using TextDecoder = QString (*)(const std::string& i_bytes);
    static void SetTextDecoder(TextDecoder i_decoder);
    static TextDecoder GetTextDecoder();

    EventHandlerSet<Type*> m_typeCreated;
    EventHandlerSet<ItemPtr> m_itemCreated;
    EventHandlerSet<ItemPtr> m_itemRemoved;

private:
    friend class Type;
    friend class ItemPtr;
    friend class ItemSet;
    friend class DataSaver;
    friend class PathNode;
    friend struct DataInternals;
    friend class RemovalBatch;

    struct ConnectionHandler
    {
        Type* first;
        Type* second;
        EventHandlerBase<ConnectionInfo&>* handler;
    };

    std::uint32_t TakeId();
    void ReleaseId(Item* ip_item);
    // Items removed many at a time are freed later in slices, with the event loop running
    // between them: freeing a large share's millions of items at once would freeze the window.
    static constexpr std::size_t kFreeSlice = 32768;
    bool CanFreeLater() const;
    void ScheduleFreeing();
    void FreeSlice(std::size_t i_count);
    // A slice of the waiting removals, of about i_ms (all of them when negative); true when done.
    static constexpr int kRemoveSliceMs = 20;
    bool RemoveSlice(int i_ms);

    std::vector<Type*> m_types;
    // Keyed by views of the types' own names, so a lookup by a literal allocates nothing.
    std::unordered_map<std::string_view, Type*> m_typesByName;
    std::uint64_t m_nextSerial = 1;
    std::size_t m_itemCount = 0;
    std::size_t m_linkCount = 0;
    // Item ids: links and value indexes name items by their slot here, half the size of a
    // pointer. Slot 0 stays empty; slots of removed items are reused.
    std::vector<Item*> m_itemsById;
    std::vector<std::uint32_t> m_freeIds;
    std::vector<ConnectionHandler> m_connectionHandlers;
    std::vector<std::unique_ptr<PathRegistration>> m_paths;
    // (parent type index << 32 | child type index) -> path edges hanging on that pair
    std::unordered_map<std::uint64_t, std::vector<std::pair<PathRegistration*, PathNode*>>> m_pathEdges;
    // Types that stand on some path, by type index: a link between other types skips the look-up.
    std::vector<char> m_pathTypes;
    int m_pathDepth = 0;
    std::vector<Item*> m_unfreed;
    std::unique_ptr<QTimer> mp_freeTimer;
    struct PendingRemoval
    {
        RemovalBatch batch;
        std::size_t done = 0;
    };
    std::deque<PendingRemoval> m_removals;
    bool m_inRemoveSlice = false;
    std::unique_ptr<QTimer> mp_removeTimer;
};

extern Data* d;

// ---------------------------------------------------------------------------------------------
// Settings: a `global` item named by the key, linked (One) to a `global_value` item holding the
// text. `vglobal` keys have the same shape and are never saved.

// Declares `global`, `vglobal` and `global_value` with their relations; does nothing for a type
// that is already declared.
void DeclareSettingTypes(Data* ip_data = d);

QString GetSetting(const QString& i_key);
void SetSetting(const QString& i_key, const QString& i_value);
// Writes the value only when the key has none yet (defaults that a stored value overrides).
void SetDefaultSetting(const QString& i_key, const QString& i_value);
void ClearSetting(const QString& i_key);
bool HasSetting(const QString& i_key);
// A switch is on only for exactly "yes"; a missing value is off.
bool IsSettingOn(const QString& i_key);
void SetSettingOn(const QString& i_key, bool i_on);
// Decimal; 0 when missing or unreadable.
qint64 GetSettingNumber(const QString& i_key);
void SetSettingNumber(const QString& i_key, qint64 i_value);
// The key's `global` item (created when missing), e.g. as the root of a path handler.
ItemPtr GetSettingItem(const QString& i_key);

QString GetVolatileSetting(const QString& i_key);
void SetVolatileSetting(const QString& i_key, const QString& i_value);
void ClearVolatileSetting(const QString& i_key);
bool IsVolatileSettingOn(const QString& i_key);
ItemPtr GetVolatileSettingItem(const QString& i_key);
