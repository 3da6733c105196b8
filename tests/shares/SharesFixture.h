#pragma once

#include "Data.h"
#include "DataSaver.h"
#include "SharedFoldersManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

// A fresh store with the types the shares engine finds already declared at start-up (settings,
// users and groups, the attribute types of received files), the saver and the manager.
class SharesStore
{
public:
    SharesStore()
    {
        d = new Data;
        dataSaver = new DataSaver;
        DeclareSettingTypes(d);
        dataSaver->AddSavedType("global");
        dataSaver->AddSavedByConnectionType("global_value", "global");
        Declare("user", Primary);
        Declare("user_list_group", Primary);
        dataSaver->AddSavedType("user_list_group");
        for (const char* type :
             {"file_size", "mpeg_version", "channel_mode", "audio_frequency", "bitrate_mode", "bitrate", "length_seconds"})
            Declare(type, Tertiary);
        manager = new SharedFoldersManager;
    }
    ~SharesStore()
    {
        delete manager;
        delete dataSaver;
        dataSaver = nullptr;
        delete d;
        d = nullptr;
    }
    SharesStore(const SharesStore&) = delete;
    SharesStore& operator=(const SharesStore&) = delete;

    SharedFoldersManager* manager;

private:
    static void Declare(const char* i_type, Primacy i_primacy)
    {
        if (!d->HasType(i_type))
            d->NewType(i_type, i_primacy, false, true);
    }
};

// Creates a file (and its folders) of the given size under the root.
inline bool MakeFile(const QString& i_root, const QString& i_relative, qint64 i_size = 10)
{
    const QString path = i_root + QLatin1Char('/') + i_relative;
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.resize(i_size);
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
