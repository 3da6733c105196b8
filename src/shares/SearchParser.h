#pragma once

#include <QString>

#include <set>

// One search query split into the words it must hold, the words it may hold inside longer words
// ("*word") and the words it must not hold ("-word"); "quoted text" keeps its blanks.
class SearchParser
{
public:
    using TokenSet = std::set<QString>;

    // Blank and tab; nothing else separates words.
    static const char* Whitespace();

    // Adds the query's words to the sets; true when the query is valid. An invalid query keeps
    // the words read before the fault.
    bool SetSearchText(QString i_text);
    bool Tokenize(QString i_text);

    const TokenSet& GetIncludedTokenSet() const { return m_included; }
    const TokenSet& GetIncludedPartTokenSet() const { return m_includedPart; }
    const TokenSet& GetExcludedTokenSet() const { return m_excluded; }

    // Substring tests on the lower-cased text; true with no words at all.
    bool IsMatch(QString i_text) const;

private:
    TokenSet m_included;
    TokenSet m_includedPart;
    TokenSet m_excluded;
};
