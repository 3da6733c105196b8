#pragma once

// One screenshot per window, for a reviewer to see what a user sees (and to look at yourself).
//
// In the window's test, a slot named screenshots() that builds the window as a user would meet
// it and saves it:
//   void screenshots()
//   {
//       SKIP_UNLESS_SCREENSHOTS();
//       ... start the window, fill it, give it a size ...
//       SAVE_SCREENSHOT(window, "users_window");
//   }
// and in the CMakeLists.txt, after veltrane_add_test(test_x ...):
//   veltrane_add_screenshots(test_x)
// The normal offscreen run skips the slot. The ctest test test_x_screenshots runs only that slot
// on a private Xvfb display with the xcb platform (tests/support/run-under-xvfb.sh) and writes
// build/tests/screenshots/users_window.png; it is reported as skipped where Xvfb cannot start.
// By hand: cd build && ctest -R _screenshots, then open the PNG.

#include <QDir>
#include <QPixmap>
#include <QString>
#include <QWidget>
#include <QtTest>

// Where the screenshot run writes; empty in the normal run.
inline QString ScreenshotFolder()
{
    return qEnvironmentVariable("VELTRANE_SCREENSHOT_DIR");
}

// Shows the window, lets it lay out and paint, and saves it as <folder>/<name>.png; returns what
// went wrong, or "".
inline QString SaveScreenshot(QWidget* ip_window, const QString& i_name)
{
    ip_window->show();
    ip_window->raise();
    if (!QTest::qWaitForWindowExposed(ip_window))
        return QStringLiteral("the window was never shown");
    QTest::qWait(200);
    QDir().mkpath(ScreenshotFolder());
    const QString path = QDir(ScreenshotFolder()).filePath(i_name + QStringLiteral(".png"));
    if (!ip_window->grab().save(path))
        return QStringLiteral("cannot write ") + path;
    qInfo("screenshot: %s", qPrintable(path));
    return QString();
}

#define SKIP_UNLESS_SCREENSHOTS()                                                                                      \
    do                                                                                                                 \
    {                                                                                                                  \
        if (ScreenshotFolder().isEmpty())                                                                              \
            QSKIP("screenshots are taken by the _screenshots test, under Xvfb");                                       \
    } while (false)

#define SAVE_SCREENSHOT(window, name)                                                                                  \
    do                                                                                                                 \
    {                                                                                                                  \
        const QString screenshotError = SaveScreenshot(window, QStringLiteral(name));                                  \
        QVERIFY2(screenshotError.isEmpty(), qPrintable(screenshotError));                                              \
    } while (false)
