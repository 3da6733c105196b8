#pragma once

#include "Data.h"
#include "TransferDisplay.h"

#include <cstdint>
#include <unordered_map>

struct ProgressSums
{
    qint64 done = 0;
    qint64 remaining = 0;
    qint64 total = 0;
};

// The group statuses and progress sums of one tree's folder and user rows, kept up to date as
// entries come, change status and go, so that neither a new row nor a progress report has to
// walk every entry of its user: at start-up that walk made the rows' cost grow with their square.
class TransferTally
{
public:
    // i_entryType: "download_entry" or "upload_entry"; i_positionType: the type of their
    // position cells, which exist while a transfer thread runs.
    TransferTally(const QString& i_runningStatus, const char* i_entryType, const char* i_positionType);

    // The entry counts for the two rows (any keys) from now on, with no status yet.
    void Add(const ItemPtr& i_entry, qint64 i_size, const void* i_folder, const void* i_user);
    void SetStatus(const ItemPtr& i_entry, const QString& i_status);
    void Remove(const ItemPtr& i_entry);

    QString GroupStatusOf(const void* i_row) const;
    // The row's entries whose status is not "complete", i_except left out.
    int UnfinishedIn(const void* i_row, const ItemPtr& i_except = ItemPtr()) const;
    // The sums of both rows; positions are read from the cells of the transfers under way.
    void Sums(const void* i_folder, const void* i_user, ProgressSums& o_folder, ProgressSums& o_user) const;

private:
    struct Record
    {
        TallyKind kind = TallyKind::Other;
        qint64 size = 0;
        const void* folder = nullptr;
        const void* user = nullptr;
    };

    void Count(const Record& i_record, int i_sign);
    void CountIn(const void* i_row, const Record& i_record, int i_sign);
    ProgressSums Base(const void* i_row) const;

    QString m_runningStatus;
    const char* m_entryType;
    const char* m_positionType;
    std::unordered_map<std::uint64_t, Record> m_records; // by entry serial
    std::unordered_map<const void*, TallyCounts> m_groups;
};
