#include "UserInfoReply.h"

#include "Data.h"
#include "FrameCodec.h"
#include "Log.h"
#include "PeerMessages.h"
#include "ShellSchema.h"
#include "TransferQueueManager.h"
#include "TransfersSchema.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <limits>

namespace UserInfoReply
{
namespace
{
const QString LogArea = QStringLiteral("Users");

// Every field of the reply but the description's and the picture's bytes.
constexpr qint64 FixedReplyBytes = 4 + 4 + 1 + 4 + 4 + 4 + 1;

// The whole file, when it is a readable file that fits in the room.
bool ReadPicture(const QString& i_path, qint64 i_room, QByteArray& o_bytes)
{
    if (i_path.isEmpty())
        return false;
    QFile file(i_path);
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
    {
        Log(LogArea, 1, QStringLiteral("The user picture %1 cannot be read; sent without it").arg(i_path));
        return false;
    }
    const qint64 size = file.size();
    if (size > i_room)
    {
        Log(LogArea, 1,
            QStringLiteral("The user picture %1 is too large to send (%2 bytes)").arg(i_path, QString::number(size)));
        return false;
    }
    o_bytes = file.read(size);
    return o_bytes.size() == size;
}
// "png", "jpeg", "gif" or "bmp" as the bytes begin; empty for anything else.
QByteArray PictureFormat(const QByteArray& i_bytes)
{
    if (i_bytes.startsWith("\x89PNG\r\n\x1a\n"))
        return "png";
    if (i_bytes.startsWith("\xff\xd8\xff"))
        return "jpeg";
    if (i_bytes.startsWith("GIF87a") || i_bytes.startsWith("GIF89a"))
        return "gif";
    if (i_bytes.startsWith("BM"))
        return "bmp";
    return QByteArray();
}
} // namespace

MemStream BuildOwn()
{
    const QString description = GetSetting(settings::kUserDescription);
    const qint64 room = qint64(FrameCodec::MaxFrameLength) - FixedReplyBytes - description.toUtf8().size();
    QByteArray picture;
    const bool hasPicture = ReadPicture(GetSetting(settings::kUserPictureFile), room, picture);
    const qint64 slotSetting = GetSettingNumber(settings::kUploadSlots);
    const qint32 uploadSlots =
        qint32(qBound<qint64>(std::numeric_limits<qint32>::min(), slotSetting, std::numeric_limits<qint32>::max()));
    const int queued = transferQueueManager ? transferQueueManager->QueuedUploadCount() : 0;
    const bool free = transferQueueManager && transferQueueManager->IsFreeToUpload();
    return PeerMessages::BuildUserInfoReply(description, hasPicture, picture, uploadSlots, queued, free);
}

QImage DecodePicture(const char* ip_bytes, int i_length)
{
    if (!ip_bytes || i_length <= 0)
        return QImage();
    // Only formats whose header gives the real size and that name no other file: an icon can
    // hold a larger picture than its directory says, and a vector picture can name local files.
    // The format is told by the first bytes, before any decoder is asked: asking them which
    // reads the bytes can make one decode a whole picture of another format first.
    QByteArray bytes = QByteArray::fromRawData(ip_bytes, i_length);
    const QByteArray format = PictureFormat(bytes);
    if (format.isEmpty())
    {
        Log(LogArea, 1,
            QStringLiteral("A received user picture that is no PNG, JPEG, GIF or BMP is not shown (it begins %1)")
                .arg(QString::fromLatin1(bytes.left(8).toHex())));
        return QImage();
    }
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    reader.setAutoDetectImageFormat(false);
    QSize size = reader.size();
    // A GIF is decoded into a canvas of its logical screen, which its header gives apart from the
    // frame the reader reports: 27 bytes can ask for hundreds of megabytes.
    if (format == "gif" && size.isValid() && i_length >= 10)
    {
        const auto le16 = [ip_bytes](int i_at) {
            return int(uchar(ip_bytes[i_at])) | int(uchar(ip_bytes[i_at + 1])) << 8;
        };
        size = size.expandedTo(QSize(le16(6), le16(8)));
    }
    if (!size.isValid() || qint64(size.width()) * size.height() > MaxPicturePixels)
    {
        Log(LogArea, 1,
            QStringLiteral("A received user picture of %1 x %2 is not shown").arg(size.width()).arg(size.height()));
        return QImage();
    }
    QSize shown = size;
    if (size.width() > PictureWidth || size.height() > PictureHeight)
    {
        shown = size.scaled(PictureWidth, PictureHeight, Qt::KeepAspectRatio);
        reader.setScaledSize(shown);
    }
    QImage image = reader.read();
    if (!image.isNull() && qint64(image.width()) * image.height() > qint64(shown.width()) * shown.height())
    {
        Log(LogArea, 1, QStringLiteral("A received user picture is larger than its header said; not shown"));
        return QImage();
    }
    return image;
}
} // namespace UserInfoReply
