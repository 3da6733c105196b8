#pragma once

#include "Data.h"

#include <QString>
#include <QStringList>

// The filter language of the result trees: words that must occur, "-"words that must not, and
// tokens that limit files by their attributes (isvbr, iscbr, minbitrate:, minfilesize:,
// minfilesinfolder: and their short forms). The language has no errors: every token means
// something.
class FilterParser
{
public:
    enum Match
    {
        Matching = 0,
        WordsMissing = 1,
        Rejected = 2
    };

    FilterParser() = default;

    // Adds what the text says; parse into a fresh parser.
    void Parse(const QString& i_text);

    // Matches one row's text and, when given, the file's data item. With a remainder, the
    // included words the text lacks are handed on to it (with every excluded word and limit)
    // instead of failing at once, so a folder can leave to its files what it does not satisfy.
    int IsMatching(const QString& i_text, FilterParser* op_remainder, const ItemPtr& i_file) const;

    bool HasAttributes() const { return m_hasAttributes; }
    int MinFilesInFolder() const { return m_minFilesInFolder; }
    int MinBitrate() const { return m_minBitrate; }
    qint64 MinFileSize() const { return m_minFileSize; }
    bool IsVariableBitrateOnly() const { return m_variableBitrateOnly; }
    bool IsConstantBitrateOnly() const { return m_constantBitrateOnly; }
    const QStringList& IncludedWords() const { return m_includedWords; }
    const QStringList& ExcludedWords() const { return m_excludedWords; }

private:
    bool IsFileRejected(const ItemPtr& i_file) const;

    QStringList m_includedWords;
    QStringList m_excludedWords;
    int m_minBitrate = 0;
    bool m_variableBitrateOnly = false;
    bool m_constantBitrateOnly = false;
    qint64 m_minFileSize = 0;
    int m_minFilesInFolder = 0;
    bool m_hasAttributes = false;
};
