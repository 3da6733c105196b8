#include "UserStats.h"

bool UserStats::Read(InputStream& i_stream)
{
    // Read into a scratch copy so a short record leaves this one untouched and consumes nothing.
    MemStream& stream = i_stream.GetStream();
    const size_t start = stream.GetReadPos();
    UserStats read;
    if (i_stream.Read(read.m_averageSpeed) && i_stream.Read(read.m_uploadCount) && i_stream.Read(read.m_fileCount)
        && i_stream.Read(read.m_folderCount))
    {
        *this = read;
        return true;
    }
    stream.SetReadPos(start);
    return false;
}

bool UserStats::Write(OutputStream& i_stream) const
{
    i_stream.Write(m_averageSpeed);
    i_stream.Write(m_uploadCount);
    i_stream.Write(m_fileCount);
    return i_stream.Write(m_folderCount);
}

bool UserStats::operator==(const UserStats& i_other) const
{
    return m_averageSpeed == i_other.m_averageSpeed && m_uploadCount == i_other.m_uploadCount
           && m_fileCount == i_other.m_fileCount && m_folderCount == i_other.m_folderCount;
}
