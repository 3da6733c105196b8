#include "SearchParser.h"

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
        QTest::newRow("unicode lower-casing") << "ÄRGER Straße" << true << QStringList{"straße", "ärger"} << none << none;
        QTest::newRow("excluded only") << "-live -demo" << false << none << none << QStringList{"demo", "live"};
        QTest::newRow("parts only") << "*beat" << true << none << QStringList{"beat"} << none;
        QTest::newRow("all kinds") << "abba -live *gold" << true << QStringList{"abba"} << QStringList{"gold"}
                                   << QStringList{"live"};
        QTest::newRow("lone minus at the end") << "abba -" << false << QStringList{"abba"} << none << none;
        QTest::newRow("lone asterisk at the end") << "abba *" << false << QStringList{"abba"} << none << none;
        QTest::newRow("markers at a word's end") << "abba- gold*" << true << QStringList{"abba-", "gold*"} << none << none;
        QTest::newRow("minus and blank") << "- abba" << false << none << none << none;
        QTest::newRow("minus then asterisk") << "abba -*live" << true << QStringList{"abba"} << none << QStringList{"*live"};
        QTest::newRow("two minus signs") << "abba --live" << true << QStringList{"abba"} << none << QStringList{"-live"};
        QTest::newRow("asterisk then minus") << "*-x" << true << none << QStringList{"-x"} << none;
        QTest::newRow("quoted phrase") << "\"Dancing Queen\" abba" << true << QStringList{"abba", "dancing queen"} << none
                                       << none;
        QTest::newRow("word glued to a closing quote") << "\"a b\"live" << true << QStringList{"a b", "live"} << none
                                                       << none;
        QTest::newRow("quoted excluded phrase") << "abba -\"live at\"" << true << QStringList{"abba"} << none
                                                << QStringList{"live at"};
        QTest::newRow("no closing quote") << "abba \"gold  greatest\thits" << true
                                          << QStringList{"abba", "gold  greatest\thits"} << none << none;
        QTest::newRow("empty quotes") << "abba \"\" gold" << false << QStringList{"abba"} << none << none;
        QTest::newRow("quote inside a word") << "ab\"ba gold" << false << none << none << none;
        QTest::newRow("marker before empty quotes") << "abba -\"\"" << false << QStringList{"abba"} << none << none;
        QTest::newRow("lone quote at the end") << "abba \"" << false << QStringList{"abba"} << none << none;
        QTest::newRow("same word twice") << "abba ABBA abba" << true << QStringList{"abba"} << none << none;
        QTest::newRow("tab separates") << "abba\tgold" << true << QStringList{"abba", "gold"} << none << none;
        QTest::newRow("line feed does not") << "abba\ngold" << true << QStringList{"abba\ngold"} << none << none;
        QTest::newRow("NUL ends the text") << QString::fromUtf8("abba\0gold", 9) << true << QStringList{"abba"} << none << none;
        QTest::newRow("fault stops the reading") << "abba \"\" gold -live" << false << QStringList{"abba"} << none << none;
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

        QTest::newRow("no words matches anything") << "" << "whatever" << true;
        QTest::newRow("inside a longer word") << "beat" << "The BEATLES - Help.mp3" << true;
        QTest::newRow("included missing") << "abba gold" << "abba - waterloo" << false;
        QTest::newRow("part found") << "*eatl" << "Beatles" << true;
        QTest::newRow("part missing") << "*xyz" << "Beatles" << false;
        QTest::newRow("excluded present") << "abba -live" << "ABBA LIVE.mp3" << false;
        QTest::newRow("excluded absent") << "abba -live" << "abba studio.mp3" << true;
        QTest::newRow("quoted phrase") << "\"dancing queen\"" << "ABBA - Dancing Queen.mp3" << true;
        QTest::newRow("phrase needs the blank") << "\"dancing queen\"" << "dancing_queen.mp3" << false;
        QTest::newRow("unicode case") << "ärger" << "ÄRGER.ogg" << true;
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
};

QTEST_APPLESS_MAIN(TestSearchParser)
#include "test_search_parser.moc"
