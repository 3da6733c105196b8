#include "TextUtils.h"

#include "ExtendedAsciiTranslator.h"

#include <QElapsedTimer>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QRawFont>
#include <QRegularExpression>
#include <QStringList>
#include <QTextBoundaryFinder>
#include <QTextCodec>
#include <QTextLayout>
#include <QThread>
#include <QUrl>

#include <unicode/ubrk.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
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
// looks through every font the machine has for it, which with a desktop's hundred or more costs
// it some 15 times the time of a letter; whether the colour emoji font draws it (a pictograph,
// a regional indicator, a skin tone), which makes the view look it up among the font's joined
// forms wherever it stands, at some 150 times the time of a letter, even where nothing joins;
// what a letter of its script costs the view in the font that draws it, against a Latin letter
// (0 where no font's cost counts); whether the view has not drawn it before; and, where its font
// would first have to be found and measured and the text may take on no more fonts, that it was
// not asked about.
struct CharacterFont
{
    bool undrawn = false;
    bool pictograph = false;
    int cost = 0;
    // What its first sight costs more, where the view has not drawn it before.
    int firstSight = 0;
    bool unasked = false;
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

// What one text may take on that the view has not used before, which no count of its characters
// bounds: fonts to find and load, some 5 to 20 ms each the first time, and the scripts to measure
// in a font (FontAnswers::Measured), a few ms each; and apart from those, the further blocks of a
// script, or of shared characters (signs, digits), in a font that measured some, of which ordinary
// text brings a few.
constexpr int kShownNewFonts = 2;
constexpr int kShownMeasures = 4;
constexpr int kShownFurtherMeasures = 4;
struct NewToView
{
    int fonts = kShownNewFonts;
    int measures = kShownMeasures;
    int further = kShownFurtherMeasures;
};

// What the fonts answer, asked once per character, in the way the view finds a character's font:
// whether a font has it (a font that claims a writing system may lack many of its characters, as
// the East Asian fonts lack most of the ideographs beyond the first plane), and, for an emoji or a
// private character the colour emoji font has, whether that font is the first of the view's fonts
// to have it, since a text font that has one draws it at a letter's cost. A character one of the
// fonts found before has is taken to come from it; only another makes the view look through the
// machine's fonts, which loads the one it finds.
class FontAnswers
{
public:
    FontAnswers()
        : m_font(QGuiApplication::font())
        , m_metrics(m_font)
    {
        const QRawFont own = DrawingFont('a');
        if (own.isValid())
            m_fonts.push_back(Found{own, {}, {}});
    }

    // io_new: what the text may still take on.
    CharacterFont Of(uint i_code, NewToView& io_new)
    {
        std::unique_ptr<quint32[]>& page = m_pages[i_code >> 8];
        if (!page)
            page.reset(new quint32[256]());
        quint32& known = page[i_code & 0xFF];
        CharacterFont font;
        if (known == 0)
        {
            font = Ask(i_code, io_new);
            if (font.undrawn && m_undrawnCost < 0 && io_new.measures-- <= 0)
                font.unasked = true;
            if (font.unasked)
                return font;
            if (font.undrawn)
                font.cost = UndrawnCost();
            font.firstSight = std::max(font.firstSight, kShownFirstSightCost);
            known = quint32(1 | (font.undrawn ? 2 : 0) | (font.pictograph ? 4 : 0)) | quint32(font.cost) << 8;
            return font;
        }
        font.undrawn = (known & 2) != 0;
        font.pictograph = (known & 4) != 0;
        font.cost = int(known >> 8);
        font.firstSight = 0;
        return font;
    }

private:
    // A font the view has drawn from, and what a character of each block it drew from it costs:
    // one font's characters of one script may cost many times as much in one block as in
    // another (Georgian capitals, Vedic signs in a font of Devanagari).
    struct Found
    {
        QRawFont font;
        QHash<int, int> costs;
        // The most a block of each script measured, which a block of it prices at where the text
        // may measure no more.
        QHash<int, int> scriptCosts;
        int firstSight = 0;
    };

    CharacterFont Ask(uint i_code, NewToView& io_new)
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
        const QChar::Script script = QChar::script(i_code);
        const bool shared = script == QChar::Script_Common || script == QChar::Script_Inherited;
        const int block = int(ublock_getCode(UChar32(i_code)));
        Found* p_found = FoundFont(i_code);
        // A mark goes on its letter through that letter's font, and costs what its block does where
        // that was measured, else what its script does.
        const bool mark = IsMark(i_code);
        // A further block of a script the font measured (of any, for a shared character) costs,
        // past the text's measures, the most those did: it never cuts the text.
        const int fallback = p_found ? Fallback(*p_found, script, shared) : 0;
        int& measures = fallback > 0 ? io_new.further : io_new.measures;
        const bool measured = p_found && (mark || p_found->costs.contains(block) || (fallback > 0 && measures <= 0));
        if ((!p_found && io_new.fonts <= 0) || (!measured && measures <= 0))
        {
            font.unasked = true;
            return font;
        }
        const bool priv = category == QChar::Other_PrivateUse;
        QRawFont drawing;
        if ((priv || IsEmoji(i_code)) && ColourFont().isValid() && ColourFont().supportsCharacter(i_code))
        {
            drawing = DrawingFont(i_code);
            font.pictograph = IsColourFont(drawing);
            if (font.pictograph)
                return font;
            p_found = nullptr;
        }
        // Another private character, whatever font has it, counts as undrawn.
        if (priv)
        {
            font.undrawn = true;
            return font;
        }
        if (!p_found)
        {
            // Asking whether any font has it costs a tenth of laying it out.
            if (!drawing.isValid() && !m_metrics.inFontUcs4(i_code))
            {
                font.undrawn = true;
                return font;
            }
            if (!drawing.isValid())
                drawing = DrawingFont(i_code);
            font.undrawn = !drawing.isValid() || !drawing.supportsCharacter(i_code);
            if (font.undrawn || IsColourFont(drawing))
                return font;
            const size_t fonts = m_fonts.size();
            p_found = Add(drawing);
            io_new.fonts -= m_fonts.size() > fonts ? 1 : 0;
        }
        const auto cost = p_found->costs.constFind(block);
        if (cost != p_found->costs.constEnd())
            font.cost = *cost;
        else if (!mark && measures <= 0)
            font.cost = Fallback(*p_found, script, shared);
        else if (!mark)
        {
            --measures;
            int firstSight = 0;
            font.cost = Measured(i_code, p_found->font, &firstSight);
            p_found->costs.insert(block, font.cost);
            int& ofScript = p_found->scriptCosts[int(script)];
            ofScript = std::max(ofScript, font.cost);
            p_found->firstSight = std::max(p_found->firstSight, firstSight);
        }
        font.firstSight = p_found->firstSight;
        return font;
    }

    static int Fallback(const Found& i_found, QChar::Script i_script, bool i_shared)
    {
        if (!i_shared)
            return i_found.scriptCosts.value(int(i_script));
        return i_found.costs.isEmpty() ? 0 : *std::max_element(i_found.costs.cbegin(), i_found.costs.cend());
    }

    // The font found before that has the character, the last one that had one first; the colour
    // emoji font is not among them.
    Found* FoundFont(uint i_code)
    {
        if (m_lastFound < m_fonts.size() && m_fonts[m_lastFound].font.supportsCharacter(i_code))
            return &m_fonts[m_lastFound];
        for (size_t at = 0; at < m_fonts.size(); ++at)
            if (m_fonts[at].font.supportsCharacter(i_code))
            {
                m_lastFound = at;
                return &m_fonts[at];
            }
        return nullptr;
    }

    Found* Add(const QRawFont& i_font)
    {
        for (size_t at = 0; at < m_fonts.size(); ++at)
            if (m_fonts[at].font.familyName() == i_font.familyName()
                && m_fonts[at].font.styleName() == i_font.styleName())
                return &m_fonts[at];
        m_fonts.push_back(Found{i_font, {}, {}});
        m_lastFound = m_fonts.size() - 1;
        return &m_fonts.back();
    }

    // What a letter of the character's script costs the view in the font against a Latin letter:
    // a line of letters of the script and kind the font has, spread over the character's block,
    // laid out as the view lays out a long line, against one of Latin words timed right after it.
    // Spread over the block, so that the order a text brings its characters in does not
    // set the price: the letters of one font may take very different times (a consonant of
    // Grantha some eight times a vowel).
    // *op_firstSight: what a character of the font costs more the first time the view shows it.
    int Measured(uint i_code, const QRawFont& i_font, int* op_firstSight) const
    {
        const UBlockCode block = ublock_getCode(UChar32(i_code));
        uint first = i_code & ~0xFu;
        while (first >= 16 && ublock_getCode(UChar32(first - 16)) == block)
            first -= 16;
        uint last = i_code | 0xFu;
        while (last + 16 <= 0x10FFFF && ublock_getCode(UChar32(last + 16)) == block)
            last += 16;
        const QChar::Script script = QChar::script(i_code);
        // Letters, digits and symbols, which the view draws each on its own; the marks of the block
        // where it has nothing else.
        const auto ofKind = [&](uint i_other, bool i_marks) {
            return QChar::script(i_other) == script && i_font.supportsCharacter(i_other)
                   && (i_marks ? IsMark(i_other) : QChar::isLetterOrNumber(i_other) || QChar::isSymbol(i_other));
        };
        const uint step = std::max(1u, (last - first + 1) / kSampleCharacters);
        QString sample;
        for (const bool marks : {false, true})
        {
            for (uint from = first; from <= last && sample.size() < int(2 * kSampleCharacters); from += step)
                for (uint code = from; code < std::min({last + 1, from + step, from + kSampleTries}); ++code)
                    if (ofKind(code, marks))
                    {
                        sample += QString::fromUcs4(&code, 1);
                        break;
                    }
            if (!sample.isEmpty())
                break;
        }
        if (sample.isEmpty())
            sample = QString::fromUcs4(&i_code, 1);
        // The font's own first layout, and then its other glyphs' first, which costs what a
        // character's first sight does, not its price: in two halves, the less counting, as one
        // timing can only come out long.
        const int firstUnits = sample.at(0).isHighSurrogate() && sample.size() > 1 ? 2 : 1;
        LayoutNs(sample.left(firstUnits), true);
        const QVector<uint> others = sample.size() > firstUnits ? sample.mid(firstUnits).toUcs4() : sample.toUcs4();
        double firstSightNs = std::numeric_limits<double>::max();
        for (int half = 0; half < 2; ++half)
        {
            const int from = half * others.size() / 2;
            const int count = std::max(1, (half + 1) * others.size() / 2 - from);
            const QString part = QString::fromUcs4(others.constData() + from, count);
            const qint64 firstSeen = LayoutNs(part, true);
            firstSightNs =
                std::min(firstSightNs, double(std::max<qint64>(0, firstSeen - LayoutNs(part, true))) / count);
        }
        // The less of two timings: the machine's other work can make one of an ordinary font's
        // short line as long as a costly one's.
        QString letters = Line(sample, kSampleUnits / 4);
        if (std::min(LayoutNs(letters), LayoutNs(letters)) < kShortSampleNs)
            letters = Line(sample, kSampleUnits);
        const int characters = int(letters.toUcs4().size());
        double letterNs = 0;
        double times = LatinTimes(letters, &letterNs);
        // A long line's glyphs are all laid out, but only those in sight drawn.
        *op_firstSight = int(std::clamp<qint64>(std::llround(firstSightNs / letterNs / 2), 0, kMostFirstSight));
        // A font whose glyphs barely advance, or step back over the one before, puts a whole
        // paragraph on one line, all of it in sight, and the view draws every glyph of it where it
        // draws a window's worth of wider ones: such a font costs as many times more as its
        // glyphs are narrower than a Latin letter, where they take less than half its width, at most
        // kNarrowTimes.
        const double width = Advance(letters) / double(characters);
        const double latinWidth = Advance(Latin(characters)) / double(characters);
        if (width < latinWidth / 2)
            times *= std::min(double(kNarrowTimes), latinWidth / std::max(width, latinWidth / kNarrowTimes));
        return int(std::clamp<qint64>(std::llround(times), 1, kMostMeasuredCost));
    }

    // The sample's characters in turn, i_units units, with a break point every
    // kLongestUnbrokenRun units, as the view has them.
    static QString Line(const QString& i_sample, int i_units)
    {
        // After a Latin word, as a chat line's text comes after the sender's name: the view draws
        // a shared character in the script of the text before it, from that script's fonts.
        QString line = QStringLiteral("a ");
        int run = 0;
        while (line.size() < i_units)
            for (int at = 0; at < i_sample.size() && line.size() < i_units; ++at)
            {
                line += i_sample.at(at);
                if (++run == kLongestUnbrokenRun)
                {
                    line += QChar(0x200B);
                    run = 0;
                }
            }
        if (line.at(line.size() - 1).isHighSurrogate())
            line.chop(1);
        return line;
    }

    // What a character no font draws costs the view against a Latin letter, measured the first
    // time one comes: the view looks through every font the machine has for it, a desktop's
    // hundreds at some 15 to 150 letters' time. Noncharacters, which no font has.
    int UndrawnCost()
    {
        if (m_undrawnCost < 0)
        {
            QString sample;
            for (char16_t code = 0xFDD2; code <= 0xFDEF; ++code)
                sample += QChar(code);
            const QString undrawn = Line(sample, kUndrawnUnits);
            LayoutNs(undrawn);
            double letterNs = 0;
            m_undrawnCost = int(std::clamp<qint64>(std::llround(LatinTimes(undrawn, &letterNs)), 5, kMostMeasuredCost));
        }
        return m_undrawnCost;
    }

    // How many times as long as a line of as many Latin letters a line takes to lay out, and in
    // *op_letterNs a Latin letter's time: each timing against the Latin one right after it, the
    // middle one of those counting, as the machine's other work slows both of a pair alike and a
    // pair it slows apart is one of few.
    double LatinTimes(const QString& i_line, double* op_letterNs) const
    {
        const QString latin = Latin(int(i_line.toUcs4().size()));
        std::vector<double> ratios;
        qint64 latinLeast = std::numeric_limits<qint64>::max();
        for (int n = 0; n < kSampleTimings; ++n)
        {
            const qint64 ns = LayoutNs(i_line);
            const qint64 latinNs = std::max<qint64>(1, LatinNs(latin));
            latinLeast = std::min(latinLeast, latinNs);
            ratios.push_back(double(ns) / double(latinNs));
        }
        std::nth_element(ratios.begin(), ratios.begin() + kSampleTimings / 2, ratios.end());
        *op_letterNs = double(latinLeast) / double(latin.size());
        return ratios[kSampleTimings / 2];
    }

    // How long a Latin line takes to lay out: a line shorter than a sample's takes some
    // microseconds, which the timer and the caches make up to three times as long from one timing
    // to the next, and as one timing can only come out long, the least of kShortLineTimings counts.
    qint64 LatinNs(const QString& i_latin) const
    {
        qint64 least = LayoutNs(i_latin);
        for (int n = 1; n < kShortLineTimings && i_latin.size() < kSampleUnits; ++n)
            least = std::min(least, LayoutNs(i_latin));
        return least;
    }

    // As many Latin letters and blanks as a line has characters: a price is a character's.
    static QString Latin(int i_characters)
    {
        return Line(QStringLiteral("the quick brown fox jumps over the lazy dog "), i_characters);
    }

    // How far the text advances on one line.
    double Advance(const QString& i_text) const
    {
        QTextLayout layout(i_text, m_font);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLineWidth(1e7);
        layout.endLayout();
        return line.naturalTextWidth();
    }

    // How long the text takes to lay out, and with i_drawn to draw too: a glyph's first drawing
    // makes its image, which costs more than its layout for the intricate ones, and the view
    // draws all of a short line.
    qint64 LayoutNs(const QString& i_text, bool i_drawn = false) const
    {
        QElapsedTimer timer;
        timer.start();
        QTextLayout layout(i_text, m_font);
        layout.beginLayout();
        qreal height = 0;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine())
        {
            line.setLineWidth(kSampleWidth);
            line.setPosition(QPointF(0, height));
            height += line.height();
        }
        layout.endLayout();
        if (i_drawn)
        {
            QImage image(kSampleWidth, std::max(1, int(std::ceil(height))), QImage::Format_ARGB32_Premultiplied);
            QPainter painter(&image);
            layout.draw(&painter, QPointF(0, 0));
        }
        return timer.nsecsElapsed();
    }

    // Found when first needed: every colour emoji font has the regional indicators, and few other
    // fonts do.
    const QRawFont& ColourFont()
    {
        if (!m_colourKnown)
        {
            m_colourKnown = true;
            m_colour = DrawingFont(0x1F1E6);
            if (!IsColourFont(m_colour))
                m_colour = QRawFont();
        }
        return m_colour;
    }

    // The font the view draws the character from on its own.
    QRawFont DrawingFont(uint i_code) const
    {
        QTextLayout layout(QString::fromUcs4(&i_code, 1), m_font);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        const QList<QGlyphRun> runs = layout.glyphRuns();
        return runs.isEmpty() ? QRawFont() : runs.first().rawFont();
    }

    bool IsColourFont(const QRawFont& i_font)
    {
        if (!i_font.isValid())
            return false;
        const QString family = i_font.familyName();
        const auto found = m_colourFamilies.constFind(family);
        if (found != m_colourFamilies.constEnd())
            return *found;
        const bool colour = !i_font.fontTable("CBLC").isEmpty() || !i_font.fontTable("COLR").isEmpty()
                            || !i_font.fontTable("sbix").isEmpty();
        m_colourFamilies.insert(family, colour);
        return colour;
    }

    // A sample: 16 characters, in a line of 256 units, about as wide as a chat view; a quarter of
    // it where that takes over half a millisecond, which a costly font's letters do without the
    // fixed costs of a layout weighing (a shorter line prices Grantha at a third of what it costs).
    static constexpr uint kSampleCharacters = 16;
    static constexpr int kSampleUnits = 256;
    static constexpr qint64 kShortSampleNs = 500000;
    static constexpr int kNarrowTimes = 8;
    static constexpr int kUndrawnUnits = 32;
    static constexpr int kSampleTimings = 5;
    static constexpr int kShortLineTimings = 4;
    static constexpr int kSampleWidth = 700;
    // Code points tried for each character of a sample: a block may hold tens of thousands, of
    // which the font has few.
    static constexpr uint kSampleTries = 16;
    // What a cost is kept in.
    static constexpr qint64 kMostMeasuredCost = 0xFFFF;
    // The most a character's first sight costs: what the slowest fonts here measure, so that a
    // timing the machine's other work drew out does not cut a first line of ordinary text short.
    static constexpr qint64 kMostFirstSight = 256;

    QFont m_font;
    QFontMetrics m_metrics;
    int m_undrawnCost = -1;
    std::vector<Found> m_fonts;
    size_t m_lastFound = 0;
    QRawFont m_colour;
    bool m_colourKnown = false;
    QHash<QString, bool> m_colourFamilies;
    // Per 256 code points, each known character's answer: bit 1 known, 2 undrawn, 4 pictograph,
    // from bit 8 on the cost of its font.
    std::unique_ptr<quint32[]> m_pages[0x110000 >> 8];
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

CharacterFont FontOf(uint i_code, FontAnswers* ip_fonts, NewToView& io_new)
{
    // Latin-1 comes from the view's own font.
    if (i_code < 0x100)
        return CharacterFont();
    return ip_fonts ? ip_fonts->Of(i_code, io_new) : ByProperties(i_code);
}

// Whether the font matcher finds the font of a script's letters at once: the view asks it for a
// font of a language written in the script, and it knows such a language for these. For the
// letters of any other script the view goes through the machine's fonts one by one, each
// character again, until one has it, at some ten times the time of a letter with a desktop's few
// hundred fonts, however many characters of the script came before.
bool FoundByLanguage(QChar::Script i_script)
{
    switch (i_script)
    {
    case QChar::Script_Common:
    case QChar::Script_Inherited:
    case QChar::Script_Latin:
    case QChar::Script_Greek:
    case QChar::Script_Cyrillic:
    case QChar::Script_Armenian:
    case QChar::Script_Georgian:
    case QChar::Script_Hebrew:
    case QChar::Script_Arabic:
    case QChar::Script_Syriac:
    case QChar::Script_Thaana:
    case QChar::Script_Nko:
    case QChar::Script_Devanagari:
    case QChar::Script_Bengali:
    case QChar::Script_Gurmukhi:
    case QChar::Script_Gujarati:
    case QChar::Script_Oriya:
    case QChar::Script_Tamil:
    case QChar::Script_Telugu:
    case QChar::Script_Kannada:
    case QChar::Script_Malayalam:
    case QChar::Script_Sinhala:
    case QChar::Script_Tibetan:
    case QChar::Script_Thai:
    case QChar::Script_Lao:
    case QChar::Script_Khmer:
    case QChar::Script_Myanmar:
    case QChar::Script_Ethiopic:
    case QChar::Script_Cherokee:
    case QChar::Script_Han:
    case QChar::Script_Hiragana:
    case QChar::Script_Katakana:
    case QChar::Script_Hangul:
    case QChar::Script_Bopomofo:
    case QChar::Script_Yi: return true;
    default: return false;
    }
}

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

// How much more than its script's cost a letter's font must cost the view for that to be its
// price: the fonts of the scripts a desktop has measure up to some ten letters here (Tibetan,
// Myanmar and Mongolian letters beside their script's cost the most), and their lines, whole,
// stay within the time of the longest plain line; a fallback font of ideographs, a font of a
// supplement or of numbers that the view finds character by character measure more. A measure can
// come out half as much again as another of the same font.
constexpr int kSlowFontMargin = 12;

// What one character costs the view against a plain letter: MeasuredCost of its script's cost
// and its font's; a control, a noncharacter, a code point not yet assigned, a lone surrogate or
// any other character no font draws what the view's search for it costs, at least 5; one the
// colour emoji font draws kShownPictographCost, which the caller counts too. What it costs the
// first time the view shows it (CharacterFont::firstSight) is counted apart.
int CharacterCost(uint i_code, const CharacterFont& i_font)
{
    if (i_font.undrawn || QChar::category(i_code) == QChar::Other_Control)
        return std::max(5, i_font.cost);
    if (i_font.pictograph)
        return kShownPictographCost;
    return MeasuredCost(ScriptCost(i_code), i_font.cost);
}

// What a character counts in the length of a paragraph, which the view lays out again when a line
// follows it: its units, times its cost over that of the costliest script of ordinary text (a
// script broken by a dictionary), where it costs more; one the colour emoji font draws a
// kShownParagraphPictographs-th of the paragraph, as that font's glyphs are read again for their
// sizes at each layout, far past their price, which only the count a text shows bounds.
int ParagraphWidth(uint i_code, int i_width, const CharacterFont& i_font)
{
    if (i_code < 0x100)
        return i_width;
    if (i_font.pictograph)
        return kLongestShownParagraph / kShownParagraphPictographs;
    return i_width * std::max(1, CharacterCost(i_code, i_font) / 5);
}

// How much of the text the view is given: the units before the first one that would bring the
// cost past the budget, the pictographs past i_pictographs or the characters no font draws
// past kShownUndrawn. Marks past kShownMarks in a row cost nothing, as they are dropped.
int AffordableLength(const QString& i_text, const std::vector<int>* ip_widths, int i_budget, int i_pictographs)
{
    FontAnswers* fonts = MachineFonts();
    RunCounter pieces;
    qint64 cost = 0;
    int marks = 0;
    int pictographs = 0;
    int undrawn = 0;
    // What the view is handed, in units, and where that passes kShownUnits: the cut of a text that
    // holds a character outside Latin-1.
    int units = 0;
    int unitsCut = -1;
    bool latin1 = true;
    NewToView fresh;
    // What the characters not shown before cost the first time, bound apart from the cost: a view
    // that lays a text out at each paint (a list row) pays it once.
    qint64 firstSight = 0;
    for (int at = 0; at < i_text.size();)
    {
        const bool pair =
            at + 1 < i_text.size() && i_text.at(at).isHighSurrogate() && i_text.at(at + 1).isLowSurrogate();
        const uint code = pair ? QChar::surrogateToUcs4(i_text.at(at), i_text.at(at + 1)) : i_text.at(at).unicode();
        marks = IsMark(code) ? marks + 1 : 0;
        if (marks <= kShownMarks)
        {
            // A line or paragraph break (in a description) costs the view as a change of piece does.
            const bool lineBreak =
                code == '\n' || code == QChar::LineSeparator || code == QChar::ParagraphSeparator || IsFrameMark(code);
            const int width = ip_widths ? std::max(1, (*ip_widths)[size_t(at)]) : 1;
            CharacterFont font = FontOf(code, fonts, fresh);
            if (font.unasked)
                return at;
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
            cost += CharacterCost(code, font) * width + (pieces.Changes(code) || lineBreak ? kShownRunCost : 0);
            firstSight += font.firstSight;
            pictographs += isPictograph ? 1 : 0;
            undrawn += isUndrawn ? 1 : 0;
            if (cost > i_budget || firstSight > kShownFirstSightBudget || pictographs > i_pictographs
                || undrawn > kShownUndrawn)
                return at;
            units += width + (pair ? 1 : 0);
            if (units > kShownUnits && unitsCut < 0)
                unitsCut = at;
            latin1 = latin1 && IsPrintableLatin1(code);
            if (unitsCut >= 0 && !latin1)
                return unitsCut;
        }
        at += pair ? 2 : 1;
    }
    return i_text.size();
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
    // Every character shown was asked about in the cost's count.
    FontAnswers* fonts = MachineFonts();
    NewToView fresh;
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
        for (int at = start; at < end;)
        {
            const bool pair = at + 1 < end && shown.at(at).isHighSurrogate() && shown.at(at + 1).isLowSurrogate();
            const int units = pair ? 2 : 1;
            const bool mark =
                IsMark(pair ? QChar::surrogateToUcs4(shown.at(at), shown.at(at + 1)) : shown.at(at).unicode());
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
        const int paragraphWidth = ParagraphWidth(first, width, FontOf(first, fonts, fresh));
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

int MeasuredCost(int i_script, int i_measured)
{
    // A script already priced as one whose font the view looks for takes what its font measures
    // above that. Over the last third of the margin the price rises three times as fast as the
    // measure: a measure comes out a little under the margin as often as a little over it.
    const int margin = i_script >= kShownSearchedCost ? 0 : kSlowFontMargin;
    const int rampFrom = i_script + margin * 2 / 3;
    return i_measured > rampFrom ? std::min(i_measured, i_script + 3 * (i_measured - rampFrom)) : i_script;
}

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
