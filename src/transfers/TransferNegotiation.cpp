// Whether a transfer starts: transfer requests from other users, the answers to ours, and the
// uploader's denial and failure notices.
#include "TransferQueueManager.h"

#include "Log.h"
#include "PeerSchema.h"
#include "RegularFile.h"
#include "ServerSchema.h"
#include "SharesSchema.h"
#include "TextUtils.h"
#include "TransferOutbox.h"
#include "TransfersSchema.h"

#include <QFile>

namespace
{
const QString kArea = QStringLiteral("Transfer Queue");
}

void TransferQueueManager::OnFileTransferRequest(QString i_user, int i_direction, uint i_req, std::string i_file,
                                                 qint64 i_fileSize)
{
    if (i_direction != 1)
    {
        Outbox().DenyTransferRequest(i_user, i_req, QStringLiteral("Queued"));
        OnQueueUploadRequested(i_user, ToQString(i_file));
        return;
    }

    const ItemPtr user = GetType(types::kUser)->GetItem(i_user);
    Log(kArea, 1,
        QStringLiteral("Received upload request from %1 for file %2, req %3")
            .arg(i_user, ToQString(i_file), QString::number(i_req)),
        user);
    const std::string name = GetFileName(i_file);
    const std::string folder = GetFolder(i_file);
    ItemPtr entry = GetDownloadEntry(i_user, name, folder);
    if (!entry)
    {
        if (!CanAcceptUserInitiatedUploadsFrom(i_user))
        {
            Log(kArea, 2, QStringLiteral("Denied, Cancelled"), user);
            Outbox().DenyTransferRequest(i_user, i_req, QStringLiteral("Cancelled"));
            return;
        }
        entry = GetType(types::kDownloadEntry)->NewItem();
        entry.Connect(user);
        entry.Connect(GetType(types::kFileName)->GetItem(Value(name)));
        entry.Connect(GetType(types::kRemoteFolder)->GetItem(Value(folder)));
        entry.Connect(GetType(types::kFileSize)->GetItem(Value(i_fileSize)));
        entry.Connect(GetType(types::kSubfolderSaveLevel)->GetItem(Value(0)));
        entry.Connect(GetType(types::kDownloadOrder)->GetItem(Value(TakeOrderNumber())));
        Outbox().TrackUser(i_user);
        SetDownloadEntryStatus(entry, QStringLiteral("queued"));
    }

    if (entry[types::kDownloadEntryStatus].AsString() == QLatin1String("complete"))
    {
        Log(kArea, 2, QStringLiteral("Denied, Complete"), user);
        Outbox().DenyTransferRequest(i_user, i_req, QStringLiteral("Complete"));
        return;
    }

    ItemPtr token = GetType(types::kRemoteTransferReq)->GetItem(Value(i_req));
    for (ItemPtr holder : token.GetItems(types::kDownloadEntry))
        if (holder[types::kUser] == user)
            holder.Disconnect(token);
    entry.Connect(token);

    if (entry[types::kDownloadEntryStatus].AsString() == QLatin1String("downloading"))
    {
        Log(kArea, 2, QStringLiteral("Transfer is already downloading, cancelling..."), user);
        SetDownloadEntryStatus(entry, QStringLiteral("aborted"));
    }
    Outbox().AcceptTransferRequest(i_user, i_req, false, 0);
    Log(kArea, 2, QStringLiteral("Accepted"), user);
}

void TransferQueueManager::OnFileTransferResponse(QString i_user, uint i_req, bool i_accepted, bool, qint64,
                                                  QString i_denialReason)
{
    const ItemPtr user = GetType(types::kUser)->HasItem(i_user);
    Log(kArea, 1,
        QStringLiteral("Received file transfer response from user %1 for req %2, transfer %3")
            .arg(i_user, QString::number(i_req),
                 i_accepted ? QStringLiteral("accepted") : QStringLiteral("not accepted")),
        user);
    const ItemPtr token = GetType(types::kTransferReq)->HasItem(Value(i_req));
    if (!token)
    {
        Log(kArea, 2, QStringLiteral("req not found"), user);
        return;
    }
    if (token[types::kDownloadEntry])
    {
        Log(kArea, 2, QStringLiteral("Found download, not processing"), user);
        return;
    }
    ItemPtr entry = token[types::kUploadEntry];
    if (!entry)
    {
        Log(kArea, 2, QStringLiteral("Neither upload or download attached to req, weird"), user);
        return;
    }
    Log(kArea, 2, QStringLiteral("Found upload"), user);
    if (entry[types::kUser].AsString() != i_user)
    {
        Log(kArea, 2,
            QStringLiteral("Upload user %1 not the same as user who opened the connection, not doing anything")
                .arg(entry[types::kUser].AsString()),
            user);
        return;
    }
    if (!i_accepted)
    {
        Log(kArea, 2, QStringLiteral("Upload was not accepted, marking denied. Reason: %1").arg(i_denialReason), user);
        entry.Connect(GetType(types::kDenialReason)->GetItem(i_denialReason));
        SetUploadEntryStatus(entry, QStringLiteral("denied"));
        StartNewUploads();
        return;
    }
    const QString status = entry[types::kUploadEntryStatus].AsString();
    if (status != QLatin1String("requesting"))
    {
        Log(kArea, 2,
            QStringLiteral("Upload no longer in requesting phase, instead status is %1. Not processing.").arg(status),
            user);
        return;
    }
    BeginUploadConnection(entry);
}

// The one place where an accepted upload turns to the file-connection side: the file is open and
// a file connection is asked for; OnFileConnectionAccepted takes it from there.
void TransferQueueManager::BeginUploadConnection(ItemPtr i_entry)
{
    const ItemPtr user = i_entry[types::kUser];
    const ItemPtr shared = i_entry[types::kSharedFile];
    QString path =
        shared[types::kSharedFileFolder].AsString() + QLatin1Char('/') + shared[types::kSharedFileName].AsString();
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    // A path that is no regular file any more (a pipe put in its place) is refused without
    // waiting on it, as a file that cannot be read.
    auto* file = new QFile;
    if (!OpenRegularFile(path, *file))
    {
        delete file;
        Log(kArea, 2,
            QStringLiteral("File could not be opened, marking local error and sending denial message. Shouldn't we "
                           "have done this before we requested the transfer?"),
            user);
        // The peer finds its download by the path it asked for, not by our local one.
        Outbox().DenyUpload(user.AsString(), i_entry[types::kFilenameAsRequested].AsString(),
                            QStringLiteral("File read error."));
        SetUploadEntryStatus(i_entry, QStringLiteral("local error"));
        StartNewUploads();
        return;
    }
    Log(kArea, 2, QStringLiteral("Requesting file connection to user"), user);
    Outbox().RequestFileConnectionToUser(user.AsString());
    i_entry.Connect(GetType(types::kUploadFile)->GetItem(Value(file)));
    SetUploadEntryStatus(i_entry, QStringLiteral("connecting"));
}

void TransferQueueManager::OnUploadDeniedNotification(QString i_user, std::string i_file, QString i_reason)
{
    const ItemPtr user = GetType(types::kUser)->HasItem(i_user);
    Log(kArea, 1,
        QStringLiteral("Received peer notification from %1 that upload of %2 was denied, reason: %3")
            .arg(i_user, ToQString(i_file), i_reason),
        user);
    ItemPtr entry = GetDownloadEntry(i_user, GetFileName(i_file), GetFolder(i_file));
    if (!entry)
    {
        Log(kArea, 2, QStringLiteral("Download not found."), user);
        return;
    }
    // The file is here already: a peer that stops sharing it later (it denies every entry it
    // still lists for us) must not turn the finished download into a failed one.
    if (entry[types::kDownloadEntryStatus].AsString() == QLatin1String("complete"))
    {
        Log(kArea, 2, QStringLiteral("Download already complete, denial ignored."), user);
        return;
    }
    Log(kArea, 2, QStringLiteral("Download found, marking as denied."), user);
    entry.Connect(GetType(types::kDenialReason)->GetItem(i_reason));
    SetDownloadEntryStatus(entry, QStringLiteral("denied"));
}

void TransferQueueManager::OnUploadFailedNotification(QString i_user, std::string i_file)
{
    const ItemPtr user = GetType(types::kUser)->HasItem(i_user);
    Log(kArea, 1,
        QStringLiteral("Received peer notification from %1 that upload of %2 failed").arg(i_user, ToQString(i_file)),
        user);
    ItemPtr entry = GetDownloadEntry(i_user, GetFileName(i_file), GetFolder(i_file));
    if (!entry)
    {
        Log(kArea, 2, QStringLiteral("Download not found."), user);
        return;
    }
    Log(kArea, 2, QStringLiteral("Download found!"), user);
    QueueDownloadIfUserOnline(entry);
    SetTransferTime(entry[types::kUser], types::kLastQueueRequestTime);
}
