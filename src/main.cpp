#include "MainWindow.h"
#include "SingleInstance.h"
#include "TerminationSignals.h"

#include <QApplication>

#include <memory>

int main(int argc, char* argv[])
{
    // Checked before anything else is built, so a second start costs nothing and changes nothing.
    SingleInstance instance(QStringLiteral("VeltraneQt"));
    if (!instance.IsPrimary())
        return 0;

    QApplication app(argc, argv);
    TerminationSignals termination;
    auto window = std::make_unique<MainWindow>();
    window->show();
    window->Init();
    const int status = termination.Received() ? 0 : app.exec();
    window.reset();
    return status;
}
