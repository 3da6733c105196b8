#pragma once

#include "Compression.h"
#include "Data.h"
#include "DataSaver.h"
#include "MemStream.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TimerManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

// The engines the shares engine answers through, built in start-up order on a fresh store: the
// settings, the timers, the server connection and its types, the peer messenger, the manager.
class ShareEngines
{
public:
    ShareEngines()
    {
        d = new Data;
        dataSaver = new DataSaver;
        DeclareSettingTypes(d);
        m_timers = new TimerManager;
        m_server = new Server;
        m_server->CreateData();
        peer = new PeerMessenger;
        manager = new SharedFoldersManager;
    }
    ~ShareEngines()
    {
        delete manager;
        delete peer;
        delete m_server;
        delete m_timers;
        delete dataSaver;
        dataSaver = nullptr;
        delete d;
        d = nullptr;
    }
    ShareEngines(const ShareEngines&) = delete;
    ShareEngines& operator=(const ShareEngines&) = delete;

    SharedFoldersManager* manager;
    PeerMessenger* peer;

private:
    TimerManager* m_timers;
    Server* m_server;
};

inline bool MakeFile(const QString& i_root, const QString& i_relative, qint64 i_size = 10)
{
    const QString path = i_root + QLatin1Char('/') + i_relative;
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.resize(i_size);
}

// Visibility marks and user-list membership, as the windows set them.
inline void MarkPublic(ItemPtr i_folder)
{
    i_folder.Connect(d->GetType("shared_public")->GetGlobalNullItem());
}
inline void MarkUserList(ItemPtr i_folder)
{
    i_folder.Connect(d->GetType("shared_userlist")->GetGlobalNullItem());
}
inline void MarkGroup(ItemPtr i_folder, const char* i_group)
{
    i_folder.Connect(d->GetType("user_list_group")->GetItem(Value(i_group)));
}
inline ItemPtr ListUser(const char* i_user, std::initializer_list<const char*> i_groups = {})
{
    ItemPtr user = d->GetType("user")->GetItem(Value(i_user));
    ItemPtr listed = user["in_user_list"];
    if (!listed)
        listed = user.NewItem("in_user_list");
    for (const char* group : i_groups)
        listed.Connect(d->GetType("user_list_group")->GetItem(Value(group)));
    return user;
}
inline void Unshare(const char* i_user)
{
    d->GetType("user")->GetItem(Value(i_user)).Connect(d->GetType("unshared")->GetGlobalNullItem());
}

// The body of a compressed message, after its code; false when the code differs or it does
// not inflate.
inline bool InflateMessage(const MemStream& i_message, quint32 i_code, MemStream& o_body)
{
    MemStream message(i_message.GetBuffer(), i_message.GetLength());
    InputStream in(message);
    quint32 code = 0;
    return in.Read(code) && code == i_code && InflateBody(message, o_body);
}

inline std::string Remote(QString i_local)
{
    return i_local.replace(QLatin1Char('/'), QLatin1Char('\\')).toStdString();
}
