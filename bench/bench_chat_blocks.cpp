// Every block of Unicode (ICU's block property), each as a text of its assigned characters in
// turn at the longest a peer can send, shown with the machine's fonts as the user waits for it: a
// line of a room's view and of a private chat's view, and a plain line after the room's; the
// tenth of ten partners' rows of the message list; a name in a chat line, on a tab and on a
// button; a user's description. Each block once in each view, the slowest few again three times
// and so any other whose first time passes theirs, the slowest median the figure, with its
// block's name. The ten slowest blocks of each view go to the error output, and with
// VELTRANE_BENCH_VERBOSE set every block, the slowest first.
//
// Then the same again with the fontconfig rule of bench/fonts that leaves Droid Sans Fallback the
// only CJK font, in a process of its own; and each block's text the first the process shows of
// it: in a fresh process for each view, each block in turn (no two blocks share a character, and
// each font is new to the first block it draws), twice, each block's shorter time counting; one
// character of every block in one line, in a fresh process; and four lines of ideographs, each
// starting with ones no line before it showed.
//
// Then what a view shows must not depend on chance: each text people write (OrdinaryTexts.h) as
// the first text of a fresh process, in a room's line, a private chat's line, a name, a message
// list's row and a pop-up, against the same text shown again, and every block's line in a room and
// a message list's row in five fresh processes, two of them beside busy loops. Exits non-zero when
// a figure passes its limit.

#include "ChatLines.h"
#include "EngineStack.h"
#include "OrdinaryTexts.h"
#include "TimedDescription.h"
#include "TimedViews.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGlyphRun>
#include <QProcess>
#include <QRawFont>
#include <QTextLayout>

#include <unicode/uchar.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace
{
// Blocks timed again after the first pass, for each view.
constexpr size_t kRetimed = 5;
// Blocks listed on the error output for each view without VELTRANE_BENCH_VERBOSE.
constexpr size_t kListed = 10;
// Rows of the message list when the timed one comes: the list lays every row out at each paint.
constexpr int kRows = 10;
// The limits of a shown text's time and of a plain line's after it, in ms.
constexpr double kShownLimit = 100;
constexpr double kAfterLimit = 20;
// Whether a figure is over its limit.
bool g_overLimit = false;
// Appended to the names of the figures of a run under the fontconfig rule.
const char* gp_suffix = "";

struct Block
{
    QString name;
    std::vector<char32_t> members;
};

// Every block that has an assigned character, with those characters in order.
std::vector<Block> Blocks()
{
    std::vector<Block> blocks(size_t(u_getIntPropertyMaxValue(UCHAR_BLOCK)) + 1);
    for (UChar32 code = 0; code <= 0x10FFFF; ++code)
        if (u_charType(code) != U_UNASSIGNED)
            blocks[size_t(ublock_getCode(code))].members.push_back(char32_t(code));
    for (size_t index = 0; index < blocks.size(); ++index)
        blocks[index].name = QString::fromLatin1(u_getPropertyValueName(UCHAR_BLOCK, int(index), U_LONG_PROPERTY_NAME));
    blocks.erase(
        std::remove_if(blocks.begin(), blocks.end(), [](const Block& i_block) { return i_block.members.empty(); }),
        blocks.end());
    return blocks;
}

// A code point's length in UTF-8; a surrogate counts as the three bytes of its encoded form.
int Utf8Bytes(char32_t i_code)
{
    return i_code < 0x80 ? 1 : i_code < 0x800 ? 2 : i_code < 0x10000 ? 3 : 4;
}

// The block's characters in turn, again from its first after its last, as many as the longest line
// a peer can send holds; a surrogate stands alone.
QString Text(const Block& i_block)
{
    QString text;
    text.reserve(kLongestLineBytes);
    int bytes = 0;
    for (size_t next = 0;; next = (next + 1) % i_block.members.size())
    {
        const char32_t code = i_block.members[next];
        bytes += Utf8Bytes(code);
        if (bytes > kLongestLineBytes)
            return text;
        if (code < 0x10000)
            text += QChar(char16_t(code));
        else
            text += QString::fromUcs4(&code, 1);
    }
}

struct Slowest
{
    double ms = 0;
    size_t block = 0;
};

// A view's time for a block's text.
using Timing = std::function<double(const Block&)>;

double MedianOfThree(const Timing& i_time, const Block& i_block)
{
    std::vector<double> times;
    for (int n = 0; n < 3; ++n)
        times.push_back(i_time(i_block));
    std::sort(times.begin(), times.end());
    return times[1];
}

// The blocks by their first times, the slowest first.
std::vector<std::pair<double, size_t>> Ranked(std::vector<std::pair<double, size_t>> i_times)
{
    std::sort(i_times.begin(), i_times.end(), [](const auto& i_a, const auto& i_b) { return i_a.first > i_b.first; });
    return i_times;
}

// The blocks by their times, the slowest first: the first kListed, or all with
// VELTRANE_BENCH_VERBOSE set.
void List(const char* ip_figure, const std::vector<Block>& i_blocks,
          const std::vector<std::pair<double, size_t>>& i_first)
{
    const std::vector<std::pair<double, size_t>> times = Ranked(i_first);
    const size_t listed = qEnvironmentVariableIsSet("VELTRANE_BENCH_VERBOSE") ? times.size() : kListed;
    for (size_t rank = 0; rank < std::min(listed, times.size()); ++rank)
        std::fprintf(stderr, "(%s, block %zu of %zu: %s, %.1f ms)\n", ip_figure, rank + 1, times.size(),
                     qPrintable(i_blocks[times[rank].second].name), times[rank].first);
}

// The slowest median of three of the kRetimed slowest blocks of the first times (and i_also), and
// of every block after them whose first time passes it: a first time lower than it really is
// leaves no block out. Printed as the figure with its block.
Slowest Figure(const char* ip_figure, const std::vector<Block>& i_blocks,
               const std::vector<std::pair<double, size_t>>& i_times, const Timing& i_time, size_t i_also = size_t(-1),
               double i_limit = kShownLimit)
{
    Slowest slowest;
    const auto retime = [&](size_t i_block) {
        const double median = MedianOfThree(i_time, i_blocks[i_block]);
        if (median > slowest.ms)
            slowest = {median, i_block};
    };
    const std::vector<std::pair<double, size_t>> ranked = Ranked(i_times);
    for (size_t rank = 0; rank < ranked.size() && (rank < kRetimed || ranked[rank].first > slowest.ms); ++rank)
        if (ranked[rank].second != i_also)
            retime(ranked[rank].second);
    if (i_also < i_blocks.size())
        retime(i_also);
    std::printf("%s%s: %.0f ms (%s)\n", ip_figure, gp_suffix, slowest.ms, qPrintable(i_blocks[slowest.block].name));
    std::fflush(stdout);
    g_overLimit = g_overLimit || slowest.ms > i_limit;
    return slowest;
}

// Every block once, the slowest again: the figure.
Slowest Sweep(const char* ip_figure, const std::vector<Block>& i_blocks, const Timing& i_time)
{
    std::vector<std::pair<double, size_t>> times;
    for (size_t block = 0; block < i_blocks.size(); ++block)
        times.push_back({i_time(i_blocks[block]), block});
    List(ip_figure, i_blocks, times);
    return Figure(ip_figure, i_blocks, times, i_time);
}

// A room's line of each block, and the plain line after it: the slowest line, and the slowest
// plain line after the slowest block's line or after the lines whose plain line was slowest.
void RoomLines(const std::vector<Block>& i_blocks)
{
    std::vector<std::pair<double, size_t>> lines;
    std::vector<std::pair<double, size_t>> after;
    for (size_t block = 0; block < i_blocks.size(); ++block)
    {
        TimedView view(true);
        lines.push_back({view.Add(Text(i_blocks[block])), block});
        after.push_back({view.Add(QStringLiteral("hi")), block});
    }
    List("chat_line_block_sweep_worst_room", i_blocks, lines);
    List("chat_line_after_block_sweep_worst", i_blocks, after);
    const Slowest slowest = Figure("chat_line_block_sweep_worst_room", i_blocks, lines,
                                   [](const Block& i_block) { return TimedView(true).Add(Text(i_block)); });
    Figure(
        "chat_line_after_block_sweep_worst", i_blocks, after,
        [](const Block& i_block) {
            TimedView view(true);
            view.Add(Text(i_block));
            return view.Add(QStringLiteral("hi"));
        },
        slowest.block, kAfterLimit);
}

// The tenth partner's message of the block's text, the nine before it from partners of their own
// in the list; a store of its own, which the list's Init needs and which holds the messages.
double TenthRow(const Block& i_block)
{
    EngineStack engines(EngineStack::ServerConnection);
    TimedMessageList list;
    const QString text = Text(i_block);
    double ms = 0;
    for (int partner = 0; partner < kRows; ++partner)
        ms = list.Add(QStringLiteral("partner%1").arg(partner), text, 1300000000 + partner);
    return ms;
}

// The offscreen platform warns of each window whose size hints change: a line for each name shown.
QtMessageHandler gp_shownMessages = nullptr;
void WithoutSizeHintWarnings(QtMsgType i_type, const QMessageLogContext& i_context, const QString& i_message)
{
    if (!i_message.contains(QLatin1String("propagateSizeHints")))
        gp_shownMessages(i_type, i_context, i_message);
}

// The times of each block's text shown the first time, in a process that showed none before it:
// one line per block, its index and its time, on the standard output.
void FirstSights(const std::vector<Block>& i_blocks, const Timing& i_time)
{
    for (size_t block = 0; block < i_blocks.size(); ++block)
        std::printf("%zu %.3f\n", block, i_time(i_blocks[block]));
}

// A message of the block's text in the message list's tenth row, the nine before it plain ones
// of other partners.
double TenthRowFirstSight(const Block& i_block)
{
    EngineStack engines(EngineStack::ServerConnection);
    TimedMessageList list;
    for (int partner = 0; partner + 1 < kRows; ++partner)
        list.Add(QStringLiteral("partner%1").arg(partner), QStringLiteral("see you"), 1300000000 + partner);
    return list.Add(QStringLiteral("flooder"), Text(i_block), 1300000000 + kRows);
}

// One character of every block, from the middle of its characters, on one line.
QString EveryBlock(const std::vector<Block>& i_blocks)
{
    QString text;
    for (const Block& block : i_blocks)
    {
        const char32_t code = block.members[block.members.size() / 2];
        text += QString::fromUcs4(&code, 1);
    }
    return text;
}

// The ideographs of the first plane, which the CJK fonts draw.
std::vector<char32_t> Ideographs()
{
    std::vector<char32_t> codes;
    for (char32_t code = 0x3400; code <= 0xFAFF; ++code)
        if (u_hasBinaryProperty(UChar32(code), UCHAR_IDEOGRAPHIC) && u_charType(UChar32(code)) == U_OTHER_LETTER)
            codes.push_back(code);
    return codes;
}

// Line i_line of four, each 16,384 units of ideographs in turn, starting a quarter of them after
// the one before: each starts with ones no line before it showed, all of them where lines are cut
// before a quarter.
QString FreshIdeographs(const std::vector<char32_t>& i_codes, int i_line)
{
    QString text;
    for (size_t at = size_t(i_line) * i_codes.size() / 4; text.size() < kShownUnits; ++at)
        text += QChar(char16_t(i_codes[at % i_codes.size()]));
    return text;
}

// This program again, with the arguments: its standard output; *op_failed tells whether it did not
// end with 0.
QByteArray Child(const QStringList& i_arguments, const QProcessEnvironment& i_environment, bool* op_failed = nullptr)
{
    QProcess child;
    child.setProcessEnvironment(i_environment);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), i_arguments);
    const bool ended = child.waitForFinished(-1) && child.exitStatus() == QProcess::NormalExit;
    if (op_failed)
        *op_failed = !ended || child.exitCode() != 0;
    return ended ? child.readAllStandardOutput() : QByteArray();
}

// Each block's first-sight time in a view: in two fresh processes, each block's shorter time.
void FirstSightFigure(const char* ip_figure, const char* ip_view, const std::vector<Block>& i_blocks)
{
    std::vector<double> times(i_blocks.size(), -1);
    for (int run = 0; run < 2; ++run)
    {
        const QByteArray output = Child({QStringLiteral("--first-sight"), QString::fromLatin1(ip_view)},
                                        QProcessEnvironment::systemEnvironment());
        for (const QByteArray& line : output.split('\n'))
        {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() != 2)
                continue;
            const size_t block = fields[0].toULongLong();
            const double ms = fields[1].toDouble();
            if (block < times.size())
                times[block] = times[block] < 0 ? ms : std::min(times[block], ms);
        }
    }
    std::vector<std::pair<double, size_t>> ranked;
    for (size_t block = 0; block < times.size(); ++block)
        ranked.push_back({times[block], block});
    if (std::any_of(times.begin(), times.end(), [](double i_ms) { return i_ms < 0; }))
    {
        std::printf("%s: FAILED\n", ip_figure);
        g_overLimit = true;
        return;
    }
    List(ip_figure, i_blocks, ranked);
    const auto slowest = Ranked(ranked).front();
    std::printf("%s: %.0f ms (%s)\n", ip_figure, slowest.first, qPrintable(i_blocks[slowest.second].name));
    std::fflush(stdout);
    g_overLimit = g_overLimit || slowest.first > kShownLimit;
}

// A figure of fresh processes' single times, each printed on the standard output: the shorter of
// two processes' for each, the slowest of those.
void FreshFigure(const char* ip_figure, const char* ip_argument)
{
    std::vector<double> times;
    for (int run = 0; run < 2; ++run)
    {
        const QList<QByteArray> lines =
            Child({QString::fromLatin1(ip_argument)}, QProcessEnvironment::systemEnvironment()).split('\n');
        for (int line = 0; line < lines.size(); ++line)
            if (!lines[line].isEmpty())
            {
                if (times.size() <= size_t(line))
                    times.push_back(lines[line].toDouble());
                else
                    times[size_t(line)] = std::min(times[size_t(line)], lines[line].toDouble());
            }
    }
    if (times.empty())
    {
        std::printf("%s: FAILED\n", ip_figure);
        g_overLimit = true;
        return;
    }
    for (size_t line = 0; line < times.size(); ++line)
        std::fprintf(stderr, "(%s, line %zu: %.1f ms)\n", ip_figure, line + 1, times[line]);
    const double slowest = *std::max_element(times.begin(), times.end());
    std::printf("%s: %.0f ms\n", ip_figure, slowest);
    std::fflush(stdout);
    g_overLimit = g_overLimit || slowest > kShownLimit;
}

// The sweeps of every view, timed again after a first pass.
void WarmSweeps(const std::vector<Block>& i_blocks)
{
    {
        EngineStack engines(EngineStack::ServerConnection);
        SetSetting(QStringLiteral("chat_timestamps"), QStringLiteral("per_message_short"));
        RoomLines(i_blocks);
        Sweep("chat_line_block_sweep_worst_private", i_blocks,
              [](const Block& i_block) { return TimedView(false).Add(Text(i_block)); });
        Sweep("chat_name_block_sweep_worst", i_blocks, [](const Block& i_block) { return ShownNameMs(Text(i_block)); });
        d->NewType("user_note", Secondary, false, true)->RelateToType(d->GetType("user"), Many, One);
        TimedDescription page;
        if (!page.Exposed())
            std::printf("user_info_block_sweep_worst%s: FAILED\n", gp_suffix);
        Sweep("user_info_block_sweep_worst", i_blocks, [&page](const Block& i_block) {
            page.Show(QStringLiteral("hi"));
            return page.Show(Text(i_block));
        });
    }
    Sweep("message_list_row_block_sweep_worst", i_blocks, TenthRow);
}

// The views a text of the corpus shows in, by the names the child processes take.
const QStringList& OrdinaryViews()
{
    static const QStringList views = {QStringLiteral("room"), QStringLiteral("private"), QStringLiteral("name"),
                                      QStringLiteral("row"), QStringLiteral("popup")};
    return views;
}

// The text of the corpus shown in the view as the first text of this process, then again: on the
// standard output, the units it showed the first time, the units it showed again and the first
// time's ms.
void ShowOrdinary(const QString& i_view, const QString& i_text)
{
    QString first;
    QString again;
    QElapsedTimer timer;
    double ms = 0;
    if (i_view == QLatin1String("room") || i_view == QLatin1String("private"))
    {
        TimedView view(i_view == QLatin1String("room"));
        ms = view.Add(i_text);
        first = view.Shown();
        view.Add(i_text);
        again = view.Shown();
    }
    else if (i_view == QLatin1String("name"))
    {
        ms = ShownNameMs(i_text, &first);
        ShownNameMs(i_text, &again);
    }
    else if (i_view == QLatin1String("row"))
    {
        TimedMessageList list;
        ms = list.Add(QStringLiteral("p1"), i_text, 1300000000);
        first = list.Row(QStringLiteral("p1"));
        list.Add(QStringLiteral("p2"), i_text, 1300000001);
        again = list.Row(QStringLiteral("p2"));
    }
    else
    {
        timer.start();
        first = ChatNoticeText(QStringLiteral("kai"), i_text);
        ms = timer.nsecsElapsed() / 1e6;
        again = ChatNoticeText(QStringLiteral("kai"), i_text);
    }
    std::printf("%d %d %.3f\n", int(first.size()), int(again.size()), ms);
}

// Each text of the corpus in each view, each the first text of a fresh process: how many show
// less than the same text shown again (limit 0), and the slowest first sight.
void OrdinaryFirstSights()
{
    const auto texts = OrdinaryTexts::All();
    int cut = 0;
    int failed = 0;
    double worst = 0;
    QString worstText;
    for (const QString& view : OrdinaryViews())
        for (size_t index = 0; index < texts.size(); ++index)
        {
            bool childFailed = false;
            const QList<QByteArray> fields = Child({QStringLiteral("--ordinary"), view, QString::number(index)},
                                                   QProcessEnvironment::systemEnvironment(), &childFailed)
                                                 .trimmed()
                                                 .split(' ');
            if (childFailed || fields.size() != 3)
            {
                ++failed;
                continue;
            }
            const int first = fields[0].toInt();
            const int again = fields[1].toInt();
            const double ms = fields[2].toDouble();
            cut += first < again ? 1 : 0;
            if (ms > worst)
            {
                worst = ms;
                worstText = texts[index].first + QLatin1Char(' ') + view;
            }
            std::fprintf(stderr, "(chat_text_ordinary_first_sight: %s in a %s: %d then %d units, %.1f ms)\n",
                         qPrintable(texts[index].first), qPrintable(view), first, again, ms);
        }
    const int shown = int(texts.size()) * OrdinaryViews().size();
    if (failed > 0)
        std::printf("chat_text_ordinary_first_sight_cut: FAILED (%d of %d processes)\n", failed, shown);
    else
        std::printf("chat_text_ordinary_first_sight_cut: %d of %d\n", cut, shown);
    std::printf("chat_text_ordinary_first_sight_worst: %.0f ms (%s)\n", worst, qPrintable(worstText));
    std::fflush(stdout);
    g_overLimit = g_overLimit || failed > 0 || cut > 0;
}

// Each block's line in a room, then in a message list's row, each block in turn in this process:
// on the standard output, a line for each block with the units each showed.
void ShownBlocks(const std::vector<Block>& i_blocks)
{
    EngineStack engines(EngineStack::ServerConnection);
    TimedMessageList list;
    for (size_t block = 0; block < i_blocks.size(); ++block)
    {
        const QString text = Text(i_blocks[block]);
        TimedView room(true);
        room.Add(text);
        const QString partner = QStringLiteral("p%1").arg(block);
        list.Add(partner, text, 1300000000 + qint64(block));
        std::printf("%zu %d %d\n", block, int(room.Shown().size()), int(list.Row(partner).size()));
    }
}

// Busy loops on every other core while they live, as the machine's other work.
class BusyLoops
{
public:
    explicit BusyLoops(int i_count)
    {
        for (int n = 0; n < i_count; ++n)
        {
            m_loops.emplace_back(new QProcess);
            m_loops.back()->start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
            m_loops.back()->waitForStarted();
        }
    }
    ~BusyLoops()
    {
        for (const auto& p_loop : m_loops)
        {
            p_loop->kill();
            p_loop->waitForFinished();
        }
    }

private:
    std::vector<std::unique_ptr<QProcess>> m_loops;
};

// Every block's line in a room and in a message list's row, in five fresh processes, the last two
// beside six busy loops: how many blocks show a different count in any of them (limit 0).
void VaryingBlocks(const std::vector<Block>& i_blocks)
{
    constexpr int kRuns = 5;
    constexpr int kQuietRuns = 3;
    std::vector<std::vector<QByteArray>> shown(i_blocks.size());
    bool failed = false;
    for (int run = 0; run < kRuns; ++run)
    {
        std::unique_ptr<BusyLoops> loops(run >= kQuietRuns ? new BusyLoops(6) : nullptr);
        bool childFailed = false;
        const QList<QByteArray> lines =
            Child({QStringLiteral("--shown-blocks")}, QProcessEnvironment::systemEnvironment(), &childFailed)
                .split('\n');
        failed = failed || childFailed;
        for (const QByteArray& line : lines)
        {
            const QList<QByteArray> fields = line.split(' ');
            const size_t block = fields[0].toULongLong();
            if (fields.size() == 3 && block < shown.size())
                shown[block].push_back(fields[1] + ' ' + fields[2]);
        }
    }
    int varying = 0;
    for (size_t block = 0; block < shown.size(); ++block)
    {
        failed = failed || shown[block].size() != size_t(kRuns);
        if (std::any_of(shown[block].cbegin(), shown[block].cend(),
                        [&](const QByteArray& i_run) { return i_run != shown[block].front(); }))
        {
            ++varying;
            QByteArray runs;
            for (const QByteArray& run : shown[block])
                runs += " [" + run + ']';
            std::fprintf(stderr, "(chat_text_shown_varying_blocks: %s shows%s)\n", qPrintable(i_blocks[block].name),
                         runs.constData());
        }
    }
    if (failed)
        std::printf("chat_text_shown_varying_blocks: FAILED\n");
    else
        std::printf("chat_text_shown_varying_blocks: %d of %zu\n", varying, i_blocks.size());
    std::fflush(stdout);
    g_overLimit = g_overLimit || failed || varying > 0;
}

// The family of the font the view draws an ideograph from.
QString IdeographFont()
{
    QTextLayout layout(QString(QChar(0x4E2D)), QGuiApplication::font());
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    return runs.isEmpty() ? QString() : runs.first().rawFont().familyName();
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    gp_shownMessages = qInstallMessageHandler(WithoutSizeHintWarnings);
    const std::vector<Block> blocks = Blocks();
    const QString mode = argc > 1 ? QString::fromLatin1(argv[1]) : QString();
    if (mode == QLatin1String("--first-sight") && argc > 2)
    {
        EngineStack engines(EngineStack::ServerConnection);
        SetSetting(QStringLiteral("chat_timestamps"), QStringLiteral("per_message_short"));
        const QString view = QString::fromLatin1(argv[2]);
        if (view == QLatin1String("room"))
            FirstSights(blocks, [](const Block& i_block) { return TimedView(true).Add(Text(i_block)); });
        else if (view == QLatin1String("private"))
            FirstSights(blocks, [](const Block& i_block) { return TimedView(false).Add(Text(i_block)); });
        else if (view == QLatin1String("name"))
            FirstSights(blocks, [](const Block& i_block) { return ShownNameMs(Text(i_block)); });
        else
            FirstSights(blocks, TenthRowFirstSight);
        return 0;
    }
    if (mode == QLatin1String("--ordinary") && argc > 3)
    {
        EngineStack engines(EngineStack::ServerConnection);
        SetSetting(QStringLiteral("chat_timestamps"), QStringLiteral("per_message_short"));
        const auto texts = OrdinaryTexts::All();
        const size_t index = QByteArray(argv[3]).toULongLong();
        if (index >= texts.size())
            return 1;
        ShowOrdinary(QString::fromLatin1(argv[2]), texts[index].second);
        return 0;
    }
    if (mode == QLatin1String("--shown-blocks"))
    {
        ShownBlocks(blocks);
        return 0;
    }
    if (mode == QLatin1String("--every-block"))
    {
        EngineStack engines(EngineStack::ServerConnection);
        std::printf("%.3f\n", TimedView(true).Add(EveryBlock(blocks)));
        return 0;
    }
    if (mode == QLatin1String("--fresh-ideographs"))
    {
        EngineStack engines(EngineStack::ServerConnection);
        const std::vector<char32_t> ideographs = Ideographs();
        TimedView view(true);
        for (int line = 0; line < 4; ++line)
            std::printf("%.3f\n", view.Add(FreshIdeographs(ideographs, line)));
        return 0;
    }
    if (mode == QLatin1String("--droid"))
    {
        gp_suffix = "_droid_fallback_cjk";
        const QString font = IdeographFont();
        if (font != QLatin1String("Droid Sans Fallback"))
        {
            std::printf("chat_line_block_sweep_worst_room%s: FAILED (ideographs from %s)\n", gp_suffix,
                        qPrintable(font));
            return 1;
        }
        WarmSweeps(blocks);
        return g_overLimit ? 1 : 0;
    }
    std::printf("# %zu blocks with assigned characters\n", blocks.size());
    std::fflush(stdout);
    WarmSweeps(blocks);
    QProcessEnvironment droid = QProcessEnvironment::systemEnvironment();
    droid.insert(QStringLiteral("FONTCONFIG_FILE"), QStringLiteral(VELTRANE_DROID_FONTS));
    bool droidOver = false;
    const QByteArray droidFigures = Child({QStringLiteral("--droid")}, droid, &droidOver);
    std::fputs(droidFigures.constData(), stdout);
    std::fflush(stdout);
    g_overLimit = g_overLimit || droidOver || !droidFigures.contains("message_list_row");
    FirstSightFigure("chat_line_first_sight_block_sweep_worst_room", "room", blocks);
    FirstSightFigure("chat_line_first_sight_block_sweep_worst_private", "private", blocks);
    FirstSightFigure("message_list_row_first_sight_block_sweep_worst", "row", blocks);
    FirstSightFigure("chat_name_first_sight_block_sweep_worst", "name", blocks);
    FreshFigure("chat_line_every_block_first_sight", "--every-block");
    FreshFigure("chat_line_fresh_ideographs_worst", "--fresh-ideographs");
    OrdinaryFirstSights();
    VaryingBlocks(blocks);
    return g_overLimit ? 1 : 0;
}
