#include "ExtendedAsciiTranslator.h"
#include "TextUtils.h"

#include <QtTest>

#include <functional>
#include <map>

class TestTextUtils : public QObject
{
    Q_OBJECT

private slots:
    void stringReplace_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("expected");
        QTest::newRow("slashes") << "/a/b/c"
                                 << "/"
                                 << "\\"
                                 << "\\a\\b\\c";
        // Continues after the replacement, so a replacement holding the pattern is not rescanned.
        QTest::newRow("grows") << "aa"
                               << "a"
                               << "aa"
                               << "aaaa";
        QTest::newRow("overlap") << "aaa"
                                 << "aa"
                                 << "b"
                                 << "ba";
        QTest::newRow("none") << "abc"
                              << "x"
                              << "y"
                              << "abc";
        QTest::newRow("empty pattern") << "abc"
                                       << ""
                                       << "y"
                                       << "abc";
    }

    void stringReplace()
    {
        QFETCH(QString, text);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(StringReplace(text.toStdString(), from.toStdString(), to.toStdString())),
                 expected);
    }

    void pathSplitting_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("parent");
        QTest::newRow("empty") << ""
                               << ""
                               << ""
                               << "";
        QTest::newRow("no separator") << "song.mp3"
                                      << "song.mp3"
                                      << ""
                                      << "song.mp3";
        QTest::newRow("slash") << "a/b/c.mp3"
                               << "c.mp3"
                               << "a/b"
                               << "a/b";
        QTest::newRow("backslash") << "a\\b\\c.mp3"
                                   << "c.mp3"
                                   << "a\\b"
                                   << "a\\b";
        QTest::newRow("mixed") << "a/b\\c"
                               << "c"
                               << "a/b"
                               << "a/b";
        QTest::newRow("one trailing") << "a/b/"
                                      << "b"
                                      << "a"
                                      << "a";
        QTest::newRow("trailing slashes") << "a/b//"
                                          << ""
                                          << "a/b"
                                          << "a/b";
        QTest::newRow("trailing backslashes") << "a\\b\\\\"
                                              << ""
                                              << "a\\b"
                                              << "a";
        QTest::newRow("top folder") << "music\\"
                                    << "music"
                                    << ""
                                    << "music";
        QTest::newRow("backslashes only") << "\\\\\\"
                                          << ""
                                          << "\\"
                                          << "";
        QTest::newRow("root file") << "/x"
                                   << "x"
                                   << ""
                                   << "";
    }

    void pathSplitting()
    {
        QFETCH(QString, path);
        QFETCH(QString, fileName);
        QFETCH(QString, folder);
        QFETCH(QString, parent);
        const std::string p = path.toStdString();
        QCOMPARE(QString::fromStdString(GetFileName(p)), fileName);
        QCOMPARE(QString::fromStdString(GetFolder(p)), folder);
        QCOMPARE(QString::fromStdString(GetParentFolder(p)), parent);
    }

    // The helpers that map one text to another, each example of the rule one row.
    void oneToOne_data()
    {
        QTest::addColumn<QString>("helper");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("extension upper") << "extension"
                                         << "SONG.MP3"
                                         << "mp3";
        QTest::newRow("extension last dot") << "extension"
                                            << "a.b.Flac"
                                            << "flac";
        QTest::newRow("extension none") << "extension"
                                        << "README"
                                        << "";
        QTest::newRow("extension trailing dot") << "extension"
                                                << "a."
                                                << "";
        QTest::newRow("extension non-ascii")
            << "extension" << QString::fromUtf8("a.\xc3\x89T") << QString::fromUtf8("\xc3\x89t");
        QTest::newRow("absolute empty") << "absolute"
                                        << ""
                                        << "";
        QTest::newRow("absolute one trailing") << "absolute"
                                               << "/Music/A/"
                                               << "/music/a";
        QTest::newRow("absolute two trailing") << "absolute"
                                               << "C:\\Music\\\\"
                                               << "c:\\music\\";
        QTest::newRow("absolute unicode")
            << "absolute" << QString::fromUtf8("\xc3\x84RGER") << QString::fromUtf8("\xc3\xa4rger");
        QTest::newRow("reverse mixed") << "reverse"
                                       << "music\\rock/album"
                                       << "album/rock/music";
        QTest::newRow("reverse trailing") << "reverse"
                                          << "a\\b\\\\"
                                          << "b/a";
        QTest::newRow("reverse single") << "reverse"
                                        << "a"
                                        << "a";
        QTest::newRow("reverse empty") << "reverse"
                                       << ""
                                       << "";
        QTest::newRow("commafy zero") << "commafy"
                                      << "0"
                                      << "";
        QTest::newRow("commafy negative") << "commafy"
                                          << "-5"
                                          << "";
        QTest::newRow("commafy small") << "commafy"
                                       << "999"
                                       << "999";
        QTest::newRow("commafy thousand") << "commafy"
                                          << "1000"
                                          << "1,000";
        QTest::newRow("commafy largest") << "commafy"
                                         << "9223372036854775807"
                                         << "9,223,372,036,854,775,807";
        QTest::newRow("seconds 0") << "seconds"
                                   << "0"
                                   << "0m0s";
        QTest::newRow("seconds 65") << "seconds"
                                    << "65"
                                    << "1m5s";
        QTest::newRow("seconds 3725") << "seconds"
                                      << "3725"
                                      << "1h2m5s";
        QTest::newRow("seconds hour zero in a day") << "seconds"
                                                    << "86461"
                                                    << "1d0h1m1s";
        QTest::newRow("escape entities") << "escape"
                                         << "a<b>&\"c'"
                                         << "a&lt;b&gt;&amp;\"c'";
        QTest::newRow("escape already escaped") << "escape"
                                                << "&lt;"
                                                << "&amp;lt;";
        QTest::newRow("escape leaves links") << "escape"
                                             << "http://x.org/a?b=1"
                                             << "http://x.org/a?b=1";
        QTest::newRow("links none") << "links"
                                    << "a<b>&\"c'"
                                    << "a<b>&\"c'";
        QTest::newRow("links one") << "links"
                                   << "see http://x.org/a?b=1."
                                   << "see <a href=\"http://x.org/a?b=1\">http://x.org/a?b=1</a>.";
        QTest::newRow("links two")
            << "links"
            << "https://a.b and http://c.d/"
            << "<a href=\"https://a.b\">https://a.b</a> and <a href=\"http://c.d/\">http://c.d/</a>";
        QTest::newRow("links case sensitive") << "links"
                                              << "HTTP://x.org"
                                              << "HTTP://x.org";
    }

    void oneToOne()
    {
        QFETCH(QString, helper);
        QFETCH(QString, input);
        const std::map<QString, std::function<QString(const QString&)>> helpers{
            {"extension",
             [](const QString& i_text) { return QString::fromStdString(GetFileExtension(i_text.toStdString())); }},
            {"absolute", [](const QString& i_text) { return GetAbsoluteFileName(i_text); }},
            {"reverse", [](const QString& i_text) { return ReversePathname(i_text); }},
            {"commafy", [](const QString& i_text) { return CommafyNumber(i_text.toLongLong()); }},
            {"seconds", [](const QString& i_text) { return FormatSeconds(i_text.toLong()); }},
            {"escape", [](const QString& i_text) { return EscapeHTML(i_text); }},
            {"links", [](const QString& i_text) { return ConvertLinks(i_text); }},
        };
        QTEST(helpers.at(helper)(input), "expected");
    }

    void toQStringWithoutCodePage()
    {
        QVERIFY(!ExtendedAsciiTranslator::CurrentCodec());
        QCOMPARE(ToQString(std::string("plain")), QStringLiteral("plain"));
        // Valid UTF-8 wins.
        QCOMPARE(ToQString(std::string("caf\xc3\xa9")), QString::fromUtf8("caf\xc3\xa9"));
        // Not UTF-8: Latin-1.
        QCOMPARE(ToQString(std::string("caf\xe9")), QString::fromLatin1("caf\xe9"));
        // Overlong forms do not survive the round trip, so they are not taken as UTF-8.
        QCOMPARE(ToQString(std::string("\xc0\xaf")), QString::fromLatin1("\xc0\xaf"));
        // NUL bytes are kept.
        QCOMPARE(ToQString(std::string("a\0b", 3)).size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestTextUtils)
#include "test_text_utils.moc"
