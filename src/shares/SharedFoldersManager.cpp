#include "SharedFoldersManager.h"

#include "DataSaver.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "PeerSchema.h"
#include "SearchWords.h"
#include "Server.h"
#include "ServerSchema.h"
#include "SharesSchema.h"
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

    declare(types::kSharedFolder, Primary, false);
    dataSaver->AddSavedType(types::kSharedFolder);
    declare(types::kSharedFile, Secondary, true);
    declare(types::kSharedFileName, Secondary, false);
    declare(types::kSharedFileLowercaseName, Tertiary, false);
    declare(types::kSharedFileFolder, Secondary, false);
    declare(types::kSharedFileFolderLowercaseName, Tertiary, false);
    declare(types::kSharedFileSize, Tertiary, false);
    declare(types::kSharedPublic, Tertiary, true);
    declare(types::kSharedUserlist, Tertiary, true);
    declare(types::kIsScanned, Tertiary, true);
    declare(types::kSharedFolderId, Tertiary, false);

    relate(types::kSharedFolder, types::kSharedFileFolder, Many, Many);
    relate(types::kSharedFile, types::kSharedFileFolder, One, Many);
    relate(types::kSharedFileFolder, types::kSharedFileFolderLowercaseName, One, Many);
    relate(types::kSharedFile, types::kSharedFileName, One, Many);
    relate(types::kSharedFileName, types::kSharedFileLowercaseName, One, Many);
    relate(types::kSharedFile, types::kSharedFileSize, One, Many);
    relate(types::kSharedFolder, types::kSharedPublic, One, Many);
    relate(types::kSharedFolder, types::kSharedUserlist, One, Many);
    relate(types::kSharedFolder, types::kUserListGroup, Many, Many);
    relate(types::kSharedFolder, types::kSharedFolderId, One, One);

    dataSaver->AddSavedByConnectionType(types::kSharedPublic, types::kSharedFolder);
    dataSaver->AddSavedByConnectionType(types::kSharedUserlist, types::kSharedFolder);
    dataSaver->AddSavedByConnectionType(types::kSharedFolderId, types::kSharedFolder);

    d->GetType(types::kSharedFileName)
        ->m_itemCreated.insert(
            new EventHandler<SharedFoldersManager, ItemPtr>(this, &SharedFoldersManager::OnSharedFileNameAdded));
    d->GetType(types::kSharedFileFolder)
        ->m_itemCreated.insert(
            new EventHandler<SharedFoldersManager, ItemPtr>(this, &SharedFoldersManager::OnSharedFileFolderAdded));

    declare(types::kUserShare, Primary, true);
    declare(types::kUserShareFolder, Secondary, true);
    declare(types::kUserShareFolderParent, Secondary, true);
    declare(types::kUserShareFolderChild, Secondary, true);
    declare(types::kUserShareFolderName, Tertiary, false);
    declare(types::kUserShareFile, Secondary, true);
    declare(types::kUserShareFileName, Tertiary, false);
    relate(types::kUserShare, types::kUser, One, One);
    relate(types::kUserShare, types::kUserShareFolder, Many, One);
    relate(types::kUserShareFolder, types::kUserShareFolderName, One, Many);
    relate(types::kUserShareFolder, types::kUserShareFile, Many, One);
    relate(types::kUserShareFolder, types::kUserShareFolderParent, One, One);
    relate(types::kUserShareFolder, types::kUserShareFolderChild, Many, One);
    relate(types::kUserShareFolderParent, types::kUserShareFolderChild, One, One);
    relate(types::kUserShareFile, types::kUserShareFileName, One, Many);
    relate(types::kUserShareFile, types::kFileSize, One, Many);

    declare(types::kSearchToken, Tertiary, false);
    relate(types::kSearchToken, types::kSharedFile, Many, Many);

    relate(types::kSharedFile, types::kMpegVersion, One, Many);
    relate(types::kSharedFile, types::kChannelMode, One, Many);
    relate(types::kSharedFile, types::kAudioFrequency, One, Many);
    relate(types::kSharedFile, types::kBitrateMode, One, Many);
    relate(types::kSharedFile, types::kBitrate, One, Many);
    relate(types::kSharedFile, types::kIsScanned, One, Many);

    dataSaver->AddSavedType(types::kIsScanned);
    dataSaver->AddSavedByConnectionType(types::kSharedFile, types::kSharedFileFolder);
    dataSaver->AddSavedByConnectionType(types::kSharedFileFolder, types::kSharedFolder);
    for (const char* type : {types::kSharedFileName, types::kSharedFileSize, types::kMpegVersion, types::kChannelMode,
                             types::kAudioFrequency, types::kBitrateMode, types::kBitrate})
        dataSaver->AddSavedByConnectionType(type, types::kSharedFile);

    relate(types::kUserShareFile, types::kBitrateMode, One, Many);
    relate(types::kUserShareFile, types::kBitrate, One, Many);
    relate(types::kUserShareFile, types::kLengthSeconds, One, Many);

    m_mp3ScannerThread.start();
    m_mp3Scanner.moveToThread(&m_mp3ScannerThread);
    connect(this, &SharedFoldersManager::MP3ScanRequired, &m_mp3Scanner, &MP3Scanner::OnMP3ScanRequired);
    connect(&m_mp3Scanner, &MP3Scanner::MP3Scanned, this, &SharedFoldersManager::OnMP3Scanned);
    if (gp_server)
    {
        connect(gp_server, &Server::Connected, this, &SharedFoldersManager::OnConnectedToServer);
        connect(gp_server, &Server::ReceivedUserStats, this, &SharedFoldersManager::OnReceivedUserStats);
        // Every folder and file the scan reached, whoever may see them; sent at login only.
        gp_server->SetSharedCountsSource([this] {
            return std::make_pair(static_cast<int>(mp_fileFolderType->GetItemCount()),
                                  static_cast<int>(mp_fileType->GetItemCount()));
        });
    }

    declare(types::kUnshared, Tertiary, true);
    relate(types::kUser, types::kUnshared, One, Many);
    dataSaver->AddSavedType(types::kUnshared);
    dataSaver->AddSavedByConnectionType(types::kUser, types::kUnshared);

    SetSetting(settings::kSharedFolderCounter, QStringLiteral("1"));

    mp_folderType = d->GetType(types::kSharedFolder);
    mp_fileType = d->GetType(types::kSharedFile);
    mp_nameType = d->GetType(types::kSharedFileName);
    mp_lowerNameType = d->GetType(types::kSharedFileLowercaseName);
    mp_fileFolderType = d->GetType(types::kSharedFileFolder);
    mp_lowerFolderType = d->GetType(types::kSharedFileFolderLowercaseName);
    mp_sizeType = d->GetType(types::kSharedFileSize);
    mp_tokenType = d->GetType(types::kSearchToken);

    m_answerTypes = {mp_folderType,
                     mp_fileFolderType,
                     mp_fileType,
                     mp_nameType,
                     mp_sizeType,
                     d->GetType(types::kSharedPublic),
                     d->GetType(types::kSharedUserlist),
                     d->GetType(types::kUserListGroup),
                     d->GetType(types::kMpegVersion),
                     d->GetType(types::kChannelMode),
                     d->GetType(types::kAudioFrequency),
                     d->GetType(types::kBitrateMode),
                     d->GetType(types::kBitrate)};

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
    if (gp_server)
        gp_server->SetSharedCountsSource({});
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

    const qint64 n = GetSettingNumber(settings::kSharedFolderCounter);
    SetSettingNumber(settings::kSharedFolderCounter, n + 1);
    const QString label = QStringLiteral("[%1]%2").arg(QString::number(n), QDir(i_path).dirName());
    folder.Connect(d->GetType(types::kSharedFolderId)->GetItem(Value(label)));

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
        folder.Disconnect(types::kSharedFileFolder);
        const QString path = folder.AsString();
        AddSharedFiles(path, path);
    }

    // Folders no shared folder reached any more go with their files. Removing them outright,
    // rather than leaving them to the collector, keeps a file name shared with a reachable file
    // from holding them (and their counts) in the store for ever.
    ItemSet orphans = mp_fileFolderType->GetItems().NotConnected(types::kSharedFolder);
    ItemSet orphanFiles = orphans.GetItems(types::kSharedFile);
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
    ItemSet known = folderItem.GetItems(types::kSharedFile);
    const ItemPtr lowerFolder = folderItem[types::kSharedFileFolderLowercaseName];

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
            file = d->GetItem(folderItem, nameItem, types::kSharedFile);
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
                const QString otherName = other[types::kSharedFileName].AsString();
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

        if (NeedsAudioScan(entry.name) && !file.IsConnected(types::kIsScanned))
            emit MP3ScanRequired(path);

        // Words are only ever added all at once, so a file with words has all of them already.
        if (!file.IsConnected(types::kSearchToken))
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
    const ItemSet folders = i_lowerFolder.GetItems(types::kSharedFileFolder);
    const ItemSet names = i_lowerName.GetItems(types::kSharedFileName);
    ItemPtr best;
    for (const ItemPtr& folder : folders)
        for (const ItemPtr& name : names)
            if (const ItemPtr file = d->GetItem(folder, name, types::kSharedFile); file && (!best || file < best))
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
        i_file[types::kSharedFileFolder].AsString() + QLatin1Char('\\') + i_file[types::kSharedFileName].AsString();
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
    if (const ItemPtr bitrate = attribute(types::kBitrate))
        text += QString::number(bitrate.AsInt());
    Type* modes = d->GetType(types::kBitrateMode);
    if (fileType && fileType->IsRelatedTo(modes))
    {
        if (i_file.IsConnected(modes->GetItem(Value("vbr"))))
            text += QStringLiteral(" VBR");
        else if (i_file.IsConnected(modes->GetItem(Value("cbr"))))
            text += QStringLiteral(" CBR");
    }
    if (const ItemPtr length = attribute(types::kLengthSeconds))
        text += QStringLiteral(", ") + FormatSeconds(length.AsInt());
    return text;
}

namespace
{
// The browsed share of a user; null when none, without making the user.
ItemPtr UserShareOf(const QString& i_user)
{
    const ItemPtr user = d->GetType(types::kUser)->HasItem(Value(i_user));
    return user ? user[types::kUserShare] : ItemPtr();
}

// Files first, newest first: an item that many files link to (a bitrate, "vbr", the share itself)
// then loses the last link of its list each time, instead of moving all the others up.
RemovalBatch ShareRemoval(const ItemPtr& i_share)
{
    RemovalBatch batch;
    const ItemSet folders = i_share.GetItems(types::kUserShareFolder);
    batch.AddItemsNewestFirst(folders, types::kUserShareFile);
    batch.AddNewestFirst(folders);
    batch.Add(i_share);
    return batch;
}
} // namespace

void SharedFoldersManager::RemoveUserShare(QString i_user)
{
    if (ItemPtr share = UserShareOf(i_user))
        RemoveShare(share);
}

void SharedFoldersManager::RemoveShare(ItemPtr i_share)
{
    ShareRemoval(i_share).Remove();
    d->RemoveDisconnectedItems();
}

void SharedFoldersManager::RemoveUserShareLater(QString i_user)
{
    if (ItemPtr share = UserShareOf(i_user))
        RemoveShareLater(share);
}

void SharedFoldersManager::RemoveShareLater(ItemPtr i_share)
{
    if (!i_share)
        return;
    // A list asked for again meanwhile gets a share of its own.
    i_share.Disconnect(types::kUser);
    d->RemoveLater(ShareRemoval(i_share));
}

void SharedFoldersManager::OnMP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency,
                                        bool i_isVBR, int i_bitrate)
{
    Log(QStringLiteral("MP3 Scanning"), 1, QStringLiteral("Scanned %1").arg(i_file));
    ItemPtr file = GetSharedFileItem(i_file);
    if (!file)
        return;
    file.Connect(d->GetType(types::kMpegVersion)->GetItem(Value(i_mpegVersion)));
    file.Connect(d->GetType(types::kChannelMode)->GetItem(Value(i_channelMode)));
    file.Connect(d->GetType(types::kAudioFrequency)->GetItem(Value(i_frequency)));
    file.Connect(d->GetType(types::kBitrateMode)->GetItem(Value(i_isVBR ? "vbr" : "cbr")));
    file.Connect(d->GetType(types::kBitrate)->GetItem(Value(i_bitrate)));
    file.Connect(d->GetType(types::kIsScanned)->GetGlobalNullItem());
}

void SharedFoldersManager::OnConnectedToServer()
{
    if (!gp_server)
        return;
    gp_server->GetUserStats(GetSetting(settings::kUsername));
}

void SharedFoldersManager::OnReceivedUserStats(QString i_user, UserStats i_stats)
{
    if (i_user != GetSetting(settings::kUsername))
        return;
    SetSettingNumber(settings::kUploadSpeed, i_stats.m_averageSpeed);
}
