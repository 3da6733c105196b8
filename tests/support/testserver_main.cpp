// veltrane-testserver <port>: the loopback test server as a process of its own, so that several
// client processes can share one. Port 0 picks a free port; the first line printed names it.
#include "TestServer.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    bool ok = arguments.size() == 2;
    const uint port = ok ? arguments.at(1).toUInt(&ok) : 0;
    if (!ok || port > 65535)
    {
        std::fprintf(stderr, "usage: veltrane-testserver <port>\n");
        return 2;
    }
    TestServer server;
    if (!server.Listen(static_cast<quint16>(port)))
    {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(server.Port()));
    std::fflush(stdout);
    return app.exec();
}
