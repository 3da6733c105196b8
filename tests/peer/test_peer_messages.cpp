#include "PeerMessages.h"

#include <QtTest>

// Byte-exact builders of every peer message this client sends, and the readers' refusal of
// messages that cannot be read in full.
class TestPeerMessages : public QObject
{
    Q_OBJECT

    static QByteArray Hex(const MemStream& i_message) { return i_message.ToByteArray().toHex(); }
    static QByteArray Text(const char* ip_text) { return QByteArray(ip_text).toHex(); }

    template<typename T> static bool ReadBody(const QByteArray& i_hexBody, T& o_message)
    {
        MemStream stream(QByteArray::fromHex(i_hexBody));
        InputStream in(stream);
        return o_message.Read(in);
    }

private slots:
    void buildersAreByteExact_data()
    {
        using namespace PeerMessages;
        QTest::addColumn<QByteArray>("built");
        QTest::addColumn<QByteArray>("expected");
        const auto row = [](const char* ip_name, const MemStream& i_message, const QByteArray& i_hex) {
            QTest::newRow(ip_name) << Hex(i_message) << i_hex;
        };
        row("4 shares list request", BuildGetSharedFileList(), "04000000");
        row("15 user info request", BuildUserInfoRequest(), "0f000000");
        row("40 transfer request", BuildTransferRequest(1, 7, QStringLiteral("a"), 5),
            "28000000"
            "01000000"
            "07000000"
            "01000000"
            "61"
            "0500000000000000");
        row("41 accept with size", BuildTransferAccept(7, true, 0x0102030405LL),
            "29000000"
            "07000000"
            "01"
            "0504030201000000");
        row("41 accept without size", BuildTransferAccept(7, false, 5),
            "29000000"
            "07000000"
            "01");
        row("41 deny", BuildTransferDeny(7, QStringLiteral("Queued")),
            QByteArray("29000000"
                       "07000000"
                       "00"
                       "06000000")
                + Text("Queued"));
        row("43 queue upload", BuildQueueUpload("a\\b"),
            "2b000000"
            "03000000"
            "615c62");
        row("44 place in line", BuildUploadPlaceInLine(QStringLiteral("f"), 3),
            "2c000000"
            "01000000"
            "66"
            "03000000");
        row("46 upload failed", BuildUploadFailed("f"),
            "2e000000"
            "01000000"
            "66");
        row("50 upload denied", BuildUploadDenied(QStringLiteral("f"), QStringLiteral("File not shared.")),
            QByteArray("32000000"
                       "01000000"
                       "66"
                       "10000000")
                + Text("File not shared."));
        row("51 place request", BuildUploadPlaceInLineRequest(QStringLiteral("a\\b")),
            "33000000"
            "03000000"
            "615c62");
        row("60 upload offer", BuildUploadOffer(QStringLiteral("f"), 9),
            "3c000000"
            "01000000"
            "66"
            "0900000000000000");
        row("36 folder request", BuildGetSharedFilesInFolder(2, QStringLiteral("d")),
            "24000000"
            "02000000"
            "01000000"
            "64");
        row("16 empty user info is 18 bytes", BuildUserInfoReply(QString(), false, QByteArray(), 0, 0, false),
            "10000000"
            "00000000"
            "00"
            "00000000"
            "00000000"
            "00");
        row("16 with picture", BuildUserInfoReply(QStringLiteral("d"), true, QByteArray("PQ"), 2, 3, true),
            "10000000"
            "01000000"
            "64"
            "01"
            "02000000"
            "5051"
            "02000000"
            "03000000"
            "01");
        row("utf-8 text", BuildUploadPlaceInLineRequest(QStringLiteral("\u00e9")),
            "33000000"
            "02000000"
            "c3a9");
    }

    void buildersAreByteExact()
    {
        QFETCH(QByteArray, built);
        QFETCH(QByteArray, expected);
        QCOMPARE(built, expected);
    }

    void transferResponseReader_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("receivedSize");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("reason");
        QTest::newRow("accept with size") << QByteArray("07000000"
                                                        "01"
                                                        "0500000000000000")
                                          << true << true << true << qint64(5) << QString();
        QTest::newRow("accept alone") << QByteArray("07000000"
                                                    "01")
                                      << true << true << false << qint64(0) << QString();
        QTest::newRow("any non-zero flag accepts") << QByteArray("07000000"
                                                                 "02")
                                                   << true << true << false << qint64(0) << QString();
        QTest::newRow("deny") << QByteArray("07000000"
                                            "00"
                                            "04000000")
                                     + Text("Full")
                              << true << false << false << qint64(0) << QStringLiteral("Full");
        QTest::newRow("token only") << QByteArray("07000000") << false << false << false << qint64(0) << QString();
        QTest::newRow("short token") << QByteArray("0700") << false << false << false << qint64(0) << QString();
        QTest::newRow("size cut short") << QByteArray("07000000"
                                                      "01"
                                                      "050000")
                                        << false << false << false << qint64(0) << QString();
        QTest::newRow("deny without reason") << QByteArray("07000000"
                                                           "00")
                                             << false << false << false << qint64(0) << QString();
        QTest::newRow("reason cut short") << QByteArray("07000000"
                                                        "00"
                                                        "09000000"
                                                        "4675")
                                          << false << false << false << qint64(0) << QString();
    }

    void transferResponseReader()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, readable);
        PeerMessages::TransferResponse response;
        QCOMPARE(ReadBody(body, response), readable);
        if (!readable)
            return;
        QCOMPARE(response.token, 7u);
        QTEST(response.accepted, "accepted");
        QTEST(response.receivedFileSize, "receivedSize");
        QTEST(response.size, "size");
        QTEST(response.reason, "reason");
    }

    void transferRequestSizeOnlyForDirectionOne()
    {
        PeerMessages::TransferRequest request;
        QVERIFY(ReadBody("00000000"
                         "07000000"
                         "01000000"
                         "61",
                         request));
        QCOMPARE(request.direction, 0);
        QCOMPARE(request.size, qint64(0));
        QVERIFY(!ReadBody("01000000"
                          "07000000"
                          "01000000"
                          "61",
                          request));
        QVERIFY(ReadBody("01000000"
                         "07000000"
                         "01000000"
                         "61"
                         "0900000000000000",
                         request));
        QCOMPARE(request.size, qint64(9));
        QCOMPARE(request.file, std::string("a"));
    }

    void userInfoReader_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("readable");
        const QByteArray tail = "02000000"
                                "03000000"
                                "07";
        QTest::newRow("no picture") << QByteArray("01000000"
                                                  "64"
                                                  "00")
                                           + tail
                                    << true;
        QTest::newRow("picture") << QByteArray("01000000"
                                               "64"
                                               "01"
                                               "02000000"
                                               "5051")
                                        + tail
                                 << true;
        QTest::newRow("negative picture length") << QByteArray("01000000"
                                                               "64"
                                                               "01"
                                                               "ffffffff")
                                                        + tail
                                                 << false;
        QTest::newRow("picture past the end") << QByteArray("01000000"
                                                            "64"
                                                            "01"
                                                            "00100000"
                                                            "5051")
                                                     + tail
                                              << false;
        QTest::newRow("missing free flag") << QByteArray("01000000"
                                                         "64"
                                                         "00"
                                                         "02000000"
                                                         "03000000")
                                           << false;
        QTest::newRow("description past the end") << QByteArray("05000000"
                                                                "64")
                                                  << false;
    }

    void userInfoReader()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, readable);
        PeerMessages::UserInfoReply reply;
        QCOMPARE(ReadBody(body, reply), readable);
        if (!readable)
            return;
        QCOMPARE(reply.description, QStringLiteral("d"));
        QCOMPARE(reply.uploadSlots, 2);
        QCOMPARE(reply.queuedUploads, 3);
        QVERIFY(reply.freeUploadSlots); // any non-zero byte is true
        QCOMPARE(reply.hasPicture, !reply.picture.isEmpty());
    }

    void countsOverTheLimitAreRefused()
    {
        QByteArray body(4, '\0');
        qToLittleEndian<quint32>(131073, reinterpret_cast<uchar*>(body.data()));
        PeerMessages::UploadDenied denied;
        QVERIFY(!ReadBody(body.toHex() + QByteArray(131073 * 2, '6') + "00000000", denied));
        PeerMessages::FolderRequest folder;
        QVERIFY(!ReadBody(QByteArray("01000000") + body.toHex() + QByteArray(131073 * 2, '6'), folder));
    }
};

QTEST_GUILESS_MAIN(TestPeerMessages)
#include "test_peer_messages.moc"
