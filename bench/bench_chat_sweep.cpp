// A peer's chat line of every pair of character classes, at the longest line a peer can send,
// in a room's view and in a private chat's view, each shown and painted as the user waits: each
// pair once, the ten slowest of each view again three times, the slowest median the figure (its
// pair on a line of its own); and a plain line after the slowest pair's line, in a room that has
// just opened and in a full one.

#include "EngineStack.h"
#include "TimedViews.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace
{
// Classes of characters, each by a few of its members.
const std::vector<std::pair<const char*, std::u32string>>& Classes()
{
    static const std::vector<std::pair<const char*, std::u32string>> classes = {
        {"latin letters", U"ae"},
        {"latin-1 letters", U"\u00E9\u00DF"},
        {"latin extended letters", U"\u0101\u1E00"},
        {"greek", U"\u03B1\u03C9"},
        {"cyrillic", U"\u0434\u0416"},
        {"armenian", U"\u0561"},
        {"hebrew", U"\u05D0\u05E9"},
        {"arabic", U"\u0628\u0644"},
        {"syriac", U"\u0710\u0712"},
        {"devanagari", U"\u0915\u093F"},
        {"bengali", U"\u0995\u09CD"},
        {"tamil", U"\u0B95\u0BCD"},
        {"thai", U"\u0E01\u0E32"},
        {"lao", U"\u0E81"},
        {"tibetan", U"\u0F40"},
        {"myanmar", U"\u1000\u103A"},
        {"georgian", U"\u10D0"},
        {"ethiopic", U"\u1200"},
        {"khmer", U"\u1780\u17D2"},
        {"mongolian", U"\u1820"},
        {"han", U"\u4E2D\u6587"},
        {"han beyond the first plane", U"\U00020000"},
        {"hiragana", U"\u3042"},
        {"katakana", U"\u30A2\u30FC"},
        {"hangul syllables", U"\uAC00\uD7A3"},
        {"hangul jamo", U"\u1100\u1161\u11A8"},
        {"hangul compatibility jamo", U"\u3131"},
        {"adlam", U"\U0001E900"},
        {"math letters", U"\U0001D400"},
        {"digits", U"19"},
        {"signs in latin-1", U"!,\u00A7\u00B1"},
        {"signs outside latin-1", U"\u2030\u2020\u2103\u20A9\u2032\u02C9\u2022"},
        {"wide forms", U"\uFF11\uFF21"},
        {"east asian punctuation", U"\u3001\u3002"},
        {"symbols", U"\u2605\u2211\u2190"},
        {"box drawing", U"\u2500\u2588"},
        {"pictographs", U"\U0001F600\U0001F44B"},
        {"pictographs that take a skin tone", U"\U0001F44B\u261D\U0001F469\u270C"},
        {"skin tones", U"\U0001F3FB\U0001F3FD"},
        {"regional indicators", U"\U0001F1E9\U0001F1EA"},
        {"emoji modifiers and flags", U"\U0001F3FD\U0001F1E9"},
        {"variation selectors", U"\uFE0F"},
        {"zero-width joiners", U"\u200D"},
        {"combining marks", U"\u0301"},
        {"enclosing marks", U"\u20DD"},
        {"spaces", U" "},
        {"no-break spaces", U"\u00A0\u202F"},
        {"other spaces", U"\u2003\u3000\u2009"},
        {"tabs", U"\t"},
        {"line breaks", U"\n\u2028"},
        {"controls", std::u32string(U"\u0001\u007F\u0085", 3) + char32_t(0)},
        {"format characters", U"\u200B\u200D\u200C\u2060\u00AD"},
        {"direction marks", U"\u200E\u200F\u061C"},
        {"embeddings and overrides", U"\u202A\u202B\u202C\u202D\u202E"},
        {"isolates", U"\u2066\u2067\u2068\u2069"},
        {"object replacement", U"\uFFFC"},
        {"replacement character", U"\uFFFD"},
        {"noncharacters", U"\uFFFE\uFFFF\uFDD5\U0010FFFF"},
        {"unassigned", U"\u0378\U000E0080"},
        {"private use", U"\uE000"},
        {"tags", U"\U000E0041"},
        {"lone surrogates", std::u32string{0xD800, 0xDC00}},
    };
    return classes;
}

QString Members(const std::u32string& i_class)
{
    QString members;
    for (char32_t code : i_class)
        members += code >= 0xD800 && code <= 0xDFFF ? QString(QChar(char16_t(code))) : QString::fromUcs4(&code, 1);
    return members;
}

// One member of each class after the other, cycling through the longer class's members.
QString PairUnit(size_t i_first, size_t i_second)
{
    const auto& classes = Classes();
    const QString first = Members(classes[i_first].second);
    const QString second = Members(classes[i_second].second);
    auto member = [](const QString& i_members, int i_index) {
        int at = 0;
        for (int n = 0; n < i_index; ++n)
            at +=
                i_members.at(at).isHighSurrogate() && at + 1 < i_members.size() && i_members.at(at + 1).isLowSurrogate()
                    ? 2
                    : 1;
        const bool pair =
            i_members.at(at).isHighSurrogate() && at + 1 < i_members.size() && i_members.at(at + 1).isLowSurrogate();
        return i_members.mid(at, pair ? 2 : 1);
    };
    const int firstCount = int(classes[i_first].second.size());
    const int secondCount = int(classes[i_second].second.size());
    QString unit;
    for (int n = 0; n < std::max(firstCount, secondCount); ++n)
        unit += member(first, n % firstCount) + member(second, n % secondCount);
    return unit;
}

// The longest line a peer can send of the unit.
QString Line(const QString& i_unit)
{
    const int size = i_unit.toUtf8().size();
    return i_unit.repeated(kLongestLineBytes / size);
}

double Once(size_t i_first, size_t i_second, bool i_capped)
{
    TimedView view(i_capped);
    return view.Add(Line(PairUnit(i_first, i_second)));
}

double MedianOfThree(size_t i_first, size_t i_second, bool i_capped)
{
    std::vector<double> times;
    for (int n = 0; n < 3; ++n)
        times.push_back(Once(i_first, i_second, i_capped));
    std::sort(times.begin(), times.end());
    return times[1];
}

QString PairName(std::pair<size_t, size_t> i_pair)
{
    return QStringLiteral("%1 + %2").arg(Classes()[i_pair.first].first, Classes()[i_pair.second].first);
}

// The slowest pair of a view: every pair once, the ten slowest again three times.
std::pair<size_t, size_t> Sweep(const char* ip_name, bool i_capped)
{
    std::vector<std::pair<double, std::pair<size_t, size_t>>> times;
    const size_t count = Classes().size();
    for (size_t first = 0; first < count; ++first)
        for (size_t second = first; second < count; ++second)
            times.push_back({Once(first, second, i_capped), {first, second}});
    std::sort(times.begin(), times.end(), [](const auto& i_a, const auto& i_b) { return i_a.first > i_b.first; });
    times.resize(std::min<size_t>(times.size(), 10));
    for (const auto& [once, pair] : times)
        std::fprintf(stderr, "(one of the ten slowest %s pairs: %s, %.0f ms)\n", ip_name, qPrintable(PairName(pair)),
                     once);
    double worst = 0;
    std::pair<size_t, size_t> worstPair;
    for (const auto& [once, pair] : times)
    {
        const double median = MedianOfThree(pair.first, pair.second, i_capped);
        if (median > worst)
        {
            worst = median;
            worstPair = pair;
        }
    }
    std::printf("# the slowest %s pair of %zu classes: %s\n", ip_name, count, qPrintable(PairName(worstPair)));
    std::printf("chat_line_sweep_worst_%s: %.0f ms\n", ip_name, worst);
    std::fflush(stdout);
    return worstPair;
}

// A plain line right after the slowest pair's line, median of three.
void AfterHostileLine(std::pair<size_t, size_t> i_pair)
{
    std::vector<double> times;
    for (int n = 0; n < 3; ++n)
    {
        TimedView view(true);
        view.Add(Line(PairUnit(i_pair.first, i_pair.second)));
        times.push_back(view.Add(QStringLiteral("hi")));
    }
    std::sort(times.begin(), times.end());
    std::printf("chat_line_after_hostile_line: %.0f ms\n", times[1]);
    // In a full room: the slowest of the plain lines after it, up to the one that drops old lines.
    times.clear();
    for (int n = 0; n < 3; ++n)
    {
        TimedView view(true);
        view.Fill();
        view.Add(Line(PairUnit(i_pair.first, i_pair.second)));
        view.Dropped();
        double slowest = 0;
        for (int line = 0; line < 10000; ++line)
        {
            slowest = std::max(slowest, view.Add(QStringLiteral("hi")));
            if (view.Dropped())
                break;
        }
        times.push_back(slowest);
    }
    std::sort(times.begin(), times.end());
    std::printf("chat_line_after_hostile_line_full_room: %.0f ms\n", times[1]);
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    EngineStack engines(EngineStack::ServerConnection);
    SetSetting(QStringLiteral("chat_timestamps"), QStringLiteral("per_message_short"));
    const auto worstRoom = Sweep("room", true);
    Sweep("private", false);
    AfterHostileLine(worstRoom);
    return 0;
}
