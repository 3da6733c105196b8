#include "Data.h"
#include "DataFixture.h"
#include "DataSaver.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

class Listener : public DataLoadedEventHandler
{
public:
    Listener(QString i_name, QStringList* ip_log)
        : m_name(std::move(i_name))
        , mp_log(ip_log)
    {
    }
    void DataLoaded() override { *mp_log << m_name + QStringLiteral(" loaded"); }
    void NoData() override { *mp_log << m_name + QStringLiteral(" no data"); }

private:
    QString m_name;
    QStringList* mp_log;
};

// Types and saved registrations shaped like the real ones of the settings, the shares and the users.
void DeclareSchema(bool i_withExtra = false)
{
    DeclareSettingTypes();
    auto valued = [](const char* i_name, Primacy i_primacy = Secondary) {
        return d->NewType(i_name, i_primacy, false, true);
    };
    Type *sharedFolder = valued("shared_folder", Primary),
         *sharedPublic = d->NewType("shared_public", Secondary, true, false);
    Type *fileFolder = valued("shared_file_folder"), *file = valued("shared_file"), *name = valued("shared_file_name");
    Type *size = valued("shared_file_size"), *token = valued("search_token", Tertiary), *user = valued("user", Primary);
    Type *unshared = d->NewType("unshared", Secondary, true, false), *note = valued("user_note");
    sharedFolder->RelateToType(sharedPublic, Many, One);
    fileFolder->RelateToType(sharedFolder, Many, One);
    for (Type* held : {fileFolder, name, size})
        file->RelateToType(held, Many, One);
    file->RelateToType(token, Many, Many);
    user->RelateToType(unshared, Many, One);
    user->RelateToType(note, Many, One);
    if (i_withExtra)
    {
        valued("old_type", Primary)->RelateToType(user, Many, Many);
        dataSaver->AddSavedType("old_type");
    }
    for (const char* saved : {"global", "shared_folder", "unshared", "user_note"})
        dataSaver->AddSavedType(saved);
    const std::pair<const char*, const char*> byConnection[] = {{"global_value", "global"},
                                                                {"shared_public", "shared_folder"},
                                                                {"shared_file_folder", "shared_folder"},
                                                                {"shared_file", "shared_file_folder"},
                                                                {"shared_file_name", "shared_file"},
                                                                {"shared_file_size", "shared_file"},
                                                                {"user", "unshared"},
                                                                {"user", "user_note"}};
    for (const auto& saved : byConnection)
        dataSaver->AddSavedByConnectionType(saved.first, saved.second);
}

const std::string kBinary("x\0\xFF\xFE y", 6);

void FillStore()
{
    SetSetting("minimize_to_tray", "yes");
    SetSetting("expand_new_shares", "yes");
    SetSettingNumber("transfer_order_counter", 9000000000LL);
    GetSettingItem("binary") += d->GetType("global_value")->GetItem(kBinary);
    d->GetType("global_value")->GetItem("orphan");
    SetVolatileSetting("session", "volatile only");

    ItemPtr folder = d->GetType("shared_folder")->GetItem("/share");
    folder += d->GetType("shared_public")->GetGlobalNullItem();
    ItemPtr kept = d->GetType("shared_file_folder")->GetItem("/share/a");
    kept += folder;
    ItemPtr file = d->GetType("shared_file")->GetItem("/share/a/x.mp3");
    file += kept;
    file += d->GetType("shared_file_name")->GetItem("x.mp3");
    file += d->GetType("shared_file_size")->GetItem(qint64(5000000000LL));
    file += d->GetType("search_token")->GetItem("x");
    ItemPtr gone = d->GetType("shared_file_folder")->GetItem("/unshared/b");
    ItemPtr goneFile = d->GetType("shared_file")->GetItem("/unshared/b/y.mp3");
    goneFile += gone;
    goneFile += d->GetType("shared_file_name")->GetItem("y.mp3");

    d->GetType("user")->GetItem("bob") += d->GetType("unshared")->GetGlobalNullItem();
    d->GetType("user")->GetItem("carol");
    d->GetType("user")->GetItem("dave") += d->GetType("user_note")->GetItem(QStringLiteral("caf\u00E9 \u263A"));
}

QByteArray ReadAll(const QString& i_path)
{
    QFile file(i_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& i_path, const QByteArray& i_bytes)
{
    QFile file(i_path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(i_bytes), qint64(i_bytes.size()));
}

int Mode(const QString& i_path)
{
    struct stat info;
    if (::stat(QFile::encodeName(i_path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 0777);
}

} // namespace

class TestDataFile : public QObject
{
    Q_OBJECT

private:
    DataFixture m_fixture;
    QTemporaryDir m_dir;
    QString Path() const { return m_dir.filePath(QStringLiteral(".Veltrane")); }
    // A new run: a fresh store and saver with the schema declared again.
    void NewStore()
    {
        m_fixture.End();
        m_fixture.Begin();
        DeclareSchema();
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
        m_fixture.Begin();
    }
    void cleanup() { m_fixture.End(); }

    void roundTrip()
    {
        DeclareSchema();
        FillStore();
        dataSaver->Save(Path());
        QCOMPARE(Mode(Path()), 0600);

        NewStore();
        // Defaults written before the load; stored values replace them.
        SetSetting("minimize_to_tray", "no");
        SetSetting("default_only", "1");
        QStringList log;
        Listener listener(QStringLiteral("main"), &log);
        dataSaver->m_listeners.insert(&listener);
        Recorder watcher;
        d->GetType("shared_file")
            ->m_itemCreated.insert(new EventHandler<Recorder, ItemPtr>(&watcher, &Recorder::Created));
        d->GetType("global")->m_itemConnected.insert(
            new EventHandler<Recorder, ConnectionInfo&>(&watcher, &Recorder::Connected));
        auto* root = new PathNode(GetSettingItem("expand_new_shares"));
        new PathNode(root, "global_value", PathOnConnect);
        d->AddPathEventHandler(root, new EventHandler<Recorder, ItemPtr>(&watcher, &Recorder::Path));

        dataSaver->Load(Path());

        QCOMPARE(log, QStringList({"main loaded"}));
        QVERIFY(watcher.log.contains("created /share/a/x.mp3"));
        QVERIFY(watcher.log.contains("+ minimize_to_tray yes"));
        QVERIFY(watcher.log.contains("path expand_new_shares"));

        QCOMPARE(GetSetting("minimize_to_tray"), QStringLiteral("yes"));
        QCOMPARE(GetSetting("default_only"), QStringLiteral("1"));
        QCOMPARE(GetSettingItem("minimize_to_tray")["global_value"],
                 GetSettingItem("expand_new_shares")["global_value"]);
        QCOMPARE(GetSettingNumber("transfer_order_counter"), 9000000000LL);
        QCOMPARE(GetSettingItem("binary")["global_value"].AsStdString(), kBinary);
        Type* values = d->GetType("global_value");
        QVERIFY(values->HasItem("orphan").IsNull());
        QVERIFY(values->HasItem("volatile only").IsNull());
        QVERIFY(d->GetType("vglobal")->HasItem("session").IsNull());

        ItemPtr folder = d->GetType("shared_folder")->HasItem("/share");
        QVERIFY(folder.IsConnected(d->GetType("shared_public")->GetGlobalNullItem()));
        QCOMPARE(d->GetType("shared_public")->GetItemCount(), std::size_t(1));
        ItemPtr file = d->GetType("shared_file")->HasItem("/share/a/x.mp3");
        QCOMPARE(file["shared_file_folder"]["shared_folder"], folder);
        QCOMPARE(file["shared_file_name"].AsString(), QStringLiteral("x.mp3"));
        QCOMPARE(file["shared_file_size"].AsInt64(), 5000000000LL);
        QCOMPARE(d->GetType("search_token")->GetItemCount(), std::size_t(0));
        // The by-connection chain stops where nothing saved holds it.
        QVERIFY(d->GetType("shared_file_folder")->HasItem("/unshared/b").IsNull());
        QVERIFY(d->GetType("shared_file")->HasItem("/unshared/b/y.mp3").IsNull());
        QVERIFY(d->GetType("shared_file_name")->HasItem("y.mp3").IsNull());

        Type* user = d->GetType("user");
        QVERIFY(user->HasItem("bob").IsConnected(d->GetType("unshared")->GetGlobalNullItem()));
        QVERIFY(user->HasItem("carol").IsNull());
        QCOMPARE(user->HasItem("dave")["user_note"].AsString(), QStringLiteral("caf\u00E9 \u263A"));

        // Saving the loaded store gives the same file.
        const QByteArray first = ReadAll(Path());
        NewStore();
        dataSaver->Load(Path());
        dataSaver->Save(Path());
        QCOMPARE(ReadAll(Path()), first);
    }

    void listeners()
    {
        QStringList log;
        Listener first(QStringLiteral("first"), &log);
        Listener second(QStringLiteral("second"), &log);
        auto* gone = new Listener(QStringLiteral("gone"), &log);
        dataSaver->m_listeners.insert(&first);
        dataSaver->m_listeners.insert(gone);
        dataSaver->m_listeners.insert(&second);
        dataSaver->m_listeners.insert(&first);
        delete gone;
        dataSaver->Load(Path());
        QCOMPARE(log, QStringList({"first loaded", "second loaded", "first no data", "second no data"}));
        QVERIFY(!QFile::exists(Path()));
    }

    void truncatedFilesFail()
    {
        DeclareSchema();
        SetSetting("username", "bob");
        SetSetting("password", "secret");
        d->GetType("user")->GetItem("dave") += d->GetType("user_note")->GetItem("note");
        QVERIFY(dataSaver->SaveFile(Path()));
        const QByteArray whole = ReadAll(Path());
        QVERIFY(whole.size() > 40);

        QByteArray flipped = whole;
        flipped[whole.size() / 2] = char(flipped[whole.size() / 2] ^ 0x20);
        QList<QByteArray> broken{flipped, whole + QByteArray("x")};
        for (int length = 0; length < whole.size(); ++length)
            broken << whole.left(length);

        NewStore();
        SetSetting("username", "default");
        QStringList log;
        Listener listener(QStringLiteral("l"), &log);
        dataSaver->m_listeners.insert(&listener);
        const QStringList before = DumpStore();
        for (const QByteArray& bytes : broken)
        {
            WriteAll(Path(), bytes);
            QVERIFY_EXCEPTION_THROWN(dataSaver->Load(Path()), DataLoadFailure);
            QVERIFY2(log.isEmpty(), qPrintable(QString::number(bytes.size())));
            QCOMPARE(DumpStore(), before);
            QVERIFY(!QFile::exists(Path()));
            QCOMPARE(ReadAll(Path() + QStringLiteral(".bad")), bytes);
        }
        WriteAll(Path(), whole);
        dataSaver->Load(Path());
        QCOMPARE(GetSetting("password"), QStringLiteral("secret"));
        QCOMPARE(log, QStringList({"l loaded"}));
    }

    void undeclaredTypesAreSkipped()
    {
        DeclareSchema(true);
        SetSetting("username", "bob");
        d->GetType("old_type")->GetItem("relic") += d->GetType("user")->GetItem("eve");
        d->GetType("user")->GetItem("eve") += d->GetType("user_note")->GetItem("hi");
        dataSaver->Save(Path());
        NewStore();
        dataSaver->Load(Path());
        QCOMPARE(GetSetting("username"), QStringLiteral("bob"));
        QCOMPARE(d->GetType("user")->HasItem("eve")["user_note"].AsString(), QStringLiteral("hi"));
    }

    void failedSaveKeepsTheOldFile()
    {
        DeclareSchema();
        SetSetting("password", "old");
        WriteAll(Path(), QByteArray());
        QFile::setPermissions(Path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                          | QFileDevice::ReadOther);
        QVERIFY(dataSaver->SaveFile(Path()));
        QCOMPARE(Mode(Path()), 0600); // also when an older file was readable by others
        const QByteArray old = ReadAll(Path());

        for (int n = 0; n < 2000; ++n)
            SetSetting(QStringLiteral("key%1").arg(n), QStringLiteral("value %1").arg(n));

        // A full disk: the write fails part-way.
        struct rlimit saved;
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        auto previous = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved;
        small.rlim_cur = static_cast<rlim_t>(old.size() + 100);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool written = dataSaver->SaveFile(Path());
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        QVERIFY(!written);
        QCOMPARE(ReadAll(Path()), old);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({".Veltrane"}));

        if (::geteuid() != 0)
        {
            QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            dataSaver->Save(Path());
            QFile::setPermissions(m_dir.path(),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            QCOMPARE(ReadAll(Path()), old);
        }
        QVERIFY(dataSaver->SaveFile(Path()));
        QVERIFY(ReadAll(Path()) != old);
    }
};

QTEST_GUILESS_MAIN(TestDataFile)
#include "test_data_file.moc"
