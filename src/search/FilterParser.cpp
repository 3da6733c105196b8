#include "FilterParser.h"

#include "PeerSchema.h"

#include <QVector>

#include <limits>

namespace
{
// A megabyte of the filter is 10^6 bytes.
constexpr qint64 BytesPerMegabyte = 1000000;

// The rest of the token after the first prefix it begins with, case-sensitively.
bool TakePrefix(const QStringRef& i_token, QLatin1String i_long, QLatin1String i_short, QStringRef& o_rest)
{
    for (const QLatin1String prefix : {i_long, i_short})
    {
        if (i_token.startsWith(prefix))
        {
            o_rest = i_token.mid(prefix.size());
            return true;
        }
    }
    return false;
}

// Megabytes to bytes, held at the ends of the range: a limit too large to hold lets nothing
// through, as the user asked.
qint64 MegabytesToBytes(qint64 i_megabytes)
{
    constexpr qint64 most = std::numeric_limits<qint64>::max();
    constexpr qint64 least = std::numeric_limits<qint64>::min();
    if (i_megabytes > most / BytesPerMegabyte)
        return most;
    if (i_megabytes < least / BytesPerMegabyte)
        return least;
    return i_megabytes * BytesPerMegabyte;
}

// The file's attribute of that type, or null when its type carries no such attribute (the
// trees of own and browsed files hold other file types than the search results).
ItemPtr Attribute(const ItemPtr& i_file, const char* i_type)
{
    Type* fileType = i_file.GetType();
    Data* data = fileType ? fileType->GetData() : nullptr;
    Type* type = data && data->HasType(i_type) ? data->GetType(i_type) : nullptr;
    return type && fileType->IsRelatedTo(type) ? i_file[type] : ItemPtr();
}
} // namespace

void FilterParser::Parse(const QString& i_text)
{
    const QVector<QStringRef> tokens = i_text.splitRef(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QStringRef& token : tokens)
    {
        QStringRef rest;
        if (token.startsWith(QLatin1Char('-')))
        {
            // Nothing after a dash is a special token; a lone dash means nothing.
            if (token.size() > 1)
                m_excludedWords << token.mid(1).toString();
        }
        else if (token == QLatin1String("isvbr"))
        {
            m_variableBitrateOnly = true;
            m_hasAttributes = true;
        }
        else if (token == QLatin1String("iscbr"))
        {
            m_constantBitrateOnly = true;
            m_hasAttributes = true;
        }
        else if (TakePrefix(token, QLatin1String("minbitrate:"), QLatin1String("mbr:"), rest))
        {
            m_minBitrate = rest.toInt();
            m_hasAttributes = true;
        }
        else if (TakePrefix(token, QLatin1String("minfilesize:"), QLatin1String("mfs:"), rest))
        {
            m_minFileSize = MegabytesToBytes(rest.toLongLong());
            m_hasAttributes = true;
        }
        else if (TakePrefix(token, QLatin1String("minfilesinfolder:"), QLatin1String("mfif:"), rest))
        {
            m_minFilesInFolder = rest.toInt();
        }
        else
        {
            m_includedWords << token.toString();
        }
    }
}

bool FilterParser::IsFileRejected(const ItemPtr& i_file) const
{
    if (m_variableBitrateOnly || m_constantBitrateOnly)
    {
        const QString mode = Attribute(i_file, types::kBitrateMode).AsString();
        if (m_variableBitrateOnly && mode != QLatin1String("vbr"))
            return true;
        if (m_constantBitrateOnly && mode != QLatin1String("cbr"))
            return true;
    }
    if (m_minBitrate != 0 && Attribute(i_file, types::kBitrate).AsInt() < m_minBitrate)
        return true;
    return m_minFileSize != 0 && Attribute(i_file, types::kFileSize).AsInt64() < m_minFileSize;
}

int FilterParser::IsMatching(const QString& i_text, FilterParser* op_remainder, const ItemPtr& i_file) const
{
    if (op_remainder)
    {
        op_remainder->m_includedWords.clear();
        op_remainder->m_excludedWords.clear();
    }
    if (!i_file.IsNull() && IsFileRejected(i_file))
        return Rejected;
    if (op_remainder)
    {
        op_remainder->m_variableBitrateOnly = m_variableBitrateOnly;
        op_remainder->m_constantBitrateOnly = m_constantBitrateOnly;
        op_remainder->m_minBitrate = m_minBitrate;
        op_remainder->m_minFileSize = m_minFileSize;
        op_remainder->m_minFilesInFolder = m_minFilesInFolder;
        op_remainder->m_hasAttributes = m_hasAttributes;
    }
    for (const QString& word : m_excludedWords)
        if (i_text.contains(word, Qt::CaseInsensitive))
            return Rejected;
    if (op_remainder)
        op_remainder->m_excludedWords = m_excludedWords;
    bool passedOn = false;
    for (const QString& word : m_includedWords)
    {
        if (i_text.contains(word, Qt::CaseInsensitive))
            continue;
        if (!op_remainder)
            return WordsMissing;
        op_remainder->m_includedWords << word;
        passedOn = true;
    }
    return passedOn ? WordsMissing : Matching;
}
