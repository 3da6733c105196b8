#include "DataSaver.h"

#include "Log.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <zlib.h>

#include <algorithm>
#include <cstring>

DataSaver* dataSaver = nullptr;

namespace
{

const QString kArea = QStringLiteral("Data File");

// The layout is described in docs/data-file.md.
const char kMagic[8] = {'V', 'E', 'L', 'T', 'D', 'A', 'T', 'A'};
const std::uint32_t kVersion = 1;
const std::uint8_t kSharedNullItem = 1;
const std::uint8_t kNullType = 1;
const std::uint32_t kMaxTypeName = 4096;

void PutU32(std::string& o_out, std::uint32_t i_value)
{
    const char bytes[4] = {static_cast<char>(i_value), static_cast<char>(i_value >> 8),
                           static_cast<char>(i_value >> 16), static_cast<char>(i_value >> 24)};
    o_out.append(bytes, 4);
}

void PatchU32(std::string& o_out, std::size_t i_at, std::uint32_t i_value)
{
    for (int k = 0; k < 4; ++k)
        o_out[i_at + k] = static_cast<char>(i_value >> (8 * k));
}

// Bounds-checked little-endian reader over the whole file; any short read marks it failed.
class Reader
{
public:
    Reader(const char* ip_data, std::size_t i_size)
        : mp_data(ip_data)
        , m_size(i_size)
    {
    }

    bool Ok() const { return m_ok; }
    std::size_t Position() const { return m_pos; }
    std::size_t Remaining() const { return m_ok ? m_size - m_pos : 0; }

    std::uint32_t U32()
    {
        if (!Need(4))
            return 0;
        const auto* p = reinterpret_cast<const unsigned char*>(mp_data + m_pos);
        m_pos += 4;
        return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
    }
    std::uint8_t U8()
    {
        if (!Need(1))
            return 0;
        return static_cast<std::uint8_t>(mp_data[m_pos++]);
    }
    // Skips i_length bytes and returns where they start.
    std::size_t Skip(std::size_t i_length)
    {
        if (!Need(i_length))
            return 0;
        const std::size_t at = m_pos;
        m_pos += i_length;
        return at;
    }
    void Fail() { m_ok = false; }

private:
    bool Need(std::size_t i_length)
    {
        if (!m_ok || m_size - m_pos < i_length)
        {
            m_ok = false;
            return false;
        }
        return true;
    }

    const char* mp_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

struct StagedType
{
    std::string name;
    bool isNull;
};

struct StagedItem
{
    std::uint32_t type;
    std::uint8_t flags;
    std::size_t offset;
    std::uint32_t length;
};

struct Staged
{
    std::vector<StagedType> types;
    std::vector<StagedItem> items;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;
};

// Reads and checks the whole file; nothing in the store is touched. Returns an empty reason on
// success.
QString Parse(const QByteArray& i_file, Staged& o_staged)
{
    const std::size_t size = static_cast<std::size_t>(i_file.size());
    if (size < sizeof(kMagic) + 4 + 4)
        return QStringLiteral("the file is too short");
    if (std::memcmp(i_file.constData(), kMagic, sizeof(kMagic)) != 0)
        return QStringLiteral("the file does not start with the data file mark");
    const std::size_t body = size - 4;
    Reader checksum(i_file.constData() + body, 4);
    const std::uint32_t stored = checksum.U32();
    const std::uint32_t computed = static_cast<std::uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(i_file.constData()), static_cast<uInt>(body)));
    if (stored != computed)
        return QStringLiteral("the file is damaged or incomplete (checksum)");

    Reader in(i_file.constData(), body);
    in.Skip(sizeof(kMagic));
    const std::uint32_t version = in.U32();
    if (version != kVersion)
        return QStringLiteral("unknown format version %1").arg(version);

    const std::uint32_t typeCount = in.U32();
    if (typeCount > in.Remaining() / 5)
        return QStringLiteral("type count out of range");
    o_staged.types.reserve(typeCount);
    for (std::uint32_t t = 0; t < typeCount && in.Ok(); ++t)
    {
        const std::uint32_t length = in.U32();
        if (length == 0 || length > kMaxTypeName)
            return QStringLiteral("bad type name length");
        const std::size_t at = in.Skip(length);
        const std::uint8_t flags = in.U8();
        if (!in.Ok())
            break;
        o_staged.types.push_back({std::string(i_file.constData() + at, length), (flags & kNullType) != 0});
    }

    const std::uint32_t itemCount = in.U32();
    if (!in.Ok() || itemCount > in.Remaining() / 13)
        return QStringLiteral("item count out of range");
    o_staged.items.reserve(itemCount);
    for (std::uint32_t n = 0; n < itemCount && in.Ok(); ++n)
    {
        const std::uint32_t type = in.U32();
        const std::uint32_t id = in.U32();
        const std::uint8_t flags = in.U8();
        const std::uint32_t length = in.U32();
        const std::size_t at = in.Skip(length);
        if (!in.Ok())
            break;
        if (type >= typeCount)
            return QStringLiteral("item %1 names no type of the table").arg(n);
        if (id != n)
            return QStringLiteral("item %1 is out of order").arg(n);
        o_staged.items.push_back({type, flags, at, length});
    }

    const std::uint32_t linkCount = in.U32();
    if (!in.Ok() || linkCount > in.Remaining() / 8)
        return QStringLiteral("link count out of range");
    o_staged.links.reserve(linkCount);
    for (std::uint32_t n = 0; n < linkCount && in.Ok(); ++n)
    {
        const std::uint32_t a = in.U32();
        const std::uint32_t b = in.U32();
        if (!in.Ok())
            break;
        if (a >= itemCount || b >= itemCount || a == b)
            return QStringLiteral("link %1 names a missing item").arg(n);
        o_staged.links.emplace_back(a, b);
    }
    if (!in.Ok())
        return QStringLiteral("the file ends too early");
    if (in.Remaining() != 0)
        return QStringLiteral("unexpected bytes after the last link");
    return QString();
}

} // namespace

// ---------------------------------------------------------------------------------------------

DataLoadedEventHandler::~DataLoadedEventHandler()
{
    if (dataSaver)
        dataSaver->m_listeners.erase(this);
}

void DataLoadedListenerSet::insert(DataLoadedEventHandler* ip_listener)
{
    if (ip_listener && !contains(ip_listener))
        m_listeners.push_back(ip_listener);
}

void DataLoadedListenerSet::erase(DataLoadedEventHandler* ip_listener)
{
    m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), ip_listener), m_listeners.end());
}

bool DataLoadedListenerSet::contains(DataLoadedEventHandler* ip_listener) const
{
    return std::find(m_listeners.begin(), m_listeners.end(), ip_listener) != m_listeners.end();
}

// ---------------------------------------------------------------------------------------------

DataSaver::DataSaver()
{
    dataSaver = this;
}

DataSaver::~DataSaver()
{
    if (dataSaver == this)
        dataSaver = nullptr;
}

void DataSaver::AddSavedType(std::string i_type)
{
    m_savedTypes.insert(std::move(i_type));
}

void DataSaver::AddSavedByConnectionType(std::string i_type, std::string i_other)
{
    m_savedByConnection[std::move(i_type)].insert(std::move(i_other));
}

void DataSaver::Save(QString i_path)
{
    SaveFile(i_path);
}

bool DataSaver::SaveFile(const QString& i_path)
{
    Data* data = d;
    if (!data)
        return false;
    const std::vector<Type*>& types = data->m_types;
    // Per item id: its number in the file, or kNotSaved.
    constexpr std::uint32_t kNotSaved = 0xFFFFFFFFu;
    Item* const* byId = data->m_itemsById.data();
    std::vector<std::uint32_t> number(data->m_itemsById.size(), kNotSaved);

    // The written items: every item of a saved type, then, until nothing changes, every item of a
    // by-connection type linked to a written item of one of its other types.
    std::vector<Item*> saved;
    std::vector<std::vector<char>> byConnection(types.size());
    for (const auto& entry : m_savedByConnection)
    {
        if (!data->HasType(entry.first))
            continue;
        std::vector<char>& others = byConnection[data->GetType(entry.first)->m_index];
        others.assign(types.size(), 0);
        for (const std::string& other : entry.second)
            if (data->HasType(other))
                others[data->GetType(other)->m_index] = 1;
    }
    for (const std::string& name : m_savedTypes)
    {
        if (!data->HasType(name))
            continue;
        for (Item* item : data->GetType(name)->m_items)
        {
            if (item && number[item->m_id] == kNotSaved)
            {
                number[item->m_id] = 0;
                saved.push_back(item);
            }
        }
    }
    for (std::size_t next = 0; next < saved.size(); ++next)
    {
        Item* item = saved[next];
        for (std::uint32_t id : item->m_links)
        {
            if (number[id] != kNotSaved)
                continue;
            Item* other = byId[id];
            const std::vector<char>& others = byConnection[other->m_typeIndex];
            if (!others.empty() && others[item->m_typeIndex])
            {
                number[id] = 0;
                saved.push_back(other);
            }
        }
    }
    // Creation order, so the store comes back in the order it was built.
    std::sort(saved.begin(), saved.end(),
              [](const Item* ip_a, const Item* ip_b) { return ip_a->m_serial < ip_b->m_serial; });

    std::vector<std::int64_t> typeRef(types.size(), -1);
    std::vector<Type*> table;
    for (std::size_t n = 0; n < saved.size(); ++n)
    {
        Item* item = saved[n];
        number[item->m_id] = static_cast<std::uint32_t>(n);
        if (typeRef[item->m_typeIndex] < 0)
        {
            typeRef[item->m_typeIndex] = static_cast<std::int64_t>(table.size());
            table.push_back(item->m_type);
        }
    }

    std::string out;
    out.reserve(64 + saved.size() * 24 + data->m_linkCount * 8);
    out.append(kMagic, sizeof(kMagic));
    PutU32(out, kVersion);
    PutU32(out, static_cast<std::uint32_t>(table.size()));
    for (Type* type : table)
    {
        PutU32(out, static_cast<std::uint32_t>(type->m_name.size()));
        out.append(type->m_name);
        out.push_back(static_cast<char>(type->m_isNull ? kNullType : 0));
    }
    PutU32(out, static_cast<std::uint32_t>(saved.size()));
    for (Item* item : saved)
    {
        PutU32(out, static_cast<std::uint32_t>(typeRef[item->m_typeIndex]));
        PutU32(out, number[item->m_id]);
        out.push_back(static_cast<char>(item->m_type->mp_globalNullItem == item ? kSharedNullItem : 0));
        const std::string_view value = item->Bytes();
        PutU32(out, static_cast<std::uint32_t>(value.size()));
        out.append(value.data(), value.size());
    }
    const std::size_t linkCountAt = out.size();
    PutU32(out, 0);
    std::uint32_t links = 0;
    for (Item* item : saved)
    {
        const std::uint32_t mine = number[item->m_id];
        for (std::uint32_t id : item->m_links)
        {
            if (number[id] != kNotSaved && number[id] > mine)
            {
                PutU32(out, mine);
                PutU32(out, number[id]);
                ++links;
            }
        }
    }
    PatchU32(out, linkCountAt, links);
    PutU32(out, static_cast<std::uint32_t>(
                    crc32(0L, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size()))));

    // The file holds the password: owner-only, and replaced only once fully written.
    QSaveFile file(i_path);
    if (!file.open(QIODevice::WriteOnly))
    {
        Log(kArea, 1, QStringLiteral("Cannot write the data file %1: %2").arg(i_path, file.errorString()));
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(out.data(), static_cast<qint64>(out.size())) != static_cast<qint64>(out.size()) || !file.commit())
    {
        Log(kArea, 1, QStringLiteral("Cannot write the data file %1: %2").arg(i_path, file.errorString()));
        file.cancelWriting();
        return false;
    }
    QFile::setPermissions(i_path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

void DataSaver::Load(QString i_path)
{
    Data* data = d;
    QFile file(i_path);
    if (!file.exists())
    {
        NotifyFirstStart();
        return;
    }

    QString reason;
    QByteArray bytes;
    if (!file.open(QIODevice::ReadOnly))
    {
        // A file that is there but cannot be read is not a first start: the next save would
        // replace the user's only copy.
        reason = QStringLiteral("the file cannot be opened: ") + file.errorString();
    }
    else
    {
        bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            reason = QStringLiteral("the file cannot be read: ") + file.errorString();
        file.close();
    }
    Staged staged;
    if (reason.isEmpty() && !data)
        reason = QStringLiteral("there is no store");
    if (reason.isEmpty())
        reason = Parse(bytes, staged);
    if (!reason.isEmpty())
    {
        const QString aside = i_path + QStringLiteral(".bad");
        QFile::remove(aside);
        if (QFile::rename(i_path, aside))
            Log(kArea, 1,
                QStringLiteral("The data file %1 cannot be loaded (%2); it is kept as %3.").arg(i_path, reason, aside));
        else
            Log(kArea, 1, QStringLiteral("The data file %1 cannot be loaded (%2).").arg(i_path, reason));
        throw DataLoadFailure("cannot load " + i_path.toStdString() + ": " + reason.toStdString());
    }

    // Apply. Types no longer declared, and links between types no longer related, are skipped.
    std::vector<Type*> types(staged.types.size(), nullptr);
    for (std::size_t t = 0; t < staged.types.size(); ++t)
    {
        if (data->HasType(staged.types[t].name))
            types[t] = data->GetType(staged.types[t].name);
        else
            Log(kArea, 1,
                QStringLiteral("Records of the undeclared type %1 are skipped.")
                    .arg(QString::fromStdString(staged.types[t].name)));
    }
    std::vector<ItemPtr> items(staged.items.size());
    for (std::size_t n = 0; n < staged.items.size(); ++n)
    {
        const StagedItem& record = staged.items[n];
        Type* type = types[record.type];
        if (!type)
            continue;
        if (type->IsNull())
        {
            items[n] = (record.flags & kSharedNullItem) ? type->GetGlobalNullItem() : type->NewItem();
        }
        else
        {
            items[n] = type->NewItem(Value(std::string(bytes.constData() + record.offset, record.length)));
        }
    }
    std::size_t unrelated = 0;
    for (const auto& link : staged.links)
    {
        ItemPtr& a = items[link.first];
        ItemPtr& b = items[link.second];
        if (a.IsNull() || b.IsNull())
            continue;
        if (!a.GetType()->IsRelatedTo(b.GetType()))
        {
            ++unrelated;
            continue;
        }
        a.Connect(b);
    }
    if (unrelated)
        Log(kArea, 1, QStringLiteral("%1 links between unrelated types are skipped.").arg(unrelated));
    NotifyLoaded(false);
}

void DataSaver::NotifyFirstStart()
{
    NotifyLoaded(true);
}

void DataSaver::NotifyLoaded(bool i_noData)
{
    m_loaded = true;
    // A listener may delete another from inside its call; only those still registered are told.
    const std::vector<DataLoadedEventHandler*> listeners(m_listeners.begin(), m_listeners.end());
    for (DataLoadedEventHandler* listener : listeners)
        if (m_listeners.contains(listener))
            listener->DataLoaded();
    if (!i_noData)
        return;
    for (DataLoadedEventHandler* listener : listeners)
        if (m_listeners.contains(listener))
            listener->NoData();
}
