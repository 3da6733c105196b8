// The results tabs under load: 100,000 results (1,000 users x 10 folders x 10 files, one reply
// of 100 files per user) into one tab of the real search window, its sort, one filter
// keystroke over it, and the filter's row test on its own; then 10,000 searches received from
// others onto the received-searches page, which keeps the newest 500.
#include "BenchWindow.h"
#include "FilterParser.h"
#include "MainWindow.h"
#include "ReceivedSearchesForm.h"
#include "SearchForm.h"
#include "SearchReplies.h"
#include "SearchResultsForm.h"
#include "Server.h"
#include "SharedFoldersManager.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{
constexpr int kFoldersPerUser = 10;
constexpr int kFilesPerFolder = 10;
constexpr int kRuns = 3;

QList<ReplyFile> UserFiles(int i_user)
{
    QList<ReplyFile> files;
    for (int folder = 0; folder < kFoldersPerUser; ++folder)
    {
        for (int file = 0; file < kFilesPerFolder; ++file)
        {
            ReplyFile entry;
            entry.m_path = QStringLiteral("Music\\Artist %1\\Album %2\\%3 Song of the day %4.mp3")
                               .arg(i_user % 53)
                               .arg(folder)
                               .arg(file)
                               .arg(i_user * 7 + file);
            entry.m_size = 3000000 + 1000 * file + i_user;
            entry.m_bitrate = (file % 2) ? 320 : 128;
            entry.m_mode = (file % 3) ? QStringLiteral("cbr") : QStringLiteral("vbr");
            entry.m_seconds = 180 + file;
            files << entry;
        }
    }
    return files;
}

struct Tab
{
    SearchResultsForm* page = nullptr;
    double insertSeconds = 0;
};

// One tab filled with the replies of i_users users, each reply built before the clock runs.
Tab FillTab(int i_users)
{
    const unsigned int token = gp_server->FileSearch(QStringLiteral("song"), false);
    Tab tab;
    tab.page = searchForm->CreateSearchForm(token, QStringLiteral("song"), NetworkSearch);
    std::vector<ItemPtr> replies;
    replies.reserve(size_t(i_users));
    for (int user = 0; user < i_users; ++user)
    {
        ReplyUser who{QStringLiteral("user%1").arg(user), user % 3 == 0, quint32(1000 * user), quint32(user % 17)};
        replies.push_back(MakeSearchReply(token, who, UserFiles(user)));
    }
    QElapsedTimer timer;
    timer.start();
    for (const ItemPtr& reply : replies)
        searchForm->OnUserSearchResults(reply);
    // The view lays the rows out once the event loop turns.
    QApplication::processEvents();
    tab.insertSeconds = double(timer.nsecsElapsed()) / 1e9;
    return tab;
}

void CloseTabs()
{
    QTabWidget* tabs = searchForm->findChild<QTabWidget*>(QStringLiteral("searchTabControl"));
    while (tabs->count() > 0)
        searchForm->OnTabCloseRequested(0);
}

double Median(std::vector<double> i_values)
{
    std::sort(i_values.begin(), i_values.end());
    return i_values[i_values.size() / 2];
}

double KeystrokeMs(SearchResultsForm* ip_page, const QString& i_filter)
{
    QElapsedTimer timer;
    timer.start();
    ip_page->filterEdit()->setText(i_filter);
    QApplication::processEvents();
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    ip_page->filterEdit()->clear();
    return ms;
}

double ChecksPerSecond()
{
    FilterParser parser;
    parser.Parse(QStringLiteral("lackluster container dawn"));
    // 60 characters each; some hold every word, some none.
    const QStringList texts{QStringLiteral("Lackluster - Container of the dawn (remastered) - 2004 .mp3"),
                            QStringLiteral("Some completely different band - A song of the night .flac"),
                            QStringLiteral("lackluster container/Various Artists/Compilation CD 2/x.ogg")};
    constexpr int kCalls = 3000000;
    int matches = 0;
    QElapsedTimer timer;
    timer.start();
    for (int call = 0; call < kCalls; ++call)
        matches += parser.IsMatching(texts[call % 3], nullptr, ItemPtr()) == FilterParser::Matching;
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    return matches > 0 ? kCalls / seconds : 0;
}

// 10,000 processed searches announced as the shares engine announces them, onto the page on
// screen; -1 when the page did not hold its 500 rows.
double ReceivedSearchesMs()
{
    searchForm->findChild<QTabWidget*>(QStringLiteral("tabWidget"))->setCurrentIndex(2);
    QTreeWidget* list = receivedSearchesForm->findChild<QTreeWidget*>(QStringLiteral("searchList"));
    constexpr int kSearches = 10000;
    QElapsedTimer timer;
    timer.start();
    for (int search = 0; search < kSearches; ++search)
        emit sharedFoldersManager->SearchProcessed(QStringLiteral("received search %1").arg(search), search % 3 == 0);
    QApplication::processEvents();
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    return list->topLevelItemCount() == ReceivedSearchesForm::MaxRows ? ms : -1;
}
} // namespace

int main(int argc, char** argv)
{
    BenchApplication app(argc, argv);
    MainWindow window;
    window.show();
    window.Init();
    SetSetting(QStringLiteral("use_upnp"), QStringLiteral("no"));

    std::vector<double> small, large, sorts, textKeys, bitrateKeys;
    for (int run = 0; run < kRuns; ++run)
    {
        // The small tab is cheap: more samples steady the ratio on a busy machine.
        for (int sample = 0; sample < 2; ++sample)
        {
            small.push_back(FillTab(100).insertSeconds);
            CloseTabs();
        }
        const Tab tab = FillTab(1000);
        large.push_back(tab.insertSeconds);
        QElapsedTimer timer;
        timer.start();
        tab.page->Sort();
        sorts.push_back(double(timer.nsecsElapsed()) / 1e6);
        textKeys.push_back(KeystrokeMs(tab.page, QStringLiteral("3")));
        bitrateKeys.push_back(KeystrokeMs(tab.page, QStringLiteral("minbitrate:192")));
        CloseTabs();
    }

    std::printf("search_results_100k_insert: %.2f s\n", Median(large));
    std::printf("search_results_10x_ratio: %.2f ratio\n", Median(large) / Median(small));
    std::printf("search_results_sort_100k: %.0f ms\n", Median(sorts));
    std::printf("search_filter_text_keystroke: %.0f ms\n", Median(textKeys));
    std::printf("search_filter_bitrate_keystroke: %.0f ms\n", Median(bitrateKeys));
    std::printf("search_filter_checks_per_second: %.0f checks/s\n", ChecksPerSecond());
    std::printf("received_searches_10k: %.0f ms\n", ReceivedSearchesMs());
    return 0;
}
