#include "FuzzTarget.h"

#include "Log.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextDocument>

#include <cstdio>
#include <cstdlib>

namespace
{
void Quiet(QtMsgType i_type, const QMessageLogContext&, const QString& i_text)
{
    if (i_type == QtFatalMsg)
    {
        std::fprintf(stderr, "%s\n", qPrintable(i_text));
        std::abort();
    }
}
} // namespace

// Most targets need no screen; one that does defines its own.
__attribute__((weak)) bool FuzzWantsGui()
{
    return false;
}

void FuzzEnvironment()
{
    // Lives as long as the process: the engine's objects outlive any order of destruction.
    static QCoreApplication* s_app = nullptr;
    if (s_app)
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int s_argc = 1;
    static char s_name[] = "fuzz";
    static char* s_argv[] = {s_name, nullptr};
    s_app = FuzzWantsGui() ? new QGuiApplication(s_argc, s_argv) : new QCoreApplication(s_argc, s_argv);
    qInstallMessageHandler(Quiet);
    // The font machinery caches what it loads for good: loaded before the first input, so that
    // the leak check does not take the caches for a reader's leak.
    if (FuzzWantsGui())
    {
        QTextDocument warm;
        warm.setHtml(QStringLiteral("<b>bold</b> <i>italic</i> <u>x</u> <a href=\"https://a\">link</a> \u00e9\u4e2d"));
        warm.size();
    }
    // Log lines go nowhere: a sink takes them, so none wait in memory for a window.
    SetLogSink([](const QString&, const QString&) {});
}
