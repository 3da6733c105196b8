// The decoder of the picture in another user's information: any bytes, any announced size.

#include "FuzzTarget.h"
#include "UserInfoReply.h"

#include <QBuffer>
#include <QImage>

void FuzzSeeds(std::vector<QByteArray>& o_seeds)
{
    for (const char* format : {"PNG", "JPEG", "BMP", "GIF", "PPM"})
    {
        QImage image(40, 30, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        if (image.save(&buffer, format))
            o_seeds.push_back(bytes);
    }
    // A header that announces far more pixels than any picture is shown with.
    o_seeds.push_back(QByteArray("P5\n60000 60000\n255\n") + QByteArray(64, '\0'));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    FuzzEnvironment();
    UserInfoReply::DecodePicture(reinterpret_cast<const char*>(ip_data), int(i_size));
    return 0;
}
