// The download queue's rounds as the main window feels them: one user's folder of 20,000 files
// queued, the half-minute tick that re-queues them and, 30 s later, the one that asks each its
// place in line, with every line written to the Diagnostics view on screen. The figure is the
// longest an event posted from another thread waited for the GUI thread during the round, the
// median of three rounds of each kind.
#include "BenchWindow.h"
#include "Data.h"
#include "DiagnosticsForm.h"
#include "EngineClock.h"
#include "LagProbe.h"
#include "MainWindow.h"
#include "TransferQueueManager.h"

#include <QApplication>
#include <QEventLoop>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{
constexpr int kQueued = 20000;
constexpr int kRoundMs = 3000;
constexpr int kRounds = 3;
// Long enough for the probe's thread to be posting before the tick: its first turn counts too.
constexpr int kProbeStartMs = 50;

// The engine's tick, run from a plain event loop that goes on until the round has long ended.
double TickStallMs()
{
    LagProbe probe(1);
    QEventLoop loop;
    QTimer::singleShot(kProbeStartMs, transferQueueManager, [] { transferQueueManager->EveryHalfMinute(); });
    QTimer::singleShot(kProbeStartMs + kRoundMs, &loop, &QEventLoop::quit);
    loop.exec();
    probe.Stop();
    return probe.WorstMs();
}

void ShowDiagnostics(DiagnosticsForm* ip_form)
{
    for (QWidget* page = ip_form; page && page->parentWidget(); page = page->parentWidget())
        if (auto* tabs = qobject_cast<QTabWidget*>(page->parentWidget()->parentWidget()))
            if (tabs->indexOf(page) >= 0)
                tabs->setCurrentWidget(page);
}

bool LastLineIs(const QString& i_text)
{
    const QStringList lines = diagnosticsForm->AreaLines(QStringLiteral("Transfer Queue"));
    return !lines.isEmpty() && lines.last().endsWith(i_text);
}

double Median(std::vector<double> i_values)
{
    std::sort(i_values.begin(), i_values.end());
    return i_values[i_values.size() / 2];
}
} // namespace

int main(int argc, char* argv[])
{
    BenchApplication app(argc, argv);
    EngineClock::SetNowForTest(1700000000000);
    {
        MainWindow window;
        window.show();
        window.Init();
        SetSetting(QStringLiteral("download_folder"), app.HomePath() + QStringLiteral("/Downloads"));
        ShowDiagnostics(diagnosticsForm);
        QCoreApplication::processEvents();

        d->GetType("user")->GetItem(QStringLiteral("uploader")).Connect(d->GetType("is_online")->GetGlobalNullItem());
        for (int n = 0; n < kQueued; ++n)
            transferQueueManager->AddDownload(QStringLiteral("uploader"), "track " + std::to_string(n) + ".mp3",
                                              "music\\albums\\one", 4000000, 0);
        QCoreApplication::processEvents();

        const QString lastName = QStringLiteral("track %1.mp3").arg(kQueued - 1);
        std::vector<double> requeues, places;
        for (int round = 0; round < kRounds; ++round)
        {
            // The first re-queue comes at the first tick, the later ones ten minutes after the last.
            EngineClock::AdvanceForTest(round == 0 ? 30000 : 570000);
            requeues.push_back(TickStallMs());
            if (!LastLineIs(QStringLiteral("Queueing ") + lastName))
                std::printf("requeue_round_incomplete: 1 round\n");
            EngineClock::AdvanceForTest(30000);
            places.push_back(TickStallMs());
            if (!LastLineIs(QStringLiteral("Requesting place in line for download of %1 from uploader").arg(lastName)))
                std::printf("place_in_line_round_incomplete: 1 round\n");
        }

        // Each round may hold the window at most 100 ms at a time.
        std::printf("place_in_line_round_20000_queued_longest_stall: %.1f ms\n", Median(places));
        std::printf("requeue_round_20000_queued_longest_stall: %.1f ms\n", Median(requeues));
    }
    EngineClock::ResetForTest();
    return 0;
}
