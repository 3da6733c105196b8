#include "SharesFixture.h"

#include "Log.h"

#include "SharedFolderInfo.h"
#include "TransferQueueManager.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <map>
#include <memory>
#include <random>

namespace
{
struct SearchReply
{
    bool built = false;
    std::string user;
    quint32 token = 0;
    std::vector<FileInfo> files;
    quint8 freeSlot = 0;
    quint32 speed = 0;
    quint32 queued = 0;
    quint32 tableCount = 0;

    QString Fields() const
    {
        return QString("%1 %2 %3 %4 %5 %6")
            .arg(QString::fromStdString(user))
            .arg(token)
            .arg(freeSlot)
            .arg(speed)
            .arg(queued)
            .arg(tableCount);
    }
    QStringList Files(const std::string& i_prefix = std::string()) const;
};

// A folder-contents answer as a peer reads it.
struct FolderReply
{
    quint32 token = 0;
    QString folder;
    quint32 entries = 0;
    QString again;
    SharedFolderInfo contents;
};

// Builds the folder-contents answer and reads it back; false when none was built or it does not
// decode whole.
bool AskFolder(const QString& i_user, quint32 i_token, const QString& i_folder, FolderReply& o_reply)
{
    MemStream message, body;
    if (!sharedFoldersManager->BuildFolderContentsReply(i_user, i_token, i_folder, message)
        || !InflateMessage(message, 37, body))
        return false;
    InputStream in(body);
    return in.Read(o_reply.token) && in.Read(o_reply.folder) && in.Read(o_reply.entries) && in.Read(o_reply.again)
           && in.Read(o_reply.contents) && body.BytesLeft() == 0;
}

// Builds the reply and reads it back; false when none was built or it does not decode whole.
bool Ask(const QString& i_user, quint32 i_token, const QString& i_query, SearchReply& o_reply)
{
    MemStream message, body;
    o_reply.built = sharedFoldersManager->BuildSearchReply(i_user, i_token, i_query, message);
    if (!o_reply.built || !InflateMessage(message, 9, body))
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
    return in.Read(o_reply.freeSlot) && in.Read(o_reply.speed) && in.Read(o_reply.queued) && in.Read(o_reply.tableCount)
           && body.BytesLeft() == 0;
}

// "name size extension code=value ..." with the name below i_prefix.
QString Describe(const FileInfo& i_file, const std::string& i_prefix = std::string())
{
    QString text = QString::fromStdString(i_file.m_name.substr(i_prefix.size())) + ' ' + QString::number(i_file.m_size)
                   + ' ' + QString::fromStdString(i_file.m_attributes.m_extension);
    for (const auto& [code, value] : i_file.m_attributes.m_attributes)
        text += QString(" %1=%2").arg(code).arg(value);
    return text;
}

QStringList SearchReply::Files(const std::string& i_prefix) const
{
    QStringList out;
    for (const FileInfo& file : files)
        out << Describe(file, i_prefix);
    return out;
}

// Reply paths below the test root, as "Public\a.mp3"; empty when no reply was built.
QStringList ReplyPaths(const QString& i_root, const QString& i_user, const QString& i_query)
{
    SearchReply reply;
    const bool decoded = Ask(i_user, 7, i_query, reply);
    if (!reply.built || !decoded)
        return reply.built ? QStringList{"<undecodable>"} : QStringList();
    const std::string prefix = Remote(i_root) + '\\';
    QStringList paths;
    for (const FileInfo& file : reply.files)
        paths << (file.m_name.compare(0, prefix.size(), prefix) == 0
                      ? QString::fromStdString(file.m_name.substr(prefix.size()))
                      : "<outside the root>");
    return paths;
}

// A public shared folder made of items only, and its files, each found by one word.
ItemPtr FakeFolder(const char* i_path)
{
    ItemPtr shared = d->GetType("shared_folder")->GetItem(Value(i_path));
    MarkPublic(shared);
    ItemPtr folder = d->GetType("shared_file_folder")->GetItem(Value(i_path));
    folder.Connect(shared);
    return folder;
}
ItemPtr FakeFile(ItemPtr i_folder, const QString& i_name, int i_size, const char* i_word = nullptr)
{
    ItemPtr file = d->GetType("shared_file")->NewItem();
    file.Connect(i_folder);
    file.Connect(d->GetType("shared_file_size")->GetItem(Value(i_size)));
    file.Connect(d->GetType("shared_file_name")->GetItem(Value(i_name)));
    if (i_word)
        file.Connect(d->GetType("search_token")->GetItem(Value(i_word)));
    return file;
}
} // namespace

class TestShareAnswers : public QObject
{
    Q_OBJECT

    ItemPtr Share(const char* i_relative)
    {
        return m_manager->AddSharedFolder(m_root + QLatin1Char('/') + QLatin1String(i_relative));
    }
    QString Asked(const QString& i_relative) const { return QString::fromStdString(Remote(m_root + i_relative)); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SharesStore> m_engines;
    SharedFoldersManager* m_manager = nullptr;
    QString m_root;

private slots:
    // Public is for everyone, Friends for the user list, GroupA for group A, Hidden for nobody;
    // Mixed is public and its sub-folder Deep is also shared on its own with group B.
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_root = m_dir->path();
        m_engines = std::make_unique<SharesStore>(true);
        m_manager = m_engines->manager;
        SetSetting("username", "me");
        QVERIFY(
            MakeFiles(m_root,
                      {"Public/abba gold.mp3", "Public/Abba LIVE.mp3", "Public/ABBA Zebra.txt", "Public/abbamania.txt",
                       "Public/live/abba song.mp3", "Friends/abba friends.ogg", "GroupA/abba group.flac",
                       "Hidden/abba hidden.mp3", "Mixed/Deep/abba deep.mp3", "Mixed/top.txt"},
                      1000));
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

    void cleanup()
    {
        m_engines.reset();
        m_dir.reset();
    }

    void visibility_data()
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
    void visibility()
    {
        QFETCH(QString, user);
        QFETCH(QStringList, folders);

        const size_t users = d->GetType("user")->GetItems().size();
        const ItemSet shared = m_manager->GetUserSharedFolders(user);
        QStringList names;
        for (const ItemPtr& folder : shared)
            names << folder.AsString().mid(m_root.size() + 1);
        names.sort();
        QCOMPARE(names, folders);
        QCOMPARE(d->GetType("user")->GetItems().size(), users);

        const ItemSet visible = shared.GetItems("shared_file_folder");
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

    // Asking about a file creates the user; a change of groups counts from the next call on.
    void fileVisibilityCreatesTheUser()
    {
        const ItemPtr file = m_manager->GetSharedFileItem(m_root + "/GroupA/abba group.flac");
        QVERIFY(!m_manager->IsFileSharedWithUser(file, "newcomer"));
        QVERIFY(d->GetType("user")->HasItem(Value("newcomer")));
        ListUser("newcomer", {"A"});
        QVERIFY(m_manager->IsFileSharedWithUser(file, "newcomer"));
    }

    void searchResults_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("paths");

        const QStringList publicAbba{"Mixed\\Deep\\abba deep.mp3", "Public\\ABBA Zebra.txt", "Public\\Abba LIVE.mp3",
                                     "Public\\abba gold.mp3", "Public\\live\\abba song.mp3"};
        const QStringList none;
        QTest::newRow("stranger") << "outsider"
                                  << "abba" << publicAbba;
        QTest::newRow("listed") << "friend"
                                << "ABBA" << QStringList{"Friends\\abba friends.ogg"} + publicAbba;
        QTest::newRow("group A") << "alice"
                                 << "abba group" << QStringList{"GroupA\\abba group.flac"};
        QTest::newRow("group A, other case") << "Alice"
                                             << "abba group" << none;
        QTest::newRow("unshared") << "evil"
                                  << "abba" << none;
        QTest::newRow("no mark") << "alice"
                                 << "hidden" << none;
        QTest::newRow("two words") << "outsider"
                                   << "gold abba" << QStringList{"Public\\abba gold.mp3"};
        QTest::newRow("folder word") << "outsider"
                                     << "live abba"
                                     << QStringList{"Public\\Abba LIVE.mp3", "Public\\live\\abba song.mp3"};
        QTest::newRow("excluded, name only") << "outsider"
                                             << "abba -live"
                                             << QStringList{"Mixed\\Deep\\abba deep.mp3", "Public\\ABBA Zebra.txt",
                                                            "Public\\abba gold.mp3", "Public\\live\\abba song.mp3"};
        QTest::newRow("excluded phrase") << "outsider"
                                         << "public -\"abba gold\""
                                         << QStringList{"Public\\ABBA Zebra.txt", "Public\\Abba LIVE.mp3",
                                                        "Public\\abbamania.txt", "Public\\live\\abba song.mp3"};
        QTest::newRow("part in capitals") << "outsider"
                                          << "abba *ebr" << QStringList{"Public\\ABBA Zebra.txt"};
        QTest::newRow("part in the folder only") << "outsider"
                                                 << "abba *publ" << none;
        QTest::newRow("parts only") << "outsider"
                                    << "*abba" << none;
        QTest::newRow("part of a word") << "outsider"
                                        << "abb" << none;
        QTest::newRow("phrase as included") << "outsider"
                                            << "\"abba gold\"" << none;
        QTest::newRow("invalid") << "outsider"
                                 << "abba -" << none;
        QTest::newRow("excluded only") << "outsider"
                                       << "-abba -gold" << none;
        QTest::newRow("one-letter words") << "outsider"
                                          << "a b c" << none;
        QTest::newRow("nested under public") << "outsider"
                                             << "deep" << QStringList{"Mixed\\Deep\\abba deep.mp3"};
        QTest::newRow("group B") << "bea"
                                 << "deep" << QStringList{"Mixed\\Deep\\abba deep.mp3"};
    }

    void searchResults()
    {
        QFETCH(QString, user);
        QFETCH(QString, query);
        QTEST(ReplyPaths(m_root, user, query), "paths");
    }

    // Every field of the reply, and the attribute pairs only MP3 files carry.
    void searchReplyFields()
    {
        SetSetting("upload_speed", "51234");
        m_manager->SetUploadStateSource([] { return SharedFoldersManager::UploadState{false, 17}; });
        auto link = [&](const char* i_relative, const char* i_type, const Value& i_value) {
            m_manager->GetSharedFileItem(m_root + "/Public/" + i_relative)
                .Connect(d->GetType(i_type)->GetItem(i_value));
        };
        link("abba gold.mp3", "bitrate", 192);
        link("abba gold.mp3", "bitrate_mode", "vbr");
        link("Abba LIVE.mp3", "bitrate", 128);
        link("live/abba song.mp3", "bitrate_mode", "cbr");
        link("ABBA Zebra.txt", "bitrate", 320); // not an MP3: never sent

        SearchReply reply;
        QVERIFY(Ask("outsider", 0xDEADBEEF, "abba", reply));
        QCOMPARE(reply.Fields(), QString("me 3735928559 0 51234 17 0"));
        QCOMPARE(reply.Files(Remote(m_root) + '\\'),
                 (QStringList{"Mixed\\Deep\\abba deep.mp3 1000 mp3", "Public\\ABBA Zebra.txt 1000 ",
                              "Public\\Abba LIVE.mp3 1000 mp3 0=128", "Public\\abba gold.mp3 1000 mp3 0=192 2=1",
                              "Public\\live\\abba song.mp3 1000 mp3 2=0"}));

        // Without a speed the field is 0; without an upload source the slot is free.
        SetSetting("upload_speed", QString());
        m_manager->SetUploadStateSource(nullptr);
        QVERIFY(Ask("outsider", 1, "gold", reply = SearchReply()));
        QCOMPARE(reply.Fields(), QString("me 1 1 0 0 0"));
    }

    void hostileQueries()
    {
        QStringList words, same, excluded;
        for (int n = 0; n < 10000; ++n)
        {
            words << QString("w%1").arg(n);
            same << "abba";
            excluded << QString("-x%1").arg(n);
        }
        const QStringList queries{words.join(' '),
                                  excluded.join(' '),
                                  QString::fromUtf8("\xff\xfe\xc0 abba \xed\xa0\x80"),
                                  QString(QChar(0xD800)) + " abba",
                                  QString(100000, QLatin1Char('"')),
                                  QString(100000, QLatin1Char('a'))};
        for (const QString& query : queries)
        {
            SearchReply reply;
            Ask("outsider", 1, query, reply);
            QVERIFY(!reply.built);
        }
        QCOMPARE(ReplyPaths(m_root, "outsider", same.join(' ') + " gold"), QStringList{"Public\\abba gold.mp3"});
    }

    // Receivers refuse more than 131072 results; the reply keeps the first ones in path order.
    void replyIsCapped()
    {
        const ItemPtr folder = FakeFolder("/many");
        const int total = int(SharedFoldersManager::MaxSearchResults) + 3;
        for (int n = total - 1; n >= 0; --n)
            FakeFile(folder, QString("%1").arg(n, 6, 10, QLatin1Char('0')), 1, "many");
        SearchReply reply;
        QVERIFY(Ask("outsider", 1, "many", reply));
        QCOMPARE(quint32(reply.files.size()), SharedFoldersManager::MaxSearchResults);
        QCOMPARE(reply.files.front().m_name, std::string("\\many\\000000"));
        QCOMPARE(reply.files.back().m_name, std::string("\\many\\131071"));
    }

    // Two files under one path (a rescan that left the old one) give one record: the newer file's.
    void samePathOnce()
    {
        const ItemPtr folder = FakeFolder("/twice");
        for (int size : {10, 20})
            for (const char* name : {"b twice", "a twice"})
                FakeFile(folder, name, size, "twice");
        SearchReply reply;
        QVERIFY(Ask("outsider", 1, "twice", reply));
        QCOMPARE(reply.Files(), (QStringList{"\\twice\\a twice 20 ", "\\twice\\b twice 20 "}));
    }

    void sharesListWorkedExample()
    {
        // Only the worked example's folder is visible.
        for (ItemPtr other : d->GetType("shared_folder")->GetItems())
            other.Disconnect("shared_public");
        const ItemPtr folder = FakeFolder("/music");
        ItemPtr file = FakeFile(folder, "a.mp3", 1000);
        file.Connect(d->GetType("bitrate")->GetItem(Value(192)));
        file.Connect(d->GetType("bitrate_mode")->GetItem(Value("cbr")));

        const QByteArray expected = QByteArray::fromHex("01000000"
                                                        "06000000"
                                                        "5c6d75736963"
                                                        "01000000"
                                                        "01"
                                                        "05000000"
                                                        "612e6d7033"
                                                        "e803000000000000"
                                                        "03000000"
                                                        "6d7033"
                                                        "02000000"
                                                        "00000000"
                                                        "c0000000"
                                                        "02000000"
                                                        "00000000"
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
        ItemPtr(folder["shared_folder"]).Disconnect("shared_public");
        for (const char* user : {"nobody", "evil"})
        {
            QVERIFY(InflateMessage(m_manager->GetSharedFilesMessage(user), 5, body = MemStream()));
            QCOMPARE(body.ToByteArray(), QByteArray(8, '\0'));
        }
    }

    // Flat, "\"-separated, in byte order (so "Zeta" before "alpha"), empty folders included.
    void sharesListEntries()
    {
        QVERIFY(QDir(m_root).mkpath("Public/Zeta") && QDir(m_root).mkpath("Public/alpha"));
        QVERIFY(MakeFile(m_root, "Public/SONG.MP3", 5));
        m_manager->RescanShares();
        m_manager->GetSharedFileItem(m_root + "/Public/SONG.MP3").Connect(d->GetType("bitrate")->GetItem(Value(256)));

        MemStream body;
        QVERIFY(InflateMessage(m_manager->GetSharedFilesMessage("alice"), 5, body));
        InputStream in(body);
        FileInfoMap share;
        AttributeTranslationTable table;
        QVERIFY(in.Read(share) && in.Read(table));
        QCOMPARE(body.BytesLeft(), size_t(0));
        QVERIFY(table.empty());

        const std::string root = Remote(m_root);
        QStringList folders, files;
        for (const auto& [folder, entries] : share)
        {
            folders << QString::fromStdString(folder.substr(root.size()));
            for (const FileInfo& file : entries)
                files << folders.last() + '|' + Describe(file);
        }
        files.sort();
        QCOMPARE(folders, (QStringList{"\\Friends", "\\GroupA", "\\Mixed", "\\Mixed\\Deep", "\\Public",
                                       "\\Public\\Zeta", "\\Public\\alpha", "\\Public\\empty", "\\Public\\live"}));
        QCOMPARE(files, (QStringList{"\\Friends|abba friends.ogg 1000 ", "\\GroupA|abba group.flac 1000 ",
                                     "\\Mixed\\Deep|abba deep.mp3 1000 mp3", "\\Mixed|top.txt 1000 ",
                                     "\\Public\\live|abba song.mp3 1000 mp3", "\\Public|ABBA Zebra.txt 1000 ",
                                     "\\Public|Abba LIVE.mp3 1000 mp3", "\\Public|SONG.MP3 5 mp3 0=256",
                                     "\\Public|abba gold.mp3 1000 mp3", "\\Public|abbamania.txt 1000 "}));
    }

    void a_kept_shares_list_follows_every_change_data()
    {
        QTest::addColumn<QString>("change");
        for (const char* change :
             {"file added", "file removed", "bitrate found", "folder unshared", "folder shared with the group",
              "user joins a group", "rescan", "file leaves its folder", "file renamed", "size changed", "bitrate lost",
              "bitrate mode lost", "sub-folder leaves its share", "folder no longer public"})
            QTest::newRow(change) << QString::fromLatin1(change);
    }

    // The list is kept for each visibility between requests; whatever changes what a user may see,
    // the next request gets the list as it is now.
    void a_kept_shares_list_follows_every_change()
    {
        QFETCH(QString, change);
        const auto fresh = [this](const char* i_user) {
            FileInfoMap share;
            AttributeTranslationTable table;
            m_manager->GetSharedFilesAsUserShare(i_user, share, table);
            MemStream body;
            OutputStream out(body);
            out.Write(share);
            out.Write(table);
            return body.ToByteArray();
        };
        ItemPtr gold = m_manager->GetSharedFileItem(m_root + "/Public/abba gold.mp3");
        gold.Connect(d->GetType("bitrate")->GetItem(Value(192)));
        gold.Connect(d->GetType("bitrate_mode")->GetItem(Value("vbr")));
        MemStream body;
        for (const char* user : {"alice", "friend"})
        {
            QVERIFY(InflateMessage(m_manager->GetSharedFilesMessage(user), 5, body = MemStream()));
            QCOMPARE(body.ToByteArray(), fresh(user));
        }
        const std::size_t built = m_manager->SharesListsBuilt();
        if (change == QLatin1String("file added"))
            FakeFile(gold["shared_file_folder"], QStringLiteral("new.txt"), 5);
        else if (change == QLatin1String("file removed"))
            gold.Remove();
        else if (change == QLatin1String("bitrate found"))
            gold.Connect(d->GetType("bitrate")->GetItem(Value(320)));
        else if (change == QLatin1String("folder unshared"))
            m_manager->GetSharedFileItem(m_root + "/Friends/abba friends.ogg")["shared_file_folder"]["shared_folder"]
                .Disconnect("shared_userlist");
        else if (change == QLatin1String("folder shared with the group"))
            MarkGroup(Share("Hidden"), "A");
        else if (change == QLatin1String("user joins a group"))
            ListUser("friend", {"A"});
        // Losses that leave every user's folders as they were: only the unlink tells.
        else if (change == QLatin1String("file leaves its folder"))
            gold.Disconnect("shared_file_folder");
        else if (change == QLatin1String("file renamed"))
            gold.Connect(d->GetType("shared_file_name")->GetItem(Value("renamed.mp3")));
        else if (change == QLatin1String("size changed"))
            gold.Connect(d->GetType("shared_file_size")->GetItem(Value(1234)));
        else if (change == QLatin1String("bitrate lost"))
            gold.Disconnect("bitrate");
        else if (change == QLatin1String("bitrate mode lost"))
            gold.Disconnect("bitrate_mode");
        else if (change == QLatin1String("sub-folder leaves its share"))
            d->GetType("shared_file_folder")->HasItem(Value(m_root + "/Public/live")).Disconnect("shared_folder");
        else if (change == QLatin1String("folder no longer public"))
            gold["shared_file_folder"]["shared_folder"].Disconnect("shared_public");
        else
        {
            QVERIFY(MakeFile(m_root, "Public/later.txt", 7));
            m_manager->RescanShares();
        }
        for (const char* user : {"alice", "friend"})
        {
            QVERIFY(InflateMessage(m_manager->GetSharedFilesMessage(user), 5, body = MemStream()));
            QCOMPARE(body.ToByteArray(), fresh(user));
        }
        // Who joins a group may find the list of its new visibility kept already.
        if (change != QLatin1String("user joins a group"))
            QVERIFY(m_manager->SharesListsBuilt() > built);
    }

    void a_kept_shares_list_outlives_links_it_does_not_hold_data()
    {
        QTest::addColumn<QString>("link");
        for (const char* link : {"upload queued", "upload removed", "search word", "scan mark"})
            QTest::newRow(link) << QString::fromLatin1(link);
    }

    // Upload entries, search words and scan marks link to shared files, yet no list holds them: a
    // peer that queues a file before each ask still gets the kept list, and the next real change
    // is still heard.
    void a_kept_shares_list_outlives_links_it_does_not_hold()
    {
        QFETCH(QString, link);
        TransferQueueManager queue;
        const QString goldPath = Asked("/Public/abba gold.mp3");
        ItemPtr gold = m_manager->GetSharedFileItem(m_root + "/Public/abba gold.mp3");
        if (link == QLatin1String("upload removed"))
            queue.OnQueueUploadRequested("alice", goldPath);
        const QByteArray kept = m_manager->GetSharedFilesMessage("alice").ToByteArray();
        const std::size_t built = m_manager->SharesListsBuilt();

        if (link == QLatin1String("upload queued"))
            queue.OnQueueUploadRequested("alice", goldPath);
        else if (link == QLatin1String("upload removed"))
            queue.RemoveUpload(gold["upload_entry"]);
        else if (link == QLatin1String("search word"))
            gold.Connect(d->GetType("search_token")->GetItem(Value("newword")));
        else
            gold.Connect(d->GetType("is_scanned")->GetGlobalNullItem());
        QCOMPARE(gold.IsConnected("upload_entry"), link == QLatin1String("upload queued"));

        QCOMPARE(m_manager->GetSharedFilesMessage("alice").ToByteArray(), kept);
        QCOMPARE(m_manager->SharesListsBuilt(), built);
        gold.Connect(d->GetType("shared_file_size")->GetItem(Value(77)));
        QVERIFY(m_manager->GetSharedFilesMessage("alice").ToByteArray() != kept);
        QCOMPARE(m_manager->SharesListsBuilt(), built + 1);
    }

    void folderContents()
    {
        m_manager->GetSharedFileItem(m_root + "/Public/abba gold.mp3")
            .Connect(d->GetType("bitrate")->GetItem(Value(192)));
        FolderReply reply;
        QVERIFY(AskFolder("outsider", 77, Asked("/Public"), reply));
        QCOMPARE(reply.token, 77u);
        QCOMPARE(reply.folder, Asked("/Public"));
        QCOMPARE(reply.again, Asked("/Public"));
        QCOMPARE(reply.entries, 1u);
        // The folder's own files only, without attributes, in name order.
        QStringList names;
        for (const FileInfo& file : reply.contents.m_files)
            names << Describe(file);
        QCOMPARE(names, (QStringList{"ABBA Zebra.txt 1000 ", "Abba LIVE.mp3 1000 ", "abba gold.mp3 1000 ",
                                     "abbamania.txt 1000 "}));

        // An empty folder is answered with no files; a sub-folder of a visible group folder too.
        MemStream message, body;
        QVERIFY(m_manager->BuildFolderContentsReply("outsider", 1, Asked("/Public/empty"), message));
        QVERIFY(InflateMessage(message, 37, body));
        QCOMPARE(body.ToByteArray().right(8), QByteArray(8, '\0'));
        QVERIFY(m_manager->BuildFolderContentsReply("bea", 1, Asked("/Mixed/Deep"), message));
    }

    void a_kept_folder_answer_follows_every_change_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QStringList>("files");
        const QStringList before{"ABBA Zebra.txt 1000", "Abba LIVE.mp3 1000", "abba gold.mp3 1000",
                                 "abbamania.txt 1000"};
        QTest::newRow("none") << "none" << before;
        QTest::newRow("file added") << "file added" << QStringList(before) + QStringList{"new.txt 5"};
        QTest::newRow("file removed") << "file removed"
                                      << QStringList{"ABBA Zebra.txt 1000", "Abba LIVE.mp3 1000", "abbamania.txt 1000"};
        QTest::newRow("rescan") << "rescan" << QStringList(before) + QStringList{"later.txt 7"};
        QTest::newRow("folder unshared") << "folder unshared" << QStringList();
    }

    // Two users who may see a folder get its answer built once, each with its own request number;
    // whatever changes the folder or who may see it, the next request gets the folder as it is now.
    void a_kept_folder_answer_follows_every_change()
    {
        QFETCH(QString, change);
        QFETCH(QStringList, files);
        int builds = 0;
        SetLogSink([&builds](const QString&, const QString& i_line) {
            builds += i_line.contains(QLatin1String("Building the contents of")) ? 1 : 0;
        });
        const auto restore = qScopeGuard([] { SetLogSink(LogSink()); });
        builds = 0; // the sink is handed every line kept so far
        const auto ask = [this](const char* i_user, quint32 i_token) {
            MemStream message, body;
            if (!m_manager->BuildFolderContentsReply(i_user, i_token, Asked("/Public"), message))
                return QStringList();
            if (!InflateMessage(message, 37, body))
                return QStringList{"<does not inflate>"};
            InputStream in(body);
            quint32 token = 0, entries = 0;
            QString folder, again;
            SharedFolderInfo contents;
            if (!in.Read(token) || !in.Read(folder) || !in.Read(entries) || !in.Read(again) || !in.Read(contents)
                || body.BytesLeft() != 0 || token != i_token || folder != Asked("/Public") || again != folder
                || entries != 1)
                return QStringList{"<unreadable>"};
            QStringList names;
            for (const FileInfo& file : contents.m_files)
                names << Describe(file).trimmed();
            return names;
        };
        const QStringList before{"ABBA Zebra.txt 1000", "Abba LIVE.mp3 1000", "abba gold.mp3 1000",
                                 "abbamania.txt 1000"};
        QCOMPARE(ask("outsider", 3), before);
        QCOMPARE(ask("friend", 0xfedcba98), before);
        QCOMPARE(ask("outsider", 0), before);
        QCOMPARE(builds, 1);

        ItemPtr gold = m_manager->GetSharedFileItem(m_root + "/Public/abba gold.mp3");
        if (change == QLatin1String("file added"))
            FakeFile(gold["shared_file_folder"], QStringLiteral("new.txt"), 5);
        else if (change == QLatin1String("file removed"))
            gold.Remove();
        else if (change == QLatin1String("folder unshared"))
            gold["shared_file_folder"]["shared_folder"].Disconnect("shared_public");
        else if (change == QLatin1String("rescan"))
        {
            QVERIFY(MakeFile(m_root, "Public/later.txt", 7));
            m_manager->RescanShares();
        }
        builds = 0;
        QCOMPARE(ask("friend", 9), files);
        QCOMPARE(ask("outsider", 10), files);
        QCOMPARE(builds, change == QLatin1String("none") || files.isEmpty() ? 0 : 1);
    }

    void kept_folder_answers_are_keyed_by_folder_and_give_way_one_at_a_time_data()
    {
        QTest::addColumn<QStringList>("asked");
        QTest::addColumn<QStringList>("built");
        const QString deep = "\\deep\\one\\two\\three\\four";
        QTest::newRow("every spelling of a folder is one build")
            << QStringList{deep, "/deep/one/two/three/four", "\\deep/one\\two/three\\four",
                           "/deep\\one/two\\three/four", deep}
            << QStringList{deep};
        // Three of the large listings fit in the bound, a fourth does not.
        QTest::newRow("the folder used longest ago gives way, and only it")
            << QStringList{"\\big\\a", "\\big\\b", "\\big\\c", "\\big\\a",
                           "\\big\\d", "\\big\\a", "\\big\\c", "\\big\\b"}
            << QStringList{"\\big\\a", "\\big\\b", "\\big\\c", "\\big\\d", "\\big\\b"};
        QTest::newRow("an answer under another spelling is a use of its folder")
            << QStringList{"\\big\\a", "\\big\\b", "\\big\\c", "/big/a", "\\big\\d", "/big\\a", "\\big\\c"}
            << QStringList{"\\big\\a", "\\big\\b", "\\big\\c", "\\big\\d"};
    }

    // A folder's listing is built once whatever its spelling, while each answer echoes the folder
    // as asked; past the 32 MiB bound the listing used longest ago makes room, not every one.
    void kept_folder_answers_are_keyed_by_folder_and_give_way_one_at_a_time()
    {
        QFETCH(QStringList, asked);
        QFETCH(QStringList, built);
        std::map<QString, size_t> files{{"/deep/one/two/three/four", 2}};
        const ItemPtr deep = FakeFolder("/deep/one/two/three/four");
        FakeFile(deep, "song.mp3", 5);
        FakeFile(deep, "cover.jpg", 6);
        // Names that hardly compress: some 9.2 MB of compressed listing a folder.
        constexpr size_t kLargeFolderFiles = 2800;
        std::mt19937 random(7);
        if (asked.join('|').contains(QLatin1String("big")))
            for (const char* path : {"/big/a", "/big/b", "/big/c", "/big/d"})
            {
                const ItemPtr folder = FakeFolder(path);
                files[path] = kLargeFolderFiles;
                for (size_t n = 0; n < kLargeFolderFiles; ++n)
                {
                    QString name(2048, Qt::Uninitialized);
                    for (QChar& letter : name)
                        letter = QChar(ushort(0x100 + random() % 0x700));
                    FakeFile(folder, name, int(n));
                }
            }
        QStringList builds;
        SetLogSink([&builds](const QString&, const QString& i_line) {
            if (i_line.contains(QLatin1String("Building the contents of ")))
                builds << i_line.section(QLatin1String("Building the contents of "), 1).section(" for user ", 0, 0);
        });
        const auto restore = qScopeGuard([] { SetLogSink(LogSink()); });
        builds.clear(); // the sink is handed every line kept so far

        for (quint32 n = 0; n < quint32(asked.size()); ++n)
        {
            FolderReply reply;
            QVERIFY(AskFolder("outsider", n, asked[n], reply));
            QCOMPARE(reply.token, n);
            QCOMPARE(reply.folder, asked[n]);
            QCOMPARE(reply.entries, 1u);
            QCOMPARE(reply.again, asked[n]);
            QCOMPARE(reply.contents.m_files.size(), files[QString(asked[n]).replace('\\', '/')]);
        }
        QCOMPARE(builds, built);
    }

    void folderContentsRefused_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("folder");

        QTest::newRow("group folder, stranger") << "outsider"
                                                << "/GroupA";
        QTest::newRow("unmarked folder") << "alice"
                                         << "/Hidden";
        QTest::newRow("unshared user") << "evil"
                                       << "/Public";
        QTest::newRow("letter case") << "outsider"
                                     << "/public";
        QTest::newRow("trailing separator") << "outsider"
                                            << "/Public\\";
        QTest::newRow("not shared") << "outsider"
                                    << "/Nowhere";
        QTest::newRow("climbing out") << "outsider"
                                      << "/Public\\..\\GroupA";
        QTest::newRow("empty") << "outsider"
                               << "";
    }

    void folderContentsRefused()
    {
        QFETCH(QString, user);
        QFETCH(QString, folder);
        MemStream message;
        QVERIFY(!m_manager->BuildFolderContentsReply(user, 1, folder.isEmpty() ? folder : Asked(folder), message));
    }

    // Only answers that exist reach the peer network, which then sets out to reach the user. Our own
    // search, echoed back, is not even processed, also through the distributed network.
    void answersGoToThePeerNetwork()
    {
        QStringList lines;
        SetLogSink([&lines](const QString& i_area, const QString& i_line) {
            if (i_area == "Shared" || i_area == "Search")
                lines << i_area + ": " + i_line.section(QLatin1String("] "), 1);
        });
        const auto restore = qScopeGuard([] { SetLogSink(LogSink()); });
        lines.clear(); // the sink is handed every line kept so far
        QSignalSpy processed(m_manager, &SharedFoldersManager::SearchProcessed);
        PeerMessenger* peer = m_engines->peer;

        // Refusals and silent searches leave no trace in the log.
        m_manager->OnDirectFileSearch("me", 1, "abba");
        m_manager->OnDNetSearchRequest("me", 1, "abba");
        m_manager->OnFilesInFoldersRequested("outsider", 1, Asked("/GroupA"));
        m_manager->OnFilesInFoldersRequested("outsider", 1, "..\\..\\etc");
        m_manager->OnDirectFileSearch("outsider", 4, "hidden");
        m_manager->OnDNetSearchRequest("outsider", 5, "-");
        QCOMPARE(peer->AttemptCount(), 0);
        QCOMPARE(lines, QStringList());

        m_manager->OnFilesInFoldersRequested("outsider", 1, Asked("/Public"));
        m_manager->OnDirectFileSearch("Me", 2, "abba"); // "Me" is someone else
        m_manager->OnDNetSearchRequest("friend", 3, "ABBA  -live");
        QCOMPARE(peer->AttemptCount(), 3);
        QCOMPARE(processed.count(), 4);
        QCOMPARE(processed.at(0), (QList<QVariant>{"hidden", false}));
        QCOMPARE(processed.at(1), (QList<QVariant>{"-", false}));
        QCOMPARE(processed.at(2), (QList<QVariant>{"abba", true}));
        QCOMPARE(processed.at(3), (QList<QVariant>{"ABBA  -live", true}));
        QCOMPARE(lines.filter("Search: Sending search results to user friend for search string ABBA  -live").size(), 1);

        // Every shares-list request is logged, also when the asker may see nothing.
        m_manager->GetSharedFilesMessage("evil");
        QCOMPARE(lines.filter("Shared: Shared file list requested by user evil").size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestShareAnswers)
#include "test_share_answers.moc"
