// Where a download lives on disk. Paths are built with "\" and turned into "/" at each file
// operation; every component that came from a peer is made safe first, so no remote name can
// reach outside the download folder.
#include "TransferQueueManager.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

QString TransferQueueManager::LocalPath(QString i_internal)
{
    return i_internal.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

QString TransferQueueManager::SafePathComponent(const QString& i_name)
{
    if (i_name.isEmpty() || i_name == QLatin1String(".") || i_name == QLatin1String("..") || i_name.contains(QChar(0))
        || i_name.contains(QLatin1Char('/')) || i_name.contains(QLatin1Char('\\')))
        return QStringLiteral("_");
    return i_name;
}

QStringList TransferQueueManager::KeptFolderComponents(const ItemPtr& i_entry)
{
    static const QRegularExpression separators(QStringLiteral("[\\\\/]"));
    const QStringList all = i_entry["remote_folder"].AsString().split(separators, Qt::SkipEmptyParts);
    const int level = std::max(0, i_entry["subfolder_save_level"].AsInt());
    // A level deeper than the folder keeps the whole folder, nothing above it.
    const int keep = static_cast<int>(std::min<qint64>(all.size(), qint64(level) + 1));
    QStringList kept;
    for (int index = all.size() - keep; index < all.size(); ++index)
        kept << SafePathComponent(all.at(index));
    return kept;
}

QString TransferQueueManager::GetDownloadTargetFolder(ItemPtr i_entry, bool i_complete)
{
    QString folder = GetSetting(QStringLiteral("download_folder"));
    folder.replace(QLatin1Char('/'), QLatin1Char('\\'));
    folder += i_complete ? QStringLiteral("\\complete") : QStringLiteral("\\downloading");
    for (const QString& component : KeptFolderComponents(i_entry))
        folder += Backslashed(component);
    return folder;
}

QString TransferQueueManager::GetDownloadTargetPath(ItemPtr i_entry, bool i_complete)
{
    return GetDownloadTargetFolder(i_entry, i_complete)
           + Backslashed(SafePathComponent(i_entry["file_name"].AsString()));
}

QString TransferQueueManager::GetDownloadRelativeDownloadFolder(ItemPtr i_entry)
{
    return KeptFolderComponents(i_entry).join(QLatin1Char('\\'));
}

bool TransferQueueManager::DoesDownloadItemCompleteFilenameExist(ItemPtr i_entry)
{
    return QFileInfo::exists(LocalPath(GetDownloadTargetPath(i_entry, true)));
}

void TransferQueueManager::RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr i_entry)
{
    const ItemPtr complete = GetType("download_entry_status")->GetItem("complete");
    for (const ItemPtr& entry : i_entry["remote_folder"].GetItems("download_entry"))
        if (!entry.IsConnected(complete))
            return;
    // Only the recreated levels go, deepest first; "downloading" itself stays.
    QString folder = GetDownloadTargetFolder(i_entry, false);
    const int levels = KeptFolderComponents(i_entry).size();
    for (int level = 0; level < levels; ++level)
    {
        QDir().rmdir(LocalPath(folder));
        folder.truncate(folder.lastIndexOf(QLatin1Char('\\')));
    }
}

bool TransferQueueManager::HasExcludedDownloadExtension(QString i_fileName)
{
    for (const ItemPtr& extension : GetType("excluded_download_extension")->GetItems())
    {
        const QString ending = extension.AsString();
        // An empty ending would exclude every file.
        if (!ending.isEmpty() && i_fileName.endsWith(ending, Qt::CaseSensitive))
            return true;
    }
    return false;
}
