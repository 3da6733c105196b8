#pragma once

// The chat log files: one per room and one per private chat partner, plain UTF-8 lines.

#include "Data.h"

#include <QString>

enum class ChatLogKind
{
    Room,
    User
};

// Home folder + "/Veltrane Chat Logs/Rooms/" or ".../Users/".
QString ChatLogFolder(ChatLogKind i_kind);
// The file name of a room's or user's log. Names come from the network: "/" and NUL would lead
// out of the folder or cut the path short, so each becomes "_"; every other name stays as it is.
QString ChatLogFileName(const QString& i_name);
QString ChatLogPath(ChatLogKind i_kind, const QString& i_name);

// Appends one finished line to the log of the room or user item, when its log switch is on, and
// hands it to the open log viewer of that room or user (also when the file could not be written).
void AppendChatLog(ChatLogKind i_kind, const ItemPtr& i_owner, const QString& i_line);
