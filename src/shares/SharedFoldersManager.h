#pragma once

#include "Data.h"
#include "MP3Scanner.h"
#include "UserStats.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <set>
#include <string>
#include <vector>

// The local shares engine: the shared folders, the files found in them, the word index over
// their paths and the audio attributes of their MP3 files.
class SharedFoldersManager : public QObject, public DataHandler
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

    void OnSharedFileNameAdded(ItemPtr i_name);
    void OnSharedFileFolderAdded(ItemPtr i_folder);

signals:
    void MP3ScanRequired(QString i_file);
    void SharedFilesRescanned(int i_filesAdded, int i_filesRemoved);
    void SearchProcessed(QString i_search, bool i_match);

public slots:
    void OnMP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency, bool i_isVBR,
                      int i_bitrate);
    void OnConnectedToServer();
    void OnReceivedUserStats(QString i_user, UserStats i_stats);

private:

    void WalkFolder(const QString& i_root, const QString& i_folder, QString i_canonical);
    // The oldest file linked to a folder item under one lower-case folder key and to a name item
    // under one lower-case name key.
    ItemPtr FindSharedFile(const ItemPtr& i_lowerFolder, const ItemPtr& i_lowerName) const;
    void LinkWords(ItemPtr i_file, const std::vector<std::string>& i_words);

    QThread m_mp3ScannerThread;
    MP3Scanner m_mp3Scanner;
    qint32 m_filesAdded = 0;
    qint32 m_filesRemoved = 0;
    std::set<QString> m_foldersBeingAdded;

    // Canonical paths of the folders on the current descent; a link back to one of them is a cycle.
    std::vector<QString> m_walkAncestors;
    std::vector<std::string> m_words;

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
