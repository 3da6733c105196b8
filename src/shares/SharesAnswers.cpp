// What other users get from the shares: the visibility rule, search replies, the shares list
// and the contents of one folder.

#include "SharedFoldersManager.h"

#include "Compression.h"
#include "DNetManager.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "PeerSchema.h"
#include "SearchParser.h"
#include "Server.h"
#include "ServerSchema.h"
#include "SharedFolderInfo.h"
#include "SharesSchema.h"
#include "TextUtils.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <unordered_map>
#include <utility>
#include <vector>

namespace
{
const QString kSharedArea = QStringLiteral("Shared");
const QString kSearchArea = QStringLiteral("Search");

constexpr quint32 PM_SHARED_FILE_LIST = 5;
constexpr quint32 PM_FILE_SEARCH_RESULT = 9;
constexpr quint32 PM_SHARED_FILES_IN_FOLDER = 37;

// The paths peers exchange separate their parts with "\".
std::string RemotePath(std::string i_local)
{
    std::replace(i_local.begin(), i_local.end(), '/', '\\');
    return i_local;
}

// GetFileExtension(name) == "mp3", without building the extension.
bool IsMp3(const std::string& i_name)
{
    const size_t n = i_name.size();
    return n >= 4 && i_name[n - 4] == '.' && (i_name[n - 3] | 0x20) == 'm' && (i_name[n - 2] | 0x20) == 'p'
           && i_name[n - 1] == '3';
}

// Only MP3 files carry attributes, and only the bitrate and the bitrate mode. The types are
// looked up once per reply: a reply may hold a hundred thousand files.
class OwnFileAttributes
{
public:
    OwnFileAttributes()
        : mp_bitrate(d->GetType(types::kBitrate))
        , mp_mode(d->GetType(types::kBitrateMode))
    {
    }

    void Set(const ItemPtr& i_file, bool i_isMp3, AttributeMap& o_attributes) const
    {
        if (!i_isMp3)
            return;
        o_attributes.m_extension = "mp3";
        if (const ItemPtr bitrate = i_file[mp_bitrate])
            o_attributes.Add(AttributeBitrate, bitrate.AsInt());
        if (const ItemPtr mode = i_file[mp_mode])
            o_attributes.Add(AttributeVariableBitrate, mode.AsStdString() == "vbr" ? 1 : 0);
    }

private:
    Type* mp_bitrate;
    Type* mp_mode;
};

// The level of a search reply and of a folder's contents. Both are answered on the thread that
// answers every other request; past a megabyte of body, level 5 takes an eighth of level 9's
// time for some 11 % more bytes. The asker inflates the same body either way
// (docs/compressed-messages.md).
int AnswerLevel(size_t i_bodyLength)
{
    constexpr size_t kLargeBody = size_t(1) << 20;
    constexpr int kLargeBodyLevel = 5;
    return i_bodyLength > kLargeBody ? kLargeBodyLevel : kBodyCompressionLevel;
}

// The folder listings kept in all; past it the one used longest ago gives way.
constexpr qint64 kKeptFolderContentsBytes = qint64(32) << 20;

// The message code followed by the body's zlib stream. False when zlib fails; the message then
// holds nothing worth sending.
bool CompressMessage(quint32 i_code, const MemStream& i_body, MemStream& o_message, int i_level = kBodyCompressionLevel)
{
    o_message = MemStream();
    OutputStream out(o_message);
    out.Write(i_code);
    return CompressBody(i_body, o_message, i_level);
}
} // namespace

void SharedFoldersManager::ConnectAnswers()
{
    if (gp_server)
        connect(gp_server, &Server::DirectFileSearch, this, &SharedFoldersManager::OnDirectFileSearch);
    if (dnetManager)
        connect(dnetManager, &DNetManager::DNetSearchRequest, this, &SharedFoldersManager::OnDNetSearchRequest);
    if (peerMessenger)
    {
        connect(peerMessenger, &PeerMessenger::SharedFilesInFolderRequested, this,
                &SharedFoldersManager::OnFilesInFoldersRequested);
        peerMessenger->SetSharedFilesMessageProvider(
            [this](const QString& i_user) { return GetSharedFilesMessage(i_user); });
    }
}

bool SharedFoldersManager::SendToUser(const QString& i_user, MemStream& i_message)
{
    if (!peerMessenger)
        return false;
    peerMessenger->SendMessage(i_user, i_message);
    return true;
}

// ---- Visibility ----

ItemSet SharedFoldersManager::GetUserSharedFolders(QString i_user)
{
    ItemSet folders;
    const ItemPtr user = d->GetType(types::kUser)->HasItem(Value(i_user));
    if (user && user.IsConnected(types::kUnshared))
        return folders;

    folders.Add(d->GetType(types::kSharedPublic)->GetItems().GetItems(types::kSharedFolder));
    if (!user)
        return folders;
    const ItemPtr listed = user[types::kInUserList];
    if (!listed)
        return folders;

    folders.Add(d->GetType(types::kSharedUserlist)->GetItems().GetItems(types::kSharedFolder));
    for (const ItemPtr& group : listed.GetItems(types::kUserListGroup))
        folders.Add(group.GetItems(types::kSharedFolder));
    return folders;
}

bool SharedFoldersManager::IsFileSharedWithUser(ItemPtr i_file, QString i_user)
{
    const ItemPtr user = d->GetType(types::kUser)->GetItem(Value(i_user));
    if (user.IsConnected(types::kUnshared))
        return false;

    const ItemSet folders = i_file[types::kSharedFileFolder].GetItems(types::kSharedFolder);
    for (const ItemPtr& folder : folders)
        if (folder.IsConnected(types::kSharedPublic))
            return true;

    const ItemPtr listed = user[types::kInUserList];
    if (!listed)
        return false;
    for (const ItemPtr& folder : folders)
        if (folder.IsConnected(types::kSharedUserlist))
            return true;

    const ItemSet userGroups = listed.GetItems(types::kUserListGroup);
    for (const ItemPtr& group : folders.GetItems(types::kUserListGroup))
        if (userGroups.contains(group))
            return true;
    return false;
}

// ---- Searches ----

void SharedFoldersManager::OnDirectFileSearch(QString i_user, quint32 i_req, QString i_search)
{
    AnswerSearch(i_user, i_req, i_search);
}

void SharedFoldersManager::OnDNetSearchRequest(QString i_user, quint32 i_req, QString i_searchText)
{
    AnswerSearch(i_user, i_req, i_searchText);
}

void SharedFoldersManager::AnswerSearch(const QString& i_user, quint32 i_req, const QString& i_search)
{
    // Our own searches come back to us through the network; they are not answered or shown.
    if (i_user == GetSetting(settings::kUsername))
        return;
    const bool replied = ProcessSearch(i_user, i_req, i_search);
    emit SearchProcessed(i_search, replied);
}

bool SharedFoldersManager::ProcessSearch(QString i_user, unsigned int i_req, QString i_search)
{
    MemStream message;
    if (!BuildSearchReply(i_user, i_req, i_search, message))
        return false;
    Log(kSearchArea, 1, QStringLiteral("Sending search results to user %1 for search string %2").arg(i_user, i_search));
    return SendToUser(i_user, message);
}

bool SharedFoldersManager::BuildSearchReply(const QString& i_user, quint32 i_req, const QString& i_search,
                                            MemStream& o_message)
{
    SearchParser parser;
    if (!parser.SetSearchText(i_search))
        return false;

    // Whole index words only; a query without one finds nothing here.
    const SearchParser::TokenSet& included = parser.GetIncludedTokenSet();
    if (included.empty())
        return false;
    ItemSet words;
    for (const QString& token : included)
    {
        const ItemPtr word = mp_tokenType->HasItem(Value(token));
        if (!word)
            return false;
        words.insert(word);
    }
    const ItemSet candidates = d->GetItemSubset(words, types::kSharedFile);
    if (candidates.empty())
        return false;

    const ItemSet visibleFolders = GetUserSharedFolders(i_user).GetItems(types::kSharedFileFolder);
    if (visibleFolders.empty())
        return false;

    // Excluded and part words look at the file name only, never at its folder.
    const SearchParser::TokenSet& excluded = parser.GetExcludedTokenSet();
    const SearchParser::TokenSet& parts = parser.GetIncludedPartTokenSet();
    const bool testName = !excluded.empty() || !parts.empty();
    auto nameMatches = [&](const QString& i_lowerName) {
        for (const QString& token : excluded)
            if (i_lowerName.contains(token))
                return false;
        for (const QString& token : parts)
            if (!i_lowerName.contains(token))
                return false;
        return true;
    };

    // Files of one folder come in runs; the folder's visibility and reply path are worked out once.
    struct Folder
    {
        bool visible = false;
        std::string remotePath;
    };
    std::unordered_map<std::uint64_t, Folder> folders;
    // Each file is read while it is at hand: going back to the items later costs a second round
    // of cache misses on large replies.
    const OwnFileAttributes attributes;
    std::vector<FileInfo> results;
    results.reserve(candidates.size());
    for (const ItemPtr& file : candidates)
    {
        const ItemPtr folderItem = file[mp_fileFolderType];
        if (!folderItem)
            continue;
        auto known = folders.find(folderItem.GetSerial());
        if (known == folders.end())
        {
            Folder folder;
            folder.visible = visibleFolders.contains(folderItem);
            if (folder.visible)
                folder.remotePath = RemotePath(folderItem.AsStdString() + '/');
            known = folders.emplace(folderItem.GetSerial(), std::move(folder)).first;
        }
        if (!known->second.visible)
            continue;
        const ItemPtr nameItem = file[mp_nameType];
        if (testName && !nameMatches(nameItem.AsString().toLower()))
            continue;
        const std::string name = nameItem.AsStdString();
        const std::string& folderPath = known->second.remotePath;
        std::string path;
        path.reserve(folderPath.size() + name.size());
        path += folderPath;
        path += name;
        std::replace(path.begin() + std::ptrdiff_t(folderPath.size()), path.end(), '/', '\\');
        results.emplace_back(std::move(path), file[mp_sizeType].AsInt64());
        attributes.Set(file, IsMp3(name), results.back().m_attributes);
    }
    if (results.empty())
        return false;

    // One entry per path, the later file winning, in unsigned byte order of the path. The records
    // stay where they are; only their positions are sorted.
    std::vector<std::uint32_t> order(results.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&results](std::uint32_t i_a, std::uint32_t i_b) {
        return results[i_a].m_name < results[i_b].m_name;
    });
    size_t kept = 0;
    for (size_t n = 0; n < order.size(); ++n)
    {
        if (n + 1 < order.size() && results[order[n + 1]].m_name == results[order[n]].m_name)
            continue;
        order[kept++] = order[n];
    }
    // Receivers refuse a reply with more results than this; the first ones in path order go.
    order.resize(std::min<size_t>(kept, MaxSearchResults));

    const UploadState uploads = CurrentUploadState();

    MemStream body;
    OutputStream out(body);
    body.ReserveForWrite(results.size() * (results.front().m_name.size() + 40));
    out.Write(GetSetting(settings::kUsername));
    out.Write(quint32(i_req));
    out.Write(quint32(order.size()));
    for (std::uint32_t index : order)
        results[index].Write(out);
    out.Write(quint8(uploads.freeSlot ? 1 : 0));
    out.Write(quint32(GetSetting(settings::kUploadSpeed).toInt()));
    out.Write(quint32(uploads.queuedUploads));
    out.Write(quint32(0));

    if (!CompressMessage(PM_FILE_SEARCH_RESULT, body, o_message, AnswerLevel(body.GetLength())))
    {
        Log(kSearchArea, 1, QStringLiteral("Could not compress the search results for user %1").arg(i_user));
        return false;
    }
    return true;
}

// ---- Shares list ----

void SharedFoldersManager::GetSharedFilesAsUserShare(QString i_user, FileInfoMap& o_share,
                                                     AttributeTranslationTable& /*o_table*/)
{
    const ItemSet folders = GetUserSharedFolders(i_user).GetItems(types::kSharedFileFolder);
    const OwnFileAttributes attributes;
    for (const ItemPtr& folder : folders)
    {
        // Every folder the walk reached is an entry of its own, also without files.
        FileInfoSet& files = o_share[RemotePath(folder.AsStdString())];
        for (const ItemPtr& file : folder.GetItems(types::kSharedFile))
        {
            FileInfo info(file[mp_nameType].AsStdString(), file[mp_sizeType].AsInt64());
            attributes.Set(file, IsMp3(info.m_name), info.m_attributes);
            files.insert(std::move(info));
        }
    }
}

MemStream SharedFoldersManager::GetSharedFilesMessage(QString i_user)
{
    Log(kSharedArea, 1, QStringLiteral("Shared file list requested by user %1").arg(i_user));
    std::vector<std::uint64_t> visibility;
    for (const ItemPtr& folder : GetUserSharedFolders(i_user))
        visibility.push_back(folder.GetSerial());
    std::sort(visibility.begin(), visibility.end());
    const auto kept = m_sharesLists.find(visibility);
    if (kept != m_sharesLists.end())
        return MemStream(kept->second);

    FileInfoMap share;
    AttributeTranslationTable table;
    GetSharedFilesAsUserShare(i_user, share, table);

    MemStream body;
    OutputStream out(body);
    out.Write(share);
    out.Write(table);

    MemStream message;
    if (!CompressMessage(PM_SHARED_FILE_LIST, body, message))
    {
        Log(kSharedArea, 1, QStringLiteral("Could not compress the shared file list for user %1").arg(i_user));
        return MemStream();
    }
    ++m_sharesListsBuilt;
    m_sharesLists.emplace(std::move(visibility), message.ToByteArray());
    WatchSharedItems();
    return message;
}

void SharedFoldersManager::ForgetKeptAnswers()
{
    m_folderContents.clear();
    m_folderContentsUse.clear();
    m_folderContentsBytes = 0;
    m_sharesLists.clear();
    for (const auto& [events, handler] : m_watch)
        events->erase(handler);
    m_watch.clear();
}

void SharedFoldersManager::WatchSharedItems()
{
    if (!m_watch.empty())
        return;
    for (Type* type : {mp_folderType, mp_fileFolderType, mp_fileType})
        for (EventHandlerSet<ConnectionInfo&>* events : {&type->m_itemConnected, &type->m_itemDisconnected})
        {
            auto* handler =
                new EventHandler<SharedFoldersManager, ConnectionInfo&>(this, &SharedFoldersManager::OnSharedItemLink);
            events->insert(handler);
            m_watch.emplace_back(events, handler);
        }
}

// Upload entries, search words and lower-case keys link to shared items too, but no answer holds
// them.
void SharedFoldersManager::OnSharedItemLink(ConnectionInfo& i_link)
{
    if (std::find(m_answerTypes.begin(), m_answerTypes.end(), i_link.second.GetType()) != m_answerTypes.end())
        ForgetKeptAnswers();
}

// ---- Folder contents ----

namespace
{
// A stored block of a zlib stream holds at most this many bytes.
constexpr size_t kLongestStoredHead = 0xffff;

// The answer's code, then one zlib stream: the head, stored, ahead of the kept listing.
bool FolderContentsMessage(const MemStream& i_head, const QByteArray& i_stream, size_t i_bodyLength,
                           MemStream& o_message)
{
    o_message = MemStream();
    OutputStream(o_message).Write(PM_SHARED_FILES_IN_FOLDER);
    return CompressBehindPrefix(i_head.GetBuffer(), i_head.GetLength(), i_stream.constData(), size_t(i_stream.size()),
                                i_bodyLength, o_message);
}
} // namespace

void SharedFoldersManager::OnFilesInFoldersRequested(QString i_user, quint32 i_req, QString i_folder)
{
    MemStream message;
    if (BuildFolderContentsReply(i_user, i_req, i_folder, message))
        SendToUser(i_user, message);
}

bool SharedFoldersManager::BuildFolderContentsReply(const QString& i_user, quint32 i_req, const QString& i_folder,
                                                    MemStream& o_message)
{
    // The stored path, exactly: no folding of letter case or of a trailing separator.
    QString local = i_folder;
    local.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const ItemPtr folder = mp_fileFolderType->HasItem(Value(local));
    if (!folder)
        return false;
    const ItemSet visible = GetUserSharedFolders(i_user).Common(folder.GetItems(types::kSharedFolder));
    if (visible.empty())
        return false;

    // The body's head echoes the folder as asked, once as the folder and once as its one entry;
    // only the listing after it is kept, so every spelling of a folder shares one build.
    MemStream head;
    OutputStream out(head);
    out.Write(i_req);
    out.Write(i_folder);
    out.Write(quint32(1));
    out.Write(i_folder);

    const std::uint64_t serial = folder.GetSerial();
    auto kept = m_folderContents.find(serial);
    if (kept != m_folderContents.end())
    {
        m_folderContentsUse.splice(m_folderContentsUse.end(), m_folderContentsUse, kept->second.use);
        return FolderContentsMessage(head, kept->second.stream, kept->second.bodyLength, o_message);
    }

    Log(kSharedArea, 2, QStringLiteral("Building the contents of %1 for user %2").arg(i_folder, i_user));
    // Only the folder's own files; no audio attributes here.
    SharedFolderInfo contents;
    for (const ItemPtr& file : folder.GetItems(types::kSharedFile))
        contents.m_files.insert(FileInfo(file[mp_nameType].AsStdString(), file[mp_sizeType].AsInt64()));
    MemStream listing;
    OutputStream listingOut(listing);
    contents.Write(listingOut);

    const auto cannotCompress = [&] {
        Log(kSharedArea, 1, QStringLiteral("Could not compress the contents of %1 for user %2").arg(i_folder, i_user));
        return false;
    };
    // A head too long for one stored block goes out compressed with its listing, which is not kept.
    if (head.GetLength() > kLongestStoredHead)
    {
        head.WriteBuffer(listing.GetBuffer(), listing.GetLength());
        return CompressMessage(PM_SHARED_FILES_IN_FOLDER, head, o_message, AnswerLevel(head.GetLength()))
               || cannotCompress();
    }
    MemStream stream;
    if (!CompressBody(listing, stream, AnswerLevel(listing.GetLength())))
        return cannotCompress();

    KeptFolderContents answer{stream.ToByteArray(), listing.GetLength(), {}};
    const qint64 bytes = qint64(answer.stream.size());
    if (bytes > kKeptFolderContentsBytes)
        return FolderContentsMessage(head, answer.stream, answer.bodyLength, o_message);
    // What is kept stays within its bound, whatever folders peers ask for: the listings used
    // longest ago make room, one at a time.
    while (m_folderContentsBytes + bytes > kKeptFolderContentsBytes)
    {
        const auto oldest = m_folderContents.find(m_folderContentsUse.front());
        m_folderContentsBytes -= qint64(oldest->second.stream.size());
        m_folderContents.erase(oldest);
        m_folderContentsUse.pop_front();
    }
    m_folderContentsBytes += bytes;
    answer.use = m_folderContentsUse.insert(m_folderContentsUse.end(), serial);
    kept = m_folderContents.emplace(serial, std::move(answer)).first;
    WatchSharedItems();
    return FolderContentsMessage(head, kept->second.stream, kept->second.bodyLength, o_message);
}
