#pragma once

#include "FileInfo.h"

// The files of one folder in a folder-contents reply.
class SharedFolderInfo : public Persistent
{
public:
    FileInfoSet m_files;

    // Replaces the set. Records before a failing one stay; empty records (flag 0) are skipped.
    bool Read(InputStream& i_stream) override;
    // Count, records, and a trailing uint32 0.
    bool Write(OutputStream& i_stream) const override;
};
