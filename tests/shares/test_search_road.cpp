#include "HarnessProcess.h"
#include "RawPeer.h"
#include "TestServer.h"
#include "TestTree.h"

#include <QDir>
#include <QFile>
#include <QtTest>

// The road of a search between three whole client processes: alice searches; bob hears it from
// the server and from alice as his distributed parent; carol, bob's child, hears it down the
// tree. Bob and carol share folders with different visibility and answer with their real shares
// engine; alice also browses bob's shares and asks for single folders.
class TestSearchRoad : public QObject
{
    Q_OBJECT

    TestServer m_server;
    TestTree m_tree{&m_server};
    HarnessProcess m_alice, m_bob, m_carol;
    // Named so that no word of its path is a query word below.
    QTemporaryDir m_files{QDir::tempPath() + QStringLiteral("/veltrane-XXXXXX")};
    quint16 m_bobPort = 0;

    // The folder as other clients see it ("\" separated).
    QString Remote(const QString& i_folder) const
    {
        return QString(m_files.path() + QLatin1Char('/') + i_folder).replace(QLatin1Char('/'), QLatin1Char('\\'));
    }

    bool Share(HarnessProcess& i_client, const QString& i_folder, const QMap<QString, int>& i_files,
               const QStringList& i_mark)
    {
        const QString path = m_files.path() + QLatin1Char('/') + i_folder;
        if (!QDir().mkpath(path))
            return false;
        for (auto it = i_files.begin(); it != i_files.end(); ++it)
        {
            QFile file(path + QLatin1Char('/') + it.key());
            if (!file.open(QIODevice::WriteOnly) || !file.resize(it.value()))
                return false;
        }
        i_client.Send(QStringList{QStringLiteral("share"), path} + i_mark);
        return i_client.Take("shared");
    }

    // Sends the search and answers its token.
    QByteArray Search(const QString& i_query)
    {
        m_alice.Send({QStringLiteral("search"), i_query});
        QStringList token;
        return m_alice.Take("searchtoken", &token) ? token.value(0).toLatin1() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.Listen());
        m_tree.SetCandidates(QStringLiteral("bob"), {QStringLiteral("alice")});
        m_tree.SetCandidates(QStringLiteral("carol"), {QStringLiteral("bob")});
        QVERIFY(m_alice.Start({"full"}) && m_bob.Start({"full"}) && m_carol.Start({"full"}));

        // Bob lets alice see his public, user-list and "band" folders, not the "crew" one; carol
        // has not listed alice, so alice sees only her public folder.
        QVERIFY(Share(m_bob, "bob/pub", {{"road one.txt", 100}, {"other.txt", 50}}, {"public"}));
        QVERIFY(Share(m_bob, "bob/friends", {{"road two.txt", 200}}, {"userlist"}));
        QVERIFY(Share(m_bob, "bob/band", {{"road three.txt", 300}}, {"group", "band"}));
        QVERIFY(Share(m_bob, "bob/crew", {{"road four.txt", 400}}, {"group", "crew"}));
        m_bob.Send({"listuser", "alice", "band"});
        QVERIFY(Share(m_carol, "carol/pub", {{"road five.txt", 500}}, {"public"}));
        QVERIFY(Share(m_carol, "carol/friends", {{"road six.txt", 600}}, {"userlist"}));

        const QList<QStringList> parentSpeed{{QStringLiteral("upload_speed"), QStringLiteral("100000")}};
        m_bobPort = FreePortPair();
        QVERIFY(m_alice.LogIn(QStringLiteral("alice"), m_server.Port(), FreePortPair(), parentSpeed));
        QVERIFY(m_bob.LogIn(QStringLiteral("bob"), m_server.Port(), m_bobPort, parentSpeed));
        QVERIFY(m_bob.Take("event ParentChanged alice", nullptr, 15000));
        QVERIFY(m_carol.LogIn(QStringLiteral("carol"), m_server.Port(), FreePortPair(), parentSpeed));
        QVERIFY(m_carol.Take("event ParentChanged bob", nullptr, 15000));
        m_carol.Send({QStringLiteral("dnet")});
        QStringList state;
        QVERIFY(m_carol.Take("dnet", &state));
        QCOMPARE(state, QStringList({"bob", "2", "alice", "0"}));
        QTRY_COMPARE(m_tree.BranchRoots(), QStringList({QStringLiteral("alice")}));
    }

    void searchFindsExactlyWhatTheSearcherMaySee()
    {
        const QByteArray req = Search(QStringLiteral("road"));
        QVERIFY(!req.isEmpty());
        // Each answering client hears the search from the server and down the tree and answers
        // both; the searcher gets its own search back as branch root and does not answer it.
        for (HarnessProcess* answerer : {&m_bob, &m_carol})
            QTRY_COMPARE_WITH_TIMEOUT(answerer->Count("event SearchProcessed road 1"), 2, 15000);

        const QString fromBob =
            QStringList{Remote("bob/band") + "\\road three.txt:300", Remote("bob/friends") + "\\road two.txt:200",
                        Remote("bob/pub") + "\\road one.txt:100"}
                .join('|');
        const QString fromCarol = Remote("carol/pub") + "\\road five.txt:500";
        QStringList fields;
        for (const auto& [user, files] : {std::pair{"bob", fromBob}, std::pair{"carol", fromCarol}})
        {
            const QByteArray prefix = "event SearchResultFiles " + QByteArray(user) + ' ' + req;
            for (int reply = 0; reply < 2; ++reply)
            {
                QVERIFY2(m_alice.Take(prefix, &fields, 15000), user);
                QCOMPARE(fields, QStringList{files});
            }
        }
        QCOMPARE(m_alice.Count("event SearchProcessed"), 0);

        // A file hidden from alice is not even hinted at: no reply at all.
        const QByteArray hiddenReq = Search(QStringLiteral("four"));
        QVERIFY(!hiddenReq.isEmpty());
        for (HarnessProcess* answerer : {&m_bob, &m_carol})
            QTRY_COMPARE_WITH_TIMEOUT(answerer->Count("event SearchProcessed four 0"), 2, 15000);
        QCOMPARE(m_bob.Count("event SearchProcessed four 1") + m_carol.Count("event SearchProcessed four 1"), 0);
        QCOMPARE(m_alice.Count("event SearchResults bob " + hiddenReq), 0);
    }

    void sharesListHoldsTheVisibleFoldersAndFiles()
    {
        QStringList expected{Remote("bob/band") + '\\',
                             Remote("bob/band") + "\\road three.txt:300",
                             Remote("bob/friends") + '\\',
                             Remote("bob/friends") + "\\road two.txt:200",
                             Remote("bob/pub") + '\\',
                             Remote("bob/pub") + "\\other.txt:50",
                             Remote("bob/pub") + "\\road one.txt:100"};
        expected.sort();
        m_alice.Send({"shares", "bob"});
        QStringList fields;
        QVERIFY(m_alice.Take("event UserShare bob", &fields, 15000));
        QCOMPARE(fields, (QStringList{"3", "4", expected.join('|')}));

        // Carol is not in bob's list: only the public folder.
        m_carol.Send({"shares", "bob"});
        QVERIFY(m_carol.Take("event UserShare bob", &fields, 15000));
        QCOMPARE(fields, (QStringList{"1", "2",
                                      Remote("bob/pub") + "\\|" + Remote("bob/pub") + "\\other.txt:50|"
                                          + Remote("bob/pub") + "\\road one.txt:100"}));
    }

    void folderContentsOnlyForVisibleFolders()
    {
        // Asked in one order on one connection: the hidden and unknown folders get no reply, so
        // the first reply to arrive is the band folder's and the second the public one's.
        const QString port = QString::number(m_bobPort);
        m_alice.Send({"folder", "bob", port, "7", Remote("bob/crew")});
        m_alice.Send({"folder", "bob", port, "8", Remote("bob/band")});
        m_alice.Send({"folder", "bob", port, "9", Remote("bob/nowhere")});
        m_alice.Send({"folder", "bob", port, "10", Remote("bob/PUB")});
        m_alice.Send({"folder", "bob", port, "11", Remote("bob/pub")});
        QStringList fields;
        QVERIFY(m_alice.Take("event FolderContents bob", &fields, 15000));
        QCOMPARE(fields, (QStringList{"8", Remote("bob/band"), "road three.txt:300"}));
        QVERIFY(m_alice.Take("event FolderContents bob", &fields, 15000));
        QCOMPARE(fields, (QStringList{"11", Remote("bob/pub"), "other.txt:50|road one.txt:100"}));
        QCOMPARE(m_alice.Count("event FolderContents"), 0);
        QCOMPARE(m_alice.Count("event FolderContentsUnreadable"), 0);
    }
};

QTEST_GUILESS_MAIN(TestSearchRoad)
#include "test_search_road.moc"
