// veltrane-testserver <port>: the loopback test server as a process of its own, so that several
// client processes can share one. Port 0 picks a free port; the first line printed names it, and
// a line follows for each login and each logged-in user leaving.
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
    // Whoever watches the output (make demo, its test) sees who is in as it happens.
    const auto say = [](const QString& i_user, const char* i_what) {
        std::printf("%s %s\n", i_user.toUtf8().constData(), i_what);
        std::fflush(stdout);
    };
    QObject::connect(&server, &TestServer::LoggedIn, [&say](const QString& i_user) { say(i_user, "logged in"); });
    QObject::connect(&server, &TestServer::ConnectionClosed, [&say](int, const QString& i_user) {
        if (!i_user.isEmpty())
            say(i_user, "left");
    });
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(server.Port()));
    std::fflush(stdout);
    return app.exec();
}
