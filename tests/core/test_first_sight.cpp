#include "ShownTextChecks.h"
#include "TextUtils.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QtTest>

#include <unicode/uchar.h>

// A text in a process that has shown none of its characters before: a glyph's and a font's first
// sight costs the view many times what they cost again, and a text takes on only so many.
class TestFirstSight : public QObject
{
    Q_OBJECT

private slots:
    void a_text_takes_on_only_so_many_characters_and_fonts_not_yet_shown_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("cutTheFirstTime");
        QString ideographs;
        for (char16_t code = 0x5000; ideographs.size() < kShownUnits; ++code)
            ideographs += QChar(code);
        // One character of each of 40 blocks beyond the first plane a font has, most of them each
        // from a font of its own: few characters, but each brings a font to find and measure.
        const QFontMetrics fonts(QGuiApplication::font());
        QString blocks;
        for (UChar32 code = 0x10000, block = -1; code <= 0x10FFFF && blocks.size() < 80; ++code)
            if (ublock_getCode(code) != block && u_charType(code) != U_UNASSIGNED && fonts.inFontUcs4(uint(code)))
            {
                block = ublock_getCode(code);
                blocks += QString::fromUcs4(reinterpret_cast<const char32_t*>(&code), 1);
            }
        QString syllables;
        for (char16_t code = 0xB000; syllables.size() < 100; ++code)
            syllables += QChar(code);
        // Four scripts beyond Latin-1, two of them from two blocks each.
        const QString greetings = QString::fromUcs4(U"\u03A7\u03B1\u03AF\u03C1\u03B5\u03C4\u03B5 "
                                                    U"\u1F19\u03BB\u03BB\u03AC\u03B4\u03B1! "
                                                    U"\u041F\u0440\u0438\u0432\u0435\u0442! Xin ch\u00E0o "
                                                    U"c\u00E1c b\u1EA1n! Dzi\u0119kuj\u0119, cze\u015B\u0107! "
                                                    U"\u05E9\u05DC\u05D5\u05DD!");
        QTest::newRow("greetings in greek, russian, vietnamese, polish and hebrew") << greetings << false;
        // Signs of ten blocks, one font's.
        const QString signs =
            QString::fromUcs4(U"a list: 5\u20AC \u2014 A\u2122 \u2192 \u2211 \u2318 \u2460 \u2500 \u25A0 \u2605 done");
        QTest::newRow("a first line of signs") << signs << false;
        QTest::newRow("ideographs none shown before") << ideographs << true;
        QTest::newRow("a character of each of 40 blocks") << blocks << true;
        QTest::newRow("a first line of korean") << syllables << false;
    }

    void a_text_takes_on_only_so_many_characters_and_fonts_not_yet_shown()
    {
        QFETCH(QString, text);
        QFETCH(bool, cutTheFirstTime);
        bool cut = false;
        const int first = ShownWithoutBreaks(BreakableText(text), &cut).size();
        QCOMPARE(cut, cutTheFirstTime);
        // What it showed is known now: the same text again shows more.
        const int again = ShownWithoutBreaks(BreakableText(text), &cut).size();
        QVERIFY2(cutTheFirstTime ? again > first : again == first,
                 qPrintable(QStringLiteral("%1 then %2").arg(first).arg(again)));
    }
};

QTEST_MAIN(TestFirstSight)
#include "test_first_sight.moc"
