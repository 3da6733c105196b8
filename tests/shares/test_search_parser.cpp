#include "SearchParser.h"
#include "SearchWords.h"

#include <QtTest>

namespace
{
QStringList Sorted(const SearchParser::TokenSet& i_set)
{
    QStringList list;
    for (const QString& token : i_set)
        list << token;
    return list;
}

// The index words of a text, as the scanner stores them.
QStringList Words(const QString& i_text)
{
    std::vector<std::string> words;
    SplitSearchWords(i_text.toLower(), words);
    QStringList out;
    for (const std::string& w : words)
        out << QString::fromStdString(w);
    return out;
}
} // namespace

class TestSearchParser : public QObject
{
    Q_OBJECT

private slots:
    void tokenize_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QStringList>("included");
        QTest::addColumn<QStringList>("parts");
        QTest::addColumn<QStringList>("excluded");

        const QStringList none;
        QTest::newRow("empty") << "" << false << none << none << none;
        QTest::newRow("blanks and tabs") << " \t  \t" << false << none << none << none;
        QTest::newRow("one word in capitals") << "BEATLES" << true << QStringList{"beatles"} << none << none;
        QTest::newRow("unicode lower-casing")
            << "ÄRGER Straße" << true << QStringList{"straße", "ärger"} << none << none;
        QTest::newRow("excluded only") << "-live -demo" << false << none << none << QStringList{"demo", "live"};
        QTest::newRow("parts only") << "*beat" << true << none << QStringList{"beat"} << none;
        QTest::newRow("all kinds") << "abba -live *gold" << true << QStringList{"abba"} << QStringList{"gold"}
                                   << QStringList{"live"};
        QTest::newRow("lone minus at the end") << "abba -" << false << QStringList{"abba"} << none << none;
        QTest::newRow("lone asterisk at the end") << "abba *" << false << QStringList{"abba"} << none << none;
        QTest::newRow("markers at a word's end")
            << "abba- gold*" << true << QStringList{"abba-", "gold*"} << none << none;
        QTest::newRow("minus and blank") << "- abba" << false << none << none << none;
        QTest::newRow("minus then asterisk")
            << "abba -*live" << true << QStringList{"abba"} << none << QStringList{"*live"};
        QTest::newRow("two minus signs") << "abba --live" << true << QStringList{"abba"} << none
                                         << QStringList{"-live"};
        QTest::newRow("asterisk then minus") << "*-x" << true << none << QStringList{"-x"} << none;
        QTest::newRow("quoted phrase") << "\"Dancing Queen\" abba" << true << QStringList{"abba", "dancing queen"}
                                       << none << none;
        QTest::newRow("word glued to a closing quote")
            << "\"a b\"live" << true << QStringList{"a b", "live"} << none << none;
        QTest::newRow("quoted excluded phrase")
            << "abba -\"live at\"" << true << QStringList{"abba"} << none << QStringList{"live at"};
        QTest::newRow("no closing quote")
            << "abba \"gold  greatest\thits" << true << QStringList{"abba", "gold  greatest\thits"} << none << none;
        QTest::newRow("empty quotes") << "abba \"\" gold" << false << QStringList{"abba"} << none << none;
        QTest::newRow("quote inside a word") << "ab\"ba gold" << false << none << none << none;
        QTest::newRow("marker before empty quotes") << "abba -\"\"" << false << QStringList{"abba"} << none << none;
        QTest::newRow("lone quote at the end") << "abba \"" << false << QStringList{"abba"} << none << none;
        QTest::newRow("same word twice") << "abba ABBA abba" << true << QStringList{"abba"} << none << none;
        QTest::newRow("tab separates") << "abba\tgold" << true << QStringList{"abba", "gold"} << none << none;
        QTest::newRow("line feed does not") << "abba\ngold" << true << QStringList{"abba\ngold"} << none << none;
        QTest::newRow("NUL ends the text")
            << QString::fromUtf8("abba\0gold", 9) << true << QStringList{"abba"} << none << none;
        QTest::newRow("fault stops the reading")
            << "abba \"\" gold -live" << false << QStringList{"abba"} << none << none;
    }

    void tokenize()
    {
        QFETCH(QString, query);
        QFETCH(bool, valid);
        QFETCH(QStringList, included);
        QFETCH(QStringList, parts);
        QFETCH(QStringList, excluded);

        SearchParser parser;
        QCOMPARE(parser.SetSearchText(query), valid);
        QCOMPARE(Sorted(parser.GetIncludedTokenSet()), included);
        QCOMPARE(Sorted(parser.GetIncludedPartTokenSet()), parts);
        QCOMPARE(Sorted(parser.GetExcludedTokenSet()), excluded);
    }

    void setsOnlyGrow()
    {
        SearchParser parser;
        QVERIFY(parser.SetSearchText("abba"));
        // Valid on the strength of the word left by the first call.
        QVERIFY(parser.SetSearchText("-live"));
        QCOMPARE(Sorted(parser.GetIncludedTokenSet()), QStringList{"abba"});
        QCOMPARE(Sorted(parser.GetExcludedTokenSet()), QStringList{"live"});
    }

    void isMatch_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("match");

        QTest::newRow("no words matches anything") << ""
                                                   << "whatever" << true;
        QTest::newRow("inside a longer word") << "beat"
                                              << "The BEATLES - Help.mp3" << true;
        QTest::newRow("included missing") << "abba gold"
                                          << "abba - waterloo" << false;
        QTest::newRow("part found") << "*eatl"
                                    << "Beatles" << true;
        QTest::newRow("part missing") << "*xyz"
                                      << "Beatles" << false;
        QTest::newRow("excluded present") << "abba -live"
                                          << "ABBA LIVE.mp3" << false;
        QTest::newRow("excluded absent") << "abba -live"
                                         << "abba studio.mp3" << true;
        QTest::newRow("quoted phrase") << "\"dancing queen\""
                                       << "ABBA - Dancing Queen.mp3" << true;
        QTest::newRow("phrase needs the blank") << "\"dancing queen\""
                                                << "dancing_queen.mp3" << false;
        QTest::newRow("unicode case") << "ärger"
                                      << "ÄRGER.ogg" << true;
    }

    void isMatch()
    {
        QFETCH(QString, query);
        QFETCH(QString, text);
        QFETCH(bool, match);

        SearchParser parser;
        parser.SetSearchText(query);
        QCOMPARE(parser.IsMatch(text), match);
    }

    void separators_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("separator");
        const QList<QPair<int, bool>> table = {
            {'0', false},  {'9', false},  {'a', false},  {'z', false},   {'A', false},   {'Z', false},   {0, true},
            {' ', true},   {'_', true},   {'-', true},   {'.', true},    {'/', true},    {'\\', true},   {'@', true},
            {'[', true},   {'`', true},   {'{', true},   {0x7F, true},   {0x80, false},  {0xA0, false},  {0xE9, false},
            {0xFF, false}, {0x100, true}, {0x430, true}, {0x3042, true}, {0xD83D, true}, {0xDE00, true}, {0xFFFD, true},
        };
        for (const auto& row : table)
            QTest::newRow(qPrintable(QString("U+%1").arg(row.first, 4, 16, QChar('0')))) << row.first << row.second;
    }

    void separators()
    {
        QFETCH(int, code);
        QTEST(IsSearchWordSeparator(QChar(ushort(code))), "separator");
    }

    void split_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("words");
        QTest::newRow("folder and name")
            << QString("/srv/Media/Rock\\AC-DC Back_in_Black.MP3")
            << QStringList{
                   "srv", "media", "rock", "ac", "dc", "back", "in", "black", "mp3", "ac-dc", "back_in_black.mp3"};
        QTest::newRow("latin-1 letters stay in words")
            << QString::fromUtf8("/m\\Café Müller.mp3")
            << QStringList{"m", QString::fromUtf8("café"), QString::fromUtf8("müller"), "mp3",
                           QString::fromUtf8("müller.mp3")};
        QTest::newRow("cyrillic only from blanks")
            << QString::fromUtf8("/x\\Песня Один.mp3")
            << QStringList{"x", "mp3", QString::fromUtf8("песня"), QString::fromUtf8("один.mp3")};
        QTest::newRow("emoji splits the first pass")
            << QString::fromUtf8("/x\\ab😀cd.ogg")
            << QStringList{"x", "ab", "cd", "ogg", QString::fromUtf8("ab😀cd.ogg")};
        QTest::newRow("only separators") << QString("/ \\ -_.") << QStringList{"-_."};
        QTest::newRow("empty") << QString() << QStringList{};
        QTest::newRow("repeats collapse") << QString("/a/a\\a a.a") << QStringList{"a", "a.a"};
    }

    void split()
    {
        QFETCH(QString, text);
        QTEST(Words(text), "words");
    }
};

QTEST_GUILESS_MAIN(TestSearchParser)
#include "test_search_parser.moc"
