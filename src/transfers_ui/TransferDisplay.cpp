#include "TransferDisplay.h"

#include "ShellSchema.h"
#include "TextUtils.h"

namespace
{
double Percent(qint64 i_done, qint64 i_total)
{
    // A zero-byte file has nothing left to move; dividing by its size would not be a number.
    return i_total > 0 ? double(i_done) * 100.0 / double(i_total) : 100.0;
}
} // namespace

QString ProgressText(qint64 i_done, qint64 i_total)
{
    return QStringLiteral("%1 (%2%)").arg(CommafyNumber(i_done), QString::number(Percent(i_done, i_total), 'f', 1));
}

int ProgressValue(qint64 i_done, qint64 i_total)
{
    return int(Percent(i_done, i_total));
}

QString SpeedText(qint64 i_bytesPerSecond)
{
    return QString::number(double(i_bytesPerSecond) * 0.0009765625, 'f', 1);
}

qint64 SecondsLeft(qint64 i_remaining, qint64 i_bytesPerSecond)
{
    return i_bytesPerSecond > 0 ? i_remaining / i_bytesPerSecond : 0;
}

QString TimeLeftText(qint64 i_seconds)
{
    QString text = QStringLiteral("%1s").arg(i_seconds % 60);
    if (i_seconds >= 60)
        text = QStringLiteral("%1m:").arg((i_seconds / 60) % 60) + text;
    if (i_seconds >= 3600)
        text = QStringLiteral("%1h:").arg(i_seconds / 3600) + text;
    return QStringLiteral("   ") + text;
}

QString StatusColorSetting(const QString& i_status)
{
    if (i_status == QLatin1String("complete"))
        return settings::kColorTransferComplete;
    if (i_status == QLatin1String("downloading") || i_status == QLatin1String("uploading")
        || i_status == QLatin1String("connecting"))
        return settings::kColorTransferInProgress;
    if (i_status == QLatin1String("queued"))
        return settings::kColorTransferQueued;
    if (i_status == QLatin1String("denied") || i_status == QLatin1String("aborted")
        || i_status == QLatin1String("local error"))
        return settings::kColorTransferFailed;
    return settings::kColorTransferOther;
}

TallyKind KindOfStatus(const QString& i_status, const QString& i_runningStatus)
{
    if (i_status == i_runningStatus)
        return TallyKind::Running;
    if (i_status == QLatin1String("queued"))
        return TallyKind::Queued;
    if (i_status == QLatin1String("complete"))
        return TallyKind::Complete;
    if (i_status == QLatin1String("denied"))
        return TallyKind::Denied;
    if (i_status == QLatin1String("aborted"))
        return TallyKind::Aborted;
    return TallyKind::Other;
}

QString GroupStatus(const TallyCounts& i_counts, const QString& i_runningStatus)
{
    if (i_counts.Count(TallyKind::Running) > 0)
        return i_runningStatus;
    if (i_counts.Count(TallyKind::Queued) > 0)
        return QStringLiteral("queued");
    if (i_counts.Count(TallyKind::Complete) == i_counts.entries)
        return QStringLiteral("complete");
    if (i_counts.Count(TallyKind::Denied) > 0)
        return QStringLiteral("denied");
    if (i_counts.Count(TallyKind::Aborted) > 0)
        return QStringLiteral("aborted");
    return QString();
}
