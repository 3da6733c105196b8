#include "ShownTextChecks.h"
#include "TextUtils.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QtTest>

// What a text shows with a window application and the fonts of the set-up, a text font first and
// the colour emoji font next: a character costs what the font that draws it costs the view, and
// counts as drawn only where some font has it.
class TestShownFonts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QFont font;
        font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Noto Color Emoji")});
        QGuiApplication::setFont(font);
    }

    // Kept UTF-16 units: 64 characters the colour emoji font draws, 512 no font has; the rest whole.
    void characters_are_priced_by_the_font_that_draws_them_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kept");
        const auto text = [](const char32_t* ip_unit, int i_times) {
            return QString::fromUcs4(ip_unit).repeated(i_times);
        };
        QTest::newRow("check marks") << text(U"\u2705", 1000) << 64;
        QTest::newRow("crosses and blanks") << text(U"\u274C ", 1000) << 128;
        // Shown as text by default, but only the colour font has it.
        QTest::newRow("thermometers") << text(U"\U0001F321", 1000) << 128;
        QTest::newRow("the colour font's private glyphs") << text(U"\U000FE4E5", 1000) << 128;
        // A private character means what a font makes of it, and no two agree.
        QTest::newRow("a private character a text font draws") << text(U"\uF6C5", 1000) << 512;
        // Newer than the toolkit's tables, which take them as unassigned; the colour font draws them.
        QTest::newRow("melting faces") << text(U"\U0001FAE0", 1000) << 128;
        // A text font draws the hand, but a skin tone after it costs the view as much again.
        QTest::newRow("skin-toned hands a text font draws") << text(U"\u270C\U0001F3FB", 1000) << 96;
        // A text font draws these, at a letter's cost.
        QTest::newRow("faces a text font draws") << text(U"\U0001F600", 1000) << 2000;
        const QString prices = text(U"Widget\u2122 \u00A92024 \u2192 5\u20AC\u203C\n", 300);
        QTest::newRow("a price list") << prices << prices.size();
        // A CJK font claims the writing system, but has none of these.
        QTest::newRow("ideographs beyond the first plane") << text(U"\U00020000", 1000) << 1024;
        QTest::newRow("khitan") << text(U"\U00018B00", 1000) << 1024;
        QTest::newRow("ideographs a font has") << text(U"\u4E2D\u6587", 1000) << 2000;
        // A cut falls before the character whose part would pass the cap, not inside it.
        QTest::newRow("a flag at the cut") << text(U"\u2705", 63) + text(U"\U0001F1E9\U0001F1EA see you", 1) << 63;
        QTest::newRow("a joined emoji at the cut")
            << text(U"\u2705", 63) + text(U"\U0001F468\u200D\U0001F469", 1) << 63;
        const QString checklist = text(U"\u2705 done: the item of this line\n", 40);
        QTest::newRow("a checklist") << checklist << checklist.size();
        const QString flags =
            text(U"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7\U0001F1EF\U0001F1F5\U0001F1E7\U0001F1F7", 5)
            + " hello from all of us!";
        QTest::newRow("a greeting with flags of 20 countries") << flags << flags.size();
        const QString prose =
            text(U"\u4ECA\u5929\u5929\u6C14\u5F88\u597D\uFF0C\u6211\u4EEC\u4E00\u8D77\u53BB\u516C\u56ED\u6563"
                 U"\u6B65\u5427\u3002\u4F60\u89C9\u5F97\u600E\u4E48\u6837\uFF1F",
                 84)
                .left(2000);
        QTest::newRow("chinese prose") << prose << prose.size();
    }

    void characters_are_priced_by_the_font_that_draws_them()
    {
        QFETCH(QString, text);
        QFETCH(int, kept);
        bool cut = false;
        const QString shown = ShownWithoutBreaks(BreakableText(text), &cut);
        QCOMPARE(cut, kept < text.size());
        QCOMPARE(shown.size(), kept);
        QCOMPARE(shown, text.left(kept));
    }

    // A character costs at least a letter for each 16 fonts the view asks before the one that draws
    // it, in fontconfig's order with those that claim the script's language first: a supplement's
    // font claims none and comes late, and shows fewer of 16,384 units than letters of its script,
    // whose font claims their language; a font of numbers the view finds only after the symbols'
    // fonts, fewer than a letter of Latin.
    void a_character_costs_what_finding_its_font_costs_data()
    {
        QTest::addColumn<QString>("letters");
        QTest::addColumn<int>("least");
        QTest::addColumn<int>("most");
        const auto text = [](const char32_t* ip_units) { return QString::fromUcs4(ip_units); };
        QTest::newRow("tamil supplement")
            << text(U"\U00011FC0\U00011FC5\U00011FCA\U00011FD0") << 0 << kShownUnits * 3 / 4;
        QTest::newRow("tamil") << text(U"\u0B95\u0B99\u0B9A\u0B9E") << kShownUnits << kShownUnits;
        QTest::newRow("indic siyaq numbers")
            << text(U"\U0001EC71\U0001EC75\U0001EC80\U0001EC9A") << 0 << kShownUnits * 15 / 16;
    }

    void a_character_costs_what_finding_its_font_costs()
    {
        QFETCH(QString, letters);
        QFETCH(int, least);
        QFETCH(int, most);
        if (!QFontMetrics(QGuiApplication::font()).inFontUcs4(letters.toUcs4().first()))
            QSKIP("No font here draws these letters");
        bool cut = false;
        const int shown =
            ShownWithoutBreaks(BreakableText(letters.repeated(kShownUnits / letters.size())), &cut).size();
        QVERIFY2(shown >= least && shown <= most, qPrintable(QString::number(shown)));
    }

    // A character no font draws makes the view ask every font the machine has: a name of them,
    // whose cost is that of a thousand letters, shows fewer than at five letters each.
    void a_character_no_font_draws_costs_asking_every_font()
    {
        const QString name = IsolatedName(QString(300, QChar(0x0378)));
        QVERIFY2(name.size() < 1024 / 5 - 32, qPrintable(QString::number(name.size())));
    }
};

QTEST_MAIN(TestShownFonts)
#include "test_shown_fonts.moc"
