#pragma once

#include <QChar>
#include <QString>

#include <string>
#include <vector>

// Word rules of the search index. Digits, ASCII letters and the Latin-1 range make words;
// every other character up to U+007F and everything from U+0100 on separates them.
inline bool IsSearchWordSeparator(QChar i_char)
{
    const ushort c = i_char.unicode();
    if (c >= 0x80)
        return c >= 0x100;
    return !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
}

// Appends to o_words the distinct words of an already lower-cased text, as UTF-8: first the runs
// of word characters, then the runs between blanks, "/" and "\". Words already in o_words are
// not added again, so one call may collect the words of several texts.
void SplitSearchWords(const QString& i_lowerText, std::vector<std::string>& o_words);
