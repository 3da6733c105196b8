#include "ChatLog.h"

#include "ChatLogForm.h"
#include "ShellSchema.h"
#include "TextUtils.h"

#include <QDir>
#include <QFile>

QString ChatLogFolder(ChatLogKind i_kind)
{
    return QDir::homePath()
           + (i_kind == ChatLogKind::Room ? QLatin1String("/Veltrane Chat Logs/Rooms/")
                                          : QLatin1String("/Veltrane Chat Logs/Users/"));
}

QString ChatLogFileName(const QString& i_name)
{
    QString stem = i_name;
    stem.replace(QLatin1Char('/'), QLatin1Char('_'));
    stem.replace(QChar(0), QLatin1Char('_'));
    return stem + QLatin1String(".log");
}

QString ChatLogPath(ChatLogKind i_kind, const QString& i_name)
{
    return ChatLogFolder(i_kind) + ChatLogFileName(i_name);
}

void AppendChatLog(ChatLogKind i_kind, const ItemPtr& i_owner, const QString& i_line)
{
    if (!IsSettingOn(i_kind == ChatLogKind::Room ? settings::kLogRoomChat : settings::kLogPrivateChat))
        return;
    // One chat line is one log line: a line break in a peer's text or name would start what reads
    // as a line of the peer's making.
    const QString line = OneLine(i_line);
    const QString folder = ChatLogFolder(i_kind);
    QDir().mkpath(folder);
    QFile file(folder + ChatLogFileName(i_owner.AsString()));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line.toUtf8() + '\n');
    if (ChatLogForm* viewer = i_owner[types::kChatLogForm].AsPointer<ChatLogForm>())
        viewer->AddLine(line);
}
