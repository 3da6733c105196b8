// Peer, thread and timer events of the engine. The upload queue, the download queue and the
// transfer threads answer them; until those stand, the engine accepts them and does nothing.
#include "TransferQueueManager.h"

#include <QTcpSocket>

void TransferQueueManager::OnFileTransferRequest(QString, int, uint, std::string, qint64)
{
}


void TransferQueueManager::OnQueueUploadRequested(QString, QString)
{
}

void TransferQueueManager::OnQueueDownloadRequested(QString, std::string, qint64)
{
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

