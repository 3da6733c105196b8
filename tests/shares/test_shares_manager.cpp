#include "SharesFixture.h"

#include "Log.h"
#include "RawPeer.h"
#include "TestServer.h"
#include "Wire.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{
// MPEG-1 Layer III frame headers at 192 kbit/s, joint stereo, 44.1 kHz, without CRC.
QByteArray Mp3Bytes(int i_frames)
{
    const QByteArray frame = QByteArray::fromHex("fffbb040") + QByteArray(20, '\0');
    return frame.repeated(i_frames);
}

QStringList LinkedTypes(const ItemPtr& i_file)
{
    QStringList out;
    for (const char* type : {"mpeg_version", "channel_mode", "audio_frequency", "bitrate_mode", "bitrate"})
        out << i_file[type].AsString();
    return out;
}
} // namespace

class TestSharesManager : public QObject
{
    Q_OBJECT

private slots:
    // Primacy decides what the collector keeps: a wrong one loses shares or keeps stale items.
    void typePrimacy()
    {
        SharesStore store;
        const std::pair<Primacy, const char*> types[]{
            {Primary, "shared_folder user_share"},
            {Secondary, "shared_file shared_file_name shared_file_folder user_share_folder user_share_folder_parent "
                        "user_share_folder_child user_share_file"},
            {Tertiary, "shared_file_lowercase_name shared_file_folder_lowercase_name shared_file_size shared_public "
                       "shared_userlist is_scanned shared_folder_id user_share_folder_name user_share_file_name "
                       "search_token unshared"}};
        for (const auto& [primacy, names] : types)
            for (const QString& name : QString(names).split(' '))
            {
                const std::string type = name.toStdString();
                QVERIFY2(d->HasType(type) && d->GetType(type)->GetPrimacy() == primacy
                             && d->GetType(type)->IsCreateOnGet(),
                         type.c_str());
            }
    }

    // Rows "type other ends": the first end tells how many others one item of the type may hold,
    // the second how many items of the type one other may hold (M many, O one).
    void relationEnds_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("other");
        QTest::addColumn<bool>("typeHoldsMany");
        QTest::addColumn<bool>("otherHoldsMany");
        const char* relations[]{"shared_folder shared_file_folder MM",
                                "shared_folder shared_public OM",
                                "shared_folder shared_userlist OM",
                                "shared_folder user_list_group MM",
                                "shared_folder shared_folder_id OO",
                                "shared_file shared_file_folder OM",
                                "shared_file shared_file_name OM",
                                "shared_file shared_file_size OM",
                                "shared_file mpeg_version OM",
                                "shared_file channel_mode OM",
                                "shared_file audio_frequency OM",
                                "shared_file bitrate_mode OM",
                                "shared_file bitrate OM",
                                "shared_file is_scanned OM",
                                "shared_file_folder shared_file_folder_lowercase_name OM",
                                "shared_file_name shared_file_lowercase_name OM",
                                "user_share user OO",
                                "user_share user_share_folder MO",
                                "user_share_folder user_share_folder_name OM",
                                "user_share_folder user_share_file MO",
                                "user_share_folder user_share_folder_parent OO",
                                "user_share_folder user_share_folder_child MO",
                                "user_share_folder_parent user_share_folder_child OO",
                                "user_share_file user_share_file_name OM",
                                "user_share_file file_size OM",
                                "user_share_file bitrate_mode OM",
                                "user_share_file bitrate OM",
                                "user_share_file length_seconds OM",
                                "search_token shared_file MM",
                                "user unshared OM"};
        for (const char* relation : relations)
        {
            const QStringList r = QString(relation).split(' ');
            QTest::newRow(relation) << r[0] << r[1] << (r[2][0] == 'M') << (r[2][1] == 'M');
        }
    }

    // Linking a second item on a One end unlinks the first; on a Many end both stay.
    void relationEnds()
    {
        QFETCH(QString, type);
        QFETCH(QString, other);
        QFETCH(bool, typeHoldsMany);
        QFETCH(bool, otherHoldsMany);
        SharesStore store;
        auto make = [](const QString& i_type, int i_n) {
            Type* t = d->GetType(i_type.toStdString());
            return t->IsNull() ? t->NewItem() : t->GetItem(Value(QString("%1 %2").arg(i_type).arg(i_n)));
        };
        // 1 when the holder keeps its first link beside a second one, 0 when the second replaced it.
        auto keepsFirst = [](ItemPtr i_holder, ItemPtr i_first, ItemPtr i_second) {
            i_holder.Connect(i_first);
            i_holder.Connect(i_second);
            return i_holder.IsConnected(i_second) ? int(i_holder.IsConnected(i_first)) : -1;
        };
        QVERIFY(d->GetType(type.toStdString())->IsRelatedTo(d->GetType(other.toStdString())));
        QCOMPARE(keepsFirst(make(type, 1), make(other, 1), make(other, 2)), int(typeHoldsMany));
        QCOMPARE(keepsFirst(make(other, 3), make(type, 2), make(type, 3)), int(otherHoldsMany));
    }

    void saveAndLoad()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/Share";
        const QString dataFile = dir.path() + "/data";
        QVERIFY(MakeFile(root, "a.txt", 123));
        QVERIFY(WriteFile(root + "/sub/song.mp3", Mp3Bytes(50)));

        QStringList before;
        QSet<QString> wordsBefore;
        {
            SharesStore store;
            MarkPublic(store.manager->AddSharedFolder(root));
            ItemPtr other = store.manager->AddSharedFolder(dir.path() + "/Other");
            MarkUserList(other);
            MarkGroup(other, "friends");
            Unshare("mallory");
            d->GetType("user")->GetItem(Value("bystander"));
            store.manager->OnMP3Scanned(root + "/sub/song.mp3", 1, "joint stereo", 0, false, 192);
            // Not saved: words, browsed shares.
            d->GetType("user_share")->NewItem().Connect(d->GetType("user")->GetItem(Value("bob")));
            wordsBefore = Values(d->GetType("search_token")->GetItems());
            before = SharedPaths();
            dataSaver->Save(dataFile);
        }

        SharesStore store;
        dataSaver->Load(dataFile);
        QCOMPARE(SharedPaths(), before);
        QCOMPARE(d->GetType("search_token")->GetItemCount(), size_t(0));
        QCOMPARE(d->GetType("user_share")->GetItemCount(), size_t(0));
        QCOMPARE(GetSetting("shared_folder_counter"), QString("3"));

        ItemPtr folder = d->GetType("shared_folder")->HasItem(Value(root));
        QVERIFY(folder);
        QCOMPARE(folder["shared_folder_id"].AsString(), QString("[1]Share"));
        QVERIFY(folder.IsConnected("shared_public"));
        ItemPtr other = d->GetType("shared_folder")->HasItem(Value(dir.path() + "/Other"));
        QVERIFY(other.IsConnected("shared_userlist"));
        QCOMPARE(other["user_list_group"].AsString(), QString("friends"));
        QVERIFY(d->GetType("user")->HasItem(Value("mallory")).IsConnected("unshared"));
        QVERIFY(!d->GetType("user")->HasItem(Value("bystander")));

        // The lower-case items come back with the load, so lookups work before any rescan.
        ItemPtr song = store.manager->GetSharedFileItem(root + "/SUB/Song.mp3");
        QVERIFY(song);
        QCOMPARE(LinkedTypes(song), (QStringList{"1", "joint stereo", "0", "cbr", "192"}));
        QVERIFY(song.IsConnected("is_scanned"));
        QCOMPARE(store.manager->GetSharedFileItem(root + "/a.txt")["shared_file_size"].AsString(), QString("123"));

        // A scanned file is not asked for again; the rescan rebuilds the words.
        QSignalSpy requests(store.manager, &SharedFoldersManager::MP3ScanRequired);
        QSignalSpy rescanned(store.manager, &SharedFoldersManager::SharedFilesRescanned);
        store.manager->Init();
        QCOMPARE(requests.count(), 0);
        QCOMPARE(rescanned, (QList<QList<QVariant>>{{0, 0}}));
        QCOMPARE(Values(d->GetType("search_token")->GetItems()), wordsBefore);
    }

    // Only names ending in ".mp3" or ".MP3" are scanned; results reach the file items through the
    // scanner's thread.
    void audioResults()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/Share";
        QVERIFY(WriteFile(root + "/good.mp3", Mp3Bytes(100)) && WriteFile(root + "/gone.mp3", Mp3Bytes(100)));
        // A backslash is part of a local name, not a separator.
        QVERIFY(WriteFile(root + "/back\\slash.mp3", Mp3Bytes(100)));
        QVERIFY(WriteFile(root + "/junk.mp3", QByteArray(5000, 'x')));
        QVERIFY(MakeFiles(root, {"empty.mp3", "b.MP3", "c.Mp3", "d.mp3.bak", ".mp3", "e.ogg"}, 0));

        SharesStore store;
        SharedFoldersManager* m = store.manager;
        QStringList lines;
        SetLogSink([&lines](const QString& i_area, const QString& i_line) {
            if (i_area == "MP3 Scanning")
                lines << i_line.section(QLatin1String("] "), 1);
        });
        const auto restore = qScopeGuard([] { SetLogSink(LogSink()); });
        lines.clear(); // the sink is handed every line kept so far
        QSignalSpy scanned(m, &SharedFoldersManager::MP3ScanRequired);
        auto requested = [&scanned] {
            QStringList names;
            for (const auto& call : scanned)
                names << QFileInfo(call.at(0).toString()).fileName();
            scanned.clear();
            names.sort();
            return names;
        };
        m->AddSharedFolder(root);
        QCOMPARE(requested(),
                 (QStringList{"b.MP3", "back\\slash.mp3", "empty.mp3", "gone.mp3", "good.mp3", "junk.mp3"}));
        // The item goes before its result arrives: the result is dropped.
        m->GetSharedFileItem(root + "/gone.mp3").Remove();

        const ItemPtr good = m->GetSharedFileItem(root + "/good.mp3");
        QTRY_VERIFY_WITH_TIMEOUT(good.IsConnected("is_scanned"), 10000);
        QCOMPARE(LinkedTypes(good), (QStringList{"1", "joint stereo", "0", "cbr", "192"}));
        QCOMPARE(m->GetFileItemDisplayString(good), QString("192 CBR"));
        QVERIFY(m->GetSharedFileItem(root + "/back\\slash.mp3").IsConnected("is_scanned"));
        // Requests are answered in order, so the unshared file's result came first: logged, dropped.
        QVERIFY(lines.contains("Scanned " + root + "/gone.mp3"));
        // Failed scans store nothing and are asked for at the next rescan; a scanned file is not.
        for (const char* name : {"/junk.mp3", "/empty.mp3", "/b.MP3"})
            QVERIFY(!m->GetSharedFileItem(root + name).IsConnected("is_scanned")
                    && !m->GetSharedFileItem(root + name).IsConnected("bitrate"));
        QVERIFY(!m->GetSharedFileItem(root + "/gone.mp3"));
        m->RescanShares();
        QCOMPARE(requested(), (QStringList{"b.MP3", "empty.mp3", "gone.mp3", "junk.mp3"}));
    }

    void destroyWhileScanning()
    {
        // A large file keeps the scanner busy while more requests queue up; destruction waits for
        // the one in progress and answers nothing else.
        QTemporaryDir dir;
        const QString big = dir.path() + "/big.mp3";
        QVERIFY(WriteFile(big, Mp3Bytes(400000)));
        auto store = std::make_unique<SharesStore>();
        SharedFoldersManager* m = store->manager;
        for (int i = 0; i < 20; ++i)
            emit m->MP3ScanRequired(big);
        QElapsedTimer timer;
        timer.start();
        store.reset();
        QVERIFY(timer.elapsed() < 10000);
        QCoreApplication::processEvents();
        QCOMPARE(sharedFoldersManager, static_cast<SharedFoldersManager*>(nullptr));
    }

    void lookup()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/Music";
        QVERIFY(MakeFiles(root, {"Song.mp3", "sub/Only Here.txt", "../Other/elsewhere.txt"}));
        SharesStore store;
        SharedFoldersManager* m = store.manager;
        m->AddSharedFolder(root);
        m->AddSharedFolder(dir.path() + "/Other");

        const ItemPtr song = m->GetSharedFileItem(root + "/Song.mp3");
        QVERIFY(song);
        QCOMPARE(m->GetSharedFileItem(root.toUpper() + "/SONG.MP3"), song);
        QCOMPARE(m->GetSharedFileItem(root.toLower() + "/song.mp3/"), song);
        QVERIFY(!m->GetSharedFileItem(QString(root + "/Song.mp3").replace('/', '\\')));
        QVERIFY(!m->GetSharedFileItem(root + "/elsewhere.txt"));
        QVERIFY(!m->GetSharedFileItem(root + "/sub"));
        QVERIFY(!m->GetSharedFileItem(QString()));
        QVERIFY(m->GetSharedFileItem(root + "/sub/only here.TXT"));
        QVERIFY(m->GetSharedFileItem(dir.path() + "/Other/elsewhere.txt"));

        // Two names that differ in case in one folder: the older item answers.
        ItemPtr folder = d->GetType("shared_file_folder")->HasItem(Value(root));
        ItemPtr twin = d->GetType("shared_file")->NewItem();
        twin.Connect(folder);
        twin.Connect(d->GetType("shared_file_name")->GetItem(Value("SONG.mp3")));
        QCOMPARE(m->GetSharedFileItem(root + "/song.mp3"), song);
    }

    void displayString_data()
    {
        QTest::addColumn<int>("bitrate");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("text");
        QTest::newRow("cbr") << 192 << "cbr" << -1 << "192 CBR";
        QTest::newRow("vbr with length") << 128 << "vbr" << 245 << "128 VBR, 4m5s";
        QTest::newRow("bitrate only") << 320 << "" << -1 << "320";
        QTest::newRow("length only") << -1 << "" << 65 << ", 1m5s";
        QTest::newRow("nothing") << -1 << "" << -1 << "";
        QTest::newRow("hours") << -1 << "" << 3725 << ", 1h2m5s";
    }

    void displayString()
    {
        QFETCH(int, bitrate);
        QFETCH(QString, mode);
        QFETCH(int, length);
        SharesStore store;
        ItemPtr file = d->GetType("user_share_file")->NewItem();
        if (bitrate >= 0)
            file.Connect(d->GetType("bitrate")->GetItem(Value(bitrate)));
        if (!mode.isEmpty())
            file.Connect(d->GetType("bitrate_mode")->GetItem(Value(mode)));
        if (length >= 0)
            file.Connect(d->GetType("length_seconds")->GetItem(Value(length)));
        QTEST(store.manager->GetFileItemDisplayString(file), "text");
    }

    void removeUserShare()
    {
        SharesStore store;
        auto build = [](const QString& i_user) {
            ItemPtr user = d->GetType("user")->GetItem(Value(i_user));
            ItemPtr share = d->GetType("user_share")->NewItem();
            share.Connect(user);
            ItemPtr top = share.NewItem("user_share_folder");
            top.Connect(d->GetType("user_share_folder_name")->GetItem(Value(i_user + "-top")));
            ItemPtr sub = share.NewItem("user_share_folder");
            sub.Connect(d->GetType("user_share_folder_name")->GetItem(Value(i_user + "-sub")));
            ItemPtr parent = sub.NewItem("user_share_folder_parent");
            parent.Connect(top.NewItem("user_share_folder_child"));
            for (ItemPtr folder : {top, sub})
            {
                ItemPtr file = folder.NewItem("user_share_file");
                file.Connect(d->GetType("user_share_file_name")->GetItem(Value(i_user + "-file")));
                file.Connect(d->GetType("file_size")->GetItem(Value(i_user.size() * 1000)));
                file.Connect(d->GetType("bitrate")->GetItem(Value(128)));
            }
        };
        build("bob");
        build("carol");
        store.manager->RemoveUserShare("bob");
        store.manager->RemoveUserShare("nobody");
        QVERIFY(d->GetType("user")->HasItem(Value("bob")));
        QVERIFY(!d->GetType("user")->HasItem(Value("bob"))["user_share"]);
        QCOMPARE(d->GetType("user_share")->GetItemCount(), size_t(1));
        QCOMPARE(d->GetType("user_share_folder")->GetItemCount(), size_t(2));
        QCOMPARE(d->GetType("user_share_file")->GetItemCount(), size_t(2));
        QCOMPARE(d->GetType("user_share_folder_parent")->GetItemCount(), size_t(1));
        QCOMPARE(Values(d->GetType("user_share_folder_name")->GetItems()), (QSet<QString>{"carol-top", "carol-sub"}));
        QCOMPARE(Values(d->GetType("user_share_file_name")->GetItems()), QSet<QString>{"carol-file"});
        QCOMPARE(Values(d->GetType("file_size")->GetItems()), QSet<QString>{"5000"});
    }

    // Settings to log in as alice to this loopback server, on free listening ports.
    static void LogInTo(const TestServer& i_server)
    {
        SetSettingNumber("new_listening_port", FreePortPair());
        dataSaver->NotifyFirstStart();
        SetSetting("server_host", "127.0.0.1");
        SetSettingNumber("server_port", i_server.Port());
        SetSetting("username", "alice");
        SetSetting("password", "secret");
    }

    void serverStatistics()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/Music";
        QVERIFY(MakeFiles(root, {"a.txt", "b.txt", "sub/c.txt"}));

        SharesStore store(true);
        SharedFoldersManager* manager = store.manager;
        TestServer testServer;
        QVERIFY(testServer.Listen());
        LogInTo(testServer);
        testServer.SetUserStats("alice", 4321, 7, 3, 2);
        manager->AddSharedFolder(root);
        manager->RescanShares();

        QSignalSpy connected(gp_server, &Server::Connected);
        gp_server->Connect();
        QVERIFY(connected.wait(5000));
        // The last count report of the login is ours: two folders, three files.
        auto lastCounts = [&]() {
            const QList<TestServer::Frame> frames = testServer.FramesWithCode(SM_SHARED_FOLDERS_FILES, "alice");
            if (frames.isEmpty())
                return qMakePair(-1u, -1u);
            WireReader counts(frames.last().m_body);
            const quint32 folders = counts.U32();
            const quint32 files = counts.U32();
            return counts.AtEnd() && !counts.Failed() ? qMakePair(folders, files) : qMakePair(-2u, -2u);
        };
        QTRY_COMPARE_WITH_TIMEOUT(lastCounts(), qMakePair(2u, 3u), 5000);
        const int reports = testServer.FramesWithCode(SM_SHARED_FOLDERS_FILES, "alice").size();
        QVERIFY(testServer.WaitForFrames(SM_GET_USER_STATS, 1, "alice"));
        QCOMPARE(WireReader(testServer.FramesWithCode(SM_GET_USER_STATS, "alice").at(0).m_body).Str(),
                 QString("alice"));
        QTRY_COMPARE_WITH_TIMEOUT(GetSetting("upload_speed"), QString("4321"), 5000);

        // Statistics of a name that differs only in case leave the speed alone; a rescan that adds
        // files does not report the counts again.
        QSignalSpy stats(gp_server, &Server::ReceivedUserStats);
        QVERIFY(testServer.SendFrame("alice", SM_GET_USER_STATS, WireWriter().Str("ALICE").Stats(99, 1, 1, 1).Body()));
        QVERIFY(stats.wait(5000));
        QCOMPARE(GetSetting("upload_speed"), QString("4321"));
        QVERIFY(MakeFile(root, "d.txt"));
        manager->RescanShares();
        QVERIFY(testServer.SendFrame("alice", SM_GET_USER_STATS, WireWriter().Str("alice").Stats(555, 1, 1, 1).Body()));
        QVERIFY(stats.wait(5000));
        QCOMPARE(GetSetting("upload_speed"), QString("555"));
        QCOMPARE(testServer.FramesWithCode(SM_SHARED_FOLDERS_FILES, "alice").size(), reports);
        QCOMPARE(lastCounts(), qMakePair(2u, 3u));
    }

    // After a restart the rooms joined at login list the user with what the server last heard:
    // the real counts go once, ahead of the joins.
    void the_login_reports_the_real_counts_once_before_joining_rooms()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/Music";
        QVERIFY(MakeFiles(root, {"a.txt", "sub/b.txt", "sub/c.txt"}));
        SharesStore store(true);
        TestServer testServer;
        QVERIFY(testServer.Listen());
        LogInTo(testServer);
        store.manager->AddSharedFolder(root);
        store.manager->RescanShares();
        d->GetType("room")->GetItem(Value("lobby")) += d->GetType("room_autojoin")->GetGlobalNullItem();

        gp_server->Connect();
        QVERIFY(testServer.WaitForFrames(SM_GET_USER_STATS, 1, "alice"));
        const QList<quint32> codes = testServer.Codes("alice");
        QCOMPARE(codes.count(SM_SHARED_FOLDERS_FILES), 1);
        QVERIFY(codes.indexOf(SM_JOIN_ROOM) > codes.indexOf(SM_SHARED_FOLDERS_FILES));
        WireReader counts(testServer.FramesWithCode(SM_SHARED_FOLDERS_FILES, "alice").at(0).m_body);
        const quint32 folders = counts.U32();
        QCOMPARE(qMakePair(folders, counts.U32()), qMakePair(2u, 3u));
    }
};

QTEST_GUILESS_MAIN(TestSharesManager)
#include "test_shares_manager.moc"
