#pragma once

// A main window of a benchmark that logs in at start to the loopback test server.

#include "MainWindow.h"
#include "PreparedHome.h"
#include "Server.h"

#include <QApplication>
#include <QElapsedTimer>

// Writes the data file of a main window that logs in at start to the loopback server on i_port.
inline void WriteLoginDataFile(quint16 i_port, const QString& i_user, const QString& i_password)
{
    QMap<QString, QString> settings = QuietSettings();
    settings.insert({{QStringLiteral("server_host"), QStringLiteral("127.0.0.1")},
                     {QStringLiteral("server_port"), QString::number(i_port)},
                     {QStringLiteral("username"), i_user},
                     {QStringLiteral("password"), i_password}});
    WriteDataFile(MainWindow::DataFilePath(), settings);
}

// Runs the event loop until the server connection has logged in, for at most 10 s.
inline bool WaitForLogin()
{
    QElapsedTimer wait;
    wait.start();
    while (!gp_server->IsConnected() && wait.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return gp_server->IsConnected();
}
