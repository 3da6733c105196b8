#pragma once

#include "Data.h"
#include "DataSaver.h"
#include "FileInfo.h"
#include "SharedUploadLimit.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QTcpSocket;
class TransferOutbox;

// The one transfer engine: every upload and download is a set of data-model items, so the
// transfers window and the data file see the same state.
class TransferQueueManager
    : public QObject
    , public DataHandler
    , public DataLoadedEventHandler
{
    Q_OBJECT

public:
    TransferQueueManager();
    ~TransferQueueManager() override;

    void DataLoaded() override;
    void NoData() override;

    int ActiveUploadCount();
    int ActiveDownloadCount();

    void StartTimerTest();

    // ---- upload speed limit ----
    void DetermineUploadSpeedLimit();
    int GetUploadSpeed();
    void SetUploadSlots(int i_slots);
    void SetUploadSpeedLimit(int i_limit);
    void EnableUploadSpeedLimit(bool i_on);
    // What the upload threads share of the limit; they see nothing else of the engine.
    SharedUploadLimit& UploadLimit() { return m_uploadLimit; }

    // ---- file connections and teardown ----
    // Stops a running transfer first; the partial file stays, nothing is sent.
    void RemoveDownload(ItemPtr i_entry);

    // Times the engine compares are kept here in engine-clock milliseconds, beside the
    // display text the items carry, and are not saved.
    void SetTransferTime(ItemPtr i_owner, const char* i_type, qint64 i_offsetMs = 0);
    std::optional<qint64> TransferTime(ItemPtr i_owner, const char* i_type) const;

    // Where every outgoing peer and server message goes; tests put a recorder here.
    void SetOutbox(std::unique_ptr<TransferOutbox> i_outbox);
    TransferOutbox& Outbox() { return *m_outbox; }

    // ---- upload admission ----
    // Offers one of our files to the user; false when it is not shared with them.
    bool AddUpload(QString i_user, QString i_file);
    bool CanAcceptUserInitiatedUploadsFrom(QString i_user);
    void UnshareUser(QString i_user);
    void ReshareUser(QString i_user);

    // ---- upload order and start ----
    bool UploadEntrySortCompare(ItemPtr a, ItemPtr b);
    void OrderNewUpload(ItemPtr i_entry);
    void StartNewUploads();
    int GetUserGroupDownloadPriority(QString i_user);
    int QueuedUploadCount();
    bool IsFreeToUpload();
    void AssertNoExtraUploads();

    // ---- upload status ----
    void SetUploadEntryStatus(ItemPtr i_entry, QString i_status);
    // Removes an upload whatever its status, stopping a running transfer; the queue moves on.
    void RemoveUpload(ItemPtr i_entry);
    // Forgets the cached last entry of the queue when that entry goes.
    void ForgetOrderedUpload(const ItemPtr& i_entry);

    // ---- download queue ----
    ItemPtr AddDownload(QString i_user, std::string i_fileName, std::string i_remoteFolder, qint64 i_size,
                        int i_subfolderSaveLevel);
    ItemPtr GetDownloadEntry(QString i_user, std::string i_fileName, std::string i_remoteFolder);
    void SetDownloadEntryStatus(ItemPtr i_entry, QString i_status);
    void QueueDownloadIfUserOnline(ItemPtr i_entry);
    void RequeueDownload(ItemPtr i_entry);
    void RequeueUserDownloads(ItemPtr i_user);
    void RequestDownloadPlaceInLine(ItemPtr i_entry);
    // The rounds re-queue or ask the places of at most this many entries in one turn of the event loop.
    static constexpr int kRoundStepsPerTurn = 200;
    // They put at most this many of a user's entries in order in one turn, before taking their steps.
    static constexpr int kRoundEntriesOrderedPerTurn = 5000;
    bool IsActivelyDownloadingFromUser(QString i_user);
    // remote_folder + "\" + file_name: the path peers exchange for a download.
    static std::string RemotePath(const ItemPtr& i_entry);

    // ---- download folders and paths (internal form: "\"-separated) ----
    QString GetDownloadTargetFolder(ItemPtr i_entry, bool i_complete);
    QString GetDownloadTargetPath(ItemPtr i_entry, bool i_complete);
    QString GetDownloadRelativeDownloadFolder(ItemPtr i_entry);
    bool DoesDownloadItemCompleteFilenameExist(ItemPtr i_entry);
    void RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr i_entry);
    bool HasExcludedDownloadExtension(QString i_fileName);

    // Shared helpers of the engine.
    static Type* GetType(const char* i_name);
    static QString Backslashed(const QString& i_text);
    // A status item that stands for a transfer under way.
    static bool IsActiveStatus(const ItemPtr& i_status);
    // Entries ascending by the number linked under i_orderType; those without one are left out.
    static std::vector<ItemPtr> ByOrder(const ItemSet& i_entries, const char* i_orderType);

signals:
    void DownloadProgressed(ItemPtr i_download);
    void UploadProgressed(ItemPtr i_upload);
    void TransfersLoaded();
    void CompleteDownloadAdded(ItemPtr i_download);

public slots:
    void OnFileTransferRequest(QString i_user, int i_direction, uint i_req, std::string i_file, qint64 i_fileSize);
    void OnFileConnection(QString i_user, QTcpSocket* ip_socket, uint i_requestID);
    void OnQueueUploadRequested(QString i_user, QString i_file);
    void OnQueueDownloadRequested(QString i_user, std::string i_fileName, qint64 i_fileSize);
    void OnFileConnectionAccepted(QString i_user, QTcpSocket* ip_socket);
    void OnFileTransferResponse(QString i_user, uint i_req, bool i_accepted, bool i_receivedFileSize, qint64 i_fileSize,
                                QString i_denialReason);
    void OnUploadFailedNotification(QString i_user, std::string i_file);
    void OnUploadDeniedNotification(QString i_user, std::string i_file, QString i_reason);
    void PeriodicCheck();
    void EveryHalfMinute();
    void TimerTest();
    void OnDownloadPlaceInLine(QString i_user, std::string i_file, int i_place);
    void OnUploadError(QString i_reason);
    void OnUploadProgress(qint64 i_offset, int i_bytesPerSecond);
    void OnUploadComplete();
    void OnDownloadError(QString i_reason);
    void OnDownloadProgress(qint64 i_offset, int i_bytesPerSecond);
    void OnDownloadComplete();
    void DetermineUploadsEffectiveOrder();
    void OnUploadPlaceInLineRequested(QString i_user, QString i_fileName);
    void OnUserShare(QString i_user, FileInfoMap& i_share, AttributeTranslationTable& i_translationTable);

private:
    void OnUserOnline(ItemPtr i_user);
    // Frees the heap cell behind a removed attribute item.
    template<class Cell> void OnCellRemoved(ItemPtr i_item);
    template<class Cell> void FreeCellsWithItems(const char* i_type);
    void OnEntryRemoved(ItemPtr i_entry);

    // The entry whose thread item holds the sender of a thread's report; null when it is gone.
    static ItemPtr EntryOfThread(QObject* ip_sender, const char* i_threadType, const char* i_entryType);
    // Another entry is already downloading into the same partial file.
    bool IsPartialFileInUse(const ItemPtr& i_entry, const QString& i_path);
    void StopTransferThreads();
    // The shares engine's visibility rule for one shared file.
    bool IsFileVisibleTo(const ItemPtr& i_file, const QString& i_user);
    // Steps shared by the queue request and our own offer.
    ItemPtr FindSharedFileFor(const QString& i_user, const QString& i_file);
    bool RequeueExistingUpload(const ItemPtr& i_user, const ItemPtr& i_file);
    ItemPtr NewUploadEntry(const ItemPtr& i_user, const ItemPtr& i_file, const QString& i_file_as_requested);
    qint64 TakeOrderNumber();
    void TearDownUpload(ItemPtr i_entry);
    // Releases what a running download held and drops its transfer cells; the entry stays.
    void TearDownDownload(ItemPtr i_entry);
    // Stops the entry's thread and closes its file and socket, dropping their items. The thread and
    // socket are deleted later, since a report of the thread may be what called this, or at once
    // when no event loop may run again (shutdown).
    void ReleaseTransferObjects(ItemPtr i_entry, const char* i_threadType, const char* i_fileType,
                                const char* i_socketType, bool i_deleteNow = false);
    // Removes the entry with what it held; true when it was running.
    bool DropUploadEntry(ItemPtr i_entry);
    // The remote folder's last components kept locally, each made safe, nearest last.
    QStringList KeptFolderComponents(const ItemPtr& i_entry);
    void BeginUploadConnection(ItemPtr i_entry);
    // One entry a round has yet to re-queue or ask the place of.
    struct RoundStep
    {
        enum class Kind
        {
            Requeue,
            PlaceInLine
        };
        Kind kind = Kind::Requeue;
        ItemPtr entry;
        // A re-queue step's user round.
        quint64 requeueRound = 0;
    };
    // A user's round whose entries are put in order a slice a turn; its steps then follow those
    // already waiting.
    struct RoundLayout
    {
        RoundStep::Kind kind = RoundStep::Kind::Requeue;
        quint64 requeueRound = 0;
        ItemSet entries;
        std::size_t walked = 0;
        // A place-in-line round keys only the entries queued when it walks them.
        std::vector<std::pair<qint64, ItemPtr>> keyed;
    };
    // Starts the user's re-queue round and stamps its times; its steps run with the rounds' others.
    void QueueRequeueRound(const ItemPtr& i_user);
    // Walks at most i_most entries of the first round being laid out, and lays out its steps once
    // every entry is walked; returns the entries walked.
    int OrderRoundEntries(int i_most);
    // False when the step was skipped: its round was ended, or the entry wants no request.
    bool TakeRequeueStep(const RoundStep& i_step);
    // Runs a slice of the rounds' steps now, unless a slice is under way or due in a later turn.
    void StartRoundSteps();
    void RunRoundSteps();

    QTimer m_timer;
    QElapsedTimer m_clock;
    SharedUploadLimit m_uploadLimit;
    ItemPtr m_lastOrderedUpload;
    std::unique_ptr<TransferOutbox> m_outbox;
    // The rounds' steps left for later turns, in the order they are taken.
    std::deque<RoundStep> m_roundSteps;
    // The rounds not yet laid out, oldest first: their steps go behind those above.
    std::deque<RoundLayout> m_roundLayouts;
    bool m_roundStepsBusy = false;
    // User serial -> the user's re-queue round under way; a newer round or going offline ends it.
    std::map<std::uint64_t, quint64> m_requeueRounds;
    quint64 m_lastRequeueRound = 0;
    struct StampedTime
    {
        ItemPtr item;
        qint64 ms = 0;
    };
    // (owner serial, time type) -> the time item written and its milliseconds.
    std::map<std::pair<std::uint64_t, std::string>, StampedTime> m_times;
};

extern TransferQueueManager* transferQueueManager;
