#include "ExtendedAsciiTranslator.h"
#include "ShownTextChecks.h"
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

    // Nothing in a name acts on the text around it: each direction control is dropped, and a name
    // that held one or that reads right to left is isolated once.
    void names_cannot_act_outside_their_isolate_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");
        const QChar open(0x2068);
        const QChar close(0x2069);
        QTest::newRow("plain") << "alice"
                               << "alice";
        QTest::newRow("shortcut mark stays") << "R&B"
                                             << "R&B";
        QTest::newRow("closing isolate then override")
            << QString(QChar(0x2069)) + QChar(0x202E) + "321 dlrow olleh" << open + QString("321 dlrow olleh") + close;
        QTest::newRow("right to left letters")
            << QString(QChar(0x05D0)) + QChar(0x05D1) << open + QString(QChar(0x05D0)) + QChar(0x05D1) + close;
        for (const ushort control :
             {0x202A, 0x202B, 0x202C, 0x202D, 0x202E, 0x2066, 0x2067, 0x2068, 0x2069, 0x200E, 0x200F, 0x061C})
            QTest::newRow(qPrintable(QString::number(control, 16)))
                << "a" + QString(QChar(control)) + "b" << open + QString("ab") + close;
        QTest::newRow("paragraph separator") << QString("a") + QChar(0x2029) + "b"
                                             << "a b";
        // Read per character, not per UTF-16 unit: Adlam, Hanifi Rohingya and Kharoshthi letters
        // lie beyond the first plane.
        for (const char32_t letter : {U'\U0001E900', U'\U00010D00', U'\U00010A10'})
        {
            const QString name = QString::fromUcs4(&letter, 1).repeated(3);
            QTest::newRow(qPrintable("letters " + QString::number(letter, 16))) << name << open + name + close;
        }
        // A name is measured whole by a tab or a button: it is cut, between characters, by cost.
        QTest::newRow("long name") << QString(100000, 'a') << QString(1024, 'a') + QChar(0x2026);
        QTest::newRow("long wide name") << QString(50000, QChar(0x4E2D)) << QString(512, QChar(0x4E2D)) + QChar(0x2026);
        const QString flag = QString::fromUcs4(U"\U0001F1E9\U0001F1EA");
        QTest::newRow("name of flags") << flag.repeated(100) << flag.repeated(16) + QChar(0x2026);
        QTest::newRow("name with a flag")
            << flag + " Grand Orchestra of the Southern Valley" << flag + " Grand Orchestra of the Southern Valley";
        QTest::newRow("long right to left name")
            << QString(50000, QChar(0x05D0)) << open + QString(512, QChar(0x05D0)) + QChar(0x2026) + close;
        QTest::newRow("ordinary long name") << QString("Grand Orchestra of the Southern Valley ").repeated(10)
                                            << QString("Grand Orchestra of the Southern Valley ").repeated(10);
        QTest::newRow("marks in a name") << "a" + QString(100, QChar(0x0301)) << "a" + QString(8, QChar(0x0301));
        QTest::newRow("joiners in a name") << "a" + QString(40, QChar(0x200D)) << "a" + QString(31, QChar(0x200D));
        // A name that is one character past the cost of a name: what a character shows, so that
        // two such names read apart.
        QTest::newRow("one long character")
            << QString(205, QChar(0x1100)) << QString(32, QChar(0x1100)) + QChar(0x2026);
        QTest::newRow("another long character") << QString(QChar(0x1101)) + QString(300, QChar(0x1100))
                                                << QString(QChar(0x1101)) + QString(31, QChar(0x1100)) + QChar(0x2026);
        // As short as one character may be, yet heavier with marks than one is shown.
        QTest::newRow("marks in a short name") << "a" + QString(20, QChar(0x0301)) << "a" + QString(8, QChar(0x0301));
        QTest::newRow("marks on each letter of a short name")
            << "a" + QString(12, QChar(0x20DD)) + "b" + QString(12, QChar(0x20DD))
            << "a" + QString(8, QChar(0x20DD)) + "b" + QString(8, QChar(0x20DD));
        QTest::newRow("an accent on each letter of a short name")
            << QString("e\u0301").repeated(12) << QString("e\u0301").repeated(12);
    }

    void names_cannot_act_outside_their_isolate()
    {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        QCOMPARE(IsolatedName(name), shown);
        QCOMPARE(MnemonicText(name), QString(shown).replace("&", "&&"));
    }

    // One message is one line in a view and in a log.
    void every_line_break_folds_to_a_blank()
    {
        // U+FDD0 and U+FDD1 start and end a frame in a view's document, and so end a paragraph.
        const QString breaks = QStringLiteral("\n\r\v\f\x1c\x1d\x1e") + QChar(0x85) + QChar(0x2028) + QChar(0x2029)
                               + QChar(0xFDD0) + QChar(0xFDD1);
        QCOMPARE(OneLine("a" + breaks + "b\tc"), "a" + QString(breaks.size(), ' ') + "b\tc");
    }

    // What a view shows of any text: no run it cannot break longer than a few dozen characters,
    // no more than eight marks on a letter, no break inside a character; ordinary text as it is.
    void shown_text_is_bounded_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown"); // empty: only bounded
        const QString emoji = QString::fromUcs4(U"\U0001F600");
        QTest::newRow("ordinary") << QString::fromUtf8("h\xc3\xa9llo w\xc3\xb6rld, see you at 10:30!")
                                  << QString::fromUtf8("h\xc3\xa9llo w\xc3\xb6rld, see you at 10:30!");
        QTest::newRow("accents kept") << QString("e\u0301\u0300 ").repeated(20)
                                      << QString("e\u0301\u0300 ").repeated(20);
        QTest::newRow("marks dropped") << "a" + QString(65000, QChar(0x0301)) << "a" + QString(8, QChar(0x0301));
        QTest::newRow("no blanks") << QString(1000, 'a') << "";
        QTest::newRow("emoji") << "a" + emoji.repeated(40) << "";
        QTest::newRow("accented word") << QString("e\u0301").repeated(200) << "";
        QTest::newRow("no-break spaces") << QString("a\u00a0").repeated(500) << "";
        QTest::newRow("word joiners") << QString("a\u2060").repeated(500) << "";
        QTest::newRow("joined emoji") << QString::fromUcs4(U"\U0001F468\u200D").repeated(500) << "";
        QTest::newRow("conjoining jamo") << QString(1000, QChar(0x1100)) << "";
        QTest::newRow("many marks on many letters") << QString("a" + QString(20, QChar(0x20DD))).repeated(100) << "";
    }

    void shown_text_is_bounded()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        const QString breakable = BreakableText(text);
        // 64 units and the break point before them.
        QVERIFY2(LongestUnbrokenRun(breakable) <= 65, qPrintable(QString::number(LongestUnbrokenRun(breakable))));
        QVERIFY(MostMarksInARow(breakable) <= 8);
        QVERIFY(BreaksBetweenCharacters(breakable));
        QVERIFY(!breakable.contains(QChar::ReplacementCharacter));
        if (!shown.isEmpty())
            QCOMPARE(breakable, shown);
        // A text of whole characters keeps each of them.
        if (MostMarksInARow(text) <= kShownMarks && !text.startsWith(QChar(0x1100)) && !text.contains(QChar(0x200D)))
            QCOMPARE(QString(breakable).remove(QChar(0x200B)), text);
    }

    // Where a text is cut, counted in UTF-16 units kept, and that it ends in "…" then: a letter
    // costs 1, one of another script 2, of a script broken by a dictionary and a conjoining jamo
    // 5, a pictograph, a regional indicator or a skin tone 32, and each change of script, font or
    // direction and each direction control 16 more, up to 65,536, and 64 pictographs, regional
    // indicators and skin tones and 512 characters no font draws at most. The cut falls between
    // characters. Ordinary lines in any script stay whole.
    void texts_are_cut_by_cost_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kept");
        const auto text = [](const char32_t* ip_unit, int i_times) {
            return QString::fromUcs4(ip_unit).repeated(i_times);
        };
        QTest::newRow("letters") << QString(70000, 'a') << 65536;
        QTest::newRow("thai") << text(U"\u0E01", 20000) << 13107;
        QTest::newRow("latin and hebrew") << text(U"a\u05D0", 20000) << 3745;
        QTest::newRow("syllables of jamo") << text(U"\u1100\u1161\u11A8", 20000) << 13107;
        QTest::newRow("isolated letters") << text(U"\u2067a\u2069", 20000) << 5616;
        QTest::newRow("isolated right to left letters") << text(U"\u2066\u05D0\u2069", 20000) << 5460;
        QTest::newRow("embedded letters") << text(U"\u202Ba\u202C", 40000) << 5616;
        QTest::newRow("ideographic commas") << text(U"a\u3001", 40000) << 3856;
        QTest::newRow("fullwidth digits") << text(U"a\uFF11", 40000) << 3856;
        QTest::newRow("prolonged sound marks") << text(U"a\u30FC", 40000) << 3856;
        QTest::newRow("emoji between letters") << text(U"a\U0001F600", 40000) << 193;
        // The font changes at every character, inside one script.
        QTest::newRow("digits and fullwidth digits") << text(U"1\uFF11", 40000) << 3856;
        QTest::newRow("hangul syllables and digits") << text(U"\uAC001", 40000) << 3745;
        QTest::newRow("pictographs and signs") << text(U"\U0001F600!", 40000) << 192;
        // The colour emoji font takes its time over these wherever they stand: a text shows 64.
        QTest::newRow("pictographs") << text(U"\U0001F600", 1000) << 128;
        QTest::newRow("pictographs with skin tones") << text(U"\U0001F44B\U0001F3FD", 1000) << 128;
        QTest::newRow("flags") << text(U"\U0001F1E9\U0001F1EA", 1000) << 128;
        QTest::newRow("regional indicators and letters") << text(U"\U0001F1E9a", 1000) << 192;
        QTest::newRow("joined families") << text(U"\U0001F468\u200D\U0001F469\u200D\U0001F467", 1000) << 168;
        QTest::newRow("check marks") << text(U"\u2705", 1000) << 64;
        QTest::newRow("emoji newer than the toolkit") << text(U"\U0001FAE0", 1000) << 128;
        QTest::newRow("a flag at the cut") << text(U"\U0001F600", 63) + text(U"\U0001F1E9\U0001F1EA see you", 1) << 126;
        QTest::newRow("a skin tone at the cut") << text(U"\U0001F600", 63) + text(U"\U0001F44B\U0001F3FD", 1) << 126;
        QTest::newRow("tag sequence flags")
            << text(U"\U0001F3F4\U000E0067\U000E0062\U000E0065\U000E006E\U000E0067\U000E007F", 100) << 896;
        QTest::newRow("a few emoji in a line")
            << text(U"happy birthday \U0001F389\U0001F382 see you at 8 \U0001F44D\U0001F3FD \U0001F1E9\U0001F1EA ", 1)
                   + QString(3000, 'a')
            << 3043;
        // No font draws these, and the view looks in every font for each.
        QTest::newRow("noncharacters") << text(U"\uFFFE\uFFFF\uFDD0\U0010FFFF", 20000) << 640;
        QTest::newRow("nul and letters") << QString(QChar(0)).append(QLatin1Char('a')).repeated(40000) << 16384;
        QTest::newRow("unassigned code points") << text(U"\u0378", 70000) << 512;
        QTest::newRow("private use") << text(U"a\uE000", 1000) << 1025;
        // Only the colour emoji font has them, for the flags they end.
        QTest::newRow("letters with tag characters") << text(U"a\U000E0041", 1000) << 1536;
        // A text that is one character past the cost shows what a character shows at most.
        QTest::newRow("one long character") << text(U"\u1100", 43690) << 32;
        QTest::newRow("one long character after letters") << "abc" + text(U"\u1100", 43690) << 35;
        // The budget runs out inside the last character, which goes whole.
        QTest::newRow("thai vowel sign at the cut") << text(U"\u0E01", 13106) + text(U"\u0E01\u0E31", 2) << 13106;
        // A text that holds a character outside Latin-1 is handed to the view up to 16,384 units,
        // whatever they cost, since the view's time per unit differs several times between them;
        // there too the last character goes whole.
        QTest::newRow("syllable of jamo at the cut")
            << text(U"\u0430", 16382) + text(U"\u1100\u1161\u11A8", 2) << 16382;
        QTest::newRow("devanagari vowel sign at the cut") << text(U"\u0430", 16383) + text(U"\u0915\u093F", 2) << 16383;
        QTest::newRow("marks at the cut")
            << text(U"\u0430", 16382) + text(U"e\u0301\u0301\u0301\u0301\u0301\u0301", 2) << 16382;
        QTest::newRow("cyrillic letters") << text(U"\u0434", 40000) << 16384;
        QTest::newRow("hangul and no-break spaces") << text(U"\uAC00\u00A0", 30000) << 16384;
        QTest::newRow("hangul and a sign") << text(U"\uAC00\u2030", 21845) << 16384;
        QTest::newRow("letters and enclosing marks") << text(U"a\u20DD", 40000) << 16384;
        QTest::newRow("letters and math letters") << text(U"a\U0001D400", 30000) << 16384;
        QTest::newRow("letters and format characters") << text(U"a\u200D", 40000) << 16384;
        QTest::newRow("letters and a sign after them") << text(U"a", 40000) + text(U"\u2030", 1) << 16384;
        QTest::newRow("latin-1 letters and signs") << text(U"\u00E9\u00B1 ", 30000) << 65536;
        const QStringList ordinary{
            QString::fromUtf8("今日は、ラーメンを食べに行きましょう！　ＯＫ？ １２時に駅で。"),
            QString::fromUtf8("안녕하세요, 오늘 저녁에 같이 영화 보러 갈래요? 7시에 만나요."),
            QString::fromUtf8("नमस्ते, आज शाम को हम सब मिलकर खाना खाएँगे और फ़िल्म देखेंगे।"),
            QString::fromUtf8("مرحبا، سأصل في الساعة ١٠ مساءً إن شاء الله، انتظرني عند الباب."),
            QString::fromUtf8("สวัสดีครับ วันนี้อากาศดีมาก ไปเที่ยวทะเลกันไหม"),
            QString::fromUtf8("see you at 10:30 ð â âokâ, cafÃ© â¬5 â x â¤ y"),
        };
        for (const QString& line : ordinary)
            QTest::newRow(qPrintable("ordinary " + line.left(3))) << line.repeated(20) << line.size() * 20;
    }

    void texts_are_cut_by_cost()
    {
        QFETCH(QString, text);
        QFETCH(int, kept);
        bool cut = false;
        const QString shown = ShownWithoutBreaks(BreakableText(text), &cut);
        QCOMPARE(cut, kept < text.size());
        QCOMPARE(shown.size(), kept);
        QCOMPARE(shown, text.left(kept));
    }

    // The view looks through the machine's fonts, character by character, for a script whose font
    // the font matcher finds by no language, and Grantha's fonts kern every pair of letters: such
    // a text shows fewer characters, in shorter paragraphs. The scripts of ordinary text do not.
    void letters_the_view_takes_longer_over_cost_more_data()
    {
        QTest::addColumn<QString>("letter");
        QTest::addColumn<int>("kept");
        QTest::addColumn<int>("longestParagraph");
        const auto text = [](const char32_t* ip_unit) { return QString::fromUcs4(ip_unit); };
        QTest::newRow("runic") << text(U"\u16A0") << 4096 << 683;
        QTest::newRow("javanese") << text(U"\uA98F") << 4096 << 683;
        QTest::newRow("mongolian") << text(U"\u1820") << 4096 << 683;
        QTest::newRow("grantha") << text(U"\U00011315") << 2048 << 171;
        QTest::newRow("pictographs") << text(U"\U0001F600") << 2 * kShownPictographs << 2 * kShownParagraphPictographs;
        QTest::newRow("devanagari") << text(U"\u0915") << 16384 << kLongestShownParagraph;
        QTest::newRow("tibetan") << text(U"\u0F40") << 16384 << kLongestShownParagraph;
        QTest::newRow("ethiopic") << text(U"\u1200") << 16384 << kLongestShownParagraph;
    }

    void letters_the_view_takes_longer_over_cost_more()
    {
        QFETCH(QString, letter);
        QFETCH(int, kept);
        QFETCH(int, longestParagraph);
        const QString breakable = BreakableText(letter.repeated(20000)).remove(QChar(0x200B));
        QVERIFY(breakable.endsWith(QChar(0x2026)));
        const QStringList paragraphs = breakable.chopped(1).split(QChar::ParagraphSeparator);
        QCOMPARE(paragraphs.join(QString()).size(), kept);
        for (const QString& paragraph : paragraphs)
            QVERIFY2(paragraph.size() <= longestParagraph, qPrintable(QString::number(paragraph.size())));
    }

    // A view lays a paragraph out in time that grows faster than its length for some texts: any
    // text goes to it in paragraphs of at most kLongestShownParagraph units, each starting where
    // a line may break when that is in the second half of it, and keeps all it shows.
    void texts_go_to_the_view_in_short_paragraphs_data()
    {
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("start"); // what each paragraph after the first starts with
        const auto text = [](const char32_t* ip_unit) { return QString::fromUcs4(ip_unit); };
        QTest::newRow("hangul and a sign") << text(U"\uAC00\u2030") << "";
        QTest::newRow("hangul and a no-break space") << text(U"\uAC00\u00A0") << "";
        QTest::newRow("hangul") << text(U"\uAC00") << "";
        QTest::newRow("object replacement") << text(U"\uFFFC") << "";
        QTest::newRow("no blanks") << text(U"a") << "";
        QTest::newRow("symbols and signs") << text(U"\u2605!") << "";
        QTest::newRow("marks") << text(U"a\u0301\u0301") << "";
        QTest::newRow("words") << text(U"word ") << "word";
        QTest::newRow("cyrillic words") << text(U"\u043F\u0440\u0438\u0432\u0435\u0442 ") << text(U"\u043F");
        // A paragraph starts at the text's own line break only where that gains as much as a
        // break point would.
        QTest::newRow("a line break, then long words")
            << text(U"x\u2028") + QString("abcdefghijklmnopqrstuvwxyz").repeated(100) + " "
            << "";
    }

    void texts_go_to_the_view_in_short_paragraphs()
    {
        QFETCH(QString, unit);
        QFETCH(QString, start);
        const QString text = unit.repeated(131070 / unit.toUtf8().size());
        QString breakable = BreakableText(text).remove(QChar(0x200B));
        if (breakable.endsWith(QChar(0x2026)))
            breakable.chop(1);
        const QStringList paragraphs = breakable.split(QChar::ParagraphSeparator);
        QVERIFY(paragraphs.size() > 1);
        for (const QString& paragraph : paragraphs)
        {
            QVERIFY2(paragraph.size() <= kLongestShownParagraph, qPrintable(QString::number(paragraph.size())));
            QVERIFY(paragraph.size() >= kLongestShownParagraph / 2 || &paragraph == &paragraphs.last());
            if (!start.isEmpty() && &paragraph != &paragraphs.first())
                QVERIFY(paragraph.startsWith(start));
        }
        // A line break a paragraph starts at is not shown.
        QVERIFY(QString(text)
                    .replace(QChar(0xFFFC), QChar(0xFFFD))
                    .remove(QChar::LineSeparator)
                    .startsWith(paragraphs.join(QString()).remove(QChar::LineSeparator)));
    }

    // Anchors cost a view as much as short lines: a line makes links of its first few hundred
    // addresses, and the rest shows as text.
    void links_are_made_of_the_first_few_hundred_addresses()
    {
        const QString html = EscapeWithLinks(QStringLiteral("http://a.b ").repeated(2000));
        QCOMPARE(html.count("<a href"), kMaxLinksPerLine);
        QCOMPARE(html.count("http://a.b"), 2000 + kMaxLinksPerLine);
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
