#include "Compression.h"
#include "FolderLists.h"
#include "HarnessProcess.h"
#include "PeakMemory.h"
#include "PeerMessages.h"
#include "RawPeer.h"
#include "TestServer.h"
#include "Wire.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTimer>
#include <QtTest>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

// A real client under attack from scripted raw peers and from the server, while a well-behaved
// peer keeps browsing its shares: after every attack the client still serves, is still logged
// in, and its memory has never passed the bound below.
class TestHostilePeers : public QObject
{
    Q_OBJECT

    // The inflate cap (256 MiB) once, the partial frames the attacks leave, and the engine; the
    // sanitizers' quarantine of freed memory and their shadow come on top in such a build.
#if defined(__SANITIZE_ADDRESS__)
    static constexpr double MemoryBoundMb = 1200;
#else
    static constexpr double MemoryBoundMb = 400;
#endif

    TestServer m_server;
    HarnessProcess m_victim;
    HarnessProcess m_good;
    QTemporaryDir m_files;
    quint16 m_port = 0;
    std::unique_ptr<RawPeer> m_slow;
    QTimer m_drip;

    double PeakMegabytes() const
    {
        return ::PeakMegabytes(m_victim.ProcessId());
    }

    // The well-behaved peer asks for the shares list and gets it whole.
    bool ServesTheGoodPeer()
    {
        m_good.Send({"shares", "victim"});
        QStringList fields;
        return m_good.Take("event UserShare", &fields, 30000) && fields.value(0) == QLatin1String("victim")
               && fields.join(' ').contains(QLatin1String("hostilesong.bin"));
    }

    std::unique_ptr<RawPeer> Attacker(const QByteArray& i_user, bool i_scrambled = false)
    {
        auto peer = std::make_unique<RawPeer>(i_scrambled);
        if (!peer->Connect(i_scrambled ? quint16(m_port + 1) : m_port))
            return nullptr;
        peer->SendFrame(RawPeer::PeerInit(i_user, "P"));
        return peer;
    }

    static QByteArray Compressed(quint32 i_code, const QByteArray& i_body)
    {
        MemStream message;
        OutputStream(message).Write(i_code);
        CompressBody(i_body.constData(), size_t(i_body.size()), message);
        return message.ToByteArray();
    }

    // A message of zeros that inflate to the size given; packed once per size.
    static QByteArray Bomb(quint32 i_code, size_t i_inflated)
    {
        static std::map<size_t, QByteArray> s_packed;
        QByteArray& packed = s_packed[i_inflated];
        if (packed.isEmpty())
        {
            MemStream zeros;
            std::memset(zeros.ReserveForWrite(i_inflated), 0, i_inflated);
            zeros.CommitWrite(i_inflated);
            MemStream message;
            OutputStream(message).Write(quint32(0));
            CompressBody(zeros, message);
            packed = message.ToByteArray();
        }
        return RawPeer::UInt32(i_code) + packed.mid(4);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.Listen());
        // The attackers are raw peers on this machine, taken for the names they give.
        m_server.SetAddressOfAbsentUsers(0x7f000001);
        const QString shared = m_files.filePath(QStringLiteral("shared"));
        QVERIFY(QDir().mkpath(shared));
        QFile song(shared + QStringLiteral("/hostilesong.bin"));
        QVERIFY(song.open(QIODevice::WriteOnly) && song.write(QByteArray(100000, 'm')) == 100000);
        song.close();
        QVERIFY(m_victim.Start({"full"}));
        m_port = FreePortPair();
        QVERIFY(m_victim.LogIn(QStringLiteral("victim"), m_server.Port(), m_port,
                               {{"download_folder", m_files.filePath(QStringLiteral("downloads"))}}));
        m_victim.Send({"share", shared});
        QVERIFY(m_victim.Take("shared"));
        QVERIFY(m_good.Start({"full"}));
        QVERIFY(m_good.LogIn(QStringLiteral("good"), m_server.Port(), FreePortPair()));
        QVERIFY(ServesTheGoodPeer());

        // A peer that sends one byte a second for as long as the suite runs.
        m_slow = Attacker("slow");
        QVERIFY(m_slow);
        const QByteArray request = m_slow->Frame(PeerMessages::BuildUserInfoRequest().ToByteArray());
        connect(&m_drip, &QTimer::timeout, this, [this, request] {
            static int sent = 0;
            m_slow->SendRaw(request.mid(sent++ % request.size(), 1));
        });
        m_drip.start(1000);
    }

    void cleanupTestCase()
    {
        m_drip.stop();
        qInfo("The client's peak: %.0f MB", PeakMegabytes());
        QVERIFY2(PeakMegabytes() < MemoryBoundMb, qPrintable(QString::number(PeakMegabytes())));
    }

    void attack_data()
    {
        QTest::addColumn<QString>("attack");
        for (const char* attack :
             {"zlib bombs to the cap", "zlib bombs past the cap", "counts of 2^31", "counts of 131072",
              "tiny records, many", "truncated frames", "silent connections", "huge openers", "scrambled garbage",
              "hostile paths", "server: counts", "server: truncated frames", "server: garbage"})
            QTest::newRow(attack) << QString::fromLatin1(attack);
    }

    void attack()
    {
        QFETCH(QString, attack);
        std::vector<std::unique_ptr<RawPeer>> peers;
        if (attack.startsWith(QLatin1String("zlib bombs")))
        {
            const size_t size =
                attack.endsWith(QLatin1String("to the cap")) ? (size_t(256) << 20) : (size_t(256) << 20) + 1;
            peers.push_back(Attacker("bomber"));
            for (quint32 code : {5u, 9u, 37u})
                peers.back()->SendFrame(Bomb(code, size));
        }
        else if (attack.startsWith(QLatin1String("counts of")))
        {
            const quint32 count = attack.endsWith(QLatin1String("2^31")) ? 0x80000000u : 131072u;
            peers.push_back(Attacker("counter"));
            RawPeer& peer = *peers.back();
            const QByteArray n = RawPeer::UInt32(count);
            peer.SendFrame(Compressed(5, n));                                             // folders
            peer.SendFrame(Compressed(5, RawPeer::UInt32(1) + RawPeer::String("f") + n)); // files of a folder
            peer.SendFrame(Compressed(5, RawPeer::UInt32(0) + n));                        // attribute table
            peer.SendFrame(Compressed(9, RawPeer::String("u") + RawPeer::UInt32(1) + n)); // results
            peer.SendFrame(Compressed(37, RawPeer::UInt32(1) + RawPeer::String("f") + n));
            peer.SendFrame(RawPeer::UInt32(16) + n);                                              // description length
            peer.SendFrame(RawPeer::UInt32(16) + RawPeer::String("d") + QByteArray(1, '\1') + n); // picture
            for (quint32 code : {36u, 40u, 43u, 44u, 46u, 50u, 51u, 60u})
                peer.SendFrame(RawPeer::UInt32(code) + n + n + n);
        }
        else if (attack == QLatin1String("tiny records, many"))
        {
            peers.push_back(Attacker("tiny"));
            MemStream list;
            OutputStream(list).Write(quint32(5));
            CompressBody(FolderListBody(16, 131072, ListRecords::Bare), list);
            peers.back()->SendFrame(list.ToByteArray());
        }
        else if (attack == QLatin1String("truncated frames"))
        {
            peers.push_back(Attacker("cutter"));
            MemStream reply;
            OutputStream out(reply);
            out.WriteFields(std::string("cutter"), quint32(1), quint32(1), quint8(1), std::string("music\\a.mp3"),
                            qint64(5), std::string("mp3"), quint32(0), quint8(1), quint32(1), quint32(0), quint32(0));
            const QByteArray messages[] = {
                Compressed(9, reply.ToByteArray()),
                PeerMessages::BuildTransferRequest(1, 7, QStringLiteral("music\\a.mp3"), 5).ToByteArray(),
                PeerMessages::BuildUserInfoReply(QStringLiteral("me"), true, "pic", 1, 2, true).ToByteArray()};
            for (const QByteArray& message : messages)
                for (int cut = 0; cut < message.size(); ++cut)
                    peers.back()->SendFrame(message.left(cut));
            // And one cut off inside its frame, as the connection ends.
            peers.back()->SendRaw(peers.back()->Frame(messages[1]).left(9));
        }
        else if (attack == QLatin1String("silent connections"))
        {
            for (int n = 0; n < 1000; ++n)
            {
                peers.push_back(std::make_unique<RawPeer>());
                QVERIFY(peers.back()->Connect(n % 2 ? m_port : quint16(m_port + 1),
                                              QHostAddress(QStringLiteral("127.0.3.%1").arg(1 + n % 50))));
            }
        }
        else if (attack == QLatin1String("huge openers"))
        {
            for (bool scrambled : {false, true})
            {
                peers.push_back(std::make_unique<RawPeer>(scrambled));
                QVERIFY(peers.back()->Connect(scrambled ? quint16(m_port + 1) : m_port));
                peers.back()->SendRaw(scrambled
                                          ? peers.back()->Frame(QByteArray(8, '\1')).left(4) + RawPeer::UInt32(~0u)
                                          : RawPeer::UInt32(~0u));
                peers.push_back(std::make_unique<RawPeer>(scrambled));
                QVERIFY(peers.back()->Connect(scrambled ? quint16(m_port + 1) : m_port));
                peers.back()->SendFrame(RawPeer::PeerInit(QByteArray(1 << 20, 'u'), "P"));
            }
            for (auto& peer : peers)
                QVERIFY(peer->WaitForClose());
        }
        else if (attack == QLatin1String("scrambled garbage"))
        {
            for (int n = 0; n < 20; ++n)
            {
                peers.push_back(std::make_unique<RawPeer>(true));
                QVERIFY(peers.back()->Connect(quint16(m_port + 1)));
                QByteArray garbage(1000 + n * 997, '\0');
                for (char& byte : garbage)
                    byte = char(QRandomGenerator::global()->generate());
                peers.back()->SendRaw(garbage);
            }
        }
        else if (attack == QLatin1String("hostile paths"))
        {
            peers.push_back(Attacker("pathfinder"));
            RawPeer& peer = *peers.back();
            for (const QByteArray& path :
                 {QByteArray("..\\..\\..\\etc\\passwd"), QByteArray("music\\..\\..\\x"), QByteArray("a\0b.mp3", 7),
                  QByteArray("/etc/passwd"), QByteArray("C:\\Windows\\win.ini"), QByteArray("\\\\host\\share\\x"),
                  QByteArray("music/../../x"), m_files.filePath(QStringLiteral("shared/hostilesong.bin")).toUtf8()})
            {
                const QString text = QString::fromUtf8(path);
                using namespace PeerMessages;
                for (const MemStream& message :
                     {BuildGetSharedFilesInFolder(3, text), BuildTransferRequest(1, 9, text, 100000),
                      BuildQueueUpload(path.toStdString()), BuildUploadPlaceInLine(text, 1),
                      BuildUploadFailed(path.toStdString()), BuildUploadDenied(text, text),
                      BuildUploadPlaceInLineRequest(text), BuildUploadOffer(text, 5)})
                    peer.SendFrame(message.ToByteArray());
            }
            // Nothing is offered for upload on a peer's word: no transfer request comes back.
            QByteArray payload;
            while (peer.ReadFrame(payload, 1000))
                QVERIFY2(payload.left(4) != RawPeer::UInt32(40), payload.toHex().constData());
        }
        else if (attack == QLatin1String("server: counts"))
        {
            const QByteArray big = WireWriter().U32(0x80000000u).Body();
            const QByteArray many = WireWriter().U32(131072).Body();
            for (quint32 code : {14u, 64u, 69u, 102u, 133u, 148u, 153u})
                for (const QByteArray& count : {big, many})
                    QVERIFY(m_server.SendFrame(QStringLiteral("victim"), code,
                                               code == 14 || code == 133 || code == 148 || code == 153
                                                   ? WireWriter().Str(QStringLiteral("room")).Body() + count
                                                   : count));
        }
        else if (attack == QLatin1String("server: truncated frames"))
        {
            const QByteArray join = WireWriter()
                                        .Str(QStringLiteral("room"))
                                        .U32(1)
                                        .Str(QStringLiteral("ann"))
                                        .U32(1)
                                        .U32(2)
                                        .U32(1)
                                        .Stats(1, 2, 3, 4)
                                        .U32(1)
                                        .U32(0)
                                        .U32(1)
                                        .Str(QStringLiteral("DE"))
                                        .Body();
            const QByteArray connect = WireWriter()
                                           .Str(QStringLiteral("ann"))
                                           .Str(QStringLiteral("P"))
                                           .Ip(0x7f000001)
                                           .U32(1)
                                           .U32(5)
                                           .U8(0)
                                           .U32(0)
                                           .U32(0)
                                           .Body();
            for (int cut = 0; cut < join.size(); ++cut)
                QVERIFY(m_server.SendFrame(QStringLiteral("victim"), 14, join.left(cut)));
            for (int cut = 0; cut < connect.size(); ++cut)
                QVERIFY(m_server.SendFrame(QStringLiteral("victim"), 18, connect.left(cut)));
        }
        else if (attack == QLatin1String("server: garbage"))
        {
            // Never a list of addresses: the client would try them.
            for (quint32 code : {1u, 13u, 22u, 26u, 66u, 93u, 999u})
            {
                QByteArray garbage(300, '\0');
                for (char& byte : garbage)
                    byte = char(QRandomGenerator::global()->generate());
                QVERIFY(m_server.SendFrame(QStringLiteral("victim"), code, garbage));
            }
        }

        QVERIFY(m_victim.Sync());
        QVERIFY(ServesTheGoodPeer());
        QVERIFY(m_server.IsLoggedIn(QStringLiteral("victim")));
        QVERIFY2(PeakMegabytes() < MemoryBoundMb, qPrintable(QString::number(PeakMegabytes())));
    }

    // A frame longer than any allowed ends the server connection, which comes back at the tick.
    void serverFrameOverTheLimit()
    {
        QVERIFY(m_server.SendRaw(QStringLiteral("victim"), WireWriter().U32(~0u).U32(13).Body()));
        QTRY_VERIFY_WITH_TIMEOUT(!m_server.IsLoggedIn(QStringLiteral("victim")), 10000);
        m_victim.Send({"tick"});
        QTRY_VERIFY_WITH_TIMEOUT(m_server.IsLoggedIn(QStringLiteral("victim")), 10000);
        QVERIFY(ServesTheGoodPeer());
        // The slow peer was never cut off for being slow.
        QCOMPARE(m_slow->Socket().state(), QAbstractSocket::ConnectedState);
    }
};

QTEST_GUILESS_MAIN(TestHostilePeers)
#include "test_hostile_peers.moc"
