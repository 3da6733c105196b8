#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

// Turns the event loop for i_ms, as the application's would while peers come and go.
inline void RunFor(qint64 i_ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < i_ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}
