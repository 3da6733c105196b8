#pragma once

#include "Compression.h"
#include "Data.h"
#include "DataSaver.h"
#include "Engines.h"
#include "MemStream.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TimerManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

// A fresh store with the types the shares engine finds declared at start-up (settings, users and
// groups, the attribute types of received files), the saver and the manager. With the engines, the
// timers, the server connection and the peer messenger that answers go out through are built too,
// in start-up order.
class SharesStore
{
public:
    explicit SharesStore(bool i_engines = false)
    {
        d = new Data;
        m_engines->saver = std::make_unique<DataSaver>();
        DeclareSettingTypes(d);
        if (i_engines)
        {
            m_engines->timers = std::make_unique<TimerManager>();
            m_engines->server = std::make_unique<Server>();
            m_engines->server->CreateData();
            m_engines->peers = std::make_unique<PeerMessenger>();
            peer = peerMessenger;
        }
        else
        {
            dataSaver->AddSavedType("global");
            dataSaver->AddSavedByConnectionType("global_value", "global");
            dataSaver->AddSavedType("user_list_group");
        }
        for (const char* type : {"user", "user_list_group", "file_size", "mpeg_version", "channel_mode",
                                 "audio_frequency", "bitrate_mode", "bitrate", "length_seconds"})
            if (!d->HasType(type))
                d->NewType(type, QByteArray(type).startsWith("user") ? Primary : Tertiary, false, true);
        m_engines->shares = std::make_unique<SharedFoldersManager>();
        manager = sharedFoldersManager;
    }
    ~SharesStore()
    {
        m_engines.reset();
        delete d;
        d = nullptr;
    }
    SharesStore(const SharesStore&) = delete;
    SharesStore& operator=(const SharesStore&) = delete;

    SharedFoldersManager* manager = nullptr;
    PeerMessenger* peer = nullptr;

private:
    std::unique_ptr<Engines> m_engines = std::make_unique<Engines>();
};

// Creates a file (and its folders) of the given size under the root.
inline bool MakeFile(const QString& i_root, const QString& i_relative, qint64 i_size = 10)
{
    const QString path = i_root + QLatin1Char('/') + i_relative;
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.resize(i_size);
}
inline bool MakeFiles(const QString& i_root, std::initializer_list<const char*> i_relative, qint64 i_size = 10)
{
    for (const char* relative : i_relative)
        if (!MakeFile(i_root, QString::fromUtf8(relative), i_size))
            return false;
    return true;
}

inline bool WriteFile(const QString& i_path, const QByteArray& i_bytes)
{
    QDir().mkpath(QFileInfo(i_path).path());
    QFile f(i_path);
    return f.open(QIODevice::WriteOnly) && f.write(i_bytes) == i_bytes.size();
}

// Every shared file as folder value + "/" + name.
inline QStringList SharedPaths()
{
    QStringList paths;
    for (const ItemPtr& file : d->GetType("shared_file")->GetItems())
        paths << file["shared_file_folder"].AsString() + QLatin1Char('/') + file["shared_file_name"].AsString();
    paths.sort();
    return paths;
}

inline QSet<QString> Values(const ItemSet& i_items)
{
    QSet<QString> values;
    for (const ItemPtr& item : i_items)
        values << item.AsString();
    return values;
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
inline void Unshare(const char* i_user)
{
    d->GetType("user")->GetItem(Value(i_user)).Connect(d->GetType("unshared")->GetGlobalNullItem());
}
inline void ListUser(const char* i_user, std::initializer_list<const char*> i_groups = {})
{
    ItemPtr user = d->GetType("user")->GetItem(Value(i_user));
    ItemPtr listed = user["in_user_list"] ? user["in_user_list"] : user.NewItem("in_user_list");
    for (const char* group : i_groups)
        MarkGroup(listed, group);
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
