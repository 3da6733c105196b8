#pragma once

#include <QFile>
#include <QString>

// Opens a path for reading only when it is a regular file, without ever blocking: a pipe or a
// device put where a file was would hold the opening thread until someone wrote to it.
bool OpenRegularFile(const QString& i_path, QFile& o_file, QIODevice::OpenMode i_mode = QIODevice::ReadOnly);
