// Figures for the data model at the size of a large share: a million items, two million links.

#include "Data.h"
#include "DataSaver.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point i_start)
{
    return std::chrono::duration<double>(Clock::now() - i_start).count();
}

double ResidentMB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

const int kFolders = 5000;
const int kFiles = 495000;
const int kNames = 490000;
const int kTokens = 10000;

void DeclareTypes()
{
    Type* folder = d->NewType("shared_folder", Primary, false, true);
    Type* file = d->NewType("shared_file", Secondary, false, true);
    Type* name = d->NewType("shared_file_name", Secondary, false, true);
    Type* token = d->NewType("search_token", Tertiary, false, true);
    file->RelateToType(folder, Many, One);
    file->RelateToType(name, Many, One);
    file->RelateToType(token, Many, Many);
    folder->RelateToType(token, Many, Many);
}

void Build()
{
    Type* folder = d->GetType("shared_folder");
    Type* file = d->GetType("shared_file");
    Type* name = d->GetType("shared_file_name");
    Type* token = d->GetType("search_token");
    std::vector<ItemPtr> folders, tokens;
    folders.reserve(kFolders);
    for (int n = 0; n < kFolders; ++n)
        folders.push_back(folder->NewItem(Value("/home/user/music/folder " + std::to_string(n))));
    tokens.reserve(kTokens);
    for (int n = 0; n < kTokens; ++n)
        tokens.push_back(token->NewItem(Value("word" + std::to_string(n))));
    for (int n = 0; n < kFolders; ++n)
        for (int k = 0; k < 4; ++k)
            folders[n] += tokens[(n * 4 + k) % kTokens];
    for (int n = 0; n < kFiles; ++n)
    {
        ItemPtr f = file->NewItem(
            Value("/home/user/music/folder " + std::to_string(n % kFolders) + "/track " + std::to_string(n) + ".mp3"));
        f += folders[n % kFolders];
        f += name->GetItem(Value("track " + std::to_string(n % kNames) + ".mp3"));
        // The rare word has ten files; two common words have a fifth and a seventh of all files.
        if (n % 5 == 0)
            f += tokens[0];
        else
            f += tokens[size_t(3 + (n * 7919LL) % (kTokens - 3))];
        if (n % 7 == 0)
            f += tokens[1];
        else
            f += tokens[size_t(3 + (n * 104729LL) % (kTokens - 3))];
        if (n % 49500 == 35)
            f += tokens[2];
    }
}

// The same graph as plain adjacency lists with a value index: what the bare data costs.
double BaselineSeconds()
{
    const auto start = Clock::now();
    std::unordered_map<std::string, int> index;
    std::vector<std::vector<int>> links;
    auto add = [&](std::string i_value) {
        auto found = index.emplace(std::move(i_value), int(links.size()));
        if (found.second)
            links.emplace_back();
        return found.first->second;
    };
    auto link = [&](int i_a, int i_b) {
        links[i_a].push_back(i_b);
        links[i_b].push_back(i_a);
    };
    for (int n = 0; n < kFolders; ++n)
        add("F/home/user/music/folder " + std::to_string(n));
    for (int n = 0; n < kTokens; ++n)
        add("Tword" + std::to_string(n));
    for (int n = 0; n < kFiles; ++n)
    {
        const int f =
            add("S/home/user/music/folder " + std::to_string(n % kFolders) + "/track " + std::to_string(n) + ".mp3");
        link(f, n % kFolders);
        link(f, add("Ntrack " + std::to_string(n % kNames) + ".mp3"));
        link(f, int(kFolders + (n % 5 == 0 ? 0 : 3 + (n * 7919LL) % (kTokens - 3))));
        link(f, int(kFolders + (n % 7 == 0 ? 1 : 3 + (n * 104729LL) % (kTokens - 3))));
    }
    const double seconds = Seconds(start);
    std::fprintf(stderr, "(baseline %zu items)\n", links.size());
    return seconds;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral(".Veltrane"));

    auto store = std::make_unique<Data>();
    d = store.get();
    DeclareTypes();
    const double before = ResidentMB();
    auto start = Clock::now();
    Build();
    const double create = Seconds(start);
    const double resident = ResidentMB() - before;
    const double baseline = BaselineSeconds();
    std::printf("data_create_items: %zu items\n", d->GetItemCount());
    std::printf("data_create_links: %zu links\n", d->GetLinkCount());
    std::printf("data_create_time: %.3f s\n", create);
    std::printf("data_create_vs_plain_adjacency: %.2f ratio\n", create / baseline);
    std::printf("data_store_resident: %.1f MB\n", resident);

    Type* token = d->GetType("search_token");
    ItemSet words{token->HasItem("word0"), token->HasItem("word1"), token->HasItem("word2")};
    std::size_t found = 0;
    const int rounds = 20000;
    start = Clock::now();
    for (int n = 0; n < rounds; ++n)
        found += d->GetItemSubset(words, "shared_file").size();
    std::printf("data_subset_smallest_members: %zu items\n", token->HasItem("word2").GetItems("shared_file").size());
    std::printf("data_subset_matches: %zu items\n", found / rounds);
    std::printf("data_subset_three_words: %.2f us\n", Seconds(start) / rounds * 1e6);

    start = Clock::now();
    const int collected = d->RemoveDisconnectedItems();
    std::printf("data_collect_nothing_time: %.3f s\n", Seconds(start));
    std::printf("data_collect_nothing_removed: %d items\n", collected);

    DataSaver saver;
    for (const char* type : {"shared_folder", "shared_file", "shared_file_name", "search_token"})
        saver.AddSavedType(type);
    start = Clock::now();
    const bool saved = saver.SaveFile(path);
    std::printf("data_save_time: %.3f s\n", Seconds(start));
    std::printf("data_file_size: %.1f MB\n", double(QFileInfo(path).size()) / (1024.0 * 1024.0));
    if (!saved)
        return 1;

    store = std::make_unique<Data>();
    d = store.get();
    DeclareTypes();
    start = Clock::now();
    saver.Load(path);
    const double load = Seconds(start);
    std::printf("data_load_time: %.3f s\n", load);
    std::printf("data_load_vs_create: %.2f ratio\n", load / create);
    std::printf("data_load_items: %zu items\n", d->GetItemCount());
    std::printf("data_load_links: %zu links\n", d->GetLinkCount());
    store.reset();
    return 0;
}
