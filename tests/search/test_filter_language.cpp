#include "EngineStack.h"
#include "FilterParser.h"

#include <QtTest>

// The filter language on its own: what a text means and what a row's text and file must hold.
class TestFilterLanguage : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<EngineStack> m_engines;

    // included | excluded | minimum bitrate, size, files in folder | v(br) c(br) a(ttributes)
    static QString Describe(const FilterParser& i_parser)
    {
        return QStringLiteral("%1|%2|%3 %4 %5|%6%7%8")
            .arg(i_parser.IncludedWords().join(','), i_parser.ExcludedWords().join(','))
            .arg(i_parser.MinBitrate())
            .arg(i_parser.MinFileSize())
            .arg(i_parser.MinFilesInFolder())
            .arg(i_parser.IsVariableBitrateOnly() ? "v" : "", i_parser.IsConstantBitrateOnly() ? "c" : "",
                 i_parser.HasAttributes() ? "a" : "");
    }

    // A search result as the peer network makes it; "" leaves an attribute out.
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
        QTest::addColumn<QString>("meaning");
        QTest::newRow("blanks separate, tabs do not") << "  abc\tx   Def "
                                                      << "abc\tx,Def||0 0 0|";
        QTest::newRow("dash") << "-live - --x -isvbr"
                              << "|live,-x,isvbr|0 0 0|";
        QTest::newRow("case-sensitive tokens") << "Isvbr MBR:320 Mfs:1"
                                               << "Isvbr,MBR:320,Mfs:1||0 0 0|";
        QTest::newRow("both modes") << "isvbr iscbr"
                                    << "||0 0 0|vca";
        QTest::newRow("later wins, unreadable is 0") << "minbitrate:320 mbr:128 mfif:x"
                                                     << "||128 0 0|a";
        QTest::newRow("unreadable bitrate") << "mbr:abc"
                                            << "||0 0 0|a";
        QTest::newRow("megabytes of 10^6 bytes") << "minfilesize:10"
                                                 << "||0 10000000 0|a";
        QTest::newRow("largest size that fits") << "mfs:9223372036854"
                                                << "||0 9223372036854000000 0|a";
        QTest::newRow("size held above") << "mfs:9223372036855"
                                         << "||0 9223372036854775807 0|a";
        QTest::newRow("size held below") << "mfs:-9223372036855"
                                         << "||0 -9223372036854775808 0|a";
        QTest::newRow("files in folder need no file data") << "mfif:3 minfilesinfolder:4 w"
                                                           << "w||0 0 4|";
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QString, meaning);
        FilterParser parser;
        parser.Parse(text);
        QCOMPARE(Describe(parser), meaning);
    }

    void match_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("text");
        // size, bitrate and mode of the file; a negative size: no file handle
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("bitrate");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("result");

        QTest::newRow("words ignore case") << "BEAT gold"
                                           << "Golden beats" << -1LL << ""
                                           << "" << 0;
        QTest::newRow("a word missing") << "beat silver"
                                        << "Golden beats" << -1LL << ""
                                        << "" << 1;
        QTest::newRow("excluded beats missing") << "silver -GOLD"
                                                << "golden" << -1LL << ""
                                                << "" << 2;
        QTest::newRow("unread number limits nothing") << "minbitrate:abc"
                                                      << "x" << 5LL << ""
                                                      << "" << 0;
        QTest::newRow("no bitrate under a minimum") << "minbitrate:1"
                                                    << "x" << 5LL << ""
                                                    << "" << 2;
        QTest::newRow("bitrate at the minimum") << "mbr:320"
                                                << "x" << 5LL << "320"
                                                << "cbr" << 0;
        QTest::newRow("size at 10 MB") << "minfilesize:10"
                                       << "x" << 10000000LL << ""
                                       << "" << 0;
        QTest::newRow("size below 10 MB") << "minfilesize:10"
                                          << "x" << 9999999LL << ""
                                          << "" << 2;
        QTest::newRow("held size") << "mfs:99999999999999"
                                   << "x" << 9000000000000000000LL << ""
                                   << "" << 2;
        QTest::newRow("vbr wanted, cbr file") << "isvbr"
                                              << "x" << 5LL << ""
                                              << "cbr" << 2;
        QTest::newRow("cbr wanted, no mode") << "iscbr"
                                             << "x" << 5LL << ""
                                             << "" << 2;
        QTest::newRow("both modes") << "isvbr iscbr"
                                    << "x" << 5LL << ""
                                    << "vbr" << 2;
        QTest::newRow("limits without a file") << "isvbr mbr:320 mfs:9"
                                               << "x" << -1LL << ""
                                               << "" << 0;
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
    // word and limit: a word found in the folder need not be in the file names.
    void remainder()
    {
        FilterParser parser;
        parser.Parse("artist song -live mbr:128 mfif:2");
        FilterParser remainder;
        remainder.Parse("stale -old");
        QCOMPARE(parser.IsMatching("Album/Artist/Music", &remainder, ItemPtr()), 1);
        QCOMPARE(Describe(remainder), QStringLiteral("song|live|128 0 2|a"));
        QCOMPARE(remainder.IsMatching("Song.mp3", nullptr, File(5, "192", "")), 0);
        QCOMPARE(remainder.IsMatching("Song (live).mp3", nullptr, File(5, "192", "")), 2);
        QCOMPARE(remainder.IsMatching("Song.mp3", nullptr, File(5, "96", "")), 2);
        QCOMPARE(parser.IsMatching("song/artist", &remainder, ItemPtr()), 0);
        QCOMPARE(Describe(remainder), QStringLiteral("|live|128 0 2|a"));
    }
};

QTEST_GUILESS_MAIN(TestFilterLanguage)
#include "test_filter_language.moc"
