// The total upload speed limit, shared out among the running uploads.
#include "TransferQueueManager.h"

#include "EngineClock.h"
#include "TransferCells.h"

namespace
{
ItemSet ActiveUploads()
{
    return d->GetType("upload_entry")
        ->GetItems()
        .Connected(d->GetType("upload_entry_status")->GetItems().Connected("is_active"));
}
} // namespace

void TransferQueueManager::DetermineUploadSpeedLimit()
{
    bool isNumber = false;
    int total = GetSetting(QStringLiteral("upload_speed_limit")).toInt(&isNumber);
    if (!isNumber)
        total = 0;
    if (total < 1 || !IsSettingOn(QStringLiteral("upload_speed_limit_enabled")))
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
        if (TimeCell* cell = TransferCell<TimeCell>(entry, "last_speed_measurement_time"))
            cell->store(now);
        if (CounterCell* cell = TransferCell<CounterCell>(entry, "bytes_since_last_receipt"))
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
    const qint64 old = GetSettingNumber(QStringLiteral("upload_slots"));
    SetSetting(QStringLiteral("upload_slots"), QString::number(i_slots));
    if (i_slots > old)
        StartNewUploads();
}

void TransferQueueManager::SetUploadSpeedLimit(int i_limit)
{
    SetSetting(QStringLiteral("upload_speed_limit"), QString::number(i_limit));
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::EnableUploadSpeedLimit(bool i_on)
{
    SetSettingOn(QStringLiteral("upload_speed_limit_enabled"), i_on);
    DetermineUploadSpeedLimit();
}
