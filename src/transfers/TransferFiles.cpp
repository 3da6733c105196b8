// File connections taken over from the peer network, the threads that move the bytes, and
// what the engine does with their reports.
#include "TransferQueueManager.h"

#include "DownloadPaths.h"
#include "DownloadThread.h"
#include "EngineClock.h"
#include "Log.h"
#include "PeerSchema.h"
#include "Server.h"
#include "ServerSchema.h"
#include "SharesSchema.h"
#include "TransferCells.h"
#include "TransfersSchema.h"
#include "UploadThread.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QtEndian>

namespace
{
const QString kArea = QStringLiteral("Transfer Queue");

void DropSocket(QTcpSocket* ip_socket)
{
    ip_socket->disconnect();
    ip_socket->close();
    ip_socket->deleteLater();
}

void UpdateProgressCells(ItemPtr i_entry, const char* i_positionType, qint64 i_offset, int i_bytesPerSecond)
{
    if (PositionCell* position = TransferCell<PositionCell>(i_entry, i_positionType))
        position->store(i_offset);
    if (SpeedCell* speed = TransferCell<SpeedCell>(i_entry, types::kBytesPerSecond))
        speed->store(i_bytesPerSecond);
    if (TimeCell* receipt = TransferCell<TimeCell>(i_entry, types::kLastReceiptTime))
        receipt->store(EngineClock::NowMs());
}
} // namespace

ItemPtr TransferQueueManager::EntryOfThread(QObject* ip_sender, const char* i_threadType, const char* i_entryType)
{
    auto* thread = dynamic_cast<TransferThread*>(ip_sender);
    if (!thread)
        return ItemPtr();
    return GetType(i_threadType)->HasItem(Value(thread))[i_entryType];
}

// ---- uploading side ----

void TransferQueueManager::OnFileConnectionAccepted(QString i_user, QTcpSocket* ip_socket)
{
    const ItemPtr user = GetType(types::kUser)->HasItem(i_user);
    const ItemPtr connecting = GetType(types::kUploadEntryStatus)->HasItem(QStringLiteral("connecting"));
    ItemPtr entry;
    if (user && connecting)
        entry = d->GetItem(user, connecting, types::kUploadEntry);
    auto* file = entry ? entry[types::kUploadFile].AsPointer<QFile>() : nullptr;
    if (!file)
    {
        ip_socket->disconnect();
        ip_socket->deleteLater();
        return;
    }

    entry.Connect(GetType(types::kUploadSocket)->GetItem(Value(ip_socket)));
    const qint64 now = EngineClock::NowMs();
    auto* receipt = new TimeCell(now);
    auto* measurement = new TimeCell(now);
    auto* speed = new SpeedCell(0);
    auto* sinceReceipt = new CounterCell(0);
    SetUploadEntryStatus(entry, QStringLiteral("uploading"));
    entry.Connect(GetType(types::kLastReceiptTime)->GetItem(Value(receipt)));
    entry.Connect(GetType(types::kLastSpeedMeasurementTime)->GetItem(Value(measurement)));
    entry.Connect(GetType(types::kBytesPerSecond)->GetItem(Value(speed)));
    entry.Connect(GetType(types::kBytesSinceLastReceipt)->GetItem(Value(sinceReceipt)));
    NewTransferCell<PositionCell>(entry, types::kReadPosition, 0);

    const quint32 token = entry[types::kTransferReq].AsUInt();
    ip_socket->disconnect();
    auto* thread = new UploadThread(ip_socket, file, token, m_uploadLimit);
    entry.Connect(GetType(types::kUploadThread)->GetItem(Value(static_cast<TransferThread*>(thread))));
    connect(thread, &UploadThread::UploadError, this, &TransferQueueManager::OnUploadError);
    connect(thread, &UploadThread::UploadProgress, this, &TransferQueueManager::OnUploadProgress);
    connect(thread, &UploadThread::UploadComplete, this, &TransferQueueManager::OnUploadComplete);
    thread->start();
}

void TransferQueueManager::OnUploadProgress(qint64 i_offset, int i_bytesPerSecond)
{
    const ItemPtr entry = EntryOfThread(sender(), types::kUploadThread, types::kUploadEntry);
    if (!entry)
        return;
    UpdateProgressCells(entry, types::kReadPosition, i_offset, i_bytesPerSecond);
    emit UploadProgressed(entry);
}

void TransferQueueManager::OnUploadComplete()
{
    const ItemPtr entry = EntryOfThread(sender(), types::kUploadThread, types::kUploadEntry);
    if (!entry)
        return;
    const SpeedCell* speed = TransferCell<SpeedCell>(entry, types::kBytesPerSecond);
    const int bytesPerSecond = speed ? speed->load() : 0;
    Log(kArea, 1, QStringLiteral("Recording upload speed of %1").arg(bytesPerSecond));
    if (entry[types::kSharedFile][types::kSharedFileSize].AsInt64() > 1048576 && bytesPerSecond > 0 && gp_server)
        gp_server->SendUploadSpeed(bytesPerSecond);
    SetUploadEntryStatus(entry, QStringLiteral("complete"));
    StartNewUploads();
}

void TransferQueueManager::OnUploadError(QString i_reason)
{
    const ItemPtr entry = EntryOfThread(sender(), types::kUploadThread, types::kUploadEntry);
    if (!entry)
        return;
    const ItemPtr file = entry[types::kSharedFile];
    const ItemPtr user = entry[types::kUser];
    Log(kArea, 1,
        QStringLiteral("Error uploading %1 to %2. %3")
            .arg(file[types::kSharedFileFolder].AsString() + QLatin1Char('/') + file[types::kSharedFileName].AsString(),
                 user.AsString(), i_reason),
        user);
    SetUploadEntryStatus(entry, QStringLiteral("aborted"));
    StartNewUploads();
}

// ---- downloading side ----

bool TransferQueueManager::IsPartialFileInUse(const ItemPtr& i_entry, const QString& i_path)
{
    const ItemPtr downloading = GetType(types::kDownloadEntryStatus)->HasItem(QStringLiteral("downloading"));
    if (!downloading)
        return false;
    for (const ItemPtr& other : downloading.GetItems(types::kDownloadEntry))
    {
        if (other != i_entry
            && QDir::cleanPath(DownloadPaths::LocalPath(GetDownloadTargetPath(other, false))) == i_path)
            return true;
    }
    return false;
}

void TransferQueueManager::OnFileConnection(QString i_user, QTcpSocket* ip_socket, uint i_requestID)
{
    const ItemPtr user = GetType(types::kUser)->HasItem(i_user);
    Log(kArea, 1,
        QStringLiteral("File connection created by user %1 for req %2").arg(i_user, QString::number(i_requestID)),
        user);
    const ItemPtr req = GetType(types::kRemoteTransferReq)->HasItem(QString::number(i_requestID));
    ItemPtr entry;
    if (user && req)
        entry = d->GetItem(user, req, types::kDownloadEntry);
    if (!entry)
    {
        DropSocket(ip_socket);
        Log(kArea, 2, QStringLiteral("Download not found, aborting"), user);
        return;
    }

    // A second writer on a running download, or on a file that is done, would corrupt it.
    const QString status = entry[types::kDownloadEntryStatus].AsString();
    if (status == QLatin1String("downloading") || status == QLatin1String("complete"))
    {
        DropSocket(ip_socket);
        Log(kArea, 2, QStringLiteral("Download is %1 already, aborting").arg(status), user);
        return;
    }

    const QString folder = DownloadPaths::LocalPath(GetDownloadTargetFolder(entry, false));
    const QString path = QDir::cleanPath(DownloadPaths::LocalPath(GetDownloadTargetPath(entry, false)));
    if (IsPartialFileInUse(entry, path))
    {
        DropSocket(ip_socket);
        Log(kArea, 2, QStringLiteral("Another download is writing to %1, aborting").arg(path), user);
        return;
    }

    QDir().mkpath(folder);
    auto* file = new QFile(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append))
    {
        SetDownloadEntryStatus(entry, QStringLiteral("local error"));
        delete file;
        DropSocket(ip_socket);
        Log(kArea, 2, QStringLiteral("Could not open file, aborting"), user);
        return;
    }

    const qint64 offset = file->pos();
    const qint64 size = entry[types::kFileSize].AsInt64();
    // Resuming past the end would never finish; the partial file is kept for the user to see.
    if (offset > size)
    {
        SetDownloadEntryStatus(entry, QStringLiteral("local error"));
        file->close();
        delete file;
        DropSocket(ip_socket);
        Log(kArea, 2,
            QStringLiteral("Partial file of %1 bytes is longer than the file of %2 bytes, aborting")
                .arg(offset)
                .arg(size),
            user);
        return;
    }

    char bytes[8];
    qToLittleEndian<qint64>(offset, bytes);
    ip_socket->write(bytes, 8);
    ip_socket->flush();

    const qint64 now = EngineClock::NowMs();
    auto* position = new PositionCell(offset);
    auto* receipt = new TimeCell(now);
    auto* measurement = new TimeCell(now);
    auto* speed = new SpeedCell(0);
    auto* sinceReceipt = new CounterCell(0);
    entry.Connect(GetType(types::kDownloadSocket)->GetItem(Value(ip_socket)));
    entry.Connect(GetType(types::kDownloadFile)->GetItem(Value(file)));
    entry.Connect(GetType(types::kWritePosition)->GetItem(Value(position)));
    SetDownloadEntryStatus(entry, QStringLiteral("downloading"));
    entry.Connect(GetType(types::kLastReceiptTime)->GetItem(Value(receipt)));
    entry.Connect(GetType(types::kLastSpeedMeasurementTime)->GetItem(Value(measurement)));
    entry.Connect(GetType(types::kBytesPerSecond)->GetItem(Value(speed)));
    entry.Connect(GetType(types::kBytesSinceLastReceipt)->GetItem(Value(sinceReceipt)));

    ip_socket->disconnect();
    auto* thread = new DownloadThread(ip_socket, file, size, offset);
    entry.Connect(GetType(types::kDownloadThread)->GetItem(Value(static_cast<TransferThread*>(thread))));
    connect(thread, &DownloadThread::DownloadError, this, &TransferQueueManager::OnDownloadError);
    connect(thread, &DownloadThread::DownloadProgress, this, &TransferQueueManager::OnDownloadProgress);
    connect(thread, &DownloadThread::DownloadComplete, this, &TransferQueueManager::OnDownloadComplete);
    thread->start();
    Log(kArea, 2, QStringLiteral("Downloading"), user);
}

void TransferQueueManager::OnDownloadProgress(qint64 i_offset, int i_bytesPerSecond)
{
    const ItemPtr entry = EntryOfThread(sender(), types::kDownloadThread, types::kDownloadEntry);
    if (!entry)
        return;
    UpdateProgressCells(entry, types::kWritePosition, i_offset, i_bytesPerSecond);
    emit DownloadProgressed(entry);
}

void TransferQueueManager::OnDownloadError(QString i_reason)
{
    const ItemPtr entry = EntryOfThread(sender(), types::kDownloadThread, types::kDownloadEntry);
    if (!entry)
        return;
    const ItemPtr user = entry[types::kUser];
    Log(kArea, 1,
        QStringLiteral("Error downloading %1 from %2. %3")
            .arg(entry[types::kFileName].AsString(), user.AsString(), i_reason),
        user);
    SetDownloadEntryStatus(entry, QStringLiteral("aborted"));
}

void TransferQueueManager::OnDownloadComplete()
{
    auto* thread = dynamic_cast<TransferThread*>(sender());
    const ItemPtr entry = EntryOfThread(sender(), types::kDownloadThread, types::kDownloadEntry);
    if (!entry)
        return;
    thread->wait();

    const QString from = DownloadPaths::LocalPath(GetDownloadTargetPath(entry, false));
    const QString completeFolder = GetDownloadTargetFolder(entry, true);
    const QString folder = DownloadPaths::LocalPath(completeFolder);
    QDir().mkpath(folder);
    // The name made safe as for the partial file: a peer's "../x" stays inside the folder.
    const QString to = DownloadPaths::LocalPath(GetDownloadTargetPath(entry, true));
    const ItemPtr user = entry[types::kUser];
    if (!QFile::rename(from, to))
    {
        // The bytes stay where they are; a retry finds them, or the complete file once the
        // way into the complete folder is clear.
        Log(kArea, 1, QStringLiteral("Could not move %1 to %2, marking local error").arg(from, to), user);
        SetDownloadEntryStatus(entry, QStringLiteral("local error"));
        return;
    }
    SetDownloadEntryStatus(entry, QStringLiteral("complete"));
    RemoveDownloadDownloadingFolderIfAppropriate(entry);

    const ItemPtr folderItem = GetType(types::kCompleteDownloadFolder)->GetItem(completeFolder);
    // The record names the file as it lies on disk.
    const ItemPtr nameItem = GetType(types::kCompleteDownloadFilename)
                                 ->GetItem(DownloadPaths::SafePathComponent(entry[types::kFileName].AsString()));
    ItemSet atUser = user.GetItems(types::kCompleteDownload);
    for (const ItemPtr& record : atUser)
    {
        if (record.IsConnected(folderItem) && record.IsConnected(nameItem))
            return;
    }
    ItemPtr record = GetType(types::kCompleteDownload)->NewItem();
    record.Connect(user);
    record.Connect(folderItem);
    record.Connect(GetType(types::kCompleteDownloadRelativeFolder)->GetItem(GetDownloadRelativeDownloadFolder(entry)));
    record.Connect(nameItem);
    record.Connect(GetType(types::kCompleteDownloadFileSize)->GetItem(entry[types::kFileSize].AsString()));
    record.Connect(
        GetType(types::kCompleteDownloadCompletionTime)->GetItem(QDateTime::currentDateTime().toString(Qt::TextDate)));
    // The search windows relate a download to the search it came from; without them there is none.
    Type* searchType = d->HasType(types::kSearchRequestText) ? GetType(types::kSearchRequestText) : nullptr;
    if (searchType && GetType(types::kDownloadEntry)->IsRelatedTo(searchType))
        if (const ItemPtr search = entry[types::kSearchRequestText])
            record.Connect(search);
    emit CompleteDownloadAdded(record);
}

// ---- teardown ----

void TransferQueueManager::TearDownDownload(ItemPtr i_entry)
{
    ReleaseTransferObjects(i_entry, types::kDownloadThread, types::kDownloadFile, types::kDownloadSocket);
    for (const char* type :
         {types::kWritePosition, types::kLastReceiptTime, types::kLastSpeedMeasurementTime, types::kBytesPerSecond})
        if (ItemPtr item = i_entry[type])
            item.Remove();
}

void TransferQueueManager::RemoveDownload(ItemPtr i_entry)
{
    if (!i_entry)
        return;
    TearDownDownload(i_entry);
    i_entry.Remove();
}

void TransferQueueManager::StopTransferThreads()
{
    // Every thread is asked first, so they all wind down together.
    std::vector<TransferThread*> threads;
    for (const char* type : {types::kUploadThread, types::kDownloadThread})
        for (const ItemPtr& item : GetType(type)->GetItems())
            if (auto* thread = item.AsPointer<TransferThread>())
                threads.push_back(thread);
    for (TransferThread* thread : threads)
        thread->SignalExit();
    for (TransferThread* thread : threads)
        thread->wait();
    // Then every entry lets go of its thread, file and socket: the engine owned them.
    for (const char* side : {"upload", "download"})
    {
        const QByteArray prefix(side);
        const QByteArray thread = prefix + "_thread", file = prefix + "_file", socket = prefix + "_socket";
        const QByteArray entryType = prefix + "_entry";
        ItemSet entries;
        for (const QByteArray& held : {thread, file, socket})
            entries.Add(GetType(held.constData())->GetItems().GetItems(entryType.constData()));
        for (const ItemPtr& entry : entries)
            ReleaseTransferObjects(entry, thread.constData(), file.constData(), socket.constData(), true);
    }
}
