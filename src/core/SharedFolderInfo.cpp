#include "SharedFolderInfo.h"

bool SharedFolderInfo::Read(InputStream& i_stream)
{
    MemStream& stream = i_stream.GetStream();
    const size_t start = stream.GetReadPos();
    m_files.clear();
    quint32 count = 0;
    if (!i_stream.ReadCount(count))
        return false;
    for (quint32 n = 0; n < count; ++n)
    {
        FileInfo record;
        bool present = false;
        if (!record.ReadRecord(i_stream, present))
        {
            stream.SetReadPos(start);
            return false;
        }
        if (present)
            m_files.insert(std::move(record));
    }
    quint32 trailer = 0;
    if (!i_stream.Read(trailer))
    {
        stream.SetReadPos(start);
        return false;
    }
    return true;
}

bool SharedFolderInfo::Write(OutputStream& i_stream) const
{
    i_stream.Write(static_cast<quint32>(m_files.size()));
    for (const FileInfo& file : m_files)
        file.Write(i_stream);
    return i_stream.Write(static_cast<quint32>(0));
}
