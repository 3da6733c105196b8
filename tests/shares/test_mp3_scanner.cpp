#include "MP3Scanner.h"

#include <QDataStream>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <QtTest>

#include <cmath>
#include <random>
#include <sys/stat.h>

namespace
{
// One run of identical frame headers: version bits (3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5),
// layer bits (1 = Layer III), protection bit (1 = no CRC), sampling index, channel mode, bit-rate index.
struct Frames
{
    int count;
    int version;
    int rateIndex;
    int mode = 1;
    int frequency = 0;
    int protection = 1;
    int layer = 1;
};
} // namespace
Q_DECLARE_METATYPE(Frames)

namespace
{
QByteArray Header(const Frames& f)
{
    QByteArray h(4, '\0');
    h[0] = char(0xFF);
    h[1] = char(0xE0 | (f.version << 3) | (f.layer << 1) | f.protection);
    h[2] = char((f.rateIndex << 4) | (f.frequency << 2));
    h[3] = char(f.mode << 6);
    return h;
}

// Headers separated by zero bytes, so no candidate arises between them.
QByteArray Build(const QList<Frames>& i_runs)
{
    QByteArray out;
    for (const Frames& f : i_runs)
        for (int i = 0; i < f.count; ++i)
            out += Header(f) + QByteArray(12, '\0');
    return out;
}

// "version,mode,frequency,cbr|vbr,bitrate"; empty when nothing was decided.
QString Describe(bool i_found, const MP3ScanResult& r)
{
    return i_found ? QString("%1,%2,%3,%4,%5")
                         .arg(QString::number(r.mpegVersion), r.channelMode, QString::number(r.frequency),
                              r.isVBR ? "vbr" : "cbr", QString::number(r.bitrate))
                   : QString();
}

QString Analyse(const QByteArray& i_bytes)
{
    MP3HeaderAnalysis analysis;
    for (int pos = 0; pos < i_bytes.size(); pos += MP3HeaderAnalysis::BlockSize)
        analysis.AddBlock(reinterpret_cast<const unsigned char*>(i_bytes.constData()) + pos,
                          qMin(MP3HeaderAnalysis::BlockSize, i_bytes.size() - pos));
    MP3ScanResult result;
    return Describe(analysis.Decide(result), result);
}

// The candidate rule applied one position at a time, to check the vectorised block scanner against.
QString PlainScan(const QByteArray& i_bytes)
{
    MP3HeaderAnalysis analysis;
    const auto* b = reinterpret_cast<const unsigned char*>(i_bytes.constData());
    for (int start = 0; start < i_bytes.size(); start += MP3HeaderAnalysis::BlockSize)
        for (int j = start; j + 4 < qMin(start + MP3HeaderAnalysis::BlockSize, i_bytes.size()); ++j)
            if (b[j] == 0xFF && (b[j + 1] & 0xE0) == 0xE0)
                analysis.AddCandidate(b[j + 1], b[j + 2], b[j + 3]);
    MP3ScanResult result;
    return Describe(analysis.Decide(result), result);
}

QString ScanFile(const QString& i_path)
{
    MP3Scanner scanner;
    MP3ScanResult r;
    return Describe(scanner.ScanMP3(i_path, r.mpegVersion, r.channelMode, r.frequency, r.isVBR, r.bitrate), r);
}

bool WriteBytes(const QString& i_path, const QByteArray& i_bytes)
{
    QFile f(i_path);
    return f.open(QIODevice::WriteOnly) && f.write(i_bytes) == i_bytes.size();
}

// Seconds of 16-bit stereo WAV at 44.1 kHz: a tone, or tone, noise and silence in turns so that
// a variable-rate encoder really varies.
QByteArray Wav(int i_seconds, bool i_varied)
{
    const int rate = 44100;
    const quint32 bytes = quint32(i_seconds * rate * 4);
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s.writeRawData("RIFF", 4);
    s << quint32(36 + bytes);
    s.writeRawData("WAVEfmt ", 8);
    s << quint32(16) << quint16(1) << quint16(2) << quint32(rate) << quint32(rate * 4) << quint16(4) << quint16(16);
    s.writeRawData("data", 4);
    s << bytes;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-20000, 20000);
    for (int i = 0; i < i_seconds * rate; ++i)
    {
        const int second = i / rate;
        double v = 8000 * std::sin(2 * M_PI * 440 * i / rate) + 3000 * std::sin(2 * M_PI * 1250 * i / rate);
        if (i_varied && second % 3 == 1)
            v = noise(random);
        else if (i_varied && second % 3 == 2)
            v = 0;
        s << qint16(v) << qint16(i_varied ? v : -v / 2);
    }
    return out;
}

double WavSeconds(const QString& i_path)
{
    QFile f(i_path);
    const QByteArray all = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    const int fmt = all.indexOf("fmt "), data = all.indexOf("data");
    if (fmt < 0 || data < 0)
        return -1;
    const quint32 byteRate = qFromLittleEndian<quint32>(all.constData() + fmt + 16);
    const quint32 dataBytes = qFromLittleEndian<quint32>(all.constData() + data + 4);
    // espeak-ng streams its WAV and may leave the size field open.
    const quint32 bytes =
        dataBytes == 0 || dataBytes > quint32(all.size()) ? quint32(all.size() - data - 8) : dataBytes;
    return double(bytes) / byteRate;
}
} // namespace

class TestMP3Scanner : public QObject
{
    Q_OBJECT

private slots:
    void decisions_data()
    {
        QTest::addColumn<QList<Frames>>("runs");
        QTest::addColumn<QString>("result");

        // Bit-rate indexes: MPEG-1 9 = 128, 11 = 192, 14 = 320; MPEG-2 8 = 64.
        QTest::newRow("cbr 128 joint stereo") << QList<Frames>{{100, 3, 9}} << "1,joint stereo,0,cbr,128";
        QTest::newRow("99 of 100 is constant") << QList<Frames>{{99, 3, 11}, {1, 3, 9}} << "1,joint stereo,0,cbr,192";
        QTest::newRow("98 of 100 is variable") << QList<Frames>{{98, 3, 11}, {2, 3, 9}} << "1,joint stereo,0,vbr,190";
        QTest::newRow("half and half") << QList<Frames>{{50, 3, 9}, {50, 3, 11}} << "1,joint stereo,0,vbr,160";
        QTest::newRow("mostly MPEG-2.5") << QList<Frames>{{30, 3, 9}, {70, 0, 8}} << "";
        QTest::newRow("MPEG-2.5 ties MPEG-2") << QList<Frames>{{40, 2, 8}, {40, 0, 8}} << "";
        QTest::newRow("MPEG-2 wins a tie with MPEG-1")
            << QList<Frames>{{50, 3, 14}, {50, 2, 8}} << "2,joint stereo,0,cbr,64";
        QTest::newRow("mode tie goes to the later mode")
            << QList<Frames>{{50, 3, 9, 0}, {50, 3, 11, 1}} << "1,joint stereo,0,cbr,192";
        QTest::newRow("other modes do not count") << QList<Frames>{{60, 3, 9, 3}, {40, 3, 14, 2}} << "1,mono,0,cbr,128";
        QTest::newRow("sampling tie 0 and 2 goes to 2")
            << QList<Frames>{{50, 3, 9, 1, 0}, {50, 3, 14, 1, 2}} << "1,joint stereo,2,cbr,320";
        QTest::newRow("sampling tie 0 and 1 goes to 1")
            << QList<Frames>{{50, 3, 9, 0, 0}, {50, 3, 14, 0, 1}} << "1,stereo,1,cbr,320";
        QTest::newRow("CRC majority") << QList<Frames>{{60, 3, 9, 2, 0, 0}, {40, 3, 14, 2, 0, 1}}
                                      << "1,dual mono,0,cbr,128";
        QTest::newRow("layer I only") << QList<Frames>{{100, 3, 9, 1, 0, 1, 3}} << "";
        // Padding runs of 0xFF read as MPEG-1 Layer I headers; they must not outvote the real frames.
        QTest::newRow("layer I does not vote")
            << QList<Frames>{{60, 3, 15, 3, 3, 1, 3}, {50, 2, 8}, {20, 3, 9}} << "2,joint stereo,0,cbr,64";
        QTest::newRow("free format votes but adds no frame") << QList<Frames>{{10, 3, 9}, {20, 2, 0}} << "";
        QTest::newRow("sampling index 3 adds no frame") << QList<Frames>{{50, 3, 9, 1, 3}, {30, 2, 8}} << "";
        QTest::newRow("no sync at all") << QList<Frames>{} << "";
    }

    void decisions()
    {
        QFETCH(QList<Frames>, runs);
        QTEST(Analyse(Build(runs)), "result");
    }

    void blockEdges()
    {
        QTemporaryDir dir;
        const QByteArray header = Header({1, 3, 9});
        // Through the file reader: a header starting in the last four bytes of a block is not
        // examined; one byte earlier it is.
        for (int offset : {65531, 65532, 65535})
        {
            const QString path = dir.filePath(QString("edge%1.mp3").arg(offset));
            QVERIFY(WriteBytes(path, QByteArray(70000, '\0').replace(offset, 4, header)));
            QCOMPARE(ScanFile(path), QString(offset == 65531 ? "1,joint stereo,0,cbr,128" : ""));
        }
        // The last header of a file shorter than a block is seen when four bytes follow its start.
        QByteArray bytes = QByteArray(100, '\0').replace(95, 4, header);
        QVERIFY(!Analyse(bytes).isEmpty());
        bytes.chop(1);
        QVERIFY(Analyse(bytes).isEmpty());
        // Overlapping candidates: FF FF FB 90 40 holds a rejected candidate at 0 and a header at 1.
        QCOMPARE(Analyse(QByteArray::fromHex("00ffff"
                                             "fb9040")
                         + QByteArray(8, '\0')),
                 QString("1,joint stereo,0,cbr,128"));
    }

    // Dense random headers at every offset, block ends included: the fast block scanner must see
    // exactly the candidates the plain rules see.
    void matchesPlainRules()
    {
        std::mt19937 random(11);
        int decided = 0;
        for (int round = 0; round < 40; ++round)
        {
            const int size = round < 20 ? 65536 * 2 + int(random() % 300) : 64 + int(random() % 2000);
            QByteArray bytes(size, '\0');
            for (char& c : bytes)
            {
                const unsigned r = random() % 100;
                c = char(r < 30 ? 0xFF : r < 55 ? 0xE0 | (random() & 0x1F) : random() & 0xFF);
            }
            // A little bias so that some rounds decide on a real answer.
            for (int k = 0; k < size / 40; ++k)
                bytes.replace(int(random() % (size - 4)), 4, Header({1, 3, int(9 + random() % 3), 1}));
            const QString plain = PlainScan(bytes);
            QCOMPARE(Analyse(bytes), plain);
            decided += !plain.isEmpty();
        }
        QVERIFY(decided >= 10);
    }

    void unreadableFiles()
    {
        QTemporaryDir dir;
        std::mt19937 random(1);
        QByteArray garbage(300000, '\0');
        for (char& c : garbage)
            c = char(random() & 0x7F); // no 0xFF byte, so no sync
        QVERIFY(WriteBytes(dir.filePath("junk.mp3"), garbage));
        QVERIFY(WriteBytes(dir.filePath("empty.mp3"), QByteArray()));
        // Nothing that is not a regular file is read: a pipe would block the scanner for ever.
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("pipe.mp3")).constData(), 0600), 0);
        QVERIFY(QFile::link(dir.filePath("pipe.mp3"), dir.filePath("pipe link.mp3")));
        QVERIFY(QFile::link("/dev/zero", dir.filePath("device link.mp3")));
        for (const char* name :
             {"junk.mp3", "empty.mp3", "missing.mp3", ".", "pipe.mp3", "pipe link.mp3", "device link.mp3"})
            QVERIFY2(ScanFile(dir.filePath(name)).isEmpty(), name);
    }

    void encodedFiles_data()
    {
        QTest::addColumn<QString>("source"); // "tone", "varied" or "speech"
        QTest::addColumn<QStringList>("lameArgs");
        QTest::addColumn<QString>("result"); // a trailing "*": any mean rate

        QTest::newRow("cbr 128") << "tone" << QStringList{"-b", "128", "--cbr"} << "1,joint stereo,0,cbr,128";
        QTest::newRow("cbr 320") << "tone" << QStringList{"-b", "320", "--cbr"} << "1,joint stereo,0,cbr,320";
        QTest::newRow("cbr 192 plain stereo")
            << "tone" << QStringList{"-b", "192", "--cbr", "-m", "s"} << "1,stereo,0,cbr,192";
        QTest::newRow("vbr") << "varied" << QStringList{"-V", "2", "--vbr-new"} << "1,joint stereo,0,vbr,*";
        QTest::newRow("MPEG-2 22.05 kHz")
            << "tone" << QStringList{"-b", "64", "--cbr", "--resample", "22.05"} << "2,joint stereo,0,cbr,64";
        QTest::newRow("mono 96") << "tone" << QStringList{"-b", "96", "--cbr", "-m", "m"} << "1,mono,0,cbr,96";
        QTest::newRow("speech mono MPEG-2") << "speech" << QStringList{"-b", "48", "--cbr"} << "2,mono,0,cbr,48";
    }

    void encodedFiles()
    {
        QFETCH(QString, source);
        QFETCH(QStringList, lameArgs);
        QFETCH(QString, result);
        QTemporaryDir dir;
        const QString wav = dir.filePath("in.wav");
        const QString mp3 = dir.filePath("out.mp3");
        if (source == "speech")
        {
            QProcess speak;
            speak.start("espeak-ng", {"-w", wav,
                                      "Shared folders are scanned once, and every new file is read on a "
                                      "thread of its own, so the window never waits for the disk."});
            QVERIFY2(speak.waitForFinished(60000) && speak.exitCode() == 0, "espeak-ng failed; is it installed?");
        }
        else
            QVERIFY(WriteBytes(wav, Wav(12, source == "varied")));
        const double seconds = WavSeconds(wav);
        QVERIFY(seconds > 2);

        QProcess lame;
        lame.start("lame", QStringList{"--quiet"} + lameArgs + QStringList{wav, mp3});
        QVERIFY2(lame.waitForFinished(60000) && lame.exitCode() == 0, "lame failed; is it installed?");

        const QString found = ScanFile(mp3);
        if (result.endsWith('*'))
            QVERIFY2(found.startsWith(result.chopped(1)), qPrintable(found));
        else
            QCOMPARE(found, result);
        // The length the reported mean rate implies for this file size is the length encoded.
        const double implied = QFileInfo(mp3).size() * 8.0 / (found.section(',', -1).toInt() * 1000.0);
        QVERIFY2(std::abs(implied - seconds) < 1.0,
                 qPrintable(QString("implied %1 s, encoded %2 s").arg(implied).arg(seconds)));
    }

    void threadRoundTripAndQuit()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("a.mp3");
        QVERIFY(WriteBytes(path, Build({{200, 3, 11}})));

        QThread thread;
        MP3Scanner scanner;
        scanner.moveToThread(&thread);
        // Counted on this thread through a queued connection: a spy would be filled from the scanner's.
        QList<QPair<QString, int>> scanned;
        connect(&scanner, &MP3Scanner::MP3Scanned, this,
                [&scanned](QString i_file, int, QString, int, bool, int i_bitrate) {
                    scanned << qMakePair(i_file, i_bitrate);
                });
        thread.start();
        const auto stop = qScopeGuard([&thread] {
            thread.quit();
            thread.wait();
        });
        auto request = [&] {
            QMetaObject::invokeMethod(&scanner, "OnMP3ScanRequired", Qt::QueuedConnection, Q_ARG(QString, path));
        };
        request();
        QTRY_COMPARE_WITH_TIMEOUT(scanned.size(), 1, 10000);
        QCOMPARE(scanned.at(0), qMakePair(path, 192));

        // After Quit, requests still queued are answered with nothing.
        scanner.Quit();
        for (int i = 0; i < 5; ++i)
            request();
        thread.quit();
        QVERIFY(thread.wait(10000));
        QCoreApplication::processEvents();
        QCOMPARE(scanned.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestMP3Scanner)
#include "test_mp3_scanner.moc"
