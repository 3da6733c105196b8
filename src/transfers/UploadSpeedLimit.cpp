// The total upload speed limit, shared out among the running uploads.
#include "TransferQueueManager.h"
#include "TransfersSchema.h"

#include "EngineClock.h"
#include "TransferCells.h"

namespace
{
ItemSet ActiveUploads()
{
    return d->GetType(types::kUploadEntry)
        ->GetItems()
        .Connected(d->GetType(types::kUploadEntryStatus)->GetItems().Connected(types::kIsActive));
}
} // namespace

void TransferQueueManager::DetermineUploadSpeedLimit()
{
    bool isNumber = false;
    int total = GetSetting(settings::kUploadSpeedLimit).toInt(&isNumber);
    if (!isNumber)
        total = 0;
    if (total < 1 || !IsSettingOn(settings::kUploadSpeedLimitEnabled))
    {
        m_uploadLimit.Clear();
        return;
    }

    const ItemSet active = ActiveUploads();
    const int count = static_cast<int>(active.size());
    const int share = count > 0 ? total / count : total;
    m_uploadLimit.Set(total, share == 0 ? 1 : share);

    const qint64 now = EngineClock::NowMs();
    for (const ItemPtr& entry : active)
    {
        if (TimeCell* cell = TransferCell<TimeCell>(entry, types::kLastSpeedMeasurementTime))
            cell->store(now);
        if (CounterCell* cell = TransferCell<CounterCell>(entry, types::kBytesSinceLastReceipt))
            cell->store(0);
    }
}

int TransferQueueManager::GetUploadSpeed()
{
    return m_uploadLimit.Total();
}

void TransferQueueManager::SetUploadSlots(int i_slots)
{
    if (i_slots < 1 || i_slots > 99)
        return;
    const qint64 old = GetSettingNumber(settings::kUploadSlots);
    SetSetting(settings::kUploadSlots, QString::number(i_slots));
    if (i_slots > old)
        StartNewUploads();
}

void TransferQueueManager::SetUploadSpeedLimit(int i_limit)
{
    SetSetting(settings::kUploadSpeedLimit, QString::number(i_limit));
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::EnableUploadSpeedLimit(bool i_on)
{
    SetSettingOn(settings::kUploadSpeedLimitEnabled, i_on);
    DetermineUploadSpeedLimit();
}
