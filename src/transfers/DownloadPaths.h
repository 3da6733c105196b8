#pragma once

#include <QString>
#include <QStringList>

#include <string_view>

// The rules that turn names from other users into local paths. They are the boundary that keeps
// every download inside the download folder, so they stand alone, free of the engine.
namespace DownloadPaths
{
// The internal "\"-separated form turned into a local file-system path.
QString LocalPath(QString i_internal);
// A remote name made safe as one local path component: "_" for anything that could climb,
// split or end a path.
QString SafePathComponent(const QString& i_name);
// The last i_subfolderSaveLevel + 1 components of a remote folder ("\" or "/" between them),
// each made safe, nearest last; a level deeper than the folder keeps the whole folder.
QStringList KeptFolderComponents(const QString& i_remoteFolder, int i_subfolderSaveLevel);
// The same components appended to io_folder, each after a "\", at a cost that grows with the
// folder's length alone.
void AppendKeptComponents(const QString& i_remoteFolder, int i_subfolderSaveLevel, QString& io_folder);
// Whether more than i_most components are kept, read from the folder's stored bytes, only until
// more than i_most components are found.
bool KeepsMoreComponentsThan(std::string_view i_remoteFolder, int i_subfolderSaveLevel, int i_most);
} // namespace DownloadPaths
