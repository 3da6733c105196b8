// The upload queue: which requests enter it, in what order they wait, when they start, and what
// a status change releases.
#include "TransferQueueManager.h"

#include "Log.h"
#include "PeerMessages.h"
#include "ServerSchema.h"
#include "SharedFoldersManager.h"
#include "SharesSchema.h"
#include "TransferCells.h"
#include "TransferOutbox.h"
#include "TransfersSchema.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace
{
const QString kArea = QStringLiteral("Transfer Queue");

int GroupPriorityOf(const ItemPtr& i_user)
{
    const ItemPtr inList = i_user[types::kInUserList];
    if (!inList)
        return 0;
    int best = 0;
    for (const ItemPtr& group : inList.GetItems(types::kUserListGroup))
        best = std::max(best, group[types::kGroupDownloadPriority].AsInt());
    return best;
}

} // namespace

// ---- admission ----

bool TransferQueueManager::IsFileVisibleTo(const ItemPtr& i_file, const QString& i_user)
{
    return sharedFoldersManager && sharedFoldersManager->IsFileSharedWithUser(i_file, i_user);
}

ItemPtr TransferQueueManager::FindSharedFileFor(const QString& i_user, const QString& i_file)
{
    if (!sharedFoldersManager)
        return ItemPtr();
    QString path = i_file;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const ItemPtr file = sharedFoldersManager->GetSharedFileItem(path);
    if (!file || !IsFileVisibleTo(file, i_user))
        return ItemPtr();
    return file;
}

bool TransferQueueManager::RequeueExistingUpload(const ItemPtr& i_user, const ItemPtr& i_file)
{
    const ItemPtr entry = d->GetItem(i_user, i_file, types::kUploadEntry);
    if (!entry)
        return false;
    const ItemPtr status = entry[types::kUploadEntryStatus];
    if (status.AsString() == QLatin1String("queued") || IsActiveStatus(status))
    {
        Log(kArea, 2, QStringLiteral("Already queued"), i_user);
        return true;
    }
    Log(kArea, 2, QStringLiteral("%1, re-queueing").arg(status.AsString()), i_user);
    SetUploadEntryStatus(entry, QStringLiteral("queued"));
    StartNewUploads();
    return true;
}

qint64 TransferQueueManager::TakeOrderNumber()
{
    const qint64 number = GetSettingNumber(settings::kTransferOrderCounter);
    SetSettingNumber(settings::kTransferOrderCounter, number + 1);
    return number;
}

ItemPtr TransferQueueManager::NewUploadEntry(const ItemPtr& i_user, const ItemPtr& i_file,
                                             const QString& i_file_as_requested)
{
    ItemPtr entry = GetType(types::kUploadEntry)->NewItem();
    entry.Connect(i_user);
    entry.Connect(i_file);
    entry.Connect(GetType(types::kFilenameAsRequested)->GetItem(i_file_as_requested));
    SetUploadEntryStatus(entry, QStringLiteral("queued"));
    entry.Connect(GetType(types::kUploadOrder)->GetItem(Value(TakeOrderNumber())));
    OrderNewUpload(entry);
    Log(kArea, 2, QStringLiteral("Queued"), i_user);
    Outbox().TrackUser(i_user.AsString());
    return entry;
}

void TransferQueueManager::OnQueueUploadRequested(QString i_user, QString i_file)
{
    ItemPtr user = GetType(types::kUser)->GetItem(i_user);
    Log(kArea, 1, QStringLiteral("Queue upload requested by %1 for file %2").arg(i_user, i_file), user);

    const ItemPtr file = FindSharedFileFor(i_user, i_file);
    if (!file)
    {
        Log(kArea, 2, QStringLiteral("Denied, file not shared"), user);
        Outbox().DenyUpload(i_user, i_file, QStringLiteral("File not shared."));
        return;
    }
    if (RequeueExistingUpload(user, file))
        return;

    const ItemPtr queued = GetType(types::kUploadEntryStatus)->GetItem("queued");
    qint64 queuedCount = 0;
    for (const ItemPtr& entry : user.GetItems(types::kUploadEntry))
        queuedCount += entry.IsConnected(queued) ? 1 : 0;
    if (queuedCount >= GetSettingNumber(settings::kMaxQueuedUploadsPerUser))
    {
        Log(kArea, 2, QStringLiteral("Denied, too many files already queued by user"), user);
        Outbox().DenyUpload(i_user, i_file, QStringLiteral("Too many files"));
        return;
    }

    NewUploadEntry(user, file, i_file);

    if (IsSettingOn(settings::kCheckForEmptyShares) && !user.IsConnected(types::kEmptyShareCheckStatus)
        && !user.IsConnected(types::kInUserList))
    {
        Outbox().GetUserSharedFiles(i_user);
        user.Connect(GetType(types::kEmptyShareCheckStatus)->GetItem("requested"));
    }
    StartNewUploads();
}

bool TransferQueueManager::AddUpload(QString i_user, QString i_file)
{
    const ItemPtr user = GetType(types::kUser)->GetItem(i_user);
    Log(kArea, 1, QStringLiteral("Initiating upload to %1 of file %2").arg(i_user, i_file), user);
    const ItemPtr file = FindSharedFileFor(i_user, i_file);
    if (!file)
    {
        Log(kArea, 2,
            QStringLiteral("Can't upload, file is either not shared or not shared with that particular user."), user);
        return false;
    }
    Outbox().QueueUpload(i_user, i_file, file[types::kSharedFileSize].AsInt64());
    if (RequeueExistingUpload(user, file))
        return true;
    NewUploadEntry(user, file, i_file);
    StartNewUploads();
    return true;
}

bool TransferQueueManager::CanAcceptUserInitiatedUploadsFrom(QString i_user)
{
    const ItemPtr user = GetType(types::kUser)->HasItem(i_user);
    const ItemPtr inList = user[types::kInUserList];
    if (!inList)
        return false;
    if (IsSettingOn(settings::kAcceptUserlistUploads))
        return true;
    for (const ItemPtr& group : inList.GetItems(types::kUserListGroup))
        if (group.IsConnected(types::kAcceptUploads))
            return true;
    return false;
}

void TransferQueueManager::UnshareUser(QString i_user)
{
    ItemPtr user = GetType(types::kUser)->GetItem(i_user);
    user.Connect(GetType(types::kUnshared)->GetGlobalNullItem());
    const ItemSet entries = user.GetItems(types::kUploadEntry);
    bool freedSlot = false;
    for (const ItemPtr& entry : entries)
    {
        Outbox().DenyUpload(i_user, entry[types::kFilenameAsRequested].AsString(), QStringLiteral("File not shared."));
        freedSlot = DropUploadEntry(entry) || freedSlot;
    }
    // Only once all are gone, or a slot freed here would go to this user's next entry.
    if (freedSlot)
    {
        DetermineUploadSpeedLimit();
        StartNewUploads();
    }
}

void TransferQueueManager::ReshareUser(QString i_user)
{
    GetType(types::kUser)->GetItem(i_user).Disconnect(types::kUnshared);
}

// ---- order and start ----

int TransferQueueManager::GetUserGroupDownloadPriority(QString i_user)
{
    return GroupPriorityOf(GetType(types::kUser)->HasItem(i_user));
}

bool TransferQueueManager::UploadEntrySortCompare(ItemPtr i_a, ItemPtr i_b)
{
    const ItemPtr userA = i_a[types::kUser];
    const ItemPtr userB = i_b[types::kUser];
    const int priorityA = GroupPriorityOf(userA);
    const int priorityB = GroupPriorityOf(userB);
    if (priorityA != priorityB)
        return priorityA > priorityB;
    const bool privilegedA = userA && userA.IsConnected(types::kIsPrivileged);
    const bool privilegedB = userB && userB.IsConnected(types::kIsPrivileged);
    if (privilegedA != privilegedB)
        return privilegedA;
    return i_a[types::kUploadOrder].AsInt64() < i_b[types::kUploadOrder].AsInt64();
}

void TransferQueueManager::OrderNewUpload(ItemPtr i_entry)
{
    Type* orderType = GetType(types::kEffectiveUploadOrder);
    std::vector<ItemPtr> list;
    bool loaded = false;
    const auto load = [&] {
        list = ByOrder(GetType(types::kUploadEntry)->GetItems(), types::kEffectiveUploadOrder);
        list.erase(std::remove(list.begin(), list.end(), i_entry), list.end());
        loaded = true;
        m_lastOrderedUpload = list.empty() ? ItemPtr() : list.back();
    };

    if (!m_lastOrderedUpload)
    {
        load();
        if (!m_lastOrderedUpload)
        {
            i_entry.Connect(orderType->GetItem(Value(1)));
            m_lastOrderedUpload = i_entry;
            return;
        }
    }
    if (UploadEntrySortCompare(m_lastOrderedUpload, i_entry))
    {
        const qint64 next = m_lastOrderedUpload[types::kEffectiveUploadOrder].AsInt64() + 1;
        i_entry.Connect(orderType->GetItem(Value(next)));
        m_lastOrderedUpload = i_entry;
        return;
    }
    if (!loaded)
        load();
    auto place = list.begin();
    while (place != list.end() && !UploadEntrySortCompare(i_entry, *place))
        ++place;
    list.insert(place, i_entry);
    qint64 number = 1;
    for (ItemPtr& entry : list)
        entry.Connect(orderType->GetItem(Value(number++)));
}

void TransferQueueManager::StartNewUploads()
{
    Type* statusType = GetType(types::kUploadEntryStatus);
    const ItemSet runningStatuses = GetType(types::kIsActive)->GetGlobalNullItem().GetItems(types::kUploadEntryStatus);
    std::unordered_set<std::uint64_t> busyUsers;
    qint64 running = 0;
    for (const ItemPtr& status : runningStatuses)
    {
        for (const ItemPtr& entry : status.GetItems(types::kUploadEntry))
        {
            ++running;
            busyUsers.insert(entry[types::kUser].GetSerial());
        }
    }
    qint64 freeSlots = GetSettingNumber(settings::kUploadSlots) - running;
    if (freeSlots <= 0)
        return;

    // One walk over the queued entries; every pass touches all of them, so the walk holds no extra
    // handles: an entry is named by its place in the set, a user by its serial.
    struct Candidate
    {
        qint64 order;
        ItemPtr orderItem;
        std::uint64_t user;
        std::uint32_t entry;
    };
    std::vector<Candidate> candidates;
    const ItemSet queued = statusType->GetItem("queued").GetItems(types::kUploadEntry);
    candidates.reserve(queued.size());
    std::unordered_map<std::uint64_t, bool> online;
    online.reserve(std::min<std::size_t>(queued.size(), 4096));
    Type* userType = GetType(types::kUser);
    Type* onlineType = GetType(types::kIsOnline);
    Type* orderType = GetType(types::kEffectiveUploadOrder);
    std::uint32_t position = 0;
    for (auto entry = queued.begin(); entry != queued.end(); ++entry, ++position)
    {
        std::uint64_t user = 0;
        {
            const ItemPtr owner = (*entry)[userType];
            user = owner.GetSerial();
            auto known = online.find(user);
            if (known == online.end())
                known = online.emplace(user, owner && owner[onlineType]).first;
            if (!known->second)
                continue;
        }
        if (ItemPtr order = (*entry)[orderType])
        {
            const qint64 number = order.AsInt64();
            candidates.push_back({number, std::move(order), user, position});
        }
    }
    if (candidates.empty())
        return;
    // Ranked by order, ties kept in walk order. The walk mostly meets the entries in their order
    // already; otherwise plain pairs are sorted, which keeps the handles still.
    const auto byOrder = [](const Candidate& i_a, const Candidate& i_b) { return i_a.order < i_b.order; };
    const bool walkIsRanked = std::is_sorted(candidates.begin(), candidates.end(), byOrder);
    std::vector<std::pair<qint64, std::size_t>> ranks;
    if (!walkIsRanked)
    {
        ranks.reserve(candidates.size());
        for (std::size_t n = 0; n < candidates.size(); ++n)
            ranks.emplace_back(candidates[n].order, n);
        std::sort(ranks.begin(), ranks.end());
    }
    const auto ranked = [&](std::size_t i_rank) -> Candidate& {
        return walkIsRanked ? candidates[i_rank] : candidates[ranks[i_rank].second];
    };

    Type* tokenType = GetType(types::kTransferReq);
    std::vector<ItemPtr> revoked;
    // When entries left the queue the rest move up: the number an entry gets is mostly one that a
    // later-ranked entry held, so the old numbers, ascending like the new ones, are walked beside
    // them before the store's value index is asked.
    std::size_t held = 0;
    for (std::size_t rank = 0; rank < candidates.size(); ++rank)
    {
        const qint64 index = static_cast<qint64>(rank);
        Candidate& candidate = ranked(rank);
        ItemPtr entry = *(queued.begin() + candidate.entry);
        if (candidate.order != index)
        {
            while (held < candidates.size() && ranked(held).order < index)
                ++held;
            if (held < candidates.size() && ranked(held).order == index && ranked(held).orderItem)
                entry.Connect(ranked(held).orderItem);
            else
                entry.Connect(orderType->GetItem(Value(index)));
        }
        if (freeSlots > 0 && busyUsers.count(candidate.user) == 0)
        {
            const ItemPtr user = entry[userType];
            // Access may have been taken away while the entry waited (folder unshared, user out of
            // the folder's group): asked now, the file would be refused.
            const ItemPtr file = entry[types::kSharedFile];
            if (!file || !IsFileVisibleTo(file, user.AsString()))
            {
                revoked.push_back(entry);
                continue;
            }
            const uint token = Outbox().RequestUpload(user.AsString(), entry[types::kFilenameAsRequested].AsString(),
                                                      entry[types::kSharedFile][types::kSharedFileSize].AsInt64());
            SetUploadEntryStatus(entry, QStringLiteral("requesting"));
            entry.Connect(tokenType->GetItem(Value(token)));
            --freeSlots;
            busyUsers.insert(candidate.user);
            DetermineUploadSpeedLimit();
        }
    }
    // Denied as a new request for the file would be, once the walk no longer holds the entries.
    for (const ItemPtr& entry : revoked)
    {
        const ItemPtr user = entry[userType];
        Log(kArea, 2, QStringLiteral("Denied at start, file no longer shared with the user"), user);
        Outbox().DenyUpload(user.AsString(), entry[types::kFilenameAsRequested].AsString(),
                            QStringLiteral("File not shared."));
        DropUploadEntry(entry);
    }
}

void TransferQueueManager::OnUploadPlaceInLineRequested(QString i_user, QString i_fileName)
{
    const ItemPtr user = GetType(types::kUser)->HasItem(i_user);
    const ItemPtr name = GetType(types::kFilenameAsRequested)->HasItem(i_fileName);
    if (!user || !name)
        return;
    const ItemPtr entry = d->GetItem(user, name, types::kUploadEntry);
    const ItemPtr order = entry[types::kEffectiveUploadOrder];
    if (!order)
        return;
    Outbox().SendUploadPlaceInLine(i_user, i_fileName, order.AsInt());
}

int TransferQueueManager::QueuedUploadCount()
{
    return static_cast<int>(GetType(types::kUploadEntryStatus)->GetItem("queued").GetItems(types::kUploadEntry).size());
}

bool TransferQueueManager::IsFreeToUpload()
{
    return GetSetting(settings::kUploadSlots).toUInt() > static_cast<uint>(ActiveUploadCount());
}

void TransferQueueManager::DetermineUploadsEffectiveOrder()
{
    std::vector<ItemPtr> entries;
    for (const ItemPtr& entry : GetType(types::kUploadEntry)->GetItems())
        entries.push_back(entry);
    std::stable_sort(entries.begin(), entries.end(),
                     [this](const ItemPtr& i_a, const ItemPtr& i_b) { return UploadEntrySortCompare(i_a, i_b); });
    Type* orderType = GetType(types::kEffectiveUploadOrder);
    qint64 number = 0;
    for (ItemPtr& entry : entries)
        entry.Connect(orderType->GetItem(Value(number++)));
}

void TransferQueueManager::AssertNoExtraUploads()
{
    const int running = ActiveUploadCount();
    const qint64 slotCount = GetSettingNumber(settings::kUploadSlots);
    // More can run for a while after the setting was lowered; worth a line, not a stop.
    if (running > slotCount)
        Log(kArea, 1, QStringLiteral("%1 uploads running with %2 slots").arg(running).arg(slotCount));
}

// ---- status ----

void TransferQueueManager::SetUploadEntryStatus(ItemPtr i_entry, QString i_status)
{
    const bool wasRunning = IsActiveStatus(i_entry[types::kUploadEntryStatus]);
    const ItemPtr status = GetType(types::kUploadEntryStatus)->GetItem(i_status);
    i_entry.Connect(status);
    SetTransferTime(i_entry, types::kLastStatusChangeTime);
    if (!wasRunning || IsActiveStatus(status))
        return;

    TearDownUpload(i_entry);
    if (i_status == QLatin1String("aborted"))
    {
        const ItemPtr user = i_entry[types::kUser];
        Log(kArea, 1,
            QStringLiteral("Upload of %1 to %2 aborted, sending upload failed notification.")
                .arg(i_entry[types::kSharedFile][types::kSharedFileName].AsString(), user.AsString()),
            user);
        MemStream message =
            PeerMessages::BuildUploadFailed(i_entry[types::kFilenameAsRequested].AsString().toStdString());
        Outbox().SendMessage(user.AsString(), message);
    }
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::TearDownUpload(ItemPtr i_entry)
{
    ReleaseTransferObjects(i_entry, types::kUploadThread, types::kUploadFile, types::kUploadSocket);
    if (ItemPtr item = i_entry[types::kReadPosition])
    {
        delete item.AsPointer<PositionCell>();
        i_entry.Disconnect(item);
    }
    for (const char* type : {types::kLastReceiptTime, types::kLastSpeedMeasurementTime, types::kBytesPerSecond})
        if (ItemPtr item = i_entry[type])
            item.Remove();
}

void TransferQueueManager::ForgetOrderedUpload(const ItemPtr& i_entry)
{
    if (m_lastOrderedUpload == i_entry)
        m_lastOrderedUpload = ItemPtr();
}

bool TransferQueueManager::DropUploadEntry(ItemPtr i_entry)
{
    if (!i_entry)
        return false;
    const bool wasRunning = IsActiveStatus(i_entry[types::kUploadEntryStatus]);
    TearDownUpload(i_entry);
    ForgetOrderedUpload(i_entry);
    i_entry.Remove();
    return wasRunning;
}

void TransferQueueManager::RemoveUpload(ItemPtr i_entry)
{
    // A freed slot would otherwise wait for the next time-out, and the others keep a smaller share.
    if (DropUploadEntry(i_entry))
    {
        DetermineUploadSpeedLimit();
        StartNewUploads();
    }
}
