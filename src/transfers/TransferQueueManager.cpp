#include "TransferQueueManager.h"

#include "EngineClock.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "PeerSchema.h"
#include "Server.h"
#include "ServerSchema.h"
#include "SharedFoldersManager.h"
#include "SharesSchema.h"
#include "TimerManager.h"
#include "TransferCells.h"
#include "TransferOutbox.h"
#include "TransferThread.h"
#include "TransfersSchema.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTcpSocket>

#include <algorithm>

TransferQueueManager* transferQueueManager = nullptr;

namespace
{
Type* NewTransferType(const char* i_name, Primacy i_primacy, bool i_isNull = false)
{
    return d->NewType(i_name, i_primacy, i_isNull, true);
}

void Relate(const char* i_a, std::initializer_list<const char*> i_bs, OneOrMany i_aPerB, OneOrMany i_bPerA)
{
    Type* a = d->GetType(i_a);
    for (const char* b : i_bs)
        a->RelateToType(d->GetType(b), i_aPerB, i_bPerA, false);
}

void SaveByEntry(const char* i_entry, std::initializer_list<const char*> i_types)
{
    for (const char* type : i_types)
        dataSaver->AddSavedByConnectionType(type, i_entry);
}
} // namespace

template<class Cell> void TransferQueueManager::OnCellRemoved(ItemPtr i_item)
{
    delete i_item.AsPointer<Cell>();
}

template<class Cell> void TransferQueueManager::FreeCellsWithItems(const char* i_type)
{
    d->GetType(i_type)->m_itemRemoved.insert(
        new EventHandler<TransferQueueManager, ItemPtr>(this, &TransferQueueManager::OnCellRemoved<Cell>));
}

TransferQueueManager::TransferQueueManager()
    : m_outbox(std::make_unique<TransferOutbox>())
{
    transferQueueManager = this;
    // Search replies carry our free-slot state and queue length.
    if (sharedFoldersManager)
        sharedFoldersManager->SetUploadStateSource([this] {
            return SharedFoldersManager::UploadState{IsFreeToUpload(), quint32(QueuedUploadCount())};
        });

    NewTransferType(types::kDownloadEntry, Primary, true);
    NewTransferType(types::kFileName, Tertiary);
    NewTransferType(types::kRemoteFolder, Secondary);
    NewTransferType(types::kDownloadFolder, Secondary);
    NewTransferType(types::kTransferReq, Tertiary);
    NewTransferType(types::kRemoteTransferReq, Tertiary);
    NewTransferType(types::kDownloadSocket, Primary);
    NewTransferType(types::kDownloadFile, Primary);
    NewTransferType(types::kWritePosition, Tertiary);
    NewTransferType(types::kDownloadEntryStatus, Primary);
    NewTransferType(types::kDownloadOrder, Tertiary);
    NewTransferType(types::kUploadSocket, Primary);
    NewTransferType(types::kUploadFile, Primary);
    NewTransferType(types::kReadPosition, Tertiary);
    NewTransferType(types::kUploadEntryStatus, Primary);
    NewTransferType(types::kUploadOrder, Tertiary);
    NewTransferType(types::kIsActive, Tertiary, true);
    NewTransferType(types::kLastReceiptTime, Tertiary);
    NewTransferType(types::kLastSpeedMeasurementTime, Tertiary);
    NewTransferType(types::kBytesPerSecond, Tertiary);
    NewTransferType(types::kBytesSinceLastReceipt, Tertiary);
    NewTransferType(types::kPlaceInLine, Tertiary);
    NewTransferType(types::kLastQueueRequestTime, Tertiary);
    NewTransferType(types::kNextPlaceInLineRequestTime, Tertiary);
    NewTransferType(types::kDownloadThread, Primary);
    NewTransferType(types::kSubfolderSaveLevel, Tertiary);
    NewTransferType(types::kLastStatusChangeTime, Tertiary);

    Relate(types::kDownloadEntry,
           {types::kUser, types::kFileName, types::kRemoteFolder, types::kFileSize, types::kDownloadFolder,
            types::kRemoteTransferReq, types::kWritePosition, types::kDownloadEntryStatus, types::kPlaceInLine,
            types::kSubfolderSaveLevel, types::kLastStatusChangeTime},
           Many, One);
    Relate(types::kDownloadEntry,
           {types::kTransferReq, types::kDownloadSocket, types::kDownloadThread, types::kDownloadFile,
            types::kDownloadOrder, types::kLastReceiptTime, types::kLastSpeedMeasurementTime, types::kBytesPerSecond,
            types::kBytesSinceLastReceipt},
           One, One);
    Relate(types::kDownloadEntryStatus, {types::kIsActive}, Many, One);
    Relate(types::kUser, {types::kLastQueueRequestTime, types::kNextPlaceInLineRequestTime}, Many, One);

    FreeCellsWithItems<PositionCell>(types::kWritePosition);
    FreeCellsWithItems<TimeCell>(types::kLastReceiptTime);
    FreeCellsWithItems<TimeCell>(types::kLastSpeedMeasurementTime);
    FreeCellsWithItems<SpeedCell>(types::kBytesPerSecond);
    FreeCellsWithItems<CounterCell>(types::kBytesSinceLastReceipt);

    dataSaver->AddSavedType(types::kDownloadEntry);
    SaveByEntry(types::kDownloadEntry,
                {types::kUser, types::kFileName, types::kRemoteFolder, types::kFileSize, types::kDownloadFolder,
                 types::kDownloadEntryStatus, types::kDownloadOrder, types::kSubfolderSaveLevel});

    NewTransferType(types::kUploadEntry, Primary, true);
    NewTransferType(types::kFilenameAsRequested, Tertiary);
    NewTransferType(types::kUploadStartTime, Tertiary);
    NewTransferType(types::kBytesUploaded, Tertiary);
    NewTransferType(types::kUploadThread, Primary);
    NewTransferType(types::kEffectiveUploadOrder, Tertiary);
    FreeCellsWithItems<CounterCell>(types::kBytesUploaded);
    Relate(types::kUploadEntry,
           {types::kUser, types::kSharedFile, types::kReadPosition, types::kUploadEntryStatus,
            types::kFilenameAsRequested, types::kUploadStartTime, types::kBytesUploaded, types::kLastStatusChangeTime,
            types::kEffectiveUploadOrder},
           Many, One);
    Relate(types::kUploadEntry,
           {types::kUploadSocket, types::kUploadFile, types::kUploadOrder, types::kTransferReq, types::kLastReceiptTime,
            types::kLastSpeedMeasurementTime, types::kBytesPerSecond, types::kBytesSinceLastReceipt,
            types::kUploadThread},
           One, One);
    Relate(types::kUploadEntryStatus, {types::kIsActive}, Many, One);

    // Times kept beside removed entries would only grow; they go with their entry.
    d->GetType(types::kDownloadEntry)
        ->m_itemRemoved.insert(
            new EventHandler<TransferQueueManager, ItemPtr>(this, &TransferQueueManager::OnEntryRemoved));
    d->GetType(types::kUploadEntry)
        ->m_itemRemoved.insert(
            new EventHandler<TransferQueueManager, ItemPtr>(this, &TransferQueueManager::OnEntryRemoved));

    // The store takes the root of the path; the child hangs on it.
    auto* onlinePath = new PathNode(d, types::kUser);
    new PathNode(onlinePath, types::kIsOnline, PathOnConnect);
    d->AddPathEventHandler(onlinePath,
                           new EventHandler<TransferQueueManager, ItemPtr>(this, &TransferQueueManager::OnUserOnline));
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::FileTransferRequested, this,
                &TransferQueueManager::OnFileTransferRequest);

    SetDefaultSetting(settings::kDownloadFolder, QDir::homePath() + QStringLiteral("/Veltrane Downloads"));
    if (peerMessenger)
    {
        connect(peerMessenger, &PeerMessenger::FileConnectionRequested, this, &TransferQueueManager::OnFileConnection);
        connect(peerMessenger, &PeerMessenger::QueueUploadRequested, this,
                &TransferQueueManager::OnQueueUploadRequested);
        connect(peerMessenger, &PeerMessenger::QueueDownloadRequested, this,
                &TransferQueueManager::OnQueueDownloadRequested);
        connect(peerMessenger, &PeerMessenger::FileConnectionAccepted, this,
                &TransferQueueManager::OnFileConnectionAccepted);
        connect(peerMessenger, &PeerMessenger::FileTransferResponse, this,
                &TransferQueueManager::OnFileTransferResponse);
        connect(peerMessenger, &PeerMessenger::UploadFailed, this, &TransferQueueManager::OnUploadFailedNotification);
        connect(peerMessenger, &PeerMessenger::UploadDenied, this, &TransferQueueManager::OnUploadDeniedNotification);
        connect(peerMessenger, &PeerMessenger::UploadPlaceInLineRequested, this,
                &TransferQueueManager::OnUploadPlaceInLineRequested);
    }

    SetDefaultSetting(settings::kTransferOrderCounter, QStringLiteral("1"));
    SetSetting(settings::kTransferReqCounter, QStringLiteral("1"));

    ItemPtr active = d->GetType(types::kIsActive)->GetGlobalNullItem();
    d->GetType(types::kDownloadEntryStatus)->GetItem("downloading").Connect(active);
    for (const char* status : {"connecting", "uploading", "requesting", "waiting for offset"})
        d->GetType(types::kUploadEntryStatus)->GetItem(status).Connect(active);

    dataSaver->AddListener(this);
    if (timerManager)
    {
        connect(timerManager->fiveMinuteTimer(), &QTimer::timeout, this, &TransferQueueManager::PeriodicCheck);
        connect(timerManager->halfMinuteTimer(), &QTimer::timeout, this, &TransferQueueManager::EveryHalfMinute);
    }

    if (!HasSetting(settings::kUploadSpeedLimit))
    {
        SetSetting(settings::kUploadSpeedLimit, QStringLiteral("0"));
        SetSetting(settings::kUploadSpeedLimitEnabled, QStringLiteral("no"));
    }
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::DownloadPlaceInLine, this, &TransferQueueManager::OnDownloadPlaceInLine);

    NewTransferType(types::kDenialReason, Tertiary);
    Relate(types::kDenialReason, {types::kDownloadEntry, types::kUploadEntry}, One, Many);
    SetSetting(settings::kUploadSlots, QStringLiteral("1"));

    NewTransferType(types::kCompleteDownload, Primary, true);
    NewTransferType(types::kCompleteDownloadFolder, Secondary);
    NewTransferType(types::kCompleteDownloadRelativeFolder, Secondary);
    NewTransferType(types::kCompleteDownloadFilename, Tertiary);
    NewTransferType(types::kCompleteDownloadFileSize, Tertiary);
    NewTransferType(types::kCompleteDownloadCompletionTime, Tertiary);
    Relate(types::kCompleteDownload,
           {types::kUser, types::kCompleteDownloadFolder, types::kCompleteDownloadRelativeFolder,
            types::kCompleteDownloadFilename, types::kCompleteDownloadCompletionTime, types::kCompleteDownloadFileSize,
            types::kSearchRequestText},
           Many, One);
    dataSaver->AddSavedType(types::kCompleteDownload);
    SaveByEntry(types::kCompleteDownload, {types::kUser, types::kCompleteDownloadFolder,
                                           types::kCompleteDownloadRelativeFolder, types::kCompleteDownloadFilename,
                                           types::kCompleteDownloadFileSize, types::kCompleteDownloadCompletionTime});

    NewTransferType(types::kEmptyShareCheckStatus, Tertiary);
    NewTransferType(types::kSentEmptyShareWarningMessage, Tertiary);
    Relate(types::kUser, {types::kEmptyShareCheckStatus, types::kSentEmptyShareWarningMessage}, Many, One);
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::UserShare, this, &TransferQueueManager::OnUserShare);
    SetSetting(settings::kCheckForEmptyShares, QStringLiteral("no"));
    SetSetting(settings::kEmptyShareMessage,
               QStringLiteral("It looks like you're not sharing any files. Please share something before "
                              "downloading anything from my own shares. Thanks."));
    SetSetting(settings::kMaxQueuedUploadsPerUser, QStringLiteral("200"));

    NewTransferType(types::kExcludedDownloadExtension, Primary);
    dataSaver->AddSavedType(types::kExcludedDownloadExtension);
}

TransferQueueManager::~TransferQueueManager()
{
    StopTransferThreads();
    if (sharedFoldersManager)
        sharedFoldersManager->SetUploadStateSource({});
    // Cells of transfers still running at shutdown go with their items while our removal
    // handlers still live; the threads that wrote them have stopped.
    for (const char* type : {types::kWritePosition, types::kLastReceiptTime, types::kLastSpeedMeasurementTime,
                             types::kBytesPerSecond, types::kBytesSinceLastReceipt, types::kBytesUploaded})
        if (d && d->HasType(type))
            d->GetType(type)->GetItems().Remove();
    if (transferQueueManager == this)
        transferQueueManager = nullptr;
}

void TransferQueueManager::DataLoaded()
{
    ItemPtr queued = d->GetType(types::kDownloadEntryStatus)->GetItem("queued");
    const ItemSet entries = d->GetType(types::kDownloadEntry)->GetItems();
    for (ItemPtr entry : entries)
    {
        if (entry[types::kDownloadEntryStatus].AsString() != QLatin1String("complete"))
            entry.Connect(queued);
    }

    const ItemSet users = entries.GetItems(types::kUser);
    if (gp_server)
    {
        for (const ItemPtr& user : users)
            gp_server->TrackUser(user.AsString());
    }

    emit TransfersLoaded();
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::NoData()
{
    d->GetType(types::kExcludedDownloadExtension)->GetItem(".ini");
}

namespace
{
// Counted through the few active status items rather than every entry: the transfers window
// asks at every status change, and a long queue would make that a walk per change.
int CountActiveEntries(const char* i_statusType, const char* i_entryType)
{
    int count = 0;
    for (const ItemPtr& status : d->GetType(i_statusType)->GetItems())
        if (TransferQueueManager::IsActiveStatus(status))
            count += static_cast<int>(status.GetItems(i_entryType).size());
    return count;
}
} // namespace

int TransferQueueManager::ActiveUploadCount()
{
    return CountActiveEntries(types::kUploadEntryStatus, types::kUploadEntry);
}

int TransferQueueManager::ActiveDownloadCount()
{
    return CountActiveEntries(types::kDownloadEntryStatus, types::kDownloadEntry);
}

void TransferQueueManager::StartTimerTest()
{
    connect(&m_timer, &QTimer::timeout, this, &TransferQueueManager::TimerTest, Qt::UniqueConnection);
    m_timer.setSingleShot(false);
    m_timer.start(1000);
    m_clock.start();
}

void TransferQueueManager::TimerTest()
{
    Log(QStringLiteral("Timer Test"), 1,
        QStringLiteral("Timeout: %1 milliseconds behind schedule").arg(m_clock.elapsed() - 1000));
    m_clock.restart();
}

void TransferQueueManager::SetTransferTime(ItemPtr i_owner, const char* i_type, qint64 i_offsetMs)
{
    const qint64 when = EngineClock::NowMs() + i_offsetMs;
    ItemPtr item = GetType(i_type)->GetItem(QDateTime::fromMSecsSinceEpoch(when).toString(Qt::TextDate));
    i_owner.Connect(item);
    m_times[{i_owner.GetSerial(), i_type}] = StampedTime{item, when};
}

std::optional<qint64> TransferQueueManager::TransferTime(ItemPtr i_owner, const char* i_type) const
{
    const ItemPtr item = i_owner[i_type];
    if (!item)
        return std::nullopt;
    const auto stamp = m_times.find({i_owner.GetSerial(), i_type});
    if (stamp != m_times.end() && stamp->second.item == item)
        return stamp->second.ms;
    // Written by someone else: the display text is all there is, to the second.
    const QDateTime time = QDateTime::fromString(item.AsString(), Qt::TextDate);
    if (!time.isValid())
        return std::nullopt;
    return time.toMSecsSinceEpoch();
}

void TransferQueueManager::OnEntryRemoved(ItemPtr i_entry)
{
    const std::uint64_t serial = i_entry.GetSerial();
    auto stamp = m_times.lower_bound({serial, std::string()});
    while (stamp != m_times.end() && stamp->first.first == serial)
        stamp = m_times.erase(stamp);
}

void TransferQueueManager::SetOutbox(std::unique_ptr<TransferOutbox> i_outbox)
{
    m_outbox = i_outbox ? std::move(i_outbox) : std::make_unique<TransferOutbox>();
}

Type* TransferQueueManager::GetType(const char* i_name)
{
    return d->GetType(i_name);
}

QString TransferQueueManager::Backslashed(const QString& i_text)
{
    return QLatin1Char('\\') + i_text;
}

bool TransferQueueManager::IsActiveStatus(const ItemPtr& i_status)
{
    return i_status && i_status.IsConnected(types::kIsActive);
}

std::vector<ItemPtr> TransferQueueManager::ByOrder(const ItemSet& i_entries, const char* i_orderType)
{
    std::vector<std::pair<qint64, ItemPtr>> keyed;
    keyed.reserve(i_entries.size());
    for (const ItemPtr& entry : i_entries)
        if (const ItemPtr order = entry[i_orderType])
            keyed.emplace_back(order.AsInt64(), entry);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& i_a, const auto& i_b) { return i_a.first < i_b.first; });
    std::vector<ItemPtr> sorted;
    sorted.reserve(keyed.size());
    for (auto& pair : keyed)
        sorted.push_back(std::move(pair.second));
    return sorted;
}

void TransferQueueManager::ReleaseTransferObjects(ItemPtr i_entry, const char* i_threadType, const char* i_fileType,
                                                  const char* i_socketType, bool i_deleteNow)
{
    if (ItemPtr item = i_entry[i_threadType])
    {
        auto* thread = item.AsPointer<TransferThread>();
        item.Remove();
        if (thread)
        {
            // Without the stop request the wait would last until the whole file has moved.
            thread->SignalExit();
            thread->wait();
            if (i_deleteNow)
                delete thread;
            else
                thread->deleteLater();
        }
    }
    if (ItemPtr item = i_entry[i_fileType])
    {
        auto* file = item.AsPointer<QFile>();
        item.Remove();
        if (file)
        {
            file->close();
            delete file;
        }
    }
    if (ItemPtr item = i_entry[i_socketType])
    {
        auto* socket = item.AsPointer<QTcpSocket>();
        item.Remove();
        if (socket)
        {
            socket->close();
            if (i_deleteNow)
                delete socket;
            else
                socket->deleteLater();
        }
    }
}

void TransferQueueManager::PeriodicCheck() {}
