#pragma once

#include "Data.h"
#include "FileInfo.h"
#include "MP3Scanner.h"
#include "UserStats.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// The local shares engine: the shared folders, the files found in them, the word index over
// their paths and the audio attributes of their MP3 files.
class SharedFoldersManager
    : public QObject
    , public DataHandler
{
    Q_OBJECT

public:
    explicit SharedFoldersManager(QObject* ip_parent = nullptr);
    ~SharedFoldersManager() override;

    // Start-up: rebuilds the word index, which is never saved.
    void Init();

    // The folder's item, created and walked when the exact path text is new.
    ItemPtr AddSharedFolder(QString i_path);

    void RescanShares();
    // Walks i_folder and its subfolders for the shared folder i_root.
    void AddSharedFiles(QString i_root, QString i_folder);

    void TokenizeSharedFile(ItemPtr i_file);
    static bool IsSearchTokenSeparator(QChar i_char);

    // The shared file at a local ("/"-separated) path, ignoring letter case; null when not shared.
    ItemPtr GetSharedFileItem(QString i_path);
    // "192 CBR", "128 VBR, 4m5s", ...: a file's audio attributes for the attribute columns.
    QString GetFileItemDisplayString(ItemPtr i_file);
    // Drops the tree of a browsed shares list; the user item stays.
    void RemoveUserShare(QString i_user);
    // Drops a `user_share` with its folders and files, and whatever only they reached.
    void RemoveShare(ItemPtr i_share);
    // The same for a closed tab: the share leaves its user at once and its items go at idle time,
    // so closing a large share does not hold the window.
    void RemoveUserShareLater(QString i_user);
    void RemoveShareLater(ItemPtr i_share);

    void OnSharedFileNameAdded(ItemPtr i_name);
    void OnSharedFileFolderAdded(ItemPtr i_folder);

    // ---- Who may see what, and the answers to other users (SharesAnswers.cpp) ----

    // The shared folders the user may see; never creates items.
    ItemSet GetUserSharedFolders(QString i_user);
    // Whether the file lies in a folder the user may see; makes the user item when missing.
    bool IsFileSharedWithUser(ItemPtr i_file, QString i_user);

    // Answers one search: true when a reply went to the peer network.
    bool ProcessSearch(QString i_user, unsigned int i_req, QString i_search);
    // The whole search reply message (code 9 and the compressed body); false when there is
    // nothing to send. ProcessSearch is this, a log line and the hand-over.
    bool BuildSearchReply(const QString& i_user, quint32 i_req, const QString& i_search, MemStream& o_message);

    // Every folder the user may see with its files; the table is left alone.
    void GetSharedFilesAsUserShare(QString i_user, FileInfoMap& o_share, AttributeTranslationTable& o_table);
    // The shares-list message (code 5 and the compressed body); empty when compression failed.
    MemStream GetSharedFilesMessage(QString i_user);
    // How many shares lists have been built: a kept one serves every request until what it holds
    // changes.
    std::size_t SharesListsBuilt() const { return m_sharesListsBuilt; }
    // The folder-contents message (code 37 and the compressed body); false when the folder is
    // unknown or hidden from the user, or compression failed.
    bool BuildFolderContentsReply(const QString& i_user, quint32 i_req, const QString& i_folder, MemStream& o_message);

    // The upload side's free slot and queue length, written into every search reply. Without
    // a source a reply reports a free slot and an empty queue.
    struct UploadState
    {
        bool freeSlot = true;
        quint32 queuedUploads = 0;
    };
    void SetUploadStateSource(std::function<UploadState()> i_source) { m_uploadStateSource = std::move(i_source); }
    // What a search reply says of our uploads: a free slot and an empty queue until a source is set.
    UploadState CurrentUploadState() const { return m_uploadStateSource ? m_uploadStateSource() : UploadState(); }

    // A real folder, by device and inode number.
    using FolderId = std::pair<quint64, quint64>;

    // The most results one reply carries: more than this is refused by the receiving clients.
    static constexpr quint32 MaxSearchResults = 131072;

signals:
    void MP3ScanRequired(QString i_file);
    void SharedFilesRescanned(int i_filesAdded, int i_filesRemoved);
    void SearchProcessed(QString i_search, bool i_match);

public slots:
    void OnMP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency, bool i_isVBR,
                      int i_bitrate);
    void OnConnectedToServer();
    void OnReceivedUserStats(QString i_user, UserStats i_stats);

    void OnDirectFileSearch(QString i_user, quint32 i_req, QString i_search);
    void OnDNetSearchRequest(QString i_user, quint32 i_req, QString i_searchText);
    void OnFilesInFoldersRequested(QString i_user, quint32 i_req, QString i_folder);

private:
    void WalkFolder(const QString& i_root, const QString& i_folder);
    // The oldest file linked to a folder item under one lower-case folder key and to a name item
    // under one lower-case name key.
    ItemPtr FindSharedFile(const ItemPtr& i_lowerFolder, const ItemPtr& i_lowerName) const;
    void LinkWords(ItemPtr i_file, const std::vector<std::string>& i_words);
    // Links the answering slots to the server, the distributed network and the peer network.
    void ConnectAnswers();
    void AnswerSearch(const QString& i_user, quint32 i_req, const QString& i_search);
    bool SendToUser(const QString& i_user, MemStream& i_message);
    // Any change to what is shared, or to who may see it, makes every kept answer stale: the shares
    // lists and the folder listings go, and the links are no longer heard.
    void ForgetKeptAnswers();
    // The links of the shared items are heard only while an answer is kept: loading the data file
    // and scanning pay nothing for answers nobody has asked for.
    void WatchSharedItems();
    void OnSharedItemLink(ConnectionInfo& i_link);

    QThread m_mp3ScannerThread;
    MP3Scanner m_mp3Scanner;
    qint32 m_filesAdded = 0;
    qint32 m_filesRemoved = 0;
    std::set<QString> m_foldersBeingAdded;

    // The real folders (device, inode) the walk of the current shared folder has entered, with
    // the path each was shared as, and the folders reached through links, walked last.
    std::map<FolderId, QString> m_walkedFolders;
    std::deque<QString> m_linkedFolders;
    std::vector<std::string> m_words;
    std::function<UploadState()> m_uploadStateSource;
    // The listing of each folder answered, by the folder's serial, compressed once (with its
    // inflated length): a folder has many spellings, and the answer echoes the one asked ahead of
    // the listing. Who may see the folder is checked every time. The bound gives way to a new
    // listing one at a time, the least recently used first.
    struct KeptFolderContents
    {
        QByteArray stream;
        size_t bodyLength = 0;
        std::list<std::uint64_t>::iterator use;
    };
    std::unordered_map<std::uint64_t, KeptFolderContents> m_folderContents;
    std::list<std::uint64_t> m_folderContentsUse; // least recently used first
    qint64 m_folderContentsBytes = 0;
    // The shares-list message of each visibility (the shared folders a user may see, by serial),
    // built once: peers may ask again as soon as they have read it.
    std::map<std::vector<std::uint64_t>, QByteArray> m_sharesLists;
    std::size_t m_sharesListsBuilt = 0;
    // The link events heard while an answer is kept, and the types whose links make up an answer.
    std::vector<std::pair<EventHandlerSet<ConnectionInfo&>*, EventHandlerBase<ConnectionInfo&>*>> m_watch;
    std::vector<Type*> m_answerTypes;

    // Looked up once: the walk touches these for every file.
    Type* mp_folderType = nullptr;
    Type* mp_fileType = nullptr;
    Type* mp_nameType = nullptr;
    Type* mp_lowerNameType = nullptr;
    Type* mp_fileFolderType = nullptr;
    Type* mp_lowerFolderType = nullptr;
    Type* mp_sizeType = nullptr;
    Type* mp_tokenType = nullptr;
};

extern SharedFoldersManager* sharedFoldersManager;
