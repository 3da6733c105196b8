// The queue logic at size: one start pass over 10,000 queued uploads of 1,000 online users, and
// adding 10,000 downloads of one folder; each against a plain baseline measured in the same run.

#include "EngineStack.h"
#include "TransferOutbox.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

namespace
{
constexpr int kUsers = 1000;
constexpr int kUploads = 10000;
constexpr int kDownloads = 10000;
constexpr int kPasses = 21;

// Counts instead of sending: the figures are the engine's own.
class CountingOutbox : public TransferOutbox
{
public:
    void QueueDownload(const QString&, const std::string&) override { ++m_sent; }
    uint RequestUpload(const QString&, const QString&, qint64) override { return ++m_token; }
    void TrackUser(const QString&) override {}
    int m_sent = 0;
    uint m_token = 0;
};

double Median(std::vector<double> i_values)
{
    std::sort(i_values.begin(), i_values.end());
    return i_values[i_values.size() / 2];
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    EngineStack engines(EngineStack::ServerConnection | EngineStack::NoUpnp | EngineStack::Peers | EngineStack::Shares
                        | EngineStack::Transfers);
    TransferQueueManager* engine = transferQueueManager;
    auto outbox = std::make_unique<CountingOutbox>();
    CountingOutbox* counter = outbox.get();
    engine->SetOutbox(std::move(outbox));
    SetSetting(QStringLiteral("download_folder"), dir.path());
    SetSetting(QStringLiteral("upload_slots"), QStringLiteral("1"));

    // 10,000 queued uploads, 10 per user, arriving in a shuffled order of users.
    Type* user = d->GetType("user");
    Type* sharedFile = d->GetType("shared_file");
    std::vector<int> arrivals;
    for (int n = 0; n < kUploads; ++n)
        arrivals.push_back(n % kUsers);
    std::shuffle(arrivals.begin(), arrivals.end(), std::mt19937(7));
    for (int n = 0; n < kUploads; ++n)
    {
        ItemPtr owner = user->GetItem(QStringLiteral("user%1").arg(arrivals[n]));
        ItemPtr file = sharedFile->NewItem();
        file.Connect(d->GetType("shared_file_size")->GetItem(Value(1000 + n)));
        ItemPtr entry = d->GetType("upload_entry")->NewItem();
        entry.Connect(owner);
        entry.Connect(file);
        entry.Connect(d->GetType("filename_as_requested")->GetItem(QStringLiteral("music\\file%1.mp3").arg(n)));
        entry.Connect(d->GetType("upload_entry_status")->GetItem("queued"));
        entry.Connect(d->GetType("upload_order")->GetItem(Value(n + 1)));
        engine->OrderNewUpload(entry);
    }
    ItemPtr online = d->GetType("is_online")->GetGlobalNullItem();
    for (int n = 0; n < kUsers; ++n)
        user->GetItem(QStringLiteral("user%1").arg(n)).Connect(online);

    // Each pass runs with one free slot: the upload started by the pass before has ended, so every
    // waiting entry moves up one place and is renumbered.
    std::vector<double> passes;
    ItemPtr complete = d->GetType("upload_entry_status")->GetItem("complete");
    for (int pass = 0; pass < kPasses; ++pass)
    {
        const ItemSet running = d->GetType("upload_entry_status")->GetItem("requesting").GetItems("upload_entry");
        for (ItemPtr entry : running)
            entry.Connect(complete);
        QElapsedTimer timer;
        timer.start();
        engine->StartNewUploads();
        passes.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::vector<double> sorts;
    for (int pass = 0; pass < kPasses; ++pass)
    {
        std::vector<std::pair<qint64, int>> plain;
        std::mt19937 random(pass);
        for (int n = 0; n < kUploads; ++n)
            plain.emplace_back(qint64(random() % 100000), n);
        QElapsedTimer timer;
        timer.start();
        std::sort(plain.begin(), plain.end());
        sorts.push_back(timer.nsecsElapsed() / 1e6);
    }
    const double pass = Median(passes);
    std::printf("upload_start_pass_10000_queued_1000_users: %.3f ms\n", pass);
    std::printf("upload_start_pass_best_of_%d: %.3f ms\n", kPasses, *std::min_element(passes.begin(), passes.end()));
    std::printf("upload_start_pass_vs_plain_sort_ratio: %.1f x\n", pass / Median(sorts));

    QElapsedTimer timer;
    timer.start();
    for (int n = 0; n < kDownloads; ++n)
        engine->AddDownload(QStringLiteral("uploader"), "track " + std::to_string(n) + ".mp3", "music\\albums\\one",
                            4000000, 0);
    const double adding = timer.nsecsElapsed() / 1e6;
    timer.restart();
    for (int n = 0; n < kDownloads; ++n)
        QFileInfo::exists(dir.path() + QStringLiteral("/complete/one/track %1.mp3").arg(n));
    const double stats = timer.nsecsElapsed() / 1e6;
    std::printf("add_10000_downloads_one_folder: %.1f ms\n", adding);
    std::printf("add_downloads_vs_existence_checks_ratio: %.1f x\n", adding / std::max(stats, 0.001));
    std::printf("downloads_queued: %d\n", int(d->GetType("download_entry")->GetItemCount()));

    Q_UNUSED(counter);
    return 0;
}
