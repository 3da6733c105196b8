// Bursts of small server messages that each cost much to handle, every burst written in one read
// to the real main window logged in to the loopback server: 400 searches relayed by the server
// while the client shares 3,000 files that match them, and 400 private messages from as many new
// partners. The figure is the longest an event posted to the window waits while the burst is
// handled and the views follow it, as a user's input would wait; the median of three runs.
#include "BenchLogin.h"
#include "BenchWindow.h"
#include "LagProbe.h"
#include "MainWindow.h"
#include "PreparedHome.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "TestServer.h"
#include "Wire.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace
{
constexpr int kMessages = 400;
constexpr int kRuns = 3;
constexpr int kSharedFiles = 3000;
constexpr int kFilesPerFolder = 100;
const QString kMe = QStringLiteral("tester");

// 3,000 files, each named with the word searched for.
void MakeShare(const QString& i_root)
{
    for (int file = 0; file < kSharedFiles; ++file)
    {
        const QString folder = QStringLiteral("%1/album %2").arg(i_root).arg(file / kFilesPerFolder);
        QDir().mkpath(folder);
        QFile out(QStringLiteral("%1/%2 burstword take %3.mp3").arg(folder).arg(file % kFilesPerFolder).arg(file));
        out.open(QIODevice::WriteOnly);
    }
}

// Sends the burst and turns a plain event loop until i_count has seen every message and the views
// have had time to follow; the longest wait of a posted event meanwhile, -1 if the burst was lost.
double LongestStall(TestServer& io_server, const QByteArray& i_burst, int& io_count)
{
    io_count = 0;
    QEventLoop loop;
    QTimer watch;
    watch.setInterval(1);
    bool whole = false;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (io_count < kMessages)
            return;
        watch.stop();
        whole = true;
        // Whatever the views leave for after the burst is part of the wait.
        QTimer::singleShot(200, &loop, &QEventLoop::quit);
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    LagProbe probe;
    watch.start();
    io_server.SendRaw(kMe, i_burst);
    loop.exec();
    probe.Stop();
    return whole ? probe.WorstMs() : -1;
}

double Median(std::vector<double> i_values)
{
    std::sort(i_values.begin(), i_values.end());
    return i_values[i_values.size() / 2];
}

double Searches(TestServer& io_server)
{
    int processed = 0;
    const QMetaObject::Connection counting = QObject::connect(
        sharedFoldersManager, &SharedFoldersManager::SearchProcessed, [&processed](QString, bool) { ++processed; });
    std::vector<double> runs;
    for (int run = 0; run < kRuns; ++run)
    {
        QByteArray burst;
        for (int n = 0; n < kMessages; ++n)
            burst += WireWriter()
                         .Str(QStringLiteral("s%1").arg(n % 100))
                         .U32(quint32(run * kMessages + n))
                         .Str(QStringLiteral("burstword"))
                         .Frame(SM_FILE_SEARCH);
        runs.push_back(LongestStall(io_server, burst, processed));
    }
    QObject::disconnect(counting);
    return Median(runs);
}

double PrivateMessages(TestServer& io_server, QTabWidget* ip_chatTabs)
{
    int received = 0;
    const QMetaObject::Connection counting =
        QObject::connect(gp_server, &Server::PrivateChat, [&received](QString, QString, time_t, bool) { ++received; });
    std::vector<double> runs;
    for (int run = 0; run < kRuns; ++run)
    {
        QByteArray burst;
        for (int n = 0; n < kMessages; ++n)
            burst += WireWriter()
                         .U32(quint32(1000 + run * kMessages + n))
                         .U32(1700000000)
                         .Str(QStringLiteral("partner %1 %2").arg(run).arg(n))
                         .Str(QStringLiteral("hello"))
                         .U8(1)
                         .Frame(SM_PRIVATE_MESSAGE);
        runs.push_back(LongestStall(io_server, burst, received));
        // Each run opens its chats anew.
        while (ip_chatTabs->count() > 1)
            emit ip_chatTabs->tabCloseRequested(ip_chatTabs->count() - 1);
        QApplication::processEvents();
    }
    QObject::disconnect(counting);
    return Median(runs);
}
} // namespace

int main(int argc, char** argv)
{
    BenchApplication app(argc, argv);
    QTemporaryDir share;
    MakeShare(share.path());

    TestServer server;
    server.Listen();
    server.AddAccount(kMe, QStringLiteral("secret"));
    WriteLoginDataFile(server.Port(), kMe, QStringLiteral("secret"));

    MainWindow window;
    window.show();
    window.Init();
    if (!WaitForLogin())
    {
        std::printf("server_bursts: no login\n");
        return 1;
    }
    sharedFoldersManager->AddSharedFolder(share.path()).Connect(d->GetType("shared_public")->GetGlobalNullItem());
    QApplication::processEvents();

    // Each burst with the page it shows on in front.
    window.Form()->tabControl->setCurrentWidget(window.Form()->searchTab);
    std::printf("server_400_searches_in_one_read_longest_stall: %.0f ms\n", Searches(server));
    std::fflush(stdout);
    window.Form()->tabControl->setCurrentWidget(window.Form()->chatTab);
    auto* chatTabs = window.findChild<QTabWidget*>(QStringLiteral("chatTabControl"));
    std::printf("server_400_private_messages_in_one_read_longest_stall: %.0f ms\n", PrivateMessages(server, chatTabs));
    return 0;
}
