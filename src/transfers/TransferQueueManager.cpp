#include "TransferQueueManager.h"

#include "EngineClock.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TimerManager.h"
#include "TransferCells.h"
#include "TransferOutbox.h"
#include "TransferThread.h"

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

    NewTransferType("download_entry", Primary, true);
    NewTransferType("file_name", Tertiary);
    NewTransferType("remote_folder", Secondary);
    NewTransferType("download_folder", Secondary);
    NewTransferType("transfer_req", Tertiary);
    NewTransferType("remote_transfer_req", Tertiary);
    NewTransferType("download_socket", Primary);
    NewTransferType("download_file", Primary);
    NewTransferType("write_position", Tertiary);
    NewTransferType("download_entry_status", Primary);
    NewTransferType("download_order", Tertiary);
    NewTransferType("upload_socket", Primary);
    NewTransferType("upload_file", Primary);
    NewTransferType("read_position", Tertiary);
    NewTransferType("upload_entry_status", Primary);
    NewTransferType("upload_order", Tertiary);
    NewTransferType("is_active", Tertiary, true);
    NewTransferType("last_receipt_time", Tertiary);
    NewTransferType("last_speed_measurement_time", Tertiary);
    NewTransferType("bytes_per_second", Tertiary);
    NewTransferType("bytes_since_last_receipt", Tertiary);
    NewTransferType("place_in_line", Tertiary);
    NewTransferType("last_queue_request_time", Tertiary);
    NewTransferType("next_place_in_line_request_time", Tertiary);
    NewTransferType("download_thread", Primary);
    NewTransferType("subfolder_save_level", Tertiary);
    NewTransferType("last_status_change_time", Tertiary);

    Relate("download_entry",
           {"user", "file_name", "remote_folder", "file_size", "download_folder", "remote_transfer_req",
            "write_position", "download_entry_status", "place_in_line", "subfolder_save_level",
            "last_status_change_time"},
           Many, One);
    Relate("download_entry",
           {"transfer_req", "download_socket", "download_thread", "download_file", "download_order",
            "last_receipt_time", "last_speed_measurement_time", "bytes_per_second", "bytes_since_last_receipt"},
           One, One);
    Relate("download_entry_status", {"is_active"}, Many, One);
    Relate("user", {"last_queue_request_time", "next_place_in_line_request_time"}, Many, One);

    FreeCellsWithItems<PositionCell>("write_position");
    FreeCellsWithItems<TimeCell>("last_receipt_time");
    FreeCellsWithItems<TimeCell>("last_speed_measurement_time");
    FreeCellsWithItems<SpeedCell>("bytes_per_second");
    FreeCellsWithItems<CounterCell>("bytes_since_last_receipt");

    dataSaver->AddSavedType("download_entry");
    SaveByEntry("download_entry", {"user", "file_name", "remote_folder", "file_size", "download_folder",
                                   "download_entry_status", "download_order", "subfolder_save_level"});

    NewTransferType("upload_entry", Primary, true);
    NewTransferType("filename_as_requested", Tertiary);
    NewTransferType("upload_start_time", Tertiary);
    NewTransferType("bytes_uploaded", Tertiary);
    NewTransferType("upload_thread", Primary);
    NewTransferType("effective_upload_order", Tertiary);
    FreeCellsWithItems<CounterCell>("bytes_uploaded");
    Relate("upload_entry",
           {"user", "shared_file", "read_position", "upload_entry_status", "filename_as_requested", "upload_start_time",
            "bytes_uploaded", "last_status_change_time", "effective_upload_order"},
           Many, One);
    Relate("upload_entry",
           {"upload_socket", "upload_file", "upload_order", "transfer_req", "last_receipt_time",
            "last_speed_measurement_time", "bytes_per_second", "bytes_since_last_receipt", "upload_thread"},
           One, One);
    Relate("upload_entry_status", {"is_active"}, Many, One);

    // Times kept beside removed entries would only grow; they go with their entry.
    d->GetType("download_entry")
        ->m_itemRemoved.insert(
            new EventHandler<TransferQueueManager, ItemPtr>(this, &TransferQueueManager::OnEntryRemoved));
    d->GetType("upload_entry")
        ->m_itemRemoved.insert(
            new EventHandler<TransferQueueManager, ItemPtr>(this, &TransferQueueManager::OnEntryRemoved));

    // The store takes the root of the path; the child hangs on it.
    auto* onlinePath = new PathNode(d, "user");
    new PathNode(onlinePath, "is_online", PathOnConnect);
    d->AddPathEventHandler(onlinePath,
                           new EventHandler<TransferQueueManager, ItemPtr>(this, &TransferQueueManager::OnUserOnline));
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::FileTransferRequested, this,
                &TransferQueueManager::OnFileTransferRequest);

    SetDefaultSetting(QStringLiteral("download_folder"), QDir::homePath() + QStringLiteral("/Veltrane Downloads"));
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

    SetDefaultSetting(QStringLiteral("transfer_order_counter"), QStringLiteral("1"));
    SetSetting(QStringLiteral("transfer_req_counter"), QStringLiteral("1"));

    ItemPtr active = d->GetType("is_active")->GetGlobalNullItem();
    d->GetType("download_entry_status")->GetItem("downloading").Connect(active);
    for (const char* status : {"connecting", "uploading", "requesting", "waiting for offset"})
        d->GetType("upload_entry_status")->GetItem(status).Connect(active);

    dataSaver->AddListener(this);
    if (timerManager)
    {
        connect(timerManager->fiveMinuteTimer(), &QTimer::timeout, this, &TransferQueueManager::PeriodicCheck);
        connect(timerManager->halfMinuteTimer(), &QTimer::timeout, this, &TransferQueueManager::EveryHalfMinute);
    }

    if (!HasSetting(QStringLiteral("upload_speed_limit")))
    {
        SetSetting(QStringLiteral("upload_speed_limit"), QStringLiteral("0"));
        SetSetting(QStringLiteral("upload_speed_limit_enabled"), QStringLiteral("no"));
    }
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::DownloadPlaceInLine, this, &TransferQueueManager::OnDownloadPlaceInLine);

    NewTransferType("denial_reason", Tertiary);
    Relate("denial_reason", {"download_entry", "upload_entry"}, One, Many);
    SetSetting(QStringLiteral("upload_slots"), QStringLiteral("1"));

    NewTransferType("complete_download", Primary, true);
    NewTransferType("complete_download_folder", Secondary);
    NewTransferType("complete_download_relative_folder", Secondary);
    NewTransferType("complete_download_filename", Tertiary);
    NewTransferType("complete_download_file_size", Tertiary);
    NewTransferType("complete_download_completion_time", Tertiary);
    Relate("complete_download",
           {"user", "complete_download_folder", "complete_download_relative_folder", "complete_download_filename",
            "complete_download_completion_time", "complete_download_file_size", "search_request_text"},
           Many, One);
    dataSaver->AddSavedType("complete_download");
    SaveByEntry("complete_download",
                {"user", "complete_download_folder", "complete_download_relative_folder", "complete_download_filename",
                 "complete_download_file_size", "complete_download_completion_time"});

    NewTransferType("empty_share_check_status", Tertiary);
    NewTransferType("sent_empty_share_warning_message", Tertiary);
    Relate("user", {"empty_share_check_status", "sent_empty_share_warning_message"}, Many, One);
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::UserShare, this, &TransferQueueManager::OnUserShare);
    SetSetting(QStringLiteral("check_for_empty_shares"), QStringLiteral("no"));
    SetSetting(QStringLiteral("empty_share_message"),
               QStringLiteral("It looks like you're not sharing any files. Please share something before "
                              "downloading anything from my own shares. Thanks."));
    SetSetting(QStringLiteral("max_queued_uploads_per_user"), QStringLiteral("200"));

    NewTransferType("excluded_download_extension", Primary);
    dataSaver->AddSavedType("excluded_download_extension");
}

TransferQueueManager::~TransferQueueManager()
{
    StopTransferThreads();
    if (sharedFoldersManager)
        sharedFoldersManager->SetUploadStateSource({});
    // Cells of transfers still running at shutdown go with their items while our removal
    // handlers still live; the threads that wrote them have stopped.
    for (const char* type : {"write_position", "last_receipt_time", "last_speed_measurement_time", "bytes_per_second",
                             "bytes_since_last_receipt", "bytes_uploaded"})
        if (d && d->HasType(type))
            d->GetType(type)->GetItems().Remove();
    if (transferQueueManager == this)
        transferQueueManager = nullptr;
}

void TransferQueueManager::DataLoaded()
{
    ItemPtr queued = d->GetType("download_entry_status")->GetItem("queued");
    const ItemSet entries = d->GetType("download_entry")->GetItems();
    for (ItemPtr entry : entries)
    {
        if (entry["download_entry_status"].AsString() != QLatin1String("complete"))
            entry.Connect(queued);
    }

    const ItemSet users = entries.GetItems("user");
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
    d->GetType("excluded_download_extension")->GetItem(".ini");
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
    return CountActiveEntries("upload_entry_status", "upload_entry");
}

int TransferQueueManager::ActiveDownloadCount()
{
    return CountActiveEntries("download_entry_status", "download_entry");
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
    return i_status && i_status.IsConnected("is_active");
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
