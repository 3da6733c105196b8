#include "PeerMessages.h"

#include "FrameCodec.h"

namespace PeerMessages
{
namespace
{
// The code goes out as a uint32 whatever type the caller's constant has.
template<typename... T> MemStream Start(quint32 i_code, const T&... i_fields)
{
    return StreamOf(i_code, i_fields...);
}

// Reads a whole message or nothing.
template<typename F> bool ReadAll(InputStream& i_in, F i_fields)
{
    MemStream& stream = i_in.GetStream();
    const size_t start = stream.GetReadPos();
    if (i_fields())
        return true;
    stream.SetReadPos(start);
    return false;
}
} // namespace

MemStream BuildGetSharedFileList()
{
    return Start(PM_GET_SHARED_FILE_LIST);
}

MemStream BuildUserInfoRequest()
{
    return Start(PM_USER_INFO_REQUEST);
}

MemStream BuildTransferRequest(qint32 i_direction, quint32 i_token, const QString& i_file, qint64 i_size)
{
    MemStream message = Start(PM_TRANSFER_REQUEST);
    OutputStream out(message);
    out.Write(i_direction);
    out.Write(i_token);
    out.Write(i_file);
    if (i_direction == 1)
        out.Write(i_size);
    return message;
}

MemStream BuildTransferAccept(quint32 i_token, bool i_withSize, qint64 i_size)
{
    MemStream message = Start(PM_TRANSFER_RESPONSE);
    OutputStream out(message);
    out.Write(i_token);
    out.Write(quint8(1));
    if (i_withSize)
        out.Write(i_size);
    return message;
}

MemStream BuildTransferDeny(quint32 i_token, const QString& i_reason)
{
    return Start(PM_TRANSFER_RESPONSE, i_token, quint8(0), i_reason);
}

MemStream BuildQueueUpload(const std::string& i_file)
{
    return Start(PM_QUEUE_UPLOAD, i_file);
}

MemStream BuildUploadPlaceInLine(const QString& i_file, qint32 i_place)
{
    return Start(PM_UPLOAD_PLACE_IN_LINE, i_file, i_place);
}

MemStream BuildUploadFailed(const std::string& i_file)
{
    return Start(PM_UPLOAD_FAILED, i_file);
}

MemStream BuildUploadDenied(const QString& i_file, const QString& i_reason)
{
    return Start(PM_UPLOAD_DENIED, i_file, i_reason);
}

MemStream BuildUploadPlaceInLineRequest(const QString& i_file)
{
    return Start(PM_UPLOAD_PLACE_IN_LINE_REQUEST, i_file);
}

MemStream BuildUploadOffer(const QString& i_file, qint64 i_size)
{
    return Start(PM_UPLOAD_OFFER, i_file, i_size);
}

MemStream BuildGetSharedFilesInFolder(quint32 i_token, const QString& i_folder)
{
    return Start(PM_GET_SHARED_FILES_IN_FOLDER, i_token, i_folder);
}

MemStream BuildUserInfoReply(const QString& i_description, bool i_hasPicture, const QByteArray& i_picture,
                             qint32 i_uploadSlots, qint32 i_queuedUploads, bool i_freeUploadSlots)
{
    MemStream message = Start(PM_USER_INFO_REPLY);
    OutputStream out(message);
    out.Write(i_description);
    out.Write(quint8(i_hasPicture ? 1 : 0));
    if (i_hasPicture)
    {
        out.Write(qint32(i_picture.size()));
        out.WriteRaw(i_picture.constData(), size_t(i_picture.size()));
    }
    out.Write(i_uploadSlots);
    out.Write(i_queuedUploads);
    out.Write(quint8(i_freeUploadSlots ? 1 : 0));
    return message;
}

bool TransferRequest::Read(InputStream& i_in)
{
    return ReadAll(i_in, [&] {
        if (!i_in.Read(direction) || !i_in.Read(token) || !i_in.Read(file))
            return false;
        size = 0;
        // A negative size is no file's: the request is malformed.
        return direction != 1 || (i_in.Read(size) && size >= 0);
    });
}

bool TransferResponse::Read(InputStream& i_in)
{
    return ReadAll(i_in, [&] {
        quint8 flag = 0;
        if (!i_in.Read(token) || !i_in.Read(flag))
            return false;
        accepted = flag != 0;
        receivedFileSize = false;
        size = 0;
        reason.clear();
        if (!accepted)
            return i_in.Read(reason);
        if (i_in.GetStream().BytesLeft() == 0)
            return true;
        // Anything after the flag must be a whole int64.
        receivedFileSize = i_in.Read(size) && size >= 0;
        return receivedFileSize;
    });
}

bool FileAndPlace::Read(InputStream& i_in)
{
    return ReadAll(i_in, [&] { return i_in.Read(file) && i_in.Read(place); });
}

bool UploadDenied::Read(InputStream& i_in)
{
    return ReadAll(i_in, [&] { return i_in.Read(file) && i_in.Read(reason); });
}

bool UploadOffer::Read(InputStream& i_in)
{
    return ReadAll(i_in, [&] { return i_in.Read(file) && i_in.Read(size) && size >= 0; });
}

bool FolderRequest::Read(InputStream& i_in)
{
    return ReadAll(i_in, [&] { return i_in.Read(token) && i_in.Read(folder); });
}

bool UserInfoReply::Read(InputStream& i_in)
{
    return ReadAll(i_in, [&] {
        quint8 flag = 0;
        if (!i_in.Read(description) || !i_in.Read(flag))
            return false;
        hasPicture = flag != 0;
        picture.clear();
        if (hasPicture)
        {
            // The picture is bounded by the frame, not by the count limit: pictures are larger.
            qint32 length = 0;
            if (!i_in.Read(length) || length < 0 || size_t(length) > i_in.GetStream().BytesLeft())
                return false;
            picture.resize(length);
            if (length > 0 && !i_in.ReadRaw(picture.data(), size_t(length)))
                return false;
        }
        quint8 free = 0;
        if (!i_in.Read(uploadSlots) || !i_in.Read(queuedUploads) || !i_in.Read(free))
            return false;
        freeUploadSlots = free != 0;
        return true;
    });
}
} // namespace PeerMessages
