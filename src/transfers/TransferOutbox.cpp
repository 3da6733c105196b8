#include "TransferOutbox.h"

#include "PeerMessenger.h"
#include "Server.h"

void TransferOutbox::QueueDownload(const QString& i_user, const std::string& i_file)
{
    if (peerMessenger)
        peerMessenger->QueueDownload(i_user, i_file);
}

void TransferOutbox::QueueUpload(const QString& i_user, const QString& i_file, qint64 i_size)
{
    if (peerMessenger)
        peerMessenger->QueueUpload(i_user, i_file, i_size);
}

uint TransferOutbox::RequestUpload(const QString& i_user, const QString& i_file, qint64 i_size)
{
    return peerMessenger ? peerMessenger->RequestUpload(i_user, i_file, i_size) : 0;
}

void TransferOutbox::AcceptTransferRequest(const QString& i_user, uint i_token, bool i_sendSize, qint64 i_size)
{
    if (peerMessenger)
        peerMessenger->AcceptTransferRequest(i_user, i_token, i_sendSize, i_size);
}

void TransferOutbox::DenyTransferRequest(const QString& i_user, uint i_token, const QString& i_reason)
{
    if (peerMessenger)
        peerMessenger->DenyTransferRequest(i_user, i_token, i_reason);
}

void TransferOutbox::DenyUpload(const QString& i_user, const QString& i_file, const QString& i_reason)
{
    if (peerMessenger)
        peerMessenger->DenyUpload(i_user, i_file, i_reason);
}

void TransferOutbox::SendUploadPlaceInLine(const QString& i_user, const QString& i_file, int i_place)
{
    if (peerMessenger)
        peerMessenger->SendUploadPlaceInLine(i_user, i_file, i_place);
}

void TransferOutbox::RequestFileConnectionToUser(const QString& i_user)
{
    if (peerMessenger)
        peerMessenger->RequestFileConnectionToUser(i_user);
}

void TransferOutbox::GetUserSharedFiles(const QString& i_user)
{
    if (peerMessenger)
        peerMessenger->GetUserSharedFiles(i_user);
}

void TransferOutbox::SendMessage(const QString& i_user, MemStream& i_message)
{
    if (peerMessenger)
        peerMessenger->SendMessage(i_user, i_message);
}

void TransferOutbox::TrackUser(const QString& i_user)
{
    if (gp_server)
        gp_server->TrackUser(i_user);
}

void TransferOutbox::SendPrivateChat(const QString& i_user, const QString& i_text)
{
    if (gp_server)
        gp_server->SendPrivateChat(i_user, i_text);
}
