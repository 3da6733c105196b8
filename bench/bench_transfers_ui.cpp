// The transfers tab with 10,000 download rows: how long start-up takes to show them (all under
// one user and one folder, where each row's group status used to walk all rows before it, and
// spread over 1,000 users), and how long the GUI thread makes other events wait while 50
// transfers report their progress ten times a second each, as transfer threads do. Then the
// tab's actions on many rows: clearing 10,000 complete downloads, and 20,000 of one user in one
// folder against as many of 100 users, and the completed downloads list of 10,000 records, opened
// and then told of one more.
#include "ActionSetToolBar.h"
#include "CompleteDownloadsForm.h"
#include "LagProbe.h"
#include "TransfersFixture.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace
{
constexpr int kRows = 10000;

void Print(const char* i_name, double i_value, const char* i_unit)
{
    std::printf("%s: %.2f %s\n", i_name, i_value, i_unit);
    std::fflush(stdout);
}

// Every fourth entry complete, the rest queued, as the data file leaves them.
void AddEntries(TransfersFixture& io_f, int i_users)
{
    for (int n = 0; n < kRows; ++n)
    {
        const int user = n % i_users;
        ItemPtr entry = io_f.Download(QStringLiteral("user%1").arg(user), QStringLiteral("music\\album%1").arg(user),
                                      QStringLiteral("track%1.mp3").arg(n), 5000000);
        if (n % 4 == 0)
            io_f.SetStatus(entry, QStringLiteral("complete"));
    }
}

// From the end of loading until the rows are built and the tab has been shown once.
double OpenMs(int i_users)
{
    QElapsedTimer timer;
    TransfersFixture f([&](TransfersFixture& io_f) {
        AddEntries(io_f, i_users);
        timer.start();
    });
    f.tabs.setCurrentIndex(1);
    f.tabs.show();
    QCoreApplication::processEvents();
    const double ms = timer.nsecsElapsed() / 1e6;
    if (f.downloads->topLevelItemCount() != i_users)
        Print("transfers_window_open_wrong_rows", f.downloads->topLevelItemCount(), "rows");
    return ms;
}

double WorstDelayMs(int i_running, int i_seconds)
{
    TransfersFixture f([](TransfersFixture& io_f) { AddEntries(io_f, 1); });
    f.tabs.setCurrentIndex(1);
    f.tabs.show();
    QCoreApplication::processEvents();

    // The running transfers, each with the cells its thread would update.
    std::vector<ItemPtr> running;
    std::vector<PositionCell*> positions;
    for (const ItemPtr& entry : d->GetType("download_entry")->GetItems())
    {
        if (int(running.size()) == i_running)
            break;
        if (entry["download_entry_status"].AsString() != QLatin1String("queued"))
            continue;
        f.SetStatus(entry, QStringLiteral("downloading"));
        positions.push_back(NewTransferCell<PositionCell>(entry, "write_position"));
        NewTransferCell<SpeedCell>(entry, "bytes_per_second", 250000);
        running.push_back(entry);
    }

    TransferQueueManager* engine = f.engine;
    std::atomic<bool> reporting{true};
    LagProbe probe;
    std::thread reporter([&] {
        for (qint64 step = 1; reporting; ++step)
        {
            for (std::size_t n = 0; n < running.size(); ++n)
            {
                positions[n]->store(step * 25000);
                const ItemPtr entry = running[n];
                QMetaObject::invokeMethod(
                    engine, [engine, entry] { emit engine->DownloadProgressed(entry); }, Qt::QueuedConnection);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < i_seconds * 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    // Before the reporter's last sleep is waited for, which is no event's wait.
    probe.Stop();
    reporting = false;
    reporter.join();
    return probe.WorstMs();
}
// From the click on "Clear Complete" until the rows are gone and the title counted again, the best
// of i_runs: i_rows complete downloads of i_users users, each user in a folder of its own.
double ClearCompleteMs(int i_rows, int i_users, int i_runs = 1)
{
    double best = 0;
    for (int run = 0; run < i_runs; ++run)
    {
        TransfersFixture f([&](TransfersFixture& io_f) {
            for (int n = 0; n < i_rows; ++n)
                io_f.SetStatus(io_f.Download(QStringLiteral("user%1").arg(n % i_users),
                                             QStringLiteral("music\\album%1").arg(n % i_users),
                                             QStringLiteral("track%1.mp3").arg(n), 5000000),
                               QStringLiteral("complete"));
        });
        f.tabs.setCurrentIndex(1);
        f.tabs.show();
        QCoreApplication::processEvents();
        QElapsedTimer timer;
        timer.start();
        emit actionBar->ActionTriggered(f.downloads, QStringLiteral("clear_complete_downloads"));
        QCoreApplication::processEvents();
        const double ms = timer.nsecsElapsed() / 1e6;
        if (f.downloads->topLevelItemCount() != 0)
            Print("transfers_clear_complete_rows_left", f.downloads->topLevelItemCount(), "rows");
        best = run == 0 ? ms : std::min(best, ms);
    }
    return best;
}

// A finished download's record as the engine writes it, completed i_second seconds into a day.
ItemPtr CompleteRecord(int i_n, int i_second)
{
    ItemPtr record = d->GetType("complete_download")->NewItem();
    record.Connect(d->GetType("complete_download_filename")->GetItem(QStringLiteral("track%1.mp3").arg(i_n)));
    record.Connect(d->GetType("complete_download_relative_folder")->GetItem(QStringLiteral("album%1").arg(i_n % 500)));
    record.Connect(d->GetType("user")->GetItem(QStringLiteral("user%1").arg(i_n % 100)));
    record.Connect(d->GetType("complete_download_file_size")->GetItem(Value(5000000 + i_n)));
    const QDateTime time = QDateTime(QDate(2024, 5, 1), QTime(0, 0)).addSecs(i_second);
    record.Connect(d->GetType("complete_download_completion_time")->GetItem(time.toString(Qt::TextDate)));
    return record;
}

// Opening the list over 10,000 saved records, in no order of time; then the mean cost of one
// more record, told by the engine as a download finishes.
void CompletedList(double& o_openMs, double& o_addMs)
{
    TransfersFixture f([](TransfersFixture&) {
        for (int n = 0; n < kRows; ++n)
            CompleteRecord(n, (n * 7919) % 86400);
    });
    f.tabs.setCurrentIndex(1);
    f.tabs.show();
    QCoreApplication::processEvents();
    QElapsedTimer timer;
    timer.start();
    emit actionBar->ActionTriggered(f.downloads, QStringLiteral("complete_downloads"));
    QCoreApplication::processEvents();
    o_openMs = timer.nsecsElapsed() / 1e6;
    auto* list = completeDownloadsForm->findChild<QTreeWidget*>();
    if (list->topLevelItemCount() != kRows)
        Print("completed_list_wrong_rows", list->topLevelItemCount(), "rows");

    constexpr int kAdded = 200;
    timer.restart();
    for (int n = 0; n < kAdded; ++n)
    {
        emit f.engine->CompleteDownloadAdded(CompleteRecord(kRows + n, (n * 4099) % 86400));
        QCoreApplication::processEvents();
    }
    o_addMs = timer.nsecsElapsed() / 1e6 / kAdded;
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const double oneFolder = OpenMs(1);
    const double spread = OpenMs(1000);
    Print("transfers_window_open_10000_rows", std::max(oneFolder, spread), "ms");
    Print("transfers_window_open_10000_rows_one_folder", oneFolder, "ms");
    Print("transfers_window_open_10000_rows_1000_users", spread, "ms");
    Print("transfers_gui_worst_delay_50_running", WorstDelayMs(50, 3), "ms");
    Print("transfers_clear_complete_10000", ClearCompleteMs(kRows, 100), "ms");
    // One user's downloads in one folder, against as many spread over 100 users.
    const double oneUser = ClearCompleteMs(20000, 1, 3);
    const double hundredUsers = ClearCompleteMs(20000, 100, 3);
    Print("transfers_clear_complete_20000_one_user", oneUser, "ms");
    Print("transfers_clear_complete_one_user_vs_100_users", oneUser / hundredUsers, "ratio");
    double openMs = 0;
    double addMs = 0;
    CompletedList(openMs, addMs);
    Print("completed_list_open_10000", openMs, "ms");
    Print("completed_list_add_one", addMs, "ms");
    return 0;
}
