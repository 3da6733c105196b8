#include "SearchParser.h"

#include <QByteArray>

#include <cstring>

namespace
{
bool IsBlank(char i_char)
{
    return i_char == ' ' || i_char == '\t';
}
} // namespace

const char* SearchParser::Whitespace()
{
    return " \t";
}

bool SearchParser::SetSearchText(QString i_text)
{
    return Tokenize(std::move(i_text));
}

bool SearchParser::Tokenize(QString i_text)
{
    const QByteArray bytes = i_text.toLower().toUtf8();
    // A NUL ends the text, as it would in the C string the words were once cut from.
    const char* const text = bytes.constData();
    const size_t length = std::strlen(text);

    size_t pos = 0;
    while (true)
    {
        while (pos < length && IsBlank(text[pos]))
            ++pos;
        if (pos == length)
            return !m_included.empty() || !m_includedPart.empty();

        TokenSet* target = &m_included;
        if (text[pos] == '-')
        {
            target = &m_excluded;
            ++pos;
        }
        else if (text[pos] == '*')
        {
            target = &m_includedPart;
            ++pos;
        }
        if (pos == length)
            return false;

        size_t start = pos;
        size_t end = pos;
        bool closingQuote = false;
        if (text[pos] == '"')
        {
            start = ++pos;
            const char* quote = static_cast<const char*>(std::memchr(text + start, '"', length - start));
            end = quote ? size_t(quote - text) : length;
            closingQuote = quote != nullptr;
        }
        else
        {
            end = start;
            while (end < length && !IsBlank(text[end]))
                ++end;
        }
        pos = closingQuote ? end + 1 : end;

        if (end == start || std::memchr(text + start, '"', end - start))
            return false;
        target->insert(QString::fromUtf8(text + start, int(end - start)));
    }
}

bool SearchParser::IsMatch(QString i_text) const
{
    const QString lower = i_text.toLower();
    for (const QString& token : m_included)
        if (!lower.contains(token))
            return false;
    for (const QString& token : m_includedPart)
        if (!lower.contains(token))
            return false;
    for (const QString& token : m_excluded)
        if (lower.contains(token))
            return false;
    return true;
}
