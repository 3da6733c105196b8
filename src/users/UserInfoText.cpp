#include "UserInfoText.h"

#include "TextUtils.h"

#include <QImage>
#include <QTextDocument>
#include <QUrl>

#include <algorithm>
#include <vector>

const QString UserInfoText::PictureName = QStringLiteral("UserImage");

namespace
{
// A document asks its own loadResource for every image and style sheet it names. An empty answer
// makes the text layout load the name from disk itself, so every other name gets a blank pixel.
class PictureOnlyDocument : public QTextDocument
{
public:
    using QTextDocument::QTextDocument;

    QImage m_picture;

protected:
    QVariant loadResource(int i_type, const QUrl& i_name) override
    {
        if (i_type != ImageResource)
            return QVariant();
        if (i_name.toString() == UserInfoText::PictureName && !m_picture.isNull())
            return m_picture;
        static const QImage blank = [] {
            QImage image(1, 1, QImage::Format_ARGB32);
            image.fill(Qt::transparent);
            return image;
        }();
        return blank;
    }
};

constexpr int kMaxDepth = 8;
constexpr int kMaxKeptTags = 500;
// The longest entity name or number read as one; the view's own reader takes no longer ones.
constexpr int kLongestEntity = 16;

// Tags whose content is not text either.
bool IsHiddenBlock(const QString& i_tag)
{
    return i_tag == QLatin1String("style") || i_tag == QLatin1String("script") || i_tag == QLatin1String("head")
           || i_tag == QLatin1String("title");
}

bool IsKeptTag(const QString& i_tag)
{
    static const QStringList kept = {QStringLiteral("b"),  QStringLiteral("strong"), QStringLiteral("i"),
                                     QStringLiteral("em"), QStringLiteral("u"),      QStringLiteral("p"),
                                     QStringLiteral("a")};
    return kept.contains(i_tag);
}

// The href of an anchor's attributes when it is an http(s) address, escaped for an attribute.
QString HttpHref(const QString& i_attributes)
{
    const int at = i_attributes.indexOf(QLatin1String("href"), 0, Qt::CaseInsensitive);
    if (at < 0)
        return QString();
    int pos = at + 4;
    while (pos < i_attributes.size() && i_attributes.at(pos).isSpace())
        ++pos;
    if (pos >= i_attributes.size() || i_attributes.at(pos) != QLatin1Char('='))
        return QString();
    ++pos;
    while (pos < i_attributes.size() && i_attributes.at(pos).isSpace())
        ++pos;
    QString value;
    if (pos < i_attributes.size()
        && (i_attributes.at(pos) == QLatin1Char('"') || i_attributes.at(pos) == QLatin1Char('\'')))
    {
        const QChar quote = i_attributes.at(pos);
        const int end = i_attributes.indexOf(quote, pos + 1);
        value = i_attributes.mid(pos + 1, end < 0 ? -1 : end - pos - 1);
    }
    else
    {
        int end = pos;
        while (end < i_attributes.size() && !i_attributes.at(end).isSpace())
            ++end;
        value = i_attributes.mid(pos, end - pos);
    }
    const QString scheme = QUrl(value).scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return QString();
    return value.toHtmlEscaped();
}
} // namespace

UserInfoText::UserInfoText(QWidget* ip_parent)
    : QTextBrowser(ip_parent)
{
    setDocument(new PictureOnlyDocument(this));
    setOpenLinks(false);
    // A scroll bar that comes and goes narrows the page, and the whole text is laid out again.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void UserInfoText::SetPicture(const QImage& i_picture)
{
    static_cast<PictureOnlyDocument*>(document())->m_picture = i_picture;
}

namespace
{
// The description's text as the view will hold it, one or two units per character, beside
// what each unit is written as: the grapheme clusters and blanks that decide what shows and
// where a line may break are those of the text, not of its markup. The markup kept sits
// before the unit it precedes.
struct ShownDescription
{
    QString text;
    std::vector<int> widths;
    // Per unit: where its source is in the description, or one of the written forms below.
    std::vector<int> sourceAt;
    std::vector<int> sourceLength;
    std::vector<std::pair<int, QString>> markup; // unit index, markup before it

    static constexpr int kLessThan = -1;
    static constexpr int kGreaterThan = -2;
    static constexpr int kNothing = -3;
    static constexpr int kLineBreak = -4;

    void Add(uint i_code, int i_at, int i_length, int i_width = 1)
    {
        if (QChar::requiresSurrogates(i_code))
        {
            text += QChar(QChar::highSurrogate(i_code));
            text += QChar(QChar::lowSurrogate(i_code));
            widths.insert(widths.end(), {i_width, 0});
            sourceAt.insert(sourceAt.end(), {i_at, kNothing});
            sourceLength.insert(sourceLength.end(), {i_length, 0});
            return;
        }
        text += QChar(char16_t(i_code));
        widths.push_back(i_width);
        sourceAt.push_back(i_at);
        sourceLength.push_back(i_length);
    }
    void AddMarkup(const QString& i_markup)
    {
        if (!markup.empty() && markup.back().first == text.size())
            markup.back().second += i_markup;
        else
            markup.emplace_back(text.size(), i_markup);
    }
    // A paragraph break, as the view holds it: no character runs over it.
    void AddParagraphBreak(const QString& i_markup)
    {
        AddMarkup(i_markup);
        Add(QChar::ParagraphSeparator, kNothing, 0);
    }
    // A line break, as the view holds it: written as "<br>", or as a paragraph break where a
    // paragraph starts.
    void AddLineBreak() { Add(QChar::LineSeparator, kLineBreak, 0); }
};

// The length of the entity at i_at ("&amp;", "&#769;", "&#x301;"), 0 when none starts there.
int EntityLength(const QString& i_html, int i_at)
{
    const int end = std::min(i_html.size(), i_at + 2 + kLongestEntity);
    for (int pos = i_at + 1; pos < end; ++pos)
    {
        const QChar c = i_html.at(pos);
        if (c == QLatin1Char(';'))
            return pos > i_at + 1 ? pos - i_at + 1 : 0;
        if (c.unicode() > 0x7f || !(c.isLetterOrNumber() || c == QLatin1Char('#')))
            return 0;
    }
    return 0;
}

// The character a numeric entity stands for; 0 for a named or invalid one.
uint EntityCode(const QStringRef& i_entity)
{
    if (i_entity.size() < 4 || i_entity.at(1) != QLatin1Char('#'))
        return 0;
    const bool hex = i_entity.at(2) == QLatin1Char('x') || i_entity.at(2) == QLatin1Char('X');
    bool ok = false;
    const uint code = i_entity.mid(hex ? 3 : 2, i_entity.size() - (hex ? 4 : 3)).toUInt(&ok, hex ? 16 : 10);
    if (!ok || code == 0 || code > 0x10ffff || QChar::isSurrogate(code))
        return 0;
    return code;
}
} // namespace

QString UserInfoText::SafeDescription(const QString& i_html)
{
    ShownDescription shown;
    QStringList open;
    int keptTags = 0;
    const int length = i_html.size();
    int nextClose = -2; // where the next ">" is, once looked for; -1 for none
    int pos = 0;
    while (pos < length)
    {
        const QChar c = i_html.at(pos);
        if (c == QLatin1Char('>'))
        {
            shown.Add('>', ShownDescription::kGreaterThan, 1);
            ++pos;
            continue;
        }
        if (c == QLatin1Char('&'))
        {
            // An entity is never broken inside. A numeric one is the character it stands for; a
            // named one stands for some letter, which is all its place among the clusters needs,
            // and counts as wide as it is written, since the view shows one it does not know as
            // it is.
            const int entity = EntityLength(i_html, pos);
            if (entity > 0)
            {
                const uint code = EntityCode(i_html.midRef(pos, entity));
                shown.Add(code != 0 ? code : 'x', pos, entity, code != 0 ? 1 : entity);
                pos += entity;
                continue;
            }
        }
        if (c != QLatin1Char('<'))
        {
            const bool pair = c.isHighSurrogate() && pos + 1 < length && i_html.at(pos + 1).isLowSurrogate();
            shown.Add(pair ? QChar::surrogateToUcs4(c, i_html.at(pos + 1)) : c.unicode(), pos, pair ? 2 : 1);
            pos += pair ? 2 : 1;
            continue;
        }
        if (i_html.midRef(pos, 4) == QLatin1String("<!--"))
        {
            const int end = i_html.indexOf(QLatin1String("-->"), pos + 4);
            pos = end < 0 ? length : end + 3;
            continue;
        }
        // Each "<" of a long run without ">" would otherwise look for one to the end of the text.
        if (nextClose != -1 && nextClose <= pos)
            nextClose = i_html.indexOf(QLatin1Char('>'), pos + 1);
        const int end = nextClose;
        if (end < 0)
        {
            shown.Add('<', ShownDescription::kLessThan, 1);
            ++pos;
            continue;
        }
        const QStringRef inside = i_html.midRef(pos + 1, end - pos - 1);
        pos = end + 1;
        const bool closing = inside.startsWith(QLatin1Char('/'));
        int nameEnd = closing ? 1 : 0;
        while (nameEnd < inside.size() && inside.at(nameEnd).isLetterOrNumber())
            ++nameEnd;
        const QString tag = inside.mid(closing ? 1 : 0, nameEnd - (closing ? 1 : 0)).toString().toLower();
        if (!closing && IsHiddenBlock(tag))
        {
            const int close = i_html.indexOf(QLatin1String("</") + tag, pos, Qt::CaseInsensitive);
            const int closeEnd = close < 0 ? -1 : i_html.indexOf(QLatin1Char('>'), close);
            pos = closeEnd < 0 ? length : closeEnd + 1;
            continue;
        }
        if (tag == QLatin1String("br"))
        {
            shown.AddLineBreak();
            continue;
        }
        // Each kept tag is a change of format the view lays out as a piece of its own: past the
        // first few hundred the text goes on in the format it has.
        if (!IsKeptTag(tag) || (!closing && keptTags >= kMaxKeptTags))
            continue;
        const bool paragraph = tag == QLatin1String("p");
        if (closing)
        {
            const int at = open.lastIndexOf(tag);
            if (at < 0)
                continue;
            QString closed;
            while (open.size() > at)
                closed += QLatin1String("</") + open.takeLast() + QLatin1Char('>');
            if (paragraph)
                shown.AddParagraphBreak(closed);
            else
                shown.AddMarkup(closed);
            continue;
        }
        if (open.size() >= kMaxDepth)
            continue;
        ++keptTags;
        if (tag == QLatin1String("a"))
        {
            const QString href = HttpHref(inside.mid(nameEnd).toString());
            shown.AddMarkup(href.isEmpty() ? QStringLiteral("<a>") : QStringLiteral("<a href=\"%1\">").arg(href));
        }
        else if (paragraph)
            shown.AddParagraphBreak(QStringLiteral("<p>"));
        else
            shown.AddMarkup(QLatin1Char('<') + tag + QLatin1Char('>'));
        open.append(tag);
    }
    // What shows of the text: a long run without a blank gets places to break, as chat lines do,
    // a character sheds the marks that would cost the layout more than it can show, and a text
    // that would cost more than the longest plain one is cut.
    const ShownPlan plan = PlanShownText(shown.text, &shown.widths);
    QString closing = plan.cut ? QString(QChar(0x2026)) : QString();
    while (!open.isEmpty())
        closing += QLatin1String("</") + open.takeLast() + QLatin1Char('>');
    shown.AddMarkup(closing);

    QString out;
    out.reserve(length + length / kLongestUnbrokenRun + 16);
    // Past a cut only the closing markup goes on: the markup of what is not shown would still
    // make paragraphs.
    int shownEnd = shown.text.size();
    if (plan.cut)
        while (shownEnd > 0 && plan.units[size_t(shownEnd - 1)] == ShownUnit::Dropped)
            --shownEnd;
    auto markup = shown.markup.cbegin();
    for (int unit = 0; unit <= shown.text.size(); ++unit)
    {
        for (; markup != shown.markup.cend() && markup->first == unit; ++markup)
            if (unit <= shownEnd || unit == shown.text.size())
                out += markup->second;
        if (unit == shown.text.size() || plan.units[size_t(unit)] == ShownUnit::Dropped)
            continue;
        if (plan.units[size_t(unit)] == ShownUnit::BreakBefore)
            out += QChar(0x200B);
        else if (plan.units[size_t(unit)] == ShownUnit::ParagraphBefore)
        {
            out += QChar(QChar::ParagraphSeparator);
            if (shown.text.at(unit) == QChar::LineSeparator)
                continue;
        }
        const int at = shown.sourceAt[size_t(unit)];
        if (shown.text.at(unit) != ShownCharacter(shown.text.at(unit)))
            out += ShownCharacter(shown.text.at(unit));
        else if (at >= 0)
            out += i_html.midRef(at, shown.sourceLength[size_t(unit)]);
        else if (at == ShownDescription::kLessThan)
            out += QLatin1String("&lt;");
        else if (at == ShownDescription::kGreaterThan)
            out += QLatin1String("&gt;");
        else if (at == ShownDescription::kLineBreak)
            out += QLatin1String("<br>");
    }
    return out;
}
