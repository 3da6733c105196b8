#include "FileInfo.h"

#include "Log.h"

bool FileInfo::ReadRecord(InputStream& i_stream, bool& o_present)
{
    MemStream& stream = i_stream.GetStream();
    const size_t start = stream.GetReadPos();
    quint8 flag = 0;
    if (!i_stream.Read(flag))
        return false;
    if (!i_stream.TakeFileRecord())
    {
        stream.SetReadPos(start);
        return false;
    }
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
    if (size < 0)
    {
        Log(QStringLiteral("Peers"), 1,
            QStringLiteral("A received file record of negative size (%1) was refused").arg(size));
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

bool InputStream::Read(FileInfo& o_file)
{
    return o_file.Read(*this);
}

bool OutputStream::Write(const FileInfo& i_file)
{
    return i_file.Write(*this);
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

namespace
{
bool SkipString(InputStream& i_in)
{
    quint32 length = 0;
    const size_t start = i_in.GetStream().GetReadPos();
    if (i_in.ReadCount(length) && i_in.GetStream().SkipBuffer(length))
        return true;
    i_in.GetStream().SetReadPos(start);
    return false;
}

// Steps over one record as FileInfo::ReadRecord reads it, building nothing.
bool SkipRecord(InputStream& i_in)
{
    quint8 flag = 0;
    if (!i_in.Read(flag))
        return false;
    if (flag == 0)
        return true;
    quint32 pairs = 0;
    return SkipString(i_in) && i_in.GetStream().SkipBuffer(8) && SkipString(i_in) && i_in.ReadCount(pairs)
           && i_in.GetStream().SkipBuffer(size_t(pairs) * 8);
}

// The file records of the folders of a shares list, counted without building any; stops, with
// o_tooMany set, as soon as the folders read so far announce more than i_maxFiles.
bool CountListedFiles(InputStream& i_in, quint64 i_maxFiles, bool& o_tooMany)
{
    quint32 folders = 0;
    if (!i_in.ReadCount(folders))
        return false;
    quint64 files = 0;
    for (quint32 folder = 0; folder < folders; ++folder)
    {
        quint32 count = 0;
        if (!SkipString(i_in) || !i_in.ReadCount(count))
            return false;
        files += count;
        if (files > i_maxFiles)
        {
            o_tooMany = true;
            return false;
        }
        for (quint32 n = 0; n < count; ++n)
            if (!SkipRecord(i_in))
                return false;
    }
    return true;
}
} // namespace

SharesListRead ReadSharesList(MemStream& i_body, FileInfoMap& o_share, AttributeTranslationTable& o_table)
{
    const size_t start = i_body.GetReadPos();
    InputStream in(i_body);
    bool tooMany = false;
    const bool counted = CountListedFiles(in, kMaxStreamFiles, tooMany);
    i_body.SetReadPos(start);
    if (tooMany)
        return SharesListRead::TooManyFiles;
    if (counted && in.Read(o_share) && in.Read(o_table))
        return SharesListRead::Read;
    i_body.SetReadPos(start);
    return SharesListRead::Unreadable;
}
