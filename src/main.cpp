#include "MainWindow.h"
#include "SingleInstance.h"

#include <QApplication>

#include <memory>

int main(int argc, char* argv[])
{
    // Checked before anything else is built, so a second start costs nothing and changes nothing.
    SingleInstance instance(QStringLiteral("VeltraneQt"));
    if (!instance.IsPrimary())
        return 0;

    QApplication app(argc, argv);
    auto window = std::make_unique<MainWindow>();
    window->show();
    window->Init();
    const int status = app.exec();
    window.reset();
    return status;
}
