#pragma once

#include "MemStream.h"

#include <QByteArray>
#include <QString>

#include <string>

// Peer message codes and the builders and readers of their bodies. Every message is the
// uint32 code followed by the body; the connection adds the frame length.
enum PeerMessageCode : quint32
{
    PM_GET_SHARED_FILE_LIST = 4,
    PM_SHARED_FILE_LIST = 5,
    PM_FILE_SEARCH_RESULT = 9,
    PM_USER_INFO_REQUEST = 15,
    PM_USER_INFO_REPLY = 16,
    PM_GET_SHARED_FILES_IN_FOLDER = 36,
    PM_SHARED_FILES_IN_FOLDER = 37,
    PM_TRANSFER_REQUEST = 40,
    PM_TRANSFER_RESPONSE = 41,
    PM_QUEUE_UPLOAD = 43,
    PM_UPLOAD_PLACE_IN_LINE = 44,
    PM_UPLOAD_FAILED = 46,
    PM_UPLOAD_DENIED = 50,
    PM_UPLOAD_PLACE_IN_LINE_REQUEST = 51,
    PM_UPLOAD_OFFER = 60,
};

namespace PeerMessages
{
MemStream BuildGetSharedFileList();
MemStream BuildUserInfoRequest();
MemStream BuildTransferRequest(qint32 i_direction, quint32 i_token, const QString& i_file, qint64 i_size);
MemStream BuildTransferAccept(quint32 i_token, bool i_withSize, qint64 i_size);
MemStream BuildTransferDeny(quint32 i_token, const QString& i_reason);
MemStream BuildQueueUpload(const std::string& i_file);
MemStream BuildUploadPlaceInLine(const QString& i_file, qint32 i_place);
MemStream BuildUploadFailed(const std::string& i_file);
MemStream BuildUploadDenied(const QString& i_file, const QString& i_reason);
MemStream BuildUploadPlaceInLineRequest(const QString& i_file);
MemStream BuildUploadOffer(const QString& i_file, qint64 i_size);
MemStream BuildGetSharedFilesInFolder(quint32 i_token, const QString& i_folder);
MemStream BuildUserInfoReply(const QString& i_description, bool i_hasPicture, const QByteArray& i_picture,
                             qint32 i_uploadSlots, qint32 i_queuedUploads, bool i_freeUploadSlots);

// Readers take the stream positioned after the code and fail, as a whole, when a field
// cannot be read in full.
struct TransferRequest
{
    qint32 direction = 0;
    quint32 token = 0;
    std::string file;
    qint64 size = 0;
    bool Read(InputStream& i_in);
};

struct TransferResponse
{
    quint32 token = 0;
    bool accepted = false;
    bool receivedFileSize = false;
    qint64 size = 0;
    QString reason;
    bool Read(InputStream& i_in);
};

struct FileAndPlace
{
    std::string file;
    qint32 place = 0;
    bool Read(InputStream& i_in);
};

struct UploadDenied
{
    std::string file;
    QString reason;
    bool Read(InputStream& i_in);
};

struct UploadOffer
{
    std::string file;
    qint64 size = 0;
    bool Read(InputStream& i_in);
};

struct FolderRequest
{
    quint32 token = 0;
    QString folder;
    bool Read(InputStream& i_in);
};

struct UserInfoReply
{
    QString description;
    bool hasPicture = false;
    QByteArray picture;
    qint32 uploadSlots = 0;
    qint32 queuedUploads = 0;
    bool freeUploadSlots = false;
    bool Read(InputStream& i_in);
};
} // namespace PeerMessages
