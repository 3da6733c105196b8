#include "SearchWords.h"

#include <algorithm>

namespace
{
void AddWord(const QChar* ip_begin, const QChar* ip_end, std::vector<std::string>& o_words)
{
    std::string word;
    word.reserve(static_cast<size_t>(ip_end - ip_begin));
    bool ascii = true;
    for (const QChar* p = ip_begin; p != ip_end; ++p)
    {
        if (p->unicode() >= 0x80)
        {
            ascii = false;
            break;
        }
        word.push_back(static_cast<char>(p->unicode()));
    }
    if (!ascii)
    {
        const QByteArray utf8 = QString(ip_begin, static_cast<int>(ip_end - ip_begin)).toUtf8();
        word.assign(utf8.constData(), static_cast<size_t>(utf8.size()));
    }
    if (std::find(o_words.begin(), o_words.end(), word) == o_words.end())
        o_words.push_back(std::move(word));
}

template<typename IsSeparator>
void Split(const QString& i_text, IsSeparator i_isSeparator, std::vector<std::string>& o_words)
{
    const QChar* p = i_text.constData();
    const QChar* const end = p + i_text.size();
    while (p != end)
    {
        while (p != end && i_isSeparator(*p))
            ++p;
        const QChar* start = p;
        while (p != end && !i_isSeparator(*p))
            ++p;
        if (p != start)
            AddWord(start, p, o_words);
    }
}
} // namespace

void SplitSearchWords(const QString& i_lowerText, std::vector<std::string>& o_words)
{
    Split(i_lowerText, IsSearchWordSeparator, o_words);
    Split(
        i_lowerText, [](QChar c) { return c.unicode() == ' ' || c.unicode() == '/' || c.unicode() == '\\'; }, o_words);
}
