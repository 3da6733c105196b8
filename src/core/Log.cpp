#include "Log.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QThread>

#include <deque>
#include <set>
#include <unordered_map>
#include <utility>

namespace
{
struct ItemRecord
{
    std::deque<QString> m_lines;
};

// Drops an item's lines when the item goes, so records never outlive what they describe.
class ItemLogBook : public DataHandler
{
public:
    void Register(const std::string& i_type)
    {
        m_types.insert(i_type);
        Watch(i_type);
    }

    bool IsRegistered(const std::string& i_type) const { return m_types.count(i_type) != 0; }

    void Record(const ItemPtr& i_item, const QString& i_line)
    {
        Watch(i_item.GetType()->GetName());
        std::deque<QString>& lines = m_records[i_item.GetSerial()].m_lines;
        lines.push_back(i_line);
        while (lines.size() > static_cast<size_t>(kMaxLogLines))
            lines.pop_front();
    }

    QStringList Lines(const ItemPtr& i_item) const
    {
        QStringList result;
        auto it = m_records.find(i_item.GetSerial());
        if (it != m_records.end())
            for (const QString& line : it->second.m_lines)
                result.append(line);
        return result;
    }

    void Clear()
    {
        m_records.clear();
        m_watched.clear();
    }

private:
    void Watch(const std::string& i_type)
    {
        if (!d || !d->HasType(i_type))
            return;
        Type* type = d->GetType(i_type);
        if (!m_watched.insert(type).second)
            return;
        type->m_itemRemoved.insert(new EventHandler<ItemLogBook, ItemPtr>(this, &ItemLogBook::OnItemRemoved));
    }

    void OnItemRemoved(ItemPtr i_item) { m_records.erase(i_item.GetSerial()); }

    std::set<std::string> m_types;
    std::set<Type*> m_watched;
    std::unordered_map<std::uint64_t, ItemRecord> m_records;
};

struct LogState
{
    LogSink m_sink;
    // Lines waiting for a window, oldest first, at most kMaxLogLines per area.
    std::deque<std::pair<QString, QString>> m_pending;
    QHash<QString, int> m_pendingPerArea;
    ItemLogBook m_book;
    bool m_delivering = false;
};

LogState& State()
{
    static LogState state;
    return state;
}

bool UserLevelLoggingOn()
{
    if (!d || !d->HasType("global") || !d->HasType("global_value"))
        return false;
    return IsSettingOn(QStringLiteral("user_level_logging"));
}

void AppendToFile(const QString& i_area, const QString& i_line)
{
    const QString folder = LogFolder();
    if (!QDir().mkpath(folder))
        return;
    QFile file(folder + LogFileNameForArea(i_area) + QStringLiteral(".log"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    file.write((i_line + QLatin1Char('\n')).toUtf8());
}

void Deliver(const QString& i_area, const QString& i_line)
{
    LogState& state = State();
    if (state.m_sink && !state.m_delivering)
    {
        state.m_delivering = true;
        state.m_sink(i_area, i_line);
        // Lines logged while the window handled this one were kept; hand them over now.
        while (state.m_sink && !state.m_pending.empty())
        {
            const std::pair<QString, QString> next = state.m_pending.front();
            state.m_pending.pop_front();
            --state.m_pendingPerArea[next.first];
            state.m_sink(next.first, next.second);
        }
        state.m_delivering = false;
        return;
    }
    // No window yet (or a line logged from inside the window's own handling): keep it.
    state.m_pending.emplace_back(i_area, i_line);
    if (++state.m_pendingPerArea[i_area] > kMaxLogLines)
    {
        for (auto it = state.m_pending.begin(); it != state.m_pending.end(); ++it)
            if (it->first == i_area)
            {
                state.m_pending.erase(it);
                --state.m_pendingPerArea[i_area];
                break;
            }
    }
}

void LogOnGuiThread(const QString& i_area, const QString& i_line, const ItemPtr& i_item)
{
    Deliver(i_area, i_line);
    if (!UserLevelLoggingOn())
        return;
    AppendToFile(i_area, i_line);
    if (i_item && State().m_book.IsRegistered(i_item.GetType()->GetName()))
    {
        State().m_book.Record(i_item, i_line);
        emit LogNotifier::Instance()->ItemLineRecorded(i_item.GetSerial(), i_line);
    }
}
} // namespace

QString FormatLogLine(const QDateTime& i_when, int i_level, const QString& i_text)
{
    const int indent = 3 * std::max(0, i_level - 1);
    return QLatin1Char('[') + i_when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) + QStringLiteral("] ")
           + QString(indent, QLatin1Char(' ')) + i_text;
}

QString LogFileNameForArea(const QString& i_area)
{
    QString name;
    name.reserve(i_area.size());
    for (const QChar c : i_area)
    {
        const bool safe = c.isLetterOrNumber() || c == QLatin1Char(' ') || c == QLatin1Char('-')
                          || c == QLatin1Char('_') || c == QLatin1Char('.');
        name.append(safe ? c : QLatin1Char('_'));
    }
    // No hidden files and no "." or "..".
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        name.prepend(QLatin1Char('_'));
    return name;
}

QString LogFolder()
{
    return QDir::homePath() + QStringLiteral("/Veltrane Logs/");
}

void Log(const QString& i_area, int i_level, const QString& i_text, ItemPtr i_item)
{
    const QString line = FormatLogLine(QDateTime::currentDateTime(), i_level, i_text);
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread())
    {
        // The data model and the window belong to the GUI thread.
        QMetaObject::invokeMethod(
            app, [area = i_area, line, item = std::move(i_item)]() { LogOnGuiThread(area, line, item); },
            Qt::QueuedConnection);
        return;
    }
    LogOnGuiThread(i_area, line, i_item);
}

void SetLogSink(LogSink i_sink)
{
    LogState& state = State();
    state.m_sink = std::move(i_sink);
    if (!state.m_sink)
        return;
    std::deque<std::pair<QString, QString>> pending;
    pending.swap(state.m_pending);
    state.m_pendingPerArea.clear();
    for (const auto& entry : pending)
        Deliver(entry.first, entry.second);
}

void RegisterLoggableItemType(const std::string& i_type)
{
    State().m_book.Register(i_type);
}

bool IsLoggableItemType(const std::string& i_type)
{
    return State().m_book.IsRegistered(i_type);
}

QStringList GetItemLogLines(const ItemPtr& i_item)
{
    return State().m_book.Lines(i_item);
}

void ClearItemLogRecords()
{
    State().m_book.Clear();
}

LogNotifier* LogNotifier::Instance()
{
    static LogNotifier notifier;
    return &notifier;
}
