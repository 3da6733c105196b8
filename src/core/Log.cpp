#include "Log.h"

#include "CoreSchema.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QThread>

#include <algorithm>
#include <deque>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

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

struct PendingLine
{
    quint64 order;
    QString area;
    QString line;
};

struct LogState
{
    LogSink m_sink;
    // Lines waiting for a window: the newest kMaxLogLines of each area, in a ring of the area's
    // own, so that a full area drops its oldest line at once. Numbered to be handed over in the
    // order they were logged.
    QHash<QString, std::deque<PendingLine>> m_pending;
    quint64 m_nextOrder = 0;
    ItemLogBook m_book;
    bool m_delivering = false;
    // A descriptor held for the log files, each opened for its line: when the process has no other
    // left (a flood of connections), the line's file opens in its place, and it is taken again after.
    int m_spare = -1;
};

LogState& State()
{
    static LogState state;
    return state;
}

bool UserLevelLoggingOn()
{
    if (!d || !d->HasType(types::kGlobal) || !d->HasType(types::kGlobalValue))
        return false;
    return IsSettingOn(settings::kUserLevelLogging);
}

void HoldSpare()
{
    int& spare = State().m_spare;
    if (spare < 0)
        spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void AppendToFile(const QString& i_area, const QString& i_line)
{
    const QString folder = LogFolder();
    if (!QDir().mkpath(folder))
        return;
    QFile file(folder + LogFileNameForArea(i_area) + QStringLiteral(".log"));
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Append;
    int& spare = State().m_spare;
    if (!file.open(mode) && spare >= 0)
    {
        ::close(spare);
        spare = -1;
        file.open(mode);
    }
    if (file.isOpen())
        file.write((i_line + QLatin1Char('\n')).toUtf8());
    file.close();
    HoldSpare();
}

void Keep(PendingLine i_line)
{
    std::deque<PendingLine>& ring = State().m_pending[i_line.area];
    ring.push_back(std::move(i_line));
    if (ring.size() > static_cast<size_t>(kMaxLogLines))
        ring.pop_front();
}

// Every waiting line, oldest first; none waits afterwards.
std::vector<PendingLine> TakePending()
{
    LogState& state = State();
    std::vector<PendingLine> lines;
    for (std::deque<PendingLine>& ring : state.m_pending)
        for (PendingLine& line : ring)
            lines.push_back(std::move(line));
    state.m_pending.clear();
    std::sort(lines.begin(), lines.end(),
              [](const PendingLine& i_a, const PendingLine& i_b) { return i_a.order < i_b.order; });
    return lines;
}

void Deliver(const QString& i_area, const QString& i_line)
{
    LogState& state = State();
    if (state.m_sink && !state.m_delivering)
    {
        state.m_delivering = true;
        state.m_sink(i_area, i_line);
        // Lines logged while the window handled this one were kept; hand them over now, or keep
        // them again, ahead of newer ones, should the window go meanwhile.
        while (state.m_sink && !state.m_pending.isEmpty())
        {
            std::vector<PendingLine> lines = TakePending();
            for (size_t n = 0; n < lines.size(); ++n)
            {
                if (!state.m_sink)
                {
                    std::vector<PendingLine> newer = TakePending();
                    for (size_t rest = n; rest < lines.size(); ++rest)
                        Keep(std::move(lines[rest]));
                    for (PendingLine& line : newer)
                        Keep(std::move(line));
                    break;
                }
                state.m_sink(lines[n].area, lines[n].line);
            }
        }
        state.m_delivering = false;
        return;
    }
    // No window yet (or a line logged from inside the window's own handling): keep it.
    Keep({state.m_nextOrder++, i_area, i_line});
}

void LogOnGuiThread(const QString& i_area, const QString& i_line, const ItemPtr& i_item)
{
    // Taken early: user-level logging may be turned on once descriptors have run out.
    HoldSpare();
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
    for (const PendingLine& line : TakePending())
        Deliver(line.area, line.line);
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
