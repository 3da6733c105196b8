#include "ShownTextChecks.h"
#include "TextUtils.h"

#include <QGuiApplication>
#include <QtTest>

#include <unicode/uchar.h>

// Texts in a process that has shown none of their characters before, each in turn: ordinary text
// shows whole, as it shows again; what the view does the first time, finding and loading fonts and
// reading glyphs, is bound apart from the cost, and a text past those bounds shows more again.
class TestFirstSight : public QObject
{
    Q_OBJECT

private slots:
    void ordinary_text_shows_whole_the_first_time_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("cutTheFirstTime");
        QTest::newRow("a greeting in fifteen scripts")
            << QString::fromUtf8("Hello Привет Γειά σου שלום مرحبا नमस्ते こんにちは 你好 안녕하세요 สวัสดี "
                                 "ሰላም Բարեւ გამარჯობა வணக்கம் ສະບາຍດີ")
            << false;
        QTest::newRow("four scripts of their own fonts") << QString::fromUtf8("ก ក ཀ မ် tail") << false;
        const QStringList mixed = {QString::fromUtf8("ok 👍🏽 Да 👋🏾 नमस्ते 🙏"),
                                   QString::fromUtf8("مرحبا 🌙 你好 🎉"), QString::fromUtf8("こんにちは 🌸"),
                                   QString::fromUtf8("👨‍👩‍👧"), QString::fromUtf8("🇩🇪🇯🇵")};
        QTest::newRow("emoji after letters of six scripts") << mixed.join(QLatin1Char(' ')) << false;
        QString ideographs;
        for (char16_t code = 0x5000; ideographs.size() < kShownUnits; ++code)
            ideographs += QChar(code);
        QTest::newRow("16,384 ideographs none shown before") << ideographs << true;
        // Most of them each from a font of its own, found late in the machine's order of fonts.
        QString everyBlock;
        for (UChar32 code = 0x100, block = -1; code <= 0x10FFFF; ++code)
            if (ublock_getCode(code) != block && u_charType(code) != U_UNASSIGNED)
            {
                block = ublock_getCode(code);
                everyBlock += QString::fromUcs4(reinterpret_cast<const char32_t*>(&code), 1);
            }
        QTest::newRow("a character of every block") << everyBlock << true;
    }

    void ordinary_text_shows_whole_the_first_time()
    {
        QFETCH(QString, text);
        QFETCH(bool, cutTheFirstTime);
        bool cut = false;
        const int first = ShownWithoutBreaks(BreakableText(text), &cut).size();
        QVERIFY2(cut == cutTheFirstTime, qPrintable(QStringLiteral("%1 of %2").arg(first).arg(text.size())));
        const int again = ShownWithoutBreaks(BreakableText(text), &cut).size();
        QVERIFY2(cutTheFirstTime ? again > first : again == first,
                 qPrintable(QStringLiteral("%1 then %2").arg(first).arg(again)));
    }
};

QTEST_MAIN(TestFirstSight)
#include "test_first_sight.moc"
