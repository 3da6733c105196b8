#include "FileInfo.h"

bool FileInfo::ReadRecord(InputStream& i_stream, bool& o_present)
{
    MemStream& stream = i_stream.GetStream();
    const size_t start = stream.GetReadPos();
    quint8 flag = 0;
    if (!i_stream.Read(flag))
        return false;
    if (flag == 0)
    {
        o_present = false;
        return true;
    }
    std::string name;
    qint64 size = 0;
    if (!i_stream.Read(name) || !i_stream.Read(size))
    {
        stream.SetReadPos(start);
        return false;
    }
    const size_t nul = name.find('\0');
    if (nul != std::string::npos)
        name.resize(nul);
    m_name = std::move(name);
    m_size = size;
    if (!m_attributes.Read(i_stream))
    {
        stream.SetReadPos(start);
        return false;
    }
    o_present = true;
    return true;
}

bool FileInfo::Read(InputStream& i_stream)
{
    bool present = false;
    return ReadRecord(i_stream, present);
}

bool FileInfo::Write(OutputStream& i_stream) const
{
    i_stream.Write(static_cast<quint8>(1));
    i_stream.Write(m_name);
    i_stream.Write(m_size);
    return m_attributes.Write(i_stream);
}

// Records of a folder: empty records (flag 0) add nothing.
bool InputStream::Read(std::set<FileInfo>& o_files)
{
    const size_t start = m_stream.GetReadPos();
    quint32 count = 0;
    if (!ReadCount(count))
        return false;
    o_files.clear();
    for (quint32 n = 0; n < count; ++n)
    {
        FileInfo record;
        bool present = false;
        if (!record.ReadRecord(*this, present))
        {
            m_stream.SetReadPos(start);
            return false;
        }
        if (present)
            o_files.insert(o_files.end(), std::move(record));
    }
    return true;
}
