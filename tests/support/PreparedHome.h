#pragma once

#include "Data.h"
#include "DataSaver.h"
#include "FreePorts.h"

#include <QMap>
#include <QString>
#include <QTcpServer>

#include <memory>

// Writes a data file holding the given settings and users in the user list, as a previous run
// would have saved them.
inline bool WriteDataFile(const QString& i_path, const QMap<QString, QString>& i_settings,
                          const QStringList& i_listedUsers = {})
{
    Data* previous = d;
    auto store = std::make_unique<Data>();
    d = store.get();
    DataSaver saver;
    DeclareSettingTypes(d);
    saver.AddSavedType("global");
    saver.AddSavedByConnectionType("global_value", "global");
    for (auto setting = i_settings.cbegin(); setting != i_settings.cend(); ++setting)
        SetSetting(setting.key(), setting.value());
    Type* listed = d->NewType("in_user_list", Secondary, true, true);
    listed->RelateToType(d->NewType("user", Primary, false, true), One, One);
    saver.AddSavedType("in_user_list");
    saver.AddSavedByConnectionType("user", "in_user_list");
    for (const QString& user : i_listedUsers)
        d->GetType("user")->GetItem(Value(user)).Connect(listed->NewItem());
    const bool written = saver.SaveFile(i_path);
    d = previous;
    return written;
}

// Settings a test start always uses: no UPnP and ports of its own.
inline QMap<QString, QString> QuietSettings()
{
    const quint16 port = FreePort();
    return {{QStringLiteral("use_upnp"), QStringLiteral("no")},
            {QStringLiteral("listening_port"), QString::number(port)},
            {QStringLiteral("obfuscated_listening_port"), QString::number(FreePort())},
            // the version check asks a loopback port nobody serves, never the network's web host
            {QStringLiteral("version_file_url"), QStringLiteral("http://127.0.0.1:1/qtversion.txt")}};
}
