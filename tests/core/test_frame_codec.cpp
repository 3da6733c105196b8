#include "FrameCodec.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QtTest>

// The two frame codecs: exact bytes, round trips, split and coalesced input and the size limit.
// That a read never takes a byte past its frame is seen on real sockets in test_peer_messenger.
class TestFrameCodec : public QObject
{
    Q_OBJECT

private slots:
    void bytesAreExact_data()
    {
        QTest::addColumn<bool>("scrambled");
        QTest::addColumn<quint32>("key");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("plain") << false << 0u << QByteArray::fromHex("0f000000")
                               << QByteArray::fromHex("04000000"
                                                      "0f000000");
        // key 1: block 0 uses key 2, block 1 key 4.
        QTest::newRow("one byte") << true << 1u << QByteArray::fromHex("01")
                                  << QByteArray::fromHex("01000000"
                                                         "03000000"
                                                         "05");
        // The top bit wraps round to bit 0.
        QTest::newRow("wrapping key") << true << 0x80000000u << QByteArray::fromHex("0a0b0c0d")
                                      << QByteArray::fromHex("00000080"
                                                             "05000000"
                                                             "080b0c0d");
        // A short last block uses the first bytes of its key (rotated thrice: 0x18 0x00 ...).
        QTest::newRow("short last block") << true << 3u
                                          << QByteArray::fromHex("ffffffff"
                                                                 "ff")
                                          << QByteArray::fromHex("03000000"
                                                                 "03000000"
                                                                 "f3ffffff"
                                                                 "e7");
    }

    void bytesAreExact()
    {
        QFETCH(bool, scrambled);
        QFETCH(quint32, key);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, wire);
        QByteArray out;
        if (scrambled)
            ScrambledFrameCodec::EncodeWithKey(key, payload.constData(), payload.size(), out);
        else
            PlainFrameCodec().Encode(payload, out);
        QCOMPARE(out.toHex(), wire.toHex());

        int pos = 0;
        QByteArray back;
        QCOMPARE(FrameCodec::Create(scrambled)->Take(wire, pos, back), FrameCodec::Status::Complete);
        QCOMPARE(back, payload);
        QCOMPARE(pos, wire.size());
    }

    void splitAndCoalescedFramesRoundTrip_data()
    {
        QTest::addColumn<bool>("scrambled");
        QTest::newRow("plain") << false;
        QTest::newRow("scrambled") << true;
    }

    void splitAndCoalescedFramesRoundTrip()
    {
        QFETCH(bool, scrambled);
        auto encoder = FrameCodec::Create(scrambled);
        QList<QByteArray> payloads;
        QByteArray wire;
        for (int size = 0; size < 40; ++size)
        {
            QByteArray payload(size, Qt::Uninitialized);
            for (char& byte : payload)
                byte = char(QRandomGenerator::global()->bounded(256));
            payloads << payload;
            encoder->Encode(payload, wire);
        }

        // All at once.
        auto decoder = FrameCodec::Create(scrambled);
        QList<QByteArray> all;
        int pos = 0;
        QByteArray payload;
        while (decoder->Take(wire, pos, payload) == FrameCodec::Status::Complete)
            all << payload;
        QCOMPARE(all, payloads);
        QCOMPARE(pos, wire.size());

        // Byte by byte through a device, as a socket would deliver it.
        QByteArray storage;
        QBuffer device(&storage);
        device.open(QIODevice::ReadWrite);
        QList<QByteArray> trickled;
        qint64 readPos = 0;
        for (char byte : wire)
        {
            device.seek(device.size());
            device.write(&byte, 1);
            device.seek(readPos);
            while (decoder->Read(device, payload) == FrameCodec::Status::Complete)
                trickled << payload;
            readPos = device.pos();
        }
        QCOMPARE(trickled, payloads);
    }

    void oversizedFramesAreRefusedBeforeAllocation_data()
    {
        QTest::addColumn<bool>("scrambled");
        QTest::addColumn<quint32>("length");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("plain at the limit") << false << FrameCodec::MaxFrameLength << true;
        QTest::newRow("plain over the limit") << false << FrameCodec::MaxFrameLength + 1 << false;
        QTest::newRow("plain huge") << false << 0xffffffffu << false;
        QTest::newRow("scrambled over the limit") << true << FrameCodec::MaxFrameLength + 1 << false;
    }

    void oversizedFramesAreRefusedBeforeAllocation()
    {
        QFETCH(bool, scrambled);
        QFETCH(quint32, length);
        QFETCH(bool, accepted);
        QByteArray header(4, '\0');
        qToLittleEndian<quint32>(length, reinterpret_cast<uchar*>(header.data()));
        QByteArray wire;
        if (scrambled)
        {
            wire = QByteArray(4, '\0') + header;
            ScrambledFrameCodec::Apply(0, 0, wire.data() + 4, 4);
        }
        else
        {
            wire = header;
        }
        auto codec = FrameCodec::Create(scrambled);
        int pos = 0;
        QByteArray payload;
        const FrameCodec::Status status = codec->Take(wire, pos, payload);
        QCOMPARE(status, accepted ? FrameCodec::Status::Incomplete : FrameCodec::Status::Oversized);
        QVERIFY(payload.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFrameCodec)
#include "test_frame_codec.moc"
