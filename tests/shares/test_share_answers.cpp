#include "SharesFixture.h"

#include "Log.h"

#include "SharedFolderInfo.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{
struct SearchReply
{
    std::string user;
    quint32 token = 0;
    std::vector<FileInfo> files;
    quint8 freeSlot = 0;
    quint32 speed = 0;
    quint32 queued = 0;
    quint32 tableCount = 0;
};

bool DecodeSearchReply(const MemStream& i_message, SearchReply& o_reply)
{
    MemStream body;
    if (!InflateMessage(i_message, 9, body))
        return false;
    InputStream in(body);
    quint32 count = 0;
    if (!in.Read(o_reply.user) || !in.Read(o_reply.token) || !in.Read(count))
        return false;
    for (quint32 n = 0; n < count; ++n)
    {
        FileInfo file;
        if (!file.Read(in))
            return false;
        o_reply.files.push_back(file);
    }
    return in.Read(o_reply.freeSlot) && in.Read(o_reply.speed) && in.Read(o_reply.queued)
        && in.Read(o_reply.tableCount) && body.BytesLeft() == 0;
}

// Reply paths below the test root, as "Public\a.mp3"; empty when no reply was built.
QStringList ReplyPaths(SharedFoldersManager* ip_manager, const QString& i_root, const QString& i_user,
                       const QString& i_query)
{
    MemStream message;
    if (!ip_manager->BuildSearchReply(i_user, 7, i_query, message))
        return {};
    SearchReply reply;
    if (!DecodeSearchReply(message, reply))
        return {"<undecodable>"};
    const std::string prefix = Remote(i_root) + '\\';
    QStringList paths;
    for (const FileInfo& file : reply.files)
    {
        if (file.m_name.compare(0, prefix.size(), prefix) != 0)
            return {"<outside the root>"};
        paths << QString::fromStdString(file.m_name.substr(prefix.size()));
    }
    return paths;
}

QStringList FolderNames(const ItemSet& i_folders, const QString& i_root)
{
    QStringList names;
    for (const ItemPtr& folder : i_folders)
        names << folder.AsString().mid(i_root.size() + 1);
    names.sort();
    return names;
}
} // namespace

class TestShareAnswers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void visibility_data();
    void visibility();
    void fileVisibilityCreatesTheUser();

    void searchResults_data();
    void searchResults();
    void searchReplyFields();
    void searchSignals();
    void hostileQueries();
    void replyIsCapped();
    void samePathOnce();

    void sharesListWorkedExample();
    void sharesListEntries();

    void folderContents();
    void folderContentsRefused_data();
    void folderContentsRefused();
    void answersGoToThePeerNetwork();

private:
    ItemPtr Share(const char* i_relative);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SharesStore> m_engines;
    SharedFoldersManager* m_manager = nullptr;
    QString m_root;
};

ItemPtr TestShareAnswers::Share(const char* i_relative)
{
    return m_manager->AddSharedFolder(m_root + QLatin1Char('/') + QLatin1String(i_relative));
}

// Public is for everyone, Friends for the user list, GroupA for group A, Hidden for nobody;
// Mixed is public and its sub-folder Deep is also shared on its own with group B.
void TestShareAnswers::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_root = m_dir->path();
    m_engines = std::make_unique<SharesStore>(true);
    m_manager = m_engines->manager;
    SetSetting("username", "me");

    for (const char* file : {"Public/abba gold.mp3", "Public/Abba LIVE.mp3", "Public/ABBA Zebra.txt",
                             "Public/abbamania.txt", "Public/live/abba song.mp3", "Friends/abba friends.ogg",
                             "GroupA/abba group.flac", "Hidden/abba hidden.mp3", "Mixed/Deep/abba deep.mp3",
                             "Mixed/top.txt"})
        QVERIFY(MakeFile(m_root, QString::fromUtf8(file), 1000));
    QVERIFY(QDir(m_root).mkpath("Public/empty"));

    MarkPublic(Share("Public"));
    MarkUserList(Share("Friends"));
    MarkGroup(Share("GroupA"), "A");
    Share("Hidden");
    MarkPublic(Share("Mixed"));
    MarkGroup(Share("Mixed/Deep"), "B");

    ListUser("friend");
    ListUser("alice", {"A"});
    ListUser("bea", {"B"});
    ListUser("evil", {"A"});
    Unshare("evil");
    d->GetType("user")->GetItem(Value("outsider"));
}

void TestShareAnswers::cleanup()
{
    m_engines.reset();
    m_dir.reset();
}

void TestShareAnswers::visibility_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QStringList>("folders");

    const QStringList pub{"Mixed", "Public"};
    QTest::newRow("never seen") << "nobody" << pub;
    QTest::newRow("known, not listed") << "outsider" << pub;
    QTest::newRow("listed, no group") << "friend" << QStringList{"Friends", "Mixed", "Public"};
    QTest::newRow("listed, group A") << "alice" << QStringList{"Friends", "GroupA", "Mixed", "Public"};
    QTest::newRow("listed, group B") << "bea" << QStringList{"Friends", "Mixed", "Mixed/Deep", "Public"};
    QTest::newRow("letter case differs") << "Alice" << pub;
    QTest::newRow("unshared") << "evil" << QStringList{};
}

// Both rules answer alike for every file, and the folder list never creates a user.
void TestShareAnswers::visibility()
{
    QFETCH(QString, user);
    QFETCH(QStringList, folders);

    const size_t users = d->GetType("user")->GetItems().size();
    QCOMPARE(FolderNames(m_manager->GetUserSharedFolders(user), m_root), folders);
    QCOMPARE(d->GetType("user")->GetItems().size(), users);

    const ItemSet visible = m_manager->GetUserSharedFolders(user).GetItems("shared_file_folder");
    int seen = 0;
    for (const ItemPtr& file : d->GetType("shared_file")->GetItems())
    {
        const bool expected = visible.contains(file["shared_file_folder"]);
        QCOMPARE(m_manager->IsFileSharedWithUser(file, user), expected);
        seen += expected;
    }
    // Deep lies under public Mixed: everyone who sees Mixed sees its file too.
    if (folders.contains("Mixed"))
        QVERIFY(m_manager->IsFileSharedWithUser(m_manager->GetSharedFileItem(m_root + "/Mixed/Deep/abba deep.mp3"),
                                                user));
    QVERIFY(folders.isEmpty() ? seen == 0 : seen > 0);
}

void TestShareAnswers::fileVisibilityCreatesTheUser()
{
    const ItemPtr file = m_manager->GetSharedFileItem(m_root + "/GroupA/abba group.flac");
    QVERIFY(file);
    QVERIFY(!d->GetType("user")->HasItem(Value("newcomer")));
    QVERIFY(!m_manager->IsFileSharedWithUser(file, "newcomer"));
    QVERIFY(d->GetType("user")->HasItem(Value("newcomer")));

    // A change of groups counts from the next call on.
    ListUser("newcomer", {"A"});
    QVERIFY(m_manager->IsFileSharedWithUser(file, "newcomer"));
}

void TestShareAnswers::searchResults_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QStringList>("paths");

    const QStringList publicAbba{"Mixed\\Deep\\abba deep.mp3", "Public\\ABBA Zebra.txt", "Public\\Abba LIVE.mp3",
                                 "Public\\abba gold.mp3", "Public\\live\\abba song.mp3"};
    QTest::newRow("stranger") << "outsider" << "abba" << publicAbba;
    QTest::newRow("listed") << "friend" << "ABBA"
                            << QStringList{"Friends\\abba friends.ogg", "Mixed\\Deep\\abba deep.mp3",
                                           "Public\\ABBA Zebra.txt", "Public\\Abba LIVE.mp3", "Public\\abba gold.mp3",
                                           "Public\\live\\abba song.mp3"};
    QTest::newRow("group A") << "alice" << "abba group" << QStringList{"GroupA\\abba group.flac"};
    QTest::newRow("group A, other case") << "Alice" << "abba group" << QStringList{};
    QTest::newRow("unshared") << "evil" << "abba" << QStringList{};
    QTest::newRow("no mark") << "alice" << "hidden" << QStringList{};
    QTest::newRow("two words") << "outsider" << "gold abba" << QStringList{"Public\\abba gold.mp3"};
    QTest::newRow("folder word") << "outsider" << "live abba"
                                 << QStringList{"Public\\Abba LIVE.mp3", "Public\\live\\abba song.mp3"};
    QTest::newRow("excluded, name only") << "outsider" << "abba -live"
                                         << QStringList{"Mixed\\Deep\\abba deep.mp3", "Public\\ABBA Zebra.txt",
                                                        "Public\\abba gold.mp3", "Public\\live\\abba song.mp3"};
    QTest::newRow("excluded phrase") << "outsider" << "public -\"abba gold\""
                                     << QStringList{"Public\\ABBA Zebra.txt", "Public\\Abba LIVE.mp3",
                                                    "Public\\abbamania.txt", "Public\\live\\abba song.mp3"};
    QTest::newRow("part in capitals") << "outsider" << "abba *ebr" << QStringList{"Public\\ABBA Zebra.txt"};
    QTest::newRow("part in the folder only") << "outsider" << "abba *publ" << QStringList{};
    QTest::newRow("parts only") << "outsider" << "*abba" << QStringList{};
    QTest::newRow("part of a word") << "outsider" << "abb" << QStringList{};
    QTest::newRow("phrase as included") << "outsider" << "\"abba gold\"" << QStringList{};
    QTest::newRow("invalid") << "outsider" << "abba -" << QStringList{};
    QTest::newRow("excluded only") << "outsider" << "-abba -gold" << QStringList{};
    QTest::newRow("one-letter words") << "outsider" << "a b c" << QStringList{};
    QTest::newRow("nested under public") << "outsider" << "deep" << QStringList{"Mixed\\Deep\\abba deep.mp3"};
    QTest::newRow("group B") << "bea" << "deep" << QStringList{"Mixed\\Deep\\abba deep.mp3"};
}

void TestShareAnswers::searchResults()
{
    QFETCH(QString, user);
    QFETCH(QString, query);
    QFETCH(QStringList, paths);
    QCOMPARE(ReplyPaths(m_manager, m_root, user, query), paths);
}

// Every field of the reply, and the attribute pairs only MP3 files carry.
void TestShareAnswers::searchReplyFields()
{
    SetSetting("upload_speed", "51234");
    m_manager->SetUploadStateSource([] { return SharedFoldersManager::UploadState{false, 17}; });
    auto file = [&](const char* i_relative) { return m_manager->GetSharedFileItem(m_root + "/" + i_relative); };
    Type* bitrate = d->GetType("bitrate");
    Type* mode = d->GetType("bitrate_mode");
    file("Public/abba gold.mp3").Connect(bitrate->GetItem(Value(192)));
    file("Public/abba gold.mp3").Connect(mode->GetItem(Value("vbr")));
    file("Public/Abba LIVE.mp3").Connect(bitrate->GetItem(Value(128)));
    file("Public/live/abba song.mp3").Connect(mode->GetItem(Value("cbr")));
    file("Public/ABBA Zebra.txt").Connect(bitrate->GetItem(Value(320))); // not an MP3: never sent

    MemStream message;
    QVERIFY(m_manager->BuildSearchReply("outsider", 0xDEADBEEF, "abba", message));
    SearchReply reply;
    QVERIFY(DecodeSearchReply(message, reply));
    QCOMPARE(reply.user, std::string("me"));
    QCOMPARE(reply.token, 0xDEADBEEFu);
    QCOMPARE(reply.freeSlot, quint8(0));
    QCOMPARE(reply.speed, 51234u);
    QCOMPARE(reply.queued, 17u);
    QCOMPARE(reply.tableCount, 0u);
    QCOMPARE(int(reply.files.size()), 5);
    QCOMPARE(reply.files[0].m_size, qint64(1000));

    using Pairs = QVector<std::pair<qint32, qint32>>;
    auto pairs = [](const FileInfo& i_file) {
        return Pairs(i_file.m_attributes.m_attributes.begin(), i_file.m_attributes.m_attributes.end());
    };
    // In path order: Deep (unscanned), Zebra.txt, LIVE.mp3, gold.mp3, song.mp3.
    QCOMPARE(reply.files[0].m_attributes.m_extension, std::string("mp3"));
    QCOMPARE(pairs(reply.files[0]), Pairs());
    QCOMPARE(reply.files[1].m_attributes.m_extension, std::string());
    QCOMPARE(pairs(reply.files[1]), Pairs());
    QCOMPARE(pairs(reply.files[2]), (Pairs{{0, 128}}));
    QCOMPARE(pairs(reply.files[3]), (Pairs{{0, 192}, {2, 1}}));
    QCOMPARE(pairs(reply.files[4]), (Pairs{{2, 0}}));

    // Without a speed the field is 0; without an upload source the slot is free.
    SetSetting("upload_speed", QString());
    m_manager->SetUploadStateSource(nullptr);
    QVERIFY(m_manager->BuildSearchReply("outsider", 1, "gold", message));
    reply = SearchReply();
    QVERIFY(DecodeSearchReply(message, reply));
    QCOMPARE(reply.speed, 0u);
    QCOMPARE(reply.freeSlot, quint8(1));
    QCOMPARE(reply.queued, 0u);
}

void TestShareAnswers::searchSignals()
{
    QSignalSpy processed(m_manager, &SharedFoldersManager::SearchProcessed);

    // Our own search, echoed back: nothing at all, also through the distributed network.
    m_manager->OnDirectFileSearch("me", 1, "abba");
    m_manager->OnDNetSearchRequest("me", 1, "abba");
    QCOMPARE(processed.count(), 0);

    // "Me" is someone else.
    m_manager->OnDirectFileSearch("Me", 2, "abba");
    m_manager->OnDNetSearchRequest("outsider", 3, "ABBA  -live");
    m_manager->OnDirectFileSearch("outsider", 4, "hidden");
    m_manager->OnDNetSearchRequest("outsider", 5, "-");
    QCOMPARE(processed.count(), 4);
    QCOMPARE(processed.at(0), (QList<QVariant>{"abba", true}));
    QCOMPARE(processed.at(1), (QList<QVariant>{"ABBA  -live", true}));
    QCOMPARE(processed.at(2), (QList<QVariant>{"hidden", false}));
    QCOMPARE(processed.at(3), (QList<QVariant>{"-", false}));
}

void TestShareAnswers::hostileQueries()
{
    QStringList words, same, excluded;
    for (int n = 0; n < 10000; ++n)
    {
        words << QString("w%1").arg(n);
        same << "abba";
        excluded << QString("-x%1").arg(n);
    }
    const QStringList queries{words.join(' '), excluded.join(' '), QString::fromUtf8("\xff\xfe\xc0 abba \xed\xa0\x80"),
                              QString(QChar(0xD800)) + " abba", QString(100000, QLatin1Char('"')),
                              QString(100000, QLatin1Char('a'))};
    MemStream message;
    for (const QString& query : queries)
        QVERIFY(!m_manager->BuildSearchReply("outsider", 1, query, message));
    QCOMPARE(ReplyPaths(m_manager, m_root, "outsider", same.join(' ') + " gold"),
             QStringList{"Public\\abba gold.mp3"});
}

// Receivers refuse more than 131072 results; the reply keeps the first ones in path order.
void TestShareAnswers::replyIsCapped()
{
    ItemPtr shared = d->GetType("shared_folder")->GetItem(Value("/many"));
    MarkPublic(shared);
    ItemPtr folder = d->GetType("shared_file_folder")->GetItem(Value("/many"));
    folder.Connect(shared);
    ItemPtr word = d->GetType("search_token")->GetItem(Value("many"));
    ItemPtr size = d->GetType("shared_file_size")->GetItem(Value(1));
    const int total = int(SharedFoldersManager::MaxSearchResults) + 3;
    for (int n = total - 1; n >= 0; --n)
    {
        ItemPtr file = d->GetType("shared_file")->NewItem();
        file.Connect(folder);
        file.Connect(size);
        file.Connect(d->GetType("shared_file_name")->GetItem(Value(QString("%1").arg(n, 6, 10, QLatin1Char('0')))));
        file.Connect(word);
    }
    MemStream message;
    QVERIFY(m_manager->BuildSearchReply("outsider", 1, "many", message));
    SearchReply reply;
    QVERIFY(DecodeSearchReply(message, reply));
    QCOMPARE(quint32(reply.files.size()), SharedFoldersManager::MaxSearchResults);
    QCOMPARE(reply.files.front().m_name, std::string("\\many\\000000"));
    QCOMPARE(reply.files.back().m_name, std::string("\\many\\131071"));
}

// Two files under one path (a rescan that left the old one) give one record: the newer file's.
void TestShareAnswers::samePathOnce()
{
    ItemPtr shared = d->GetType("shared_folder")->GetItem(Value("/twice"));
    MarkPublic(shared);
    ItemPtr folder = d->GetType("shared_file_folder")->GetItem(Value("/twice"));
    folder.Connect(shared);
    ItemPtr word = d->GetType("search_token")->GetItem(Value("twice"));
    for (int size : {10, 20})
        for (const char* name : {"b twice", "a twice"})
        {
            ItemPtr file = d->GetType("shared_file")->NewItem();
            file.Connect(folder);
            file.Connect(d->GetType("shared_file_size")->GetItem(Value(size)));
            file.Connect(d->GetType("shared_file_name")->GetItem(Value(name)));
            file.Connect(word);
        }
    MemStream message;
    QVERIFY(m_manager->BuildSearchReply("outsider", 1, "twice", message));
    SearchReply reply;
    QVERIFY(DecodeSearchReply(message, reply));
    QCOMPARE(int(reply.files.size()), 2);
    QCOMPARE(reply.files[0].m_name, std::string("\\twice\\a twice"));
    QCOMPARE(reply.files[0].m_size, qint64(20));
    QCOMPARE(reply.files[1].m_name, std::string("\\twice\\b twice"));
    QCOMPARE(reply.files[1].m_size, qint64(20));
}

void TestShareAnswers::sharesListWorkedExample()
{
    ItemPtr shared = d->GetType("shared_folder")->GetItem(Value("/music"));
    MarkPublic(shared);
    ItemPtr folder = d->GetType("shared_file_folder")->GetItem(Value("/music"));
    folder.Connect(shared);
    ItemPtr file = d->GetType("shared_file")->NewItem();
    file.Connect(folder);
    file.Connect(d->GetType("shared_file_name")->GetItem(Value("a.mp3")));
    file.Connect(d->GetType("shared_file_size")->GetItem(Value(1000)));
    file.Connect(d->GetType("bitrate")->GetItem(Value(192)));
    file.Connect(d->GetType("bitrate_mode")->GetItem(Value("cbr")));
    // Only the worked example's folder is visible.
    for (ItemPtr other : d->GetType("shared_folder")->GetItems())
        if (other != shared)
            other.Disconnect("shared_public");

    const QByteArray expected = QByteArray::fromHex("01000000"
                                                    "06000000" "5c6d75736963"
                                                    "01000000"
                                                    "01"
                                                    "05000000" "612e6d7033"
                                                    "e803000000000000"
                                                    "03000000" "6d7033"
                                                    "02000000"
                                                    "00000000" "c0000000"
                                                    "02000000" "00000000"
                                                    "00000000");
    MemStream body;
    QVERIFY(InflateMessage(m_manager->GetSharedFilesMessage("outsider"), 5, body));
    QCOMPARE(body.ToByteArray().toHex(), expected.toHex());

    FileInfoMap share;
    AttributeTranslationTable table;
    m_manager->GetSharedFilesAsUserShare("outsider", share, table);
    QCOMPARE(int(share.size()), 1);
    QVERIFY(table.empty());

    // Whoever may see nothing still gets a reply: an empty map and an empty table.
    shared.Disconnect("shared_public");
    for (const char* user : {"nobody", "evil"})
    {
        QVERIFY(InflateMessage(m_manager->GetSharedFilesMessage(user), 5, body = MemStream()));
        QCOMPARE(body.ToByteArray(), QByteArray(8, '\0'));
    }
}

void TestShareAnswers::sharesListEntries()
{
    QVERIFY(QDir(m_root).mkpath("Public/Zeta"));
    QVERIFY(QDir(m_root).mkpath("Public/alpha"));
    QVERIFY(MakeFile(m_root, "Public/SONG.MP3", 5));
    m_manager->RescanShares();
    m_manager->GetSharedFileItem(m_root + "/Public/SONG.MP3").Connect(d->GetType("bitrate")->GetItem(Value(256)));

    MemStream body;
    QVERIFY(InflateMessage(m_manager->GetSharedFilesMessage("alice"), 5, body));
    InputStream in(body);
    FileInfoMap share;
    AttributeTranslationTable table;
    QVERIFY(in.Read(share));
    QVERIFY(in.Read(table));
    QCOMPARE(body.BytesLeft(), size_t(0));
    QVERIFY(table.empty());

    const std::string root = Remote(m_root);
    std::vector<std::string> keys;
    for (const auto& entry : share)
        keys.push_back(entry.first.substr(root.size()));
    // Flat, "\"-separated, in byte order (so "Zeta" before "alpha"), empty folders included.
    const std::vector<std::string> expected{"\\Friends",       "\\GroupA",        "\\Mixed",
                                            "\\Mixed\\Deep",   "\\Public",        "\\Public\\Zeta",
                                            "\\Public\\alpha", "\\Public\\empty", "\\Public\\live"};
    QCOMPARE(keys, expected);
    QVERIFY(share[root + "\\Public\\empty"].empty());

    const FileInfoSet& pub = share[root + "\\Public"];
    QCOMPARE(int(pub.size()), 5);
    const auto song = pub.find(FileInfo("SONG.MP3", 5));
    QVERIFY(song != pub.end());
    QCOMPARE(song->m_attributes.m_extension, std::string("mp3"));
    QCOMPARE(int(song->m_attributes.m_attributes.size()), 1);
    QCOMPARE(song->m_attributes.m_attributes[0], std::make_pair(qint32(0), qint32(256)));
    QVERIFY(pub.count(FileInfo("ABBA Zebra.txt", 1000)));
}

void TestShareAnswers::folderContents()
{
    m_manager->GetSharedFileItem(m_root + "/Public/abba gold.mp3").Connect(d->GetType("bitrate")->GetItem(Value(192)));
    const QString asked = QString::fromStdString(Remote(m_root + "/Public"));

    MemStream message;
    QVERIFY(m_manager->BuildFolderContentsReply("outsider", 77, asked, message));
    MemStream body;
    QVERIFY(InflateMessage(message, 37, body));
    InputStream in(body);
    quint32 token = 0, entries = 0;
    QString folder, again;
    SharedFolderInfo files;
    QVERIFY(in.Read(token) && in.Read(folder) && in.Read(entries) && in.Read(again) && in.Read(files));
    QCOMPARE(body.BytesLeft(), size_t(0));
    QCOMPARE(token, 77u);
    QCOMPARE(folder, asked);
    QCOMPARE(again, asked);
    QCOMPARE(entries, 1u);
    // The folder's own files only, without attributes, in name order.
    std::vector<std::string> names;
    for (const FileInfo& file : files.m_files)
    {
        names.push_back(file.m_name);
        QCOMPARE(file.m_size, qint64(1000));
        QVERIFY(file.m_attributes == AttributeMap());
    }
    QCOMPARE(names, (std::vector<std::string>{"ABBA Zebra.txt", "Abba LIVE.mp3", "abba gold.mp3", "abbamania.txt"}));

    // An empty folder is answered with no files; a sub-folder of a visible group folder too.
    QVERIFY(m_manager->BuildFolderContentsReply("outsider", 1,
                                                QString::fromStdString(Remote(m_root + "/Public/empty")), message));
    QVERIFY(InflateMessage(message, 37, body = MemStream()));
    QCOMPARE(body.ToByteArray().right(8), QByteArray(8, '\0'));
    QVERIFY(m_manager->BuildFolderContentsReply("bea", 1,
                                                QString::fromStdString(Remote(m_root + "/Mixed/Deep")), message));
}

void TestShareAnswers::folderContentsRefused_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("folder");

    QTest::newRow("group folder, stranger") << "outsider" << "/GroupA";
    QTest::newRow("unmarked folder") << "alice" << "/Hidden";
    QTest::newRow("unshared user") << "evil" << "/Public";
    QTest::newRow("letter case") << "outsider" << "/public";
    QTest::newRow("trailing separator") << "outsider" << "/Public\\";
    QTest::newRow("not shared") << "outsider" << "/Nowhere";
    QTest::newRow("climbing out") << "outsider" << "/Public\\..\\GroupA";
    QTest::newRow("empty") << "outsider" << "";
}

void TestShareAnswers::folderContentsRefused()
{
    QFETCH(QString, user);
    QFETCH(QString, folder);
    const QString asked = folder.isEmpty() ? folder : QString::fromStdString(Remote(m_root)) + folder;
    MemStream message;
    QVERIFY(!m_manager->BuildFolderContentsReply(user, 1, asked, message));
}

// Only answers that exist reach the peer network, which then sets out to reach the user.
void TestShareAnswers::answersGoToThePeerNetwork()
{
    QStringList lines;
    SetLogSink([&lines](const QString& i_area, const QString& i_line) {
        if (i_area == "Shared" || i_area == "Search")
            lines << i_area + ": " + i_line.section(QLatin1String("] "), 1);
    });
    const auto restore = qScopeGuard([] { SetLogSink(LogSink()); });
    lines.clear(); // the sink is handed every line kept so far
    auto loggedOnce = [&lines](const QString& i_text) {
        return lines.filter(i_text).size() == 1;
    };

    // Refusals and silent searches leave no trace in the log.
    PeerMessenger* peer = m_engines->peer;
    QCOMPARE(peer->AttemptCount(), 0);
    m_manager->OnFilesInFoldersRequested("outsider", 1,
                                         QString::fromStdString(Remote(m_root + "/GroupA")));
    m_manager->OnFilesInFoldersRequested("outsider", 1, "..\\..\\etc");
    m_manager->OnDirectFileSearch("outsider", 1, "hidden");
    m_manager->OnDirectFileSearch("me", 1, "abba");
    QCOMPARE(peer->AttemptCount(), 0);
    QCOMPARE(lines, QStringList());

    m_manager->OnFilesInFoldersRequested("outsider", 1,
                                         QString::fromStdString(Remote(m_root + "/Public")));
    QCOMPARE(peer->AttemptCount(), 1);
    QVERIFY(m_manager->ProcessSearch("friend", 2, "ABBA -live"));
    QCOMPARE(peer->AttemptCount(), 2);
    QVERIFY(loggedOnce("Search: Sending search results to user friend for search string ABBA -live"));

    // Every shares-list request is logged, also when the asker may see nothing.
    m_manager->GetSharedFilesMessage("evil");
    QVERIFY(loggedOnce("Shared: Shared file list requested by user evil"));
}

QTEST_GUILESS_MAIN(TestShareAnswers)
#include "test_share_answers.moc"
