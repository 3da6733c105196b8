// Every block of Unicode (ICU's block property), each as a text of its assigned characters in
// turn at the longest a peer can send, shown with the machine's fonts as the user waits for it: a
// line of a room's view and of a private chat's view, and a plain line after the room's; the
// tenth of ten partners' rows of the message list; a name in a chat line, on a tab and on a
// button; a user's description. Each block once in each view, the slowest few again three times
// and so any other whose first time passes theirs, the slowest median the figure, with its
// block's name. The ten slowest blocks of each view go to the error output, and with
// VELTRANE_BENCH_VERBOSE set every block, the slowest first.

#include "EngineStack.h"
#include "TimedDescription.h"
#include "TimedViews.h"

#include <QApplication>

#include <unicode/uchar.h>

#include <algorithm>
#include <cstdio>
#include <functional>
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
               const std::vector<std::pair<double, size_t>>& i_times, const Timing& i_time, size_t i_also = size_t(-1))
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
    std::printf("%s: %.0f ms (%s)\n", ip_figure, slowest.ms, qPrintable(i_blocks[slowest.block].name));
    std::fflush(stdout);
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
        slowest.block);
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
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    gp_shownMessages = qInstallMessageHandler(WithoutSizeHintWarnings);
    const std::vector<Block> blocks = Blocks();
    std::printf("# %zu blocks with assigned characters\n", blocks.size());
    {
        EngineStack engines(EngineStack::ServerConnection);
        SetSetting(QStringLiteral("chat_timestamps"), QStringLiteral("per_message_short"));
        RoomLines(blocks);
        Sweep("chat_line_block_sweep_worst_private", blocks,
              [](const Block& i_block) { return TimedView(false).Add(Text(i_block)); });
        Sweep("chat_name_block_sweep_worst", blocks, [](const Block& i_block) { return ShownNameMs(Text(i_block)); });
        d->NewType("user_note", Secondary, false, true)->RelateToType(d->GetType("user"), Many, One);
        TimedDescription page;
        if (!page.Exposed())
            std::printf("user_info_block_sweep_worst: FAILED\n");
        Sweep("user_info_block_sweep_worst", blocks, [&page](const Block& i_block) {
            page.Show(QStringLiteral("hi"));
            return page.Show(Text(i_block));
        });
    }
    Sweep("message_list_row_block_sweep_worst", blocks, TenthRow);
    return 0;
}
