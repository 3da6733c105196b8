#pragma once

#include <QMutex>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>

// The result of reducing all frame headers of one file to one answer.
struct MP3ScanResult
{
    int mpegVersion = 0; // 1 or 2
    QString channelMode; // "stereo", "joint stereo", "dual mono", "mono"
    int frequency = 0;   // sampling-rate index 0..2, not hertz
    bool isVBR = false;
    int bitrate = -1; // kbit/s
};

// Votes and frame tallies of one file's MPEG audio headers. Blocks are fed in file order;
// headers that straddle two blocks are not seen, by design of the block reader.
class MP3HeaderAnalysis
{
public:
    static constexpr int BlockSize = 65536;

    void AddBlock(const unsigned char* ip_data, int i_length);
    bool Decide(MP3ScanResult& o_result) const;

    void AddCandidate(unsigned char i_b1, unsigned char i_b2, unsigned char i_b3);

private:
    enum
    {
        VersionCount = 3,
        ProtectionCount = 2,
        FrequencyCount = 3,
        ModeCount = 4,
        RateCount = 16
    };

    static int FrameKey(int i_version, int i_protection, int i_frequency, int i_mode, int i_rate)
    {
        return (((i_version * ProtectionCount + i_protection) * FrequencyCount + i_frequency) * ModeCount + i_mode)
                   * RateCount
               + i_rate;
    }

    // Index 0 = MPEG-1, 1 = MPEG-2, 2 = MPEG-2.5.
    std::array<int32_t, VersionCount> m_versionVotes{};
    // Index 0 = with CRC, 1 = without CRC.
    std::array<int32_t, ProtectionCount> m_protectionVotes{};
    std::array<int32_t, FrequencyCount> m_frequencyVotes{};
    std::array<int32_t, ModeCount> m_modeVotes{};
    // Frames are only ever counted by their five fields, so a tally per combination
    // replaces a list of entries and keeps memory flat for long files.
    std::array<int64_t, VersionCount * ProtectionCount * FrequencyCount * ModeCount * RateCount> m_frames{};
    int64_t m_frameEntries = 0;
};

// Reads MP3 files on a thread of its own and reports what their frame headers say.
class MP3Scanner : public QObject
{
    Q_OBJECT

public:
    MP3Scanner();

    // Called from the owner's thread; a scan already running finishes, later requests return at once.
    void Quit();

    bool ScanMP3(QString i_file, int& o_mpegVersion, QString& o_channelMode, int& o_frequency, bool& o_isVBR,
                 int& o_bitrate);

signals:
    void MP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency, bool i_isVBR,
                    int i_bitrate);

public slots:
    void OnMP3ScanRequired(QString i_file);

private:
    bool m_quit = false;
    QMutex m_quitMutex;
};
