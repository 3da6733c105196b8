// veltrane-demo-home HOME USER PASSWORD SERVER_PORT ROOM OTHER_USER: a home for one client of
// `make demo` (tests/support/demo.sh). It writes HOME/.Veltrane with the engines' own declarations
// and data-file writer, as the client would have saved it: logged in as USER at the loopback test
// server, listening on a free pair of ports with UPnP off, downloading to HOME/Downloads, joining
// ROOM at every login, OTHER_USER in its user list, and sharing, with everyone, a small folder of
// files generated here. HOME/run is the client's runtime folder, which holds its one-instance lock.
// Prints the folder shared and the ports chosen.
#include "CoreSchema.h"
#include "EngineStack.h"
#include "FreePorts.h"
#include "ServerSchema.h"
#include "SharesSchema.h"
#include "ShellSchema.h"
#include "TransfersSchema.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace
{
constexpr int kSampleBytes = 3 * 1024 * 1024;

bool WriteFile(const QString& i_path, const QByteArray& i_bytes)
{
    QFile file(i_path);
    return file.open(QIODevice::WriteOnly) && file.write(i_bytes) == i_bytes.size();
}

// A few files whose names hold the user's name and the word "demo", so that one search finds
// everyone's and another one user's; one large enough to watch its progress.
bool GenerateShare(const QString& i_folder, const QString& i_user)
{
    if (!QDir().mkpath(i_folder + QStringLiteral("/More")))
        return false;
    QByteArray notes;
    for (int line = 1; line <= 100; ++line)
        notes += QStringLiteral("Line %1 of the notes %2 shares in the demo.\n").arg(line).arg(i_user).toUtf8();
    QByteArray sample(kSampleBytes, '\0');
    for (int at = 0; at < sample.size(); ++at)
        sample[at] = char((at * 31 + at / 1021) & 0xff);
    const QString prefix = i_folder + QLatin1Char('/') + i_user + QStringLiteral(" demo ");
    return WriteFile(prefix + QStringLiteral("notes.txt"), notes)
           && WriteFile(prefix + QStringLiteral("sample.bin"), sample)
           && WriteFile(i_folder + QStringLiteral("/More/") + i_user + QStringLiteral(" demo list.txt"),
                        QStringLiteral("A list from %1's More folder.\n").arg(i_user).toUtf8());
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    bool ok = arguments.size() == 7;
    const uint serverPort = ok ? arguments.at(4).toUInt(&ok) : 0;
    if (!ok || serverPort == 0 || serverPort > 65535)
    {
        std::fprintf(stderr, "usage: veltrane-demo-home HOME USER PASSWORD SERVER_PORT ROOM OTHER_USER\n");
        return 2;
    }
    const QString home = QDir(arguments.at(1)).absolutePath();
    const QString user = arguments.at(2);
    const QString shared = home + QStringLiteral("/Shared by ") + user;
    const QString downloads = home + QStringLiteral("/Downloads");
    const QString run = home + QStringLiteral("/run");
    const quint16 port = FreePortPair();
    if (!GenerateShare(shared, user) || !QDir().mkpath(downloads) || !QDir().mkpath(run)
        || !QFile::setPermissions(run, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)
        || port == 0)
    {
        std::fprintf(stderr, "cannot prepare %s\n", qPrintable(home));
        return 1;
    }

    EngineStack engines(EngineStack::ServerConnection | EngineStack::NoUpnp | EngineStack::Peers | EngineStack::Shares);
    dataSaver->AddSavedType(types::kGlobal);
    dataSaver->AddSavedByConnectionType(types::kGlobalValue, types::kGlobal);
    SetSetting(settings::kUsername, user);
    SetSetting(settings::kPassword, arguments.at(3));
    SetSetting(settings::kServerHost, QStringLiteral("127.0.0.1"));
    SetSettingNumber(settings::kServerPort, serverPort);
    SetSettingNumber(settings::kListeningPort, port);
    SetSettingNumber(settings::kObfuscatedListeningPort, port + 1);
    SetSetting(settings::kDownloadFolder, downloads);
    // Nothing of the demo reaches past this machine: the version check asks a port nobody serves.
    SetSetting(settings::kVersionFileUrl, QStringLiteral("http://127.0.0.1:1/qtversion.txt"));
    d->GetType(types::kRoom)->GetItem(Value(arguments.at(5))).NewItem(types::kRoomAutojoin);
    d->GetType(types::kUser)->GetItem(Value(arguments.at(6))).NewItem(types::kInUserList);
    sharedFoldersManager->AddSharedFolder(shared).Connect(d->GetType(types::kSharedPublic)->GetGlobalNullItem());

    if (!dataSaver->SaveFile(home + QStringLiteral("/.Veltrane")))
    {
        std::fprintf(stderr, "cannot write %s/.Veltrane\n", qPrintable(home));
        return 1;
    }
    std::printf("%s shares \"%s\" and listens on ports %u and %u\n", qPrintable(user), qPrintable(shared),
                unsigned(port), unsigned(port + 1));
    return 0;
}
