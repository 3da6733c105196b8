#include "TextUtils.h"

#include "ExtendedAsciiTranslator.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTextCodec>
#include <QUrl>

#include <algorithm>
#include <cstring>

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

QString BreakableText(const QString& i_text)
{
    constexpr int kLongestRun = 64;
    QString text;
    int run = 0;
    for (const QChar c : i_text)
    {
        if (c.isSpace())
            run = 0;
        else if (++run > kLongestRun)
        {
            text += QChar(0x200B);
            run = 1;
        }
        text += c;
    }
    return text;
}

QString EscapeWithLinks(const QString& i_text)
{
    QString html;
    int done = 0;
    QRegularExpressionMatchIterator links = WebLink().globalMatch(i_text);
    while (links.hasNext())
    {
        const QRegularExpressionMatch match = links.next();
        const QString address = match.captured(1);
        html += EscapeHTML(BreakableText(i_text.mid(done, match.capturedStart(1) - done)));
        html += QStringLiteral("<a href=\"%1\">%2</a>").arg(EscapeHTML(address), EscapeHTML(BreakableText(address)));
        done = match.capturedEnd(1);
    }
    return html + EscapeHTML(BreakableText(i_text.mid(done)));
}

bool IsWebLink(const QUrl& i_url)
{
    const QString scheme = i_url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

QString IsolatedName(const QString& i_name)
{
    // Names of left-to-right letters, digits and punctuation only cannot reorder anything, and
    // stay as they are. Isolates the name opens itself are closed before its own.
    bool reorders = false;
    int openIsolates = 0;
    for (const QChar c : i_name)
    {
        switch (c.direction())
        {
        case QChar::DirLRI:
        case QChar::DirRLI:
        case QChar::DirFSI:
            ++openIsolates;
            reorders = true;
            break;
        case QChar::DirPDI:
            openIsolates = std::max(0, openIsolates - 1);
            reorders = true;
            break;
        case QChar::DirR:
        case QChar::DirAL:
        case QChar::DirAN:
        case QChar::DirLRE:
        case QChar::DirLRO:
        case QChar::DirRLE:
        case QChar::DirRLO:
        case QChar::DirPDF: reorders = true; break;
        default: break;
        }
    }
    if (!reorders)
        return i_name;
    return QChar(0x2068) + i_name + QString(openIsolates + 1, QChar(0x2069));
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
