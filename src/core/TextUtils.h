#pragma once

// Text and path helpers shared by the engines and the windows.

#include <QString>

class QUrl;

#include <string>
#include <vector>

std::string StringReplace(std::string i_text, const std::string& i_from, const std::string& i_to);

// The text after the last ".", ASCII letters lower-cased; "" without a ".".
std::string GetFileExtension(const std::string& i_name);
// After dropping one trailing "/" or "\": the text after the last separator, or the whole text.
std::string GetFileName(const std::string& i_path);
// After dropping one trailing "/" or "\": the text before the last separator, or "" without one.
std::string GetFolder(const std::string& i_path);
// Drops every trailing "\", then one trailing "/" or "\", then gives the text before the last
// separator; a path without a separator comes back whole.
std::string GetParentFolder(const std::string& i_path);
// Drops one trailing separator and lower-cases; the key under which local paths are compared.
QString GetAbsoluteFileName(const QString& i_path);
// "a/b\c" gives "c/b/a".
QString ReversePathname(const QString& i_path);

// "1,234,567"; 0 and negative numbers give "" (an empty cell).
QString CommafyNumber(qint64 i_number);
// 3725 gives "1h2m5s".
QString FormatSeconds(long i_seconds);

// UTF-8, or the chosen code page (Latin-1 when none) when the bytes are not UTF-8.
QString ToQString(const std::string& i_bytes);
QString ToQString(const char* ip_bytes, size_t i_length);

QString EscapeHTML(const QString& i_text);
// Turns every http(s) address into an anchor.
QString ConvertLinks(const QString& i_text);
// Every character that ends a line or a paragraph in a view or a log (line feed, carriage return,
// U+000B, U+000C, U+001C-U+001E, U+0085, U+2028, U+2029, and U+FDD0 and U+FDD1, which a view's
// document takes for the edges of a frame) as a blank: one message is one line.
QString OneLine(QString i_text);

// What a view shows of each UTF-16 unit of a text, so that laying the text out costs at most what
// the longest plain line costs: a user's character (a grapheme cluster, with the marks after it
// where the cluster ends before a mark, as after a control) keeps at most
// kShownMarks combining marks and kShownClusterUnits units, the rest is dropped; a break point
// goes before a character that would make a run the view cannot break longer than
// kLongestUnbrokenRun units, since one long unbroken run costs time that grows with its square;
// and the text is cut between two characters where its cost comes to kShownCost, a plain letter
// costing one, a letter of another script two, of Thai, Lao, Khmer or Myanmar, a conjoining jamo
// and a control five, of a script whose font the view looks for character by character
// kShownSearchedCost, of Grantha kShownGranthaCost, or a letter for each kShownAskedFonts fonts
// the view asks before the one that draws it where that is more, a character no font draws (a
// noncharacter, an unassigned code point, one the machine's fonts lack) what asking every font
// costs, at least five, a character the colour emoji font draws (a pictograph, a regional
// indicator, a skin tone) kShownPictographCost, of which the text shows at most
// kShownPictographs, and each change of script, font or direction (a digit or a sign next to
// East Asian forms or symbols included), each direction control and each line break kShownRunCost
// more; when it holds a character outside printable Latin-1, where it comes to kShownUnits units;
// and where what the view does the first time in the process, apart from the cost, comes to
// kShownFirstSearch or kShownFirstSightBytes. A character whose first kShownClusterUnits units are
// within the cost is cut after them instead. What a text shows follows from the text, the
// machine's fonts and what the process showed before it alone.
// A paragraph starts before a character that would make the paragraph, its break points counted,
// longer than kLongestShownParagraph units, a character costing more than five counting its units
// times a fifth of its cost, one the colour emoji font draws a kShownParagraphPictographs-th of
// them: in place of the last line separator in it (the text's own line break), else at the last
// place a line may break when that is in the paragraph's second half; a paragraph separator starts
// the count anew. The view lays a paragraph out in time that grows faster than its length in some
// scripts (Hangul among them), and lays the last paragraph out again when a line follows it. Break
// points and paragraph starts fall between characters only, never inside one, so never on a mark.
enum class ShownUnit : char
{
    Dropped,
    Kept,
    BreakBefore,
    ParagraphBefore
};
constexpr int kShownMarks = 8;
constexpr int kShownClusterUnits = 32;
constexpr int kLongestUnbrokenRun = 64;
constexpr int kLongestShownParagraph = 2048;
constexpr int kShownRunCost = 16;
// Twice the longest line a chat entry field takes (32,767 characters).
constexpr int kShownCost = 65536;
// The most units a view is handed of a text that holds a character outside printable Latin-1,
// whatever they cost: half the longest line a chat entry field takes. The view's time per unit
// differs several times between texts that cost alike, as their characters come from one font or
// alternate between several (a Hangul syllable beside a blank, a sign or a mark), and this bound
// holds the costliest of them within the time of the longest plain line; printable Latin-1 comes
// from one font.
constexpr int kShownUnits = 16384;
// A name's cost: more than any user or room name, or an ordinary file name, needs.
constexpr int kShownNameCost = 1024;
// What a character the colour emoji font draws costs, and how many of them a text shows: that
// font makes each take some 150 times the time of a letter wherever it stands, which the cost of
// a text would let grow to a second. Without a window's application, whose fonts can be asked,
// each character shown as an emoji by default, each regional indicator and each skin tone counts.
// A name, measured and drawn several times over in a tab or on a button, holds 32 of them, 16
// flags.
constexpr int kShownPictographCost = 32;
constexpr int kShownPictographs = 64;
// How many of them a paragraph holds: the view lays each out again, each time it lays the
// paragraph out, at some 800 times the time of a letter.
constexpr int kShownParagraphPictographs = 40;
// What a letter of a script costs whose font the font matcher cannot find by a language written in
// it, so that the view looks through the machine's fonts for each of its characters: some ten to
// twenty times the time of a letter, wherever it stands.
constexpr int kShownSearchedCost = 16;
// What a letter of Grantha costs: its fonts position each letter against the one before it through
// hundreds of kerning tables, which the shaper goes through at every letter, at some 60 times the
// time of a Latin letter.
constexpr int kShownGranthaCost = 64;
// How many fonts the view asks for a character its own font lacks cost it as much as a letter: it
// goes through the machine's fonts one by one in fontconfig's order for its font, those that claim
// a language the view knows for the character's script first, some 40 ns each, until one has it.
// So a character costs at least a letter for each kShownAskedFonts fonts before the one that draws
// it, and one no font draws as many as all of them (at most 256) make. Eight fonts take a letter's
// time; sixteen keep the CJK fonts, some 30 fonts in, at their script's price.
constexpr int kShownAskedFonts = 16;
// How many characters no font draws a text shows: the view looks through every font the machine
// has for each, and lays the last paragraph of a line out again when a line follows it.
constexpr int kShownUndrawn = 512;
// What the view does the first time in the process that a text may bring it, its cost apart: the
// first time it asks a font for a character in a piece of a script, it matches the font's name
// against the machine's fonts (some 60 µs with a desktop's few hundred), and the first time it lays
// out a piece of a script or draws from a font it sorts or loads fonts, each as much as
// kShownFirstUseSearch such matches; a text brings at most kShownFirstSearch of them. Ordinary text
// of a few scripts brings a few hundred, once in the life of the process; a line of six scripts
// with an emoji after each, whose font comes last, some 1,750.
constexpr int kShownFirstUseSearch = 32;
constexpr int kShownFirstSearch = 2048;
// What the glyphs a text shows the first time in the process may take: the view reads each glyph's
// outline the first time it lays it out, and draws it the first time it is in sight, in time that
// follows the outline's bytes; a glyph counts its font's mean (the font file's outline table over
// its glyph count). 256 KiB are some 1,100 ideographs of Noto Sans CJK, 550 of Noto Serif Tangut;
// a paragraph of 2,000 characters of running Chinese brings some 300 to 800.
constexpr int kShownFirstSightBytes = 262144;
struct ShownPlan
{
    std::vector<ShownUnit> units;
    // Whether the text was cut: the view shows an ellipsis after what it keeps.
    bool cut = false;
};
// ip_widths, when given, holds for each unit the characters it stands for in the view (a
// caller showing markup lets one unit stand for an entity), counted in runs and in the cost;
// each unit counts one otherwise. i_pictographs: the most characters the colour emoji font draws
// shown, for a view that lays the text out more often than a chat view does; i_budget: the cost
// the text is cut at. The machine's fonts are asked once per character, in the thread of a
// window's application only.
ShownPlan PlanShownText(const QString& i_text, const std::vector<int>* ip_widths = nullptr,
                        int i_pictographs = kShownPictographs, int i_budget = kShownCost);
// Where the character (grapheme cluster) that holds the unit at i_at starts, found as PlanShownText
// finds characters: i_at itself where a character starts there, and at either end of the text.
int CharacterStart(const QString& i_text, int i_at);
// The text as PlanShownText shows it, with a zero-width space at each break point and a
// paragraph separator (U+2029) where a paragraph starts, in place of a line separator there.
QString BreakableText(const QString& i_text);
// A unit as a view shows it: U+FFFC, which a view draws as the object it stands for and so as
// nothing, shows as U+FFFD.
QChar ShownCharacter(QChar i_unit);
// Links a line makes at most; the addresses after them stay text, since every anchor costs the
// view as much as a short line.
constexpr int kMaxLinksPerLine = 300;
// Escapes a raw text and makes its first kMaxLinksPerLine http(s) addresses anchors: the
// addresses are found in the text as it came, so each opens as written. The text is shown on one
// line (OneLine) and breakable (BreakableText), with i_breakPoint at each break point.
QString EscapeWithLinks(const QString& i_text, QChar i_breakPoint = QChar(0x200B));
// Whether a clicked anchor may be handed to the desktop: http and https only.
bool IsWebLink(const QUrl& i_url);
// A name from the network shown among other text: on one line, its direction controls
// (U+202A-U+202E, U+2066-U+2069, U+200E, U+200F, U+061C) dropped, its characters bounded as
// PlanShownText bounds them and the whole cut, with "…", where its cost comes to kShownNameCost,
// and the name isolated when it holds any control or a right-to-left letter, so that nothing in
// it reorders the text around it.
QString IsolatedName(const QString& i_name);
// A name as the text of a tab, a menu entry or a button, which read "&" as a shortcut mark:
// isolated, with "&" doubled.
QString MnemonicText(const QString& i_name);
