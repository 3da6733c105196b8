#include "MP3Scanner.h"

#include "RegularFile.h"

#include <QFile>
#include <QMutexLocker>

#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <memory>

namespace
{
// Layer III bit rates in kbit/s by bit-rate index 1..14 (index 0 unused here).
constexpr int kMpeg1Rates[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr int kMpeg2Rates[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};

const char* const kModeNames[4] = {"stereo", "joint stereo", "dual mono", "mono"};
} // namespace

#if defined(__x86_64__)
namespace
{
// Both look at every position a byte 0xFF followed by a byte with its top three bits set, in
// order, and return the first position they did not look at. Loads stay below last + 2.
template<typename Analysis>
__attribute__((target("avx2"))) int ScanAvx2(const unsigned char* ip_data, int i_last, Analysis& io_analysis)
{
    const __m256i ff = _mm256_set1_epi8(char(0xFF));
    const __m256i e0 = _mm256_set1_epi8(char(0xE0));
    int j = 0;
    for (; j + 31 <= i_last; j += 32)
    {
        const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ip_data + j));
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ip_data + j + 1));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(here, ff), _mm256_cmpeq_epi8(_mm256_and_si256(next, e0), e0))));
        while (mask)
        {
            const int at = j + __builtin_ctz(mask);
            io_analysis.AddCandidate(ip_data[at + 1], ip_data[at + 2], ip_data[at + 3]);
            mask &= mask - 1;
        }
    }
    return j;
}

template<typename Analysis> int ScanSse2(const unsigned char* ip_data, int i_last, Analysis& io_analysis)
{
    const __m128i ff = _mm_set1_epi8(char(0xFF));
    const __m128i e0 = _mm_set1_epi8(char(0xE0));
    int j = 0;
    for (; j + 15 <= i_last; j += 16)
    {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ip_data + j));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ip_data + j + 1));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, ff), _mm_cmpeq_epi8(_mm_and_si128(next, e0), e0))));
        while (mask)
        {
            const int at = j + __builtin_ctz(mask);
            io_analysis.AddCandidate(ip_data[at + 1], ip_data[at + 2], ip_data[at + 3]);
            mask &= mask - 1;
        }
    }
    return j;
}

bool Avx2Supported()
{
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}
} // namespace

#endif

void MP3HeaderAnalysis::AddBlock(const unsigned char* ip_data, int i_length)
{
    // A header needs j + 4 < length; anything later in the block is not looked at.
    const int last = i_length - 5;
    int j = 0;
#if defined(__x86_64__)
    j = Avx2Supported() ? ScanAvx2(ip_data, last, *this) : ScanSse2(ip_data, last, *this);
#endif
    while (j <= last)
    {
        const void* hit = std::memchr(ip_data + j, 0xFF, static_cast<size_t>(last - j + 1));
        if (!hit)
            break;
        j = static_cast<int>(static_cast<const unsigned char*>(hit) - ip_data);
        if ((ip_data[j + 1] & 0xE0) == 0xE0)
            AddCandidate(ip_data[j + 1], ip_data[j + 2], ip_data[j + 3]);
        ++j;
    }
}

void MP3HeaderAnalysis::AddCandidate(unsigned char i_b1, unsigned char i_b2, unsigned char i_b3)
{
    int version;
    switch ((i_b1 >> 3) & 3)
    {
    case 3: version = 0; break;
    case 2: version = 1; break;
    case 0: version = 2; break;
    default: return; // reserved
    }
    // Only Layer III headers vote. Encoders pad frames with runs of 0xFF, and every FF FF pair
    // reads as an MPEG-1 Layer I header; letting those vote turns quiet MPEG-2 files into MPEG-1.
    if (((i_b1 >> 1) & 3) != 1)
        return;
    ++m_versionVotes[version];

    const int protection = i_b1 & 1; // 1: no CRC
    ++m_protectionVotes[protection];

    const int frequency = (i_b2 >> 2) & 3;
    if (frequency == 3)
        return;
    ++m_frequencyVotes[frequency];

    const int mode = (i_b3 >> 6) & 3;
    ++m_modeVotes[mode];

    const int rate = i_b2 >> 4;
    if (rate == 0 || rate == 15)
        return;
    ++m_frames[FrameKey(version, protection, frequency, mode, rate)];
    ++m_frameEntries;
}

bool MP3HeaderAnalysis::Decide(MP3ScanResult& o_result) const
{
    const int32_t v1 = m_versionVotes[0], v2 = m_versionVotes[1], v25 = m_versionVotes[2];
    int version;
    if (v1 > v2 && v1 > v25)
        version = 0;
    else if (v2 >= v1 && v2 > v25)
        version = 1;
    else
        return false;

    const int protection = m_protectionVotes[1] > m_protectionVotes[0] ? 1 : 0;

    // Ties go to the higher index and the later mode.
    int frequency = 0;
    for (int i = 1; i < FrequencyCount; ++i)
        if (m_frequencyVotes[i] >= m_frequencyVotes[frequency])
            frequency = i;
    int mode = 0;
    for (int i = 1; i < ModeCount; ++i)
        if (m_modeVotes[i] >= m_modeVotes[mode])
            mode = i;

    if (m_frameEntries == 0)
        return false;

    const int* rates = version == 0 ? kMpeg1Rates : kMpeg2Rates;
    int64_t count = 0;
    int64_t sum = 0;
    for (int rate = 1; rate <= 14; ++rate)
    {
        const int64_t n = m_frames[FrameKey(version, protection, frequency, mode, rate)];
        count += n;
        sum += n * rates[rate];
    }
    if (count == 0)
        return false;

    o_result.mpegVersion = version + 1;
    o_result.channelMode = QString::fromLatin1(kModeNames[mode]);
    o_result.frequency = frequency;
    o_result.bitrate = static_cast<int>(sum / count);
    o_result.isVBR = true;
    // The tables ascend, so walking the indexes walks the bit rates in ascending order.
    for (int rate = 1; rate <= 14; ++rate)
    {
        const int64_t n = m_frames[FrameKey(version, protection, frequency, mode, rate)];
        if (n * 100 / count > 98)
        {
            o_result.isVBR = false;
            o_result.bitrate = rates[rate];
        }
    }
    return true;
}

MP3Scanner::MP3Scanner() = default;

void MP3Scanner::Quit()
{
    QMutexLocker lock(&m_quitMutex);
    m_quit = true;
}

bool MP3Scanner::ScanMP3(QString i_file, int& o_mpegVersion, QString& o_channelMode, int& o_frequency, bool& o_isVBR,
                         int& o_bitrate)
{
    {
        QMutexLocker lock(&m_quitMutex);
        if (m_quit)
            return false;
    }
    o_bitrate = -1;

    // Without blocking: a pipe put where a shared file was, or a device a link points at, would
    // hold this thread, every later request and the shutdown that waits for it.
    QFile file;
    if (!OpenRegularFile(i_file, file, QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    const qint64 size = file.size();
    if (size <= 0)
        return false;

    auto analysis = std::make_unique<MP3HeaderAnalysis>();
    auto buffer = std::make_unique<unsigned char[]>(MP3HeaderAnalysis::BlockSize);
    qint64 remaining = size;
    while (remaining > 0)
    {
        const qint64 wanted = qMin<qint64>(remaining, MP3HeaderAnalysis::BlockSize);
        const qint64 got = file.read(reinterpret_cast<char*>(buffer.get()), wanted);
        if (got < 0)
            return false;
        if (got == 0) // the file shrank while we read it
            break;
        analysis->AddBlock(buffer.get(), static_cast<int>(got));
        remaining -= got;
    }

    MP3ScanResult result;
    if (!analysis->Decide(result))
        return false;
    o_mpegVersion = result.mpegVersion;
    o_channelMode = result.channelMode;
    o_frequency = result.frequency;
    o_isVBR = result.isVBR;
    o_bitrate = result.bitrate;
    return true;
}

void MP3Scanner::OnMP3ScanRequired(QString i_file)
{
    int version = 0;
    QString mode;
    int frequency = 0;
    bool isVBR = false;
    int bitrate = -1;
    if (ScanMP3(i_file, version, mode, frequency, isVBR, bitrate))
        emit MP3Scanned(i_file, version, mode, frequency, isVBR, bitrate);
}
