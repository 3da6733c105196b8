// The main window's form opening: every tab's form, the Options pages and the tool bar built, the
// window shown and painted once. The median of several opens.
#include "MainWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace
{
constexpr int kOpens = 7;
} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    std::vector<double> times;
    for (int open = 0; open < kOpens; ++open)
    {
        QElapsedTimer timer;
        timer.start();
        auto window = std::make_unique<MainWindow>();
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            std::printf("main_form_open: the window was never shown\n");
        window->repaint();
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    std::sort(times.begin(), times.end());
    std::printf("main_form_open: %.1f ms\n", times[times.size() / 2]);
    return 0;
}
