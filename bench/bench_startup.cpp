// Start-up to the event loop and shutdown with a data file of 100,000 shared files and 10,000
// downloads, against a plain walk of the same folder tree measured in the same run.
#include "BenchWindow.h"
#include "Data.h"
#include "MainWindow.h"
#include "SharedFoldersManager.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace
{
constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 100;
constexpr int kDownloads = 10000;
constexpr int kRuns = 3;

void MakeTree(const QString& i_root)
{
    for (int folder = 0; folder < kFolders; ++folder)
    {
        const QString path = QStringLiteral("%1/artist %2/album %3").arg(i_root).arg(folder % 97).arg(folder);
        QDir().mkpath(path);
        for (int file = 0; file < kFilesPerFolder; ++file)
        {
            QFile out(QStringLiteral("%1/%2 track %3 take %4.flac")
                          .arg(path)
                          .arg(file)
                          .arg(folder * 7 + file)
                          .arg(file % 13));
            out.open(QIODevice::WriteOnly);
        }
    }
}

void Prepare(const QString& i_share)
{
    MainWindow window;
    window.Init();
    SetSetting(QStringLiteral("use_upnp"), QStringLiteral("no"));
    sharedFoldersManager->AddSharedFolder(i_share);
    Type* entries = d->GetType("download_entry");
    for (int index = 0; index < kDownloads; ++index)
    {
        ItemPtr entry = entries->NewItem();
        entry += d->GetType("user")->GetItem(QStringLiteral("peer%1").arg(index % 100));
        entry += d->GetType("file_name")->GetItem(QStringLiteral("song %1.mp3").arg(index));
        entry += d->GetType("remote_folder")->GetItem(QStringLiteral("music\\album %1").arg(index / 20));
        entry += d->GetType("file_size")->GetItem(Value(static_cast<long long>(1000000 + index)));
        entry += d->GetType("download_entry_status")->GetItem("queued");
        entry += d->GetType("download_order")->GetItem(Value(index + 1));
    }
}

int PlainWalk(const QString& i_root)
{
    int count = 0;
    QDirIterator it(i_root, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
    {
        it.next();
        ++count;
    }
    return count;
}
} // namespace

int main(int argc, char* argv[])
{
    BenchApplication app(argc, argv);

    const QString share = app.HomePath() + QStringLiteral("/share");
    MakeTree(share);
    Prepare(share);

    qint64 bestWalk = -1;
    qint64 bestStart = -1;
    qint64 bestStop = -1;
    std::size_t items = 0;
    std::size_t sharedFiles = 0;
    std::size_t downloads = 0;
    for (int run = 0; run < kRuns; ++run)
    {
        QElapsedTimer clock;
        clock.start();
        const int files = PlainWalk(share);
        const qint64 walk = clock.elapsed();
        if (files != kFolders * kFilesPerFolder)
            std::fprintf(stderr, "walked %d files\n", files);

        auto window = std::make_unique<MainWindow>();
        clock.restart();
        window->show();
        window->Init();
        const qint64 start = clock.elapsed();
        items = d->GetItemCount();
        sharedFiles = d->GetType("shared_file")->GetItemCount();
        downloads = d->GetType("download_entry")->GetItemCount();
        clock.restart();
        window.reset();
        const qint64 stop = clock.elapsed();

        bestWalk = bestWalk < 0 ? walk : std::min(bestWalk, walk);
        bestStart = bestStart < 0 ? start : std::min(bestStart, start);
        bestStop = bestStop < 0 ? stop : std::min(bestStop, stop);
    }

    std::printf("startup_items: %zu items\n", items);
    std::printf("startup_shared_files: %zu files\n", sharedFiles);
    std::printf("startup_downloads: %zu downloads\n", downloads);
    std::printf("startup_to_event_loop: %lld ms\n", static_cast<long long>(bestStart));
    std::printf("shutdown: %lld ms\n", static_cast<long long>(bestStop));
    std::printf("plain_tree_walk: %lld ms\n", static_cast<long long>(bestWalk));
    std::printf("startup_vs_plain_walk: %.1f ratio\n", bestWalk > 0 ? double(bestStart) / double(bestWalk) : 0.0);
    return 0;
}
