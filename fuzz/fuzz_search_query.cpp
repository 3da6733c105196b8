// The search query parser that answers other users' searches, and the result filter language of
// the search window, over the same text: neither may fail on any query, and a file either
// matches or does not.

#include "Data.h"
#include "DataSaver.h"
#include "FilterParser.h"
#include "FuzzTarget.h"
#include "PeerOnlyEngine.h"
#include "SearchParser.h"
#include "TimerManager.h"

namespace
{
ItemPtr File()
{
    static ItemPtr s_file;
    if (s_file)
        return s_file;
    StartPeerOnlyEngine(); // the peer network declares the result types the filter reads
    s_file = d->GetType("search_result")->NewItem();
    s_file.Connect(d->GetType("search_result_file_folder")->GetItem(Value("music\\Some Artist\\Album")));
    s_file.Connect(d->GetType("search_result_file_name")->GetItem(Value("01 Song Title.mp3")));
    s_file.Connect(d->GetType("file_size")->GetItem(Value(static_cast<long long>(5123456))));
    s_file.Connect(d->GetType("bitrate")->GetItem(Value(192)));
    s_file.Connect(d->GetType("bitrate_mode")->GetItem(Value("cbr")));
    s_file.Connect(d->GetType("length_seconds")->GetItem(Value(215)));
    return s_file;
}
} // namespace

void FuzzSeeds(std::vector<QByteArray>& o_seeds)
{
    for (const char* query :
         {"song title", "\"some artist\" -live *tle", "mp3 -flac", "-only", "*", "\"unclosed",
          "minbitrate:192 isvbr minfilesize:5000000 mff:2 song", "iscbr -Title", "\xc3\xa9t\xc3\xa9 \t song"})
        o_seeds.push_back(QByteArray(query));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    FuzzEnvironment();
    const QString query = QString::fromUtf8(reinterpret_cast<const char*>(ip_data), int(i_size));
    SearchParser parser;
    if (parser.SetSearchText(query))
        parser.IsMatch(QStringLiteral("music\\some artist\\album\\01 song title.mp3"));

    FilterParser filter;
    filter.Parse(query);
    FilterParser remainder;
    filter.IsMatching(QStringLiteral("01 Song Title.mp3"), &remainder, File());
    return 0;
}
