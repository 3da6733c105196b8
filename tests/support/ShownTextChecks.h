#pragma once

// What makes a shown text costly to lay out, measured on the text a view holds: the longest run
// the view cannot break, and the most combining marks on one character.

#include <QList>
#include <QString>
#include <QTextBoundaryFinder>

#include <algorithm>

// The most UTF-16 units between two places where a line may break.
inline int LongestUnbrokenRun(const QString& i_text)
{
    QTextBoundaryFinder lines(QTextBoundaryFinder::Line, i_text);
    int longest = 0;
    int previous = 0;
    for (int at = lines.toNextBoundary(); at > 0; at = lines.toNextBoundary())
    {
        longest = std::max(longest, at - previous);
        previous = at;
    }
    return std::max(longest, int(i_text.size()) - previous);
}

// The most combining marks in a row.
inline int MostMarksInARow(const QString& i_text)
{
    int most = 0;
    int row = 0;
    for (const uint code : i_text.toUcs4())
    {
        const QChar::Category category = QChar::category(code);
        if (category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining
            || category == QChar::Mark_Enclosing)
            most = std::max(most, ++row);
        else
            row = 0;
    }
    return most;
}

// Whether every zero-width space stands between two grapheme clusters of the text without them.
inline bool BreaksBetweenCharacters(const QString& i_text)
{
    QString without;
    QList<int> breaks;
    for (const QChar c : i_text)
    {
        if (c == QChar(0x200B))
            breaks << without.size();
        else
            without += c;
    }
    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, without);
    return std::all_of(breaks.cbegin(), breaks.cend(), [&clusters](int i_at) {
        clusters.setPosition(i_at);
        return clusters.isAtBoundary();
    });
}

// What a view shows of a text, without its break points and paragraph starts, and without the
// "…" that ends a cut text; op_cut tells whether it had one.
inline QString ShownWithoutBreaks(const QString& i_shown, bool* op_cut)
{
    QString shown = QString(i_shown).remove(QChar(0x200B)).remove(QChar::ParagraphSeparator);
    *op_cut = shown.endsWith(QChar(0x2026));
    if (*op_cut)
        shown.chop(1);
    return shown;
}
