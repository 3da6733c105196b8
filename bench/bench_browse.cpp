// A browsed share of 1,000,000 files in 50,000 folders: the time from the arrival of the list's
// compressed body (inflated and read as the peer network does) until the tab has shown its tree
// (and the part of it the reading takes), the slowest of 200 clicks on folders, one filter keystroke that
// matches nothing (every folder then looks at each of its files), and closing the tab.
#include "ActionSetToolBar.h"
#include "AttributeMap.h"
#include "Compression.h"
#include "EventToolBar.h"
#include "QueueFixture.h"
#include "ShareForm.h"
#include "SharesForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTreeWidget>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

namespace
{
constexpr int kTopFolders = 50;
constexpr int kSubFolders = 999; // per top folder: 50,000 folders in all
constexpr int kFilesPerFolder = 20;

void Print(const char* i_name, double i_value, const char* i_unit)
{
    std::printf("%s: %.2f %s\n", i_name, i_value, i_unit);
    std::fflush(stdout);
}

long ResidentKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word)
        if (word == "VmRSS:" && status >> word)
            return std::stol(word);
    return 0;
}

FileInfoMap MakeList()
{
    std::mt19937 random(7);
    std::uniform_int_distribution<qint64> size(100000, 12000000);
    std::uniform_int_distribution<int> bitrate(96, 320);
    FileInfoMap list;
    const auto fill = [&](const std::string& i_folder) {
        FileInfoSet& files = list[i_folder];
        for (int f = 0; f < kFilesPerFolder; ++f)
        {
            FileInfo file("track " + std::to_string(f) + " of " + i_folder.substr(i_folder.rfind('\\') + 1) + ".mp3",
                          size(random));
            file.m_attributes.m_extension = "mp3";
            file.m_attributes.Add(AttributeBitrate, bitrate(random));
            file.m_attributes.Add(AttributeLength, 180 + f);
            file.m_attributes.Add(AttributeVariableBitrate, f % 2);
            files.insert(std::move(file));
        }
    };
    for (int t = 0; t < kTopFolders; ++t)
    {
        const std::string top = "Music\\Artist " + std::to_string(t);
        fill(top);
        for (int s = 0; s < kSubFolders; ++s)
            fill(top + "\\Album " + std::to_string(s));
    }
    return list;
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QueueFixture engines;
    ActionSetToolBar bar;
    actionBar->Init();
    EventToolBar events;
    SharesForm page;
    page.Init();
    page.resize(1000, 700);
    page.show();

    MemStream compressed;
    {
        MemStream body;
        OutputStream out(body);
        out.Write(MakeList());
        out.Write(AttributeTranslationTable());
        CompressBody(body, compressed);
    }
    ShareForm* tab = page.OpenShareBrowse(QStringLiteral("someone"));
    QCoreApplication::processEvents();
    const long before = ResidentKilobytes();
    QElapsedTimer timer;
    double read = 0;
    timer.start();
    {
        MemStream inflated;
        InflateBody(compressed, inflated);
        InputStream in(inflated);
        FileInfoMap list;
        AttributeTranslationTable table;
        if (!in.Read(list) || !in.Read(table))
            Print("browse_unreadable_list", 1, "lists");
        read = timer.nsecsElapsed() / 1e9;
        page.OnUserShare(QStringLiteral("someone"), list, table);
    }
    QCoreApplication::processEvents();
    Print("browse_1m_files_show", timer.nsecsElapsed() / 1e9, "s");
    Print("browse_1m_files_show_of_which_reading", read, "s");
    Print("browse_1m_files_memory", (ResidentKilobytes() - before) / 1024.0, "MB");
    if (tab->FolderTree()->topLevelItemCount() != kTopFolders)
        Print("browse_wrong_rows", tab->FolderTree()->topLevelItemCount(), "rows");

    double slowest = 0;
    for (int click = 0; click < 200; ++click)
    {
        QTreeWidgetItem* top = tab->FolderTree()->topLevelItem(click % kTopFolders);
        timer.restart();
        tab->FolderTree()->setCurrentItem(top->child((click * 37) % kSubFolders));
        QCoreApplication::processEvents();
        slowest = std::max(slowest, timer.nsecsElapsed() / 1e6);
        if (tab->FileList()->topLevelItemCount() != kFilesPerFolder)
            Print("browse_wrong_files", tab->FileList()->topLevelItemCount(), "rows");
    }
    Print("browse_folder_click", slowest, "ms");

    timer.restart();
    tab->FilterEdit()->setText(QStringLiteral("q"));
    QCoreApplication::processEvents();
    Print("browse_filter_keystroke", timer.nsecsElapsed() / 1e6, "ms");

    timer.restart();
    page.OnTabCloseRequested(0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    Print("browse_close", timer.nsecsElapsed() / 1e6, "ms");

    // A share one folder wide and 16,000 deep, one file in each, downloaded from its top folder.
    {
        constexpr int kDepth = 16000;
        FileInfoMap deep;
        std::string path = "d";
        for (int level = 0; level < kDepth; ++level)
        {
            deep[path].insert(FileInfo("f.bin", 1000));
            path += "\\d";
        }
        AttributeTranslationTable table;
        ShareForm* deepTab = page.OpenShareBrowse(QStringLiteral("deep"));
        page.OnUserShare(QStringLiteral("deep"), deep, table);
        deep.clear();
        QCoreApplication::processEvents();
        const std::size_t before = d->GetType("download_entry")->GetItemCount();
        timer.restart();
        deepTab->DownloadFolder(ShareView::FolderOfRow(deepTab->FolderTree()->topLevelItem(0)), 0);
        Print("browse_deep_folder_download_16000", timer.nsecsElapsed() / 1e9, "s");
        if (d->GetType("download_entry")->GetItemCount() - before != std::size_t(kDepth))
            Print("browse_deep_wrong_downloads", double(d->GetType("download_entry")->GetItemCount() - before),
                  "entries");
    }
    return 0;
}
