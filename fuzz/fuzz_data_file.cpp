// The data file loader: a file that loads is saved, loaded into a fresh store and saved again,
// and both saved files must be the same bytes.

#include "Data.h"
#include "DataSaver.h"
#include "FuzzTarget.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <zlib.h>

namespace
{
QTemporaryDir* g_dir = nullptr;

QString PathOf(const char* i_name)
{
    return g_dir->filePath(QString::fromLatin1(i_name));
}

// A store with the settings and a few of the client's saved types and relations.
void NewStore()
{
    d = new Data;
    DeclareSettingTypes(d);
    dataSaver = new DataSaver;
    d->NewType("user", Primary, false, true);
    d->NewType("user_note", Tertiary, false, true);
    d->NewType("is_buddy", Tertiary, true, false);
    d->GetType("user")->RelateToType(d->GetType("user_note"), Many, One, false);
    d->GetType("user")->RelateToType(d->GetType("is_buddy"), Many, One, false);
    dataSaver->AddSavedType("user");
    dataSaver->AddSavedByConnectionType("user_note", "user");
    dataSaver->AddSavedByConnectionType("is_buddy", "user");
}

void DropStore()
{
    delete dataSaver;
    dataSaver = nullptr;
    delete d;
    d = nullptr;
}

bool Load(const QString& i_path)
{
    try
    {
        dataSaver->Load(i_path);
        return true;
    }
    catch (const DataLoadFailure&)
    {
        return false;
    }
}

QByteArray ReadAll(const QString& i_path)
{
    QFile file(i_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A saved file as a seed: the first byte 1 asks the harness to write the checksum again, so
// that changed bytes reach the reader beyond the check.
QByteArray Seed(const QByteArray& i_file)
{
    return QByteArray(1, '\1') + i_file.left(i_file.size() - 4);
}
} // namespace

void FuzzSeeds(std::vector<QByteArray>& o_seeds)
{
    if (!g_dir)
        g_dir = new QTemporaryDir;
    NewStore();
    dataSaver->NotifyFirstStart();
    SetSetting(QStringLiteral("username"), QStringLiteral("me"));
    SetSetting(QStringLiteral("password"), QStringLiteral("se\0cret"));
    ItemPtr ann = d->GetType("user")->GetItem(Value("ann"));
    ann.Connect(d->GetType("user_note")->GetItem(Value("met at the \xc3\xa9t\xc3\xa9 party")));
    ann.Connect(d->GetType("is_buddy")->GetGlobalNullItem());
    d->GetType("user")->GetItem(Value("bob"));
    dataSaver->SaveFile(PathOf("seed"));
    o_seeds.push_back(Seed(ReadAll(PathOf("seed"))));
    DropStore();
    NewStore();
    dataSaver->NotifyFirstStart();
    dataSaver->SaveFile(PathOf("seed"));
    o_seeds.push_back(Seed(ReadAll(PathOf("seed"))));
    DropStore();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    if (!g_dir)
        g_dir = new QTemporaryDir;
    if (i_size == 0)
        return 0;
    QByteArray bytes(reinterpret_cast<const char*>(ip_data + 1), int(i_size - 1));
    if (ip_data[0] & 1)
    {
        const quint32 sum = quint32(crc32(0L, reinterpret_cast<const Bytef*>(bytes.constData()), uInt(bytes.size())));
        bytes.append(reinterpret_cast<const char*>(&sum), 4); // little-endian, as written
    }
    QFile input(PathOf("input"));
    if (!input.open(QIODevice::WriteOnly | QIODevice::Truncate) || input.write(bytes) != bytes.size())
        std::abort();
    input.close();

    NewStore();
    const bool loaded = Load(PathOf("input"));
    QFile::remove(PathOf("input.bad"));
    if (loaded && !dataSaver->SaveFile(PathOf("first")))
        std::abort();
    DropStore();
    if (!loaded)
        return 0;
    NewStore();
    if (!Load(PathOf("first")) || !dataSaver->SaveFile(PathOf("second")))
        std::abort();
    DropStore();
    if (ReadAll(PathOf("first")) != ReadAll(PathOf("second")))
        std::abort();
    return 0;
}
