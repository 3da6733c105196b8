#pragma once

// Bodies of shares lists and folder contents as peers send them, without building the records
// first: a hostile peer's millions of bare records, or a real share's named files.

#include "AttributeMap.h"
#include "MemStream.h"

#include <string>

// i_folders folders of i_files records each, distinct in size so that none merge: bare (an empty
// name and no attributes, 21 bytes each) or named as a real share's MP3s. Folder contents end
// each folder with the trailer of their folder record; a shares list ends with its (empty)
// attribute table.
inline MemStream FolderListBody(quint32 i_folders, quint32 i_files, bool i_named, bool i_folderContents = false)
{
    MemStream body;
    OutputStream out(body);
    out.Write(i_folders);
    qint64 size = 0;
    for (quint32 folder = 0; folder < i_folders; ++folder)
    {
        out.WriteFields("@@music\\Artist\\Album " + std::to_string(folder), i_files);
        for (quint32 file = 0; file < i_files; ++file)
        {
            out.WriteFields(quint8(1), i_named ? std::to_string(file) + " Some Track Title.mp3" : std::string(),
                            ++size);
            if (i_named)
                out.WriteFields("mp3", quint32(2), qint32(AttributeBitrate), qint32(192),
                                qint32(AttributeVariableBitrate), qint32(0));
            else
                out.WriteFields("", quint32(0));
        }
        if (i_folderContents)
            out.Write(quint32(0));
    }
    if (!i_folderContents)
        out.Write(quint32(0));
    return body;
}
