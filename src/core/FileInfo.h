#pragma once

#include "AttributeMap.h"
#include "MemStream.h"

#include <QMetaType>

#include <map>
#include <set>
#include <string>

// One file in a peer message: its name, its size and its attributes. No virtual functions: a
// received shares list holds millions.
class FileInfo
{
public:
    std::string m_name;
    qint64 m_size = 0;
    AttributeMap m_attributes;

    FileInfo() = default;
    FileInfo(std::string i_name, qint64 i_size)
        : m_name(std::move(i_name))
        , m_size(i_size)
    {
    }

    // A record with flag byte 0 reads as success with nothing more read.
    bool Read(InputStream& i_stream);
    bool Write(OutputStream& i_stream) const;
    // As Read; o_present tells a real record from an empty one (flag byte 0).
    bool ReadRecord(InputStream& i_stream, bool& o_present);

    // By name bytes (a prefix first), then by size; attributes take no part.
    bool operator<(const FileInfo& i_other) const
    {
        const int order = m_name.compare(i_other.m_name);
        return order != 0 ? order < 0 : m_size < i_other.m_size;
    }
    bool operator==(const FileInfo& i_other) const { return m_name == i_other.m_name && m_size == i_other.m_size; }
};

// Records of one folder; equal name and size are one entry.
using FileInfoSet = std::set<FileInfo>;
// Folder path ("\" separators) to its files, in byte order of the path.
using FileInfoMap = std::map<std::string, FileInfoSet>;
// Attribute code to name. This system always writes it empty.
using AttributeTranslationTable = std::map<qint32, std::string>;

enum class SharesListRead
{
    Read,
    Unreadable,
    TooManyFiles
};

// Reads a shares-list body: the folders with their files, then the attribute table. The files
// are counted in a pass over the bytes before any is built, so a list of more than
// kMaxStreamFiles (a peer's few megabytes can announce millions) costs no memory.
SharesListRead ReadSharesList(MemStream& i_body, FileInfoMap& o_share, AttributeTranslationTable& o_table);

Q_DECLARE_METATYPE(FileInfoMap)
Q_DECLARE_METATYPE(AttributeTranslationTable)
