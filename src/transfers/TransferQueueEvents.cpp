// Peer, thread and timer events of the engine. The upload queue, the download queue and the
// transfer threads answer them; until those stand, the engine accepts them and does nothing.
#include "TransferQueueManager.h"

#include <QTcpSocket>

void TransferQueueManager::OnFileTransferRequest(QString, int, uint, std::string, qint64)
{
}

void TransferQueueManager::OnFileConnection(QString, QTcpSocket* ip_socket, uint)
{
    // The socket is ours once handed over; nobody can use it yet.
    if (ip_socket) {
        ip_socket->close();
        ip_socket->deleteLater();
    }
}

void TransferQueueManager::OnQueueUploadRequested(QString, QString)
{
}

void TransferQueueManager::OnQueueDownloadRequested(QString, std::string, qint64)
{
}

void TransferQueueManager::OnFileConnectionAccepted(QString, QTcpSocket* ip_socket)
{
    if (ip_socket) {
        ip_socket->close();
        ip_socket->deleteLater();
    }
}

void TransferQueueManager::OnFileTransferResponse(QString, uint, bool, bool, qint64, QString)
{
}

void TransferQueueManager::OnUploadFailedNotification(QString, std::string)
{
}

void TransferQueueManager::OnUploadDeniedNotification(QString, std::string, QString)
{
}

void TransferQueueManager::EveryHalfMinute()
{
}

void TransferQueueManager::OnDownloadPlaceInLine(QString, std::string, int)
{
}

void TransferQueueManager::OnUploadError(QString)
{
}

void TransferQueueManager::OnUploadProgress(qint64, int)
{
}

void TransferQueueManager::OnUploadComplete()
{
}

void TransferQueueManager::OnDownloadError(QString)
{
}

void TransferQueueManager::OnDownloadProgress(qint64, int)
{
}

void TransferQueueManager::OnDownloadComplete()
{
}

void TransferQueueManager::DetermineUploadsEffectiveOrder()
{
}

void TransferQueueManager::OnUploadPlaceInLineRequested(QString, QString)
{
}

void TransferQueueManager::OnUserShare(QString, FileInfoMap&, AttributeTranslationTable&)
{
}

void TransferQueueManager::OnUserOnline(ItemPtr)
{
}

void TransferQueueManager::DetermineUploadSpeedLimit()
{
}
