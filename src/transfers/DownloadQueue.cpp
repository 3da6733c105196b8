// The download queue: entries, their statuses, re-queues and place-in-line requests, and the
// half-minute housekeeping of both directions.
#include "TransferQueueManager.h"

#include "EngineClock.h"
#include "Log.h"
#include "PeerMessages.h"
#include "PeerSchema.h"
#include "ServerSchema.h"
#include "SharesSchema.h"
#include "TextUtils.h"
#include "TransferOutbox.h"
#include "TransfersSchema.h"

#include <algorithm>
#include <vector>

namespace
{
const QString kArea = QStringLiteral("Transfer Queue");
constexpr qint64 kUploadStartTimeoutMs = 30000;
constexpr qint64 kRequeueIntervalMs = 600000;
constexpr qint64 kPlaceInLineIntervalMs = 600000;
constexpr qint64 kFirstPlaceInLineDelayMs = 10000;
constexpr qint64 kPlaceInLineAfterRequeueMs = 30000;

QString StatusOf(const ItemPtr& i_entry)
{
    return i_entry[types::kDownloadEntryStatus].AsString();
}

} // namespace

std::string TransferQueueManager::RemotePath(const ItemPtr& i_entry)
{
    return i_entry[types::kRemoteFolder].AsStdString() + "\\" + i_entry[types::kFileName].AsStdString();
}

namespace
{
ItemPtr DownloadEntryOf(const ItemPtr& i_user, const ItemPtr& i_name, const ItemPtr& i_folder)
{
    if (!i_user || !i_name || !i_folder)
        return ItemPtr();
    return d->GetItemSubset(ItemSet{i_user, i_name, i_folder}, types::kDownloadEntry).First();
}
} // namespace

ItemPtr TransferQueueManager::GetDownloadEntry(QString i_user, std::string i_fileName, std::string i_remoteFolder)
{
    return DownloadEntryOf(GetType(types::kUser)->HasItem(i_user),
                           GetType(types::kFileName)->HasItem(Value(std::move(i_fileName))),
                           GetType(types::kRemoteFolder)->HasItem(Value(std::move(i_remoteFolder))));
}

ItemPtr TransferQueueManager::AddDownload(QString i_user, std::string i_fileName, std::string i_remoteFolder,
                                          qint64 i_size, int i_subfolderSaveLevel)
{
    // A folder download thousands of levels deep hands over paths as long as the depth: each is
    // made a value once and looked up once before the entry exists.
    const Value fileName(std::move(i_fileName));
    const Value remoteFolder(std::move(i_remoteFolder));
    Type* nameType = GetType(types::kFileName);
    Type* folderType = GetType(types::kRemoteFolder);
    const ItemPtr knownName = nameType->HasItem(fileName);
    const ItemPtr knownFolder = folderType->HasItem(remoteFolder);
    if (ItemPtr existing = DownloadEntryOf(GetType(types::kUser)->HasItem(i_user), knownName, knownFolder))
        return existing;

    ItemPtr user = GetType(types::kUser)->GetItem(i_user);
    ItemPtr entry = GetType(types::kDownloadEntry)->NewItem();
    entry.Connect(user);
    // A handler may have removed a known one meanwhile: it then reads as null.
    entry.Connect(knownName ? knownName : nameType->GetItem(fileName));
    entry.Connect(knownFolder ? knownFolder : folderType->GetItem(remoteFolder));
    entry.Connect(GetType(types::kFileSize)->GetItem(Value(i_size)));
    entry.Connect(GetType(types::kSubfolderSaveLevel)->GetItem(Value(std::max(0, i_subfolderSaveLevel))));
    entry.Connect(GetType(types::kDownloadOrder)->GetItem(Value(TakeOrderNumber())));
    Outbox().TrackUser(i_user);

    if (DoesDownloadItemCompleteFilenameExist(entry))
    {
        SetDownloadEntryStatus(entry, QStringLiteral("complete"));
        return entry;
    }
    SetDownloadEntryStatus(entry, QStringLiteral("queued"));
    if (user.IsConnected(types::kIsOnline))
        Outbox().QueueDownload(i_user, remoteFolder.Bytes() + "\\" + fileName.Bytes());
    SetTransferTime(user, types::kNextPlaceInLineRequestTime, kFirstPlaceInLineDelayMs);
    return entry;
}

void TransferQueueManager::OnQueueDownloadRequested(QString i_user, std::string i_fileName, qint64 i_fileSize)
{
    if (!CanAcceptUserInitiatedUploadsFrom(i_user))
        return;
    AddDownload(i_user, GetFileName(i_fileName), GetFolder(i_fileName), i_fileSize, 0);
}

void TransferQueueManager::SetDownloadEntryStatus(ItemPtr i_entry, QString i_status)
{
    const bool wasActive = IsActiveStatus(i_entry[types::kDownloadEntryStatus]);
    const ItemPtr status = GetType(types::kDownloadEntryStatus)->GetItem(i_status);
    i_entry.Connect(status);
    SetTransferTime(i_entry, types::kLastStatusChangeTime);
    if (!wasActive || IsActiveStatus(status))
        return;

    TearDownDownload(i_entry);
    SetTransferTime(i_entry[types::kUser], types::kLastQueueRequestTime);
}

void TransferQueueManager::QueueDownloadIfUserOnline(ItemPtr i_entry)
{
    const ItemPtr user = i_entry[types::kUser];
    const std::string path = RemotePath(i_entry);
    const QString status = StatusOf(i_entry);
    // A complete file needs no new request, whatever the uploader says.
    if (status == QLatin1String("local error") || status == QLatin1String("complete"))
    {
        Log(kArea, 1, QStringLiteral("Download status %1, not re-queueing %2").arg(status, ToQString(path)), user);
    }
    else if (user.IsConnected(types::kIsOnline))
    {
        Log(kArea, 1,
            QStringLiteral("User %1 appears to still be online, re-queueing %2").arg(user.AsString(), ToQString(path)),
            user);
        Outbox().QueueDownload(user.AsString(), path);
    }
    else
    {
        Log(kArea, 1, QStringLiteral("User %1 offline, not re-queueing %2").arg(user.AsString(), ToQString(path)),
            user);
    }
}

void TransferQueueManager::RequeueDownload(ItemPtr i_entry)
{
    const ItemPtr status = i_entry[types::kDownloadEntryStatus];
    if (status.AsString() == QLatin1String("complete") || IsActiveStatus(status))
        return;
    if (DoesDownloadItemCompleteFilenameExist(i_entry))
    {
        SetDownloadEntryStatus(i_entry, QStringLiteral("complete"));
        return;
    }
    const ItemPtr user = i_entry[types::kUser];
    Outbox().QueueDownload(user.AsString(), RemotePath(i_entry));
    SetDownloadEntryStatus(i_entry, QStringLiteral("queued"));
    Log(kArea, 2, QStringLiteral("Queueing %1").arg(i_entry[types::kFileName].AsString()), user);
}

void TransferQueueManager::RequeueUserDownloads(ItemPtr i_user)
{
    QueueRequeueRound(i_user);
    StartRoundSteps();
}

void TransferQueueManager::QueueRequeueRound(const ItemPtr& i_user)
{
    const ItemSet entries = i_user.GetItems(types::kDownloadEntry);
    if (entries.empty())
        return;
    Log(kArea, 1, QStringLiteral("Requeueing downloads from user %1").arg(i_user.AsString()), i_user);
    // A round still under way for the user ends here: this one goes through every entry again.
    const quint64 round = ++m_lastRequeueRound;
    m_requeueRounds[i_user.GetSerial()] = round;
    m_roundLayouts.push_back({RoundStep::Kind::Requeue, round, entries, 0, {}});
    // A round none of whose entries has an order number re-queues nothing, and stamps nothing.
    if (std::any_of(entries.begin(), entries.end(),
                    [](const ItemPtr& i_entry) { return bool(i_entry[types::kDownloadOrder]); }))
    {
        SetTransferTime(i_user, types::kLastQueueRequestTime);
        SetTransferTime(i_user, types::kNextPlaceInLineRequestTime, kPlaceInLineAfterRequeueMs);
    }
}

bool TransferQueueManager::TakeRequeueStep(const RoundStep& i_step)
{
    if (!i_step.entry)
        return false;
    const ItemPtr user = i_step.entry[types::kUser];
    const auto round = m_requeueRounds.find(user.GetSerial());
    if (round == m_requeueRounds.end() || round->second != i_step.requeueRound)
        return false;
    // Going online again re-queues everything; until then the user hears nothing.
    if (!user.IsConnected(types::kIsOnline))
    {
        m_requeueRounds.erase(round);
        Log(kArea, 1, QStringLiteral("User %1 went offline, not re-queueing the rest").arg(user.AsString()), user);
        return false;
    }
    const QString status = StatusOf(i_step.entry);
    if (status == QLatin1String("complete") || status == QLatin1String("denied"))
        return false;
    RequeueDownload(i_step.entry);
    return true;
}

void TransferQueueManager::OnUserOnline(ItemPtr i_user)
{
    Log(kArea, 1, QStringLiteral("User %1 went online").arg(i_user.AsString()), i_user);
    RequeueUserDownloads(i_user);
    StartNewUploads();
}

void TransferQueueManager::RequestDownloadPlaceInLine(ItemPtr i_entry)
{
    const ItemPtr user = i_entry[types::kUser];
    Log(kArea, 1,
        QStringLiteral("Requesting place in line for download of %1 from %2")
            .arg(i_entry[types::kFileName].AsString(), user.AsString()),
        user);
    // The path goes out as the bytes the uploader gave, not re-encoded through text.
    MemStream message = StreamOf(quint32(PM_UPLOAD_PLACE_IN_LINE_REQUEST), RemotePath(i_entry));
    Outbox().SendMessage(user.AsString(), message);
}

void TransferQueueManager::OnDownloadPlaceInLine(QString i_user, std::string i_file, int i_place)
{
    ItemPtr entry = GetDownloadEntry(i_user, GetFileName(i_file), GetFolder(i_file));
    if (entry)
        entry.Connect(GetType(types::kPlaceInLine)->GetItem(Value(i_place)));
}

bool TransferQueueManager::IsActivelyDownloadingFromUser(QString i_user)
{
    // The downloads under way are few; a user's entries may be tens of thousands.
    const ItemPtr user = GetType(types::kUser)->HasItem(i_user);
    if (!user)
        return false;
    for (const ItemPtr& entry :
         GetType(types::kDownloadEntryStatus)->GetItem("downloading").GetItems(types::kDownloadEntry))
        if (entry[types::kUser] == user)
            return true;
    return false;
}

void TransferQueueManager::EveryHalfMinute()
{
    const qint64 now = EngineClock::NowMs();

    Type* uploadStatuses = GetType(types::kUploadEntryStatus);
    ItemSet starting;
    for (const char* status : {"requesting", "connecting", "waiting for offset"})
        starting.Add(uploadStatuses->GetItem(status).GetItems(types::kUploadEntry));
    bool aborted = false;
    for (const ItemPtr& entry : starting)
    {
        const std::optional<qint64> since = TransferTime(entry, types::kLastStatusChangeTime);
        if (!since || now - *since < kUploadStartTimeoutMs)
            continue;
        Log(kArea, 1,
            QStringLiteral("Upload of %1 to %2 timed out in %3 phase, aborting")
                .arg(entry[types::kSharedFile][types::kSharedFileName].AsString(), entry[types::kUser].AsString(),
                     entry[types::kUploadEntryStatus].AsString()));
        SetUploadEntryStatus(entry, QStringLiteral("aborted"));
        aborted = true;
    }
    if (aborted)
        StartNewUploads();

    ItemSet users;
    for (const ItemPtr& user :
         GetType(types::kDownloadEntryStatus)->GetItem("queued").GetItems(types::kDownloadEntry).GetItems(types::kUser))
        if (user.IsConnected(types::kIsOnline))
            users.insert(user);

    for (const ItemPtr& user : users)
    {
        if (IsActivelyDownloadingFromUser(user.AsString()))
            continue;
        const std::optional<qint64> last = TransferTime(user, types::kLastQueueRequestTime);
        if (!last || now - *last >= kRequeueIntervalMs)
            QueueRequeueRound(user);
    }

    for (const ItemPtr& user : users)
    {
        if (IsActivelyDownloadingFromUser(user.AsString()))
            continue;
        const std::optional<qint64> next = TransferTime(user, types::kNextPlaceInLineRequestTime);
        if (next && *next > now)
            continue;
        m_roundLayouts.push_back({RoundStep::Kind::PlaceInLine, 0, user.GetItems(types::kDownloadEntry), 0, {}});
        SetTransferTime(user, types::kNextPlaceInLineRequestTime, kPlaceInLineIntervalMs);
    }
    StartRoundSteps();
}

void TransferQueueManager::StartRoundSteps()
{
    if (!m_roundStepsBusy)
        RunRoundSteps();
}

void TransferQueueManager::RunRoundSteps()
{
    // A folder of thousands of files re-queues or asks thousands of places, each with its log line:
    // done in slices, one per turn, the window answers in between.
    m_roundStepsBusy = true;
    // A folder's entries are put in order in slices too, so the round's first turn walks no more
    // of them than a later one.
    for (int walked = 0; walked < kRoundEntriesOrderedPerTurn && !m_roundLayouts.empty();)
        walked += OrderRoundEntries(kRoundEntriesOrderedPerTurn - walked);
    const ItemPtr queued = GetType(types::kDownloadEntryStatus)->GetItem("queued");
    for (int done = 0; done < kRoundStepsPerTurn && !m_roundSteps.empty();)
    {
        const RoundStep step = std::move(m_roundSteps.front());
        m_roundSteps.pop_front();
        if (step.kind == RoundStep::Kind::Requeue)
        {
            done += TakeRequeueStep(step) ? 1 : 0;
            continue;
        }
        // Gone, started or failed since the round began, or its user offline: no place to ask.
        if (!step.entry.IsConnected(queued) || !step.entry[types::kUser].IsConnected(types::kIsOnline))
            continue;
        RequestDownloadPlaceInLine(step.entry);
        ++done;
    }
    if (m_roundSteps.empty() && m_roundLayouts.empty())
    {
        m_requeueRounds.clear();
        m_roundStepsBusy = false;
        return;
    }
    QMetaObject::invokeMethod(
        this, [this] { RunRoundSteps(); }, Qt::QueuedConnection);
}

int TransferQueueManager::OrderRoundEntries(int i_most)
{
    RoundLayout& layout = m_roundLayouts.front();
    const ItemPtr queued = GetType(types::kDownloadEntryStatus)->GetItem("queued");
    const std::size_t end = std::min(layout.entries.size(), layout.walked + std::size_t(i_most));
    const int walked = int(end - layout.walked);
    for (auto entry = layout.entries.begin() + std::ptrdiff_t(layout.walked);
         entry != layout.entries.begin() + std::ptrdiff_t(end); ++entry)
        if (layout.kind == RoundStep::Kind::Requeue || entry->IsConnected(queued))
            if (const ItemPtr order = (*entry)[types::kDownloadOrder])
                layout.keyed.emplace_back(order.AsInt64(), *entry);
    layout.walked = end;
    if (end < layout.entries.size())
        return walked;
    std::stable_sort(layout.keyed.begin(), layout.keyed.end(),
                     [](const auto& i_a, const auto& i_b) { return i_a.first < i_b.first; });
    for (auto& [order, entry] : layout.keyed)
        m_roundSteps.push_back({layout.kind, std::move(entry), layout.requeueRound});
    m_roundLayouts.pop_front();
    return walked;
}

// ---- empty-share check ----

void TransferQueueManager::OnUserShare(QString i_user, FileInfoMap& i_share, AttributeTranslationTable&)
{
    ItemPtr user = GetType(types::kUser)->HasItem(i_user);
    if (!user || user[types::kEmptyShareCheckStatus].AsString() != QLatin1String("requested"))
        return;
    Type* statusType = GetType(types::kEmptyShareCheckStatus);
    if (!i_share.empty())
    {
        user.Connect(statusType->GetItem("not_empty"));
        return;
    }
    user.Connect(statusType->GetItem("empty"));
    if (!IsSettingOn(settings::kCheckForEmptyShares) || user.IsConnected(types::kInUserList))
        return;
    const QString message = GetSetting(settings::kEmptyShareMessage);
    if (message.isEmpty())
        return;
    Outbox().SendPrivateChat(i_user, message);
    Log(QStringLiteral("Shared"), 1, QStringLiteral("Sent empty share warning message to user %1").arg(i_user));
    user.Connect(GetType(types::kSentEmptyShareWarningMessage)->GetItem(message));
}
