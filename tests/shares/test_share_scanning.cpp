#include "SharesFixture.h"

#include "Log.h"
#include "SearchWords.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
QPair<int, int> Rescan(SharedFoldersManager* ip_manager)
{
    QSignalSpy spy(ip_manager, &SharedFoldersManager::SharedFilesRescanned);
    ip_manager->RescanShares();
    if (spy.count() != 1)
        return {-1, -1};
    return {spy.at(0).at(0).toInt(), spy.at(0).at(1).toInt()};
}

// Words the index should hold for a file: those of its folder value, "\" and its name.
QSet<QString> ExpectedWords(const ItemPtr& i_file)
{
    std::vector<std::string> words;
    SplitSearchWords((i_file["shared_file_folder"].AsString() + "\\" + i_file["shared_file_name"].AsString()).toLower(),
                     words);
    QSet<QString> out;
    for (const std::string& w : words)
        out << QString::fromStdString(w);
    return out;
}
// The lines the walk logs while i_work runs.
template<typename F> QStringList SharedLog(F i_work)
{
    QStringList lines;
    SetLogSink([&lines](const QString& i_area, const QString& i_line) {
        if (i_area == "Shared")
            lines << i_line;
    });
    i_work();
    SetLogSink(LogSink());
    return lines;
}

bool EntryTypesKnown(const QString& i_folder)
{
    DIR* dir = ::opendir(QFile::encodeName(i_folder).constData());
    bool known = false;
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr)
        known = known || entry->d_type != DT_UNKNOWN;
    if (dir)
        ::closedir(dir);
    return known;
}

// Makes a chain of folders below i_root whose full path is longer than the system allows.
bool MakeTooLongPath(const QString& i_root)
{
    int fd = ::open(QFile::encodeName(i_root).constData(), O_RDONLY | O_DIRECTORY);
    const QByteArray name(250, 'n');
    for (int level = 0; fd >= 0 && level < 20; ++level)
    {
        ::mkdirat(fd, name.constData(), 0755);
        const int next = ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    if (fd < 0)
        return false;
    ::close(::openat(fd, "deep.txt", O_CREAT | O_WRONLY, 0644));
    ::close(fd);
    return true;
}

// Permissions bind root only under another identity: the walk then runs as nobody.
class Unprivileged
{
public:
    Unprivileged() { m_dropped = ::geteuid() == 0 && ::seteuid(65534) == 0; }
    ~Unprivileged()
    {
        if (m_dropped && ::seteuid(0) != 0)
            qFatal("cannot become root again");
    }

private:
    bool m_dropped = false;
};
} // namespace

class TestShareScanning : public QObject
{
    Q_OBJECT

    std::unique_ptr<SharesStore> m_store;
    SharedFoldersManager* m_manager = nullptr;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root;

private slots:
    void init()
    {
        m_store = std::make_unique<SharesStore>();
        m_manager = m_store->manager;
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_root = m_dir->path() + "/Music";
        QVERIFY(QDir().mkpath(m_root));
    }

    void cleanup()
    {
        m_store.reset();
        m_dir.reset();
    }

    void addSharedFolder()
    {
        QVERIFY(MakeFiles(m_root, {"a.txt", "sub/b.txt"}));
        QSignalSpy rescanned(m_manager, &SharedFoldersManager::SharedFilesRescanned);

        const ItemPtr first = m_manager->AddSharedFolder(m_root);
        QVERIFY(first);
        QCOMPARE(first.AsString(), m_root);
        QCOMPARE(first["shared_folder_id"].AsString(), QString("[1]Music"));
        QCOMPARE(GetSetting("shared_folder_counter"), QString("2"));
        QCOMPARE(SharedPaths(), (QStringList{m_root + "/a.txt", m_root + "/sub/b.txt"}));
        QCOMPARE(rescanned.count(), 0);

        // The same text again changes nothing.
        QCOMPARE(m_manager->AddSharedFolder(m_root), first);
        QCOMPARE(GetSetting("shared_folder_counter"), QString("2"));
        QCOMPARE(d->GetType("shared_folder_id")->GetItemCount(), size_t(1));

        // With a trailing "/" it is a folder of its own, with a label of its own, and its files are
        // not shared twice.
        const ItemPtr second = m_manager->AddSharedFolder(m_root + "/");
        QVERIFY(second && second != first);
        QCOMPARE(second["shared_folder_id"].AsString(), QString("[2]Music"));
        QCOMPARE(GetSetting("shared_folder_counter"), QString("3"));
        QCOMPARE(d->GetType("shared_file")->GetItemCount(), size_t(2));
        QCOMPARE(Rescan(m_manager), qMakePair(0, 0));
        QCOMPARE(d->GetType("shared_file")->GetItemCount(), size_t(2));
        QCOMPARE(rescanned.count(), 1);
    }

    void rescanCounts()
    {
        QVERIFY(MakeFiles(m_root, {"keep.txt", "gone.txt", "deep/one.txt", "deep/keep.txt", "deep/inner/three.txt"}));
        m_manager->AddSharedFolder(m_root);
        QCOMPARE(Rescan(m_manager), qMakePair(0, 0));

        // Unchanged: same items, counts (0, 0).
        const ItemPtr kept = m_manager->GetSharedFileItem(m_root + "/keep.txt");
        QVERIFY(kept);
        QCOMPARE(Rescan(m_manager), qMakePair(0, 0));
        QCOMPARE(m_manager->GetSharedFileItem(m_root + "/keep.txt"), kept);

        // Delete one, add two.
        QVERIFY(QFile::remove(m_root + "/gone.txt"));
        QVERIFY(MakeFiles(m_root, {"new1.txt", "deep/new2.txt"}));
        QCOMPARE(Rescan(m_manager), qMakePair(2, 1));

        // A deleted subfolder counts every file below it as removed, nested folders included, and
        // goes once although a file still shared carries the name of one of its files.
        QVERIFY(QDir(m_root + "/deep").removeRecursively());
        QCOMPARE(Rescan(m_manager), qMakePair(0, 4));
        QCOMPARE(SharedPaths(), (QStringList{m_root + "/keep.txt", m_root + "/new1.txt"}));
        QCOMPARE(Rescan(m_manager), qMakePair(0, 0));
        QCOMPARE(d->GetType("shared_file_folder")->GetItemCount(), size_t(1));

        // Sizes of kept files are never refreshed.
        QVERIFY(MakeFile(m_root, "keep.txt", 999));
        Rescan(m_manager);
        QCOMPARE(m_manager->GetSharedFileItem(m_root + "/keep.txt")["shared_file_size"].AsString(), QString("10"));

        // No shared folders at all.
        d->GetType("shared_folder")->GetItems().Remove();
        QCOMPARE(Rescan(m_manager), qMakePair(0, 2));
        QCOMPARE(Rescan(m_manager), qMakePair(0, 0));
        QCOMPARE(d->GetType("shared_file")->GetItemCount(), size_t(0));
        QCOMPARE(d->GetType("search_token")->GetItemCount(), size_t(0));
    }

    void listingRules()
    {
        QVERIFY(MakeFiles(m_root, {".hidden.txt", ".hiddenfolder/inside.txt", ".hiddenfolder/deeper/inside2.txt",
                                   "visible/b.txt", "Zeta.txt", "alpha.txt"}));
        QVERIFY(MakeFile(m_root, "empty.txt", 0));
        QVERIFY(MakeFile(m_root, "big.bin", 5000000000LL));
        m_manager->AddSharedFolder(m_root);
        QCOMPARE(SharedPaths(), (QStringList{m_root + "/Zeta.txt", m_root + "/alpha.txt", m_root + "/big.bin",
                                             m_root + "/empty.txt", m_root + "/visible/b.txt"}));
        // Files are made in listing order: by name, ignoring case.
        QStringList order;
        for (const ItemPtr& f : d->GetType("shared_file")->GetItems())
            order << f["shared_file_name"].AsString();
        QCOMPARE(order, (QStringList{"alpha.txt", "big.bin", "empty.txt", "b.txt", "Zeta.txt"}));
        QCOMPARE(m_manager->GetSharedFileItem(m_root + "/big.bin")["shared_file_size"].AsString(),
                 QString("5000000000"));
        QCOMPARE(m_manager->GetSharedFileItem(m_root + "/empty.txt")["shared_file_size"].AsString(), QString("0"));
        // Subfolder values are the listing's path joined with the name.
        QVERIFY(d->GetType("shared_file_folder")->HasItem(Value(m_root + "/visible")));
    }

    void symbolicLinks()
    {
        // Run once more with every entry type unknown, where links must be told by a look of their own.
        QCOMPARE(EntryTypesKnown(m_dir->path()), !qEnvironmentVariableIsSet("VELTRANE_UNTYPED_ENTRIES"));
        const QString elsewhere = m_dir->path() + "/Elsewhere";
        QVERIFY(MakeFile(elsewhere, "far.txt"));
        QVERIFY(MakeFiles(m_root, {"real/near.txt"}) && MakeFiles(elsewhere, {"x/y.txt"}));
        QVERIFY(QFile::link(elsewhere, m_root + "/linkA"));
        QVERIFY(QFile::link(elsewhere, m_root + "/linkB"));
        QVERIFY(QFile::link(m_root + "/real/near.txt", m_root + "/filelink.txt"));
        QVERIFY(QFile::link(m_root + "/missing", m_root + "/broken"));
        // Cycles: a link to an ancestor, and two links that lead to each other's folders.
        QVERIFY(QFile::link(m_root, m_root + "/real/up"));
        QVERIFY(QFile::link(m_root + "/real", elsewhere + "/x/back"));

        const QStringList lines = SharedLog([this] { m_manager->AddSharedFolder(m_root); });
        // A real folder is shared once, under its own path when it has one, else under the first
        // link that reaches it; links back to folders already shared end there.
        QCOMPARE(SharedPaths(), (QStringList{m_root + "/filelink.txt", m_root + "/linkA/far.txt",
                                             m_root + "/linkA/x/y.txt", m_root + "/real/near.txt"}));
        for (const char* skipped :
             {"/linkB: already shared as ", "/real/up: already shared as ", "/linkA/x/back: already shared as "})
            QVERIFY2(!lines.filter(m_root + skipped).isEmpty(), skipped);
        QCOMPARE(Rescan(m_manager), qMakePair(0, 0));
    }

    // Two links to the next folder at each of a dozen levels: 4,095 paths, a dozen folders.
    void linkFanOut()
    {
        const QString chain = m_dir->path() + "/chain";
        const int depth = 12;
        for (int level = 0; level < depth; ++level)
        {
            const QString folder = chain + QString("/f%1").arg(level);
            QVERIFY(MakeFile(folder, QString("file%1.txt").arg(level)));
            for (const char* link : {"/a", "/b"})
                QVERIFY(level + 1 == depth || QFile::link(chain + QString("/f%1").arg(level + 1), folder + link));
        }
        m_manager->AddSharedFolder(chain + "/f0");
        QCOMPARE(int(d->GetType("shared_file")->GetItemCount()), depth);
        QCOMPARE(Rescan(m_manager), qMakePair(0, 0));
    }

    void letterCase()
    {
        QVERIFY(MakeFiles(m_root, {"Song.mp3", "song.mp3", "Other.txt"}));
        m_manager->AddSharedFolder(m_root);
        // Only the first listed of two names that differ in case is shared, at every rescan.
        QCOMPARE(SharedPaths(), (QStringList{m_root + "/Other.txt", m_root + "/Song.mp3"}));
        QCOMPARE(Rescan(m_manager), qMakePair(0, 0));
        QCOMPARE(SharedPaths(), (QStringList{m_root + "/Other.txt", m_root + "/Song.mp3"}));

        // A rename in letter case only keeps the file shared.
        QVERIFY(QFile::rename(m_root + "/Other.txt", m_root + "/OTHER.txt"));
        QCOMPARE(Rescan(m_manager), qMakePair(1, 1));
        QCOMPARE(SharedPaths(), (QStringList{m_root + "/OTHER.txt", m_root + "/Song.mp3"}));
        QCOMPARE(Rescan(m_manager), qMakePair(0, 0));

        // A file already shared keeps its place when a name differing in case appears beside it.
        QVERIFY(QFile::remove(m_root + "/Song.mp3"));
        QCOMPARE(Rescan(m_manager), qMakePair(1, 1)); // song.mp3 takes over
        const ItemPtr lower = m_manager->GetSharedFileItem(m_root + "/song.mp3");
        QCOMPARE(lower["shared_file_name"].AsString(), QString("song.mp3"));
        QVERIFY(MakeFile(m_root, "Song.mp3"));
        QCOMPARE(Rescan(m_manager), qMakePair(0, 0));
        QCOMPARE(m_manager->GetSharedFileItem(m_root + "/SONG.MP3"), lower);
    }

    void wordIndex()
    {
        // Every file is indexed by the words of its folder value, "\\" and its name, lower-cased.
        QVERIFY(
            MakeFiles(m_root, {"Café Müller/01 Track One.mp3", "Песни/Один Два.ogg", "Rock/AC-DC Back_in_Black.MP3"}));
        m_manager->AddSharedFolder(m_root);
        QCOMPARE(d->GetType("shared_file")->GetItemCount(), size_t(3));
        for (const ItemPtr& f : d->GetType("shared_file")->GetItems())
            QCOMPARE(Values(f.GetItems("search_token")), ExpectedWords(f));
        const ItemPtr cafe = d->GetType("search_token")->HasItem(Value(QString::fromUtf8("café")));
        QVERIFY(cafe);
        QCOMPARE(cafe.GetItems("shared_file").size(), size_t(1));
        QVERIFY(d->GetType("search_token")->HasItem(Value(QString::fromUtf8("песни"))));
        QVERIFY(!d->GetType("search_token")->HasItem(Value("Rock")));
        // Every file is found by every component of the shared folder's path.
        const ItemPtr music = d->GetType("search_token")->HasItem(Value("music"));
        QCOMPARE(music.GetItems("shared_file").size(), size_t(3));

        // The index is rebuilt by the rescan after it was lost, as after a restart.
        d->GetType("search_token")->GetItems().Remove();
        QCOMPARE(Rescan(m_manager), qMakePair(0, 0));
        for (const ItemPtr& f : d->GetType("shared_file")->GetItems())
            QCOMPARE(Values(f.GetItems("search_token")), ExpectedWords(f));
    }

    void lowerCaseKeys()
    {
        Type* folders = d->GetType("shared_file_folder");
        QCOMPARE(folders->GetItem(Value("/A/B/"))["shared_file_folder_lowercase_name"].AsString(), QString("/a/b"));
        QCOMPARE(folders->GetItem(Value("/A/b"))["shared_file_folder_lowercase_name"],
                 folders->GetItem(Value("/A/B/"))["shared_file_folder_lowercase_name"]);
        QCOMPARE(folders->GetItem(Value("/"))["shared_file_folder_lowercase_name"].AsString(), QString(""));
        QCOMPARE(d->GetType("shared_file_name")
                     ->GetItem(Value(QString::fromUtf8("ÄÖ.MP3")))["shared_file_lowercase_name"]
                     .AsString(),
                 QString::fromUtf8("äö.mp3"));
    }

    void badInput()
    {
        QVERIFY(MakeFiles(m_root, {"ok.txt", "first.txt", "second.txt"}));
        // A name that is not UTF-8; removed by its bytes, as the temporary folder cannot name it.
        const QByteArray bad = QFile::encodeName(m_root) + "/bad\xff\xfe name.txt";
        FILE* f = fopen(bad.constData(), "w");
        QVERIFY(f);
        fclose(f);
        const auto removeBad = qScopeGuard([&bad] { ::remove(bad.constData()); });
        // A file that goes away while the folder is walked: deleted when the first file is made.
        struct Deleter : DataHandler
        {
            QString path;
            void OnName(ItemPtr i_name)
            {
                if (i_name.AsString() == "first.txt")
                    QFile::remove(path);
            }
        } deleter;
        deleter.path = m_root + "/second.txt";
        d->GetType("shared_file_name")
            ->m_itemCreated.insert(new EventHandler<Deleter, ItemPtr>(&deleter, &Deleter::OnName));

        // A folder that can be read but not entered, and one whose path is longer than allowed:
        // each is logged with the real reason.
        QVERIFY(MakeFile(m_root, "locked/inside.txt") && MakeTooLongPath(m_root));
        QFile::setPermissions(m_root + "/locked", QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                          | QFile::ReadOther | QFile::ExeOther;
        QFile::setPermissions(m_dir->path(), open);
        // The deleter below runs as nobody too.
        QFile::setPermissions(m_root, open | QFile::WriteGroup | QFile::WriteOther);
        const auto cleanUp = qScopeGuard([this] {
            QFile::setPermissions(m_root + "/locked", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QProcess::execute("rm", {"-rf", m_root + '/' + QString(250, 'n')}); // too deep for the toolkit
        });
        const QStringList lines = SharedLog([this] {
            Unprivileged unprivileged;
            m_manager->AddSharedFolder(m_root);
            m_manager->AddSharedFolder(m_dir->path() + "/does-not-exist");
            m_manager->AddSharedFolder(QString());
        });
        for (const char* text :
             {"second.txt: it went away during the scan", "does-not-exist does not exist", "is not valid UTF-8",
              "locked/inside.txt: Permission denied", "cannot be read: File name too long"})
            QVERIFY2(!lines.filter(text).isEmpty(), text);
        // Neither is taken for a file or a folder that is gone.
        QCOMPARE(lines.filter("went away").size(), 1);
        QVERIFY(lines.filter("does not exist").filter(QString(250, 'n')).isEmpty());
        const QStringList paths = SharedPaths();
        QVERIFY(paths.contains(m_root + "/ok.txt"));
        QVERIFY(paths.contains(m_root + "/first.txt"));
        QVERIFY(!paths.contains(m_root + "/second.txt"));
        for (const QString& p : paths)
            QVERIFY2(!p.contains(QChar::ReplacementCharacter) || QFileInfo::exists(p), qPrintable(p));
        QCOMPARE(Rescan(m_manager).second, 0);
    }
};

QTEST_GUILESS_MAIN(TestShareScanning)
#include "test_share_scanning.moc"
