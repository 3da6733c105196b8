#include "SharedFoldersManager.h"

#include "DataSaver.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "SearchWords.h"
#include "Server.h"
#include "TextUtils.h"
#include "UserStats.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

SharedFoldersManager* sharedFoldersManager = nullptr;

namespace
{
const QString kArea = QStringLiteral("Shared");

struct Entry
{
    QString name;
    QString lower;
    bool isFolder;
    bool isLink;
};

bool EntryLess(const Entry& i_a, const Entry& i_b)
{
    const int c = i_a.lower.compare(i_b.lower);
    return c != 0 ? c < 0 : i_a.name < i_b.name;
}

struct Listing
{
    std::vector<Entry> entries;
    // Whether the folder could be opened; when not, the error of the attempt.
    bool opened = false;
    int error = 0;
    SharedFoldersManager::FolderId id;
};

// Files and folders without hidden entries (a leading dot) and system entries (sockets, devices,
// pipes, broken links); links are followed. Ordered by name ignoring case. Read straight from
// the directory, so that the entry types come without a look at each file, and so that names
// that are not valid UTF-8 (which the toolkit's listing leaves out silently) can be reported.
Listing ListFolder(const QString& i_folder)
{
    Listing listing;
    if (i_folder.isEmpty())
    {
        listing.error = ENOENT;
        return listing;
    }
    DIR* dir = ::opendir(QFile::encodeName(i_folder).constData());
    if (!dir)
    {
        listing.error = errno;
        return listing;
    }
    listing.opened = true;
    struct stat own;
    if (::fstat(::dirfd(dir), &own) == 0)
        listing.id = {quint64(own.st_dev), quint64(own.st_ino)};
    std::vector<Entry>& entries = listing.entries;
    while (const dirent* entry = ::readdir(dir))
    {
        const char* raw = entry->d_name;
        if (raw[0] == '.')
            continue;
        unsigned char type = entry->d_type;
        struct stat info;
        // Some network and older file systems tell no types: a look at the entry itself does,
        // and the walk must know a link from a folder to put it off (see WalkFolder).
        if (type == DT_UNKNOWN)
        {
            if (::fstatat(::dirfd(dir), raw, &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISLNK(info.st_mode) ? DT_LNK : S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : 0;
        }
        bool isFolder = type == DT_DIR;
        bool isFile = type == DT_REG;
        const bool isLink = type == DT_LNK;
        if (isLink)
        {
            if (::fstatat(::dirfd(dir), raw, &info, 0) != 0)
                continue; // a broken link
            isFolder = S_ISDIR(info.st_mode);
            isFile = S_ISREG(info.st_mode);
        }
        if (!isFolder && !isFile)
            continue;
        QString name = QFile::decodeName(raw);
        if (QFile::encodeName(name) != QByteArray(raw))
        {
            Log(kArea, 2, QStringLiteral("Not sharing %1/%2: its name is not valid UTF-8").arg(i_folder, name));
            continue;
        }
        QString lower = name.toLower();
        entries.push_back({std::move(name), std::move(lower), isFolder, isLink});
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), EntryLess);
    return listing;
}

QString JoinPath(const QString& i_folder, const QString& i_name)
{
    if (i_folder.endsWith(QLatin1Char('/')))
        return i_folder + i_name;
    return i_folder + QLatin1Char('/') + i_name;
}

bool NeedsAudioScan(const QString& i_name)
{
    return i_name.size() > 4 && (i_name.endsWith(QLatin1String(".mp3")) || i_name.endsWith(QLatin1String(".MP3")));
}
} // namespace

SharedFoldersManager::SharedFoldersManager(QObject* ip_parent)
    : QObject(ip_parent)
{
    sharedFoldersManager = this;

    auto declare = [](const char* i_name, Primacy i_primacy, bool i_isNull) {
        return d->NewType(i_name, i_primacy, i_isNull, true);
    };
    // The tables list what one item of the first type holds, then what one of the second holds;
    // RelateToType takes them the other way round.
    auto relate = [](const char* i_type, const char* i_other, OneOrMany i_typeHolds, OneOrMany i_otherHolds) {
        d->GetType(i_type)->RelateToType(d->GetType(i_other), i_otherHolds, i_typeHolds, false);
    };

    declare("shared_folder", Primary, false);
    dataSaver->AddSavedType("shared_folder");
    declare("shared_file", Secondary, true);
    declare("shared_file_name", Secondary, false);
    declare("shared_file_lowercase_name", Tertiary, false);
    declare("shared_file_folder", Secondary, false);
    declare("shared_file_folder_lowercase_name", Tertiary, false);
    declare("shared_file_size", Tertiary, false);
    declare("shared_public", Tertiary, true);
    declare("shared_userlist", Tertiary, true);
    declare("is_scanned", Tertiary, true);
    declare("shared_folder_id", Tertiary, false);

    relate("shared_folder", "shared_file_folder", Many, Many);
    relate("shared_file", "shared_file_folder", One, Many);
    relate("shared_file_folder", "shared_file_folder_lowercase_name", One, Many);
    relate("shared_file", "shared_file_name", One, Many);
    relate("shared_file_name", "shared_file_lowercase_name", One, Many);
    relate("shared_file", "shared_file_size", One, Many);
    relate("shared_folder", "shared_public", One, Many);
    relate("shared_folder", "shared_userlist", One, Many);
    relate("shared_folder", "user_list_group", Many, Many);
    relate("shared_folder", "shared_folder_id", One, One);

    dataSaver->AddSavedByConnectionType("shared_public", "shared_folder");
    dataSaver->AddSavedByConnectionType("shared_userlist", "shared_folder");
    dataSaver->AddSavedByConnectionType("shared_folder_id", "shared_folder");

    d->GetType("shared_file_name")
        ->m_itemCreated.insert(
            new EventHandler<SharedFoldersManager, ItemPtr>(this, &SharedFoldersManager::OnSharedFileNameAdded));
    d->GetType("shared_file_folder")
        ->m_itemCreated.insert(
            new EventHandler<SharedFoldersManager, ItemPtr>(this, &SharedFoldersManager::OnSharedFileFolderAdded));

    declare("user_share", Primary, true);
    declare("user_share_folder", Secondary, true);
    declare("user_share_folder_parent", Secondary, true);
    declare("user_share_folder_child", Secondary, true);
    declare("user_share_folder_name", Tertiary, false);
    declare("user_share_file", Secondary, true);
    declare("user_share_file_name", Tertiary, false);
    relate("user_share", "user", One, One);
    relate("user_share", "user_share_folder", Many, One);
    relate("user_share_folder", "user_share_folder_name", One, Many);
    relate("user_share_folder", "user_share_file", Many, One);
    relate("user_share_folder", "user_share_folder_parent", One, One);
    relate("user_share_folder", "user_share_folder_child", Many, One);
    relate("user_share_folder_parent", "user_share_folder_child", One, One);
    relate("user_share_file", "user_share_file_name", One, Many);
    relate("user_share_file", "file_size", One, Many);

    declare("search_token", Tertiary, false);
    relate("search_token", "shared_file", Many, Many);

    relate("shared_file", "mpeg_version", One, Many);
    relate("shared_file", "channel_mode", One, Many);
    relate("shared_file", "audio_frequency", One, Many);
    relate("shared_file", "bitrate_mode", One, Many);
    relate("shared_file", "bitrate", One, Many);
    relate("shared_file", "is_scanned", One, Many);

    dataSaver->AddSavedType("is_scanned");
    dataSaver->AddSavedByConnectionType("shared_file", "shared_file_folder");
    dataSaver->AddSavedByConnectionType("shared_file_folder", "shared_folder");
    for (const char* type : {"shared_file_name", "shared_file_size", "mpeg_version", "channel_mode", "audio_frequency",
                             "bitrate_mode", "bitrate"})
        dataSaver->AddSavedByConnectionType(type, "shared_file");

    relate("user_share_file", "bitrate_mode", One, Many);
    relate("user_share_file", "bitrate", One, Many);
    relate("user_share_file", "length_seconds", One, Many);

    m_mp3ScannerThread.start();
    m_mp3Scanner.moveToThread(&m_mp3ScannerThread);
    connect(this, &SharedFoldersManager::MP3ScanRequired, &m_mp3Scanner, &MP3Scanner::OnMP3ScanRequired);
    connect(&m_mp3Scanner, &MP3Scanner::MP3Scanned, this, &SharedFoldersManager::OnMP3Scanned);
    if (gp_server)
    {
        connect(gp_server, &Server::Connected, this, &SharedFoldersManager::OnConnectedToServer);
        connect(gp_server, &Server::ReceivedUserStats, this, &SharedFoldersManager::OnReceivedUserStats);
    }

    declare("unshared", Tertiary, true);
    relate("user", "unshared", One, Many);
    dataSaver->AddSavedType("unshared");
    dataSaver->AddSavedByConnectionType("user", "unshared");

    SetSetting(QStringLiteral("shared_folder_counter"), QStringLiteral("1"));

    mp_folderType = d->GetType("shared_folder");
    mp_fileType = d->GetType("shared_file");
    mp_nameType = d->GetType("shared_file_name");
    mp_lowerNameType = d->GetType("shared_file_lowercase_name");
    mp_fileFolderType = d->GetType("shared_file_folder");
    mp_lowerFolderType = d->GetType("shared_file_folder_lowercase_name");
    mp_sizeType = d->GetType("shared_file_size");
    mp_tokenType = d->GetType("search_token");

    ConnectAnswers();
}

SharedFoldersManager::~SharedFoldersManager()
{
    // A scan in progress runs to its end; requests still queued return at once.
    m_mp3Scanner.Quit();
    m_mp3ScannerThread.quit();
    m_mp3ScannerThread.wait();
    // The peer network outlives us and must not call back into a deleted engine.
    if (peerMessenger)
        peerMessenger->SetSharedFilesMessageProvider({});
    if (sharedFoldersManager == this)
        sharedFoldersManager = nullptr;
}

void SharedFoldersManager::Init()
{
    RescanShares();
}

ItemPtr SharedFoldersManager::AddSharedFolder(QString i_path)
{
    ItemPtr folder = mp_folderType->HasItem(Value(i_path));
    if (folder)
        return folder;
    folder = mp_folderType->GetItem(Value(i_path));

    const qint64 n = GetSettingNumber(QStringLiteral("shared_folder_counter"));
    SetSettingNumber(QStringLiteral("shared_folder_counter"), n + 1);
    const QString label = QStringLiteral("[%1]%2").arg(QString::number(n), QDir(i_path).dirName());
    folder.Connect(d->GetType("shared_folder_id")->GetItem(Value(label)));

    const QString path = folder.AsString();
    AddSharedFiles(path, path);
    return folder;
}

void SharedFoldersManager::RescanShares()
{
    const ItemSet folders = mp_folderType->GetItems();
    m_filesAdded = 0;
    m_filesRemoved = 0;
    for (ItemPtr folder : folders)
    {
        if (!folder)
            continue;
        folder.Disconnect("shared_file_folder");
        const QString path = folder.AsString();
        AddSharedFiles(path, path);
    }

    // Folders no shared folder reached any more go with their files. Removing them outright,
    // rather than leaving them to the collector, keeps a file name shared with a reachable file
    // from holding them (and their counts) in the store for ever.
    ItemSet orphans = mp_fileFolderType->GetItems().NotConnected("shared_folder");
    ItemSet orphanFiles = orphans.GetItems("shared_file");
    m_filesRemoved += static_cast<qint32>(orphanFiles.size());
    orphanFiles.Remove();
    orphans.Remove();

    d->RemoveDisconnectedItems();
    emit SharedFilesRescanned(m_filesAdded, m_filesRemoved);
}

void SharedFoldersManager::AddSharedFiles(QString i_root, QString i_folder)
{
    // Each real folder once per shared folder: links that are not cycles can still reach one
    // folder by ever more paths (two links to the next folder, fifteen deep, make 32,767 of
    // them). Links come after the real tree, so a folder keeps its own path when it has one.
    m_walkedFolders.clear();
    m_linkedFolders.clear();
    WalkFolder(i_root, i_folder);
    while (!m_linkedFolders.empty())
    {
        const QString linked = std::move(m_linkedFolders.front());
        m_linkedFolders.pop_front();
        WalkFolder(i_root, linked);
    }
    m_walkedFolders.clear();
}

void SharedFoldersManager::WalkFolder(const QString& i_root, const QString& i_folder)
{
    if (m_foldersBeingAdded.count(i_folder))
        return;
    const Listing listing = ListFolder(i_folder);
    if (listing.opened)
    {
        const auto walked = m_walkedFolders.emplace(listing.id, i_folder);
        if (!walked.second)
        {
            Log(kArea, 1, QStringLiteral("Not following %1: already shared as %2").arg(i_folder, walked.first->second));
            return;
        }
    }
    m_foldersBeingAdded.insert(i_folder);
    Log(kArea, 1, QStringLiteral("Adding folder %1 as part of sharing %2").arg(i_folder, i_root));

    ItemPtr folderItem = mp_fileFolderType->GetItem(Value(i_folder));
    folderItem.Connect(mp_folderType->GetItem(Value(i_root)));
    ItemSet known = folderItem.GetItems("shared_file");
    const ItemPtr lowerFolder = folderItem["shared_file_folder_lowercase_name"];

    // Every file of the folder shares the folder's words; look them up once, when first needed.
    std::vector<std::string> words;
    SplitSearchWords(i_folder.toLower(), words);
    const size_t folderWordCount = words.size();
    std::vector<ItemPtr> folderTokens;

    // Every file known here is now dropped: say why.
    if (!listing.opened)
    {
        if (listing.error == ENOENT)
            Log(kArea, 2, QStringLiteral("Folder %1 does not exist").arg(i_folder));
        else if (listing.error == ENOTDIR)
            Log(kArea, 2, QStringLiteral("%1 is not a folder").arg(i_folder));
        else
            Log(kArea, 2, QStringLiteral("Folder %1 cannot be read: %2").arg(i_folder, qt_error_string(listing.error)));
    }
    const std::vector<Entry>& entries = listing.entries;
    for (const Entry& entry : entries)
    {
        const QString path = JoinPath(i_folder, entry.name);
        if (entry.isFolder)
        {
            if (entry.isLink)
                m_linkedFolders.push_back(path);
            else
                WalkFolder(i_root, path);
            continue;
        }
        const Value name(entry.name);
        ItemPtr file;
        if (const ItemPtr nameItem = mp_nameType->HasItem(name))
            file = d->GetItem(folderItem, nameItem, "shared_file");
        if (file)
            known.erase(file);
        else
        {
            const ItemPtr lowerName = mp_lowerNameType->HasItem(Value(entry.lower));
            if (const ItemPtr other = FindSharedFile(lowerFolder, lowerName))
            {
                // A name that differs from a shared one only in letter case is passed over, unless
                // the shared one was this folder's and is gone from the listing: then the file was
                // renamed in letter case only and takes the old one's place.
                if (!known.contains(other))
                    continue;
                const QString otherName = other["shared_file_name"].AsString();
                const Entry probe{otherName, otherName.toLower(), false, false};
                if (std::binary_search(entries.begin(), entries.end(), probe, EntryLess))
                    continue;
            }
            // The listing's record says the entry exists; only a fresh look tells whether it still
            // does, or whether it can be reached at all (a folder may be read but not entered).
            struct stat now;
            if (::stat(QFile::encodeName(path).constData(), &now) != 0)
            {
                const int error = errno;
                Log(kArea, 1,
                    error == ENOENT ? QStringLiteral("Not sharing %1: it went away during the scan").arg(path)
                                    : QStringLiteral("Not sharing %1: %2").arg(path, qt_error_string(error)));
                continue;
            }
            file = mp_fileType->NewItem();
            file.Connect(folderItem);
            file.Connect(mp_nameType->GetItem(name));
            file.Connect(mp_sizeType->GetItem(Value(static_cast<long long>(now.st_size))));
            ++m_filesAdded;
        }

        if (NeedsAudioScan(entry.name) && !file.IsConnected("is_scanned"))
            emit MP3ScanRequired(path);

        // Words are only ever added all at once, so a file with words has all of them already.
        if (!file.IsConnected("search_token"))
        {
            if (folderTokens.empty())
                for (size_t w = 0; w < folderWordCount; ++w)
                    folderTokens.push_back(mp_tokenType->GetItem(Value(words[w])));
            for (const ItemPtr& token : folderTokens)
                file.Connect(token);
            words.resize(folderWordCount);
            SplitSearchWords(entry.lower, words);
            for (size_t w = folderWordCount; w < words.size(); ++w)
                file.Connect(mp_tokenType->GetItem(Value(words[w])));
        }
    }

    for (const ItemPtr& gone : known)
    {
        if (!gone)
            continue;
        ItemPtr(gone).Remove();
        ++m_filesRemoved;
    }
    m_foldersBeingAdded.erase(i_folder);
}

ItemPtr SharedFoldersManager::FindSharedFile(const ItemPtr& i_lowerFolder, const ItemPtr& i_lowerName) const
{
    if (!i_lowerFolder || !i_lowerName)
        return ItemPtr();
    // By pairs: a name such as cover.jpg has a file in every album folder, so walking the files
    // of a name would make a walk quadratic. Both sets hold one or two items in practice.
    const ItemSet folders = i_lowerFolder.GetItems("shared_file_folder");
    const ItemSet names = i_lowerName.GetItems("shared_file_name");
    ItemPtr best;
    for (const ItemPtr& folder : folders)
        for (const ItemPtr& name : names)
            if (const ItemPtr file = d->GetItem(folder, name, "shared_file"); file && (!best || file < best))
                best = file;
    return best;
}

void SharedFoldersManager::LinkWords(ItemPtr i_file, const std::vector<std::string>& i_words)
{
    for (const std::string& word : i_words)
        i_file.Connect(mp_tokenType->GetItem(Value(word)));
}

void SharedFoldersManager::TokenizeSharedFile(ItemPtr i_file)
{
    const QString text =
        i_file["shared_file_folder"].AsString() + QLatin1Char('\\') + i_file["shared_file_name"].AsString();
    m_words.clear();
    SplitSearchWords(text.toLower(), m_words);
    LinkWords(i_file, m_words);
}

bool SharedFoldersManager::IsSearchTokenSeparator(QChar i_char)
{
    return IsSearchWordSeparator(i_char);
}

void SharedFoldersManager::OnSharedFileNameAdded(ItemPtr i_name)
{
    i_name.Connect(mp_lowerNameType->GetItem(Value(GetAbsoluteFileName(i_name.AsString()))));
}

void SharedFoldersManager::OnSharedFileFolderAdded(ItemPtr i_folder)
{
    i_folder.Connect(mp_lowerFolderType->GetItem(Value(GetAbsoluteFileName(i_folder.AsString()))));
}

ItemPtr SharedFoldersManager::GetSharedFileItem(QString i_path)
{
    // A local path: "\" is an ordinary character of a name here; only "/" separates.
    const QString key = GetAbsoluteFileName(i_path);
    const int slash = key.lastIndexOf(QLatin1Char('/'));
    const ItemPtr lowerFolder = mp_lowerFolderType->HasItem(Value(slash < 0 ? QString() : key.left(slash)));
    if (!lowerFolder)
        return ItemPtr();
    return FindSharedFile(lowerFolder, mp_lowerNameType->HasItem(Value(key.mid(slash + 1))));
}

QString SharedFoldersManager::GetFileItemDisplayString(ItemPtr i_file)
{
    // Own files, browsed files and search results carry different sets of attributes; an
    // attribute their type is not related to is simply absent.
    Type* fileType = i_file.GetType();
    auto attribute = [fileType, &i_file](const char* i_type) {
        Type* type = d->GetType(i_type);
        return fileType && fileType->IsRelatedTo(type) ? i_file[i_type] : ItemPtr();
    };
    QString text;
    if (const ItemPtr bitrate = attribute("bitrate"))
        text += QString::number(bitrate.AsInt());
    Type* modes = d->GetType("bitrate_mode");
    if (fileType && fileType->IsRelatedTo(modes))
    {
        if (i_file.IsConnected(modes->GetItem(Value("vbr"))))
            text += QStringLiteral(" VBR");
        else if (i_file.IsConnected(modes->GetItem(Value("cbr"))))
            text += QStringLiteral(" CBR");
    }
    if (const ItemPtr length = attribute("length_seconds"))
        text += QStringLiteral(", ") + FormatSeconds(length.AsInt());
    return text;
}

void SharedFoldersManager::RemoveUserShare(QString i_user)
{
    const ItemPtr user = d->GetType("user")->HasItem(Value(i_user));
    if (!user)
        return;
    if (ItemPtr share = user["user_share"])
        RemoveShare(share);
}

void SharedFoldersManager::RemoveShare(ItemPtr i_share)
{
    // Newest first: an item that many files link to (a bitrate, "vbr", the share itself) then
    // loses the last link of its list each time, instead of moving all the others up.
    const ItemSet folders = i_share.GetItems("user_share_folder");
    folders.RemoveItemsNewestFirst("user_share_file");
    folders.RemoveNewestFirst();
    i_share.Remove();
    d->RemoveDisconnectedItems();
}

void SharedFoldersManager::OnMP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency,
                                        bool i_isVBR, int i_bitrate)
{
    Log(QStringLiteral("MP3 Scanning"), 1, QStringLiteral("Scanned %1").arg(i_file));
    ItemPtr file = GetSharedFileItem(i_file);
    if (!file)
        return;
    file.Connect(d->GetType("mpeg_version")->GetItem(Value(i_mpegVersion)));
    file.Connect(d->GetType("channel_mode")->GetItem(Value(i_channelMode)));
    file.Connect(d->GetType("audio_frequency")->GetItem(Value(i_frequency)));
    file.Connect(d->GetType("bitrate_mode")->GetItem(Value(i_isVBR ? "vbr" : "cbr")));
    file.Connect(d->GetType("bitrate")->GetItem(Value(i_bitrate)));
    file.Connect(d->GetType("is_scanned")->GetGlobalNullItem());
}

void SharedFoldersManager::OnConnectedToServer()
{
    if (!gp_server)
        return;
    // Every folder and file the scan reached, whoever may see them; sent at login only.
    gp_server->SendFilesFolders(static_cast<int>(mp_fileFolderType->GetItemCount()),
                                static_cast<int>(mp_fileType->GetItemCount()));
    gp_server->GetUserStats(GetSetting(QStringLiteral("username")));
}

void SharedFoldersManager::OnReceivedUserStats(QString i_user, UserStats i_stats)
{
    if (i_user != GetSetting(QStringLiteral("username")))
        return;
    SetSettingNumber(QStringLiteral("upload_speed"), i_stats.m_averageSpeed);
}
