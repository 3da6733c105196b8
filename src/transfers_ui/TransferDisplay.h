#pragma once

// What the transfers window writes into its cells: texts for progress, speed and time left,
// the colour of a status, and the group status of a set of entries.

#include <QString>

// "1,234,567 (50.0%)". A file of no bytes counts as done.
QString ProgressText(qint64 i_done, qint64 i_total);
// The percentage truncated, as the progress bar shows it.
int ProgressValue(qint64 i_done, qint64 i_total);
// Kilobytes per second with one decimal: 1536 gives "1.5".
QString SpeedText(qint64 i_bytesPerSecond);
// Whole seconds; 0 without a speed.
qint64 SecondsLeft(qint64 i_remaining, qint64 i_bytesPerSecond);
// "   1h:2m:5s": aligned under the column's header; hours are not folded into days.
QString TimeLeftText(qint64 i_seconds);

// The colour setting of a status text (an empty group status included).
QString StatusColorSetting(const QString& i_status);

// How a status counts for the group status and the progress sums of the rows above it.
enum class TallyKind
{
    Running, // "downloading" in the downloads tree, "uploading" in the uploads tree
    Queued,
    Complete,
    Denied,
    Aborted,
    Other, // no status, "local error", and the uploads' steps before the bytes flow
};
constexpr int TallyKindCount = 6;

TallyKind KindOfStatus(const QString& i_status, const QString& i_runningStatus);

// Entries of a group by kind, and the bytes the progress sums count.
struct TallyCounts
{
    int entries = 0;
    int kinds[TallyKindCount] = {};
    // Sums of sizes up to 2^63 - 1 each, wider than any one size so that they never overflow.
    __int128 completeBytes = 0; // sizes of the complete entries
    __int128 countedBytes = 0;  // sizes of the entries the progress counts

    int Count(TallyKind i_kind) const { return kinds[int(i_kind)]; }
};

// The first rule that holds: one running, one queued, all complete (also none), one denied,
// one aborted; otherwise "".
QString GroupStatus(const TallyCounts& i_counts, const QString& i_runningStatus);

// Complete entries count their size; running, queued and aborted ones their position.
inline bool CountsPosition(TallyKind i_kind)
{
    return i_kind == TallyKind::Running || i_kind == TallyKind::Queued || i_kind == TallyKind::Aborted;
}
inline bool CountsSize(TallyKind i_kind)
{
    return i_kind == TallyKind::Complete || CountsPosition(i_kind);
}
