#pragma once

// The costliest texts found for a window to lay out, each within the 128 KiB a string of a
// message may hold in UTF-8: runs that cannot break, characters heavy with marks, markup that
// is not closed, links by the thousand, wide and joined scripts, a change of font at every
// character, characters no font draws, one character as long as the string ("conjoining jamo").

#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

namespace hostile
{
constexpr int kStringBytes = 131072;

// The unit repeated as often as its UTF-8 fits, after the head.
inline QString Filled(const QString& i_unit, const QString& i_head = QString())
{
    const int room = kStringBytes - 16 - i_head.toUtf8().size();
    return i_head + i_unit.repeated(room / i_unit.toUtf8().size());
}

// Shapes that hurt a chat line and a description alike: named, for the bench's report.
inline std::vector<std::pair<QString, QString>> TextShapes()
{
    return {
        {"no blanks", Filled(QStringLiteral("a"))},
        {"less-than run", Filled(QStringLiteral("<"))},
        {"ampersand run", Filled(QStringLiteral("&"))},
        {"greater-than run", Filled(QStringLiteral(">"))},
        {"combining marks", Filled(QString(QChar(0x0301)), QStringLiteral("a"))},
        {"marks on many letters", Filled(QStringLiteral("a") + QString(QChar(0x0301)).repeated(40))},
        {"enclosing marks", Filled(QString(QChar(0x20DD)), QStringLiteral("a"))},
        {"short links", Filled(QStringLiteral("http://a.b "))},
        {"links without blanks", Filled(QStringLiteral("http://a.b,"))},
        {"wide script", Filled(QString(QChar(0x4E2D)))},
        {"emoji", Filled(QString::fromUcs4(U"\U0001F600"))},
        {"joined emoji", Filled(QString::fromUcs4(U"\U0001F468\u200D"))},
        {"skin tones", Filled(QString::fromUcs4(U"\U0001F44B\U0001F3FD"))},
        {"flags", Filled(QString::fromUcs4(U"\U0001F1E9\U0001F1EA"))},
        {"flags and blanks", Filled(QString::fromUcs4(U"\U0001F1E9\U0001F1EA "))},
        {"regional indicators and letters", Filled(QString::fromUcs4(U"\U0001F1E9a"))},
        {"pictographs that take a skin tone", Filled(QString::fromUcs4(U"\U0001F44B"))},
        {"skin tones on letters", Filled(QString::fromUcs4(U"a\U0001F3FD"))},
        {"skin tones of each kind",
         Filled(QString::fromUcs4(U"\U0001F44D\U0001F3FB\U0001F44D\U0001F3FC\U0001F44D\U0001F3FD\U0001F44D"
                                  U"\U0001F3FE\U0001F44D\U0001F3FF"))},
        {"joined families", Filled(QString::fromUcs4(U"\U0001F468\u200D\U0001F469\u200D\U0001F467"))},
        {"joined people with skin tones", Filled(QString::fromUcs4(U"\U0001F469\U0001F3FD\u200D\U0001F4BB"))},
        {"joined emoji with variation selectors", Filled(QString::fromUcs4(U"\u2764\uFE0F\u200D\U0001F525"))},
        {"tag sequence flags",
         Filled(QString::fromUcs4(U"\U0001F3F4\U000E0067\U000E0062\U000E0065\U000E006E\U000E0067\U000E007F"))},
        {"keycaps", Filled(QString::fromUcs4(U"1\uFE0F\u20E3"))},
        {"conjoining jamo", Filled(QString(QChar(0x1100)))},
        {"arabic word", Filled(QString(QChar(0x0628)))},
        {"hebrew and latin", Filled(QString(QChar(0x05D0)) + QStringLiteral("a"))},
        {"direction controls", Filled(QString(QChar(0x202E)) + QStringLiteral("a") + QChar(0x2069))},
        {"devanagari conjuncts", Filled(QString(QChar(0x0915)) + QChar(0x094D))},
        {"thai", Filled(QString::fromUcs4(U"\u0E20\u0E32\u0E29\u0E32\u0E44\u0E17\u0E22"))},
        {"symbols", Filled(QString(QChar(0x2605)) + QChar(0x2211))},
        {"no-break spaces", Filled(QStringLiteral("a") + QChar(0x00A0))},
        {"word joiners", Filled(QStringLiteral("a") + QChar(0x2060))},
        {"digits", Filled(QStringLiteral("1234567890"))},
        {"hyphens", Filled(QStringLiteral("-"))},
        {"slashes and dots", Filled(QStringLiteral("a/b.c"))},
        {"zero-width spaces", Filled(QString(QChar(0x200B)))},
        {"paragraph separators", Filled(QStringLiteral("a") + QChar(0x2029))},
        {"tabs", Filled(QStringLiteral("\t"))},
        {"replacement characters", Filled(QString(QChar(0xFFFD)))},
        {"lone surrogates", Filled(QString(QChar(0xD800)) + QStringLiteral("a"))},
        {"syllables of jamo", Filled(QString::fromUcs4(U"\u1100\u1161\u11A8"))},
        {"isolated letters", Filled(QString::fromUcs4(U"\u2067a\u2069"))},
        {"isolated right-to-left letters", Filled(QString::fromUcs4(U"\u2066\u05D0\u2069"))},
        {"embedded letters", Filled(QString::fromUcs4(U"\u202Ba\u202C"))},
        {"ideographic commas", Filled(QString::fromUcs4(U"a\u3001"))},
        {"fullwidth digits", Filled(QString::fromUcs4(U"a\uFF11"))},
        {"prolonged sound marks", Filled(QString::fromUcs4(U"a\u30FC"))},
        {"right-to-left letters beyond the first plane", Filled(QString::fromUcs4(U"\U0001E900a"))},
        {"devanagari vowel signs", Filled(QString::fromUcs4(U"\u0915\u093F"))},
        {"digits and fullwidth digits", Filled(QString::fromUcs4(U"1\uFF11"))},
        {"hangul syllables and digits", Filled(QString::fromUcs4(U"\uAC001"))},
        {"noncharacter U+FFFE", Filled(QString(QChar(0xFFFE)))},
        {"noncharacter U+FFFF", Filled(QString(QChar(0xFFFF)))},
        {"noncharacter U+FDD0", Filled(QString(QChar(0xFDD0)))},
        {"noncharacter U+10FFFF", Filled(QString::fromUcs4(U"\U0010FFFF"))},
        {"noncharacters", Filled(QString::fromUcs4(U"\uFFFE\uFFFF\uFDD0\U0010FFFF"))},
        {"nul and letters", Filled(QString(QChar(0)) + QLatin1Char('a'))},
        {"hangul syllables and a sign outside latin-1", Filled(QString::fromUcs4(U"\uAC00\u2030"))},
        {"object replacement characters", Filled(QString(QChar(0xFFFC)))},
        {"check marks", Filled(QString(QChar(0x2705)))},
        {"check marks and blanks", Filled(QString(QChar(0x2705)) + QLatin1Char(' '))},
        {"the colour emoji font's private glyphs", Filled(QString::fromUcs4(U"\U000FE4E5"))},
        {"ideographs no font has", Filled(QString::fromUcs4(U"\U00020000"))},
        {"ideographic description sequences", Filled(QString::fromUcs4(U"\u2FF0\u4E00\u4E01"))},
    };
}

// Shapes of markup only a description is read for.
inline std::vector<std::pair<QString, QString>> MarkupShapes()
{
    return {
        {"marks as entities", Filled(QStringLiteral("&#769;"), QStringLiteral("a"))},
        {"entities", Filled(QStringLiteral("&amp;"))},
        {"unknown entities", Filled(QStringLiteral("&abcdefghijklmno;"))},
        {"unclosed tags", Filled(QStringLiteral("<b"))},
        {"unclosed comment", QStringLiteral("<!--") + Filled(QStringLiteral("<!--"))},
        {"sequential anchors", Filled(QStringLiteral("<a href=\"http://a.b\">x</a>"))},
        {"nested tables", QStringLiteral("<table><tr><td>").repeated(2000) + QStringLiteral("deep")},
        {"bold letters", Filled(QStringLiteral("<b>a</b>"))},
        {"marks across tags", Filled(QStringLiteral("<b>&#769;</b>"), QStringLiteral("a"))},
        {"line breaks", Filled(QStringLiteral("<br>"))},
        {"paragraphs", Filled(QStringLiteral("<p>a</p>"))},
    };
}
} // namespace hostile
