#pragma once

// Bodies of shares lists and folder contents as peers send them, without building the records
// first: a hostile peer's millions of bare records, or a real share's named files.

#include "AttributeMap.h"
#include "MemStream.h"

#include <string>

enum class ListRecords
{
    Bare,      // an empty name, no attributes, distinct sizes: 21 bytes each, none merge
    BareAlike, // the same, all of size 0: they merge into one
    Named,     // a real share's MP3s
};

// i_folders folders of i_files records each. Folder contents end each folder with the trailer of
// their folder record; a shares list ends with its (empty) attribute table.
inline MemStream FolderListBody(quint32 i_folders, quint32 i_files, ListRecords i_records,
                                bool i_folderContents = false)
{
    // Every folder holds the same records: written once, copied for each.
    const bool named = i_records == ListRecords::Named;
    MemStream records;
    OutputStream recordsOut(records);
    for (quint32 file = 0; file < i_files; ++file)
    {
        recordsOut.WriteFields(quint8(1), named ? std::to_string(file) + " Some Track Title.mp3" : std::string(),
                               i_records == ListRecords::BareAlike ? qint64(0) : qint64(file) + 1);
        if (named)
            recordsOut.WriteFields("mp3", quint32(2), qint32(AttributeBitrate), qint32(192),
                                   qint32(AttributeVariableBitrate), qint32(0));
        else
            recordsOut.WriteFields("", quint32(0));
    }
    MemStream body;
    OutputStream out(body);
    out.Write(i_folders);
    for (quint32 folder = 0; folder < i_folders; ++folder)
    {
        out.WriteFields("@@music\\Artist\\Album " + std::to_string(folder), i_files);
        body.WriteBuffer(records.GetBuffer(), records.GetLength());
        if (i_folderContents)
            out.Write(quint32(0));
    }
    if (!i_folderContents)
        out.Write(quint32(0));
    return body;
}
