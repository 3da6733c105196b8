#include "TextUtils.h"

#include "ExtendedAsciiTranslator.h"

#include <QFile>
#include <QFontInfo>
#include <QGuiApplication>
#include <QHash>
#include <QRegularExpression>
#include <QStringList>
#include <QTextBoundaryFinder>
#include <QTextCodec>
#include <QThread>
#include <QUrl>
#include <QtEndian>

#include <fontconfig/fontconfig.h>
#include <unicode/ubrk.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cstring>
#include <memory>

std::string StringReplace(std::string i_text, const std::string& i_from, const std::string& i_to)
{
    if (i_from.empty())
        return i_text;
    size_t pos = 0;
    while ((pos = i_text.find(i_from, pos)) != std::string::npos)
    {
        i_text.replace(pos, i_from.size(), i_to);
        pos += i_to.size();
    }
    return i_text;
}

static bool IsSeparator(char i_c)
{
    return i_c == '/' || i_c == '\\';
}

static std::string DropOneTrailingSeparator(const std::string& i_path)
{
    if (!i_path.empty() && IsSeparator(i_path.back()))
        return i_path.substr(0, i_path.size() - 1);
    return i_path;
}

std::string GetFileExtension(const std::string& i_name)
{
    const size_t dot = i_name.rfind('.');
    if (dot == std::string::npos)
        return std::string();
    std::string extension = i_name.substr(dot + 1);
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return extension;
}

std::string GetFileName(const std::string& i_path)
{
    const std::string path = DropOneTrailingSeparator(i_path);
    const size_t sep = path.find_last_of("/\\");
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string GetFolder(const std::string& i_path)
{
    const std::string path = DropOneTrailingSeparator(i_path);
    const size_t sep = path.find_last_of("/\\");
    return sep == std::string::npos ? std::string() : path.substr(0, sep);
}

std::string GetParentFolder(const std::string& i_path)
{
    std::string path = i_path;
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    path = DropOneTrailingSeparator(path);
    const size_t sep = path.find_last_of("/\\");
    return sep == std::string::npos ? path : path.substr(0, sep);
}

QString GetAbsoluteFileName(const QString& i_path)
{
    if (i_path.isEmpty())
        return QString();
    QString path = i_path;
    if (path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\')))
        path.chop(1);
    return path.toLower();
}

QString ReversePathname(const QString& i_path)
{
    QString path = i_path;
    while (path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\')))
        path.chop(1);
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    const QStringList parts = path.split(separators);
    QStringList reversed;
    reversed.reserve(parts.size());
    for (auto it = parts.crbegin(); it != parts.crend(); ++it)
        reversed.append(*it);
    return reversed.join(QLatin1Char('/'));
}

QString CommafyNumber(qint64 i_number)
{
    if (i_number <= 0)
        return QString();
    const QString digits = QString::number(i_number);
    QString result;
    result.reserve(digits.size() + digits.size() / 3);
    const int length = digits.size();
    for (int i = 0; i < length; ++i)
    {
        if (i > 0 && (length - i) % 3 == 0)
            result.append(QLatin1Char(','));
        result.append(digits.at(i));
    }
    return result;
}

QString FormatSeconds(long i_seconds)
{
    const long days = i_seconds / 86400;
    const long hours = (i_seconds / 3600) % 24;
    const long minutes = (i_seconds / 60) % 60;
    const long seconds = i_seconds % 60;
    QString result;
    if (days != 0)
        result += QString::number(days) + QLatin1Char('d');
    if (days != 0 || hours != 0)
        result += QString::number(hours) + QLatin1Char('h');
    result += QString::number(minutes) + QLatin1Char('m') + QString::number(seconds) + QLatin1Char('s');
    return result;
}

QString ToQString(const char* ip_bytes, size_t i_length)
{
    const int length = static_cast<int>(i_length);
    // Most names are plain ASCII, which reads the same in every code page.
    bool ascii = true;
    for (size_t i = 0; i < i_length; ++i)
        if (static_cast<unsigned char>(ip_bytes[i]) >= 0x80)
        {
            ascii = false;
            break;
        }
    if (ascii)
        return QString::fromLatin1(ip_bytes, length);

    const QString utf8 = QString::fromUtf8(ip_bytes, length);
    const QByteArray back = utf8.toUtf8();
    if (static_cast<size_t>(back.size()) == i_length && std::memcmp(back.constData(), ip_bytes, i_length) == 0)
        return utf8;

    if (QTextCodec* codec = ExtendedAsciiTranslator::CurrentCodec())
        return codec->toUnicode(ip_bytes, length);
    return QString::fromLatin1(ip_bytes, length);
}

QString ToQString(const std::string& i_bytes)
{
    return ToQString(i_bytes.data(), i_bytes.size());
}

QString EscapeHTML(const QString& i_text)
{
    QString text = i_text;
    text.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    text.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    text.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    return text;
}

namespace
{
const QRegularExpression& WebLink()
{
    static const QRegularExpression link(
        QStringLiteral("(\\bhttps?://[-a-zA-Z0-9+&@#/%?=~_|!:,.;]*[a-zA-Z0-9+&@#/%=~_|])"));
    return link;
}
} // namespace

namespace
{
// The two noncharacters a text view takes for the start and the end of a frame, and so ends a
// paragraph at.
bool IsFrameMark(uint i_code)
{
    return i_code == 0xFDD0 || i_code == 0xFDD1;
}
} // namespace

QString OneLine(QString i_text)
{
    for (QChar& c : i_text)
    {
        const char16_t u = c.unicode();
        if (u == '\n' || u == '\r' || u == '\v' || u == '\f' || (u >= 0x1C && u <= 0x1E) || u == 0x85
            || u == QChar::LineSeparator || u == QChar::ParagraphSeparator || IsFrameMark(u))
            c = QLatin1Char(' ');
    }
    return i_text;
}

namespace
{
bool IsMark(uint i_code)
{
    const QChar::Category category = QChar::category(i_code);
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining
           || category == QChar::Mark_Enclosing;
}

bool IsDirectionControl(QChar::Direction i_direction)
{
    switch (i_direction)
    {
    case QChar::DirLRI:
    case QChar::DirRLI:
    case QChar::DirFSI:
    case QChar::DirPDI:
    case QChar::DirLRE:
    case QChar::DirLRO:
    case QChar::DirRLE:
    case QChar::DirRLO:
    case QChar::DirPDF: return true;
    default: return false;
    }
}

// The font a character is drawn from, as far as the text tells: the letters of one script share
// one, as do the East Asian scripts with their wide punctuation and forms; a shared character of
// those forms, or a symbol or pictograph, comes from a font other than a Latin letter's.
// 0: any font, the one of the characters around it.
constexpr int kEastAsian = -1;
constexpr int kSymbols = -2;
int FontGroup(uint i_code, QChar::Script i_script)
{
    switch (i_script)
    {
    case QChar::Script_Han:
    case QChar::Script_Hiragana:
    case QChar::Script_Katakana:
    case QChar::Script_Hangul:
    case QChar::Script_Bopomofo: return kEastAsian;
    case QChar::Script_Common:
    case QChar::Script_Inherited:
        if ((i_code >= 0x2E80 && i_code <= 0x33FF) || (i_code >= 0xFE10 && i_code <= 0xFE1F)
            || (i_code >= 0xFE30 && i_code <= 0xFE6F) || (i_code >= 0xFF00 && i_code <= 0xFFEF)
            || (i_code >= 0x1F200 && i_code <= 0x1F2FF))
            return kEastAsian;
        if ((i_code >= 0x2190 && i_code <= 0x2BFF) || (i_code >= 0x1F000 && i_code <= 0x1FBFF))
            return kSymbols;
        return 0;
    default: return int(i_script) + 1;
    }
}

// Follows the script, the font and the direction of a text's characters, as the view splits it
// into pieces it shapes one by one: shared characters (blanks, punctuation, digits in
// left-to-right text) go with the piece they stand in; each isolate, embedding or override, and
// the end of one, starts a piece.
class RunCounter
{
public:
    // Whether the character starts another piece.
    bool Changes(uint i_code)
    {
        const QChar::Direction bidi = QChar::direction(i_code);
        if (IsDirectionControl(bidi))
            return true;
        bool changed = false;
        const QChar::Script script = QChar::script(i_code);
        if (script != QChar::Script_Common && script != QChar::Script_Inherited)
        {
            changed = m_script != QChar::Script_Unknown && script != m_script;
            m_script = script;
        }
        int font = FontGroup(i_code, script);
        // A digit, a sign or a punctuation mark of the Latin-1 range, drawn from the font of the
        // Latin letters, leaves the font of the East Asian forms or the symbols before it.
        if (font == 0 && (m_font == kEastAsian || m_font == kSymbols) && i_code > 0x20 && i_code < 0x100
            && !QChar::isSpace(i_code))
            font = FontGroup(i_code, QChar::Script_Latin);
        if (font != 0)
        {
            changed = changed || (m_font != 0 && font != m_font);
            m_font = font;
        }
        int direction = 0;
        switch (bidi)
        {
        case QChar::DirL: direction = 1; break;
        case QChar::DirR:
        case QChar::DirAL: direction = 2; break;
        case QChar::DirEN:
        case QChar::DirAN: direction = m_strong == 2 ? 3 : 0; break;
        default: break;
        }
        if (direction != 0)
        {
            changed = changed || (m_direction != 0 && direction != m_direction);
            m_direction = direction;
            if (direction != 3)
                m_strong = direction;
        }
        return changed;
    }

private:
    QChar::Script m_script = QChar::Script_Unknown;
    int m_font = 0;
    int m_direction = 0;
    int m_strong = 0;
};
} // namespace

namespace
{
// The characters one font draws for the Latin letters, without a mark: a text of them costs the
// view the least per unit of any.
bool IsPrintableLatin1(uint i_code)
{
    return (i_code >= 0x20 && i_code < 0x7F) || (i_code >= 0xA0 && i_code <= 0xFF);
}

// What the machine's fonts make of a character: whether no font draws it, in which case the view
// looks through every font the machine has for it; whether the colour emoji font draws it (a
// pictograph, a regional indicator, a skin tone), which makes the view look it up among the font's
// joined forms wherever it stands, at some 150 times the time of a letter, even where nothing
// joins; where the font that draws it comes in the order the view asks the machine's fonts in;
// and what its glyph's first sight brings, where the process has not shown it before.
struct CharacterFont
{
    bool undrawn = false;
    bool pictograph = false;
    // Its font's place in the order (FontAnswers), 0 for the view's own font; -1 where none is
    // known.
    int font = -1;
    // Bytes of glyph outlines, 0 once shown.
    int firstSight = 0;
};

bool IsEmoji(uint i_code)
{
    const UChar32 code = UChar32(i_code);
    return u_hasBinaryProperty(code, UCHAR_EXTENDED_PICTOGRAPHIC) || u_hasBinaryProperty(code, UCHAR_EMOJI_PRESENTATION)
           || u_hasBinaryProperty(code, UCHAR_REGIONAL_INDICATOR) || u_hasBinaryProperty(code, UCHAR_EMOJI_MODIFIER);
}

// A code point not yet assigned, a noncharacter, a lone surrogate, or a tag character, which only
// the colour emoji font has, for the flags it ends: no font draws them as characters. A character
// newer than the toolkit's tables, which ICU knows, the view still draws from a font that has it,
// the colour emoji font for the newest emoji.
bool NeverDrawn(uint i_code, QChar::Category i_category)
{
    return (i_code >= 0xE0000 && i_code <= 0xE007F)
           || (i_category == QChar::Other_NotAssigned && u_charType(UChar32(i_code)) == U_UNASSIGNED)
           || i_category == QChar::Other_Surrogate;
}

// What the characters' properties tell, where no font can be asked: every private character is
// taken as undrawn, every other assigned one as drawn, and the colour emoji font as drawing each
// character shown as an emoji by default.
CharacterFont ByProperties(uint i_code)
{
    CharacterFont font;
    const QChar::Category category = QChar::category(i_code);
    font.undrawn = NeverDrawn(i_code, category) || category == QChar::Other_PrivateUse;
    const UChar32 code = UChar32(i_code);
    font.pictograph =
        !font.undrawn
        && (u_hasBinaryProperty(code, UCHAR_EMOJI_PRESENTATION) || u_hasBinaryProperty(code, UCHAR_REGIONAL_INDICATOR)
            || u_hasBinaryProperty(code, UCHAR_EMOJI_MODIFIER));
    return font;
}

// The language the view asks the font matcher for a font of, for each script it knows one written
// in that the machine's fonts claim: it asks the fonts that claim it first, and finds a letter of
// the script at once. nullptr for any other script, for whose letters the view goes through the
// machine's fonts one by one, each character again, until one has it, at some ten times the time
// of a letter with a desktop's few hundred fonts, however many characters of the script came
// before.
const char* Language(QChar::Script i_script)
{
    switch (i_script)
    {
    case QChar::Script_Greek: return "el";
    case QChar::Script_Cyrillic: return "ru";
    case QChar::Script_Armenian: return "hy";
    case QChar::Script_Georgian: return "ka";
    case QChar::Script_Hebrew: return "he";
    case QChar::Script_Arabic: return "ar";
    case QChar::Script_Syriac: return "syr";
    case QChar::Script_Thaana: return "dv";
    case QChar::Script_Nko: return "nqo";
    case QChar::Script_Devanagari: return "hi";
    case QChar::Script_Bengali: return "bn";
    case QChar::Script_Gurmukhi: return "pa";
    case QChar::Script_Gujarati: return "gu";
    case QChar::Script_Oriya: return "or";
    case QChar::Script_Tamil: return "ta";
    case QChar::Script_Telugu: return "te";
    case QChar::Script_Kannada: return "kn";
    case QChar::Script_Malayalam: return "ml";
    case QChar::Script_Sinhala: return "si";
    case QChar::Script_Tibetan: return "bo";
    case QChar::Script_Thai: return "th";
    case QChar::Script_Lao: return "lo";
    case QChar::Script_Khmer: return "km";
    case QChar::Script_Myanmar: return "my";
    case QChar::Script_Ethiopic: return "am";
    case QChar::Script_Cherokee: return "chr";
    case QChar::Script_Hiragana: return "ja";
    case QChar::Script_Katakana: return "ja";
    case QChar::Script_Hangul: return "ko";
    case QChar::Script_Bopomofo: return "zh-tw";
    case QChar::Script_Yi: return "ii";
    default: return nullptr;
    }
}

// Whether the view finds a script's font at once: by its language (Language), or as the
// characters it shares with every script, Latin letters among them, or ideographs, whose fonts come
// first in the machine's order of fonts.
bool FoundByLanguage(QChar::Script i_script)
{
    return i_script == QChar::Script_Common || i_script == QChar::Script_Inherited || i_script == QChar::Script_Latin
           || i_script == QChar::Script_Han || Language(i_script) != nullptr;
}

// What a font file says of its glyphs: how many bytes an outline takes on average (its glyf, CFF
// or CFF2 table over the glyph count of its maxp table; 0 where it holds no outlines, as a bitmap
// font), and whether it draws in colour (a CBLC, COLR or sbix table). Read from the file's table
// directory alone, i_face picking a font of a collection.
struct FontFile
{
    int glyphBytes = 0;
    bool colour = false;
};

FontFile ReadFontFile(const QString& i_path, int i_face)
{
    FontFile read;
    QFile file(i_path);
    if (!file.open(QIODevice::ReadOnly))
        return read;
    const qint64 size = file.size();
    const uchar* p_data = file.map(0, size);
    if (!p_data)
        return read;
    const auto u16 = [&](qint64 i_at) { return i_at + 2 <= size ? qFromBigEndian<quint16>(p_data + i_at) : 0u; };
    const auto u32 = [&](qint64 i_at) { return i_at + 4 <= size ? qFromBigEndian<quint32>(p_data + i_at) : 0u; };
    const auto tag = [](const char* ip_tag) { return qFromBigEndian<quint32>(ip_tag); };
    qint64 directory = 0;
    if (u32(0) == tag("ttcf"))
        directory = i_face >= 0 && quint32(i_face) < u32(8) ? u32(12 + 4 * qint64(i_face)) : size;
    qint64 outlines = 0;
    qint64 glyphs = 0;
    for (quint32 table = 0, tables = u16(directory + 4); table < tables; ++table)
    {
        const qint64 entry = directory + 12 + 16 * qint64(table);
        const quint32 name = u32(entry);
        if (name == tag("glyf") || name == tag("CFF ") || name == tag("CFF2"))
            outlines += u32(entry + 12);
        else if (name == tag("maxp"))
            glyphs = u16(u32(entry + 8) + 4);
        else if (name == tag("CBLC") || name == tag("COLR") || name == tag("sbix"))
            read.colour = true;
    }
    read.glyphBytes = glyphs > 0 ? int(std::min<qint64>(outlines / glyphs, 0xFFFF)) : 0;
    return read;
}

// What the fonts answer, asked once per character, found as the view finds a character's font: its
// own font's families first, then the machine's fonts in fontconfig's order for its font, the first
// that has the character drawing it. For each character its own font lacks, the view asks the
// fonts one by one in that order, in a piece of a script it knows a language of the fonts of that
// language first; and the first time it asks a font in a piece of a script, it matches the font's
// name against the machine's fonts, some 60 µs with a desktop's few hundred. A character counts as
// drawn only where some font has it (a font that claims a writing system may lack many of its
// characters, as the East Asian fonts lack most of the ideographs beyond the first plane), and as
// the colour emoji font's where that is the first to have it, since a text font that has one draws
// it at a letter's cost. What the process has shown (Seen, Use, Match) is kept as each text's
// characters are given to a view.
class FontAnswers
{
public:
    FontAnswers()
    {
        const QFont font = QGuiApplication::font();
        QStringList families = font.families();
        families.prepend(QFontInfo(font).family());
        for (const QString& family : families)
            Sort(family, true);
        if (!families.isEmpty())
            Sort(families.constFirst(), false);
        // The view lays its own font out from the start, in a piece of shared characters.
        if (!m_families.empty())
            m_families.front().used = true;
        m_matched.insert(int(QChar::Script_Common), 0);
    }
    ~FontAnswers()
    {
        for (FcFontSet* p_sorted : m_sorted)
            FcFontSetDestroy(p_sorted);
    }
    FontAnswers(const FontAnswers&) = delete;
    FontAnswers& operator=(const FontAnswers&) = delete;

    CharacterFont Of(uint i_code)
    {
        std::unique_ptr<Known[]>& page = m_pages[i_code >> 8];
        if (!page)
            page.reset(new Known[256]());
        Known& known = page[i_code & 0xFF];
        if (known.flags == 0)
        {
            const CharacterFont font = Ask(i_code);
            known.flags = quint8(1 | (font.undrawn ? 2 : 0) | (font.pictograph ? 4 : 0));
            known.font = qint16(font.font);
            known.bytes = quint16(font.firstSight);
        }
        CharacterFont font;
        font.undrawn = (known.flags & 2) != 0;
        font.pictograph = (known.flags & 4) != 0;
        font.font = known.font;
        font.firstSight = (known.flags & 8) != 0 ? 0 : known.bytes;
        return font;
    }

    // How many fonts the view asks, at most, for a character no font draws.
    int Everyone() const { return std::min(int(m_families.size()), 256); }

    // Where the font comes in the view's search in a piece of the script: 0 where the view finds it
    // at once, as its own font or by the script's language.
    int Rank(const CharacterFont& i_font, QChar::Script i_piece)
    {
        if (i_font.undrawn)
            return Everyone();
        if (i_font.font <= 0)
            return 0;
        const char* p_language = Language(i_piece);
        const FcLangSet* p_languages = m_families[size_t(i_font.font)].p_languages;
        return p_language && p_languages
                       && FcLangSetHasLang(p_languages, reinterpret_cast<const FcChar8*>(p_language))
                              != FcLangDifferentLang
                   ? 0
                   : i_font.font;
    }

    // The character was shown: its first sight is paid.
    void Seen(uint i_code)
    {
        const std::unique_ptr<Known[]>& page = m_pages[i_code >> 8];
        if (page && page[i_code & 0xFF].flags != 0)
            page[i_code & 0xFF].flags |= 8;
    }

    // Whether the view has drawn from the font, and that it has.
    bool Used(int i_font) const { return i_font < 0 || m_families[size_t(i_font)].used; }
    void Use(int i_font)
    {
        if (i_font >= 0)
            m_families[size_t(i_font)].used = true;
    }

    // How far the view has asked the fonts in a piece of the script, -1 where it has laid out no such
    // piece; and that it has asked so far.
    int Matched(QChar::Script i_piece) const { return m_matched.value(int(i_piece), -1); }
    void Match(QChar::Script i_piece, int i_rank)
    {
        int& matched = m_matched[int(i_piece)];
        matched = std::max(matched, i_rank);
    }

private:
    // A family the view may draw from, as fontconfig matched it.
    struct Family
    {
        QString name;
        const FcCharSet* p_characters = nullptr;
        // The languages it claims.
        const FcLangSet* p_languages = nullptr;
        QString file;
        int face = 0;
        bool used = false;
        // Read when first asked for.
        bool read = false;
        FontFile content;
    };

    // A character's answer: flags 1 known, 2 undrawn, 4 pictograph, 8 shown.
    struct Known
    {
        quint8 flags;
        qint16 font;
        quint16 bytes;
    };

    // The fonts of fontconfig's order for the family, each family once, after those already listed;
    // with i_first the best match alone.
    void Sort(const QString& i_family, bool i_first)
    {
        FcPattern* p_pattern = FcPatternCreate();
        const QByteArray family = i_family.toUtf8();
        FcPatternAddString(p_pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.constData()));
        FcConfigSubstitute(nullptr, p_pattern, FcMatchPattern);
        FcDefaultSubstitute(p_pattern);
        FcResult result = FcResultMatch;
        FcFontSet* p_sorted = FcFontSort(nullptr, p_pattern, FcFalse, nullptr, &result);
        FcPatternDestroy(p_pattern);
        if (!p_sorted)
            return;
        m_sorted.push_back(p_sorted);
        for (int at = 0; at < (i_first ? std::min(1, p_sorted->nfont) : p_sorted->nfont); ++at)
        {
            FcPattern* p_font = p_sorted->fonts[at];
            FcChar8* p_name = nullptr;
            FcChar8* p_file = nullptr;
            FcCharSet* p_characters = nullptr;
            int face = 0;
            if (FcPatternGetString(p_font, FC_FAMILY, 0, &p_name) != FcResultMatch
                || FcPatternGetCharSet(p_font, FC_CHARSET, 0, &p_characters) != FcResultMatch)
                continue;
            FcLangSet* p_languages = nullptr;
            FcPatternGetLangSet(p_font, FC_LANG, 0, &p_languages);
            FcPatternGetString(p_font, FC_FILE, 0, &p_file);
            FcPatternGetInteger(p_font, FC_INDEX, 0, &face);
            const QString name = QString::fromUtf8(reinterpret_cast<const char*>(p_name));
            if (std::any_of(m_families.cbegin(), m_families.cend(), [&name](const Family& i_listed) {
                    return i_listed.name.compare(name, Qt::CaseInsensitive) == 0;
                }))
                continue;
            const QString file = p_file ? QString::fromUtf8(reinterpret_cast<const char*>(p_file)) : QString();
            m_families.push_back({name, p_characters, p_languages, file, face, false, false, FontFile()});
        }
    }

    // Where the view finds the character's font among the families: -1 where none has it.
    int Find(uint i_code) const
    {
        for (size_t at = 0; at < m_families.size(); ++at)
            if (FcCharSetHasChar(m_families[at].p_characters, i_code))
                return int(at);
        return -1;
    }

    CharacterFont Ask(uint i_code)
    {
        CharacterFont font;
        const QChar::Category category = QChar::category(i_code);
        if (NeverDrawn(i_code, category))
        {
            font.undrawn = true;
            return font;
        }
        // The view draws no glyph for a control, a format character or a separator.
        switch (category)
        {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Space:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph: return font;
        default: break;
        }
        font.font = Find(i_code);
        const bool priv = category == QChar::Other_PrivateUse;
        if (font.font >= 0)
        {
            Family& family = m_families[size_t(font.font)];
            if (!family.read)
            {
                family.read = true;
                family.content = ReadFontFile(family.file, family.face);
            }
            font.pictograph = (priv || IsEmoji(i_code)) && family.content.colour;
            font.firstSight = family.content.glyphBytes;
        }
        // Another private character, whatever font has it, counts as undrawn.
        font.undrawn = font.font < 0 || (priv && !font.pictograph);
        return font;
    }

    std::vector<FcFontSet*> m_sorted;
    std::vector<Family> m_families;
    QHash<int, int> m_matched;
    std::unique_ptr<Known[]> m_pages[0x110000 >> 8];
};

// The fonts' answers, in the thread of a window's application only, where fonts may be asked;
// elsewhere, and with no such application, nothing.
FontAnswers* MachineFonts()
{
    const auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread())
        return nullptr;
    // Kept to the end: the fonts it holds go with the application.
    static FontAnswers* const answers = new FontAnswers;
    return answers;
}

CharacterFont FontOf(uint i_code, FontAnswers* ip_fonts)
{
    // Latin-1 comes from the view's own font.
    if (i_code < 0x100)
    {
        CharacterFont own;
        own.font = 0;
        return own;
    }
    return ip_fonts ? ip_fonts->Of(i_code) : ByProperties(i_code);
}

// The script of the piece of a text a character stands in, as the view tells pieces apart to pick
// their fonts: a shared character and a mark go with the piece before them, and Latin letters with
// the shared characters.
class Pieces
{
public:
    QChar::Script Of(uint i_code)
    {
        const QChar::Script script = QChar::script(i_code);
        if (script != QChar::Script_Common && script != QChar::Script_Inherited && !IsMark(i_code))
            m_script = script == QChar::Script_Latin ? QChar::Script_Common : script;
        return m_script;
    }

private:
    QChar::Script m_script = QChar::Script_Common;
};

// What a character of its script costs the view against a plain letter: the scripts broken into
// words by a dictionary and conjoining jamo, put together into syllables as they are shaped, more
// than other scripts; a script whose font the view looks for character by character
// kShownSearchedCost; Grantha, whose fonts position every letter against the one before it
// through hundreds of tables, kShownGranthaCost.
int ScriptCost(uint i_code)
{
    if ((i_code >= 0x1100 && i_code <= 0x11FF) || (i_code >= 0xA960 && i_code <= 0xA97F)
        || (i_code >= 0xD7B0 && i_code <= 0xD7FF))
        return 5;
    const QChar::Script script = QChar::script(i_code);
    switch (script)
    {
    case QChar::Script_Common:
    case QChar::Script_Inherited:
    case QChar::Script_Latin: return 1;
    case QChar::Script_Thai:
    case QChar::Script_Lao:
    case QChar::Script_Khmer:
    case QChar::Script_Myanmar: return 5;
    case QChar::Script_Grantha: return kShownGranthaCost;
    default: return FoundByLanguage(script) ? 2 : kShownSearchedCost;
    }
}

// What one character costs the view against a plain letter: its script's cost, or a letter for
// each kShownAskedFonts fonts the view asks before the one that draws it (i_rank, FontAnswers::Rank)
// where that is more; a control, a noncharacter, a code point not yet assigned, a lone surrogate or
// any other character no font draws what asking every font costs, at least 5; one the colour emoji
// font draws kShownPictographCost, which the caller counts too.
int CharacterCost(uint i_code, const CharacterFont& i_font, int i_rank)
{
    if (i_font.undrawn || QChar::category(i_code) == QChar::Other_Control)
        return std::max(5, i_rank / kShownAskedFonts);
    if (i_font.pictograph)
        return kShownPictographCost;
    return std::max(ScriptCost(i_code), i_rank / kShownAskedFonts);
}

// What a character counts in the length of a paragraph, which the view lays out again when a line
// follows it: its units, times its cost over that of the costliest script of ordinary text (a
// script broken by a dictionary), where it costs more; one the colour emoji font draws a
// kShownParagraphPictographs-th of the paragraph, as that font's glyphs are read again for their
// sizes at each layout, far past their price, which only the count a text shows bounds.
int ParagraphWidth(uint i_code, int i_width, const CharacterFont& i_font, int i_rank)
{
    if (i_code < 0x100)
        return i_width;
    if (i_font.pictograph)
        return kLongestShownParagraph / kShownParagraphPictographs;
    return i_width * std::max(1, CharacterCost(i_code, i_font, i_rank) / 5);
}

// How much of the text the view is given: the units before the first one that would bring the
// cost past the budget, the pictographs past i_pictographs, the characters no font draws past
// kShownUndrawn, or what the view does the first time in the process past kShownFirstSearch or
// kShownFirstSightBytes. Marks past kShownMarks in a row cost nothing, as they are dropped. What
// the characters given bring the first time counts as done.
int AffordableLength(const QString& i_text, const std::vector<int>* ip_widths, int i_budget, int i_pictographs)
{
    FontAnswers* fonts = MachineFonts();
    RunCounter pieces;
    Pieces scripts;
    qint64 cost = 0;
    int marks = 0;
    int pictographs = 0;
    int undrawn = 0;
    // What the view does the first time, bound apart from the cost, as a view that lays a text out
    // again at each paint (a list row) does it once: the fonts it asks in a piece of a script past
    // those it asked there before and the fonts it draws from for the first time, and the glyph
    // outlines it reads.
    int firstSearch = 0;
    qint64 firstSight = 0;
    // What the view is handed, in units, and where that passes kShownUnits: the cut of a text that
    // holds a character outside Latin-1.
    int units = 0;
    int unitsCut = -1;
    bool latin1 = true;
    for (int at = 0; at < i_text.size();)
    {
        const bool pair =
            at + 1 < i_text.size() && i_text.at(at).isHighSurrogate() && i_text.at(at + 1).isLowSurrogate();
        const uint code = pair ? QChar::surrogateToUcs4(i_text.at(at), i_text.at(at + 1)) : i_text.at(at).unicode();
        marks = IsMark(code) ? marks + 1 : 0;
        const QChar::Script piece = scripts.Of(code);
        if (marks <= kShownMarks)
        {
            latin1 = latin1 && IsPrintableLatin1(code);
            if (unitsCut >= 0 && !latin1)
                return unitsCut;
            // A line or paragraph break (in a description) costs the view as a change of piece does.
            const bool lineBreak =
                code == '\n' || code == QChar::LineSeparator || code == QChar::ParagraphSeparator || IsFrameMark(code);
            const int width = ip_widths ? std::max(1, (*ip_widths)[size_t(at)]) : 1;
            CharacterFont font = FontOf(code, fonts);
            const int rank = fonts ? fonts->Rank(font, piece) : 0;
            const bool isUndrawn = font.undrawn;
            // A character a skin tone follows costs the view as much as one the colour emoji font
            // draws, whichever font draws it.
            const int next = at + (pair ? 2 : 1);
            const bool toned = !font.pictograph && code >= 0x100 && next + 1 < i_text.size()
                               && i_text.at(next) == QChar(0xD83C) && i_text.at(next + 1).unicode() >= 0xDFFB
                               && i_text.at(next + 1).unicode() <= 0xDFFF
                               && u_hasBinaryProperty(UChar32(code), UCHAR_EMOJI_MODIFIER_BASE);
            const bool isPictograph = font.pictograph || toned;
            font.pictograph = isPictograph;
            cost += CharacterCost(code, font, rank) * width + (pieces.Changes(code) || lineBreak ? kShownRunCost : 0);
            if (fonts)
            {
                const int matched = fonts->Matched(piece);
                const bool newFont = !font.undrawn && !fonts->Used(font.font);
                firstSearch += std::max(0, rank - std::max(0, matched))
                               + kShownFirstUseSearch * ((matched < 0 ? 1 : 0) + (newFont ? 1 : 0));
            }
            firstSight += font.firstSight;
            pictographs += isPictograph ? 1 : 0;
            undrawn += isUndrawn ? 1 : 0;
            if (cost > i_budget || pictographs > i_pictographs || undrawn > kShownUndrawn
                || firstSearch > kShownFirstSearch || firstSight > kShownFirstSightBytes)
                return at;
            if (fonts)
            {
                fonts->Seen(code);
                fonts->Use(font.font);
                fonts->Match(piece, rank);
            }
            units += width + (pair ? 1 : 0);
            if (units > kShownUnits && unitsCut < 0)
                unitsCut = at;
        }
        at += pair ? 2 : 1;
    }
    return unitsCut >= 0 && !latin1 ? unitsCut : int(i_text.size());
}

// A text's characters (grapheme clusters) as ICU finds them: the toolkit's finder sees a boundary
// between a flag's two letters after a pictograph. A text of Latin-1 holds none of the characters
// it mistakes, and goes to it, at no more than it cost. One ICU finder per thread, handed each
// text in turn.
class Characters
{
public:
    explicit Characters(const QString& i_text)
        : m_size(i_text.size())
    {
        const bool latin1 =
            std::all_of(i_text.cbegin(), i_text.cend(), [](QChar i_c) { return i_c.unicode() < 0x100; });
        if (latin1)
        {
            m_toolkit.reset(new QTextBoundaryFinder(QTextBoundaryFinder::Grapheme, i_text));
            return;
        }
        thread_local struct Finder
        {
            UBreakIterator* p_iterator = nullptr;
            Finder()
            {
                UErrorCode error = U_ZERO_ERROR;
                p_iterator = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &error);
                if (U_FAILURE(error))
                    p_iterator = nullptr;
            }
            ~Finder()
            {
                if (p_iterator)
                    ubrk_close(p_iterator);
            }
        } finder;
        UErrorCode error = U_ZERO_ERROR;
        mp_iterator = finder.p_iterator;
        if (mp_iterator)
            ubrk_setText(mp_iterator, reinterpret_cast<const UChar*>(i_text.utf16()), i_text.size(), &error);
        if (U_FAILURE(error))
            mp_iterator = nullptr;
        if (!mp_iterator)
            m_toolkit.reset(new QTextBoundaryFinder(QTextBoundaryFinder::Grapheme, i_text));
    }
    Characters(const Characters&) = delete;
    Characters& operator=(const Characters&) = delete;

    bool IsBoundary(int i_at)
    {
        if (m_toolkit)
        {
            m_toolkit->setPosition(i_at);
            return m_toolkit->isAtBoundary();
        }
        return ubrk_isBoundary(mp_iterator, i_at);
    }
    int Previous(int i_at)
    {
        if (m_toolkit)
        {
            m_toolkit->setPosition(i_at);
            return std::max(0, m_toolkit->toPreviousBoundary());
        }
        return std::max(0, ubrk_preceding(mp_iterator, i_at));
    }
    void ToStart()
    {
        if (m_toolkit)
            m_toolkit->toStart();
        else
            ubrk_first(mp_iterator);
    }
    // The next boundary, the text's end after the last.
    int Next()
    {
        const int next = m_toolkit ? m_toolkit->toNextBoundary() : ubrk_next(mp_iterator);
        return next < 0 || next == UBRK_DONE ? m_size : std::min(next, m_size);
    }

private:
    int m_size = 0;
    std::unique_ptr<QTextBoundaryFinder> m_toolkit;
    UBreakIterator* mp_iterator = nullptr;
};

ShownPlan PlanShown(const QString& i_text, const std::vector<int>* ip_widths, int i_budget, int i_pictographs)
{
    ShownPlan plan;
    plan.units.assign(size_t(i_text.size()), ShownUnit::Dropped);
    // The boundaries are looked for in what is shown only: finding them costs as much as a layout
    // in some scripts. The unit after the cut tells whether the cut falls inside a character,
    // which then goes whole, unless all that a character shows (its first kShownClusterUnits
    // units) is within the budget: then that shows, and a text that is one long character is not
    // shown as nothing.
    const int affordable = AffordableLength(i_text, ip_widths, i_budget, i_pictographs);
    plan.cut = affordable < i_text.size();
    int length = affordable;
    if (plan.cut)
    {
        const int next = i_text.at(affordable).isHighSurrogate() ? 2 : 1;
        const QString prefix = i_text.left(affordable + next);
        Characters around(prefix);
        if (!around.IsBoundary(affordable))
        {
            const int character = around.Previous(affordable);
            if (affordable - character < kShownClusterUnits)
                length = character;
        }
    }
    const QString shown = i_text.left(length);
    std::fill_n(plan.units.begin(), length, ShownUnit::Kept);
    FontAnswers* fonts = MachineFonts();
    Pieces scripts;
    Characters clusters(shown);
    clusters.ToStart();
    // A run ends where the view may break the line itself: after a blank, around most wide
    // letters, after a hyphen; a no-break space or a word joiner ends none.
    QTextBoundaryFinder lines(QTextBoundaryFinder::Line, shown);
    int run = 0;
    // The view lays a paragraph out in time that grows faster than its length in some scripts, so
    // a long text goes to it in paragraphs of at most kLongestShownParagraph, each starting at the
    // text's own line break, else where a line may break in the second half of it.
    int paragraph = 0;
    int lastBreak = -1;
    int widthBeforeBreak = 0;
    // Where a paragraph may start at the text's own line break, which it then takes the place of.
    int lastLineBreak = -1;
    int widthThroughLineBreak = 0;
    const auto codeAt = [&shown](int i_at) {
        return i_at + 1 < shown.size() && shown.at(i_at).isHighSurrogate() && shown.at(i_at + 1).isLowSurrogate()
                   ? QChar::surrogateToUcs4(shown.at(i_at), shown.at(i_at + 1))
                   : uint(shown.at(i_at).unicode());
    };
    int start = 0;
    while (start < length)
    {
        int end = clusters.Next();
        // A character ends after a control, and some finders end one before a mark: the shaper
        // draws a mark that starts a piece on a dotted circle, so a mark stays with the character
        // before it.
        while (end > start && end < length && IsMark(codeAt(end)))
            end = clusters.Next();
        if (end <= start)
            end = length;
        // The first code point is the base; what follows it in the cluster is kept up to the caps.
        int kept = 0;
        int width = 0;
        int marks = 0;
        QChar::Script piece = QChar::Script_Common;
        for (int at = start; at < end;)
        {
            const bool pair = at + 1 < end && shown.at(at).isHighSurrogate() && shown.at(at + 1).isLowSurrogate();
            const int units = pair ? 2 : 1;
            const uint code = pair ? QChar::surrogateToUcs4(shown.at(at), shown.at(at + 1)) : shown.at(at).unicode();
            const bool mark = IsMark(code);
            const QChar::Script script = scripts.Of(code);
            piece = at == start ? script : piece;
            const bool keep = at == start || (kept + units <= kShownClusterUnits && (!mark || marks < kShownMarks));
            if (keep)
            {
                kept += units;
                width += ip_widths ? (*ip_widths)[size_t(at)] : units;
                marks += mark && at != start ? 1 : 0;
            }
            else
                std::fill_n(plan.units.begin() + at, units, ShownUnit::Dropped);
            at += units;
        }
        // The paragraph counts a character at what it costs the view to lay out again.
        const uint first = codeAt(start);
        const CharacterFont font = FontOf(first, fonts);
        const int paragraphWidth = ParagraphWidth(first, width, font, fonts ? fonts->Rank(font, piece) : 0);
        lines.setPosition(start);
        const bool mayBreak = start > 0 && lines.isAtBoundary();
        if (mayBreak)
            run = 0;
        else if (run + width > kLongestUnbrokenRun)
        {
            plan.units[size_t(start)] = ShownUnit::BreakBefore;
            run = 0;
        }
        if (mayBreak || plan.units[size_t(start)] == ShownUnit::BreakBefore)
        {
            lastBreak = start;
            widthBeforeBreak = paragraph;
        }
        // A break point is a unit of the paragraph too.
        int breakWidth = plan.units[size_t(start)] == ShownUnit::BreakBefore ? 1 : 0;
        // The view starts a paragraph after a paragraph separator or a frame's edge itself; a line
        // separator ends a line inside the paragraph, and is where a paragraph best starts.
        const uint base = codeAt(start);
        const bool endsParagraph = base == QChar::ParagraphSeparator || IsFrameMark(base);
        if (!endsParagraph && paragraph + breakWidth + paragraphWidth > kLongestShownParagraph)
        {
            if (lastLineBreak >= 0 && widthThroughLineBreak >= kLongestShownParagraph / 2)
            {
                plan.units[size_t(lastLineBreak)] = ShownUnit::ParagraphBefore;
                paragraph -= widthThroughLineBreak;
            }
            else if (lastBreak >= 0 && widthBeforeBreak >= kLongestShownParagraph / 2)
            {
                plan.units[size_t(lastBreak)] = ShownUnit::ParagraphBefore;
                paragraph -= widthBeforeBreak;
            }
            else
            {
                plan.units[size_t(start)] = ShownUnit::ParagraphBefore;
                paragraph = 0;
                run = 0;
                breakWidth = 0;
            }
            lastBreak = -1;
            lastLineBreak = -1;
        }
        run += width;
        paragraph += breakWidth + paragraphWidth;
        if (endsParagraph)
        {
            paragraph = 0;
            lastBreak = -1;
            lastLineBreak = -1;
        }
        else if (base == QChar::LineSeparator)
        {
            lastLineBreak = start;
            widthThroughLineBreak = paragraph;
        }
        start = end;
    }
    return plan;
}
} // namespace

QChar ShownCharacter(QChar i_unit)
{
    return i_unit == QChar::ObjectReplacementCharacter ? QChar(QChar::ReplacementCharacter) : i_unit;
}

ShownPlan PlanShownText(const QString& i_text, const std::vector<int>* ip_widths, int i_pictographs, int i_budget)
{
    return PlanShown(i_text, ip_widths, i_budget, i_pictographs);
}

int CharacterStart(const QString& i_text, int i_at)
{
    if (i_at <= 0 || i_at >= i_text.size())
        return qBound(0, i_at, int(i_text.size()));
    Characters characters(i_text);
    // The last start before the next unit: ICU takes a place inside a surrogate pair for the pair's.
    return characters.IsBoundary(i_at) ? i_at : characters.Previous(i_at + 1);
}

namespace
{
// The kept units of a text, each with whether a break point goes before it.
struct ShownLine
{
    QString text;
    std::vector<ShownUnit> before;
    bool cut = false;

    explicit ShownLine(const QString& i_text, int i_budget = kShownCost)
    {
        const ShownPlan plan = PlanShown(i_text, nullptr, i_budget, kShownPictographs);
        text.reserve(i_text.size());
        for (int at = 0; at < i_text.size(); ++at)
            if (plan.units[size_t(at)] != ShownUnit::Dropped)
            {
                text += ShownCharacter(i_text.at(at));
                before.push_back(plan.units[size_t(at)]);
            }
        cut = plan.cut;
    }

    // The units from i_from up to i_to, with i_breakPoint at each break point and a paragraph
    // separator where a paragraph starts.
    QString Breakable(int i_from, int i_to, QChar i_breakPoint = QChar(0x200B)) const
    {
        QString part;
        part.reserve(i_to - i_from + (i_to - i_from) / kLongestUnbrokenRun + 1);
        for (int at = i_from; at < i_to; ++at)
        {
            if (before[size_t(at)] == ShownUnit::BreakBefore)
                part += i_breakPoint;
            else if (before[size_t(at)] == ShownUnit::ParagraphBefore)
            {
                part += QChar(QChar::ParagraphSeparator);
                if (text.at(at) == QChar::LineSeparator)
                    continue;
            }
            part += text.at(at);
        }
        return part;
    }
};

const QChar kEllipsis(0x2026);
} // namespace

QString BreakableText(const QString& i_text)
{
    const ShownLine line(i_text);
    return line.Breakable(0, line.text.size()) + (line.cut ? QString(kEllipsis) : QString());
}

QString EscapeWithLinks(const QString& i_text, QChar i_breakPoint)
{
    // The line is planned whole, so that its links and the text between them share one budget.
    const ShownLine line(OneLine(i_text));
    QString html;
    int done = 0;
    int links = 0;
    QRegularExpressionMatchIterator found = WebLink().globalMatch(line.text);
    while (links < kMaxLinksPerLine && found.hasNext())
    {
        const QRegularExpressionMatch match = found.next();
        html += EscapeHTML(line.Breakable(done, match.capturedStart(1), i_breakPoint));
        html += QStringLiteral("<a href=\"%1\">%2</a>")
                    .arg(EscapeHTML(match.captured(1)),
                         EscapeHTML(line.Breakable(match.capturedStart(1), match.capturedEnd(1), i_breakPoint)));
        done = match.capturedEnd(1);
        ++links;
    }
    return html + EscapeHTML(line.Breakable(done, line.text.size(), i_breakPoint))
           + (line.cut ? QString(kEllipsis) : QString());
}

bool IsWebLink(const QUrl& i_url)
{
    const QString scheme = i_url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

QString IsolatedName(const QString& i_name)
{
    // Names of left-to-right letters, digits and punctuation only cannot reorder anything, and
    // stay as they are. A direction control is dropped wherever it stands: one that closes an
    // isolate would close the one around the name, and one that marks a direction has no use
    // in a name but to make it read as another.
    bool reorders = false;
    int marks = 0;
    const QString line = OneLine(i_name);
    QString name;
    name.reserve(line.size());
    for (int at = 0; at < line.size();)
    {
        const bool pair = at + 1 < line.size() && line.at(at).isHighSurrogate() && line.at(at + 1).isLowSurrogate();
        const int units = pair ? 2 : 1;
        const uint code = pair ? QChar::surrogateToUcs4(line.at(at), line.at(at + 1)) : line.at(at).unicode();
        const QChar::Direction direction = QChar::direction(code);
        const bool control = IsDirectionControl(direction) || code == 0x200E || code == 0x200F || code == 0x061C;
        reorders =
            reorders || control || direction == QChar::DirR || direction == QChar::DirAL || direction == QChar::DirAN;
        if (!control)
        {
            name += line.midRef(at, units);
            marks += IsMark(code) ? 1 : 0;
        }
        at += units;
    }
    // A name is one short line in a tab or on a button, which measure it whole. One no longer
    // than a character may be, with no more marks than a character keeps, is within every bound.
    if (name.size() > kShownClusterUnits || marks > kShownMarks)
    {
        const ShownLine shown(name, kShownNameCost);
        name = shown.cut ? shown.text + kEllipsis : shown.text;
    }
    if (!reorders)
        return name;
    return QChar(0x2068) + name + QChar(0x2069);
}

QString MnemonicText(const QString& i_name)
{
    return QString(IsolatedName(i_name)).replace(QLatin1Char('&'), QLatin1String("&&"));
}

QString ConvertLinks(const QString& i_text)
{
    const QRegularExpression& link = WebLink();
    QString text = i_text;
    text.replace(link, QStringLiteral("<a href=\"\\1\">\\1</a>"));
    return text;
}
