#include "HarnessProcess.h"
#include "RawPeer.h"
#include "TestServer.h"
#include "TestTree.h"

#include <QtTest>

// The road of a search between three client processes: alice searches; bob hears it from the
// server and from alice as his distributed parent; carol, bob's child, hears it down the tree.
class TestSearchRoad : public QObject
{
    Q_OBJECT

private slots:
    void searchReachesChildAndGrandchildAndEveryAnswerComesBack()
    {
        TestServer server;
        QVERIFY(server.Listen());
        TestTree tree(&server);
        tree.SetCandidates(QStringLiteral("bob"), {QStringLiteral("alice")});
        tree.SetCandidates(QStringLiteral("carol"), {QStringLiteral("bob")});

        HarnessProcess alice, bob, carol;
        QVERIFY(alice.Start() && bob.Start() && carol.Start());
        const QList<QStringList> parentSpeed{{QStringLiteral("upload_speed"), QStringLiteral("100000")}};
        QVERIFY(alice.LogIn(QStringLiteral("alice"), server.Port(), FreePortPair(), parentSpeed));
        QVERIFY(bob.LogIn(QStringLiteral("bob"), server.Port(), FreePortPair(), parentSpeed));
        QVERIFY(bob.Take("event ParentChanged alice", nullptr, 15000));
        QVERIFY(carol.LogIn(QStringLiteral("carol"), server.Port(), FreePortPair(), parentSpeed));
        QVERIFY(carol.Take("event ParentChanged bob", nullptr, 15000));
        carol.Send({QStringLiteral("dnet")});
        QStringList state;
        QVERIFY(carol.Take("dnet", &state));
        QCOMPARE(state, QStringList({"bob", "2", "alice", "0"}));
        QTRY_COMPARE(tree.BranchRoots(), QStringList({QStringLiteral("alice")}));

        bob.Send({QStringLiteral("answer"), QStringLiteral("Music\\bob song.mp3"), QStringLiteral("1000")});
        carol.Send({QStringLiteral("answer"), QStringLiteral("Music\\carol song.mp3"), QStringLiteral("2000")});
        QVERIFY(bob.Sync() && carol.Sync());
        alice.Send({QStringLiteral("search"), QStringLiteral("song")});
        QStringList token;
        QVERIFY(alice.Take("searchtoken", &token));
        QCOMPARE(token.size(), 1);
        const QByteArray req = token.at(0).toLatin1();

        // bob hears it both ways, in either order; carol down the tree (and from the server).
        QVERIFY(bob.Take("event DirectFileSearch alice " + req + " song", nullptr, 15000));
        QVERIFY(bob.Take("event DNetSearchRequest alice " + req + " song", nullptr, 15000));
        QVERIFY(carol.Take("event DNetSearchRequest alice " + req + " song", nullptr, 15000));
        QTRY_COMPARE_WITH_TIMEOUT(bob.Count("event Answered"), 2, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(carol.Count("event Answered"), 2, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(alice.Count("event SearchResultFiles"), 4, 15000);

        int fromBob = 0;
        int fromCarol = 0;
        QStringList fields;
        while (alice.Take("event SearchResultFiles", &fields, 0))
        {
            QCOMPARE(fields.size(), 3);
            QCOMPARE(fields.at(1).toLatin1(), req);
            if (fields.at(0) == QLatin1String("bob"))
            {
                ++fromBob;
                QCOMPARE(fields.at(2), QStringLiteral("Music\\bob song.mp3:1000"));
            }
            else
            {
                ++fromCarol;
                QCOMPARE(fields.at(0), QStringLiteral("carol"));
                QCOMPARE(fields.at(2), QStringLiteral("Music\\carol song.mp3:2000"));
            }
        }
        QCOMPARE(fromBob, 2);
        QCOMPARE(fromCarol, 2);
        // The searcher's own search came back down to it as branch root and was not answered.
        QCOMPARE(alice.Count("event Answered"), 0);
    }
};

QTEST_GUILESS_MAIN(TestSearchRoad)
#include "test_search_road.moc"
