// The audio header scanner: the scanner's own block-wise reading of a file and the header
// analysis fed the same bytes from memory must give one answer. The first byte repeats the rest
// so that inputs reach past one block.

#include "FuzzTarget.h"
#include "MP3Scanner.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

void FuzzSeeds(std::vector<QByteArray>& o_seeds)
{
    // MPEG-1 layer III frames of 192 kbit/s at 44.1 kHz, joint stereo, each 626 bytes long.
    QByteArray frame(626, '\0');
    frame[0] = char(0xFF);
    frame[1] = char(0xFB);
    frame[2] = char(0xB0);
    frame[3] = char(0x64);
    o_seeds.push_back(QByteArray(1, char(0)) + frame.repeated(20));
    o_seeds.push_back(QByteArray(1, char(110)) + frame); // 111 frames: past one block
    QByteArray mixed = frame;
    mixed[2] = char(0x90); // 128 kbit/s: a variable rate
    o_seeds.push_back(QByteArray(1, char(3)) + frame + mixed.left(418) + frame);
    o_seeds.push_back(QByteArray(1, char(0)) + QByteArray("ID3\3\0\0\0\0\0\x0a", 10) + frame.repeated(3));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    static QTemporaryDir* s_dir = new QTemporaryDir;
    if (i_size < 2)
        return 0;
    const QByteArray bytes = FuzzBytes(ip_data + 1, i_size - 1).repeated(1 + ip_data[0] % 128);
    const QString path = s_dir->filePath(QStringLiteral("input.mp3"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        std::abort();
    file.close();

    MP3Scanner scanner;
    int version = 0;
    QString mode;
    int frequency = 0;
    bool isVbr = false;
    int bitrate = -1;
    const bool scanned = scanner.ScanMP3(path, version, mode, frequency, isVbr, bitrate);

    MP3HeaderAnalysis analysis;
    for (int at = 0; at < bytes.size(); at += MP3HeaderAnalysis::BlockSize)
        analysis.AddBlock(reinterpret_cast<const unsigned char*>(bytes.constData()) + at,
                          std::min(MP3HeaderAnalysis::BlockSize, bytes.size() - at));
    MP3ScanResult result;
    const bool decided = analysis.Decide(result);
    if (scanned != decided
        || (scanned
            && (version != result.mpegVersion || mode != result.channelMode || frequency != result.frequency
                || isVbr != result.isVBR || bitrate != result.bitrate)))
        std::abort();
    return 0;
}
