#pragma once

#include "MemStream.h"

#include <QString>

#include <string>

// Everything the queue logic sends to other clients and to the server goes through here. The
// default forwards to the peer messenger and the server connection; tests record instead.
class TransferOutbox
{
public:
    virtual ~TransferOutbox() = default;

    virtual void QueueDownload(const QString& i_user, const std::string& i_file);
    virtual void QueueUpload(const QString& i_user, const QString& i_file, qint64 i_size);
    virtual uint RequestUpload(const QString& i_user, const QString& i_file, qint64 i_size);
    virtual void AcceptTransferRequest(const QString& i_user, uint i_token, bool i_sendSize, qint64 i_size);
    virtual void DenyTransferRequest(const QString& i_user, uint i_token, const QString& i_reason);
    virtual void DenyUpload(const QString& i_user, const QString& i_file, const QString& i_reason);
    virtual void SendUploadPlaceInLine(const QString& i_user, const QString& i_file, int i_place);
    virtual void RequestFileConnectionToUser(const QString& i_user);
    virtual void GetUserSharedFiles(const QString& i_user);
    virtual void SendMessage(const QString& i_user, MemStream& i_message);
    virtual void TrackUser(const QString& i_user);
    virtual void SendPrivateChat(const QString& i_user, const QString& i_text);
};
