// Share scanning on a generated tree of 100,000 files in 5,000 folders, the memory it takes,
// the audio header scanner against a plain read of the same file, and the first walk of an album
// library, where every folder holds the same few names, against one of unique names.

#include "Data.h"
#include "DataSaver.h"
#include "MP3Scanner.h"
#include "ShareTree.h"
#include "SharedFoldersManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <malloc.h>
#include <random>
#include <unistd.h>

namespace
{
long ResidentKiB()
{
    QFile f("/proc/self/statm");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * 4 : 0;
}

double PlainWalkSeconds(const QString& i_root, int& o_files)
{
    QElapsedTimer timer;
    timer.start();
    qint64 total = 0;
    o_files = 0;
    QDirIterator it(i_root, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
    {
        it.next();
        total += it.fileInfo().size();
        ++o_files;
    }
    return timer.nsecsElapsed() / 1e9 + (total < 0 ? 1 : 0);
}

void NewStore()
{
    d = new Data;
    dataSaver = new DataSaver;
    DeclareSettingTypes(d);
    d->NewType("user", Primary, false, true);
    d->NewType("user_list_group", Primary, false, true);
    for (const char* type :
         {"file_size", "mpeg_version", "channel_mode", "audio_frequency", "bitrate_mode", "bitrate", "length_seconds"})
        d->NewType(type, Tertiary, false, true);
}

// Frame headers of a 192 kbit/s MPEG-1 stream with random payload, as a long file would hold.
QByteArray SyntheticMp3(int i_bytes)
{
    std::mt19937 random(3);
    QByteArray out;
    out.reserve(i_bytes + 1024);
    const int frameBytes = 626;
    while (out.size() < i_bytes)
    {
        out += QByteArray::fromHex("fffb b040");
        for (int i = 4; i < frameBytes; ++i)
            out += char(random() & 0xFF);
    }
    return out;
}

constexpr int kAlbums = 40000;
constexpr int kTracks = 10;

// kAlbums folders of cover.jpg, folder.jpg and "01 Track.mp3" to "10 Track.mp3", or, unique, the
// same files with the album's number in every name. Empty files: a walk reads sizes only.
bool MakeAlbums(const QString& i_root, bool i_unique)
{
    for (int album = 0; album < kAlbums; ++album)
    {
        const QString folder = QStringLiteral("%1/Artist %2/Album %3").arg(i_root).arg(album / 100).arg(album);
        if (!QDir().mkpath(folder))
            return false;
        const QString tag = i_unique ? QStringLiteral(" %1").arg(album) : QString();
        QStringList names{QStringLiteral("cover%1.jpg").arg(tag), QStringLiteral("folder%1.jpg").arg(tag)};
        for (int track = 1; track <= kTracks; ++track)
            names << QStringLiteral("%1 Track%2.mp3").arg(track, 2, 10, QLatin1Char('0')).arg(tag);
        for (const QString& name : names)
        {
            const int fd = ::open(QFile::encodeName(folder + '/' + name).constData(), O_CREAT | O_WRONLY, 0644);
            if (fd < 0)
                return false;
            ::close(fd);
        }
    }
    return true;
}

// A fresh store and shares engine that has shared i_root; the first walk's time in o_seconds.
SharedFoldersManager* FirstScan(const QString& i_root, double& o_seconds)
{
    NewStore();
    auto* manager = new SharedFoldersManager;
    QElapsedTimer timer;
    timer.start();
    manager->AddSharedFolder(i_root);
    o_seconds = timer.nsecsElapsed() / 1e9;
    return manager;
}

void EndStore(SharedFoldersManager* ip_manager)
{
    delete ip_manager;
    delete dataSaver;
    delete d;
}

double FirstScanSeconds(const QString& i_root, size_t& o_files)
{
    double seconds = 0;
    SharedFoldersManager* manager = FirstScan(i_root, seconds);
    o_files = d->GetType("shared_file")->GetItemCount();
    EndStore(manager);
    return seconds;
}

double ReadSeconds(const QString& i_path)
{
    QElapsedTimer timer;
    timer.start();
    QFile file(i_path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return -1;
    QByteArray buffer(65536, '\0');
    qint64 sum = 0;
    qint64 got;
    while ((got = file.read(buffer.data(), buffer.size())) > 0)
        sum += static_cast<unsigned char>(buffer[int(got - 1)]);
    return timer.nsecsElapsed() / 1e9 + (sum < 0 ? 1 : 0);
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString root = dir.path() + "/Shared Music";

    std::printf("generating %d files in %d folders...\n",
                ShareTree::kTopFolders * ShareTree::kSubFolders * ShareTree::kFilesPerFolder,
                ShareTree::kTopFolders * ShareTree::kSubFolders);
    std::fflush(stdout);
    const int made = int(ShareTree::Make(root).size());

    int walked = 0;
    PlainWalkSeconds(root, walked); // warm the caches the same for every run below
    double plain = PlainWalkSeconds(root, walked);
    plain = std::min(plain, PlainWalkSeconds(root, walked));

    const long rssBefore = ResidentKiB();
    const size_t heapBefore = mallinfo2().uordblks;
    double firstScan = 0;
    SharedFoldersManager* manager = FirstScan(root, firstScan);
    const size_t shared = d->GetType("shared_file")->GetItemCount();
    const long rssAfter = ResidentKiB();
    const size_t heapInUse = mallinfo2().uordblks - heapBefore;

    QElapsedTimer timer;
    timer.start();
    double rescan = 1e9;
    for (int i = 0; i < 3; ++i)
    {
        timer.restart();
        manager->RescanShares();
        rescan = std::min(rescan, timer.nsecsElapsed() / 1e9);
    }

    // Start-up: the saved files come back without their words, and the rescan indexes them.
    d->GetType("search_token")->GetItems().Remove();
    timer.restart();
    manager->RescanShares();
    const double indexRescan = timer.nsecsElapsed() / 1e9;

    std::printf("shares_files_made: %d files\n", made);
    std::printf("shares_files_shared: %zu files\n", shared);
    std::printf("shares_search_words: %zu words\n", d->GetType("search_token")->GetItemCount());
    std::printf("shares_items: %zu items\n", d->GetItemCount());
    std::printf("shares_links: %zu links\n", d->GetLinkCount());
    std::printf("shares_plain_walk: %.3f s\n", plain);
    std::printf("shares_first_scan_with_index: %.3f s\n", firstScan);
    std::printf("shares_unchanged_rescan: %.3f s\n", rescan);
    std::printf("shares_unchanged_rescan_vs_plain_walk: %.2f x\n", rescan / plain);
    std::printf("shares_startup_rescan_rebuilding_index: %.3f s\n", indexRescan);
    std::printf("shares_resident_per_file: %.0f bytes\n", (rssAfter - rssBefore) * 1024.0 / qMax<size_t>(shared, 1));
    std::printf("shares_heap_in_use_per_file: %.0f bytes\n", double(heapInUse) / qMax<size_t>(shared, 1));
    std::fflush(stdout);

    EndStore(manager);

    const QString mp3 = dir.filePath("long.mp3");
    {
        QFile f(mp3);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        f.write(SyntheticMp3(64 * 1024 * 1024));
    }
    MP3Scanner scanner;
    double read = 1e9;
    double scan = 1e9;
    int version = 0, frequency = 0, bitrate = 0;
    bool vbr = false;
    QString mode;
    for (int i = 0; i < 5; ++i)
    {
        read = std::min(read, ReadSeconds(mp3));
        timer.restart();
        if (!scanner.ScanMP3(mp3, version, mode, frequency, vbr, bitrate))
            return 1;
        scan = std::min(scan, timer.nsecsElapsed() / 1e9);
    }
    const double megabytes = QFileInfo(mp3).size() / 1048576.0;
    std::printf("mp3_plain_read: %.0f MiB/s\n", megabytes / read);
    std::printf("mp3_scan: %.0f MiB/s\n", megabytes / scan);
    std::printf("mp3_scan_vs_plain_read: %.0f %%\n", 100.0 * read / scan);
    std::printf("mp3_scan_result: %d kbit/s %s\n", bitrate, vbr ? "vbr" : "cbr");
    std::fflush(stdout);

    const QString albums = dir.filePath("Albums");
    const QString unique = dir.filePath("Unique");
    if (!MakeAlbums(albums, false) || !MakeAlbums(unique, true))
        return 1;
    size_t albumFiles = 0;
    size_t uniqueFiles = 0;
    PlainWalkSeconds(albums, walked); // the same warm caches for both
    PlainWalkSeconds(unique, walked);
    const double albumScan = FirstScanSeconds(albums, albumFiles);
    const double uniqueScan = FirstScanSeconds(unique, uniqueFiles);
    if (albumFiles != uniqueFiles || albumFiles != size_t(kAlbums) * (kTracks + 2))
        return 1;
    std::printf("shares_album_library_files: %zu files\n", albumFiles);
    std::printf("shares_album_library_first_scan: %.3f s\n", albumScan);
    std::printf("shares_unique_names_first_scan: %.3f s\n", uniqueScan);
    std::printf("shares_album_vs_unique_names: %.2f ratio\n", albumScan / uniqueScan);
    return 0;
}
