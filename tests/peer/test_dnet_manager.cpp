#include "EngineStack.h"
#include "RawPeer.h"
#include "TestServer.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>
#include <vector>

namespace
{
QByteArray Str(const QString& i_text)
{
    return RawPeer::String(i_text.toUtf8());
}
QByteArray Level(quint32 i_level)
{
    return QByteArray(1, char(DM_BRANCH_LEVEL)) + RawPeer::UInt32(i_level);
}
QByteArray Root(const QString& i_user)
{
    return QByteArray(1, char(DM_BRANCH_ROOT)) + Str(i_user);
}
QByteArray Depth(quint32 i_depth)
{
    return QByteArray(1, char(DM_CHILD_DEPTH)) + RawPeer::UInt32(i_depth);
}

QByteArray Search(const QString& i_user, quint32 i_token, const QString& i_query, quint32 i_subCode = 49)
{
    return QByteArray(1, char(DM_SEARCH)) + RawPeer::UInt32(i_subCode) + Str(i_user) + RawPeer::UInt32(i_token)
           + Str(i_query);
}

// A raw client that the engine under test reaches as a parent candidate.
struct RawParent
{
    QString user;
    QTcpServer listener;
    std::unique_ptr<RawPeer> peer;

    explicit RawParent(const QString& i_user)
        : user(i_user)
    {
        listener.listen(QHostAddress::LocalHost, 0);
    }

    TestServer::ParentOffer Offer() const { return {user, 0x7f000001, listener.serverPort()}; }

    // Takes the engine's connection and checks its opener.
    bool Accept()
    {
        // The engine runs in this process: its connection needs the event loop to get going.
        QElapsedTimer timer;
        timer.start();
        while (!listener.hasPendingConnections() && timer.elapsed() < 5000)
            QTest::qWait(5);
        if (!listener.hasPendingConnections())
            return false;
        peer = std::make_unique<RawPeer>(false, listener.nextPendingConnection());
        QByteArray opener;
        return peer->ReadFrame(opener) && opener == RawPeer::PeerInit("me", "D", 0);
    }
};
} // namespace

// The distributed network of one real client engine in this process, logged in to the loopback
// test server, against raw parents and children on loopback sockets.
class TestDNetManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<EngineStack> m_engines;
    std::unique_ptr<TestServer> m_testServer;

    // Logs in with the parents offered, and takes each one's connection from the engine.
    bool Login(const QList<RawParent*>& i_parents = {})
    {
        QList<TestServer::ParentOffer> offers;
        for (RawParent* parent : i_parents)
            offers.append(parent->Offer());
        if (!offers.isEmpty())
            m_testServer->SetPossibleParents(offers);
        QSignalSpy connected(gp_server, &Server::Connected);
        gp_server->Connect();
        if (!connected.wait(5000) && connected.count() == 0)
            return false;
        return std::all_of(i_parents.begin(), i_parents.end(), [](RawParent* i_parent) { return i_parent->Accept(); });
    }

    // The body of the last frame with the code that the engine sent to the server.
    QByteArray LastReport(quint32 i_code) const
    {
        const QList<TestServer::Frame> frames = m_testServer->FramesWithCode(i_code, QStringLiteral("me"));
        return frames.isEmpty() ? QByteArray("none") : frames.last().m_body;
    }

    int ReportCount(quint32 i_code) const { return m_testServer->FramesWithCode(i_code, QStringLiteral("me")).size(); }

    std::unique_ptr<RawPeer> Child(const QByteArray& i_user)
    {
        auto child = std::make_unique<RawPeer>();
        if (!child->Connect(peerMessenger->ListeningPort()))
            return nullptr;
        child->SendFrame(RawPeer::PeerInit(i_user, "D"));
        return child;
    }

    // Reads frames until one equal to the expected arrives; false if another search or nothing comes.
    static bool Expect(RawPeer& i_peer, const QByteArray& i_payload)
    {
        QByteArray payload;
        while (i_peer.ReadFrame(payload))
        {
            if (payload == i_payload)
                return true;
            if (!payload.isEmpty() && payload.at(0) == char(DM_SEARCH))
                return false;
        }
        return false;
    }

private slots:
    void initTestCase() { qRegisterMetaType<PeerConnection*>("PeerConnection*"); }

    void init()
    {
        m_engines =
            std::make_unique<EngineStack>(EngineStack::ServerConnection | EngineStack::Peers | EngineStack::DNet);
        m_testServer = std::make_unique<TestServer>();
        QVERIFY(m_testServer->Listen());
        m_testServer->SetAddressOfAbsentUsers(0x7f000001); // children and parents are raw peers here
        SetSetting(QStringLiteral("server_host"), QStringLiteral("127.0.0.1"));
        SetSettingNumber(QStringLiteral("server_port"), m_testServer->Port());
        SetSetting(QStringLiteral("username"), QStringLiteral("me"));
        SetSetting(QStringLiteral("password"), QStringLiteral("secret"));
        SetSettingNumber(QStringLiteral("new_listening_port"), FreePortPair());
        dataSaver->NotifyFirstStart();
        QVERIFY(peerMessenger->ListeningPort() != 0);
    }

    void cleanup()
    {
        m_engines.reset();
        m_testServer.reset();
    }

    // ---- as a child ----

    void childAdoptsTheFirstCandidateThatTellsItsLevel()
    {
        RawParent silent(QStringLiteral("silent")), talker(QStringLiteral("talker"));
        QVERIFY(Login({&silent, &talker}));

        QSignalSpy parentChanged(dnetManager, &DNetManager::ParentChanged);
        talker.peer->SendFrame(Level(2));
        talker.peer->SendFrame(Root("top"));
        QVERIFY(parentChanged.wait(5000));
        QCOMPARE(parentChanged.at(0).at(0).toString(), QStringLiteral("talker"));
        QVERIFY(silent.peer->WaitForClose());
        QTRY_COMPARE(LastReport(SM_BRANCH_ROOT), Str(QStringLiteral("top")));
        QCOMPARE(LastReport(SM_HAVE_NO_PARENT), QByteArray(1, '\0'));
        QCOMPARE(LastReport(SM_BRANCH_LEVEL), RawPeer::UInt32(3));
        QCOMPARE(dnetManager->BranchLevel(), 3u);
        QCOMPARE(dnetManager->BranchRoot(), QStringLiteral("top"));

        // Every well-formed search gives one request, in order; the rest is dropped.
        QSignalSpy requests(dnetManager, &DNetManager::DNetSearchRequest);
        QByteArray wire;
        wire += talker.peer->Frame(Search("alice", 7, "abba gold"));
        wire += talker.peer->Frame(Search("alice", 8, "cut").left(12));
        wire += talker.peer->Frame(Search("alice", 9, "other", 50));
        wire += talker.peer->Frame(QByteArray());
        wire += talker.peer->Frame(QByteArray::fromHex("2a0102"));
        wire += talker.peer->Frame(QByteArray(1, char(DM_BRANCH_LEVEL)) + "\x01");
        wire += talker.peer->Frame(QByteArray(1, char(DM_SEARCH)) + RawPeer::UInt32(49) + RawPeer::UInt32(0xffffffff));
        wire += talker.peer->Frame(Search("bob", 10, "\u00fcber"));
        wire += talker.peer->Frame(QByteArray(1, char(DM_EMBEDDED_MESSAGE))
                                   + Search(QStringLiteral("carol"), 11, QStringLiteral("wrapped")));
        wire += talker.peer->Frame(QByteArray(1, char(DM_PING)));
        wire += talker.peer->Frame(Search("dave", 12, "last"));
        talker.peer->SendRaw(wire);
        QTRY_COMPARE(requests.count(), 4);
        QCOMPARE(requests.at(0), (QVariantList{QStringLiteral("alice"), 7u, QStringLiteral("abba gold")}));
        QCOMPARE(requests.at(1), (QVariantList{QStringLiteral("bob"), 10u, QStringLiteral("\u00fcber")}));
        QCOMPARE(requests.at(2), (QVariantList{QStringLiteral("carol"), 11u, QStringLiteral("wrapped")}));
        QCOMPARE(requests.at(3), (QVariantList{QStringLiteral("dave"), 12u, QStringLiteral("last")}));
        QVERIFY(dnetManager->HasParent());
        QCOMPARE(dnetManager->BranchLevel(), 3u);
    }

    void childAsksAgainOnTheTickAndWhenTheParentIsLost()
    {
        TestServer::ParentOffer ghost{QStringLiteral("ghost"), 0x7f000001, 0};
        {
            QTcpServer gone;
            QVERIFY(gone.listen(QHostAddress::LocalHost, 0));
            ghost.m_port = gone.serverPort();
        }
        m_testServer->SetPossibleParents({ghost});
        QSignalSpy failed(peerMessenger, &PeerMessenger::ConnectionToUserFailed);
        QVERIFY(Login());
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed.at(0), (QVariantList{QStringLiteral("ghost"), QStringLiteral("D")}));
        QCOMPARE(dnetManager->CandidateCount(), 0);
        QVERIFY(!dnetManager->HasParent());

        // Asked again on the tick, not in a loop.
        RawParent first(QStringLiteral("first")), second(QStringLiteral("second"));
        m_testServer->SetPossibleParents({first.Offer()});
        int asked = ReportCount(SM_HAVE_NO_PARENT);
        QTest::qWait(50);
        QCOMPARE(ReportCount(SM_HAVE_NO_PARENT), asked);
        timerManager->TickHalfMinute();
        QTRY_COMPARE(ReportCount(SM_HAVE_NO_PARENT), asked + 1);
        QCOMPARE(LastReport(SM_HAVE_NO_PARENT), QByteArray(1, '\1'));
        QVERIFY(first.Accept());
        QSignalSpy parentChanged(dnetManager, &DNetManager::ParentChanged);
        first.peer->SendFrame(Level(0));
        QVERIFY(parentChanged.wait(5000));
        QTRY_COMPARE(LastReport(SM_BRANCH_ROOT), Str(QStringLiteral("first")));

        m_testServer->SetPossibleParents({second.Offer()});
        asked = ReportCount(SM_HAVE_NO_PARENT);
        first.peer->Socket().close();
        QTRY_COMPARE(parentChanged.count(), 2);
        QCOMPARE(parentChanged.at(1).at(0).toString(), QString());
        QTRY_VERIFY(ReportCount(SM_HAVE_NO_PARENT) > asked);
        QCOMPARE(LastReport(SM_HAVE_NO_PARENT), QByteArray(1, '\1'));
        QVERIFY(second.Accept());
        second.peer->SendFrame(Level(1));
        second.peer->SendFrame(Root(QStringLiteral("top")));
        QTRY_COMPARE(parentChanged.count(), 3);
        QCOMPARE(dnetManager->ParentUser(), QStringLiteral("second"));
        QTRY_COMPARE(LastReport(SM_BRANCH_ROOT), Str(QStringLiteral("top")));
        QCOMPARE(LastReport(SM_BRANCH_LEVEL), RawPeer::UInt32(2));
    }

    void floodingParentIsThrottledByDropping()
    {
        RawParent parent(QStringLiteral("flood"));
        QVERIFY(Login({&parent}));
        QSignalSpy parentChanged(dnetManager, &DNetManager::ParentChanged);
        parent.peer->SendFrame(Level(0));
        QVERIFY(parentChanged.wait(5000));

        dnetManager->SetSearchRateLimit(100);
        QSignalSpy requests(dnetManager, &DNetManager::DNetSearchRequest);
        QByteArray wire;
        const int sent = 2000;
        for (int index = 0; index < sent; ++index)
            wire += parent.peer->Frame(Search("alice", quint32(index), "q"));
        parent.peer->SendRaw(wire);
        QTRY_COMPARE(qint64(requests.count()) + qint64(dnetManager->DroppedSearches()), qint64(sent));
        QVERIFY(requests.count() >= 100);
        QVERIFY(requests.count() < sent / 2);
        QVERIFY(dnetManager->HasParent());
    }

    // ---- as a parent ----

    void parentTakesTenChildrenOverTheSpeedThresholdAndForwardsEachSearchOnce()
    {
        SetSettingNumber(QStringLiteral("upload_speed"), 10);
        m_testServer->SetParentMinSpeed(50);
        QVERIFY(Login());
        QTRY_COMPARE(LastReport(SM_ACCEPT_CHILDREN), QByteArray(1, '\0'));
        auto refused = Child("slowpoke");
        QVERIFY(refused->WaitForClose());
        QCOMPARE(dnetManager->ChildCount(), 0);

        // The setting is watched: a faster line is told to the server at once.
        SetSettingNumber(QStringLiteral("upload_speed"), 60);
        QTRY_COMPARE(LastReport(SM_ACCEPT_CHILDREN), QByteArray(1, '\1'));
        std::vector<std::unique_ptr<RawPeer>> children;
        QByteArray payload;
        for (int index = 0; index < DNetManager::MaxChildren; ++index)
        {
            children.push_back(Child("child" + QByteArray::number(index)));
            QVERIFY(children.back());
            QVERIFY(children.back()->ReadFrame(payload));
            QCOMPARE(payload, Level(0));
            QVERIFY(children.back()->ReadFrame(payload));
            QCOMPARE(payload, Root(QStringLiteral("me")));
        }
        QCOMPARE(dnetManager->ChildCount(), DNetManager::MaxChildren);
        QTRY_COMPARE(LastReport(SM_ACCEPT_CHILDREN), QByteArray(1, '\0'));
        auto extra = Child("extra");
        QVERIFY(extra->WaitForClose());
        QCOMPARE(dnetManager->ChildCount(), DNetManager::MaxChildren);

        QSignalSpy requests(dnetManager, &DNetManager::DNetSearchRequest);
        QVERIFY(m_testServer->SendEmbeddedSearch("me", "alice", 77, "abba"));
        const QByteArray first = Search("alice", 77, "abba");
        for (auto& child : children)
            QVERIFY(Expect(*child, first));
        QCOMPARE(requests.count(), 1);

        // A dead child leaves alone; the others go on, each getting the next search once.
        QSignalSpy childrenChanged(dnetManager, &DNetManager::ChildrenChanged);
        children[3]->Socket().abort();
        children.erase(children.begin() + 3);
        QVERIFY(childrenChanged.wait(5000));
        QCOMPARE(dnetManager->ChildCount(), DNetManager::MaxChildren - 1);
        QTRY_COMPARE(LastReport(SM_ACCEPT_CHILDREN), QByteArray(1, '\1'));
        QVERIFY(m_testServer->SendEmbeddedSearch("me", "bob", 78, "next"));
        const QByteArray second = Search("bob", 78, "next");
        for (auto& child : children)
        {
            QVERIFY(child->ReadFrame(payload));
            QCOMPARE(payload, second);
        }
        QTRY_COMPARE(requests.count(), 2);
    }

    void branchNewsGoesDownAndDepthGoesUp()
    {
        SetSettingNumber(QStringLiteral("upload_speed"), 100);
        RawParent parent(QStringLiteral("up"));
        QVERIFY(Login({&parent}));

        auto child = Child("down");
        QByteArray payload;
        QVERIFY(child->ReadFrame(payload));
        QCOMPARE(payload, Level(0));
        child->SendFrame(Depth(0));
        QTRY_COMPARE(LastReport(SM_CHILD_DEPTH), RawPeer::UInt32(1));

        parent.peer->SendFrame(Level(4));
        parent.peer->SendFrame(Root("top"));
        QVERIFY(Expect(*child, Level(5)));
        QVERIFY(Expect(*child, Root("top")));
        QVERIFY(Expect(*parent.peer, Depth(1)));

        QSignalSpy requests(dnetManager, &DNetManager::DNetSearchRequest);
        const QByteArray search = Search("zed", 5, "from above");
        parent.peer->SendFrame(search);
        QVERIFY(Expect(*child, search));
        QTRY_COMPARE(requests.count(), 1);

        // A child may hold a second connection, crossed with one of its own, but each more one
        // closes its oldest: a child with hundreds would hold as many descriptors.
        auto twin = Child("down");
        QVERIFY(twin->ReadFrame(payload));
        std::vector<std::unique_ptr<RawPeer>> more;
        for (int n = 0; n < 3; ++n)
        {
            more.push_back(Child("down"));
            QVERIFY(more.back()->ReadFrame(payload));
        }
        QVERIFY(child->WaitForClose());
        QVERIFY(twin->WaitForClose());
        QVERIFY(more[0]->WaitForClose());
        child = std::move(more[2]);
        QCOMPARE(more[1]->Socket().state(), QAbstractSocket::ConnectedState);
        QCOMPARE(dnetManager->ChildCount(), 1);

        // The server's reset drops the whole neighbourhood and starts looking again.
        const int asked = ReportCount(SM_HAVE_NO_PARENT);
        QVERIFY(m_testServer->SendFrame("me", SM_RESET_DISTRIBUTED, QByteArray()));
        QVERIFY(child->WaitForClose());
        QVERIFY(more[1]->WaitForClose());
        QVERIFY(parent.peer->WaitForClose());
        QTRY_VERIFY(ReportCount(SM_HAVE_NO_PARENT) > asked);
        QCOMPARE(dnetManager->ChildCount(), 0);
        QVERIFY(!dnetManager->HasParent());
    }
};

QTEST_GUILESS_MAIN(TestDNetManager)
#include "test_dnet_manager.moc"
