#include "ExtendedAsciiTranslator.h"
#include "TextUtils.h"

#include <QtTest>

class TestTextUtils : public QObject
{
    Q_OBJECT

private slots:
    void stringReplace_data();
    void stringReplace();
    void pathSplitting_data();
    void pathSplitting();
    void fileExtension_data();
    void fileExtension();
    void absoluteFileName_data();
    void absoluteFileName();
    void reversePathname_data();
    void reversePathname();
    void commafyNumber_data();
    void commafyNumber();
    void formatSeconds_data();
    void formatSeconds();
    void escapeAndLinks_data();
    void escapeAndLinks();
    void toQStringWithoutCodePage();
};

void TestTextUtils::stringReplace_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("expected");
    QTest::newRow("slashes") << "/a/b/c" << "/" << "\\" << "\\a\\b\\c";
    // Continues after the replacement, so a replacement holding the pattern is not rescanned.
    QTest::newRow("grows") << "aa" << "a" << "aa" << "aaaa";
    QTest::newRow("overlap") << "aaa" << "aa" << "b" << "ba";
    QTest::newRow("none") << "abc" << "x" << "y" << "abc";
    QTest::newRow("empty pattern") << "abc" << "" << "y" << "abc";
}

void TestTextUtils::stringReplace()
{
    QFETCH(QString, text);
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(StringReplace(text.toStdString(), from.toStdString(), to.toStdString())), expected);
}

void TestTextUtils::pathSplitting_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("parent");
    QTest::newRow("empty") << "" << "" << "" << "";
    QTest::newRow("no separator") << "song.mp3" << "song.mp3" << "" << "song.mp3";
    QTest::newRow("slash") << "a/b/c.mp3" << "c.mp3" << "a/b" << "a/b";
    QTest::newRow("backslash") << "a\\b\\c.mp3" << "c.mp3" << "a\\b" << "a\\b";
    QTest::newRow("mixed") << "a/b\\c" << "c" << "a/b" << "a/b";
    QTest::newRow("one trailing") << "a/b/" << "b" << "a" << "a";
    QTest::newRow("trailing slashes") << "a/b//" << "" << "a/b" << "a/b";
    QTest::newRow("trailing backslashes") << "a\\b\\\\" << "" << "a\\b" << "a";
    QTest::newRow("top folder") << "music\\" << "music" << "" << "music";
    QTest::newRow("backslashes only") << "\\\\\\" << "" << "\\" << "";
    QTest::newRow("root file") << "/x" << "x" << "" << "";
}

void TestTextUtils::pathSplitting()
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

void TestTextUtils::fileExtension_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("extension");
    QTest::newRow("lower") << "a.mp3" << "mp3";
    QTest::newRow("upper") << "SONG.MP3" << "mp3";
    QTest::newRow("last dot") << "a.b.Flac" << "flac";
    QTest::newRow("none") << "README" << "";
    QTest::newRow("trailing dot") << "a." << "";
    QTest::newRow("non-ascii kept") << QString::fromUtf8("a.\xc3\x89T") << QString::fromUtf8("\xc3\x89t");
}

void TestTextUtils::fileExtension()
{
    QFETCH(QString, name);
    QFETCH(QString, extension);
    QCOMPARE(QString::fromStdString(GetFileExtension(name.toStdString())), extension);
}

void TestTextUtils::absoluteFileName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << "" << "";
    QTest::newRow("one trailing") << "/Music/A/" << "/music/a";
    QTest::newRow("two trailing") << "C:\\Music\\\\" << "c:\\music\\";
    QTest::newRow("unicode") << QString::fromUtf8("\xc3\x84RGER") << QString::fromUtf8("\xc3\xa4rger");
}

void TestTextUtils::absoluteFileName()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(GetAbsoluteFileName(path), expected);
}

void TestTextUtils::reversePathname_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("mixed") << "music\\rock/album" << "album/rock/music";
    QTest::newRow("trailing") << "a\\b\\\\" << "b/a";
    QTest::newRow("single") << "a" << "a";
    QTest::newRow("empty") << "" << "";
}

void TestTextUtils::reversePathname()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(ReversePathname(path), expected);
}

void TestTextUtils::commafyNumber_data()
{
    QTest::addColumn<qint64>("number");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zero") << qint64(0) << "";
    QTest::newRow("negative") << qint64(-5) << "";
    QTest::newRow("small") << qint64(999) << "999";
    QTest::newRow("thousand") << qint64(1000) << "1,000";
    QTest::newRow("million") << qint64(1234567) << "1,234,567";
    QTest::newRow("large") << qint64(9223372036854775807LL) << "9,223,372,036,854,775,807";
}

void TestTextUtils::commafyNumber()
{
    QFETCH(qint64, number);
    QFETCH(QString, expected);
    QCOMPARE(CommafyNumber(number), expected);
}

void TestTextUtils::formatSeconds_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("expected");
    QTest::newRow("0") << qint64(0) << "0m0s";
    QTest::newRow("65") << qint64(65) << "1m5s";
    QTest::newRow("245") << qint64(245) << "4m5s";
    QTest::newRow("3725") << qint64(3725) << "1h2m5s";
    QTest::newRow("hour zero in a day") << qint64(86400 + 61) << "1d0h1m1s";
}

void TestTextUtils::formatSeconds()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, expected);
    QCOMPARE(FormatSeconds(static_cast<long>(seconds)), expected);
}

void TestTextUtils::escapeAndLinks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("escaped");
    QTest::addColumn<QString>("linked");
    QTest::newRow("entities") << "a<b>&\"c'" << "a&lt;b&gt;&amp;\"c'" << "a<b>&\"c'";
    QTest::newRow("already escaped") << "&lt;" << "&amp;lt;" << "&lt;";
    QTest::newRow("link") << "see http://x.org/a?b=1." << "see http://x.org/a?b=1."
                          << "see <a href=\"http://x.org/a?b=1\">http://x.org/a?b=1</a>.";
    QTest::newRow("two links") << "https://a.b and http://c.d/" << "https://a.b and http://c.d/"
                               << "<a href=\"https://a.b\">https://a.b</a> and <a href=\"http://c.d/\">http://c.d/</a>";
    QTest::newRow("case sensitive") << "HTTP://x.org" << "HTTP://x.org" << "HTTP://x.org";
}

void TestTextUtils::escapeAndLinks()
{
    QFETCH(QString, text);
    QFETCH(QString, escaped);
    QFETCH(QString, linked);
    QCOMPARE(EscapeHTML(text), escaped);
    QCOMPARE(ConvertLinks(text), linked);
}

void TestTextUtils::toQStringWithoutCodePage()
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

QTEST_GUILESS_MAIN(TestTextUtils)
#include "test_text_utils.moc"
