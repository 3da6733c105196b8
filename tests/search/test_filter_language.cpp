#include "EngineStack.h"
#include "FilterParser.h"

#include <QtTest>

#include <limits>

// The filter language on its own: what a text means and what a row's text and file must hold.
class TestFilterLanguage : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<EngineStack> m_engines;

    // A search result as the peer network makes it, with the attributes given ("" = absent).
    static ItemPtr File(qint64 i_size, const QString& i_bitrate, const QString& i_mode)
    {
        ItemPtr file = d->GetType("search_result")->NewItem();
        file += d->GetType("file_size")->GetItem(Value(i_size));
        if (!i_bitrate.isEmpty())
            file += d->GetType("bitrate")->GetItem(Value(i_bitrate));
        if (!i_mode.isEmpty())
            file += d->GetType("bitrate_mode")->GetItem(Value(i_mode));
        return file;
    }

private slots:
    void init() { m_engines = std::make_unique<EngineStack>(EngineStack::ServerConnection | EngineStack::Peers); }
    void cleanup() { m_engines.reset(); }

    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("included");
        QTest::addColumn<QStringList>("excluded");
        // minimum bitrate, minimum size, minimum files, vbr only, cbr only, has attributes
        QTest::addColumn<QVariantList>("limits");

        const QStringList none;
        const qint64 most = std::numeric_limits<qint64>::max();
        const qint64 least = std::numeric_limits<qint64>::min();
        const QVariantList off{0, 0LL, 0, false, false, false};
        QTest::newRow("empty") << "" << none << none << off;
        QTest::newRow("blanks only separate") << "  abc   Def " << QStringList{"abc", "Def"} << none << off;
        QTest::newRow("a tab is part of a word") << "a\tb" << QStringList{"a\tb"} << none << off;
        QTest::newRow("dash") << "-live - --x" << none << QStringList{"live", "-x"} << off;
        QTest::newRow("nothing special after a dash") << "-isvbr -mbr:3" << none << QStringList{"isvbr", "mbr:3"}
                                                      << off;
        QTest::newRow("case-sensitive tokens")
            << "Isvbr ISCBR MBR:320 Mfs:1" << QStringList{"Isvbr", "ISCBR", "MBR:320", "Mfs:1"} << none << off;
        QTest::newRow("isvbr iscbr together")
            << "isvbr iscbr" << none << none << QVariantList{0, 0LL, 0, true, true, true};
        QTest::newRow("later bitrate wins")
            << "minbitrate:320 mbr:128" << none << none << QVariantList{128, 0LL, 0, false, false, true};
        QTest::newRow("unreadable number")
            << "mbr:abc mfif:x" << none << none << QVariantList{0, 0LL, 0, false, false, true};
        QTest::newRow("megabytes of 10^6 bytes")
            << "minfilesize:10" << none << none << QVariantList{0, 10000000LL, 0, false, false, true};
        QTest::newRow("size saturates above")
            << "mfs:9223372036855" << none << none << QVariantList{0, most, 0, false, false, true};
        QTest::newRow("size saturates below")
            << "mfs:-9223372036855" << none << none << QVariantList{0, least, 0, false, false, true};
        QTest::newRow("largest size that fits") << "mfs:9223372036854" << none << none
                                                << QVariantList{0, 9223372036854000000LL, 0, false, false, true};
        QTest::newRow("files in folder need no file data")
            << "mfif:3 minfilesinfolder:4 word" << QStringList{"word"} << none
            << QVariantList{0, 0LL, 4, false, false, false};
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, included);
        QFETCH(QStringList, excluded);
        QFETCH(QVariantList, limits);
        FilterParser parser;
        parser.Parse(text);
        QCOMPARE(parser.IncludedWords(), included);
        QCOMPARE(parser.ExcludedWords(), excluded);
        const QVariantList actual{parser.MinBitrate(),           parser.MinFileSize(),
                                  parser.MinFilesInFolder(),     parser.IsVariableBitrateOnly(),
                                  parser.IsConstantBitrateOnly(), parser.HasAttributes()};
        QCOMPARE(actual, limits);
    }

    void match_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("text");
        // size, bitrate, mode of the file; a negative size: no file handle
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("bitrate");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("result");

        QTest::newRow("empty filter") << "" << "anything" << -1LL << "" << "" << 0;
        QTest::newRow("words ignore case") << "BEAT gold" << "Golden beats" << -1LL << "" << "" << 0;
        QTest::newRow("a word missing") << "beat silver" << "Golden beats" << -1LL << "" << "" << 1;
        QTest::newRow("excluded word") << "beat -GOLD" << "golden beats" << -1LL << "" << "" << 2;
        QTest::newRow("excluded beats missing") << "silver -gold" << "golden" << -1LL << "" << "" << 2;
        QTest::newRow("unread number limits nothing") << "minbitrate:abc" << "x" << 5LL << "" << "" << 0;
        QTest::newRow("no bitrate under a minimum") << "minbitrate:1" << "x" << 5LL << "" << "" << 2;
        QTest::newRow("bitrate at the minimum") << "mbr:320" << "x" << 5LL << "320" << "cbr" << 0;
        QTest::newRow("bitrate below") << "mbr:320" << "x" << 5LL << "256" << "cbr" << 2;
        QTest::newRow("size at 10 MB") << "minfilesize:10" << "x" << 10000000LL << "" << "" << 0;
        QTest::newRow("size below 10 MB") << "minfilesize:10" << "x" << 9999999LL << "" << "" << 2;
        QTest::newRow("saturated size") << "mfs:99999999999999" << "x" << 9000000000000000000LL << "" << "" << 2;
        QTest::newRow("vbr wanted") << "isvbr" << "x" << 5LL << "" << "vbr" << 0;
        QTest::newRow("vbr wanted, cbr file") << "isvbr" << "x" << 5LL << "" << "cbr" << 2;
        QTest::newRow("cbr wanted, no mode") << "iscbr" << "x" << 5LL << "" << "" << 2;
        QTest::newRow("both modes") << "isvbr iscbr" << "x" << 5LL << "" << "vbr" << 2;
        QTest::newRow("limits without a file") << "isvbr mbr:320 mfs:9" << "x" << -1LL << "" << "" << 0;
    }

    void match()
    {
        QFETCH(QString, filter);
        QFETCH(QString, text);
        QFETCH(qint64, size);
        QFETCH(QString, bitrate);
        QFETCH(QString, mode);
        QFETCH(int, result);
        FilterParser parser;
        parser.Parse(filter);
        QCOMPARE(parser.IsMatching(text, nullptr, size < 0 ? ItemPtr() : File(size, bitrate, mode)), result);
    }

    // A folder hands on to its files only the words its own text lacks, with every excluded
    // word and limit; a word found in the folder need not be in the file names.
    void remainder()
    {
        FilterParser parser;
        parser.Parse("artist song -live mbr:128 mfif:2");
        FilterParser remainder;
        remainder.Parse("stale words -old");
        QCOMPARE(parser.IsMatching("Album/Artist/Music", &remainder, ItemPtr()), 1);
        QCOMPARE(remainder.IncludedWords(), QStringList{"song"});
        QCOMPARE(remainder.ExcludedWords(), QStringList{"live"});
        QCOMPARE(remainder.MinBitrate(), 128);
        QCOMPARE(remainder.MinFilesInFolder(), 2);
        QVERIFY(remainder.HasAttributes());
        QCOMPARE(remainder.IsMatching("Song.mp3", nullptr, File(5, "192", "")), 0);
        QCOMPARE(remainder.IsMatching("Song (live).mp3", nullptr, File(5, "192", "")), 2);
        QCOMPARE(remainder.IsMatching("Song.mp3", nullptr, File(5, "96", "")), 2);

        // All words in the folder: nothing is passed on and the folder matches.
        QCOMPARE(parser.IsMatching("song/artist", &remainder, ItemPtr()), 0);
        QVERIFY(remainder.IncludedWords().isEmpty());
        QCOMPARE(parser.IsMatching("Live/Artist", &remainder, ItemPtr()), 2);
    }
};

QTEST_GUILESS_MAIN(TestFilterLanguage)
#include "test_filter_language.moc"
