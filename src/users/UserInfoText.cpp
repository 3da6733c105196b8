#include "UserInfoText.h"

#include <QImage>
#include <QTextDocument>
#include <QUrl>

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
constexpr int kLongestRun = 64;
constexpr int kLongestEntity = 32;

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
}

void UserInfoText::SetPicture(const QImage& i_picture)
{
    static_cast<PictureOnlyDocument*>(document())->m_picture = i_picture;
}

QString UserInfoText::SafeDescription(const QString& i_html)
{
    QString out;
    out.reserve(i_html.size());
    QStringList open;
    int run = 0;
    int entity = -1; // characters read of an entity being read
    const int length = i_html.size();
    int pos = 0;
    while (pos < length)
    {
        const QChar c = i_html.at(pos);
        if (c == QLatin1Char('>'))
        {
            out += QLatin1String("&gt;");
            ++pos;
            continue;
        }
        if (c != QLatin1Char('<'))
        {
            // A long run without a blank gets places to break, as chat lines do: one unbroken
            // run costs the layout time that grows with its square. Never inside an entity.
            if (c.isSpace())
                run = 0;
            else if (++run > kLongestRun && entity < 0)
            {
                out += QChar(0x200B);
                run = 1;
            }
            if (c == QLatin1Char('&'))
                entity = 0;
            else if (entity >= 0 && (c == QLatin1Char(';') || c.isSpace() || ++entity > kLongestEntity))
                entity = -1;
            out += c;
            ++pos;
            continue;
        }
        if (i_html.midRef(pos, 4) == QLatin1String("<!--"))
        {
            const int end = i_html.indexOf(QLatin1String("-->"), pos + 4);
            pos = end < 0 ? length : end + 3;
            continue;
        }
        const int end = i_html.indexOf(QLatin1Char('>'), pos + 1);
        if (end < 0)
        {
            out += QLatin1String("&lt;");
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
            out += QLatin1String("<br>");
            continue;
        }
        if (!IsKeptTag(tag))
            continue;
        if (closing)
        {
            const int at = open.lastIndexOf(tag);
            if (at < 0)
                continue;
            while (open.size() > at)
                out += QLatin1String("</") + open.takeLast() + QLatin1Char('>');
            continue;
        }
        if (open.size() >= kMaxDepth)
            continue;
        if (tag == QLatin1String("a"))
        {
            const QString href = HttpHref(inside.mid(nameEnd).toString());
            out += href.isEmpty() ? QStringLiteral("<a>") : QStringLiteral("<a href=\"%1\">").arg(href);
        }
        else
            out += QLatin1Char('<') + tag + QLatin1Char('>');
        open.append(tag);
    }
    while (!open.isEmpty())
        out += QLatin1String("</") + open.takeLast() + QLatin1Char('>');
    return out;
}
