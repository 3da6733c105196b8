// The records peers and the server send inside their messages. The first byte picks the record;
// whatever reads is written again, and the written bytes must read back to the same record.

#include "AttributeMap.h"
#include "FileInfo.h"
#include "FuzzTarget.h"
#include "SharedFolderInfo.h"
#include "TCPAddress.h"
#include "UserStats.h"

#include <cstdlib>
#include <map>

namespace
{
enum Record : char
{
    FileRecord,
    FileMapRecord,
    AttributesRecord,
    FolderRecord,
    StatsRecord,
    AddressRecord,
    RecordCount
};

template<typename T> QByteArray Written(const T& i_value)
{
    MemStream stream;
    OutputStream out(stream);
    out.Write(i_value);
    return stream.ToByteArray();
}

template<typename T> QByteArray Seed(Record i_record, const T& i_value)
{
    return QByteArray(1, i_record) + Written(i_value);
}

// Reads, writes, reads again: the second reading must take every byte and give the first.
template<typename T, typename Same> void RoundTrip(const QByteArray& i_input, Same i_same)
{
    MemStream stream(i_input.constData(), size_t(i_input.size()));
    T value;
    if (!InputStream(stream).Read(value))
        return;
    const QByteArray written = Written(value);
    MemStream again(written.constData(), size_t(written.size()));
    T second;
    if (!InputStream(again).Read(second) || again.BytesLeft() != 0 || !i_same(value, second))
        std::abort();
}
} // namespace

void FuzzSeeds(std::vector<QByteArray>& o_seeds)
{
    FileInfo song("music\\album\\01 song.mp3", 4123456);
    song.m_attributes.m_extension = "mp3";
    song.m_attributes.Add(AttributeBitrate, 320);
    song.m_attributes.Add(AttributeLength, 201);
    song.m_attributes.Add(AttributeVariableBitrate, 0);
    o_seeds.push_back(Seed(FileRecord, song));
    o_seeds.push_back(Seed(AttributesRecord, song.m_attributes));
    FileInfoMap share;
    share["music\\album"].insert(song);
    share["music\\album"].insert(FileInfo("cover.jpg", 1000));
    share["empty"];
    o_seeds.push_back(Seed(FileMapRecord, share));
    SharedFolderInfo folder;
    folder.m_files = share["music\\album"];
    o_seeds.push_back(Seed(FolderRecord, folder));
    UserStats stats;
    stats.m_averageSpeed = 50000;
    stats.m_uploadCount = 0x100000000LL;
    stats.m_fileCount = 1234;
    stats.m_folderCount = 56;
    o_seeds.push_back(Seed(StatsRecord, stats));
    o_seeds.push_back(Seed(AddressRecord, TCPAddress(0x7f000001, 2234)));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    if (i_size == 0)
        return 0;
    const QByteArray input = FuzzBytes(ip_data + 1, i_size - 1);
    const auto equal = [](const auto& i_a, const auto& i_b) { return i_a == i_b; };
    switch (ip_data[0] % RecordCount)
    {
    case FileRecord:
        RoundTrip<FileInfo>(input, [](const FileInfo& i_a, const FileInfo& i_b) {
            return i_a == i_b && i_a.m_attributes == i_b.m_attributes;
        });
        break;
    case FileMapRecord: RoundTrip<FileInfoMap>(input, equal); break;
    case AttributesRecord: RoundTrip<AttributeMap>(input, equal); break;
    case FolderRecord:
        RoundTrip<SharedFolderInfo>(
            input, [](const SharedFolderInfo& i_a, const SharedFolderInfo& i_b) { return i_a.m_files == i_b.m_files; });
        break;
    case StatsRecord: RoundTrip<UserStats>(input, equal); break;
    case AddressRecord: RoundTrip<TCPAddress>(input, equal); break;
    default: break;
    }
    return 0;
}
