// Where a download lives on disk. Paths are built with "\" and turned into "/" at each file
// operation; every component that came from a peer is made safe first, so no remote name can
// reach outside the download folder.
#include "DownloadPaths.h"

#include "TransferQueueManager.h"
#include "TransfersSchema.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <climits>

namespace
{
bool IsSeparator(QChar i_c)
{
    return i_c == QLatin1Char('\\') || i_c == QLatin1Char('/');
}
} // namespace

// One pass over the text: a folder thousands of levels deep is a long text, and splitting it into
// a list for every file of a folder download made the download's cost grow with the square of
// the depth.
void DownloadPaths::AppendKeptComponents(const QString& i_remoteFolder, int i_level, QString& io_folder)
{
    // A level deeper than the folder keeps the whole folder, nothing above it.
    const qint64 keep = qint64(std::max(0, i_level)) + 1;
    int start = i_remoteFolder.size();
    qint64 found = 0;
    for (int end = start; end > 0 && found < keep;)
    {
        while (end > 0 && IsSeparator(i_remoteFolder.at(end - 1)))
            --end;
        if (end == 0)
            break;
        int begin = end;
        while (begin > 0 && !IsSeparator(i_remoteFolder.at(begin - 1)))
            --begin;
        start = begin;
        ++found;
        end = begin;
    }
    // Written in place: each component adds a separator and at most its own length, and the
    // source has a separator before every component but the first.
    const int length = i_remoteFolder.size();
    const int written = io_folder.size();
    io_folder.resize(written + (length - start) + 1);
    const QChar* in = i_remoteFolder.constData();
    QChar* const first = io_folder.data();
    QChar* out = first + written;
    for (int pos = start; pos < length;)
    {
        if (IsSeparator(in[pos]))
        {
            ++pos;
            continue;
        }
        *out++ = QLatin1Char('\\');
        QChar* const component = out;
        bool hasNul = false;
        for (; pos < length && !IsSeparator(in[pos]); ++pos)
        {
            hasNul = hasNul || in[pos].isNull();
            *out++ = in[pos];
        }
        const qint64 size = out - component;
        const bool dots =
            (size == 1 || size == 2) && component[0] == QLatin1Char('.') && component[size - 1] == QLatin1Char('.');
        if (hasNul || dots)
        {
            out = component;
            *out++ = QLatin1Char('_');
        }
    }
    io_folder.truncate(int(out - first));
}

bool DownloadPaths::KeepsMoreComponentsThan(std::string_view i_remoteFolder, int i_subfolderSaveLevel, int i_most)
{
    if (qint64(std::max(0, i_subfolderSaveLevel)) + 1 <= i_most)
        return false;
    // A component begins at a byte that is no separator, first or after one. Counted in blocks
    // without a branch inside, which the compiler turns into vector code: a folder download
    // thousands of levels deep asks this for every file.
    constexpr std::size_t kBlock = 512;
    const auto isSeparator = [](unsigned char i_c) { return int(i_c == '\\') | int(i_c == '/'); };
    const auto* bytes = reinterpret_cast<const unsigned char*>(i_remoteFolder.data());
    const std::size_t size = i_remoteFolder.size();
    if (size == 0)
        return false;
    qint64 found = 1 - isSeparator(bytes[0]);
    for (std::size_t first = 1; first < size && found <= i_most; first += kBlock)
    {
        const std::size_t last = std::min(size, first + kBlock);
        int begun = 0;
        for (std::size_t at = first; at < last; ++at)
            begun += (1 - isSeparator(bytes[at])) & isSeparator(bytes[at - 1]);
        found += begun;
    }
    return found > i_most;
}

QString DownloadPaths::LocalPath(QString i_internal)
{
    return i_internal.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

QString DownloadPaths::SafePathComponent(const QString& i_name)
{
    if (i_name.isEmpty() || i_name == QLatin1String(".") || i_name == QLatin1String("..") || i_name.contains(QChar(0))
        || i_name.contains(QLatin1Char('/')) || i_name.contains(QLatin1Char('\\')))
        return QStringLiteral("_");
    return i_name;
}

QStringList DownloadPaths::KeptFolderComponents(const QString& i_remoteFolder, int i_subfolderSaveLevel)
{
    static const QRegularExpression separators(QStringLiteral("[\\\\/]"));
    const QStringList all = i_remoteFolder.split(separators, Qt::SkipEmptyParts);
    const int level = std::max(0, i_subfolderSaveLevel);
    // A level deeper than the folder keeps the whole folder, nothing above it.
    const int keep = static_cast<int>(std::min<qint64>(all.size(), qint64(level) + 1));
    QStringList kept;
    for (int index = all.size() - keep; index < all.size(); ++index)
        kept << SafePathComponent(all.at(index));
    return kept;
}

QStringList TransferQueueManager::KeptFolderComponents(const ItemPtr& i_entry)
{
    return DownloadPaths::KeptFolderComponents(i_entry[types::kRemoteFolder].AsString(),
                                               i_entry[types::kSubfolderSaveLevel].AsInt());
}

QString TransferQueueManager::GetDownloadTargetFolder(ItemPtr i_entry, bool i_complete)
{
    QString folder = GetSetting(settings::kDownloadFolder);
    folder.replace(QLatin1Char('/'), QLatin1Char('\\'));
    folder += i_complete ? QStringLiteral("\\complete") : QStringLiteral("\\downloading");
    DownloadPaths::AppendKeptComponents(i_entry[types::kRemoteFolder].AsString(),
                                        i_entry[types::kSubfolderSaveLevel].AsInt(), folder);
    return folder;
}

QString TransferQueueManager::GetDownloadTargetPath(ItemPtr i_entry, bool i_complete)
{
    return GetDownloadTargetFolder(i_entry, i_complete)
           + Backslashed(DownloadPaths::SafePathComponent(i_entry[types::kFileName].AsString()));
}

QString TransferQueueManager::GetDownloadRelativeDownloadFolder(ItemPtr i_entry)
{
    return KeptFolderComponents(i_entry).join(QLatin1Char('\\'));
}

bool TransferQueueManager::DoesDownloadItemCompleteFilenameExist(ItemPtr i_entry)
{
    // No file has a path longer than the system takes, and each kept folder adds a separator and
    // a character to it. Told from the stored bytes, so that a folder download thousands of
    // levels deep does not decode and build a path that grows with the depth for every file.
    if (DownloadPaths::KeepsMoreComponentsThan(i_entry[types::kRemoteFolder].AsBytes(),
                                               i_entry[types::kSubfolderSaveLevel].AsInt(), PATH_MAX / 2))
        return false;
    return QFileInfo::exists(DownloadPaths::LocalPath(GetDownloadTargetPath(i_entry, true)));
}

void TransferQueueManager::RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr i_entry)
{
    const ItemPtr complete = GetType(types::kDownloadEntryStatus)->GetItem("complete");
    for (const ItemPtr& entry : i_entry[types::kRemoteFolder].GetItems(types::kDownloadEntry))
        if (!entry.IsConnected(complete))
            return;
    // Only the recreated levels go, deepest first; "downloading" itself stays.
    QString folder = GetDownloadTargetFolder(i_entry, false);
    const int levels = KeptFolderComponents(i_entry).size();
    for (int level = 0; level < levels; ++level)
    {
        QDir().rmdir(DownloadPaths::LocalPath(folder));
        folder.truncate(folder.lastIndexOf(QLatin1Char('\\')));
    }
}

bool TransferQueueManager::HasExcludedDownloadExtension(QString i_fileName)
{
    for (const ItemPtr& extension : GetType(types::kExcludedDownloadExtension)->GetItems())
    {
        const QString ending = extension.AsString();
        // An empty ending would exclude every file.
        if (!ending.isEmpty() && i_fileName.endsWith(ending, Qt::CaseSensitive))
            return true;
    }
    return false;
}
