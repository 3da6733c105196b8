#include "Compression.h"

#include <QRandomGenerator>
#include <QtTest>

#include <zlib.h>

namespace
{
// Repetitive text with random stretches: matches that cross block edges, and some that cannot.
QByteArray MixedBody(int i_size)
{
    QByteArray body;
    body.reserve(i_size);
    QRandomGenerator rng(11);
    while (body.size() < i_size)
    {
        body += QByteArrayLiteral("@@music\\Artist ") + QByteArray::number(rng.bounded(500)) + "\\Album\\";
        for (int n = rng.bounded(24); n > 0; --n)
            body += char('a' + rng.bounded(26));
        body += ".mp3";
    }
    body.truncate(i_size);
    return body;
}
} // namespace

class TestCompression : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("two counts") << QByteArray(8, '\0');
        QTest::newRow("text") << QByteArray("hello hello hello hello");
        QByteArray random(200000, '\0');
        QRandomGenerator rng(7);
        for (char& c : random)
            c = static_cast<char>(rng.generate());
        QTest::newRow("incompressible") << random;
        QTest::newRow("large") << QByteArray(3 * 1024 * 1024, 'z');
        QTest::newRow("large, odd length, mixed") << MixedBody(3 * 1024 * 1024 + 4321);
    }

    void roundTrip()
    {
        QFETCH(QByteArray, body);
        // Appended after a message code, as a peer message carries it.
        MemStream packed;
        OutputStream(packed).Write(quint32(5));
        QVERIFY(CompressBody(MemStream(body), packed));
        // A zlib stream as compress2 makes it, readable by plain zlib.
        std::vector<char> plain(size_t(body.size()) + 1);
        uLongf plainLength = static_cast<uLongf>(plain.size());
        QCOMPARE(uncompress(reinterpret_cast<Bytef*>(plain.data()), &plainLength,
                            reinterpret_cast<const Bytef*>(packed.GetBuffer()) + 4, packed.GetLength() - 4),
                 Z_OK);
        QCOMPARE(plainLength, uLongf(body.size()));

        quint32 code = 0;
        QVERIFY(InputStream(packed).Read(code));
        QCOMPARE(code, quint32(5));
        MemStream out;
        QVERIFY(InflateBody(packed, out));
        QCOMPARE(out.ToByteArray(), body);
        // No cap at all is a cap too, not a stream that never ends.
        MemStream unbounded;
        QVERIFY(InflateBody(packed, unbounded, SIZE_MAX));
        QCOMPARE(unbounded.ToByteArray(), body);
    }

    // Past a megabyte the body is compressed in blocks on several cores: still one zlib stream
    // with compress2's header for the level, and no real loss of size against one pass.
    void largeBodiesMatchOnePass_data()
    {
        QTest::addColumn<int>("level");
        QTest::newRow("level 9") << 9;
        QTest::newRow("level 6") << 6;
        QTest::newRow("level 1") << 1;
    }

    void largeBodiesMatchOnePass()
    {
        QFETCH(int, level);
        const QByteArray body = MixedBody(2 * 1024 * 1024 + 77);
        MemStream blocks;
        OutputStream(blocks).Write(quint32(37));
        QVERIFY(CompressBody(body.constData(), size_t(body.size()), blocks, level));

        std::vector<Bytef> single(compressBound(uLong(body.size())));
        uLongf singleLength = uLongf(single.size());
        QCOMPARE(compress2(single.data(), &singleLength, reinterpret_cast<const Bytef*>(body.constData()),
                           uLong(body.size()), level),
                 Z_OK);
        const QByteArray packed = blocks.ToByteArray().mid(4);
        QCOMPARE(packed.left(2), QByteArray(reinterpret_cast<const char*>(single.data()), 2));
        QVERIFY2(packed.size() < qint64(singleLength) * 101 / 100,
                 qPrintable(QStringLiteral("%1 vs %2").arg(packed.size()).arg(singleLength)));

        std::vector<char> plain(size_t(body.size()));
        uLongf plainLength = uLongf(plain.size());
        QCOMPARE(uncompress(reinterpret_cast<Bytef*>(plain.data()), &plainLength,
                            reinterpret_cast<const Bytef*>(packed.constData()), uLong(packed.size())),
                 Z_OK);
        QCOMPARE(QByteArray(plain.data(), int(plainLength)), body);
    }

    // A body compressed once goes out behind a prefix that changes: plain zlib reads the prefix and
    // the body whole, with a right checksum, whichever way the body was compressed.
    void a_kept_body_reads_whole_behind_any_prefix_data()
    {
        QTest::addColumn<QByteArray>("prefix");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("request number, small body") << QByteArray("\x78\x56\x34\x12", 4) << QByteArray("folder\\a");
        QTest::newRow("nothing ahead, empty body") << QByteArray() << QByteArray();
        QTest::newRow("largest prefix, body in blocks") << QByteArray(0xffff, 'p') << MixedBody(3 * 1024 * 1024 + 5);
    }

    void a_kept_body_reads_whole_behind_any_prefix()
    {
        QFETCH(QByteArray, prefix);
        QFETCH(QByteArray, body);
        MemStream kept;
        QVERIFY(CompressBody(body.constData(), size_t(body.size()), kept));
        MemStream packed;
        OutputStream(packed).Write(quint32(37));
        QVERIFY(CompressBehindPrefix(prefix.constData(), size_t(prefix.size()), kept.GetBuffer(), kept.GetLength(),
                                     size_t(body.size()), packed));
        const QByteArray whole = prefix + body;
        std::vector<char> plain(size_t(whole.size()) + 1);
        uLongf plainLength = static_cast<uLongf>(plain.size());
        QCOMPARE(uncompress(reinterpret_cast<Bytef*>(plain.data()), &plainLength,
                            reinterpret_cast<const Bytef*>(packed.GetBuffer()) + 4, packed.GetLength() - 4),
                 Z_OK);
        QCOMPARE(QByteArray(plain.data(), int(plainLength)), whole);

        // A prefix too long for one stored block, or a stream that is none, gives nothing.
        MemStream refused;
        QVERIFY(!CompressBehindPrefix(QByteArray(0x10000, 'p').constData(), 0x10000, kept.GetBuffer(), kept.GetLength(),
                                      size_t(body.size()), refused));
        const QByteArray garbage("this is not a zlib stream");
        QVERIFY(!CompressBehindPrefix(prefix.constData(), size_t(prefix.size()), garbage.constData(),
                                      size_t(garbage.size()), size_t(body.size()), refused));
        QCOMPARE(refused.GetLength(), size_t(0));
    }

    void refusesBrokenStreams_data()
    {
        QTest::addColumn<QByteArray>("data");
        MemStream good;
        const QByteArray body(100000, 'q');
        CompressBody(body.constData(), size_t(body.size()), good);
        const QByteArray packed = good.ToByteArray();

        QTest::newRow("empty") << QByteArray();
        QTest::newRow("garbage") << QByteArray("this is not a zlib stream at all");
        QTest::newRow("truncated") << packed.left(packed.size() / 2);
        QTest::newRow("no checksum") << packed.left(packed.size() - 4);
        QByteArray flipped = packed;
        flipped[flipped.size() - 1] = static_cast<char>(flipped[flipped.size() - 1] ^ 0x55);
        QTest::newRow("bad checksum") << flipped;
        // qCompress output: a 4-byte length in front is not a zlib header.
        QTest::newRow("qCompress") << qCompress(body);
    }

    void refusesBrokenStreams()
    {
        QFETCH(QByteArray, data);
        MemStream out;
        OutputStream(out).Write(quint32(9));
        QVERIFY(!InflateBody(data.constData(), size_t(data.size()), out));
        // Nothing of a refused body is left behind.
        QCOMPARE(out.GetLength(), size_t(4));
    }

    void refusesPastTheCap()
    {
        // 8 MiB of zeros packs into a few kilobytes.
        const std::vector<char> zeros(8 * 1024 * 1024, '\0');
        MemStream bomb;
        QVERIFY(CompressBody(zeros.data(), zeros.size(), bomb));
        QVERIFY(bomb.GetLength() < 64 * 1024);

        MemStream exact;
        QVERIFY(InflateBody(bomb, exact, zeros.size()));
        QCOMPARE(exact.GetLength(), zeros.size());

        MemStream over;
        QVERIFY(!InflateBody(bomb, over, zeros.size() - 1));
        QCOMPARE(over.GetLength(), size_t(0));

        // A small cap stops early: the buffer never grows far past the cap.
        MemStream small;
        QVERIFY(!InflateBody(bomb, small, 1000));

        // A body just under a cap: the buffer holds the cap and the one byte that tells it is
        // reached, never the power of two beyond.
        const size_t cap = 3000000;
        MemStream under;
        QVERIFY(CompressBody(zeros.data(), cap - 1, under));
        MemStream inflated;
        QVERIFY(InflateBody(under, inflated, cap));
        QCOMPARE(inflated.GetLength(), cap - 1);
        QVERIFY2(inflated.GetCapacity() <= cap + 1, qPrintable(QString::number(inflated.GetCapacity())));
    }
};

QTEST_GUILESS_MAIN(TestCompression)
#include "test_compression.moc"
