// File connections and transfer-thread reports; until the transfer threads stand, the engine
// accepts them and does nothing.
#include "TransferQueueManager.h"

#include <QTcpSocket>

void TransferQueueManager::OnFileConnection(QString, QTcpSocket* ip_socket, uint)
{
    // The socket is ours once handed over; nobody can use it yet.
    if (ip_socket) {
        ip_socket->close();
        ip_socket->deleteLater();
    }
}

void TransferQueueManager::OnFileConnectionAccepted(QString, QTcpSocket* ip_socket)
{
    if (ip_socket) {
        ip_socket->close();
        ip_socket->deleteLater();
    }
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

void TransferQueueManager::DetermineUploadSpeedLimit()
{
}
