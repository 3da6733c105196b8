#include "TransferTally.h"

#include "TransferCells.h"

#include <algorithm>
#include <limits>

namespace
{
constexpr qint64 kMaxBytes = std::numeric_limits<qint64>::max();

qint64 Clamped(__int128 i_bytes)
{
    return i_bytes > kMaxBytes ? kMaxBytes : i_bytes < 0 ? 0 : qint64(i_bytes);
}

qint64 SaturatedSum(qint64 i_a, qint64 i_b)
{
    return i_a > kMaxBytes - i_b ? kMaxBytes : i_a + i_b;
}
} // namespace

TransferTally::TransferTally(const QString& i_runningStatus, const char* i_entryType, const char* i_positionType)
    : m_runningStatus(i_runningStatus)
    , m_entryType(i_entryType)
    , m_positionType(i_positionType)
{
}

void TransferTally::Add(const ItemPtr& i_entry, qint64 i_size, const void* i_folder, const void* i_user)
{
    Remove(i_entry);
    const Record record{TallyKind::Other, i_size, i_folder, i_user};
    m_records.emplace(i_entry.GetSerial(), record);
    Count(record, 1);
}

void TransferTally::SetStatus(const ItemPtr& i_entry, const QString& i_status)
{
    const auto found = m_records.find(i_entry.GetSerial());
    if (found == m_records.end())
        return;
    Count(found->second, -1);
    found->second.kind = KindOfStatus(i_status, m_runningStatus);
    Count(found->second, 1);
}

void TransferTally::Remove(const ItemPtr& i_entry)
{
    const auto found = m_records.find(i_entry.GetSerial());
    if (found == m_records.end())
        return;
    Count(found->second, -1);
    m_records.erase(found);
}

void TransferTally::Count(const Record& i_record, int i_sign)
{
    CountIn(i_record.folder, i_record, i_sign);
    CountIn(i_record.user, i_record, i_sign);
}

void TransferTally::CountIn(const void* i_row, const Record& i_record, int i_sign)
{
    TallyCounts& counts = m_groups[i_row];
    counts.entries += i_sign;
    counts.kinds[int(i_record.kind)] += i_sign;
    if (i_record.kind == TallyKind::Complete)
        counts.completeBytes += __int128(i_sign) * i_record.size;
    if (CountsSize(i_record.kind))
        counts.countedBytes += __int128(i_sign) * i_record.size;
    if (counts.entries == 0)
        m_groups.erase(i_row);
}

QString TransferTally::GroupStatusOf(const void* i_row) const
{
    const auto found = m_groups.find(i_row);
    return GroupStatus(found == m_groups.end() ? TallyCounts() : found->second, m_runningStatus);
}

int TransferTally::UnfinishedIn(const void* i_row, const ItemPtr& i_except) const
{
    const auto group = m_groups.find(i_row);
    if (group == m_groups.end())
        return 0;
    int unfinished = group->second.entries - group->second.Count(TallyKind::Complete);
    const auto except = i_except ? m_records.find(i_except.GetSerial()) : m_records.end();
    if (except != m_records.end() && except->second.kind != TallyKind::Complete
        && (except->second.folder == i_row || except->second.user == i_row))
        --unfinished;
    return unfinished;
}

ProgressSums TransferTally::Base(const void* i_row) const
{
    ProgressSums sums;
    const auto found = m_groups.find(i_row);
    if (found != m_groups.end())
    {
        sums.done = Clamped(found->second.completeBytes);
        sums.total = Clamped(found->second.countedBytes);
    }
    return sums;
}

void TransferTally::Sums(const void* i_folder, const void* i_user, ProgressSums& o_folder, ProgressSums& o_user) const
{
    o_folder = Base(i_folder);
    o_user = Base(i_user);
    // Only transfers under way have a position cell: a handful, however many rows there are.
    Type* entryType = d->GetType(m_entryType);
    for (const ItemPtr& cell : d->GetType(m_positionType)->GetItems())
    {
        // A cell item already unlinked from its entry may stand for freed memory: skip it.
        const ItemPtr entry = cell[entryType];
        if (!entry)
            continue;
        const auto found = m_records.find(entry.GetSerial());
        if (found == m_records.end() || !CountsPosition(found->second.kind))
            continue;
        const PositionCell* position = cell.AsPointer<PositionCell>();
        const qint64 done = position ? std::max<qint64>(0, position->load()) : 0;
        if (found->second.folder == i_folder)
            o_folder.done = SaturatedSum(o_folder.done, done);
        if (found->second.user == i_user)
            o_user.done = SaturatedSum(o_user.done, done);
    }
    o_folder.remaining = std::max<qint64>(0, o_folder.total - o_folder.done);
    o_user.remaining = std::max<qint64>(0, o_user.total - o_user.done);
}
